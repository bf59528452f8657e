#include "engine/proxy_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "engine/engine_fixture.h"

namespace varnelo {
namespace {

using Calls = std::vector<std::string>;
constexpr int kNoResult = -999999;

class ProxyEngineTest : public RecordingLibraryTest {};

class FixedCertificate : public LibraryCertificate {
  public:
    int LibraryContext() const override { return 33; }
};

TEST_F(ProxyEngineTest, TakesItsContextAtConstructionAndReleasesItAtDestruction) {
    {
        ProxyEngine engine(boxes);
        EXPECT_EQ(engine.GetContext(), kContext);
        EXPECT_EQ(library.TakeCalls(), Calls{"CreateSunnyNet()"});
    }
    EXPECT_EQ(library.TakeCalls(), Calls{"ReleaseSunnyNet(7)"});
}

// Each forwarder calls exactly its export with the context and its arguments as the library takes
// them, and hands back the library's result unchanged.
TEST_F(ProxyEngineTest, ForwardsEveryIntegerOperationToItsExport) {
    struct Case {
        const char* exportName;
        std::function<int(ProxyEngine&)> operation;
        const char* call;
    };
    const Case cases[] = {
        {"SunnyNetMustTcp",
         [](ProxyEngine& e) {
             e.MustTcp(-3);
             return kNoResult;
         },
         "SunnyNetMustTcp(7, -3)"},
        {"SunnyNetVerifyUser", [](ProxyEngine& e) { return e.VerifyUser(1); },
         "SunnyNetVerifyUser(7, 1)"},
        {"SunnyNetSocket5AddUser",
         [](ProxyEngine& e) { return e.Socket5AddUser("用户"_cp936, "p\"w"); },
         "SunnyNetSocket5AddUser(7, \"\\xd3\\xc3\\xbb\\xa7\", \"p\\x22w\")"},
        {"SunnyNetSocket5DelUser", [](ProxyEngine& e) { return e.Socket5DelUser(""); },
         "SunnyNetSocket5DelUser(7, \"\")"},
        {"SunnyNetSetCallback", [](ProxyEngine& e) { return e.SetCallback(); },
         "SunnyNetSetCallback(7, 0, 0, 0, 0)"},
        {"SunnyNetSetPort", [](ProxyEngine& e) { return e.SetPort(65535); },
         "SunnyNetSetPort(7, 65535)"},
        {"SunnyNetStart", [](ProxyEngine& e) { return e.Start(); }, "SunnyNetStart(7)"},
        {"SetOutRouterIP", [](ProxyEngine& e) { return e.SetOutRouterIP("10.0.0.1"); },
         "SetOutRouterIP(7, \"10.0.0.1\")"},
        {"SetScriptCall",
         [](ProxyEngine& e) {
             e.SetScriptCall(2, -1);
             return kNoResult;
         },
         "SetScriptCall(7, 2, -1)"},
        {"SetHTTPRequestMaxUpdateLength",
         [](ProxyEngine& e) { return e.SetHTTPRequestMaxUpdateLength(0x123456789LL); },
         "SetHTTPRequestMaxUpdateLength(7, 591751049, 1)"},
        {"SetHTTPRequestMaxUpdateLength",
         [](ProxyEngine& e) { return e.SetHTTPRequestMaxUpdateLength(-2); },
         "SetHTTPRequestMaxUpdateLength(7, 4294967294, 4294967295)"},
        {"SunnyNetSetCert", [](ProxyEngine& e) { return e.SetCert(FixedCertificate()); },
         "SunnyNetSetCert(7, 33)"},
        {"SetGlobalProxy",
         [](ProxyEngine& e) { return e.SetGlobalProxy("socks5://u:p@1.2.3.4:1080/"); },
         "SetGlobalProxy(7, \"socks5://u:p@1.2.3.4:1080/\", 0)"},
        {"SetGlobalProxy", [](ProxyEngine& e) { return e.SetGlobalProxy("x", 5); },
         "SetGlobalProxy(7, \"x\", 5)"},
        {"SetGlobalProxy",
         [](ProxyEngine& e) {
             e.CancelGlobalProxy();
             return kNoResult;
         },
         "SetGlobalProxy(7, \"\", 0)"},
        {"SetMustTcpRegexp", [](ProxyEngine& e) { return e.SetMustTcpRegexp("^a.*$", 1); },
         "SetMustTcpRegexp(7, \"^a.*$\", 1)"},
        {"CompileProxyRegexp", [](ProxyEngine& e) { return e.CompileProxyRegexp("中文"_cp936); },
         "CompileProxyRegexp(7, \"\\xd6\\xd0\\xce\\xc4\")"},
        {"SetIeProxy", [](ProxyEngine& e) { return e.SetIeProxy(); }, "SetIeProxy(7)"},
        {"CancelIEProxy", [](ProxyEngine& e) { return e.CancelIEProxy(); }, "CancelIEProxy(7)"},
        {"OpenDrive", [](ProxyEngine& e) { return e.OpenDrive(); }, "OpenDrive(7, 0)"},
        {"OpenDrive", [](ProxyEngine& e) { return e.OpenDrive(2); }, "OpenDrive(7, 2)"},
        {"UnDrive",
         [](ProxyEngine& e) {
             e.UnDrive();
             return kNoResult;
         },
         "UnDrive(7)"},
        {"ProcessAddName",
         [](ProxyEngine& e) {
             e.ProcessAddName("微信.exe"_cp936);
             return kNoResult;
         },
         "ProcessAddName(7, \"\\xce\\xa2\\xd0\\xc5.exe\")"},
        {"ProcessAddPid",
         [](ProxyEngine& e) {
             e.ProcessAddPid(4242);
             return kNoResult;
         },
         "ProcessAddPid(7, 4242)"},
        {"ProcessDelPid",
         [](ProxyEngine& e) {
             e.ProcessDelPid(4243);
             return kNoResult;
         },
         "ProcessDelPid(7, 4243)"},
        {"ProcessALLName",
         [](ProxyEngine& e) {
             e.ProcessALLName(1, 0);
             return kNoResult;
         },
         "ProcessALLName(7, 1, 0)"},
        {"ProcessDelName",
         [](ProxyEngine& e) {
             e.ProcessDelName("curl");
             return kNoResult;
         },
         "ProcessDelName(7, \"curl\")"},
        {"ProcessCancelAll",
         [](ProxyEngine& e) {
             e.ProcessCancelAll();
             return kNoResult;
         },
         "ProcessCancelAll(7)"},
        {"DisableTCP", [](ProxyEngine& e) { return e.DisableTCP(1); }, "DisableTCP(7, 1)"},
        {"DisableUDP", [](ProxyEngine& e) { return e.DisableUDP(0); }, "DisableUDP(7, 0)"},
        {"SetRandomTLS", [](ProxyEngine& e) { return e.SetRandomTLS(1); }, "SetRandomTLS(7, 1)"},
    };
    ProxyEngine engine(boxes);
    library.TakeCalls();
    int result = -5;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        result = -result + (result < 0 ? 1 : -1) * 100003;  // differs each time, negative too
        library.SetResult(c.exportName, result);
        const int answer = c.operation(engine);
        if (answer != kNoResult) {
            EXPECT_EQ(answer, result);
        }
        EXPECT_EQ(library.TakeCalls(), Calls{c.call});
    }
}

TEST_F(ProxyEngineTest, PassesCallbackRoutinesOnUnchanged) {
    ProxyEngine engine(boxes);
    library.TakeCalls();
    const UdpCallback udp = [](int, int, int, const char*, const char*) { return 0; };
    engine.SetCallback(&HttpCallbackAdapter, &TcpCallbackAdapter, &WebSocketCallbackAdapter, udp);
    engine.SetCallback(nullptr, nullptr, &WebSocketCallbackAdapter);
    using testing::PointerText;
    EXPECT_EQ(
        library.TakeCalls(),
        (Calls{"SunnyNetSetCallback(7, " + PointerText(&HttpCallbackAdapter) + ", " +
                   PointerText(&TcpCallbackAdapter) + ", " +
                   PointerText(&WebSocketCallbackAdapter) + ", " + PointerText(udp) + ")",
               "SunnyNetSetCallback(7, 0, 0, " + PointerText(&WebSocketCallbackAdapter) + ", 0)"}));
}

TEST_F(ProxyEngineTest, CloseCancelsTheSystemProxyFirstAndAnswersTheCloseResult) {
    ProxyEngine engine(boxes);
    library.TakeCalls();
    library.SetResult("CancelIEProxy", 0);
    library.SetResult("SunnyNetClose", 17);
    EXPECT_EQ(engine.Close(), 17);
    EXPECT_EQ(library.TakeCalls(), (Calls{"CancelIEProxy(7)", "SunnyNetClose(7)"}));
}

// Library texts come back byte for byte where no conversion is due, and from UTF-8 where it is;
// every string handed out is freed exactly once, a null one never.
TEST_F(ProxyEngineTest, TakesLibraryTextsWithTheirConversionAndFreesThem) {
    const std::string utf8Chinese = "\xe4\xb8\xad\xe6\x96\x87";  // 中文 in UTF-8
    const std::string smiley = "\xf0\x9f\x98\x80";               // not in code page 936
    struct Case {
        const char* exportName;
        std::optional<std::string> answer;
        std::function<Text(ProxyEngine&)> operation;
        const char* call;
        Text expected;
    };
    const Case cases[] = {
        {"ExportCert", utf8Chinese, [](ProxyEngine& e) { return e.ExportCert(); }, "ExportCert(7)",
         utf8Chinese},
        {"ExportCert", std::nullopt, [](ProxyEngine& e) { return e.ExportCert(); }, "ExportCert(7)",
         ""},
        {"SunnyNetError", "listen tcp :80: bind: address already in use",
         [](ProxyEngine& e) { return e.Error(); }, "SunnyNetError(7)",
         "listen tcp :80: bind: address already in use"},
        {"SunnyNetError", utf8Chinese, [](ProxyEngine& e) { return e.Error(); }, "SunnyNetError(7)",
         utf8Chinese},
        {"SetScriptPage", utf8Chinese, [](ProxyEngine& e) { return e.SetScriptPage("页"_cp936); },
         "SetScriptPage(7, \"\\xd2\\xb3\")", utf8Chinese},
        {"SunnyNetGetSocket5User", utf8Chinese + smiley + "x",
         [](ProxyEngine& e) { return e.GetSocket5User(5); }, "SunnyNetGetSocket5User(5)",
         "中文?x"_cp936},
        {"SunnyNetGetSocket5User", std::nullopt,
         [](ProxyEngine& e) { return e.GetSocket5User(-1); }, "SunnyNetGetSocket5User(-1)", ""},
        {"SetScriptCode", utf8Chinese + "!",
         [](ProxyEngine& e) { return e.SetScriptCode("脚本"_cp936); },
         "SetScriptCode(7, bytes\"\\xe8\\x84\\x9a\\xe6\\x9c\\xac\", 6)", "中文!"_cp936},
        {"SetScriptCode", std::nullopt, [](ProxyEngine& e) { return e.SetScriptCode(""); },
         "SetScriptCode(7, bytes\"\", 0)", ""},
    };
    ProxyEngine engine(boxes);
    library.TakeCalls();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        library.SetPointerResult(c.exportName, c.answer);
        EXPECT_EQ(c.operation(engine), c.expected);
        EXPECT_EQ(library.TakeCalls(), Calls{c.call});
        EXPECT_EQ(library.HandedOut().size(), c.answer ? 1u : 0u);
        EXPECT_TRUE(library.EveryPointerFreedOnce());
        library.Reset();
    }
}

TEST_F(ProxyEngineTest, HasScriptPageIsFalseOnlyForExactlyNo) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {"no", false}, {"No", true}, {"NO", true},         {"no ", true},
        {"yes", true}, {"", true},   {std::nullopt, true},
    };
    ProxyEngine engine(boxes);
    library.TakeCalls();
    for (const auto& [answer, expected] : cases) {
        SCOPED_TRACE(answer.value_or("<null>"));
        library.SetPointerResult("SetScriptPage", answer);
        EXPECT_EQ(engine.HasScriptPage(), expected);
        EXPECT_EQ(library.TakeCalls(), Calls{"SetScriptPage(7, \"\")"});
        EXPECT_TRUE(library.EveryPointerFreedOnce());
    }
}

TEST_F(ProxyEngineTest, InstallCertJudgesTheReportAndHandsBackOnlyAFailedOne) {
    const Text added = "证书已添加到存储。\r\nCertUtil: -addstore 命令成功完成。"_cp936;
    const Text failed = "CertUtil: -addstore command FAILED: 0x80070005 (Access is denied.)";
    struct Case {
        std::optional<std::string> report;
        bool installed;
        Text failureReport;
    };
    const Case cases[] = {
        {added, true, "old"},
        {"Root \"Trusted Root\"\nCertificate already in store.\n", true, "old"},
        {failed, false, failed},
        {"", false, ""},
        {std::nullopt, false, ""},
    };
    ProxyEngine engine(boxes);
    library.TakeCalls();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report.value_or("<null>"));
        library.SetPointerResult("SunnyNetInstallCert", c.report);
        Text report = "old";
        EXPECT_EQ(engine.InstallCert(&report), c.installed);
        EXPECT_EQ(report, c.failureReport);
        EXPECT_EQ(engine.InstallCert(), c.installed);
        EXPECT_EQ(library.TakeCalls(), (Calls{"SunnyNetInstallCert(7)", "SunnyNetInstallCert(7)"}));
        EXPECT_TRUE(library.EveryPointerFreedOnce());
    }
}

}  // namespace
}  // namespace varnelo
