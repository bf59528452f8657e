#include "app/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>

#include "app/finder_images.h"
#include "app/input_persistence.h"
#include "app/process_targeting.h"
#include "app/qt_text.h"
#include "app/split_non_empty.h"
#include "platform/directory.h"

namespace varnelo {

// 图片框1: press to start picking, release over another program's window to take its name.
class PickerBox final : public QLabel {
public:
    explicit PickerBox(MainWindow& window) : QLabel(&window), window_(window) {}

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) window_.OnPickStarted();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) window_.OnPickFinished();
    }

private:
    MainWindow& window_;
};

namespace {

const char kFontFamily[] = "WenQuanYi Micro Hei";

QFont FormFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies({QString::fromLatin1(kFontFamily)});
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

QString Utf8(const char* text) { return QString::fromUtf8(text); }

}  // namespace

MainWindow::MainWindow(MainWindowParts parts) : parts_(std::move(parts)) {
    setObjectName(Utf8("窗口"));
    setWindowTitle(Utf8("Varnelo-加速"));
    move(50, 50);
    setFixedSize(336, 237);
    BuildControls();
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildControls() {
    // Creation order is the form's: the settings keep the edit boxes in this order.
    timer_ = new QTimer(this);
    timer_->setObjectName(Utf8("时钟2"));
    timer_->setInterval(100);
    connect(timer_, &QTimer::timeout, this, [this] { OnTimerTick(); });
    timer_->start();

    picker_ = new PickerBox(*this);
    picker_->setObjectName(Utf8("图片框1"));
    picker_->setGeometry(280, 8, 32, 32);
    picker_->setPixmap(FinderIcon().ToPixmap());

    label_ = new QLabel(Utf8("IP|端口|账号|密码|"), this);
    label_->setObjectName(Utf8("标签1"));
    label_->setGeometry(16, 49, 304, 16);
    label_->setFont(FormFont(16, false));

    cancelButton_ = new QPushButton(Utf8("取消代理"), this);
    cancelButton_->setObjectName(Utf8("按钮3"));
    cancelButton_->setGeometry(16, 173, 304, 32);
    cancelButton_->setFont(FormFont(24, true));
    connect(cancelButton_, &QPushButton::clicked, this, [this] { OnCancelClicked(); });

    processName_ = new QLineEdit(this);
    processName_->setObjectName(Utf8("编辑框_进程名"));
    processName_->setGeometry(16, 8, 248, 32);
    processName_->setFont(FormFont(16, false));

    startButton_ = new QPushButton(Utf8("开启代理"), this);
    startButton_->setObjectName(Utf8("按钮1"));
    startButton_->setGeometry(16, 129, 304, 32);
    startButton_->setFont(FormFont(24, true));
    connect(startButton_, &QPushButton::clicked, this, [this] { OnStartClicked(); });

    proxyEntry_ = new QLineEdit(Utf8("127.0.0.1|1080|user|password"), this);
    proxyEntry_->setObjectName(Utf8("编辑框1"));
    proxyEntry_->setGeometry(16, 89, 296, 32);
    proxyEntry_->setFont(FormFont(16, false));
}

Text MainWindow::SettingsFile() const { return SettingsPath(parts_.runDirectory); }

MessageAnswer MainWindow::Box(const Text& text, const Text& caption, MessageButtons buttons,
                              MessageIcon icon, bool owned) {
    MessageBoxRequest request;
    request.text = text;
    request.caption = caption;
    request.buttons = buttons;
    request.icon = icon;
    request.owner = owned ? static_cast<const QWidget*>(this) : nullptr;
    return parts_.boxes.Show(request);
}

void MainWindow::Load() {
    loading_ = true;
    CreateDirectoryTree(parts_.runDirectory + "/config/");
    RestoreEditBoxes(*this, SettingsFile());
    parts_.readNotice(parts_.state.notice);
    parts_.state.currentVersion = kOwnVersion;
    SetCaption("正在检查更新..."_cp936);
    if (RunVersionGate()) {
        cancelButton_->setEnabled(false);
        SetCaption("Varnelo-加速  "_cp936);
        StartEngine();
    }
    loading_ = false;
}

// False when the window is to close instead of starting the engine.
bool MainWindow::RunVersionGate() {
    ProgramState& state = parts_.state;
    const Text& published = state.notice.publishedVersion;
    if (published.empty()) {
        Box("请连接网络后重试！"_cp936, "网络错误"_cp936, MessageButtons::Ok, MessageIcon::None, false);
        Close();
        return false;
    }
    if (published == state.currentVersion) return true;
    const Text offer = "最新版本："_cp936 + published + "\r\n当前版本："_cp936 + state.currentVersion +
                       "\r\n更新内容："_cp936 + state.notice.updateNotice;
    if (Box(offer, "版本更新"_cp936, MessageButtons::YesNo, MessageIcon::Information, false) !=
        MessageAnswer::Yes) {
        Close();
        return false;
    }
    state.updateAddress = state.notice.updateSoftwareAddress;
    parts_.runSelfUpdate(state.updateAddress, *this);
    // An update that replaces the program closes the window; starting the engine would only
    // hold the new program's port and driver.
    return !closeRequested_;
}

void MainWindow::StartEngine() {
    ProxyEngine& engine = parts_.engine;
    engine.SetPort(parts_.choosePort());
    engine.SetCallback();
    parts_.connection.SetDnsServer("remote");
    if (engine.Start() == 0) {
        Box(engine.Error(), "启动失败"_cp936, MessageButtons::Ok, MessageIcon::Error, false);
        return;
    }
    if (engine.OpenDrive(2) == 0) {
        MessageBoxRequest fatal;
        fatal.text = "启动进程代理失败，请尝试使用管理员运行"_cp936;
        parts_.fatalExit(fatal);
        return;
    }
    Text report;
    if (!engine.InstallCert(&report)) {
        Box("自动安装证书到系统失败,请手动安装证书！\r\n\r\n"_cp936 + report, "证书安装失败"_cp936,
            MessageButtons::Ok, MessageIcon::None, false);
    }
}

void MainWindow::OnStartClicked() {
    startButton_->setEnabled(false);
    cancelButton_->setEnabled(false);
    parts_.state.targetProcessName = FromQString(processName_->text());
    const std::vector<Text> pieces = SplitNonEmpty(FromQString(proxyEntry_->text()), "|");
    if (pieces.size() < 4) {
        Box("sk5有问题"_cp936, "提示"_cp936, MessageButtons::Ok, MessageIcon::None, true);
        startButton_->setEnabled(true);
        return;
    }
    const Text address =
        "socks5://" + pieces[2] + ":" + pieces[3] + "@" + pieces[0] + ":" + pieces[1] + "/";
    if (parts_.engine.SetGlobalProxy(address) != 0) {
        timer_->setInterval(500);
        RescanTarget(parts_.processes, parts_.state.targetProcessName, parts_.engine);
        cancelButton_->setEnabled(true);
        processName_->setEnabled(false);
        Box("设置成功，自动监控同名进程"_cp936, "提示"_cp936, MessageButtons::Ok, MessageIcon::None,
            true);
    } else {
        Box("设置上游代理失败"_cp936, "提示"_cp936, MessageButtons::Ok, MessageIcon::None, true);
        startButton_->setEnabled(true);
        cancelButton_->setEnabled(false);
    }
}

void MainWindow::OnCancelClicked() {
    parts_.engine.ProcessCancelAll();
    parts_.engine.CancelGlobalProxy();
    cancelButton_->setEnabled(false);
    startButton_->setEnabled(true);
    processName_->setEnabled(true);
}

void MainWindow::OnTimerTick() {
    RescanTarget(parts_.processes, parts_.state.targetProcessName, parts_.engine);
}

void MainWindow::OnPickStarted() {
    picker_->setPixmap(EmptyFrameIcon().ToPixmap());
    picker_->setCursor(TargetCursor());
    picker_->repaint();
    // Like SetCapture: the release comes to the box wherever the pointer is by then.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) picker_->grabMouse();
}

void MainWindow::OnPickFinished() {
    picker_->setPixmap(FinderIcon().ToPixmap());
    if (QWidget::mouseGrabber() == picker_) picker_->releaseMouse();
    const auto pid = parts_.picker.PidUnderPointer();
    processName_->setText(pid ? ToQString(ExeNameOfPid(parts_.processes, *pid)) : QString());
}

void MainWindow::SetCaption(const Text& caption) { setWindowTitle(ToQString(caption)); }

void MainWindow::Close() {
    closeRequested_ = true;
    // While the creation sequence runs, the caller closes the window once it has returned.
    if (!loading_) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::ProcessPendingMessages() { QCoreApplication::processEvents(); }

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!saved_) {
        saved_ = true;
        SaveEditBoxes(*this, SettingsFile(), Text());
    }
    event->accept();
}

}  // namespace varnelo
