#include "common/clock.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vesk {

namespace {

uint64_t monotonic_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

RealClock& real_clock() {
    static RealClock c;
    return c;
}

std::atomic<IClock*> g_clock{nullptr};

}  // namespace

void RealClock::sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t RealClock::now_ms() const { return monotonic_ms(); }

ScaledClock::ScaledClock(double scale)
    : scale_(scale > 0 ? scale : 1.0), start_real_ms_(monotonic_ms()) {}

void ScaledClock::sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(
        static_cast<int64_t>(static_cast<double>(ms) * scale_ * 1000.0)));
}

uint64_t ScaledClock::now_ms() const {
    return static_cast<uint64_t>(static_cast<double>(monotonic_ms() - start_real_ms_) / scale_);
}

std::unique_ptr<IClock> ClockFromEnvironment() {
    const char* text = std::getenv("VESK_TIME_SCALE");
    if (!text || !*text) return nullptr;
    // Whatever the locale's decimal separator, the number is written with '.'.
    double scale = 0;
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, scale);
    if (ec != std::errc() || ptr != end || !std::isfinite(scale) || !(scale > 0)) return nullptr;
    return std::make_unique<ScaledClock>(scale);
}

IClock& process_clock() {
    IClock* c = g_clock.load();
    return c ? *c : real_clock();
}

void set_clock(IClock* c) { g_clock.store(c); }

ScopedClock::ScopedClock(IClock& c) : previous_(g_clock.exchange(&c)) {}

ScopedClock::~ScopedClock() { g_clock.store(previous_); }

}  // namespace vesk
