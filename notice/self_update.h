// Self-update: downloads the new program file beside the running program, checks it, and leaves
// the replacement to a small shell script (update.sh in the run directory) that waits for this
// process to end, puts the new file in place of the program's own executable, starts it and
// deletes itself. A download that is not a complete executable for this machine never replaces
// the program: the user is told and start-up goes on.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "notice/update_window.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace varnelo {

// The program that an update replaces.
struct SelfUpdateTarget {
    std::string programPath;  // file-system path of the executable file to replace
    int processId = 0;        // the process whose end the script waits for
};

// This process: the file behind /proc/self/exe and its process id. programPath is empty when the
// link cannot be read.
SelfUpdateTarget CurrentProgram();

struct SelfUpdateOptions {
    SelfUpdateTarget target = CurrentProgram();
    // PEM file of certificate authorities trusted for the download in place of the system's
    // store; empty: the system's store (tests only).
    std::string authorityFile;
    std::chrono::milliseconds closeDelay{300};  // the wait between starting the script and closing
    // Told the process id of the started script (tests wait for it and reap it).
    std::function<void(int)> scriptStarted;
};

// Sets the caption "正在更新...", downloads `updateAddress` into temp_new.exe in the program's
// directory and, when the download is a complete executable for this machine, sets the caption
// "更新完毕", tells the user "更新包下载完成，即将自动重启！", starts update.sh, waits 300 ms and
// closes the window. Returns true when the window was told to close. On any failure the user is
// told in a message box, temp_new.exe is removed, the program stays as it is and false returns.
bool RunSelfUpdate(const Text& updateAddress, UpdateWindow& window, MessageBoxes& boxes,
                   const SelfUpdateOptions& options = {});

// Why a download was refused; Complete when it may replace the program.
enum class DownloadVerdict {
    Complete,
    CannotOpen,      // no address, a scheme other than http/https, no connection, bad certificate
    HttpError,       // a status other than 2xx
    Incomplete,      // cut off, a read failed, or fewer/more bytes than announced
    Empty,           // no bytes at all
    NotExecutable,   // not an ELF executable of this machine's architecture
    CannotWrite,     // the download file could not be written
};

struct DownloadResult {
    DownloadVerdict verdict = DownloadVerdict::CannotOpen;
    long httpStatus = 0;
    long long bytes = 0;
};

// Downloads `address` (code page 936) into the file `path`, created or emptied first, in reads of
// at most 10240 bytes, processing the window's pending messages as it goes. Checks the result but
// shows nothing; the file is removed unless the verdict is Complete.
DownloadResult DownloadToFile(const Text& address, const std::string& path, UpdateWindow& window,
                              const std::string& authorityFile = {});

// True when the file at `path` is an ELF executable (or position-independent executable) for the
// architecture this program was built for.
bool IsExecutableForThisMachine(const std::string& path);

// The shell script that waits for `target.processId` to end, replaces `target.programPath` with
// `downloadPath` atomically (rename in the same directory, the program's permission bits kept),
// starts the new program and deletes `scriptPath`.
std::string ReplacementScriptText(const SelfUpdateTarget& target, const std::string& downloadPath,
                                  const std::string& scriptPath, unsigned permissions);

// Writes update.sh beside the program and starts it with /bin/sh in a session of its own, its
// standard streams on /dev/null, without waiting. Returns the script's process id, or 0 when the
// script cannot be written or started (the script file is then removed).
int StartReplacementScript(const SelfUpdateTarget& target, const std::string& downloadPath);

}  // namespace varnelo
