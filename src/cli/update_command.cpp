// update: the updater's main job in a terminal. The plan first; then, when
// something is pending and the user agrees, the update run itself, the wait
// for the restarted master, and a check of every unit against what the plan
// said it would get.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/terminal_text.h"
#include "bench_report.h"
#include "cli_command.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "common/wait_notice.h"
#include "plan_view.h"
#include "rehearsal/rehearsal.h"
#include "update/after_run.h"
#include "run_signals.h"
#include "simulation.h"
#include "terminal_surface.h"
#include "instrument_lock.h"
#include "update/run_summary.h"
#include "logind_inhibitor.h"
#include "log/evt_log.h"
#include "update/stop_request.h"
#include "usb/backend/usb_backend.h"

namespace vesk::cli {

namespace {

const char* kUsage =
    "usage: vesk-firmup-cli update [--simulate FILE] [--folder DIR] [--yes] [--advanced]\n"
    "                              [--choose SERIAL=VERSION ...] [--behaviour 0|1|2] [--debug] [--json]\n"
    "                              [--no-backup] [--rehearse | --rehearse-only]\n"
    "       vesk-firmup-cli update --each [--count N] [--report FILE] [--yes] [--folder DIR] [--json] ...\n";

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
    bool each = false;             // a bench: one instrument after another
    std::optional<size_t> count;   // that many, else until stopped
    std::string report;            // the bench's report file
};

using RunOutcome = CUpdateProcedure::RunOutcome;

// As after any arrival: the instrument settles before it is read.
constexpr uint32_t kAfterArrivalMs = 2200;

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

// A line from standard input; empty when a stop was asked for (or the input
// ended) before one came.
void AwaitLine(std::string& line) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {StopWakeFd(), POLLIN, 0}};
    for (;;) {
        if (vesk::update::StopRequested()) return;
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (vesk::update::StopRequested()) return;
        if (n < 0 || fds[0].revents) break;
    }
    std::getline(std::cin, line);
}

// Rows under their header row, each column as wide as its widest cell.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(rows[0].size());
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c)
            line += r[c] + (c + 1 < r.size() ? std::string(width[c] - r[c].size() + 2, ' ') : "");
        vesk::TermPrint(stdout, "%s\n", line.c_str());
    }
}

class UpdateSession {
public:
    UpdateSession(const UpdateRequest& rq, CliDetection& detection)
        : rq_(rq),
          detection_(detection),
          surface_({.json = rq.plan.json,
                    .bar = ::isatty(STDERR_FILENO) != 0,
                    .ask = ::isatty(STDIN_FILENO) != 0,
                    .behaviour = rq.behaviour}),
          proc_(surface_, detection_.Switch(), &locks_,
                {.main_folder = rq.plan.folder,
                 .debug_mode = rq.debug,
                 .advanced_mode = rq.plan.advanced,
                 .advanced_allowed = rq.plan.advanced,
                 .backup = rq.backup}),
          // The long waits of the device layer go on the bar's line.
          waits_said_(::isatty(STDERR_FILENO) && !rq.plan.json ? &surface_ : nullptr) {}

    int Run() {
        // Ctrl-C while the plan is read ends the command once it is read.
        SetStoppableWait(true);
        const int refreshed = Refresh();
        SetStoppableWait(false);
        if (const int status = StoppedRunStatus(); status >= 0) return Finish({status, "interrupted"});
        if (const int status = refreshed; status >= 0) return status;
        ShowPlan();
        const Ending ending = UpdatePlanned(true);
        return ending.outcome ? Finish(ending) : ending.status;
    }

    // The plan of what is connected: -1 to go on, else the exit status.
    int Refresh() {
        proc_.RequestChoices(rq_.plan.choices);
        proc_.AggiornaStrumentiCollegati();
        if (const int status = ChoicesExit("update", proc_); status >= 0) return status;
        if (!rq_.plan.choices.empty()) proc_.SceltePrese();
        return -1;
    }

    // What update does for the instrument whose plan is shown: the run when
    // something is pending (asked for when ask and without --yes), the wait
    // for the restarted master and the check of every unit. An ending
    // without outcome has been told already.
    Ending UpdatePlanned(bool ask) {
        if (const int status = RefreshExit("update", proc_); status >= 0)
            return {status, status == kExitNotOne   ? NotOne()
                            : status == kExitDenied ? "access_denied"
                            : status == kExitOk     ? "nothing_pending"
                                                    : "stopped"};
        net_unread_ = SayNetUnread("update", proc_);
        if (!proc_.UpdatePending()) {
            if (net_unread_) {
                Say("Not updated: without the net its slaves cannot be planned; no instrument was written.");
                return {kExitFailed, "net_unread"};
            }
            Say("Nothing to update: no instrument was written.");
            return {kExitOk, "nothing_pending"};
        }
        // The window's Execute button stays disabled on a plan that refuses the net.
        if (!surface_.State().execute_enabled) {
            Say("The plan does not allow an update: " + U8(surface_.State().status));
            return {kExitFailed, "stopped"};
        }
        if (rq_.rehearse) {
            if (const int status = Rehearse(); status >= 0) return {status, nullptr};
        }
        if (ask && !rq_.yes) {
            if (const int status = Confirm(); status >= 0) return {status, nullptr};
        }

        detection_.ForgetArrivals();
        GoingOn going_on;
        // Asked to stop while the plan was read or asked about: the run never starts.
        if (const int status = StoppedRunStatus(); status >= 0) return {status, "interrupted"};
        const LogindInhibitor inhibitor;
        surface_.SetLive(true);
        proc_.OnBnClickedButtonUpdate();
        const CUpdateProcedure::RunResult& run = proc_.LastRun();
        // Stopped before the instrument was touched: nothing to check.
        if (!vesk::update::RunTouchedInstrument(run.outcome)) {
            surface_.EndBar();
            return Judge(run, false);
        }
        surface_.EndBar();
        const bool verified = vesk::update::ReadAfterRun(
            proc_, {.poll =
                        [this] {
                            detection_.Poll();
                            surface_.PollRestartTimer();
                        },
                    .arrived = [this] { return detection_.Arrived(); },
                    .say = [this](const char* line) { Say(line); },
                    .refreshing = {}});
        ShowSummary();
        ShowPlan();
        return Judge(run, verified);
    }

    // The last line, or the result event; returns the status.
    int Finish(const Ending& ending) {
        if (!rq_.plan.json) {
            if (ending.status == kExitOk && proc_.LastRun().outcome != RunOutcome::NotRun)
                vesk::TermPrint(stdout, "Every unit reports the version it was to get.\n");
            else if (std::string(ending.outcome) == "interrupted")
                vesk::TermPrint(stdout, proc_.LastRun().outcome == RunOutcome::Refused ||
                                                proc_.LastRun().outcome == RunOutcome::NotRun
                                            ? "Stopped before anything was written.\n"
                                            : "The run was stopped on request.\n");
            else if (std::string(ending.outcome) == "net_unread")
                vesk::TermPrint(stdout, "The net of the instrument could not be read: its slaves were neither "
                                        "planned nor checked.\n");
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

    void Say(const std::string& text) {
        if (!rq_.plan.json) surface_.PrintLine(text);
    }

    const CUpdateProcedure& Procedure() const { return proc_; }
    TerminalSurface& Surface() { return surface_; }

private:
    Ending Judge(const CUpdateProcedure::RunResult& run, bool verified) const {
        if (const int status = StoppedRunStatus(); status >= 0) return {status, "interrupted"};
        switch (run.outcome) {
        case RunOutcome::NoInstrument:
        case RunOutcome::SeveralInstruments: return {kExitNotOne, NotOne(run.outcome)};
        case RunOutcome::Finished:
        case RunOutcome::NoSlaveUpdate:
            // Slaves nobody could see were neither planned nor checked.
            if (net_unread_ || proc_.NetUnread()) return {kExitFailed, "net_unread"};
            if (vesk::update::EndedAsPlanned(run, verified)) return {kExitOk, "finished"};
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
        // Its waits take no real time: no countdown to show.
        const vesk::ScopedWaitObserver quiet(nullptr);
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
        // Ctrl-C here ends the question, not the process: nothing was written.
        SetStoppableWait(true);
        AwaitLine(reply);
        SetStoppableWait(false);
        if (const int status = StoppedRunStatus(); status >= 0) {
            vesk::TermPrint(stderr, "\n");
            return Finish({status, "interrupted"});
        }
        if (reply == "y" || reply == "Y" || reply == "yes" || reply == "YES") return -1;
        Say("Not updated: no instrument was written.");
        return Finish({kExitFailed, "refused"});
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
        vesk::TermPrint(stdout, "\n");
        PrintTable(rows);
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

    const UpdateRequest& rq_;
    CliDetection& detection_;
    IVeskSemafori& locks_ = ProcessLocks();
    TerminalSurface surface_;
    CUpdateProcedure proc_;
    const vesk::ScopedWaitObserver waits_said_;
    bool net_unread_ = false;  // the plan was made without the slave table
};

// update --each: instruments plugged in one after another, each updated as
// update does it, one report row each. Arrivals and removals come from
// hardware detection; the bus is listed only when it says something changed.
class BenchSession {
public:
    BenchSession(const UpdateRequest& rq, vesk::sim::SimBus* bus) : rq_(rq), detection_(bus) {}

    int Run() {
        // From here on a signal between instruments stops the bench at once.
        struct BenchOn {
            BenchOn() { SetBenchGoingOn(true); }
            ~BenchOn() { SetBenchGoingOn(false); }
        } bench_on;
        std::string why;
        if (!rq_.report.empty() && !BenchReport::Free(rq_.report, why)) {
            vesk::TermPrint(stderr, "vesk-firmup-cli update: %s\n", why.c_str());
            return End(kExitFailed);
        }
        if (const int status = AskOnce(); status >= 0) return End(status);
        if (!rq_.report.empty()) {
            if (!report_.Create(rq_.report, why)) {
                vesk::TermPrint(stderr, "vesk-firmup-cli update: %s\n", why.c_str());
                return End(kExitFailed);
            }
        }
        begun_ = true;
        detection_.Switch().AvviaGestioneEventiSistema();
        if (!detection_.Listening()) {
            vesk::TermPrint(stderr, "vesk-firmup-cli update: instruments arriving and leaving cannot be heard "
                                    "(no udev here), so --each cannot wait for them\n");
            return End(kExitFailed);
        }
        std::string said;
        while (!rq_.count || rows_.size() < *rq_.count) {
            if (vesk::update::StopRequested()) return End(StopStatus());
            UpdateSession one(rq_, detection_);
            detection_.ForgetArrivals();
            if (const int status = one.Refresh(); status >= 0) return End(status);
            using Refresh = CUpdateProcedure::RefreshOutcome;
            const Refresh seen = one.Procedure().LastRefresh();
            if (seen == Refresh::NoInstrument || seen == Refresh::ListingFailed || seen == Refresh::SeveralInstruments) {
                // Two at once: the plan's own message, until one of them is pulled.
                const std::string line = seen == Refresh::SeveralInstruments
                                             ? U8(one.Surface().State().status)
                                             : std::string("Waiting for an instrument to be plugged in...");
                if (line != said) Say(said = line);
                if (!detection_.WaitForChange(StopWakeFd())) return End(StopStatus());
                if (detection_.Arrived()) vesk::Sleep(kAfterArrivalMs);
                continue;
            }
            said.clear();
            const BenchRow& row = UpdateOne(one);
            if (!report_.Append(row, why)) {
                vesk::TermPrint(stderr, "vesk-firmup-cli update: %s; the bench stops here\n", why.c_str());
                return End(kExitFailed);
            }
            if (const int status = StoppedRunStatus(); status >= 0) return End(status);
            const CDeviceInfo* info = one.Procedure().DeviceInfo();
            // Pulled, and another instrument came in its place while the run
            // waited for it: that one is the next, not this one come back.
            if (row.known && info && one.Procedure().LastRefresh() == Refresh::Planned &&
                info->Ident().ID_logger() != row.serial) {
                if (rq_.count && rows_.size() >= *rq_.count) break;
                continue;
            }
            const std::string unit = row.known ? row.model + " - " + std::to_string(row.serial) : "the instrument";
            const bool last = rq_.count && rows_.size() >= *rq_.count;
            Say(last ? "Unplug " + unit + ": that was the last one." : "Unplug " + unit + " and plug in the next one");
            if (last) break;
            if (!WaitGone(info ? U8(info->GetDevicePath()) : std::string())) return End(StopStatus());
        }
        return End(kExitOk);
    }

private:
    // One instrument whose plan was read: shown, updated and checked as
    // update does it, its result told; its row is kept and returned.
    const BenchRow& UpdateOne(UpdateSession& one) {
        for (const DeviceRowView& r : one.Surface().State().rows)
            if (r.kind == kRowMaster) one.Surface().SetInstrument(r.serial);
        one.ShowPlan();
        const Ending ending = one.UpdatePlanned(false);
        one.Finish(ending);
        rows_.push_back(RowOf(one, ending));
        return rows_.back();
    }

    // -1 to go on, else the exit status: asked once for the whole bench.
    int AskOnce() {
        if (rq_.yes) return -1;
        if (!::isatty(STDIN_FILENO)) {
            vesk::TermPrint(stderr,
                            "vesk-firmup-cli update: standard input is not a terminal, so nobody can be asked; "
                            "add --yes to update without being asked\n");
            return kExitUsage;
        }
        const std::string how_many = rq_.count ? " (" + std::to_string(*rq_.count) + ")" : "";
        vesk::TermPrint(stderr, "Update every instrument plugged in%s, one after another, without asking again? [y/N] ",
                        how_many.c_str());
        std::fflush(stderr);
        std::string reply;
        std::getline(std::cin, reply);
        if (reply == "y" || reply == "Y" || reply == "yes" || reply == "YES") return -1;
        Say("Not updated: no instrument was written.");
        return kExitFailed;
    }

    // Until the instrument at path (any instrument, when path is empty) is
    // gone: true, or false when a stop was asked for.
    bool WaitGone(const std::string& path) {
        for (;;) {
            detection_.ForgetArrivals();
            std::vector<std::string> paths;
            vesk::usb::process_backend().ListDevices(paths, nullptr);
            const bool there = path.empty() ? !paths.empty() : std::find(paths.begin(), paths.end(), path) != paths.end();
            if (!there) return true;
            if (!detection_.WaitForChange(StopWakeFd())) return false;
        }
    }

    static BenchRow RowOf(UpdateSession& one, const Ending& ending) {
        BenchRow row;
        char when[32] = "";
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        if (::gmtime_r(&now, &utc)) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        row.time = when;
        row.log = vesk::log_file_path();
        const CUpdateProcedure::RunResult& run = one.Procedure().LastRun();
        if (!run.units.empty()) {
            for (const auto& u : run.units) {
                const std::string after = u.found ? VersionJson(u.after) : "";
                if (u.row_index == 0) {
                    row.known = true;
                    row.serial = u.serial;
                    row.model = U8(u.device);
                    row.before = VersionJson(u.before);
                    row.after = after;
                } else {
                    row.slaves.push_back({u.serial, VersionJson(u.before), after});
                }
                for (const auto& i : u.images)
                    if (i.written && i.image != L"firmware")
                        row.images.push_back({u.serial, U8(i.image), VersionJson(i.expected)});
            }
            row.backup = U8(run.backup.folder);
        } else {
            // Nothing ran: the plan says what each unit has.
            for (const DeviceRowView& r : one.Surface().State().rows) {
                const std::string firmware = VersionJson(r.columns[kColumnFirmware]);
                if (r.kind == kRowMaster) {
                    row.known = true;
                    row.serial = r.serial;
                    row.model = U8(r.columns[kColumnDevice]);
                    row.before = row.after = firmware;
                } else if (r.kind == kRowSlave) {
                    row.slaves.push_back({r.serial, firmware, firmware});
                }
            }
        }
        row.verified = ending.status == kExitOk;
        row.outcome = row.verified ? (run.outcome == RunOutcome::NotRun ? "nothing to do" : "updated")
                      : StoppedRunStatus() >= 0 && run.outcome != RunOutcome::NotRun ? "stopped"
                                                                                     : "failed";
        return row;
    }

    // The batch as a table and its counts, or the bench event; returns status,
    // made 1 when an instrument failed.
    int End(int status) {
        int updated = 0, nothing = 0, failed = 0;
        for (const BenchRow& r : rows_) (r.outcome == "updated" ? updated : r.outcome == "nothing to do" ? nothing : failed)++;
        if (status == kExitOk && failed > 0) status = kExitFailed;
        if (rq_.plan.json) {
            nlohmann::ordered_json rows = nlohmann::ordered_json::array();
            for (const BenchRow& r : rows_) rows.push_back(RowJson(r));
            vesk::TermWriteJson(stdout, nlohmann::ordered_json{{"event", "bench"},
                                                               {"rows", rows},
                                                               {"updated", updated},
                                                               {"nothing_to_do", nothing},
                                                               {"failed", failed},
                                                               {"status", status}}
                                            .dump());
            return status;
        }
        if (!rows_.empty()) {
            std::vector<std::vector<std::string>> table = {{"", "Serial", "Model", "Before", "After", "Verified", "Outcome"}};
            for (const BenchRow& r : rows_)
                table.push_back({std::to_string(table.size()), r.known ? std::to_string(r.serial) : "?", r.model,
                                 r.before, r.after.empty() ? "(not found)" : r.after, r.verified ? "yes" : "NO",
                                 r.outcome});
            vesk::TermPrint(stdout, "\nThe bench:\n");
            PrintTable(table);
        }
        // Refused before the bench began: its reason was said.
        if (!report_.IsOpen() && rows_.empty() && !begun_) return status;
        vesk::TermPrint(stdout, "%zu instrument(s): %d updated, %d with nothing to do, %d failed%s\n", rows_.size(),
                        updated, nothing, failed, status == StoppedRunStatus() ? "; stopped on request" : "");
        if (report_.IsOpen()) vesk::TermPrint(stdout, "Report: %s\n", report_.Path().c_str());
        return status;
    }

    void Say(const std::string& text) {
        if (!rq_.plan.json) vesk::TermPrint(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }

    // A wait ended without a change: stopped on request, or detection failed.
    static int StopStatus() {
        const int status = StoppedRunStatus();
        return status >= 0 ? status : kExitFailed;
    }

    const UpdateRequest& rq_;
    CliDetection detection_;
    BenchReport report_;
    std::vector<BenchRow> rows_;
    bool begun_ = false;  // asked, and the report made
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

// The number after the option at args[i], within [min, max]; i then points at it.
static bool NumberValue(const std::vector<std::string>& args, size_t& i, long long min, long long max, long long& value) {
    if (i + 1 >= args.size() || !ParseNumber(args[i + 1], min, max, value)) return false;
    ++i;
    return true;
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
        } else if (a == "--each") {
            rq.each = true;
        } else if (a == "--count") {
            long long value = 0;
            if (!NumberValue(args, i, 1, 1000000, value)) return Usage("--count needs a number of instruments from 1 to 1000000");
            rq.count = size_t(value);
        } else if (a == "--report") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return Usage("--report needs a file name");
            rq.report = args[++i];
        } else if (a == "--behaviour") {
            long long value = 0;
            if (!NumberValue(args, i, 0, 2, value)) return Usage("--behaviour needs 0, 1 or 2");
            rq.behaviour = int(value);
        } else if (a == "--help") {
            vesk::TermPrint(stdout, "%s"
                        "  --simulate FILE   update the instruments of a simulator scenario (also VESK_SIMULATE)\n"
                        "  --folder DIR      the main update folder (with _BOOTER and _ACCESSORI); default:\n"
                        "                    UseFolder(DIR)AsMain when given, else for an installed copy\n"
                        "                    ~/.local/share/vesk-firmup/updates/ ($XDG_DATA_HOME), for a\n"
                        "                    build tree its program folder\n"
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
                        "  --each            a bench: wait for an instrument to be plugged in, update it as\n"
                        "                    above, ask for it to be unplugged, and go on with the next one\n"
                        "                    until --count N were handled or Ctrl-C; asked once for all\n"
                        "  --count N         with --each: stop after N instruments\n"
                        "  --report FILE     with --each: one row per instrument, written as soon as it is\n"
                        "                    done; CSV, or JSON Lines when FILE ends in .jsonl; FILE must not\n"
                        "                    exist yet\n"
                        "  --no-backup       no copy of the master's configuration, sensors, ECU driver and\n"
                        "                    finish lines first (by default in\n"
                        "                    $XDG_STATE_HOME/vesk-firmup/backups/<serial>-<date>/)\n"
                        "exit status: 0 nothing was pending, or the run (or with --rehearse-only the\n"
                        "rehearsal) finished and every unit reports the version it was to get; 1 the run or\n"
                        "the rehearsal stopped, met an error or left a unit unverified, or the net of\n"
                        "slaves could not be read (outcome net_unread);\n"
                        "2 usage; 3 no instrument or more than one;\n"
                        "4 the instrument was found but may not be opened;\n"
                        "with --each: 0 every instrument ended verified or had nothing to do, 1 any failed,\n"
                        "130 stopped by Ctrl-C\n",
                        vesk::TermLines{kUsage});
            return kExitOk;
        } else {
            return Usage("unexpected argument " + a);
        }
    }
    if (!rq.each && (rq.count || !rq.report.empty())) return Usage("--count and --report go with --each");
    if (rq.each && (rq.rehearse || !rq.plan.choices.empty()))
        return Usage("--each takes neither --rehearse nor --choose: every instrument gets its own plan");
    if (const int status = CheckPlanRequest("update", rq.plan); status >= 0) return status;
    if (rq.each)
        return RunOnBus("update", rq.plan.scenario_file, [&](vesk::sim::SimBus* bus) {
            session_ran = true;
            BenchSession bench(rq, bus);
            return bench.Run();
        });
    return RunOnBus("update", rq.plan.scenario_file, [&](vesk::sim::SimBus* bus) {
        session_ran = true;
        CliDetection detection(bus);
        UpdateSession session(rq, detection);
        return session.Run();
    });
}

}  // namespace vesk::cli
