#include "app/program.h"

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "app/local_port.h"
#include "app/main_window.h"
#include "app/program_state.h"
#include "engine/connection_ops.h"
#include "engine/library_presence.h"
#include "engine/proxy_engine.h"
#include "notice/notice_record.h"
#include "notice/self_update.h"
#include "platform/directory.h"
#include "platform/qt/message_box_qt.h"

namespace varnelo {
namespace {

// What the exit handler releases. Lives until the process ends, so that a handler ending the
// program (std::exit through FatalExit) still finds it.
struct ProcessObjects {
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ProxyEngine> engine;
    std::unique_ptr<ConnectionOps> connection;
    ProgramState state;
    bool exited = false;
};

ProcessObjects& Objects() {
    static ProcessObjects* objects = new ProcessObjects();  // never destroyed: atexit may run late
    return *objects;
}

void ExitHandlerAtExit() { RunExitHandler(); }

}  // namespace

void RunExitHandler() {
    ProcessObjects& objects = Objects();
    if (objects.exited) return;
    objects.exited = true;
    objects.window.reset();  // the window is gone before the engine goes
    objects.state.targetProcessName.clear();
    objects.engine.reset();
    objects.state.currentVersion.clear();
    objects.state.notice = NoticeRecord();
    objects.state.updateAddress.clear();
    objects.connection.reset();
}

int RunProgram(int argc, char** argv) {
    // The application comes first: the library presence check may have to show its box.
    QApplication application(argc, argv);
    static QtMessageBoxes boxes;
    ProcessObjects& objects = Objects();
    objects.engine = std::make_unique<ProxyEngine>(boxes);
    objects.connection = std::make_unique<ConnectionOps>(boxes);
    std::atexit(ExitHandlerAtExit);
    objects.state.codePage = kCodePage936;
    objects.state.uploadChunkSize = 1048576;
    EnsureLibraryFile(boxes);

    auto processes = MakeSystemProcessTable();
    auto picker = MakeX11WindowPicker();
    MainWindowParts parts{
        *objects.engine, *objects.connection, boxes, *processes, *picker, objects.state,
        RunDirectory(),
        [](NoticeRecord& record) { ReadNoticeRecord(record); },
        [](const Text& address, UpdateWindow& window) {
            return RunSelfUpdate(address, window, boxes);
        },
        [] { return ChooseLocalPort(); },
        [](const MessageBoxRequest& request) { FatalExit(boxes, request); },
    };
    objects.window = std::make_unique<MainWindow>(std::move(parts));
    objects.window->Load();
    if (objects.window->CloseRequested()) {
        objects.window->close();  // saves the input
    } else {
        objects.window->show();
        application.exec();
    }
    RunExitHandler();
    return 0;
}

}  // namespace varnelo
