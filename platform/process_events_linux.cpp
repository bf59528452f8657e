#include "platform/process_events_linux.h"

#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace varnelo {
namespace {

// Events arrive in bursts (a build starting hundreds of processes): a large buffer makes a loss,
// and with it a full rescan, rare. Only root may go beyond the system's default limit.
constexpr int kReceiveBuffer = 4 << 20;
constexpr auto kSubscribeWait = std::chrono::milliseconds(500);

struct Datagram {
    alignas(nlmsghdr) char bytes[8192];
    ssize_t size = 0;
};

// One datagram from the kernel (port 0); -1 with errno on failure. Datagrams from any other
// sender are dropped: only the kernel speaks for the processes.
ssize_t ReceiveFromKernel(int fd, Datagram& d) {
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromSize = sizeof from;
        d.size = ::recvfrom(fd, d.bytes, sizeof d.bytes, MSG_DONTWAIT,
                            reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (d.size < 0 && errno == EINTR) continue;
        if (d.size >= 0 && from.nl_pid != 0) continue;
        return d.size;
    }
}

// Calls `f(event, size)` for every process event in the datagram.
template <typename F>
void ForEachEvent(const Datagram& d, F&& f) {
    int remaining = static_cast<int>(d.size);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(d.bytes); NLMSG_OK(h, remaining);
         h = NLMSG_NEXT(h, remaining)) {
        if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_NOOP) continue;
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg))) continue;
        auto* msg = static_cast<const cn_msg*>(NLMSG_DATA(h));
        if (msg->id.idx != CN_IDX_PROC || msg->id.val != CN_VAL_PROC) continue;
        if (msg->len > h->nlmsg_len - NLMSG_LENGTH(sizeof(cn_msg))) continue;
        f(msg, static_cast<const void*>(msg->data), static_cast<std::size_t>(msg->len));
    }
}

// Waits for the kernel's answer to our subscription; true when it accepted it.
bool WaitForSubscriptionAnswer(int fd, std::uint32_t token) {
    const auto deadline = std::chrono::steady_clock::now() + kSubscribeWait;
    Datagram d;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        if (ReceiveFromKernel(fd, d) < 0) {
            if (errno == EAGAIN || errno == ENOBUFS) continue;
            return false;
        }
        int answer = -1;
        ForEachEvent(d, [&](const cn_msg* msg, const void* data, std::size_t size) {
            if (msg->ack != token + 1 || size < sizeof(proc_event)) return;
            proc_event event;  // the payload sits at an offset unfit for its 8-byte fields
            std::memcpy(&event, data, sizeof event);
            if (event.what == proc_event::PROC_EVENT_NONE) answer = static_cast<int>(event.event_data.ack.err);
        });
        if (answer >= 0) return answer == 0;
    }
}

bool Subscribe(int fd, std::uint32_t token) {
    const std::uint32_t operation = PROC_CN_MCAST_LISTEN;
    alignas(nlmsghdr) char m[NLMSG_LENGTH(sizeof(cn_msg) + sizeof operation)] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(m);
    header->nlmsg_len = sizeof m;
    header->nlmsg_type = NLMSG_DONE;
    auto* connector = static_cast<cn_msg*>(NLMSG_DATA(header));
    connector->id.idx = CN_IDX_PROC;
    connector->id.val = CN_VAL_PROC;
    // The kernel numbers its messages itself; its answer carries our acknowledgement number plus one.
    connector->ack = token;
    connector->len = sizeof operation;
    std::memcpy(connector + 1, &operation, sizeof operation);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, m, sizeof m, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof m) && WaitForSubscriptionAnswer(fd, token);
}

}  // namespace

int OpenProcessEventSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd < 0) return -1;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = CN_IDX_PROC;
    // Several tables may listen at once: every subscription carries its own number, so that each
    // recognises the kernel's answer to its own.
    static std::atomic<std::uint32_t> counter{0};
    const std::uint32_t token = ((static_cast<std::uint32_t>(::getpid()) << 12) ^ ++counter) & 0x7FFFFFFEu;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || !Subscribe(fd, token)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<EventProcessTable> EventProcessTable::Open(EventSocketOpener openEvents) {
    // Subscribe before scanning: a process started during the scan is then either in the scan or
    // in the events (or both, which is harmless).
    int socketFd = openEvents();
    if (socketFd < 0) return nullptr;
    int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) {
        ::close(socketFd);
        return nullptr;
    }
    std::unique_ptr<EventProcessTable> table(new EventProcessTable(std::move(openEvents), socketFd, procFd));
    table->Rescan();
    return table;
}

EventProcessTable::EventProcessTable(EventSocketOpener openEvents, int socketFd, int procFd)
    : openEvents_(std::move(openEvents)), socket_(socketFd), procFd_(procFd) {}

EventProcessTable::~EventProcessTable() {
    if (socket_ >= 0) ::close(socket_);
    ::close(procFd_);
}

std::vector<ProcessEntry> EventProcessTable::Snapshot() {
    if (!DrainEvents()) {
        if (socket_ < 0) socket_ = openEvents_();
        Rescan();
    }
    std::vector<ProcessEntry> entries;
    entries.reserve(processes_.size());
    for (const auto& [pid, name] : processes_) entries.push_back(ProcessEntry{pid, name.name});
    return entries;
}

std::optional<Utf16> EventProcessTable::ExeNameOf(std::uint32_t pid) {
    auto name = ReadProcessName(procFd_, pid);
    if (!name) return std::nullopt;
    return std::move(name->name);
}

void EventProcessTable::LoseEventsForTest() {
    Datagram d;
    while (ReceiveFromKernel(socket_, d) >= 0) {
    }
    lost_ = true;
}

bool EventProcessTable::DrainEvents() {
    if (socket_ < 0) return false;
    Datagram d;
    for (;;) {
        if (ReceiveFromKernel(socket_, d) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno != ENOBUFS) {
                // Not a loss but a broken socket: take a new one.
                ::close(socket_);
                socket_ = -1;
            }
            lost_ = true;
            // The rescan covers whatever waits behind the loss; keep draining to start clean.
            if (socket_ < 0) break;
            continue;
        }
        if (lost_) continue;
        ForEachEvent(d, [&](const cn_msg*, const void* data, std::size_t size) { ApplyEvent(data, size); });
    }
    const bool intact = !lost_;
    lost_ = false;
    return intact;
}

void EventProcessTable::ApplyEvent(const void* data, std::size_t size) {
    if (size < sizeof(proc_event)) return;
    proc_event event;
    std::memcpy(&event, data, sizeof event);
    switch (event.what) {
    case proc_event::PROC_EVENT_FORK: {
        const auto& fork = event.event_data.fork;
        if (fork.child_pid != fork.child_tgid) return;  // a new thread, not a new process
        // Read rather than copied from the parent: by the time the event is applied the child may
        // have exec'd already while its exec event is still on its way (the kernel switches the
        // executable, and lets a vfork parent go on, before it reports the exec).
        SetName(static_cast<std::uint32_t>(fork.child_tgid));
        return;
    }
    case proc_event::PROC_EVENT_EXEC:
        SetName(static_cast<std::uint32_t>(event.event_data.exec.process_tgid));
        return;
    case proc_event::PROC_EVENT_COMM: {
        // Only names taken from the short command name follow it.
        const auto& comm = event.event_data.comm;
        if (comm.process_pid != comm.process_tgid) return;
        auto it = processes_.find(static_cast<std::uint32_t>(comm.process_tgid));
        if (it != processes_.end() && !it->second.fromExecutable) SetName(it->first);
        return;
    }
    case proc_event::PROC_EVENT_EXIT: {
        const auto& exit = event.event_data.exit;
        if (exit.process_pid == exit.process_tgid) processes_.erase(static_cast<std::uint32_t>(exit.process_tgid));
        return;
    }
    default:
        return;
    }
}

void EventProcessTable::SetName(std::uint32_t pid) {
    // A process that ended before we looked drops out; its exit event may still be on its way.
    if (auto name = ReadProcessName(procFd_, pid)) {
        processes_[pid] = std::move(*name);
    } else {
        processes_.erase(pid);
    }
}

void EventProcessTable::Rescan() {
    processes_.clear();
    for (auto& [pid, name] : ScanProcesses(procFd_)) processes_.emplace(pid, std::move(name));
}

}  // namespace varnelo
