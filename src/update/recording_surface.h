#pragma once
// A surface that keeps every call in order, as structured events, and the
// state the calls leave behind (status, colour, bars, buttons, rows). Tests
// read it, and the terminal tool prints from it.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "update/update_surface.h"

enum class SurfaceOp {
    SetStatus,
    AppendMessage,
    SetBarRange,
    SetBarStep,
    StepBar,
    SetBarPos,
    EnableExecute,
    EnableAdvanced,
    SetAdvancedCaption,
    BeginWaitCursor,
    EndWaitCursor,
    EmptyDeviceList,
    AddDeviceRow,
    RedrawDeviceRow,
    RedrawAllDeviceRows,
    SelectDeviceRow,
    EmptyVersions,
    AddVersionAtTop,
    SelectVersion,
    MessageBoxInfo,
    MessageBoxYesNo,
    BehaviourRequest,
    AskDumpFile,
    PushControls,
    StartRestartTimer,
    Layout,
    ShowWrite,
    WriteEnded,
};

// "SetStatus", "StepBar", ...
const char* SurfaceOpName(SurfaceOp op);

struct SurfaceEvent {
    SurfaceOp op{};
    // Status, message line, caption, question, version text, dump path answered.
    std::wstring text{};
    StatusColour colour = StatusColour::Normal;
    ProgressBar bar = ProgressBar::Wait;
    // Range, step, position, row or version position, timer length, answer.
    int value = 0;
    // Enabled, Yes answered, versions list shown.
    bool flag = false;
    DeviceRowView row{};  // AddDeviceRow, RedrawDeviceRow
    uint32_t unit = 0;    // ShowWrite: the serial of the unit written
    WriteReport write{};  // ShowWrite
};

struct SurfaceBar {
    int upper = 100;
    int step = 10;
    int pos = 0;
    int steps = 0;  // StepBar calls since the last SetBarRange
};

struct SurfaceState {
    std::wstring status;
    StatusColour colour = StatusColour::Normal;
    std::vector<std::wstring> messages;
    SurfaceBar wait, overall;
    bool execute_enabled = false;
    bool advanced_enabled = false;
    std::wstring advanced_caption = L"Advanced";
    int wait_cursor = 0;  // begun minus ended
    std::vector<DeviceRowView> rows;
    int selected_row = -1;
    std::vector<std::wstring> versions;  // top first
    int selected_version = -1;
    bool versions_visible = false;
};

class RecordingSurface : public IUpdateSurface {
public:
    const std::vector<SurfaceEvent>& Events() const { return events_; }
    std::vector<SurfaceEvent> EventsOf(SurfaceOp op) const;
    const SurfaceState& State() const { return state_; }
    const SurfaceBar& Bar(ProgressBar bar) const {
        return bar == ProgressBar::Wait ? state_.wait : state_.overall;
    }
    // Forgets the events; the state stays.
    void ClearEvents() { events_.clear(); }
    // Called with every event as it is recorded.
    void SetObserver(std::function<void(const SurfaceEvent&)> observer) { observer_ = std::move(observer); }

    // Answers to the questions, used in order; without one, Yes/No answers
    // No, the Behaviour Request 0 and the file dialog the empty path.
    void QueueYesNo(bool yes) { yes_no_.push_back(yes); }
    void QueueBehaviour(int answer) { behaviour_.push_back(answer); }
    void QueueDumpFile(const std::wstring& path) { dump_files_.push_back(path); }

    // The restart timer: whether one is running, its length, and its expiry.
    bool RestartTimerRunning() const { return bool(restart_expired_); }
    uint32_t RestartTimerMs() const { return restart_ms_; }
    void FireRestartTimer();

    void SetStatus(const std::wstring& text, StatusColour colour) override;
    void AppendMessage(const std::wstring& line) override;
    void SetBarRange(ProgressBar bar, int upper) override;
    void SetBarStep(ProgressBar bar, int step) override;
    void StepBar(ProgressBar bar) override;
    void SetBarPos(ProgressBar bar, int pos) override;
    void EnableExecute(bool enabled) override;
    void EnableAdvanced(bool enabled) override;
    void SetAdvancedCaption(const std::wstring& caption) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void EmptyDeviceList() override;
    void AddDeviceRow(const DeviceRowView& row) override;
    void RedrawDeviceRow(int position, const DeviceRowView& row) override;
    void RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) override;
    void SelectDeviceRow(int position) override;
    void EmptyVersions() override;
    void AddVersionAtTop(const std::wstring& text) override;
    void SelectVersion(int position) override;
    void MessageBoxInfo(const std::wstring& text) override;
    bool MessageBoxYesNo(const std::wstring& text) override;
    int BehaviourRequest() override;
    std::wstring AskDumpFile() override;
    void PushControls() override;
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override;
    void Layout(bool versions_visible) override;
    void ShowWrite(uint32_t unit, const WriteReport& report) override;
    void WriteEnded() override;

private:
    void Add(SurfaceEvent e);
    SurfaceBar& BarOf(ProgressBar bar) { return bar == ProgressBar::Wait ? state_.wait : state_.overall; }

    std::vector<SurfaceEvent> events_;
    SurfaceState state_;
    std::function<void(const SurfaceEvent&)> observer_;
    std::deque<bool> yes_no_;
    std::deque<int> behaviour_;
    std::deque<std::wstring> dump_files_;
    uint32_t restart_ms_ = 0;
    std::function<void()> restart_expired_;
};
