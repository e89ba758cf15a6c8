#pragma once
// Scenario files: the instruments on the simulated bus, their timing and
// faults, and how simulated time runs (format in docs/simulator.md).
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_bus.h"
#include "sim/sim_instrument.h"

namespace vesk::sim {

struct Scenario {
    // 0: the virtual clock (a run takes no real time); > 0: real time with
    // every wait scaled by this factor.
    double time_scale = 0;
    std::string trace_file;  // empty: the trace is kept in memory only
    std::vector<SimInstrumentConfig> instruments;
};

// Parses scenario text; source names the file in error messages. On failure
// returns false and sets *error to a message naming the source and the key.
bool ParseScenario(const std::string& text, const std::string& source, Scenario* out,
                   std::string* error);
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);

// A bus with the scenario's instruments plugged in.
std::unique_ptr<SimBus> MakeBus(const Scenario& scenario);
// Shorthand for tests: a bus from scenario text; null with *error on bad text.
std::unique_ptr<SimBus> BusFromJson(const std::string& text, std::string* error);
// The clock the scenario asks for.
std::unique_ptr<vesk::IClock> MakeScenarioClock(double time_scale);

}  // namespace vesk::sim
