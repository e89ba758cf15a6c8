#include "hwdetect/hw_queued_event_source.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hwdetect/vesk_hw_check_device.h"

CHwQueuedEventSource::CHwQueuedEventSource() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CHwQueuedEventSource::~CHwQueuedEventSource() {
    if (fd_ >= 0) ::close(fd_);
}

short CHwQueuedEventSource::PollEvents() const { return POLLIN; }

void CHwQueuedEventSource::Push(Event e) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(e));
    }
    // Signalled after queueing, so a drain woken by it always finds the event.
    const uint64_t one = 1;
    if (fd_ >= 0) [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
}

void CHwQueuedEventSource::PushDeviceChange(uint32_t event, std::wstring name) {
    Push(Event{false, event, std::move(name)});
}

void CHwQueuedEventSource::PushMediaChange(uint32_t event, std::wstring root) {
    Push(Event{true, event, std::move(root)});
}

void CHwQueuedEventSource::PushUsbDevice(bool arrived, uint16_t vendor, uint16_t product,
                                         const std::string& device_path) {
    PushDeviceChange(arrived ? vesk::hw::kDeviceArrival : vesk::hw::kDeviceRemoveComplete,
                     vesk::hw::MakeUsbInterfaceName(vendor, product, device_path));
}

size_t CHwQueuedEventSource::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void CHwQueuedEventSource::Drain(CVesk_HW_CheckDevice& target) {
    uint64_t count = 0;
    if (fd_ >= 0) [[maybe_unused]] auto n = ::read(fd_, &count, sizeof count);
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events.swap(queue_);
    }
    // Delivered outside the lock: a callback may push again.
    for (const Event& e : events) {
        if (e.media) {
            target.ManageMediaChanged(e.text.c_str(), e.code);
        } else {
            HwDeviceHeader header;
            header.name = e.text.c_str();
            target.OnDeviceChange(e.code, &header);
        }
    }
}

std::shared_ptr<CHwQueuedEventSource> CHwQueuedSourceFactory::Open(
    std::weak_ptr<CHwQueuedEventSource>& slot, std::string& error) {
    auto source = std::make_shared<CHwQueuedEventSource>();
    if (!source->IsOpen()) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    slot = source;
    return source;
}

std::shared_ptr<IHwEventSource> CHwQueuedSourceFactory::OpenUsbSource(std::string& error) {
    return Open(usb_, error);
}

std::shared_ptr<IHwEventSource> CHwQueuedSourceFactory::OpenMediaSource(std::string& error) {
    return Open(media_, error);
}

std::shared_ptr<CHwQueuedEventSource> CHwQueuedSourceFactory::Current(
    const std::weak_ptr<CHwQueuedEventSource>& slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot.lock();
}

bool CHwQueuedSourceFactory::PushUsbDevice(bool arrived, uint16_t vendor, uint16_t product,
                                           const std::string& device_path) {
    auto s = Current(usb_);
    if (s) s->PushUsbDevice(arrived, vendor, product, device_path);
    return s != nullptr;
}

bool CHwQueuedSourceFactory::PushDeviceChange(uint32_t event, const std::wstring& name) {
    auto s = Current(usb_);
    if (s) s->PushDeviceChange(event, name);
    return s != nullptr;
}

bool CHwQueuedSourceFactory::PushMediaChange(uint32_t event, const std::wstring& root) {
    auto s = Current(media_);
    if (s) s->PushMediaChange(event, root);
    return s != nullptr;
}
