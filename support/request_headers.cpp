#include "support/request_headers.h"

#include <array>

#include "support/cookies.h"

namespace varnelo {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr int kPostMethod = 1;

struct DefaultHeader {
    std::string_view probe;
    std::string_view line;
    bool postOnly;
};

constexpr std::array<DefaultHeader, 6> kDefaultHeaders{{
    {"User-Agent: ",
     "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)", false},
    {"Accept: ", "Accept: text/html, application/xhtml+xml, */*", false},
    {"Accept-Encoding: ", "Accept-Encoding: identity", false},
    {"Accept-Language: ", "Accept-Language: zh-cn", false},
    {"Content-Type:", "Content-Type: application/x-www-form-urlencoded", true},
    {"Cache-Control: ", "Cache-Control: no-cache", false},
}};

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

Text CapitaliseName(std::string_view name) {
    // Upper-case the first byte and every byte after a "-". A "-" is never a trail byte of a
    // double-byte character, so the byte after it starts a character.
    Text out(name);
    bool wordStart = true;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (wordStart) out[i] = UpperAscii(out[i]);
        wordStart = out[i] == '-';
        if (!wordStart && IsLeadByte(static_cast<unsigned char>(out[i])) && i + 1 < out.size()) ++i;
    }
    return out;
}

void RemoveAll(Text& block, std::string_view what) {
    for (std::size_t pos = FindText(block, what); pos != Text::npos;
         pos = FindText(block, what, pos)) {
        block.erase(pos, what.size());
    }
}

}  // namespace

Text NormalizeHeaderNames(std::string_view block) {
    Text out;
    for (const Text& line : SplitText(block, kCrLf)) {
        std::size_t colon = FindText(line, ":");
        if (colon == Text::npos) continue;
        if (!out.empty()) out += kCrLf;
        out += CapitaliseName(std::string_view(line).substr(0, colon));
        out += std::string_view(line).substr(colon);
    }
    return out;
}

Text HeaderValue(std::string_view block, std::string_view name) {
    for (const Text& line : SplitText(block, kCrLf)) {
        if (line.compare(0, name.size(), name) != 0 || line.size() < name.size()) continue;
        Text marker = Text(name) + ": ";
        std::size_t last = Text::npos;
        for (std::size_t pos = FindText(line, marker); pos != Text::npos;
             pos = FindText(line, marker, pos + 1)) {
            last = pos;
        }
        return last == Text::npos ? Text() : line.substr(last + marker.size());
    }
    return Text();
}

Text BuildRequestHeaders(std::string_view headers, int method, std::string_view cookies,
                         bool addDefaultHeaders, bool normalizeHeaders) {
    Text block;
    if (!headers.empty()) {
        block = headers;
        block += kCrLf;
    }
    if (addDefaultHeaders) {
        for (const DefaultHeader& row : kDefaultHeaders) {
            if (row.postOnly && method != kPostMethod) continue;
            if (ContainsText(block, row.probe, /*ignoreCase=*/true)) continue;
            block += row.line;
            block += kCrLf;
        }
    }
    if (normalizeHeaders) block = NormalizeHeaderNames(block);
    if (ContainsText(block, "Connection") && HeaderValue(block, "Connection") == "keep-alive") {
        RemoveAll(block, "Connection: keep-alive\r\n");
    }
    if (!cookies.empty() && !ContainsText(block, "Cookie:", /*ignoreCase=*/true)) {
        block += kCrLf;
        if (!ContainsText(cookies, "Cookie:", /*ignoreCase=*/true)) block += "Cookie: ";
        block += cookies;
        block += kCrLf;
    }
    return block;
}

}  // namespace varnelo
