// The engine's relay: accepts the connections the capture redirects to it and carries each one,
// through the upstream SOCKS5 proxy when one is set, to its original destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/socket.h>

#include "interceptor/proxy_url.h"

namespace varnelo::interceptor {

// The mark every outgoing socket of the engine carries (SO_MARK), so that the capture rules let
// the engine's own connections pass. "VNLO".
inline constexpr uint32_t kEngineMark = 0x564e4c4f;

// Time limits of the relay. Defaults suit real use; tests shorten them.
struct RelayTimeouts {
    int connectMs = 10000;    // TCP connect to the upstream or the destination
    int handshakeMs = 10000;  // SOCKS5 greeting, authentication and CONNECT reply
};

// Finds where an accepted connection was headed. The default reads SO_ORIGINAL_DST /
// IP6T_SO_ORIGINAL_DST; tests inject their own. Answers false when it cannot tell (the
// connection is then closed).
using DestinationResolver =
    std::function<bool(int acceptedFd, sockaddr_storage* destination, socklen_t* length)>;

class Relay {
public:
    // Mark put on every outgoing socket (SO_MARK; needs CAP_NET_ADMIN). A connection whose
    // outgoing socket cannot be marked is closed. 0 = no mark (tests without root).
    explicit Relay(uint32_t socketMark);
    ~Relay();                             // Stop()
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Listens on 127.0.0.1:port and [::1]:port and starts the engine thread. false + reason when
    // a listener cannot be made (the port in use...) or the relay already runs. A machine without
    // IPv6 loopback gets the IPv4 listener only. Port 0 picks a free port (see Port()), for tests.
    // Raises the process's soft limit of open files to its hard limit: every relayed connection
    // holds up to six descriptors (two sockets, two pipes).
    bool Start(uint16_t port, std::string* error);
    void Stop();  // closes listeners and every connection, joins; harmless when not started

    // Thread-safe; nullopt = direct. Applies to connections accepted afterwards. A host name is
    // resolved here (blocking); while it cannot be resolved, connections fail closed.
    void SetUpstream(std::optional<Upstream> upstream);
    size_t ConnectionCount() const;  // live relayed connections

    // The port the listeners are bound to (0 when not started).
    uint16_t Port() const;

    // For tests; call before Start.
    void SetDestinationResolver(DestinationResolver resolver);
    void SetTimeouts(RelayTimeouts timeouts);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varnelo::interceptor
