#include "support/cookies.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

TEST(ExtractCookies, TakesNameValueOfEverySetCookieLineInOrder) {
    std::vector<Text> lines = {"HTTP/1.1 200 OK", "Set-Cookie: a=1; path=/",
                               "SET-COOKIE:b=2; HttpOnly", "X-Other: c=3; d"};
    EXPECT_EQ(ExtractCookies(lines), "a=1; b=2");
}

TEST(ExtractCookies, EdgeLines) {
    struct Case {
        std::vector<Text> lines;
        Text expected;
    };
    const Case cases[] = {
        {{}, ""},
        {{"HTTP/1.1 200 OK", "Content-Type: text/html"}, ""},
        // A cookie without attributes has no ";": the rest of the line counts.
        {{"Set-Cookie: solo=42"}, "solo=42"},
        {{"set-cookie: x=1", "Set-Cookie: y=2;"}, "x=1; y=2"},
        // Only at the very beginning of a line.
        {{" Set-Cookie: a=1; path=/", "X-Set-Cookie: b=2;"}, ""},
        // Empty items contribute nothing.
        {{"Set-Cookie: ; path=/", "Set-Cookie:   ", "Set-Cookie: k=v"}, "k=v"},
        // Full-width blanks around the item are blanks too.
        {{"Set-Cookie:\xA1\xA1z=\xC4\xE3\xA1\xA1; path=/"}, "z=\xC4\xE3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExtractCookies(c.lines), c.expected) << ::testing::PrintToString(c.lines);
    }
}

TEST(MergeCookies, ReceivedFirstThenSentNotMentioned) {
    struct Case {
        Text sent;
        Text received;
        Text expected;
    };
    const Case cases[] = {
        {"a=1; b=2", "b=3; c=4", "b=3; c=4; a=1"},
        {"a=1; b=2;", "b=deleted", "a=1"},
        {"y=2", "x=1; x=1", "x=1; y=2"},
        {"a=1", "a=2; a=3", "a=2; a=3"},
        {"A=1", "a=2", "a=2; A=1"},
        {"a=1; b=2", "", "a=1; b=2"},
        {"", "", ""},
        {"", "s=1", "s=1"},
        {"  a=1  ", " b=2 ", "b=2; a=1"},
        // A sent cookie deleted by the response vanishes, as does a deleted one only sent.
        {"old=deleted; keep=1", "", "keep=1"},
        // Names are compared without the blanks around them.
        {"k =1", "k=2", "k=2"},
        {"\xC3\xFB=1", "\xC3\xFB=2", "\xC3\xFB=2"},
    };
    for (const Case& c : cases) {
        Text sent = c.sent;
        Text received = c.received;
        EXPECT_EQ(MergeCookies(sent, received), c.expected) << c.sent << " + " << c.received;
        EXPECT_EQ(sent, c.expected) << "sent is replaced by the result";
    }
}

TEST(MergeCookies, LeavesReceivedTrimmed) {
    Text sent = "a=1";
    Text received = "  b=2;  ";
    MergeCookies(sent, received);
    EXPECT_EQ(received, "b=2; ");
}

TEST(CookieName, BeforeFirstEqualsWithoutBlanks) {
    const std::pair<Text, Text> cases[] = {
        {"a=1", "a"}, {" a =1=2", "a"}, {"flag", "flag"},
        {"=v", ""},   {"", ""},         {"\xA1\xA1Name\xA1\xA1=v", "Name"},
    };
    for (const auto& [item, name] : cases) EXPECT_EQ(CookieName(item), name) << item;
}

TEST(RemoveDuplicateItems, KeepsFirstOfWholeEqualItems) {
    EXPECT_EQ(RemoveDuplicateItems("a=1; b=2; a=1; a=2", "; "), "a=1; b=2; a=2");
    EXPECT_EQ(RemoveDuplicateItems("x,x,,y,", ","), "x,,y");
    EXPECT_EQ(RemoveDuplicateItems("", "; "), "");
}

TEST(SplitText, FollowsThePieceRules) {
    using V = std::vector<Text>;
    EXPECT_EQ(SplitText("", "; "), V{});
    EXPECT_EQ(SplitText("a; b", "; "), (V{"a", "b"}));
    EXPECT_EQ(SplitText("a; ; b", "; "), (V{"a", "", "b"}));
    EXPECT_EQ(SplitText("a; b; ", "; "), (V{"a", "b"}));
    EXPECT_EQ(SplitText("; a", "; "), (V{"", "a"}));
    EXPECT_EQ(SplitText("abc", ""), (V{"abc"}));
    // "\xB0\x41" is one character: its trail byte "A" is not a delimiter.
    EXPECT_EQ(SplitText("x\xB0"
                        "Ay"
                        "Az",
                        "A"),
              (V{"x\xB0"
                 "Ay",
                 "z"}));
}

TEST(FindText, MatchesOnlyOnCharacterBoundaries) {
    EXPECT_EQ(FindText("\xB0"
                       "Abc",
                       "Abc"),
              std::string_view::npos);
    EXPECT_EQ(FindText("\xB0"
                       "AAbc",
                       "Abc"),
              2u);
    EXPECT_EQ(FindText("xyz SET-cookie:", "set-cookie:", 0, true), 4u);
    EXPECT_EQ(FindText("xyz SET-cookie:", "set-cookie:", 0, false), std::string_view::npos);
    EXPECT_EQ(FindText("abc", "c", 5), std::string_view::npos);
}

TEST(TrimBlanks, AsciiAndFullWidthBlanksOnly) {
    const std::pair<Text, Text> cases[] = {
        {"  a b  ", "a b"},
        {"\xA1\xA1 a \xA1\xA1", "a"},
        {"\ta\t", "\ta\t"},
        {"   ", ""},
        // The last two bytes A1 A1 here are the trail of one character and a lone lead byte,
        // not a full-width blank: nothing may be cut.
        {"x\xB0\xA1\xA1", "x\xB0\xA1\xA1"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(TrimBlanks(in), out) << in;
}

}  // namespace
}  // namespace varnelo
