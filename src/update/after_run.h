#pragma once
// What every front end does once a run has returned: the units are read again
// (the restarted master waited for through its arrival, 30 s at most) and
// compared with the plan, so that what is shown, asked and returned after the
// run is where each unit really is.
#include <functional>

#include "update/update_procedure.h"

namespace vesk::update {

struct AfterRunWatch {
    // Called every poll while the master is waited for (a simulated bus ticks there).
    std::function<void()> poll;
    // An instrument arrived since the run's detection came back on.
    std::function<bool()> arrived;
    // Says that the master is waited for; may be empty.
    std::function<void(const char* line)> say;
    // Called right before the plan is read again; may be empty.
    std::function<void()> refreshing;
};

// The run touched the instrument (it was reached and may have been written).
bool RunTouchedInstrument(CUpdateProcedure::RunOutcome outcome);

// Reads the units again when the run's own last refresh did not find its
// master back, then checks each unit; true when every one is verified.
bool ReadAfterRun(CUpdateProcedure& proc, const AfterRunWatch& watch);

// The run ended with every unit as planned: what exit status 0 means.
bool EndedAsPlanned(const CUpdateProcedure::RunResult& run, bool verified);

}  // namespace vesk::update
