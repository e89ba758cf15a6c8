#pragma once
// The update procedure's surface and detection switch as a worker thread sees
// them: on the window's thread every call goes straight through; from any
// other thread it is queued to the window's thread in the order it was made
// (a bar position the window has not shown yet may be replaced by the next),
// and the questions (and the detection switch) block the worker until the
// window's thread has answered them.
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "update/hw_detection_switch.h"
#include "update/update_surface.h"

class CWindowThread {
public:
    explicit CWindowThread(QObject* window) : window_(window) {}
    bool OnIt() const { return QThread::currentThread() == window_->thread(); }
    // Runs f on the window's thread: now, or queued when called from another.
    template <class F>
    void Post(F&& f) const {
        if (OnIt()) f();
        else QMetaObject::invokeMethod(window_, std::forward<F>(f), Qt::QueuedConnection);
    }
    // Runs f on the window's thread and waits for its result.
    template <class F>
    auto Ask(F&& f) const -> std::invoke_result_t<F> {
        if (OnIt()) return f();
        using R = std::invoke_result_t<F>;
        if constexpr (std::is_void_v<R>) {
            QMetaObject::invokeMethod(window_, std::forward<F>(f), Qt::BlockingQueuedConnection);
        } else {
            R result{};
            QMetaObject::invokeMethod(window_, [&] { result = f(); }, Qt::BlockingQueuedConnection);
            return result;
        }
    }

private:
    QObject* window_;
};

class CQueuedSurface : public IUpdateSurface {
public:
    CQueuedSurface(IUpdateSurface& window_surface, QObject* window) : s_(window_surface), thread_(window) {}

    void SetStatus(const std::wstring& text, StatusColour colour) override {
        Queue([this, text, colour] { s_.SetStatus(text, colour); });
    }
    void AppendMessage(const std::wstring& line) override {
        Queue([this, line] { s_.AppendMessage(line); });
    }
    void SetBarRange(ProgressBar bar, int upper) override {
        Queue([this, bar, upper] { s_.SetBarRange(bar, upper); });
    }
    void SetBarStep(ProgressBar bar, int step) override {
        Queue([this, bar, step] { s_.SetBarStep(bar, step); });
    }
    void StepBar(ProgressBar bar) override {
        Queue([this, bar] { s_.StepBar(bar); });
    }
    // A write sets the wait bar's position with every block, thousands of
    // times: a position still in the queue with nothing queued after it takes
    // the newer value instead of a call of its own, so the queue never holds
    // more positions than the window has still to show.
    void SetBarPos(ProgressBar bar, int pos) override {
        if (thread_.OnIt()) {
            s_.SetBarPos(bar, pos);
            return;
        }
        auto queued = std::make_shared<QueuedPos>(QueuedPos{bar, pos, false});
        {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            if (last_pos_ && last_pos_->bar == bar && !last_pos_->shown && last_pos_at_ == queued_) {
                last_pos_->pos = pos;
                return;
            }
            last_pos_ = queued;
            last_pos_at_ = ++queued_;
        }
        thread_.Post([this, queued] {
            int shown_pos;
            {
                const std::lock_guard<std::mutex> lock(queue_mutex_);
                queued->shown = true;
                shown_pos = queued->pos;
            }
            s_.SetBarPos(queued->bar, shown_pos);
        });
    }
    void EnableExecute(bool enabled) override {
        Queue([this, enabled] { s_.EnableExecute(enabled); });
    }
    void EnableAdvanced(bool enabled) override {
        Queue([this, enabled] { s_.EnableAdvanced(enabled); });
    }
    void SetAdvancedCaption(const std::wstring& caption) override {
        Queue([this, caption] { s_.SetAdvancedCaption(caption); });
    }
    void BeginWaitCursor() override {
        Queue([this] { s_.BeginWaitCursor(); });
    }
    void EndWaitCursor() override {
        Queue([this] { s_.EndWaitCursor(); });
    }
    void EmptyDeviceList() override {
        Queue([this] { s_.EmptyDeviceList(); });
    }
    void AddDeviceRow(const DeviceRowView& row) override {
        Queue([this, row] { s_.AddDeviceRow(row); });
    }
    void RedrawDeviceRow(int position, const DeviceRowView& row) override {
        Queue([this, position, row] { s_.RedrawDeviceRow(position, row); });
    }
    void RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) override {
        Queue([this, rows] { s_.RedrawAllDeviceRows(rows); });
    }
    void SelectDeviceRow(int position) override {
        Queue([this, position] { s_.SelectDeviceRow(position); });
    }
    void EmptyVersions() override {
        Queue([this] { s_.EmptyVersions(); });
    }
    void AddVersionAtTop(const std::wstring& text) override {
        Queue([this, text] { s_.AddVersionAtTop(text); });
    }
    void SelectVersion(int position) override {
        Queue([this, position] { s_.SelectVersion(position); });
    }
    void MessageBoxInfo(const std::wstring& text) override {
        thread_.Ask([this, &text] { s_.MessageBoxInfo(text); });
    }
    bool MessageBoxYesNo(const std::wstring& text) override {
        return thread_.Ask([this, &text] { return s_.MessageBoxYesNo(text); });
    }
    int BehaviourRequest() override {
        return thread_.Ask([this] { return s_.BehaviourRequest(); });
    }
    std::wstring AskDumpFile() override {
        return thread_.Ask([this] { return s_.AskDumpFile(); });
    }
    void WaitBegins(uint32_t ms, const std::wstring& what) override {
        Queue([this, ms, what] { s_.WaitBegins(ms, what); });
    }
    // Every block of a write reports: like a bar position, a report the
    // window has not shown yet takes the newer one instead of a call of its
    // own. It is not counted among the queued calls, so the bar position
    // sent with it keeps being replaced in the queue too.
    void ShowWrite(uint32_t unit, const WriteReport& report) override {
        if (thread_.OnIt()) {
            s_.ShowWrite(unit, report);
            return;
        }
        auto queued = std::make_shared<QueuedWrite>(QueuedWrite{unit, report, false});
        {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            if (last_write_ && !last_write_->shown) {
                last_write_->unit = unit;
                last_write_->report = report;
                return;
            }
            last_write_ = queued;
        }
        thread_.Post([this, queued] {
            QueuedWrite shown{};
            {
                const std::lock_guard<std::mutex> lock(queue_mutex_);
                queued->shown = true;
                shown = *queued;
            }
            s_.ShowWrite(shown.unit, shown.report);
        });
    }
    void WriteEnded() override {
        if (!thread_.OnIt()) {
            // The next write's reports never update this one's queued call.
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            last_write_.reset();
        }
        Queue([this] { s_.WriteEnded(); });
    }
    // A worker's updates are queued already; the window's thread repaints them.
    void PushControls() override {
        if (thread_.OnIt()) s_.PushControls();
    }
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override {
        Queue([this, ms, expired = std::move(expired)] { s_.StartRestartTimer(ms, expired); });
    }
    void Layout(bool versions_visible) override {
        Queue([this, versions_visible] { s_.Layout(versions_visible); });
    }

private:
    struct QueuedPos {
        ProgressBar bar;
        int pos;
        bool shown;
    };
    struct QueuedWrite {
        uint32_t unit;
        WriteReport report;
        bool shown;
    };
    // Every call a worker queues is counted, so that a position knows whether
    // it is still the last one in the queue.
    template <class F>
    void Queue(F&& f) {
        if (!thread_.OnIt()) {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            ++queued_;
        }
        thread_.Post(std::forward<F>(f));
    }

    IUpdateSurface& s_;
    CWindowThread thread_;
    std::mutex queue_mutex_;
    uint64_t queued_ = 0;
    std::shared_ptr<QueuedPos> last_pos_;
    uint64_t last_pos_at_ = 0;
    std::shared_ptr<QueuedWrite> last_write_;
};

// Detection lives on the window's thread; a worker asks it to switch and waits.
class CQueuedDetectionSwitch : public IHwDetectionSwitch {
public:
    CQueuedDetectionSwitch(IHwDetectionSwitch& window_switch, QObject* window)
        : s_(window_switch), thread_(window) {}
    void TerminaGestioneEventiSistema() override {
        thread_.Ask([this] { s_.TerminaGestioneEventiSistema(); });
    }
    void AvviaGestioneEventiSistema() override {
        thread_.Ask([this] { s_.AvviaGestioneEventiSistema(); });
    }

private:
    IHwDetectionSwitch& s_;
    CWindowThread thread_;
};
