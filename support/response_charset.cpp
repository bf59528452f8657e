#include "support/response_charset.h"

#include <algorithm>
#include <string_view>

#include "platform/charset_converter.h"
#include "platform/memory_hint.h"
#include "support/regex_matcher.h"

namespace varnelo {
namespace {

constexpr std::size_t kSearchWindow = 1024;

// Both conversions pivot on the C library's own wide characters (UCS-4). Each is then a single
// step inside iconv, where a refused character costs little; through UTF-16 a refused character
// makes iconv redo the rest of its buffer, and a large page of characters that code page 936
// lacks would take many seconds.
static_assert(sizeof(wchar_t) == sizeof(char32_t), "iconv's WCHAR_T is UCS-4 here");

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

// A copy of a page that may be tens of megabytes, in memory that takes huge pages.
Text CopyOfPage(std::string_view raw) {
    Text copy;
    copy.reserve(raw.size());
    HintLargeBuffer(copy.data(), copy.capacity());
    copy.assign(raw);
    return copy;
}

}  // namespace

Text DecodeResponseText(const ByteSet& bytes) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::string_view raw = UpToZero(all);
    const Text charset = CharsetOfPage(raw);
    if (charset.empty() || charset == "gbk" || charset == "gb2312") return CopyOfPage(raw);
    CharsetConverter decode("WCHAR_T", charset.c_str());
    // A name iconv does not know converts nothing: the page stays as it came.
    if (!decode.ok()) return CopyOfPage(raw);
    CharsetConverter encode("CP936", "WCHAR_T");
    if (!encode.ok()) return CopyOfPage(raw);
    std::string_view body = all;
    // Pages saved with a byte-order mark: the mark is not part of the text.
    if (IsUtf8Name(charset) && body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
    constexpr char32_t kReplacement = U'\uFFFD';
    const std::string characters = decode.Run(
        body, 1, std::string_view(reinterpret_cast<const char*>(&kReplacement), 4));
    return Text(UpToZero(encode.Run(characters, sizeof(char32_t), "?")));
}

}  // namespace varnelo
