#include "hwdetect/hw_udev_source.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hwdetect/vesk_hw_check_device.h"

namespace {

// umockdev's preload answers the "udev" monitors of a program run on its
// testbed (named by UMOCKDEV_DIR) with the testbed's own events: there the
// testbed stands in for a running udev.
bool OnUmockdevTestbed() {
    const char* dir = std::getenv("UMOCKDEV_DIR");
    return dir && *dir;
}

}  // namespace

std::shared_ptr<CHwUdevSource> CHwUdevSource::Open(const std::string& monitor_name,
                                                   std::string& error,
                                                   const std::string& udev_control) {
    if (monitor_name == "udev" && !udev_control.empty() && !OnUmockdevTestbed() &&
        ::access(udev_control.c_str(), F_OK) != 0) {
        error = "udev is not running (" + udev_control + ": " + std::strerror(errno) + ")";
        return nullptr;
    }
    udev* u = udev_new();
    if (!u) {
        error = "udev_new: " + std::string(std::strerror(errno));
        return nullptr;
    }
    udev_monitor* m = udev_monitor_new_from_netlink(u, monitor_name.c_str());
    if (!m) {
        error = "udev monitor \"" + monitor_name + "\" cannot be opened";
        udev_unref(u);
        return nullptr;
    }
    int rc = udev_monitor_filter_add_match_subsystem_devtype(m, "usb", "usb_device");
    if (rc >= 0) rc = udev_monitor_enable_receiving(m);
    if (rc < 0) {
        error = "udev monitor: " + std::string(std::strerror(-rc));
        udev_monitor_unref(m);
        udev_unref(u);
        return nullptr;
    }
    return std::shared_ptr<CHwUdevSource>(new CHwUdevSource(u, m));
}

CHwUdevSource::~CHwUdevSource() {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
}

int CHwUdevSource::Fd() const { return udev_monitor_get_fd(monitor_); }

short CHwUdevSource::PollEvents() const { return POLLIN; }

std::wstring CHwUdevSource::NotificationName(const char* product, const char* sysname) {
    unsigned vendor = 0, id = 0;
    char tail = 0;
    if (!product || !sysname ||
        std::sscanf(product, "%x/%x%c", &vendor, &id, &tail) != 3 || tail != '/' ||
        vendor > 0xFFFF || id > 0xFFFF)
        return {};
    return vesk::hw::MakeUsbInterfaceName(static_cast<uint16_t>(vendor), static_cast<uint16_t>(id),
                                          std::string("usb:") + sysname);
}

void CHwUdevSource::Drain(CVesk_HW_CheckDevice& target) {
    // The monitor's socket does not block: this takes what is pending.
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(dev);
        uint32_t event = 0;
        if (action && std::strcmp(action, "add") == 0) event = vesk::hw::kDeviceArrival;
        if (action && std::strcmp(action, "remove") == 0) event = vesk::hw::kDeviceRemoveComplete;
        std::wstring name;
        if (event)
            name = NotificationName(udev_device_get_property_value(dev, "PRODUCT"),
                                    udev_device_get_sysname(dev));
        udev_device_unref(dev);
        if (name.empty()) continue;
        HwDeviceHeader header;
        header.name = name.c_str();
        target.OnDeviceChange(event, &header);
    }
}
