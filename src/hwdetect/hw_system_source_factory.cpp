#include "hwdetect/hw_system_source_factory.h"

#include "hwdetect/hw_udev_source.h"

std::shared_ptr<IHwEventSource> CHwSystemSourceFactory::OpenUsbSource(std::string& error) {
    return CHwUdevSource::Open(config_.udev_monitor, error);
}

std::shared_ptr<IHwEventSource> CHwSystemSourceFactory::OpenMediaSource(std::string& error) {
    return CHwMountTableSource::Open(config_.media, error);
}
