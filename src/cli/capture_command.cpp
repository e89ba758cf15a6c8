// capture: what is connected, written as a simulator scenario file, to
// rehearse an update on it or to send to a technician who reproduces a
// problem. It only reads: nothing is written to an instrument.
#include <cstdio>
#include <string>
#include <vector>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "common/atomic_file.h"
#include "common/str_conv.h"
#include "plan_view.h"
#include "records/model_names.h"
#include "rehearsal/capture.h"
#include "simulation.h"

namespace vesk::cli {

namespace {

const char* kUsage = "usage: vesk-firmup-cli capture FILE [--simulate SCENARIO]\n";

int Usage(const std::string& why) { return UsageError("capture", kUsage, why); }

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

int Capture(const std::string& file) {
    vesk::rehearsal::Capture capture;
    std::wstring error;
    if (!vesk::rehearsal::CaptureConnected(capture, error)) {
        vesk::TermPrint(stderr, "vesk-firmup-cli capture: %s\n", U8(error).c_str());
        return kExitFailed;
    }
    if (capture.scenario.instruments.empty())
        return NoInstrumentExit("capture", "no instrument is connected; nothing was written");
    const std::string text = vesk::rehearsal::CaptureJson(capture.scenario);
    if (!vesk::write_file_atomically(file, text.data(), text.size())) {
        vesk::TermPrint(stderr, "vesk-firmup-cli capture: %s cannot be written\n", file.c_str());
        return kExitFailed;
    }
    vesk::TermPrint(stdout, "Captured into %s:\n", file.c_str());
    for (const auto& c : capture.scenario.instruments)
        vesk::TermPrint(stdout, "  %s  %s serial %u, %zu slave%s\n", c.path.c_str(), U8(GetNomeStrumento(c.code)).c_str(),
                    unsigned(c.serial), c.net.slaves.size(), c.net.slaves.size() == 1 ? "" : "s");
    vesk::TermPrint(stdout, "Kept at the simulator's defaults:\n");
    for (const auto& note : capture.notes) vesk::TermPrint(stdout, "  %s\n", U8(note).c_str());
    return kExitOk;
}

}  // namespace

int RunCapture(const std::vector<std::string>& args) {
    std::string scenario_file = ScenarioFromEnvironment();
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--simulate") {
            if (i + 1 >= args.size()) return Usage("--simulate needs a scenario file");
            scenario_file = args[++i];
        } else if (a == "--help") {
            vesk::TermPrint(stdout, "%s"
                        "  FILE               the scenario file to write (replaced when it exists)\n"
                        "  --simulate SCENARIO capture the instruments of a simulator scenario\n"
                        "                     (also VESK_SIMULATE)\n"
                        "Reads each instrument's identity, booter family, chip, product id, capability\n"
                        "record, net table and slaves; what no instrument reports stays at the\n"
                        "simulator's defaults (listed). Nothing is written to an instrument.\n"
                        "exit status: 0 written; 1 an instrument could not be read or the file not\n"
                        "written; 2 usage; 3 no instrument;\n"
                        "4 the instrument may not be opened\n",
                        vesk::TermLines{kUsage});
            return kExitOk;
        } else if (a == "--" && i + 2 == args.size() && file.empty()) {
            file = args[++i];
        } else if (a.rfind("--", 0) == 0 || !file.empty()) {
            return Usage("unexpected argument " + a);
        } else {
            file = a;
        }
    }
    if (file.empty()) return Usage("the scenario file to write is needed");
    return RunOnBus("capture", scenario_file, [&](vesk::sim::SimBus*) { return Capture(file); });
}

}  // namespace vesk::cli
