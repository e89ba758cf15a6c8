// The simulated instruments' flash: erase and program rules, the booter's
// checks, the language and configuration paths, and the version taken from
// the image on the way back to firmware.
#include "sim/sim_flash.h"

#include <gtest/gtest.h>

#include "../support/sim_fixture.h"
#include "../support/sim_switch.h"
#include "version_stamp.h"

namespace {

using vesk::sim::SimFlash;
using vesk::test::SimFixture;

class SimFlashTest : public SimFixture {
protected:
    void LoadFlash(const std::string& flash, bool in_booter = true) {
        LoadOne(std::string(R"("in_booter": )") + (in_booter ? "true" : "false") + R"(, "flash": )" + flash);
    }
    // The note of the last control request.
    std::string LastNote() const {
        for (auto it = Trace().rbegin(); it != Trace().rend(); ++it)
            if (it->kind == vesk::sim::TraceKind::Control) return it->note;
        return "";
    }
    bool Block(CUSBConnection& c, uint8_t cmd, uint32_t address, const std::vector<uint8_t>& data) {
        return c.WriteMEM_MainBuff(uint16_t(data.size()), data.data()) &&
               c.CtrlWrite_Booter(cmd, address, uint16_t(data.size() / 2));
    }
    INFOIDENT Toggle(CUSBConnection& c) { return vesk::test::SwitchAndIdentify(c, clock_, Info()); }
};

TEST_F(SimFlashTest, ScenarioKeysAreChecked) {
    struct Case {
        const char* flash;
        const char* error;
    } cases[] = {
        {R"({"family": "quarv9"})", "instruments[0].flash.family: expected quarv3, quarv4 or pell"},
        {R"({})", "instruments[0].flash.family: missing"},
        {R"({"family": "pell", "size": 1})", "instruments[0].flash.size: unknown key"},
        {R"({"family": "pell", "config_stuck": [32768]})", "instruments[0].flash.config_stuck[0]"},
        {R"({"family": "pell", "config_fill": 256})", "instruments[0].flash.config_fill"},
    };
    for (const auto& k : cases) {
        std::string error;
        EXPECT_FALSE(vesk::sim::BusFromJson(
            vesk::test::SimScenarioJson({vesk::test::SimInstrumentJson(std::string(R"("flash": )") + k.flash)}),
            &error));
        EXPECT_NE(error.find(k.error), std::string::npos) << error;
    }
}

// A unit with no layout of its own takes its family's; one with no known
// family refuses every programming request instead of dropping it.
TEST_F(SimFlashTest, EveryDataLoggerHasItsFamilysLayout) {
    struct Case {
        const char* fields;
        const char* family;  // nullptr: no layout
        uint32_t firmware_start, booter_start;
    } cases[] = {
        {R"("code": 19, "firmware": "14.86.82")", "quarv3", 0xFE0000, 0xFFC000},
        {R"("code": 311, "firmware": "14.86.82")", "quarv3", 0xFE0000, 0xFFC000},
        {R"("code": 318, "firmware": "29.05.02")", "quarv3", 0xFE0000, 0xFFC000},
        {R"("code": 63, "firmware": "43.04.01")", "quarv4", 0xFC0000, 0xDF0000},
        {R"("code": 61, "firmware": "43.04.00")", "quarv4", 0xFC0000, 0xDF0000},
        {R"("code": 61, "firmware": "43.04.01")", "pell", 0xFC0000, 0},
        {R"("code": 64, "firmware": "46.02.00")", "pell", 0xFC0000, 0},
        {R"("code": 65, "firmware": "46.05.00")", "pell", 0xFC0000, 0},
        {R"("code": 300, "firmware": "01.00.00")", nullptr, 0, 0},
        {R"("code": 21, "firmware": "01.00.00")", nullptr, 0, 0},
        // The scenario's flash is taken over the family's.
        {R"("code": 19, "firmware": "14.86.82", "flash": {"family": "quarv4"})", "quarv4", 0xFC0000, 0xDF0000},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.fields);
        Load(vesk::test::SimScenarioJson(
            {std::string(R"({"serial": 1, "in_booter": true, )") + k.fields + "}"}));
        if (!k.family) {
            EXPECT_FALSE(Inst().flash());
            auto& c = Open();
            std::vector<uint8_t> block(128, 0);
            for (uint8_t cmd : {1, 2, 7, 8, 9, 10, 16, 85}) {
                EXPECT_FALSE(Block(c, cmd, 0xFE0000, block)) << int(cmd);
                EXPECT_EQ(LastNote(), "no flash layout");
            }
            EXPECT_FALSE(c.CtrlWrite_Quarv3(15, 564, 0xFFFF, 0, 0));
            EXPECT_FALSE(c.CtrlWrite_CFG(2, 0, 0, nullptr));
            EXPECT_EQ(Inst().memory().Read(0xFE0000, 128), std::vector<uint8_t>(128, 0xFF));
            // Switching and restarting are no programming.
            EXPECT_TRUE(c.CtrlWrite_BooterCmd4());
            continue;
        }
        ASSERT_TRUE(Inst().flash());
        EXPECT_EQ(Inst().flash()->firmware.start, k.firmware_start);
        EXPECT_EQ(Inst().flash()->booter.start, k.booter_start);
        EXPECT_EQ(!Inst().flash()->language.empty(), std::string(k.family) == "pell");
        // Programming goes somewhere: the firmware takes a block in the booter.
        auto& c = Open();
        ASSERT_TRUE(c.CtrlWrite_Booter(1, 0, 0));
        ASSERT_TRUE(Block(c, 2, k.firmware_start, std::vector<uint8_t>(128, 0x5A)));
        EXPECT_EQ(Inst().memory().Read(k.firmware_start, 128), std::vector<uint8_t>(128, 0x5A));
    }
}

TEST_F(SimFlashTest, ProgrammingOnlyClearsBitsAndStaysInItsRegion) {
    LoadFlash(R"({"family": "quarv3"})");
    auto& c = Open();
    ASSERT_TRUE(c.CtrlWrite_Booter(1, 0, 0));
    ASSERT_TRUE(Block(c, 2, 0xFE0000, std::vector<uint8_t>(128, 0xF0)));
    ASSERT_TRUE(Block(c, 2, 0xFE0000, std::vector<uint8_t>(128, 0x3C)));
    EXPECT_EQ(Inst().memory().Read(0xFE0000, 128), std::vector<uint8_t>(128, 0x30));
    EXPECT_FALSE(Block(c, 2, 0xFF8000 - 64, std::vector<uint8_t>(128, 0)));
    EXPECT_EQ(LastNote(), "outside the firmware region");
    EXPECT_FALSE(Block(c, 10, SimFlash::kSensorsAddress + 7936 - 128, std::vector<uint8_t>(256, 0)));
    EXPECT_EQ(Inst().memory().Read(0xFF8000, 64), std::vector<uint8_t>(64, 0xFF));
    // An erase brings the region back.
    ASSERT_TRUE(c.CtrlWrite_Booter(1, 0, 0));
    EXPECT_EQ(Inst().memory().Read(0xFE0000, 128), std::vector<uint8_t>(128, 0xFF));
}

TEST_F(SimFlashTest, BooterBlockChecksumIsVerified) {
    LoadFlash(R"({"family": "quarv4"})", false);
    auto& c = Open();
    ASSERT_TRUE(c.CtrlWrite_Booter(16, 0, 0));
    std::vector<uint8_t> block(256, 1);  // sums to 0x100 -> 0x00
    ASSERT_TRUE(c.WriteMEM_MainBuff(256, block.data()));
    EXPECT_FALSE(c.CtrlWrite_Booter(85, 0x010200, 128));
    EXPECT_EQ(LastNote(), "checksum mismatch");
    EXPECT_EQ(Inst().memory().Read(0xDF0200, 256), std::vector<uint8_t>(256, 0xFF));
    ASSERT_TRUE(c.WriteMEM_MainBuff(256, block.data()));
    EXPECT_TRUE(c.CtrlWrite_Booter(85, 0x000200, 128));
    EXPECT_EQ(Inst().memory().Read(0xDF0200, 256), block);
}

// Without a stamp, a written image gives the scenario's unstamped version
// (what a rehearsal takes from the chosen file's name); an erased one never does.
TEST_F(SimFlashTest, VersionComesFromTheImageStamp) {
    struct Case {
        const char* stamp;  // nullptr: no stamp
        bool erase;
        bool block;         // a block is written (with the stamp, when there is one)
        const char* unstamped;  // the scenario's unstamped_firmware; nullptr: none
        bool booter_after;
        std::wstring version;
    } cases[] = {
        {"17.08.09", true, true, nullptr, false, L"17.08.09"},
        {nullptr, true, false, nullptr, true, L"43.04.01"},
        {"7.8.9", true, true, nullptr, true, L"43.04.01"},     // a stamp that is no version
        {nullptr, false, false, nullptr, false, L"43.04.01"},  // an untouched image keeps what it had
        {nullptr, true, true, nullptr, true, L"43.04.01"},     // an image without a stamp
        {nullptr, true, true, "46.05.00", false, L"46.05.00"},
        {nullptr, true, false, "46.05.00", true, L"43.04.01"},  // erased: no image at all
        {"17.08.09", true, true, "46.05.00", false, L"17.08.09"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.stamp ? k.stamp : "no stamp") + ", unstamped " + (k.unstamped ? k.unstamped : "none"));
        LoadFlash(std::string(R"({"family": "quarv3"})") +
                  (k.unstamped ? std::string(R"(, "unstamped_firmware": ")") + k.unstamped + "\"" : ""));
        auto& c = Open();
        if (k.erase) {
            ASSERT_TRUE(c.CtrlWrite_Booter(1, 0, 0));
        }
        if (k.block) {
            std::vector<uint8_t> block(128, 0);
            if (k.stamp) {
                const auto s = vesk::sim::MakeVersionStamp(k.stamp);
                std::copy(s.begin(), s.end(), block.begin() + 0x20);
            }
            ASSERT_TRUE(Block(c, 2, 0xFE1000, block));
        }
        const INFOIDENT id = Toggle(c);
        EXPECT_EQ(id.IsInBooter(), k.booter_after);
        EXPECT_EQ(id.FirmwareVersionText(), k.version);
    }
}

// The identity reads of tipoFamBoot 2 look inside a Quarv3 image (the build
// byte at 0xFE0020, the hours at 0xFE000A): once written, the image's own bytes
// are what they find, across later switches too.
TEST_F(SimFlashTest, AWrittenImageKeepsItsBytesWhereTheIdentityIsRead) {
    LoadOne(R"("in_booter": true, "tipoFamBoot": 2, "flash": {"family": "quarv3"})");
    // Before any write the unit's identity is held there.
    EXPECT_EQ(Inst().memory().Read(0xFE0020, 1), std::vector<uint8_t>{0x01});
    auto& c = Open();
    ASSERT_TRUE(c.CtrlWrite_Booter(1, 0, 0));
    std::vector<uint8_t> block(128, 0x3C);
    block[0x20] = 0x09;  // where the build byte is read
    const auto s = vesk::sim::MakeVersionStamp("17.08.09");
    std::copy(s.begin(), s.end(), block.begin() + 0x40);
    ASSERT_TRUE(Block(c, 2, 0xFE0000, block));
    for (int i = 0; i < 3; ++i) {
        CUSBConnection next;
        if (i == 0) {
            EXPECT_EQ(Toggle(c).FirmwareVersionText(), L"17.08.09");
        } else {
            ASSERT_GT(next.Apri(Info()), 0);
            const INFOIDENT id = Toggle(next);
            EXPECT_EQ(id.IsInBooter(), i == 1);
            EXPECT_EQ(id.FirmwareVersionText(), L"17.08.09");
        }
        EXPECT_EQ(Inst().memory().Read(0xFE0000, 128), block) << "after switch " << i;
    }
    EXPECT_FALSE(Inst().identity().IsInBooter());
}

TEST_F(SimFlashTest, LanguageSaveNeedsItsStartAndCode) {
    LoadFlash(R"({"family": "pell"})", false);
    auto& c = Open();
    std::vector<uint8_t> block(256, 0x55);
    ASSERT_TRUE(c.WriteMEM_MainBuff(256, block.data()));
    EXPECT_FALSE(c.CtrlWrite_Quarv3(15, 564, 0, 1, 0));
    EXPECT_EQ(LastNote(), "no save started");
    EXPECT_FALSE(c.CtrlWrite_Quarv3(15, 565, 0xFFFF, 0, 0));
    ASSERT_TRUE(c.CtrlWrite_Quarv3(15, 564, 0xFFFF, 0, 0));
    ASSERT_TRUE(c.WriteMEM_MainBuff(256, block.data()));
    ASSERT_TRUE(c.CtrlWrite_Quarv3(15, 564, 0, 1, 0));
    EXPECT_EQ(std::vector<uint8_t>(Inst().flash()->language.begin() + 256,
                                   Inst().flash()->language.begin() + 512), block);
    EXPECT_FALSE(c.CtrlWrite_Quarv3(15, 564, 0, 0x400, 0));
}

TEST_F(SimFlashTest, ConfigurationMovesOverTheBulkPipe) {
    LoadFlash(R"({"family": "pell", "config_fill": 7, "config_stuck": [1]})", false);
    auto& c = Open();
    auto payload = [](uint32_t off, uint32_t len) {
        return std::vector<uint8_t>{uint8_t(off), uint8_t(off >> 8), 0, 0,
                                    uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), 0};
    };
    auto p = payload(0x100, 64);
    ASSERT_TRUE(c.CtrlWrite_CFG(0, 0, 8, p.data()));
    std::vector<uint8_t> got(64);
    ASSERT_TRUE(c.ReadBulkPipe(got.data(), 64));
    EXPECT_EQ(got, std::vector<uint8_t>(64, 7));
    // Writing without starting an update is refused.
    p = payload(0, 64);
    EXPECT_FALSE(c.CtrlWrite_CFG(1, 0, 8, p.data()));
    EXPECT_FALSE(c.CtrlWrite_CFG(3, 0, 0, nullptr));
    ASSERT_TRUE(c.CtrlWrite_CFG(2, 0, 0, nullptr));
    ASSERT_TRUE(c.CtrlWrite_CFG(1, 0, 8, p.data()));
    std::vector<uint8_t> out(64, 0x20);
    ASSERT_TRUE(c.WriteBulkPipe(out.data(), 64));
    ASSERT_TRUE(c.CtrlWrite_CFG(3, 0, 0, nullptr));
    const auto& cfg = Inst().flash()->configuration;
    EXPECT_EQ(cfg[0], 0x20);
    EXPECT_EQ(cfg[1], 7);  // a stuck byte
    EXPECT_EQ(cfg[64], 7);
    p = payload(32768 - 32, 64);
    EXPECT_FALSE(c.CtrlWrite_CFG(0, 0, 8, p.data()));
    EXPECT_EQ(LastNote(), "outside the configuration");
}

}  // namespace
