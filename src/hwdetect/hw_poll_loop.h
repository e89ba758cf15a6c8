#pragma once
// A poll-based event loop for programs without a window toolkit: handlers run
// on the thread that calls RunOnce.
#include <functional>
#include <map>

#include "hwdetect/hw_event_source.h"

class CHwPollLoop : public IHwEventLoop {
public:
    bool Watch(int fd, short events, std::function<void()> on_ready) override;
    bool Unwatch(int fd) override;

    // Waits up to timeout_ms (-1: until something is ready, 0: only looks),
    // then runs the handler of every ready descriptor. Returns how many ran,
    // or -1 when poll failed.
    int RunOnce(int timeout_ms);
    size_t WatchedCount() const { return watched_.size(); }

private:
    struct Watched {
        short events;
        std::function<void()> on_ready;
        unsigned serial;
    };
    std::map<int, Watched> watched_;
    unsigned next_serial_ = 0;
};
