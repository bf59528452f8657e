#include "platform/process_events_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/sleeper_fixture.h"

extern char** environ;

namespace varnelo {
namespace {

// The kernel's process events need CAP_NET_ADMIN: these tests run as root only.
#define REQUIRE_ROOT() \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (process events)"

std::unique_ptr<EventProcessTable> OpenEventTable() {
    return EventProcessTable::Open(OpenProcessEventSocket);
}

std::optional<std::string> NameIn(const std::vector<ProcessEntry>& entries, pid_t pid) {
    for (const ProcessEntry& e : entries) {
        if (e.pid == std::uint32_t(pid)) return Utf16ToUtf8(e.exeName);
    }
    return std::nullopt;
}

// A new child shows its parent's name until its exec has run: ask again for a while.
bool ShowsUp(ProcessTable& table, pid_t pid, const std::string& name) {
    for (int i = 0; i < 400; ++i) {
        if (NameIn(table.Snapshot(), pid) == name) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void WaitUntilExecuted(pid_t pid, const std::string& name) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::error_code error;
    for (int i = 0; i < 400 && std::filesystem::read_symlink(link, error).filename() != name; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(EventProcessTableRoot, FollowsProcessesStartedAndEndedAfterItWasMade) {
    REQUIRE_ROOT();
    auto table = OpenEventTable();
    ASSERT_NE(table, nullptr);
    Sleepers sleepers;
    const std::string names[] = {"Tool9.EXE", "名字.bin"};
    std::vector<pid_t> pids;
    for (const std::string& name : names) {
        pids.push_back(sleepers.Start(name));
        ASSERT_GT(pids.back(), 0);
    }
    for (std::size_t i = 0; i < std::size(names); ++i) EXPECT_TRUE(ShowsUp(*table, pids[i], names[i])) << names[i];

    // A thread is not a process.
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> done{false};
    std::thread thread([&] {
        threadId = ::gettid();
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (threadId == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<ProcessEntry> entries = table->Snapshot();
    done = true;
    thread.join();
    EXPECT_FALSE(NameIn(entries, threadId).has_value());
    EXPECT_TRUE(NameIn(entries, ::getpid()).has_value());
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                               [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; }));

    // The exit is reported before the parent can reap the child.
    sleepers.Stop(pids[0]);
    entries = table->Snapshot();
    EXPECT_FALSE(NameIn(entries, pids[0]).has_value());
    EXPECT_EQ(NameIn(entries, pids[1]), names[1]);
}

TEST(EventProcessTableRoot, ExecShowsTheNewName) {
    REQUIRE_ROOT();
    auto table = OpenEventTable();
    ASSERT_NE(table, nullptr);
    Sleepers files;  // only for its private folder
    const std::string dir = std::filesystem::path(files.PathOf("x")).parent_path();
    std::filesystem::copy_file("/bin/sh", dir + "/Parent9");
    std::filesystem::copy_file("/bin/sleep", dir + "/Child7");
    // The shell waits for a line on its input, then becomes the sleeper.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    std::string arg0 = dir + "/Parent9", arg1 = "-c", arg2 = "read line; exec " + dir + "/Child7 600";
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, arg0.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[0]);

    EXPECT_TRUE(ShowsUp(*table, pid, "Parent9"));
    ASSERT_EQ(::write(pipeFds[1], "go\n", 3), 3);
    EXPECT_TRUE(ShowsUp(*table, pid, "Child7"));
    ::close(pipeFds[1]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(NameIn(table->Snapshot(), pid).has_value());
}

TEST(EventProcessTableRoot, LostEventsGiveACorrectTable) {
    REQUIRE_ROOT();
    Sleepers sleepers;
    pid_t before = sleepers.Start("Before.bin");
    ASSERT_GT(before, 0);
    WaitUntilExecuted(before, "Before.bin");
    auto table = OpenEventTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(NameIn(table->Snapshot(), before), "Before.bin");  // from the first scan

    // Both the start of one and the end of the other go missing with the events.
    pid_t after = sleepers.Start("After.bin");
    ASSERT_GT(after, 0);
    WaitUntilExecuted(after, "After.bin");
    sleepers.Stop(before);
    table->LoseEventsForTest();

    std::vector<ProcessEntry> entries = table->Snapshot();
    EXPECT_EQ(NameIn(entries, after), "After.bin");
    EXPECT_FALSE(NameIn(entries, before).has_value());
    // And events are followed again afterwards.
    sleepers.Stop(after);
    EXPECT_FALSE(NameIn(table->Snapshot(), after).has_value());
}

TEST(EventProcessTable, WithoutEventsTheTableScansProc) {
    auto table = MakeSystemProcessTableWith([] { return -1; });
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(dynamic_cast<EventProcessTable*>(table.get()), nullptr);
    Sleepers sleepers;
    pid_t pid = sleepers.Start("Late.bin");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(ShowsUp(*table, pid, "Late.bin"));
    EXPECT_EQ(table->ExeNameOf(pid), Utf8ToUtf16("Late.bin"));
    sleepers.Stop(pid);
    EXPECT_FALSE(NameIn(table->Snapshot(), pid).has_value());
}

TEST(EventProcessTableRoot, SystemTableUsesEventsAsRoot) {
    REQUIRE_ROOT();
    auto table = MakeSystemProcessTable();
    EXPECT_NE(dynamic_cast<EventProcessTable*>(table.get()), nullptr);
}

}  // namespace
}  // namespace varnelo
