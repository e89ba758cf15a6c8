#pragma once
// The instruments a command talks to: the real USB, or the simulated bus of a
// scenario (--simulate FILE, or VESK_SIMULATE) on the scenario's clock.
#include <functional>
#include <string>

#include "simulation/simulated_instruments.h"

namespace vesk::sim {
class SimBus;
}

namespace vesk::cli {

using vesk::ScenarioFromEnvironment;

// Runs body with the scenario's bus installed as the USB carrier and its clock
// as the process clock (bus null: the real USB when scenario_file is empty).
// A scenario that cannot be loaded is reported as "vesk-firmup-cli <command>:
// <error>" and gives the failure status.
int RunOnBus(const char* command, const std::string& scenario_file,
             const std::function<int(vesk::sim::SimBus* bus)>& body);

}  // namespace vesk::cli
