// Capture of whole processes: the engine's own cgroup v2 and its nftables table, which together
// send every TCP connection that a process of the cgroup opens to the engine's listeners.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interceptor/cgroup2.h"
#include "interceptor/nft_rules.h"

namespace varnelo::interceptor {

// Who made a cgroup or table: the owner process (pid and start time, which tell a live owner from
// a dead one even when the pid is reused) and a sequence number within the owner.
struct EngineId {
    pid_t pid = 0;
    unsigned long long start = 0;
    unsigned sequence = 0;
    bool operator==(const EngineId&) const = default;
};

// "varnelo<sep><pid><sep><start><sep><sequence>": '-' for cgroups, '_' for nft tables.
std::string EngineName(const EngineId& id, char separator);
std::optional<EngineId> ParseEngineName(std::string_view name, char separator);

// True while the process that `id` names is still running.
bool OwnerAlive(const EngineId& id);

// Removes what engines that are no longer running left behind: their tables (in this network
// namespace), their cgroups (putting each process back where it came from, as far as the record
// in `stateDir` tells, else into the root cgroup) and their records. Answers how many cgroups
// and tables it removed.
int RemoveLeftovers(const Cgroup2& cgroups, Nftables& nft, const std::string& stateDir);

class Capture {
public:
    // `mark`: the engine's socket mark, whose connections the rules let pass. `stateDir` holds a
    // record of where each captured process came from, for the recovery after a crash.
    explicit Capture(uint32_t mark, std::string stateDir = "/run");
    ~Capture();  // Close()
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Removes leftovers of dead engines, creates the cgroup and loads the rules redirecting to
    // `port` (0: captured TCP is dropped until a port is set). false + the reason (no cgroup2,
    // no rights, no nftables support...), leaving nothing behind. Opening an open capture
    // answers true.
    bool Open(uint16_t port, std::string* error);
    bool IsOpen() const;

    // Reloads the rules for another port / for capturing every process. false + reason.
    bool SetPort(uint16_t port, std::string* error);
    bool SetCaptureAll(bool all, std::string* error);

    // Moves the process into the capture. Cheap when it is already there (one read of
    // /proc/PID/cgroup). The engine's own process is never captured, not even by the id of one of
    // its threads. false when the capture is closed, or the process is gone or cannot be moved.
    bool AddPid(pid_t pid);
    // Moves a captured process (or a captured child of one) back where it came from.
    bool RemovePid(pid_t pid);
    // Every process of the cgroup back where it came from.
    void CancelAll();
    // CancelAll, then removes the table, the cgroup and the record. Harmless when closed.
    void Close();

    // For tests and diagnostics.
    std::string CgroupPath() const;  // "/varnelo-..." (empty when closed)
    std::string TableName() const;
    std::vector<pid_t> CapturedProcesses() const;

private:
    bool LoadRulesLocked(std::string* error);
    std::string OriginOfLocked(pid_t pid) const;
    void RecordOriginLocked(pid_t pid, const std::string& origin);
    void CancelAllLocked();
    std::string StateFile() const;

    const uint32_t mark_;
    const std::string stateDir_;
    const pid_t self_;
    mutable std::mutex mutex_;
    std::optional<Cgroup2> cgroups_;
    Nftables nft_;
    EngineId id_;
    std::string path_;  // empty while closed
    uint16_t port_ = 0;
    bool all_ = false;
    std::map<pid_t, std::string> origins_;
};

}  // namespace varnelo::interceptor
