#include "interceptor/relay_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>

namespace varnelo::interceptor::testing {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return in;
}

namespace {

void SetReceiveTimeout(int fd, int seconds) {
    timeval timeout{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool ReadExactly(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t got = recv(fd, bytes, size, 0);
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// Copies both ways, passing each end on as a half-close, until both have ended.
void Splice(int a, int b) {
    bool open[2] = {true, true};
    char buffer[16384];
    while (open[0] || open[1]) {
        pollfd fds[2] = {{a, static_cast<short>(open[0] ? POLLIN : 0), 0},
                         {b, static_cast<short>(open[1] ? POLLIN : 0), 0}};
        if (poll(fds, 2, 10000) <= 0) return;
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int from = i == 0 ? a : b, to = i == 0 ? b : a;
            ssize_t got = recv(from, buffer, sizeof buffer, 0);
            if (got < 0) return;
            if (got == 0) {
                shutdown(to, SHUT_WR);
                open[i] = false;
            } else if (!SendAll(to, std::string(buffer, static_cast<size_t>(got)))) {
                return;
            }
        }
    }
}

}  // namespace

UniqueFd ConnectTo(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(port);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    SetReceiveTimeout(fd.Get(), 10);
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ReadToEnd(int fd, std::string* data) {
    char buffer[65536];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0) return true;
        if (got < 0) return false;
        data->append(buffer, static_cast<size_t>(got));
    }
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return data;
}

TestServer::TestServer(Handler handler, int backlog, int receiveBuffer) : handler_(std::move(handler)) {
    listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0) {
        setsockopt(listener_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address = Loopback(0);
    bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_.Get(), backlog);
    socklen_t length = sizeof address;
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        stopRead_.Reset(fds[0]);
        stopWrite_.Reset(fds[1]);
    }
    if (handler_) acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    stopWrite_.Reset();  // wakes the acceptor
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard lock(mutex_);
    for (auto& worker : workers_) worker.join();
}

void TestServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        SetReceiveTimeout(fd, 10);
        std::lock_guard lock(mutex_);
        workers_.emplace_back([this, fd] {
            handler_(fd);
            close(fd);
        });
    }
}

TestProxy::TestProxy(TestProxyOptions options)
    : options_(std::move(options)), server_([this](int fd) { Serve(fd); }) {}

sockaddr_in TestProxy::LastTarget() {
    std::lock_guard lock(mutex_);
    return lastTarget_;
}

void TestProxy::Serve(int fd) {
    if (options_.silent) {
        std::string ignored;
        ReadToEnd(fd, &ignored);  // until the relay gives up
        return;
    }
    uint8_t head[2];
    if (!ReadExactly(fd, head, 2) || head[0] != 5) return;
    std::string methods(head[1], '\0');
    if (!ReadExactly(fd, methods.data(), methods.size())) return;
    uint8_t wanted = options_.user.empty() ? 0 : 2;
    if (methods.find(static_cast<char>(wanted)) == std::string::npos) {
        SendAll(fd, std::string("\x05\xFF", 2));
        return;
    }
    SendAll(fd, std::string{5, static_cast<char>(wanted)});
    if (wanted == 2) {
        uint8_t length;
        std::string user, password;
        if (!ReadExactly(fd, head, 2) || head[0] != 1) return;
        user.resize(head[1]);
        if (!ReadExactly(fd, user.data(), user.size()) || !ReadExactly(fd, &length, 1)) return;
        password.resize(length);
        if (!ReadExactly(fd, password.data(), password.size())) return;
        bool good = user == options_.user && password == options_.password;
        SendAll(fd, std::string{1, static_cast<char>(good ? 0 : 1)});
        if (!good) {
            ++authFailures_;
            return;
        }
    }
    uint8_t request[10];
    if (!ReadExactly(fd, request, 4) || request[1] != 1 || request[3] != 1) return;
    if (!ReadExactly(fd, request + 4, 6)) return;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    std::memcpy(&target.sin_addr, request + 4, 4);
    std::memcpy(&target.sin_port, request + 8, 2);
    {
        std::lock_guard lock(mutex_);
        lastTarget_ = target;
    }
    std::string reply = {5, static_cast<char>(options_.connectReply), 0, 1, 127, 0, 0, 1, 0, 0};
    if (options_.connectReply != 0) {
        SendAll(fd, reply);
        return;
    }
    UniqueFd out(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(out.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        reply[1] = 5;
        SendAll(fd, reply);
        return;
    }
    ++connected_;
    SetReceiveTimeout(out.Get(), 10);
    if (!SendAll(fd, reply + options_.banner)) return;
    Splice(fd, out.Get());
}

}  // namespace varnelo::interceptor::testing
