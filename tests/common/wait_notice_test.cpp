// Long waits are told to the observer with what they are for, and their
// sleeps reach it often enough to count down, on whatever clock is in place.
#include "common/wait_notice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"

using namespace vesk;

namespace {

struct Seen {
    uint32_t ms = 0;
    std::wstring what;
    uint64_t start_ms = 0;
    uint64_t begun_at = 0;         // the clock when it was announced
    std::vector<uint64_t> going;   // the clock at each WaitGoesOn
    bool ended = false;
};

class RecordingObserver : public IWaitObserver {
public:
    void WaitBegins(uint32_t ms, const std::wstring& what, uint64_t start_ms) override {
        seen.push_back({ms, what, start_ms, process_clock().now_ms(), {}, false});
    }
    void WaitGoesOn() override {
        ASSERT_FALSE(seen.empty());
        seen.back().going.push_back(process_clock().now_ms());
    }
    void WaitEnds() override {
        ASSERT_FALSE(seen.empty());
        seen.back().ended = true;
    }
    std::vector<Seen> seen;
};

TEST(AnnouncedWait, LongWaitsAreToldWithTheirWholeLengthAndCountDownInSteps) {
    struct Case {
        const char* name;
        uint32_t ms;                  // the wait as announced
        std::vector<uint32_t> sleeps; // its sleeps
        bool announced;
    };
    const Case cases[] = {
        {"exactly one second", 1000, {1000}, false},
        {"just over", 1001, {1001}, true},
        {"net rebuild in two sleeps", 7800, {1200, 6600}, true},
        {"odd slices", 2345, {7, 2338}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualClock clock(5000);
        ScopedClock scoped(clock);
        RecordingObserver observer;
        ScopedWaitObserver installed(&observer);
        {
            AnnouncedWait wait(c.ms, L"the net to rebuild");
            for (uint32_t s : c.sleeps) wait.Sleep(s);
        }
        uint32_t total = 0;
        for (uint32_t s : c.sleeps) total += s;
        // The slices add up to the sleeps, to the millisecond.
        EXPECT_EQ(clock.elapsed_ms(), total);
        if (!c.announced) {
            EXPECT_TRUE(observer.seen.empty());
            continue;
        }
        ASSERT_EQ(observer.seen.size(), 1u);
        const Seen& s = observer.seen[0];
        EXPECT_EQ(s.ms, c.ms);
        EXPECT_EQ(s.what, L"the net to rebuild");
        EXPECT_EQ(s.start_ms, 5000u);
        EXPECT_EQ(s.begun_at, 5000u);
        EXPECT_TRUE(s.ended);
        // Told at least every tenth of a second, up to the wait's end.
        ASSERT_FALSE(s.going.empty());
        uint64_t previous = 5000;
        for (uint64_t t : s.going) {
            EXPECT_LE(t - previous, 100u);
            previous = t;
        }
        EXPECT_EQ(s.going.back(), 5000u + total);
    }
}

TEST(AnnouncedWait, AnOpenEndedWaitIsToldOnceItHasLastedASecond) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    RecordingObserver observer;
    ScopedWaitObserver installed(&observer);
    {
        AnnouncedWait wait(0, L"vesk-firmup-cli update (pid 42) to finish");
        for (int i = 0; i < 4; ++i) wait.Sleep(200);
        EXPECT_TRUE(observer.seen.empty()) << "announced after 800 ms";
        for (int i = 0; i < 6; ++i) wait.Sleep(200);
        ASSERT_EQ(observer.seen.size(), 1u);
        EXPECT_EQ(observer.seen[0].ms, 0u);
        EXPECT_EQ(observer.seen[0].start_ms, 0u);
        EXPECT_EQ(observer.seen[0].begun_at, 1000u);
        EXPECT_FALSE(observer.seen[0].ended);
    }
    EXPECT_TRUE(observer.seen[0].ended);
}

TEST(AnnouncedWait, WithoutAnObserverItIsAPlainSleep) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    RecordingObserver observer;
    {
        ScopedWaitObserver installed(&observer);
        ScopedWaitObserver none(nullptr);
        SleepFor(6600, L"the net to rebuild");
    }
    EXPECT_EQ(clock.elapsed_ms(), 6600u);
    EXPECT_TRUE(observer.seen.empty());
    // The previous observer is back.
    EXPECT_EQ(wait_observer(), nullptr);
}

}  // namespace
