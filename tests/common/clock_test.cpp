#include "common/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/file_system.h"

using namespace vesk;

TEST(VirtualClock, MovesOnlyWhenSleptOnOrAdvanced) {
    VirtualClock c(1000);
    EXPECT_EQ(c.now_ms(), 1000u);
    EXPECT_EQ(c.now_ms(), 1000u);
    c.sleep_ms(550);
    EXPECT_EQ(c.now_ms(), 1550u);
    c.advance_ms(4400);
    EXPECT_EQ(c.now_ms(), 5950u);
    EXPECT_EQ(c.elapsed_ms(), 4950u);
}

TEST(ProcessClock, ScopedClockRoutesWaitsAndRestoresTheRealOne) {
    IClock* before = &process_clock();
    {
        VirtualClock v;
        ScopedClock scope(v);
        EXPECT_EQ(&process_clock(), &v);
        // A 26.4 s wait takes no real time on the virtual clock.
        Sleep(26400);
        EXPECT_EQ(v.elapsed_ms(), 26400u);
    }
    EXPECT_EQ(&process_clock(), before);
}

TEST(ProcessClock, LibraryWaitsGoThroughIt) {
    VirtualClock v;
    ScopedClock scope(v);
    FS fs;
    // Creating folders ends with its fixed 100 ms wait.
    EXPECT_EQ(fs.CreateFolders(L"", true), 2);
    EXPECT_EQ(v.elapsed_ms(), 0u);
    EXPECT_EQ(fs.CreateFolders(L"/tmp", true), 0);
    EXPECT_EQ(v.elapsed_ms(), 100u);
}

TEST(ProcessClock, TimeScaleFromTheEnvironment) {
    struct Case {
        const char* text;  // null: unset
        double scale;      // 0: no clock of its own, the real one stays
    };
    const Case cases[] = {
        {nullptr, 0}, {"", 0}, {"0.01", 0.01}, {"2", 2}, {"1e-3", 0.001}, {"0", 0}, {"-0.5", 0},
        {"0,5", 0}, {"0.5x", 0}, {"abc", 0}, {"inf", 0}, {"nan", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(unset)");
        if (c.text) ::setenv("VESK_TIME_SCALE", c.text, 1);
        else ::unsetenv("VESK_TIME_SCALE");
        const auto clock = ClockFromEnvironment();
        const auto* scaled = dynamic_cast<const ScaledClock*>(clock.get());
        EXPECT_EQ(clock != nullptr, c.scale > 0);
        if (c.scale > 0) {
            ASSERT_NE(scaled, nullptr);
            EXPECT_DOUBLE_EQ(scaled->scale(), c.scale);
        }
    }
    ::unsetenv("VESK_TIME_SCALE");
}
