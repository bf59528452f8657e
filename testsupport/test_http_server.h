// An in-process HTTP or HTTPS server for tests, on cpp-httplib, listening on 127.0.0.1 with a port
// the system picks. Register handlers on Routes() before Start(); the server runs on its own
// thread until Stop() or destruction.
//
//   varnelo::TestHttpServer server;                                   // plain HTTP
//   server.Routes().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
//       res.set_content("hi", "text/plain");
//   });
//   ASSERT_TRUE(server.Start());
//   std::string url = server.BaseUrl() + "/hello";                   //
//   http://127.0.0.1:<port>/hello
//
// For HTTPS pass a certificate and key file (see TestAuthority); BaseUrl() then starts with
// "https://127.0.0.1:". BaseUrlFor("localhost") names the host instead of the address.
// Handlers run on the server's worker threads: guard what they share with the test.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

namespace varnelo {

class TestHttpServer {
  public:
    TestHttpServer();
    TestHttpServer(const std::string& certPath, const std::string& keyPath);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    // The handlers, settings and logger of the underlying server.
    httplib::Server& Routes() { return *server_; }

    // Binds 127.0.0.1 on a free port and starts serving. False when the server cannot be made
    // (for HTTPS: unreadable certificate or key) or cannot bind.
    bool Start();
    // Stops serving and waits for the server thread. Safe to call more than once.
    void Stop();

    int Port() const { return port_; }
    bool Secure() const { return secure_; }
    std::string BaseUrl() const { return BaseUrlFor("127.0.0.1"); }
    std::string BaseUrlFor(const std::string& host) const;

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = -1;
    bool secure_ = false;
};

}  // namespace varnelo
