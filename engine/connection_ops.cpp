#include "engine/connection_ops.h"

#include "engine/library_presence.h"
#include "engine/marshalling.h"

namespace varnelo {

ConnectionOps::ConnectionOps(MessageBoxes& boxes) : ConnectionOps(boxes, Library::Program()) {}

ConnectionOps::ConnectionOps(MessageBoxes& boxes, Library& library) : library_(&library) {
    EnsureLibraryFile(boxes);
}

void ConnectionOps::SetDnsServer(const Text& server) {
    // The library gets a private copy that lives exactly as long as the call.
    const Text copy = server;
    VARNELO_CALL(*library_, SetDnsServer, copy.c_str());
}

int ConnectionOps::GetWebsocketBodyLen(int id) {
    return VARNELO_CALL(*library_, GetWebsocketBodyLen, id);
}

ByteSet ConnectionOps::GetWebsocketBody(int id) {
    void* body = VARNELO_CALL(*library_, GetWebsocketBody, id);
    if (body == nullptr) return {};
    return TakeLibraryBytes(*library_, body, GetWebsocketBodyLen(id));
}

ByteSet ConnectionOps::GetUdpData(int id) {
    return TakeUdpBuffer(*library_, VARNELO_CALL(*library_, GetUdpData, id));
}

int ConnectionOps::SetUdpData(int id, const ByteSet& data) {
    return VARNELO_CALL(*library_, SetUdpData, id, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::SetWebsocketBody(int id, const ByteSet& data) {
    return VARNELO_CALL(*library_, SetWebsocketBody, id, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::SendWebsocketBody(int client, int first, int second, const ByteSet& data) {
    if (client == 0) {
        return VARNELO_CALL(*library_, SendWebsocketBody, first, second, BytesPointer(data),
                            BytesCount(data));
    }
    return VARNELO_CALL(*library_, SendWebsocketClientBody, first, second, BytesPointer(data),
                        BytesCount(data));
}

int ConnectionOps::CloseWebsocket(int id) { return VARNELO_CALL(*library_, CloseWebsocket, id); }

void ConnectionOps::SetTcpBody(int first, int second, const ByteSet& data) {
    VARNELO_CALL(*library_, SetTcpBody, first, second, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::SetTcpAgent(int id, const Text& proxy, int value) {
    return VARNELO_CALL(*library_, SetTcpAgent, id, proxy.c_str(), value);
}

int ConnectionOps::RequestSetOutRouterIP(int id, const Text& ip) {
    return VARNELO_CALL(*library_, RequestSetOutRouterIP, id, ip.c_str());
}

int ConnectionOps::TcpCloseClient(int id) { return VARNELO_CALL(*library_, TcpCloseClient, id); }

ByteSet ConnectionOps::PointerToBytes(std::uintptr_t address, int count) {
    if (address == 0 || count <= 0) return {};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(address);
    return ByteSet(bytes, bytes + count);
}

int ConnectionOps::SetTcpConnectionIP(int id, const Text& ip) {
    return VARNELO_CALL(*library_, SetTcpConnectionIP, id, ip.c_str());
}

int ConnectionOps::TcpSendMsg(int client, int id, const ByteSet& data) {
    if (client == 0)
        return VARNELO_CALL(*library_, TcpSendMsg, id, BytesPointer(data), BytesCount(data));
    return VARNELO_CALL(*library_, TcpSendMsgClient, id, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::UdpSendToServer(int id, const ByteSet& data) {
    return VARNELO_CALL(*library_, UdpSendToServer, id, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::UdpSendToClient(int id, const ByteSet& data) {
    return VARNELO_CALL(*library_, UdpSendToClient, id, BytesPointer(data), BytesCount(data));
}

int ConnectionOps::AddHttpCertificate(const Text& host, const LibraryCertificate& certificate,
                                      int value) {
    return VARNELO_CALL(*library_, AddHttpCertificate, host.c_str(), certificate.LibraryContext(),
                        value);
}

void ConnectionOps::DelHttpCertificate(const Text& host) {
    VARNELO_CALL(*library_, DelHttpCertificate, host.c_str());
}

}  // namespace varnelo
