#include "notice/text_between.h"

#include <optional>
#include <vector>

namespace varnelo {
namespace {

const Text& QuoteMarker() {
    static const Text marker = "#引号"_cp936;
    return marker;
}

Text WithQuotes(const Text& marker) {
    const Text& quote = QuoteMarker();
    Text out;
    size_t from = 0;
    for (size_t at = marker.find(quote); at != Text::npos; at = marker.find(quote, from)) {
        out.append(marker, from, at - from).push_back('"');
        from = at + quote.size();
    }
    return out.append(marker, from, Text::npos);
}

// Byte offsets at which a character begins, plus the end of the text.
std::vector<size_t> CharacterStarts(const Text& text) {
    std::vector<size_t> starts;
    size_t at = 0;
    while (at < text.size()) {
        starts.push_back(at);
        at += IsLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
    }
    starts.push_back(text.size());
    return starts;
}

char FoldCase(char c, bool ignoreCase) {
    return ignoreCase && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool MatchesAt(const Text& text, size_t at, const Text& needle, bool ignoreCase) {
    if (at + needle.size() > text.size()) return false;
    for (size_t i = 0; i < needle.size(); ++i) {
        if (FoldCase(text[at + i], ignoreCase) != FoldCase(needle[i], ignoreCase)) return false;
    }
    return true;
}

// The first character start >= from where `needle` begins (and fits before `limit`).
std::optional<size_t> FindForward(const Text& text, const std::vector<size_t>& starts,
                                  const Text& needle, size_t from, bool ignoreCase) {
    for (size_t at : starts) {
        if (at >= from && MatchesAt(text, at, needle, ignoreCase)) return at;
    }
    return std::nullopt;
}

// The last character start whose occurrence of `needle` ends at or before `endLimit`.
std::optional<size_t> FindBackward(const Text& text, const std::vector<size_t>& starts,
                                   const Text& needle, size_t endLimit, bool ignoreCase) {
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        if (*it + needle.size() <= endLimit && MatchesAt(text, *it, needle, ignoreCase)) return *it;
    }
    return std::nullopt;
}

}  // namespace

Text TextBetween(const Text& text, Text left, Text right, long start, bool ignoreCase) {
    left = WithQuotes(left);
    right = WithQuotes(right);
    if (left.empty() || right.empty()) return {};
    size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
    if (from >= text.size()) return {};
    std::vector<size_t> starts = CharacterStarts(text);
    std::optional<size_t> leftAt = FindForward(text, starts, left, from, ignoreCase);
    if (!leftAt) return {};
    size_t valueAt = *leftAt + left.size();
    std::optional<size_t> rightAt = FindForward(text, starts, right, valueAt, ignoreCase);
    if (!rightAt) return {};
    return text.substr(valueAt, *rightAt - valueAt);
}

Text TextBetweenFromEnd(const Text& text, Text right, Text left, long offset, bool ignoreCase) {
    right = WithQuotes(right);
    left = WithQuotes(left);
    if (left.empty() || right.empty()) return {};
    long limit = static_cast<long>(text.size());
    if (offset > 0) limit -= offset + 1;
    if (limit <= 0) return {};
    std::vector<size_t> starts = CharacterStarts(text);
    std::optional<size_t> rightAt =
        FindBackward(text, starts, right, static_cast<size_t>(limit), ignoreCase);
    if (!rightAt) return {};
    std::optional<size_t> leftAt = FindBackward(text, starts, left, *rightAt, ignoreCase);
    if (!leftAt) return {};
    size_t valueAt = *leftAt + left.size();
    return text.substr(valueAt, *rightAt - valueAt);
}

long CharacterCount(const Text& text) {
    return static_cast<long>(CharacterStarts(text).size()) - 1;
}

Text PadLeftZeros(const Text& text, long width) {
    long missing = width - CharacterCount(text);
    return missing > 0 ? Text(static_cast<size_t>(missing), '0') + text : text;
}

}  // namespace varnelo
