// The ports that the system's sockets use, the way a connection listing shows them.
#pragma once

#include <bitset>
#include <memory>

namespace varnelo {

using PortSet = std::bitset<65536>;

class ConnectionList {
public:
    virtual ~ConnectionList() = default;
    // A fresh listing: every port that occurs as the local or the remote port of a TCP or UDP
    // socket over IPv4 or IPv6, listening sockets included. Tables that cannot be read add nothing.
    virtual PortSet PortsInUse() = 0;
};

// Reads /proc/net/tcp, tcp6, udp and udp6 of the caller's network namespace.
std::unique_ptr<ConnectionList> MakeSystemConnectionList();

}  // namespace varnelo
