#include "engine/connection_ops.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "engine/engine_fixture.h"

namespace varnelo {
namespace {

using Calls = std::vector<std::string>;
constexpr int kNoResult = -999999;

class ConnectionOpsTest : public RecordingLibraryTest {
  protected:
    void SetUp() override {
        RecordingLibraryTest::SetUp();
        ops.emplace(boxes);
    }
    std::optional<ConnectionOps> ops;
};

class FixedCertificate : public LibraryCertificate {
  public:
    int LibraryContext() const override { return 12; }
};

ByteSet Bytes(std::string_view text) { return ByteSet(text.begin(), text.end()); }

TEST_F(ConnectionOpsTest, ConstructionCallsNothing) { EXPECT_EQ(library.TakeCalls(), Calls{}); }

// Ids and texts go as they are, byte sets as pointer and count (the empty one with count 0, never
// as null), no engine context anywhere, and the library's result comes back unchanged.
TEST_F(ConnectionOpsTest, ForwardsEveryOperationToItsExport) {
    struct Case {
        const char* exportName;
        std::function<int(ConnectionOps&)> operation;
        const char* call;
    };
    const Case cases[] = {
        {"SetDnsServer",
         [](ConnectionOps& o) {
             o.SetDnsServer("remote");
             return kNoResult;
         },
         "SetDnsServer(\"remote\")"},
        {"GetWebsocketBodyLen", [](ConnectionOps& o) { return o.GetWebsocketBodyLen(3); },
         "GetWebsocketBodyLen(3)"},
        {"SetUdpData",
         [](ConnectionOps& o) {
             return o.SetUdpData(5, Bytes({"a\0b", 3}));
         },
         "SetUdpData(5, bytes\"a\\x00b\", 3)"},
        {"SetUdpData", [](ConnectionOps& o) { return o.SetUdpData(5, {}); },
         "SetUdpData(5, bytes\"\", 0)"},
        {"SetWebsocketBody", [](ConnectionOps& o) { return o.SetWebsocketBody(6, Bytes("hi")); },
         "SetWebsocketBody(6, bytes\"hi\", 2)"},
        {"SendWebsocketBody",
         [](ConnectionOps& o) { return o.SendWebsocketBody(1, 2, Bytes("\xff")); },
         "SendWebsocketBody(1, 2, bytes\"\\xff\", 1)"},
        {"SendWebsocketBody",
         [](ConnectionOps& o) { return o.SendWebsocketBody(0, 1, 2, Bytes("x")); },
         "SendWebsocketBody(1, 2, bytes\"x\", 1)"},
        {"SendWebsocketClientBody",
         [](ConnectionOps& o) { return o.SendWebsocketBody(-1, 1, 2, Bytes("x")); },
         "SendWebsocketClientBody(1, 2, bytes\"x\", 1)"},
        {"CloseWebsocket", [](ConnectionOps& o) { return o.CloseWebsocket(8); },
         "CloseWebsocket(8)"},
        {"SetTcpBody",
         [](ConnectionOps& o) {
             o.SetTcpBody(9, 1, {});
             return kNoResult;
         },
         "SetTcpBody(9, 1, bytes\"\", 0)"},
        {"SetTcpAgent", [](ConnectionOps& o) { return o.SetTcpAgent(4, "socks5://h:1"); },
         "SetTcpAgent(4, \"socks5://h:1\", 0)"},
        {"SetTcpAgent", [](ConnectionOps& o) { return o.SetTcpAgent(4, "", 30); },
         "SetTcpAgent(4, \"\", 30)"},
        {"RequestSetOutRouterIP",
         [](ConnectionOps& o) { return o.RequestSetOutRouterIP(2, "192.168.1.2"); },
         "RequestSetOutRouterIP(2, \"192.168.1.2\")"},
        {"TcpCloseClient", [](ConnectionOps& o) { return o.TcpCloseClient(11); },
         "TcpCloseClient(11)"},
        {"SetTcpConnectionIP",
         [](ConnectionOps& o) { return o.SetTcpConnectionIP(12, "中文"_cp936); },
         "SetTcpConnectionIP(12, \"\\xd6\\xd0\\xce\\xc4\")"},
        {"TcpSendMsg", [](ConnectionOps& o) { return o.TcpSendMsg(13, Bytes("GET")); },
         "TcpSendMsg(13, bytes\"GET\", 3)"},
        {"TcpSendMsgClient", [](ConnectionOps& o) { return o.TcpSendMsg(1, 13, Bytes("OK")); },
         "TcpSendMsgClient(13, bytes\"OK\", 2)"},
        {"UdpSendToServer", [](ConnectionOps& o) { return o.UdpSendToServer(14, Bytes("q")); },
         "UdpSendToServer(14, bytes\"q\", 1)"},
        {"UdpSendToClient", [](ConnectionOps& o) { return o.UdpSendToClient(15, {}); },
         "UdpSendToClient(15, bytes\"\", 0)"},
        {"AddHttpCertificate",
         [](ConnectionOps& o) { return o.AddHttpCertificate("a.example", FixedCertificate(), 2); },
         "AddHttpCertificate(\"a.example\", 12, 2)"},
        {"DelHttpCertificate",
         [](ConnectionOps& o) {
             o.DelHttpCertificate("a.example");
             return kNoResult;
         },
         "DelHttpCertificate(\"a.example\")"},
    };
    int result = 9;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        result = -result + (result < 0 ? 1 : -1) * 100003;  // differs each time, negative too
        library.SetResult(c.exportName, result);
        const int answer = c.operation(*ops);
        if (answer != kNoResult) {
            EXPECT_EQ(answer, result);
        }
        EXPECT_EQ(library.TakeCalls(), Calls{c.call});
    }
}

TEST_F(ConnectionOpsTest, WebsocketBodyIsCopiedForTheLengthTheLibraryGivesAndFreed) {
    struct Case {
        std::optional<std::string> body;
        int length;
        Calls calls;
        ByteSet expected;
    };
    const Case cases[] = {
        {std::string("ab\0cdef", 7),
         4,
         {"GetWebsocketBody(3)", "GetWebsocketBodyLen(3)"},
         Bytes({"ab\0c", 4})},
        {"abc", 0, {"GetWebsocketBody(3)", "GetWebsocketBodyLen(3)"}, {}},
        // A negative length copies nothing (and reads nothing outside the buffer).
        {"abc", -1, {"GetWebsocketBody(3)", "GetWebsocketBodyLen(3)"}, {}},
        {std::nullopt, 4, {"GetWebsocketBody(3)"}, {}},  // no length asked for a null body
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.calls.size());
        library.SetPointerResult("GetWebsocketBody", c.body);
        library.SetResult("GetWebsocketBodyLen", c.length);
        EXPECT_EQ(ops->GetWebsocketBody(3), c.expected);
        EXPECT_EQ(library.TakeCalls(), c.calls);
        EXPECT_EQ(library.HandedOut().size(), c.body ? 1u : 0u);
        EXPECT_TRUE(library.EveryPointerFreedOnce());
        library.Reset();
    }
}

TEST_F(ConnectionOpsTest, UdpDataIsReadThroughItsLengthFieldAndFreed) {
    const std::string threeBytes("\x03\0\0\0\0\0\0\0", 8);
    const std::string noBytes(8, '\0');
    struct Case {
        std::optional<std::string> buffer;
        Calls calls;
        ByteSet expected;
    };
    const Case cases[] = {
        {threeBytes + std::string("x\0zTAIL", 7),
         {"GetUdpData(9)", "BytesToInt(bytes\"\\x03\\x00\\x00\\x00\\x00\\x00\\x00\\x00\", 8)"},
         Bytes({"x\0z", 3})},
        {noBytes + "ignored",
         {"GetUdpData(9)", "BytesToInt(bytes\"\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\", 8)"},
         {}},
        // A length field that reads negative copies nothing.
        {std::string(8, '\xff') + "data",
         {"GetUdpData(9)", "BytesToInt(bytes\"\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\", 8)"},
         {}},
        {std::nullopt, {"GetUdpData(9)"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.calls.size());
        library.SetPointerResult("GetUdpData", c.buffer);
        EXPECT_EQ(ops->GetUdpData(9), c.expected);
        EXPECT_EQ(library.TakeCalls(), c.calls);
        EXPECT_EQ(library.HandedOut().size(), c.buffer ? 1u : 0u);
        EXPECT_TRUE(library.EveryPointerFreedOnce());
        library.Reset();
    }
}

TEST_F(ConnectionOpsTest, PointerToBytesCopiesWithoutTheLibrary) {
    const char data[] = {'a', '\0', 'c'};
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    EXPECT_EQ(ConnectionOps::PointerToBytes(address, 3), Bytes({"a\0c", 3}));
    EXPECT_EQ(ConnectionOps::PointerToBytes(address, 0), ByteSet{});
    EXPECT_EQ(ConnectionOps::PointerToBytes(address, -4), ByteSet{});
    EXPECT_EQ(ConnectionOps::PointerToBytes(0, 3), ByteSet{});
    EXPECT_EQ(library.TakeCalls(), Calls{});
    EXPECT_EQ(library.FreeCount(data), 0);
}

}  // namespace
}  // namespace varnelo
