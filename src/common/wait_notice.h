#pragma once
// Waits long enough for a person to wonder about: what they are for and how
// long is left, told to an observer that shows them (the terminal tool's bar
// line). Without an observer a wait is a plain sleep on the process clock.
#include <cstdint>
#include <string>

namespace vesk {

// Waits up to this long pass unannounced.
constexpr uint32_t kAnnouncedWaitOverMs = 1000;

class IWaitObserver {
public:
    virtual ~IWaitObserver() = default;
    // A wait for what ("the net to rebuild") of ms begins; ms 0: it has no
    // known end. Times are on the process clock, from start_ms.
    virtual void WaitBegins(uint32_t ms, const std::wstring& what, uint64_t start_ms) = 0;
    // The clock has moved on during the wait.
    virtual void WaitGoesOn() = 0;
    virtual void WaitEnds() = 0;
};

// The process-wide observer; null (the default) when nobody shows waits.
IWaitObserver* wait_observer();

// Installs an observer (or none) for the lifetime of this object.
class ScopedWaitObserver {
public:
    explicit ScopedWaitObserver(IWaitObserver* observer);
    ~ScopedWaitObserver();
    ScopedWaitObserver(const ScopedWaitObserver&) = delete;
    ScopedWaitObserver& operator=(const ScopedWaitObserver&) = delete;

private:
    IWaitObserver* previous_;
};

// One wait, possibly made of several sleeps and what happens between them,
// announced once when it is over a second (an open-ended one once it has
// lasted a second) and ended with this object. Its sleeps go in slices, so
// that the observer can count down on whatever clock is installed.
class AnnouncedWait {
public:
    // ms 0: no known end (waiting for another program, say).
    AnnouncedWait(uint32_t ms, std::wstring what);
    ~AnnouncedWait();
    AnnouncedWait(const AnnouncedWait&) = delete;
    AnnouncedWait& operator=(const AnnouncedWait&) = delete;

    void Sleep(uint32_t ms);

private:
    void Tell();

    uint32_t ms_;
    std::wstring what_;
    IWaitObserver* observer_;
    uint64_t start_ms_;
    bool announced_ = false;
};

// A single sleep of ms for what.
void SleepFor(uint32_t ms, const std::wstring& what);

}  // namespace vesk
