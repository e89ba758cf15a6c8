#include "simulation.h"

#include <cstdio>
#include <cstdlib>

#include "cli_command.h"
#include "common/clock.h"
#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"
#include "usb/backend/usb_backend.h"

namespace vesk::cli {

std::string ScenarioFromEnvironment() {
    const char* env = std::getenv("VESK_SIMULATE");
    return env ? env : "";
}

int RunOnBus(const char* command, const std::string& scenario_file,
             const std::function<int(vesk::sim::SimBus* bus)>& body) {
    if (scenario_file.empty()) return body(nullptr);
    vesk::sim::Scenario scenario;
    std::string error;
    if (!vesk::sim::LoadScenarioFile(scenario_file, &scenario, &error)) {
        std::fprintf(stderr, "vesk-firmup-cli %s: %s\n", command, error.c_str());
        return kExitFailed;
    }
    // Simulated waits take no real time unless the scenario asks for it; the
    // bus is made on that clock so its trace starts at its time 0.
    const auto clock = vesk::sim::MakeScenarioClock(scenario.time_scale);
    vesk::ScopedClock scoped_clock(*clock);
    auto bus = vesk::sim::MakeBus(scenario);
    vesk::usb::ScopedBackend backend(*bus);
    return body(bus.get());
}

}  // namespace vesk::cli
