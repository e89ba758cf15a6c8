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

// A bench: instruments plugged in and pulled out at their times, each change
// told to the presence observer once and in the order of its time, also when
// the clock jumps past several at once.
TEST_F(SimBusTest, BenchTimesPlugAndPullInTheirOrder) {
    Load(SimScenarioJson({SimInstrumentJson(R"("reenumerate_ms": 2500, "present_until_ms": 10000)", "0"),
                          SimInstrumentJson(R"("present_from_ms": 12000, "present_until_ms": 20000)", "1")}));
    std::vector<std::string> told;
    bus_->set_presence_observer([&](bool arrived, uint16_t, const std::string& path) {
        told.push_back((arrived ? "+" : "-") + path);
    });
    EXPECT_EQ(List(), std::vector<std::string>{"usb:1-1"});
    EXPECT_EQ(bus_->NextChange(), std::optional<uint64_t>(10000));
    // A mode switch due back at 2500: its return comes before the pull at 10000.
    Open();
    ASSERT_TRUE(conn_->CtrlWrite_BooterCmd4());
    conn_.reset();
    EXPECT_EQ(bus_->NextChange(), std::optional<uint64_t>(2500));
    clock_.advance_ms(15000);
    EXPECT_EQ(List(), std::vector<std::string>{"usb:1-2"});
    EXPECT_EQ(told, (std::vector<std::string>{"-usb:1-1", "+usb:1-1", "-usb:1-1", "+usb:1-2"}));
    clock_.advance_ms(5000);
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(bus_->NextChange(), std::nullopt);
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
        {R"({"kind": "driver_error", "request": "memory", "when": "at", "n": 3})", {true, true, false, true, true}},
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

// A program keeps no trace in memory; its trace_file still gets every line.
TEST_F(SimBusTest, TraceNotKeptInMemoryStillGoesToItsFile) {
    vesk::test::TempDir dir;
    Load(R"({"trace_file": ")" + dir.file("live.trace") + R"(", "instruments": [)" +
         SimInstrumentJson(R"("chip": "D11")") + "]}");
    bus_->trace().KeepInMemory(false);
    Open();
    uint8_t d[8];
    ASSERT_TRUE(conn_->ReadMEM_Generic(0x00FFA030, 8, d));
    EXPECT_TRUE(bus_->trace().entries().empty());
    EXPECT_TRUE(bus_->trace().lines().empty());
    const std::string live = vesk::test::read_file(dir.file("live.trace"));
    EXPECT_NE(live.find("CTRL 0x0E MEMORY MEM_READ(1) addr=0x00FFA030"), std::string::npos) << live;
    EXPECT_EQ(live.back(), '\n');
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

// Setup values a real unit stalls, each next to its well-formed twin.
TEST_F(SimBusTest, MalformedRequestsAreStalled) {
    struct Case {
        const char* what;
        uint8_t request;
        uint16_t value, index;
        std::vector<uint8_t> data;
        bool ok;
    } cases[] = {
        {"bulk announcement", 0x0C, 0, 0x0471, {0, 0, 0, 64, 0, 1}, true},
        {"bulk with wIndex 0", 0x0C, 0, 0, {0, 0, 0, 64, 0, 1}, false},
        {"bulk with wIndex 0x0472", 0x0C, 0, 0x0472, {0, 0, 0, 64, 0, 1}, false},
        {"bulk with wValue 1", 0x0C, 1, 0x0471, {0, 0, 0, 64, 0, 1}, false},
        {"main buffer in part of a packet", 0x0C, 0, 0x0471, {0, 0, 0, 65, 0, 1}, false},
        {"main buffer of two packets", 0x0C, 0, 0x0471, {0, 0, 0, 128, 0, 0}, true},
        {"memory at an address: any length", 0x0C, 0, 0x0471, {0x10, 0, 0, 65, 0, 1}, true},
        {"quarv3", 0x0D, 0, 0, {11, 0, 0, 0, 0, 0, 0, 0, 0}, true},
        {"quarv3 with wValue", 0x0D, 2, 0, {11, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"quarv3 with wIndex", 0x0D, 0, 2, {11, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"memory with address bits in wIndex", 0x0E, 0, 0x12, {7, 0, 0, 0, 0, 0}, true},
        {"memory with wValue", 0x0E, 1, 0, {7, 0, 0, 0, 0, 0}, false},
        {"booter", 0x0F, 0, 0, {3, 0, 0, 0, 0, 0}, true},
        {"booter with wValue", 0x0F, 3, 0, {3, 0, 0, 0, 0, 0}, false},
        {"booter with wIndex", 0x0F, 0, 0x10, {3, 0, 0, 0, 0, 0}, false},
        {"booter with 5 bytes", 0x0F, 0, 0, {3, 0, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadOne(R"("chip": "D12")");
        auto dev = bus_->Open("usb:1-1", nullptr);
        ASSERT_TRUE(dev);
        size_t n = 0;
        const int r = dev->ControlOut(c.request, c.value, c.index, c.data.data(),
                                      uint16_t(c.data.size()), vesk::usb::kControlTimeoutMs, &n);
        EXPECT_EQ(r, c.ok ? vesk::usb::kUsbOk : vesk::usb::kUsbErrorPipe);
        const std::string note = Trace().back().note;
        EXPECT_EQ(note == "malformed request" || note == "length is not whole packets", !c.ok) << note;
    }
}

// A request nobody answers costs the host its 5 s on the program clock.
TEST_F(SimBusTest, TimeoutFaultTakesTheHostsWait) {
    LoadOne(R"("faults": [{"kind": "timeout", "request": "memory", "command": 7, "when": "from", "n": 2}])");
    Open();
    uint64_t before = clock_.now_ms();
    EXPECT_TRUE(conn_->CtrlWrite_Memory(MEM_READVERS, 0, 0, 0));
    EXPECT_EQ(clock_.now_ms(), before);
    EXPECT_FALSE(conn_->CtrlWrite_Memory(MEM_READVERS, 0, 0, 0));
    EXPECT_EQ(clock_.now_ms() - before, vesk::usb::kControlTimeoutMs);
    EXPECT_EQ(Transfers().back().result, vesk::usb::kUsbErrorTimeout);
    EXPECT_TRUE(log_.contains("Error at driver level: 0xfffffff9"));
    // On the bulk pipe it is the bulk timeout.
    LoadOne(R"("faults": [{"kind": "timeout", "request": "bulk_in"}])");
    Open();
    uint8_t d[64];
    before = clock_.now_ms();
    EXPECT_FALSE(conn_->ReadMEM_MainBuff(64, d));
    // The main buffer's fetch is tried again after each timeout.
    EXPECT_EQ(clock_.now_ms() - before, (1 + CUSBConnection::kTransientRetries) * vesk::usb::kBulkTimeoutMs);
}

// The cable comes out between the announcement of a block and its data.
TEST_F(SimBusTest, UnplugFaultPullsTheCableAtItsTransfer) {
    LoadOne(R"("faults": [{"kind": "unplug", "request": "bulk_out", "when": "from", "n": 3}])");
    Open();
    std::vector<uint8_t> block(128, 0x11);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(conn_->WriteMEM_MainBuff(128, block.data()));
    EXPECT_FALSE(conn_->WriteMEM_MainBuff(128, block.data()));
    const auto t = Transfers();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[t.size() - 2].request, 0x0C);
    EXPECT_EQ(t[t.size() - 2].result, vesk::usb::kUsbOk);
    EXPECT_EQ(t.back().kind, TraceKind::BulkOut);
    EXPECT_EQ(t.back().result, vesk::usb::kUsbErrorNoDevice);
    EXPECT_EQ(t.back().note, "unplug");
    EXPECT_TRUE(List().empty());
    clock_.advance_ms(3600 * 1000);
    EXPECT_TRUE(List().empty());  // until a person plugs it back
    EXPECT_TRUE(bus_->Plug("usb:1-1"));

    // Pulled as the program opens it.
    LoadOne(R"("faults": [{"kind": "unplug", "request": "open"}])");
    int err = 0;
    EXPECT_FALSE(bus_->Open("usb:1-1", &err));
    EXPECT_EQ(err, vesk::usb::kUsbErrorNoDevice);
    EXPECT_TRUE(List().empty());
}

// Faults on the way back from a mode switch or restart, counted per departure.
TEST_F(SimBusTest, ReturnFaultsPickTheirDeparture) {
    struct Case {
        const char* fault;
        std::vector<int> back_after;  // ms away for three switches; -1: never back
        std::vector<uint16_t> product;  // product id seen on each return
    } cases[] = {
        {R"({"kind": "slow_return", "ms": 6000, "when": "once"})", {6000, 3000, 3000}, {257, 257, 257}},
        {R"({"kind": "slow_return", "ms": 9000, "when": "from", "n": 2})", {3000, 9000, 9000}, {257, 257, 257}},
        {R"({"kind": "new_product_id", "product_id": 258, "when": "once"})", {3000, 3000, 3000}, {258, 257, 257}},
        {R"({"kind": "new_product_id", "product_id": 258})", {3000, 3000, 3000}, {258, 258, 258}},
        {R"({"kind": "never_returns", "when": "from", "n": 2})", {3000, -1}, {257}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        LoadOne(std::string(R"("faults": [)") + c.fault + "]");
        std::vector<uint16_t> arrivals;
        bus_->set_presence_observer([&](bool arrived, uint16_t pid, const std::string&) {
            if (arrived) arrivals.push_back(pid);
        });
        for (int away : c.back_after) {
            auto dev = bus_->Open("usb:1-1", nullptr);
            ASSERT_TRUE(dev);
            size_t n = 0;
            const uint8_t toggle[6] = {4, 0, 0, 0, 0, 0};
            ASSERT_EQ(dev->ControlOut(0x0F, 0, 0, toggle, 6, vesk::usb::kControlTimeoutMs, &n), 0);
            dev.reset();
            const uint64_t left = clock_.now_ms();
            if (away < 0) {
                EXPECT_FALSE(bus_->ReturnTime("usb:1-1"));
                clock_.advance_ms(3600 * 1000);
                EXPECT_TRUE(List().empty());
                break;
            }
            ASSERT_TRUE(bus_->ReturnTime("usb:1-1"));
            EXPECT_EQ(*bus_->ReturnTime("usb:1-1") - left, uint64_t(away));
            clock_.advance_ms(uint64_t(away));
            EXPECT_EQ(List(), std::vector<std::string>{"usb:1-1"});
        }
        EXPECT_EQ(arrivals, c.product);
        EXPECT_EQ(Inst().product_id(), c.product.back());
    }
}

}  // namespace
