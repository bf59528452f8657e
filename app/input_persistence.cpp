#include "app/input_persistence.h"

#include <QLineEdit>

#include "app/qt_text.h"
#include "app/split_non_empty.h"
#include "platform/directory.h"
#include "platform/ini_file.h"

namespace varnelo {
namespace {

Text ReplaceAll(const Text& text, const Text& from, const Text& to) {
    Text out;
    std::size_t start = 0;
    for (std::size_t at = text.find(from); at != Text::npos; at = text.find(from, start)) {
        out.append(text, start, at - start);
        out += to;
        start = at + from.size();
    }
    out.append(text, start, Text::npos);
    return out;
}

const Text kSection = "编辑框"_cp936;
const Text kBreakMark = "><br><";
const Text kQuoteMark = "#引号"_cp936;

Text NameOf(const QObject& box) { return FromQString(box.objectName()); }

Text ContentOf(const QLineEdit& box) { return FromQString(box.text()); }

bool Excluded(const Text& name, const std::vector<Text>& exclusions) {
    for (const Text& excluded : exclusions) {
        if (excluded == name) return true;
    }
    return false;
}

}  // namespace

Text EscapeSettingValue(const Text& content) {
    return ReplaceAll(ReplaceAll(content, "\r\n", kBreakMark), "\"", kQuoteMark);
}

Text UnescapeSettingValue(const Text& stored) {
    return ReplaceAll(ReplaceAll(stored, kBreakMark, "\r\n"), kQuoteMark, "\"");
}

int SaveEditBoxes(QWidget& window, const Text& file, const Text& exclusions) {
    const Text path = file.empty() ? DefaultSettingsPath() : file;
    const std::vector<Text> excluded = SplitNonEmpty(exclusions, "|");
    const auto boxes = window.findChildren<QLineEdit*>();
    for (const QLineEdit* box : boxes) {
        const Text name = NameOf(*box);
        if (Excluded(name, excluded)) continue;
        WriteProfileString(path, kSection, name, EscapeSettingValue(ContentOf(*box)));
    }
    return static_cast<int>(boxes.size());
}

int RestoreEditBoxes(QWidget& window, const Text& file) {
    const Text path = file.empty() ? DefaultSettingsPath() : file;
    const auto boxes = window.findChildren<QLineEdit*>();
    for (QLineEdit* box : boxes) {
        const Text stored = ReadProfileString(path, kSection, NameOf(*box), kSettingValueBuffer);
        if (!stored.empty()) box->setText(ToQString(UnescapeSettingValue(stored)));
    }
    return static_cast<int>(boxes.size());
}

Text DefaultSettingsPath(const Text& runDirectory) {
    const Text data = runDirectory + "/data";
    if (!DirectoryExists(data)) CreateDirectoryTree(data);
    return data + "/setsoft.ini";
}

Text DefaultSettingsPath() { return DefaultSettingsPath(RunDirectory()); }

Text SettingsPath(const Text& runDirectory) { return runDirectory + "/config/账号.ini"_cp936; }

}  // namespace varnelo
