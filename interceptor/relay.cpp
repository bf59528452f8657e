#include "interceptor/relay.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include "interceptor/event_loop.h"
#include "interceptor/relay_connection.h"
#include "interceptor/socket_util.h"

namespace varnelo::interceptor {
namespace {

std::shared_ptr<const RelayRoute> MakeRoute(const std::optional<Upstream>& upstream) {
    auto route = std::make_shared<RelayRoute>();
    if (!upstream) return route;
    route->viaProxy = true;
    route->user = upstream->user;
    route->password = upstream->password;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(upstream->port);
    if (getaddrinfo(upstream->host.c_str(), port.c_str(), &hints, &found) == 0 && found) {
        std::memcpy(&route->proxy, found->ai_addr, found->ai_addrlen);
        route->proxyLength = found->ai_addrlen;
        route->proxyResolved = true;
    }
    if (found) freeaddrinfo(found);
    return route;
}

void RaiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

struct Relay::Impl : RelayOwner {
    // A listening socket's events.
    struct Listener : EventLoop::Handler {
        Impl* impl = nullptr;
        UniqueFd fd;
        void OnEvents(uint32_t) override { impl->AcceptAll(fd.Get()); }
    };

    explicit Impl(uint32_t mark) : mark(mark) {}

    EventLoop& Loop() override { return *loop; }
    void Finished(RelayConnection* connection) override {
        connections.erase(connection);
        finished.push_back(connection);
        count.store(connections.size(), std::memory_order_relaxed);
    }
    void WantsMoreTime(RelayConnection* connection) override { waiting.push_back(connection); }

    void AcceptAll(int listenFd);
    void Accept(UniqueFd client);
    bool AfterBatch();
    void Run();
    void DropAll();

    uint32_t mark;
    RelayTimeouts timeouts;
    DestinationResolver resolver = OriginalDestination;
    std::unique_ptr<EventLoop> loop;
    Listener listeners[2];
    UniqueFd spare;  // given up to accept and refuse a connection when descriptors run out
    std::thread thread;
    std::atomic<uint16_t> port{0};
    std::atomic<size_t> count{0};

    std::mutex routeMutex;
    std::shared_ptr<const RelayRoute> route = std::make_shared<RelayRoute>();

    // Loop thread only.
    std::unordered_set<RelayConnection*> connections;
    std::vector<RelayConnection*> finished;
    std::vector<RelayConnection*> waiting;
};

void Relay::Impl::AcceptAll(int listenFd) {
    for (;;) {
        UniqueFd client(accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (client.Valid()) {
            Accept(std::move(client));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && spare.Valid()) {
            // Out of descriptors: take the connection off the queue and close it, or the
            // edge-triggered listener would never report it again.
            spare.Reset();
            UniqueFd refused(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
            CloseWithReset(refused);
            spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
            continue;
        }
        return;
    }
}

void Relay::Impl::Accept(UniqueFd client) {
    sockaddr_storage destination{};
    socklen_t length = sizeof destination;
    if (!resolver(client.Get(), &destination, &length)) return CloseWithReset(client);
    SetNoDelay(client.Get());
    std::shared_ptr<const RelayRoute> current;
    {
        std::lock_guard lock(routeMutex);
        current = route;
    }
    auto* connection = new RelayConnection(
        this, std::move(client), {timeouts.connectMs, timeouts.handshakeMs, mark});
    connections.insert(connection);
    count.store(connections.size(), std::memory_order_relaxed);
    connection->Begin(reinterpret_cast<sockaddr*>(&destination), length, std::move(current));
}

bool Relay::Impl::AfterBatch() {
    // Connections that used up their turn go on, unless they finished meanwhile.
    std::vector<RelayConnection*> resume;
    resume.swap(waiting);
    for (RelayConnection* connection : resume) {
        if (!connection->Finished()) connection->Resume();
    }
    for (RelayConnection* connection : finished) delete connection;
    finished.clear();
    return !waiting.empty();
}

void Relay::Impl::Run() {
    // A write to a socket whose peer has gone must not kill the host program: the signal the
    // kernel directs at this thread stays blocked here.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    loop->Run([this] { return AfterBatch(); });
}

void Relay::Impl::DropAll() {
    for (RelayConnection* connection : connections) {
        connection->Abandon();
        delete connection;
    }
    connections.clear();
    for (RelayConnection* connection : finished) delete connection;
    finished.clear();
    waiting.clear();
    count.store(0);
}

Relay::Relay(uint32_t socketMark) : impl_(std::make_unique<Impl>(socketMark)) {}

Relay::~Relay() { Stop(); }

bool Relay::Start(uint16_t port, std::string* error) {
    if (impl_->thread.joinable()) {
        if (error) *error = "the relay is already running";
        return false;
    }
    auto loop = std::make_unique<EventLoop>();
    if (!loop->Init(error)) return false;
    UniqueFd v4 = ListenLoopback(AF_INET, port, error);
    if (!v4.Valid()) return false;
    uint16_t bound = LocalPort(v4.Get());
    std::string v6Error;
    UniqueFd v6 = ListenLoopback(AF_INET6, bound, &v6Error);
    // Without IPv6 on the machine nothing can be redirected to [::1]; the port in use is an error.
    if (!v6.Valid() && errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL) {
        if (error) *error = v6Error;
        return false;
    }
    RaiseOpenFileLimit();
    impl_->spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    impl_->loop = std::move(loop);
    impl_->listeners[0].fd = std::move(v4);
    impl_->listeners[1].fd = std::move(v6);
    for (auto& listener : impl_->listeners) {
        listener.impl = impl_.get();
        if (listener.fd.Valid() && !impl_->loop->Add(listener.fd.Get(), EPOLLIN | EPOLLET, &listener)) {
            if (error) *error = std::string("cannot watch the listener: ") + std::strerror(errno);
            for (auto& l : impl_->listeners) l.fd.Reset();
            impl_->loop.reset();
            return false;
        }
    }
    impl_->port.store(bound);
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    return true;
}

void Relay::Stop() {
    if (!impl_->thread.joinable()) return;
    impl_->loop->Quit();
    impl_->thread.join();
    impl_->DropAll();
    for (auto& listener : impl_->listeners) listener.fd.Reset();
    impl_->spare.Reset();
    impl_->loop.reset();
    impl_->port.store(0);
}

void Relay::SetUpstream(std::optional<Upstream> upstream) {
    auto route = MakeRoute(upstream);
    std::lock_guard lock(impl_->routeMutex);
    impl_->route = std::move(route);
}

size_t Relay::ConnectionCount() const { return impl_->count.load(std::memory_order_relaxed); }

uint16_t Relay::Port() const { return impl_->port.load(); }

void Relay::SetDestinationResolver(DestinationResolver resolver) {
    impl_->resolver = std::move(resolver);
}

void Relay::SetTimeouts(RelayTimeouts timeouts) { impl_->timeouts = timeouts; }

}  // namespace varnelo::interceptor
