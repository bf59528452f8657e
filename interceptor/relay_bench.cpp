// Measures the relay: single-stream throughput, connect-exchange-close rate and the engine's
// memory per idle connection, for a client that speaks SOCKS5 to the upstream itself and for the
// same client captured by the engine (SunnyNet.dll loaded as the program loads it).
//
//   relay_bench serve ADDRESS PORT                      destination server (runs until killed)
//   relay_bench client (--socks HOST:PORT:USER:PASSWORD | --direct) ADDRESS:PORT SECONDS
//   relay_bench idle ADDRESS:PORT COUNT                 holds COUNT connections until stdin ends
//   relay_bench compare ENGINE PROXY_URL ADDRESS:PORT SECONDS ROUNDS IDLE_COUNT
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "interceptor/proxy_url.h"
#include "interceptor/socks5_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using varnelo::interceptor::Socks5Client;
using varnelo::interceptor::Socks5State;
using varnelo::interceptor::Socks5Target;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "relay_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

sockaddr_in ParseAddress(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        Die("bad address " + text);
    }
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(text.substr(colon + 1))));
    return address;
}

bool SendAll(int fd, const void* data, size_t size) {
    auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadExactly(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, bytes, size, 0);
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// ---- destination server: the first byte chooses the exchange -------------------------------
// 'S' sink: counts bytes until EOF, answers the count (8 bytes) and closes.
// 'E' echo: sends back what it gets, closes after EOF.
// 'I' idle: answers one byte, then waits for EOF.
struct ServerConnection {
    char mode = 0;
    uint64_t count = 0;
};

int Serve(const std::string& address, const std::string& port) {
    sockaddr_in local = ParseAddress(address + ":" + port);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) Die("bind");
    if (listen(listener, 4096) != 0) Die("listen");
    int epoll = epoll_create1(0);
    epoll_event event{EPOLLIN, {.fd = listener}};
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    std::unordered_map<int, ServerConnection> connections;
    std::vector<char> buffer(1 << 20);
    epoll_event events[256];
    for (;;) {
        int count = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                int client;
                while ((client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event add{EPOLLIN, {.fd = client}};
                    epoll_ctl(epoll, EPOLL_CTL_ADD, client, &add);
                    connections[client] = {};
                }
                continue;
            }
            ServerConnection& c = connections[fd];
            bool closeIt = false;
            for (;;) {
                ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
                if (got < 0) {
                    closeIt = errno != EAGAIN;
                    break;
                }
                if (got == 0) {
                    if (c.mode == 'S') SendAll(fd, &c.count, sizeof c.count);  // small: fits
                    closeIt = true;
                    break;
                }
                size_t offset = 0;
                if (c.mode == 0) {
                    c.mode = buffer[0];
                    offset = 1;
                    if (c.mode == 'I') SendAll(fd, "k", 1);
                }
                if (c.mode == 'S') c.count += static_cast<size_t>(got) - offset;
                if (c.mode == 'E' && static_cast<size_t>(got) > offset) {
                    SendAll(fd, buffer.data() + offset, static_cast<size_t>(got) - offset);
                }
            }
            if (closeIt) {
                close(fd);
                connections.erase(fd);
            }
        }
    }
}

// ---- client ---------------------------------------------------------------------------------
struct Way {
    bool viaSocks = false;
    sockaddr_in proxy{};
    std::string user, password;
    sockaddr_in destination{};
};

// A connection to the destination, through the proxy when the way says so; -1 on failure.
int Open(const Way& way) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in& first = way.viaSocks ? way.proxy : way.destination;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&first), sizeof first) != 0) {
        close(fd);
        return -1;
    }
    if (!way.viaSocks) return fd;
    Socks5Client socks(way.user, way.password,
                       Socks5Target::FromAddress(reinterpret_cast<const sockaddr*>(&way.destination)));
    while (socks.State() == Socks5State::kInProgress) {
        auto out = socks.Output();
        if (!out.empty()) {
            if (!SendAll(fd, out.data(), out.size())) break;
            socks.ConsumeOutput(out.size());
        }
        uint8_t answer[512];
        ssize_t got = recv(fd, answer, std::min(sizeof answer, socks.BytesWanted()), 0);
        if (got <= 0) break;
        socks.Feed({answer, static_cast<size_t>(got)});
    }
    if (socks.State() != Socks5State::kConnected) {
        close(fd);
        return -1;
    }
    return fd;
}

double Throughput(const Way& way, double seconds) {
    int fd = Open(way);
    if (fd < 0) Die("throughput connection");
    std::vector<char> chunk(256 * 1024, 'x');
    chunk[0] = 'S';
    uint64_t sent = 0;
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (!SendAll(fd, chunk.data(), chunk.size())) Die("throughput send");
        sent += chunk.size();
    }
    shutdown(fd, SHUT_WR);
    uint64_t received = 0;
    if (!ReadExactly(fd, &received, sizeof received)) Die("throughput answer");
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    if (received != sent - 1) {
        std::fprintf(stderr, "relay_bench: sent %llu bytes, server counted %llu\n",
                     static_cast<unsigned long long>(sent - 1), static_cast<unsigned long long>(received));
        std::exit(3);
    }
    return static_cast<double>(received) * 8 / elapsed / 1e9;
}

double Rate(const Way& way, double seconds, int workers) {
    std::atomic<long> done{0}, failed{0};
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            char message[33] = "E0123456789abcdef0123456789abcde";
            char answer[31];
            while (Clock::now() < until) {
                int fd = Open(way);
                bool ok = fd >= 0 && SendAll(fd, message, 32) && ReadExactly(fd, answer, 31) &&
                          std::memcmp(answer, message + 1, 31) == 0;
                if (fd >= 0) close(fd);
                (ok ? done : failed)++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed > 0) std::fprintf(stderr, "relay_bench: %ld exchanges failed\n", failed.load());
    return static_cast<double>(done) / elapsed;
}

int Client(int argc, char** argv) {
    // client --socks HOST:PORT:USER:PASSWORD DEST SECONDS | client --direct DEST SECONDS
    Way way;
    std::string how = argv[2];
    int next;
    if (how == "--socks" && argc == 6) {
        std::string spec = argv[3];
        size_t a = spec.find(':'), b = spec.find(':', a + 1);
        way.viaSocks = true;
        way.proxy = ParseAddress(spec.substr(0, a) + ":" + spec.substr(a + 1, b - a - 1));
        std::string credentials = spec.substr(b + 1);
        size_t c = credentials.find(':');
        way.user = credentials.substr(0, c);
        way.password = credentials.substr(c + 1);
        next = 4;
    } else if (how == "--direct" && argc == 5) {
        next = 3;
    } else {
        return 1;
    }
    way.destination = ParseAddress(argv[next]);
    double seconds = std::atof(argv[next + 1]);
    double gbps = Throughput(way, seconds);
    double rate = Rate(way, seconds, 4);
    std::printf("%.3f %.1f\n", gbps, rate);
    return 0;
}

int Idle(const std::string& destination, int count) {
    Way way;
    way.destination = ParseAddress(destination);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = Open(way);
        char ack;
        if (fd < 0 || !SendAll(fd, "I", 1) || !ReadExactly(fd, &ack, 1)) Die("idle connection");
        fds.push_back(fd);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    for (int fd : fds) close(fd);
    return 0;
}


// ---- comparison through the engine ----------------------------------------------------------
struct Engine {
    int (*CreateSunnyNet)();
    int (*SunnyNetSetPort)(int, int);
    int (*SunnyNetStart)(int);
    char* (*SunnyNetError)(int);
    int (*OpenDrive)(int, int);
    int (*SetGlobalProxy)(int, const char*, int);
    void (*ProcessAddPid)(int, int);
    void (*ReleaseSunnyNet)(int);
    void (*Free)(void*);
};

template <typename F>
void Find(void* library, const char* name, F*& function) {
    function = reinterpret_cast<F*>(dlsym(library, name));
    if (!function) {
        std::fprintf(stderr, "relay_bench: the engine lacks %s\n", name);
        std::exit(2);
    }
}

std::string EngineError(const Engine& engine, int context) {
    char* text = engine.SunnyNetError(context);
    std::string error = text ? text : "";
    if (text) engine.Free(text);
    return error;
}

// Runs this program with the arguments, captured by the engine first when captured is set.
// Answers the child's pid; its stdin and stdout are the pipes given back.
pid_t Spawn(const std::vector<std::string>& args, const Engine* engine, int context, int* input, int* output) {
    int go[2], in[2], out[2];
    if (pipe(go) != 0 || pipe(in) != 0 || pipe(out) != 0) Die("pipe");
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) Die("fork");
    if (child == 0) {
        char byte;
        close(go[1]);
        if (read(go[0], &byte, 1) != 1) _exit(4);  // wait until the engine has taken us in
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execv("/proc/self/exe", argv.data());
        _exit(5);
    }
    close(go[0]);
    close(in[0]);
    close(out[1]);
    if (engine) engine->ProcessAddPid(context, child);
    if (write(go[1], "g", 1) != 1) Die("start child");
    close(go[1]);
    *input = in[1];
    *output = out[0];
    return child;
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

long RssKb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
    }
    if (status) std::fclose(status);
    return kb;
}

std::pair<double, double> RunClient(const std::vector<std::string>& args, const Engine* engine, int context) {
    int input, output;
    pid_t child = Spawn(args, engine, context, &input, &output);
    close(input);
    std::string line = ReadLine(output);
    close(output);
    int status = 0;
    waitpid(child, &status, 0);
    double gbps = 0, rate = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(line.c_str(), "%lf %lf", &gbps, &rate) != 2) {
        std::fprintf(stderr, "relay_bench: client failed (%s)\n", line.c_str());
        std::exit(3);
    }
    return {gbps, rate};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int Compare(char** argv) {
    std::string enginePath = argv[2], url = argv[3], destination = argv[4], seconds = argv[5];
    int rounds = std::atoi(argv[6]), idleCount = std::atoi(argv[7]);
    auto upstream = varnelo::interceptor::ParseProxyUrl(url);
    if (!upstream) {
        std::fprintf(stderr, "relay_bench: bad proxy address %s\n", url.c_str());
        return 1;
    }
    std::string socks = upstream->host + ":" + std::to_string(upstream->port) + ":" + upstream->user +
                        ":" + upstream->password;

    void* library = dlopen(enginePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "relay_bench: %s\n", dlerror());
        return 2;
    }
    Engine engine;
    Find(library, "CreateSunnyNet", engine.CreateSunnyNet);
    Find(library, "SunnyNetSetPort", engine.SunnyNetSetPort);
    Find(library, "SunnyNetStart", engine.SunnyNetStart);
    Find(library, "SunnyNetError", engine.SunnyNetError);
    Find(library, "OpenDrive", engine.OpenDrive);
    Find(library, "SetGlobalProxy", engine.SetGlobalProxy);
    Find(library, "ProcessAddPid", engine.ProcessAddPid);
    Find(library, "ReleaseSunnyNet", engine.ReleaseSunnyNet);
    Find(library, "Free", engine.Free);

    int context = engine.CreateSunnyNet();
    engine.SunnyNetSetPort(context, 20000 + getpid() % 20000);
    if (!engine.SunnyNetStart(context)) {
        std::fprintf(stderr, "relay_bench: start: %s\n", EngineError(engine, context).c_str());
        return 2;
    }
    if (!engine.SetGlobalProxy(context, url.c_str(), 0) || !engine.OpenDrive(context, 0)) {
        std::fprintf(stderr, "relay_bench: capture: %s\n", EngineError(engine, context).c_str());
        engine.ReleaseSunnyNet(context);
        return 2;
    }

    std::vector<double> ownGbps, ownRate, engineGbps, engineRate;
    for (int round = 0; round < rounds; ++round) {
        auto own = RunClient({"relay_bench", "client", "--socks", socks, destination, seconds}, nullptr, context);
        auto captured = RunClient({"relay_bench", "client", "--direct", destination, seconds}, &engine, context);
        std::printf("round %d: own SOCKS5 %.2f Gbit/s %.0f conn/s | captured %.2f Gbit/s %.0f conn/s\n",
                    round + 1, own.first, own.second, captured.first, captured.second);
        std::fflush(stdout);
        ownGbps.push_back(own.first);
        ownRate.push_back(own.second);
        engineGbps.push_back(captured.first);
        engineRate.push_back(captured.second);
    }

    // Memory: the engine's resident size before and while it holds the idle connections.
    long before = RssKb();
    int input, output;
    pid_t idle = Spawn({"relay_bench", "idle", destination, std::to_string(idleCount)}, &engine, context,
                       &input, &output);
    std::string ready = ReadLine(output);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long during = RssKb();
    close(input);
    close(output);
    waitpid(idle, nullptr, 0);
    if (ready != "ready") {
        std::fprintf(stderr, "relay_bench: the idle connections could not be made\n");
        engine.ReleaseSunnyNet(context);
        return 3;
    }
    engine.ReleaseSunnyNet(context);

    double gbpsRatio = Median(engineGbps) / Median(ownGbps);
    double rateRatio = Median(engineRate) / Median(ownRate);
    std::string heading = "median of " + std::to_string(rounds) + " rounds";
    std::printf("\n%-34s %14s %14s %8s\n", heading.c_str(), "own SOCKS5",
                "captured", "ratio");
    std::printf("%-34s %14.2f %14.2f %8.2f  (goal >= 0.90)\n", "single stream, Gbit/s",
                Median(ownGbps), Median(engineGbps), gbpsRatio);
    std::printf("%-34s %14.0f %14.0f %8.2f  (goal >= 0.90)\n", "connect-exchange-close, per s",
                Median(ownRate), Median(engineRate), rateRatio);
    std::printf("engine memory with %d idle connections: %ld KB more resident, %.2f KB each (goal < 40)\n",
                idleCount, during - before, static_cast<double>(during - before) / idleCount);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4) return Serve(argv[2], argv[3]);
    if (mode == "client" && argc >= 5) return Client(argc, argv);
    if (mode == "idle" && argc == 4) return Idle(argv[2], std::atoi(argv[3]));
    if (mode == "compare" && argc == 8) return Compare(argv);
    std::fprintf(stderr, "usage: see the comment at the top of relay_bench.cpp\n");
    return 1;
}
