// list: the instruments on USB (or on a simulated bus) with their net.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/terminal_text.h"
#include "cli_command.h"
#include "plan_view.h"
#include "simulation.h"
#include "common/str_conv.h"
#include "device/conn_slave_base.h"
#include "device/connection_strumento_base.h"
#include "records/model_names.h"
#include "firmware_files/firmup_files_info.h"
#include "firmware_files/update_folders.h"
#include "usb/usb_connection.h"

namespace vesk::cli {

namespace {

int Usage(const char* why) {
    vesk::TermPrint(stderr,
                 "vesk-firmup-cli list: %s\n"
                 "usage: vesk-firmup-cli list [--simulate FILE] [--json] [--ident] [--folder DIR]\n",
                 why);
    return kExitUsage;
}

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

// What master and slave entries share.
nlohmann::ordered_json IdentJson(const INFOIDENT& id, bool with_dump) {
    nlohmann::ordered_json j;
    j["code"] = id.loggerCode();
    j["model"] = U8(GetNomeStrumento(id.loggerCode()));
    j["serial"] = id.ID_logger();
    j["firmware"] = VersionJson(id.FirmwareVersionText());
    j["booter"] = VersionJson(id.BooterVersionText());
    j["in_booter"] = id.IsInBooter();
    if (with_dump) j["ident"] = U8(id.DumpText());
    return j;
}

void PrintIdent(const char* indent, const INFOIDENT& id, bool with_dump) {
    vesk::TermPrint(stdout, "%scode %u  %s  serial %s  firmware %s  booter %s%s\n", indent,
                unsigned(id.loggerCode()), U8(GetNomeStrumento(id.loggerCode())).c_str(),
                U8(id.GetSerialText()).c_str(), VersionJson(id.FirmwareVersionText()).c_str(),
                VersionJson(id.BooterVersionText()).c_str(), id.IsInBooter() ? "  (in booter)" : "");
    if (with_dump) vesk::TermPrint(stdout, "%s\n", vesk::TermLines{U8(id.DumpText())});
}

// The readable name of an object's class.
template <typename T>
std::string ClassName(const T& object) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(object).name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? name.get() : typeid(object).name();
}

// A selected catalogue entry; null when nothing was selected.
nlohmann::ordered_json EntryJson(const FirmupFileEntry* e) {
    if (!e || e->fileName.empty()) return nullptr;
    nlohmann::ordered_json j = {{"file", U8(e->fileName)}, {"version", VersionJson(e->versionText)}};
    // Other names of the same version that were left out for this one.
    if (!e->passedOver.empty()) {
        j["passed_over"] = nlohmann::ordered_json::array();
        for (const auto& name : e->passedOver) j["passed_over"].push_back(U8(name));
    }
    return j;
}

nlohmann::ordered_json LanguageJson(const FirmupFileEntry* e) {
    if (!e || e->secondFileName.empty()) return nullptr;
    return U8(e->secondFileName);
}

nlohmann::ordered_json AvailableJson(const FirmupFileList* list) {
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    if (list)
        for (const auto& e : *list) a.push_back(VersionJson(e.versionText));
    return a;
}

// What the catalogue holds for one unit; slot is kMaster or a slave slot.
nlohmann::ordered_json CatalogueJson(CFirmupFilesInfo& cat, int slot, uint32_t serial,
                                     const std::string& cls) {
    const bool master = slot == CFirmupFilesInfo::kMaster;
    const FirmupFileEntry* fw = master ? cat.GetFw(serial) : cat.GetFwSlave(slot, serial);
    const FirmupFileEntry* boot = master ? cat.GetBooter(serial) : cat.GetBooterSlave(slot, serial);
    nlohmann::ordered_json j;
    j["class"] = cls;
    j["firmware"] = EntryJson(fw);
    j["language"] = LanguageJson(fw);
    j["booter"] = EntryJson(boot);
    j["accessories"] = nlohmann::ordered_json::array();
    for (int index = 0; index <= 2; ++index) {
        auto e = EntryJson(cat.GetAccessorio(index, serial, slot));
        if (e.is_null()) continue;
        e["index"] = index;
        j["accessories"].push_back(e);
    }
    j["available"] =
        AvailableJson(master ? cat.GetFwList(serial) : cat.GetFwListSlave(slot, serial));
    return j;
}

nlohmann::ordered_json OtherGaugesJson(CFirmupFilesInfo& cat, int kinds, uint32_t serial) {
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    for (int kind = 0; kind < kinds; ++kind) {
        const FirmupFileEntry* fw = cat.GetOtherFw(kind, serial);
        a.push_back({{"kind", kind},
                     {"firmware", EntryJson(fw)},
                     {"language", LanguageJson(fw)},
                     {"booter", EntryJson(cat.GetOtherBooter(kind, serial))},
                     {"available", AvailableJson(cat.GetOtherFwList(kind, serial))}});
    }
    return a;
}

void PrintCatalogue(const char* indent, const nlohmann::ordered_json& c) {
    auto entry = [](const nlohmann::ordered_json& e) {
        if (e.is_null()) return std::string("none");
        std::string text = e["file"].get<std::string>() + " (" + e["version"].get<std::string>() + ")";
        if (e.contains("passed_over"))
            for (const auto& name : e["passed_over"]) text += " [passed over: " + name.get<std::string>() + "]";
        return text;
    };
    vesk::TermPrint(stdout, "%sclass %s\n", indent, c["class"].get<std::string>().c_str());
    vesk::TermPrint(stdout, "%s  firmware %s", indent, entry(c["firmware"]).c_str());
    if (!c["language"].is_null()) vesk::TermPrint(stdout, "  language %s", c["language"].get<std::string>().c_str());
    vesk::TermPrint(stdout, "\n%s  booter %s\n", indent, entry(c["booter"]).c_str());
    for (const auto& a : c["accessories"])
        vesk::TermPrint(stdout, "%s  accessory %d %s\n", indent, a["index"].get<int>(), entry(a).c_str());
    std::string versions;
    for (const auto& v : c["available"]) versions += " " + v.get<std::string>();
    vesk::TermPrint(stdout, "%s  available%s\n", indent, versions.empty() ? " none" : versions.c_str());
    if (c.contains("other_gauges"))
        for (const auto& g : c["other_gauges"])
            vesk::TermPrint(stdout, "%s  other gauge %d: firmware %s  booter %s\n", indent, g["kind"].get<int>(),
                        entry(g["firmware"]).c_str(), entry(g["booter"]).c_str());
}

// The catalogue of a master and its slaves, filled from folder.
struct Piano {
    nlohmann::ordered_json master;
    std::vector<nlohmann::ordered_json> slaves = std::vector<nlohmann::ordered_json>(32);
};

std::optional<Piano> Pianifica(CDeviceInfo& info, const UpdateFolders& folders) {
    CFirmupFilesInfo cat;
    if (!IConnectionStrumento::GetInfoFirmup(folders.accessori, folders.booter, info, cat,
                                             folders.main))
        return std::nullopt;
    Piano p;
    IConnectionStrumento* conn = IConnectionStrumento::CreateConnectionToStrumento(&info, L"");
    const std::string cls = conn ? ClassName(*conn) : std::string();
    const int kinds = conn && conn->GetIAggiornaFW() ? conn->GetIAggiornaFW()->NumOtherGauges() : 0;
    const uint32_t serial = info.Ident().ID_logger();
    p.master = CatalogueJson(cat, CFirmupFilesInfo::kMaster, serial, cls);
    if (kinds > 0) p.master["other_gauges"] = OtherGaugesJson(cat, kinds, serial);
    CUSBConnection* usb = dynamic_cast<CUSBConnection*>(conn);
    for (size_t s = 0; s < 32 && usb; ++s) {
        if (info.NetTable().SlaveCode(s) == 0) continue;
        const auto slave = CConnSlaveBase::CreateConnToSlave(*usb, info.SlaveIdent(s), uint8_t(s + 1));
        p.slaves[s] = CatalogueJson(cat, int(s), info.SlaveIdent(s).ID_logger(),
                                    slave ? ClassName(*slave) : std::string());
    }
    if (conn) IConnectionStrumento::DeleteConnectionToStrumento(conn);
    return p;
}

const char* NetStateText(CDeviceInfo::NetState s) {
    switch (s) {
    case CDeviceInfo::NetState::Read: return "read";
    case CDeviceInfo::NetState::NoNet: return "none";
    case CDeviceInfo::NetState::NotRead: break;
    }
    return "unread";
}

// main is empty without --folder. Files are searched only when every folder
// can be read: a catalogue of the folders that could would look like a
// complete one with nothing newer in it.
int List(bool json, bool ident, const std::wstring& main) {
    const UpdateFolders folders = UpdateFoldersOf(main);
    bool folders_ok = !main.empty();
    if (!main.empty()) {
        for (const FolderProblem& p : CheckUpdateFolders(folders)) {
            vesk::TermPrint(stderr, "vesk-firmup-cli list: warning: the update folder %s %s\n",
                         U8(p.path).c_str(), FolderStateText(p.state));
            folders_ok = false;
        }
    }
    std::vector<CDeviceInfo> found;
    if (!IConnectionStrumento::GetListaDeviceCollegati(found, false)) {
        vesk::TermPrint(stderr, "vesk-firmup-cli list: the instruments could not be listed\n");
        return kExitFailed;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    bool nets_read = true;
    for (auto& info : found) {
        const std::string path = U8(info.GetDevicePath());
        // A family without a net has nothing that could not be read.
        if (info.GetNetState() == CDeviceInfo::NetState::NotRead) {
            vesk::TermPrint(stderr, "vesk-firmup-cli list: the net of %s could not be read\n",
                         path.c_str());
            nets_read = false;
        }
        // Only a net read names the unit.
        if (info.GetDisplayName().empty()) info.BuildDisplayName({});
        std::optional<Piano> plan;
        if (folders_ok) {
            plan = Pianifica(info, folders);
            if (!plan)
                vesk::TermPrint(stderr, "vesk-firmup-cli list: no update files could be searched for %s\n",
                             path.c_str());
        }
        if (json) {
            nlohmann::ordered_json m;
            m["path"] = path;
            m["access"] = "granted";
            const auto master = IdentJson(info.Ident(), ident);
            for (const auto& [k, v] : master.items()) m[k] = v;
            m["display_name"] = U8(info.GetDisplayName());
            m["net"] = NetStateText(info.GetNetState());
            if (plan) m["catalogue"] = plan->master;
            m["slaves"] = nlohmann::ordered_json::array();
            for (size_t s = 0; s < CConnectionStrumentoBase::kNetSlots; ++s) {
                if (info.NetTable().SlaveCode(s) == 0) continue;
                nlohmann::ordered_json sj;
                sj["number"] = s + 1;
                const auto slave = IdentJson(info.SlaveIdent(s), ident);
                for (const auto& [k, v] : slave.items()) sj[k] = v;
                if (plan) sj["catalogue"] = plan->slaves[s];
                m["slaves"].push_back(sj);
            }
            out.push_back(m);
        } else {
            vesk::TermPrint(stdout, "%s  %s\n", path.c_str(), U8(info.GetDisplayName()).c_str());
            PrintIdent("  ", info.Ident(), ident);
            if (plan) PrintCatalogue("    ", plan->master);
            for (size_t s = 0; s < CConnectionStrumentoBase::kNetSlots; ++s) {
                if (info.NetTable().SlaveCode(s) == 0) continue;
                vesk::TermPrint(stdout, "  slave %zu: ", s + 1);
                PrintIdent("", info.SlaveIdent(s), ident);
                if (plan) PrintCatalogue("    ", plan->slaves[s]);
            }
        }
    }
    // Found on the bus but refused: listed, so the user sees the instrument is there.
    const std::vector<std::string> denied = DeniedPaths(), busy = BusyPaths();
    for (const std::string& path : denied) {
        if (json) out.push_back({{"path", path}, {"access", "denied"}});
        else vesk::TermPrint(stdout, "%s  found but cannot be opened: permission denied\n", path.c_str());
    }
    for (const std::string& path : busy) {
        if (json) out.push_back({{"path", path}, {"access", "busy"}});
        else vesk::TermPrint(stdout, "%s  found but cannot be opened: busy (another program holds it)\n", path.c_str());
    }
    if (json) vesk::TermWriteJson(stdout, out.dump(2));
    if (!denied.empty()) PrintAccessAdvice();
    else if (found.empty() && busy.empty() && !json)
        vesk::TermPrint(stderr, "vesk-firmup-cli list: no instruments found\n");
    if (!json && !main.empty()) vesk::TermPrint(stdout, "Update folder searched: %s\n", U8(main).c_str());
    return (main.empty() || folders_ok) && nets_read ? kExitOk : kExitFailed;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
    bool json = false, ident = false;
    std::string scenario_file = ScenarioFromEnvironment();
    std::wstring folder;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--ident") {
            ident = true;
        } else if (a == "--folder") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return Usage("--folder needs the main update folder");
            folder = vesk::from_utf8(args[++i]);
            // Its conversion would be empty, and an empty folder is no folder.
            if (folder.empty()) return Usage("--folder: the path is not valid UTF-8");
        } else if (a == "--simulate") {
            if (i + 1 >= args.size()) return Usage("--simulate needs a scenario file");
            scenario_file = args[++i];
        } else if (a == "--help") {
            vesk::TermPrint(stdout, "usage: vesk-firmup-cli list [--simulate FILE] [--json] [--ident] [--folder DIR]\n"
                        "  --simulate FILE  list the instruments of a simulator scenario\n"
                        "                   (also VESK_SIMULATE)\n"
                        "  --json           one JSON array of the instruments\n"
                        "  --ident          add each identity record's fields\n"
                        "  --folder DIR     also the update files found for each unit in DIR\n"
                        "                   (with _BOOTER and _ACCESSORI): connection class,\n"
                        "                   chosen firmware, language, booter and accessories;\n"
                        "                   exit status 1 when one of the three cannot be read\n"
                        "exit status: 0 listed, 1 the listing, a net of slaves or a folder could\n"
                        "not be read, 2 usage\n");
            return kExitOk;
        } else {
            return Usage(("unexpected argument " + a).c_str());
        }
    }
    return RunOnBus("list", scenario_file, [&](vesk::sim::SimBus*) { return List(json, ident, folder); });
}

}  // namespace vesk::cli
