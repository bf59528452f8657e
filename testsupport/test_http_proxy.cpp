#include "testsupport/test_http_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace varnelo {
namespace {

constexpr int kIdleMilliseconds = 10000;
constexpr std::size_t kMaxHead = 64 * 1024;

std::string Base64(const std::string& in) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

// Waits for `fd` to be readable; false on time-out or when the proxy is stopping.
bool WaitReadable(int fd, int wakeFd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, kIdleMilliseconds) <= 0) return false;
    return (fds[1].revents & POLLIN) == 0;
}

int ConnectLoopback(const std::string& host, int port) {
    if (host != "127.0.0.1" && host != "localhost") return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SplitHostPort(const std::string& authority, std::string& host, int& port, int defaultPort) {
    std::size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    port = defaultPort;
    if (colon != std::string::npos) {
        try {
            port = std::stoi(authority.substr(colon + 1));
        } catch (...) {
            return false;
        }
    }
    return !host.empty() && port > 0 && port < 65536;
}

std::string HeaderValueOf(const std::vector<std::string>& lines, const std::string& name) {
    for (const std::string& line : lines) {
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            std::size_t start = line.find_first_not_of(' ', name.size() + 1);
            return start == std::string::npos ? std::string() : line.substr(start);
        }
    }
    return {};
}

// Copies both ways until the server side ends (or an error, idle time-out or stop).
void Pump(int client, int server, int wakeFd) {
    char buffer[64 * 1024];
    bool clientOpen = true;
    for (;;) {
        pollfd fds[3] = {{server, POLLIN, 0},
                         {client, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                         {wakeFd, POLLIN, 0}};
        if (poll(fds, 3, kIdleMilliseconds) <= 0 || (fds[2].revents & POLLIN)) return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(server, buffer, sizeof buffer, 0);
            if (n <= 0 || !SendAll(client, buffer, static_cast<std::size_t>(n))) return;
        }
        if (clientOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                clientOpen = false;
                shutdown(server, SHUT_WR);
            } else if (!SendAll(server, buffer, static_cast<std::size_t>(n))) {
                return;
            }
        }
    }
}

}  // namespace

TestHttpProxy::TestHttpProxy(Options options) : options_(std::move(options)) {}

TestHttpProxy::~TestHttpProxy() { Stop(); }

bool TestHttpProxy::Start() {
    if (listenFd_ >= 0) return false;
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) return false;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void TestHttpProxy::Stop() {
    if (stopping_.exchange(true)) return;
    if (wakePipe_[1] >= 0) {
        char byte = 1;
        (void)!write(wakePipe_[1], &byte, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) worker.join();
    for (int* fd : {&listenFd_, &wakePipe_[0], &wakePipe_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

std::vector<std::string> TestHttpProxy::RequestLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void TestHttpProxy::Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

void TestHttpProxy::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, client] {
            Serve(client);
            close(client);
        });
    }
}

void TestHttpProxy::Serve(int client) {
    std::string data;
    std::size_t headEnd;
    char buffer[8192];
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHead || !WaitReadable(client, wakePipe_[0])) return;
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < headEnd;) {
        std::size_t end = data.find("\r\n", pos);
        lines.push_back(data.substr(pos, end - pos));
        pos = end + 2;
    }
    std::string rest = data.substr(headEnd + 4);
    if (lines.empty()) return;
    Record(lines[0]);

    // "METHOD target HTTP/1.x"
    std::size_t firstSpace = lines[0].find(' ');
    std::size_t secondSpace =
        firstSpace == std::string::npos ? std::string::npos : lines[0].find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos) {
        SendAll(client,
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    std::string method = lines[0].substr(0, firstSpace);
    std::string target = lines[0].substr(firstSpace + 1, secondSpace - firstSpace - 1);

    if (!options_.user.empty() && !options_.password.empty() &&
        HeaderValueOf(lines, "Proxy-Authorization") !=
            "Basic " + Base64(options_.user + ":" + options_.password)) {
        ++rejected_;
        SendAll(client,
                "HTTP/1.1 407 Proxy Authentication Required\r\n"
                "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n"
                "Content-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }

    std::string host;
    int port = 0;
    std::string path = "/";
    bool tunnel = method == "CONNECT";
    bool parsed = false;
    if (tunnel) {
        parsed = SplitHostPort(target, host, port, 443);
    } else if (target.rfind("http://", 0) == 0) {
        std::string authority = target.substr(7);
        std::size_t slash = authority.find_first_of("/?");
        if (slash != std::string::npos) {
            path =
                authority[slash] == '/' ? authority.substr(slash) : "/" + authority.substr(slash);
            authority.resize(slash);
        }
        parsed = SplitHostPort(authority, host, port, 80);
    }
    int server = parsed ? ConnectLoopback(host, port) : -1;
    if (server < 0) {
        SendAll(client,
                "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    bool ok;
    if (tunnel) {
        ok = SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n") &&
             (rest.empty() || SendAll(server, rest));
    } else {
        std::string head = method + " " + path + lines[0].substr(lines[0].rfind(' ')) + "\r\n";
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (strncasecmp(line.c_str(), "Proxy-", 6) == 0 ||
                strncasecmp(line.c_str(), "Connection:", 11) == 0) {
                continue;
            }
            head += line + "\r\n";
        }
        head += "Connection: close\r\n\r\n";
        ok = SendAll(server, head) && (rest.empty() || SendAll(server, rest));
    }
    if (ok) Pump(client, server, wakePipe_[0]);
    close(server);
}

}  // namespace varnelo
