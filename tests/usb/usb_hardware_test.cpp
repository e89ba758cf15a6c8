#include "usb/usb_hardware.h"

#include <gtest/gtest.h>

#include "../support/sim_fixture.h"

namespace {

using vesk::sim::TraceKind;
using vesk::test::SimFixture;

TEST(USBHardware, ChipClassesRoundToTheirPacketSize) {
    CUSBSerial_PDIUSBD11_32 d11_32(nullptr);
    CUSBSerial_PDIUSBD11_64 d11_64(nullptr);
    CUSBParall_PDIUSBD12_32 d12_32(nullptr);
    CUSBParall_PDIUSBD12_64 d12_64(nullptr);
    struct Case {
        const CUSBHardware* hw;
        uint16_t in, out;
    } cases[] = {
        {&d11_32, 20, 24}, {&d11_64, 20, 24}, {&d12_32, 20, 64}, {&d12_64, 20, 64},
        {&d12_64, 64, 64}, {&d11_32, 8, 8},   {&d11_32, 0, 0},   {&d12_32, 65, 128},
        {&d11_32, 1, 8},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.hw->RoundToPacket(c.in), c.out) << c.in << " on packet " << c.hw->GetPacketSize();

    struct Chip {
        const CUSBHardware* hw;
        uint16_t packet, chunk;
        uint8_t in, out;
        bool is64;
    } chips[] = {
        {&d11_32, 8, 16, 0x81, 0x01, false},
        {&d11_64, 8, 16, 0x81, 0x01, true},
        {&d12_32, 64, 128, 0x82, 0x02, false},
        {&d12_64, 64, 128, 0x82, 0x02, true},
    };
    for (const auto& c : chips) {
        EXPECT_EQ(c.hw->GetPacketSize(), c.packet);
        EXPECT_EQ(c.hw->GetChunkSize(), c.chunk);
        EXPECT_EQ(c.hw->GetEndpointIn(), c.in);
        EXPECT_EQ(c.hw->GetEndpointOut(), c.out);
        EXPECT_EQ(c.hw->Is64(), c.is64);
    }
}

TEST(USBHardware, ControlWithoutHandleIsRefused) {
    vesk::LogCapture log;
    CUSBParall_PDIUSBD12_64 hw(nullptr);
    EXPECT_FALSE(hw.CtrlWrite_Booter(4, 0, 0));
    EXPECT_TRUE(log.contains("CUSBHardware64::CtrlWrite_Booter ["));
    EXPECT_TRUE(log.contains("ERROR = Invalid USB handle"));
    CUSBSerial_PDIUSBD11_32 hw32(nullptr);
    EXPECT_FALSE(hw32.CtrlWrite_Memory(7, 0, 0, 0));
    EXPECT_TRUE(log.contains("CUSBHardware32::CtrlWrite_Memory ["));
}

class USBHardwareSim : public SimFixture {};

// Each request's data stage, byte by byte, as the instrument receives it.
TEST_F(USBHardwareSim, DataStagesAreLittleEndianWithTheirSetupFields) {
    LoadOne();
    CUSBConnection& c = Open();
    const uint8_t dbg[3] = {0xAA, 0xBB, 0xCC};
    // Booter command 3, GPS request 0x13 and configuration request 0x13 mean
    // nothing to the instrument: taken whatever its layout.
    ASSERT_TRUE(c.CtrlWrite_Booter(0x03, 0x12345678, 0xBEEF));
    ASSERT_TRUE(c.CtrlWrite_Memory(0x09, 0x12345678, 0xBEEF, 3));
    ASSERT_TRUE(c.CtrlWrite_Quarv3(27, 0x0102, 0x0304, 0x0506, 0x0708));
    ASSERT_TRUE(c.CtrlWrite_Bulk(1, 0x00ABCDEF, 0x0100));
    ASSERT_TRUE(c.CtrlWrite_Debug(0x11, 0x22, 3, dbg));
    ASSERT_TRUE(c.CtrlWrite_GPS(0x13, 0x33, 3, dbg));
    ASSERT_TRUE(c.CtrlWrite_CFG(0x13, 0x44, 3, dbg));
    struct Want {
        uint8_t request;
        uint16_t value, index;
        std::vector<uint8_t> data;
    } want[] = {
        {0x0F, 0, 0, {0x03, 0x78, 0x56, 0x34, 0xEF, 0xBE}},
        {0x0E, 0, 0x1234, {0x09, 0x78, 0x56, 0x03, 0xEF, 0xBE}},
        {0x0D, 0, 0, {27, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}},
        {0x0C, 0, 0x0471, {0xEF, 0xCD, 0xAB, 0x00, 0x01, 0x01}},
        {0x00, 0x11, 0x22, {0xAA, 0xBB, 0xCC}},
        {0x01, 0x13, 0x33, {0xAA, 0xBB, 0xCC}},
        {0x02, 0x13, 0x44, {0xAA, 0xBB, 0xCC}},
    };
    const auto got = Transfers();
    ASSERT_EQ(got.size(), std::size(want));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].request, want[i].request) << i;
        EXPECT_EQ(got[i].value, want[i].value) << i;
        EXPECT_EQ(got[i].index, want[i].index) << i;
        EXPECT_EQ(got[i].data, want[i].data) << i;
        EXPECT_EQ(got[i].length, want[i].data.size()) << i;
    }
}

// How a carrier outcome becomes 1 / -2 / -3 / -4 with its message, for a
// 6-byte booter request sent straight through USBDeviceIoControl.
TEST_F(USBHardwareSim, CarrierOutcomesMapToResultsAndMessages) {
    struct Case {
        const char* fault;
        int result;
        const char* message;
    } cases[] = {
        {"", 1, nullptr},
        {R"({"kind": "stall", "request": "booter"})", -2,
         "CUSBHardware64::USBDeviceIoControl [" },
        {R"({"kind": "stall", "request": "booter"})", -2,
         "ERROR = Error related to bad data transmission at driver level"},
        {R"({"kind": "short", "request": "booter"})", -3, "ERROR = Error: mismatch from"},
        {R"({"kind": "driver_error", "request": "booter"})", -4,
         "ERROR = Error at driver level: 0xffffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        LoadOne(std::string(R"("faults": [)") + c.fault + "]");
        auto dev = bus_->Open("usb:1-1", nullptr);
        ASSERT_TRUE(dev);
        CUSBParall_PDIUSBD12_64 hw(dev.get());
        vesk::LogCapture log;
        uint8_t stage[6] = {3, 0, 0, 0, 0, 0};
        USBRequestBlock b;
        b.request_type = 0x40;
        b.request = 0x0F;
        b.setup_length = 6;
        b.buffer = stage;
        b.buffer_length = 6;
        EXPECT_EQ(hw.USBDeviceIoControl(kIoctlControlTransfer, b), c.result);
        if (c.message) {
            EXPECT_TRUE(log.contains(c.message));
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
        // The control operation adds its own line and answers false.
        log.clear();
        EXPECT_EQ(hw.CtrlWrite_Booter(3, 0, 0), c.result == 1);
        EXPECT_EQ(log.contains("CUSBHardware64::CtrlWrite_Booter [") &&
                      log.contains("ERROR = Data transmission failure"),
                  c.result != 1);
    }
}

// The same mapping seen from USBDeviceIoControl's result, including a device
// that vanished, and a short bulk transfer that this level cannot detect but
// the protocol above it refuses.
TEST_F(USBHardwareSim, IoControlResults) {
    LoadOne(R"("chip": "D11", "faults": [{"kind": "short", "request": "memory", "when": "once"},
                                          {"kind": "short", "request": "bulk_in", "when": "once"}])");
    Open();
    // A 5-byte reply to a 6-byte setup.
    vesk::LogCapture log;
    EXPECT_FALSE(conn_->CtrlWrite_Memory(7, 0, 0, 0));
    EXPECT_TRUE(log.contains("Error: mismatch from"));
    // A short bulk transfer passes the driver level (bulk requests carry no
    // setup length); a bulk read of exactly that length then fails, never
    // handing on a buffer with a stale last byte.
    ASSERT_TRUE(conn_->CtrlWrite_Bulk(1, 0, 8));
    uint8_t buf[8];
    log.clear();
    EXPECT_FALSE(conn_->ReadBulkPipe(buf, 8));
    EXPECT_EQ(Transfers().back().transferred, 7u);
    EXPECT_TRUE(log.contains("Short transfer: fewer than 8 bytes moved"));
    EXPECT_FALSE(log.contains("Error at driver level"));
    // Gone from the bus: no device.
    bus_->Unplug("usb:1-1");
    log.clear();
    EXPECT_FALSE(conn_->CtrlWrite_Memory(7, 0, 0, 0));
    EXPECT_TRUE(log.contains("Error at driver level: 0xfffffffc"));
    EXPECT_FALSE(conn_->ReadBulkPipe(buf, 8));
    EXPECT_FALSE(conn_->WriteBulkPipe(buf, 8));
}

}  // namespace
