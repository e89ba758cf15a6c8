#include "sim/sim_scenario.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include "common/user_file.h"

namespace vesk::sim {

using nlohmann::json;

namespace {

constexpr double kMinTimeScale = 1e-4, kMaxTimeScale = 100;

// Carries the first error out of the nested readers.
struct BadValue {
    std::string key;
    std::string what;
};

[[noreturn]] void Bad(const std::string& key, const std::string& what) {
    throw BadValue{key, what};
}

void OnlyKeys(const json& obj, const std::string& where, const std::set<std::string>& allowed) {
    for (auto it = obj.begin(); it != obj.end(); ++it)
        if (!allowed.count(it.key()))
            Bad(where.empty() ? it.key() : where + "." + it.key(), "unknown key");
}

uint64_t UInt(const json& v, const std::string& key, uint64_t max) {
    if (!v.is_number_integer() || (v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() < 0))
        Bad(key, "expected a whole number from 0 to " + std::to_string(max));
    const uint64_t n = v.get<uint64_t>();
    if (n > max) Bad(key, "expected a whole number from 0 to " + std::to_string(max));
    return n;
}

bool Bool(const json& v, const std::string& key) {
    if (!v.is_boolean()) Bad(key, "expected true or false");
    return v.get<bool>();
}

std::string Text(const json& v, const std::string& key) {
    if (!v.is_string()) Bad(key, "expected a string");
    return v.get<std::string>();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "43.04.01" -> {0x43, 0x04, 0x01}: the bytes as the instrument prints them.
std::vector<uint8_t> VersionBytes(const json& v, const std::string& key, size_t parts) {
    const std::string form = parts == 3 ? "\"MM.mm.bb\"" : "\"MM.mm\"";
    const std::string s = Text(v, key);
    std::vector<uint8_t> out;
    if (s.size() != parts * 3 - 1) Bad(key, "expected " + form + ", got \"" + s + "\"");
    for (size_t i = 0; i < parts; ++i) {
        const int hi = HexDigit(s[i * 3]), lo = HexDigit(s[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i + 1 < parts && s[i * 3 + 2] != '.'))
            Bad(key, "expected " + form + ", got \"" + s + "\"");
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return out;
}

int FaultTarget(const json& v, const std::string& key) {
    if (v.is_number_integer()) return int(UInt(v, key, 0x0F));
    const std::string s = Text(v, key);
    static const std::pair<const char*, int> kNames[] = {
        {"debug", 0x00},   {"gps", 0x01},     {"cfg", 0x02},
        {"bulk", 0x0C},    {"quarv3", 0x0D},  {"memory", 0x0E},
        {"booter", 0x0F},  {"bulk_in", kTargetBulkIn}, {"bulk_out", kTargetBulkOut},
        {"open", kTargetOpen}, {"descriptor", kTargetDescriptor}, {"any", kTargetAny},
    };
    for (const auto& [name, code] : kNames)
        if (s == name) return code;
    if (s.size() == 4 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && HexDigit(s[2]) >= 0 &&
        HexDigit(s[3]) >= 0) {
        const int code = HexDigit(s[2]) << 4 | HexDigit(s[3]);
        if (code <= 0x0F) return code;
    }
    Bad(key,
        "expected a request code 0..15 (or \"0x0E\"), or one of debug, gps, cfg, bulk, quarv3, "
        "memory, booter, bulk_in, bulk_out, open, descriptor, any; got \"" + s + "\"");
}

void ReadWhen(const json& f, const std::string& where, SimFault& out) {
    const std::string when = f.contains("when") ? Text(f["when"], where + ".when") : "always";
    if (when == "once") out.when = FaultWhen::Once;
    else if (when == "always") out.when = FaultWhen::Always;
    else if (when == "from") out.when = FaultWhen::From;
    else if (when == "at") out.when = FaultWhen::At;
    else Bad(where + ".when", "expected once, always, from or at; got \"" + when + "\"");
    if (out.when == FaultWhen::From || out.when == FaultWhen::At) {
        if (!f.contains("n")) Bad(where + ".n", "missing (the first one hit, from 1)");
        out.n = uint32_t(UInt(f["n"], where + ".n", 0xFFFFFFFF));
        if (out.n == 0) Bad(where + ".n", "expected 1 or more");
    } else if (f.contains("n")) {
        Bad(where + ".n", "only used with \"when\": \"from\" or \"at\"");
    }
}

SimFault ReadFault(const json& f, const std::string& where) {
    if (!f.is_object()) Bad(where, "expected an object");
    OnlyKeys(f, where,
             {"kind", "request", "command", "when", "n", "reads", "requests", "ms", "product_id"});
    if (!f.contains("kind")) Bad(where + ".kind", "missing");
    const std::string kind = Text(f["kind"], where + ".kind");
    SimFault out;
    static const std::pair<const char*, FaultKind> kKinds[] = {
        {"driver_error", FaultKind::DriverError}, {"stall", FaultKind::Stall},
        {"short", FaultKind::Short}, {"timeout", FaultKind::Timeout},
        {"unplug", FaultKind::Unplug}, {"identity_changes", FaultKind::IdentityChanges},
        {"never_returns", FaultKind::NeverReturns}, {"slow_return", FaultKind::SlowReturn},
        {"new_product_id", FaultKind::NewProductId}, {"unplug_after", FaultKind::UnplugAfter},
    };
    bool known = false;
    for (const auto& [name, k] : kKinds)
        if (kind == name) out.kind = k, known = true;
    if (!known)
        Bad(where + ".kind", "expected driver_error, stall, short, timeout, unplug, identity_changes, "
                             "never_returns, slow_return, new_product_id or unplug_after; got \"" +
                                 kind + "\"");
    // Each kind takes its own keys and no others.
    std::set<std::string> used;
    if (out.IsTransferFault()) used = {"request", "command", "when", "n"};
    if (out.IsReturnFault()) used = {"when", "n"};
    if (out.kind == FaultKind::SlowReturn) used.insert("ms");
    if (out.kind == FaultKind::NewProductId) used.insert("product_id");
    if (out.kind == FaultKind::IdentityChanges) used = {"reads"};
    if (out.kind == FaultKind::UnplugAfter) used = {"requests"};
    for (auto it = f.begin(); it != f.end(); ++it)
        if (it.key() != "kind" && !used.count(it.key()))
            Bad(where + "." + it.key(), "not used by a " + kind + " fault");
    if (used.count("when")) ReadWhen(f, where, out);
    if (f.contains("request")) out.target = FaultTarget(f["request"], where + ".request");
    if (f.contains("command")) out.command = int(UInt(f["command"], where + ".command", 0xFFFF));
    if (out.kind == FaultKind::IdentityChanges)
        out.n = f.contains("reads") ? uint32_t(UInt(f["reads"], where + ".reads", 0xFFFFFFFF)) : 0;
    if (out.kind == FaultKind::UnplugAfter) {
        if (!f.contains("requests")) Bad(where + ".requests", "missing");
        out.n = uint32_t(UInt(f["requests"], where + ".requests", 0xFFFFFFFF));
    }
    if (out.kind == FaultKind::SlowReturn) {
        if (!f.contains("ms")) Bad(where + ".ms", "missing (the time away from the bus)");
        out.ms = uint32_t(UInt(f["ms"], where + ".ms", 0xFFFFFFFF));
    }
    if (out.kind == FaultKind::NewProductId) {
        if (!f.contains("product_id")) Bad(where + ".product_id", "missing");
        out.product_id = uint16_t(UInt(f["product_id"], where + ".product_id", 0xFFFF));
    }
    return out;
}

SimFlashConfig ReadFlash(const json& f, const std::string& where) {
    if (!f.is_object()) Bad(where, "expected an object");
    OnlyKeys(f, where, {"family", "config_fill", "config_stuck"});
    if (!f.contains("family")) Bad(where + ".family", "missing");
    SimFlashConfig c;
    c.family = Text(f["family"], where + ".family");
    if (!SimFlash::KnownFamily(c.family))
        Bad(where + ".family", "expected quarv3, quarv4 or pell; got \"" + c.family + "\"");
    if (f.contains("config_fill"))
        c.config_fill = uint8_t(UInt(f["config_fill"], where + ".config_fill", 0xFF));
    if (f.contains("config_stuck")) {
        const json& l = f["config_stuck"];
        if (!l.is_array()) Bad(where + ".config_stuck", "expected a list");
        for (size_t i = 0; i < l.size(); ++i)
            c.config_stuck.push_back(uint32_t(UInt(
                l[i], where + ".config_stuck[" + std::to_string(i) + "]", SimFlash::kConfigSize - 1)));
    }
    return c;
}

// Memory at start is held page by page: a scenario asks for at most this much.
constexpr uint64_t kMaxMemoryBlock = 64u << 20, kMaxLoggedBytes = 64u << 20;
// And all of them together, over every instrument, at most this much.
constexpr uint64_t kMaxMemoryTotal = 256u << 20;

SimMemoryBlock ReadMemoryBlock(const json& b, const std::string& where) {
    if (!b.is_object()) Bad(where, "expected an object");
    OnlyKeys(b, where, {"address", "size", "seed"});
    for (const char* k : {"address", "size"})
        if (!b.contains(k)) Bad(where + "." + k, "missing");
    SimMemoryBlock m;
    m.address = uint32_t(UInt(b["address"], where + ".address", 0xFFFFFFFF));
    m.size = uint32_t(UInt(b["size"], where + ".size", kMaxMemoryBlock));
    if (uint64_t(m.address) + m.size > (uint64_t(1) << 32)) Bad(where + ".size", "runs past the 32-bit address space");
    if (b.contains("seed")) m.seed = uint32_t(UInt(b["seed"], where + ".seed", 0xFFFFFFFF));
    return m;
}

// The identity fields masters and slaves share.
template <class Config>
void ReadIdentity(const json& j, const std::string& where, uint64_t code_max, Config& c) {
    c.code = uint32_t(UInt(j["code"], where + ".code", code_max));
    c.serial = uint32_t(UInt(j["serial"], where + ".serial", 0xFFFFFFFF));
    const auto fw = VersionBytes(j["firmware"], where + ".firmware", 3);
    c.fw_major = fw[0], c.fw_minor = fw[1], c.fw_build = fw[2];
    if (j.contains("booter")) {
        const auto b = VersionBytes(j["booter"], where + ".booter", 2);
        c.boot_major = b[0], c.boot_minor = b[1];
    }
    if (j.contains("in_booter")) c.in_booter = Bool(j["in_booter"], where + ".in_booter");
    if (j.contains("tipoFamBoot"))
        c.tipoFamBoot = uint16_t(UInt(j["tipoFamBoot"], where + ".tipoFamBoot", 0xFFFF));
    if (j.contains("unstamped_firmware")) {
        const auto v = VersionBytes(j["unstamped_firmware"], where + ".unstamped_firmware", 3);
        c.unstamped_firmware = std::array<uint8_t, 3>{v[0], v[1], v[2]};
    }
    if (j.contains("unstamped_booter")) {
        const auto v = VersionBytes(j["unstamped_booter"], where + ".unstamped_booter", 2);
        c.unstamped_booter = std::array<uint8_t, 2>{v[0], v[1]};
    }
}

SimSlaveConfig ReadSlave(const json& j, const std::string& where) {
    if (!j.is_object()) Bad(where, "expected an object");
    OnlyKeys(j, where,
             {"number", "code", "serial", "firmware", "booter", "in_booter", "tipoFamBoot",
              "unstamped_firmware", "unstamped_booter", "net_code", "identity_changes", "unreadable",
              "stays_in_booter", "booter_never_takes"});
    for (const char* k : {"number", "code", "serial", "firmware"})
        if (!j.contains(k)) Bad(where + "." + k, "missing");
    SimSlaveConfig c;
    const json& number = j["number"];
    if (!number.is_number_unsigned() || number.get<uint64_t>() < 1 || number.get<uint64_t>() > 31)
        Bad(where + ".number", "expected a whole number from 1 to 31");
    c.number = uint8_t(number.get<uint64_t>());
    ReadIdentity(j, where, 0xFFFF, c);
    if (j.contains("net_code")) c.net_code = uint16_t(UInt(j["net_code"], where + ".net_code", 0xFFFF));
    if (j.contains("identity_changes"))
        c.identity_changes = Bool(j["identity_changes"], where + ".identity_changes");
    if (j.contains("unreadable")) c.unreadable = Bool(j["unreadable"], where + ".unreadable");
    if (j.contains("stays_in_booter")) {
        const json& v = j["stays_in_booter"];
        const std::string key = where + ".stays_in_booter";
        if (v.is_boolean())
            c.stays_in_booter = v.get<bool>() ? SimSlaveConfig::kAlways : 0;
        else if (v.is_number_integer())
            c.stays_in_booter = uint32_t(UInt(v, key, SimSlaveConfig::kAlways - 1));
        else
            Bad(key, "expected true, false or how many wake requests it ignores");
    }
    if (j.contains("booter_never_takes"))
        c.booter_never_takes = Bool(j["booter_never_takes"], where + ".booter_never_takes");
    return c;
}

void ReadNet(const json& j, const std::string& where, SimNetConfig* net) {
    if (j.contains("slaves")) {
        const json& list = j["slaves"];
        if (!list.is_array()) Bad(where + ".slaves", "expected a list");
        std::set<uint8_t> numbers;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string at = where + ".slaves[" + std::to_string(i) + "]";
            net->slaves.push_back(ReadSlave(list[i], at));
            if (!numbers.insert(net->slaves.back().number).second)
                Bad(at + ".number", "slave " + std::to_string(net->slaves.back().number) + " is used twice");
        }
    }
    if (j.contains("infofwupd_flags")) {
        const json& v = j["infofwupd_flags"];
        if (v.is_string()) {
            if (v.get<std::string>() != "fails")
                Bad(where + ".infofwupd_flags", "expected a whole number from 0 to 255 or \"fails\"");
            net->infofwupd_fails = true;
        } else {
            net->infofwupd_flags = uint8_t(UInt(v, where + ".infofwupd_flags", 0xFF));
        }
    }
    if (j.contains("net_rebuild_ms"))
        net->rebuild_ms = uint32_t(UInt(j["net_rebuild_ms"], where + ".net_rebuild_ms", 0xFFFFFFFF));
}

SimInstrumentConfig ReadInstrument(const json& j, const std::string& where) {
    if (!j.is_object()) Bad(where, "expected an object");
    OnlyKeys(j, where,
             {"code", "serial", "firmware", "booter", "in_booter", "tipoFamBoot", "unstamped_firmware",
              "unstamped_booter", "chip", "product_id", "reenumerate_ms", "bulk_out_ms", "faults", "path", "slaves",
              "infofwupd_flags", "net_rebuild_ms", "flash", "memory", "logged_bytes", "present_from_ms",
              "present_until_ms"});
    for (const char* k : {"code", "serial", "firmware"})
        if (!j.contains(k)) Bad(where + "." + k, "missing");
    SimInstrumentConfig c;
    ReadIdentity(j, where, 0xFFFFFFFF, c);
    if (j.contains("chip")) {
        const std::string chip = Text(j["chip"], where + ".chip");
        if (chip != "D11" && chip != "D12")
            Bad(where + ".chip", "expected \"D11\" or \"D12\", got \"" + chip + "\"");
        c.d11 = chip == "D11";
    }
    if (j.contains("product_id"))
        c.product_id = uint16_t(UInt(j["product_id"], where + ".product_id", 0xFFFF));
    if (j.contains("reenumerate_ms"))
        c.reenumerate_ms = uint32_t(UInt(j["reenumerate_ms"], where + ".reenumerate_ms", 0xFFFFFFFF));
    if (j.contains("bulk_out_ms"))
        c.bulk_out_ms = uint32_t(UInt(j["bulk_out_ms"], where + ".bulk_out_ms", 60000));
    if (j.contains("path")) {
        c.path = Text(j["path"], where + ".path");
        if (c.path.rfind("usb:", 0) != 0 || c.path.find('-') == std::string::npos)
            Bad(where + ".path", "expected \"usb:<bus>-<port>[.<port>...]\", got \"" + c.path + "\"");
    }
    if (j.contains("flash")) c.flash = ReadFlash(j["flash"], where + ".flash");
    if (j.contains("memory")) {
        const json& l = j["memory"];
        if (!l.is_array()) Bad(where + ".memory", "expected a list");
        for (size_t i = 0; i < l.size(); ++i)
            c.memory.push_back(ReadMemoryBlock(l[i], where + ".memory[" + std::to_string(i) + "]"));
    }
    if (j.contains("logged_bytes"))
        c.logged_bytes = uint32_t(UInt(j["logged_bytes"], where + ".logged_bytes", kMaxLoggedBytes));
    if (j.contains("faults")) {
        const json& fs = j["faults"];
        if (!fs.is_array()) Bad(where + ".faults", "expected a list");
        for (size_t i = 0; i < fs.size(); ++i)
            c.faults.push_back(ReadFault(fs[i], where + ".faults[" + std::to_string(i) + "]"));
    }
    // A day of bench at most: a larger time is a typo, not a bench.
    constexpr uint64_t kMaxPresenceMs = 24ull * 3600 * 1000;
    if (j.contains("present_from_ms"))
        c.present_from_ms = UInt(j["present_from_ms"], where + ".present_from_ms", kMaxPresenceMs);
    if (j.contains("present_until_ms")) {
        c.present_until_ms = UInt(j["present_until_ms"], where + ".present_until_ms", kMaxPresenceMs);
        if (*c.present_until_ms <= c.present_from_ms)
            Bad(where + ".present_until_ms", "expected a time after present_from_ms (" +
                                                 std::to_string(c.present_from_ms) + ")");
    }
    ReadNet(j, where, &c.net);
    return c;
}

}  // namespace

bool ParseScenario(const std::string& text, const std::string& source, Scenario* out,
                   std::string* error) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        // Also a number too large for a double: the parser reports it as out of range.
        if (error) *error = source + ": not valid JSON (" + e.what() + ")";
        return false;
    }
    try {
        if (!j.is_object()) Bad("(top level)", "expected an object");
        OnlyKeys(j, "", {"time_scale", "instruments", "trace_file"});
        Scenario s;
        if (j.contains("time_scale")) {
            // 0, or a factor a person can watch: the clock computes with it.
            const json& t = j["time_scale"];
            const double v = t.is_number() ? t.get<double>() : -1;
            if (!t.is_number() || !std::isfinite(v) ||
                (v != 0 && (v < kMinTimeScale || v > kMaxTimeScale)))
                Bad("time_scale", "expected 0 or a number from 0.0001 to 100");
            s.time_scale = v;
        }
        if (j.contains("trace_file")) {
            s.trace_file = Text(j["trace_file"], "trace_file");
            // Appending creates nothing else and truncates nothing.
            std::ofstream probe(s.trace_file, std::ios::app);
            if (s.trace_file.empty() || !probe) Bad("trace_file", "cannot be opened for writing: \"" + s.trace_file + "\"");
        }
        if (!j.contains("instruments")) Bad("instruments", "missing");
        const json& list = j["instruments"];
        if (!list.is_array()) Bad("instruments", "expected a list");
        std::set<std::string> paths;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string where = "instruments[" + std::to_string(i) + "]";
            s.instruments.push_back(ReadInstrument(list[i], where));
            uint64_t total = 0;
            for (const auto& c : s.instruments)
                for (const auto& m : c.memory) total += m.size;
            if (total > kMaxMemoryTotal)
                Bad(where + ".memory", "the memory blocks of the scenario take " + std::to_string(total) +
                                           " bytes together; at most " + std::to_string(kMaxMemoryTotal) +
                                           " (256 MiB)");
            const std::string& p = s.instruments.back().path;
            if (!p.empty() && !paths.insert(p).second)
                Bad(where + ".path", "\"" + p + "\" is used twice");
        }
        *out = std::move(s);
        return true;
    } catch (const BadValue& b) {
        if (error) *error = source + ": " + b.key + ": " + b.what;
        return false;
    }
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
    std::string text, why;
    if (!vesk::read_user_file(path, vesk::kMaxScenarioFile, text, why)) {
        // A FIFO, a device or a huge file is refused as it is named; anything else cannot be read.
        if (error) *error = why.find(" cannot be read") != std::string::npos ? path + ": cannot be read" : why;
        return false;
    }
    return ParseScenario(text, path, out, error);
}

std::unique_ptr<SimBus> MakeBus(const Scenario& scenario) {
    auto bus = std::make_unique<SimBus>();
    if (!scenario.trace_file.empty()) bus->trace().StreamTo(scenario.trace_file);
    // Fixed ports first, so the free ports handed to the others never clash with them.
    for (const auto& c : scenario.instruments)
        if (!c.path.empty()) bus->Add(c);
    for (const auto& c : scenario.instruments)
        if (c.path.empty()) bus->Add(c);
    return bus;
}

std::unique_ptr<SimBus> BusFromJson(const std::string& text, std::string* error) {
    Scenario s;
    if (!ParseScenario(text, "(scenario text)", &s, error)) return nullptr;
    return MakeBus(s);
}

std::unique_ptr<vesk::IClock> MakeScenarioClock(double time_scale) {
    if (time_scale > 0) return std::make_unique<vesk::ScaledClock>(time_scale);
    return std::make_unique<vesk::VirtualClock>();
}

}  // namespace vesk::sim
