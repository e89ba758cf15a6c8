#pragma once
// The update procedure's surface and detection switch as a worker thread sees
// them: on the window's thread every call goes straight through; from any
// other thread it is queued to the window's thread in the order it was made,
// and the questions (and the detection switch) block the worker until the
// window's thread has answered them.
#include <QMetaObject>
#include <QObject>
#include <QThread>
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
        thread_.Post([this, text, colour] { s_.SetStatus(text, colour); });
    }
    void AppendMessage(const std::wstring& line) override {
        thread_.Post([this, line] { s_.AppendMessage(line); });
    }
    void SetBarRange(ProgressBar bar, int upper) override {
        thread_.Post([this, bar, upper] { s_.SetBarRange(bar, upper); });
    }
    void SetBarStep(ProgressBar bar, int step) override {
        thread_.Post([this, bar, step] { s_.SetBarStep(bar, step); });
    }
    void StepBar(ProgressBar bar) override {
        thread_.Post([this, bar] { s_.StepBar(bar); });
    }
    void SetBarPos(ProgressBar bar, int pos) override {
        thread_.Post([this, bar, pos] { s_.SetBarPos(bar, pos); });
    }
    void EnableExecute(bool enabled) override {
        thread_.Post([this, enabled] { s_.EnableExecute(enabled); });
    }
    void EnableAdvanced(bool enabled) override {
        thread_.Post([this, enabled] { s_.EnableAdvanced(enabled); });
    }
    void SetAdvancedCaption(const std::wstring& caption) override {
        thread_.Post([this, caption] { s_.SetAdvancedCaption(caption); });
    }
    void BeginWaitCursor() override {
        thread_.Post([this] { s_.BeginWaitCursor(); });
    }
    void EndWaitCursor() override {
        thread_.Post([this] { s_.EndWaitCursor(); });
    }
    void EmptyDeviceList() override {
        thread_.Post([this] { s_.EmptyDeviceList(); });
    }
    void AddDeviceRow(const DeviceRowView& row) override {
        thread_.Post([this, row] { s_.AddDeviceRow(row); });
    }
    void RedrawDeviceRow(int position, const DeviceRowView& row) override {
        thread_.Post([this, position, row] { s_.RedrawDeviceRow(position, row); });
    }
    void RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) override {
        thread_.Post([this, rows] { s_.RedrawAllDeviceRows(rows); });
    }
    void SelectDeviceRow(int position) override {
        thread_.Post([this, position] { s_.SelectDeviceRow(position); });
    }
    void EmptyVersions() override {
        thread_.Post([this] { s_.EmptyVersions(); });
    }
    void AddVersionAtTop(const std::wstring& text) override {
        thread_.Post([this, text] { s_.AddVersionAtTop(text); });
    }
    void SelectVersion(int position) override {
        thread_.Post([this, position] { s_.SelectVersion(position); });
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
    // A worker's updates are queued already; the window's thread repaints them.
    void PushControls() override {
        if (thread_.OnIt()) s_.PushControls();
    }
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override {
        thread_.Post([this, ms, expired = std::move(expired)] { s_.StartRestartTimer(ms, expired); });
    }
    void Layout(bool versions_visible) override {
        thread_.Post([this, versions_visible] { s_.Layout(versions_visible); });
    }

private:
    IUpdateSurface& s_;
    CWindowThread thread_;
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
