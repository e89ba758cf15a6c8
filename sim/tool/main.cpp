// vesk-sim: the instrument simulator as a tool: checks and prints scenarios,
// and makes test firmware.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/command_line.h"
#include "common/terminal_text.h"
#include "firmware_maker.h"
#include "run_command.h"
#include "sim/sim_scenario.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kMakeFirmwareUsage[] =
    "usage: vesk-sim make-firmware --base ADDR --size N --version TEXT [--records S1|S2|S3] "
    "[--fill-percent P] [--no-stamp] --out FILE\n";

int Usage(const char* why) {
    vesk::TermPrint(stderr, "vesk-sim make-firmware: %s\n%s", why, vesk::TermLines{kMakeFirmwareUsage});
    return kExitUsage;
}

bool ParseU32(const std::string& text, uint32_t& out) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int MakeFirmware(const std::vector<std::string>& args) {
    vesk::sim::FirmwareRequest request;
    std::string out_path;
    bool have_base = false, have_size = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--no-stamp") {
            request.stamp = false;
            continue;
        }
        if (i + 1 >= args.size()) return Usage(("missing value for " + a).c_str());
        const std::string& v = args[++i];
        uint32_t n = 0;
        if (a == "--base") {
            if (!ParseU32(v, request.base)) return Usage("--base needs an address");
            have_base = true;
        } else if (a == "--size") {
            if (!ParseU32(v, request.size) || request.size == 0) return Usage("--size needs a positive size");
            have_size = true;
        } else if (a == "--version") {
            request.version = v;
        } else if (a == "--records") {
            if (v != "S1" && v != "S2" && v != "S3") return Usage("--records is S1, S2 or S3");
            request.recordType = v[1] - '0';
        } else if (a == "--fill-percent") {
            if (!ParseU32(v, n) || n > 100) return Usage("--fill-percent is 0 to 100");
            request.fillPercent = static_cast<int>(n);
        } else if (a == "--out") {
            out_path = v;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (!have_base || !have_size || request.version.empty() || out_path.empty())
        return Usage("--base, --size, --version and --out are needed");
    std::string error;
    const std::string text = vesk::sim::MakeFirmwareText(request, error);
    if (text.empty()) return Usage(error.c_str());
    std::string why;
    if (!vesk::write_file_atomically(out_path, text.data(), text.size(), vesk::FileTarget::UserNamed, &why)) {
        vesk::TermPrint(stderr, "vesk-sim make-firmware: cannot write %s: %s\n", out_path.c_str(), why.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

const char kCheckUsage[] = "usage: vesk-sim check SCENARIO\n";

std::string Bcd(uint8_t v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", v);
    return buf;
}

// Loads a scenario as the programs would and prints what it holds.
int Check(std::vector<std::string> args) {
    // "--" only says that what follows is no option.
    if (!args.empty() && args[0] == "--") args.erase(args.begin());
    else if (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
        vesk::TermPrint(stderr, "vesk-sim check: unknown option %s\n%s", args[0].c_str(), vesk::TermLines{kCheckUsage});
        return kExitUsage;
    }
    if (args.size() != 1) {
        vesk::TermPrint(stderr, "vesk-sim check: one scenario file is needed\n%s", vesk::TermLines{kCheckUsage});
        return kExitUsage;
    }
    vesk::sim::Scenario sc;
    std::string error;
    if (!vesk::sim::LoadScenarioFile(args[0], &sc, &error)) {
        vesk::TermPrint(stderr, "vesk-sim check: %s\n", error.c_str());
        return kExitFailed;
    }
    vesk::TermPrint(stdout, "%s: %zu instrument(s), %s\n", args[0].c_str(), sc.instruments.size(),
                sc.time_scale > 0 ? ("real time scaled by " + std::to_string(sc.time_scale)).c_str()
                                  : "virtual time");
    for (const auto& in : sc.instruments) {
        vesk::TermPrint(stdout, "  %s code %u serial %u firmware %s.%s.%s booter %s.%s %s chip %s\n",
                    in.path.empty() ? "(next free port)" : in.path.c_str(), in.code, in.serial,
                    Bcd(in.fw_major).c_str(), Bcd(in.fw_minor).c_str(), Bcd(in.fw_build).c_str(),
                    Bcd(in.boot_major).c_str(), Bcd(in.boot_minor).c_str(),
                    in.in_booter ? "in booter" : "in firmware", in.d11 ? "D11" : "D12");
        if (in.present_from_ms > 0 || in.present_until_ms)
            vesk::TermPrint(stdout, "    plugged in at %llu ms, %s\n", static_cast<unsigned long long>(in.present_from_ms),
                            in.present_until_ms ? ("pulled out at " + std::to_string(*in.present_until_ms) + " ms").c_str()
                                                : "never pulled out");
        for (const auto& sl : in.net.slaves)
            vesk::TermPrint(stdout, "    slave %u code %u serial %u firmware %s.%s.%s booter %s.%s %s\n", sl.number,
                        sl.code, sl.serial, Bcd(sl.fw_major).c_str(), Bcd(sl.fw_minor).c_str(),
                        Bcd(sl.fw_build).c_str(), Bcd(sl.boot_major).c_str(), Bcd(sl.boot_minor).c_str(),
                        sl.in_booter ? "in booter" : "in firmware");
    }
    return kExitOk;
}

// The program's own -h and -V anywhere before "--", as the terminal tool
// takes them: the command's help after a command; --version is
// make-firmware's own option there. The command and its arguments are left.
std::vector<std::string> TakeGlobalOptions(std::vector<std::string> args, bool& help, bool& version) {
    help = version = false;
    std::vector<std::string> left;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            left.insert(left.end(), args.begin() + long(i), args.end());
            break;
        }
        const bool own_version = !left.empty() && left[0] == "make-firmware";
        if (a == "--help") help = true;
        else if (a == "--version" && !own_version) version = true;
        else left.push_back(a);
        // make-firmware's --version takes a value.
        if (a == "--version" && own_version && i + 1 < args.size()) left.push_back(args[++i]);
    }
    return left;
}

// "--" between run's scenario and its command stays; one before the scenario
// only says that the scenario is no option.
std::vector<std::string> RunArguments(std::vector<std::string> rest) {
    if (rest.size() >= 3 && rest[0] == "--" && rest[2] == "--") rest.erase(rest.begin());
    return rest;
}

}  // namespace

int main(int argc, char** argv) {
    // "--" ends the options: what follows is run's command, untouched.
    bool help = false, version = false;
    const std::vector<std::string> args = TakeGlobalOptions(vesk::NormaliseArgs(argc, argv), help, version);
    if (version) {
        vesk::TermPrint(stdout, "vesk-sim %s\n", VESK_VERSION);
        return kExitOk;
    }
    if (args.empty()) {
        vesk::TermPrint(help ? stdout : stderr,
                     "usage: vesk-sim COMMAND [ARGS]\n       vesk-sim -h|--help | -V|--version\n\n"
                     "  check: %s  make-firmware: %s  run: %s", vesk::TermLines{kCheckUsage + 7},
                     vesk::TermLines{kMakeFirmwareUsage + 7}, vesk::TermLines{vesk::sim::kRunUsage + 7});
        return help ? kExitOk : kExitUsage;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "check") {
        if (help) return vesk::TermPrint(stdout, "%s", vesk::TermLines{kCheckUsage}), kExitOk;
        return Check(rest);
    }
    if (args[0] == "run") {
        if (help) return vesk::TermPrint(stdout, "%s", vesk::TermLines{vesk::sim::kRunUsage}), kExitOk;
        return vesk::sim::RunServed(RunArguments(rest));
    }
    if (args[0] == "make-firmware") {
        if (help) return vesk::TermPrint(stdout, "%s", vesk::TermLines{kMakeFirmwareUsage}), kExitOk;
        return MakeFirmware(rest);
    }
    vesk::TermPrint(stderr, "vesk-sim: unknown command %s (see --help)\n", args[0].c_str());
    return kExitUsage;
}
