#include "hwdetect/hw_poll_loop.h"

#include <poll.h>

#include <cerrno>
#include <utility>
#include <vector>

bool CHwPollLoop::Watch(int fd, short events, std::function<void()> on_ready) {
    if (fd < 0 || !on_ready) {
        errno = EBADF;
        return false;
    }
    if (watched_.count(fd)) {
        errno = EEXIST;
        return false;
    }
    watched_[fd] = Watched{events, std::move(on_ready), next_serial_++};
    return true;
}

bool CHwPollLoop::Unwatch(int fd) {
    if (watched_.erase(fd) == 0) {
        errno = ENOENT;
        return false;
    }
    return true;
}

int CHwPollLoop::RunOnce(int timeout_ms) {
    std::vector<pollfd> fds;
    std::vector<unsigned> serials;
    for (const auto& [fd, w] : watched_) {
        fds.push_back(pollfd{fd, w.events, 0});
        serials.push_back(w.serial);
    }
    int n;
    do {
        n = ::poll(fds.data(), fds.size(), timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    int ran = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        // A handler may unwatch others (detection switched off from a
        // callback); only those still watched, and not watched anew, run.
        auto it = watched_.find(fds[i].fd);
        if (it == watched_.end() || it->second.serial != serials[i]) continue;
        auto on_ready = it->second.on_ready;  // the handler may unwatch itself
        on_ready();
        ++ran;
    }
    return ran;
}
