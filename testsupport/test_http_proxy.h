// A small forward HTTP proxy for tests, listening on 127.0.0.1 with a port the system picks. It
// relays plain-HTTP requests given in absolute form ("GET http://127.0.0.1:8080/x HTTP/1.1") and
// opens CONNECT tunnels (for HTTPS), one request per client connection. It only connects to
// loopback (127.0.0.1 or localhost); other destinations get "502 Bad Gateway".
//
// With a user and a password set, every request must carry "Proxy-Authorization: Basic ..." with
// exactly those; otherwise the answer is "407 Proxy Authentication Required" with a Basic
// challenge. RequestLines() lists the request lines it received, rejected ones included.
//
//   varnelo::TestHttpProxy proxy({.user = "u", .password = "p"});
//   ASSERT_TRUE(proxy.Start());
//   request.proxy = proxy.Address();                                 // "127.0.0.1:<port>"
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnelo {

class TestHttpProxy {
  public:
    struct Options {
        std::string user;  // both non-empty: Basic credentials are required
        std::string password;
    };

    TestHttpProxy() : TestHttpProxy(Options{}) {}
    explicit TestHttpProxy(Options options);
    ~TestHttpProxy();
    TestHttpProxy(const TestHttpProxy&) = delete;
    TestHttpProxy& operator=(const TestHttpProxy&) = delete;

    // Listens and starts accepting on a thread. False when it cannot listen.
    bool Start();
    // Stops accepting, ends every open relay and waits for all threads. Safe to call twice.
    void Stop();

    int Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    std::vector<std::string> RequestLines() const;
    int RejectedCount() const { return rejected_; }

  private:
    void AcceptLoop();
    void Serve(int client);
    void Record(const std::string& line);

    Options options_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};  // written once by Stop(); every wait also watches it
    int port_ = -1;
    std::thread acceptor_;
    mutable std::mutex mutex_;  // guards workers_ and lines_
    std::vector<std::thread> workers_;
    std::vector<std::string> lines_;
    std::atomic<int> rejected_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace varnelo
