// Keeps the contents of a window's edit boxes (QLineEdit children, found in creation order) between
// runs, in section "编辑框" of an INI file in code page 936, one key per edit box named after its
// object name. Line breaks and double quotes are escaped so that a value stays one unquoted line.
#pragma once

#include <QWidget>

#include "platform/text.h"

namespace varnelo {

// The size of the buffer a stored value is read into, its terminating zero included.
inline constexpr std::size_t kSettingValueBuffer = 10240;

// Every CR LF pair becomes "><br><", then every double quote becomes "#引号".
Text EscapeSettingValue(const Text& content);
// Every "><br><" becomes CR LF, then every "#引号" becomes a double quote.
Text UnescapeSettingValue(const Text& stored);

// Writes every edit box of window (not named in exclusions, a "|"-separated list of exact names)
// into file (empty: DefaultSettingsPath()). Returns the number of edit boxes found. Write failures
// are not reported; a failed write leaves the old file.
int SaveEditBoxes(QWidget& window, const Text& file, const Text& exclusions);

// Sets every edit box of window whose stored value is not empty to that value, unescaped; the
// others keep their content. A missing file or key reads as empty. Returns the number found.
int RestoreEditBoxes(QWidget& window, const Text& file);

// runDirectory + "/data/setsoft.ini", after creating runDirectory + "/data" when it is missing.
Text DefaultSettingsPath(const Text& runDirectory);
// The same for the program's own run directory.
Text DefaultSettingsPath();

// The settings file the program uses: runDirectory + "/config/账号.ini".
Text SettingsPath(const Text& runDirectory);

}  // namespace varnelo
