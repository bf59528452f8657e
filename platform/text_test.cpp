#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace varnelo {
namespace {

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(Cp936, LiteralsAndRoundTrips) {
    struct Case {
        const char* utf8;
        const char* cp936Hex;
    } cases[] = {
        {"abc", "61 62 63"},
        {"开启代理", "BF AA C6 F4 B4 FA C0 ED"},
        {"【】", "A1 BE A1 BF"},
        {"€", "80"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Text text = Utf8ToCp936(std::string_view(c.utf8));
        EXPECT_EQ(Hex(text), c.cp936Hex) << c.utf8;
        ByteSet back = Cp936ToUtf8(text);
        EXPECT_EQ(std::string(back.begin(), back.end()), c.utf8);
    }
    EXPECT_EQ("开启代理"_cp936, Utf8ToCp936(std::string_view("开启代理")));
}

TEST(Cp936, CharactersOutsideTheCodePageBecomeOneDefaultCharacterEach) {
    // The emoji is a surrogate pair in UTF-16 and still one character.
    EXPECT_EQ(Utf8ToCp936(std::string_view("a\xF0\x9F\x98\x80" "b")), "a?b");
    EXPECT_EQ(Utf8ToCp936(std::string_view("\xE0\xB8\x81\xE0\xB8\x82")), "??");  // two Thai letters
    Utf16 lone = {u'x', 0xD800, u'y'};
    EXPECT_EQ(Utf16ToCp936(lone), "x?y");
}

TEST(Cp936, ConversionStopsAtTheFirstZeroByte) {
    std::string withZero("ab\0cd", 5);
    EXPECT_EQ(Utf8ToCp936(withZero), "ab");
    ByteSet bytes(withZero.begin(), withZero.end());
    EXPECT_EQ(Utf8ToCp936(bytes), "ab");
    ByteSet utf8 = Cp936ToUtf8(withZero);
    EXPECT_EQ(std::string(utf8.begin(), utf8.end()), "ab");
}

TEST(Cp936, InvalidInputNeverFails) {
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), (Utf16{u'a', 0xFFFD}));
    EXPECT_EQ(Utf8ToUtf16("\xE4\xB8" "x"), (Utf16{0xFFFD, u'x'}));  // a cut sequence, once
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), (Utf16{0xFFFD, 0xFFFD, 0xFFFD}));  // encoded surrogate
    EXPECT_EQ(Cp936ToUtf16("a\xB0"), (Utf16{u'a', u'?'}));  // a lead byte with no second byte
}

TEST(Utf16, TextToUtf16EndsInOneZeroUnit) {
    EXPECT_EQ(TextToUtf16(""), Utf16());
    EXPECT_EQ(TextToUtf16("Ab"), (Utf16{u'A', u'b', 0}));
    EXPECT_EQ(TextToUtf16("\xBF\xAA"), (Utf16{u'开', 0}));
    EXPECT_EQ(TextToUtf16(std::string("a\0b", 3)), (Utf16{u'a', 0}));
}

TEST(Utf16, BytesToUtf16ByCodePage) {
    EXPECT_EQ(BytesToUtf16("\xE5\xBC\x80", kCodePageUtf8), (Utf16{u'开', 0}));
    EXPECT_EQ(BytesToUtf16("\xBF\xAA", kCodePage936), (Utf16{u'开', 0}));
    EXPECT_EQ(BytesToUtf16("\xE9", 1252), (Utf16{u'é', 0}));
    EXPECT_EQ(BytesToUtf16("", kCodePageUtf8), Utf16());
    EXPECT_EQ(BytesToUtf16(std::string("\0x", 2), kCodePageUtf8), Utf16());
}

TEST(Paths, TextPathsBecomeUtf8FileNames) {
    Text path = "/tmp/config/账号.ini"_cp936;
    EXPECT_EQ(PathFromText(path), "/tmp/config/账号.ini");
    EXPECT_EQ(TextFromPath("/tmp/config/账号.ini"), path);
}

}  // namespace
}  // namespace varnelo

namespace varnelo {
namespace {

void ConvertAtExit() {
    // Exit handlers and static destructors convert texts too (the program saves and releases at
    // exit); the conversion must still work then.
    Text text = Utf8ToCp936(std::string_view("开启代理"));
    ByteSet back = Cp936ToUtf8(text);
    bool same = std::string(back.begin(), back.end()) == "开启代理";
    std::fputs(same ? "converted at exit\n" : "wrong at exit\n", stderr);
}

TEST(Cp936, ConvertsInExitHandlers) {
    EXPECT_EXIT(
        {
            (void)Utf8ToCp936(std::string_view("预热"));
            std::atexit(ConvertAtExit);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "converted at exit");
}

}  // namespace
}  // namespace varnelo
