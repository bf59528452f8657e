// Callbacks that the interception library may call: the routine types that SetCallback takes,
// three adapters that turn the library's raw call into a call of a handler with program texts, and
// the three example handlers behind them.
//
// The routines are typed function pointers of the library's parameter lists, so a routine of the
// wrong shape cannot be handed to SetCallback at all: the compiler rejects it. No check at run time
// is needed, and none can fail.
#pragma once

#include "engine/library_exports.h"
#include "engine/marshalling.h"
#include "platform/text.h"

namespace varnelo {

using HttpCallback = sunny::HttpCallback;
using TcpCallback = sunny::TcpCallback;
using WebSocketCallback = sunny::WebSocketCallback;
using UdpCallback = sunny::UdpCallback;

// Example handlers: one branch per kind (the 4th parameter), each doing nothing; they answer 0.
// HTTP kinds 1, 2, 3; TCP kinds 4, 0, 1, 2, 3; WebSocket kinds 1, 2, 3, 4.
int ExampleHttpCallback(int context, int connectionId, int messageId, int kind, const Text& method,
                        const Text& url, const Text& error, int pid);
int ExampleTcpCallback(int context, const Text& localAddress, const Text& remoteAddress, int kind,
                       int messageId, int connectionId, int pid, int length, int reserved);
int ExampleWebSocketCallback(int context, int connectionId, int messageId, int kind,
                             const Text& method, const Text& url, int pid, int reserved);

// Adapters with exactly the library's parameter lists: each copies its string parameters
// (CopyLibraryString; null gives ""), calls its handler with the integers unchanged and the texts
// in the order received, and answers the handler's result. They keep no state; the texts live
// until the handler returns.
template <auto Handler>
int AdaptHttpCallback(int context, int connectionId, int messageId, int kind, const char* method,
                      const char* url, const char* error, int pid) {
    return Handler(context, connectionId, messageId, kind, CopyLibraryString(method),
                   CopyLibraryString(url), CopyLibraryString(error), pid);
}
template <auto Handler>
int AdaptTcpCallback(int context, const char* localAddress, const char* remoteAddress, int kind,
                     int messageId, int connectionId, int pid, int length, int reserved) {
    return Handler(context, CopyLibraryString(localAddress), CopyLibraryString(remoteAddress), kind,
                   messageId, connectionId, pid, length, reserved);
}
template <auto Handler>
int AdaptWebSocketCallback(int context, int connectionId, int messageId, int kind,
                           const char* method, const char* url, int pid, int reserved) {
    return Handler(context, connectionId, messageId, kind, CopyLibraryString(method),
                   CopyLibraryString(url), pid, reserved);
}

// The adapters of the example handlers.
int HttpCallbackAdapter(int context, int connectionId, int messageId, int kind, const char* method,
                        const char* url, const char* error, int pid);
int TcpCallbackAdapter(int context, const char* localAddress, const char* remoteAddress, int kind,
                       int messageId, int connectionId, int pid, int length, int reserved);
int WebSocketCallbackAdapter(int context, int connectionId, int messageId, int kind,
                             const char* method, const char* url, int pid, int reserved);

}  // namespace varnelo
