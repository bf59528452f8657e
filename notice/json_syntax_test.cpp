#include "notice/json_syntax.h"

#include <gtest/gtest.h>

#include <string>

namespace varnelo {
namespace {

struct SyntaxCase {
    const char* name;
    std::string text;
    bool json;
};

class JsonSyntaxTest : public testing::TestWithParam<SyntaxCase> {};

TEST_P(JsonSyntaxTest, AcceptsJsonOnly) {
    EXPECT_EQ(IsJsonText(GetParam().text), GetParam().json) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonSyntaxTest,
    testing::Values(
        SyntaxCase{"Object", R"( {"a":[1,-2.5e+3,true,false,null,{}],"b":"x\"\\\/\n\u66f4"} )", true},
        SyntaxCase{"Utf8InStrings", "{\"t\":\"版本号【9.6】\"}", true},
        SyntaxCase{"Scalar", "0", true},
        SyntaxCase{"EmptyArray", "[ ]", true},
        SyntaxCase{"Empty", "", false},
        SyntaxCase{"Script", "(function(){for(;;){}})()", false},
        SyntaxCase{"Getter", "({get data(){return 1}})", false},
        SyntaxCase{"SingleQuotes", "{'a':1}", false},
        SyntaxCase{"BareName", "{a:1}", false},
        SyntaxCase{"TrailingComma", "[1,]", false},
        SyntaxCase{"TwoValues", "{} {}", false},
        SyntaxCase{"ExpressionAfter", "{}+alert(1)", false},
        SyntaxCase{"LeadingZero", "[01]", false},
        SyntaxCase{"BadEscape", R"(["\x41"])", false},
        SyntaxCase{"ShortUnicodeEscape", R"(["\u66f"])", false},
        SyntaxCase{"ControlCharacterInString", "[\"a\nb\"]", false},
        SyntaxCase{"UnclosedString", "[\"abc", false},
        SyntaxCase{"Comment", "[1/*x*/]", false},
        SyntaxCase{"NotANumber", "[NaN]", false}),
    [](const testing::TestParamInfo<SyntaxCase>& info) { return info.param.name; });

TEST(JsonSyntaxDepthTest, NestingIsLimited) {
    EXPECT_TRUE(IsJsonText(std::string(512, '[') + std::string(512, ']')));
    EXPECT_FALSE(IsJsonText(std::string(513, '[') + std::string(513, ']')));
    EXPECT_FALSE(IsJsonText(std::string(1000000, '[') + std::string(1000000, ']')));
}

}  // namespace
}  // namespace varnelo
