// vesk-firmup-cli as a user meets it: options, usage errors, failed loads.
#include <gtest/gtest.h>

#include <string>

#include "../support/temp_dir.h"
#include "run_tool.h"
#include "srec_writer.h"

namespace {

using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

class CliTest : public ::testing::Test {
protected:
    std::string In() const { return Quote(dir_.file("in.mhx")); }
    std::string Out() const { return Quote(dir_.file("out.bin")); }
    vesk::test::TempDir dir_;
};

TEST_F(CliTest, HelpAndVersion) {
    const auto help = RunTool(kCli + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("srec2bin --base ADDR --size N"), std::string::npos) << help.output;
    const auto version = RunTool(kCli + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("vesk-firmup-cli ", 0), 0u) << version.output;
    EXPECT_EQ(RunTool(kCli).status, 2);
    EXPECT_EQ(RunTool(kCli + " frobnicate").status, 2);
    EXPECT_EQ(RunTool(kCli + " --frobnicate").status, 2);
}

TEST_F(CliTest, Srec2BinWritesTheImageWithItsHeader) {
    const uint8_t data[] = {1, 2, 3, 4, 5};
    dir_.write("in.mhx", vesk::sim::SRecord(2, 0xFFC010, data, sizeof data));
    const auto r = RunTool(kCli + " srec2bin --base 0xFFC000 --size 0x20 --checksum-offset 16 " + In() + " " + Out());
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string img = vesk::test::read_file(dir_.file("out.bin"));
    ASSERT_EQ(img.size(), 0x20u);
    EXPECT_EQ(static_cast<uint8_t>(img[0]), 3);  // words 0x10..0x16
    // 0x0201 + 0x0403 + 0xFF05 wraps to 0x0509
    EXPECT_EQ(static_cast<uint8_t>(img[4]), 0x09);
    EXPECT_EQ(static_cast<uint8_t>(img[5]), 0x05);
    EXPECT_EQ(img.substr(0x10, 6), std::string("\x01\x02\x03\x04\x05\xFF", 6));
}

TEST_F(CliTest, Srec2BinRefusesBadArguments) {
    dir_.write("in.mhx", "S9030000FC\n");
    const char* cases[] = {
        "srec2bin --size 16 IN OUT",
        "srec2bin --base 0 IN OUT",
        "srec2bin --base 0 --size 0 IN OUT",
        "srec2bin --base zz --size 16 IN OUT",
        "srec2bin --base 0 --size 16 --checksum-offset -2 IN OUT",
        "srec2bin --base 0xFFFFFFF0 --size 0x20 IN OUT",
        "srec2bin --base 0 --size 16 IN",
        "srec2bin --base 0 --size 16 --bogus IN OUT",
        "srec2bin --base",
    };
    for (std::string c : cases) {
        c.replace(c.find("IN") == std::string::npos ? c.size() : c.find("IN"), c.find("IN") == std::string::npos ? 0 : 2, In());
        if (c.find("OUT") != std::string::npos) c.replace(c.find("OUT"), 3, Out());
        const auto r = RunTool(kCli + " " + c);
        EXPECT_EQ(r.status, 2) << c << ": " << r.output;
        EXPECT_NE(r.output.find("usage: vesk-firmup-cli srec2bin"), std::string::npos) << c;
    }
}

TEST_F(CliTest, Srec2BinReportsAFailedLoad) {
    struct Case {
        const char* content;  // null: no file
        const char* message;
    } cases[] = {
        {nullptr, "Cannot find file "},
        {"S1070010010203040F\n", "S record checksum error in file "},
        {"S5030000FC\n", "Unknown S record Type"},
        {"", "No S record data in file "},
    };
    for (const auto& c : cases) {
        std::remove(dir_.file("in.mhx").c_str());
        std::remove(dir_.file("out.bin").c_str());
        if (c.content) dir_.write("in.mhx", c.content);
        const auto r = RunTool(kCli + " srec2bin --base 0 --size 0x100 " + In() + " " + Out());
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.output.find("cannot load"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_TRUE(vesk::test::read_file(dir_.file("out.bin")).empty()) << "no image written";
    }
}

}  // namespace
