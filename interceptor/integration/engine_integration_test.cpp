// The engine as the program drives it, through SunnyNet.dll, against a real SOCKS5 proxy in
// network namespaces of the test's own (see lab.h for the addresses).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "engine/library_exports.h"
#include "interceptor/capture.h"
#include "interceptor/cgroup2.h"
#include "interceptor/integration/lab.h"
#include "interceptor/nft_rules.h"

#define VARNELO_DECLARE_EXPORT(name, type) extern "C" std::type_identity_t<type> name;
VARNELO_SUNNYNET_EXPORTS(VARNELO_DECLARE_EXPORT)
#undef VARNELO_DECLARE_EXPORT

namespace varnelo::interceptor {
namespace {

using namespace lab;

constexpr uint16_t kLocalPort = 8081;

std::string ProxyUrl(const std::string& host, const std::string& password = kProxyPassword,
                     uint16_t port = kProxyPort) {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "socks5://" + std::string(kProxyUser) + ":" + password + "@" + h + ":" +
           std::to_string(port) + "/";
}

std::string TakeText(char* text) {
    std::string copy = text ? text : "";
    Free(text);
    return copy;
}

// Polls `condition` for up to five seconds.
template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 250; ++i) {
        if (condition()) return true;
        ::usleep(20000);
    }
    return condition();
}

// Everything an engine of this test process may have left: no cgroup, no table, no record.
std::vector<std::string> TracesOf(pid_t owner) {
    std::vector<std::string> traces;
    auto cgroups = Cgroup2::Discover(nullptr);
    std::string prefix = "varnelo-" + std::to_string(owner) + "-";
    if (cgroups) {
        for (const auto& name : cgroups->TopLevelNames()) {
            if (name.starts_with(prefix)) traces.push_back("cgroup " + name);
        }
    }
    Nftables nft;
    for (const auto& table : nft.InetTables()) {
        if (table.starts_with("varnelo_" + std::to_string(owner) + "_")) traces.push_back("table " + table);
    }
    return traces;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The relay, the echo server and the clients all run in this process or its children.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        ns_ = std::make_unique<Namespaces>();
        ASSERT_TRUE(ns_->Ok()) << ns_->Error();
        std::vector<Fd> listeners;
        listeners.push_back(ListenIn(*ns_, ns_->Remote(), kDestinationV4, kDestinationPort));
        listeners.push_back(ListenIn(*ns_, ns_->Remote(), kDestinationV6, kDestinationPort));
        listeners.push_back(ListenIn(*ns_, ns_->Client(), kClientV4, kLocalPort));
        for (const auto& l : listeners) ASSERT_GE(l.get(), 0);
        server_ = std::make_unique<EchoServer>(std::move(listeners));
        proxy4_ = StartProxy(*ns_, kProxyV4, kProxySourceV4);
        proxy6_ = StartProxy(*ns_, kProxyV6, kProxySourceV6);
        // From here on the engine, its threads and the clients live in the client namespace.
        ASSERT_TRUE(ns_->Enter(ns_->Client()));
        ctx_ = CreateSunnyNet();
        ASSERT_EQ(SunnyNetSetPort(ctx_, 0), 1);
        ASSERT_EQ(SunnyNetStart(ctx_), 1) << TakeText(SunnyNetError(ctx_));
        ASSERT_EQ(OpenDrive(ctx_, 2), 1) << TakeText(SunnyNetError(ctx_));
        ASSERT_EQ(SetGlobalProxy(ctx_, ProxyUrl(kProxyV4).c_str(), 0), 1);
    }

    void TearDown() override {
        if (ctx_) ReleaseSunnyNet(ctx_);
        ctx_ = 0;
        EXPECT_EQ(TracesOf(::getpid()), std::vector<std::string>());
        server_.reset();
        proxy4_.Kill();
        proxy6_.Kill();
        ns_.reset();
    }

    std::string LastSource() {
        auto sources = server_->Sources();
        return sources.empty() ? "none" : sources.back();
    }

    std::unique_ptr<Namespaces> ns_;
    std::unique_ptr<EchoServer> server_;
    Child proxy4_, proxy6_;
    int ctx_ = 0;
};

TEST_F(EngineTest, CapturedProcessAndItsChildrenGoThroughTheProxyOthersAndLocalAddressesDirect) {
    Client captured, other;
    ProcessAddPid(ctx_, captured.pid());
    struct Case {
        const char* what;
        Client* client;
        bool fromChild;
        const char* address;
        uint16_t port;
        const char* expectedSource;
    } cases[] = {
        {"captured", &captured, false, kDestinationV4, kDestinationPort, kProxySourceV4},
        {"not captured", &other, false, kDestinationV4, kDestinationPort, kClientV4},
        {"child of captured", &captured, true, kDestinationV4, kDestinationPort, kProxySourceV4},
        {"captured, machine's own address", &captured, false, kClientV4, kLocalPort, kClientV4},
    };
    for (const auto& c : cases) {
        std::string result = c.fromChild ? c.client->ConnectFromChild(c.address, c.port)
                                         : c.client->Connect(c.address, c.port);
        EXPECT_EQ(result, "ok") << c.what;
        EXPECT_EQ(LastSource(), c.expectedSource) << c.what;
    }
    EXPECT_EQ(server_->Count(), std::size(cases));
}

TEST_F(EngineTest, TheEngineNeverCapturesItsOwnProcess) {
    std::string own = CgroupOf(::getpid());
    // A task id of this process that is not its pid: a thread that lives while it is tried.
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> done{false};
    std::thread thread([&] {
        threadId = ::gettid();
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (threadId == 0) std::this_thread::yield();
    for (pid_t id : {::getpid(), threadId.load()}) {
        ProcessAddPid(ctx_, id);
        EXPECT_EQ(CgroupOf(::getpid()), own) << id;
    }
    done = true;
    thread.join();
}

TEST_F(EngineTest, Ipv6ConnectionsThroughAnIpv6Proxy) {
    ASSERT_EQ(SetGlobalProxy(ctx_, ProxyUrl(kProxyV6).c_str(), 0), 1);
    Client captured, other;
    ProcessAddPid(ctx_, captured.pid());
    EXPECT_EQ(captured.Connect(kDestinationV6, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kProxySourceV6);
    EXPECT_EQ(other.Connect(kDestinationV6, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kClientV6);
}

TEST_F(EngineTest, CancelAndDelPidPutProcessesBackAndConnectionsGoDirectAgain) {
    Client client;
    std::string origin = CgroupOf(client.pid());
    struct Case {
        const char* what;
        void (*release)(int ctx, pid_t pid);
    } cases[] = {
        {"ProcessCancelAll", [](int ctx, pid_t) { ProcessCancelAll(ctx); }},
        {"ProcessDelPid", [](int ctx, pid_t pid) { ProcessDelPid(ctx, pid); }},
    };
    for (const auto& c : cases) {
        ProcessAddPid(ctx_, client.pid());
        EXPECT_NE(CgroupOf(client.pid()), origin) << c.what;
        EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok") << c.what;
        EXPECT_EQ(LastSource(), kProxySourceV4) << c.what;
        c.release(ctx_, client.pid());
        EXPECT_EQ(CgroupOf(client.pid()), origin) << c.what;
        EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok") << c.what;
        EXPECT_EQ(LastSource(), kClientV4) << c.what;
    }
}

TEST_F(EngineTest, RepeatedAddPidOfACapturedProcessIsCheap) {
    Client client;
    ProcessAddPid(ctx_, client.pid());
    std::string captured = CgroupOf(client.pid());
    constexpr int kCalls = 20000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) ProcessAddPid(ctx_, client.pid());
    auto elapsed = std::chrono::steady_clock::now() - start;
    // A figure for the record, not a limit.
    std::printf("ProcessAddPid of a captured process: %.2f us per call\n",
                std::chrono::duration<double, std::micro>(elapsed).count() / kCalls);
    EXPECT_EQ(CgroupOf(client.pid()), captured);
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kProxySourceV4);
}

TEST_F(EngineTest, WhenTheProxyCannotCarryAConnectionNothingReachesTheDestination) {
    Client client;
    ProcessAddPid(ctx_, client.pid());
    struct Case {
        const char* what;
        std::string url;
    } cases[] = {
        {"wrong password", ProxyUrl(kProxyV4, "wrong")},
        {"no proxy listening", ProxyUrl(kProxyV4, kProxyPassword, kProxyPort + 1)},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(SetGlobalProxy(ctx_, c.url.c_str(), 0), 1) << c.what;
        EXPECT_NE(client.Connect(kDestinationV4, kDestinationPort), "ok") << c.what;
        EXPECT_EQ(server_->Count(), 0u) << c.what;
    }
    // The same process connects fine again once the proxy is right.
    ASSERT_EQ(SetGlobalProxy(ctx_, ProxyUrl(kProxyV4).c_str(), 0), 1);
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kProxySourceV4);
}

TEST_F(EngineTest, ClearedUpstreamCarriesCapturedConnectionsDirectThroughTheEngine) {
    Client client;
    ProcessAddPid(ctx_, client.pid());
    ASSERT_EQ(SetGlobalProxy(ctx_, "", 0), 1);
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kClientV4);
}

TEST_F(EngineTest, FiveHundredConcurrentConnectionsKeepTheirBytes) {
    Client client;
    ProcessAddPid(ctx_, client.pid());
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort, 500, 8192), "ok");
    auto sources = server_->Sources();
    EXPECT_EQ(sources.size(), 500u);
    EXPECT_EQ(std::count(sources.begin(), sources.end(), kProxySourceV4), 500);
}

TEST_F(EngineTest, CloseAndReleasePutEveryProcessBackAndRemoveTableCgroupAndRecord) {
    struct Case {
        const char* what;
        bool release;
    } cases[] = {{"SunnyNetClose", false}, {"ReleaseSunnyNet", true}};
    for (const auto& c : cases) {
        Client client;
        std::string origin = CgroupOf(client.pid());
        ProcessAddPid(ctx_, client.pid());
        std::string cgroup = CgroupOf(client.pid());
        ASSERT_TRUE(cgroup.starts_with("/varnelo-")) << c.what << " " << cgroup;
        EXPECT_TRUE(FileExists("/run" + cgroup + ".origins")) << c.what;
        ASSERT_FALSE(TracesOf(::getpid()).empty()) << c.what;
        if (c.release) {
            ReleaseSunnyNet(ctx_);
            ctx_ = 0;
        } else {
            EXPECT_EQ(SunnyNetClose(ctx_), 1);
        }
        EXPECT_EQ(TracesOf(::getpid()), std::vector<std::string>()) << c.what;
        EXPECT_EQ(CgroupOf(client.pid()), origin) << c.what;
        EXPECT_FALSE(FileExists("/run" + cgroup + ".origins")) << c.what;
        EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok") << c.what;
        EXPECT_EQ(LastSource(), kClientV4) << c.what;
        if (!c.release) {  // the closed engine starts and captures again
            ASSERT_EQ(SunnyNetStart(ctx_), 1) << TakeText(SunnyNetError(ctx_));
            ASSERT_EQ(OpenDrive(ctx_, 2), 1) << TakeText(SunnyNetError(ctx_));
            ProcessAddPid(ctx_, client.pid());
            EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
            EXPECT_EQ(LastSource(), kProxySourceV4);
        }
    }
}

TEST_F(EngineTest, TheNextEngineRemovesWhatAKilledOneLeftAndPutsItsProcessesBack) {
    Client victim;
    std::string origin = CgroupOf(victim.pid());
    Child holder = SpawnIn(ns_->Client(), {VARNELO_ENGINE_HOLDER, std::to_string(victim.pid())});
    std::string prefix = "/varnelo-" + std::to_string(holder.pid()) + "-";
    ASSERT_TRUE(Eventually([&] { return CgroupOf(victim.pid()).starts_with(prefix); }));
    std::string cgroup = CgroupOf(victim.pid());
    holder.Kill();  // SIGKILL: no clean-up of its own
    auto id = ParseEngineName(cgroup.substr(1), '-');
    ASSERT_TRUE(id);
    std::string table = EngineName(*id, '_');
    auto cgroups = Cgroup2::Discover(nullptr);
    ASSERT_TRUE(cgroups);
    ASSERT_TRUE(cgroups->Exists(cgroup));
    Nftables nft;
    auto tables = nft.InetTables();
    ASSERT_NE(std::find(tables.begin(), tables.end(), table), tables.end());
    // Meanwhile the victim's connections are redirected to a dead engine: they fail, none leaks.
    EXPECT_NE(victim.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(server_->Count(), 0u);

    int next = CreateSunnyNet();
    ASSERT_EQ(OpenDrive(next, 2), 1) << TakeText(SunnyNetError(next));
    EXPECT_FALSE(cgroups->Exists(cgroup));
    tables = nft.InetTables();
    EXPECT_EQ(std::find(tables.begin(), tables.end(), table), tables.end());
    EXPECT_EQ(CgroupOf(victim.pid()), origin);
    EXPECT_FALSE(FileExists("/run" + cgroup + ".origins"));
    ReleaseSunnyNet(next);
    EXPECT_EQ(victim.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kClientV4);
}

TEST_F(EngineTest, AProgramThatExitsWithoutReleasingLeavesNothingBehind) {
    Client victim;
    std::string origin = CgroupOf(victim.pid());
    Child holder = SpawnIn(ns_->Client(), {VARNELO_ENGINE_HOLDER, std::to_string(victim.pid()), "exit"});
    pid_t holderPid = holder.pid();
    int status = holder.Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(TracesOf(holderPid), std::vector<std::string>());
    EXPECT_EQ(CgroupOf(victim.pid()), origin);
    EXPECT_EQ(victim.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kClientV4);
}

TEST_F(EngineTest, CaptureByNameTakesProgramsFromTheirFirstConnection) {
    // The probes start from a launcher forked before any connection existed, so that no copy of
    // an engine socket lives on in them.
    Client launcher;
    auto RunProbe = [&] {
        return launcher.Run(VARNELO_CAPTURE_PROBE, kDestinationV4, kDestinationPort) == "exit 0";
    };
    ProcessAddName(ctx_, "CAPTURE_PROBE");  // letter case of A-Z does not matter
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(RunProbe()) << i;
        EXPECT_EQ(LastSource(), kProxySourceV4) << i;
    }
    ProcessDelName(ctx_, "capture_probe");
    EXPECT_TRUE(RunProbe());
    EXPECT_EQ(LastSource(), kClientV4);
    ProcessAddName(ctx_, "capture_probe");
    ProcessCancelAll(ctx_);  // forgets the names too
    EXPECT_TRUE(RunProbe());
    EXPECT_EQ(LastSource(), kClientV4);
}

TEST_F(EngineTest, CaptureOfAllProcessesCanBeSwitchedOnAndOff) {
    Client client;
    ProcessALLName(ctx_, 1, 0);
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kProxySourceV4);
    ProcessALLName(ctx_, 0, 0);
    EXPECT_EQ(client.Connect(kDestinationV4, kDestinationPort), "ok");
    EXPECT_EQ(LastSource(), kClientV4);
}

}  // namespace
}  // namespace varnelo::interceptor
