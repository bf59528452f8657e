#include "notice/self_update.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "testsupport/test_authority.h"
#include "testsupport/test_http_server.h"

extern char** environ;

namespace varnelo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class RecordingWindow : public UpdateWindow {
public:
    void SetCaption(const Text& caption) override { captions.push_back(caption); }
    void Close() override { ++closes; }
    void ProcessPendingMessages() override { ++pumps; }
    std::vector<Text> captions;
    int closes = 0;
    int pumps = 0;
};

class RecordingBoxes : public MessageBoxes {
public:
    MessageAnswer Show(const MessageBoxRequest& request) override {
        shown.push_back(request);
        return MessageAnswer::Ok;
    }
    std::vector<MessageBoxRequest> shown;
};

// A child process that stands for the running program until the test ends it.
class StandIn {
public:
    StandIn() {
        std::string sleepPath = "/bin/sleep";
        std::string seconds = "60";
        char* argv[] = {sleepPath.data(), seconds.data(), nullptr};
        if (posix_spawn(&pid_, sleepPath.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = 0;
    }
    ~StandIn() { End(); }
    int pid() const { return pid_; }
    void End() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
};

// Waits (bounded) for a child to end; kills it when it does not.
bool Reap(int pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(50ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The other machine's code in an otherwise good executable.
std::string WithMachine(std::string elf, unsigned short machine) {
    elf[18] = static_cast<char>(machine & 0xFF);
    elf[19] = static_cast<char>(machine >> 8);
    return elf;
}

// A program directory whose name needs quoting in a shell, holding the old build as the program.
class SelfUpdateTest : public testing::Test {
protected:
    void SetUp() override {
        oldBuild_ = ReadFile(VARNELO_PROBE_OLD);
        newBuild_ = ReadFile(VARNELO_PROBE_NEW);
        ASSERT_FALSE(oldBuild_.empty());
        ASSERT_NE(oldBuild_, newBuild_);
        dir_ = fs::temp_directory_path() /
               ("varnelo notice 'update' 目录 " + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        program_ = dir_ / "varnelo-tool";
        WriteFile(program_, oldBuild_);
        fs::permissions(program_, fs::perms(0750));
        Serve();
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override {
        server_.Stop();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // A good program padded at its end to whole reads of 10240 bytes and 3000 more.
    std::string Padded() const {
        return newBuild_ + std::string(10240 * 3 + 3000 - newBuild_.size() % 10240, '\0');
    }

    void Serve() {
        auto& routes = server_.Routes();
        routes.Get("/padded", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(Padded(), "application/octet-stream");
        });
        routes.Get("/good", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(newBuild_, "application/octet-stream");
        });
        routes.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("<html><body>404 Not Found</body></html>", "text/html");
        });
        routes.Get("/server-error", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content(newBuild_, "application/octet-stream");  // an executable, yet refused
        });
        routes.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "application/octet-stream");
        });
        routes.Get("/text", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html>a page, not a program</html>", "text/html");
        });
        routes.Get("/shell", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("#!/bin/sh\necho replaced\n", "application/octet-stream");
        });
        routes.Get("/other-machine", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(WithMachine(newBuild_, 183 /* AArch64 */), "application/octet-stream");
        });
        routes.Get("/truncated-program", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(newBuild_.substr(0, newBuild_.size() / 2), "application/octet-stream");
        });
        // Announces the whole program, sends half of it and drops the connection.
        routes.Get("/cut", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(
                newBuild_.size(), "application/octet-stream",
                [this](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset > 0) return false;
                    sink.write(newBuild_.data(), newBuild_.size() / 2);
                    return true;
                });
        });
        // The same without a length: chunks, then a connection closed before the last chunk.
        routes.Get("/cut-chunked", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [this](size_t offset, httplib::DataSink& sink) {
                    if (offset > 0) return false;
                    sink.write(newBuild_.data(), newBuild_.size() / 2);
                    return true;
                });
        });
    }

    SelfUpdateOptions Options(int processId) {
        SelfUpdateOptions options;
        options.target.programPath = program_.string();
        options.target.processId = processId;
        options.closeDelay = 0ms;
        options.scriptStarted = [this](int pid) { scripts_.push_back(pid); };
        return options;
    }

    std::string Url(const std::string& path) const { return server_.BaseUrl() + path; }

    std::string oldBuild_, newBuild_;
    fs::path dir_, program_;
    TestHttpServer server_;
    std::vector<int> scripts_;
};

TEST_F(SelfUpdateTest, GoodDownloadReplacesTheProgramOnceTheOldProcessHasEnded) {
    // A stale, larger temp_new.exe from an earlier run must not leak into the new file.
    WriteFile(dir_ / "temp_new.exe", std::string(newBuild_.size() * 2, 'x'));
    StandIn running;
    ASSERT_GT(running.pid(), 0);
    RecordingWindow window;
    RecordingBoxes boxes;

    ASSERT_TRUE(RunSelfUpdate(Url("/good"), window, boxes, Options(running.pid())));

    EXPECT_EQ(window.captions, (std::vector<Text>{"正在更新..."_cp936, "更新完毕"_cp936}));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "更新包下载完成，即将自动重启！"_cp936);
    EXPECT_EQ(boxes.shown[0].caption, "");
    EXPECT_EQ(window.closes, 1);
    EXPECT_GT(window.pumps, 0);
    ASSERT_EQ(scripts_.size(), 1u);

    // While the old process runs, the script only waits.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(ReadFile(program_), oldBuild_);
    EXPECT_EQ(ReadFile(dir_ / "temp_new.exe"), newBuild_);
    EXPECT_TRUE(fs::exists(dir_ / "update.sh"));
    EXPECT_FALSE(fs::exists(dir_ / "started.txt"));

    running.End();
    EXPECT_TRUE(Reap(scripts_[0], 15s)) << "the script did not end";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir_ / "started.txt") == "new\n"; }, 10s))
        << "started: " << ReadFile(dir_ / "started.txt");
    EXPECT_EQ(ReadFile(program_), newBuild_);
    EXPECT_EQ(fs::status(program_).permissions() & fs::perms::all, fs::perms(0750));
    EXPECT_FALSE(fs::exists(dir_ / "temp_new.exe"));
    EXPECT_FALSE(fs::exists(dir_ / "update.sh"));
}

TEST_F(SelfUpdateTest, ProcessThatHasEndedAlreadyIsNotWaitedFor) {
    StandIn ended;
    int pid = ended.pid();
    ended.End();
    RecordingWindow window;
    RecordingBoxes boxes;
    ASSERT_TRUE(RunSelfUpdate(Url("/good"), window, boxes, Options(pid)));
    ASSERT_EQ(scripts_.size(), 1u);
    EXPECT_TRUE(Reap(scripts_[0], 15s));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir_ / "started.txt") == "new\n"; }, 10s));
    EXPECT_EQ(ReadFile(program_), newBuild_);
}

struct RefusedCase {
    const char* name;
    const char* path;  // on the test server; "" for no address at all
    Text message;
};

const Text kNotUpdated = "\r\n程序没有更新。"_cp936;

class RefusedDownloadTest : public SelfUpdateTest,
                            public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedDownloadTest, LeavesTheProgramAloneAndTellsTheUser) {
    const RefusedCase& c = GetParam();
    // A good executable left over from an earlier run must not be installed either.
    WriteFile(dir_ / "temp_new.exe", newBuild_);
    RecordingWindow window;
    RecordingBoxes boxes;
    Text address = *c.path ? Url(c.path) : Text();

    EXPECT_FALSE(RunSelfUpdate(address, window, boxes, Options(getpid())));

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, c.message);
    EXPECT_EQ(window.captions, std::vector<Text>{"正在更新..."_cp936});
    EXPECT_EQ(window.closes, 0);
    EXPECT_TRUE(scripts_.empty());
    EXPECT_EQ(ReadFile(program_), oldBuild_);
    EXPECT_FALSE(fs::exists(dir_ / "temp_new.exe"));
    EXPECT_FALSE(fs::exists(dir_ / "update.sh"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedDownloadTest,
    testing::Values(
        RefusedCase{"NoAddress", "", "下载链接失效"_cp936},
        RefusedCase{"ErrorPage", "/missing", "更新包下载失败：服务器答复 404。"_cp936 + kNotUpdated},
        RefusedCase{"ServerError", "/server-error",
                    "更新包下载失败：服务器答复 500。"_cp936 + kNotUpdated},
        RefusedCase{"CutOff", "/cut", "更新包没有下载完整。"_cp936 + kNotUpdated},
        RefusedCase{"CutOffChunked", "/cut-chunked", "更新包没有下载完整。"_cp936 + kNotUpdated},
        RefusedCase{"Empty", "/empty", "更新包是空的。"_cp936 + kNotUpdated},
        RefusedCase{"Page", "/text", "更新包不是本机可以运行的程序。"_cp936 + kNotUpdated},
        RefusedCase{"ShellScript", "/shell", "更新包不是本机可以运行的程序。"_cp936 + kNotUpdated},
        RefusedCase{"OtherMachine", "/other-machine",
                    "更新包不是本机可以运行的程序。"_cp936 + kNotUpdated},
        RefusedCase{"TruncatedProgram", "/truncated-program",
                    "更新包不是本机可以运行的程序。"_cp936 + kNotUpdated}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(SelfUpdateTest, UnreachableAndUntrustedAddressesAreDeadLinks) {
    TestAuthority authority;
    ASSERT_TRUE(authority.ok()) << authority.error();
    TestHttpServer secure(authority.ServerCertPath(), authority.ServerKeyPath());
    secure.Routes().Get("/good", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(newBuild_, "application/octet-stream");
    });
    ASSERT_TRUE(secure.Start());
    TestHttpServer closed;
    ASSERT_TRUE(closed.Start());
    std::string closedUrl = closed.BaseUrl() + "/good";
    closed.Stop();

    for (const std::string& address :
         {secure.BaseUrl() + "/good", closedUrl, std::string("ftp://127.0.0.1/good"),
          std::string("file://") + VARNELO_PROBE_NEW}) {
        RecordingWindow window;
        RecordingBoxes boxes;
        EXPECT_FALSE(RunSelfUpdate(address, window, boxes, Options(getpid()))) << address;
        ASSERT_EQ(boxes.shown.size(), 1u) << address;
        EXPECT_EQ(boxes.shown[0].text, "下载链接失效"_cp936);
        EXPECT_EQ(boxes.shown[0].caption, "");
        EXPECT_EQ(boxes.shown[0].icon, MessageIcon::None);
        EXPECT_EQ(ReadFile(program_), oldBuild_);
        EXPECT_FALSE(fs::exists(dir_ / "temp_new.exe"));
    }

    // The same server is accepted once its authority is trusted for the download.
    RecordingWindow window;
    DownloadResult trusted =
        DownloadToFile(secure.BaseUrl() + "/good", (dir_ / "temp_new.exe").string(), window,
                       authority.CaCertPath());
    EXPECT_EQ(trusted.verdict, DownloadVerdict::Complete);
    EXPECT_EQ(ReadFile(dir_ / "temp_new.exe"), newBuild_);
}

TEST_F(SelfUpdateTest, DownloadIsReadInPiecesWithTheWindowServedBetween) {
    std::string padded = Padded();
    RecordingWindow window;
    fs::path file = dir_ / "temp_new.exe";
    DownloadResult result = DownloadToFile(Url("/padded"), file.string(), window);
    EXPECT_EQ(result.verdict, DownloadVerdict::Complete);
    EXPECT_EQ(result.bytes, static_cast<long long>(padded.size()));
    EXPECT_EQ(ReadFile(file), padded);
    EXPECT_GE(window.pumps, static_cast<int>(padded.size() / 10240));
}

TEST_F(SelfUpdateTest, DownloadFileThatCannotBeWrittenIsReported) {
    // A directory in the way of temp_new.exe stops even a process that may write anywhere.
    fs::create_directories(dir_ / "temp_new.exe" / "in the way");
    RecordingWindow window;
    RecordingBoxes boxes;
    EXPECT_FALSE(RunSelfUpdate(Url("/good"), window, boxes, Options(getpid())));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "无法在程序目录写入更新包 temp_new.exe。"_cp936 + kNotUpdated);
    EXPECT_TRUE(scripts_.empty());
    EXPECT_EQ(ReadFile(program_), oldBuild_);
}

TEST(ExecutableCheckTest, KnowsThisMachinesPrograms) {
    EXPECT_TRUE(IsExecutableForThisMachine(VARNELO_PROBE_NEW));
    EXPECT_TRUE(IsExecutableForThisMachine("/bin/sh"));
    EXPECT_FALSE(IsExecutableForThisMachine("/nonexistent/program"));
    EXPECT_FALSE(IsExecutableForThisMachine("/etc/hostname"));
}

}  // namespace
}  // namespace varnelo
