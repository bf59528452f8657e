#include "testsupport/test_http_server.h"

#include <chrono>
#include <limits>

namespace varnelo {

TestHttpServer::TestHttpServer() : server_(std::make_unique<httplib::Server>()) {}

TestHttpServer::TestHttpServer(const std::string& certPath, const std::string& keyPath)
    : server_(std::make_unique<httplib::SSLServer>(certPath.c_str(), keyPath.c_str())),
      secure_(true) {}

TestHttpServer::~TestHttpServer() { Stop(); }

bool TestHttpServer::Start() {
    if (thread_.joinable() || !server_->is_valid()) return false;
    server_->set_payload_max_length(std::numeric_limits<std::size_t>::max());
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only works once the accept loop runs; wait for it (bounded).
    for (int i = 0; i < 500 && !server_->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server_->is_running();
}

void TestHttpServer::Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

std::string TestHttpServer::BaseUrlFor(const std::string& host) const {
    return std::string(secure_ ? "https://" : "http://") + host + ":" + std::to_string(port_);
}

}  // namespace varnelo
