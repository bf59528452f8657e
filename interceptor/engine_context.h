// One engine context: the relay (listeners and connections), the capture (cgroup and nftables
// table), the capture by name and the settings, as the exported functions act on them. Every
// operation is thread-safe; failures are results, with the reason kept for Error().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "interceptor/capture.h"
#include "interceptor/name_watch.h"
#include "interceptor/proxy_url.h"
#include "interceptor/relay.h"

namespace varnelo::interceptor {

class EngineContext {
public:
    // `stateDir`: where the capture keeps its crash-recovery record.
    explicit EngineContext(std::string stateDir = "/run");
    ~EngineContext();  // Close()
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    // 1..65535; 0 leaves the choice to Start (a free port). false for other values. Takes effect
    // at the next Start; an open capture follows at once.
    bool SetPort(int port);
    uint16_t Port() const;  // the listeners' port while running, else the port set
    // Listens on 127.0.0.1 and ::1. true when running (also when it already was); false + Error().
    bool Start();
    // Listeners, connections, capture and name watch all gone, every process put back.
    void Close();

    // "" clears the upstream (captured connections go direct through the engine); a malformed
    // address answers false and keeps the old setting.
    bool SetGlobalProxy(const std::string& url);
    std::optional<Upstream> CurrentUpstream() const;

    // Prepares the capture (after removing what crashed engines left). false + Error().
    bool OpenDrive();
    void UnDrive();  // the capture and the name watch closed, every process put back
    bool DriveOpen() const;

    void AddPid(pid_t pid);
    void DelPid(pid_t pid);
    void CancelAll();  // every captured process back, names forgotten, capture of all ended
    // Names are code-page-936 executable names; processes of that name are captured from now on.
    void AddName(const std::string& cp936Name);
    void DelName(const std::string& cp936Name);
    // Captures every process's connections (the engine's own marked sockets excepted) while on.
    void CaptureAll(bool on);

    std::string Error() const;  // the reason of the last failure ("" when none)
    size_t ConnectionCount() const;
    Capture& CaptureForTests() { return capture_; }

private:
    void Fail(std::string reason);

    mutable std::mutex mutex_;
    uint16_t port_ = 0;
    std::unique_ptr<Relay> relay_;
    std::optional<Upstream> upstream_;
    std::string error_;
    Capture capture_;
    NameWatcher names_;
};

// The process-wide DNS setting of SetDnsServer (kept; names are not yet resolved through it).
void SetDnsServerSetting(std::string server);
std::string DnsServerSetting();

}  // namespace varnelo::interceptor
