// The main window 窗口: two edit boxes (process name, proxy entry), the start and cancel buttons,
// the picking box, and the re-scan timer 时钟2. Its handlers run the creation sequence (restore
// the input, the version gate, starting the engine), the start and cancel sequences, window
// picking, and save the input when the window closes. Every collaborator comes in through
// MainWindowParts, so tests run the real window against stand-ins.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "app/program_state.h"
#include "engine/connection_ops.h"
#include "engine/proxy_engine.h"
#include "notice/update_window.h"
#include "platform/message_box.h"
#include "platform/process_table.h"
#include "platform/window_picker.h"

namespace varnelo {

struct MainWindowParts {
    ProxyEngine& engine;
    ConnectionOps& connection;
    MessageBoxes& boxes;
    ProcessTable& processes;
    WindowPicker& picker;
    ProgramState& state;
    Text runDirectory;  // the program's folder, without a trailing "/"
    // Fills the notice record (blocks while it reads the remote notice).
    std::function<void(NoticeRecord&)> readNotice;
    // Runs the self-update from the address; true when it told the window to close.
    std::function<bool(const Text& updateAddress, UpdateWindow& window)> runSelfUpdate;
    // The port the engine listens on.
    std::function<int()> choosePort;
    // Shows the fatal box and ends the program; does not return in the program (tests record).
    std::function<void(const MessageBoxRequest&)> fatalExit;
};

class PickerBox;

class MainWindow final : public QWidget, public UpdateWindow {
public:
    // Builds the window and its controls (form positions, sizes, texts and fonts) and starts
    // 时钟2 at 100 ms. Nothing else happens before Load().
    explicit MainWindow(MainWindowParts parts);
    ~MainWindow() override;

    // The creation sequence. Afterwards, CloseRequested() tells whether the window asked to be
    // closed (notice not read, update declined, or the update replaced the program); the caller
    // then closes it (which saves the input) instead of showing it.
    void Load();
    bool CloseRequested() const { return closeRequested_; }

    // UpdateWindow
    void SetCaption(const Text& caption) override;
    void Close() override;
    void ProcessPendingMessages() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    friend class PickerBox;
    void BuildControls();
    bool RunVersionGate();
    void StartEngine();
    void OnStartClicked();
    void OnCancelClicked();
    void OnTimerTick();
    void OnPickStarted();
    void OnPickFinished();
    MessageAnswer Box(const Text& text, const Text& caption, MessageButtons buttons,
                      MessageIcon icon, bool owned);
    Text SettingsFile() const;

    MainWindowParts parts_;
    QTimer* timer_ = nullptr;           // 时钟2
    PickerBox* picker_ = nullptr;       // 图片框1
    QLabel* label_ = nullptr;           // 标签1
    QPushButton* cancelButton_ = nullptr;  // 按钮3
    QLineEdit* processName_ = nullptr;  // 编辑框_进程名
    QPushButton* startButton_ = nullptr;   // 按钮1
    QLineEdit* proxyEntry_ = nullptr;   // 编辑框1
    bool loading_ = false;
    bool closeRequested_ = false;
    bool saved_ = false;
};

}  // namespace varnelo
