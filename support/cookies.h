// Cookie texts: the cookies a request sends and a response sets, held as plain code-page-936
// texts of "name=value" items separated by "; " (for example "a=1; b=2"). Pure text work; the
// helpers at the end are the text scanning rules the HTTP client shares: they never split or match
// inside a double-byte character.
#pragma once

#include <string_view>
#include <vector>

#include "platform/text.h"

namespace varnelo {

// The cookie text taken from a response's header lines: for every line that begins with
// "set-cookie:" (any letter case), the part after the colon up to its first ";" (or to the end of
// the line when it has none), without surrounding blanks, in line order. Lines that give an empty
// item contribute nothing. Empty when no line qualifies.
Text ExtractCookies(const std::vector<Text>& lines);

// Merges the cookies that were sent with those that came back: the received items in their order,
// then every sent item whose name did not come back, without items ending in "=deleted" and
// without items repeated as a whole. `sent` is replaced by the result; `received` is left trimmed
// of surrounding blanks (with a blank added after a final ";").
Text MergeCookies(Text& sent, Text& received);

// The name of a cookie item: the text before its first "=" (the whole item without one), without
// surrounding blanks. Case is kept.
Text CookieName(std::string_view item);

// `text` split at `delimiter` with every piece equal (byte for byte) to an earlier one removed,
// joined again with `delimiter`.
Text RemoveDuplicateItems(std::string_view text, std::string_view delimiter);

// --- scanning rules shared with the header block and the HTTP client ---

// The pieces of `text` between occurrences of `delimiter`, in order: an empty piece between two
// adjacent delimiters counts, an empty piece after a final delimiter is not produced, an empty
// text gives no pieces. An empty delimiter gives the whole text as one piece.
std::vector<Text> SplitText(std::string_view text, std::string_view delimiter);

// The byte offset of the first occurrence of `needle` that starts on a character boundary at or
// after `from` (itself a boundary), or npos. `ignoreCase` folds the letters A-Z only.
std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from = 0,
                     bool ignoreCase = false);

inline bool ContainsText(std::string_view text, std::string_view needle, bool ignoreCase = false) {
    return FindText(text, needle, 0, ignoreCase) != std::string_view::npos;
}

// `text` without leading and trailing blanks: the ASCII blank and the full-width blank of code
// page 936 (bytes A1 A1).
Text TrimBlanks(std::string_view text);

}  // namespace varnelo
