// libFuzzer target: the simulator's scenario parser on arbitrary text. A
// scenario that loads must give a bus whose instruments are listed, each
// once. A trace file named by the input is redirected to a file of the
// fuzzer's own, so no input can make the parser create files elsewhere.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fuzz_file.h"
#include "log/evt_log.h"
#include "sim/sim_scenario.h"

namespace {

std::string g_trace;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    g_trace = vesk::fuzz::TempPath("scenario", "-trace.txt");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_discarded() && j.is_object() && j.contains("trace_file") && j["trace_file"].is_string()) {
        j["trace_file"] = g_trace;
        text = j.dump();
    }
    vesk::sim::Scenario scenario;
    std::string error;
    if (!vesk::sim::ParseScenario(text, "f.json", &scenario, &error)) {
        // A refusal names the file.
        if (error.rfind("f.json", 0) != 0) std::abort();
        return 0;
    }
    auto bus = vesk::sim::MakeBus(scenario);
    if (!bus) std::abort();
    std::vector<std::string> paths;
    if (!bus->ListDevices(paths, nullptr)) std::abort();
    const std::set<std::string> unique(paths.begin(), paths.end());
    if (unique.size() != paths.size() || paths.size() != scenario.instruments.size()) std::abort();
    bus.reset();
    ::unlink(g_trace.c_str());
    return 0;
}
