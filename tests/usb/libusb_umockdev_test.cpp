// The libusb carrier for real: libusb talks usbdevfs to a device node that
// umockdev serves, and behind the node a simulated instrument answers. Runs
// under umockdev-wrapper; without its preload the tests fail, never skip.
#include <umockdev.h>

#include <gtest/gtest.h>

#include <optional>

#include "common/clock.h"
#include "log/evt_log.h"
#include "sim/sim_bus.h"
#include "sim/umockdev/umockdev_bus.h"
#include "usb/backend/libusb_backend.h"
#include "usb/usb_connection.h"

namespace {

using vesk::sim::SimInstrument;

class LibusbUmockdev : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        // Asked only after the testbed exists: the answer is cached.
        ASSERT_TRUE(umockdev_in_mock_environment())
            << "run under umockdev-wrapper (Debian package umockdev)";
    }
    void TearDown() override {
        // libusb goes before the testbed, or releasing the testbed hangs.
        backend_scope_.reset();
        backend_.reset();
        served_.reset();
        bus_.reset();
        if (testbed_) g_object_unref(testbed_);
        testbed_ = nullptr;
    }

    // Serves an instrument at bus 1, port 1 and installs a fresh libusb carrier.
    void Serve(vesk::sim::SimInstrumentConfig cfg) {
        cfg.path = "usb:1-1";
        bus_ = std::make_unique<vesk::sim::SimBus>();
        inst_ = &bus_->Add(cfg);
        served_ = std::make_unique<vesk::sim::UmockdevBus>(testbed_, *bus_);
        std::string error;
        ASSERT_TRUE(served_->Start(&error)) << error;
        backend_ = std::make_unique<vesk::usb::CLibusbBackend>();
        backend_scope_.emplace(*backend_);
    }

    static vesk::sim::SimInstrumentConfig Config(bool d11) {
        vesk::sim::SimInstrumentConfig c;
        c.code = 300;
        c.serial = 424242;
        c.fw_major = 0x43, c.fw_minor = 0x04, c.fw_build = 0x01;
        c.boot_major = 0x02, c.boot_minor = 0x10;
        c.tipoFamBoot = 2;  // takes the extra identity reads
        c.d11 = d11;
        return c;
    }

    vesk::VirtualClock clock_;
    vesk::ScopedClock scoped_clock_{clock_};
    UMockdevTestbed* testbed_ = nullptr;
    std::unique_ptr<vesk::sim::SimBus> bus_;
    SimInstrument* inst_ = nullptr;
    std::unique_ptr<vesk::sim::UmockdevBus> served_;
    std::unique_ptr<vesk::usb::CLibusbBackend> backend_;
    std::optional<vesk::usb::ScopedBackend> backend_scope_;
};

TEST_F(LibusbUmockdev, ListsOpensAndIdentifiesThroughLibusb) {
    Serve(Config(false));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].GetDevicePath(), L"usb:1-1");
    EXPECT_TRUE(list[0].Ident() == inst_->identity());
    EXPECT_EQ(list[0].Ident().ID_logger(), 424242u);
}

TEST_F(LibusbUmockdev, ChunkedTransfersAndChipChoice) {
    for (bool d11 : {true, false}) {
        SCOPED_TRACE(d11 ? "D11" : "D12");
        TearDown();
        SetUp();
        Serve(Config(d11));
        CUSBConnection conn;
        CDeviceInfo info;
        info.SetDevicePath(L"usb:1-1");
        const int type = conn.Apri(info);
        EXPECT_EQ(type, d11 ? (conn.Is64() ? 7 : 1) : (conn.Is64() ? 8 : 2));
        // Exclusive: a second open fails while the first holds the interface.
        CUSBConnection second;
        EXPECT_EQ(second.Apri(info), -1);
        std::vector<uint8_t> src(300);
        for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 5 + 1);
        ASSERT_TRUE(conn.WriteMEM_Generic(0x3000, uint16_t(src.size()), src.data(), false));
        EXPECT_EQ(inst_->memory().Read(0x3000, src.size()), src);
        std::vector<uint8_t> back(300);
        ASSERT_TRUE(conn.ReadMEM_Generic(0x3000, uint16_t(back.size()), back.data()));
        EXPECT_EQ(back, src);
        conn.ChiudiUSB();
        EXPECT_GT(second.Apri(info), 0);
    }
}

TEST_F(LibusbUmockdev, StallAndShortReplyGiveTheirResults) {
    auto cfg = Config(true);
    vesk::sim::SimFault stall;
    stall.kind = vesk::sim::FaultKind::Stall;
    stall.target = 0x0F;
    stall.when = vesk::sim::FaultWhen::Once;
    vesk::sim::SimFault shrt = stall;
    shrt.kind = vesk::sim::FaultKind::Short;
    shrt.target = 0x0D;
    cfg.faults = {stall, shrt};
    Serve(cfg);
    CUSBConnection conn;
    CDeviceInfo info;
    info.SetDevicePath(L"usb:1-1");
    ASSERT_GT(conn.Apri(info), 0);
    vesk::LogCapture log;
    // Booter command 3 means nothing to the unit: only the fault refuses it.
    EXPECT_FALSE(conn.CtrlWrite_Booter(3, 0, 0));
    EXPECT_TRUE(log.contains("Error related to bad data transmission at driver level"));
    EXPECT_FALSE(conn.CtrlWrite_Quarv3(27, 0, 0, 0, 0));
    EXPECT_TRUE(log.contains("Error: mismatch from"));
    EXPECT_TRUE(conn.CtrlWrite_Booter(3, 0, 0));
}

}  // namespace

namespace {

// A cable pulled and put back: the served device leaves the testbed and comes
// back at a new address; the handle opened before meets "no device".
TEST_F(LibusbUmockdev, UnplugAndPlugMoveTheServedDevice) {
    Serve(Config(false));
    int error = 0;
    auto old_handle = backend_->Open("usb:1-1", &error);
    ASSERT_TRUE(old_handle) << error;
    const std::string before = served_->DeviceNode("usb:1-1");
    EXPECT_EQ(before, "/dev/bus/usb/001/002");
    const uint8_t data[6] = {};
    size_t done = 0;

    ASSERT_TRUE(served_->WithBus([](vesk::sim::SimBus& b) { return b.Unplug("usb:1-1"); }));
    served_->Sync();
    EXPECT_EQ(served_->DeviceNode("usb:1-1"), "");
    std::vector<std::string> paths;
    ASSERT_TRUE(backend_->ListDevices(paths, &error));
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(old_handle->ControlOut(0x0E, 0, 0, data, 6, 1000, &done), vesk::usb::kUsbErrorNoDevice);

    ASSERT_TRUE(served_->WithBus([](vesk::sim::SimBus& b) { return b.Plug("usb:1-1"); }));
    served_->Sync();
    EXPECT_EQ(served_->DeviceNode("usb:1-1"), "/dev/bus/usb/001/003");
    ASSERT_TRUE(backend_->ListDevices(paths, &error));
    EXPECT_EQ(paths, std::vector<std::string>{"usb:1-1"});
    EXPECT_EQ(old_handle->ControlOut(0x0E, 0, 0, data, 6, 1000, &done), vesk::usb::kUsbErrorNoDevice);
    old_handle.reset();
    auto new_handle = backend_->Open("usb:1-1", &error);
    ASSERT_TRUE(new_handle) << error;
    EXPECT_EQ(new_handle->ControlOut(0x0E, 0, 0, data, 6, 1000, &done), vesk::usb::kUsbOk);
    EXPECT_EQ(done, 6u);
}

// A bulk transfer the instrument does not answer stays pending until libusb's
// timeout discards it; the device goes on answering afterwards.
TEST_F(LibusbUmockdev, UnansweredBulkTransferEndsAtItsTimeout) {
    Serve(Config(false));
    int error = 0;
    auto handle = backend_->Open("usb:1-1", &error);
    ASSERT_TRUE(handle) << error;
    uint8_t buf[64];
    size_t done = 0;
    // Nothing announced it; libusb's own timer ends it (kept short).
    EXPECT_EQ(handle->BulkIn(0x82, buf, sizeof buf, 50, &done), vesk::usb::kUsbErrorTimeout);
    EXPECT_EQ(done, 0u);
    CUSBConnection conn;
    CDeviceInfo info;
    info.SetDevicePath(L"usb:1-1");
    handle.reset();
    ASSERT_GT(conn.Apri(info), 0);
    INFOIDENT id;
    ASSERT_TRUE(conn.GetINFOIDENT(id));
    EXPECT_EQ(id.ID_logger(), 424242u);
}

}  // namespace
