// The engine's view of the cgroup v2 hierarchy: where it is mounted, which cgroup a process is in,
// and moving whole processes between cgroups.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnelo::interceptor {

// The mount point of the first cgroup2 file system in a /proc/PID/mountinfo text (octal escapes
// such as \040 decoded). nullopt when there is none.
std::optional<std::string> FindCgroup2Mount(std::string_view mountinfo);

// The path that leads from the absolute directory `base` to the absolute path `target`, with
// "../" steps where `target` lies outside `base` ("" when they are the same).
std::string RelativePath(std::string_view base, std::string_view target);

// The cgroup v2 path ("/a/b", "/" for the root) from a /proc/PID/cgroup text: the line that starts
// with "0::". nullopt when there is no such line.
std::optional<std::string> ParseCgroup2Path(std::string_view procCgroup);

// File-system operations on one cgroup2 mount. Paths are cgroup paths ("/name"), as
// /proc/PID/cgroup shows them. Every operation reports failure by its result; `error` (optional)
// receives the reason.
class Cgroup2 {
public:
    explicit Cgroup2(std::string mountPoint) : mount_(std::move(mountPoint)) {}

    // The cgroup2 mount of the calling process; nullopt (and the reason) when there is none.
    static std::optional<Cgroup2> Discover(std::string* error);

    const std::string& Mount() const { return mount_; }
    std::string Directory(std::string_view cgroupPath) const;

    // mkdir; an existing directory is an error (a stale rule could still point at it).
    bool Create(std::string_view cgroupPath, std::string* error) const;
    bool Remove(std::string_view cgroupPath, std::string* error) const;  // rmdir
    bool Exists(std::string_view cgroupPath) const;

    // The cgroup v2 path of a process; nullopt when the process is gone.
    static std::optional<std::string> CgroupOf(pid_t pid);

    // Moves the whole process (all its threads). Fails when the process is gone or the cgroup is
    // missing or not writable.
    bool Move(pid_t pid, std::string_view cgroupPath, std::string* error) const;

    // The processes in the cgroup itself (not its descendants); empty when it cannot be read.
    std::vector<pid_t> Processes(std::string_view cgroupPath) const;

    // The names of the cgroups directly below the root.
    std::vector<std::string> TopLevelNames() const;

    // The nearest cgroup that still exists on the way from `cgroupPath` up to the root.
    std::string NearestExisting(std::string cgroupPath) const;

private:
    std::string mount_;
};

}  // namespace varnelo::interceptor
