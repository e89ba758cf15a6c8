#pragma once
// The update procedure's surface on a terminal: each message and status
// change printed as it happens (plain lines, or JSON Lines), message boxes
// printed, the Behaviour Request asked on the terminal, and the overall
// progress with the current wait drawn as one bar on standard error, redrawn
// in place, when that is a terminal. The state the calls leave (status, rows,
// bars) is kept as the recording surface keeps it. As the wait observer it
// also says, on that line, what every long wait of the device layer is for
// ("Waiting for the net to rebuild: 7 s"), with or without a bar.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/wait_notice.h"
#include "update/recording_surface.h"

namespace vesk::cli {

// text in room columns: cut in what comes before its last ": " (marked
// "..."), so that the count after it stays in sight; cut at the end when
// even that does not fit.
std::string FitText(const std::string& text, size_t room);
// The bar's line for columns: "[###---] pos/upper" and detail; the bar
// narrows first, then shorter replaces detail, then shorter is cut (FitText),
// so that it never reaches the last column.
std::string FitBarLine(int pos, int upper, const std::string& detail, const std::string& shorter, size_t columns);

class TerminalSurface : public RecordingSurface, public vesk::IWaitObserver {
public:
    struct Options {
        bool json = false;             // JSON Lines on standard output
        bool bar = false;              // draw the bar on standard error
        bool ask = false;              // questions may be asked on the terminal
        std::optional<int> behaviour;  // the Behaviour Request's answer, given beforehand
        std::string phase{};           // non-empty: every JSON event carries it as "phase"
    };
    // With the bar, a change of the terminal's size redraws it at once.
    explicit TerminalSurface(Options options);
    // The bar is cleared however the surface ends.
    ~TerminalSurface() override;
    TerminalSurface(const TerminalSurface&) = delete;
    TerminalSurface& operator=(const TerminalSurface&) = delete;

    // Messages, status changes, waits and progress are printed only while live.
    void SetLive(bool live) { live_ = live; }
    // One line of output (text mode), or one event (JSON mode), with the bar
    // out of the way.
    void PrintLine(const std::string& line);
    void Emit(const nlohmann::ordered_json& event);
    // From now on every JSON event carries "instrument": serial (a bench).
    void SetInstrument(uint32_t serial) { instrument_ = serial; }
    // Fires the restart timer once the clock has passed its end.
    void PollRestartTimer();
    // Takes the bar off the screen for good.
    void EndBar();

    void SetStatus(const std::wstring& text, StatusColour colour) override;
    void AppendMessage(const std::wstring& line) override;
    void SetBarRange(ProgressBar bar, int upper) override;
    void StepBar(ProgressBar bar) override;
    void SetBarPos(ProgressBar bar, int pos) override;
    void MessageBoxInfo(const std::wstring& text) override;
    bool MessageBoxYesNo(const std::wstring& text) override;
    int BehaviourRequest() override;
    void WaitBegins(uint32_t ms, const std::wstring& what) override;
    // The device layer's waits.
    void WaitBegins(uint32_t ms, const std::wstring& what, uint64_t start_ms) override;
    void WaitGoesOn() override;
    void WaitEnds() override;
    // An image write: on the bar with its unit and bytes per second; in JSON
    // a "write" event at most every 250 ms of the process clock, and its last.
    void ShowWrite(uint32_t unit, const WriteReport& report) override;
    void WriteEnded() override;
    void PushControls() override;
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override;

private:
    void Progress(ProgressBar bar);
    void ClearBar();
    void DrawBar(bool force);
    void EmitWrite(uint64_t now_ms);
    std::string WriteText(uint64_t now_ms) const;
    std::string NoticeText() const;
    // The bar with the write, the long wait or the short wait going on.
    std::string BarLine(const std::string& notice) const;

    Options options_;
    std::optional<uint32_t> instrument_;
    bool resize_handler_ = false;
    struct sigaction previous_resize_ {};
    bool live_ = false;
    std::wstring last_status_;
    bool bar_shown_ = false;
    bool range_set_ = false;  // the run has given the overall bar its range
    bool waiting_ = false;    // a fixed wait is going on
    std::chrono::steady_clock::time_point last_draw_{};
    std::optional<uint64_t> restart_at_;
    // The long wait said on the bar's line, and the text last drawn of it.
    struct Notice {
        std::wstring what;
        uint32_t ms = 0;  // 0: no known end
        uint64_t start_ms = 0;
        bool device = false;  // the device layer's, ended by WaitEnds
    };
    std::optional<Notice> notice_;
    std::string drawn_notice_;
    // The write going on, as last reported.
    struct Write {
        uint32_t unit = 0;
        WriteReport report;
        uint64_t started_ms = 0;
        std::optional<uint64_t> emitted_ms;  // the last event about it
        bool last_emitted = false;           // the last report has had its event
    };
    std::optional<Write> write_;
};

}  // namespace vesk::cli
