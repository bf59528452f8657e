#include "interceptor/capture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "interceptor/capture_io.h"
#include "interceptor/cgroup2.h"
#include "interceptor/name_watch.h"
#include "interceptor/nft_rules.h"

namespace varnelo::interceptor {
namespace {

constexpr const char* kHybridMountinfo =
    "22 1 0:21 / /sys rw,nosuid - sysfs sysfs rw\n"
    "31 22 0:28 / /sys/fs/cgroup rw,relatime shared:9 - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:10 master:3 - cgroup2 cgroup2 rw\n";

TEST(FindCgroup2Mount, FindsTheCgroup2LineAmongOthers) {
    struct Case {
        const char* mountinfo;
        std::optional<std::string> expected;
    } cases[] = {
        {kHybridMountinfo, "/sys/fs/cgroup/unified"},
        {"30 22 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n", "/sys/fs/cgroup"},
        {"30 22 0:26 / /mnt/my\\040cg rw - cgroup2 none rw\n", "/mnt/my cg"},
        // "cgroup2" as a mount point or source must not be mistaken for the type.
        {"30 22 0:26 / /cgroup2 rw - tmpfs cgroup2 rw\n", std::nullopt},
        {"32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(FindCgroup2Mount(c.mountinfo), c.expected) << c.mountinfo;
}

TEST(RelativePath, WalksUpWhereTheTargetLiesOutside) {
    struct Case {
        const char* base;
        const char* target;
        const char* expected;
    } cases[] = {
        {"/sys/fs/cgroup", "/sys/fs/cgroup/unified/varnelo-1-2-3", "unified/varnelo-1-2-3"},
        {"/sys/fs/cgroup", "/sys/fs/cgroup/varnelo-1-2-3", "varnelo-1-2-3"},
        {"/sys/fs/cgroup", "/mnt/cg2/x", "../../../mnt/cg2/x"},
        {"/sys/fs/cgroup/", "/sys/fs/cgroupx/y", "../cgroupx/y"},
        {"/sys/fs/cgroup", "/sys/fs/cgroup", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(RelativePath(c.base, c.target), c.expected) << c.target;
}

TEST(ParseCgroup2Path, ReadsOnlyTheUnifiedLine) {
    EXPECT_EQ(ParseCgroup2Path("4:memory:/a/b\n1:cpu:/\n0::/\n"), "/");
    EXPECT_EQ(ParseCgroup2Path("0::/user.slice/x y\n"), "/user.slice/x y");
    EXPECT_EQ(ParseCgroup2Path("0::/varnelo-1-2-3"), "/varnelo-1-2-3");
    EXPECT_EQ(ParseCgroup2Path("4:memory:/0::/x\n"), std::nullopt);
    EXPECT_EQ(ParseCgroup2Path(""), std::nullopt);
}

TEST(EngineName, RoundTripsAndRejectsForeignNames) {
    EngineId id{1234, 987654321ULL, 7};
    EXPECT_EQ(EngineName(id, '-'), "varnelo-1234-987654321-7");
    EXPECT_EQ(ParseEngineName(EngineName(id, '-'), '-'), id);
    EXPECT_EQ(ParseEngineName(EngineName(id, '_'), '_'), id);
    for (const char* foreign : {"varnelo-1234-5", "varnelo-1-2-3x", "varnelo_1_2_3", "other-1-2-3",
                                "varnelo-0-1-1", "varnelo--1-1", "varnelo-1-2-", "varnelo-a-2-3"}) {
        EXPECT_EQ(ParseEngineName(foreign, '-'), std::nullopt) << foreign;
    }
}

TEST(OwnerAlive, TellsARunningOwnerFromADeadOneWithTheSamePid) {
    auto start = ProcessStartTime(::getpid());
    ASSERT_TRUE(start);
    EXPECT_TRUE(OwnerAlive({::getpid(), *start, 1}));
    EXPECT_FALSE(OwnerAlive({::getpid(), *start + 1, 1}));  // the pid reused by someone else
    EXPECT_FALSE(OwnerAlive({0x3ffffff, *start, 1}));        // above any pid the kernel hands out
}

TEST(BuildRuleset, RedirectsTheCgroupsTcpButLetsLocalAndMarkedTrafficPass) {
    CaptureRules rules{"varnelo_1_2_3", "unified/varnelo-1-2-3", 1, 0x564e4c4f, 40123, false};
    std::string batch = BuildRuleset(rules);
    auto at = [&](const char* text) { return batch.find(text); };
    ASSERT_NE(at("table inet varnelo_1_2_3 {"), std::string::npos) << batch;
    EXPECT_NE(at("type nat hook output priority -100; policy accept;"), std::string::npos);
    EXPECT_NE(at("socket cgroupv2 level 1 \"unified/varnelo-1-2-3\" jump captured"), std::string::npos);
    // The exemptions come before the redirect, or they would never be reached.
    size_t local = at("fib daddr type local return");
    size_t mark = at("meta mark 0x564e4c4f return");
    size_t redirect = at("meta l4proto tcp redirect to :40123");
    ASSERT_NE(redirect, std::string::npos);
    EXPECT_LT(local, redirect);
    EXPECT_LT(mark, redirect);
    // Replacing an existing table is one batch: add, delete, define.
    EXPECT_LT(at("add table inet varnelo_1_2_3"), at("delete table inet varnelo_1_2_3"));
}

TEST(BuildRuleset, CaptureAllAndUnknownPortAndUnsafeNames) {
    CaptureRules all{"t1", "unified/x", 1, 1, 80, true};
    std::string batch = BuildRuleset(all);
    EXPECT_EQ(batch.find("socket cgroupv2"), std::string::npos);
    EXPECT_NE(batch.find("    jump captured\n"), std::string::npos);

    CaptureRules noPort{"t1", "unified/x", 1, 1, 0, false};
    batch = BuildRuleset(noPort);
    EXPECT_NE(batch.find("meta l4proto tcp drop"), std::string::npos);  // fail closed
    EXPECT_EQ(batch.find("redirect"), std::string::npos);

    for (CaptureRules bad : {CaptureRules{"t 1", "x", 1, 1, 80, false},
                             CaptureRules{"t1; flush ruleset", "x", 1, 1, 80, false},
                             CaptureRules{"t1", "x\" accept", 1, 1, 80, false},
                             CaptureRules{"t1", "x\ny", 1, 1, 80, false},
                             CaptureRules{"", "x", 1, 1, 80, false}}) {
        EXPECT_EQ(BuildRuleset(bad), "") << bad.table << " " << bad.cgroupRelative;
    }
}

TEST(SameExecutableName, IgnoresOnlyAsciiLetterCase) {
    EXPECT_TRUE(SameExecutableName("Curl", "cURL"));
    EXPECT_TRUE(SameExecutableName("a.EXE", "A.exe"));
    EXPECT_FALSE(SameExecutableName("curl", "curl2"));
    EXPECT_FALSE(SameExecutableName("curl", "cur"));
    // Bytes outside A-Z compare exactly: "\xc3\xa4" (a umlaut) is not "\xc3\x84" (A umlaut).
    EXPECT_FALSE(SameExecutableName("\xc3\xa4", "\xc3\x84"));
}

TEST(FindProcessesByName, FindsChildrenByExecutableNameButNeverItself) {
    std::string self = ExecutableName(::getpid());
    ASSERT_FALSE(self.empty());
    auto selves = FindProcessesByName({self});
    EXPECT_EQ(std::find(selves.begin(), selves.end(), ::getpid()), selves.end());
    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "5", nullptr);
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    std::vector<pid_t> found;
    for (int i = 0; i < 100 && std::find(found.begin(), found.end(), child) == found.end(); ++i) {
        ::usleep(10000);  // until the exec has happened
        found = FindProcessesByName({"SLEEP"});
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_NE(std::find(found.begin(), found.end(), child), found.end());
}

// The watcher's scan, as it runs where fanotify is missing: processes running when a name is added
// are handed over at once, later ones by the next scan, and none after the name is removed.
TEST(NameWatcher, ScanHandsOverRunningAndLaterProcessesOfTheName) {
    std::mutex mutex;
    std::set<pid_t> seen;
    NameWatcher watcher(
        [&](pid_t pid) {
            std::lock_guard lock(mutex);
            seen.insert(pid);
        },
        false);
    auto startSleep = [] {
        pid_t child = ::fork();
        if (child == 0) {
            ::execl("/bin/sleep", "sleep", "5", nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 100 && ExecutableName(child) != "sleep"; ++i) ::usleep(10000);
        return child;
    };
    auto wasSeen = [&](pid_t pid) {
        std::lock_guard lock(mutex);
        return seen.count(pid) > 0;
    };
    pid_t before = startSleep();
    watcher.Add("Sleep");
    EXPECT_TRUE(wasSeen(before));  // at once, within Add
    pid_t after = startSleep();
    for (int i = 0; i < 300 && !wasSeen(after); ++i) ::usleep(10000);
    EXPECT_TRUE(wasSeen(after));
    watcher.Remove("SLEEP");
    EXPECT_TRUE(watcher.Names().empty());
    pid_t removed = startSleep();
    ::usleep(1200000);  // more than two scan intervals
    EXPECT_FALSE(wasSeen(removed));
    for (pid_t child : {before, after, removed}) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}

}  // namespace
}  // namespace varnelo::interceptor
