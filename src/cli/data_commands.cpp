// dump, read and write: the window's memory dump, and the data a master keeps
// besides its firmware (configuration, sensors, ECU driver, finish lines, the
// ict record, the logged samples) as raw files. Each works on exactly one
// instrument: connect, one operation, close.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli_command.h"
#include "common/atomic_file.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "common/terminal_text.h"
#include "common/user_file.h"
#include "common/wait_notice.h"
#include "device/connection_strumento.h"
#include "device/data_areas.h"
#include "log/evt_log.h"
#include "records/model_names.h"
#include "simulation.h"
#include "usb/usb_connection.h"

namespace vesk::cli {

namespace {

// How long a master may take to come back after a restart.
constexpr uint32_t kReturnWaitMs = 20000, kReturnPollMs = 500;

std::string U8(const std::wstring& s) { return vesk::to_utf8(s); }

std::string Unit(const CDeviceInfo& info) {
    return U8(GetNomeStrumento(info.Ident().loggerCode())) + " ID " + U8(info.Ident().GetSerialText());
}

// The message of the last ERROR line the log took, or empty.
std::string LastError(const vesk::LogCapture& log) {
    const auto lines = log.lines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const size_t at = it->find(" ERROR = ");
        if (at == std::string::npos) continue;
        std::string message = it->substr(at + 9);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
        return message;
    }
    return "";
}

struct Arguments {
    std::vector<std::string> positional;
    std::string scenario = ScenarioFromEnvironment();
    bool help = false;
};

// Positional arguments and --simulate; false with the reason for anything else.
bool Parse(const std::vector<std::string>& args, Arguments& out, std::string& why) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--simulate") {
            if (i + 1 == args.size()) {
                why = "--simulate needs a scenario file";
                return false;
            }
            out.scenario = args[++i];
        } else if (args[i] == "--help") {
            out.help = true;
        } else if (args[i] == "--") {
            out.positional.insert(out.positional.end(), args.begin() + long(i) + 1, args.end());
            break;
        } else if (args[i].rfind("--", 0) == 0) {
            why = "unknown option " + args[i];
            return false;
        } else {
            out.positional.push_back(args[i]);
        }
    }
    return true;
}

// Runs op on the one instrument connected, then closes it.
int OnTheInstrument(const char* command, bool fail_on_problem_slaves,
                    const std::function<int(IConnectionStrumento&, CDeviceInfo&)>& op) {
    std::vector<CDeviceInfo> list;
    if (!IConnectionStrumento::GetListaDeviceCollegati(list, fail_on_problem_slaves)) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: the instruments could not be listed\n", command);
        return kExitFailed;
    }
    if (list.size() != 1) {
        if (list.empty()) return NoInstrumentExit(command, "no instrument is connected");
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %zu instruments are connected; exactly one must be\n", command,
                     list.size());
        return kExitNotOne;
    }
    CDeviceInfo info = list.front();
    IConnectionStrumento* conn = IConnectionStrumento::CreateConnectionToStrumento(&info, L"");
    if (!conn) {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s (code %u) is not an instrument this program works with\n",
                     command, Unit(info).c_str(), unsigned(info.Ident().loggerCode()));
        return kExitFailed;
    }
    int status = kExitFailed;
    if (conn->Connetti(&info)) {
        status = op(*conn, info);
        conn->Chiudi();
    } else {
        vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s could not be opened\n", command, Unit(info).c_str());
    }
    IConnectionStrumento::DeleteConnectionToStrumento(conn);
    return status;
}

// After a restart: waits until an instrument of that serial is on the bus again.
bool WaitForReturn(uint32_t serial) {
    vesk::AnnouncedWait wait(kReturnWaitMs, L"the instrument " + std::to_wstring(serial) + L" to come back");
    for (uint32_t waited = 0; waited <= kReturnWaitMs; waited += kReturnPollMs) {
        wait.Sleep(kReturnPollMs);
        std::vector<CDeviceInfo> list;
        if (!IUSBConnection::GetListaDeviceCollegati(list)) continue;
        for (const CDeviceInfo& d : list)
            if (d.Ident().ID_logger() == serial) return true;
    }
    return false;
}

std::string AreaNames(bool writable_only) {
    std::string names;
    for (const auto& a : data_areas::kAreas) {
        if (writable_only && !a.writable) continue;
        names += names.empty() ? "" : ", ";
        names += a.name;
    }
    return names;
}

int Usage(const char* command, const std::string& why, const std::string& usage) {
    vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s\nusage: vesk-firmup-cli %s\n", command, why.c_str(), usage.c_str());
    return kExitUsage;
}

const char* kExitText =
    "exit status: 0 done, 1 failed (the reason is printed), 2 usage or a file of the wrong size,\n"
    "3 no instrument or more than one, 4 the instrument may not be opened\n";

struct Synopsis {
    const char* command;
    std::string usage;      // after "vesk-firmup-cli"
    const char* about;      // the lines of --help between usage and options
    size_t positional;      // how many arguments besides the options
    const char* missing;    // the usage error when they are not there
};

// Parses the arguments; false when the command ends here, with its status (help or usage).
bool Prepare(const std::vector<std::string>& args, const Synopsis& s, Arguments& a, int& status) {
    std::string why;
    if (!Parse(args, a, why)) {
        status = Usage(s.command, why, s.usage);
        return false;
    }
    if (a.help) {
        vesk::TermPrint(stdout, "usage: vesk-firmup-cli %s\n%s"
                    "  --simulate FILE   the instruments of a simulator scenario (also VESK_SIMULATE)\n%s",
                    s.usage.c_str(), vesk::TermLines{s.about}, vesk::TermLines{kExitText});
        status = kExitOk;
        return false;
    }
    if (a.positional.size() != s.positional) {
        status = Usage(s.command, s.missing, s.usage);
        return false;
    }
    return true;
}

// The area WHAT names; null (usage printed, status set) when there is none.
const data_areas::AreaInfo* AreaOf(const Arguments& a, const Synopsis& s, int& status) {
    const data_areas::AreaInfo* area = data_areas::Find(a.positional[0]);
    if (!area) status = Usage(s.command, "unknown WHAT " + a.positional[0], s.usage);
    return area;
}

// A failed read or write of an area: the reason, and the last error the log took.
int Failed(const char* command, const data_areas::AreaInfo& area, const CDeviceInfo& info, const std::string& why,
           const vesk::LogCapture& log) {
    const std::string detail = LastError(log);
    vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s of %s: %s%s%s\n", command, area.name, Unit(info).c_str(),
                 why.c_str(), detail.empty() ? "" : " (", detail.empty() ? "" : (detail + ")").c_str());
    return kExitFailed;
}

// The area must be there on this instrument.
bool Present(const char* command, IConnectionStrumento& conn, const data_areas::AreaInfo& area,
             const CDeviceInfo& info) {
    std::string absent;
    if (data_areas::Presente(conn, area.area, &absent)) return true;
    vesk::TermPrint(stderr, "vesk-firmup-cli %s: %s: %s\n", command, Unit(info).c_str(), absent.c_str());
    return false;
}

}  // namespace

int RunDump(const std::vector<std::string>& args) {
    const Synopsis s{"dump", "dump [--simulate FILE] FILE",
                     "  writes the instrument's memory to FILE as the window's Dump button does\n", 1,
                     "expected the file to write"};
    Arguments a;
    int status = kExitOk;
    if (!Prepare(args, s, a, status)) return status;
    const std::string file = a.positional[0];
    return RunOnBus("dump", a.scenario, [&](vesk::sim::SimBus*) {
        // As the window's Dump: the listing fails a master whose slaves cannot be settled.
        return OnTheInstrument("dump", true, [&](IConnectionStrumento& conn, CDeviceInfo& info) {
            vesk::LogCapture log;
            if (!conn.DumpStrumento(vesk::from_utf8(file))) {
                const std::string error = LastError(log);
                vesk::TermPrint(stderr, "vesk-firmup-cli dump: the dump of %s did not write the whole file %s%s%s\n",
                             Unit(info).c_str(), file.c_str(), error.empty() ? "" : ": ", error.c_str());
                return kExitFailed;
            }
            std::error_code ec;
            vesk::TermPrint(stdout, "Dump performed: %s, %ju bytes of %s\n", file.c_str(),
                        uintmax_t(std::filesystem::file_size(file, ec)), Unit(info).c_str());
            return kExitOk;
        });
    });
}

int RunRead(const std::vector<std::string>& args) {
    const Synopsis s{"read", "read [--simulate FILE] WHAT FILE    (WHAT: " + AreaNames(false) + ")",
                     "  writes the raw bytes of WHAT, as read from the instrument, to FILE\n", 2,
                     "expected WHAT and the file to write"};
    Arguments a;
    int status = kExitOk;
    if (!Prepare(args, s, a, status)) return status;
    const data_areas::AreaInfo* area = AreaOf(a, s, status);
    if (!area) return status;
    const std::string file = a.positional[1];
    return RunOnBus("read", a.scenario, [&](vesk::sim::SimBus*) {
        return OnTheInstrument("read", false, [&](IConnectionStrumento& conn, CDeviceInfo& info) {
            if (!Present("read", conn, *area, info)) return kExitFailed;
            // The file is replaced only by a whole, good read: an earlier file stays otherwise.
            vesk::AtomicFileWriter out;
            if (!out.Open(file, vesk::FileTarget::UserNamed)) {
                vesk::TermPrint(stderr, "vesk-firmup-cli read: %s\n", out.Error().c_str());
                return kExitFailed;
            }
            vesk::LogCapture log;
            const auto e = data_areas::Leggi(conn, area->area, [&out](const uint8_t* p, size_t n) {
                return out.Write(p, n);
            });
            if (!e.ok) return Failed("read", *area, info, e.why, log);
            if (!out.Commit()) return Failed("read", *area, info, out.Error(), log);
            vesk::TermPrint(stdout, "%s: %ju bytes of %s written to %s\n", area->name, uintmax_t(e.bytes), Unit(info).c_str(),
                        file.c_str());
            return kExitOk;
        });
    });
}

int RunWrite(const std::vector<std::string>& args) {
    const Synopsis s{"write", "write [--simulate FILE] WHAT FILE    (WHAT: " + AreaNames(true) + ")",
                     "  writes FILE into the instrument's WHAT and reads it back to check; a file of\n"
                     "  the wrong size is refused before the instrument is asked anything\n",
                     2, "expected WHAT and the file to write from"};
    Arguments a;
    int status = kExitOk;
    if (!Prepare(args, s, a, status)) return status;
    const data_areas::AreaInfo* area = AreaOf(a, s, status);
    if (!area) return status;
    if (!area->writable) return Usage("write", std::string("the ") + area->name + " cannot be written", s.usage);
    const std::string file = a.positional[1];
    std::vector<uint8_t> data;
    std::string why;
    // Checked before a byte is read: a device, a FIFO or a huge file is refused at once.
    if (!vesk::read_user_file(file, vesk::kMaxAreaFile, data, why)) {
        vesk::TermPrint(stderr, "vesk-firmup-cli write: %s\n", why.c_str());
        return kExitFailed;
    }
    // Refused before anything goes to the instrument.
    const auto sizes = data_areas::DimensioniPossibili(area->area);
    if (std::find(sizes.begin(), sizes.end(), data.size()) == sizes.end()) {
        std::string list;
        for (uint32_t s : sizes) list += (list.empty() ? "" : " or ") + std::to_string(s);
        vesk::TermPrint(stderr, "vesk-firmup-cli write: %s has %zu bytes; %s files have %s bytes\n", file.c_str(),
                     data.size(), area->name, list.c_str());
        return kExitUsage;
    }
    return RunOnBus("write", a.scenario, [&](vesk::sim::SimBus*) {
        return OnTheInstrument("write", false, [&](IConnectionStrumento& conn, CDeviceInfo& info) {
            if (!Present("write", conn, *area, info)) return kExitFailed;
            if (data.size() != data_areas::Dimensione(conn, area->area)) {
                vesk::TermPrint(stderr, "vesk-firmup-cli write: %s has %zu bytes; the %s of %s takes %u\n",
                             file.c_str(), data.size(), area->name, Unit(info).c_str(),
                             unsigned(data_areas::Dimensione(conn, area->area)));
                return kExitUsage;
            }
            vesk::LogCapture log;
            const auto e = data_areas::Scrivi(conn, area->area, data);
            if (!e.ok) return Failed("write", *area, info, e.why, log);
            if (e.riavviato) {
                conn.Chiudi();
                vesk::TermPrint(stdout, "%s restarts to take them up\n", Unit(info).c_str());
                // Written only once the instrument is back and holds the same bytes.
                if (!WaitForReturn(info.Ident().ID_logger())) {
                    vesk::TermPrint(stderr, "vesk-firmup-cli write: %s has not come back after its restart\n",
                                    Unit(info).c_str());
                    return kExitFailed;
                }
                const int back = OnTheInstrument("write", false, [&](IConnectionStrumento& again, CDeviceInfo& now) {
                    std::vector<uint8_t> read;
                    const auto r = data_areas::Leggi(again, area->area, read);
                    if (!r.ok) return Failed("write", *area, now, "read back after the restart: " + r.why, log);
                    if (read != data)
                        return Failed("write", *area, now, "the bytes read back after the restart differ", log);
                    return kExitOk;
                });
                if (back != kExitOk) return kExitFailed;
            }
            vesk::TermPrint(stdout, "%s: %ju bytes of %s written to %s and checked\n", area->name, uintmax_t(e.bytes),
                            file.c_str(), Unit(info).c_str());
            return kExitOk;
        });
    });
}

}  // namespace vesk::cli
