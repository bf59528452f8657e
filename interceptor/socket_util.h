// Small socket operations the relay needs. Every descriptor made here is non-blocking and
// close-on-exec.
#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>

#include "interceptor/unique_fd.h"

namespace varnelo::interceptor {

// A listening TCP socket on the loopback address of the family (AF_INET: 127.0.0.1, AF_INET6:
// ::1 with IPV6_V6ONLY). Invalid + *error (and errno kept) when it cannot be made.
UniqueFd ListenLoopback(int family, uint16_t port, std::string* error);

// The local port a socket is bound to (0 on failure).
uint16_t LocalPort(int fd);

// Where a redirected connection was headed (SO_ORIGINAL_DST / IP6T_SO_ORIGINAL_DST).
bool OriginalDestination(int fd, sockaddr_storage* destination, socklen_t* length);

void SetNoDelay(int fd);

// Starts a non-blocking connect to address, with the socket marked when mark is nonzero.
// Invalid + errno set when the socket cannot be made or marked, or the connect fails at once.
UniqueFd StartConnect(const sockaddr* address, socklen_t length, uint32_t mark);

// The pending error of a socket (SO_ERROR), 0 when none.
int SocketError(int fd);

// Closes with a reset instead of an orderly close, so the peer learns of the failure.
void CloseWithReset(UniqueFd& fd);

std::string AddressText(const sockaddr* address);

}  // namespace varnelo::interceptor
