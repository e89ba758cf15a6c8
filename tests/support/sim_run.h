#pragma once
// Runs a command under "vesk-sim run": the scenario's instruments served as
// USB devices through umockdev, so the command meets them through the
// system's libusb. The tests that use it fail (never skip) when umockdev's
// preload is missing: the command then simply finds no instrument.
#include <string>

#include "../cli/run_tool.h"
#include "temp_dir.h"

namespace vesk::test {

class SimRun {
public:
    // vesk_sim: the built vesk-sim program.
    explicit SimRun(std::string vesk_sim) : vesk_sim_(std::move(vesk_sim)) {}

    // Writes the scenario and runs command (a shell command line) under it,
    // without a simulated bus of the program's own (VESK_SIMULATE unset).
    // Standard output and error come back together.
    ToolResult Run(const std::string& scenario_json, const std::string& command) {
        const std::string file = dir_.file("scenario" + std::to_string(++count_) + ".json");
        dir_.write(file.substr(dir_.path().size() + 1), scenario_json);
        return RunTool(vesk_sim_ + " run " + Quote(file) + " -- env -u VESK_SIMULATE sh -c " + Quote(command));
    }

    // As Run, with standard error left out of the output.
    ToolResult RunQuietly(const std::string& scenario_json, const std::string& command) {
        return Run(scenario_json, "(" + command + ") 2>/dev/null");
    }

    const TempDir& dir() const { return dir_; }

private:
    std::string vesk_sim_;
    TempDir dir_;
    int count_ = 0;
};

}  // namespace vesk::test
