// The simulator's bus announces arrivals and removals the way udev does for a
// real instrument; wired to the queued sources they reach the destination
// through the event loop.
#include <gtest/gtest.h>

#include <memory>

#include "../support/sim_fixture.h"
#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/hw_queued_event_source.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "recording_dest.h"

namespace {

using vesk::test::ExpectDeviceCall;
using vesk::test::RecordingDest;

const std::wstring kName = L"\\\\?\\USB#VID_11CC&PID_0101#usb:1-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

class SimBusDetection : public vesk::test::SimFixture {
protected:
    void SetUp() override {
        LoadOne(R"("reenumerate_ms": 3000)");
        bus_->set_presence_observer([this](bool arrived, uint16_t pid, const std::string& path) {
            sources_->PushUsbDevice(arrived, 0x11CC, pid, path);
        });
        check_ = std::make_unique<CVesk_HW_CheckDevice>(&dest_, sources_);
        check_->AvviaGestioneEventiSistema(loop_);
    }
    void TearDown() override { check_.reset(); }

    std::shared_ptr<CHwQueuedSourceFactory> sources_ = std::make_shared<CHwQueuedSourceFactory>();
    RecordingDest dest_;
    CHwPollLoop loop_;
    std::unique_ptr<CVesk_HW_CheckDevice> check_;
};

TEST_F(SimBusDetection, UnplugAndPlugReachOnDevice0101) {
    ASSERT_TRUE(bus_->Unplug("usb:1-1"));
    ASSERT_TRUE(bus_->Plug("usb:1-1"));
    EXPECT_TRUE(dest_.Calls().empty()) << "delivered only when the loop drains";
    EXPECT_EQ(loop_.RunOnce(0), 1);
    const auto calls = dest_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    ExpectDeviceCall(calls[0], "0101", false, kName);
    ExpectDeviceCall(calls[1], "0101", true, kName);
}

TEST_F(SimBusDetection, ModeSwitchLeavesAndComesBackAfterItsDelay) {
    CUSBConnection& conn = Open();
    ASSERT_TRUE(conn.CtrlWrite_BooterCmd4());  // into the booter: the instrument leaves the bus
    conn.ChiudiUSB();
    EXPECT_EQ(loop_.RunOnce(0), 1);
    ASSERT_EQ(dest_.Calls().size(), 1u);
    ExpectDeviceCall(dest_.Calls()[0], "0101", false, kName);

    vesk::Sleep(2999);
    bus_->Tick();
    EXPECT_EQ(loop_.RunOnce(0), 0) << "not back before its re-enumeration delay";
    vesk::Sleep(1);
    bus_->Tick();
    EXPECT_EQ(loop_.RunOnce(0), 1);
    ASSERT_EQ(dest_.Calls().size(), 2u);
    ExpectDeviceCall(dest_.Calls()[1], "0101", true, kName);
    EXPECT_TRUE(Inst().in_booter());
}

TEST_F(SimBusDetection, NothingArrivesWhileDetectionIsOff) {
    check_->TerminaGestioneEventiSistema();
    bus_->Unplug("usb:1-1");
    check_->AvviaGestioneEventiSistema(loop_);
    bus_->Plug("usb:1-1");
    loop_.RunOnce(0);
    ASSERT_EQ(dest_.Calls().size(), 1u);
    EXPECT_TRUE(dest_.Calls()[0].arrived);
}

}  // namespace
