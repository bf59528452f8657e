// A small network laboratory for the engine's integration tests, made of two network namespaces
// joined by a veth pair:
//
//   client namespace (the engine, the captured programs)   remote namespace (destination, proxy)
//   vc 10.77.0.1/24  fd77::1/64  ---------------------- vr 10.77.0.2/24  fd77::2/64
//                                                          10.77.1.1 fd77:1::1  destination
//                                                          10.77.1.2 fd77:1::2  SOCKS5 proxy
//                                                          10.77.1.3 fd77:1::3  proxy's source
//
// The proxy binds its outgoing connections to the third address, so the destination tells a
// proxied connection (source 10.77.1.3) from a direct one (source 10.77.0.1). The namespaces are
// held by file descriptors only: they vanish with the test process, even when it crashes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnelo::interceptor::lab {

inline constexpr const char* kClientV4 = "10.77.0.1";
inline constexpr const char* kClientV6 = "fd77::1";
inline constexpr const char* kDestinationV4 = "10.77.1.1";
inline constexpr const char* kDestinationV6 = "fd77:1::1";
inline constexpr const char* kProxyV4 = "10.77.1.2";
inline constexpr const char* kProxyV6 = "fd77:1::2";
inline constexpr const char* kProxySourceV4 = "10.77.1.3";
inline constexpr const char* kProxySourceV6 = "fd77:1::3";
inline constexpr uint16_t kDestinationPort = 8080;
inline constexpr uint16_t kProxyPort = 1080;
inline constexpr const char* kProxyUser = "tester";
inline constexpr const char* kProxyPassword = "s3cret:pass";

// A file descriptor owned.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    int get() const { return fd_; }
    int Release();

private:
    int fd_ = -1;
};

// A child process, killed (SIGKILL) and reaped when the object goes.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() { Kill(); }
    Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept;
    pid_t pid() const { return pid_; }
    void Kill();
    int Wait();  // the wait status

private:
    pid_t pid_ = -1;
};

// Runs `argv` in the namespace `netnsFd`, waits; true when it exits with 0.
bool RunIn(int netnsFd, const std::vector<std::string>& argv, std::string* output = nullptr);
// Forks a child that enters `netnsFd` and executes `argv` (stdin/stdout to /dev/null).
Child SpawnIn(int netnsFd, const std::vector<std::string>& argv);

class Namespaces {
public:
    Namespaces();   // builds the two namespaces and the link; check Ok()
    ~Namespaces();  // returns the calling thread to its namespace
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    int Host() const { return host_.get(); }
    int Client() const { return client_.get(); }
    int Remote() const { return remote_.get(); }
    // Moves the calling thread into a namespace; the sockets and threads it makes belong there.
    bool Enter(int netnsFd);

private:
    bool Build();
    Fd host_, client_, remote_;
    bool ok_ = false;
    std::string error_;
};

// A TCP listener made in a given namespace.
Fd ListenIn(Namespaces& ns, int netnsFd, const std::string& address, uint16_t port);

// The destination: echoes what it gets and records the source address of every connection.
class EchoServer {
public:
    explicit EchoServer(std::vector<Fd> listeners);
    ~EchoServer();
    std::vector<std::string> Sources() const;  // in order of arrival
    size_t Count() const;
    void Reset();

private:
    void Run();
    std::vector<Fd> listeners_;
    Fd wake_;
    mutable std::mutex mutex_;
    std::vector<std::string> sources_;
    std::thread thread_;
};

// microsocks in the remote namespace, listening on `listen` and binding its outgoing connections
// to `source`. Waits until it accepts connections.
Child StartProxy(Namespaces& ns, const std::string& listen, const std::string& source);

// A test client: a forked child that waits for commands on a pipe and reports on another, so that
// the test can move it into the capture between its birth and its connections. Each command opens
// `connections` connections to the address at once, sends `bytes` distinct bytes on each and checks that
// the echo is intact. Bounded by an alarm.
class Client {
public:
    Client();  // forks in the calling thread's namespace
    ~Client();
    pid_t pid() const { return child_.pid(); }
    // "ok" when every connection carried its bytes both ways; otherwise what failed.
    std::string Connect(const std::string& address, uint16_t port, int connections = 1,
                        int bytes = 1000);
    // The same, done by a grandchild forked at this moment.
    std::string ConnectFromChild(const std::string& address, uint16_t port);
    // Runs `program address port` as a grandchild; "exit <status>".
    std::string Run(const std::string& program, const std::string& address, uint16_t port);

private:
    std::string Command(char kind, const std::string& address, uint16_t port, int connections,
                        int bytes, const std::string& program = "");
    Fd commands_, reports_;
    Child child_;
};

// The v2 cgroup of a process ("" when gone).
std::string CgroupOf(pid_t pid);

}  // namespace varnelo::interceptor::lab
