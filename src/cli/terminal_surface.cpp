#include "terminal_surface.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "common/terminal_text.h"
#include "update/settings/engine.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "run_signals.h"
#include "update/stop_request.h"
#include "update/update_procedure.h"

namespace vesk::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kNarrowestBar = 10;
constexpr auto kRedrawEvery = std::chrono::milliseconds(50);
constexpr uint64_t kWriteEventEveryMs = 250;

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

// A message box's "\r\n" breaks as the terminal's.
std::string Lines(const std::wstring& text) {
    std::wstring t = text;
    for (size_t p; (p = t.find(L"\r\n")) != std::wstring::npos;) t.replace(p, 2, L"\n");
    return U8(t);
}

const wchar_t* const kBehaviours[] = {
    vesk::TextToTranslate(L"Update other gauges (once connected) only if their firmware is older"),
    vesk::TextToTranslate(L"Always update other gauges (once connected)"),
    vesk::TextToTranslate(L"Never update other gauges (whenever connected)"),
};

volatile std::sig_atomic_t g_resized = 0;
void OnResize(int) { g_resized = 1; }

// The columns of the terminal on standard error; 80 when it does not say.
size_t TerminalColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

}  // namespace

std::string FitText(const std::string& text, size_t room) {
    if (text.size() <= room) return text;
    // What follows the last ": " is the count the line is for.
    const size_t colon = text.rfind(": ");
    const std::string dots = "...";
    if (colon == std::string::npos || text.size() - colon + dots.size() > room) return text.substr(0, room);
    const std::string tail = text.substr(colon);
    return text.substr(0, room - tail.size() - dots.size()) + dots + tail;
}

std::string FitBarLine(int pos, int upper, const std::string& detail, const std::string& shorter, size_t columns) {
    // The last column stays free: a line that reaches it wraps on many terminals.
    const size_t room = columns > 1 ? columns - 1 : 1;
    const std::string counts = "] " + std::to_string(pos) + "/" + std::to_string(upper);
    auto line = [&](int width, const std::string& text) {
        const int filled = upper > 0 ? std::clamp(pos, 0, upper) * width / upper : 0;
        return "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '-') + counts + text;
    };
    const size_t fixed = 1 + counts.size();
    for (const std::string* text : {&detail, &shorter}) {
        if (fixed + kBarWidth + text->size() <= room) return line(kBarWidth, *text);
        if (fixed + kNarrowestBar + text->size() <= room) return line(int(room - fixed - text->size()), *text);
    }
    return line(kNarrowestBar, FitText(shorter, room > fixed + kNarrowestBar ? room - fixed - kNarrowestBar : 0));
}

TerminalSurface::TerminalSurface(Options options) : options_(std::move(options)) {
    if (!options_.bar) return;
    struct sigaction sa {};
    sa.sa_handler = OnResize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    resize_handler_ = ::sigaction(SIGWINCH, &sa, &previous_resize_) == 0;
}

TerminalSurface::~TerminalSurface() {
    ClearBar();
    if (resize_handler_) ::sigaction(SIGWINCH, &previous_resize_, nullptr);
}

void TerminalSurface::PrintLine(const std::string& line) {
    ClearBar();
    vesk::TermPrint(stdout, "%s\n", vesk::TermLines{line});
    std::fflush(stdout);
    DrawBar(true);
}

void TerminalSurface::Emit(const nlohmann::ordered_json& event) {
    ClearBar();
    if (options_.phase.empty() && !instrument_) {
        vesk::TermWriteJson(stdout, event.dump());
    } else {
        nlohmann::ordered_json marked = event;
        if (!options_.phase.empty()) marked["phase"] = options_.phase;
        if (instrument_) marked["instrument"] = *instrument_;
        vesk::TermWriteJson(stdout, marked.dump());
    }
    std::fflush(stdout);
    DrawBar(true);
}

void TerminalSurface::SetStatus(const std::wstring& text, StatusColour colour) {
    RecordingSurface::SetStatus(text, colour);
    if (!live_ || text == last_status_) return;
    last_status_ = text;
    if (options_.json)
        Emit({{"event", "status"}, {"text", U8(text)}, {"colour", colour == StatusColour::Red ? "red" : "normal"}});
    else if (text != vesk::update::ExecuteStatus())  // the window's instruction: no step of the terminal's
        PrintLine("Status: " + Lines(text));
}

void TerminalSurface::AppendMessage(const std::wstring& line) {
    RecordingSurface::AppendMessage(line);
    if (!live_) return;
    if (options_.json) Emit({{"event", "message"}, {"text", U8(line)}});
    else PrintLine(U8(line));
}

void TerminalSurface::SetBarRange(ProgressBar bar, int upper) {
    RecordingSurface::SetBarRange(bar, upper);
    if (bar == ProgressBar::Overall && live_) range_set_ = true;
    Progress(bar);
}

void TerminalSurface::StepBar(ProgressBar bar) {
    RecordingSurface::StepBar(bar);
    Progress(bar);
}

void TerminalSurface::SetBarPos(ProgressBar bar, int pos) {
    RecordingSurface::SetBarPos(bar, pos);
    // A wait ends by filling its bar.
    if (bar == ProgressBar::Wait) {
        waiting_ = false;
        if (notice_ && !notice_->device) notice_.reset();
    }
    Progress(bar);
}

void TerminalSurface::Progress(ProgressBar bar) {
    if (!live_) return;
    if (bar == ProgressBar::Overall && options_.json) {
        const SurfaceBar& b = Bar(ProgressBar::Overall);
        Emit({{"event", "progress"}, {"position", b.pos}, {"maximum", b.upper}});
        return;
    }
    DrawBar(bar == ProgressBar::Overall);
}

void TerminalSurface::MessageBoxInfo(const std::wstring& text) {
    RecordingSurface::MessageBoxInfo(text);
    if (options_.json) Emit({{"event", "message_box"}, {"text", U8(text)}});
    else PrintLine("[message] " + Lines(text));
}

bool TerminalSurface::MessageBoxYesNo(const std::wstring& text) {
    // Nothing the update run asks this way; answered No, as closing the box would.
    MessageBoxInfo(text);
    return RecordingSurface::MessageBoxYesNo(text);
}

int TerminalSurface::BehaviourRequest() {
    int answer = 0;
    if (options_.behaviour) {
        answer = *options_.behaviour;
    } else if (options_.ask) {
        ClearBar();
        vesk::TermPrint(stderr, "Behaviour Request: %s\n", U8(vesk::Translate(L"Select here what you want your DataKey to do")).c_str());
        for (int i = 0; i < 3; ++i) vesk::TermPrint(stderr, "  %d  %s\n", i, U8(vesk::Translate(kBehaviours[i])).c_str());
        vesk::TermPrint(stderr, "Choice [0]: ");
        std::fflush(stderr);
        std::string reply;
        std::getline(std::cin, reply);
        // Anything but 1 or 2 is the first choice, as closing the dialog is.
        if (reply == "1" || reply == "2") answer = reply[0] - '0';
    }
    QueueBehaviour(answer);
    const int taken = RecordingSurface::BehaviourRequest();
    if (options_.json)
        Emit({{"event", "question"}, {"kind", "behaviour"}, {"answer", taken}});
    else
        PrintLine("Behaviour Request: " + std::to_string(taken) + " (" +
                  U8(vesk::Translate(kBehaviours[taken >= 0 && taken < 3 ? taken : 0])) + ")");
    return taken;
}

void TerminalSurface::WaitBegins(uint32_t ms, const std::wstring& what) {
    waiting_ = true;
    if (live_ && ms > vesk::kAnnouncedWaitOverMs && !what.empty())
        notice_ = Notice{.what = what, .ms = ms, .start_ms = vesk::process_clock().now_ms(), .device = false};
    if (live_ && options_.json) Emit({{"event", "wait"}, {"ms", ms}, {"what", U8(what)}});
}

void TerminalSurface::WaitBegins(uint32_t ms, const std::wstring& what, uint64_t start_ms) {
    notice_ = Notice{.what = what, .ms = ms, .start_ms = start_ms, .device = true};
    DrawBar(true);
}

void TerminalSurface::WaitGoesOn() { DrawBar(false); }

void TerminalSurface::WaitEnds() {
    if (!notice_ || !notice_->device) return;
    notice_.reset();
    DrawBar(true);
}

// "Waiting for the net to rebuild: 7 s", counting down on the process clock;
// "... 12 s so far" for a wait without a known end. Empty when none is on.
std::string TerminalSurface::NoticeText() const {
    if (!notice_ || options_.json) return {};
    const uint64_t now = vesk::process_clock().now_ms();
    const uint64_t elapsed = now > notice_->start_ms ? now - notice_->start_ms : 0;
    const std::string head = "Waiting for " + U8(notice_->what) + ": ";
    if (notice_->ms == 0) return head + std::to_string(elapsed / 1000) + " s so far";
    const uint64_t left = notice_->ms > elapsed ? notice_->ms - elapsed : 0;
    // Its last moments read 1 s: it ends as the next line is drawn.
    return head + std::to_string(std::max<uint64_t>(1, (left + 999) / 1000)) + " s";
}

void TerminalSurface::ShowWrite(uint32_t unit, const WriteReport& report) {
    RecordingSurface::ShowWrite(unit, report);
    const uint64_t now = vesk::process_clock().now_ms();
    if (!write_ || write_->unit != unit || write_->report.what != report.what || report.done < write_->report.done)
        write_ = Write{.unit = unit, .report = report, .started_ms = now, .emitted_ms = {}, .last_emitted = false};
    write_->report = report;
    write_->last_emitted = false;
    vesk::update::NoteUnitWritten(unit);
    if (!live_) return;
    const bool end = report.done == report.total;
    // The bar shows where each write starts and ends, however quick it is.
    if (!options_.json) DrawBar(report.done == 0 || end);
    else if (end || !write_->emitted_ms || now - *write_->emitted_ms >= kWriteEventEveryMs) EmitWrite(now);
}

void TerminalSurface::WriteEnded() {
    RecordingSurface::WriteEnded();
    // A write that stopped short still says where it stopped.
    if (live_ && options_.json && write_ && !write_->last_emitted) EmitWrite(vesk::process_clock().now_ms());
    write_.reset();
}

void TerminalSurface::EmitWrite(uint64_t now_ms) {
    const WriteReport& r = write_->report;
    Emit({{"event", "write"},
          {"unit", write_->unit},
          {"what", WriteKindName(r.what)},
          {"done", r.done},
          {"total", r.total}});
    write_->emitted_ms = now_ms;
    write_->last_emitted = true;
}

// "  firmware 71: 96/192 blocks, 12.5 kB/s"
std::string TerminalSurface::WriteText(uint64_t now_ms) const {
    const WriteReport& r = write_->report;
    std::string text = std::string("  ") + WriteKindName(r.what) + " " + std::to_string(write_->unit) + ": " +
                       std::to_string(r.done) + "/" + std::to_string(r.total) + " blocks";
    const uint64_t elapsed_ms = now_ms - write_->started_ms;
    if (elapsed_ms == 0) return text;
    const double rate = double(r.bytes) * 1000.0 / double(elapsed_ms);
    char speed[32];
    if (rate >= 1024) std::snprintf(speed, sizeof speed, ", %.1f kB/s", rate / 1024);
    else std::snprintf(speed, sizeof speed, ", %.0f B/s", rate);
    return text + speed;
}

void TerminalSurface::PushControls() {
    RecordingSurface::PushControls();
    // Only the state is needed here: the events would pile up for the whole run.
    ClearEvents();
    if (live_) DrawBar(false);
}

void TerminalSurface::StartRestartTimer(uint32_t ms, std::function<void()> expired) {
    RecordingSurface::StartRestartTimer(ms, std::move(expired));
    restart_at_ = vesk::process_clock().now_ms() + ms;
}

void TerminalSurface::PollRestartTimer() {
    if (!restart_at_ || vesk::process_clock().now_ms() < *restart_at_) return;
    restart_at_.reset();
    FireRestartTimer();
}

void TerminalSurface::ClearBar() {
    if (!bar_shown_) return;
    vesk::TermControl(stderr, "\r\033[K");
    std::fflush(stderr);
    bar_shown_ = false;
    SetBarShown(false);
}

void TerminalSurface::EndBar() {
    ClearBar();
    live_ = false;
}

// [#########---------------------] 53/148  wait 0.5 s
// [#########---------------------] 53/148  Waiting for Pell DL Logger 1001: 4 s
// [#########---------------------] 53/148  firmware 71: 96/192 blocks, 12.5 kB/s
// Waiting for the net to rebuild: 7 s        (a long wait outside a run)
// narrowed to the terminal's width, redrawn at once when that changes.
void TerminalSurface::DrawBar(bool force) {
    if (!options_.bar) return;
    const std::string notice = NoticeText();
    const bool with_bar = live_ && range_set_;
    if (!with_bar && notice.empty()) {
        ClearBar();
        drawn_notice_.clear();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const bool resized = g_resized != 0;
    g_resized = 0;
    // A countdown's every second is shown, however fast the clock goes.
    if (!force && !resized && bar_shown_ && notice == drawn_notice_ && (!with_bar || now - last_draw_ < kRedrawEvery))
        return;
    last_draw_ = now;
    drawn_notice_ = notice;
    std::string line;
    if (with_bar) {
        line = BarLine(notice);
    } else {
        // The last column stays free, as the bar's does.
        line = FitText(notice, TerminalColumns() - 1);
    }
    vesk::TermControl(stderr, "\r\033[K");
    vesk::TermPrint(stderr, "%s", line.c_str());
    std::fflush(stderr);
    bar_shown_ = true;
    SetBarShown(true);
}

std::string TerminalSurface::BarLine(const std::string& notice) const {
    const SurfaceBar& overall = Bar(ProgressBar::Overall);
    const SurfaceBar& wait = Bar(ProgressBar::Wait);
    std::string detail, shorter;
    if (write_) {
        detail = WriteText(vesk::process_clock().now_ms());
        shorter = detail.substr(0, detail.find(','));
    } else if (waiting_ && wait.upper > 0 && wait.pos < wait.upper) {
        const int left_ms = (wait.upper - wait.pos) * 10;
        char text[32];
        std::snprintf(text, sizeof text, "  wait %d.%d s", left_ms / 1000, left_ms % 1000 / 100);
        detail = shorter = text;
    }
    if (!write_ && !notice.empty()) detail = shorter = "  " + notice;
    return FitBarLine(overall.pos, overall.upper, detail, shorter, TerminalColumns());
}

}  // namespace vesk::cli
