#include "interceptor/engine_context.h"

#include "interceptor/capture_text.h"

namespace varnelo::interceptor {

namespace {

std::mutex g_dnsMutex;
std::string g_dnsServer;

}  // namespace

void SetDnsServerSetting(std::string server) {
    std::lock_guard lock(g_dnsMutex);
    g_dnsServer = std::move(server);
}

std::string DnsServerSetting() {
    std::lock_guard lock(g_dnsMutex);
    return g_dnsServer;
}

EngineContext::EngineContext(std::string stateDir)
    : capture_(kEngineMark, std::move(stateDir)),
      names_([this](pid_t pid) { capture_.AddPid(pid); }) {}

EngineContext::~EngineContext() { Close(); }

bool EngineContext::SetPort(int port) {
    if (port < 0 || port > 65535) return false;
    std::lock_guard lock(mutex_);
    port_ = static_cast<uint16_t>(port);
    // A running relay keeps its port until the next start; the rules must follow the listeners.
    if (!relay_) capture_.SetPort(port_, nullptr);
    return true;
}

uint16_t EngineContext::Port() const {
    std::lock_guard lock(mutex_);
    return relay_ ? relay_->Port() : port_;
}

bool EngineContext::Start() {
    std::lock_guard lock(mutex_);
    if (relay_) return true;
    auto relay = std::make_unique<Relay>(kEngineMark);
    relay->SetUpstream(upstream_);
    std::string reason;
    if (!relay->Start(port_, &reason)) {
        error_ = reason.empty() ? "the engine could not listen on its port" : reason;
        return false;
    }
    std::string captureError;
    if (!capture_.SetPort(relay->Port(), &captureError)) {
        error_ = captureError;
        return false;
    }
    relay_ = std::move(relay);
    return true;
}

void EngineContext::Close() {
    names_.Clear();
    capture_.Close();
    std::unique_ptr<Relay> relay;
    {
        std::lock_guard lock(mutex_);
        relay = std::move(relay_);
    }
    if (relay) relay->Stop();
}

bool EngineContext::SetGlobalProxy(const std::string& url) {
    std::optional<Upstream> upstream;
    if (!url.empty()) {
        upstream = ParseProxyUrl(url);
        if (!upstream) {
            Fail("the upstream proxy address is malformed");
            return false;
        }
    }
    std::lock_guard lock(mutex_);
    upstream_ = upstream;
    if (relay_) relay_->SetUpstream(upstream_);
    return true;
}

std::optional<Upstream> EngineContext::CurrentUpstream() const {
    std::lock_guard lock(mutex_);
    return upstream_;
}

bool EngineContext::OpenDrive() {
    uint16_t port = Port();
    std::string reason;
    if (capture_.Open(port, &reason)) return true;
    Fail("the process capture cannot be prepared: " + reason);
    return false;
}

void EngineContext::UnDrive() {
    names_.Clear();
    capture_.Close();
}

bool EngineContext::DriveOpen() const { return capture_.IsOpen(); }

void EngineContext::AddPid(pid_t pid) { capture_.AddPid(pid); }

void EngineContext::DelPid(pid_t pid) { capture_.RemovePid(pid); }

void EngineContext::CancelAll() {
    names_.Clear();
    capture_.SetCaptureAll(false, nullptr);
    capture_.CancelAll();
}

void EngineContext::AddName(const std::string& cp936Name) {
    auto name = Cp936ToUtf8Text(cp936Name);
    if (!name || name->empty()) return;
    names_.Add(*name);
}

void EngineContext::DelName(const std::string& cp936Name) {
    auto name = Cp936ToUtf8Text(cp936Name);
    if (name) names_.Remove(*name);
}

void EngineContext::CaptureAll(bool on) {
    std::string reason;
    if (!capture_.SetCaptureAll(on, &reason)) Fail(reason);
}

std::string EngineContext::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

size_t EngineContext::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return relay_ ? relay_->ConnectionCount() : 0;
}

void EngineContext::Fail(std::string reason) {
    std::lock_guard lock(mutex_);
    error_ = std::move(reason);
}

}  // namespace varnelo::interceptor
