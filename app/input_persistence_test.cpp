#include "app/input_persistence.h"

#include <QLineEdit>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/qt_app_fixture.h"
#include "app/qt_text.h"

namespace varnelo {
namespace {

namespace fs = std::filesystem;

// A form like the main window's: two edit boxes in creation order, the second inside a group.
struct Form {
    Form() {
        TestApplication();
        window = std::make_unique<QWidget>();
        name = new QLineEdit(window.get());
        name->setObjectName(QString::fromUtf8("编辑框_进程名"));
        auto* group = new QWidget(window.get());
        entry = new QLineEdit(QString::fromUtf8("1.1.1.1|80|u|p"), group);
        entry->setObjectName(QString::fromUtf8("编辑框1"));
    }
    std::unique_ptr<QWidget> window;
    QLineEdit* name;
    QLineEdit* entry;
};

class InputPersistence : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("persist_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_ = TextFromPath((dir_ / "账号.ini").string());
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Bytes() const {
        std::ifstream in(PathFromText(file_), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir_;
    Text file_;
};

TEST(SettingEscapes, AppliedInOrderBothWays) {
    EXPECT_EQ(EscapeSettingValue("a\r\nb\"c\"\n\r"), "a><br><b"_cp936 + "#引号"_cp936 + "c" +
                                                          "#引号"_cp936 + "\n\r");
    EXPECT_EQ(UnescapeSettingValue("><br><#引号><br"_cp936), "\r\n\"><br");
    EXPECT_EQ(UnescapeSettingValue("#引号#引"_cp936), "\"#引"_cp936);
}

TEST_F(InputPersistence, ContentsComeBackThroughTheFile) {
    struct Case {
        const char* typed;
        const char* restored;
    } cases[] = {
        {"line\r\nbreak", "line\r\nbreak"},
        {"say \"hi\"", "say \"hi\""},
        {"\"whole\"", "\"whole\""},
        {"a><br><b", "a\r\nb"},       // the escape texts themselves turn into what they stand for
        {"q#引号q", "q\"q"},
        {"名字.exe", "名字.exe"},
    };
    for (const Case& c : cases) {
        Form saved;
        saved.name->setText(QString::fromUtf8(c.typed));
        ASSERT_EQ(FromQString(saved.name->text()), Utf8ToCp936(std::string_view(c.typed)));
        EXPECT_EQ(SaveEditBoxes(*saved.window, file_, ""), 2);
        Form restored;
        EXPECT_EQ(RestoreEditBoxes(*restored.window, file_), 2);
        EXPECT_EQ(restored.name->text(), QString::fromUtf8(c.restored)) << c.typed;
        EXPECT_EQ(restored.entry->text(), QString::fromUtf8("1.1.1.1|80|u|p"));
    }
    // Stored values hold neither line breaks nor quotes: one unquoted line per box.
    Form saved;
    saved.name->setText(QString::fromUtf8("x\r\n\"y\""));
    SaveEditBoxes(*saved.window, file_, "");
    EXPECT_EQ(Bytes(), "[编辑框]\r\n编辑框_进程名=x><br><#引号y#引号\r\n编辑框1=1.1.1.1|80|u|p\r\n"_cp936);
}

TEST_F(InputPersistence, EmptyOrMissingValuesKeepTheFormContent) {
    Form fresh;
    EXPECT_EQ(RestoreEditBoxes(*fresh.window, file_), 2);  // no file at all
    EXPECT_EQ(fresh.entry->text(), QString::fromUtf8("1.1.1.1|80|u|p"));

    Form cleared;
    cleared.name->setText("a.exe");
    cleared.entry->clear();
    SaveEditBoxes(*cleared.window, file_, "");
    EXPECT_NE(Bytes().find("编辑框1=\r\n"_cp936), std::string::npos);
    Form next;
    RestoreEditBoxes(*next.window, file_);
    EXPECT_EQ(next.name->text(), "a.exe");
    EXPECT_EQ(next.entry->text(), QString::fromUtf8("1.1.1.1|80|u|p"));
}

TEST_F(InputPersistence, OverlongValueComesBackCut) {
    Form saved;
    saved.entry->setMaxLength(30000);
    saved.entry->setText(QString(20000, QChar('x')));
    SaveEditBoxes(*saved.window, file_, "");
    Form restored;
    restored.entry->setMaxLength(30000);
    RestoreEditBoxes(*restored.window, file_);
    EXPECT_EQ(restored.entry->text(), QString(int(kSettingValueBuffer) - 1, QChar('x')));
}

TEST_F(InputPersistence, ReadsAFileWrittenByHandTheWindowsWay) {
    std::ofstream(PathFromText(file_), std::ios::binary)
        << "[Other]\r\nx=1\r\n[" + "编辑框"_cp936 + "]\r\n" + "编辑框_进程名"_cp936 +
               " = \"\xCE\xA2\xD0\xC5.exe\" \r\n" + "编辑框1"_cp936 + "=h|1|a><br><b|#引号p#引号"_cp936 +
               "\r\n";
    Form form;
    RestoreEditBoxes(*form.window, file_);
    EXPECT_EQ(form.name->text(), QString::fromUtf8("微信.exe"));
    EXPECT_EQ(form.entry->text(), QString::fromUtf8("h|1|a\r\nb|\"p\""));
}

TEST_F(InputPersistence, ExcludedBoxesAreNotWritten) {
    Form form;
    form.name->setText("n");
    EXPECT_EQ(SaveEditBoxes(*form.window, file_, "|编辑框1||编辑框"_cp936), 2);
    EXPECT_EQ(Bytes(), "[编辑框]\r\n编辑框_进程名=n\r\n"_cp936);
}

TEST_F(InputPersistence, PathsOfTheSettingsFiles) {
    const Text run = TextFromPath(dir_.string());
    EXPECT_EQ(DefaultSettingsPath(run), run + "/data/setsoft.ini");
    EXPECT_TRUE(fs::is_directory(dir_ / "data"));
    EXPECT_EQ(SettingsPath(run), run + "/config/账号.ini"_cp936);
}

}  // namespace
}  // namespace varnelo
