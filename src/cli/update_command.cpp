// update: the updater's main job in a terminal. The plan first; then, when
// something is pending and the user agrees, the update run itself, the wait
// for the restarted master, and a check of every unit against what the plan
// said it would get.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "plan_view.h"
#include "rehearsal/rehearsal.h"
#include "run_signals.h"
#include "simulation.h"
#include "terminal_surface.h"
#include "instrument_lock.h"
#include "update/run_summary.h"
#include "logind_inhibitor.h"

namespace vesk::cli {

namespace {

// The restarted master is waited for at most this long, as the window would.
constexpr uint32_t kRestartWaitMs = 30000;
constexpr uint32_t kPollMs = 100;
// The window refreshes this long after an arrival.
constexpr uint32_t kAfterArrivalMs = 2200;

const char* kUsage =
    "usage: vesk-firmup-cli update [--simulate FILE] [--folder DIR] [--yes] [--advanced]\n"
    "                              [--choose SERIAL=VERSION ...] [--behaviour 0|1|2] [--debug] [--json]\n"
    "                              [--no-backup] [--rehearse | --rehearse-only]\n";

int Usage(const std::string& why) { return UsageError("update", kUsage, why); }

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

struct UpdateRequest {
    PlanRequest plan;
    bool yes = false;
    bool debug = false;
    bool backup = true;
    std::optional<int> behaviour;
    bool rehearse = false;       // first on a simulated copy of the instrument
    bool rehearse_only = false;  // and no further
};

using RunOutcome = CUpdateProcedure::RunOutcome;

// From the run's start to the command's end, a signal asks the run to stop.
struct GoingOn {
    GoingOn() { SetRunGoingOn(true); }
    ~GoingOn() { SetRunGoingOn(false); }
    GoingOn(const GoingOn&) = delete;
    GoingOn& operator=(const GoingOn&) = delete;
};

// What the command did, as its exit status and the result event name it.
struct Ending {
    int status;
    const char* outcome;
};

class UpdateSession {
public:
    UpdateSession(const UpdateRequest& rq, vesk::sim::SimBus* bus)
        : rq_(rq),
          detection_(bus),
          surface_({.json = rq.plan.json,
                    .bar = ::isatty(STDERR_FILENO) != 0,
                    .ask = ::isatty(STDIN_FILENO) != 0,
                    .behaviour = rq.behaviour}),
          proc_(surface_, detection_.Switch(), &locks_,
                {.main_folder = rq.plan.folder,
                 .debug_mode = rq.debug,
                 .advanced_mode = rq.plan.advanced,
                 .advanced_allowed = rq.plan.advanced,
                 .backup = rq.backup}) {}

    int Run() {
        proc_.RequestChoices(rq_.plan.choices);
        proc_.AggiornaStrumentiCollegati();
        if (const int status = ChoicesExit("update", proc_); status >= 0) return status;
        if (!rq_.plan.choices.empty()) proc_.SceltePrese();
        ShowPlan();
        if (const int status = RefreshExit("update", proc_); status >= 0)
            return Finish({status, status == kExitNotOne   ? NotOne()
                                   : status == kExitDenied ? "access_denied"
                                   : status == kExitOk     ? "nothing_pending"
                                                           : "stopped"});
        if (!proc_.UpdatePending()) {
            Say("Nothing to update: no instrument was written.");
            return Finish({kExitOk, "nothing_pending"});
        }
        // The window's Execute button stays disabled on a plan that refuses the net.
        if (!surface_.State().execute_enabled) {
            Say("The plan does not allow an update: " + U8(surface_.State().status));
            return Finish({kExitFailed, "stopped"});
        }
        if (rq_.rehearse) {
            if (const int status = Rehearse(); status >= 0) return status;
        }
        if (!rq_.yes) {
            if (const int status = Confirm(); status >= 0) return status;
        }

        detection_.ForgetArrivals();
        GoingOn going_on;
        const LogindInhibitor inhibitor;
        surface_.SetLive(true);
        proc_.OnBnClickedButtonUpdate();
        const CUpdateProcedure::RunResult& run = proc_.LastRun();
        // Stopped before the instrument was touched: nothing to check.
        if (!Touched(run.outcome)) {
            surface_.EndBar();
            return Finish(Judge(run, false));
        }
        surface_.EndBar();
        AfterTheRun(run.outcome);
        const bool verified = proc_.VerificaUnita();
        ShowSummary();
        ShowPlan();
        return Finish(Judge(run, verified));
    }

private:
    // The units are read again after every run. The master is back when the
    // run's last refresh (its closing one, or the one after an abort) found
    // it; when it is away (restarting, re-enumerating) it is waited for as the
    // window does, through its arrival, and the plan is read again.
    void AfterTheRun(RunOutcome outcome) {
        using Refresh = CUpdateProcedure::RefreshOutcome;
        const bool read_after = outcome == RunOutcome::Finished || outcome == RunOutcome::Aborted;
        if (read_after && !proc_.RestartPending() && proc_.LastRefresh() == Refresh::Planned) return;
        if (proc_.RestartPending() || (read_after && proc_.LastRefresh() == Refresh::NoInstrument)) {
            Say(proc_.RestartPending() ? "Waiting for the master to come back from its restart..."
                                       : "Waiting for the master to come back...");
            const uint64_t until = vesk::process_clock().now_ms() + kRestartWaitMs;
            for (;;) {
                detection_.Poll();
                surface_.PollRestartTimer();
                if (detection_.Arrived() || vesk::process_clock().now_ms() >= until) break;
                vesk::Sleep(kPollMs);
            }
            if (detection_.Arrived()) vesk::Sleep(kAfterArrivalMs);
        }
        proc_.AggiornaStrumentiCollegati();
    }

    static bool Touched(RunOutcome outcome) {
        return outcome == RunOutcome::Aborted || outcome == RunOutcome::SlavesRefused ||
               outcome == RunOutcome::NoSlaveUpdate || outcome == RunOutcome::Finished;
    }

    Ending Judge(const CUpdateProcedure::RunResult& run, bool verified) const {
        if (const int status = StoppedRunStatus(); status >= 0) return {status, "interrupted"};
        switch (run.outcome) {
        case RunOutcome::NoInstrument:
        case RunOutcome::SeveralInstruments: return {kExitNotOne, NotOne(run.outcome)};
        case RunOutcome::Finished:
        case RunOutcome::NoSlaveUpdate:
            if (run.Completed() && verified) return {kExitOk, "finished"};
            return {kExitFailed, "errors"};
        default: return {kExitFailed, "stopped"};
        }
    }

    const char* NotOne(std::optional<RunOutcome> run = std::nullopt) const {
        const bool none = run ? *run == RunOutcome::NoInstrument
                              : proc_.LastRefresh() == CUpdateProcedure::RefreshOutcome::NoInstrument;
        return none ? "no_instrument" : "several_instruments";
    }

    // The same update on a simulated copy of what is connected: -1 to go on
    // with the real run, else the exit status. Its events, in JSON, carry
    // "phase": "rehearsal".
    int Rehearse() {
        Say("Rehearsing the update on a simulated copy of the connected instrument...");
        // The rehearsal answers the Behaviour Request as given, else with the first answer.
        const int behaviour = rq_.behaviour.value_or(kBehaviourIfOlder);
        vesk::rehearsal::Result r;
        if (rq_.plan.json) {
            TerminalSurface watched({.json = true, .behaviour = behaviour, .phase = "rehearsal"});
            watched.SetLive(true);
            r = vesk::rehearsal::Rehearse(proc_, watched);
        } else {
            vesk::rehearsal::QuietSurface quiet(behaviour);
            r = vesk::rehearsal::Rehearse(proc_, quiet);
        }
        ShowRehearsal(r);
        if (!r.passed) return Finish({kExitFailed, "rehearsal_failed"});
        if (rq_.rehearse_only) {
            Say("Rehearsal only: no instrument was written.");
            return Finish({kExitOk, "rehearsed"});
        }
        return -1;
    }

    void ShowRehearsal(const vesk::rehearsal::Result& r) {
        if (rq_.plan.json) {
            nlohmann::ordered_json units = nlohmann::ordered_json::array();
            for (const auto& u : r.run.units)
                units.push_back({{"serial", u.serial},
                                 {"before", VersionJson(u.before)},
                                 {"after", VersionJson(u.after)},
                                 {"expected", VersionJson(u.expected)},
                                 {"verified", u.verified}});
            auto texts = [](const std::vector<std::wstring>& list) {
                nlohmann::ordered_json a = nlohmann::ordered_json::array();
                for (const auto& t : list) a.push_back(U8(t));
                return a;
            };
            surface_.Emit({{"event", "rehearsal"},
                           {"phase", "rehearsal"},
                           {"passed", r.passed},
                           {"status", U8(r.status)},
                           {"units", units},
                           {"defaults", texts(r.notes)},
                           {"problems", texts(r.problems)}});
            return;
        }
        for (const std::wstring& line : vesk::rehearsal::SummaryLines(r)) surface_.PrintLine(U8(line));
        if (r.passed) return;
        surface_.PrintLine("Rehearsal messages:");
        for (const std::wstring& line : r.messages) surface_.PrintLine("  " + U8(line));
    }

    // -1 to go on; else the exit status.
    int Confirm() {
        if (!::isatty(STDIN_FILENO)) {
            vesk::TermPrint(stderr,
                         "vesk-firmup-cli update: standard input is not a terminal, so nobody can be asked; "
                         "add --yes to update without being asked\n");
            return Finish({kExitUsage, "refused"});
        }
        vesk::TermPrint(stderr, "Proceed? [y/N] ");
        std::fflush(stderr);
        std::string reply;
        std::getline(std::cin, reply);
        if (reply == "y" || reply == "Y" || reply == "yes" || reply == "YES") return -1;
        Say("Not updated: no instrument was written.");
        return Finish({kExitFailed, "refused"});
    }

    void ShowPlan() {
        if (!rq_.plan.json) {
            PrintPlan(proc_, surface_.State(), ".");
            vesk::TermPrint(stdout, "\n");
            return;
        }
        nlohmann::ordered_json event = {{"event", "plan"}};
        const nlohmann::ordered_json plan = PlanJson(proc_, surface_.State());
        for (const auto& [key, value] : plan.items()) event[key] = value;
        surface_.Emit(event);
    }

    void ShowSummary() {
        if (rq_.plan.json) return;
        ShowBackup();
        std::vector<std::vector<std::string>> rows = {
            {"Unit", "Serial", "Before", "After", "Expected", "Booter", "Verified"}};
        std::vector<std::string> notes;
        for (const auto& u : proc_.LastRun().units) {
            const std::string unit = U8(vesk::update::SummaryUnitName(u));
            rows.push_back({unit, std::to_string(u.serial), U8(u.before), u.found ? U8(u.after) : "(not found)",
                            u.expected.empty() ? "-" : U8(u.expected), U8(vesk::update::SummaryBooter(u)),
                            u.verified ? "yes" : "NO"});
            for (const auto& i : u.images)
                if (vesk::update::SummaryNeedsNote(i)) notes.push_back("  " + unit + ": " + U8(vesk::update::SummaryImageNote(i)));
        }
        if (rows.size() == 1) return;
        std::vector<size_t> width(rows[0].size());
        for (const auto& r : rows)
            for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
        vesk::TermPrint(stdout, "\n");
        for (const auto& r : rows) {
            std::string line;
            for (size_t c = 0; c < r.size(); ++c)
                line += r[c] + (c + 1 < r.size() ? std::string(width[c] - r[c].size() + 2, ' ') : "");
            vesk::TermPrint(stdout, "%s\n", line.c_str());
        }
        for (const std::string& n : notes) vesk::TermPrint(stdout, "%s\n", n.c_str());
        vesk::TermPrint(stdout, "\n");
    }

    // Where the master's data went before the run wrote anything.
    void ShowBackup() {
        const vesk::update::BackupResult& b = proc_.LastRun().backup;
        vesk::TermPrint(stdout, "\n");
        if (!rq_.backup)
            vesk::TermPrint(stdout, "Backup: none taken (--no-backup)\n");
        else if (!b.skipped.empty())
            vesk::TermPrint(stdout, "Backup: none taken (%s)\n", b.skipped.c_str());
        else if (!b.folder.empty())
            vesk::TermPrint(stdout, b.Complete() ? "Backup: %s\n" : "Backup: partly saved in %s\n", U8(b.folder).c_str());
        else if (b.failed.empty())
            vesk::TermPrint(stdout, "Backup: the master keeps nothing to back up\n");
        else
            vesk::TermPrint(stdout, "Backup: none written\n");
        for (const auto& f : b.failed) vesk::TermPrint(stdout, "  not saved: %s (%s)\n", f.area.c_str(), f.why.c_str());
    }

    static nlohmann::ordered_json UnitJson(const CUpdateProcedure::UnitCheck& u) {
        nlohmann::ordered_json images = nlohmann::ordered_json::array();
        for (const auto& i : u.images) {
            if (i.read_back)
                images.push_back({{"image", U8(i.image)},
                                   {"before", VersionJson(i.before)},
                                   {"after", VersionJson(i.after)},
                                   {"expected", VersionJson(i.expected)},
                                   {"planned", i.planned},
                                   {"written", i.written},
                                   {"refused", i.refused},
                                   {"verified", i.verified}});
            else
                images.push_back({{"image", U8(i.image)},
                                   {"version", VersionJson(i.expected)},
                                   {"planned", i.planned},
                                   {"written", i.written},
                                   {"verified", i.verified}});
        }
        return {{"serial", u.serial},
                {"row", u.row_index == 0 ? std::string("M") : std::to_string(u.row_index)},
                {"before", VersionJson(u.before)},
                {"after", VersionJson(u.after)},
                {"expected", VersionJson(u.expected)},
                {"found", u.found},
                {"verified", u.verified},
                {"images", images}};
    }

    static nlohmann::ordered_json BackupJson(const vesk::update::BackupResult& b) {
        nlohmann::ordered_json failed = nlohmann::ordered_json::array();
        for (const auto& f : b.failed) failed.push_back({{"area", f.area}, {"why", f.why}});
        nlohmann::ordered_json j = {
            {"folder", b.folder.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(U8(b.folder))},
            {"saved", b.saved},
            {"failed", failed}};
        if (!b.skipped.empty()) j["skipped"] = b.skipped;
        return j;
    }

    void Say(const std::string& text) {
        if (!rq_.plan.json) surface_.PrintLine(text);
    }

    int Finish(const Ending& ending) {
        if (!rq_.plan.json) {
            if (ending.status == kExitOk && proc_.LastRun().outcome != RunOutcome::NotRun)
                vesk::TermPrint(stdout, "Every unit reports the version it was to get.\n");
            else if (std::string(ending.outcome) == "interrupted")
                vesk::TermPrint(stdout, "The run was stopped on request.\n");
            else if (std::string(ending.outcome) == "errors")
                vesk::TermPrint(stdout, "The update did not end as planned: %s\n", U8(surface_.State().status).c_str());
            return ending.status;
        }
        nlohmann::ordered_json units = nlohmann::ordered_json::array();
        for (const auto& u : proc_.LastRun().units) units.push_back(UnitJson(u));
        nlohmann::ordered_json result = {{"event", "result"}, {"outcome", ending.outcome}, {"units", units}};
        // Only a run takes a backup: null when it was switched off.
        if (proc_.LastRun().outcome != RunOutcome::NotRun)
            result["backup"] = rq_.backup ? BackupJson(proc_.LastRun().backup) : nlohmann::ordered_json(nullptr);
        surface_.Emit(result);
        return ending.status;
    }

    const UpdateRequest& rq_;
    CliDetection detection_;
    IVeskSemafori& locks_ = ProcessLocks();
    TerminalSurface surface_;
    CUpdateProcedure proc_;
};

}  // namespace

// Every update --json ends with a result event, also when it stops before the
// plan: a usage error, an update folder or a scenario that cannot be read.
static int StoppedEarly(const std::vector<std::string>& args, int status, const char* outcome) {
    if (status != kExitOk && std::find(args.begin(), args.end(), "--json") != args.end())
        vesk::TermWriteJson(stdout, nlohmann::ordered_json{{"event", "result"}, {"outcome", outcome}, {"units", nlohmann::ordered_json::array()}}.dump());
    return status;
}

static int ParsedUpdate(const std::vector<std::string>& args, bool& session_ran);

int RunUpdate(const std::vector<std::string>& args) {
    bool session_ran = false;
    const int status = ParsedUpdate(args, session_ran);
    if (session_ran) return status;
    return StoppedEarly(args, status, status == kExitUsage ? "usage" : "stopped");
}

static int ParsedUpdate(const std::vector<std::string>& args, bool& session_ran) {
    UpdateRequest rq;
    rq.plan.scenario_file = ScenarioFromEnvironment();
    for (size_t i = 0; i < args.size(); ++i) {
        std::string error;
        const std::string& a = args[i];
        if (ParsePlanOption(args, i, rq.plan, error)) {
            if (!error.empty()) return Usage(error);
        } else if (a == "--yes") {
            rq.yes = true;
        } else if (a == "--debug") {
            rq.debug = true;
        } else if (a == "--rehearse") {
            rq.rehearse = true;
        } else if (a == "--rehearse-only") {
            rq.rehearse = rq.rehearse_only = true;
        } else if (a == "--no-backup") {
            rq.backup = false;
        } else if (a == "--behaviour") {
            long long value = 0;
            if (i + 1 >= args.size() || !ParseNumber(args[i + 1], 0, 2, value))
                return Usage("--behaviour needs 0, 1 or 2");
            rq.behaviour = int(value);
            ++i;
        } else if (a == "--help") {
            vesk::TermPrint(stdout, "%s"
                        "  --simulate FILE   update the instruments of a simulator scenario (also VESK_SIMULATE)\n"
                        "  --folder DIR      the main update folder (with _BOOTER and _ACCESSORI); default:\n"
                        "                    the one the updater would use\n"
                        "  --yes             update without asking \"Proceed?\" (needed when standard input\n"
                        "                    is not a terminal)\n"
                        "  --advanced        update in advanced mode: the versions chosen with --choose,\n"
                        "                    older ones included, and every chosen file written again\n"
                        "  --choose S=V      with --advanced: version V for the unit of serial S\n"
                        "  --behaviour N     answer to a data key's Behaviour Request: 0 update other gauges\n"
                        "                    only if older, 1 always, 2 never (asked on the terminal otherwise)\n"
                        "  --debug           Debug_mode: every message also becomes the status line\n"
                        "  --rehearse        first run the same update on a simulated copy of the connected\n"
                        "                    instrument (captured in memory, virtual time); go on only when\n"
                        "                    it ends with every unit verified, else stop before any write\n"
                        "  --rehearse-only   the rehearsal alone: nothing is written, no --yes needed\n"
                        "  --json            JSON Lines: plan, message, status, progress, wait, write,\n"
                        "                    question, message_box, plan, result; a rehearsal's events carry\n"
                        "                    \"phase\": \"rehearsal\" and end with a rehearsal event\n"
                        "  --no-backup       no copy of the master's configuration, sensors, ECU driver and\n"
                        "                    finish lines first (by default in\n"
                        "                    $XDG_STATE_HOME/vesk-firmup/backups/<serial>-<date>/)\n"
                        "exit status: 0 nothing was pending, or the run (or with --rehearse-only the\n"
                        "rehearsal) finished and every unit reports the version it was to get; 1 the run or\n"
                        "the rehearsal stopped, met an error or left a unit unverified;\n"
                        "2 usage; 3 no instrument or more than one;\n"
                        "4 the instrument was found but may not be opened\n",
                        vesk::TermLines{kUsage});
            return kExitOk;
        } else {
            return Usage("unexpected argument " + a);
        }
    }
    if (const int status = CheckPlanRequest("update", rq.plan); status >= 0) return status;
    return RunOnBus("update", rq.plan.scenario_file, [&](vesk::sim::SimBus* bus) {
        session_ran = true;
        UpdateSession session(rq, bus);
        return session.Run();
    });
}

}  // namespace vesk::cli
