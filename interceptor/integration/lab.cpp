#include "interceptor/integration/lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace varnelo::interceptor::lab {

namespace {

constexpr size_t kReportSize = 160;

struct Command {
    char kind;  // 'c' connect, 'f' connect from a grandchild, 'x' run a program
    char program[256];
    char address[64];
    uint16_t port;
    int connections;
    int bytes;
};

bool ParseAddress(const std::string& address, uint16_t port, sockaddr_storage* out,
                  socklen_t* length) {
    std::memset(out, 0, sizeof *out);
    if (address.find(':') != std::string::npos) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *length = sizeof *v6;
        return inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                  sizeof text);
    }
    return text;
}

int OpenOwnNamespace() { return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); }

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

unsigned char PayloadByte(int connection, int index) {
    return static_cast<unsigned char>(connection * 31 + index * 7 + (index >> 8));
}

// The client's work: all connections opened first, so that they are carried at the same time.
std::string ConnectAndCheck(const Command& command) {
    sockaddr_storage address;
    socklen_t length;
    if (!ParseAddress(command.address, command.port, &address, &length)) return "bad address";
    std::vector<int> fds;
    std::string result = "ok";
    timeval timeout{10, 0};
    for (int i = 0; i < command.connections && result == "ok"; ++i) {
        int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        fds.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            result = "connect " + std::to_string(i) + ": " + std::strerror(errno);
        }
    }
    // microsocks ends a connection as soon as one side half-closes, so the client reads the whole
    // echo before it closes.
    std::vector<unsigned char> buffer(static_cast<size_t>(command.bytes));
    for (size_t i = 0; i < fds.size() && result == "ok"; ++i) {
        for (int j = 0; j < command.bytes; ++j) buffer[j] = PayloadByte(static_cast<int>(i), j);
        if (!WriteAll(fds[i], buffer.data(), buffer.size())) result = "send " + std::to_string(i);
    }
    for (size_t i = 0; i < fds.size() && result == "ok"; ++i) {
        size_t got = 0;
        bool intact = true;
        while (got < static_cast<size_t>(command.bytes)) {
            ssize_t n = ::read(fds[i], buffer.data(), buffer.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t k = 0; k < n; ++k) {
                if (buffer[k] != PayloadByte(static_cast<int>(i), static_cast<int>(got + k))) intact = false;
            }
            got += static_cast<size_t>(n);
        }
        if (got != static_cast<size_t>(command.bytes) || !intact) {
            result = "connection " + std::to_string(i) + " echoed " + std::to_string(got) + " bytes" +
                     (intact ? "" : ", corrupted");
        }
    }
    for (int fd : fds) ::close(fd);
    return result;
}

void Report(int fd, const std::string& text) {
    char report[kReportSize] = {};
    std::strncpy(report, text.c_str(), kReportSize - 1);
    WriteAll(fd, report, kReportSize);
}

[[noreturn]] void ClientMain(int commands, int reports) {
    ::alarm(120);  // never outlive a broken test for long
    Command command;
    while (ReadAll(commands, &command, sizeof command)) {
        if (command.kind == 'x') {
            pid_t grandchild = ::fork();
            if (grandchild == 0) {
                std::string port = std::to_string(command.port);
                ::execl(command.program, command.program, command.address, port.c_str(), nullptr);
                ::_exit(127);
            }
            int status = 0;
            ::waitpid(grandchild, &status, 0);
            Report(reports, WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                              : "killed");
        } else if (command.kind == 'f') {
            pid_t grandchild = ::fork();
            if (grandchild == 0) {
                Report(reports, ConnectAndCheck(command));
                ::_exit(0);
            }
            ::waitpid(grandchild, nullptr, 0);
        } else {
            Report(reports, ConnectAndCheck(command));
        }
    }
    ::_exit(0);
}

}  // namespace

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

int Fd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        Kill();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

void Child::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int Child::Wait() {
    int status = -1;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

namespace {

// In a child just forked: dies with the test process, even when that one is killed or aborts.
void DieWithParent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);  // the parent went before the request took hold
}

}  // namespace

Child SpawnIn(int netnsFd, const std::vector<std::string>& argv) {
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        DieWithParent(parent);
        if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0) ::_exit(126);
        ::close_range(3, ~0U, 0);  // no descriptor of the engine's may live on in the child
        rlimit files{8192, 8192};
        ::setrlimit(RLIMIT_NOFILE, &files);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return Child(pid);
}

bool RunIn(int netnsFd, const std::vector<std::string>& argv, std::string* output) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        DieWithParent(parent);
        if (::setns(netnsFd, CLONE_NEWNET) != 0) ::_exit(126);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::close_range(3, ~0U, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (output) *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Namespaces::Namespaces() {
    host_ = Fd(OpenOwnNamespace());
    ok_ = host_.get() >= 0 && Build();
}

Namespaces::~Namespaces() {
    if (host_.get() >= 0) ::setns(host_.get(), CLONE_NEWNET);
}

bool Namespaces::Enter(int netnsFd) { return ::setns(netnsFd, CLONE_NEWNET) == 0; }

bool Namespaces::Build() {
    for (Fd* ns : {&remote_, &client_}) {
        if (::unshare(CLONE_NEWNET) != 0) {
            error_ = std::string("unshare: ") + std::strerror(errno);
            Enter(host_.get());
            return false;
        }
        *ns = Fd(OpenOwnNamespace());
        Enter(host_.get());
    }
    std::string remotePath = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(remote_.get());
    // The peer's namespace is named by a path: `ip` opens it itself.
    std::vector<std::pair<int, std::vector<std::string>>> steps = {
        {client_.get(), {"ip", "link", "set", "lo", "up"}},
        {client_.get(), {"ip", "link", "add", "vc", "type", "veth", "peer", "name", "vr", "netns", remotePath}},
        {client_.get(), {"ip", "addr", "add", "10.77.0.1/24", "dev", "vc"}},
        {client_.get(), {"ip", "-6", "addr", "add", "fd77::1/64", "dev", "vc", "nodad"}},
        {client_.get(), {"ip", "link", "set", "vc", "up"}},
        {client_.get(), {"ip", "route", "add", "default", "via", "10.77.0.2"}},
        {client_.get(), {"ip", "-6", "route", "add", "default", "via", "fd77::2"}},
        {remote_.get(), {"ip", "link", "set", "lo", "up"}},
        {remote_.get(), {"ip", "addr", "add", "10.77.0.2/24", "dev", "vr"}},
        {remote_.get(), {"ip", "-6", "addr", "add", "fd77::2/64", "dev", "vr", "nodad"}},
        {remote_.get(), {"ip", "link", "set", "vr", "up"}},
    };
    for (const char* a : {kDestinationV4, kProxyV4, kProxySourceV4}) {
        steps.push_back({remote_.get(), {"ip", "addr", "add", std::string(a) + "/32", "dev", "vr"}});
    }
    for (const char* a : {kDestinationV6, kProxyV6, kProxySourceV6}) {
        steps.push_back({remote_.get(), {"ip", "-6", "addr", "add", std::string(a) + "/128", "dev", "vr", "nodad"}});
    }
    for (const auto& [ns, argv] : steps) {
        std::string output;
        if (!RunIn(ns, argv, &output)) {
            error_ = "setting up the namespaces failed at:";
            for (const auto& a : argv) error_ += " " + a;
            error_ += ": " + output;
            return false;
        }
    }
    return true;
}

Fd ListenIn(Namespaces& ns, int netnsFd, const std::string& address, uint16_t port) {
    Fd back(OpenOwnNamespace());
    if (!ns.Enter(netnsFd)) return Fd();
    sockaddr_storage a;
    socklen_t length;
    Fd fd;
    if (ParseAddress(address, port, &a, &length)) {
        fd = Fd(::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(fd.get(), 1024) != 0) {
            fd = Fd();
        }
    }
    ns.Enter(back.get());
    return fd;
}

EchoServer::EchoServer(std::vector<Fd> listeners)
    : listeners_(std::move(listeners)), wake_(::eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

std::vector<std::string> EchoServer::Sources() const {
    std::lock_guard lock(mutex_);
    return sources_;
}

size_t EchoServer::Count() const {
    std::lock_guard lock(mutex_);
    return sources_.size();
}

void EchoServer::Reset() {
    std::lock_guard lock(mutex_);
    sources_.clear();
}

void EchoServer::Run() {
    Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
    auto watch = [&](int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event);
    };
    watch(wake_.get());
    for (const auto& l : listeners_) watch(l.get());
    std::map<int, Fd> connections;
    std::vector<char> buffer(65536);
    epoll_event events[64];
    for (;;) {
        int n = ::epoll_wait(epoll.get(), events, 64, -1);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == wake_.get()) return;
            bool listener = false;
            for (const auto& l : listeners_) listener |= l.get() == fd;
            if (listener) {
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                int c = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
                if (c < 0) continue;
                {
                    std::lock_guard lock(mutex_);
                    sources_.push_back(AddressText(peer));
                }
                connections.emplace(c, Fd(c));
                watch(c);
                continue;
            }
            ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got > 0 && WriteAll(fd, buffer.data(), static_cast<size_t>(got))) continue;
            // End of the client's data: the echo is complete, close.
            ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
            connections.erase(fd);
        }
    }
}

Child StartProxy(Namespaces& ns, const std::string& listen, const std::string& source) {
    Child proxy = SpawnIn(ns.Remote(), {"microsocks", "-i", listen, "-p", std::to_string(kProxyPort),
                                        "-u", kProxyUser, "-P", kProxyPassword, "-b", source});
    Fd back(OpenOwnNamespace());
    ns.Enter(ns.Remote());
    sockaddr_storage a;
    socklen_t length;
    ParseAddress(listen, kProxyPort, &a, &length);
    for (int attempt = 0; attempt < 250; ++attempt) {
        Fd probe(::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&a), length) == 0) break;
        ::usleep(20000);
    }
    ns.Enter(back.get());
    return proxy;
}

Client::Client() {
    int commands[2], reports[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(reports, O_CLOEXEC) != 0) return;
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        DieWithParent(parent);
        // Only the two pipes stay open: a copy of an engine socket held here would keep it alive
        // after the engine closed it.
        ::dup2(commands[0], 3);
        ::dup2(reports[1], 4);
        ::close_range(5, ~0U, 0);
        ClientMain(3, 4);
    }
    ::close(commands[0]);
    ::close(reports[1]);
    commands_ = Fd(commands[1]);
    reports_ = Fd(reports[0]);
    child_ = Child(pid);
}

Client::~Client() {
    commands_ = Fd();  // end of commands: the child leaves
    child_.Kill();
}

std::string Client::Connect(const std::string& address, uint16_t port, int connections, int bytes) {
    return Command('c', address, port, connections, bytes);
}

std::string Client::ConnectFromChild(const std::string& address, uint16_t port) {
    return Command('f', address, port, 1, 1000);
}

std::string Client::Run(const std::string& program, const std::string& address, uint16_t port) {
    return Command('x', address, port, 0, 0, program);
}

std::string Client::Command(char kind, const std::string& address, uint16_t port, int connections,
                            int bytes, const std::string& program) {
    struct Command command {};
    command.kind = kind;
    std::strncpy(command.program, program.c_str(), sizeof command.program - 1);
    std::strncpy(command.address, address.c_str(), sizeof command.address - 1);
    command.port = port;
    command.connections = connections;
    command.bytes = bytes;
    if (!WriteAll(commands_.get(), &command, sizeof command)) return "client gone";
    pollfd p{reports_.get(), POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) return "client did not report in time";
    char report[kReportSize];
    if (!ReadAll(reports_.get(), report, kReportSize)) return "client gone";
    report[kReportSize - 1] = '\0';
    return report;
}

std::string CgroupOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    }
    return "";
}

}  // namespace varnelo::interceptor::lab
