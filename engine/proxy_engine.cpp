#include "engine/proxy_engine.h"

#include "engine/certificate_judgement.h"
#include "engine/library_presence.h"
#include "engine/marshalling.h"

namespace varnelo {

ProxyEngine::ProxyEngine(MessageBoxes& boxes) : ProxyEngine(boxes, Library::Program()) {}

ProxyEngine::ProxyEngine(MessageBoxes& boxes, Library& library) : library_(library) {
    // The check must run before the library file is first opened: it may still replace the file.
    EnsureLibraryFile(boxes);
    contextId_ = VARNELO_CALL(library_, CreateSunnyNet);
}

ProxyEngine::~ProxyEngine() { VARNELO_CALL(library_, ReleaseSunnyNet, contextId_); }

Text ProxyEngine::ExportCert() {
    return TakeLibraryText(library_, VARNELO_CALL(library_, ExportCert, contextId_));
}

void ProxyEngine::MustTcp(int value) { VARNELO_CALL(library_, SunnyNetMustTcp, contextId_, value); }

int ProxyEngine::VerifyUser(int value) {
    return VARNELO_CALL(library_, SunnyNetVerifyUser, contextId_, value);
}

int ProxyEngine::Socket5AddUser(const Text& user, const Text& password) {
    return VARNELO_CALL(library_, SunnyNetSocket5AddUser, contextId_, user.c_str(),
                        password.c_str());
}

int ProxyEngine::Socket5DelUser(const Text& user) {
    return VARNELO_CALL(library_, SunnyNetSocket5DelUser, contextId_, user.c_str());
}

Text ProxyEngine::GetSocket5User(int value) {
    return TakeLibraryUtf8Text(library_, VARNELO_CALL(library_, SunnyNetGetSocket5User, value));
}

int ProxyEngine::SetCallback(HttpCallback http, TcpCallback tcp, WebSocketCallback websocket,
                             UdpCallback udp) {
    return VARNELO_CALL(library_, SunnyNetSetCallback, contextId_, http, tcp, websocket, udp);
}

int ProxyEngine::SetPort(int port) {
    return VARNELO_CALL(library_, SunnyNetSetPort, contextId_, port);
}

int ProxyEngine::Start() { return VARNELO_CALL(library_, SunnyNetStart, contextId_); }

int ProxyEngine::Close() {
    CancelIEProxy();
    return VARNELO_CALL(library_, SunnyNetClose, contextId_);
}

int ProxyEngine::SetOutRouterIP(const Text& ip) {
    return VARNELO_CALL(library_, SetOutRouterIP, contextId_, ip.c_str());
}

Text ProxyEngine::SetScriptCode(const Text& script) {
    const ByteSet utf8 = Cp936ToUtf8(script);
    return TakeLibraryUtf8Text(library_, VARNELO_CALL(library_, SetScriptCode, contextId_,
                                                      BytesPointer(utf8), BytesCount(utf8)));
}

void ProxyEngine::SetScriptCall(int first, int second) {
    VARNELO_CALL(library_, SetScriptCall, contextId_, first, second);
}

bool ProxyEngine::HasScriptPage() { return SetScriptPage("") != "no"; }

Text ProxyEngine::SetScriptPage(const Text& page) {
    return TakeLibraryText(library_,
                           VARNELO_CALL(library_, SetScriptPage, contextId_, page.c_str()));
}

int ProxyEngine::SetHTTPRequestMaxUpdateLength(std::int64_t length) {
    const auto value = static_cast<std::uint64_t>(length);
    return VARNELO_CALL(library_, SetHTTPRequestMaxUpdateLength, contextId_,
                        static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32));
}

int ProxyEngine::SetCert(const LibraryCertificate& certificate) {
    return VARNELO_CALL(library_, SunnyNetSetCert, contextId_, certificate.LibraryContext());
}

bool ProxyEngine::InstallCert(Text* failureReport) {
    Text report =
        TakeLibraryText(library_, VARNELO_CALL(library_, SunnyNetInstallCert, contextId_));
    if (CertificateInstalled(report)) return true;
    if (failureReport != nullptr) *failureReport = std::move(report);
    return false;
}

Text ProxyEngine::Error() {
    // A library that cannot start, or cannot say why, is better described by what is wrong with it.
    const LibraryExports& exports = library_.Exports();
    if (exports.SunnyNetStart == nullptr || exports.SunnyNetError == nullptr) {
        return library_.Problem();
    }
    return TakeLibraryText(library_, VARNELO_CALL(library_, SunnyNetError, contextId_));
}

int ProxyEngine::SetGlobalProxy(const Text& url, int value) {
    return VARNELO_CALL(library_, SetGlobalProxy, contextId_, url.c_str(), value);
}

void ProxyEngine::CancelGlobalProxy() { SetGlobalProxy("", 0); }

int ProxyEngine::SetMustTcpRegexp(const Text& pattern, int value) {
    return VARNELO_CALL(library_, SetMustTcpRegexp, contextId_, pattern.c_str(), value);
}

int ProxyEngine::CompileProxyRegexp(const Text& pattern) {
    return VARNELO_CALL(library_, CompileProxyRegexp, contextId_, pattern.c_str());
}

int ProxyEngine::SetIeProxy() { return VARNELO_CALL(library_, SetIeProxy, contextId_); }

int ProxyEngine::CancelIEProxy() { return VARNELO_CALL(library_, CancelIEProxy, contextId_); }

int ProxyEngine::OpenDrive(int mode) { return VARNELO_CALL(library_, OpenDrive, contextId_, mode); }

void ProxyEngine::UnDrive() { VARNELO_CALL(library_, UnDrive, contextId_); }

void ProxyEngine::ProcessAddName(const Text& name) {
    VARNELO_CALL(library_, ProcessAddName, contextId_, name.c_str());
}

void ProxyEngine::ProcessAddPid(int pid) { VARNELO_CALL(library_, ProcessAddPid, contextId_, pid); }

void ProxyEngine::ProcessDelPid(int pid) { VARNELO_CALL(library_, ProcessDelPid, contextId_, pid); }

void ProxyEngine::ProcessALLName(int first, int second) {
    VARNELO_CALL(library_, ProcessALLName, contextId_, first, second);
}

void ProxyEngine::ProcessDelName(const Text& name) {
    VARNELO_CALL(library_, ProcessDelName, contextId_, name.c_str());
}

void ProxyEngine::ProcessCancelAll() { VARNELO_CALL(library_, ProcessCancelAll, contextId_); }

int ProxyEngine::DisableTCP(int value) {
    return VARNELO_CALL(library_, DisableTCP, contextId_, value);
}

int ProxyEngine::DisableUDP(int value) {
    return VARNELO_CALL(library_, DisableUDP, contextId_, value);
}

int ProxyEngine::SetRandomTLS(int value) {
    return VARNELO_CALL(library_, SetRandomTLS, contextId_, value);
}

}  // namespace varnelo
