#pragma once
// Descriptors watched on a Qt thread's event loop (socket notifiers): the
// window's hardware detection and the single-instance handshake run there.
#include <functional>
#include <map>
#include <memory>

#include "hwdetect/hw_event_source.h"

class QObject;
class QSocketNotifier;

class CQtEventLoop : public IHwEventLoop {
public:
    // Notifiers are children of owner and live on its thread.
    explicit CQtEventLoop(QObject* owner) : owner_(owner) {}
    ~CQtEventLoop() override;
    CQtEventLoop(const CQtEventLoop&) = delete;
    CQtEventLoop& operator=(const CQtEventLoop&) = delete;

    // POLLPRI in events watches for exceptional conditions (the mount
    // table), anything else for reading.
    bool Watch(int fd, short events, std::function<void()> on_ready) override;
    // May be called from inside the descriptor's own handler.
    bool Unwatch(int fd) override;
    size_t WatchedCount() const { return watched_.size(); }

private:
    QObject* owner_;
    std::map<int, QSocketNotifier*> watched_;
};
