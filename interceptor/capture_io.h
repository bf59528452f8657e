// Small file helpers for the capture: reading /proc and cgroup files, writing control files.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace varnelo::interceptor {

// The whole content of a (small, possibly pseudo) file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes `data` with one write(2) to an existing file (as cgroup control files want it).
// false + the reason (strerror text) when opening or writing fails.
bool WriteControlFile(const std::string& path, std::string_view data, std::string* error);

// The start time of a process since boot in clock ticks (field 22 of /proc/PID/stat); together
// with the pid it names one process for the lifetime of the system. nullopt when it is gone.
std::optional<unsigned long long> ProcessStartTime(pid_t pid);

// The parent pid (field 4 of /proc/PID/stat); nullopt when the process is gone.
std::optional<pid_t> ParentPid(pid_t pid);

// The thread group (process) a task id belongs to (the "Tgid:" line of /proc/ID/status); nullopt
// when it is gone.
std::optional<pid_t> ThreadGroupOf(pid_t task);

// "strerror(errno)" for the current errno, thread-safe.
std::string ErrnoText(int error);

}  // namespace varnelo::interceptor
