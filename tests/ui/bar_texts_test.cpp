// What the progress bars say: the texts, and a bar that shows them as they are.
#include <gtest/gtest.h>

#include "ui/bar_texts.h"

namespace {

using vesk::ui::WaitBarText;
using vesk::ui::WriteBarText;

TEST(BarTexts, WritesWaitsAndSteps) {
    const struct {
        QString got;
        const char* expected;
    } cases[] = {
        {vesk::ui::OverallBarText(53, 123), "Step 53 of 123"},
        {WriteBarText(WriteKind::Firmware, L"Pell DL Logger 1001", 42, 100), "Firmware to Pell DL Logger 1001: 42 %"},
        {WriteBarText(WriteKind::Booter, L"Display Unit 0", 1, 3), "Booter to Display Unit 0: 33 %"},
        {WriteBarText(WriteKind::Language, L"x", 3, 3), "Language to x: 100 %"},
        {WriteBarText(WriteKind::Accessory, L"x", 0, 0), "Accessory to x: 100 %"},
        {WriteBarText(WriteKind::Other, L"x", 7, 3), "Writing to x: 100 %"},
        // A name with what Qt would read as placeholders stays as it is.
        {WriteBarText(WriteKind::Firmware, L"Unit %1 %v %p", 1, 2), "Firmware to Unit %1 %v %p: 50 %"},
        {WaitBarText(L"Pell DL Logger 1001", 2750), "Waiting for Pell DL Logger 1001: 3 s"},
        {WaitBarText(L"", 3000), "Waiting: 3 s"},
        {WaitBarText(L"", 1), "Waiting: 1 s"},
        {WaitBarText(L"GPS %1 %2", 1000), "Waiting for GPS %1 %2: 1 s"},
        {WaitBarText(L"", 0), "Waiting: 0 s"},
        {WaitBarText(L"", 4'294'967'295ull), "Waiting: 4294968 s"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got.toStdString(), c.expected);
}

TEST(BarTexts, TextBarShowsItsTextVerbatim) {
    CTextBar bar;
    bar.setRange(0, 0);
    EXPECT_FALSE(bar.isTextVisible());
    bar.SetText("Firmware to A %v %m %p: 5 %");
    EXPECT_EQ(bar.text(), "Firmware to A %v %m %p: 5 %");
    EXPECT_TRUE(bar.isTextVisible());
    bar.SetText("");
    EXPECT_FALSE(bar.isTextVisible());
}

}  // namespace
