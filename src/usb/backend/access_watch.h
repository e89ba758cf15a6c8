#pragma once
// Instruments the user may not open. A device node without the udev rule's
// access, or a user who is not at the seat, makes libusb refuse the open with
// LIBUSB_ERROR_ACCESS; the listing then simply leaves the instrument out. A
// front end installs this watch over the carrier and, after its work, tells
// the user why and what to do (AccessDeniedAdvice).
#include <mutex>
#include <string>
#include <vector>

#include "usb/backend/usb_backend.h"

namespace vesk::usb {

class CAccessWatchBackend : public IUsbBackend {
public:
    // The carrier underneath is not owned and must outlive the watch.
    explicit CAccessWatchBackend(IUsbBackend& inner) : inner_(inner) {}

    bool ListDevices(std::vector<std::string>& paths, int* error) override;
    std::unique_ptr<IUsbDevice> Open(const std::string& path, int* error) override;

    // Device paths refused for lack of permission, each once, in the order met.
    std::vector<std::string> Denied() const;

private:
    IUsbBackend& inner_;
    mutable std::mutex mutex_;
    std::vector<std::string> denied_;
};

// The udev rule that grants the access, as installed in 70-vesk-firmup.rules.
extern const char kUdevRule[];

// What the user reads when the instrument at device_path ("usb:1-4") cannot be
// opened for lack of permission: the device, the two likely causes and the
// commands that install the rule. One text for the terminal and the window.
std::wstring AccessDeniedAdvice(const std::wstring& device_path);

}  // namespace vesk::usb
