#include "engine/library_presence.h"

#include <system_error>

#include "engine/library.h"

namespace varnelo {
namespace {

namespace fs = std::filesystem;

// Any directory entry of that name, whatever it is (a dangling link or a directory too).
bool EntryExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Deletes a file, never a directory (an empty directory would otherwise go too).
void DeleteFileEntry(const fs::path& path) {
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(path, error))) return;
    fs::remove(path, error);
}

}  // namespace

bool ProvideLibraryFile(const fs::path& dir) {
    const fs::path replacement = dir / "Sunny.dll";
    const fs::path library = dir / kLibraryFileName;
    if (EntryExists(replacement) && EntryExists(library)) DeleteFileEntry(library);
    if (EntryExists(library)) return true;
    if (!EntryExists(replacement)) return false;
    std::error_code error;
    fs::rename(replacement, library, error);
    return EntryExists(library);
}

void EnsureLibraryFile(MessageBoxes& boxes) {
    if (ProvideLibraryFile(ProgramDirectory())) return;
    FatalExit(
        boxes,
        {"在当前目录下未找到 SunnyNet.dll \r\n\r\n请将 SunnyNet.dll 复制到当前运行目录后再试！"_cp936,
         "", MessageButtons::Ok, MessageIcon::Error});
}

}  // namespace varnelo
