#include "support/response_charset.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace varnelo {
namespace {

ByteSet Bytes(std::string_view text) { return ByteSet(text.begin(), text.end()); }

Text Cp936(std::string_view utf8) { return Utf8ToCp936(utf8); }

TEST(DecodeResponseText, TakesTheCharsetFromAMetaTagOnly) {
    const std::string padding(2000, ' ');
    struct Case {
        const char* what;
        std::string body;  // the bytes as they come from the server
        Text expected;
    } cases[] = {
        {"UTF-8 page", R"(<html><head><meta charset="utf-8"></head><body>中文€</body>)",
         Cp936(R"(<html><head><meta charset="utf-8"></head><body>中文€</body>)")},
        {"http-equiv form",
         R"(<meta http-equiv="Content-Type" content="text/html; charset=UTF-8">汉字)",
         Cp936(R"(<meta http-equiv="Content-Type" content="text/html; charset=UTF-8">汉字)")},
        {"quoted with '", "<meta charset='utf-8'>中", Cp936("<meta charset='utf-8'>中")},
        {"capital letters", "<META CHARSET=UTF-8>中", Cp936("<META CHARSET=UTF-8>中")},
        {"tag beyond the first 1,024 bytes", padding + "<meta charset=utf-8>中",
         padding + "<meta charset=utf-8>中"},
        {"gb2312 page", "<meta charset=gb2312>"_cp936 + "中文"_cp936 + "\xFF",
         "<meta charset=gb2312>"_cp936 + "中文"_cp936 + "\xFF"},
        {"gbk page", "<meta charset=\"gbk\">" + "中文"_cp936 + "\xFF",
         "<meta charset=\"gbk\">" + "中文"_cp936 + "\xFF"},
        // Written in capitals the name is converted like any other: the stray byte shows it.
        {"GBK page", "<meta charset=GBK>" + "中文"_cp936 + "\xFF",
         "<meta charset=GBK>" + "中文"_cp936 + "?"},
        {"Big5 page", "<meta charset=big5>\xA4\xA4\xA4\xE5", Cp936("<meta charset=big5>中文")},
        {"JSON answer", R"({"a":"中"})", R"({"a":"中"})"},
        {"unknown charset", "<meta charset=x-no-such-set>中", "<meta charset=x-no-such-set>中"},
        {"tag across a line end", "<meta\ncharset=utf-8>中", "<meta\ncharset=utf-8>中"},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF<meta charset=utf-8>中",
         Cp936("<meta charset=utf-8>中")},
        {"invalid UTF-8", "<meta charset=utf-8>a\xFF" "b\xE4\xB8", Cp936("<meta charset=utf-8>a?b?")},
        {"characters code page 936 lacks", "<meta charset=utf-8>\xF0\x9F\x98\x80ก!",
         Cp936("<meta charset=utf-8>?" "?!")},
        {"empty body", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeResponseText(Bytes(c.body)), c.expected) << c.what;
    }
}

TEST(DecodeResponseText, AZeroByteEndsTheTextButNotTheConversion) {
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::string body;
        Text expected;
    } cases[] = {
        {"raw text", "abc\0def"s, "abc"},
        {"tag after the zero byte", "abc\0<meta charset=utf-8>"s, "abc"},
        {"converted text", "<meta charset=utf-8>中\0文"s, Cp936("<meta charset=utf-8>中")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeResponseText(Bytes(c.body)), c.expected) << c.what;
    }

    // A UTF-16 body needs the bytes after its first zero: the text ends in "AB".
    const std::string utf16 = "<meta charset=utf-16le >A\0B\0"s;
    Text decoded = DecodeResponseText(Bytes(utf16));
    ASSERT_GE(decoded.size(), 2u);
    EXPECT_EQ(decoded.substr(decoded.size() - 2), "AB");
}

TEST(DecodeResponseText, SearchesExactlyTheFirst1024Bytes) {
    // Past the window the name is cut to "utf-", which names no charset.
    const std::string tag = "<meta charset=utf-8";
    for (std::size_t end : {1024u, 1025u}) {
        std::string body = std::string(end - tag.size(), ' ') + tag + ">中";
        const bool seen = end <= 1024;
        EXPECT_EQ(DecodeResponseText(Bytes(body)), seen ? Cp936(body) : Text(body))
            << "tag ending at byte " << end;
    }
    // The window may cut a double-byte character in two; the tag before it is still read.
    std::string cut = "<meta charset=big5>" + std::string(1004, ' ') + "\xA4\xA4\xA4\xE5";
    ASSERT_EQ(cut.size(), 1027u);
    EXPECT_EQ(DecodeResponseText(Bytes(cut)),
              Cp936("<meta charset=big5>" + std::string(1004, ' ') + "中文"));
}

TEST(DecodeResponseText, HostileBodiesNeverFail) {
    const char* charsets[] = {"utf-8", "UTF-16", "utf-32", "utf-7", "big5", "shift_jis",
                              "iso-2022-jp", "gb18030", "GBK", "x-unknown", "-", "_"};
    std::mt19937 random(936);
    for (int round = 0; round < 600; ++round) {
        std::string body = "<meta charset=" + std::string(charsets[round % std::size(charsets)]) +
                           ">";
        std::size_t length = random() % 3000;
        for (std::size_t i = 0; i < length; ++i) body.push_back(static_cast<char>(random()));
        Text decoded = DecodeResponseText(Bytes(body));
        EXPECT_EQ(decoded.find('\0'), Text::npos) << "round " << round;
    }

    // A large body full of tags without a charset, and one whose name fills the window.
    std::string tags;
    while (tags.size() < (4u << 20)) tags += "<meta <meta name=x>\n";
    EXPECT_EQ(DecodeResponseText(Bytes(tags)).size(), tags.size());
    std::string longName = "<meta charset=" + std::string(5000, 'x');
    EXPECT_EQ(DecodeResponseText(Bytes(longName)), longName);
}

}  // namespace
}  // namespace varnelo
