// One regular expression run over one code-page-936 subject, with the matches kept for reading.
//
// The expression language is that of the VBScript/JScript regular-expression object, carried out
// by PCRE2 over the subject converted to UTF-16. PCRE2 accepts a superset of that language; where
// the two would read the same pattern differently the JScript meaning is kept:
//   - "." and the line anchors treat "\r", "\n" and "\r\n" as line ends; "$" without multi-line
//     matches only at the very end of the subject (not before a final line end);
//   - \w, \d, \s and \b are ASCII classes; letter case is ignored by Unicode case folding;
//   - \uhhhh and \xhh escapes; "[]" matches nothing and "[^]" any character;
//   - a back reference to a group that took no part in the match matches the empty text;
//   - after an empty match the next search starts one character further on.
// Escapes that only PCRE2 knows (\a \e \h \v \R \Q...\E and the like) keep their PCRE2
// meaning, and a backslash before a letter that neither language knows makes the pattern invalid
// (JScript would read the letter itself).
// Each match attempt is bounded (a PCRE2 match limit), so a pattern that backtracks without end
// makes the search fail instead of hanging.
//
// Texts are zero-terminated: a pattern, subject or replacement ends at its first zero byte.
// Match and group numbers count from 1; positions are 0-based byte offsets into the subject.
// A matcher and its copies belong to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/text.h"

namespace varnelo {

class RegexMatcher {
public:
    // An empty matcher: no pattern, no matches, empty subject.
    RegexMatcher();
    ~RegexMatcher();
    // Copies share the pattern and the matches of the last search (see Copy).
    RegexMatcher(const RegexMatcher&);
    RegexMatcher& operator=(const RegexMatcher&);
    RegexMatcher(RegexMatcher&&) noexcept;
    RegexMatcher& operator=(RegexMatcher&&) noexcept;

    // Drops the pattern, the matches and the subject; the matcher is empty again.
    void Destroy();

    // A new matcher with the same pattern, matches and subject.
    RegexMatcher Copy() const;

    // Searches `subject` for `pattern`, replacing what the last search left. `caseSensitive`
    // false ignores letter case; `multiline` lets "^" and "$" match at line ends; `global`
    // collects every match (otherwise only the first); `quotePlaceholder` turns every "#引号" in
    // the pattern into a double quote first.
    // Returns true when the search ran, even when nothing matched; false, with no matches kept,
    // when the pattern is invalid or a match attempt exceeded its limit.
    bool Search(std::string_view pattern, std::string_view subject, bool caseSensitive = false,
                bool multiline = true, bool global = true, bool quotePlaceholder = false);

    // Kept for the object's operation table; does nothing.
    void Initialise();

    // The pattern of the last search as it was used (placeholders replaced), even when that
    // search failed; empty before the first search.
    Text GetPattern() const;

    // The subject of the last search with its collected matches (all of them, or only the first
    // when that search was not global) replaced by `replacement`, in which $1..$99 stand for a
    // group's text (empty when the group took no part), $& for the match, $` and $' for the
    // subject before and after it, and $$ for "$"; any other "$" is kept as it is. Empty when
    // the last search failed or there was none.
    Text ReplaceMatches(std::string_view replacement) const;

    // Number of matches of the last search; 0 when it failed or there was none.
    std::int32_t MatchCount() const;

    // The text of match `matchIndex` and, when `position` is given, the byte offset at which it
    // begins. A number outside 1..MatchCount() gives the empty text and position -1.
    Text MatchText(std::int32_t matchIndex, std::int32_t* position = nullptr) const;

    // The text of capture group `groupIndex` of match `matchIndex` (empty for a group that took no
    // part in the match) and, when `position` is given, the byte offset at which the group's text
    // stands in the subject (the match's own offset for a group that took no part). Numbers out
    // of range give the empty text and position -1.
    Text SubMatchText(std::int32_t matchIndex, std::int32_t groupIndex,
                      std::int32_t* position = nullptr) const;

    // The number of capture groups of the pattern when the last search found a match; else 0.
    std::int32_t SubMatchCount() const;

private:
    struct Result;
    Text Piece(std::int32_t matchIndex, std::int32_t group, std::int32_t* position) const;
    static void AppendExpansion(const Utf16& with, const Result& result, std::size_t match,
                                Utf16& out);

    std::shared_ptr<const Result> result_;
};

}  // namespace varnelo
