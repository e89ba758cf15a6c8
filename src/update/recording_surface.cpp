#include "update/recording_surface.h"

#include <algorithm>

const char* SurfaceOpName(SurfaceOp op) {
    switch (op) {
    case SurfaceOp::SetStatus: return "SetStatus";
    case SurfaceOp::AppendMessage: return "AppendMessage";
    case SurfaceOp::SetBarRange: return "SetBarRange";
    case SurfaceOp::SetBarStep: return "SetBarStep";
    case SurfaceOp::StepBar: return "StepBar";
    case SurfaceOp::SetBarPos: return "SetBarPos";
    case SurfaceOp::EnableExecute: return "EnableExecute";
    case SurfaceOp::EnableAdvanced: return "EnableAdvanced";
    case SurfaceOp::SetAdvancedCaption: return "SetAdvancedCaption";
    case SurfaceOp::BeginWaitCursor: return "BeginWaitCursor";
    case SurfaceOp::EndWaitCursor: return "EndWaitCursor";
    case SurfaceOp::EmptyDeviceList: return "EmptyDeviceList";
    case SurfaceOp::AddDeviceRow: return "AddDeviceRow";
    case SurfaceOp::RedrawDeviceRow: return "RedrawDeviceRow";
    case SurfaceOp::RedrawAllDeviceRows: return "RedrawAllDeviceRows";
    case SurfaceOp::SelectDeviceRow: return "SelectDeviceRow";
    case SurfaceOp::EmptyVersions: return "EmptyVersions";
    case SurfaceOp::AddVersionAtTop: return "AddVersionAtTop";
    case SurfaceOp::SelectVersion: return "SelectVersion";
    case SurfaceOp::MessageBoxInfo: return "MessageBoxInfo";
    case SurfaceOp::MessageBoxYesNo: return "MessageBoxYesNo";
    case SurfaceOp::BehaviourRequest: return "BehaviourRequest";
    case SurfaceOp::AskDumpFile: return "AskDumpFile";
    case SurfaceOp::PushControls: return "PushControls";
    case SurfaceOp::StartRestartTimer: return "StartRestartTimer";
    case SurfaceOp::Layout: return "Layout";
    case SurfaceOp::ShowWrite: return "ShowWrite";
    case SurfaceOp::WriteEnded: return "WriteEnded";
    }
    return "?";
}

std::vector<SurfaceEvent> RecordingSurface::EventsOf(SurfaceOp op) const {
    std::vector<SurfaceEvent> out;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                 [op](const SurfaceEvent& e) { return e.op == op; });
    return out;
}

void RecordingSurface::Add(SurfaceEvent e) {
    events_.push_back(std::move(e));
    if (observer_) observer_(events_.back());
}

void RecordingSurface::FireRestartTimer() {
    // A timer fires once; the callback may start the next one.
    auto expired = std::move(restart_expired_);
    restart_expired_ = nullptr;
    if (expired) expired();
}

void RecordingSurface::SetStatus(const std::wstring& text, StatusColour colour) {
    state_.status = text;
    state_.colour = colour;
    Add({.op = SurfaceOp::SetStatus, .text = text, .colour = colour});
}

void RecordingSurface::AppendMessage(const std::wstring& line) {
    state_.messages.push_back(line);
    Add({.op = SurfaceOp::AppendMessage, .text = line});
}

void RecordingSurface::SetBarRange(ProgressBar bar, int upper) {
    SurfaceBar& b = BarOf(bar);
    b.upper = upper;
    b.pos = std::clamp(b.pos, 0, std::max(upper, 0));
    b.steps = 0;
    Add({.op = SurfaceOp::SetBarRange, .bar = bar, .value = upper});
}

void RecordingSurface::SetBarStep(ProgressBar bar, int step) {
    BarOf(bar).step = step;
    Add({.op = SurfaceOp::SetBarStep, .bar = bar, .value = step});
}

void RecordingSurface::StepBar(ProgressBar bar) {
    SurfaceBar& b = BarOf(bar);
    b.pos = std::clamp(b.pos + b.step, 0, std::max(b.upper, 0));
    ++b.steps;
    Add({.op = SurfaceOp::StepBar, .bar = bar, .value = b.pos});
}

void RecordingSurface::SetBarPos(ProgressBar bar, int pos) {
    SurfaceBar& b = BarOf(bar);
    b.pos = std::clamp(pos, 0, std::max(b.upper, 0));
    Add({.op = SurfaceOp::SetBarPos, .bar = bar, .value = pos});
}

void RecordingSurface::EnableExecute(bool enabled) {
    state_.execute_enabled = enabled;
    Add({.op = SurfaceOp::EnableExecute, .flag = enabled});
}

void RecordingSurface::EnableAdvanced(bool enabled) {
    state_.advanced_enabled = enabled;
    Add({.op = SurfaceOp::EnableAdvanced, .flag = enabled});
}

void RecordingSurface::SetAdvancedCaption(const std::wstring& caption) {
    state_.advanced_caption = caption;
    Add({.op = SurfaceOp::SetAdvancedCaption, .text = caption});
}

void RecordingSurface::BeginWaitCursor() {
    ++state_.wait_cursor;
    Add({.op = SurfaceOp::BeginWaitCursor});
}

void RecordingSurface::EndWaitCursor() {
    --state_.wait_cursor;
    Add({.op = SurfaceOp::EndWaitCursor});
}

void RecordingSurface::EmptyDeviceList() {
    state_.rows.clear();
    state_.selected_row = -1;
    Add({.op = SurfaceOp::EmptyDeviceList});
}

void RecordingSurface::AddDeviceRow(const DeviceRowView& row) {
    state_.rows.push_back(row);
    Add({.op = SurfaceOp::AddDeviceRow, .value = int(state_.rows.size()) - 1, .row = row});
}

void RecordingSurface::RedrawDeviceRow(int position, const DeviceRowView& row) {
    if (position >= 0 && size_t(position) < state_.rows.size()) state_.rows[size_t(position)] = row;
    Add({.op = SurfaceOp::RedrawDeviceRow, .value = position, .row = row});
}

void RecordingSurface::RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) {
    state_.rows = rows;
    Add({.op = SurfaceOp::RedrawAllDeviceRows, .value = int(rows.size())});
}

void RecordingSurface::SelectDeviceRow(int position) {
    state_.selected_row = position;
    Add({.op = SurfaceOp::SelectDeviceRow, .value = position});
}

void RecordingSurface::EmptyVersions() {
    state_.versions.clear();
    state_.selected_version = -1;
    Add({.op = SurfaceOp::EmptyVersions});
}

void RecordingSurface::AddVersionAtTop(const std::wstring& text) {
    state_.versions.insert(state_.versions.begin(), text);
    // The selection stays on its row, now one further down.
    if (state_.selected_version >= 0) ++state_.selected_version;
    Add({.op = SurfaceOp::AddVersionAtTop, .text = text});
}

void RecordingSurface::SelectVersion(int position) {
    state_.selected_version = position;
    Add({.op = SurfaceOp::SelectVersion, .value = position});
}

void RecordingSurface::MessageBoxInfo(const std::wstring& text) {
    Add({.op = SurfaceOp::MessageBoxInfo, .text = text});
}

bool RecordingSurface::MessageBoxYesNo(const std::wstring& text) {
    bool yes = false;
    if (!yes_no_.empty()) {
        yes = yes_no_.front();
        yes_no_.pop_front();
    }
    Add({.op = SurfaceOp::MessageBoxYesNo, .text = text, .flag = yes});
    return yes;
}

int RecordingSurface::BehaviourRequest() {
    int answer = kBehaviourIfOlder;
    if (!behaviour_.empty()) {
        answer = behaviour_.front();
        behaviour_.pop_front();
    }
    Add({.op = SurfaceOp::BehaviourRequest, .value = answer});
    return answer;
}

std::wstring RecordingSurface::AskDumpFile() {
    std::wstring path;
    if (!dump_files_.empty()) {
        path = dump_files_.front();
        dump_files_.pop_front();
    }
    Add({.op = SurfaceOp::AskDumpFile, .text = path});
    return path;
}

void RecordingSurface::PushControls() { Add({.op = SurfaceOp::PushControls}); }

void RecordingSurface::StartRestartTimer(uint32_t ms, std::function<void()> expired) {
    restart_ms_ = ms;
    restart_expired_ = std::move(expired);
    Add({.op = SurfaceOp::StartRestartTimer, .value = int(ms)});
}

void RecordingSurface::Layout(bool versions_visible) {
    state_.versions_visible = versions_visible;
    Add({.op = SurfaceOp::Layout, .flag = versions_visible});
}

void RecordingSurface::ShowWrite(uint32_t unit, const WriteReport& report) {
    Add({.op = SurfaceOp::ShowWrite, .unit = unit, .write = report});
}

void RecordingSurface::WriteEnded() { Add({.op = SurfaceOp::WriteEnded}); }
