#include "simulation.h"

#include <cstdio>
#include <cstdlib>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "common/clock.h"
#include "update/backup.h"

namespace vesk::cli {

int RunOnBus(const char* command, const std::string& scenario_file,
             const std::function<int(vesk::sim::SimBus* bus)>& body) {
    if (scenario_file.empty()) return body(nullptr);
    std::string error;
    const auto simulated = vesk::CSimulatedInstruments::Load(scenario_file, error);
    if (!simulated) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n", command, error.c_str());
        return kExitFailed;
    }
    vesk::update::SetSimulatedBackups(true);
    const uint64_t start = vesk::process_clock().now_ms();
    const int status = body(&simulated->Bus());
    // The instrument time the command stood for, for the benchmarks that set
    // the program's own cost against it.
    if (const char* report = std::getenv("VESK_REPORT_CLOCK"); report && *report)
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: clock advanced %llu ms\n", command,
                     static_cast<unsigned long long>(vesk::process_clock().now_ms() - start));
    return status;
}

}  // namespace vesk::cli
