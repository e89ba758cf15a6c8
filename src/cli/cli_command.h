#pragma once
// The subcommands of vesk-firmup-cli. Each lives in its own file and is listed
// once in main.cpp's table.
#include <string>
#include <vector>

namespace vesk::cli {

struct CliCommand {
    const char* name;
    const char* usage;    // the argument synopsis after the name
    const char* summary;  // one line for --help
    // Arguments after the subcommand's name; returns the exit status.
    int (*run)(const std::vector<std::string>& args);
    // Talks to an instrument: holds the instrument's lock while it runs.
    bool opens_instrument = false;
};

// Exit statuses shared by the subcommands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotOne = 3;  // no instrument, or more than one
inline constexpr int kExitDenied = 4;  // the instrument was found but may not be opened

// The device paths this command was refused for lack of permission.
std::vector<std::string> DeniedPaths();
// The device paths this command found held by another program.
std::vector<std::string> BusyPaths();
// When no instrument could be used: each one refused for lack of permission
// (and what to do about it) or held by another program (exit status 4), else
// none_line (3); on standard error.
int NoInstrumentExit(const char* command, const std::string& none_line);
// What to do about the refused instruments, on standard error.
void PrintAccessAdvice();

// A command given --json that ends before its own JSON still prints one line
// on standard output: update its result event (outcome why), any other
// command an error object {"error": why, "status": status}. Nothing without
// --json or when status is 0.
void PrintJsonStop(const char* command, const std::vector<std::string>& args, int status, const char* why);

// A number in decimal or, with "0x", hexadecimal; false when the text is not
// wholly a number in range.
bool ParseNumber(const std::string& text, long long min, long long max, long long& out);

int RunSrec2Bin(const std::vector<std::string>& args);
int RunList(const std::vector<std::string>& args);
int RunPlan(const std::vector<std::string>& args);
int RunDump(const std::vector<std::string>& args);
int RunRead(const std::vector<std::string>& args);
int RunWrite(const std::vector<std::string>& args);
int RunUpdate(const std::vector<std::string>& args);
int RunCapture(const std::vector<std::string>& args);

}  // namespace vesk::cli
