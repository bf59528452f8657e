#include "app/program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "app/qt_app_fixture.h"
#include "engine/testing/recording_control.h"

namespace varnelo {
namespace {

// Never destroyed: read while the process ends.
const Text* const kFatalText = new Text("启动进程代理失败，请尝试使用管理员运行"_cp936);

RecordedBoxes& Boxes() {
    static RecordedBoxes boxes;
    return boxes;
}

// Runs after the exit handler (registered before it): what the library saw, and the window's fate.
void ReportAfterExit() {
    std::string line = Objects().window ? "window alive;" : "window gone;";
    for (const std::string& call : testing::Recorder().TakeCalls()) line += " " + call;
    // No text conversion here: the conversion layer's own statics are gone by now.
    line += "; box:";
    for (const MessageBoxRequest& box : Boxes().shown) {
        line += box.text == *kFatalText ? " the fatal box" : " another box";
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

// The program's start-up, with the capture driver failing inside the creation handler.
void StartAndFailToOpenTheDriver() {
    TestApplication();
    auto& library = testing::Recorder();
    library.Reset();
    library.SetResult("CreateSunnyNet", 7);
    library.SetResult("SunnyNetStart", 1);
    library.SetResult("OpenDrive", 0);
    ProgramObjects& objects = Objects();
    objects.engine = std::make_unique<ProxyEngine>(Boxes());
    // After the library's own state exists, so that the report runs before that state goes.
    std::atexit(ReportAfterExit);
    objects.connection = std::make_unique<ConnectionOps>(Boxes());
    RegisterExitHandler();
    static auto processes = MakeSystemProcessTable();
    static auto picker = MakeX11WindowPicker();
    objects.window = std::make_unique<MainWindow>(MainWindowParts{
        *objects.engine, *objects.connection, Boxes(), *processes, *picker, objects.state, "/nonexistent",
        [](NoticeRecord& record) { record.publishedVersion = "9.5"; },
        [](const Text&, UpdateWindow&) { return false; }, [] { return 23456; },
        [](const MessageBoxRequest& request) { FatalExit(Boxes(), request); }});
    library.TakeCalls();
    objects.window->Load();
    std::fprintf(stderr, "creation returned\n");
}

TEST(ProgramExit, EndingInsideTheCreationHandlerReleasesTheEngineAfterTheWindow) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartAndFailToOpenTheDriver(), ::testing::ExitedWithCode(0),
                "window gone; SunnyNetSetPort\\(7, 23456\\) .* OpenDrive\\(7, 2\\) "
                "ReleaseSunnyNet\\(7\\); box: the fatal box\n");
}

}  // namespace
}  // namespace varnelo
