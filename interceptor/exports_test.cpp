// The exported functions, called through SunnyNet.dll itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "engine/library_exports.h"
#include "interceptor/engine_context.h"

#define VARNELO_DECLARE_EXPORT(name, type) extern "C" std::type_identity_t<type> name;
VARNELO_SUNNYNET_EXPORTS(VARNELO_DECLARE_EXPORT)
#undef VARNELO_DECLARE_EXPORT

namespace varnelo::interceptor {
namespace {

std::string TakeText(char* text) {
    std::string copy = text ? text : "";
    Free(text);
    return copy;
}

// A TCP connection attempt to the loopback address of the family; true when it was accepted.
bool CanConnect(int family, uint16_t port) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    }
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// A port that nothing listens on right now, on 127.0.0.1 and ::1 alike.
uint16_t FreePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        ::close(fd);
        uint16_t port = ntohs(a.sin_port);
        if (!CanConnect(AF_INET6, port)) return port;
    }
    return 0;
}

TEST(Exports, ContextsAreIndependentAndUnknownOnesAnswerNothing) {
    int a = CreateSunnyNet();
    int b = CreateSunnyNet();
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    ASSERT_NE(a, b);
    EXPECT_EQ(SetGlobalProxy(a, "socks5://u:p@[::1]:1080/", 0), 1);
    EXPECT_EQ(SetGlobalProxy(b, "http://nope", 0), 0);
    EXPECT_EQ(TakeText(SunnyNetError(a)), "");  // b's failure is b's alone
    EXPECT_NE(TakeText(SunnyNetError(b)), "");
    ReleaseSunnyNet(a);
    ReleaseSunnyNet(b);
    // Released and never created contexts: every call answers zero or null, none crashes.
    for (int gone : {a, b, 0, -1, 987654}) {
        EXPECT_EQ(SunnyNetStart(gone), 0);
        EXPECT_EQ(SunnyNetSetPort(gone, 1234), 0);
        EXPECT_EQ(SetGlobalProxy(gone, "", 0), 0);
        EXPECT_EQ(OpenDrive(gone, 2), 0);
        EXPECT_EQ(SunnyNetError(gone), nullptr);
        EXPECT_EQ(SunnyNetInstallCert(gone), nullptr);
        ProcessAddPid(gone, ::getpid());
        ProcessAddName(gone, "x");
        ProcessCancelAll(gone);
        ReleaseSunnyNet(gone);
    }
}

TEST(Exports, StartListensOnBothLoopbacksAndCloseRemovesTheListeners) {
    uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    int ctx = CreateSunnyNet();
    EXPECT_EQ(SunnyNetSetPort(ctx, port), 1);
    ASSERT_EQ(SunnyNetStart(ctx), 1) << TakeText(SunnyNetError(ctx));
    EXPECT_EQ(SunnyNetStart(ctx), 1);  // already running
    EXPECT_TRUE(CanConnect(AF_INET, port));
    EXPECT_TRUE(CanConnect(AF_INET6, port));
    EXPECT_EQ(SunnyNetClose(ctx), 1);
    EXPECT_FALSE(CanConnect(AF_INET, port));
    EXPECT_FALSE(CanConnect(AF_INET6, port));
    ASSERT_EQ(SunnyNetStart(ctx), 1);  // a closed engine starts again
    EXPECT_TRUE(CanConnect(AF_INET, port));
    ReleaseSunnyNet(ctx);
    EXPECT_FALSE(CanConnect(AF_INET, port));
    EXPECT_FALSE(CanConnect(AF_INET6, port));
}

TEST(Exports, StartOnAPortInUseFailsWithAReason) {
    int busy = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&a), &length);
    int ctx = CreateSunnyNet();
    SunnyNetSetPort(ctx, ntohs(a.sin_port));
    EXPECT_EQ(SunnyNetError(ctx), nullptr);
    EXPECT_EQ(SunnyNetStart(ctx), 0);
    EXPECT_NE(TakeText(SunnyNetError(ctx)), "");
    ReleaseSunnyNet(ctx);
    ::close(busy);
}

TEST(Exports, PortsOutsideTheTcpRangeAreRefused) {
    int ctx = CreateSunnyNet();
    for (int bad : {-1, 65536, 1 << 30}) EXPECT_EQ(SunnyNetSetPort(ctx, bad), 0) << bad;
    for (int good : {1, 10000, 65535}) EXPECT_EQ(SunnyNetSetPort(ctx, good), 1) << good;
    ReleaseSunnyNet(ctx);
}

TEST(Exports, CertificateExportsLeaveTheTrustStoreAloneAndSaySo) {
    int ctx = CreateSunnyNet();
    std::string report = TakeText(SunnyNetInstallCert(ctx));
    // The program's certificate check accepts a report that holds this text.
    EXPECT_NE(report.find("already in store"), std::string::npos) << report;
    EXPECT_EQ(ExportCert(ctx), nullptr);
    EXPECT_EQ(TakeText(SetScriptPage(ctx, "")), "no");
    ReleaseSunnyNet(ctx);
}

TEST(Exports, MessageIdsTheEngineNeverHandedOutAnswerNothing) {
    const char data[] = "abc";
    for (int id : {0, 1, 42, -5}) {
        EXPECT_EQ(GetWebsocketBodyLen(id), 0);
        EXPECT_EQ(GetWebsocketBody(id), nullptr);
        EXPECT_EQ(GetUdpData(id), nullptr);
        EXPECT_EQ(SetUdpData(id, data, 3), 0);
        EXPECT_EQ(TcpSendMsg(id, data, 3), 0);
        EXPECT_EQ(TcpSendMsgClient(id, data, 3), 0);
        EXPECT_EQ(UdpSendToServer(id, data, 3), 0);
        EXPECT_EQ(UdpSendToClient(id, data, 3), 0);
        EXPECT_EQ(SendWebsocketBody(id, 1, data, 3), 0);
        EXPECT_EQ(CloseWebsocket(id), 0);
        EXPECT_EQ(TcpCloseClient(id), 0);
        EXPECT_EQ(SetTcpAgent(id, "socks5://a:1/", 0), 0);
        SetTcpBody(id, 1, data, 3);
    }
    EXPECT_EQ(SunnyNetGetSocket5User(0), nullptr);
}

TEST(Exports, BytesToIntReadsLittleEndianLengthFields) {
    struct Case {
        unsigned char bytes[8];
        int length;
        int expected;
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 8, 0},
        {{5, 0, 0, 0, 0, 0, 0, 0}, 8, 5},
        {{0x34, 0x12, 0, 0, 0, 0, 0, 0}, 8, 0x1234},
        {{0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0}, 8, 0x7fffffff},
        {{0x34, 0x12, 0x99, 0x99, 0, 0, 0, 0}, 2, 0x1234},  // only `length` bytes count
        {{1, 0, 0, 0, 0, 0, 0, 0}, 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(BytesToInt(c.bytes, c.length), c.expected);
    EXPECT_EQ(BytesToInt(nullptr, 8), 0);
}

// Without the rights to make a cgroup and a table, OpenDrive answers 0 and says why. Run in a
// child that drops root inside a network namespace of its own, so nothing could touch the
// machine's rules even if the check were wrong.
TEST(Exports, OpenDriveWithoutRightsAnswersZeroWithTheReason) {
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        if (::geteuid() == 0 && (::unshare(CLONE_NEWNET) != 0 || ::setresgid(65534, 65534, 65534) ||
                                 ::setresuid(65534, 65534, 65534))) {
            ::_exit(3);
        }
        int ctx = CreateSunnyNet();
        int opened = OpenDrive(ctx, 2);
        char* reason = SunnyNetError(ctx);
        std::string report = std::to_string(opened) + ":" + (reason ? reason : "");
        [[maybe_unused]] ssize_t n = ::write(result[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(result[1]);
    char buffer[512] = {};
    ssize_t n = ::read(result[0], buffer, sizeof buffer - 1);
    ::close(result[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string report(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_TRUE(report.starts_with("0:")) << report;
    EXPECT_GT(report.size(), 10u) << report;  // a reason, not only the zero
}

TEST(EngineContext, SetGlobalProxyKeepsTheOldUpstreamOnAMalformedAddress) {
    EngineContext context;
    ASSERT_TRUE(context.SetGlobalProxy("socks5://user:pa@ss@10.0.0.1:1080/"));
    Upstream expected{"10.0.0.1", 1080, "user", "pa@ss"};
    EXPECT_EQ(context.CurrentUpstream(), expected);
    for (const char* bad : {"socks5://", "socks5://host/", "socks4://h:1/", "garbage"}) {
        EXPECT_FALSE(context.SetGlobalProxy(bad)) << bad;
        EXPECT_EQ(context.CurrentUpstream(), expected) << bad;
    }
    EXPECT_TRUE(context.SetGlobalProxy(""));
    EXPECT_EQ(context.CurrentUpstream(), std::nullopt);
}

}  // namespace
}  // namespace varnelo::interceptor
