#include "app/split_non_empty.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

TEST(SplitNonEmpty, CutsDropsEmptyPiecesAndTrimsNothing) {
    struct Case {
        Text text, separator;
        std::vector<Text> pieces;
    } cases[] = {
        {"1.2.3.4|80|u|p", "|", {"1.2.3.4", "80", "u", "p"}},
        {"1.2.3.4||u|p", "|", {"1.2.3.4", "u", "p"}},           // left-out port
        {"|h|80|u|p|", "|", {"h", "80", "u", "p"}},             // bars at the ends
        {"h |80| u |p", "|", {"h ", "80", " u ", "p"}},         // blanks stay
        {"a,b,,c", "", {"a", "b", "c"}},                        // empty separator means ","
        {"a::b::::c", "::", {"a", "b", "c"}},
        {"", "|", {}},
        {"|||", "|", {}},
        // 0x81 0x7C is one character whose second byte equals "|": no cut inside it.
        {"\x81\x7C|x", "|", {"\x81\x7C", "x"}},
        {"\xD6\xD0\xCE\xC4|\xB1\x41", "|", {"\xD6\xD0\xCE\xC4", "\xB1\x41"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitNonEmpty(c.text, c.separator), c.pieces) << c.text;
    }
}

}  // namespace
}  // namespace varnelo
