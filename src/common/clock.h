#pragma once
// Every wait of the program goes through a clock, so that tests and the
// simulator can run minutes of instrument time in microseconds.
#include <atomic>
#include <cstdint>
#include <memory>

namespace vesk {

class IClock {
public:
    virtual ~IClock() = default;
    // Waits for the given number of milliseconds of this clock's time.
    virtual void sleep_ms(uint32_t ms) = 0;
    // Milliseconds since an arbitrary, fixed start.
    virtual uint64_t now_ms() const = 0;
};

// Sleeps for real; time is the monotonic clock.
class RealClock : public IClock {
public:
    void sleep_ms(uint32_t ms) override;
    uint64_t now_ms() const override;
};

// Real time with every wait scaled, for a person watching a simulated run:
// a scale of 0.5 makes a 4400 ms wait take 2.2 s. now_ms() reports program
// time (real elapsed time divided by the scale), so timeouts stay consistent.
class ScaledClock : public IClock {
public:
    explicit ScaledClock(double scale);
    void sleep_ms(uint32_t ms) override;
    uint64_t now_ms() const override;
    double scale() const { return scale_; }

private:
    double scale_;
    uint64_t start_real_ms_;
};

// Time moves only when someone sleeps on it or advances it.
class VirtualClock : public IClock {
public:
    explicit VirtualClock(uint64_t start_ms = 0) : now_(start_ms) {}
    void sleep_ms(uint32_t ms) override { advance_ms(ms); }
    uint64_t now_ms() const override { return now_.load(); }
    void advance_ms(uint64_t ms) { now_.fetch_add(ms); }
    // Total time slept or advanced since construction.
    uint64_t elapsed_ms() const { return now_.load() - start_; }

private:
    std::atomic<uint64_t> now_;
    uint64_t start_ = now_.load();
};

// The process-wide clock used by code that waits. Defaults to a RealClock.
IClock& process_clock();
// Replaces the process-wide clock; nullptr restores the real one. The caller
// keeps ownership and must keep it alive while it is installed.
void set_clock(IClock* c);

// Installs a clock for the lifetime of this object, then restores the previous one.
class ScopedClock {
public:
    explicit ScopedClock(IClock& c);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    IClock* previous_;
};

// The clock asked for by the environment variable VESK_TIME_SCALE: a
// ScaledClock for a positive number, null when it is unset or not one.
// vesk-sim run sets it from its scenario, so that a program's waits keep pace
// with the instruments it serves.
std::unique_ptr<IClock> ClockFromEnvironment();

// Shorthand for process_clock().sleep_ms(ms).
inline void Sleep(uint32_t ms) { process_clock().sleep_ms(ms); }

}  // namespace vesk
