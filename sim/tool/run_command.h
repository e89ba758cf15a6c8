#pragma once
// vesk-sim run: a scenario's instruments served as USB devices to a command.
#include <string>
#include <vector>

namespace vesk::sim {

extern const char kRunUsage[];

// Arguments after "run": SCENARIO -- COMMAND [ARGS]. Returns the command's
// exit status (128 + the signal when a signal ended it), 1 when the devices
// could not be served and 2 for a usage error.
int RunServed(const std::vector<std::string>& args);

}  // namespace vesk::sim
