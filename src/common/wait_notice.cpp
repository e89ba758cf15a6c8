#include "common/wait_notice.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "common/clock.h"

namespace vesk {

namespace {
std::atomic<IWaitObserver*> g_observer{nullptr};
// Short enough for a countdown in seconds to change on time.
constexpr uint32_t kSliceMs = 100;
}  // namespace

IWaitObserver* wait_observer() { return g_observer.load(); }

ScopedWaitObserver::ScopedWaitObserver(IWaitObserver* observer) : previous_(g_observer.exchange(observer)) {}

ScopedWaitObserver::~ScopedWaitObserver() { g_observer.store(previous_); }

AnnouncedWait::AnnouncedWait(uint32_t ms, std::wstring what)
    : ms_(ms), what_(std::move(what)), observer_(wait_observer()), start_ms_(process_clock().now_ms()) {
    Tell();
}

AnnouncedWait::~AnnouncedWait() {
    if (announced_) observer_->WaitEnds();
}

void AnnouncedWait::Tell() {
    if (!observer_) return;
    if (announced_) {
        observer_->WaitGoesOn();
        return;
    }
    const bool long_enough = ms_ > 0 ? ms_ > kAnnouncedWaitOverMs
                                     : process_clock().now_ms() - start_ms_ >= kAnnouncedWaitOverMs;
    if (!long_enough) return;
    announced_ = true;
    observer_->WaitBegins(ms_, what_, start_ms_);
}

void AnnouncedWait::Sleep(uint32_t ms) {
    // A short wait with a known end is never announced.
    if (!observer_ || (ms_ > 0 && !announced_)) {
        vesk::Sleep(ms);
        return;
    }
    // Each slice ends at its own point on the clock, so the slices add up to ms.
    const uint64_t end = process_clock().now_ms() + ms;
    for (uint64_t now = process_clock().now_ms(); now < end; now = process_clock().now_ms()) {
        vesk::Sleep(uint32_t(std::min<uint64_t>(kSliceMs, end - now)));
        Tell();
    }
}

void SleepFor(uint32_t ms, const std::wstring& what) { AnnouncedWait(ms, what).Sleep(ms); }

}  // namespace vesk
