#include "support/script_random.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace varnelo {
namespace {

TEST(ScriptRandomTextTest, GivesDistinctFractionsBetweenZeroAndOne) {
    std::set<Text> seen;
    for (int i = 0; i < 50; ++i) {
        Text text = ScriptRandomText();
        EXPECT_TRUE(std::regex_match(text, std::regex(R"(0\.\d+(e-\d+)?)"))) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 50u);  // fresh engines in quick succession do not repeat
}

}  // namespace
}  // namespace varnelo
