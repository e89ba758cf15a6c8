#include "plan_view.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <set>

#include "update/settings/engine.h"
#include "common/terminal_text.h"
#include "update/settings/start_options.h"
#include "cli_command.h"
#include "common/clock.h"
#include "common/exe_path_name.h"
#include "common/file_system.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "firmware_files/update_folders.h"
#include "hwdetect/hw_queued_event_source.h"
#include "records/model_names.h"
#include "sim/sim_bus.h"
#include "usb/backend/access_watch.h"
#include "simulation.h"

namespace vesk::cli {

namespace {

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

std::shared_ptr<IHwEventSourceFactory> BusSources(vesk::sim::SimBus* bus) {
    if (!bus) return nullptr;
    auto queued = std::make_shared<CHwQueuedSourceFactory>();
    bus->set_presence_observer([queued](bool arrived, uint16_t pid, const std::string& path) {
        queued->PushUsbDevice(arrived, 0x11CC, pid, path);
    });
    return queued;
}

}  // namespace

int UsageError(const char* command, const char* usage, const std::string& why) {
    vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n%s", command, why.c_str(), vesk::TermLines{usage});
    return kExitUsage;
}

bool ParsePlanOption(const std::vector<std::string>& args, size_t& i, PlanRequest& rq, std::string& error) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--json") {
        rq.json = true;
    } else if (a == "--advanced") {
        rq.advanced = true;
    } else if (a == "--folder") {
        if (!has_value) error = "--folder needs the main update folder";
        else rq.folder_option = args[++i];
    } else if (a == "--simulate") {
        if (!has_value) error = "--simulate needs a scenario file";
        else rq.scenario_file = args[++i];
    } else if (a == "--choose") {
        if (!has_value) {
            error = "--choose needs SERIAL=VERSION";
            return true;
        }
        const std::string c = args[++i];
        const size_t eq = c.find('=');
        long long serial = 0;
        if (eq == std::string::npos || !ParseNumber(c.substr(0, eq), 0, 0xFFFFFFFFLL, serial) ||
            !IsVersionText(c.substr(eq + 1)))
            error = "--choose " + c + ": expected SERIAL=VERSION, as 1234=01.05.07";
        else rq.choices.push_back({uint32_t(serial), vesk::from_utf8(c.substr(eq + 1))});
    } else if (a.find("UseFolder(") != std::string::npos) {
        rq.start_options += L" " + vesk::from_utf8(a);
    } else {
        return false;
    }
    return true;
}

int CheckPlanRequest(const char* command, PlanRequest& rq) {
    if (!rq.choices.empty() && !rq.advanced) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: --choose needs --advanced\n", command);
        return kExitUsage;
    }
    const CExePathName exe;
    std::wstring not_made;
    const std::wstring own_folder =
        rq.folder_option ? std::wstring() : vesk::default_update_folder(exe.Folder(), &not_made);
    rq.folder = rq.folder_option
                    ? vesk::from_utf8(*rq.folder_option)
                    : vesk::ParseStartOptions(exe.FullPath() + rq.start_options, own_folder).main_folder;
    // An installed copy's own folder that could not be made is no empty one.
    if (rq.folder == own_folder && !not_made.empty()) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: the update folder %s\n", command, U8(not_made).c_str());
        return kExitFailed;
    }
    // Checked without listing it: the catalogue lists each folder once.
    if (CheckFolder(rq.folder) != FolderState::Ok) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: the update folder %s cannot be read\n", command,
                     U8(rq.folder).c_str());
        return kExitFailed;
    }
    const std::set<std::wstring> offered = rq.choices.empty() ? std::set<std::wstring>() : VersionsInFolder(rq.folder);
    for (const auto& c : rq.choices) {
        if (offered.count(c.version)) continue;
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: --choose %u=%s: no update file of that version in %s\n", command,
                     unsigned(c.serial), U8(c.version).c_str(), U8(rq.folder).c_str());
        return kExitUsage;
    }
    return -1;
}

CliDetection::CliDetection(vesk::sim::SimBus* bus)
    : bus_(bus), detection_(this, BusSources(bus)), switch_(detection_, loop_) {}

CliDetection::~CliDetection() {
    detection_.TerminaGestioneEventiSistema();
    if (bus_) bus_->set_presence_observer(nullptr);
}

void CliDetection::Poll() {
    if (bus_) bus_->Tick();
    loop_.RunOnce(0);
}

bool CliDetection::WaitForChange(int stop_fd) {
    if (stop_fd >= 0 && stop_fd_ < 0 &&
        loop_.Watch(stop_fd, POLLIN, [this] { stopped_ = true; }))
        stop_fd_ = stop_fd;
    // A scaled clock sleeps for real: a stop is seen within this much of it.
    constexpr uint64_t kStepMs = 250;
    changed_ = false;
    for (;;) {
        Poll();
        if (stopped_) return false;
        if (changed_) return true;
        const std::optional<uint64_t> next = bus_ ? bus_->NextChange() : std::nullopt;
        if (!next) {
            // Only detection's descriptors (or, on a bus with nothing due, the stop) can end this.
            if (loop_.RunOnce(-1) < 0) return false;
            continue;
        }
        const uint64_t now = vesk::process_clock().now_ms();
        if (*next > now) vesk::Sleep(uint32_t(std::min(*next - now, kStepMs)));
    }
}

std::string VersionJson(const std::wstring& text) {
    std::string out, part;
    auto flush = [&] {
        if (part.size() < 2) part.insert(0, 2 - part.size(), '0');
        out += part;
        part.clear();
    };
    const std::string t = U8(text);
    if (t.find_first_not_of(' ') == std::string::npos) return "";
    // Only a version is padded: "in booter" and the like stay as they are.
    if (t.find_first_not_of("0123456789ABCDEFabcdef. ") != std::string::npos) return t;
    for (const char c : t) {
        if (c == ' ') continue;
        if (c == '.') {
            flush();
            out += '.';
        } else {
            part += c;
        }
    }
    flush();
    return out;
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
    j["folder"] = U8(proc.MainFolder());
    // An instrument refused for want of permission is no missing one: the
    // status says so, as the terminal's line does.
    std::wstring status = state.status;
    bool red = state.colour == StatusColour::Red;
    if (proc.LastRefresh() == CUpdateProcedure::RefreshOutcome::NoInstrument) {
        const std::vector<std::string> denied = DeniedPaths();
        for (size_t i = 0; i < denied.size(); ++i)
            status = (i == 0 ? L"" : status + L"\r\n") + vesk::usb::AccessDeniedLine(vesk::from_utf8(denied[i]));
        red = red || !denied.empty();
    }
    j["status"] = U8(status);
    j["status_colour"] = red ? "red" : "normal";
    j["update_pending"] = proc.UpdatePending();
    if (proc.NetUnread()) j["net"] = "unread";
    j["versions_selectable"] = proc.VersionsSelectable();
    j["rows"] = nlohmann::ordered_json::array();
    for (const DeviceRowView& r : state.rows) {
        nlohmann::ordered_json row;
        row["row"] = U8(r.columns[kColumnRow]);
        row["kind"] = KindName(r.kind);
        row["device"] = U8(r.columns[kColumnDevice]);
        row["id"] = U8(r.columns[kColumnId]);
        row["booter"] = VersionJson(r.columns[kColumnBooter]);
        row["firmware"] = VersionJson(r.columns[kColumnFirmware]);
        // "none", in every language, when the folder holds no file for the unit.
        const bool no_file = r.versions.empty() && r.columns[kColumnAction] == Translate(L"no update file");
        row["available"] = no_file ? std::string("none") : VersionJson(r.columns[kColumnAvailable]);
        row["action"] = U8(r.columns[kColumnAction]);
        row["serial"] = r.serial;
        row["versions"] = nlohmann::ordered_json::array();
        for (const auto& v : r.versions) row["versions"].push_back(VersionJson(v));
        row["writes"] = nlohmann::ordered_json::array();
        for (const PlannedImage& w : r.writes) {
            nlohmann::ordered_json write = {
                {"image", U8(w.image)}, {"version", VersionJson(w.version)}, {"file", U8(w.file)}};
            if (!w.from.empty()) write["from"] = VersionJson(w.from);
            if (w.conditional) write["conditional"] = true;
            row["writes"].push_back(write);
        }
        j["rows"].push_back(row);
    }
    return j;
}

std::vector<std::wstring> AlsoLines(const DeviceRowView& row) {
    // The Action column tells of the firmware when it says the unit gets it.
    const std::wstring& action = row.columns[kColumnAction];
    const bool action_tells = action.find(Translate(L"will get ")) != std::wstring::npos;
    std::vector<std::wstring> out;
    for (const PlannedImage& w : row.writes) {
        if (w.image == L"firmware" && action_tells) continue;
        std::wstring line = L"    also: " + w.image + L" ";
        line += w.from.empty() ? w.version : w.from + L" -> " + w.version;
        if (w.conditional) line += L" (when its firmware allows it)";
        out.push_back(line);
    }
    return out;
}

int UnitsToUpdate(const SurfaceState& state) {
    const std::wstring will_get = Translate(L"will get "), in_booter = Translate(L"in booter:");
    int n = 0;
    for (const DeviceRowView& r : state.rows) {
        const std::wstring& action = r.columns[kColumnAction];
        // A unit whose booter alone is due says "will not be modified" of its firmware.
        const bool writes = std::any_of(r.writes.begin(), r.writes.end(),
                                        [](const PlannedImage& w) { return !w.conditional; });
        if (action.rfind(will_get, 0) == 0 || action.rfind(in_booter, 0) == 0 || writes) ++n;
    }
    return n;
}

void PrintPlan(const CUpdateProcedure& proc, const SurfaceState& state, const char* next_step) {
    // Nothing planned: RefreshExit says why, on standard error.
    using Outcome = CUpdateProcedure::RefreshOutcome;
    if (proc.LastRefresh() == Outcome::NoInstrument || proc.LastRefresh() == Outcome::SeveralInstruments) return;
    vesk::TermPrint(stdout, "Update folder searched: %s\n", U8(proc.MainFolder()).c_str());
    static const wchar_t* const kHeaders[kDeviceColumns] = {L"",          L"Device",    L"ID",    L"Booter",
                                                            L"Firmware", L"Available", L"Action"};
    std::vector<DeviceRowTexts> lines(1);
    for (int c = 0; c < kDeviceColumns; ++c) lines[0][size_t(c)] = kHeaders[c];
    // Versions as JSON has them ("01.05.10", not " 1.05.10"), so that columns compare.
    for (const DeviceRowView& r : state.rows) {
        lines.push_back(r.columns);
        for (const int c : {kColumnBooter, kColumnFirmware, kColumnAvailable})
            lines.back()[size_t(c)] = vesk::from_utf8(VersionJson(r.columns[size_t(c)]));
    }
    size_t width[kDeviceColumns] = {};
    for (const auto& l : lines)
        for (size_t c = 0; c < kDeviceColumns; ++c) width[c] = std::max(width[c], l[c].size());
    if (!state.rows.empty()) {
        for (size_t n = 0; n < lines.size(); ++n) {
            const DeviceRowTexts& l = lines[n];
            std::wstring out;
            for (size_t c = 0; c < kDeviceColumns; ++c) {
                out += l[c];
                if (c + 1 < kDeviceColumns) out += std::wstring(width[c] - l[c].size() + 2, L' ');
            }
            while (!out.empty() && out.back() == L' ') out.pop_back();
            vesk::TermPrint(stdout, "%s\n", U8(out).c_str());
            if (n > 0)
                for (const std::wstring& also : AlsoLines(state.rows[n - 1]))
                    vesk::TermPrint(stdout, "%s\n", U8(also).c_str());
        }
        vesk::TermPrint(stdout, "\n");
    }
    // The window's "Click 'Execute'..." means nothing here: the terminal's own next step.
    if (state.execute_enabled) {
        const int n = UnitsToUpdate(state);
        vesk::TermPrint(stdout, "%d unit%s to update%s\n", n, n == 1 ? "" : "s", next_step);
        return;
    }
    std::wstring status = state.status;
    for (size_t p; (p = status.find(L"\r\n")) != std::wstring::npos;) status.replace(p, 2, L"\n");
    vesk::TermPrint(stdout, "%s\n", U8(status).c_str());
}

void PrintJsonStop(const char* command, const std::vector<std::string>& args, int status, const char* why) {
    if (status == kExitOk || std::find(args.begin(), args.end(), "--json") == args.end()) return;
    const nlohmann::ordered_json out =
        std::string(command) == "update"
            ? nlohmann::ordered_json{{"event", "result"}, {"outcome", why}, {"units", nlohmann::ordered_json::array()}}
            : nlohmann::ordered_json{{"error", why}, {"status", status}};
    vesk::TermWriteJson(stdout, out.dump());
}

bool SayNetUnread(const char* command, const CUpdateProcedure& proc) {
    if (!proc.NetUnread()) return false;
    const CDeviceInfo* info = proc.DeviceInfo();
    vesk::TermPrint(stderr, "vesk-firmup-cli %s: the net of %s could not be read: its slaves are not in the plan\n",
                    command, info ? U8(info->GetDevicePath()).c_str() : "the instrument");
    return true;
}

int ChoicesExit(const char* command, const CUpdateProcedure& proc) {
    if (proc.LastRefresh() != CUpdateProcedure::RefreshOutcome::Planned || proc.UnmatchedChoices().empty())
        return -1;
    for (const auto& u : proc.UnmatchedChoices())
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: --choose %u=%s: %s\n", command, unsigned(u.choice.serial),
                     U8(u.choice.version).c_str(),
                     u.serial_known ? "that unit offers no such version" : "no unit with that serial");
    return kExitUsage;
}

int RefreshExit(const char* command, CUpdateProcedure& proc) {
    using Outcome = CUpdateProcedure::RefreshOutcome;
    switch (proc.LastRefresh()) {
    case Outcome::Planned: return -1;
    case Outcome::NoInstrument: return NoInstrumentExit(command, U8(proc.StatusText()));
    case Outcome::SeveralInstruments:
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\n", command, U8(proc.StatusText()).c_str());
        return kExitNotOne;
    case Outcome::NotIdentified: {
        // Nothing read, or an instrument this program does not update by itself.
        CDeviceInfo* info = proc.DeviceInfo();
        IConnectionStrumento* conn = info ? IConnectionStrumento::CreateConnectionToStrumento(info, L"") : nullptr;
        const bool identify_only = conn && !conn->GetIAggiornaFW();
        if (conn) IConnectionStrumento::DeleteConnectionToStrumento(conn);
        if (identify_only) {
            vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s takes no update files of its own\n", command,
                         U8(GetNomeStrumento(info->Ident().loggerCode())).c_str());
            return kExitOk;
        }
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: the instrument could not be read\n", command);
        return kExitFailed;
    }
    case Outcome::ListingFailed:
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: the instruments could not be listed\n", command);
        return kExitFailed;
    case Outcome::NoMemory:
    case Outcome::NotRun: break;
    }
    return kExitFailed;
}

}  // namespace vesk::cli
