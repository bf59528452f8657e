#include "notice/html_to_text.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

struct HtmlCase {
    const char* name;
    Text html;
    Text expected;
};

class HtmlToTextTest : public testing::TestWithParam<HtmlCase> {};

TEST_P(HtmlToTextTest, RendersTheVisibleText) {
    EXPECT_EQ(HtmlToText(GetParam().html), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlToTextTest,
    testing::Values(
        HtmlCase{"Empty", "", ""},
        HtmlCase{"PlainText", "版本号【9.6】"_cp936, "版本号【9.6】"_cp936},
        HtmlCase{"Paragraphs", "<p>版本号【9.6】</p><p>更新公告【修复】</p>"_cp936,
                 "版本号【9.6】\r\n更新公告【修复】"_cp936},
        HtmlCase{"Divisions", "<div>a</div><div><div>b</div>c</div>", "a\r\nb\r\nc"},
        HtmlCase{"LineBreaks", "a<br>b<br/><br>c", "a\r\nb\r\n\r\nc"},
        HtmlCase{"InlineTagsRemoved", "<p><span style=\"color:red\">版本号</span>【<b>9.6</b>】</p>"_cp936,
                 "版本号【9.6】"_cp936},
        HtmlCase{"CharacterReferences",
                 "&lt;b&gt; &amp; &quot;&#x4E2D;&#25991;&quot; &#12304;&#12305;",
                 "<b> & \"中文\" 【】"_cp936},
        HtmlCase{"BlanksCollapse", "  a \n\t  b  ", "a b"},
        HtmlCase{"NonBreakingSpacesKept", "a&nbsp;&nbsp;b", "a  b"},
        HtmlCase{"Preformatted", "<pre>a\n  b</pre>", "a\r\n  b"},
        HtmlCase{"ScriptsAndStylesSkipped",
                 "<style>p{}</style><script>var v='版本号【1】';</script>版本号【2】"_cp936,
                 "版本号【2】"_cp936},
        HtmlCase{"CommentsSkipped", "a<!-- 版本号【1】 -->b"_cp936, "ab"},
        HtmlCase{"UnclosedMarkup", "<p>版本号【9.6<div>更新公告【x"_cp936,
                 "版本号【9.6\r\n更新公告【x"_cp936},
        // U+1F600 is not in code page 936; it becomes its default character.
        HtmlCase{"CharactersOutsideTheCodePage", "a&#x1F600;b", "a?b"},
        HtmlCase{"ValueAcrossLines", "<p>更新公告【第一行<br>第二行】</p>"_cp936,
                 "更新公告【第一行\r\n第二行】"_cp936}),
    [](const testing::TestParamInfo<HtmlCase>& info) { return info.param.name; });

Text Nested(int depth) {
    Text html;
    for (int i = 0; i < depth; ++i) html += "<div><span>";
    return html + "x";
}

TEST(HtmlToTextDepthTest, DeepNestingIsReadAndHostileNestingEndsQuietly) {
    EXPECT_EQ(HtmlToText(Nested(100)), "x");
    // Far past the parser's depth limit: no stack exhaustion, at most the text itself.
    Text hostile = HtmlToText(Nested(200000));
    EXPECT_TRUE(hostile.empty() || hostile == "x") << hostile;
}

}  // namespace
}  // namespace varnelo
