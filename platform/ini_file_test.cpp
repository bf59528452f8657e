#include "platform/ini_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace varnelo {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ini_test_" + std::to_string(::getpid()) + "_" +
                                             ::testing::UnitTest::GetInstance()
                                                 ->current_test_info()
                                                 ->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_ = TextFromPath((dir_ / "账号.ini").string());
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Bytes() const {
        std::ifstream in(PathFromText(file_), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void WriteBytes(const std::string& bytes) const {
        std::ofstream(PathFromText(file_), std::ios::binary) << bytes;
    }

    fs::path dir_;
    Text file_;
};

const Text kSection = "编辑框"_cp936;
const Text kName = "编辑框_进程名"_cp936;
const Text kEntry = "编辑框1"_cp936;

TEST_F(IniFileTest, NewFileHasWindowsLayoutPrivateModeAndNoLeftovers) {
    ASSERT_TRUE(WriteProfileString(file_, kSection, kName, "a.exe"));
    ASSERT_TRUE(WriteProfileString(file_, kSection, kEntry, "1.2.3.4|80|u|p"));
    EXPECT_EQ(Bytes(), "[" + kSection + "]\r\n" + kName + "=a.exe\r\n" + kEntry +
                           "=1.2.3.4|80|u|p\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(PathFromText(file_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    EXPECT_EQ(ReadProfileString(file_, kSection, kName, 10240), "a.exe");
}

TEST_F(IniFileTest, ReadsAFileWrittenTheWindowsWay) {
    // CRLF lines, names in other letter case, blanks around "=", quoted values, a comment-like
    // line, and code-page-936 bytes in names and values.
    WriteBytes("[Other]\r\nKey=other\r\n[ " + kSection + " ]\r\n  " + kName +
               "  =  \"  quoted value  \"  \r\nProxy=' single '\r\nPLAIN = x y \r\nmixed=\"a'\r\n" +
               "empty=\r\n" + "中文"_cp936 + "=\xD6\xD0\xCE\xC4\r\n[other]\r\nkey=late\r\n");
    struct Case {
        Text section, key, expected;
    } cases[] = {
        {kSection, kName, "  quoted value  "},
        {kSection, "proxy", " single "},
        {kSection, "plain", "x y"},
        {kSection, "MIXED", "\"a'"},
        {kSection, "empty", ""},
        {kSection, "中文"_cp936, "中文"_cp936},
        {"OTHER", "KEY", "other"},  // the first of two sections of one name wins
        {kSection, "missing", ""},
        {"missing", "Key", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadProfileString(file_, c.section, c.key, 10240), c.expected) << c.key;
    }
}

TEST_F(IniFileTest, LetterCaseFoldsOnlyInSingleByteCharacters) {
    // 0xB1 0x41 and 0xB1 0x61 are two different characters whose second bytes look like A and a.
    WriteBytes("[S]\r\n\xB1\x41=first\r\n");
    EXPECT_EQ(ReadProfileString(file_, "s", "\xB1\x41", 100), "first");
    EXPECT_EQ(ReadProfileString(file_, "s", "\xB1\x61", 100), "");
}

TEST_F(IniFileTest, WritingReplacesInPlaceAndKeepsTheRest) {
    WriteBytes("; note\n[A]\nk1=1\nK2=2\n\n[B]\nk=b\n");
    ASSERT_TRUE(WriteProfileString(file_, "a", "k2", "two"));
    ASSERT_TRUE(WriteProfileString(file_, "A", "k3", "three"));
    ASSERT_TRUE(WriteProfileString(file_, "C", "k", "c"));
    EXPECT_EQ(Bytes(),
              "; note\r\n[A]\r\nk1=1\r\nk2=two\r\nk3=three\r\n\r\n[B]\r\nk=b\r\n[C]\r\nk=c\r\n");
}

TEST_F(IniFileTest, LongValuesAreCutToTheBufferOnCharacterBoundaries) {
    const std::string ascii(20000, 'x');
    ASSERT_TRUE(WriteProfileString(file_, "S", "k", ascii));
    EXPECT_EQ(ReadProfileString(file_, "S", "k", 10240), std::string(10239, 'x'));
    EXPECT_EQ(ReadProfileString(file_, "S", "k", 1), "");
    // "x" then double-byte characters: the cut at 10239 bytes would split one of them.
    std::string wide = "x";
    for (int i = 0; i < 6000; ++i) wide += "中"_cp936;
    ASSERT_TRUE(WriteProfileString(file_, "S", "k", wide));
    Text cut = ReadProfileString(file_, "S", "k", 10240);
    EXPECT_EQ(cut.size(), 10239u);
    EXPECT_EQ(cut, wide.substr(0, 10239));
    ASSERT_TRUE(WriteProfileString(file_, "S", "k", wide.substr(1)));
    EXPECT_EQ(ReadProfileString(file_, "S", "k", 10240), wide.substr(1, 10238));
}

TEST_F(IniFileTest, FailuresLeaveNothingBehind) {
    Text inMissingFolder = TextFromPath((dir_ / "no" / "x.ini").string());
    EXPECT_FALSE(WriteProfileString(inMissingFolder, "S", "k", "v"));
    EXPECT_FALSE(fs::exists(dir_ / "no"));
    EXPECT_EQ(ReadProfileString(inMissingFolder, "S", "k", 100), "");
    WriteBytes("[S]\r\nk=old\r\n");
    EXPECT_FALSE(WriteProfileString(file_, "S", "k", "line\r\nbreak"));
    EXPECT_FALSE(WriteProfileString(file_, "S", "", "v"));
    EXPECT_EQ(Bytes(), "[S]\r\nk=old\r\n");
}

}  // namespace
}  // namespace varnelo
