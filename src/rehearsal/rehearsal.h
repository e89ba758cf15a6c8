#pragma once
// A rehearsal: the update a procedure would run, run first on a simulated
// copy of the connected instrument (capture.h) with the same folder, mode and
// choices, on a virtual clock. The copy's bus is the USB carrier and its
// clock the process clock only for the rehearsal's duration; the carrier and
// clock installed before are back when it returns. Nothing is written to the
// connected instrument.
#include <string>
#include <vector>

#include "update/recording_surface.h"
#include "update/update_procedure.h"

namespace vesk::rehearsal {

// A surface nobody watches: it keeps the state the calls leave (status,
// messages, rows), forgets the events at every push, answers the Behaviour
// Request with the answer it was given and starts no timer.
class QuietSurface : public RecordingSurface {
public:
    explicit QuietSurface(int behaviour = kBehaviourIfOlder) : behaviour_(behaviour) {}
    int BehaviourRequest() override;
    void PushControls() override;
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override;
    // Every block of every write of the copy: nobody watches them.
    void ShowWrite(uint32_t, const WriteReport&) override {}

private:
    int behaviour_;
};

struct Result {
    bool captured = false;  // the connected instrument was copied
    bool planned = false;   // the copy shows the plan the procedure shows
    // The rehearsal reached its end without an error ("Firmup finished", or
    // "Firmware doesn't feature slaves update" for a master without slave
    // updates) and every unit reported the version it was to get.
    bool passed = false;
    CUpdateProcedure::RunResult run;     // the rehearsal's run, its units checked
    std::wstring status;                 // how the rehearsal ended ("Firmup finished", or its error)
    std::vector<std::wstring> messages;  // the rehearsal's message list
    // What the copy keeps at the simulator's defaults, and what stands in for
    // what it cannot know.
    std::vector<std::wstring> notes;
    // Why it did not pass, one line each: the copy, its plan, each unit that
    // would not have ended as planned, the run's errors.
    std::vector<std::wstring> problems;
};

// Rehearses what real would do with its current plan. surface is the
// rehearsal procedure's (a QuietSurface, or one that shows it); it must not
// fire a restart timer after the call.
Result Rehearse(CUpdateProcedure& real, RecordingSurface& surface);

// "M Pell DL Logger 10: 46.03.00 -> 46.05.00, expected 46.05.00, verified".
std::wstring UnitLine(const CUpdateProcedure::UnitCheck& unit);
// The summary as message lines: the units, the rehearsal's status, the
// defaults, the verdict and, when it failed, why.
std::vector<std::wstring> SummaryLines(const Result& result);
// The text a run stops with when its rehearsal failed.
std::wstring FailureText(const Result& result);

// The check a procedure makes before it writes (Settings::before_writing):
// rehearses, shows the summary in the procedure's message list, and lets the
// run go on only when the rehearsal passed.
CUpdateProcedure::BeforeWriting RehearsalGate(int behaviour = kBehaviourIfOlder);

}  // namespace vesk::rehearsal
