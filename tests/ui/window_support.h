#pragma once
// What the window tests drive the window with: timers on the virtual clock,
// questions answered by the test, and the event loop turned without waiting.
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "ui/window_questions.h"
#include "ui/window_timers.h"

namespace vesk::test {

// Window timers that fire when the process clock has reached their time.
class ClockTimers : public IWindowTimers {
public:
    explicit ClockTimers(vesk::VirtualClock& clock) : clock_(clock) {}
    void Set(int id, uint32_t ms, std::function<void()> fire) override {
        timers_[id] = {clock_.now_ms() + ms, ms, std::move(fire)};
    }
    void Kill(int id) override { timers_.erase(id); }
    bool Active(int id) const override { return timers_.count(id) != 0; }
    uint32_t Period(int id) const { return Active(id) ? timers_.at(id).period : 0; }

    // Fires every due timer, earliest first; a periodic one comes back a period later.
    void FireDue() {
        for (;;) {
            int next = -1;
            uint64_t at = 0;
            for (const auto& [id, t] : timers_)
                if (t.due <= clock_.now_ms() && (next < 0 || t.due < at)) next = id, at = t.due;
            if (next < 0) return;
            Timer& t = timers_[next];
            t.due += t.period ? t.period : 1;
            const auto fire = t.fire;
            fire();
        }
    }
    void Advance(uint64_t ms) {
        clock_.advance_ms(ms);
        FireDue();
    }

private:
    struct Timer {
        uint64_t due = 0;
        uint32_t period = 0;
        std::function<void()> fire;
    };
    vesk::VirtualClock& clock_;
    std::map<int, Timer> timers_;
};

// Answers the window's questions from queues and keeps what was asked.
class ScriptedQuestions : public IWindowQuestions {
public:
    void Info(QWidget*, const std::wstring& text, const std::wstring&) override {
        infos.push_back(text);
        if (on_question) on_question(text);
    }
    void Critical(QWidget*, const std::wstring& text, const std::wstring&) override {
        criticals.push_back(text);
        if (on_question) on_question(text);
    }
    bool YesNo(QWidget*, const std::wstring& text, const std::wstring&) override {
        questions.push_back(text);
        if (on_question) on_question(text);
        if (yes_no.empty()) return false;
        const bool yes = yes_no.front();
        yes_no.pop_front();
        return yes;
    }
    int Behaviour(QWidget*) override {
        questions.push_back(L"behaviour");
        if (on_question) on_question(L"behaviour");
        return behaviour;
    }
    std::wstring SaveFile(QWidget*) override {
        questions.push_back(L"file");
        if (on_question) on_question(L"file");
        return save_file;
    }

    std::wstring PickFolder(QWidget*, const std::wstring&) override {
        questions.push_back(L"folder");
        return folder;
    }

    std::vector<std::wstring> infos;
    std::vector<std::wstring> criticals;
    std::vector<std::wstring> questions;
    std::deque<bool> yes_no;
    int behaviour = 0;
    std::wstring save_file;
    std::wstring folder;
    // Called on the window's thread while the question is open.
    std::function<void(const std::wstring&)> on_question;
};

// Calls watch before each queued call reaches target (a worker's surface
// calls among them), so a test sees the window as it was between two calls.
class QueuedCallWatch : public QObject {
public:
    QueuedCallWatch(QObject* target, std::function<void()> watch) : target_(target), watch_(std::move(watch)) {
        target_->installEventFilter(this);
    }
    ~QueuedCallWatch() override { target_->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (object == target_ && event->type() == QEvent::MetaCall) watch_();
        return false;
    }

private:
    QObject* target_;
    std::function<void()> watch_;
};

// Qt's warnings while it lives, from any thread: a widget, timer or socket
// notifier used from the wrong thread says so here.
class QtWarnings {
public:
    QtWarnings() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.clear();
        }
        previous_ = qInstallMessageHandler(&QtWarnings::Handler);
    }
    ~QtWarnings() { qInstallMessageHandler(previous_); }
    QtWarnings(const QtWarnings&) = delete;
    QtWarnings& operator=(const QtWarnings&) = delete;
    std::vector<std::string> Seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    static void Handler(QtMsgType type, const QMessageLogContext&, const QString& text) {
        // The offscreen platform says this of every window it shows.
        if (type == QtDebugMsg || type == QtInfoMsg || text == "This plugin does not support propagateSizeHints()")
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(text.toStdString());
    }
    QtMessageHandler previous_ = nullptr;
    static inline std::mutex mutex_;
    static inline std::vector<std::string> seen_;
};

// Turns the event loop until done() holds; false when it did not within the
// given number of turns. Waits only for events that are on their way (a
// worker's queued calls), never for a fixed time.
inline bool ProcessUntil(const std::function<bool()>& done, int turns = 100000) {
    for (int i = 0; i < turns && !done(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
    return done();
}

// Blocks in the event loop until something arrives, until done() holds.
inline void WaitUntil(const std::function<bool()>& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace vesk::test
