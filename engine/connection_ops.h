// ConnectionOps: the library's operations on single messages and connections (named by the
// library's integer ids) and two library-wide settings. None uses an engine context. Results pass
// back unchanged; byte sets go as pointer and count (an empty set as a valid pointer and 0);
// buffers the library returns are copied and released with Free (null: the empty set, no Free). A
// missing export answers 0, the empty set or does nothing (see Library).
#pragma once

#include <cstdint>

#include "engine/library.h"
#include "engine/library_certificate.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace varnelo {

class ConnectionOps {
  public:
    // Runs EnsureLibraryFile(boxes) and nothing else; works on the program's library.
    explicit ConnectionOps(MessageBoxes& boxes);
    // The same on another library object (tests).
    ConnectionOps(MessageBoxes& boxes, Library& library);

    void SetDnsServer(const Text& server);
    int GetWebsocketBodyLen(int id);
    // Asks for the length only once the body pointer came back non-null.
    ByteSet GetWebsocketBody(int id);
    ByteSet GetUdpData(int id);
    int SetUdpData(int id, const ByteSet& data);
    int SetWebsocketBody(int id, const ByteSet& data);
    // client 0: SendWebsocketBody; otherwise SendWebsocketClientBody. Without client: 0.
    int SendWebsocketBody(int client, int first, int second, const ByteSet& data);
    int SendWebsocketBody(int first, int second, const ByteSet& data) {
        return SendWebsocketBody(0, first, second, data);
    }
    int CloseWebsocket(int id);
    void SetTcpBody(int first, int second, const ByteSet& data);
    int SetTcpAgent(int id, const Text& proxy, int value = 0);
    int RequestSetOutRouterIP(int id, const Text& ip);
    int TcpCloseClient(int id);
    // Copies count bytes from an address in this process; no library call, nothing released. A
    // null address or a count of 0 or less gives the empty set.
    static ByteSet PointerToBytes(std::uintptr_t address, int count);
    int SetTcpConnectionIP(int id, const Text& ip);
    // client 0: TcpSendMsg; otherwise TcpSendMsgClient. Without client: 0.
    int TcpSendMsg(int client, int id, const ByteSet& data);
    int TcpSendMsg(int id, const ByteSet& data) { return TcpSendMsg(0, id, data); }
    int UdpSendToServer(int id, const ByteSet& data);
    int UdpSendToClient(int id, const ByteSet& data);
    int AddHttpCertificate(const Text& host, const LibraryCertificate& certificate, int value);
    void DelHttpCertificate(const Text& host);

  private:
    Library* library_;
};

}  // namespace varnelo
