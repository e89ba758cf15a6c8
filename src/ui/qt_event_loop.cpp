#include "ui/qt_event_loop.h"

#include <poll.h>

#include <QSocketNotifier>
#include <cerrno>

CQtEventLoop::~CQtEventLoop() {
    for (auto& [fd, notifier] : watched_) delete notifier;
}

bool CQtEventLoop::Watch(int fd, short events, std::function<void()> on_ready) {
    if (fd < 0 || !on_ready) {
        errno = EBADF;
        return false;
    }
    if (watched_.count(fd)) {
        errno = EEXIST;
        return false;
    }
    const auto type = (events & POLLPRI) ? QSocketNotifier::Exception : QSocketNotifier::Read;
    auto* notifier = new QSocketNotifier(fd, type, owner_);
    // The handler is copied into the connection: unwatching from inside it
    // only disables the notifier, which goes once control is back in the loop.
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [on_ready = std::move(on_ready)] {
        const auto handler = on_ready;
        handler();
    });
    watched_[fd] = notifier;
    return true;
}

bool CQtEventLoop::Unwatch(int fd) {
    const auto it = watched_.find(fd);
    if (it == watched_.end()) {
        errno = ENOENT;
        return false;
    }
    it->second->setEnabled(false);
    it->second->deleteLater();
    watched_.erase(it);
    return true;
}
