#include "sim/sim_bus.h"

#include <gtest/gtest.h>

#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "usb/usb_command_names.h"

namespace {

using vesk::sim::FaultKind;
using vesk::sim::TraceKind;
using vesk::test::SimFixture;
using vesk::test::SimInstrumentJson;
using vesk::test::SimScenarioJson;

class SimBusTest : public SimFixture {
protected:
    std::vector<std::string> List() {
        std::vector<std::string> paths;
        int err = 0;
        EXPECT_TRUE(bus_->ListDevices(paths, &err));
        return paths;
    }
};

TEST_F(SimBusTest, ListsInstrumentsByBusThenPortChain) {
    Load(SimScenarioJson({SimInstrumentJson(R"("path": "usb:2-1")"),
                          SimInstrumentJson(R"("path": "usb:1-10")"),
                          SimInstrumentJson(R"("path": "usb:1-2.3")"),
                          SimInstrumentJson(R"("path": "usb:1-2")"), SimInstrumentJson()}));
    EXPECT_EQ(List(), (std::vector<std::string>{"usb:1-1", "usb:1-2", "usb:1-2.3", "usb:1-10",
                                                "usb:2-1"}));
}

TEST_F(SimBusTest, InstrumentsWithoutAPathTakeFreePorts) {
    Load(SimScenarioJson({SimInstrumentJson("", "7"), SimInstrumentJson(R"("path": "usb:1-1")", "8"),
                          SimInstrumentJson("", "9")}));
    EXPECT_EQ(List(), (std::vector<std::string>{"usb:1-1", "usb:1-2", "usb:1-3"}));
    EXPECT_EQ(bus_->Find("usb:1-1")->identity().ID_logger(), 8u);
    EXPECT_EQ(bus_->Find("usb:1-2")->identity().ID_logger(), 7u);
}

TEST_F(SimBusTest, DescriptorCarriesThePacketSizeAtOffset22) {
    Load(SimScenarioJson({SimInstrumentJson(R"("chip": "D11")"),
                          SimInstrumentJson(R"("chip": "D12")")}));
    for (auto [path, packet] : {std::pair{"usb:1-1", 8}, std::pair{"usb:1-2", 64}}) {
        auto dev = bus_->Open(path, nullptr);
        ASSERT_TRUE(dev);
        uint8_t buf[256] = {};
        size_t got = 0;
        ASSERT_EQ(dev->ReadConfigDescriptor(buf, sizeof buf, &got), 0);
        EXPECT_EQ(buf[22] | buf[23] << 8, packet) << path;
        EXPECT_EQ(got, size_t(buf[2] | buf[3] << 8));
    }
}

TEST_F(SimBusTest, PlugAndUnplug) {
    LoadOne();
    auto dev = bus_->Open("usb:1-1", nullptr);
    ASSERT_TRUE(dev);
    int err = 0;
    EXPECT_FALSE(bus_->Open("usb:1-1", &err));
    EXPECT_EQ(err, vesk::usb::kUsbErrorBusy);
    EXPECT_TRUE(bus_->Unplug("usb:1-1"));
    EXPECT_TRUE(List().empty());
    size_t n = 0;
    const uint8_t stage[6] = {7, 0, 0, 0, 0, 0};
    EXPECT_EQ(dev->ControlOut(0x0E, 0, 0, stage, 6, 5000, &n), vesk::usb::kUsbErrorNoDevice);
    EXPECT_TRUE(bus_->Plug("usb:1-1"));
    EXPECT_EQ(List(), std::vector<std::string>{"usb:1-1"});
    // The old handle belongs to the earlier enumeration.
    EXPECT_EQ(dev->ControlOut(0x0E, 0, 0, stage, 6, 5000, &n), vesk::usb::kUsbErrorNoDevice);
    dev.reset();
    EXPECT_TRUE(bus_->Open("usb:1-1", nullptr));
}

// Booter request 4 switches mode, 15 restarts into firmware; the instrument
// leaves the bus and returns after its delay under the same path.
TEST_F(SimBusTest, ModeSwitchesReenumerateUnderTheSamePath) {
    LoadOne(R"("reenumerate_ms": 2500, "chip": "D11")");
    Open();
    ASSERT_FALSE(Inst().in_booter());
    ASSERT_TRUE(conn_->CtrlWrite_BooterCmd4());
    EXPECT_TRUE(List().empty());
    // The open connection now talks to nothing: a failure, not a hang.
    INFOIDENT id;
    EXPECT_FALSE(conn_->GetINFOIDENT(id));
    EXPECT_TRUE(log_.contains("Error at driver level: 0xfffffffc"));
    clock_.advance_ms(2499);
    EXPECT_TRUE(List().empty());
    clock_.advance_ms(1);
    EXPECT_EQ(List(), std::vector<std::string>{"usb:1-1"});
    EXPECT_TRUE(Inst().in_booter());
    conn_->ChiudiUSB();
    ASSERT_GT(conn_->Apri(Info()), 0);
    ASSERT_TRUE(conn_->GetINFOIDENT(id));
    EXPECT_TRUE(id.IsInBooter());

    ASSERT_TRUE(conn_->CtrlWrite_BooterCmd15());
    clock_.advance_ms(2500);
    EXPECT_EQ(List(), std::vector<std::string>{"usb:1-1"});
    EXPECT_FALSE(Inst().in_booter());
    bool left = false, back = false;
    for (const auto& l : bus_->trace().lines()) {
        left |= l.find("BUS left the bus, back at") != std::string::npos;
        back |= l.find("BUS back, firmware running") != std::string::npos;
    }
    EXPECT_TRUE(left && back);
}

TEST_F(SimBusTest, NeverReturnsAfterAModeSwitch) {
    LoadOne(R"("faults": [{"kind": "never_returns"}])");
    Open();
    ASSERT_TRUE(conn_->CtrlWrite_BooterCmd4());
    clock_.advance_ms(3600 * 1000);
    EXPECT_TRUE(List().empty());
    EXPECT_FALSE(bus_->ReturnTime("usb:1-1"));
}

TEST_F(SimBusTest, UnplugAfterNRequests) {
    LoadOne(R"("chip": "D11", "faults": [{"kind": "unplug_after", "requests": 4}])");
    Open();
    // 20 bytes: MEM_READ, announce, bulk, MEM_READ (the 4th), then nothing answers.
    uint8_t d[20];
    EXPECT_FALSE(conn_->ReadMEM_Generic(0, 20, d));
    EXPECT_TRUE(log_.contains("Error in control write bulk BULK_READ address 0 len 8"));
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(Transfers().size(), 5u);
    EXPECT_EQ(Transfers().back().result, vesk::usb::kUsbErrorNoDevice);
}

// Which transfers a driver error hits for each "when".
TEST_F(SimBusTest, TransferFaultTiming) {
    struct Case {
        const char* fault;
        std::vector<bool> ok;  // five MEM_READVERS requests in a row
    } cases[] = {
        {R"({"kind": "driver_error", "request": "memory", "when": "once"})", {false, true, true, true, true}},
        {R"({"kind": "driver_error", "request": "memory"})", {false, false, false, false, false}},
        {R"({"kind": "driver_error", "request": "memory", "when": "from", "n": 3})", {true, true, false, false, false}},
        {R"({"kind": "driver_error", "request": "memory", "command": 9})", {true, true, true, true, true}},
        {R"({"kind": "driver_error", "request": "booter"})", {true, true, true, true, true}},
        {R"({"kind": "stall", "request": "0x0E", "command": 7, "when": "once"})", {false, true, true, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        LoadOne(std::string(R"("faults": [)") + c.fault + "]");
        Open();
        std::vector<bool> got;
        for (int i = 0; i < 5; ++i) got.push_back(conn_->CtrlWrite_Memory(MEM_READVERS, 0, 0, 0));
        EXPECT_EQ(got, c.ok);
    }
}

TEST_F(SimBusTest, BulkTransferMustFollowItsAnnouncement) {
    LoadOne(R"("chip": "D12")");
    Open();
    uint8_t d[128];
    struct Case {
        const char* what;
        std::function<bool()> steps;
        bool ok;
    } cases[] = {
        {"matching", [&] { return conn_->CtrlWrite_Bulk(BULK_READ, 0, 64) && conn_->ReadBulkPipe(d, 64); }, true},
        {"other length", [&] { return conn_->CtrlWrite_Bulk(BULK_READ, 0, 64) && conn_->ReadBulkPipe(d, 128); }, false},
        {"other direction", [&] { return conn_->CtrlWrite_Bulk(BULK_WRITE, 0, 64) && conn_->ReadBulkPipe(d, 64); }, false},
        {"request in between",
         [&] {
             return conn_->CtrlWrite_Bulk(BULK_READ, 0, 64) && conn_->CtrlWrite_Memory(MEM_READVERS, 0, 0, 0) &&
                    conn_->ReadBulkPipe(d, 64);
         },
         false},
        {"used once", [&] { return conn_->CtrlWrite_Bulk(BULK_WRITE, 0, 64) && conn_->WriteBulkPipe(d, 64) && conn_->WriteBulkPipe(d, 64); }, false},
    };
    for (const auto& c : cases) {
        const uint64_t before = clock_.now_ms();
        EXPECT_EQ(c.steps(), c.ok) << c.what;
        // A refused transfer costs the host its bulk timeout, in program time.
        EXPECT_EQ(clock_.now_ms() - before, c.ok ? 0u : 10000u) << c.what;
    }
}

TEST_F(SimBusTest, TraceLinesAreReadableAndGoToAFile) {
    vesk::test::TempDir dir;
    Load(R"({"trace_file": ")" + dir.file("live.trace") + R"(", "instruments": [)" +
         SimInstrumentJson(R"("chip": "D11")") + "]}");
    Open();
    clock_.advance_ms(1500);
    uint8_t d[8];
    ASSERT_TRUE(conn_->ReadMEM_Generic(0x00FFA030, 8, d));
    ASSERT_TRUE(conn_->CtrlWrite_Quarv3(27, 1, 2, 3, 4));
    const auto& lines = bus_->trace().lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "[    1500 ms] usb:1-1 CTRL 0x0E MEMORY MEM_READ(1) addr=0x00FFA030 dati=128 nslave=0 wLength=6 -> ok");
    EXPECT_EQ(lines[1], "[    1500 ms] usb:1-1 CTRL 0x0C BULK BULK_READ addr=0x000000 len=8 wLength=6 -> ok");
    EXPECT_EQ(lines[2], "[    1500 ms] usb:1-1 BULK IN  ep=0x81 len=8 -> ok");
    EXPECT_EQ(lines[3],
              "[    1500 ms] usb:1-1 CTRL 0x0D QUARV3 CMD_GETNETTABLE(27) C1=1 C2=2 C3=3 C4=4 wLength=9 -> ok");
    std::string error;
    ASSERT_TRUE(bus_->trace().WriteToFile(dir.file("all.trace"), &error)) << error;
    std::string want;
    for (const auto& l : lines) want += l + "\n";
    EXPECT_EQ(vesk::test::read_file(dir.file("all.trace")), want);
    // The live file has everything since the bus was made, these lines last.
    const std::string live = vesk::test::read_file(dir.file("live.trace"));
    EXPECT_NE(live.find("BUS plugged in"), std::string::npos);
    EXPECT_EQ(live.substr(live.size() - want.size()), want);
    EXPECT_FALSE(bus_->trace().WriteToFile(dir.file("no/such/folder/x"), &error));
}

TEST_F(SimBusTest, FailedTransfersShowTheirOutcome) {
    LoadOne(R"("faults": [{"kind": "short", "request": "booter", "when": "once"}])");
    Open();
    EXPECT_FALSE(conn_->CtrlWrite_Booter(1, 0x10, 2));
    EXPECT_EQ(bus_->trace().lines().back(),
              "[       0 ms] usb:1-1 CTRL 0x0F BOOTER cmd(1) addr=0x000010 value=2 wLength=6 -> ok (5 of 6) [short]");
    uint8_t d[64];
    EXPECT_FALSE(conn_->ReadBulkPipe(d, 64));
    EXPECT_EQ(bus_->trace().lines().back(),
              "[       0 ms] usb:1-1 BULK IN  ep=0x82 len=64 -> timeout [not announced]");
}

}  // namespace
