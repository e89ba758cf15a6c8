// srec2bin against objcopy and srec_cat: the same bytes over the same range.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "../support/temp_dir.h"
#include "run_tool.h"
#include "srec_writer.h"

namespace {

using vesk::test::Quote;
using vesk::test::RunTool;

std::string Hex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

struct Range {
    uint32_t base, size;
};

class Srec2BinOracleTest : public ::testing::Test {
protected:
    // Converts in.mhx over range with the three tools and expects equal images.
    void ExpectSameBytes(const std::string& name, const Range& r) {
        const std::string in = Quote(dir_.file("in.mhx"));
        const std::string ours = dir_.file("ours.bin"), objcopy = dir_.file("objcopy.bin"),
                          srec_cat = dir_.file("srec_cat.bin");
        const auto a = RunTool(std::string(VESK_CLI) + " srec2bin --no-header --base " + Hex(r.base) +
                               " --size " + Hex(r.size) + " " + in + " " + Quote(ours));
        ASSERT_EQ(a.status, 0) << name << ": " << a.output;
        // objcopy starts at the lowest data address, which the cases put at the base.
        const auto b = RunTool("objcopy -I srec -O binary --gap-fill 0xff --pad-to " + Hex(uint64_t{r.base} + r.size) +
                               " " + in + " " + Quote(objcopy));
        ASSERT_EQ(b.status, 0) << name << ": " << b.output;
        const auto c = RunTool("srec_cat " + in + " -crop " + Hex(r.base) + " " + Hex(uint64_t{r.base} + r.size) +
                               " -fill 0xFF " + Hex(r.base) + " " + Hex(uint64_t{r.base} + r.size) + " -offset -" +
                               Hex(r.base) + " -o " + Quote(srec_cat) + " -binary");
        ASSERT_EQ(c.status, 0) << name << ": " << c.output;
        const std::string image = vesk::test::read_file(ours);
        ASSERT_EQ(image.size(), r.size) << name;
        EXPECT_TRUE(image == vesk::test::read_file(objcopy)) << name << " differs from objcopy";
        EXPECT_TRUE(image == vesk::test::read_file(srec_cat)) << name << " differs from srec_cat";
    }
    vesk::test::TempDir dir_;
};

TEST_F(Srec2BinOracleTest, MadeFirmwareMatches) {
    struct Case {
        const char* records;
        Range range;
        int fill;
    } cases[] = {
        {"S1", {0x0000, 0x8000}, 100}, {"S1", {0x4000, 0x2345}, 37},   {"S2", {0xFFC000, 0x4000}, 90},
        {"S2", {0x20000, 0x30001}, 3}, {"S3", {0x08000000, 0x40000}, 90}, {"S3", {0x100, 0x10000}, 0},
    };
    for (const auto& c : cases) {
        const auto made = RunTool(std::string(VESK_SIM) + " make-firmware --base " + Hex(c.range.base) + " --size " +
                                  Hex(c.range.size) + " --version 01.02.03 --records " + c.records +
                                  " --fill-percent " + std::to_string(c.fill) + " --out " + Quote(dir_.file("in.mhx")));
        ASSERT_EQ(made.status, 0) << made.output;
        ExpectSameBytes(std::string(c.records) + " fill " + std::to_string(c.fill), c.range);
    }
}

TEST_F(Srec2BinOracleTest, ScatteredRecordsInAnyOrderMatch) {
    // Records of random length at random places, written in shuffled order,
    // none overlapping; some lower-case and with CR LF ends.
    std::mt19937 rng(20261210);
    for (int round = 0; round < 4; ++round) {
        const int type = 1 + round % 3;
        const uint32_t base = type == 1 ? 0x1000 : 0x123456;
        const uint32_t size = 0x3000;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> recs;
        // The first record sits at the base so that objcopy's image starts there.
        for (uint32_t at = base; at < base + size;) {
            const uint32_t len = std::min<uint32_t>(1 + rng() % 40, base + size - at);
            std::vector<uint8_t> data(len);
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            recs.emplace_back(at, std::move(data));
            at += len + (rng() % 3 == 0 ? 0 : rng() % 200);
        }
        std::shuffle(recs.begin(), recs.end(), rng);
        std::string text;
        for (const auto& [at, data] : recs) {
            std::string line = vesk::sim::SRecord(type, at, data.data(), data.size());
            if (rng() % 4 == 0) {
                for (size_t i = 1; i < line.size(); ++i) line[i] = static_cast<char>(std::tolower(line[i]));
            }
            if (rng() % 3 == 0) line.insert(line.size() - 1, "\r");
            text += line;
        }
        dir_.write("in.mhx", text);
        ExpectSameBytes("scattered S" + std::to_string(type), {base, size});
    }
}

}  // namespace
