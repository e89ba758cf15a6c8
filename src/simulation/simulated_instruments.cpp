#include "simulation/simulated_instruments.h"

#include <cstdlib>

#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"

namespace vesk {

std::string ScenarioFromEnvironment() {
    const char* env = std::getenv("VESK_SIMULATE");
    return env ? env : "";
}

std::unique_ptr<CSimulatedInstruments> CSimulatedInstruments::Load(const std::string& scenario_file,
                                                                   std::string& error) {
    vesk::sim::Scenario scenario;
    if (!vesk::sim::LoadScenarioFile(scenario_file, &scenario, &error)) return nullptr;
    std::unique_ptr<CSimulatedInstruments> s(new CSimulatedInstruments);
    // Simulated waits take no real time unless the scenario asks for it; the
    // bus is made on that clock so its trace starts at its time 0.
    s->clock_ = vesk::sim::MakeScenarioClock(scenario.time_scale);
    s->scoped_clock_.emplace(*s->clock_);
    s->bus_ = vesk::sim::MakeBus(scenario);
    // Nobody reads the trace back in a program; its trace_file still gets it.
    s->bus_->trace().KeepInMemory(false);
    s->backend_.emplace(*s->bus_);
    return s;
}

CSimulatedInstruments::~CSimulatedInstruments() {
    // Handles and carriers go in the reverse order of their making.
    backend_.reset();
    bus_.reset();
    scoped_clock_.reset();
}

}  // namespace vesk
