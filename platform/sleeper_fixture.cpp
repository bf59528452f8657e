#include "platform/sleeper_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

extern char** environ;

namespace varnelo {

namespace fs = std::filesystem;

Sleepers::Sleepers() {
    char pattern[] = "/tmp/sleepers_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    dir_ = made ? made : "/tmp";
}

Sleepers::~Sleepers() {
    for (pid_t pid : pids_) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    if (dir_ != "/tmp") fs::remove_all(dir_, ignored);
}

pid_t Sleepers::Start(const std::string& fileName) {
    const std::string path = PathOf(fileName);
    std::error_code error;
    if (!fs::exists(path)) fs::copy_file("/bin/sleep", path, error);
    if (error) return -1;
    fs::permissions(path, fs::perms::owner_all, error);
    std::string arg0 = path, arg1 = "600";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    pids_.push_back(pid);
    return pid;
}

void Sleepers::Stop(pid_t pid) {
    auto it = std::find(pids_.begin(), pids_.end(), pid);
    if (it == pids_.end()) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pids_.erase(it);
}

}  // namespace varnelo
