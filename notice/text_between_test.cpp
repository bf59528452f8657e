#include "notice/text_between.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

// "啊" is B0 A1 and "经" is BE AD: together they hold the bytes A1 BE of "【" across a character
// boundary, which a character-wise search must not see.
const Text kStraddling = "啊经1】"_cp936;

struct BetweenCase {
    const char* name;
    Text text, left, right;
    long start;
    bool ignoreCase;
    Text expected;
};

class TextBetweenTest : public testing::TestWithParam<BetweenCase> {};

TEST_P(TextBetweenTest, FindsTheFirstPairAtOrAfterStart) {
    const BetweenCase& c = GetParam();
    EXPECT_EQ(TextBetween(c.text, c.left, c.right, c.start, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextBetweenTest,
    testing::Values(
        BetweenCase{"Brackets", "x[1]", "[", "]", 1, false, "1"},
        BetweenCase{"ZeroStartIsBeginning", "x[1]", "[", "]", 0, false, "1"},
        BetweenCase{"FirstOccurrenceWins", "[a][b]", "[", "]", 1, false, "a"},
        BetweenCase{"StartSkipsEarlierLeft", "[a][b]", "[", "]", 2, false, "b"},
        BetweenCase{"StartPastEnd", "[a]", "[", "]", 9, false, ""},
        BetweenCase{"LeftMissing", "a]", "[", "]", 1, false, ""},
        BetweenCase{"RightMissing", "版本号【9.6"_cp936, "版本号【"_cp936, "】"_cp936, 1, false, ""},
        BetweenCase{"RightSearchedAfterLeft", "]x[y]", "[", "]", 1, false, "y"},
        BetweenCase{"EmptyValue", "[]", "[", "]", 1, false, ""},
        BetweenCase{"QuoteMarker", "a=\"v\";", "a=#引号"_cp936, "#引号"_cp936, 1, false, "v"},
        BetweenCase{"CaseMatters", "<B>x</B>", "<b>", "</b>", 1, false, ""},
        BetweenCase{"IgnoreCase", "<B>x</B>", "<b>", "</b>", 1, true, "x"},
        BetweenCase{"ChineseValue", "公告【更新内容】"_cp936, "【"_cp936, "】"_cp936, 1, false,
                    "更新内容"_cp936},
        BetweenCase{"NeverAcrossACharacter", kStraddling, "【"_cp936, "】"_cp936, 1, false, ""}),
    [](const testing::TestParamInfo<BetweenCase>& info) { return info.param.name; });

struct FromEndCase {
    const char* name;
    Text text, right, left;
    long offset;
    Text expected;
};

class TextBetweenFromEndTest : public testing::TestWithParam<FromEndCase> {};

TEST_P(TextBetweenFromEndTest, FindsTheLastPair) {
    const FromEndCase& c = GetParam();
    EXPECT_EQ(TextBetweenFromEnd(c.text, c.right, c.left, c.offset), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextBetweenFromEndTest,
    testing::Values(
        FromEndCase{"LastSegment", "a/b/c/", "/", "/", 0, "c"},
        FromEndCase{"ShareKey", "https://share.weiyun.com/Ab12/", "/", "/", 0, "Ab12"},
        FromEndCase{"TrailingSlashGivesEmpty", "https://h/k//", "/", "/", 0, ""},
        // Only the first length - offset - 1 = 4 bytes are searched for the right marker.
        FromEndCase{"OffsetLimitsRight", "a/b/c/", "/", "/", 1, "b"},
        FromEndCase{"LeftMustEndBeforeRight", "x]", "]", "[", 0, ""},
        FromEndCase{"MultiByteMarkers", "【一】【二】"_cp936, "】"_cp936, "【"_cp936, 0,
                    "二"_cp936},
        FromEndCase{"NeverAcrossACharacter", "【"_cp936 + kStraddling, "】"_cp936, "【"_cp936, 0,
                    "啊经1"_cp936}),
    [](const testing::TestParamInfo<FromEndCase>& info) { return info.param.name; });

TEST(PadLeftZerosTest, PadsByCharactersNotBytes) {
    EXPECT_EQ(PadLeftZeros("7", 3), "007");
    EXPECT_EQ(PadLeftZeros("", 2), "00");
    EXPECT_EQ(PadLeftZeros("1234", 3), "1234");
    EXPECT_EQ(PadLeftZeros("中"_cp936, 3), "00中"_cp936);
    EXPECT_EQ(PadLeftZeros("5", -1), "5");
}

}  // namespace
}  // namespace varnelo
