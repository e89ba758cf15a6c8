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
