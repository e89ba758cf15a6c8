// The backup taken before an update: which areas each family gives, where
// the folder goes, what a unit whose data cannot be read leaves, against
// simulated instruments.
#include "update/backup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "../support/full_disk.h"
#include "../support/sim_fixture.h"
#include "../support/scoped_env.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "sim/sim_memory.h"
#include "sim/sim_net.h"

namespace {

namespace fs = std::filesystem;
using vesk::sim::SimPattern;
using vesk::update::BackupResult;
using vesk::update::BackupRoot;
using vesk::update::SalvaBackup;
using Bytes = std::vector<uint8_t>;

// 2026-03-04 05:06:07 UTC
constexpr std::time_t kWhen = 1772600767;

using vesk::test::ScopedEnv;

Bytes ReadFile(const fs::path& p) {
    const std::string s = vesk::test::read_file(p.string());
    return Bytes(s.begin(), s.end());
}

class Backup : public vesk::test::SimFixture {
protected:
    Backup() { ::tzset(); }
    void TearDown() override { conn_dl_.reset(); }

    template <typename C>
    C& Connect(const std::string& fields, const std::string& extra = "") {
        conn_dl_.reset();
        Load(vesk::test::SimScenarioJson({"{" + fields + (extra.empty() ? "" : ", " + extra) + "}"}));
        info_ = Info();
        std::unique_ptr<C> c;
        if constexpr (std::is_constructible_v<C, std::wstring, std::wstring>)
            c = std::make_unique<C>(L"Fam", L"");
        else
            c = std::make_unique<C>(L"");
        C& ref = *c;
        EXPECT_TRUE(ref.Connetti(&info_));
        bool ok = false;
        ref.RefreshIdent(true, ok);
        conn_dl_ = std::move(c);
        log_.clear();
        return ref;
    }
    fs::path Root() const { return fs::path(state_.path()) / "vesk-firmup" / "backups"; }
    std::vector<std::string> Names(const fs::path& folder) const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    vesk::test::TempDir state_;
    ScopedEnv xdg_{"XDG_STATE_HOME", state_.path().c_str()};
    ScopedEnv tz_{"TZ", "UTC"};
    CDeviceInfo info_;
    std::unique_ptr<IConnectionStrumento> conn_dl_;
};

constexpr const char* kQuarv4 = R"("code": 62, "serial": 620, "firmware": "45.01.00", "net_rebuild_ms": 0,
    "slaves": [{"number": 3, "code": 2017, "serial": 73, "firmware": "02.00.00"}],
    "memory": [{"address": 1073774592, "size": 24576, "seed": 1}, {"address": 16744448, "size": 8192, "seed": 2},
               {"address": 16752896, "size": 7936, "seed": 3}])";

TEST_F(Backup, EachAreaTheFamilyKeepsGoesToAFolderOfTheUnitAndTime) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    vesk::sim::WriteSlaveMemory(Inst(), 3, 0x22000000, SimPattern(4, 8192));
    const BackupResult r = SalvaBackup(c, 620, kWhen);
    EXPECT_TRUE(r.Complete());
    const fs::path folder = Root() / "620-20260304-050607";
    EXPECT_EQ(fs::path(vesk::to_utf8(r.folder)), folder);
    EXPECT_EQ(r.saved, (std::vector<std::string>{"config", "sensors", "ecu", "finish-lines"}));
    EXPECT_EQ(Names(folder),
              (std::vector<std::string>{"config.bin", "ecu.bin", "finish-lines.bin", "sensors.bin"}));
    // The 8 KB block at 0x8000 of bank 1, then the 16 KB block at 0xC000.
    Bytes config = Inst().memory().Read(0x40008000, 8192);
    const Bytes pcconf = Inst().memory().Read(0x4000C000, 16384);
    config.insert(config.end(), pcconf.begin(), pcconf.end());
    EXPECT_EQ(ReadFile(folder / "config.bin"), config);
    EXPECT_EQ(Bytes(config.begin(), config.begin() + 16), SimPattern(1, 16));
    EXPECT_EQ(ReadFile(folder / "ecu.bin"), SimPattern(2, 8192));
    EXPECT_EQ(ReadFile(folder / "sensors.bin"), SimPattern(3, 7936));
    const Bytes lines = ReadFile(folder / "finish-lines.bin");
    ASSERT_EQ(lines.size(), 8704u);
    EXPECT_EQ(Bytes(lines.begin() + 512, lines.end()), SimPattern(4, 8192));
    // Only the user reads it; the log says where it went.
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(log_.contains("Backup of unit 620 saved in " + folder.string() + ": config, sensors, ecu, finish-lines"));
}

TEST_F(Backup, WhatEachFamilyGives) {
    struct Case {
        const char* what;
        std::function<IConnectionStrumento&()> connect;
        std::vector<std::string> saved;
    } cases[] = {
        {"Pell DL: its 32 KB configuration and the finish lines it holds itself",
         [this]() -> IConnectionStrumento& {
             return Connect<CConnectionPellDL460300>(R"("code": 65, "serial": 650, "firmware": "46.03.00")");
         },
         {"config", "sensors", "ecu", "finish-lines"}},
        {"Quarv3: no net, so no finish lines",
         [this]() -> IConnectionStrumento& {
             return Connect<CConnectionStrumentoTipoQuarv3>(R"("code": 19, "serial": 190, "firmware": "14.90.00")");
         },
         {"config", "sensors", "ecu"}},
        {"data key: the finish lines of its GPS slave",
         [this]() -> IConnectionStrumento& {
             return Connect<CConnectionDataKey>(R"("code": 111, "serial": 111, "firmware": "01.00.00",
                 "net_rebuild_ms": 0, "slaves": [{"number": 1, "code": 2018, "serial": 81, "firmware": "02.00.00"}])");
         },
         {"finish-lines"}},
        {"memory key: nothing",
         [this]() -> IConnectionStrumento& {
             return Connect<CConnectionMemoryKey>(R"("code": 112, "serial": 112, "firmware": "01.00.00")");
         },
         {}},
    };
    for (const auto& k : cases) {
        IConnectionStrumento& c = k.connect();
        const BackupResult r = SalvaBackup(c, 1, kWhen);
        EXPECT_EQ(r.saved, k.saved) << k.what;
        EXPECT_TRUE(r.Complete()) << k.what;
        if (k.saved.empty()) {
            EXPECT_TRUE(r.folder.empty()) << k.what;
            EXPECT_TRUE(log_.contains("Unit 1 keeps nothing to back up")) << k.what;
        } else {
            EXPECT_EQ(Names(vesk::to_utf8(r.folder)).size(), k.saved.size()) << k.what;
        }
    }
    // Three backups of "unit 1" within one second: each its own folder.
    EXPECT_TRUE(fs::is_directory(Root() / "1-20260304-050607"));
    EXPECT_TRUE(fs::is_directory(Root() / "1-20260304-050607-2"));
    EXPECT_TRUE(fs::is_directory(Root() / "1-20260304-050607-3"));
}

TEST_F(Backup, AreasThatCannotBeReadAreReportedAndTheRestIsSaved) {
    // In its booter a Pell answers neither configuration nor GPS requests;
    // the sensors and ECU driver areas read in either mode.
    auto& c = Connect<CConnectionPellDL460300>(R"("code": 65, "serial": 650, "firmware": "46.03.00", "in_booter": true)");
    const BackupResult r = SalvaBackup(c, 650, kWhen);
    EXPECT_FALSE(r.Complete());
    EXPECT_EQ(r.saved, (std::vector<std::string>{"sensors", "ecu"}));
    ASSERT_EQ(r.failed.size(), 2u);
    EXPECT_EQ(r.failed[0].area, "config");
    EXPECT_EQ(r.failed[0].why, "the configuration could not be read");
    EXPECT_EQ(r.failed[1].area, "finish-lines");
    EXPECT_TRUE(log_.contains("ERROR = Backup of unit 650: config not saved: the configuration could not be read"));
    EXPECT_TRUE(log_.contains("Backup of unit 650 saved in"));
}

TEST_F(Backup, AFolderThatCannotBeMadeLeavesEveryAreaUnsaved) {
    state_.write("file", "x");
    ScopedEnv blocked("XDG_STATE_HOME", state_.file("file").c_str());
    auto& c = Connect<CConnectionStrumentoTipoQuarv3>(R"("code": 19, "serial": 190, "firmware": "14.90.00")");
    const BackupResult r = SalvaBackup(c, 190, kWhen);
    EXPECT_TRUE(r.folder.empty());
    EXPECT_TRUE(r.saved.empty());
    ASSERT_EQ(r.failed.size(), 3u);
    EXPECT_NE(r.failed[0].why.find("cannot be created"), std::string::npos) << r.failed[0].why;
    EXPECT_EQ(r.unwritable, r.failed[0].why);
}

// A disk that fills up: what fitted is saved, the rest is named with why, no
// half-written file is left, and a folder that holds nothing is not left
// either. The result says the backup could not be written.
TEST_F(Backup, AFullDiskSavesWhatFitsAndLeavesNoHalfWrittenFile) {
    struct Case {
        rlim_t limit;
        std::vector<std::string> saved, files;
    } cases[] = {
        {8000, {"sensors"}, {"sensors.bin"}},  // the 7936 bytes of the sensors fit, nothing else does
        {100, {}, {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.limit);
        auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
        const auto before = fs::exists(Root()) ? Names(Root()) : std::vector<std::string>{};
        BackupResult r;
        {
            vesk::test::ScopedFullDisk full(k.limit);
            r = SalvaBackup(c, 620, kWhen + std::time_t(k.limit));
        }
        EXPECT_EQ(r.saved, k.saved);
        EXPECT_FALSE(r.Complete());
        EXPECT_NE(r.unwritable.find("could not be written"), std::string::npos) << r.unwritable;
        ASSERT_FALSE(r.failed.empty());
        EXPECT_EQ(r.failed[0].area, "config");
        EXPECT_EQ(r.failed[0].why.find(vesk::to_utf8(BackupRoot())), 0u) << r.failed[0].why;
        if (k.files.empty()) {
            EXPECT_TRUE(r.folder.empty());
            EXPECT_EQ(Names(Root()), before) << "a folder without a backup in it was left";
        } else {
            EXPECT_EQ(Names(fs::path(vesk::to_utf8(r.folder))), k.files);
        }
        for (const auto& e : fs::recursive_directory_iterator(Root()))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
}

// Each backup removes the oldest of its unit beyond kBackupsKept, and only
// folders named as its backups: another unit's, a file, a link stay.
TEST_F(Backup, KeepsTheNewestOfEachUnit) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    fs::create_directories(Root());
    const fs::path elsewhere = Root().parent_path() / "kept";
    fs::create_directories(elsewhere);
    std::vector<std::string> older;
    for (int day = 1; day <= 25; ++day) {
        char name[32];
        std::snprintf(name, sizeof name, "620-202601%02d-000000", day);
        fs::create_directories(Root() / name);
        older.push_back(name);
    }
    const std::vector<std::string> others = {"6200-20250101-000000", "0-20250101-000000", "notes"};
    for (const auto& o : others) fs::create_directories(Root() / o);
    state_.write("vesk-firmup/backups/620-20250101-000000", "a file");
    fs::create_directory_symlink(elsewhere, Root() / "620-20250102-000000");

    const BackupResult r = SalvaBackup(c, 620, kWhen);
    ASSERT_FALSE(r.folder.empty());
    // The new one and the 19 newest before it.
    std::vector<std::string> expected(older.end() - 19, older.end());
    expected.push_back("620-20260304-050607");
    expected.insert(expected.end(), others.begin(), others.end());
    expected.push_back("620-20250101-000000");
    expected.push_back("620-20250102-000000");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(Root()), expected);
    EXPECT_TRUE(fs::exists(elsewhere));
}

TEST(BackupRoot, SimulatedInstrumentsKeepTheirsApart) {
    ScopedEnv xdg("XDG_STATE_HOME", "/xdg/state");
    {
        ScopedEnv served("UMOCKDEV_DIR", "/tmp/umockdev.x");
        EXPECT_EQ(vesk::update::BackupRoot(), L"/xdg/state/vesk-firmup/simulated-backups");
    }
    ScopedEnv served("UMOCKDEV_DIR", nullptr);
    vesk::update::SetSimulatedBackups(true);
    EXPECT_EQ(vesk::update::BackupRoot(), L"/xdg/state/vesk-firmup/simulated-backups");
    vesk::update::SetSimulatedBackups(false);
    EXPECT_EQ(vesk::update::BackupRoot(), L"/xdg/state/vesk-firmup/backups");
}

TEST(BackupRoot, FollowsTheUsersStateFolder) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* root;
    } cases[] = {
        {"/xdg/state", "/home/u", "/xdg/state/vesk-firmup/backups"},
        {"relative/state", "/home/u", "/home/u/.local/state/vesk-firmup/backups"},
        {nullptr, "/home/u", "/home/u/.local/state/vesk-firmup/backups"},
    };
    for (const auto& k : cases) {
        ScopedEnv xdg("XDG_STATE_HOME", k.xdg);
        ScopedEnv home("HOME", k.home);
        EXPECT_EQ(vesk::update::BackupRoot(), vesk::from_utf8(k.root)) << (k.xdg ? k.xdg : "(unset)");
    }
}

}  // namespace
