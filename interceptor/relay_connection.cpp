#include "interceptor/relay_connection.h"

#include <cerrno>
#include <tuple>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interceptor/socket_util.h"

namespace varnelo::interceptor {
namespace {

constexpr size_t kChunk = 64 * 1024;     // one pipe's worth per read
constexpr size_t kBufferSize = 16 * 1024;  // the fallback buffer when no pipe can be had
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

void RelayConnection::Abandon() {
    if (Armed()) owner_->Loop().Disarm(this);
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
    if (state_ == State::kRelaying) return PumpBoth();
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
            PumpBoth();
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
        if (!FlushHandshake()) return Close(true);
        if (socks_->State() != Socks5State::kInProgress) break;
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
    PumpBoth();
}

void RelayConnection::Resume() {
    waitingForTime_ = false;
    if (state_ == State::kRelaying) PumpBoth();
}

void RelayConnection::PumpBoth() {
    if (waitingForTime_) return;  // already queued for another round
    bool more = false;
    for (auto [flow, from, to] : {std::tuple{&toUpstream_, client_.Get(), upstream_.Get()},
                                  std::tuple{&toClient_, upstream_.Get(), client_.Get()}}) {
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
    if (flow.Done()) return PumpResult::kEnded;
    if (!flow.pipeWrite.Valid() && !flow.buffer) {
        // Pipes only once data flows, so that idle connections hold two descriptors, not six.
        char probe;
        ssize_t got = recv(from, &probe, 1, MSG_PEEK);
        if (got < 0) return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
        if (got == 0) {
            flow.sourceEnded = true;
            flow.shutDown = true;
            shutdown(to, SHUT_WR);
            return PumpResult::kEnded;
        }
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            flow.pipeRead.Reset(fds[0]);
            flow.pipeWrite.Reset(fds[1]);
        } else {
            flow.buffer = std::make_unique<char[]>(kBufferSize);
        }
    }
    if (flow.buffer) return PumpBuffered(flow, from, to);
    for (int round = 0;;) {
        if (flow.pending > 0) {
            ssize_t moved = splice(flow.pipeRead.Get(), nullptr, to, nullptr, flow.pending,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (moved < 0) return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
            flow.pending -= static_cast<size_t>(moved);
            continue;
        }
        if (flow.sourceEnded) {
            flow.shutDown = true;
            shutdown(to, SHUT_WR);
            return PumpResult::kEnded;
        }
        if (++round > kRoundsPerTurn) return PumpResult::kMore;
        // Reading only into an empty pipe means EAGAIN can only come from the socket.
        ssize_t moved = splice(from, nullptr, flow.pipeWrite.Get(), nullptr, kChunk,
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

RelayConnection::PumpResult RelayConnection::PumpBuffered(Flow& flow, int from, int to) {
    for (int round = 0;;) {
        if (flow.pending > 0) {
            ssize_t sent = send(to, flow.buffer.get() + flow.bufferStart, flow.pending, MSG_NOSIGNAL);
            if (sent < 0) return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
            flow.pending -= static_cast<size_t>(sent);
            flow.bufferStart += static_cast<size_t>(sent);
            continue;
        }
        if (flow.sourceEnded) {
            flow.shutDown = true;
            shutdown(to, SHUT_WR);
            return PumpResult::kEnded;
        }
        if (++round > kRoundsPerTurn) return PumpResult::kMore;
        ssize_t got = recv(from, flow.buffer.get(), kBufferSize, 0);
        if (got > 0) {
            flow.pending = static_cast<size_t>(got);
            flow.bufferStart = 0;
        } else if (got == 0) {
            flow.sourceEnded = true;
        } else {
            return WouldBlock() ? PumpResult::kBlocked : PumpResult::kFailed;
        }
    }
}

void RelayConnection::Close(bool reset) {
    if (state_ == State::kClosed) return;
    if (Armed()) owner_->Loop().Disarm(this);
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
