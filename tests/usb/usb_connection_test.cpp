#include "usb/usb_connection.h"

#include <gtest/gtest.h>

#include <numeric>

#include "../support/sim_fixture.h"
#include "usb/usb_command_names.h"

namespace {

using vesk::sim::TraceEntry;
using vesk::sim::TraceKind;
using vesk::test::SimFixture;
using vesk::test::SimInstrumentJson;
using vesk::test::SimScenarioJson;

class USBConnectionTest : public SimFixture {
protected:
    // Commands of the memory requests in the trace.
    std::vector<uint8_t> MemoryCommands() const {
        std::vector<uint8_t> out;
        for (const auto& e : Memory()) out.push_back(e.command());
        return out;
    }
    std::vector<uint32_t> MemoryAddresses() const {
        std::vector<uint32_t> out;
        for (const auto& e : Memory()) out.push_back(e.address());
        return out;
    }
    // Lengths announced with request 0x0C.
    std::vector<uint16_t> Announced() const {
        std::vector<uint16_t> out;
        for (const auto& e : bus_->trace().Controls(0x0C)) out.push_back(e.word(3));
        return out;
    }
    static std::vector<uint8_t> Pattern(size_t n, uint8_t start = 1) {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), start);
        return v;
    }
};

// ---- opening ----

TEST_F(USBConnectionTest, ChipChoiceAndHostWidthGiveTheConnectionType) {
    struct Case {
        const char* chip;
        int type32, type64;
        uint16_t packet;
    } cases[] = {{"D11", 1, 7, 8}, {"D12", 2, 8, 64}};
    for (const auto& c : cases) {
        LoadOne(std::string(R"("chip": ")") + c.chip + "\"");
        CUSBConnection conn;
        EXPECT_EQ(conn.GetConnectionType(), -12);
        const int type = conn.Apri(Info());
        EXPECT_EQ(type, conn.Is64() ? c.type64 : c.type32) << c.chip;
        EXPECT_EQ(conn.GetConnectionType(), type);
        EXPECT_TRUE(conn.ApriConnessione(Info()));
        // The chip choice shows in the packet rounding of a main-buffer read.
        uint8_t buf[1];
        bus_->trace().Clear();
        ASSERT_TRUE(conn.ReadMEM_MainBuff(1, buf));
        EXPECT_EQ(Announced(), std::vector<uint16_t>{c.packet});
        conn.ChiudiUSB();
        EXPECT_EQ(conn.GetConnectionType(), -12);
    }
}

TEST_F(USBConnectionTest, HostWidthFromTheMachineName) {
    struct Case {
        const char* machine;
        bool result, is64;
    } cases[] = {
        {"x86_64", true, true},   {"aarch64", true, true}, {"ppc64le", true, true},
        {"s390x", true, true},    {"riscv64", true, true}, {"loongarch64", true, true},
        {"i386", true, false},    {"i686", true, false},   {"armv7l", true, false},
        {"mips", false, false},   {"", false, false},
    };
    for (const auto& c : cases) {
        bool is64 = !c.is64;
        EXPECT_EQ(C_Vesk_USB_Commons::DetectSystem64(c.machine, &is64), c.result) << c.machine;
        EXPECT_EQ(is64, c.is64) << c.machine;
    }
}

TEST_F(USBConnectionTest, ApriOnAnOpenConnectionKeepsItWithoutReopening) {
    LoadOne();
    CUSBConnection conn;
    const int type = conn.Apri(Info());
    ASSERT_GT(type, 0);
    EXPECT_EQ(conn.Apri(Info("usb:7-7")), type);
    size_t opens = 0;
    for (const auto& e : Trace()) opens += e.kind == TraceKind::Open;
    EXPECT_EQ(opens, 1u);
}

TEST_F(USBConnectionTest, OpenFailures) {
    LoadOne(R"("faults": [{"kind": "driver_error", "request": "descriptor", "when": "once"}, {"kind": "driver_error", "request": "descriptor", "when": "once"}, {"kind": "driver_error", "request": "descriptor", "when": "once"}])");  // the open and both of its retries
    CUSBConnection conn;
    // No such device: -1 with the carrier's error code.
    EXPECT_EQ(conn.Apri(Info("usb:9-9")), -1);
    EXPECT_TRUE(log_.contains("C_Vesk_USB_Commons::CreaFile"));
    EXPECT_TRUE(log_.contains("errorcode = 4294967292 (0xfffffffc)"));
    EXPECT_TRUE(log_.contains("Unable to create connection 'file' for path usb:9-9"));
    // The descriptor cannot be read: -4 and the device is closed again.
    EXPECT_EQ(conn.Apri(Info()), -4);
    EXPECT_TRUE(log_.contains("ERROR = IO Ctrl error"));
    EXPECT_TRUE(log_.contains("Impossible IO at path usb:1-1"));
    EXPECT_EQ(conn.GetConnectionType(), -12);
    EXPECT_GT(conn.Apri(Info()), 0);
    // Exclusive: a second connection cannot open it meanwhile.
    CUSBConnection other;
    EXPECT_EQ(other.Apri(Info()), -1);
    conn.ChiudiUSB();
    EXPECT_GT(other.Apri(Info()), 0);
}

TEST_F(USBConnectionTest, EveryOperationNeedsAnOpenDevice) {
    LoadOne();
    CUSBConnection conn;
    uint8_t buf[256] = {};
    uint32_t used = 0;
    INFOIDENT id;
    const std::vector<std::pair<const char*, std::function<bool()>>> ops = {
        {"GetINFOIDENT", [&] { return conn.GetINFOIDENT(id); }},
        {"ReadMEM_Generic", [&] { return conn.ReadMEM_Generic(0, 16, buf); }},
        {"WriteMEM_Generic", [&] { return conn.WriteMEM_Generic(0, 16, buf, false); }},
        {"ReadMEM_MainBuff", [&] { return conn.ReadMEM_MainBuff(16, buf); }},
        {"WriteMEM_Download", [&] { return conn.WriteMEM_Download(0, 16, buf); }},
        {"ReadBulkPipe", [&] { return conn.ReadBulkPipe(buf, 16); }},
        {"CtrlWrite_BooterCmd4", [&] { return conn.CtrlWrite_BooterCmd4(); }},
        {"GetMemoryUsedQuarv3", [&] { return conn.GetMemoryUsedQuarv3(used); }},
        {"Download1Packet", [&] { return conn.Download1Packet(0, buf); }},
    };
    for (const auto& [name, op] : ops) {
        log_.clear();
        EXPECT_FALSE(op()) << name;
        EXPECT_TRUE(log_.contains("ERROR = Bad device")) << name;
    }
    EXPECT_TRUE(Transfers().empty());
}

// ---- listing ----

TEST_F(USBConnectionTest, ListingSkipsInstrumentsThatCannotBeOpenedOrIdentified) {
    Load(SimScenarioJson({
        SimInstrumentJson(R"("path": "usb:1-3")", "3"),
        SimInstrumentJson(R"("path": "usb:1-1", "faults": [{"kind": "stall", "request": "memory"}])", "1"),
        SimInstrumentJson(R"("path": "usb:2-1", "faults": [{"kind": "driver_error", "request": "open"}])", "21"),
        SimInstrumentJson(R"("path": "usb:1-2.4")", "124"),
    }));
    std::vector<CDeviceInfo> list(3);  // emptied first
    ASSERT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].GetDevicePath(), L"usb:1-2.4");
    EXPECT_EQ(list[0].Ident().ID_logger(), 124u);
    EXPECT_EQ(list[1].GetDevicePath(), L"usb:1-3");
    EXPECT_EQ(list[1].Ident().ID_logger(), 3u);
    EXPECT_TRUE(log_.contains("IUSBConnection::GetListaDeviceCollegati"));
    EXPECT_TRUE(log_.contains("Unable to open connection"));
    EXPECT_TRUE(log_.contains("MEM_READVERS"));
    // Every instrument was closed again.
    for (const char* p : {"usb:1-1", "usb:1-2.4", "usb:1-3"}) {
        CUSBConnection c;
        EXPECT_GT(c.Apri(Info(p)), 0) << p;
    }
}

TEST_F(USBConnectionTest, ListingFailsWhenTheBusCannotBeListed) {
    LoadOne();
    bus_->set_listing_fails(true);
    std::vector<CDeviceInfo> list(1);
    EXPECT_FALSE(IUSBConnection::GetListaDeviceCollegati(list));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(log_.contains("C_Vesk_USB_Commons::GetElencoDeviceCollegati"));
    EXPECT_TRUE(log_.contains("ERROR = Bad handle"));
}

TEST_F(USBConnectionTest, ListingAnEmptyBusGivesTrueAndNothing) {
    Load(R"({"instruments": []})");
    std::vector<CDeviceInfo> list(1);
    EXPECT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
    EXPECT_TRUE(list.empty());
}

// ---- chunked reads and writes ----

TEST_F(USBConnectionTest, ReadGenericOfZeroSendsNothing) {
    LoadOne();
    Open();
    uint8_t b = 0x5A;
    EXPECT_TRUE(conn_->ReadMEM_Generic(0x1000, 0, &b));
    EXPECT_TRUE(Transfers().empty());
    EXPECT_EQ(b, 0x5A);
}

// The memory commands, addresses and announced lengths of chunked reads.
TEST_F(USBConnectionTest, ChunkedReads) {
    struct Case {
        const char* chip;
        bool slave;
        uint16_t length;
        std::vector<uint8_t> commands;
        std::vector<uint32_t> addresses;
        std::vector<uint16_t> announced;
        uint16_t dati;
    } cases[] = {
        {"D11", false, 20, {MEM_READ, MEM_READ}, {0x1000, 0x1010}, {16, 8}, 128},
        {"D12", false, 20, {MEM_READ}, {0x1000}, {64}, 128},
        {"D12", false, 300, {MEM_READ, MEM_READ, MEM_READ}, {0x1000, 0x1080, 0x1100}, {128, 128, 64}, 128},
        {"D11", true, 20, {MEM_READ128_SLAVE, MEM_READ16_SLAVE}, {0x1000, 0x1010}, {16, 8}, 0},
        {"D11", true, 16, {MEM_READ16_SLAVE}, {0x1000}, {16}, 0},
        {"D12", true, 20, {MEM_READ128_SLAVE}, {0x1000}, {64}, 0},
        {"D11", true, 40, {MEM_READ128_SLAVE, MEM_READ128_SLAVE, MEM_READ16_SLAVE},
         {0x1000, 0x1010, 0x1020}, {16, 16, 8}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.chip) + (c.slave ? " slave " : " master ") +
                     std::to_string(c.length));
        LoadOne(std::string(R"("chip": ")") + c.chip + "\"");
        const auto data = Pattern(c.length + 64);
        Inst().memory().Write(0x1000, data);
        Open();
        std::vector<uint8_t> dest(c.length + 8, 0xEE);
        const bool ok = c.slave ? conn_->ReadMEM_Slave(5, 0x1000, c.length, dest.data())
                                : conn_->ReadMEM_Generic(0x1000, c.length, dest.data());
        ASSERT_TRUE(ok);
        EXPECT_EQ(MemoryCommands(), c.commands);
        EXPECT_EQ(MemoryAddresses(), c.addresses);
        EXPECT_EQ(Announced(), c.announced);
        for (const auto& e : Memory()) {
            EXPECT_EQ(e.word(4), c.dati);
            EXPECT_EQ(e.byte(3), c.slave ? 5 : 0);
        }
        if (!c.slave) {  // the simulator has no slaves: only the master's memory reads back
            EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + c.length, data.begin()));
        }
        // Nothing written beyond the caller's length.
        EXPECT_EQ(dest[c.length], 0xEE);
        EXPECT_EQ(dest.back(), 0xEE);
    }
}

// 65535 rounds to 65536, which does not fit 16 bits: the whole length must
// still move rather than nothing being read and success reported.
TEST_F(USBConnectionTest, LengthsNearTheTopOfSixteenBitsAreNotLost) {
    LoadOne(R"("chip": "D12")");
    const auto data = Pattern(65535);
    Inst().memory().Write(0x100000, data);
    Open();
    std::vector<uint8_t> dest(65535, 0);
    ASSERT_TRUE(conn_->ReadMEM_Generic(0x100000, 65535, dest.data()));
    EXPECT_EQ(dest, data);
    EXPECT_EQ(Memory().size(), 512u);
    bus_->trace().Clear();
    ASSERT_TRUE(conn_->WriteMEM_Generic(0x200000, 65535, data.data(), false));
    EXPECT_EQ(Inst().memory().Read(0x200000, 65535), data);
    bus_->trace().Clear();
    ASSERT_TRUE(conn_->ReadMEM_MainBuff(65535, dest.data()));
    EXPECT_EQ(Announced(), std::vector<uint16_t>{256});
}

TEST_F(USBConnectionTest, ChunkedReadFailuresNameTheCommand) {
    struct Case {
        const char* fault;
        bool slave;
        const char* message;
    } cases[] = {
        {R"({"kind": "stall", "request": "memory", "when": "from", "n": 2})", false,
         "Error in control write memory MEM_READ address 4112 dati 128 nslave 0"},
        {R"({"kind": "stall", "request": "memory"})", true,
         "Error in control write memory MEM_READ128_SLAVE address 4096 dati 0 nslave 3"},
        {R"({"kind": "stall", "request": "bulk"})", false,
         "Error in control write bulk BULK_READ address 0 len 16"},
        {R"({"kind": "driver_error", "request": "bulk_in"})", false, "ERROR = Error reading"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        LoadOne(std::string(R"("chip": "D11", "faults": [)") + c.fault + "]");
        Open();
        uint8_t dest[20];
        EXPECT_FALSE(c.slave ? conn_->ReadMEM_Slave(3, 0x1000, 20, dest)
                             : conn_->ReadMEM_Generic(0x1000, 20, dest));
        EXPECT_TRUE(log_.contains(c.message));
    }
    // A slave read whose bulk transfer fails says nothing of its own.
    LoadOne(R"("chip": "D11", "faults": [{"kind": "driver_error", "request": "bulk_in"}])");
    Open();
    uint8_t dest[20];
    EXPECT_FALSE(conn_->ReadMEM_Slave(3, 0x1000, 20, dest));
    EXPECT_FALSE(log_.contains("Error reading"));
}

TEST_F(USBConnectionTest, WriteGenericPadsTheLastChunkWithoutReadingPastTheData) {
    LoadOne(R"("chip": "D11")");
    Open();
    // Exactly 20 bytes on the heap: a read beyond them would trip the sanitizer.
    auto src = std::make_unique<uint8_t[]>(20);
    for (int i = 0; i < 20; ++i) src[i] = uint8_t(0xA0 + i);
    ASSERT_TRUE(conn_->WriteMEM_Generic(0x2000, 20, src.get(), false));
    EXPECT_EQ(MemoryCommands(), (std::vector<uint8_t>{MEM_WRITE, MEM_WRITE}));
    EXPECT_EQ(MemoryAddresses(), (std::vector<uint32_t>{0x2000, 0x2010}));
    EXPECT_EQ(Memory()[0].word(4), 16);
    EXPECT_EQ(Memory()[1].word(4), 8);
    // The instrument stored 20 data bytes and 4 bytes of zero padding.
    const auto stored = Inst().memory().Read(0x2000, 25);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(stored[i], 0xA0 + i);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 20, stored.begin() + 24),
              std::vector<uint8_t>(4, 0));
    EXPECT_EQ(stored[24], 0xFF);
}

TEST_F(USBConnectionTest, WriteGenericTowardSlavesSendsSlaveBulkWriteWithSlaveZero) {
    LoadOne(R"("chip": "D12")");
    Open();
    const auto src = Pattern(130);
    ASSERT_TRUE(conn_->WriteMEM_Bank1(0x100, uint16_t(src.size()), src.data(), true));
    EXPECT_EQ(MemoryCommands(), (std::vector<uint8_t>{SLAVE_BULKWRITE, SLAVE_BULKWRITE}));
    EXPECT_EQ(MemoryAddresses(), (std::vector<uint32_t>{0x40000100, 0x40000180}));
    for (const auto& e : Memory()) EXPECT_EQ(e.byte(3), 0);
    EXPECT_EQ(Memory()[1].word(4), 64);  // 2 bytes rounded up to one packet
    EXPECT_EQ(Announced(), (std::vector<uint16_t>{128, 64}));
    // Each chunk went to the main buffer before its command.
    const auto t = Transfers();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].request, 0x0C);
    EXPECT_EQ(t[1].kind, TraceKind::BulkOut);
    EXPECT_EQ(t[2].request, 0x0E);
}

// The failure line is the system's own text, whichever command was sent.
TEST_F(USBConnectionTest, WriteGenericFailureLine) {
    LoadOne(R"("faults": [{"kind": "stall", "request": "memory"}])");
    Open();
    const auto src = Pattern(16);
    for (bool toward_slaves : {true, false}) {
        log_.clear();
        EXPECT_FALSE(conn_->WriteMEM_Generic(0x40, 16, src.data(), toward_slaves));
        EXPECT_TRUE(log_.contains("CUSBConnection::WriteMEM_Generic ["));
        EXPECT_TRUE(log_.contains(
            "ERROR = Error in control write memory (nSlave ? SLAVE_BULKWRITE : MEM_WRITE) address 64 dati 64 nslave 0\n"));
    }
    EXPECT_EQ(Memory().back().command(), MEM_WRITE);
}

// ---- main buffer ----

TEST_F(USBConnectionTest, ReadMainBufferOf300MovesAndCopiesOnly256) {
    LoadOne(R"("chip": "D12")");
    Open();
    auto& mb = Inst().main_buffer();
    for (size_t i = 0; i < 300; ++i) mb[i] = uint8_t(i * 7);
    std::vector<uint8_t> dest(300, 0xEE);
    ASSERT_TRUE(conn_->ReadMEM_MainBuff(300, dest.data()));
    EXPECT_EQ(Announced(), std::vector<uint16_t>{256});
    EXPECT_EQ(Transfers().back().length, 256u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(dest[i], uint8_t(i * 7)) << i;
    for (size_t i = 256; i < 300; ++i) ASSERT_EQ(dest[i], 0xEE) << i;
}

TEST_F(USBConnectionTest, WriteMainBufferRoundsUpAndFailsOnItsAnnouncement) {
    LoadOne(R"("chip": "D11", "faults": [{"kind": "stall", "request": "bulk", "when": "from", "n": 2}])");
    Open();
    const auto src = Pattern(20);
    ASSERT_TRUE(conn_->WriteMEM_MainBuff(20, src.data()));
    EXPECT_EQ(Announced(), std::vector<uint16_t>{24});
    EXPECT_EQ(Transfers().back().length, 24u);
    EXPECT_TRUE(std::equal(src.begin(), src.end(), Inst().main_buffer().begin()));
    EXPECT_FALSE(conn_->WriteMEM_MainBuff(20, src.data()));
    EXPECT_TRUE(log_.contains("Error in control write bulk BULK_WRITE address 0 len 24"));
    uint8_t d[4];
    EXPECT_FALSE(conn_->ReadMEM_MainBuff(4, d));
    EXPECT_TRUE(log_.contains("Error in control write bulk BULK_READ address 0 len 8"));
}

// ---- download ----

TEST_F(USBConnectionTest, WriteDownloadOfZeroSends65536BytesWithoutAControlRequest) {
    LoadOne();
    Open();
    uint32_t received = 0;
    Inst().ArmBulkOut(65536, [&](const uint8_t*, uint32_t n) { received = n; });
    std::vector<uint8_t> src(65536, 0x42);
    ASSERT_TRUE(conn_->WriteMEM_Download(0x1234, 0, src.data()));
    EXPECT_EQ(received, 65536u);
    const auto t = Transfers();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].kind, TraceKind::BulkOut);
    EXPECT_EQ(t[0].length, 65536u);
}

TEST_F(USBConnectionTest, DownloadOperations) {
    LoadOne();
    Inst().logged_data = Pattern(3 * 65536);
    for (size_t i = 0; i < 8192; ++i) Inst().config_area[i] = uint8_t(i / 256 + i);
    Inst().memory_used = 0x01020304;
    Inst().memory().Write(0x00345678, Pattern(40, 9));
    Open();

    std::vector<uint8_t> packet(65536);
    ASSERT_TRUE(conn_->Download1Packet(2, packet.data()));
    auto q = bus_->trace().Controls(0x0D);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].data, (std::vector<uint8_t>{13, 0, 0, 2, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), Inst().logged_data.begin() + 2 * 65536));

    std::vector<uint8_t> config(8192);
    ASSERT_TRUE(conn_->DownloadConfig(config.data()));
    EXPECT_EQ(config, Inst().config_area);
    q = bus_->trace().Controls(0x0D);
    ASSERT_EQ(q.size(), 33u);
    EXPECT_EQ(q.back().word(1), 7936);
    EXPECT_EQ(q.back().word(5), 256);
    EXPECT_EQ(q.back().word(7), 2);

    uint32_t used = 0;
    ASSERT_TRUE(conn_->GetMemoryUsedQuarv3(used));
    EXPECT_EQ(used, 0x01020304u);

    uint8_t dl[40];
    ASSERT_TRUE(conn_->ReadMEM_Download(0x00345678, 40, dl));
    EXPECT_EQ(std::vector<uint8_t>(dl, dl + 40), Pattern(40, 9));
    EXPECT_EQ(bus_->trace().Controls(0x0C).back().address(), 0x345678u);
}

TEST_F(USBConnectionTest, DownloadFailuresLogTheirCommand) {
    LoadOne(R"("faults": [{"kind": "stall", "request": "quarv3"}])");
    Open();
    std::vector<uint8_t> buf(65536);
    uint32_t used;
    EXPECT_FALSE(conn_->Download1Packet(3, buf.data()));
    EXPECT_TRUE(log_.contains("Error in control write quarv3 CMD_DWNLDDATA C1 0 C2 3 C3 0 C4 1"));
    EXPECT_FALSE(conn_->DownloadConfig(buf.data()));
    EXPECT_TRUE(log_.contains("Error in control write quarv3 CMD_DWNLDDATA C1 0 C2 0 C3 256 C4 2"));
    EXPECT_FALSE(conn_->GetMemoryUsedQuarv3(used));
    EXPECT_TRUE(log_.contains("Error in control write quarv3 CMD_GETONLINE C1 0 C2 0 C3 0 C4 0"));
}

// ---- areas and small commands ----

TEST_F(USBConnectionTest, AreaSelectorsAndGpsWrite) {
    LoadOne(R"("chip": "D12")");
    Inst().memory().Write(0x40000010, Pattern(16, 50));
    Inst().memory().Write(0x20000010, Pattern(16, 80));
    Open();
    uint8_t d[16];
    ASSERT_TRUE(conn_->ReadMEM_Bank1(0x10, 16, d));
    EXPECT_EQ(std::vector<uint8_t>(d, d + 16), Pattern(16, 50));
    ASSERT_TRUE(conn_->ReadMEM_GPS(0x10, 16, d));
    EXPECT_EQ(std::vector<uint8_t>(d, d + 16), Pattern(16, 80));
    // The address passes through unchanged when its top byte names an area.
    ASSERT_TRUE(conn_->ReadMEM_GPS(0x23004000, 16, d));
    EXPECT_EQ(MemoryAddresses(), (std::vector<uint32_t>{0x40000010, 0x20000010, 0x23004000}));

    bus_->trace().Clear();
    const auto src = Pattern(64, 200);
    ASSERT_TRUE(conn_->WriteMEM_GPS(0x21000000, 64, src.data()));
    ASSERT_EQ(Memory().size(), 1u);
    EXPECT_EQ(Memory()[0].command(), MEM_READ);
    EXPECT_EQ(Memory()[0].address(), 0x21000000u);
    EXPECT_EQ(Inst().memory().Read(0x21000000, 64), src);
}

TEST_F(USBConnectionTest, FixedCommands) {
    LoadOne();
    Open();
    struct Case {
        std::function<bool()> op;
        uint8_t request;
        std::vector<uint8_t> data;
        uint16_t index;
    } cases[] = {
        {[&] { return conn_->CtrlWrite_Memory8(0x00123456, 0xAB, 0); }, 0x0E, {2, 0x56, 0x34, 0, 0xAB, 0}, 0x12},
        {[&] { return conn_->CtrlWrite_Memory8(0x10, 0xAB, 4); }, 0x0E, {5, 0x10, 0, 4, 0xAB, 0}, 0},
        {[&] { return conn_->CtrlWrite_Memory16(0x10, 0xABCD, 0); }, 0x0E, {3, 0x10, 0, 0, 0xCD, 0xAB}, 0},
        {[&] { return conn_->CtrlWrite_Memory16(0x10, 0xABCD, 9); }, 0x0E, {6, 0x10, 0, 9, 0xCD, 0xAB}, 0},
        {[&] { return conn_->CtrlWrite_MemoryCmd18(); }, 0x0E, {18, 0, 0, 0, 0, 0}, 0},
        {[&] { return conn_->CtrlWrite_MemoryCmd51(); }, 0x0E, {51, 0, 0, 0, 0, 0}, 0},
        {[&] { return conn_->GotoBooterSlave(7); }, 0x0E, {52, 0, 0, 7, 0, 0}, 0},
        {[&] { return conn_->GotoFirmwareSlave(7); }, 0x0E, {54, 0, 0, 7, 0, 0}, 0},
        {[&] { return conn_->CtrlWrite_Quarv3Cmd7(); }, 0x0D, {7, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bus_->trace().Clear();
        ASSERT_TRUE(cases[i].op()) << i;
        const auto t = Transfers();
        ASSERT_EQ(t.size(), 1u) << i;
        EXPECT_EQ(t[0].request, cases[i].request) << i;
        EXPECT_EQ(t[0].data, cases[i].data) << i;
        EXPECT_EQ(t[0].index, cases[i].index) << i;
    }
}

TEST_F(USBConnectionTest, ConfigurationRequestFailureLogsAnEmptyMessage) {
    LoadOne(R"("faults": [{"kind": "stall", "request": "cfg"}])");
    Open();
    const uint8_t data[8] = {};
    EXPECT_FALSE(conn_->CtrlWrite_CFG(1, 0, 8, data));
    EXPECT_TRUE(log_.contains("CUSBConnection::CtrlWrite_CFG"));
    bool empty_message = false;
    for (const auto& l : log_.lines())
        empty_message |= l.find("CUSBConnection::CtrlWrite_CFG") == 0 && l.size() >= 9 &&
                         l.compare(l.size() - 9, 9, "ERROR = \n") == 0;
    EXPECT_TRUE(empty_message);
}

// A bulk transfer nobody announced: the instrument never answers; the
// transfer ends at its timeout instead of hanging.
TEST_F(USBConnectionTest, UnannouncedBulkTransferTimesOut) {
    LoadOne();
    Open();
    uint8_t d[64];
    const uint64_t before = clock_.now_ms();
    EXPECT_FALSE(conn_->ReadBulkPipe(d, 64));
    EXPECT_EQ(clock_.now_ms() - before, 10000u);
    EXPECT_TRUE(log_.contains("Error at driver level: 0xfffffff9"));
}

// ---- identification ----

TEST_F(USBConnectionTest, IdentityIsConfirmedByASecondReadAfter300ms) {
    for (const char* tipo : {"1025", "999", "0"}) {
        SCOPED_TRACE(tipo);
        LoadOne(std::string(R"("tipoFamBoot": )") + tipo);
        Open();
        const uint64_t before = clock_.now_ms();
        INFOIDENT id;
        ASSERT_TRUE(conn_->GetINFOIDENT(id));
        EXPECT_EQ(clock_.now_ms() - before, 300u);
        EXPECT_EQ(MemoryCommands(), (std::vector<uint8_t>{MEM_READVERS, MEM_READVERS}));
        EXPECT_TRUE(id == Inst().identity());
        EXPECT_EQ(id.loggerCode(), 300u);
        EXPECT_EQ(id.ID_logger(), 1234u);
        EXPECT_EQ(id.FirmwareVersionText(), L"43.04.01");
        EXPECT_EQ(id.BooterVersionText(), L"02.10");
    }
}

TEST_F(USBConnectionTest, IdentityThatNeverSettlesFailsAtTheEleventhReread) {
    LoadOne(R"("faults": [{"kind": "identity_changes"}])");
    Open();
    INFOIDENT id;
    const uint64_t before = clock_.now_ms();
    EXPECT_FALSE(conn_->GetINFOIDENT(id));
    EXPECT_TRUE(log_.contains("11 attempts are too many... there's no good infoident :-("));
    EXPECT_EQ(Memory().size(), 12u);
    EXPECT_EQ(clock_.now_ms() - before, 11 * 300u);
}

// A failed confirmation leaves the caller's record holding the last read, so
// a unit that came back in its booter does not pass for one in its firmware.
TEST_F(USBConnectionTest, FailedIdentityLeavesTheLastReadInTheRecord) {
    LoadOne(R"("in_booter": true, "faults": [{"kind": "identity_changes"}])");
    Open();
    INFOIDENT id;
    id.set_firmInEsec(1);
    id.set_ID_logger(99);
    EXPECT_FALSE(conn_->GetINFOIDENT(id));
    EXPECT_TRUE(id.IsInBooter());
    EXPECT_EQ(id.data()[0], 12);  // the twelfth read's own count
    EXPECT_EQ(id.ID_logger(), 1234u);
}

TEST_F(USBConnectionTest, IdentityThatSettlesIsAccepted) {
    LoadOne(R"("faults": [{"kind": "identity_changes", "reads": 3}])");
    Open();
    INFOIDENT id;
    ASSERT_TRUE(conn_->GetINFOIDENT(id));
    EXPECT_EQ(Memory().size(), 5u);  // reads 1..3 differ, 4 and 5 agree
    EXPECT_EQ(id.ID_logger(), 1234u);
}

TEST_F(USBConnectionTest, IdentityReadFailures) {
    struct Case {
        const char* fault;
        const char* message;
    } cases[] = {
        {R"({"kind": "stall", "request": "memory"})",
         "Error in control write memory MEM_READVERS address 0 dati 0 nslave 0"},
        {R"({"kind": "stall", "request": "memory", "when": "from", "n": 2})",
         "Error in control write memory MEM_READVERS address 0 dati 0 nslave 0"},
        {R"({"kind": "stall", "request": "bulk"})", "Error in read mem main buffer len 128, pBuffer 0x"},
        {R"({"kind": "driver_error", "request": "bulk_in", "when": "from", "n": 2})",
         "Error in read mem main buffer len 128, pBuffer 0x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        LoadOne(std::string(R"("faults": [)") + c.fault + "]");
        Open();
        INFOIDENT id;
        EXPECT_FALSE(conn_->GetINFOIDENT(id));
        EXPECT_TRUE(log_.contains(c.message));
    }
}

// The extra reads per booter-family class, and the record they complete.
TEST_F(USBConnectionTest, IdentityExtraReadsPerBooterFamily) {
    struct Case {
        uint16_t tipo;
        const char* chip;
        bool booter;
        std::vector<uint32_t> addresses;  // MEM_READ addresses after the two identity reads
    } cases[] = {
        {5, "D12", false, {0xFFBF30, 0xFF000A}},               // class 11
        {8, "D11", false, {0xFFBF30, 0xFFBF40, 0xFFBF50, 0xFFBF60, 0xFFBF70, 0xFF000A}},  // class 10
        {22, "D12", false, {0xF030, 0xE000A}},                  // class 14
        {2, "D12", false, {0xFFA030, 0xFE000A}},                // class 12
        {769, "D11", false,                                      // class 15, 16-byte chunks
         {0xFFA030, 0xFFA040, 0xFFA050, 0xFFA060, 0xFFA070, 0xFFA080, 0xFFA090, 0xFFA0A0,
          0xFE000A, 0xFE001A, 0xFE002A, 0xFE003A, 0xFE004A, 0xFE005A, 0xFE006A, 0xFE007A}},
        {2, "D12", true, {0xFFA030, 0xFE000A, 0xFFA000}},       // booter on a D12: the head too
        {9, "D12", true, {0xFFBF30, 0xFF000A, 0xFFBF00}},
        {22, "D11", true,
         {0xF030, 0xF040, 0xF050, 0xF060, 0xF070, 0xF080, 0xF090, 0xF0A0, 0xE000A, 0xE001A,
          0xE002A, 0xE003A, 0xE004A, 0xE005A, 0xE006A, 0xE007A}},  // no head read on a D11
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tipo) + " " + c.chip + (c.booter ? " booter" : ""));
        LoadOne(std::string(R"("tipoFamBoot": )") + std::to_string(c.tipo) + R"(, "chip": ")" +
                c.chip + R"(", "in_booter": )" + (c.booter ? "true" : "false"));
        // Values only the extra reads can bring: tail bytes, hours, the head fields.
        INFOIDENT& real = Inst().identity();
        for (size_t i = 0x30; i < 0x80; ++i) real.set_u8(i, uint8_t(i * 3));
        real.set_OreMinuti(0x1234);
        real.set_u16(INFOIDENT::kTipoSchScelta, 0x5566);
        real.set_u32(INFOIDENT::kDateIDN, 0x20261210);
        Inst().PublishIdentity();
        Open();
        INFOIDENT id;
        ASSERT_TRUE(conn_->GetINFOIDENT(id));
        auto addrs = MemoryAddresses();
        ASSERT_GE(addrs.size(), 2u);
        EXPECT_EQ(std::vector<uint32_t>(addrs.begin() + 2, addrs.end()), c.addresses);
        EXPECT_TRUE(id == real) << "record differs from the instrument's";
        EXPECT_EQ(id.OreMinuti(), 0x1234);
    }
}

TEST_F(USBConnectionTest, IdentityExtraReadFailures) {
    // The first read of classes 10 and 11 fails silently; the others say "Error reading memory".
    struct Case {
        uint16_t tipo;
        int failing_read;  // 1-based MEM_READ command that stalls
        bool message;
    } cases[] = {{5, 1, false}, {5, 2, true}, {2, 1, true}, {2, 2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.tipo) + " read " + std::to_string(c.failing_read));
        LoadOne(std::string(R"("tipoFamBoot": )") + std::to_string(c.tipo) +
                R"(, "faults": [{"kind": "stall", "request": "memory", "command": 1, "when": "from", "n": )" +
                std::to_string(c.failing_read) + "}]");
        Open();
        INFOIDENT id;
        EXPECT_FALSE(conn_->GetINFOIDENT(id));
        EXPECT_EQ(log_.contains("ERROR = Error reading memory"), c.message);
    }
}

}  // namespace
