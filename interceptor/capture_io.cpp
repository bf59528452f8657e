#include "interceptor/capture_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace varnelo::interceptor {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The fields after the command name of /proc/PID/stat: the name is in parentheses and may hold
// blanks and parentheses itself, so the fields start after the last ')'.
std::optional<std::string> StatFieldsAfterName(pid_t pid) {
    auto stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    return stat->substr(close + 1);
}

// Field `index` (1-based, as in proc(5)) of /proc/PID/stat; fields 1 and 2 are the pid and name.
std::optional<std::string> StatField(pid_t pid, int index) {
    auto rest = StatFieldsAfterName(pid);
    if (!rest) return std::nullopt;
    int field = 2;
    size_t pos = 0;
    while (pos < rest->size()) {
        while (pos < rest->size() && (*rest)[pos] == ' ') ++pos;
        size_t end = rest->find(' ', pos);
        if (end == std::string::npos) end = rest->size();
        if (++field == index) return rest->substr(pos, end - pos);
        pos = end;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

bool WriteControlFile(const std::string& path, std::string_view data, std::string* error) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (error) *error = path + ": " + ErrnoText(errno);
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd.get(), data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(data.size())) {
        if (error) *error = path + ": " + (n < 0 ? ErrnoText(errno) : "short write");
        return false;
    }
    return true;
}

std::optional<unsigned long long> ProcessStartTime(pid_t pid) {
    auto field = StatField(pid, 22);
    if (!field) return std::nullopt;
    return std::strtoull(field->c_str(), nullptr, 10);
}

std::optional<pid_t> ParentPid(pid_t pid) {
    auto field = StatField(pid, 4);
    if (!field) return std::nullopt;
    return static_cast<pid_t>(std::strtol(field->c_str(), nullptr, 10));
}

std::optional<pid_t> ThreadGroupOf(pid_t task) {
    auto status = ReadWholeFile("/proc/" + std::to_string(task) + "/status");
    if (!status) return std::nullopt;
    size_t line = status->find("\nTgid:");
    if (line == std::string::npos) return std::nullopt;
    return static_cast<pid_t>(std::strtol(status->c_str() + line + 6, nullptr, 10));
}

std::string ErrnoText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace varnelo::interceptor
