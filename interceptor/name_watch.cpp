#include "interceptor/name_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <vector>

#include "interceptor/capture_io.h"
#include "interceptor/cgroup2.h"

namespace varnelo::interceptor {

namespace {

// The scan is the whole watch where fanotify is missing, and only a safety net beside it: reading
// every process's executable link costs real time on a busy machine.
constexpr auto kScanInterval = std::chrono::milliseconds(500);
constexpr auto kSafetyScanInterval = std::chrono::seconds(5);

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string BaseName(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ReadLink(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// A file that was replaced while running shows " (deleted)" after its name.
std::string StripDeleted(std::string name) {
    static constexpr std::string_view kDeleted = " (deleted)";
    if (name.size() > kDeleted.size() && std::string_view(name).ends_with(kDeleted)) {
        name.resize(name.size() - kDeleted.size());
    }
    return name;
}

// Marks every mounted file system for exec permission events. Failures are ignored: pseudo file
// systems hold no programs, and the periodic scan covers what cannot be marked.
void MarkFileSystems(int fanotifyFd) {
    auto mountinfo = ReadWholeFile("/proc/self/mountinfo");
    if (!mountinfo) return;
    std::set<std::string> devices;
    size_t pos = 0;
    while (pos < mountinfo->size()) {
        size_t end = mountinfo->find('\n', pos);
        if (end == std::string::npos) end = mountinfo->size();
        std::string line = mountinfo->substr(pos, end - pos);
        pos = end + 1;
        // id parent major:minor root mountpoint ...
        std::vector<std::string> fields;
        size_t f = 0;
        while (fields.size() < 5 && f < line.size()) {
            size_t e = line.find(' ', f);
            if (e == std::string::npos) e = line.size();
            fields.push_back(line.substr(f, e - f));
            f = e + 1;
        }
        if (fields.size() < 5 || !devices.insert(fields[2]).second) continue;
        std::string path = fields[4];
        if (path.find('\\') != std::string::npos) continue;  // escaped names: left to the scan
        if (::fanotify_mark(fanotifyFd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN_EXEC_PERM,
                            AT_FDCWD, path.c_str()) != 0) {
            ::fanotify_mark(fanotifyFd, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_EXEC_PERM,
                            AT_FDCWD, path.c_str());
        }
    }
}

}  // namespace

bool SameExecutableName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::string ExecutableName(pid_t pid) {
    std::string target = ReadLink("/proc/" + std::to_string(pid) + "/exe");
    return target.empty() ? target : StripDeleted(BaseName(target));
}

std::vector<pid_t> FindProcessesByName(const std::set<std::string>& names) {
    std::vector<pid_t> found;
    if (names.empty()) return found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    pid_t self = ::getpid();
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        std::string name = ExecutableName(static_cast<pid_t>(pid));
        if (name.empty()) continue;
        for (const auto& wanted : names) {
            if (SameExecutableName(name, wanted)) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    ::closedir(proc);
    return found;
}

NameWatcher::NameWatcher(std::function<void(pid_t)> capture, bool useFanotify)
    : capture_(std::move(capture)), useFanotify_(useFanotify) {}

NameWatcher::~NameWatcher() {
    std::lock_guard lock(control_);
    StopLocked();
}

void NameWatcher::Add(const std::string& name) {
    if (name.empty()) return;
    std::lock_guard lock(control_);
    {
        std::lock_guard names(namesMutex_);
        names_.insert(name);
    }
    StartLocked();
    for (pid_t pid : FindProcessesByName({name})) capture_(pid);
}

void NameWatcher::Remove(const std::string& name) {
    std::lock_guard lock(control_);
    bool empty;
    {
        std::lock_guard names(namesMutex_);
        for (auto it = names_.begin(); it != names_.end();) {
            it = SameExecutableName(*it, name) ? names_.erase(it) : std::next(it);
        }
        empty = names_.empty();
    }
    if (empty) StopLocked();
}

void NameWatcher::Clear() {
    std::lock_guard lock(control_);
    {
        std::lock_guard names(namesMutex_);
        names_.clear();
    }
    StopLocked();
}

std::set<std::string> NameWatcher::Names() const {
    std::lock_guard names(namesMutex_);
    return names_;
}

bool NameWatcher::Matches(std::string_view executable) const {
    std::lock_guard names(namesMutex_);
    for (const auto& wanted : names_) {
        if (SameExecutableName(executable, wanted)) return true;
    }
    return false;
}

void NameWatcher::StartLocked() {
    if (thread_.joinable()) return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int fanotifyFd = useFanotify_ ? ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK,
                                                    O_RDONLY | O_LARGEFILE | O_CLOEXEC)
                                  : -1;
    if (fanotifyFd >= 0) MarkFileSystems(fanotifyFd);
    thread_ = std::thread([this, fanotifyFd, wake = wakeFd_] { Run(fanotifyFd, wake); });
}

void NameWatcher::StopLocked() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void NameWatcher::Run(int fanotifyFd, int wakeFd) {
    pid_t self = ::getpid();
    alignas(fanotify_event_metadata) char buffer[8192];
    using Clock = std::chrono::steady_clock;
    const Clock::duration interval = fanotifyFd >= 0 ? Clock::duration(kSafetyScanInterval)
                                                     : Clock::duration(kScanInterval);
    Clock::time_point nextScan = Clock::now() + interval;
    for (;;) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextScan - Clock::now());
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fanotifyFd, POLLIN, 0}};
        int ready = ::poll(fds, fanotifyFd >= 0 ? 2 : 1, std::max<int>(0, static_cast<int>(wait.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (fds[0].revents & POLLIN) break;
        if (Clock::now() >= nextScan) {
            for (pid_t pid : FindProcessesByName(Names())) capture_(pid);
            nextScan = Clock::now() + interval;
        }
        if (ready <= 0) continue;
        ssize_t length = ::read(fanotifyFd, buffer, sizeof buffer);
        if (length <= 0) continue;
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
            if (event->fd < 0) continue;  // queue overflow: the next scan catches up
            if ((event->mask & FAN_OPEN_EXEC_PERM) && event->pid != self &&
                Matches(BaseName(ReadLink("/proc/self/fd/" + std::to_string(event->fd))))) {
                capture_(event->pid);
            }
            // Always answer: the program start waits for it.
            fanotify_response response{event->fd, FAN_ALLOW};
            [[maybe_unused]] ssize_t n = ::write(fanotifyFd, &response, sizeof response);
            ::close(event->fd);
        }
    }
    // Closing the group lets every program start still held go on.
    if (fanotifyFd >= 0) ::close(fanotifyFd);
}

}  // namespace varnelo::interceptor
