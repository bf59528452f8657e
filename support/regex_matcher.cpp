#include "support/regex_matcher.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

namespace varnelo {

// What one search leaves behind. It never changes once made, so copies of a matcher share it.
struct RegexMatcher::Result {
    Text pattern;
    bool ran = false;  // the search ran; the fields below are valid
    Utf16 subject;
    std::size_t groupCount = 0;
    // Per match, (groupCount + 1) pairs of start and end unit offsets; PCRE2_UNSET for a group
    // that took no part.
    std::vector<PCRE2_SIZE> spans;
    // Byte offset in the code-page-936 subject of each unit offset (one more entry than units).
    std::vector<std::size_t> byteOffsets;

    std::size_t MatchCount() const { return spans.size() / (2 * (groupCount + 1)); }
    const PCRE2_SIZE* Span(std::size_t match, std::size_t group) const {
        return &spans[2 * (match * (groupCount + 1) + group)];
    }
    std::u16string_view Slice(const PCRE2_SIZE* span) const {
        if (span[0] == PCRE2_UNSET) return {};
        return std::u16string_view(subject).substr(span[0], span[1] - span[0]);
    }
};

namespace {

// A pattern that backtracks without end stops here instead of holding the thread. Ordinary
// patterns over ordinary pages stay far below it.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr PCRE2_SIZE kJitStackMax = 1024 * 1024;

struct CodeFree {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct CompileContextFree {
    void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};
struct MatchContextFree {
    void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct JitStackFree {
    void operator()(pcre2_jit_stack* stack) const { pcre2_jit_stack_free(stack); }
};
using Code = std::unique_ptr<pcre2_code, CodeFree>;

std::string_view UpToZero(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

Utf16 ToUtf16(std::string_view text) { return Cp936ToUtf16(UpToZero(text)); }

Text ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    Text out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(from, start)) != std::string_view::npos;
         start = at + from.size()) {
        out.append(text.substr(start, at - start)).append(to);
    }
    return out.append(text.substr(start));
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

Code Compile(const Utf16& pattern, bool caseSensitive, bool multiline) {
    std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
        pcre2_compile_context_create(nullptr));
    if (!context) return nullptr;
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANYCRLF);
    std::uint32_t options = PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS |
                            PCRE2_MATCH_UNSET_BACKREF;
    if (!caseSensitive) options |= PCRE2_CASELESS;
    options |= multiline ? PCRE2_MULTILINE : PCRE2_DOLLAR_ENDONLY;
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    Code code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                            options, &error, &errorOffset, context.get()));
    // Without JIT support the interpreter runs the same pattern, only slower.
    if (code) pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
    return code;
}

// Runs `code` over `subject` and appends each match's group spans to `spans`: all matches when
// `global`, else the first. False when an attempt failed (its limit, or no memory).
bool CollectMatches(const pcre2_code* code, bool global, const Utf16& subject,
                    std::vector<PCRE2_SIZE>& spans) {
    std::unique_ptr<pcre2_match_data, MatchDataFree> data(
        pcre2_match_data_create_from_pattern(code, nullptr));
    std::unique_ptr<pcre2_match_context, MatchContextFree> context(
        pcre2_match_context_create(nullptr));
    std::unique_ptr<pcre2_jit_stack, JitStackFree> stack(
        pcre2_jit_stack_create(32 * 1024, kJitStackMax, nullptr));
    if (!data || !context || !stack) return false;
    pcre2_set_match_limit(context.get(), kMatchLimit);
    pcre2_jit_stack_assign(context.get(), nullptr, stack.get());

    const auto* units = reinterpret_cast<PCRE2_SPTR>(subject.data());
    const std::uint32_t pairs = pcre2_get_ovector_count(data.get());
    std::uint32_t checkUtf = 0;  // the subject is checked once, on the first attempt
    for (PCRE2_SIZE start = 0; start <= subject.size();) {
        int rc = pcre2_match(code, units, subject.size(), start, checkUtf, data.get(),
                             context.get());
        checkUtf = PCRE2_NO_UTF_CHECK;
        if (rc == PCRE2_ERROR_NOMATCH) break;
        if (rc < 0) return false;
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
        spans.insert(spans.end(), ovector, ovector + 2 * pairs);
        if (!global) break;
        const PCRE2_SIZE end = ovector[1];
        start = end;
        if (end == ovector[0]) {
            // After an empty match the next attempt starts one character further on.
            ++start;
            if (start < subject.size() && IsLowSurrogate(subject[start]) &&
                IsHighSurrogate(subject[start - 1])) {
                ++start;
            }
        }
    }
    return true;
}

// Byte length in code page 936 of each UTF-16 unit: a surrogate pair is one default character.
std::vector<std::size_t> ByteOffsets(const Utf16& subject) {
    thread_local std::array<std::uint8_t, 0x10000> lengths{};  // 0: not yet known
    std::vector<std::size_t> offsets(subject.size() + 1, 0);
    for (std::size_t i = 0; i < subject.size(); ++i) {
        char16_t unit = subject[i];
        std::size_t length = 1;
        if (IsLowSurrogate(unit) && i > 0 && IsHighSurrogate(subject[i - 1])) {
            length = 0;
        } else if (unit >= 0x80 && !IsHighSurrogate(unit) && !IsLowSurrogate(unit)) {
            if (lengths[unit] == 0) {
                lengths[unit] = static_cast<std::uint8_t>(Utf16ToCp936(std::u16string_view(&unit, 1)).size());
            }
            length = lengths[unit];
        }
        offsets[i + 1] = offsets[i] + length;
    }
    return offsets;
}

std::int32_t ToPosition(std::size_t offset) {
    return static_cast<std::int32_t>(std::min<std::size_t>(offset, INT32_MAX));
}

}  // namespace

RegexMatcher::RegexMatcher() = default;
RegexMatcher::~RegexMatcher() = default;
RegexMatcher::RegexMatcher(const RegexMatcher&) = default;
RegexMatcher& RegexMatcher::operator=(const RegexMatcher&) = default;
RegexMatcher::RegexMatcher(RegexMatcher&&) noexcept = default;
RegexMatcher& RegexMatcher::operator=(RegexMatcher&&) noexcept = default;

void RegexMatcher::Destroy() { result_.reset(); }

RegexMatcher RegexMatcher::Copy() const { return *this; }

void RegexMatcher::Initialise() {}

bool RegexMatcher::Search(std::string_view pattern, std::string_view subject, bool caseSensitive,
                          bool multiline, bool global, bool quotePlaceholder) {
    auto result = std::make_shared<Result>();
    result->pattern = Text(UpToZero(pattern));
    if (quotePlaceholder) result->pattern = ReplaceAll(result->pattern, "#引号"_cp936, "\"");
    result_ = result;
    Code code = Compile(ToUtf16(result->pattern), caseSensitive, multiline);
    if (!code) return false;
    std::uint32_t groups = 0;
    pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &groups);
    result->groupCount = groups;
    result->subject = ToUtf16(subject);
    if (!CollectMatches(code.get(), global, result->subject, result->spans)) {
        result->spans.clear();
        result->subject.clear();
        return false;
    }
    if (!result->spans.empty()) result->byteOffsets = ByteOffsets(result->subject);
    result->ran = true;
    return true;
}

Text RegexMatcher::GetPattern() const { return result_ ? result_->pattern : Text(); }

std::int32_t RegexMatcher::MatchCount() const {
    return result_ ? ToPosition(result_->MatchCount()) : 0;
}

std::int32_t RegexMatcher::SubMatchCount() const {
    if (!result_ || result_->MatchCount() == 0) return 0;
    return ToPosition(result_->groupCount);
}

Text RegexMatcher::MatchText(std::int32_t matchIndex, std::int32_t* position) const {
    return Piece(matchIndex, 0, position);
}

Text RegexMatcher::SubMatchText(std::int32_t matchIndex, std::int32_t groupIndex,
                                std::int32_t* position) const {
    return groupIndex < 1 ? Piece(0, 0, position) : Piece(matchIndex, groupIndex, position);
}

Text RegexMatcher::Piece(std::int32_t matchIndex, std::int32_t group,
                         std::int32_t* position) const {
    if (position) *position = -1;
    if (!result_ || matchIndex < 1 || static_cast<std::size_t>(matchIndex) > result_->MatchCount() ||
        group < 0 || static_cast<std::size_t>(group) > result_->groupCount) {
        return {};
    }
    const PCRE2_SIZE* match = result_->Span(matchIndex - 1, 0);
    const PCRE2_SIZE* span = result_->Span(matchIndex - 1, group);
    if (position) {
        PCRE2_SIZE start = span[0] == PCRE2_UNSET ? match[0] : span[0];
        *position = ToPosition(result_->byteOffsets[start]);
    }
    return Utf16ToCp936(result_->Slice(span));
}

Text RegexMatcher::ReplaceMatches(std::string_view replacement) const {
    if (!result_ || !result_->ran) return {};
    const Result& r = *result_;
    const Utf16 with = ToUtf16(replacement);
    Utf16 out;
    PCRE2_SIZE copied = 0;
    for (std::size_t m = 0; m < r.MatchCount(); ++m) {
        const PCRE2_SIZE* match = r.Span(m, 0);
        out.append(r.subject, copied, match[0] - copied);
        AppendExpansion(with, r, m, out);
        copied = match[1];
    }
    out.append(r.subject, copied);
    return Utf16ToCp936(out);
}

// Expands the "$" references of `with` for match `m` (JScript's rules: "$nn" names group nn when
// the pattern has that many groups, else "$n" followed by the digit n; no such group keeps the
// "$" as it is).
void RegexMatcher::AppendExpansion(const Utf16& with, const Result& r, std::size_t m,
                                   Utf16& out) {
    const PCRE2_SIZE* match = r.Span(m, 0);
    auto digit = [&](std::size_t k) -> int {
        return k < with.size() && with[k] >= u'0' && with[k] <= u'9' ? with[k] - u'0' : -1;
    };
    for (std::size_t i = 0; i < with.size(); ++i) {
        if (with[i] != u'$' || i + 1 == with.size()) {
            out.push_back(with[i]);
            continue;
        }
        const char16_t next = with[i + 1];
        if (next == u'$') {
            out.push_back(u'$');
        } else if (next == u'&') {
            out.append(r.Slice(match));
        } else if (next == u'`') {
            out.append(r.subject, 0, match[0]);
        } else if (next == u'\'') {
            out.append(r.subject, match[1]);
        } else if (int one = digit(i + 1), two = digit(i + 2);
                   one >= 0 && two >= 0 && one * 10 + two >= 1 &&
                   static_cast<std::size_t>(one * 10 + two) <= r.groupCount) {
            out.append(r.Slice(r.Span(m, one * 10 + two)));
            i += 2;
            continue;
        } else if (one >= 1 && static_cast<std::size_t>(one) <= r.groupCount) {
            out.append(r.Slice(r.Span(m, one)));
        } else {
            out.push_back(u'$');
            continue;
        }
        ++i;
    }
}

}  // namespace varnelo
