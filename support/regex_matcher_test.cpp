#include "support/regex_matcher.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

TEST(RegexMatcher, SearchRunsEvenWhenNothingMatches) {
    struct Case {
        const char* pattern;
        const char* subject;
        bool ran;
        int count;
    } cases[] = {
        {"a", "xay", true, 1},
        {"b", "xay", true, 0},
        {"(", "xay", false, 0},
        {"a", "", true, 0},
        {"", "ab", true, 3},  // the empty pattern matches before, between and after
    };
    for (const auto& c : cases) {
        RegexMatcher matcher;
        EXPECT_EQ(matcher.Search(c.pattern, c.subject), c.ran) << c.pattern;
        EXPECT_EQ(matcher.MatchCount(), c.count) << c.pattern;
    }
}

}  // namespace
}  // namespace varnelo
