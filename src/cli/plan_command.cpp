// plan: one refresh of the update plan, printed as the window's device list
// and status line would show it.
#include <cstdio>
#include <string>
#include <vector>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "plan_view.h"
#include "simulation.h"

namespace vesk::cli {

namespace {

const char* kUsage =
    "usage: vesk-firmup-cli plan [--simulate FILE] [--folder DIR] [--json] [--advanced]\n"
    "                            [--choose SERIAL=VERSION ...]\n";

int Usage(const std::string& why) { return UsageError("plan", kUsage, why); }

int Plan(const PlanRequest& rq, vesk::sim::SimBus* bus) {
    CliDetection detection(bus);
    RecordingSurface surface;
    CUpdateProcedure proc(surface, detection.Switch(), nullptr,
                          {.main_folder = rq.folder, .advanced_mode = rq.advanced, .advanced_allowed = rq.advanced});
    proc.RequestChoices(rq.choices);
    proc.AggiornaStrumentiCollegati();
    if (const int status = ChoicesExit("plan", proc); status >= 0) return status;
    if (!rq.choices.empty()) proc.SceltePrese();
    if (rq.json) vesk::TermWriteJson(stdout, PlanJson(proc, surface.State()).dump(2));
    else PrintPlan(proc, surface.State(), ": run `vesk-firmup-cli update`");
    const int status = RefreshExit("plan", proc);
    if (status >= 0) return status;
    return SayNetUnread("plan", proc) ? kExitFailed : kExitOk;
}

}  // namespace

static int ParsedPlan(const std::vector<std::string>& args, bool& planned);

// With --json, a plan that could not be made still prints its error object.
int RunPlan(const std::vector<std::string>& args) {
    bool planned = false;
    const int status = ParsedPlan(args, planned);
    if (!planned) PrintJsonStop("plan", args, status, status == kExitUsage ? "usage" : "failed");
    return status;
}

static int ParsedPlan(const std::vector<std::string>& args, bool& planned) {
    PlanRequest rq;
    rq.scenario_file = ScenarioFromEnvironment();
    for (size_t i = 0; i < args.size(); ++i) {
        std::string error;
        if (ParsePlanOption(args, i, rq, error)) {
            if (!error.empty()) return Usage(error);
        } else if (args[i] == "--help") {
            vesk::TermPrint(stdout, "%s"
                        "  --simulate FILE   plan for the instruments of a simulator scenario\n"
                        "                    (also VESK_SIMULATE)\n"
                        "  --folder DIR      the main update folder (with _BOOTER and _ACCESSORI);\n"
                        "                    default: UseFolder(DIR)AsMain when given, else for an\n"
                        "                    installed copy ~/.local/share/vesk-firmup/updates/\n"
                        "                    ($XDG_DATA_HOME), for a build tree its program folder\n"
                        "  --json            one JSON object: status, status_colour, update_pending,\n"
                        "                    versions_selectable and the rows\n"
                        "  --advanced        plan in advanced mode\n"
                        "  --choose S=V      with --advanced: pick version V for the unit of serial S\n"
                        "exit status: 0 plan shown, 1 the instrument, its net or the folder could not be read,\n"
                        "2 usage, 3 no instrument or more than one, 4 the instrument may not be opened\n",
                        vesk::TermLines{kUsage});
            return kExitOk;
        } else {
            return Usage("unexpected argument " + args[i]);
        }
    }
    if (const int status = CheckPlanRequest("plan", rq); status >= 0) return status;
    return RunOnBus("plan", rq.scenario_file, [&](vesk::sim::SimBus* bus) {
        planned = true;
        return Plan(rq, bus);
    });
}

}  // namespace vesk::cli
