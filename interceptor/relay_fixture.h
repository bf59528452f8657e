// Loopback peers for the relay tests: a destination server and a small SOCKS5 proxy, each
// serving every connection on its own thread with blocking sockets.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "interceptor/unique_fd.h"

namespace varnelo::interceptor::testing {

sockaddr_in Loopback(uint16_t port);

// A blocking TCP connection to 127.0.0.1:port with a 10 s receive time-out; invalid on failure.
UniqueFd ConnectTo(uint16_t port);

// Sends everything (false on error) / reads until EOF (false on error or time-out).
bool SendAll(int fd, const std::string& data);
bool ReadToEnd(int fd, std::string* data);

std::string Pattern(size_t size, uint32_t seed);

// Accepts on 127.0.0.1 and runs the handler for every connection on its own thread.
class TestServer {
public:
    using Handler = std::function<void(int fd)>;
    // receiveBuffer: SO_RCVBUF of the accepted connections when nonzero (a slow receiver).
    explicit TestServer(Handler handler, int backlog = 64, int receiveBuffer = 0);
    ~TestServer();
    uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }

private:
    void AcceptLoop();
    Handler handler_;
    UniqueFd listener_;
    UniqueFd stopRead_, stopWrite_;
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A SOCKS5 proxy (RFC 1928 CONNECT to IPv4 addresses, RFC 1929 when a user is set).
struct TestProxyOptions {
    std::string user, password;  // empty user: no authentication
    uint8_t connectReply = 0;    // nonzero: refuse CONNECT with this code
    bool silent = false;         // accept and never answer
    std::string banner;          // sent in the same write as the CONNECT reply
};

class TestProxy {
public:
    explicit TestProxy(TestProxyOptions options);
    uint16_t Port() const { return server_.Port(); }
    int Accepted() const { return server_.Accepted(); }
    int Connected() const { return connected_.load(); }
    int AuthFailures() const { return authFailures_.load(); }
    sockaddr_in LastTarget();

private:
    void Serve(int fd);
    TestProxyOptions options_;
    std::atomic<int> connected_{0};
    std::atomic<int> authFailures_{0};
    std::mutex mutex_;
    sockaddr_in lastTarget_{};
    TestServer server_;  // last: its threads use the members above
};

}  // namespace varnelo::interceptor::testing
