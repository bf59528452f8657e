#include "support/regex_matcher.h"

#include <gtest/gtest.h>

#include <string>

namespace varnelo {
namespace {

struct Options {
    bool caseSensitive = false;
    bool multiline = true;
    bool global = true;
    bool quotePlaceholder = false;
};

bool Search(RegexMatcher& matcher, std::string_view pattern, std::string_view subject,
            Options o = {}) {
    return matcher.Search(pattern, subject, o.caseSensitive, o.multiline, o.global,
                          o.quotePlaceholder);
}

TEST(RegexMatcher, SearchReportsWhetherItRanNotWhetherItMatched) {
    struct Case {
        const char* pattern;
        const char* subject;
        bool ran;
        int count;
    } cases[] = {
        {"a", "xay", true, 1},
        {"b", "xay", true, 0},
        {"(", "xay", false, 0},
        {"a{2", "a{2", true, 1},  // an unfinished quantifier is literal text, as in JScript
        {"[", "x", false, 0},
        {"a", "", true, 0},
        {"", "ab", true, 3},  // the empty pattern matches before, between and after
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        EXPECT_EQ(matcher.Search(c.pattern, c.subject), c.ran) << c.pattern;
        EXPECT_EQ(matcher.MatchCount(), c.count) << c.pattern;
        EXPECT_EQ(matcher.GetPattern(), c.pattern);
    }
}

TEST(RegexMatcher, FailedSearchLeavesNoMatchesOfTheSearchBefore) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search("a", "aaa"));
    EXPECT_FALSE(matcher.Search("(a", "aaa"));
    EXPECT_EQ(matcher.MatchCount(), 0);
    EXPECT_EQ(matcher.MatchText(1), "");
    EXPECT_EQ(matcher.ReplaceMatches("x"), "");
    EXPECT_EQ(matcher.GetPattern(), "(a");
}

TEST(RegexMatcher, OptionsAndTheirDefaults) {
    struct Case {
        const char* pattern;
        const char* subject;
        Options options;
        int count;
    } cases[] = {
        {"<meta.+?charset=", "<META CHARSET=utf-8", {}, 1},  // case ignored by default
        {"<meta.+?charset=", "<META CHARSET=utf-8", {.caseSensitive = true}, 0},
        {"^b$", "a\nb\nc", {}, 1},  // multi-line by default
        {"^b$", "a\r\nb\r\nc", {}, 1},
        {"^b", "a\nb", {.multiline = false}, 0},
        {"a", "aaa", {}, 3},  // global by default
        {"a", "aaa", {.global = false}, 1},
        {"ΑΒ", "αβ", {}, 1},  // case folding beyond ASCII
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        Text pattern = Utf8ToCp936(std::string_view(c.pattern));
        Text subject = Utf8ToCp936(std::string_view(c.subject));
        ASSERT_TRUE(Search(matcher, pattern, subject, c.options)) << c.pattern;
        EXPECT_EQ(matcher.MatchCount(), c.count) << c.pattern << " over " << c.subject;
    }
}

// Where PCRE2 on its own would read a pattern otherwise than the JScript expression object.
TEST(RegexMatcher, KeepsTheJScriptMeaningOfPatterns) {
    struct Case {
        const char* pattern;
        const char* subject;
        bool multiline;
        const char* firstMatch;  // nullptr: no match
    } cases[] = {
        {"a.b", "a\rb", true, nullptr},  // "." stops at either line end
        {"a.b", "a\nb", true, nullptr},
        {"a$", "a\n", false, nullptr},  // without multi-line "$" is the very end only
        {"a$", "a", false, "a"},
        {"a$", "a\rb", true, "a"},
        {R"(\u4e2d.)", "x中文", true, "中文"},
        {R"(\x41+)", "bAA", true, "AA"},
        {"a[^]b", "a\nb", true, "a\nb"},
        {"a[]b", "ab", true, nullptr},
        {R"((x)?\1b)", "b", true, "b"},  // an unset group's back reference matches empty
        {R"(\w+)", "中ab_9", true, "ab_9"},  // \w is ASCII only
        {R"(\d)", "１2", true, "2"},  // full-width digits are not \d
        {R"(\s)", "　x", true, nullptr},  // nor is the ideographic space \s
        {R"(\bb)", "中b", true, "b"},
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        Text subject = Utf8ToCp936(std::string_view(c.subject));
        ASSERT_TRUE(Search(matcher, Utf8ToCp936(std::string_view(c.pattern)), subject,
                           {.multiline = c.multiline}))
            << c.pattern;
        if (c.firstMatch) {
            EXPECT_EQ(matcher.MatchText(1), Utf8ToCp936(std::string_view(c.firstMatch)))
                << c.pattern;
        } else {
            EXPECT_EQ(matcher.MatchCount(), 0) << c.pattern;
        }
    }
}

TEST(RegexMatcher, EmptyMatchesMoveOnByOneCharacter) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search("a*", "baa"));
    ASSERT_EQ(matcher.MatchCount(), 3);
    EXPECT_EQ(matcher.MatchText(1), "");
    EXPECT_EQ(matcher.MatchText(2), "aa");
    EXPECT_EQ(matcher.MatchText(3), "");
    std::int32_t position = 0;
    matcher.MatchText(3, &position);
    EXPECT_EQ(position, 3);

    ASSERT_TRUE(matcher.Search("x?", "中文"_cp936));
    EXPECT_EQ(matcher.MatchCount(), 3);
    matcher.MatchText(2, &position);
    EXPECT_EQ(position, 2);  // the second empty match stands after the first double-byte character
}

TEST(RegexMatcher, MatchesAndGroups) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search(R"((\w)(\d))", "a1 b2"));
    EXPECT_EQ(matcher.MatchCount(), 2);
    EXPECT_EQ(matcher.MatchText(1), "a1");
    EXPECT_EQ(matcher.MatchText(2), "b2");
    EXPECT_EQ(matcher.SubMatchText(2, 1), "b");
    EXPECT_EQ(matcher.SubMatchText(2, 2), "2");
    EXPECT_EQ(matcher.SubMatchCount(), 2);

    ASSERT_TRUE(matcher.Search(R"(([a-z])(\d))", "no digits"));
    EXPECT_EQ(matcher.SubMatchCount(), 0);  // no match, so no group collection to count
}

TEST(RegexMatcher, NumbersOutsideTheCollectionsGiveEmptyTexts) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search(R"((\w)(\d))", "a1 b2"));
    struct Case {
        int match;
        int group;  // 0: MatchText
    } cases[] = {{0, 0}, {-1, 0}, {3, 0}, {1, 3}, {1, 0x7fffffff}, {3, 1}, {0, 1}};
    for (const auto& c : cases) {
        std::int32_t position = 99;
        Text text = c.group == 0 ? matcher.MatchText(c.match, &position)
                                 : matcher.SubMatchText(c.match, c.group, &position);
        EXPECT_EQ(text, "") << c.match << "," << c.group;
        EXPECT_EQ(position, -1) << c.match << "," << c.group;
    }
    std::int32_t position = 99;
    EXPECT_EQ(matcher.SubMatchText(1, 0, &position), "");  // groups count from 1
    EXPECT_EQ(position, -1);
}

TEST(RegexMatcher, AnEmptyMatcherReadsAsNothing) {
    RegexMatcher matcher;
    EXPECT_EQ(matcher.MatchCount(), 0);
    EXPECT_EQ(matcher.SubMatchCount(), 0);
    EXPECT_EQ(matcher.MatchText(1), "");
    EXPECT_EQ(matcher.SubMatchText(1, 1), "");
    EXPECT_EQ(matcher.GetPattern(), "");
    EXPECT_EQ(matcher.ReplaceMatches("x"), "");
    matcher.Initialise();
    EXPECT_EQ(matcher.MatchCount(), 0);
}

TEST(RegexMatcher, PositionsAreByteOffsetsInTheSubject) {
    struct Case {
        const char* pattern;
        Text subject;
        int match;
        int group;  // 0: the match itself
        Text text;
        int position;
    } cases[] = {
        {"a", "aa", 2, 0, "a", 1},
        {"b", "中b"_cp936, 1, 0, "b", 2},
        {"文(b)", "中文b"_cp936, 1, 1, "b", 4},
        {"(a)b(a)", "中aba"_cp936, 1, 2, "a", 4},  // not the earlier "a" of the same match
        {"(x)?b", "中b"_cp936, 1, 1, "", 2},       // a group that took no part: the match's offset
        {"b", "\xFF" "b", 1, 0, "b", 1},           // a byte that is not code page 936 counts as one
        {"b", "€b"_cp936, 1, 0, "b", 1},           // 0x80 is a one-byte character
        {"c", "a\xB0 c", 1, 0, "c", 3},            // a lead byte with no second byte
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        ASSERT_TRUE(matcher.Search(Utf8ToCp936(std::string_view(c.pattern)), c.subject))
            << c.pattern;
        std::int32_t position = -2;
        Text text = c.group == 0 ? matcher.MatchText(c.match, &position)
                                 : matcher.SubMatchText(c.match, c.group, &position);
        EXPECT_EQ(text, c.text) << c.pattern;
        EXPECT_EQ(position, c.position) << c.pattern;
        if (c.group == 0) {
            EXPECT_EQ(matcher.MatchText(c.match), text) << "without a position";
        }
    }
}

TEST(RegexMatcher, PositionsInALongSubject) {
    Text subject;
    for (int i = 0; i < 50000; ++i) subject += "中a"_cp936;
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search("a", subject));
    ASSERT_EQ(matcher.MatchCount(), 50000);
    for (int m : {1, 2, 25000, 50000}) {
        std::int32_t position = 0;
        EXPECT_EQ(matcher.MatchText(m, &position), "a");
        EXPECT_EQ(position, 3 * m - 1);
        EXPECT_EQ(subject[position], 'a');
    }
}

TEST(RegexMatcher, ATextEndsAtItsFirstZeroByte) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search("a", std::string_view("a\0a", 3)));
    EXPECT_EQ(matcher.MatchCount(), 1);
    ASSERT_TRUE(matcher.Search(std::string_view("b\0(", 3), "ab"));
    EXPECT_EQ(matcher.MatchCount(), 1);
    EXPECT_EQ(matcher.ReplaceMatches(std::string_view("x\0y", 3)), "ax");
}

TEST(RegexMatcher, ReplaceMatches) {
    struct Case {
        const char* pattern;
        const char* subject;
        Options options;
        const char* replacement;
        const char* result;
    } cases[] = {
        {"a", "aa", {.global = false}, "x", "xa"},
        {"a", "aa", {}, "x", "xx"},
        {"A", "bab", {.caseSensitive = true}, "x", "bab"},
        {"z", "abc", {}, "x", "abc"},
        {R"((\w)(\d))", "a1 b2", {}, "[$2$1]", "[1a] [2b]"},
        {"b", "abc", {}, "[$&$&]", "a[bb]c"},
        {"b", "abc", {}, "[$`|$']", "a[a|c]c"},
        {"b", "abc", {}, "$$", "a$c"},
        {"b", "abc", {}, "$", "a$c"},
        {"b", "abc", {}, "$x$", "a$x$c"},
        {"(b)", "abc", {}, "$0$2", "a$0$2c"},   // no group 0 or 2: kept as written
        {"(b)", "abc", {}, "$10", "ab0c"},      // one group: $1 followed by 0
        {"(b)", "abc", {}, "$01", "abc"},
        {"(x)?b", "abc", {}, "[$1]", "a[]c"},   // a group that took no part is empty
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "abcdefghijk", {}, "$11$10$1", "kja"},
        {"文", "中文字", {}, "字", "中字字"},
        {"^", "a\nb", {}, ">", ">a\n>b"},
        {"x*", "ab", {}, "-", "-a-b-"},
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        ASSERT_TRUE(Search(matcher, Utf8ToCp936(std::string_view(c.pattern)),
                           Utf8ToCp936(std::string_view(c.subject)), c.options))
            << c.pattern;
        EXPECT_EQ(matcher.ReplaceMatches(Utf8ToCp936(std::string_view(c.replacement))),
                  Utf8ToCp936(std::string_view(c.result)))
            << c.pattern << " with " << c.replacement;
    }
}

TEST(RegexMatcher, QuotePlaceholderBecomesADoubleQuote) {
    RegexMatcher matcher;
    const Text pattern = "#引号\\w+#引号"_cp936;
    ASSERT_TRUE(matcher.Search(pattern, R"(say "hi" now)", false, true, true, true));
    EXPECT_EQ(matcher.MatchText(1), R"("hi")");
    EXPECT_EQ(matcher.GetPattern(), R"("\w+")");

    ASSERT_TRUE(matcher.Search(pattern, R"(say "hi" now)"));
    EXPECT_EQ(matcher.MatchCount(), 0);
    EXPECT_EQ(matcher.GetPattern(), pattern);
}

TEST(RegexMatcher, CopiesKeepTheirOwnSearch) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Search(R"((\d))", "a1b2"));
    RegexMatcher copy = matcher.Copy();
    ASSERT_TRUE(matcher.Search("x", "y"));
    EXPECT_EQ(copy.MatchCount(), 2);
    EXPECT_EQ(copy.SubMatchText(2, 1), "2");
    EXPECT_EQ(copy.GetPattern(), R"((\d))");
    EXPECT_EQ(copy.ReplaceMatches("#"), "a#b#");
    EXPECT_EQ(matcher.MatchCount(), 0);

    copy.Destroy();
    EXPECT_EQ(copy.MatchCount(), 0);
    EXPECT_EQ(copy.GetPattern(), "");
    EXPECT_TRUE(copy.Search("a", "a"));  // a destroyed matcher can search again
    EXPECT_EQ(copy.MatchCount(), 1);
}

TEST(RegexMatcher, RunawayBacktrackingFailsTheSearchInsteadOfHanging) {
    const Text as = Text(40, 'a') + "!";
    const char* patterns[] = {"^(a+)+$", "(a|a)*$", "(a*)*$", R"(^(\w+\s?)*$)", "(.*a){20}$"};
    for (const char* pattern : patterns) {
        // Without the bound each of these runs for hours.
        RegexMatcher matcher;
        EXPECT_FALSE(matcher.Search(pattern, as)) << pattern;
        EXPECT_EQ(matcher.MatchCount(), 0);
        EXPECT_EQ(matcher.ReplaceMatches("x"), "");
    }
}

}  // namespace
}  // namespace varnelo
