#include "platform/connection_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace varnelo {
namespace {

class Socket {
public:
    Socket(int family, int type) : fd_(::socket(family, type | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    int Port() const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return address.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }

private:
    int fd_;
};

sockaddr_in Loopback4(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

TEST(ConnectionList, ListsListeningConnectedAndUdpPorts) {
    Socket listener(AF_INET, SOCK_STREAM);
    auto any = Loopback4(0);
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    Socket client(AF_INET, SOCK_STREAM);
    auto server = Loopback4(listener.Port());
    ASSERT_EQ(::connect(client.fd(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);

    Socket udp6(AF_INET6, SOCK_DGRAM);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(udp6.fd(), reinterpret_cast<sockaddr*>(&a6), sizeof a6), 0);

    Socket listener6(AF_INET6, SOCK_STREAM);
    ASSERT_EQ(::bind(listener6.fd(), reinterpret_cast<sockaddr*>(&a6), sizeof a6), 0);
    ASSERT_EQ(::listen(listener6.fd(), 4), 0);

    PortSet ports = MakeSystemConnectionList()->PortsInUse();
    EXPECT_TRUE(ports.test(listener.Port()));
    EXPECT_TRUE(ports.test(client.Port()));
    EXPECT_TRUE(ports.test(udp6.Port()));
    EXPECT_TRUE(ports.test(listener6.Port()));
}

}  // namespace
}  // namespace varnelo
