#include "interceptor/socket_util.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace varnelo::interceptor {
namespace {
// SO_ORIGINAL_DST (linux/netfilter_ipv4.h) and IP6T_SO_ORIGINAL_DST share this number.
constexpr int kOriginalDestination = 80;
}  // namespace

UniqueFd ListenLoopback(int family, uint16_t port, std::string* error) {
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    auto fail = [&](const char* what) {
        int saved = errno;
        if (error) *error = std::string(what) + ": " + std::strerror(saved);
        fd.Reset();
        errno = saved;
        return UniqueFd();
    };
    if (!fd.Valid()) return fail("cannot create the listening socket");
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET6) {
        setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(port);
        length = sizeof *in;
    }
    std::string where = family == AF_INET6 ? "[::1]:" : "127.0.0.1:";
    where += std::to_string(port);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return fail(("cannot listen on " + where).c_str());
    }
    if (listen(fd.Get(), SOMAXCONN) != 0) return fail(("cannot listen on " + where).c_str());
    return fd;
}

uint16_t LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

bool OriginalDestination(int fd, sockaddr_storage* destination, socklen_t* length) {
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
    *destination = {};
    if (local.ss_family == AF_INET6) {
        *length = sizeof(sockaddr_in6);
        return getsockopt(fd, IPPROTO_IPV6, kOriginalDestination, destination, length) == 0;
    }
    *length = sizeof(sockaddr_in);
    return getsockopt(fd, IPPROTO_IP, kOriginalDestination, destination, length) == 0;
}

void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

UniqueFd StartConnect(const sockaddr* address, socklen_t length, uint32_t mark) {
    UniqueFd fd(socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    if (mark != 0 && setsockopt(fd.Get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
        int saved = errno;
        fd.Reset();
        errno = saved;
        return fd;
    }
    SetNoDelay(fd.Get());
    if (connect(fd.Get(), address, length) != 0 && errno != EINPROGRESS) {
        int saved = errno;
        fd.Reset();
        errno = saved;
    }
    return fd;
}

int SocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

void CloseWithReset(UniqueFd& fd) {
    if (!fd.Valid()) return;
    linger abort{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    fd.Reset();
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (address->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return text;
}

}  // namespace varnelo::interceptor
