#include "hwdetect/hw_system_source_factory.h"

std::shared_ptr<IHwEventSource> CHwSystemSourceFactory::OpenUsbSource(std::string& error) {
    return CHwUdevSource::Open(config_.udev_monitor, error, config_.udev_control);
}

std::shared_ptr<IHwEventSource> CHwSystemSourceFactory::OpenMediaSource(std::string& error) {
    return CHwMountTableSource::Open(config_.media, error);
}
