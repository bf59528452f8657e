#include "platform/process_table.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/sleeper_fixture.h"

namespace varnelo {
namespace {

std::vector<std::uint32_t> PidsNamed(ProcessTable& table, const std::string& utf8) {
    std::vector<std::uint32_t> pids;
    for (const ProcessEntry& e : table.Snapshot()) {
        if (e.exeName == Utf8ToUtf16(utf8)) pids.push_back(e.pid);
    }
    return pids;
}

// A freshly spawned child shows the parent's executable until its exec has run.
void WaitForExec(ProcessTable& table, pid_t pid, const std::string& utf8) {
    for (int i = 0; i < 200 && table.ExeNameOf(pid) != Utf8ToUtf16(utf8); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(ProcessTable, ListsProcessesByTheBaseNameOfTheirExecutable) {
    auto table = MakeSystemProcessTable();
    Sleepers sleepers;
    const std::string names[] = {"Tool9.EXE", " lead blank", "名字.bin"};
    std::vector<pid_t> started;
    for (const std::string& name : names) {
        started.push_back(sleepers.Start(name));
        ASSERT_GT(started.back(), 0);
        WaitForExec(*table, started.back(), name);
    }
    pid_t second = sleepers.Start(names[0]);
    WaitForExec(*table, second, names[0]);

    EXPECT_EQ(PidsNamed(*table, names[0]),
              (std::vector<std::uint32_t>{std::uint32_t(started[0]), std::uint32_t(second)}));
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(table->ExeNameOf(started[i]), Utf8ToUtf16(names[i]));
    }
    EXPECT_EQ(table->ExeNameOf(::getpid()),
              Utf8ToUtf16(std::filesystem::read_symlink("/proc/self/exe").filename().string()));
    sleepers.Stop(second);
    EXPECT_FALSE(table->ExeNameOf(second).has_value());
    EXPECT_EQ(PidsNamed(*table, names[0]), (std::vector<std::uint32_t>{std::uint32_t(started[0])}));
}

TEST(ProcessTable, DeletedExecutableKeepsItsName) {
    auto table = MakeSystemProcessTable();
    Sleepers sleepers;
    pid_t pid = sleepers.Start("gone");
    ASSERT_GT(pid, 0);
    WaitForExec(*table, pid, "gone");
    std::filesystem::remove(sleepers.PathOf("gone"));
    EXPECT_EQ(table->ExeNameOf(pid), Utf8ToUtf16("gone"));
    EXPECT_EQ(PidsNamed(*table, "gone"), (std::vector<std::uint32_t>{std::uint32_t(pid)}));
}

TEST(ProcessTable, ProcessWithoutExecutableIsNamedByItsShortName) {
    // A zombie has no executable and an empty command line; its short name still shows.
    auto table = MakeSystemProcessTable();
    Sleepers sleepers;
    pid_t pid = sleepers.Start("zombie.bin");
    ASSERT_GT(pid, 0);
    WaitForExec(*table, pid, "zombie.bin");
    ::kill(pid, SIGKILL);  // not reaped until the fixture goes
    std::error_code error;
    for (int i = 0; i < 200; ++i) {
        if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(table->ExeNameOf(pid), Utf8ToUtf16("zombie.bin"));
}

}  // namespace
}  // namespace varnelo
