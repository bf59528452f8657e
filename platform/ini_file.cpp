#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace varnelo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Letter case is folded only for single-byte characters: the second byte of a double-byte
// character may look like an ASCII letter and must match exactly.
bool NamesMatch(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// The section name of a "[name]" line, or nothing for other lines.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = TrimBlanks(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) close = line.size();
    return TrimBlanks(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> KeyOf(std::string_view line) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{TrimBlanks(line.substr(0, eq)), TrimBlanks(line.substr(eq + 1))};
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::optional<std::string> ReadWholeFile(const std::string& path, bool missingIsEmpty) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (missingIsEmpty && errno == ENOENT) return std::string();
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The settings hold a password: never visible to other users, never half written.
bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    std::string temp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

std::size_t EndOfSection(const std::vector<std::string>& lines, std::size_t header) {
    std::size_t end = header + 1;
    while (end < lines.size() && !SectionOf(lines[end])) ++end;
    return end;
}

void SetKeyInLines(std::vector<std::string>& lines, const Text& section, const Text& key,
                   const Text& value) {
    const std::string entry = key + "=" + value;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionOf(lines[i]);
        if (!name || !NamesMatch(*name, section)) continue;
        std::size_t end = EndOfSection(lines, i);
        std::size_t lastKey = i;
        for (std::size_t j = i + 1; j < end; ++j) {
            auto line = KeyOf(lines[j]);
            if (!line) continue;
            if (NamesMatch(line->key, key)) {
                lines[j] = entry;
                return;
            }
            lastKey = j;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastKey + 1), entry);
        return;
    }
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
}

bool HasLineBreak(const Text& s) { return s.find_first_of("\r\n") != Text::npos; }

}  // namespace

Text ReadProfileString(const Text& file, const Text& section, const Text& key,
                       std::size_t bufferSize) {
    if (bufferSize == 0) return Text();
    auto content = ReadWholeFile(PathFromText(file), true);
    if (!content) return Text();
    bool inSection = false;
    for (const std::string& line : SplitLines(*content)) {
        if (auto name = SectionOf(line)) {
            inSection = NamesMatch(*name, section);
            continue;
        }
        if (!inSection) continue;
        auto entry = KeyOf(line);
        if (!entry || !NamesMatch(entry->key, key)) continue;
        std::string_view value = Unquote(entry->value);
        if (value.size() < bufferSize) return Text(value);
        // Cut to the buffer, but never keep the first half of a double-byte character.
        std::size_t keep = 0;
        const std::size_t limit = bufferSize - 1;
        while (keep < limit) {
            std::size_t step = IsLeadByte(static_cast<unsigned char>(value[keep])) ? 2 : 1;
            if (keep + step > limit) break;
            keep += step;
        }
        return Text(value.substr(0, keep));
    }
    return Text();
}

bool WriteProfileString(const Text& file, const Text& section, const Text& key,
                        const Text& value) {
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || key.empty()) {
        return false;
    }
    const std::string path = PathFromText(file);
    auto content = ReadWholeFile(path, true);
    if (!content) return false;
    std::vector<std::string> lines = SplitLines(*content);
    SetKeyInLines(lines, section, key, value);
    std::string out;
    for (const std::string& line : lines) out += line + "\r\n";
    return ReplaceFileAtomically(path, out);
}

}  // namespace varnelo
