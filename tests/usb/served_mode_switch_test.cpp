// Runs under "vesk-sim run served_mode_switch.json": the instrument there is a
// USB device served through umockdev. A switch to the booter must look to
// this program as it does on real hardware: the open handle meets "no
// device", udev announces the removal and the return, and the device comes
// back at the same path with the booter running. Without the preload there is
// no device to open and the test fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "log/evt_log.h"
#include "records/device_info.h"
#include "usb/usb_connection.h"
#include "../hwdetect/recording_dest.h"
#include "../hwdetect/udev_only_sources.h"

namespace {

TEST(ServedModeSwitch, DeviceLeavesAndComesBackInItsBooter) {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && std::string(preload).find("libumockdev-preload") != std::string::npos &&
                std::getenv("UMOCKDEV_DIR"))
        << "run under vesk-sim run (umockdev's preload is missing)";

    vesk::test::RecordingDest dest;
    CHwPollLoop loop;
    CVesk_HW_CheckDevice check(&dest, std::make_shared<vesk::test::UdevOnlySources>());
    check.AvviaGestioneEventiSistema(loop);
    ASSERT_TRUE(check.UsbDetectionOn);

    CDeviceInfo info;
    info.SetDevicePath(L"usb:1-1");
    CUSBConnection conn;
    ASSERT_GT(conn.Apri(info), 0);
    INFOIDENT id;
    ASSERT_TRUE(conn.GetINFOIDENT(id));
    EXPECT_FALSE(id.IsInBooter());
    EXPECT_EQ(id.ID_logger(), 424242u);

    // Booter entry: the instrument answers, then leaves the bus.
    ASSERT_TRUE(conn.CtrlWrite_Booter(4, 0, 0));
    {
        vesk::LogCapture log;
        EXPECT_FALSE(conn.GetINFOIDENT(id));
        // libusb's LIBUSB_ERROR_NO_DEVICE (-4) on the stale handle.
        EXPECT_TRUE(log.contains("Error at driver level: 0xfffffffc"))
            << (log.lines().empty() ? std::string("(no log line)") : log.lines().back());
    }
    conn.ChiudiUSB();

    // Hardware detection hears the departure and, after the re-enumeration
    // delay, the return. The bound only ends a failing test.
    for (int i = 0; i < 100 && dest.Calls().size() < 2; ++i) loop.RunOnce(100);
    const auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, "0101");
    EXPECT_FALSE(calls[0].arrived);
    EXPECT_EQ(calls[1].op, "0101");
    EXPECT_TRUE(calls[1].arrived);
    EXPECT_NE(calls[1].text.find(L"#usb:1-1#"), std::wstring::npos);

    // The same path opens the returned device, whose booter now runs. udev
    // tells every listener in turn, so libusb may hear of the return a little
    // after this program's monitor did: open as a program would, again until
    // it works. The bound only ends a failing test.
    int opened = conn.Apri(info);
    for (int i = 0; i < 100 && opened <= 0; ++i) {
        loop.RunOnce(20);
        opened = conn.Apri(info);
    }
    ASSERT_GT(opened, 0);
    ASSERT_TRUE(conn.GetINFOIDENT(id));
    EXPECT_TRUE(id.IsInBooter());
    conn.ChiudiUSB();
    check.TerminaGestioneEventiSistema();
}

}  // namespace
