// The connection base against the simulated master and its net, on the virtual clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../support/full_disk.h"
#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "device/connection_strumento_base.h"
#include "log/evt_log.h"
#include "records/model_names.h"

namespace {

using vesk::sim::TraceEntry;

std::string Slave(int number, int code, const std::string& extra = "") {
    return R"({"number": )" + std::to_string(number) + R"(, "code": )" + std::to_string(code) +
           R"(, "serial": )" + std::to_string(500 + number) +
           R"(, "firmware": "12.03.04", "booter": "01.02", "tipoFamBoot": 5)" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

std::string Slaves(const std::vector<std::string>& list) {
    std::string s = R"("slaves": [)";
    for (size_t i = 0; i < list.size(); ++i) s += (i ? ", " : "") + list[i];
    return s + "]";
}

class ConnectionBaseTest : public vesk::test::SimFixture {
protected:
    // Loads one master with the given extra fields and connects to it.
    void Connect(const std::string& extra = "", const std::wstring& folder = L"") {
        base_.reset();
        LoadOne(extra);
        info_ = Info();
        ASSERT_TRUE(CUSBConnection(256).Apri(info_) > 0);
        base_ = std::make_unique<CConnectionStrumentoBase>(folder);
        ASSERT_TRUE(base_->Connetti(&info_));
        ASSERT_TRUE(base_->GetINFOIDENT(info_.Ident()));
        bus_->trace().Clear();
        log_.clear();
    }
    // The memory requests with this command, for one slave.
    std::vector<TraceEntry> SlaveRequests(uint8_t command, uint8_t nslave) const {
        std::vector<TraceEntry> out;
        for (const auto& e : Memory())
            if (e.command() == command && e.byte(3) == nslave) out.push_back(e);
        return out;
    }
    size_t NetTableCommands() const {
        size_t n = 0;
        for (const auto& e : bus_->trace().Controls(0x0D)) n += e.command() == 27;
        return n;
    }

    CDeviceInfo info_;
    std::unique_ptr<CConnectionStrumentoBase> base_;
};

TEST_F(ConnectionBaseTest, ModeSwitchSendsOnlyWhenNeeded) {
    struct Case {
        bool in_booter;
        bool to_booter;
        bool sends;
        const char* log;
    };
    const Case cases[] = {
        {true, true, false, "device results to be already in booter"},
        {false, false, false, "device results to be already in firmware"},
        {false, true, true, nullptr},
        {true, false, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.in_booter) + std::to_string(c.to_booter));
        Connect(c.in_booter ? R"("in_booter": true)" : "");
        EXPECT_TRUE(c.to_booter ? base_->GotoBooter() : base_->GotoFirmware());
        const auto booter = bus_->trace().Controls(0x0F);
        if (c.sends) {
            ASSERT_EQ(booter.size(), 1u);
            EXPECT_EQ(booter[0].command(), 4);
        } else {
            EXPECT_TRUE(Transfers().empty());
            EXPECT_TRUE(log_.contains(std::string("CConnectionStrumentoBase::Goto") +
                                      (c.to_booter ? "Booter" : "Firmware")));
            EXPECT_TRUE(log_.contains(c.log));
        }
    }
}

TEST_F(ConnectionBaseTest, NetTableThatNeverSettlesFailsAfterElevenComparisons) {
    Connect(R"("net_rebuild_ms": 100000000, )" + Slaves({Slave(1, 41)}));
    const uint64_t start = clock_.now_ms();
    EXPECT_FALSE(base_->LeggiNetTable(true, false));
    EXPECT_TRUE(log_.contains("11 attempts are too many... there's no good master at the other "
                              "side so no good netident :-("));
    // The rebuild request, the first read and eleven rereads.
    EXPECT_EQ(NetTableCommands(), 13u);
    EXPECT_EQ(clock_.now_ms() - start, 1200u + 6600u + 11u * 300u);
    EXPECT_TRUE(SlaveRequests(49, 1).empty());
}

TEST_F(ConnectionBaseTest, RebuildThatSettlesLateIsWaitedFor) {
    Connect(R"("net_rebuild_ms": 8000, )" + Slaves({Slave(1, 41), Slave(3, 22)}));
    ASSERT_TRUE(base_->LeggiNetTable(true, true));
    const auto rebuild = bus_->trace().Controls(0x0D).front();
    EXPECT_EQ(rebuild.word(7), 1);  // C4 = 1
    EXPECT_EQ(info_.NetTable().SlaveCode(0), 41);
    EXPECT_EQ(info_.NetTable().SlaveCode(2), 22);
    EXPECT_EQ(info_.SlaveIdent(2).ID_logger(), 503u);
    EXPECT_EQ(info_.SlaveIdent(1).loggerCode(), 0u);
    EXPECT_TRUE(base_->GetProblemSlaves().empty());
    EXPECT_EQ(info_.GetDisplayName(), GetNomeStrumento(300) + L" ID 1234 [FW43.04.01]");
    EXPECT_TRUE(log_.contains("Quarv Dash 22 with firmware 12.03.04 nslave 3"));
}

TEST_F(ConnectionBaseTest, SlaveWhoseCodeNeverMatchesIsReadElevenTimes) {
    for (const bool fail_on_problems : {false, true}) {
        SCOPED_TRACE(fail_on_problems);
        Connect(Slaves({Slave(1, 41), Slave(2, 22, R"("net_code": 23)")}));
        EXPECT_EQ(base_->LeggiNetTable(false, fail_on_problems), !fail_on_problems);
        // Each identity read is a read and its confirmation.
        EXPECT_EQ(SlaveRequests(49, 2).size(), 22u);
        EXPECT_EQ(SlaveRequests(49, 1).size(), 2u);
        EXPECT_TRUE(log_.contains(
            "Too many attempts... there's no good slave at the other side :-( nslave 2"));
        EXPECT_TRUE(log_.contains(
            "slave infoident logger code 22 differs from netident logger code 23 nslave 2"));
        EXPECT_TRUE(log_.contains("Error: problems with slave  Quarv Dash 22"));
        EXPECT_EQ(base_->GetProblemSlaves(), std::vector<uint8_t>{1});
    }
}

TEST_F(ConnectionBaseTest, SlaveReadWaitsBetweenTheTenFirstReads) {
    Connect(Slaves({Slave(2, 22, R"("net_code": 23)")}));
    const uint64_t start = clock_.now_ms();
    base_->LeggiNetTable(false, false);
    // Net table: one reread; each identity: one confirmation; ten pauses between identities.
    EXPECT_EQ(clock_.now_ms() - start, 300u + 11u * 250u + 10u * 300u);
}

TEST_F(ConnectionBaseTest, FaultySlavesAreListedAsProblems) {
    Connect(Slaves({Slave(1, 41, R"("unreadable": true)"), Slave(2, 22, R"("identity_changes": true)"),
                    Slave(3, 61)}));
    EXPECT_TRUE(base_->LeggiNetTable(false, false));
    EXPECT_TRUE(log_.contains("Error in get ident slave nslave 1"));
    EXPECT_TRUE(log_.contains("Error in control write memory SLAVE_GETIDENT address 0 dati 0 nslave 1"));
    EXPECT_TRUE(log_.contains("11 attempts are too many... there's no good infoident :-("));
    EXPECT_TRUE(log_.contains("Error in get ident slave nslave 2"));
    EXPECT_EQ(base_->GetProblemSlaves(), (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(info_.SlaveIdent(2).loggerCode(), 61u);
}

TEST_F(ConnectionBaseTest, SlaveCodeWithVariantIsSplit) {
    Connect(Slaves({Slave(1, 0x1234)}));
    ASSERT_TRUE(base_->LeggiNetTable(false, true));
    EXPECT_EQ(info_.SlaveIdent(0).loggerCode(), 0x234u);
    EXPECT_EQ(info_.SlaveIdent(0).Variante_Ident(), 0x12);
}

TEST_F(ConnectionBaseTest, SlaveIdentityIsPatchedFromItsMemory) {
    Connect(Slaves({Slave(1, 41)}));
    ASSERT_TRUE(base_->LeggiNetTable(false, true));
    info_.SlaveIdent(0) = INFOIDENT();
    bus_->trace().Clear();
    ASSERT_TRUE(base_->LeggiIdentSlave(1, info_));
    // The simulated slave keeps hours 0x01, 0x2C and its build byte there.
    EXPECT_EQ(info_.SlaveIdent(0).OreMinuti(), 0x012C);
    EXPECT_EQ(info_.SlaveIdent(0).GetBuild(), 0x04);
    const auto reads = SlaveRequests(61, 1);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].address(), 0xFF000Au);
    EXPECT_EQ(reads[1].address(), 0xFF001Au);
}

TEST_F(ConnectionBaseTest, SistemaInfoIdentSlaveChoosesItsAddressByBooterFamily) {
    struct Case {
        uint16_t firm_in_esec;
        uint16_t tipo;
        int address;  // -1: nothing read
        uint16_t tipo_after;
    };
    const Case cases[] = {
        {1, 5, 0xFF000A, 5},          {1, 22, 0x0E000A, 22},  {1, 2, 0xFE000A, 2},
        {1, 999, -1, 999},            {1, 8, -1, 8},          {10, 0x1205, -1, 0x0005},
        {0x990A, 0x1205, -1, 0x0005}, {0x9901, 5, 0xFF000A, 5}, {0x9801, 5, 0xFF000A, 5},
    };
    Connect(Slaves({Slave(4, 41)}));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.firm_in_esec) + "/" + std::to_string(c.tipo));
        bus_->trace().Clear();
        INFOIDENT id;
        id.set_firmInEsec(c.firm_in_esec);
        id.set_tipoFamBoot(c.tipo);
        id.set_loggerCode(41);
        ASSERT_TRUE(base_->SistemaInfoIdentSlave(id, 3));
        EXPECT_EQ(id.tipoFamBoot(), c.tipo_after);
        const auto reads = SlaveRequests(61, 4);
        if (c.address < 0) {
            EXPECT_TRUE(Memory().empty());
        } else {
            ASSERT_EQ(reads.size(), 2u);
            EXPECT_EQ(reads[0].address(), uint32_t(c.address));
            EXPECT_EQ(reads[1].address(), uint32_t(c.address) + 16);
        }
        EXPECT_EQ(id.loggerCode(), 41u);
    }
}

TEST_F(ConnectionBaseTest, AnySlaveIdentityAndNetTableAreHandledSafely) {
    Connect(Slaves({Slave(1, 41)}));
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        uint8_t raw[260];
        for (auto& b : raw) b = uint8_t(rng());
        INFOIDENT id;
        id.FromBytes(raw, INFOIDENT::kSize);
        const uint32_t code = id.loggerCode();
        ASSERT_TRUE(base_->SistemaInfoIdentSlave(id, 0));
        if (code & 0xF000) {
            EXPECT_EQ(id.loggerCode(), code & 0x0FFF);
            EXPECT_EQ(id.Variante_Ident(), uint8_t(code >> 8));
        }
        CDeviceInfo info;
        info.NetTable().FromBytes(raw, NETIDENT::kSize);
        for (size_t s = 0; s < 32; ++s) info.SlaveIdent(s).FromBytes(raw + (s * 7) % 132, 128);
        info.BuildDisplayName({0, 5, 30});
        std::vector<uint8_t> conflicts;
        info.CheckSlaveConflicts(conflicts);
        for (const uint8_t c : conflicts) EXPECT_LT(c, 31);
    }
}

TEST_F(ConnectionBaseTest, SistemaInfoIdentSlaveReportsAFailedRead) {
    Connect(Slaves({Slave(1, 41, R"("unreadable": true)")}));
    INFOIDENT id;
    id.set_tipoFamBoot(5);
    EXPECT_FALSE(base_->SistemaInfoIdentSlave(id, 0));
    EXPECT_TRUE(log_.contains(
        "Error in control write memory MEM_READ16_SLAVE address 16711690 dati 0 nslave 1"));
}

TEST_F(ConnectionBaseTest, LeggiIdentSlaveRefusesAnotherCode) {
    Connect(Slaves({Slave(2, 22, R"("net_code": 23)")}));
    ASSERT_TRUE(base_->LeggiNetTable(false, false));
    EXPECT_FALSE(base_->LeggiIdentSlave(2, info_));
    EXPECT_TRUE(log_.contains("CConnectionStrumentoBase::LeggiIdentSlave"));
    EXPECT_TRUE(log_.contains("infoident logger code 22 differs from netident logger code 23 nslave 2"));
}

TEST_F(ConnectionBaseTest, SlaveModeSwitches) {
    Connect(Slaves({Slave(3, 41)}));
    ASSERT_TRUE(base_->LeggiNetTable(false, false));
    EXPECT_FALSE(info_.SlaveIdent(2).IsInBooter());
    EXPECT_TRUE(base_->GotoBooterSlave(3));
    EXPECT_EQ(SlaveRequests(52, 3).size(), 1u);
    ASSERT_TRUE(base_->LeggiIdentSlave(3, info_));
    EXPECT_TRUE(info_.SlaveIdent(2).IsInBooter());
    EXPECT_TRUE(base_->GotoFirmwareSlave(3));
    EXPECT_TRUE(log_.contains("GotoFirmwareSlave per idx 3"));
    ASSERT_TRUE(base_->LeggiIdentSlave(3, info_));
    EXPECT_FALSE(info_.SlaveIdent(2).IsInBooter());
}

TEST_F(ConnectionBaseTest, GotoBooterSlaveFailureIsLogged) {
    Connect(R"("faults": [{"kind": "stall", "request": "memory", "command": 52}])");
    EXPECT_FALSE(base_->GotoBooterSlave(2));
    EXPECT_TRUE(log_.contains("Error in control write memory SLAVE_GOTOBOOTER address 0 dati 0 nslave 2"));
}

TEST_F(ConnectionBaseTest, GetInfoFirmup) {
    struct Case {
        const char* extra;
        bool ok;
        int flags;  // -1: the record is left as it was
        const char* log;
        bool read_fails = false;
    };
    const Case cases[] = {
        {R"("infofwupd_flags": 3)", true, 3, nullptr},
        {"", true, 0, nullptr},
        {R"("infofwupd_flags": "fails")", false, -1,
         "Error in control write memory MEM_GET_INFOFWUPD address 0 dati 0 nslave 0"},
        {R"("infofwupd_flags": 3)", false, 0, "Error in read mem main buffer len 128, pBuffer",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        Connect(c.extra);
        if (c.read_fails) {
            vesk::sim::SimFault f;
            f.kind = vesk::sim::FaultKind::Stall;
            f.target = 0x0C;
            Inst().faults().push_back(f);
        }
        // Stale bytes in the main buffer must not pass for a record.
        std::fill(Inst().main_buffer().begin(), Inst().main_buffer().begin() + 128, 0x5A);
        INFOFWUPD r;
        r.set_u8(8, 0x77);
        EXPECT_EQ(base_->GetInfoFirmup(r, 0), c.ok);
        if (c.flags < 0) {
            EXPECT_EQ(r.GetFlags(), 0x77);
        } else {
            EXPECT_TRUE(r.IsValid());
            EXPECT_EQ(r.GetFlags(), c.flags);
        }
        if (c.log) {
            EXPECT_TRUE(log_.contains(c.log));
        }
        const auto m = Memory();
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(m[0].command(), 80);
    }
}

TEST_F(ConnectionBaseTest, RefreshIdentUpdatesTheSameInfo) {
    Connect(Slaves({Slave(1, 41)}));
    info_.Ident().set_loggerCode(0);
    bool ok = false;
    EXPECT_EQ(base_->RefreshIdent(true, ok), &info_);
    EXPECT_TRUE(ok);
    EXPECT_EQ(info_.Ident().loggerCode(), 300u);
    EXPECT_EQ(info_.SlaveIdent(0).loggerCode(), 41u);
    EXPECT_EQ(NetTableCommands(), 3u);
    base_->Chiudi();
    EXPECT_FALSE(base_->IsOpen());
    EXPECT_EQ(base_->GetDeviceInfo(), nullptr);
    EXPECT_FALSE(base_->TracciaInfoident(L"x"));
}

TEST_F(ConnectionBaseTest, RiavviaAndDebugRequests) {
    Connect(R"("faults": [{"kind": "stall", "request": "booter", "command": 15}])");
    base_->Riavvia();
    EXPECT_TRUE(log_.contains("CConnectionStrumentoBase::Riavvia"));
    EXPECT_TRUE(log_.contains("Error in control write booter BOOTER_RESET address 0 len 0"));
    bus_->trace().Clear();
    EXPECT_TRUE(base_->DebugRichiesta16());
    EXPECT_TRUE(base_->DebugRichiesta17());
    const auto debug = bus_->trace().Controls(0x00);
    ASSERT_EQ(debug.size(), 2u);
    EXPECT_EQ(debug[0].value, 16);
    EXPECT_EQ(debug[1].value, 17);
    EXPECT_EQ(debug[0].index, 0);
}

TEST_F(ConnectionBaseTest, TracciaInfoidentLogsTheDump) {
    Connect();
    EXPECT_TRUE(base_->TracciaInfoident(L"dopo"));
    EXPECT_TRUE(log_.contains("-----> INFOIDENT :dopo "));
    EXPECT_TRUE(log_.contains("CConnectionStrumentoBase::TracciaInfoident"));
}

TEST_F(ConnectionBaseTest, BaseDefaults) {
    Connect();
    EXPECT_EQ(base_->GetMaxSlaves(), 5);
    EXPECT_EQ(base_->GetIAggiornaFW(), nullptr);
    EXPECT_EQ(base_->SlaveUpdateLevel(), 0);
    EXPECT_EQ(base_->NumOtherGauges(), 0);
    uint32_t length = 7;
    EXPECT_EQ(base_->GetBufferRegistrato(length), 0);
    EXPECT_EQ(length, 0u);
    VersionePiste v;
    EXPECT_TRUE(base_->GetVersionePiste(v));
    EXPECT_EQ(v.versione, 50u);
    EXPECT_EQ(v.revisione, 50u);
    std::wstring version = L"old";
    EXPECT_TRUE(base_->CercaFileFirmware(version, L"/fw", L"/acc", nullptr).empty());
    EXPECT_TRUE(version.empty());
    EXPECT_FALSE(base_->AggiornaFwFile(L"/x"));
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(ConnectionBaseTest, AccessoryFileIsWrittenIntoItsRange) {
    vesk::test::TempDir dir;
    dir.write("acc.bin", std::string("\x01\x02\x03\x04", 4));
    Connect();
    EXPECT_FALSE(base_->AggiornaAccessoriFile(0, vesk::from_utf8(dir.file("acc.bin"))));
    base_->Accessori()[0] = UpdateFileDescriptor{0x1000, 0x1010, 0, L"Acc_*.bin"};
    EXPECT_FALSE(base_->AggiornaAccessoriFile(0, vesk::from_utf8(dir.file("missing.bin"))));
    EXPECT_TRUE(base_->AggiornaAccessoriFile(0, vesk::from_utf8(dir.file("acc.bin"))));
    const auto bytes = Inst().memory().Read(0x1000, 16);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(bytes[4], 0xFF);  // padded, never read past the file
}

// Traces go beside the log, never into the application folder (an update
// folder), and never through a link found there.
TEST_F(ConnectionBaseTest, TraceFilesAndDump) {
    vesk::test::TempDir dir, logs;
    Connect("", vesk::from_utf8(dir.path()));
    const uint8_t data[] = {9, 8, 7};
    EXPECT_FALSE(base_->SalvaTraceUsb(L"Leggi_Traguardi_GPS_Header", data, sizeof data)) << "no log, no trace";
    const std::string previous_log = vesk::log_file_path();
    vesk::set_log_file_path(logs.file("run.log"));
    logs.write("victim", "the user's own");
    std::filesystem::create_symlink(logs.file("victim"), logs.file("Leggi_Traguardi_GPS_LL.usb"));
    EXPECT_TRUE(base_->SalvaTraceUsb(L"Leggi_Traguardi_GPS_Header", data, sizeof data));
    EXPECT_FALSE(base_->SalvaTraceUsb(L"Leggi_Traguardi_GPS_LL", data, sizeof data));
    vesk::set_log_file_path(previous_log);
    EXPECT_EQ(std::filesystem::file_size(logs.file("Leggi_Traguardi_GPS_Header.usb")), 3u);
    EXPECT_EQ(vesk::test::read_file(logs.file("victim")), "the user's own");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "a trace went into the application folder";
    CConnectionStrumentoBase no_folder;
    EXPECT_FALSE(no_folder.DumpStrumento(vesk::from_utf8(dir.file("none.bin"))));

    ASSERT_TRUE(base_->DumpStrumento(vesk::from_utf8(dir.file("dump.bin"))));
    EXPECT_EQ(std::filesystem::file_size(dir.file("dump.bin")), 0x8000u + 0x7E0000u);
}

// "Dump performed." must never follow a dump that wrote nothing.
TEST_F(ConnectionBaseTest, DumpThatCannotReachItsFileFails) {
    vesk::test::TempDir dir;
    dir.mkdir("folder");
    Connect();
    const struct {
        std::string path;
        const char* line;  // the one ERROR line; none when the dump succeeds
        bool full_disk;
    } cases[] = {
        {dir.file("missing/dump.bin"), "Error creating dump file ", false},
        {dir.file("folder"), "Error creating dump file ", false},
        // A device is never written to.
        {"/dev/full", "Error creating dump file ", false},
        {dir.file("full.bin"), "Error writing dump file ", true},
        {dir.file("dump.bin"), nullptr, false},
    };
    for (const auto& c : cases) {
        if (c.path == "/dev/full" && !std::filesystem::exists(c.path)) continue;
        log_.clear();
        {
            std::optional<vesk::test::ScopedFullDisk> full;
            if (c.full_disk) full.emplace(4096);
            EXPECT_EQ(base_->DumpStrumento(vesk::from_utf8(c.path)), c.line == nullptr) << c.path;
        }
        if (!c.line) {
            EXPECT_TRUE(log_.lines().empty()) << c.path;
            continue;
        }
        ASSERT_EQ(log_.lines().size(), 1u) << c.path;
        EXPECT_TRUE(log_.contains(std::string("CConnectionStrumentoBase::DumpStrumento [")));
        EXPECT_TRUE(log_.contains(std::string("] ERROR = ") + c.line + c.path)) << log_.lines()[0];
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("full.bin")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
}

}  // namespace
