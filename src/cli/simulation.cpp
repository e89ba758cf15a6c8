#include "simulation.h"

#include <cstdio>

#include "cli_command.h"

namespace vesk::cli {

int RunOnBus(const char* command, const std::string& scenario_file,
             const std::function<int(vesk::sim::SimBus* bus)>& body) {
    if (scenario_file.empty()) return body(nullptr);
    std::string error;
    const auto simulated = vesk::CSimulatedInstruments::Load(scenario_file, error);
    if (!simulated) {
        std::fprintf(stderr, "vesk-firmup-cli %s: %s\n", command, error.c_str());
        return kExitFailed;
    }
    return body(&simulated->Bus());
}

}  // namespace vesk::cli
