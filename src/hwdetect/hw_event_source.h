#pragma once
// The seam between hardware detection and whatever tells it about devices and
// media: udev and the mount table on a real machine, the simulator's plug and
// unplug in a simulated run. A source exposes one file descriptor; the thread
// that watches it (the window's event loop, or the terminal's poll loop) drains
// it when it becomes ready, and the events are delivered there, on that thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CVesk_HW_CheckDevice;

namespace vesk::hw {

// Device-change events.
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceQueryRemove = 0x8001;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;
// Device type of a device-interface notification.
constexpr uint32_t kDevTypeDeviceInterface = 5;
// Media and drive events.
constexpr uint32_t kMediaInserted = 0x20;
constexpr uint32_t kMediaRemoved = 0x40;
constexpr uint32_t kDriveRemoved = 0x80;
constexpr uint32_t kDriveAdded = 0x100;

// The class of all USB device interfaces, the one class detection registers.
constexpr const wchar_t* kUsbDeviceInterfaceClass = L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// "\\?\USB#VID_vvvv&PID_pppp#<device path>#{class}": the notification name of
// a USB device, as UpdateDevice expects it.
std::wstring MakeUsbInterfaceName(uint16_t vendor, uint16_t product, const std::string& device_path);

}  // namespace vesk::hw

// The fixed header of a device notification; name follows it.
struct HwDeviceHeader {
    uint32_t device_type = vesk::hw::kDevTypeDeviceInterface;
    const wchar_t* name = nullptr;
};

class IHwEventSource {
public:
    virtual ~IHwEventSource() = default;
    virtual int Fd() const = 0;
    // The poll events that mean "something to drain" (POLLIN, or POLLPRI for
    // the mount table).
    virtual short PollEvents() const = 0;
    // Reads what is pending and delivers each event to target, on the calling thread.
    virtual void Drain(CVesk_HW_CheckDevice& target) = 0;
};

// The window's side: watches descriptors and runs a handler on its own thread
// when one becomes ready.
class IHwEventLoop {
public:
    virtual ~IHwEventLoop() = default;
    // False with errno set when the descriptor cannot be watched.
    virtual bool Watch(int fd, short events, std::function<void()> on_ready) = 0;
    // False with errno set when it was not watched.
    virtual bool Unwatch(int fd) = 0;
};

// Opens the sources each time detection starts.
class IHwEventSourceFactory {
public:
    virtual ~IHwEventSourceFactory() = default;
    // Null with error filled when the source cannot be opened.
    virtual std::shared_ptr<IHwEventSource> OpenUsbSource(std::string& error) = 0;
    virtual std::shared_ptr<IHwEventSource> OpenMediaSource(std::string& error) = 0;
};
