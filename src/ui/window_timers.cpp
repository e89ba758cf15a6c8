#include "ui/window_timers.h"

#include <QTimer>

CQtWindowTimers::~CQtWindowTimers() {
    for (auto& [id, timer] : timers_) delete timer;
}

void CQtWindowTimers::Set(int id, uint32_t ms, std::function<void()> fire) {
    Kill(id);
    auto* timer = new QTimer(owner_);
    timer->setInterval(int(ms));
    QObject::connect(timer, &QTimer::timeout, timer, [fire = std::move(fire)] {
        const auto handler = fire;
        handler();
    });
    timers_[id] = timer;
    timer->start();
}

void CQtWindowTimers::Kill(int id) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    // Killed from inside its own handler too.
    it->second->stop();
    it->second->deleteLater();
    timers_.erase(it);
}

bool CQtWindowTimers::Active(int id) const { return timers_.count(id) != 0; }
