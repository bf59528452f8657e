// Capture by executable name: every process whose executable file has one of the watched names
// is handed to a capture routine, the ones already running when a name is added and the ones
// that start later.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>
#include <thread>

namespace varnelo::interceptor {

// Compares executable names the way the program does: letter case of A-Z ignored, other bytes
// exact.
bool SameExecutableName(std::string_view a, std::string_view b);

// The base name of /proc/PID/exe; empty when the process is gone or has no executable (kernel
// threads).
std::string ExecutableName(pid_t pid);

// Every running process (except the calling one) whose executable name is in `names`.
std::vector<pid_t> FindProcessesByName(const std::set<std::string>& names);

// Watches program starts with fanotify's exec permission events: the starting process is held
// until it has been handed to the capture routine, so that even a program that connects at once
// is captured from its first connection. Where fanotify is not available, and as a safety net for
// file systems that appear later, the running processes are scanned: twice a second without
// fanotify, every five seconds beside it. Names are UTF-8 file names.
class NameWatcher {
public:
    // `useFanotify` false: the scan alone (for tests of the fallback).
    explicit NameWatcher(std::function<void(pid_t)> capture, bool useFanotify = true);
    ~NameWatcher();  // stops the watch; every held program start is released first
    NameWatcher(const NameWatcher&) = delete;
    NameWatcher& operator=(const NameWatcher&) = delete;

    // Adds a name and captures the running processes of that name at once.
    void Add(const std::string& name);
    void Remove(const std::string& name);
    void Clear();
    std::set<std::string> Names() const;

private:
    void StartLocked();
    void StopLocked();
    void Run(int fanotifyFd, int wakeFd);
    bool Matches(std::string_view executable) const;

    std::function<void(pid_t)> capture_;
    const bool useFanotify_;
    std::mutex control_;              // the watch thread's start and stop
    mutable std::mutex namesMutex_;   // names_, read by the watch thread
    std::set<std::string> names_;
    std::thread thread_;
    int wakeFd_ = -1;
};

}  // namespace varnelo::interceptor
