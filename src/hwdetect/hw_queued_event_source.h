#pragma once
// Events pushed from any thread, delivered only when the watching thread
// drains the source: its descriptor (an eventfd) becomes readable on a push.
// The simulator's bus pushes its plug and unplug here.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "hwdetect/hw_event_source.h"

class CHwQueuedEventSource : public IHwEventSource {
public:
    CHwQueuedEventSource();
    ~CHwQueuedEventSource() override;
    CHwQueuedEventSource(const CHwQueuedEventSource&) = delete;
    CHwQueuedEventSource& operator=(const CHwQueuedEventSource&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Thread-safe.
    void PushDeviceChange(uint32_t event, std::wstring name);
    void PushMediaChange(uint32_t event, std::wstring root);
    // Arrival or removal of a USB device at device_path.
    void PushUsbDevice(bool arrived, uint16_t vendor, uint16_t product,
                       const std::string& device_path);
    size_t Pending() const;

    int Fd() const override { return fd_; }
    short PollEvents() const override;
    void Drain(CVesk_HW_CheckDevice& target) override;

private:
    struct Event {
        bool media;
        uint32_t code;
        std::wstring text;
    };
    void Push(Event e);

    int fd_ = -1;
    mutable std::mutex mutex_;
    std::deque<Event> queue_;
};

// Opens a fresh queued source each time detection starts and forwards pushes
// to the one open now; pushes while detection is off are dropped, as a
// notification to an unregistered window is.
class CHwQueuedSourceFactory : public IHwEventSourceFactory {
public:
    std::shared_ptr<IHwEventSource> OpenUsbSource(std::string& error) override;
    std::shared_ptr<IHwEventSource> OpenMediaSource(std::string& error) override;

    // Thread-safe; false when the event was dropped.
    bool PushUsbDevice(bool arrived, uint16_t vendor, uint16_t product,
                       const std::string& device_path);
    bool PushDeviceChange(uint32_t event, const std::wstring& name);
    bool PushMediaChange(uint32_t event, const std::wstring& root);

private:
    std::shared_ptr<CHwQueuedEventSource> Open(std::weak_ptr<CHwQueuedEventSource>& slot,
                                               std::string& error);
    std::shared_ptr<CHwQueuedEventSource> Current(const std::weak_ptr<CHwQueuedEventSource>& slot);

    std::mutex mutex_;
    std::weak_ptr<CHwQueuedEventSource> usb_;
    std::weak_ptr<CHwQueuedEventSource> media_;
};
