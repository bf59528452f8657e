// An epoll loop for one thread, with deadlines and tasks posted from other threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "interceptor/unique_fd.h"

namespace varnelo::interceptor {

class EventLoop {
public:
    // Receives the epoll events of the descriptors it was registered for.
    class Handler {
    public:
        virtual void OnEvents(uint32_t events) = 0;

    protected:
        ~Handler() = default;
    };

    // A deadline; OnTimeout runs on the loop thread once it passes, unless disarmed first.
    class Timer {
    public:
        virtual void OnTimeout() = 0;
        bool Armed() const { return armed_; }

    protected:
        ~Timer() = default;

    private:
        friend class EventLoop;
        std::multimap<int64_t, Timer*>::iterator position_;
        bool armed_ = false;
    };

    EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // false + reason when epoll or the wake-up descriptor cannot be made.
    bool Init(std::string* error);

    // Registration; the handler must outlive it. Closing the descriptor removes it too.
    bool Add(int fd, uint32_t events, Handler* handler);
    void Remove(int fd);

    void Arm(Timer* timer, int milliseconds);  // re-arming moves the deadline
    void Disarm(Timer* timer);

    // Runs until Quit. afterBatch runs after each round of events and timers; when it answers
    // true (more work waiting) the next round does not sleep.
    void Run(const std::function<bool()>& afterBatch);

    // Any thread: runs task on the loop thread soon; Quit makes Run return.
    void Post(std::function<void()> task);
    void Quit();

    static int64_t NowMs();

private:
    void RunPosted();
    void FireTimers();
    int WaitTimeout(bool busy) const;

    UniqueFd epoll_;
    UniqueFd wake_;
    std::multimap<int64_t, Timer*> deadlines_;
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
    bool quit_ = false;
};

}  // namespace varnelo::interceptor
