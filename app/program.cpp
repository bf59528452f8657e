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

void ExitHandlerAtExit() { RunExitHandler(); }

}  // namespace

ProgramObjects& Objects() {
    static ProgramObjects* objects = new ProgramObjects();  // never destroyed: atexit may run late
    return *objects;
}

void RegisterExitHandler() {
    static const bool registered = std::atexit(ExitHandlerAtExit) == 0;
    (void)registered;
}

void RunExitHandler() {
    ProgramObjects& objects = Objects();
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
    ProgramObjects& objects = Objects();
    objects.engine = std::make_unique<ProxyEngine>(boxes);
    objects.connection = std::make_unique<ConnectionOps>(boxes);
    RegisterExitHandler();
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
