#include "support/request_headers.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

constexpr const char* kAccept = "Accept: text/html, application/xhtml+xml, */*";
constexpr const char* kEncoding = "Accept-Encoding: identity";
constexpr const char* kLanguage = "Accept-Language: zh-cn";
constexpr const char* kCache = "Cache-Control: no-cache";
constexpr const char* kForm = "Content-Type: application/x-www-form-urlencoded";
constexpr const char* kAgent =
    "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)";

Text Lines(std::initializer_list<std::string_view> lines, bool trailingCrLf = false) {
    Text out;
    for (std::string_view line : lines) {
        if (!out.empty()) out += "\r\n";
        out += line;
    }
    if (trailingCrLf) out += "\r\n";
    return out;
}

TEST(BuildRequestHeaders, Table) {
    struct Case {
        const char* name;
        Text headers;
        int method;
        Text cookies;
        bool defaults;
        bool normalize;
        Text expected;
    };
    const Case cases[] = {
        {"caller agent kept, defaults after it", "user-agent: X", 0, "", true, true,
         Lines({"User-Agent: X", kAccept, kEncoding, kLanguage, kCache})},
        {"all defaults for GET", "", 0, "", true, true,
         Lines({kAgent, kAccept, kEncoding, kLanguage, kCache})},
        {"POST gets a form type before Cache-Control", "", 1, "", true, true,
         Lines({kAgent, kAccept, kEncoding, kLanguage, kForm, kCache})},
        {"POST with its own type", "content-type: application/json", 1, "", true, true,
         Lines({"Content-Type: application/json", kAgent, kAccept, kEncoding, kLanguage, kCache})},
        {"verb 3 never gets a type", "", 3, "", true, true,
         Lines({kAgent, kAccept, kEncoding, kLanguage, kCache})},
        {"probe found inside another name", "X-Accept: 1", 0, "", true, true,
         Lines({"X-Accept: 1", kAgent, kEncoding, kLanguage, kCache})},
        {"cookie line appended", "A: 1", 0, "a=1; b=2", false, true,
         "A: 1\r\nCookie: a=1; b=2\r\n"},
        {"caller cookie line wins", "cookie: x=1", 0, "a=1", false, true, "Cookie: x=1"},
        {"cookies already naming the header", "", 0, "Cookie: a=1", false, true,
         "\r\nCookie: a=1\r\n"},
        {"normalisation off keeps an empty line before the cookie", "a: 1", 0, "c=3", false, false,
         "a: 1\r\n\r\nCookie: c=3\r\n"},
        {"keep-alive removed", "Connection: keep-alive\r\nX: 1", 0, "", false, false, "X: 1\r\n"},
        {"keep-alive as last normalised line stays", "Connection: keep-alive", 0, "", false, true,
         "Connection: keep-alive"},
        {"close stays", "Connection: close\r\nX: 1", 0, "", false, true,
         "Connection: close\r\nX: 1"},
        {"lower-case keep-alive without normalisation stays", "connection: keep-alive\r\nX: 1", 0,
         "", false, false, "connection: keep-alive\r\nX: 1\r\n"},
        {"nothing at all", "", 0, "", false, false, ""},
        {"junk lines dropped", "junk\r\nx-a: 1", 0, "", false, true, "X-A: 1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildRequestHeaders(c.headers, c.method, c.cookies, c.defaults, c.normalize),
                  c.expected)
            << c.name;
    }
}

TEST(NormalizeHeaderNames, CapitalisesWordsAndDropsLinesWithoutColon) {
    const std::pair<Text, Text> cases[] = {
        {"user-agent: X\r\ncontent-type: text/plain\r\njunk",
         "User-Agent: X\r\nContent-Type: text/plain"},
        {"x-my-HEADER:v:w", "X-My-HEADER:v:w"},
        {"accept:  keep: case", "Accept:  keep: case"},
        {"\r\n\r\nno colon", ""},
        {"", ""},
        {"a--b-: 1", "A--B-: 1"},
        {"\xC3\xFBx-y: 1", "\xC3\xFBx-Y: 1"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeHeaderNames(in), out) << in;
}

TEST(HeaderValue, FirstLineBeginningWithNameLastOccurrence) {
    struct Case {
        Text block;
        Text name;
        Text expected;
    };
    const Case cases[] = {
        {"A: 1\r\nConnection: keep-alive\r\nB: 2", "Connection", "keep-alive"},
        {"Connection: close\r\nConnection: keep-alive", "Connection", "close"},
        {"X: Connection: y\r\nConnection: z", "Connection", "z"},
        {"Connection: a Connection: b", "Connection", "b"},
        {"Connectionless", "Connection", ""},
        {"connection: keep-alive", "Connection", ""},
        {"", "Connection", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(HeaderValue(c.block, c.name), c.expected) << c.block;
}

}  // namespace
}  // namespace varnelo
