#include "usb/backend/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <utility>

namespace vesk::usb {

namespace {

std::string PathOf(libusb_device* dev) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::vector<int> chain;
    for (int i = 0; i < n; ++i) chain.push_back(ports[i]);
    return MakeDevicePath(libusb_get_bus_number(dev), chain);
}

bool IsInstrument(libusb_device* dev) {
    libusb_device_descriptor d{};
    return libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == kVeskVendorId;
}

// Frees the list with the references it holds.
struct DeviceList {
    libusb_device** list = nullptr;
    ssize_t count = 0;
    ~DeviceList() {
        if (list) libusb_free_device_list(list, 1);
    }
};

class CLibusbDevice : public IUsbDevice {
public:
    CLibusbDevice(libusb_device_handle* h, bool reattach) : handle_(h), reattach_(reattach) {}
    ~CLibusbDevice() override {
        libusb_release_interface(handle_, 0);
        if (reattach_) libusb_attach_kernel_driver(handle_, 0);
        libusb_close(handle_);
    }
    CLibusbDevice(const CLibusbDevice&) = delete;
    CLibusbDevice& operator=(const CLibusbDevice&) = delete;

    int ReadConfigDescriptor(uint8_t* buf, size_t cap, size_t* got) override {
        *got = 0;
        const int len = static_cast<int>(std::min<size_t>(cap, 0xFFFF));
        const int r = libusb_get_descriptor(handle_, LIBUSB_DT_CONFIG, 0, buf, len);
        if (r < 0) return r;
        *got = static_cast<size_t>(r);
        return kUsbOk;
    }

    int ReadProductId(uint16_t* product_id) override {
        // The descriptor libusb keeps from the enumeration: no transfer.
        libusb_device_descriptor d{};
        const int r = libusb_get_device_descriptor(libusb_get_device(handle_), &d);
        if (r < 0) return r;
        *product_id = d.idProduct;
        return kUsbOk;
    }

    int ControlOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                   uint16_t length, uint32_t timeout_ms, size_t* transferred) override {
        *transferred = 0;
        // libusb takes a non-const buffer for both directions; OUT never writes it.
        const int r = libusb_control_transfer(handle_, kVendorOutRequestType, request, value,
                                              index, const_cast<uint8_t*>(data), length,
                                              timeout_ms);
        if (r < 0) return r;
        *transferred = static_cast<size_t>(r);
        return kUsbOk;
    }

    int BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t timeout_ms,
               size_t* transferred) override {
        return Bulk(endpoint, data, length, timeout_ms, transferred);
    }

    int BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t timeout_ms,
                size_t* transferred) override {
        return Bulk(endpoint, const_cast<uint8_t*>(data), length, timeout_ms, transferred);
    }

private:
    int Bulk(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t timeout_ms,
             size_t* transferred) {
        int done = 0;
        const int r = libusb_bulk_transfer(handle_, endpoint, data, static_cast<int>(length),
                                           &done, timeout_ms);
        *transferred = done > 0 ? static_cast<size_t>(done) : 0;
        return r;
    }

    libusb_device_handle* handle_;
    bool reattach_;
};

}  // namespace

CLibusbBackend::~CLibusbBackend() {
    if (ctx_) libusb_exit(ctx_);
}

libusb_context* CLibusbBackend::Context(int* error) {
    if (!ctx_) {
        libusb_context* c = nullptr;
        const int r = libusb_init(&c);
        if (r < 0) {
            if (error) *error = r;
            return nullptr;
        }
        ctx_ = c;
    }
    return ctx_;
}

bool CLibusbBackend::ListDevices(std::vector<std::string>& paths, int* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    libusb_context* ctx = Context(error);
    if (!ctx) return false;
    DeviceList devs;
    devs.count = libusb_get_device_list(ctx, &devs.list);
    if (devs.count < 0) {
        if (error) *error = static_cast<int>(devs.count);
        devs.list = nullptr;
        return false;
    }
    std::vector<std::string> found;
    for (ssize_t i = 0; i < devs.count; ++i)
        if (IsInstrument(devs.list[i])) found.push_back(PathOf(devs.list[i]));
    std::sort(found.begin(), found.end(), DevicePathLess);
    paths.insert(paths.end(), found.begin(), found.end());
    return true;
}

std::unique_ptr<IUsbDevice> CLibusbBackend::Open(const std::string& path, int* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto fail = [error](int e) -> std::unique_ptr<IUsbDevice> {
        if (error) *error = e;
        return nullptr;
    };
    libusb_context* ctx = Context(error);
    if (!ctx) return nullptr;
    DeviceList devs;
    devs.count = libusb_get_device_list(ctx, &devs.list);
    if (devs.count < 0) {
        devs.list = nullptr;
        return fail(static_cast<int>(devs.count));
    }
    libusb_device* dev = nullptr;
    for (ssize_t i = 0; i < devs.count && !dev; ++i)
        if (IsInstrument(devs.list[i]) && PathOf(devs.list[i]) == path) dev = devs.list[i];
    if (!dev) return fail(kUsbErrorNoDevice);

    libusb_device_handle* h = nullptr;
    int r = libusb_open(dev, &h);
    if (r < 0) return fail(r);
    bool reattach = false;
    if (libusb_kernel_driver_active(h, 0) == 1) {
        r = libusb_detach_kernel_driver(h, 0);
        if (r < 0) {
            libusb_close(h);
            return fail(r);
        }
        reattach = true;
    }
    // Claiming interface 0 is what makes the open exclusive: a node we may
    // open whose interface is refused is held by another program.
    r = libusb_claim_interface(h, 0);
    if (r < 0) {
        if (reattach) libusb_attach_kernel_driver(h, 0);
        libusb_close(h);
        return fail(r == LIBUSB_ERROR_ACCESS ? kUsbErrorBusy : r);
    }
    return std::make_unique<CLibusbDevice>(h, reattach);
}

}  // namespace vesk::usb
