// The exported functions of SunnyNet.dll. Each looks up its context in the registry and forwards
// to it; no exception leaves an export, and unknown contexts or message ids answer "nothing".
// The declarations come from the program's own list of the library's exports, so that the two
// cannot drift apart: a definition below with other types than the list fails to compile.
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/library_exports.h"
#include "interceptor/engine_context.h"

#define VARNELO_DECLARE_EXPORT(name, type) \
    extern "C" __attribute__((visibility("default"))) std::type_identity_t<type> name;
VARNELO_SUNNYNET_EXPORTS(VARNELO_DECLARE_EXPORT)
#undef VARNELO_DECLARE_EXPORT

using varnelo::interceptor::EngineContext;

namespace {

// The registry of contexts. A context stays alive while an export works on it, even when another
// thread releases it meanwhile.
class Registry {
public:
    int Create() {
        std::lock_guard lock(mutex_);
        int id = ++lastId_;
        contexts_[id] = std::make_shared<EngineContext>();
        return id;
    }
    std::shared_ptr<EngineContext> Find(int id) {
        std::lock_guard lock(mutex_);
        auto it = contexts_.find(id);
        return it == contexts_.end() ? nullptr : it->second;
    }
    std::shared_ptr<EngineContext> Take(int id) {
        std::lock_guard lock(mutex_);
        auto it = contexts_.find(id);
        if (it == contexts_.end()) return nullptr;
        auto context = std::move(it->second);
        contexts_.erase(it);
        return context;
    }

    std::map<int, std::shared_ptr<EngineContext>> TakeAll() {
        std::lock_guard lock(mutex_);
        return std::exchange(contexts_, {});
    }

private:
    std::mutex mutex_;
    int lastId_ = 0;
    std::map<int, std::shared_ptr<EngineContext>> contexts_;
};

// Never destroyed: contexts must not be torn down by static destructors while other threads of
// the process may still call in. ReleaseSunnyNet is the way to end a context.
Registry& Contexts() {
    static Registry* registry = new Registry;
    return *registry;
}

// A program that ends without releasing its contexts (exit() after a fatal error, say) must not
// leave its table, its cgroup and its captured processes behind: they are released when the
// library is unloaded, which exit() does too.
__attribute__((destructor)) void ReleaseEveryContextAtUnload() {
    try {
        for (auto& [id, context] : Contexts().TakeAll()) context->Close();
    } catch (...) {
    }
}

// Runs `action` on the context, answering `fallback` for an unknown context or any failure.
template <typename Result, typename Action>
Result WithContext(int contextId, Result fallback, Action action) noexcept {
    try {
        auto context = Contexts().Find(contextId);
        return context ? action(*context) : fallback;
    } catch (...) {
        return fallback;
    }
}

template <typename Action>
void WithContext(int contextId, Action action) noexcept {
    try {
        if (auto context = Contexts().Find(contextId)) action(*context);
    } catch (...) {
    }
}

// A library-allocated copy that the caller hands back with Free; null for the empty text.
char* LibraryText(const std::string& text) noexcept {
    if (text.empty()) return nullptr;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

// This engine relays connections without looking into them, so it terminates no TLS and has no
// root certificate; the system's trust store is left alone. The report still reads as a success
// to the program's certificate check.
constexpr const char* kCertificateReport =
    "No root certificate is needed: this engine terminates no TLS. "
    "The system trust store was left unchanged (nothing to add; treated as already in store).";

}  // namespace

extern "C" {

int CreateSunnyNet() {
    try {
        return Contexts().Create();
    } catch (...) {
        return 0;
    }
}

void ReleaseSunnyNet(int contextId) {
    try {
        if (auto context = Contexts().Take(contextId)) context->Close();
    } catch (...) {
    }
}

int SunnyNetSetPort(int contextId, int port) {
    return WithContext(contextId, 0, [&](EngineContext& c) { return c.SetPort(port) ? 1 : 0; });
}

int SunnyNetSetCallback(int contextId, varnelo::sunny::HttpCallback, varnelo::sunny::TcpCallback,
                        varnelo::sunny::WebSocketCallback, varnelo::sunny::UdpCallback) {
    // Nothing is intercepted message by message, so no routine is ever called; accepted.
    return WithContext(contextId, 0, [](EngineContext&) { return 1; });
}

void SetDnsServer(const char* server) {
    try {
        varnelo::interceptor::SetDnsServerSetting(Text(server));
    } catch (...) {
    }
}

int SunnyNetStart(int contextId) {
    return WithContext(contextId, 0, [](EngineContext& c) { return c.Start() ? 1 : 0; });
}

int SunnyNetClose(int contextId) {
    return WithContext(contextId, 0, [](EngineContext& c) {
        c.Close();
        return 1;
    });
}

char* SunnyNetError(int contextId) {
    return WithContext(contextId, static_cast<char*>(nullptr),
                       [](EngineContext& c) { return LibraryText(c.Error()); });
}

int OpenDrive(int contextId, int) {
    return WithContext(contextId, 0, [](EngineContext& c) { return c.OpenDrive() ? 1 : 0; });
}

void UnDrive(int contextId) {
    WithContext(contextId, [](EngineContext& c) { c.UnDrive(); });
}

char* SunnyNetInstallCert(int contextId) {
    return WithContext(contextId, static_cast<char*>(nullptr),
                       [](EngineContext&) { return LibraryText(kCertificateReport); });
}

char* ExportCert(int) { return nullptr; }

int SetGlobalProxy(int contextId, const char* url, int) {
    return WithContext(contextId, 0,
                       [&](EngineContext& c) { return c.SetGlobalProxy(Text(url)) ? 1 : 0; });
}

void ProcessAddPid(int contextId, int pid) {
    WithContext(contextId, [&](EngineContext& c) { c.AddPid(static_cast<pid_t>(pid)); });
}

void ProcessDelPid(int contextId, int pid) {
    WithContext(contextId, [&](EngineContext& c) { c.DelPid(static_cast<pid_t>(pid)); });
}

void ProcessCancelAll(int contextId) {
    WithContext(contextId, [](EngineContext& c) { c.CancelAll(); });
}

void ProcessAddName(int contextId, const char* name) {
    WithContext(contextId, [&](EngineContext& c) { c.AddName(Text(name)); });
}

void ProcessDelName(int contextId, const char* name) {
    WithContext(contextId, [&](EngineContext& c) { c.DelName(Text(name)); });
}

void ProcessALLName(int contextId, int on, int) {
    WithContext(contextId, [&](EngineContext& c) { c.CaptureAll(on != 0); });
}

// The system proxy settings of another platform: there are none to change here.
int SetIeProxy(int) { return 0; }
int CancelIEProxy(int contextId) {
    return WithContext(contextId, 0, [](EngineContext&) { return 1; });
}

// Features of an intercepting engine that this one does not have: they answer failure.
int SunnyNetVerifyUser(int, int) { return 0; }
int DisableTCP(int, int) { return 0; }
int DisableUDP(int, int) { return 0; }
int SetRandomTLS(int, int) { return 0; }
int SunnyNetSetCert(int, int) { return 0; }
void SunnyNetMustTcp(int, int) {}
int SetOutRouterIP(int, const char*) { return 0; }
int CompileProxyRegexp(int, const char*) { return 0; }
int SunnyNetSocket5DelUser(int, const char*) { return 0; }
int SetMustTcpRegexp(int, const char*, int) { return 0; }
int SunnyNetSocket5AddUser(int, const char*, const char*) { return 0; }
void SetScriptCall(int, int, int) {}
int SetHTTPRequestMaxUpdateLength(int, std::uint32_t, std::uint32_t) { return 0; }
// There is no script page: "no" is the answer the program reads as such.
char* SetScriptPage(int contextId, const char*) {
    return WithContext(contextId, static_cast<char*>(nullptr),
                       [](EngineContext&) { return LibraryText("no"); });
}
char* SetScriptCode(int, const void*, int) { return nullptr; }
char* SunnyNetGetSocket5User(int) { return nullptr; }

// Messages by id: the engine hands out no ids, so every id is unknown.
int GetWebsocketBodyLen(int) { return 0; }
void* GetWebsocketBody(int) { return nullptr; }
void* GetUdpData(int) { return nullptr; }
int SetUdpData(int, const void*, int) { return 0; }
int SetWebsocketBody(int, const void*, int) { return 0; }
int TcpSendMsg(int, const void*, int) { return 0; }
int TcpSendMsgClient(int, const void*, int) { return 0; }
int UdpSendToServer(int, const void*, int) { return 0; }
int UdpSendToClient(int, const void*, int) { return 0; }
int SendWebsocketBody(int, int, const void*, int) { return 0; }
int SendWebsocketClientBody(int, int, const void*, int) { return 0; }
void SetTcpBody(int, int, const void*, int) {}
int CloseWebsocket(int) { return 0; }
int TcpCloseClient(int) { return 0; }
int RequestSetOutRouterIP(int, const char*) { return 0; }
int SetTcpConnectionIP(int, const char*) { return 0; }
int SetTcpAgent(int, const char*, int) { return 0; }
int AddHttpCertificate(const char*, int, int) { return 0; }
void DelHttpCertificate(const char*) {}

void Free(void* pointer) { std::free(pointer); }

// The length fields this library writes are little-endian; up to 8 bytes are read and the value
// answered as a 32-bit integer.
int BytesToInt(const void* bytes, int length) {
    if (!bytes || length <= 0) return 0;
    if (length > 8) length = 8;
    uint64_t value = 0;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (int i = length - 1; i >= 0; --i) value = (value << 8) | p[i];
    return static_cast<int>(static_cast<uint32_t>(value));
}

}  // extern "C"
