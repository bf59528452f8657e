#include "engine/callbacks.h"

#include <gtest/gtest.h>

#include <string>

namespace varnelo {
namespace {

std::string seen;

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts) out += (out.empty() ? "" : "|") + part;
    return out;
}

int SeeHttp(int a, int b, int c, int kind, const Text& method, const Text& url, const Text& error,
            int pid) {
    seen = Join({std::to_string(a), std::to_string(b), std::to_string(c), std::to_string(kind),
                 method, url, error, std::to_string(pid)});
    return 101;
}

int SeeTcp(int a, const Text& local, const Text& remote, int kind, int b, int c, int d, int e,
           int f) {
    seen = Join({std::to_string(a), local, remote, std::to_string(kind), std::to_string(b),
                 std::to_string(c), std::to_string(d), std::to_string(e), std::to_string(f)});
    return -102;
}

int SeeWebSocket(int a, int b, int c, int kind, const Text& method, const Text& url, int d, int e) {
    seen = Join({std::to_string(a), std::to_string(b), std::to_string(c), std::to_string(kind),
                 method, url, std::to_string(d), std::to_string(e)});
    return 103;
}

// The adapters hand their handler the integers unchanged and copies of the strings, in the order
// received, a null string as the empty text, and answer the handler's result.
TEST(CallbackAdapters, PassIntegersAndTextsInOrderAndAnswerTheHandlersResult) {
    const HttpCallback http = &AdaptHttpCallback<&SeeHttp>;
    EXPECT_EQ(http(1, 2, 3, 2, "GET", nullptr, "\xd6\xd0", -4), 101);
    EXPECT_EQ(seen, "1|2|3|2|GET||\xd6\xd0|-4");

    const TcpCallback tcp = &AdaptTcpCallback<&SeeTcp>;
    EXPECT_EQ(tcp(9, "127.0.0.1:5", nullptr, 4, 8, 7, 6, 5, 4), -102);
    EXPECT_EQ(seen, "9|127.0.0.1:5||4|8|7|6|5|4");

    const WebSocketCallback websocket = &AdaptWebSocketCallback<&SeeWebSocket>;
    EXPECT_EQ(websocket(1, 2, 3, 4, nullptr, "ws://h/", 5, 6), 103);
    EXPECT_EQ(seen, "1|2|3|4||ws://h/|5|6");
}

}  // namespace
}  // namespace varnelo
