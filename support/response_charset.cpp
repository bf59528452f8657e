#include "support/response_charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "support/regex_matcher.h"

namespace varnelo {
namespace {

constexpr std::size_t kSearchWindow = 1024;

class Decoder {
public:
    explicit Decoder(const Text& charset) : cd_(iconv_open("UTF-16LE", charset.c_str())) {}
    ~Decoder() {
        if (ok()) iconv_close(cd_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // All of `input` as UTF-16; a byte the charset does not allow becomes U+FFFD, and so does an
    // incomplete sequence at the end.
    Utf16 Decode(std::string_view input) {
        std::string bytes;
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* out = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t rc = iconv(cd_, &in, &inLeft, &out, &outLeft);
            bytes.append(buffer, out - buffer);
            if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
            bytes.append("\xFD\xFF", 2);
            if (errno != EILSEQ) break;  // EINVAL: cut at the end
            ++in;
            --inLeft;
        }
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &out, &outLeft);  // any shift state's closing bytes
        bytes.append(buffer, out - buffer);
        Utf16 units(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < units.size(); ++i) {
            units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                             static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
        }
        return units;
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
