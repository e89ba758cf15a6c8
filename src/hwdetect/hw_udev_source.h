#pragma once
// USB devices coming and going, from a libudev monitor (subsystem "usb",
// device type "usb_device", actions "add" and "remove").
#include <memory>
#include <string>

#include "hwdetect/hw_event_source.h"

struct udev;
struct udev_monitor;

class CHwUdevSource : public IHwEventSource {
public:
    // monitor_name: "udev" (events after udev processed them) or "kernel".
    // A "udev" monitor without a running udev (no udev_control file) would
    // open but never hear anything, as in a container: that counts as not
    // opened, unless the program runs on a umockdev testbed (UMOCKDEV_DIR),
    // whose events reach it without udev. An empty udev_control skips the check.
    // Null with error filled when no monitor can be opened.
    static std::shared_ptr<CHwUdevSource> Open(const std::string& monitor_name, std::string& error,
                                               const std::string& udev_control = kUdevControl);
    static constexpr const char* kUdevControl = "/run/udev/control";
    ~CHwUdevSource() override;
    CHwUdevSource(const CHwUdevSource&) = delete;
    CHwUdevSource& operator=(const CHwUdevSource&) = delete;

    int Fd() const override;
    short PollEvents() const override;
    void Drain(CVesk_HW_CheckDevice& target) override;

    // The notification name for a device with the kernel's PRODUCT property
    // ("vvvv/pppp/bcd", hexadecimal) at sysfs name sysname ("1-1.4"); empty
    // when PRODUCT does not parse.
    static std::wstring NotificationName(const char* product, const char* sysname);

private:
    CHwUdevSource(udev* u, udev_monitor* m) : udev_(u), monitor_(m) {}
    udev* udev_;
    udev_monitor* monitor_;
};
