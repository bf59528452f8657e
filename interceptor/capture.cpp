#include "interceptor/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <thread>

#include "interceptor/capture_io.h"

namespace varnelo::interceptor {

namespace {

constexpr std::string_view kStateSuffix = ".origins";
constexpr int kMoveRounds = 20;  // a captured process may fork while we empty the cgroup

std::atomic<unsigned> g_sequence{0};

// Parses "<number><sep>" or the final "<number>" from `text`, advancing it.
template <typename T>
bool TakeNumber(std::string_view& text, char separator, bool last, T* value) {
    size_t end = last ? text.size() : text.find(separator);
    if (end == std::string_view::npos || end == 0) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + end, *value);
    if (ec != std::errc() || ptr != text.data() + end) return false;
    text.remove_prefix(last ? end : end + 1);
    return true;
}

// Moves every process of `from` to the cgroup `destination(pid)` names, repeating while new
// ones (forked meanwhile) appear.
template <typename Destination>
void EmptyCgroup(const Cgroup2& cgroups, const std::string& from, Destination destination) {
    for (int round = 0; round < kMoveRounds; ++round) {
        auto pids = cgroups.Processes(from);
        if (pids.empty()) return;
        for (pid_t pid : pids) {
            if (!cgroups.Move(pid, cgroups.NearestExisting(destination(pid)), nullptr)) {
                cgroups.Move(pid, "/", nullptr);  // never leave a process behind in our cgroup
            }
        }
    }
}

// rmdir may briefly fail while exiting processes still count as members.
bool RemoveWithRetry(const Cgroup2& cgroups, const std::string& path, std::string* error) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (cgroups.Remove(path, error)) return true;
        if (errno != EBUSY) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::map<pid_t, std::string> ReadOrigins(const std::string& file) {
    std::map<pid_t, std::string> origins;
    auto text = ReadWholeFile(file);
    if (!text) return origins;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t end = text->find('\n', pos);
        if (end == std::string::npos) break;  // an unfinished last line is ignored
        std::string_view line(text->data() + pos, end - pos);
        size_t blank = line.find(' ');
        pid_t pid = 0;
        if (blank != std::string_view::npos &&
            std::from_chars(line.data(), line.data() + blank, pid).ec == std::errc()) {
            origins[pid] = std::string(line.substr(blank + 1));
        }
        pos = end + 1;
    }
    return origins;
}

}  // namespace

std::string EngineName(const EngineId& id, char separator) {
    std::string s = "varnelo";
    s += separator;
    s += std::to_string(id.pid);
    s += separator;
    s += std::to_string(id.start);
    s += separator;
    s += std::to_string(id.sequence);
    return s;
}

std::optional<EngineId> ParseEngineName(std::string_view name, char separator) {
    std::string prefix = std::string("varnelo") + separator;
    if (!name.starts_with(prefix)) return std::nullopt;
    name.remove_prefix(prefix.size());
    EngineId id;
    if (!TakeNumber(name, separator, false, &id.pid) ||
        !TakeNumber(name, separator, false, &id.start) ||
        !TakeNumber(name, separator, true, &id.sequence) || id.pid <= 0) {
        return std::nullopt;
    }
    return id;
}

bool OwnerAlive(const EngineId& id) {
    auto start = ProcessStartTime(id.pid);
    return start && *start == id.start;
}

int RemoveLeftovers(const Cgroup2& cgroups, Nftables& nft, const std::string& stateDir) {
    int removed = 0;
    // Tables first: once the rules are gone, nothing is redirected to a dead engine any more.
    for (const auto& table : nft.InetTables()) {
        auto id = ParseEngineName(table, '_');
        if (id && !OwnerAlive(*id) && nft.DeleteTable(table, nullptr)) ++removed;
    }
    for (const auto& name : cgroups.TopLevelNames()) {
        auto id = ParseEngineName(name, '-');
        if (!id || OwnerAlive(*id)) continue;
        std::string record = stateDir + "/" + name + std::string(kStateSuffix);
        auto origins = ReadOrigins(record);
        EmptyCgroup(cgroups, "/" + name, [&](pid_t pid) {
            auto it = origins.find(pid);
            return it != origins.end() ? it->second : std::string("/");
        });
        if (RemoveWithRetry(cgroups, "/" + name, nullptr)) ++removed;
        ::unlink(record.c_str());
    }
    // Records whose cgroup is already gone.
    if (DIR* dir = ::opendir(stateDir.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string_view file = entry->d_name;
            if (!file.ends_with(kStateSuffix)) continue;
            auto id = ParseEngineName(file.substr(0, file.size() - kStateSuffix.size()), '-');
            if (id && !OwnerAlive(*id)) ::unlink((stateDir + "/" + std::string(file)).c_str());
        }
        ::closedir(dir);
    }
    return removed;
}

Capture::Capture(uint32_t mark, std::string stateDir)
    : mark_(mark), stateDir_(std::move(stateDir)), self_(::getpid()) {}

Capture::~Capture() { Close(); }

bool Capture::Open(uint16_t port, std::string* error) {
    std::lock_guard lock(mutex_);
    if (!path_.empty()) return true;
    if (!cgroups_) {
        cgroups_ = Cgroup2::Discover(error);
        if (!cgroups_) return false;
    }
    RemoveLeftovers(*cgroups_, nft_, stateDir_);
    auto start = ProcessStartTime(::getpid());
    id_ = EngineId{::getpid(), start.value_or(0), ++g_sequence};
    std::string path = "/" + EngineName(id_, '-');
    if (!cgroups_->Create(path, error)) return false;
    path_ = path;
    port_ = port;
    // The rules hold the cgroup's id, so they are loaded after the cgroup exists.
    if (!LoadRulesLocked(error)) {
        cgroups_->Remove(path_, nullptr);
        path_.clear();
        return false;
    }
    return true;
}

bool Capture::IsOpen() const {
    std::lock_guard lock(mutex_);
    return !path_.empty();
}

bool Capture::SetPort(uint16_t port, std::string* error) {
    std::lock_guard lock(mutex_);
    if (port == port_) return true;
    uint16_t old = port_;
    port_ = port;
    if (path_.empty() || LoadRulesLocked(error)) return true;
    port_ = old;
    return false;
}

bool Capture::SetCaptureAll(bool all, std::string* error) {
    std::lock_guard lock(mutex_);
    if (path_.empty()) {
        if (error) *error = "the capture is not open";
        return false;
    }
    bool old = all_;
    all_ = all;
    if (LoadRulesLocked(error)) return true;
    all_ = old;
    return false;
}

bool Capture::LoadRulesLocked(std::string* error) {
    CaptureRules rules;
    rules.table = EngineName(id_, '_');
    rules.cgroupRelative = RelativePath("/sys/fs/cgroup", cgroups_->Directory(path_));
    rules.cgroupLevel = 1;
    rules.mark = mark_;
    rules.port = port_;
    rules.captureAll = all_;
    std::string batch = BuildRuleset(rules);
    if (batch.empty()) {
        if (error) *error = "the cgroup path cannot be written in an nftables rule";
        return false;
    }
    return nft_.Run(batch, nullptr, error);
}

bool Capture::AddPid(pid_t pid) {
    if (pid <= 0 || pid == self_) return false;
    auto current = Cgroup2::CgroupOf(pid);
    std::lock_guard lock(mutex_);
    if (path_.empty() || !current) return false;
    if (*current == path_) return true;
    // A thread id of the engine's own process would move the engine itself into the capture.
    if (ThreadGroupOf(pid).value_or(self_) == self_) return false;
    RecordOriginLocked(pid, *current);
    if (cgroups_->Move(pid, path_, nullptr)) return true;
    origins_.erase(pid);
    return false;
}

bool Capture::RemovePid(pid_t pid) {
    if (pid <= 0) return false;
    auto current = Cgroup2::CgroupOf(pid);
    std::lock_guard lock(mutex_);
    if (path_.empty() || !current || *current != path_) {
        origins_.erase(pid);
        return false;
    }
    std::string origin = cgroups_->NearestExisting(OriginOfLocked(pid));
    bool moved = cgroups_->Move(pid, origin, nullptr) || cgroups_->Move(pid, "/", nullptr);
    origins_.erase(pid);
    return moved;
}

std::string Capture::OriginOfLocked(pid_t pid) const {
    // A child forked inside the capture goes back where its captured ancestor came from.
    pid_t p = pid;
    for (int depth = 0; depth < 64 && p > 1; ++depth) {
        auto it = origins_.find(p);
        if (it != origins_.end()) return it->second;
        auto parent = ParentPid(p);
        if (!parent) break;
        p = *parent;
    }
    return "/";
}

void Capture::RecordOriginLocked(pid_t pid, const std::string& origin) {
    origins_[pid] = origin;
    // Appended, one write per line, so that a crash leaves at worst an unfinished last line.
    int fd = ::open(StateFile().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string line = std::to_string(pid) + " " + origin + "\n";
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

void Capture::CancelAll() {
    std::lock_guard lock(mutex_);
    CancelAllLocked();
}

void Capture::CancelAllLocked() {
    if (path_.empty()) return;
    EmptyCgroup(*cgroups_, path_, [&](pid_t pid) { return OriginOfLocked(pid); });
    origins_.clear();
    [[maybe_unused]] int rc = ::truncate(StateFile().c_str(), 0);
}

void Capture::Close() {
    std::lock_guard lock(mutex_);
    if (path_.empty()) return;
    nft_.DeleteTable(EngineName(id_, '_'), nullptr);
    CancelAllLocked();
    RemoveWithRetry(*cgroups_, path_, nullptr);
    ::unlink(StateFile().c_str());
    path_.clear();
    all_ = false;
}

std::string Capture::CgroupPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}

std::string Capture::TableName() const {
    std::lock_guard lock(mutex_);
    return path_.empty() ? std::string() : EngineName(id_, '_');
}

std::vector<pid_t> Capture::CapturedProcesses() const {
    std::lock_guard lock(mutex_);
    return path_.empty() ? std::vector<pid_t>() : cgroups_->Processes(path_);
}

std::string Capture::StateFile() const {
    return stateDir_ + "/" + EngineName(id_, '-') + std::string(kStateSuffix);
}

}  // namespace varnelo::interceptor
