#include "interceptor/event_loop.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/epoll.h>
#include <sys/eventfd.h>

namespace varnelo::interceptor {
namespace {
constexpr int kMaxEvents = 256;
}

bool EventLoop::Init(std::string* error) {
    epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
    wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll_.Valid() || !wake_.Valid()) {
        if (error) *error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up descriptor is the only one without a handler
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) != 0) {
        if (error) *error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool EventLoop::Add(int fd, uint32_t events, Handler* handler) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = handler;
    return epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void EventLoop::Remove(int fd) { epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr); }

int64_t EventLoop::NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void EventLoop::Arm(Timer* timer, int milliseconds) {
    Disarm(timer);
    timer->position_ = deadlines_.emplace(NowMs() + milliseconds, timer);
    timer->armed_ = true;
}

void EventLoop::Disarm(Timer* timer) {
    if (!timer->armed_) return;
    deadlines_.erase(timer->position_);
    timer->armed_ = false;
}

void EventLoop::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    uint64_t one = 1;
    // A full counter still leaves the descriptor readable, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(wake_.Get(), &one, sizeof one);
}

void EventLoop::Quit() {
    Post([this] { quit_ = true; });
}

void EventLoop::RunPosted() {
    uint64_t count;
    [[maybe_unused]] ssize_t got = read(wake_.Get(), &count, sizeof count);
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();
}

void EventLoop::FireTimers() {
    int64_t now = NowMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        Timer* timer = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        timer->armed_ = false;
        timer->OnTimeout();
    }
}

int EventLoop::WaitTimeout(bool busy) const {
    if (busy) return 0;
    if (deadlines_.empty()) return -1;
    int64_t wait = deadlines_.begin()->first - NowMs();
    return wait <= 0 ? 0 : static_cast<int>(wait);
}

void EventLoop::Run(const std::function<bool()>& afterBatch) {
    epoll_event events[kMaxEvents];
    bool busy = false;
    while (!quit_) {
        int count = epoll_wait(epoll_.Get(), events, kMaxEvents, WaitTimeout(busy));
        if (count < 0 && errno != EINTR) break;
        for (int i = 0; i < count; ++i) {
            auto* handler = static_cast<Handler*>(events[i].data.ptr);
            if (handler) {
                handler->OnEvents(events[i].events);
            } else {
                RunPosted();
            }
        }
        FireTimers();
        busy = afterBatch && afterBatch();
    }
}

}  // namespace varnelo::interceptor
