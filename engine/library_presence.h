// Makes sure that SunnyNet.dll is in the program's directory before the library is first loaded.
// A file Sunny.dll in the same directory takes its place (it replaces an older SunnyNet.dll).
#pragma once

#include <filesystem>

#include "platform/message_box.h"

namespace varnelo {

// Provides dir/SunnyNet.dll from dir/Sunny.dll where needed, and tells whether dir/SunnyNet.dll is
// present afterwards (any directory entry of that name counts, a directory too):
// - both files: SunnyNet.dll is deleted (when that fails, the old one stays and counts);
// - SunnyNet.dll present: true, nothing else is touched;
// - Sunny.dll alone (or left alone by the deletion): it is renamed to SunnyNet.dll;
// - neither file, or the rename failed: false.
bool ProvideLibraryFile(const std::filesystem::path& dir);

// ProvideLibraryFile on the program's directory. Returns only when SunnyNet.dll is present;
// otherwise shows the error box "在当前目录下未找到 SunnyNet.dll ..." (error icon, OK, no caption
// of its own) and ends the program with exit code 0 (FatalExit).
void EnsureLibraryFile(MessageBoxes& boxes);

}  // namespace varnelo
