#include "usb/backend/libusb_backend.h"

#include <gtest/gtest.h>

#include "records/device_info.h"
#include "usb/usb_connection.h"

namespace {

// No instrument is plugged into the machines that run the tests.
TEST(LibusbBackend, WithNoInstrumentListingIsTrueAndEmpty) {
    vesk::usb::CLibusbBackend backend;
    std::vector<std::string> paths;
    int error = 0;
    EXPECT_TRUE(backend.ListDevices(paths, &error)) << "libusb error " << error;
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(backend.Open("usb:1-1", &error));
    EXPECT_EQ(error, vesk::usb::kUsbErrorNoDevice);
}

// The transport with its default carrier, libusb.
TEST(LibusbBackend, TransportListsNothingAndCannotOpen) {
    std::vector<CDeviceInfo> list(2);
    EXPECT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
    EXPECT_TRUE(list.empty());
    CUSBConnection conn;
    CDeviceInfo info;
    info.SetDevicePath(L"usb:1-1");
    EXPECT_EQ(conn.Apri(info), -1);
}

TEST(DevicePath, NamesThePortAndOrdersNumerically) {
    EXPECT_EQ(vesk::usb::MakeDevicePath(1, {4}), "usb:1-4");
    EXPECT_EQ(vesk::usb::MakeDevicePath(3, {1, 4, 2}), "usb:3-1.4.2");
    const char* ordered[] = {"usb:1-1", "usb:1-1.2", "usb:1-2", "usb:1-10", "usb:2-1", "usb:10-1"};
    for (size_t i = 0; i + 1 < std::size(ordered); ++i) {
        EXPECT_TRUE(vesk::usb::DevicePathLess(ordered[i], ordered[i + 1])) << ordered[i];
        EXPECT_FALSE(vesk::usb::DevicePathLess(ordered[i + 1], ordered[i])) << ordered[i];
    }
}

}  // namespace
