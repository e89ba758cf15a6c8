#pragma once
// The driver-access seam: what the transport needs from whatever carries its
// transfers (libusb on a real machine, the simulator in tests and demos).
// Results use libusb's error numbers so that both carriers map the same way.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vesk::usb {

// Result codes: 0 is success, negative values are libusb's error numbers.
enum : int {
    kUsbOk = 0,
    kUsbErrorIo = -1,
    kUsbErrorAccess = -3,
    kUsbErrorNoDevice = -4,
    kUsbErrorNotFound = -5,
    kUsbErrorBusy = -6,
    kUsbErrorTimeout = -7,
    kUsbErrorOverflow = -8,
    kUsbErrorPipe = -9,
    kUsbErrorOther = -99,
};

constexpr uint16_t kVeskVendorId = 0x11CC;
constexpr uint8_t kVendorOutRequestType = 0x40;
constexpr uint32_t kControlTimeoutMs = 5000;
constexpr uint32_t kBulkTimeoutMs = 10000;

// One exclusively opened instrument; closing happens in the destructor.
class IUsbDevice {
public:
    virtual ~IUsbDevice() = default;
    // The raw configuration descriptor (configuration 0) into buf; *got bytes filled.
    virtual int ReadConfigDescriptor(uint8_t* buf, size_t cap, size_t* got) = 0;
    // The product id of its device descriptor, as it was enumerated.
    virtual int ReadProductId(uint16_t* product_id) = 0;
    // Vendor control transfer, host to device (request type 0x40), with its data stage.
    virtual int ControlOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                           uint16_t length, uint32_t timeout_ms, size_t* transferred) = 0;
    virtual int BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t timeout_ms,
                       size_t* transferred) = 0;
    virtual int BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length,
                        uint32_t timeout_ms, size_t* transferred) = 0;
};

class IUsbBackend {
public:
    virtual ~IUsbBackend() = default;
    // Appends the device path of every present instrument in a stable order
    // (bus, then port chain). False when the listing itself failed; *error then
    // holds the reason.
    virtual bool ListDevices(std::vector<std::string>& paths, int* error) = 0;
    // Opens one instrument exclusively; null with *error set on failure.
    virtual std::unique_ptr<IUsbDevice> Open(const std::string& path, int* error) = 0;
};

// "usb:<bus>-<port>.<port>..." from a bus number and a port chain.
std::string MakeDevicePath(int bus, const std::vector<int>& ports);
// Orders device paths by bus number, then port chain, numerically.
bool DevicePathLess(const std::string& a, const std::string& b);

// The carrier that the transport uses. Defaults to the libusb one.
IUsbBackend& process_backend();
// Replaces it; nullptr restores libusb. The caller keeps ownership.
void set_backend(IUsbBackend* backend);

class ScopedBackend {
public:
    explicit ScopedBackend(IUsbBackend& backend);
    ~ScopedBackend();
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    IUsbBackend* previous_;
};

}  // namespace vesk::usb
