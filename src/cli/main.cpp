// vesk-firmup-cli: the updater in a terminal.
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "instrument_lock.h"
#include "common/clock.h"
#include "common/command_line.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "run_signals.h"
#include "terminal_surface.h"
#include "usb/backend/access_watch.h"

namespace {

using vesk::cli::CliCommand;

const CliCommand kCommands[] = {
    {"list", "[--simulate FILE] [--folder DIR] [--json] [--ident]",
     "list the instruments on USB with their net of slaves (with --folder: the update files found for each unit)", vesk::cli::RunList, true},
    {"plan", "[--simulate FILE] [--folder DIR] [--json] [--advanced] [--choose SERIAL=VERSION ...]",
     "refresh the update plan once and show the device list and the status line as the updater would", vesk::cli::RunPlan, true},
    {"dump", "[--simulate FILE] FILE",
     "write the memory of the one instrument connected to FILE, as the window's Dump does", vesk::cli::RunDump, true},
    {"read", "[--simulate FILE] WHAT FILE",
     "read config, sensors, ecu, finish-lines, ict or samples of the one instrument into FILE (raw bytes)",
     vesk::cli::RunRead, true},
    {"write", "[--simulate FILE] WHAT FILE",
     "write FILE into the config, sensors, ecu or finish-lines of the one instrument and check it",
     vesk::cli::RunWrite, true},
    {"update",
     "[--simulate FILE] [--folder DIR] [--yes] [--advanced] [--choose SERIAL=VERSION ...] [--behaviour 0|1|2] "
     "[--debug] [--json] [--no-backup] [--rehearse | --rehearse-only] [--each [--count N] [--report FILE]]",
     "show the plan, then update the instrument and its slaves as the updater's Execute button does, and check "
     "every unit afterwards; with --rehearse, first on a simulated copy of it; with --each, one instrument after "
     "another with a report row each", vesk::cli::RunUpdate, true},
    {"capture", "FILE [--simulate FILE]",
     "write what is connected (identities, chip, capability record, net and slaves) as a simulator scenario; "
     "only reads", vesk::cli::RunCapture, true},
    {"srec2bin", "--base ADDR --size N [--no-header] [--checksum-offset K|-1] IN OUT",
     "load an S-record file into an image as the writers do and write the image", vesk::cli::RunSrec2Bin},
};

void PrintHelp(FILE* out) {
    vesk::TermPrint(out, "Usage: vesk-firmup-cli [OPTIONS] COMMAND [ARGS]\n\nCommands:\n");
    for (const auto& c : kCommands) vesk::TermPrint(out, "  %s %s\n      %s\n", c.name, vesk::TermLines{c.usage}, vesk::TermLines{c.summary});
    vesk::TermPrint(out,
                 "\nOptions (anywhere on the line; --name=value is --name value; after --, nothing is an option):\n"
                 "  -h, --help     show this text (after a command: that command's help)\n"
                 "  -V, --version  show the version\n"
                 "  --verbose      show the log on standard error\n"
                 "\nExit status: 0 done, 1 failed, 2 usage, 3 no instrument or more than one,\n"
                 "4 the instrument was found but may not be opened (permission denied, or another program holds it)\n"
                 "\nEvery command that opens an instrument waits while another program holds it;\n"
                 "with --no-wait it exits with status 1 instead.\n");
}

// A command on a simulated scenario of its own touches no instrument.
bool OnScenario(const std::vector<std::string>& args) {
    const char* env = std::getenv("VESK_SIMULATE");
    return (env && *env) || std::find(args.begin(), args.end(), "--simulate") != args.end();
}

// The watch over the carrier while a command runs.
vesk::usb::CAccessWatchBackend* g_watch = nullptr;

}  // namespace

namespace vesk::cli {

std::vector<std::string> DeniedPaths() { return g_watch ? g_watch->Denied() : std::vector<std::string>{}; }
std::vector<std::string> BusyPaths() { return g_watch ? g_watch->Busy() : std::vector<std::string>{}; }

void PrintAccessAdvice() {
    // Several lines of the program's own: the commands in them are meant to be pasted.
    const std::string advice = vesk::to_utf8(vesk::usb::AccessDeniedAdvice(vesk::usb::CurrentAccessSetting()));
    vesk::TermPrint(stderr, "%s\n", vesk::TermLines{advice});
}

int NoInstrumentExit(const char* command, const std::string& none_line) {
    const std::vector<std::string> denied = DeniedPaths(), busy = BusyPaths();
    if (denied.empty() && busy.empty()) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n", command, none_line.c_str());
        return kExitNotOne;
    }
    for (const auto& path : denied)
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n", command,
                     vesk::to_utf8(vesk::usb::AccessDeniedLine(vesk::from_utf8(path))).c_str());
    for (const auto& path : busy)
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n", command,
                     vesk::to_utf8(vesk::usb::AccessBusyLine(vesk::from_utf8(path))).c_str());
    if (!denied.empty()) PrintAccessAdvice();
    return kExitDenied;
}

}  // namespace vesk::cli

int main(int argc, char** argv) {
    // Before any thread is made: each inherits the signals blocked.
    vesk::cli::WatchSignals();
    std::setlocale(LC_ALL, "");
    // The log's console lines would mix with the output: shown only on request.
    vesk::set_log_console(nullptr);
    // The program's own options count anywhere before "--"; a command's --help is its own.
    std::vector<std::string> args;
    const CliCommand* command = nullptr;
    bool operands = false;
    for (const std::string& a : vesk::NormaliseArgs(argc, argv)) {
        if (operands) {
            args.push_back(a);
        } else if (a == "--") {
            operands = true;
            args.push_back(a);
        } else if (a == "--version") {
            vesk::TermPrint(stdout, "vesk-firmup-cli %s\n", VESK_VERSION);
            return vesk::cli::kExitOk;
        } else if (a == "--verbose") {
            vesk::set_log_console(stderr);
        } else if (command) {
            args.push_back(a);
        } else if (a == "--help") {
            PrintHelp(stdout);
            return vesk::cli::kExitOk;
        } else if (a.rfind("-", 0) == 0) {
            vesk::TermPrint(stderr, "vesk-firmup-cli: unknown option %s (see --help)\n", a.c_str());
            return vesk::cli::kExitUsage;
        } else {
            for (const auto& c : kCommands)
                if (a == c.name) command = &c;
            if (!command) {
                vesk::TermPrint(stderr, "vesk-firmup-cli: unknown command %s (see --help)\n", a.c_str());
                return vesk::cli::kExitUsage;
            }
        }
    }
    if (!command) {
        PrintHelp(stderr);
        return vesk::cli::kExitUsage;
    }
    // A "--" with nothing after it changes nothing.
    if (!args.empty() && args.back() == "--") args.pop_back();
    // Under vesk-sim run the program's waits keep pace with the served instruments.
    const auto scaled_clock = vesk::ClockFromEnvironment();
    std::optional<vesk::ScopedClock> scoped_clock;
    if (scaled_clock) scoped_clock.emplace(*scaled_clock);
    // Every run keeps its log file, as the window program does.
    CEvtLogUtils::SetupLogFile(L"VeskFirmwareUpdater");
    // On a terminal every long wait says what it is for, the lock's among them;
    // JSON and pipes get nothing of it.
    std::optional<vesk::cli::TerminalSurface> wait_line;
    std::optional<vesk::ScopedWaitObserver> waits_said;
    if (::isatty(STDERR_FILENO) && std::find(args.begin(), args.end(), "--json") == args.end()) {
        wait_line.emplace(vesk::cli::TerminalSurface::Options{.bar = true, .behaviour = std::nullopt});
        waits_said.emplace(&*wait_line);
    }
    if (command->opens_instrument) {
        const bool no_wait = std::erase(args, std::string("--no-wait")) > 0;
        // Another program on the same instrument would break its requests or ours.
        if (!OnScenario(args)) {
            // A signal during the wait ends it, with the command's JSON end.
            vesk::cli::SetStoppableWait(true);
            const bool taken = vesk::cli::ProcessLocks().TakeForCommand(command->name, no_wait);
            vesk::cli::SetStoppableWait(false);
            if (!taken) {
                const int stopped = vesk::cli::StoppedRunStatus();
                const int status = stopped >= 0 ? stopped : vesk::cli::kExitFailed;
                const char* why = stopped >= 0                               ? "interrupted"
                                  : vesk::cli::ProcessLocks().Refused() ? "failed"
                                                                        : "busy";
                vesk::cli::PrintJsonStop(command->name, args, status, why);
                CEvtLogUtils::ReleaseLogFile();
                return status;
            }
        }
    }
    // An instrument refused for lack of permission is otherwise just missing.
    vesk::usb::CAccessWatchBackend watch(vesk::usb::process_backend());
    vesk::usb::ScopedBackend watched(watch);
    g_watch = &watch;
    const int status = command->run(args);
    g_watch = nullptr;
    CEvtLogUtils::ReleaseLogFile();
    return status;
}
