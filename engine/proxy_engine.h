// ProxyEngine: one engine context of the interception library. Each operation forwards to one
// library export with the object's context id and passes the library's result back unchanged;
// texts go to the library as zero-terminated code-page-936 strings, library texts come back copied
// and released (TakeLibraryText). Only SetCallback and InstallCert judge anything. A missing export
// answers 0, "" or does nothing (see Library).
#pragma once

#include <cstdint>

#include "engine/callbacks.h"
#include "engine/library.h"
#include "engine/library_certificate.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace varnelo {

class ProxyEngine {
  public:
    // Runs EnsureLibraryFile(boxes) (which ends the program with its message when the library file
    // cannot be provided), then takes a context from CreateSunnyNet on the program's library. The
    // context is not tested.
    explicit ProxyEngine(MessageBoxes& boxes);
    // The same on another library object (tests).
    ProxyEngine(MessageBoxes& boxes, Library& library);
    // ReleaseSunnyNet(context), nothing else.
    ~ProxyEngine();
    ProxyEngine(const ProxyEngine&) = delete;
    ProxyEngine& operator=(const ProxyEngine&) = delete;

    int GetContext() const { return contextId_; }
    Text ExportCert();
    void MustTcp(int value);
    int VerifyUser(int value);
    int Socket5AddUser(const Text& user, const Text& password);
    int Socket5DelUser(const Text& user);
    // SunnyNetGetSocket5User(value), without the context; the answer is UTF-8.
    Text GetSocket5User(int value);
    // Hands the four routines (null = none) to SunnyNetSetCallback. The routine types already fix
    // their parameter lists, so there is nothing left to check at run time.
    int SetCallback(HttpCallback http = nullptr, TcpCallback tcp = nullptr,
                    WebSocketCallback websocket = nullptr, UdpCallback udp = nullptr);
    int SetPort(int port);
    int Start();
    // CancelIEProxy (result dropped), then SunnyNetClose, whose result is returned.
    int Close();
    int SetOutRouterIP(const Text& ip);
    // The script goes to the library as UTF-8 bytes (no terminating zero); the answer is UTF-8.
    Text SetScriptCode(const Text& script);
    void SetScriptCall(int first, int second);
    // SetScriptPage(""): true unless the answer is exactly "no".
    bool HasScriptPage();
    Text SetScriptPage(const Text& page);
    int SetHTTPRequestMaxUpdateLength(std::int64_t length);
    int SetCert(const LibraryCertificate& certificate);
    // Installs the library's root certificate and judges the report (CertificateInstalled). On
    // false, *failureReport (when given) is replaced by the whole report; on true it is untouched.
    bool InstallCert(Text* failureReport = nullptr);
    // The library's last error text. When the library file could not be loaded, or lacks the
    // exports needed to start or to say why, the text says that instead.
    Text Error();
    int SetGlobalProxy(const Text& url, int value = 0);
    // SetGlobalProxy with a real empty string and 0.
    void CancelGlobalProxy();
    int SetMustTcpRegexp(const Text& pattern, int value);
    int CompileProxyRegexp(const Text& pattern);
    int SetIeProxy();
    int CancelIEProxy();
    int OpenDrive(int mode = 0);
    void UnDrive();
    void ProcessAddName(const Text& name);
    void ProcessAddPid(int pid);
    void ProcessDelPid(int pid);
    void ProcessALLName(int first, int second);
    void ProcessDelName(const Text& name);
    void ProcessCancelAll();
    int DisableTCP(int value);
    int DisableUDP(int value);
    int SetRandomTLS(int value);

  private:
    Library& library_;
    int contextId_ = 0;
};

}  // namespace varnelo
