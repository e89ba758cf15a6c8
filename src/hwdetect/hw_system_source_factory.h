#pragma once
// The sources of a real machine: udev for USB devices, the mount table for media.
#include "hwdetect/hw_event_source.h"
#include "hwdetect/hw_mount_table_source.h"
#include "hwdetect/hw_udev_source.h"

class CHwSystemSourceFactory : public IHwEventSourceFactory {
public:
    struct Config {
        std::string udev_monitor = "udev";
        std::string udev_control = CHwUdevSource::kUdevControl;
        CHwMountTableSource::Config media;
    };
    CHwSystemSourceFactory() = default;
    explicit CHwSystemSourceFactory(Config config) : config_(std::move(config)) {}

    std::shared_ptr<IHwEventSource> OpenUsbSource(std::string& error) override;
    std::shared_ptr<IHwEventSource> OpenMediaSource(std::string& error) override;

private:
    Config config_;
};
