#pragma once
// Transfers carried by libusb-1.0: instruments are the devices of vendor
// 0x11CC, named by their physical port so that a path survives re-enumeration.
#include <mutex>

#include "usb/backend/usb_backend.h"

struct libusb_context;

namespace vesk::usb {

class CLibusbBackend : public IUsbBackend {
public:
    CLibusbBackend() = default;
    ~CLibusbBackend() override;
    CLibusbBackend(const CLibusbBackend&) = delete;
    CLibusbBackend& operator=(const CLibusbBackend&) = delete;

    bool ListDevices(std::vector<std::string>& paths, int* error) override;
    std::unique_ptr<IUsbDevice> Open(const std::string& path, int* error) override;

private:
    // The context is made on first use, so a program that never touches USB
    // (or runs on the simulator) never initialises libusb.
    libusb_context* Context(int* error);

    std::mutex mutex_;
    libusb_context* ctx_ = nullptr;
};

}  // namespace vesk::usb
