#include "interceptor/relay_connection.h"

#include <cerrno>
#include <cstring>
#include <tuple>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interceptor/socket_util.h"

namespace varnelo::interceptor {
namespace {

constexpr size_t kPipeSize = 256 * 1024;  // the pipe of a flow that carries bulk data
constexpr size_t kScratchSize = 16 * 1024;  // reads of this size mean bulk data
// Rounds one event may pump before other connections get their turn.
constexpr int kRoundsPerTurn = 16;
constexpr uint32_t kSocketEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace

void RelayConnection::Side::OnEvents(uint32_t events) {
    if (upstream) {
        connection->OnUpstreamEvents(events);
    } else {
        connection->OnClientEvents(events);
    }
}

RelayConnection::RelayConnection(RelayOwner* owner, UniqueFd client, Limits limits)
    : owner_(owner), limits_(limits), client_(std::move(client)) {
    clientSide_.connection = this;
    upstreamSide_.connection = this;
    upstreamSide_.upstream = true;
}

RelayConnection::~RelayConnection() { Abandon(); }

// The sockets leave epoll explicitly before they close: a child forked by the host program may
// still hold them until its exec, and epoll would go on reporting them for a freed connection.
void RelayConnection::Unwatch() {
    if (Armed()) owner_->Loop().Disarm(this);
    if (client_.Valid()) owner_->Loop().Remove(client_.Get());
    if (upstream_.Valid()) owner_->Loop().Remove(upstream_.Get());
}

void RelayConnection::Abandon() {
    Unwatch();
    CloseWithReset(client_);
    CloseWithReset(upstream_);
    state_ = State::kClosed;
}

void RelayConnection::Begin(const sockaddr* destination, socklen_t length,
                            std::shared_ptr<const RelayRoute> route) {
    route_ = std::move(route);
    const sockaddr* way = destination;
    socklen_t wayLength = length;
    if (route_->viaProxy) {
        // Fail closed: with a proxy set, a connection that cannot reach it never goes direct.
        if (!route_->proxyResolved) return Close(true);
        target_ = Socks5Target::FromAddress(destination);
        way = reinterpret_cast<const sockaddr*>(&route_->proxy);
        wayLength = route_->proxyLength;
    }
    upstream_ = StartConnect(way, wayLength, limits_.mark);
    if (!upstream_.Valid()) return Close(true);
    if (!owner_->Loop().Add(client_.Get(), kSocketEvents, &clientSide_) ||
        !owner_->Loop().Add(upstream_.Get(), kSocketEvents, &upstreamSide_)) {
        return Close(true);
    }
    owner_->Loop().Arm(this, limits_.connectMs);
}

void RelayConnection::OnClientEvents(uint32_t events) {
    if (state_ == State::kClosed) return;
    if (state_ == State::kRelaying) {
        return PumpFlows(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR),
                         events & (EPOLLOUT | EPOLLHUP | EPOLLERR));
    }
    // The client gave up before the way out was ready. A half-close is fine: its data waits.
    if (events & (EPOLLERR | EPOLLHUP)) Close(true);
}

void RelayConnection::OnUpstreamEvents(uint32_t events) {
    switch (state_) {
        case State::kConnecting:
            if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) Connected();
            return;
        case State::kHandshake:
            if (events & EPOLLERR) return Close(true);
            Handshake();
            return;
        case State::kRelaying:
            PumpFlows(events & (EPOLLOUT | EPOLLHUP | EPOLLERR),
                      events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR));
            return;
        case State::kClosed:
            return;
    }
}

void RelayConnection::OnTimeout() {
    if (state_ == State::kConnecting || state_ == State::kHandshake) Close(true);
}

void RelayConnection::Connected() {
    if (SocketError(upstream_.Get()) != 0) return Close(true);
    if (!route_->viaProxy) return StartRelaying();
    socks_ = std::make_unique<Socks5Client>(route_->user, route_->password, target_);
    state_ = State::kHandshake;
    owner_->Loop().Arm(this, limits_.handshakeMs);
    Handshake();
}

bool RelayConnection::FlushHandshake() {
    while (!socks_->Output().empty()) {
        auto out = socks_->Output();
        ssize_t sent = send(upstream_.Get(), out.data(), out.size(), MSG_NOSIGNAL);
        if (sent < 0) return WouldBlock();
        socks_->ConsumeOutput(static_cast<size_t>(sent));
    }
    return true;
}

void RelayConnection::Handshake() {
    uint8_t answer[512];
    for (;;) {
        bool sending = !socks_->Output().empty();
        if (!FlushHandshake()) return Close(true);
        if (socks_->State() != Socks5State::kInProgress) break;
        // The answer to what just went out arrives later and brings its own edge; a request not
        // yet fully out goes on with the next EPOLLOUT.
        if (sending || !socks_->Output().empty()) return;
        // Only as much as the current answer holds: what follows belongs to the client.
        ssize_t got = recv(upstream_.Get(), answer, std::min(sizeof answer, socks_->BytesWanted()), 0);
        if (got == 0) return Close(true);
        if (got < 0) {
            if (WouldBlock()) return;
            return Close(true);
        }
        socks_->Feed({answer, static_cast<size_t>(got)});
    }
    if (socks_->State() != Socks5State::kConnected) return Close(true);
    StartRelaying();
}

void RelayConnection::StartRelaying() {
    owner_->Loop().Disarm(this);
    socks_.reset();
    route_.reset();
    state_ = State::kRelaying;
    PumpFlows(true, true);
}

void RelayConnection::Resume() {
    waitingForTime_ = false;
    if (state_ == State::kRelaying) PumpFlows(true, true);
}

void RelayConnection::PumpFlows(bool toUpstream, bool toClient) {
    if (waitingForTime_) return;  // already queued for another round of both flows
    bool more = false;
    for (auto [wanted, flow, from, to] :
         {std::tuple{toUpstream, &toUpstream_, client_.Get(), upstream_.Get()},
          std::tuple{toClient, &toClient_, upstream_.Get(), client_.Get()}}) {
        if (!wanted) continue;
        PumpResult result = Pump(*flow, from, to);
        if (result == PumpResult::kFailed) return Close(true);
        more = more || result == PumpResult::kMore;
    }
    if (toUpstream_.Done() && toClient_.Done()) return Close(false);
    if (more) {
        waitingForTime_ = true;
        owner_->WantsMoreTime(this);
    }
}

RelayConnection::PumpResult RelayConnection::Pump(Flow& flow, int from, int to) {
    for (int round = 0;;) {
        if (flow.Done()) return PumpResult::kEnded;
        if (flow.pending > 0) {
            PumpResult drained = Drain(flow, to);
            if (drained != PumpResult::kMore) return drained;
            continue;
        }
        if (flow.sourceEnded) {
            flow.shutDown = true;
            shutdown(to, SHUT_WR);
            return PumpResult::kEnded;
        }
        if (++round > kRoundsPerTurn) return PumpResult::kMore;
        if (flow.bulk && !flow.pipeWrite.Valid() && !flow.noPipe) {
            int fds[2];
            if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
                flow.pipeRead.Reset(fds[0]);
                flow.pipeWrite.Reset(fds[1]);
                // A larger pipe moves more per call; the default size serves as well.
                fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize));
            } else {
                flow.noPipe = true;
            }
        }
        if (!flow.pipeWrite.Valid()) {
            PumpResult copied = Copy(flow, from, to);
            if (copied != PumpResult::kMore) return copied;
            continue;
        }
        // Reading only into an empty pipe means EAGAIN can only come from the socket.
        ssize_t moved = splice(from, nullptr, flow.pipeWrite.Get(), nullptr, kPipeSize,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved > 0) {
            flow.pending = static_cast<size_t>(moved);
        } else if (moved == 0) {
            flow.sourceEnded = true;
        } else {
            return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
        }
    }
}

// Writes out what waits; kMore once nothing does.
RelayConnection::PumpResult RelayConnection::Drain(Flow& flow, int to) {
    while (flow.pending > 0) {
        ssize_t sent;
        if (flow.buffer) {
            sent = send(to, flow.buffer.get() + flow.bufferStart, flow.pending, MSG_NOSIGNAL);
        } else {
            sent = splice(flow.pipeRead.Get(), nullptr, to, nullptr, flow.pending,
                          SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        }
        if (sent < 0) return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
        flow.pending -= static_cast<size_t>(sent);
        flow.bufferStart += static_cast<size_t>(sent);
    }
    flow.buffer.reset();  // an idle flow holds no memory
    flow.bufferStart = 0;
    return PumpResult::kMore;
}

// One read through the scratch buffer and one write; kMore when the source may have more.
RelayConnection::PumpResult RelayConnection::Copy(Flow& flow, int from, int to) {
    static thread_local char scratch[kScratchSize];
    ssize_t got = recv(from, scratch, sizeof scratch, 0);
    if (got == 0) {
        flow.sourceEnded = true;
        return PumpResult::kMore;
    }
    if (got < 0) return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
    size_t size = static_cast<size_t>(got);
    if (size == sizeof scratch) flow.bulk = true;
    ssize_t sent = send(to, scratch, size, MSG_NOSIGNAL);
    if (sent < 0 && !WouldBlock()) return PumpResult::kFailed;
    size_t done = sent < 0 ? 0 : static_cast<size_t>(sent);
    if (done < size) {
        flow.buffer = std::make_unique<char[]>(size - done);
        std::memcpy(flow.buffer.get(), scratch + done, size - done);
        flow.bufferStart = 0;
        flow.pending = size - done;
    }
    return PumpResult::kMore;
}

void RelayConnection::Close(bool reset) {
    if (state_ == State::kClosed) return;
    Unwatch();
    if (reset) {
        CloseWithReset(client_);
        CloseWithReset(upstream_);
    } else {
        client_.Reset();
        upstream_.Reset();
    }
    toUpstream_ = Flow();
    toClient_ = Flow();
    socks_.reset();
    route_.reset();
    state_ = State::kClosed;
    owner_->Finished(this);
}

}  // namespace varnelo::interceptor
