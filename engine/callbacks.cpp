#include "engine/callbacks.h"

#include <type_traits>

#include "engine/marshalling.h"

namespace varnelo {

// The adapters are the reference shapes of the routine types: keep them in step.
static_assert(std::is_same_v<decltype(&HttpCallbackAdapter), HttpCallback>);
static_assert(std::is_same_v<decltype(&TcpCallbackAdapter), TcpCallback>);
static_assert(std::is_same_v<decltype(&WebSocketCallbackAdapter), WebSocketCallback>);

// The examples show where a handler of one's own acts: one branch for each kind the library
// reports. They act on none and answer 0.
int ExampleHttpCallback(int, int, int, int kind, const Text&, const Text&, const Text&, int) {
    switch (kind) {
        case 1:
            break;
        case 2:
            break;
        case 3:
            break;
        default:
            break;
    }
    return 0;
}

int ExampleTcpCallback(int, const Text&, const Text&, int kind, int, int, int, int, int) {
    switch (kind) {
        case 4:
            break;
        case 0:
            break;
        case 1:
            break;
        case 2:
            break;
        case 3:
            break;
        default:
            break;
    }
    return 0;
}

int ExampleWebSocketCallback(int, int, int, int kind, const Text&, const Text&, int, int) {
    switch (kind) {
        case 1:
            break;
        case 2:
            break;
        case 3:
            break;
        case 4:
            break;
        default:
            break;
    }
    return 0;
}

int HttpCallbackAdapter(int context, int connectionId, int messageId, int kind, const char* method,
                        const char* url, const char* error, int pid) {
    return AdaptHttpCallback<&ExampleHttpCallback>(context, connectionId, messageId, kind, method,
                                                   url, error, pid);
}

int TcpCallbackAdapter(int context, const char* localAddress, const char* remoteAddress, int kind,
                       int messageId, int connectionId, int pid, int length, int reserved) {
    return AdaptTcpCallback<&ExampleTcpCallback>(context, localAddress, remoteAddress, kind,
                                                 messageId, connectionId, pid, length, reserved);
}

int WebSocketCallbackAdapter(int context, int connectionId, int messageId, int kind,
                             const char* method, const char* url, int pid, int reserved) {
    return AdaptWebSocketCallback<&ExampleWebSocketCallback>(context, connectionId, messageId, kind,
                                                             method, url, pid, reserved);
}

}  // namespace varnelo
