#pragma once
// The window's timers by number, as the window toolkit's timers of the
// original were: a timer fires every period until it is killed (each handler
// kills its own to fire once).
#include <cstdint>
#include <functional>
#include <map>

class QObject;
class QTimer;

class IWindowTimers {
public:
    virtual ~IWindowTimers() = default;
    // Starts (or restarts) timer id.
    virtual void Set(int id, uint32_t ms, std::function<void()> fire) = 0;
    virtual void Kill(int id) = 0;
    virtual bool Active(int id) const = 0;
};

// Qt timers on the owner's thread, in real time.
class CQtWindowTimers : public IWindowTimers {
public:
    explicit CQtWindowTimers(QObject* owner) : owner_(owner) {}
    ~CQtWindowTimers() override;
    CQtWindowTimers(const CQtWindowTimers&) = delete;
    CQtWindowTimers& operator=(const CQtWindowTimers&) = delete;

    void Set(int id, uint32_t ms, std::function<void()> fire) override;
    void Kill(int id) override;
    bool Active(int id) const override;

private:
    QObject* owner_;
    std::map<int, QTimer*> timers_;
};
