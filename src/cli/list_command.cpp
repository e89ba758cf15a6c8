// list: the instruments on USB (or on a simulated bus) with their net.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_command.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "device/connection_strumento_base.h"
#include "device/model_names.h"
#include "sim/sim_scenario.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_connection.h"

namespace vesk::cli {

namespace {

int Usage(const char* why) {
    std::fprintf(stderr,
                 "vesk-firmup-cli list: %s\n"
                 "usage: vesk-firmup-cli list [--simulate FILE] [--json] [--ident]\n",
                 why);
    return kExitUsage;
}

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

// What master and slave entries share.
nlohmann::ordered_json IdentJson(const INFOIDENT& id, bool with_dump) {
    nlohmann::ordered_json j;
    j["code"] = id.loggerCode();
    j["model"] = U8(GetNomeStrumento(id.loggerCode()));
    j["serial"] = U8(id.GetSerialText());
    j["firmware"] = U8(id.FirmwareVersionText());
    j["booter"] = U8(id.BooterVersionText());
    j["in_booter"] = id.IsInBooter();
    if (with_dump) j["ident"] = U8(id.DumpText());
    return j;
}

void PrintIdent(const char* indent, const INFOIDENT& id, bool with_dump) {
    std::printf("%scode %u  %s  serial %s  firmware %s  booter %s%s\n", indent,
                unsigned(id.loggerCode()), U8(GetNomeStrumento(id.loggerCode())).c_str(),
                U8(id.GetSerialText()).c_str(), U8(id.FirmwareVersionText()).c_str(),
                U8(id.BooterVersionText()).c_str(), id.IsInBooter() ? "  (in booter)" : "");
    if (with_dump) std::printf("%s\n", U8(id.DumpText()).c_str());
}

// Reads the master's net through the connection base; false when it could not.
bool ReadNet(CDeviceInfo& info) {
    CConnectionStrumentoBase conn;
    if (!conn.Connetti(&info)) return false;
    const bool ok = conn.LeggiNetTable(true, false);
    conn.Chiudi();
    return ok;
}

int List(bool json, bool ident) {
    std::vector<CDeviceInfo> found;
    if (!IUSBConnection::GetListaDeviceCollegati(found)) {
        std::fprintf(stderr, "vesk-firmup-cli list: the instruments could not be listed\n");
        return kExitFailed;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (auto& info : found) {
        const std::string path = U8(info.GetDevicePath());
        if (!ReadNet(info)) {
            std::fprintf(stderr, "vesk-firmup-cli list: the net of %s could not be read\n",
                         path.c_str());
            info.BuildDisplayName({});
        }
        if (json) {
            nlohmann::ordered_json m;
            m["path"] = path;
            const auto master = IdentJson(info.Ident(), ident);
            for (const auto& [k, v] : master.items()) m[k] = v;
            m["display_name"] = U8(info.GetDisplayName());
            m["slaves"] = nlohmann::ordered_json::array();
            for (size_t s = 0; s < CConnectionStrumentoBase::kNetSlots; ++s) {
                if (info.NetTable().SlaveCode(s) == 0) continue;
                nlohmann::ordered_json sj;
                sj["number"] = s + 1;
                const auto slave = IdentJson(info.SlaveIdent(s), ident);
                for (const auto& [k, v] : slave.items()) sj[k] = v;
                m["slaves"].push_back(sj);
            }
            out.push_back(m);
        } else {
            std::printf("%s  %s\n", path.c_str(), U8(info.GetDisplayName()).c_str());
            PrintIdent("  ", info.Ident(), ident);
            for (size_t s = 0; s < CConnectionStrumentoBase::kNetSlots; ++s) {
                if (info.NetTable().SlaveCode(s) == 0) continue;
                std::printf("  slave %zu: ", s + 1);
                PrintIdent("", info.SlaveIdent(s), ident);
            }
        }
    }
    if (json) std::printf("%s\n", out.dump(2).c_str());
    else if (found.empty()) std::printf("no instruments found\n");
    return kExitOk;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
    bool json = false, ident = false;
    std::string scenario_file;
    if (const char* env = std::getenv("VESK_SIMULATE"); env && *env) scenario_file = env;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--ident") {
            ident = true;
        } else if (a == "--simulate") {
            if (i + 1 >= args.size()) return Usage("--simulate needs a scenario file");
            scenario_file = args[++i];
        } else if (a == "--help") {
            std::printf("usage: vesk-firmup-cli list [--simulate FILE] [--json] [--ident]\n"
                        "  --simulate FILE  list the instruments of a simulator scenario\n"
                        "                   (also VESK_SIMULATE)\n"
                        "  --json           one JSON array of the instruments\n"
                        "  --ident          add each identity record's fields\n");
            return kExitOk;
        } else {
            return Usage(("unexpected argument " + a).c_str());
        }
    }
    if (scenario_file.empty()) return List(json, ident);

    vesk::sim::Scenario scenario;
    std::string error;
    if (!vesk::sim::LoadScenarioFile(scenario_file, &scenario, &error)) {
        std::fprintf(stderr, "vesk-firmup-cli list: %s\n", error.c_str());
        return kExitFailed;
    }
    // Simulated waits take no real time unless the scenario asks for it; the
    // bus is made on that clock so its trace starts at its time 0.
    const auto clock = vesk::sim::MakeScenarioClock(scenario.time_scale);
    vesk::ScopedClock scoped_clock(*clock);
    auto bus = vesk::sim::MakeBus(scenario);
    vesk::usb::ScopedBackend backend(*bus);
    return List(json, ident);
}

}  // namespace vesk::cli
