#include "hwdetect/hw_mount_table_source.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/str_conv.h"
#include "hwdetect/vesk_hw_check_device.h"

CHwMountTableSource::Config::Config() : poll_events(POLLPRI) {}

std::shared_ptr<CHwMountTableSource> CHwMountTableSource::Open(const Config& config,
                                                               std::string& error) {
    int fd = ::open(config.mountinfo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = config.mountinfo + ": " + std::strerror(errno);
        return nullptr;
    }
    std::shared_ptr<CHwMountTableSource> source(new CHwMountTableSource(config, fd));
    if (!source->ReadMedia(source->media_)) {
        error = config.mountinfo + ": " + std::strerror(errno);
        return nullptr;
    }
    return source;
}

CHwMountTableSource::~CHwMountTableSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> CHwMountTableSource::ParseMountPoints(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field, mount_point;
        for (int i = 0; i < 5 && fields >> field; ++i)
            if (i == 4) mount_point = field;
        if (mount_point.empty()) continue;
        std::string decoded;
        for (size_t i = 0; i < mount_point.size(); ++i) {
            auto octal = [&](size_t k) { return mount_point[k] >= '0' && mount_point[k] <= '7'; };
            if (mount_point[i] == '\\' && i + 3 < mount_point.size() && octal(i + 1) &&
                octal(i + 2) && octal(i + 3)) {
                decoded += static_cast<char>((mount_point[i + 1] - '0') * 64 +
                                             (mount_point[i + 2] - '0') * 8 + (mount_point[i + 3] - '0'));
                i += 3;
            } else {
                decoded += mount_point[i];
            }
        }
        out.push_back(decoded);
    }
    return out;
}

bool CHwMountTableSource::UnderARoot(const std::string& mount_point) const {
    for (const std::string& root : config_.roots) {
        if (mount_point == root) return true;
        if (mount_point.size() > root.size() && mount_point.compare(0, root.size(), root) == 0 &&
            mount_point[root.size()] == '/')
            return true;
    }
    return false;
}

// Reading the whole table from its start also acknowledges the kernel's change flag.
bool CHwMountTableSource::ReadMedia(std::set<std::string>& out) const {
    if (::lseek(fd_, 0, SEEK_SET) < 0) return false;
    std::string text;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    if (n < 0) return false;
    out.clear();
    for (const std::string& mp : ParseMountPoints(text))
        if (UnderARoot(mp)) out.insert(mp);
    return true;
}

void CHwMountTableSource::Drain(CVesk_HW_CheckDevice& target) {
    std::set<std::string> now;
    if (!ReadMedia(now)) return;
    const std::set<std::string> before = std::move(media_);
    media_ = now;
    for (const std::string& mp : before) {
        if (now.count(mp)) continue;
        std::wstring root = vesk::from_utf8(mp + "/");
        target.ManageMediaChanged(root.c_str(), vesk::hw::kMediaRemoved);
    }
    for (const std::string& mp : now) {
        if (before.count(mp)) continue;
        std::wstring root = vesk::from_utf8(mp + "/");
        target.ManageMediaChanged(root.c_str(), vesk::hw::kMediaInserted);
    }
}
