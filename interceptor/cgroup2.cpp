#include "interceptor/cgroup2.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "interceptor/capture_io.h"

namespace varnelo::interceptor {

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string DecodeMountField(std::string_view field) {
    auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            isOctal(field[i + 1]) && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> SplitBlanks(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos >= line.size()) break;
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (end > pos) parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

}  // namespace

std::optional<std::string> FindCgroup2Mount(std::string_view mountinfo) {
    size_t pos = 0;
    while (pos < mountinfo.size()) {
        size_t end = mountinfo.find('\n', pos);
        if (end == std::string_view::npos) end = mountinfo.size();
        auto fields = SplitBlanks(mountinfo.substr(pos, end - pos));
        pos = end + 1;
        // id parent major:minor root mountpoint options [optional...] - fstype source superopts
        for (size_t i = 5; i + 1 < fields.size(); ++i) {
            if (fields[i] == "-") {
                if (fields[i + 1] == "cgroup2") return DecodeMountField(fields[4]);
                break;
            }
        }
    }
    return std::nullopt;
}

std::string RelativePath(std::string_view base, std::string_view target) {
    auto from = SplitPath(base);
    auto to = SplitPath(target);
    size_t common = 0;
    while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
    std::string out;
    for (size_t i = common; i < from.size(); ++i) out += "../";
    for (size_t i = common; i < to.size(); ++i) {
        out += to[i];
        if (i + 1 < to.size()) out += '/';
    }
    if (!out.empty() && out.back() == '/') out.pop_back();
    return out;
}

std::optional<std::string> ParseCgroup2Path(std::string_view procCgroup) {
    size_t pos = 0;
    while (pos < procCgroup.size()) {
        size_t end = procCgroup.find('\n', pos);
        if (end == std::string_view::npos) end = procCgroup.size();
        std::string_view line = procCgroup.substr(pos, end - pos);
        if (line.starts_with("0::")) return std::string(line.substr(3));
        pos = end + 1;
    }
    return std::nullopt;
}

std::optional<Cgroup2> Cgroup2::Discover(std::string* error) {
    auto mountinfo = ReadWholeFile("/proc/self/mountinfo");
    if (!mountinfo) {
        if (error) *error = "cannot read /proc/self/mountinfo";
        return std::nullopt;
    }
    auto mount = FindCgroup2Mount(*mountinfo);
    if (!mount) {
        if (error) *error = "no cgroup2 file system is mounted";
        return std::nullopt;
    }
    return Cgroup2(*mount);
}

std::string Cgroup2::Directory(std::string_view cgroupPath) const {
    std::string dir = mount_;
    for (auto part : SplitPath(cgroupPath)) {
        dir += '/';
        dir += part;
    }
    return dir;
}

bool Cgroup2::Create(std::string_view cgroupPath, std::string* error) const {
    std::string dir = Directory(cgroupPath);
    if (::mkdir(dir.c_str(), 0755) != 0) {
        if (error) *error = "cannot create the cgroup " + dir + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool Cgroup2::Remove(std::string_view cgroupPath, std::string* error) const {
    std::string dir = Directory(cgroupPath);
    if (::rmdir(dir.c_str()) != 0) {
        if (error) *error = "cannot remove the cgroup " + dir + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool Cgroup2::Exists(std::string_view cgroupPath) const {
    struct stat st {};
    return ::stat(Directory(cgroupPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> Cgroup2::CgroupOf(pid_t pid) {
    auto text = ReadWholeFile("/proc/" + std::to_string(pid) + "/cgroup");
    if (!text) return std::nullopt;
    return ParseCgroup2Path(*text);
}

bool Cgroup2::Move(pid_t pid, std::string_view cgroupPath, std::string* error) const {
    return WriteControlFile(Directory(cgroupPath) + "/cgroup.procs", std::to_string(pid), error);
}

std::vector<pid_t> Cgroup2::Processes(std::string_view cgroupPath) const {
    std::vector<pid_t> pids;
    auto text = ReadWholeFile(Directory(cgroupPath) + "/cgroup.procs");
    if (!text) return pids;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t end = text->find('\n', pos);
        if (end == std::string::npos) end = text->size();
        if (end > pos) pids.push_back(static_cast<pid_t>(std::strtol(text->c_str() + pos, nullptr, 10)));
        pos = end + 1;
    }
    return pids;
}

std::vector<std::string> Cgroup2::TopLevelNames() const {
    std::vector<std::string> names;
    DIR* dir = ::opendir(mount_.c_str());
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (entry->d_type == DT_DIR && name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::string Cgroup2::NearestExisting(std::string cgroupPath) const {
    while (cgroupPath.size() > 1 && !Exists(cgroupPath)) {
        size_t slash = cgroupPath.rfind('/');
        cgroupPath = slash == 0 || slash == std::string::npos ? "/" : cgroupPath.substr(0, slash);
    }
    return cgroupPath.empty() ? "/" : cgroupPath;
}

}  // namespace varnelo::interceptor
