#include "support/response_charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "support/regex_matcher.h"

namespace varnelo {
namespace {

constexpr std::size_t kSearchWindow = 1024;

Utf16 ToUtf16(std::u32string_view characters) {
    Utf16 units;
    units.reserve(characters.size());
    for (char32_t c : characters) {
        if (c >= 0x110000 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    return units;
}

static_assert(sizeof(wchar_t) == sizeof(char32_t), "iconv's WCHAR_T is UCS-4 here");

// Decodes bytes in a charset named by a page; the name goes to iconv as it stands.
class Decoder {
public:
    explicit Decoder(const Text& charset) : cd_(iconv_open("WCHAR_T", charset.c_str())) {}
    ~Decoder() {
        if (ok()) iconv_close(cd_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // All of `input` as UTF-16; a byte the charset does not allow becomes U+FFFD, and so does an
    // incomplete sequence at the end.
    Utf16 Decode(std::string_view input) {
        // The C library's own wide characters (UCS-4) are its pivot, so this is one conversion
        // step: a refused byte does not make it redo a second step's buffer.
        std::u32string characters;
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char32_t buffer[1024];
        auto flush = [&](char* end) {
            characters.append(buffer, reinterpret_cast<char32_t*>(end) - buffer);
        };
        while (inLeft > 0) {
            char* out = reinterpret_cast<char*>(buffer);
            std::size_t outLeft = sizeof buffer;
            const std::size_t rc = iconv(cd_, &in, &inLeft, &out, &outLeft);
            const int error = errno;
            flush(out);
            if (rc != static_cast<std::size_t>(-1) || error == E2BIG) continue;
            characters.push_back(U'\uFFFD');
            if (error != EILSEQ) break;  // EINVAL: cut at the end
            ++in;
            --inLeft;
        }
        char* out = reinterpret_cast<char*>(buffer);
        std::size_t outLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &out, &outLeft);  // any shift state's closing bytes
        flush(out);
        return ToUtf16(characters);
    }

private:
    iconv_t cd_;
};

std::string_view UpToZero(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

bool IsUtf8Name(const Text& charset) {
    Text lower;
    for (char c : charset) lower.push_back(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower == "utf-8" || lower == "utf8";
}

Text CharsetOfPage(std::string_view raw) {
    RegexMatcher matcher;
    if (!matcher.Search(R"(<meta.+?charset=[^\w]?([-\w]+))", raw.substr(0, kSearchWindow))) {
        return {};
    }
    return matcher.SubMatchText(1, 1);
}

}  // namespace

Text DecodeResponseText(const ByteSet& bytes) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const Text raw(UpToZero(all));
    const Text charset = CharsetOfPage(raw);
    if (charset.empty() || charset == "gbk" || charset == "gb2312") return raw;
    Decoder decoder(charset);
    // A name iconv does not know converts nothing: the page stays as it came.
    if (!decoder.ok()) return raw;
    std::string_view body = all;
    // Pages saved with a byte-order mark: the mark is not part of the text.
    if (IsUtf8Name(charset) && body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    return Text(UpToZero(Utf16ToCp936(decoder.Decode(body))));
}

}  // namespace varnelo
