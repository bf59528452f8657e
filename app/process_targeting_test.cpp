#include "app/process_targeting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/qt_app_fixture.h"
#include "engine/testing/recording_control.h"
#include "platform/sleeper_fixture.h"

namespace varnelo {
namespace {

Utf16 Z(const char16_t* s) { return Utf16(s) + u'\0'; }

TEST(NamesEqual, FoldsOnlyAsciiLetters) {
    struct Case {
        Utf16 name, wanted;
        bool caseSensitive, equal;
    } cases[] = {
        {Z(u"Tool.EXE"), Z(u"tool.exe"), false, true},
        {Z(u"tool.exe"), Z(u"TOOL.EXE"), false, true},
        {Z(u"Tool.EXE"), Z(u"tool.exe"), true, false},
        {Z(u"Tool.EXE"), Z(u"Tool.EXE"), true, true},
        {Z(u"a1"), Z(u"aQ"), false, false},      // '1' and 'Q' differ by 32, still no match
        {Z(u"a@"), Z(u"a`"), false, false},      // not letters
        {Z(u"\u00C4"), Z(u"\u00E4"), false, false},  // only A-Z fold
        {Z(u"名字"), Z(u"名字"), false, true},
        {Z(u"tool"), Z(u"tool.exe"), false, false},
        {Z(u"tool.exe"), Z(u" tool.exe"), false, false},
        {Utf16(u"ab\0cd", 5), Z(u"ab"), true, true},  // compared up to the terminator
        {Utf16(), Utf16(), false, false},
        {Z(u""), Utf16(), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NamesEqual(c.name, c.wanted, c.caseSensitive), c.equal)
            << Utf16ToUtf8(c.name) << " / " << Utf16ToUtf8(c.wanted);
    }
}

class ProcessTargeting : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"Tool9.EXE", "Tool9.EXE", "名字.bin", " lead"}) {
            pid_t pid = sleepers_.Start(name);
            ASSERT_GT(pid, 0);
            pids_.push_back(static_cast<std::uint32_t>(pid));
            // The child shows this program's name until its exec has run.
            for (int i = 0; i < 200 && table_->ExeNameOf(pid) != Utf8ToUtf16(name); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    std::unique_ptr<ProcessTable> table_ = MakeSystemProcessTable();
    Sleepers sleepers_;
    PidList pids_;
};

TEST_F(ProcessTargeting, FindsEveryInstanceByExecutableName) {
    const PidList both{pids_[0], pids_[1]};
    struct Case {
        Text typed;
        bool caseSensitive;
        PidList expected;
    } cases[] = {
        {"tool9.exe", false, both},
        {"TOOL9.EXE", false, both},
        {"Tool9.EXE", true, both},
        {"tool9.exe", true, {}},
        {"toolY.exe", false, {}},  // 9 and Y differ by 32
        {" Tool9.EXE", false, {}},  // blanks are not trimmed
        {"Tool9", false, {}},       // no extension
        {"", false, {}},
        {"名字.BIN"_cp936, false, {pids_[2]}},
        {" lead", false, {pids_[3]}},  // a file name that starts with a blank
        {"lead", false, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindPidsByName(*table_, c.typed, c.caseSensitive), c.expected) << c.typed;
    }
    EXPECT_EQ(ExeNameOfPid(*table_, pids_[2]), "名字.bin"_cp936);
    sleepers_.Stop(static_cast<pid_t>(pids_[3]));
    EXPECT_EQ(ExeNameOfPid(*table_, pids_[3]), "");
}

TEST_F(ProcessTargeting, RescanRegistersEveryMatchEachTime) {
    RecordedBoxes boxes;
    auto& library = testing::Recorder();
    library.Reset();
    library.SetResult("CreateSunnyNet", 7);
    ProxyEngine engine(boxes);
    library.TakeCalls();
    RescanTarget(*table_, "TOOL9.exe", engine);
    RescanTarget(*table_, "TOOL9.exe", engine);
    RescanTarget(*table_, "", engine);
    const std::string a = "ProcessAddPid(7, " + std::to_string(pids_[0]) + ")";
    const std::string b = "ProcessAddPid(7, " + std::to_string(pids_[1]) + ")";
    EXPECT_EQ(library.TakeCalls(), (std::vector<std::string>{a, b, a, b}));
}

}  // namespace
}  // namespace varnelo
