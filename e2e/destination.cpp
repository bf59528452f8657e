// The far end of the end-to-end runs: a TCP server that, for every connection, logs the peer's
// address and the first line it sent, and answers "ok". Proxied and direct connections arrive
// from different source addresses, so the log tells them apart.
//
// destination ADDRESS PORT LOG_FILE SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT LOG_FILE SECONDS\n", argv[0]);
        return 2;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = std::strchr(argv[1], ':') ? AF_INET6 : AF_INET;
    if (family == AF_INET6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(std::atoi(argv[2]));
        inet_pton(AF_INET6, argv[1], &a6->sin6_addr);
        length = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(std::atoi(argv[2]));
        inet_pton(AF_INET, argv[1], &a4->sin_addr);
        length = sizeof *a4;
    }
    int listener = socket(family, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 128) != 0) {
        std::perror("destination: listen");
        return 1;
    }
    FILE* log = std::fopen(argv[3], "a");
    if (!log) return 1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[4]));
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        int client = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (client < 0) continue;
        timeval timeout{2, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char line[256] = {};
        ssize_t got = recv(client, line, sizeof line - 1, 0);
        if (got > 0 && line[got - 1] == '\n') line[got - 1] = 0;
        char host[INET6_ADDRSTRLEN] = "?";
        if (peer.ss_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, host,
                      sizeof host);
        } else {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, host,
                      sizeof host);
        }
        std::fprintf(log, "%s %s\n", host, got > 0 ? line : "");
        std::fflush(log);
        send(client, "ok\n", 3, MSG_NOSIGNAL);
        close(client);
    }
    std::fclose(log);
    return 0;
}
