// A process table kept up to date from the kernel's process events (the netlink connector's
// process channel, which needs CAP_NET_ADMIN): one /proc scan when made, then on every Snapshot
// the events that came since are applied, so a re-scan costs a few system calls instead of one
// readlink per process.
#pragma once

#include "platform/process_table.h"
#include "platform/process_table_linux.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace varnelo {

// Opens a netlink connector socket subscribed to the process events (non-blocking) and waits
// (up to half a second) for the kernel to confirm the subscription. -1 when the socket cannot be
// opened, the subscription is refused (no CAP_NET_ADMIN) or never confirmed (no kernel support).
int OpenProcessEventSocket();

class EventProcessTable final : public ProcessTable {
public:
    // Subscribes through `openEvents` first, then scans /proc once. Nothing when `openEvents`
    // gives -1 or /proc cannot be opened.
    static std::unique_ptr<EventProcessTable> Open(EventSocketOpener openEvents);
    ~EventProcessTable() override;
    EventProcessTable(const EventProcessTable&) = delete;
    EventProcessTable& operator=(const EventProcessTable&) = delete;

    // Every process, in pid order. After lost events (a full socket buffer) or a socket error the
    // table is built again from /proc (resubscribing after an error); when no socket can be had
    // any more, every call lists /proc.
    std::vector<ProcessEntry> Snapshot() override;
    // A direct read of /proc, like the scanning table.
    std::optional<Utf16> ExeNameOf(std::uint32_t pid) override;

    // Test hook: throws away the events waiting on the socket and marks them lost, as the kernel
    // does when the socket's buffer overflows.
    void LoseEventsForTest();

private:
    EventProcessTable(EventSocketOpener openEvents, int socketFd, int procFd);
    // Applies what waits on the socket; false when events were lost or the socket failed.
    bool DrainEvents();
    void ApplyEvent(const void* event, std::size_t size);
    void Rescan();
    void SetName(std::uint32_t pid);

    EventSocketOpener openEvents_;
    int socket_ = -1;
    int procFd_ = -1;
    bool lost_ = false;
    std::map<std::uint32_t, ProcessName> processes_;
};

}  // namespace varnelo
