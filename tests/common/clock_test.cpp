#include "common/clock.h"

#include <gtest/gtest.h>

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
