#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "notice/self_update.h"

extern char** environ;

namespace varnelo {
namespace {

namespace fs = std::filesystem;

// One shell word, whatever the path holds.
std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(c);
        }
    }
    return quoted + "'";
}

std::string Octal(unsigned permissions) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04o", permissions & 07777u);
    return digits;
}

// A fresh file (never written through a link left at its name) holding `text`, mode 0700.
bool WriteNewFile(const std::string& path, const std::string& text) {
    std::error_code ignored;
    fs::remove(path, ignored);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
    if (fd < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    bool ok = ::close(fd) == 0 && written == text.size();
    if (!ok) fs::remove(path, ignored);
    return ok;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// The script outlives this process: its own session, no terminal, no inherited descriptors, and
// the default signal handling whatever this process blocks or ignores.
int SpawnDetached(const std::string& scriptPath) {
    SpawnSetup setup;
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string shell = "/bin/sh";
    char* argv[] = {shell.data(), const_cast<char*>(scriptPath.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, shell.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0) {
        return 0;
    }
    return static_cast<int>(pid);
}

}  // namespace

SelfUpdateTarget CurrentProgram() {
    SelfUpdateTarget target;
    std::error_code error;
    fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (!error) target.programPath = exe.string();
    target.processId = static_cast<int>(::getpid());
    return target;
}

std::string ReplacementScriptText(const SelfUpdateTarget& target, const std::string& downloadPath,
                                  const std::string& scriptPath, unsigned permissions) {
    std::string text =
        "#!/bin/sh\n"
        "# Puts the downloaded program in place once the running copy has ended.\n"
        "set -f\n"
        "pid=" + std::to_string(target.processId) + "\n"
        "new=" + ShellQuote(downloadPath) + "\n"
        "program=" + ShellQuote(target.programPath) + "\n"
        "script=" + ShellQuote(scriptPath) + "\n";
    text +=
        "# The start time of the process (field 22 of its stat line, counted past the command\n"
        "# name, which may hold blanks); fails once it has ended or is a zombie.\n"
        "started() {\n"
        "    line=$(cat \"/proc/$pid/stat\" 2>/dev/null) || return 1\n"
        "    set -- ${line##*) }\n"
        "    [ \"$1\" != Z ] || return 1\n"
        "    echo \"${20}\"\n"
        "}\n"
        "# Waits while the same process (not a later one with its id) runs.\n"
        "first=$(started)\n"
        "if [ -n \"$first\" ]; then\n"
        "    while now=$(started) && [ \"$now\" = \"$first\" ]; do\n"
        "        sleep 1\n"
        "    done\n"
        "fi\n"
        "# rename() in the program's own directory: the program file is never seen half written.\n"
        "if ! { chmod " + Octal(permissions) + " \"$new\" && mv -f \"$new\" \"$program\"; }; then\n"
        "    rm -f \"$new\"\n"
        "fi\n"
        "\"$program\" </dev/null >/dev/null 2>&1 &\n"
        "rm -f \"$script\"\n";
    return text;
}

int StartReplacementScript(const SelfUpdateTarget& target, const std::string& downloadPath) {
    std::error_code error;
    fs::path program(target.programPath);
    fs::file_status status = fs::status(program, error);
    if (error || target.programPath.empty()) return 0;
    std::string scriptPath = (program.parent_path() / "update.sh").string();
    unsigned permissions = static_cast<unsigned>(status.permissions()) & 07777u;
    if (!WriteNewFile(scriptPath,
                      ReplacementScriptText(target, downloadPath, scriptPath, permissions))) {
        return 0;
    }
    int pid = SpawnDetached(scriptPath);
    if (pid == 0) fs::remove(scriptPath, error);
    return pid;
}

}  // namespace varnelo
