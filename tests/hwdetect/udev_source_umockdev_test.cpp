// The libudev source against uevents sent by a umockdev testbed. Runs under
// umockdev-wrapper; without its preload the monitor would listen to the real
// system, so the test fails rather than pass without having run.
#include <gtest/gtest.h>
#include <umockdev.h>

#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "log/evt_log.h"
#include "recording_dest.h"
#include "udev_only_sources.h"

namespace {

using vesk::test::ExpectDeviceCall;
using vesk::test::RecordingDest;
using vesk::test::UdevOnlySources;

class UdevSource : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        ASSERT_TRUE(umockdev_in_mock_environment())
            << "run this test under umockdev-wrapper (the preload is missing)";
        check_ = std::make_unique<CVesk_HW_CheckDevice>(&dest_, std::make_shared<UdevOnlySources>());
        check_->AvviaGestioneEventiSistema(loop_);
        ASSERT_TRUE(check_->UsbDetectionOn);
    }
    void TearDown() override {
        check_.reset();
        if (testbed_) g_object_unref(testbed_);
    }

    std::string AddDevice(const std::string& port, const std::string& product, int devnum) {
        const std::string sys = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
        char dev[16];
        std::snprintf(dev, sizeof dev, "%03d", devnum);
        const std::string desc = "P: " + sys + "\nN: bus/usb/001/" + dev +
                                 "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/" +
                                 dev + "\nE: PRODUCT=" + product + "\nE: BUSNUM=001\nE: DEVNUM=" + dev +
                                 "\nA: busnum=1\nA: devnum=" + std::to_string(devnum) +
                                 "\nA: dev=189:" + std::to_string(devnum - 1) + "\n";
        GError* error = nullptr;
        EXPECT_TRUE(umockdev_testbed_add_from_string(testbed_, desc.c_str(), &error))
            << (error ? error->message : "");
        if (error) g_error_free(error);
        return "/sys" + sys;
    }

    // Runs the loop until the destination has count calls; the timeout only
    // bounds a failing test.
    void RunUntil(size_t count) {
        for (int i = 0; i < 50 && dest_.Calls().size() < count; ++i) loop_.RunOnce(100);
    }

    UMockdevTestbed* testbed_ = nullptr;
    RecordingDest dest_;
    CHwPollLoop loop_;
    std::unique_ptr<CVesk_HW_CheckDevice> check_;
};

const std::wstring kName =
    L"\\\\?\\USB#VID_11CC&PID_0101#usb:1-1.4#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

TEST_F(UdevSource, PlugAndUnplugReachOnDevice0101) {
    // Adding the device to the testbed announces it with an "add" uevent.
    const std::string sys = AddDevice("1-1/1-1.4", "11cc/101/100", 5);
    RunUntil(1);
    umockdev_testbed_uevent(testbed_, sys.c_str(), "change");
    umockdev_testbed_uevent(testbed_, sys.c_str(), "remove");
    RunUntil(2);
    const auto calls = dest_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    ExpectDeviceCall(calls[0], "0101", true, kName);
    ExpectDeviceCall(calls[1], "0101", false, kName);
}

TEST_F(UdevSource, OtherVendorIsLoggedAndNotDelivered) {
    vesk::LogCapture log;
    AddDevice("1-2", "46d/c52b/1201", 6);
    AddDevice("1-3", "11cc/2002/100", 7);
    RunUntil(1);
    const auto calls = dest_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, "2002");
    EXPECT_TRUE(log.contains("Can't find USB#VID_11CC&PID in \\\\?\\USB#VID_046D&PID_C52B#usb:1-2#"));
}

}  // namespace
