// Seeded random update runs: a master of each family or a key device, up to
// five slaves of random kinds on a Pell DL, random versions and booter
// states, a random folder of update files made by the simulator's firmware
// maker, and at most one random fault. Each goes through the plan and the
// run and is checked against the invariants of run_invariants.h, and more:
// without a fault every unit that was offered a version reports it, and no
// write ever lands outside its family's flash regions.
//
// VESK_PROPERTY_SEED=s runs that seed alone; VESK_PROPERTY_SEEDS=n runs
// seeds 1..n (default: a few per shard). A failure names its seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../support/run_invariants.h"
#include "../support/update_scenarios.h"
#include "sim/sim_fault.h"

namespace {

using vesk::sim::FaultKind;
using vesk::sim::FaultWhen;
using vesk::sim::SimFault;
using vesk::test::RunReport;
using vesk::test::SlaveUnderTest;

struct FileSpec {
    std::string name;  // with its folder
    uint32_t base;
    uint32_t size;
    std::string version;
};

// A file of the folder.
struct Master {
    const char* name;
    uint32_t code;
    int major;  // firmware major byte, as printed
    const char* fw_pattern;  // "%s" for the version digits
    uint32_t fw_base;
    const char* lng_pattern;  // or null
    uint32_t lng_base;
    const char* booter_pattern;  // or null; in _BOOTER
    uint32_t booter_base;
    bool has_net;
};

const Master kMasters[] = {
    {"Quarv3", 19, 1, "Quarv3_%s_fw.mhx", 0xFE0000, nullptr, 0, "Booter_Quarv3_%s.mhx", 0xFFC000, false},
    {"Tolmar", 63, 0x43, "Tolmar_%s_fw.mhx", 0xFE0000, nullptr, 0, "Booter_Quarv4_%s.mhx", 0xDF0000, false},
    {"Pell", 64, 0x46, "Pell_%s_fw.mhx", 0xFE0000, "Pell_%s_lng.mhx", 0xFC0000, nullptr, 0, false},
    {"Pell DL", 65, 0x46, "Pell_%s_fw.mhx", 0xFE0000, "Pell_%s_lng.mhx", 0xFC0000, nullptr, 0, true},
    {"Data key", 111, 1, "DataKEY_%s_fw.mot", 0xE0000, nullptr, 0, "Booter_Keys_%s.mot", 0xFC000, false},
    {"Memory key", 112, 1, "MemoryKey_%s_fw.mot", 0xE0000, nullptr, 0, "Booter_Keys_%s.mot", 0xFC000, false},
};

struct SlaveKind {
    int code;
    const char* fw_pattern;
    uint32_t fw_base;
    const char* lng_pattern;
    const char* booter_pattern;
    uint32_t booter_base;
};

const SlaveKind kSlaveKinds[] = {
    {2006, "Slv_Lambda_%s_fw.mhx", 0xFF0000, nullptr, "Booter_Slv_Lambda_%s.mhx", 0xFFC000},
    {2017, "Slv_GPS_%s_fw.mot", 0xE0000, nullptr, "Booter_Dovo4eGPS0304_%s.mot", 0xFC000},
    {2021, "Slv_Varnel_%s_fw.mhx", 0xFC0000, "Slv_Varnel_%s_lng.mhx", "Booter_Slv_Varnel_%s.mhx", 0xDF0000},
    {2016, nullptr, 0, nullptr, nullptr, 0},  // a camera: the net is refused
};

std::string Fill(const char* pattern, const std::string& digits) {
    char buf[128];
    std::snprintf(buf, sizeof buf, pattern, digits.c_str());
    return buf;
}

// One random case: its scenario, folder, fault and what the checks need.
struct Case {
    std::string scenario;
    std::vector<FileSpec> files;
    std::vector<SlaveUnderTest> slaves;
    std::string fault;        // described, for the failure message
    SimFault master_fault;    // armed after the plan when master_faulted
    bool master_faulted = false;
    bool slave_faulted = false;
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    Case Make() {
        Case c;
        const Master& m = kMasters[Pick(std::size(kMasters))];
        const int minor = 1 + int(Pick(8));
        std::string master = R"({"code": )" + std::to_string(m.code) + R"(, "serial": )" +
                             std::to_string(100 + Pick(900)) + R"(, "firmware": ")" + Version(m.major, minor) + "\"" +
                             R"(, "booter": ")" + Booter() + R"(", "tipoFamBoot": 2, "net_rebuild_ms": 0)";
        if (Chance(15)) master += R"(, "in_booter": true)";
        if (Chance(50)) master += R"(, "infofwupd_flags": 1)";
        // The folder: the master's firmware (and language), its booter.
        if (Chance(80)) {
            const std::string v = Version(m.major, 1 + int(Pick(9)));
            c.files.push_back({Fill(m.fw_pattern, Digits(v)), m.fw_base, 0x400, v});
            if (m.lng_pattern && Chance(70)) c.files.push_back({Fill(m.lng_pattern, Digits(v)), m.lng_base, 0x400, v});
        }
        if (m.booter_pattern && Chance(50)) {
            const std::string b = Booter();
            c.files.push_back({"_BOOTER/" + Fill(m.booter_pattern, Digits(b)), m.booter_base, 0x400, b});
        }
        std::string slaves;
        if (m.has_net) {
            const size_t n = Pick(6);
            std::vector<bool> kind_has_files(std::size(kSlaveKinds), false);
            for (size_t i = 0; i < n; ++i) {
                const size_t kind = Chance(5) ? 3 : Pick(3);
                const SlaveKind& k = kSlaveKinds[kind];
                const uint8_t number = uint8_t(i + 1);
                const uint32_t serial = uint32_t(1000 + 10 * i + Pick(10));
                std::string extra = R"(, "booter": ")" + Booter() + "\"";
                if (Chance(20)) extra += R"(, "in_booter": true)";
                slaves += (i ? ", " : "") + vesk::test::Slave(number, k.code, serial, extra);
                // Each slave runs 01.0x.yy.
                slaves.replace(slaves.rfind("01.00.00"), 8, Version(1, 1 + int(Pick(8))));
                c.slaves.push_back({number, serial});
                if (!k.fw_pattern || kind_has_files[kind]) continue;
                kind_has_files[kind] = true;
                if (Chance(75)) {
                    const std::string v = Version(1, 1 + int(Pick(9)));
                    c.files.push_back({Fill(k.fw_pattern, Digits(v)), k.fw_base, 0x400, v});
                    if (k.lng_pattern && Chance(70))
                        c.files.push_back({Fill(k.lng_pattern, Digits(v)), k.fw_base, 0x400, v});
                }
                if (Chance(50)) {
                    const std::string b = Booter();
                    c.files.push_back({"_BOOTER/" + Fill(k.booter_pattern, Digits(b)), k.booter_base, 0x400, b});
                }
            }
        }
        AddFault(c, master, slaves);
        c.scenario = R"({"instruments": [)" + master + (m.has_net ? R"(, "slaves": [)" + slaves + "]" : "") + "}]}";
        return c;
    }

private:
    void AddFault(Case& c, std::string& /*master*/, std::string& slaves) {
        const size_t what = Pick(10);
        if (what < 3) {
            c.fault = "none";
            return;
        }
        if (what < 7) {
            static const FaultKind kinds[] = {FaultKind::DriverError, FaultKind::Stall, FaultKind::Short,
                                              FaultKind::Timeout, FaultKind::Unplug};
            static const char* names[] = {"driver_error", "stall", "short", "timeout", "unplug"};
            const size_t k = Pick(std::size(kinds));
            c.master_fault.kind = kinds[k];
            c.master_fault.when = Chance(80) ? FaultWhen::At : FaultWhen::From;
            c.master_fault.n = uint32_t(1 + Pick(900));
            c.fault = std::string(names[k]) + (c.master_fault.when == FaultWhen::At ? " at " : " from ") +
                      std::to_string(c.master_fault.n);
            c.master_faulted = true;
            return;
        }
        if (what < 9 || c.slaves.empty()) {
            static const FaultKind kinds[] = {FaultKind::NeverReturns, FaultKind::SlowReturn, FaultKind::NewProductId};
            static const char* names[] = {"never_returns", "slow_return", "new_product_id"};
            const size_t k = Pick(std::size(kinds));
            c.master_fault.kind = kinds[k];
            c.master_fault.when = FaultWhen::At;
            c.master_fault.n = uint32_t(1 + Pick(3));
            c.master_fault.ms = uint32_t(1000 + Pick(30000));
            c.master_fault.product_id = 4097;
            c.fault = std::string(names[k]) + " at departure " + std::to_string(c.master_fault.n);
            c.master_faulted = true;
            return;
        }
        // A slave fault: its entry gets one more key.
        static const char* keys[] = {R"("stays_in_booter": true)", R"("booter_never_takes": true)",
                                     R"("identity_changes": true)", R"("unreadable": true)"};
        const size_t k = Pick(std::size(keys));
        const size_t s = Pick(c.slaves.size());
        size_t at = 0;
        for (size_t i = 0; i <= s; ++i) at = slaves.find(R"({"number": )", i ? at + 1 : 0);
        slaves.insert(at + 1, std::string(keys[k]) + ", ");
        c.slaves[s].may_stay_in_booter = k == 0;
        c.slaves[s].answers = k != 2 && k != 3;  // an identity that never settles cannot be read
        c.fault = "slave " + std::to_string(s + 1) + " " + keys[k];
        c.slave_faulted = true;
    }

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool Chance(int percent) { return Pick(100) < size_t(percent); }
    // "MM.mm.bb" with the bytes printed as two hex digits; minor and build
    // are decimal digits (BCD), as units report them.
    std::string Version(int major, int minor) {
        char buf[40];  // room for any int, so the compiler sees no truncation
        std::snprintf(buf, sizeof buf, "%02X.%02d.%02d", major, minor, int(Pick(3)) * 5);
        return buf;
    }
    std::string Booter() {
        char buf[8];
        std::snprintf(buf, sizeof buf, "01.%02d", int(Pick(6)));
        return buf;
    }
    static std::string Digits(const std::string& v) {
        std::string d;
        for (char ch : v)
            if (ch != '.') d += ch;
        return d;
    }
    std::mt19937 rng_;
};

class RandomRuns : public vesk::test::RobustRunFixture, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        RobustRunFixture::SetUp();
        // A seed run alone shows its log.
        if (!std::getenv("VESK_PROPERTY_SEED")) QuietConsole();
    }

    // Runs one seed; its failures name it.
    void RunSeed(uint32_t seed) {
        const Case c = Generator(seed).Make();
        std::filesystem::remove_all(dir_.file(""));
        std::filesystem::create_directories(dir_.file("_BOOTER"));
        std::filesystem::create_directories(dir_.file("_ACCESSORI"));
        for (const FileSpec& f : c.files) vesk::test::MakeFirmwareFile(dir_, f.name, f.base, f.size, f.version);
        Start(c.scenario);
        const RunReport r = RunAndCheck(c.slaves, [&] {
            if (c.master_faulted) Inst().faults().push_back(c.master_fault);
        });
        std::vector<std::string> problems = r.violations;
        const auto& run = Proc().LastRun();
        using Outcome = CUpdateProcedure::RunOutcome;
        const bool fault_free = !c.master_faulted && !c.slave_faulted;
        // The refresh after the run (RunAndCheck) read what the units report.
        Proc().VerificaUnita();
        for (const auto& u : run.units) {
            if (u.expected.empty() || u.verified) continue;
            const bool master = u.row_index == 0;
            const bool slaves_left = run.outcome == Outcome::SlavesRefused || run.outcome == Outcome::NoSlaveUpdate;
            if (fault_free && (master || !slaves_left))
                problems.push_back("unit " + std::to_string(u.serial) + " offered " + Text(u.expected) +
                                   " reports \"" + Text(u.after) + "\" after a run without a fault");
            else if (master && c.slave_faulted)
                problems.push_back("master offered " + Text(u.expected) + " reports \"" + Text(u.after) +
                                   "\" after a slave's fault");
        }
        for (const auto& e : Trace()) {
            // The backup's reads of the configuration and GPS areas are
            // refused by a booter; only writes count here.
            const bool backup_read = e.request == 0x01 || (e.request == 0x02 && e.value == 0);
            if (e.result == 0 || backup_read) continue;
            const bool outside = e.note.find("outside") != std::string::npos ||
                                 e.note.find("no flash layout") != std::string::npos ||
                                 e.note.find("checksum mismatch") != std::string::npos;
            const bool wrong_mode = e.note.find("refused") != std::string::npos ||
                                    e.note.find("firmware running") != std::string::npos ||
                                    e.note.find("booter running") != std::string::npos;
            if (outside || (fault_free && wrong_mode)) problems.push_back("write refused by the flash: " + e.note);
        }
        if (!problems.empty()) {
            std::string text = "seed " + std::to_string(seed) + " (VESK_PROPERTY_SEED=" + std::to_string(seed) +
                               "), fault: " + c.fault + ", outcome: " + r.outcome_text + "\n  scenario: " + c.scenario +
                               "\n  files:";
            for (const FileSpec& f : c.files) text += " " + f.name;
            for (const auto& p : problems) text += "\n  " + p;
            ADD_FAILURE() << text;
        }
        ++codes_[r.code];
    }

    std::map<char, size_t> codes_;
};

constexpr int kShards = 4;
constexpr int kSeedsPerShard = 16;

TEST_P(RandomRuns, Seeds) {
    if (const char* one = std::getenv("VESK_PROPERTY_SEED")) {
        if (GetParam() != 0) GTEST_SKIP();
        RunSeed(uint32_t(std::strtoul(one, nullptr, 10)));
        return;
    }
    const char* many = std::getenv("VESK_PROPERTY_SEEDS");
    const int seeds = many ? std::atoi(many) : kShards * kSeedsPerShard;
    for (int seed = 1 + GetParam(); seed <= seeds; seed += kShards) RunSeed(uint32_t(seed));
    std::string tally;
    for (const auto& [code, n] : codes_) tally += std::string(" '") + code + "' " + std::to_string(n);
    std::printf("shard %d: outcomes%s\n", GetParam(), tally.c_str());
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomRuns, ::testing::Range(0, kShards));

}  // namespace
