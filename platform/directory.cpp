#include "platform/directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace varnelo {

bool DirectoryExists(const Text& path) {
    if (path.empty()) return false;
    struct stat st {};
    return ::stat(PathFromText(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectoryTree(const Text& path) {
    if (path.empty()) return false;
    // Split the file-system form: in the code-page-936 form a second byte may equal "/".
    const std::string fsPath = PathFromText(path);
    for (std::size_t slash = fsPath.find('/', 1); slash != std::string::npos;
         slash = fsPath.find('/', slash + 1)) {
        ::mkdir(fsPath.substr(0, slash).c_str(), 0755);
    }
    ::mkdir(fsPath.c_str(), 0755);
    return DirectoryExists(path);
}

Text RunDirectory() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return Text();
    std::string exe(buffer, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return Text();
    return TextFromPath(exe.substr(0, slash));
}

}  // namespace varnelo
