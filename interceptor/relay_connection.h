// One relayed connection: connect (to the upstream proxy or the destination), the SOCKS5
// handshake, then both directions until each side has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/socket.h>

#include "interceptor/event_loop.h"
#include "interceptor/socks5_client.h"
#include "interceptor/unique_fd.h"

namespace varnelo::interceptor {

// What a connection needs to know about where to go, fixed when it is accepted.
struct RelayRoute {
    bool viaProxy = false;          // false: straight to the destination
    bool proxyResolved = false;     // viaProxy but no address known: fail closed
    sockaddr_storage proxy{};       // the upstream's address when viaProxy
    socklen_t proxyLength = 0;
    std::string user, password;
};

class RelayConnection;

// What a connection asks of the relay that owns it.
class RelayOwner {
public:
    virtual EventLoop& Loop() = 0;
    virtual void Finished(RelayConnection* connection) = 0;  // closed; free it after the batch
    virtual void WantsMoreTime(RelayConnection* connection) = 0;  // call Resume() next round

protected:
    ~RelayOwner() = default;
};

class RelayConnection final : private EventLoop::Timer {
public:
    struct Limits {
        int connectMs;
        int handshakeMs;
        uint32_t mark;
    };

    RelayConnection(RelayOwner* owner, UniqueFd client, Limits limits);
    ~RelayConnection();
    RelayConnection(const RelayConnection&) = delete;
    RelayConnection& operator=(const RelayConnection&) = delete;

    // Starts the way out. On failure the connection finishes at once (reported to the owner).
    void Begin(const sockaddr* destination, socklen_t length, std::shared_ptr<const RelayRoute> route);

    // Carries on pumping after WantsMoreTime.
    void Resume();

    // Closes both sides with a reset, without telling the owner (the relay is going away).
    void Abandon();

    bool Finished() const { return state_ == State::kClosed; }

private:
    enum class State { kConnecting, kHandshake, kRelaying, kClosed };

    // One direction of the stream, from one socket to the other. Small amounts are copied
    // through a scratch buffer; once a read fills it, the flow switches to splicing through a
    // pipe of its own (no copy through user space). Bytes the receiver could not take yet wait
    // in the pipe, or in a buffer of the flow's own that exists only while they wait.
    struct Flow {
        UniqueFd pipeRead, pipeWrite;
        size_t pending = 0;  // bytes in the pipe or the buffer, not yet written on
        std::unique_ptr<char[]> buffer;
        size_t bufferStart = 0;
        bool bulk = false;       // reads fill the scratch buffer: splice from now on
        bool noPipe = false;     // a pipe could not be had: keep copying
        bool sourceEnded = false;
        bool shutDown = false;  // the end passed on with shutdown(SHUT_WR)
        bool Done() const { return shutDown; }
    };

    // Reports events on one of the two sockets to the connection.
    struct Side : EventLoop::Handler {
        RelayConnection* connection = nullptr;
        bool upstream = false;
        void OnEvents(uint32_t events) override;
    };

    enum class PumpResult { kBlocked, kEnded, kMore, kFailed };

    void OnClientEvents(uint32_t events);
    void OnUpstreamEvents(uint32_t events);
    void OnTimeout() override;
    void Connected();
    void Handshake();
    bool FlushHandshake();
    void StartRelaying();
    // Pumps the flows the events concern (both when events is 0); closes on failure or when
    // both flows have ended.
    void PumpFlows(bool toUpstream, bool toClient);
    PumpResult Pump(Flow& flow, int from, int to);
    PumpResult Drain(Flow& flow, int to);
    PumpResult Copy(Flow& flow, int from, int to);
    void Close(bool reset);
    void Unwatch();

    RelayOwner* owner_;
    Limits limits_;
    UniqueFd client_;
    UniqueFd upstream_;
    Side clientSide_, upstreamSide_;
    Flow toUpstream_, toClient_;
    std::unique_ptr<Socks5Client> socks_;
    Socks5Target target_;
    std::shared_ptr<const RelayRoute> route_;
    State state_ = State::kConnecting;
    bool waitingForTime_ = false;
};

}  // namespace varnelo::interceptor
