// The exported functions of the interception library SunnyNet.dll, as this program calls them.
// Every export has C linkage. Integers are 32-bit; texts are zero-terminated code-page-936 strings
// (UTF-8 where noted) that are valid only during the call; byte blocks go as a pointer to the first
// byte and a count. A returned char* or void* is allocated by the library: the caller copies it and
// hands it back with Free; null means "nothing" and is never handed back. A 64-bit value goes as
// two 32-bit words, low word first. This header has no dependencies, so the library itself can use
// it to keep its definitions in line with these types.
#pragma once

#include <cstdint>

namespace varnelo::sunny {

// Callback routines that SunnyNetSetCallback takes. The kind of call is the 4th parameter of each.
// HTTP: 4 integers, 3 strings, 1 integer.
using HttpCallback = int (*)(int, int, int, int, const char*, const char*, const char*, int);
// TCP: 1 integer, 2 strings, 6 integers.
using TcpCallback = int (*)(int, const char*, const char*, int, int, int, int, int, int);
// WebSocket: 4 integers, 2 strings, 2 integers.
using WebSocketCallback = int (*)(int, int, int, int, const char*, const char*, int, int);
// UDP: context, kind, message id, then the remote and local address texts.
using UdpCallback = int (*)(int, int, int, const char*, const char*);

}  // namespace varnelo::sunny

// X(name, function type), one line per export, in the order of the library's interface list.
#define VARNELO_SUNNYNET_EXPORTS(X)                                                              \
    X(CreateSunnyNet, int())                                                                     \
    X(SunnyNetSetPort, int(int contextId, int port))                                             \
    X(SunnyNetSetCallback,                                                                       \
      int(int contextId, ::varnelo::sunny::HttpCallback http, ::varnelo::sunny::TcpCallback tcp, \
          ::varnelo::sunny::WebSocketCallback websocket, ::varnelo::sunny::UdpCallback udp))     \
    X(SetDnsServer, void(const char* server))                                                    \
    X(SunnyNetStart, int(int contextId))                                                         \
    X(SunnyNetError, char*(int contextId))                                                       \
    X(OpenDrive, int(int contextId, int mode))                                                   \
    X(SunnyNetInstallCert, char*(int contextId))                                                 \
    X(SetGlobalProxy, int(int contextId, const char* url, int value))                            \
    X(ProcessAddPid, void(int contextId, int pid))                                               \
    X(ProcessCancelAll, void(int contextId))                                                     \
    X(ReleaseSunnyNet, void(int contextId))                                                      \
    X(SunnyNetClose, int(int contextId))                                                         \
    X(SetIeProxy, int(int contextId))                                                            \
    X(CancelIEProxy, int(int contextId))                                                         \
    X(UnDrive, void(int contextId))                                                              \
    X(SunnyNetVerifyUser, int(int contextId, int value))                                         \
    X(DisableTCP, int(int contextId, int value))                                                 \
    X(DisableUDP, int(int contextId, int value))                                                 \
    X(SetRandomTLS, int(int contextId, int value))                                               \
    X(SunnyNetSetCert, int(int contextId, int certificateContext))                               \
    X(SunnyNetMustTcp, void(int contextId, int value))                                           \
    X(ProcessDelPid, void(int contextId, int pid))                                               \
    X(SetOutRouterIP, int(int contextId, const char* ip))                                        \
    X(CompileProxyRegexp, int(int contextId, const char* pattern))                               \
    X(SunnyNetSocket5DelUser, int(int contextId, const char* user))                              \
    X(ProcessAddName, void(int contextId, const char* name))                                     \
    X(ProcessDelName, void(int contextId, const char* name))                                     \
    X(SetMustTcpRegexp, int(int contextId, const char* pattern, int value))                      \
    X(SunnyNetSocket5AddUser, int(int contextId, const char* user, const char* password))        \
    X(SetScriptCall, void(int contextId, int first, int second))                                 \
    X(ProcessALLName, void(int contextId, int first, int second))                                \
    X(SetHTTPRequestMaxUpdateLength,                                                             \
      int(int contextId, std::uint32_t lowWord, std::uint32_t highWord))                         \
    X(ExportCert, char*(int contextId))                                                          \
    X(SetScriptPage, char*(int contextId, const char* page))                                     \
    X(SetScriptCode, char*(int contextId, const void* utf8Script, int length))                   \
    X(SunnyNetGetSocket5User, char*(int value))                                                  \
    X(GetWebsocketBodyLen, int(int messageId))                                                   \
    X(GetWebsocketBody, void*(int messageId))                                                    \
    X(GetUdpData, void*(int messageId))                                                          \
    X(SetUdpData, int(int messageId, const void* data, int length))                              \
    X(SetWebsocketBody, int(int messageId, const void* data, int length))                        \
    X(TcpSendMsg, int(int messageId, const void* data, int length))                              \
    X(TcpSendMsgClient, int(int messageId, const void* data, int length))                        \
    X(UdpSendToServer, int(int messageId, const void* data, int length))                         \
    X(UdpSendToClient, int(int messageId, const void* data, int length))                         \
    X(SendWebsocketBody, int(int first, int second, const void* data, int length))               \
    X(SendWebsocketClientBody, int(int first, int second, const void* data, int length))         \
    X(SetTcpBody, void(int first, int second, const void* data, int length))                     \
    X(CloseWebsocket, int(int messageId))                                                        \
    X(TcpCloseClient, int(int messageId))                                                        \
    X(RequestSetOutRouterIP, int(int messageId, const char* ip))                                 \
    X(SetTcpConnectionIP, int(int messageId, const char* ip))                                    \
    X(SetTcpAgent, int(int messageId, const char* proxy, int value))                             \
    X(AddHttpCertificate, int(const char* host, int certificateContext, int value))              \
    X(DelHttpCertificate, void(const char* host))                                                \
    X(Free, void(void* pointer))                                                                 \
    X(BytesToInt, int(const void* bytes, int length))
