// The mode each write needs, for masters, keys and slaves alike, as the update
// run meets them: firmware is programmed while the booter runs, booters and
// languages while the firmware runs, and a new booter shows its version at
// the next identity read.
#include <gtest/gtest.h>

#include <functional>

#include "../support/sim_fixture.h"
#include "sim/sim_net.h"
#include "usb/usb_command_names.h"
#include "version_stamp.h"

namespace {

using vesk::test::SimFixture;
using vesk::test::SimScenarioJson;

enum class Unit { Master, Pell, Key, Slave, VarnelSlave };

constexpr uint8_t kSlave = 2;

class SimModesTest : public SimFixture {
public:
    // The unit (or the slave behind a Quarv4 master) in its booter or its firmware.
    void LoadUnit(Unit u, bool in_booter) {
        const std::string mode = in_booter ? "true" : "false";
        std::string j;
        switch (u) {
        case Unit::Master: j = R"({"code": 63, "serial": 1, "firmware": "43.04.01", "in_booter": )" + mode + "}"; break;
        case Unit::Pell: j = R"({"code": 64, "serial": 1, "firmware": "46.05.00", "in_booter": )" + mode + "}"; break;
        case Unit::Key: j = R"({"code": 112, "serial": 1, "firmware": "01.00.00", "in_booter": )" + mode + "}"; break;
        case Unit::Slave:
        case Unit::VarnelSlave:
            j = R"({"code": 63, "serial": 1, "firmware": "43.04.01", "slaves": [{"number": 2, "code": )" +
                std::string(u == Unit::Slave ? "2006" : "2021") +
                R"(, "serial": 9, "firmware": "01.00.00", "booter": "01.00", "in_booter": )" + mode + "}]}";
            break;
        }
        Load(SimScenarioJson({j}));
        Open();
    }
    CUSBConnection& c() { return *conn_; }
    std::string LastNote() const {
        for (auto it = Trace().rbegin(); it != Trace().rend(); ++it)
            if (it->kind == vesk::sim::TraceKind::Control) return it->note;
        return "";
    }
    // A block through the main buffer, then the booter request that stores it.
    bool Booter(uint8_t cmd, uint32_t address, const std::vector<uint8_t>& block) {
        return c().WriteMEM_MainBuff(uint16_t(block.size()), block.data()) &&
               c().CtrlWrite_Booter(cmd, address, uint16_t(block.size() / 2));
    }
    // A block handed to the slave (request 55), then the slave request that stores it.
    bool ToSlave(uint8_t cmd, uint32_t address, uint16_t dati, const std::vector<uint8_t>& block) {
        return c().WriteMEM_MainBuff(uint16_t(block.size()), block.data()) &&
               c().CtrlWrite_Memory(55, 0, 256, kSlave) && c().CtrlWrite_Memory(cmd, address, dati, kSlave);
    }
    static uint32_t WithSum(uint32_t offset, const std::vector<uint8_t>& block) {
        uint8_t sum = 0;
        for (uint8_t b : block) sum = uint8_t(sum + b);
        return (offset & 0xFFFF) | uint32_t(sum) << 16;
    }

    struct Write {
        const char* what;
        Unit unit;
        std::function<bool(SimModesTest&)> send;
    };
    // Each write goes through in the run's mode and is refused in the other,
    // with the refusal's note.
    void Check(const std::vector<Write>& writes, bool run_in_booter, const char* refusal) {
        for (const auto& w : writes) {
            SCOPED_TRACE(w.what);
            LoadUnit(w.unit, run_in_booter);
            EXPECT_TRUE(w.send(*this)) << LastNote();
            LoadUnit(w.unit, !run_in_booter);
            EXPECT_FALSE(w.send(*this));
            EXPECT_NE(LastNote().find(refusal), std::string::npos) << LastNote();
        }
    }
};

const std::vector<uint8_t> kBlock(256, 0x00);

TEST_F(SimModesTest, FirmwareIsProgrammedWhileTheBooterRuns) {
    Check({
              {"master erase", Unit::Master, [](auto& t) { return t.c().CtrlWrite_Booter(BOOTER_ERASE, 0, 0); }},
              {"master block", Unit::Master, [](auto& t) { return t.Booter(BOOTER_WRITE, 0xFC0000, kBlock); }},
              {"key erase", Unit::Key, [](auto& t) { return t.c().CtrlWrite_Booter(1, 0, 0); }},
              {"key block", Unit::Key, [](auto& t) { return t.Booter(2, 0xE0000, kBlock); }},
              {"slave erase", Unit::Slave, [](auto& t) { return t.c().CtrlWrite_Memory(53, 0, 0, kSlave); }},
              {"slave block", Unit::Slave, [](auto& t) { return t.ToSlave(56, 0xFF0000, 256, kBlock); }},
          },
          true, "firmware running");
}

TEST_F(SimModesTest, BooterIsProgrammedWhileTheFirmwareRuns) {
    Check({
              {"master start", Unit::Master, [](auto& t) { return t.c().CtrlWrite_Booter(BOOTER_INIZIA, 0, 0); }},
              {"master block", Unit::Master,
               [](auto& t) { return t.Booter(BOOTER_WRITENEW, WithSum(0xDF0000, kBlock), kBlock); }},
              {"key start", Unit::Key, [](auto& t) { return t.c().CtrlWrite_Booter(16, 0, 0); }},
              {"key block", Unit::Key, [](auto& t) { return t.Booter(85, WithSum(0xFC000, kBlock), kBlock); }},
              {"slave erase", Unit::Slave, [](auto& t) { return t.c().CtrlWrite_Memory(81, 0, 0, kSlave); }},
              {"slave block", Unit::Slave, [](auto& t) { return t.ToSlave(82, WithSum(0, kBlock), 256, kBlock); }},
          },
          false, "booter running");
}

TEST_F(SimModesTest, LanguagesAreWrittenWhileTheFirmwareRuns) {
    Check({
              {"pell save start", Unit::Pell,
               [](auto& t) { return t.c().CtrlWrite_Quarv3(CMD_SAVE_BTFWCODE, 564, 0xFFFF, 0, 0); }},
              {"pell save block", Unit::Pell,
               [](auto& t) {
                   return t.c().CtrlWrite_Quarv3(CMD_SAVE_BTFWCODE, 564, 0xFFFF, 0, 0) &&
                          t.c().WriteMEM_MainBuff(256, kBlock.data()) &&
                          t.c().CtrlWrite_Quarv3(CMD_SAVE_BTFWCODE, 564, 0, 3, 0);
               }},
              {"slave erase", Unit::VarnelSlave, [](auto& t) { return t.c().CtrlWrite_Memory(70, 0, 259, kSlave); }},
              {"slave block", Unit::VarnelSlave, [](auto& t) { return t.ToSlave(70, 0x100, 258, kBlock); }},
          },
          false, "booter running");
}

// A booter written while the firmware runs: the unit reports it from the
// next identity read on, not before.
TEST_F(SimModesTest, ANewBooterShowsAtTheNextIdentityRead) {
    std::vector<uint8_t> block(256, 0);
    const auto stamp = vesk::sim::MakeVersionStamp("05.07");
    std::copy(stamp.begin(), stamp.end(), block.begin() + 0x40);
    struct Case {
        const char* what;
        Unit unit;
        std::function<bool(SimModesTest&)> write;
        std::function<INFOIDENT(SimModesTest&)> read;
    } cases[] = {
        {"master", Unit::Master,
         [&](auto& t) {
             return t.c().CtrlWrite_Booter(BOOTER_INIZIA, 0, 0) &&
                    t.Booter(BOOTER_WRITENEW, WithSum(0xDF0000, block), block);
         },
         [](auto& t) {
             INFOIDENT id;
             EXPECT_TRUE(t.c().GetINFOIDENT(id));
             return id;
         }},
        {"key", Unit::Key,
         [&](auto& t) { return t.c().CtrlWrite_Booter(16, 0, 0) && t.Booter(85, WithSum(0xFC000, block), block); },
         [](auto& t) {
             INFOIDENT id;
             EXPECT_TRUE(t.c().GetINFOIDENT(id));
             return id;
         }},
        {"slave", Unit::Slave,
         [&](auto& t) {
             return t.c().CtrlWrite_Memory(81, 0, 0, kSlave) && t.ToSlave(82, WithSum(0, block), 256, block);
         },
         [](auto& t) {
             INFOIDENT id;
             EXPECT_TRUE(t.c().CtrlWrite_Memory(SLAVE_GETIDENT, 0, 0, kSlave));
             EXPECT_TRUE(t.c().ReadMEM_MainBuff(INFOIDENT::kSize, id.data()));
             return id;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadUnit(c.unit, false);
        ASSERT_TRUE(c.write(*this)) << LastNote();
        INFOIDENT held;
        if (c.unit == Unit::Slave) {
            ASSERT_TRUE(vesk::sim::SlaveIdentityOf(Inst(), kSlave, held));
        } else {
            held = Inst().identity();
        }
        EXPECT_NE(held.BooterVersionText(), L"05.07");
        const INFOIDENT id = c.read(*this);
        EXPECT_EQ(id.BooterVersionText(), L"05.07");
        EXPECT_FALSE(id.IsInBooter());
    }
}

}  // namespace
