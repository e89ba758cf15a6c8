// vesk-sim make-firmware and the version stamp a simulator reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "run_tool.h"
#include "version_stamp.h"

namespace {

using vesk::sim::FindVersionStamp;
using vesk::sim::MakeVersionStamp;
using vesk::test::Quote;
using vesk::test::RunTool;

TEST(VersionStampTest, FoundAnywhereAndOnlyWhenSound) {
    const std::vector<uint8_t> stamp = MakeVersionStamp("01.05.07");
    ASSERT_EQ(stamp.size(), 8u + 1 + 8 + 1);
    auto at = [&](size_t offset, size_t size) {
        std::vector<uint8_t> img(size, 0xFF);
        std::copy(stamp.begin(), stamp.end(), img.begin() + static_cast<long>(offset));
        return img;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        bool found;
        size_t offset;
    } cases[] = {
        {"start", at(0, 64), true, 0},
        {"end", at(64 - stamp.size(), 64), true, 64 - stamp.size()},
        {"cut", std::vector<uint8_t>(stamp.begin(), stamp.end() - 1), false, 0},
        {"none", std::vector<uint8_t>(64, 0xFF), false, 0},
    };
    auto bad_check = at(10, 64);
    bad_check[10 + stamp.size() - 1] ^= 1;
    auto then_good = bad_check;
    std::copy(stamp.begin(), stamp.end(), then_good.begin() + 40);
    auto bad_length = at(0, 64);
    bad_length[8] = 200;
    for (const auto& c : {cases[0], cases[1], cases[2], cases[3], Case{"bad check", bad_check, false, 0},
                          Case{"bad then good", then_good, true, 40}, Case{"bad length", bad_length, false, 0}}) {
        std::string version;
        size_t offset = 99;
        EXPECT_EQ(FindVersionStamp(c.image.data(), c.image.size(), version, &offset), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(version, "01.05.07") << c.name;
            EXPECT_EQ(offset, c.offset) << c.name;
        }
    }
    EXPECT_TRUE(MakeVersionStamp("").empty());
    EXPECT_TRUE(MakeVersionStamp(std::string(33, '1')).empty());
    EXPECT_TRUE(MakeVersionStamp("01\n05").empty());
}

TEST(MakeFirmwareTest, ImageCarriesItsVersionAndFill) {
    vesk::test::TempDir dir;
    const std::string mhx = dir.file("fw.mhx"), bin = dir.file("fw.bin");
    const auto made = RunTool(std::string(VESK_SIM) + " make-firmware --base 0x40000 --size 0x10000 --version 02.10.33" +
                              " --records S2 --fill-percent 25 --out " + Quote(mhx));
    ASSERT_EQ(made.status, 0) << made.output;
    // Loaded as a writer would, with its header.
    const auto conv = RunTool(std::string(VESK_CLI) + " srec2bin --base 0x40000 --size 0x10000 --checksum-offset 16 " +
                              Quote(mhx) + " " + Quote(bin));
    ASSERT_EQ(conv.status, 0) << conv.output;
    const std::string img = vesk::test::read_file(bin);
    ASSERT_EQ(img.size(), 0x10000u);
    std::string version;
    size_t offset = 0;
    ASSERT_TRUE(FindVersionStamp(reinterpret_cast<const uint8_t*>(img.data()), img.size(), version, &offset));
    EXPECT_EQ(version, "02.10.33");
    EXPECT_EQ(offset, 0x40u);
    // A quarter of every 1 KB block holds data, the rest stays erased.
    size_t erased = 0;
    for (size_t i = 0x400; i < img.size(); ++i) erased += static_cast<uint8_t>(img[i]) == 0xFF;
    EXPECT_NEAR(static_cast<double>(erased) / (img.size() - 0x400), 0.75, 0.01);
    EXPECT_EQ(img.find_first_not_of('\xFF', 0x400 + 256), 0x800u);
}

// The build byte sits where the identity reads of every booter family look
// for it: offset 0x20 of each 64 KiB page (0xFE0020 for the Quarv families),
// even where the fill leaves the rest of the page erased.
TEST(MakeFirmwareTest, BuildByteSitsWhereTheIdentityReadsIt) {
    vesk::test::TempDir dir;
    struct Case {
        const char* version;
        char build;  // 0xFF: none written
    } cases[] = {{"01.05.3A", '\x3A'}, {"7", '\xFF'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        const std::string mhx = dir.file("fw.mhx"), bin = dir.file("fw.bin");
        const auto made = RunTool(std::string(VESK_SIM) + " make-firmware --base 0xFC0000 --size 0x40000 --version " +
                                  c.version + " --fill-percent 0 --out " + Quote(mhx));
        ASSERT_EQ(made.status, 0) << made.output;
        const auto conv = RunTool(std::string(VESK_CLI) + " srec2bin --base 0xFC0000 --size 0x40000 " + Quote(mhx) +
                                  " " + Quote(bin));
        ASSERT_EQ(conv.status, 0) << conv.output;
        const std::string img = vesk::test::read_file(bin);
        ASSERT_EQ(img.size(), 0x40000u);
        for (size_t page = 0x10000; page < img.size(); page += 0x10000) {
            EXPECT_EQ(img[page + 0x20], c.build) << page;
            // Nothing else of the page is filled.
            const auto used = std::count_if(img.begin() + long(page), img.begin() + long(page + 0x10000),
                                            [](char b) { return b != '\xFF'; });
            EXPECT_EQ(used, c.build == '\xFF' ? 0 : 1) << page;
        }
    }
}

// A real firmware file carries no stamp: --no-stamp leaves out the stamp's
// bytes and nothing else, the build byte included.
TEST(MakeFirmwareTest, NoStampLeavesOutOnlyTheStamp) {
    vesk::test::TempDir dir;
    std::string images[2];
    for (int i = 0; i < 2; ++i) {
        const std::string mhx = dir.file("fw.mhx"), bin = dir.file("fw.bin");
        const auto made = RunTool(std::string(VESK_SIM) + " make-firmware --base 0xFE0000 --size 0x800 --version 46.05.07" +
                                  (i ? " --no-stamp" : "") + " --out " + Quote(mhx));
        ASSERT_EQ(made.status, 0) << made.output;
        const auto conv = RunTool(std::string(VESK_CLI) + " srec2bin --base 0xFE0000 --size 0x800 --no-header " +
                                  Quote(mhx) + " " + Quote(bin));
        ASSERT_EQ(conv.status, 0) << conv.output;
        images[i] = vesk::test::read_file(bin);
    }
    std::string version;
    ASSERT_EQ(images[1].size(), images[0].size());
    EXPECT_TRUE(FindVersionStamp(reinterpret_cast<const uint8_t*>(images[0].data()), images[0].size(), version));
    EXPECT_FALSE(FindVersionStamp(reinterpret_cast<const uint8_t*>(images[1].data()), images[1].size(), version));
    EXPECT_EQ(images[1][0x20], '\x07') << "the build byte";
    const size_t stamp_end = 0x40 + MakeVersionStamp("46.05.07").size();
    for (size_t i = 0; i < images[0].size(); ++i) {
        if (i >= 0x40 && i < stamp_end) continue;
        EXPECT_EQ(images[0][i], images[1][i]) << i;
    }
}

TEST(MakeFirmwareTest, RefusesWhatItCannotMake) {
    vesk::test::TempDir dir;
    const std::string out = " --out " + Quote(dir.file("fw.mhx"));
    const char* cases[] = {
        "--base 0xFF00 --size 0x200 --version 1 --records S1",   // beyond 16-bit addresses
        "--base 0 --size 0x10 --version 01.00.00",               // no room for the stamp
        "--base 0 --size 0x1000 --version 01.00.00 --records S4",
        "--base 0 --size 0x1000 --version 01.00.00 --fill-percent 101",
        "--base 0 --size 0x1000",
        "--size 0x1000 --version 1",
    };
    for (const char* c : cases) {
        const auto r = RunTool(std::string(VESK_SIM) + " make-firmware " + c + out);
        EXPECT_EQ(r.status, 2) << c << ": " << r.output;
        EXPECT_NE(r.output.find("usage: vesk-sim make-firmware"), std::string::npos) << c;
    }
}

}  // namespace

namespace {

TEST(VeskSimCheck, PrintsTheScenarioOrNamesTheBadKey) {
    vesk::test::TempDir dir;
    dir.write("good.json", R"({"time_scale": 0.5, "instruments": [
        {"code": 19, "serial": 4242, "firmware": "14.86.82", "booter": "02.10", "in_booter": true,
         "slaves": [{"number": 3, "code": 2008, "serial": 11, "firmware": "20.01.03", "booter": "01.02"}]}]})");
    dir.write("bad.json", R"({"instruments": [{"code": 19, "serial": 1, "firmware": "1.2", "booter": "02.10"}]})");

    const auto good = vesk::test::RunTool(std::string(VESK_SIM) + " check " + vesk::test::Quote(dir.file("good.json")));
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_NE(good.output.find("1 instrument(s), real time scaled by 0.5"), std::string::npos) << good.output;
    EXPECT_NE(good.output.find("code 19 serial 4242 firmware 14.86.82 booter 02.10 in booter chip D12"),
              std::string::npos)
        << good.output;
    EXPECT_NE(good.output.find("slave 3 code 2008 serial 11 firmware 20.01.03 booter 01.02 in firmware"),
              std::string::npos)
        << good.output;

    const auto bad = vesk::test::RunTool(std::string(VESK_SIM) + " check " + vesk::test::Quote(dir.file("bad.json")));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("bad.json"), std::string::npos) << bad.output;
    EXPECT_NE(bad.output.find("firmware"), std::string::npos) << bad.output;

    EXPECT_EQ(vesk::test::RunTool(std::string(VESK_SIM) + " check").status, 2);
}

}  // namespace
