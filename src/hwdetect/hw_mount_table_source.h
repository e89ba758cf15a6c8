#pragma once
// Memory media from the mount table: a mount point that appears under one of
// the removable-media roots is "media inserted", one that vanishes "media
// removed". The kernel flags a change of /proc/self/mountinfo with POLLPRI.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hwdetect/hw_event_source.h"

class CHwMountTableSource : public IHwEventSource {
public:
    struct Config {
        std::string mountinfo = "/proc/self/mountinfo";
        std::vector<std::string> roots = {"/media", "/run/media", "/mnt"};
        // POLLPRI for the kernel's table; a plain file given by a test is
        // always readable, so such a test uses POLLIN.
        short poll_events;
        Config();
    };
    // Reads the table once: media mounted already are not reported.
    static std::shared_ptr<CHwMountTableSource> Open(const Config& config, std::string& error);
    ~CHwMountTableSource() override;
    CHwMountTableSource(const CHwMountTableSource&) = delete;
    CHwMountTableSource& operator=(const CHwMountTableSource&) = delete;

    int Fd() const override { return fd_; }
    short PollEvents() const override { return config_.poll_events; }
    void Drain(CVesk_HW_CheckDevice& target) override;

    // Mount points (fifth field, octal escapes decoded) of a mountinfo text.
    static std::vector<std::string> ParseMountPoints(const std::string& text);

private:
    CHwMountTableSource(Config config, int fd) : config_(std::move(config)), fd_(fd) {}
    bool ReadMedia(std::set<std::string>& out) const;
    bool UnderARoot(const std::string& mount_point) const;

    Config config_;
    int fd_;
    std::set<std::string> media_;
};
