// The progress bar of update on a terminal (under script, with the size set
// by stty): every redraw fits in the terminal's width, so none wraps into a
// new line, and the bar is gone when the program ends.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using vesk::test::Quote;
using vesk::test::RunTool;

// The bar's redraws in a typescript.
std::vector<std::string> BarDraws(const std::string& typescript) {
    std::vector<std::string> draws;
    for (const std::string& draw : vesk::test::LineDraws(typescript))
        if (!draw.empty() && draw[0] == '[') draws.push_back(draw);
    return draws;
}

TEST(BarWidth, EveryRedrawFitsTheTerminal) {
    vesk::test::TempDir dir;
    // A master firmware of 2048 blocks: four-digit counts.
    vesk::test::MakeFirmwareFile(dir, "upd/Pell_460500_fw.mhx", 0xFE0000, 0x10000, "46.05.00");
    vesk::test::MakeFirmwareFile(dir, "upd/Pell_460500_lng.mhx", 0xFC0000, 0x400, "46.05.00");
    dir.mkdir("upd/_BOOTER");
    dir.mkdir("upd/_ACCESSORI");
    dir.mkdir("locks");
    ::chmod(dir.file("locks").c_str(), 0700);
    dir.write("net.json", R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00",
                              "net_rebuild_ms": 0, "path": "usb:1-2"}]})");
    for (const int columns : {80, 40, 24}) {
        SCOPED_TRACE(columns);
        const std::string typescript = dir.file("typescript " + std::to_string(columns));
        const std::string command = "stty cols " + std::to_string(columns) + " rows 30; XDG_RUNTIME_DIR=" +
                                    Quote(dir.file("locks")) + " XDG_STATE_HOME=" + Quote(dir.file("state")) + " " +
                                    VESK_CLI + " update --yes --no-backup --simulate " + Quote(dir.file("net.json")) +
                                    " --folder " + Quote(dir.file("upd"));
        const auto r = RunTool("script -qec " + Quote(command) + " " + Quote(typescript) + " >/dev/null");
        const std::string text = vesk::test::read_file(typescript);
        ASSERT_EQ(r.status, 0) << r.output << text;
        const std::vector<std::string> draws = BarDraws(text);
        ASSERT_GT(draws.size(), 10u) << text;
        bool four_digits = false;
        size_t waits = 0;
        for (const std::string& d : draws) {
            EXPECT_LT(d.size(), size_t(columns)) << d;
            // A wait's countdown stays in sight: what it waits for is shortened instead.
            if (columns >= 40 && d.find("Waiting") != std::string::npos) {
                ++waits;
                EXPECT_TRUE(std::regex_search(d, std::regex(": [0-9]+ s$"))) << d;
            }
            four_digits = four_digits || std::regex_search(d, std::regex("/2048"));
        }
        EXPECT_TRUE(four_digits || columns < 40) << "no redraw showed the write's count";
        EXPECT_TRUE(waits > 0 || columns < 40) << "no redraw showed a wait";
        // The last redraw is cleared before the program's last lines.
        const size_t last_draw = text.rfind("\r\033[K[");
        EXPECT_NE(text.find("\r\033[K", last_draw + 1), std::string::npos);
    }
}

}  // namespace
