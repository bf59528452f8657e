#include "engine/library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "engine/connection_ops.h"
#include "engine/engine_fixture.h"
#include "engine/proxy_engine.h"

namespace varnelo {
namespace {

namespace fs = std::filesystem;

TEST(Library, TheProgramsLibraryIsTheFileBesideTheProgram) {
    EXPECT_EQ(Library::Program().Path(),
              fs::read_symlink("/proc/self/exe").parent_path() / "SunnyNet.dll");
    EXPECT_TRUE(Library::Program().Loaded());
    EXPECT_EQ(Library::Program().Problem(), "");
}

// A library that lacks exports: the present ones work, every missing one answers nothing, and the
// start failure names what is missing.
TEST(Library, MissingExportsAnswerNothingAndAreNamedByTheStartFailure) {
    Library partial(VARNELO_PARTIAL_LIBRARY);
    RecordingBoxes boxes;
    {
        ProxyEngine engine(boxes, partial);
        EXPECT_EQ(engine.GetContext(), 41);
        EXPECT_EQ(engine.SetPort(8080), 4108080);
        EXPECT_EQ(engine.Start(), 0);
        EXPECT_EQ(engine.OpenDrive(2), 0);
        EXPECT_EQ(engine.SetGlobalProxy("socks5://a:b@c:1/"), 0);
        engine.ProcessAddPid(1);
        engine.CancelGlobalProxy();
        EXPECT_EQ(engine.ExportCert(), "");
        EXPECT_EQ(engine.GetSocket5User(1), "");
        EXPECT_TRUE(engine.HasScriptPage());
        Text report = "old";
        EXPECT_FALSE(engine.InstallCert(&report));
        EXPECT_EQ(report, "");
        EXPECT_EQ(engine.Close(), 0);
        const Text error = engine.Error();
        EXPECT_NE(error.find("SunnyNetStart"), Text::npos) << error;
        EXPECT_NE(error.find("SunnyNetError"), Text::npos) << error;
        EXPECT_EQ(error.find("CreateSunnyNet"), Text::npos) << error;
    }
    ConnectionOps ops(boxes, partial);
    ops.SetDnsServer("remote");
    EXPECT_EQ(ops.GetWebsocketBody(1), ByteSet{});
    EXPECT_EQ(ops.GetUdpData(1), ByteSet{});
    EXPECT_EQ(ops.TcpSendMsg(1, ByteSet{1, 2}), 0);
    EXPECT_TRUE(partial.Loaded());
    EXPECT_TRUE(boxes.shown.empty());
}

class UnloadableLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("varnelo-engine-library-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// The file is opened at the first call, not before: the presence check may still put it in place.
TEST_F(UnloadableLibrary, IsOpenedAtFirstUseOnly) {
    Library library(dir / "SunnyNet.dll");
    fs::copy_file(VARNELO_PARTIAL_LIBRARY, dir / "SunnyNet.dll");
    EXPECT_EQ(VARNELO_CALL(library, CreateSunnyNet), 41);
    fs::remove(dir / "SunnyNet.dll");
    EXPECT_EQ(VARNELO_CALL(library, SunnyNetSetPort, 1, 2), 100002);
}

TEST_F(UnloadableLibrary, EveryCallFailsAndTheStartFailureSaysWhy) {
    struct Case {
        const char* content;  // null: no file at all
        const char* reason;   // part of the loader's own error text
    };
    const Case cases[] = {
        {"this is not a shared object, just text long enough to be read as a header", "ELF"},
        {"", "too short"},
        {nullptr, "No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const fs::path path = dir / "SunnyNet.dll";
        fs::remove(path);
        if (c.content != nullptr) std::ofstream(path) << c.content;
        Library broken(path);
        RecordingBoxes boxes;
        ProxyEngine engine(boxes, broken);
        EXPECT_FALSE(broken.Loaded());
        EXPECT_EQ(engine.GetContext(), 0);
        EXPECT_EQ(engine.SetPort(1), 0);
        EXPECT_EQ(engine.Start(), 0);
        const Text error = engine.Error();
        EXPECT_NE(error.find(path.string()), Text::npos) << error;
        EXPECT_NE(error.find(c.reason), Text::npos) << error;
        EXPECT_EQ(ConnectionOps(boxes, broken).GetUdpData(3), ByteSet{});
        EXPECT_TRUE(boxes.shown.empty());
    }
}

}  // namespace
}  // namespace varnelo
