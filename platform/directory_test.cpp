#include "platform/directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace varnelo {
namespace {

namespace fs = std::filesystem;

TEST(Directory, CreatesEveryMissingLevelAndReportsTheResult) {
    const fs::path base = fs::temp_directory_path() / ("dir_test_" + std::to_string(::getpid()));
    fs::remove_all(base);
    const Text baseText = TextFromPath(base.string());
    EXPECT_FALSE(DirectoryExists(baseText));

    EXPECT_TRUE(CreateDirectoryTree(baseText + "/配置/b/c"_cp936));
    EXPECT_TRUE(fs::is_directory(base / "配置" / "b" / "c"));
    EXPECT_TRUE(CreateDirectoryTree(baseText + "/配置/b/c/"_cp936));  // exists, trailing "/"
    EXPECT_TRUE(DirectoryExists(baseText + "/配置"_cp936));

    std::ofstream(base / "file") << "x";
    EXPECT_FALSE(DirectoryExists(baseText + "/file"));
    EXPECT_FALSE(CreateDirectoryTree(baseText + "/file/sub"));
    EXPECT_FALSE(CreateDirectoryTree(""));
    EXPECT_FALSE(DirectoryExists(""));
    fs::remove_all(base);
}

TEST(Directory, RunDirectoryIsTheFolderOfThisProgram) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(PathFromText(RunDirectory()), exe.parent_path().string());
}

}  // namespace
}  // namespace varnelo
