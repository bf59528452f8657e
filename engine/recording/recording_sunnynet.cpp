// A stand-in of SunnyNet.dll for tests: every export records its call and answers what the test
// scripted (see engine/testing/recording_control.h).
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "engine/library_exports.h"
#include "engine/testing/recording_control.h"

namespace {

using varnelo::testing::EscapedBytes;
using varnelo::testing::PointerText;
using varnelo::testing::RecordingState;

RecordingState& State() {
    static RecordingState state;
    return state;
}

// Builds one recorded line: name(argument, argument, ...).
class Line {
  public:
    explicit Line(const char* name) : text_(std::string(name) + "(") {}
    Line& Int(long long value) { return Add(std::to_string(value)); }
    Line& Str(const char* text) {
        return Add(text == nullptr ? "null" : "\"" + EscapedBytes(text, std::strlen(text)) + "\"");
    }
    Line& Bytes(const void* data, int count) {
        if (data == nullptr) return Add("null");
        return Add("bytes\"" + EscapedBytes(data, count > 0 ? count : 0) + "\"");
    }
    template <typename Function>
    Line& Fn(Function* function) {
        return Add(PointerText(function));
    }
    void Record() { State().Record(text_ + ")"); }

  private:
    Line& Add(const std::string& argument) {
        if (!first_) text_ += ", ";
        first_ = false;
        text_ += argument;
        return *this;
    }
    std::string text_;
    bool first_ = true;
};

int Answer(const char* name) { return State().Result(name); }

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT RecordingState* VarneloRecordingState() { return &State(); }

using varnelo::sunny::HttpCallback;
using varnelo::sunny::TcpCallback;
using varnelo::sunny::UdpCallback;
using varnelo::sunny::WebSocketCallback;

// (ctx) -> int
#define CTX_INT(name)                        \
    EXPORT int name(int contextId) {         \
        Line(#name).Int(contextId).Record(); \
        return Answer(#name);                \
    }
// (ctx) -> nothing
#define CTX_VOID(name) \
    EXPORT void name(int contextId) { Line(#name).Int(contextId).Record(); }
// (int, int) -> int
#define INT_INT_INT(name)                            \
    EXPORT int name(int first, int second) {         \
        Line(#name).Int(first).Int(second).Record(); \
        return Answer(#name);                        \
    }
// (int, int) -> nothing
#define INT_INT_VOID(name) \
    EXPORT void name(int first, int second) { Line(#name).Int(first).Int(second).Record(); }
// (int, int, int) -> nothing
#define INT3_VOID(name)                                             \
    EXPORT void name(int contextId, int first, int second) {        \
        Line(#name).Int(contextId).Int(first).Int(second).Record(); \
    }
// (int, text) -> int
#define INT_TEXT_INT(name)                         \
    EXPORT int name(int first, const char* text) { \
        Line(#name).Int(first).Str(text).Record(); \
        return Answer(#name);                      \
    }
// (int, text) -> nothing
#define INT_TEXT_VOID(name) \
    EXPORT void name(int first, const char* text) { Line(#name).Int(first).Str(text).Record(); }
// (int, text, int) -> int
#define INT_TEXT_INT_INT(name)                                \
    EXPORT int name(int first, const char* text, int value) { \
        Line(#name).Int(first).Str(text).Int(value).Record(); \
        return Answer(#name);                                 \
    }
// (ctx) -> library string
#define CTX_PTR(name)                        \
    EXPORT char* name(int contextId) {       \
        Line(#name).Int(contextId).Record(); \
        return State().HandOut(#name);       \
    }
// (id, data, len) -> int
#define ID_DATA_INT(name)                                             \
    EXPORT int name(int id, const void* data, int length) {           \
        Line(#name).Int(id).Bytes(data, length).Int(length).Record(); \
        return Answer(#name);                                         \
    }
// (int, int, data, len) -> int
#define INT2_DATA_INT(name)                                                          \
    EXPORT int name(int first, int second, const void* data, int length) {           \
        Line(#name).Int(first).Int(second).Bytes(data, length).Int(length).Record(); \
        return Answer(#name);                                                        \
    }
// (id) -> int
#define ID_INT(name) CTX_INT(name)

EXPORT int CreateSunnyNet() {
    Line("CreateSunnyNet").Record();
    return Answer("CreateSunnyNet");
}
INT_INT_INT(SunnyNetSetPort)
EXPORT int SunnyNetSetCallback(int contextId, HttpCallback http, TcpCallback tcp,
                               WebSocketCallback websocket, UdpCallback udp) {
    Line("SunnyNetSetCallback").Int(contextId).Fn(http).Fn(tcp).Fn(websocket).Fn(udp).Record();
    return Answer("SunnyNetSetCallback");
}
EXPORT void SetDnsServer(const char* server) { Line("SetDnsServer").Str(server).Record(); }
CTX_INT(SunnyNetStart)
CTX_PTR(SunnyNetError)
INT_INT_INT(OpenDrive)
CTX_PTR(SunnyNetInstallCert)
INT_TEXT_INT_INT(SetGlobalProxy)
INT_INT_VOID(ProcessAddPid)
CTX_VOID(ProcessCancelAll)
CTX_VOID(ReleaseSunnyNet)
CTX_INT(SunnyNetClose)
CTX_INT(SetIeProxy)
CTX_INT(CancelIEProxy)
CTX_VOID(UnDrive)
INT_INT_INT(SunnyNetVerifyUser)
INT_INT_INT(DisableTCP)
INT_INT_INT(DisableUDP)
INT_INT_INT(SetRandomTLS)
INT_INT_INT(SunnyNetSetCert)
INT_INT_VOID(SunnyNetMustTcp)
INT_INT_VOID(ProcessDelPid)
INT_TEXT_INT(SetOutRouterIP)
INT_TEXT_INT(CompileProxyRegexp)
INT_TEXT_INT(SunnyNetSocket5DelUser)
INT_TEXT_VOID(ProcessAddName)
INT_TEXT_VOID(ProcessDelName)
INT_TEXT_INT_INT(SetMustTcpRegexp)
EXPORT int SunnyNetSocket5AddUser(int contextId, const char* user, const char* password) {
    Line("SunnyNetSocket5AddUser").Int(contextId).Str(user).Str(password).Record();
    return Answer("SunnyNetSocket5AddUser");
}
INT3_VOID(SetScriptCall)
INT3_VOID(ProcessALLName)
EXPORT int SetHTTPRequestMaxUpdateLength(int contextId, std::uint32_t lowWord,
                                         std::uint32_t highWord) {
    Line("SetHTTPRequestMaxUpdateLength").Int(contextId).Int(lowWord).Int(highWord).Record();
    return Answer("SetHTTPRequestMaxUpdateLength");
}
CTX_PTR(ExportCert)
EXPORT char* SetScriptPage(int contextId, const char* page) {
    Line("SetScriptPage").Int(contextId).Str(page).Record();
    return State().HandOut("SetScriptPage");
}
EXPORT char* SetScriptCode(int contextId, const void* utf8Script, int length) {
    Line("SetScriptCode").Int(contextId).Bytes(utf8Script, length).Int(length).Record();
    return State().HandOut("SetScriptCode");
}
CTX_PTR(SunnyNetGetSocket5User)
ID_INT(GetWebsocketBodyLen)
EXPORT void* GetWebsocketBody(int id) {
    Line("GetWebsocketBody").Int(id).Record();
    return State().HandOut("GetWebsocketBody");
}
EXPORT void* GetUdpData(int id) {
    Line("GetUdpData").Int(id).Record();
    return State().HandOut("GetUdpData");
}
ID_DATA_INT(SetUdpData)
ID_DATA_INT(SetWebsocketBody)
ID_DATA_INT(TcpSendMsg)
ID_DATA_INT(TcpSendMsgClient)
ID_DATA_INT(UdpSendToServer)
ID_DATA_INT(UdpSendToClient)
INT2_DATA_INT(SendWebsocketBody)
INT2_DATA_INT(SendWebsocketClientBody)
EXPORT void SetTcpBody(int first, int second, const void* data, int length) {
    Line("SetTcpBody").Int(first).Int(second).Bytes(data, length).Int(length).Record();
}
ID_INT(CloseWebsocket)
ID_INT(TcpCloseClient)
INT_TEXT_INT(RequestSetOutRouterIP)
INT_TEXT_INT(SetTcpConnectionIP)
INT_TEXT_INT_INT(SetTcpAgent)
EXPORT int AddHttpCertificate(const char* host, int certificateContext, int value) {
    Line("AddHttpCertificate").Str(host).Int(certificateContext).Int(value).Record();
    return Answer("AddHttpCertificate");
}
EXPORT void DelHttpCertificate(const char* host) { Line("DelHttpCertificate").Str(host).Record(); }
EXPORT void Free(void* pointer) { State().CountFree(pointer); }
EXPORT int BytesToInt(const void* bytes, int length) {
    Line("BytesToInt").Bytes(bytes, length).Int(length).Record();
    std::uint64_t value = 0;
    const auto* data = static_cast<const unsigned char*>(bytes);
    for (int i = 0; i < length && i < 8; ++i) value |= std::uint64_t{data[i]} << (8 * i);
    return static_cast<int>(static_cast<std::uint32_t>(value));
}

// Each definition above must have exactly the type the program calls it through.
#define CHECK_EXPORT_TYPE(name, type) \
    static_assert(std::is_same_v<decltype(name), type>, #name " differs from the program's type");
VARNELO_SUNNYNET_EXPORTS(CHECK_EXPORT_TYPE)
