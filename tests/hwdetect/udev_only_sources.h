#pragma once
// Sources for tests against a umockdev testbed: udev for USB devices (the
// testbed stands in for a running udev); no media.
#include <memory>
#include <string>

#include "hwdetect/hw_event_source.h"
#include "hwdetect/hw_queued_event_source.h"
#include "hwdetect/hw_udev_source.h"

namespace vesk::test {

class UdevOnlySources : public IHwEventSourceFactory {
public:
    std::shared_ptr<IHwEventSource> OpenUsbSource(std::string& error) override {
        return CHwUdevSource::Open("udev", error);
    }
    std::shared_ptr<IHwEventSource> OpenMediaSource(std::string&) override {
        return std::make_shared<CHwQueuedEventSource>();
    }
};

}  // namespace vesk::test
