#include "engine/library_presence.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace varnelo {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("varnelo-presence-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// A directory's entries: file name -> content, "<dir>" for a directory.
using Entries = std::map<std::string, std::string>;

void Make(const fs::path& dir, const Entries& entries) {
    for (const auto& [name, content] : entries) {
        if (content == "<dir>") {
            fs::create_directory(dir / name);
        } else {
            std::ofstream(dir / name) << content;
        }
    }
}

Entries Read(const fs::path& dir) {
    Entries entries;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            entries[name] = "<dir>";
        } else {
            std::ostringstream content;
            content << std::ifstream(entry.path()).rdbuf();
            entries[name] = content.str();
        }
    }
    return entries;
}

TEST(ProvideLibraryFile, UsesSunnyDllInPlaceOfSunnyNetDll) {
    struct Case {
        const char* name;
        Entries before;
        bool present;
        Entries after;
    };
    const Case cases[] = {
        {"neither", {}, false, {}},
        {"only SunnyNet.dll", {{"SunnyNet.dll", "old"}}, true, {{"SunnyNet.dll", "old"}}},
        {"only Sunny.dll", {{"Sunny.dll", "new"}}, true, {{"SunnyNet.dll", "new"}}},
        {"both", {{"Sunny.dll", "new"}, {"SunnyNet.dll", "old"}}, true, {{"SunnyNet.dll", "new"}}},
        {"a directory SunnyNet.dll",
         {{"SunnyNet.dll", "<dir>"}},
         true,
         {{"SunnyNet.dll", "<dir>"}}},
        // The directory cannot be deleted as a file: it counts, and Sunny.dll stays.
        {"Sunny.dll and a directory SunnyNet.dll",
         {{"Sunny.dll", "new"}, {"SunnyNet.dll", "<dir>"}},
         true,
         {{"Sunny.dll", "new"}, {"SunnyNet.dll", "<dir>"}}},
        {"a directory Sunny.dll", {{"Sunny.dll", "<dir>"}}, true, {{"SunnyNet.dll", "<dir>"}}},
        {"other names only",
         {{"sunnynet.dll", "x"}, {"SunnyNet.dll.bak", "y"}},
         false,
         {{"sunnynet.dll", "x"}, {"SunnyNet.dll.bak", "y"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Make(dir.path(), c.before);
        EXPECT_EQ(ProvideLibraryFile(dir.path()), c.present);
        EXPECT_EQ(Read(dir.path()), c.after);
    }
}

TEST(ProvideLibraryFile, ADanglingLinkNamedSunnyNetDllCountsAsPresent) {
    TempDir dir;
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "SunnyNet.dll");
    EXPECT_TRUE(ProvideLibraryFile(dir.path()));
}

struct Ended {
    int exitCode = -1;
    std::string output;
};

// Runs a copy of the helper program from the given directory, so that its program directory is
// that directory; the helper prints every box it is asked to show.
Ended RunHelperIn(const fs::path& dir) {
    const fs::path helper = dir / "helper";
    fs::copy_file(VARNELO_PRESENCE_HELPER, helper);
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl(helper.c_str(), "helper", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    Ended ended;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        ended.output.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) ended.exitCode = WEXITSTATUS(status);
    fs::remove(helper);
    return ended;
}

TEST(EnsureLibraryFile, WithoutTheLibraryShowsTheErrorBoxAndEndsTheProgramWithCodeZero) {
    TempDir dir;
    const Ended ended = RunHelperIn(dir.path());
    EXPECT_EQ(ended.exitCode, 0);
    // Error icon (1), OK button (0), no owner, no caption of its own; exit handlers ran.
    EXPECT_EQ(ended.output,
              "box icon=1 buttons=0 owner=0 caption= text=\\xd4\\xda\\xb5\\xb1\\xc7\\xb0\\xc4\\xbf"
              "\\xc2\\xbc\\xcf\\xc2\\xce\\xb4\\xd5\\xd2\\xb5\\xbd SunnyNet.dll \\x0d\\x0a\\x0d\\x0a"
              "\\xc7\\xeb\\xbd\\xab SunnyNet.dll \\xb8\\xb4\\xd6\\xc6\\xb5\\xbd\\xb5\\xb1\\xc7\\xb0"
              "\\xd4\\xcb\\xd0\\xd0\\xc4\\xbf\\xc2\\xbc\\xba\\xf3\\xd4\\xd9\\xca\\xd4\\xa3\\xa1\n"
              "exit handler\n");
}

TEST(EnsureLibraryFile, ReturnsWhenTheLibraryIsOrCanBeProvided) {
    for (const char* name : {"SunnyNet.dll", "Sunny.dll"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        std::ofstream(dir.path() / name) << "library";
        const Ended ended = RunHelperIn(dir.path());
        EXPECT_EQ(ended.exitCode, 7);
        EXPECT_EQ(ended.output, "returned\n");
        EXPECT_EQ(Read(dir.path()), (Entries{{"SunnyNet.dll", "library"}}));
    }
}

}  // namespace
}  // namespace varnelo
