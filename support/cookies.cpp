#include "support/cookies.h"

namespace varnelo {
namespace {

constexpr std::string_view kItemDelimiter = "; ";
constexpr std::string_view kDeletedMark = "=deleted";

// Width of the character that starts at `pos`: two bytes for a lead byte with a byte after it.
std::size_t CharWidth(std::string_view text, std::size_t pos) {
    return (IsLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size()) ? 2 : 1;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool MatchesAt(std::string_view text, std::size_t pos, std::string_view needle, bool ignoreCase) {
    if (text.size() - pos < needle.size()) return false;
    for (std::size_t i = 0; i < needle.size(); ++i) {
        char a = text[pos + i];
        char b = needle[i];
        if (ignoreCase ? FoldAscii(a) != FoldAscii(b) : a != b) return false;
    }
    return true;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from,
                     bool ignoreCase) {
    if (from > text.size()) return std::string_view::npos;
    if (needle.empty()) return from;
    for (std::size_t pos = from; pos < text.size(); pos += CharWidth(text, pos)) {
        if (MatchesAt(text, pos, needle, ignoreCase)) return pos;
    }
    return std::string_view::npos;
}

std::vector<Text> SplitText(std::string_view text, std::string_view delimiter) {
    std::vector<Text> pieces;
    if (text.empty()) return pieces;
    if (delimiter.empty()) return {Text(text)};
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t hit = FindText(text, delimiter, start);
        if (hit == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            break;
        }
        pieces.emplace_back(text.substr(start, hit - start));
        start = hit + delimiter.size();
    }
    return pieces;
}

Text TrimBlanks(std::string_view text) {
    // Walk characters from the front so that a trailing A1 A1 is known to be one character and
    // not the trail byte of one character followed by the lead byte of the next.
    std::size_t begin = 0;
    std::size_t end = 0;  // one past the last non-blank character
    bool seenNonBlank = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t width = CharWidth(text, pos);
        bool blank = (width == 1 && text[pos] == ' ') ||
                     (width == 2 && static_cast<unsigned char>(text[pos]) == 0xA1 &&
                      static_cast<unsigned char>(text[pos + 1]) == 0xA1);
        if (!blank) {
            if (!seenNonBlank) begin = pos;
            seenNonBlank = true;
            end = pos + width;
        }
        pos += width;
    }
    return seenNonBlank ? Text(text.substr(begin, end - begin)) : Text();
}

Text ExtractCookies(const std::vector<Text>& lines) {
    constexpr std::string_view kPrefix = "set-cookie:";
    Text result;
    for (const Text& line : lines) {
        if (!MatchesAt(line, 0, kPrefix, /*ignoreCase=*/true)) continue;
        // A cookie sent without attributes has no ";": the rest of the line is the item.
        std::size_t semicolon = FindText(line, ";", kPrefix.size());
        std::string_view rest = std::string_view(line).substr(kPrefix.size());
        if (semicolon != std::string_view::npos) rest = rest.substr(0, semicolon - kPrefix.size());
        Text item = TrimBlanks(rest);
        if (item.empty()) continue;
        if (!result.empty()) result += kItemDelimiter;
        result += item;
    }
    return result;
}

Text CookieName(std::string_view item) {
    std::size_t equals = FindText(item, "=");
    return TrimBlanks(equals == std::string_view::npos ? item : item.substr(0, equals));
}

Text RemoveDuplicateItems(std::string_view text, std::string_view delimiter) {
    std::vector<Text> kept;
    for (Text& piece : SplitText(text, delimiter)) {
        bool seen = false;
        for (const Text& earlier : kept) {
            if (earlier == piece) {
                seen = true;
                break;
            }
        }
        if (!seen) kept.push_back(std::move(piece));
    }
    Text joined;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) joined += delimiter;
        joined += kept[i];
    }
    return joined;
}

namespace {

Text PrepareCookieText(std::string_view text) {
    Text trimmed = TrimBlanks(text);
    if (!trimmed.empty() && trimmed.back() == ';') trimmed += ' ';
    return trimmed;
}

}  // namespace

Text MergeCookies(Text& sent, Text& received) {
    sent = PrepareCookieText(sent);
    received = PrepareCookieText(received);
    std::vector<Text> merged = SplitText(received, kItemDelimiter);
    for (Text& item : SplitText(sent, kItemDelimiter)) {
        Text name = CookieName(item);
        bool cameBack = false;
        for (const Text& other : merged) {
            if (CookieName(other) == name) {
                cameBack = true;
                break;
            }
        }
        if (!cameBack) merged.push_back(std::move(item));
    }
    Text output;
    for (const Text& item : merged) {
        if (EndsWith(item, kDeletedMark)) continue;
        output += item;
        output += kItemDelimiter;
    }
    if (!output.empty()) output.resize(output.size() - kItemDelimiter.size());
    sent = RemoveDuplicateItems(output, kItemDelimiter);
    return sent;
}

}  // namespace varnelo
