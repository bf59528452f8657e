#include "interceptor/relay.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "interceptor/relay_fixture.h"

// The proxy options are written with designated initializers naming only what a case changes.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace varnelo::interceptor {
namespace {

using namespace testing;
using namespace std::chrono_literals;

const std::string& ServerReply() {
    static const std::string reply = Pattern(2 << 20, 7);
    return reply;
}

// Sends everything it gets back once the client has ended, then a reply of its own.
void ReplyAfterEnd(int fd) {
    std::string request;
    if (!ReadToEnd(fd, &request)) return;
    SendAll(fd, request);
    SendAll(fd, ServerReply());
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A relay whose every accepted connection is headed for 127.0.0.1:destinationPort, as the capture
// rules would report it.
class RelayTest : public ::testing::Test {
protected:
    void StartRelay(uint16_t destinationPort, std::optional<Upstream> upstream,
                    RelayTimeouts timeouts = {}) {
        relay.SetDestinationResolver([destinationPort](int, sockaddr_storage* out, socklen_t* length) {
            sockaddr_in destination = Loopback(destinationPort);
            std::memcpy(out, &destination, sizeof destination);
            *length = sizeof destination;
            return true;
        });
        relay.SetTimeouts(timeouts);
        relay.SetUpstream(std::move(upstream));
        std::string error;
        ASSERT_TRUE(relay.Start(0, &error)) << error;
        ASSERT_NE(relay.Port(), 0);
    }

    // Sends a request, ends it with a half-close and reads the whole answer.
    static bool Exchange(uint16_t port, const std::string& request, std::string* answer) {
        UniqueFd client = ConnectTo(port);
        if (!client.Valid() || !SendAll(client.Get(), request)) return false;
        shutdown(client.Get(), SHUT_WR);
        return ReadToEnd(client.Get(), answer);
    }

    // What a client sees when the relay refuses: the connection ends without a byte.
    static void ExpectRefused(uint16_t port) {
        UniqueFd client = ConnectTo(port);
        ASSERT_TRUE(client.Valid());
        SendAll(client.Get(), "GET / HTTP/1.0\r\n\r\n");
        char byte;
        EXPECT_LE(recv(client.Get(), &byte, 1, 0), 0);
    }

    static Upstream ProxyAt(uint16_t port, std::string user = "alice", std::string password = "s:e@cret") {
        return {"127.0.0.1", port, std::move(user), std::move(password)};
    }

    Relay relay{0};
};

TEST_F(RelayTest, CarriesBothDirectionsThroughTheProxyWithHalfClose) {
    TestServer destination(ReplyAfterEnd);
    TestProxy proxy({.user = "alice", .password = "s:e@cret"});
    StartRelay(destination.Port(), ProxyAt(proxy.Port()));

    const std::string request = Pattern(3 << 20, 1);
    std::string answer;
    ASSERT_TRUE(Exchange(relay.Port(), request, &answer));
    EXPECT_TRUE(answer == request + ServerReply()) << "answer of " << answer.size() << " bytes";
    EXPECT_EQ(proxy.Connected(), 1);
    EXPECT_EQ(ntohs(proxy.LastTarget().sin_port), destination.Port());
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
}

TEST_F(RelayTest, HoldsDataForAReceiverThatFallsBehind) {
    // A destination with a small window that starts reading late: the relay must keep what it
    // cannot pass on yet. Small pieces come first (copied), then bulk (spliced).
    TestServer destination(
        [](int fd) {
            std::this_thread::sleep_for(500ms);
            ReplyAfterEnd(fd);
        },
        64, 4096);
    StartRelay(destination.Port(), std::nullopt);

    UniqueFd client = ConnectTo(relay.Port());
    std::string request;
    for (int i = 0; i < 150; ++i) {
        std::string piece = Pattern(1000, 1000 + i);
        request += piece;
        ASSERT_TRUE(SendAll(client.Get(), piece));
        std::this_thread::sleep_for(1ms);
    }
    std::string bulk = Pattern(4 << 20, 3);
    request += bulk;
    ASSERT_TRUE(SendAll(client.Get(), bulk));
    shutdown(client.Get(), SHUT_WR);
    std::string answer;
    ASSERT_TRUE(ReadToEnd(client.Get(), &answer));
    EXPECT_TRUE(answer == request + ServerReply()) << "answer of " << answer.size() << " bytes";
}

TEST_F(RelayTest, GoesDirectWithoutUpstream) {
    TestServer destination(ReplyAfterEnd);
    TestProxy proxy({});
    StartRelay(destination.Port(), std::nullopt);

    std::string answer;
    ASSERT_TRUE(Exchange(relay.Port(), "hello", &answer));
    EXPECT_EQ(answer, "hello" + ServerReply());
    EXPECT_EQ(proxy.Accepted(), 0);
    EXPECT_EQ(destination.Accepted(), 1);
}

TEST_F(RelayTest, KeepsServerDataThatArrivesWithTheConnectReply) {
    // The destination speaks first; the proxy sends its greeting in the same segment as the reply.
    TestServer destination([](int fd) { SendAll(fd, "220 ready\r\n"); });
    TestProxy proxy({.user = "alice", .password = "s:e@cret", .banner = "BANNER:"});
    StartRelay(destination.Port(), ProxyAt(proxy.Port()));

    UniqueFd client = ConnectTo(relay.Port());
    std::string answer;
    ASSERT_TRUE(ReadToEnd(client.Get(), &answer));
    EXPECT_EQ(answer, "BANNER:220 ready\r\n");
}

TEST_F(RelayTest, ManyConcurrentConnectionsKeepTheirBytes) {
    TestServer destination([](int fd) {
        std::string request;
        if (ReadToEnd(fd, &request)) SendAll(fd, request + "end");
    });
    TestProxy proxy({.user = "alice", .password = "s:e@cret"});
    StartRelay(destination.Port(), ProxyAt(proxy.Port()));

    constexpr int kClients = 40;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            std::string request = Pattern(50000 + i * 1000, i + 100), answer;
            if (Exchange(relay.Port(), request, &answer) && answer == request + "end") {
                ++intact;
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(intact.load(), kClients);
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
}

TEST_F(RelayTest, FailsClosedWhenTheProxyCannotCarryTheConnection) {
    TestServer destination(ReplyAfterEnd);
    // A port that nothing listens on: bound, never listening.
    UniqueFd unused(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = Loopback(0);
    bind(unused.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(unused.Get(), reinterpret_cast<sockaddr*>(&address), &length);

    TestProxy wrongPassword({.user = "alice", .password = "other"});
    TestProxy refusing({.user = "alice", .password = "s:e@cret", .connectReply = 2});
    TestProxy noAuth({});  // offers no method that carries the password

    struct Case {
        const char* name;
        Upstream upstream;
    } cases[] = {
        {"proxy down", ProxyAt(ntohs(address.sin_port))},
        {"wrong password", ProxyAt(wrongPassword.Port())},
        {"CONNECT refused", ProxyAt(refusing.Port())},
        {"proxy without authentication", ProxyAt(noAuth.Port())},
        {"proxy name that does not resolve", {"no-such-host.invalid", 1080, "alice", "s:e@cret"}},
    };
    StartRelay(destination.Port(), std::nullopt);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relay.SetUpstream(c.upstream);
        ExpectRefused(relay.Port());
    }
    EXPECT_EQ(wrongPassword.AuthFailures(), 1);
    EXPECT_EQ(refusing.Accepted(), 1);
    EXPECT_EQ(destination.Accepted(), 0) << "a connection went around the proxy";
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
}

TEST_F(RelayTest, GivesUpOnAProxyThatDoesNotAnswerInTime) {
    // A listener with a full backlog drops further SYNs: the connect never completes.
    TestServer blackHole(nullptr, 0);
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        UniqueFd filler(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address = Loopback(blackHole.Port());
        connect(filler.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(filler));
    }
    TestProxy silent({.silent = true});
    TestServer destination(ReplyAfterEnd);

    StartRelay(destination.Port(), ProxyAt(blackHole.Port()), {.connectMs = 300, .handshakeMs = 300});
    for (uint16_t proxyPort : {blackHole.Port(), silent.Port()}) {
        SCOPED_TRACE(proxyPort);
        relay.SetUpstream(ProxyAt(proxyPort));
        auto started = std::chrono::steady_clock::now();
        ExpectRefused(relay.Port());
        auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_GE(waited, 250ms);
        EXPECT_LT(waited, 5s);
    }
    EXPECT_EQ(destination.Accepted(), 0);
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
}

TEST_F(RelayTest, ClientResetClosesTheOtherSide) {
    std::atomic<bool> sawEnd{false};
    TestServer destination([&](int fd) {
        std::string data;
        ReadToEnd(fd, &data);  // ends with EOF or reset, not by the 10 s time-out
        sawEnd = true;
    });
    StartRelay(destination.Port(), std::nullopt);
    {
        UniqueFd client = ConnectTo(relay.Port());
        SendAll(client.Get(), "partial");
        ASSERT_TRUE(WaitFor([&] { return destination.Accepted() == 1; }));
        linger abort{1, 0};
        setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    EXPECT_TRUE(WaitFor([&] { return sawEnd.load(); }, 3s));
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
}

TEST_F(RelayTest, ClosedConnectionsStayQuietWhileAForkedChildHoldsTheirSockets) {
    // A program that forks keeps copies of the relay's sockets until its child execs or exits;
    // what the destination sends meanwhile must not reach the connection the relay has freed.
    std::atomic<bool> clientGone{false};
    TestServer destination([&](int fd) {
        SendAll(fd, "first");
        WaitFor([&] { return clientGone.load(); });
        std::this_thread::sleep_for(50ms);
        SendAll(fd, "after the relay let go");
        std::this_thread::sleep_for(100ms);
    });
    StartRelay(destination.Port(), std::nullopt);
    UniqueFd client = ConnectTo(relay.Port());
    char first[5];
    ASSERT_EQ(recv(client.Get(), first, sizeof first, MSG_WAITALL), 5);

    pid_t child = fork();
    if (child == 0) {
        usleep(1000000);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    linger abort{1, 0};
    setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    client.Reset();
    EXPECT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 0; }));
    clientGone = true;
    std::this_thread::sleep_for(200ms);
    int status = 0;
    waitpid(child, &status, 0);

    // The relay still serves.
    std::string answer;
    EXPECT_TRUE(Exchange(relay.Port(), "", &answer));
    EXPECT_EQ(answer, "firstafter the relay let go");
}

TEST_F(RelayTest, AcceptsOnIpv6LoopbackToo) {
    TestServer destination(ReplyAfterEnd);
    TestProxy proxy({.user = "alice", .password = "s:e@cret"});
    StartRelay(destination.Port(), ProxyAt(proxy.Port()));
    UniqueFd client(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{10, 0};
    setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(relay.Port());
    if (connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_TRUE(SendAll(client.Get(), "over six"));
    shutdown(client.Get(), SHUT_WR);
    std::string answer;
    ASSERT_TRUE(ReadToEnd(client.Get(), &answer));
    EXPECT_EQ(answer, "over six" + ServerReply());
    EXPECT_EQ(proxy.Connected(), 1);
}

TEST_F(RelayTest, RefusesConnectionsWhoseDestinationIsUnknown) {
    TestServer destination(ReplyAfterEnd);
    relay.SetDestinationResolver([](int, sockaddr_storage*, socklen_t*) { return false; });
    std::string error;
    ASSERT_TRUE(relay.Start(0, &error)) << error;
    ExpectRefused(relay.Port());
    EXPECT_EQ(destination.Accepted(), 0);
}

TEST_F(RelayTest, StartReportsAPortInUseAndStopReleasesIt) {
    TestServer destination(ReplyAfterEnd);
    StartRelay(destination.Port(), std::nullopt);
    Relay second(0);
    std::string error;
    EXPECT_FALSE(second.Start(relay.Port(), &error));
    EXPECT_NE(error.find(std::to_string(relay.Port())), std::string::npos) << error;
    EXPECT_FALSE(relay.Start(0, &error)) << "started twice";

    // Stop closes open connections too.
    UniqueFd idle = ConnectTo(relay.Port());
    ASSERT_TRUE(WaitFor([&] { return relay.ConnectionCount() == 1; }));
    uint16_t port = relay.Port();
    relay.Stop();
    char byte;
    EXPECT_LE(recv(idle.Get(), &byte, 1, 0), 0);
    EXPECT_EQ(relay.ConnectionCount(), 0u);
    EXPECT_TRUE(second.Start(port, &error)) << error;
    // The relay can start again after a stop.
    EXPECT_TRUE(relay.Start(0, &error)) << error;
}

}  // namespace
}  // namespace varnelo::interceptor
