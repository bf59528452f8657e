#include "platform/process_table.h"

#include "platform/process_table_linux.h"
#include "platform/process_events_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace varnelo {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::string BaseName(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Reads a small /proc file (a path relative to /proc); empty on failure.
std::string ReadSmallFile(int procFd, const char* name) {
    int fd = ::openat(procFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    char buffer[4096];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The base name of the executable; empty when it cannot be read. `noExecutable` tells that the
// process has none (a kernel thread, a zombie) rather than that we may not look.
std::string ExeNameFromLink(int procFd, const std::string& pidName, bool& noExecutable) {
    char buffer[4096];
    const std::string link = pidName + "/exe";
    ssize_t n = ::readlinkat(procFd, link.c_str(), buffer, sizeof buffer);
    noExecutable = n < 0 && errno == ENOENT;
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::string();
    std::string_view target(buffer, static_cast<std::size_t>(n));
    // A replaced or removed executable shows as "<path> (deleted)"; the name is still the path's.
    if (target.size() > kDeletedSuffix.size() && target.ends_with(kDeletedSuffix)) {
        target.remove_suffix(kDeletedSuffix.size());
    }
    return BaseName(target);
}

std::string FirstWordOfCommandLine(int procFd, const std::string& pidName) {
    std::string cmdline = ReadSmallFile(procFd, (pidName + "/cmdline").c_str());
    std::string first = cmdline.substr(0, cmdline.find('\0'));
    return BaseName(first.substr(0, first.find(' ')));
}

std::string ShortCommandName(int procFd, const std::string& pidName) {
    std::string name = ReadSmallFile(procFd, (pidName + "/comm").c_str());
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

}  // namespace

std::optional<ProcessName> ReadProcessName(int procFd, std::uint32_t pid) {
    const std::string pidName = std::to_string(pid);
    bool noExecutable = false;
    ProcessName result;
    std::string name = ExeNameFromLink(procFd, pidName, noExecutable);
    result.fromExecutable = !name.empty();
    // Processes without an executable have an empty command line too: go to the short name.
    if (name.empty() && !noExecutable) name = FirstWordOfCommandLine(procFd, pidName);
    if (name.empty()) name = ShortCommandName(procFd, pidName);
    if (name.empty()) return std::nullopt;  // the process ended while we looked
    result.name = Utf8ToUtf16(name);
    return result;
}

namespace {

bool ParsePid(const char* s, std::uint32_t& pid) {
    if (*s == '\0') return false;
    std::uint64_t value = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(*s - '0');
        if (value > 0xFFFFFFFFu) return false;
    }
    pid = static_cast<std::uint32_t>(value);
    return true;
}

class ProcProcessTable final : public ProcessTable {
public:
    std::vector<ProcessEntry> Snapshot() override {
        std::vector<ProcessEntry> entries;
        int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (procFd < 0) return entries;
        for (auto& [pid, name] : ScanProcesses(procFd)) {
            entries.push_back(ProcessEntry{pid, std::move(name.name)});
        }
        ::close(procFd);
        return entries;
    }

    std::optional<Utf16> ExeNameOf(std::uint32_t pid) override {
        int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (procFd < 0) return std::nullopt;
        auto name = ReadProcessName(procFd, pid);
        ::close(procFd);
        if (!name) return std::nullopt;
        return std::move(name->name);
    }
};

}  // namespace

std::vector<std::pair<std::uint32_t, ProcessName>> ScanProcesses(int procFd) {
    std::vector<std::pair<std::uint32_t, ProcessName>> processes;
    // The listing gets its own descriptor: readdir moves the position of the one it is given.
    int listFd = ::openat(procFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return processes;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return processes;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::uint32_t pid;
        if (!ParsePid(entry->d_name, pid)) continue;
        if (auto name = ReadProcessName(procFd, pid)) processes.emplace_back(pid, std::move(*name));
    }
    ::closedir(dir);
    return processes;
}

std::unique_ptr<ProcessTable> MakeScanningProcessTable() {
    return std::make_unique<ProcProcessTable>();
}

std::unique_ptr<ProcessTable> MakeSystemProcessTableWith(const EventSocketOpener& openEvents) {
    if (auto table = EventProcessTable::Open(openEvents)) return table;
    return MakeScanningProcessTable();
}

std::unique_ptr<ProcessTable> MakeSystemProcessTable() {
    return MakeSystemProcessTableWith(OpenProcessEventSocket);
}

}  // namespace varnelo
