// vesk-firmup-cli: the updater in a terminal.
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli_command.h"
#include "instrument_lock.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "run_signals.h"
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
     "[--debug] [--json] [--no-backup] [--rehearse | --rehearse-only]",
     "show the plan, then update the instrument and its slaves as the updater's Execute button does, and check "
     "every unit afterwards; with --rehearse, first on a simulated copy of it", vesk::cli::RunUpdate, true},
    {"capture", "FILE [--simulate FILE]",
     "write what is connected (identities, chip, capability record, net and slaves) as a simulator scenario; "
     "only reads", vesk::cli::RunCapture, true},
    {"srec2bin", "--base ADDR --size N [--no-header] [--checksum-offset K|-1] IN OUT",
     "load an S-record file into an image as the writers do and write the image", vesk::cli::RunSrec2Bin},
};

void PrintHelp(FILE* out) {
    std::fprintf(out, "Usage: vesk-firmup-cli [--verbose] COMMAND [ARGS]\n\nCommands:\n");
    for (const auto& c : kCommands) std::fprintf(out, "  %s %s\n      %s\n", c.name, c.usage, c.summary);
    std::fprintf(out,
                 "\nOptions:\n  --help     show this text\n  --version  show the version\n"
                 "  --verbose  show the log on standard error\n"
                 "\nEvery command that opens an instrument waits while another program holds it;\n"
                 "with --no-wait (after the command's name) it exits with status 1 instead.\n");
}

// A command on a simulated scenario of its own touches no instrument.
bool OnScenario(const std::vector<std::string>& args) {
    const char* env = std::getenv("VESK_SIMULATE");
    return (env && *env) || std::find(args.begin(), args.end(), "--simulate") != args.end();
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread is made: each inherits the signals blocked.
    vesk::cli::WatchSignals();
    std::setlocale(LC_ALL, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    // The log's console lines would mix with the output: shown only on request.
    vesk::set_log_console(nullptr);
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        if (args[i] == "--help") {
            PrintHelp(stdout);
            return vesk::cli::kExitOk;
        }
        if (args[i] == "--version") {
            std::printf("vesk-firmup-cli %s\n", VESK_VERSION);
            return vesk::cli::kExitOk;
        }
        if (args[i] == "--verbose") {
            vesk::set_log_console(stderr);
            continue;
        }
        std::fprintf(stderr, "vesk-firmup-cli: unknown option %s\n", args[i].c_str());
        return vesk::cli::kExitUsage;
    }
    if (i == args.size()) {
        PrintHelp(stderr);
        return vesk::cli::kExitUsage;
    }
    // Under vesk-sim run the program's waits keep pace with the served instruments.
    const auto scaled_clock = vesk::ClockFromEnvironment();
    std::optional<vesk::ScopedClock> scoped_clock;
    if (scaled_clock) scoped_clock.emplace(*scaled_clock);
    for (const auto& c : kCommands) {
        if (args[i] != c.name) continue;
        // Every run keeps its log file, as the window program does.
        CEvtLogUtils::SetupLogFile(L"VeskFirmwareUpdater");
        std::vector<std::string> command_args(args.begin() + static_cast<long>(i) + 1, args.end());
        if (c.opens_instrument) {
            const bool no_wait = std::erase(command_args, std::string("--no-wait")) > 0;
            // Another program on the same instrument would break its requests or ours.
            if (!OnScenario(command_args) && !vesk::cli::ProcessLocks().TakeForCommand(c.name, no_wait)) {
                CEvtLogUtils::ReleaseLogFile();
                return vesk::cli::kExitFailed;
            }
        }
        // An instrument refused for lack of permission is otherwise just missing.
        vesk::usb::CAccessWatchBackend watch(vesk::usb::process_backend());
        vesk::usb::ScopedBackend watched(watch);
        const int status = c.run(command_args);
        for (const auto& path : watch.Denied())
            std::fprintf(stderr, "vesk-firmup-cli: %s\n",
                         vesk::to_utf8(vesk::usb::AccessDeniedAdvice(vesk::from_utf8(path))).c_str());
        CEvtLogUtils::ReleaseLogFile();
        return status;
    }
    std::fprintf(stderr, "vesk-firmup-cli: unknown command %s (see --help)\n", args[i].c_str());
    return vesk::cli::kExitUsage;
}
