#include "usb/backend/usb_backend.h"

#include <atomic>
#include <cstdlib>

#include "usb/backend/libusb_backend.h"

namespace vesk::usb {

namespace {

std::atomic<IUsbBackend*> g_backend{nullptr};

IUsbBackend& libusb_backend() {
    static CLibusbBackend backend;
    return backend;
}

// Numbers of "usb:B-p.p.p"; non-numeric parts count as 0.
std::vector<long> PathNumbers(const std::string& path) {
    std::vector<long> out;
    size_t i = path.rfind(':');
    i = (i == std::string::npos) ? 0 : i + 1;
    while (i < path.size()) {
        char* end = nullptr;
        const long v = std::strtol(path.c_str() + i, &end, 10);
        const size_t used = static_cast<size_t>(end - (path.c_str() + i));
        out.push_back(v);
        i += used + 1;  // skip the number and its separator
    }
    return out;
}

}  // namespace

std::string MakeDevicePath(int bus, const std::vector<int>& ports) {
    std::string s = "usb:" + std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i) s += '.';
        s += std::to_string(ports[i]);
    }
    return s;
}

bool DevicePathLess(const std::string& a, const std::string& b) {
    const auto na = PathNumbers(a), nb = PathNumbers(b);
    if (na != nb) return na < nb;
    return a < b;
}

IUsbBackend& process_backend() {
    IUsbBackend* b = g_backend.load();
    return b ? *b : libusb_backend();
}

void set_backend(IUsbBackend* backend) { g_backend.store(backend); }

ScopedBackend::ScopedBackend(IUsbBackend& backend) : previous_(g_backend.exchange(&backend)) {}
ScopedBackend::~ScopedBackend() { g_backend.store(previous_); }

}  // namespace vesk::usb
