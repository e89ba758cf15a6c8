// plan: one refresh of the update plan, printed as the window's device list
// and status line would show it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/start_options.h"
#include "cli_command.h"
#include "common/exe_path_name.h"
#include "common/file_system.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/hw_queued_event_source.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "records/model_names.h"
#include "sim/sim_bus.h"
#include "simulation.h"
#include "update/hw_detection_switch.h"
#include "update/recording_surface.h"
#include "update/update_procedure.h"

namespace vesk::cli {

namespace {

constexpr int kExitNotOne = 3;  // no instrument, or more than one

const char* kUsage =
    "usage: vesk-firmup-cli plan [--simulate FILE] [--folder DIR] [--json] [--advanced]\n"
    "                            [--choose SERIAL=VERSION ...]\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "vesk-firmup-cli plan: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

// "01.05.07": two or more digits, then two and two.
bool IsVersionText(const std::string& v) {
    const size_t first = v.find('.');
    if (first == std::string::npos || first < 2 || v.size() != first + 6 || v[first + 3] != '.') return false;
    for (size_t i = 0; i < v.size(); ++i)
        if (i != first && i != first + 3 && !std::isdigit(static_cast<unsigned char>(v[i]))) return false;
    return true;
}

// The firmware versions any file name of folder could stand for: every run of
// digits in a name, read as the catalogue reads a version (10000 and up).
std::set<std::wstring> VersionsInFolder(const std::wstring& folder) {
    std::set<std::wstring> versions;
    std::vector<std::wstring> names;
    FS().ListFiles(folder, names, L"*");
    for (const std::wstring& name : names) {
        for (size_t i = 0; i < name.size();) {
            if (!std::iswdigit(name[i])) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < name.size() && std::iswdigit(name[end])) ++end;
            if (end - i <= 10) {
                const unsigned long long v = std::stoull(name.substr(i, end - i));
                if (v >= 10000 && v <= 0xFFFFFFFFull) {
                    wchar_t text[32];
                    std::swprintf(text, 32, L"%02u.%02u.%02u", unsigned(v / 10000), unsigned(v % 10000 / 100),
                                  unsigned(v % 100));
                    versions.insert(text);
                }
            }
            i = end;
        }
    }
    return versions;
}

const char* KindName(int kind) {
    switch (kind) {
    case kRowMaster: return "master";
    case kRowSlave: return "slave";
    case kRowSlaveToRemove: return "remove";
    case kRowOtherGauge: return "other_gauge";
    }
    return "unknown";
}

nlohmann::ordered_json PlanJson(const CUpdateProcedure& proc, const SurfaceState& state) {
    nlohmann::ordered_json j;
    j["status"] = U8(state.status);
    j["status_colour"] = state.colour == StatusColour::Red ? "red" : "normal";
    j["update_pending"] = proc.UpdatePending();
    j["versions_selectable"] = proc.VersionsSelectable();
    j["rows"] = nlohmann::ordered_json::array();
    for (const DeviceRowView& r : state.rows) {
        nlohmann::ordered_json row;
        if (r.row_index == 0) row["row"] = "M";
        else row["row"] = r.row_index;
        row["kind"] = KindName(r.kind);
        row["device"] = U8(r.columns[kColumnDevice]);
        row["id"] = U8(r.columns[kColumnId]);
        row["booter"] = U8(r.columns[kColumnBooter]);
        row["firmware"] = U8(r.columns[kColumnFirmware]);
        row["available"] = U8(r.columns[kColumnAvailable]);
        row["action"] = U8(r.columns[kColumnAction]);
        row["serial"] = r.serial;
        row["versions"] = nlohmann::ordered_json::array();
        for (const auto& v : r.versions) row["versions"].push_back(U8(v));
        j["rows"].push_back(row);
    }
    return j;
}

// The device list as a table under its headers, then the status line.
void PrintPlan(const SurfaceState& state) {
    static const wchar_t* const kHeaders[kDeviceColumns] = {L"",          L"Device",    L"ID",    L"Booter",
                                                            L"Firmware", L"Available", L"Action"};
    std::vector<DeviceRowTexts> lines(1);
    for (int c = 0; c < kDeviceColumns; ++c) lines[0][size_t(c)] = kHeaders[c];
    for (const DeviceRowView& r : state.rows) lines.push_back(r.columns);
    size_t width[kDeviceColumns] = {};
    for (const auto& l : lines)
        for (size_t c = 0; c < kDeviceColumns; ++c) width[c] = std::max(width[c], l[c].size());
    if (!state.rows.empty()) {
        for (const auto& l : lines) {
            std::wstring out;
            for (size_t c = 0; c < kDeviceColumns; ++c) {
                out += l[c];
                if (c + 1 < kDeviceColumns) out += std::wstring(width[c] - l[c].size() + 2, L' ');
            }
            while (!out.empty() && out.back() == L' ') out.pop_back();
            std::printf("%s\n", U8(out).c_str());
        }
        std::printf("\n");
    }
    std::wstring status = state.status;
    for (size_t p; (p = status.find(L"\r\n")) != std::wstring::npos;) status.replace(p, 2, L"\n");
    std::printf("%s\n", U8(status).c_str());
}

struct Request {
    bool json = false;
    bool advanced = false;
    std::wstring folder;
    std::vector<CUpdateProcedure::RequestedChoice> choices;
};

// A refresh that could not identify the instrument: nothing read, or an
// instrument this program does not update by itself.
int NotIdentified(CUpdateProcedure& proc) {
    CDeviceInfo* info = proc.DeviceInfo();
    IConnectionStrumento* conn = info ? IConnectionStrumento::CreateConnectionToStrumento(info, L"") : nullptr;
    const bool identify_only = conn && !conn->GetIAggiornaFW();
    if (conn) IConnectionStrumento::DeleteConnectionToStrumento(conn);
    if (identify_only) {
        std::fprintf(stderr, "vesk-firmup-cli plan: %s takes no update files of its own\n",
                     U8(GetNomeStrumento(info->Ident().loggerCode())).c_str());
        return kExitOk;
    }
    std::fprintf(stderr, "vesk-firmup-cli plan: the instrument could not be read\n");
    return kExitFailed;
}

int Plan(const Request& rq, vesk::sim::SimBus* bus) {
    // Detection as the window has it; the refresh switches it off and on again.
    std::shared_ptr<IHwEventSourceFactory> sources;
    if (bus) {
        auto queued = std::make_shared<CHwQueuedSourceFactory>();
        bus->set_presence_observer([queued](bool arrived, uint16_t pid, const std::string& path) {
            queued->PushUsbDevice(arrived, 0x11CC, pid, path);
        });
        sources = queued;
    }
    CHwPollLoop loop;
    CVesk_HW_CheckDevice detection(nullptr, sources);
    CHwDetectionSwitch detection_switch(detection, loop);

    RecordingSurface surface;
    CUpdateProcedure proc(surface, detection_switch, nullptr,
                          {.main_folder = rq.folder, .advanced_mode = rq.advanced, .advanced_allowed = rq.advanced});
    proc.RequestChoices(rq.choices);
    proc.AggiornaStrumentiCollegati();
    if (bus) bus->set_presence_observer(nullptr);

    using Outcome = CUpdateProcedure::RefreshOutcome;
    const Outcome outcome = proc.LastRefresh();
    if (outcome == Outcome::Planned && !proc.UnmatchedChoices().empty()) {
        for (const auto& u : proc.UnmatchedChoices())
            std::fprintf(stderr, "vesk-firmup-cli plan: --choose %u=%s: %s\n", unsigned(u.choice.serial),
                         U8(u.choice.version).c_str(),
                         u.serial_known ? "that unit offers no such version" : "no unit with that serial");
        return kExitUsage;
    }
    if (rq.json) std::printf("%s\n", PlanJson(proc, surface.State()).dump(2).c_str());
    else PrintPlan(surface.State());
    switch (outcome) {
    case Outcome::Planned: return kExitOk;
    case Outcome::NoInstrument:
    case Outcome::SeveralInstruments: return kExitNotOne;
    case Outcome::NotIdentified: return NotIdentified(proc);
    case Outcome::ListingFailed:
        std::fprintf(stderr, "vesk-firmup-cli plan: the instruments could not be listed\n");
        return kExitFailed;
    case Outcome::NoMemory:
    case Outcome::NotRun: break;
    }
    return kExitFailed;
}

}  // namespace

int RunPlan(const std::vector<std::string>& args) {
    Request rq;
    std::string scenario_file = ScenarioFromEnvironment();
    std::optional<std::string> folder;
    std::wstring start_options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--json") {
            rq.json = true;
        } else if (a == "--advanced") {
            rq.advanced = true;
        } else if (a == "--folder") {
            if (!has_value) return Usage("--folder needs the main update folder");
            folder = args[++i];
        } else if (a == "--simulate") {
            if (!has_value) return Usage("--simulate needs a scenario file");
            scenario_file = args[++i];
        } else if (a == "--choose") {
            if (!has_value) return Usage("--choose needs SERIAL=VERSION");
            const std::string c = args[++i];
            const size_t eq = c.find('=');
            long long serial = 0;
            if (eq == std::string::npos || !ParseNumber(c.substr(0, eq), 0, 0xFFFFFFFFLL, serial) ||
                !IsVersionText(c.substr(eq + 1)))
                return Usage("--choose " + c + ": expected SERIAL=VERSION, as 1234=01.05.07");
            rq.choices.push_back({uint32_t(serial), vesk::from_utf8(c.substr(eq + 1))});
        } else if (a == "--help") {
            std::printf("%s"
                        "  --simulate FILE   plan for the instruments of a simulator scenario\n"
                        "                    (also VESK_SIMULATE)\n"
                        "  --folder DIR      the main update folder (with _BOOTER and _ACCESSORI);\n"
                        "                    default: the one the updater would use, the program's\n"
                        "                    folder or UseFolder(DIR)AsMain\n"
                        "  --json            one JSON object: status, status_colour, update_pending,\n"
                        "                    versions_selectable and the rows\n"
                        "  --advanced        plan in advanced mode\n"
                        "  --choose S=V      with --advanced: pick version V for the unit of serial S\n"
                        "exit status: 0 plan shown, 1 the instrument or the folder could not be read,\n"
                        "2 usage, 3 no instrument or more than one\n",
                        kUsage);
            return kExitOk;
        } else if (a.find("UseFolder(") != std::string::npos) {
            start_options += L" " + vesk::from_utf8(a);
        } else {
            return Usage("unexpected argument " + a);
        }
    }
    if (!rq.choices.empty() && !rq.advanced) return Usage("--choose needs --advanced");

    const CExePathName exe;
    rq.folder = folder ? vesk::from_utf8(*folder)
                       : vesk::ParseStartOptions(exe.FullPath() + start_options, exe.Folder()).main_folder;
    std::vector<std::wstring> names;
    if (!FS().IsFolder(rq.folder) || !FS().ListFiles(rq.folder, names, L"*")) {
        std::fprintf(stderr, "vesk-firmup-cli plan: the update folder %s cannot be read\n", U8(rq.folder).c_str());
        return kExitFailed;
    }
    // Refused before anything is read from the instruments.
    const std::set<std::wstring> offered = VersionsInFolder(rq.folder);
    for (const auto& c : rq.choices) {
        if (offered.count(c.version)) continue;
        std::fprintf(stderr, "vesk-firmup-cli plan: --choose %u=%s: no update file of that version in %s\n",
                     unsigned(c.serial), U8(c.version).c_str(), U8(rq.folder).c_str());
        return kExitUsage;
    }
    return RunOnBus("plan", scenario_file, [&](vesk::sim::SimBus* bus) { return Plan(rq, bus); });
}

}  // namespace vesk::cli
