// Window picking and the window's look on a virtual X display (Xvfb) that this test starts on a
// free display number and stops again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/qt_text.h"
#include "engine/testing/recording_control.h"
#include "app/x_pointer_fixture.h"
#include "platform/window_picker.h"

extern char** environ;

namespace varnelo {
namespace {

namespace fs = std::filesystem;

// A child process whose standard output (or another fd) the test reads; killed by its pid.
struct Child {
    pid_t pid = -1;
    int output = -1;

    Child(std::vector<std::string> args, int outputFd = 1) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], outputFd);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        output = fds[0];
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (output >= 0) ::close(output);
    }
    // The first line the child writes, waiting at most 10 s.
    std::string ReadLine() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{output, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(output, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
};

std::string TestBinDir() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

class PickingOnXvfb : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Xvfb picks a free display number itself and tells it on fd 3.
        xvfb_ = new Child({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                           "-nolisten", "tcp"},
                          3);
        const std::string number = xvfb_->ReadLine();
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display_ = ":" + number;
        ::setenv("DISPLAY", display_.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "app_display_test";
        static char* argv[] = {name, nullptr};
        application_ = new QApplication(argc, argv);
        ASSERT_TRUE(OpenPointerDisplay(display_));
    }
    static void TearDownTestSuite() {
        ClosePointerDisplay();
        delete application_;
        delete xvfb_;
    }

    static void MovePointer(int x, int y) { MovePointerTo(x, y); }
    static void Settle() {
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static inline Child* xvfb_ = nullptr;
    static inline std::string display_;
    static inline QApplication* application_ = nullptr;
};

TEST_F(PickingOnXvfb, FindsTheOwnerOfTheWindowUnderThePointer) {
    const std::string client = TestBinDir() + "/x_client_fixture";
    Child withPid({client, "100", "100", "200", "200", "--pid"});
    Child withoutPid({client, "400", "100", "200", "200"});
    ASSERT_EQ(withPid.ReadLine(), "ready");
    ASSERT_EQ(withoutPid.ReadLine(), "ready");
    auto picker = MakeX11WindowPicker();

    MovePointer(150, 150);  // _NET_WM_PID
    EXPECT_EQ(picker->PidUnderPointer(), std::optional<std::uint32_t>(withPid.pid));
    MovePointer(450, 150);  // no property: the X Resource extension knows the client's process
    EXPECT_EQ(picker->PidUnderPointer(), std::optional<std::uint32_t>(withoutPid.pid));
    MovePointer(900, 700);  // the bare root window
    EXPECT_EQ(picker->PidUnderPointer(), std::nullopt);

    const std::string display = display_;
    ::unsetenv("DISPLAY");
    EXPECT_EQ(picker->PidUnderPointer(), std::nullopt);
    ::setenv("DISPLAY", "unix:/nonexistent", 1);
    EXPECT_EQ(picker->PidUnderPointer(), std::nullopt);
    ::setenv("DISPLAY", display.c_str(), 1);
}

class NoBoxes final : public MessageBoxes {
public:
    MessageAnswer Show(const MessageBoxRequest&) override { return MessageAnswer::Ok; }
};

TEST_F(PickingOnXvfb, TheRealWindowPicksAndLooksRight) {
    auto& library = testing::Recorder();
    library.Reset();
    library.SetResult("SunnyNetStart", 1);
    library.SetResult("OpenDrive", 1);
    library.SetPointerResult("SunnyNetInstallCert", std::string("already in store"));
    NoBoxes boxes;
    ProxyEngine engine(boxes);
    ConnectionOps connection(boxes);
    auto processes = MakeSystemProcessTable();
    auto picker = MakeX11WindowPicker();
    ProgramState state;
    const fs::path runDir = fs::temp_directory_path() / ("display_" + std::to_string(::getpid()));
    fs::create_directories(runDir);
    {
        MainWindow window(MainWindowParts{
            engine, connection, boxes, *processes, *picker, state, TextFromPath(runDir.string()),
            [](NoticeRecord& record) { record.publishedVersion = "9.5"; },
            [](const Text&, UpdateWindow&) { return false; }, [] { return 23456; },
            [](const MessageBoxRequest&) {}});
        window.Load();
        window.show();
        Settle();

        const std::string client = TestBinDir() + "/x_client_fixture";
        Child other({client, "600", "300", "200", "200", "--pid"});
        ASSERT_EQ(other.ReadLine(), "ready");
        auto* box = window.findChild<QLabel*>(QString::fromUtf8("图片框1"));
        auto* edit = window.findChild<QLineEdit*>(QString::fromUtf8("编辑框_进程名"));
        auto pick = [&](int x, int y) {
            const QPointF at(10, 10);
            QMouseEvent press(QEvent::MouseButtonPress, at, box->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &press);
            EXPECT_EQ(QWidget::mouseGrabber(), box);  // the release comes here wherever it is
            MovePointer(x, y);
            QMouseEvent release(QEvent::MouseButtonRelease, at, box->mapToGlobal(at),
                                Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &release);
            EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
            return FromQString(edit->text());
        };
        EXPECT_EQ(pick(700, 400), "x_client_fixture");
        const QPoint overOwn = window.mapToGlobal(QPoint(150, 60));
        EXPECT_EQ(pick(overOwn.x(), overOwn.y()), "app_display_test");
        EXPECT_EQ(pick(1000, 10), "");

        // The look of the window, kept as a build artefact.
        edit->setText(QString::fromUtf8("微信.exe"));
        Settle();
        fs::create_directories(VARNELO_ARTIFACT_DIR);
        const QString shot = QString::fromUtf8(VARNELO_ARTIFACT_DIR "/window.png");
        EXPECT_TRUE(window.grab().save(shot));
        // Chinese text was drawn: the button label leaves dark pixels in the button's middle.
        const QImage image(shot);
        int dark = 0;
        for (int x = 100; x < 236; ++x) {
            for (int y = 135; y < 155; ++y) dark += qGray(image.pixel(x, y)) < 100;
        }
        EXPECT_GT(dark, 50);
        window.close();
    }
    fs::remove_all(runDir);
    library.Reset();
}

}  // namespace
}  // namespace varnelo
