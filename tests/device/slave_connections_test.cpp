// Slave connections: the kinds and their table, the scans, and the writers
// that reach a slave's flash through the master, on the simulated net.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "../support/firmware_files.h"
#include "../support/sim_fixture.h"
#include "device/conn_slave_base.h"
#include "firmware_files/firmup_files_info.h"
#include "firmware_files/mhx2bin.h"
#include "sim/sim_net.h"
#include "tool/srec_writer.h"

namespace {

using vesk::sim::TraceEntry;
using vesk::test::MakeFirmwareFile;
using vesk::test::TempDir;
using Scrittura = CConnSlaveBase::Scrittura;

INFOIDENT Ident(uint32_t code, uint32_t serial = 5) {
    INFOIDENT r;
    r.set_loggerCode(code);
    r.set_ID_logger(serial);
    return r;
}

TEST(SlaveTable, EachCodeGetsItsKindAndFiles) {
    CUSBConnection master;
    struct Case {
        uint32_t code;
        const char* kind;  // typeid-free: the class's answers below tell it
        bool aggiornabile;
        const wchar_t* fw;
        uint32_t fw_start, fw_end;
        const wchar_t* lng;
        uint32_t boot_start, boot_end;
        const wchar_t* boot;
    };
    const Case cases[] = {
        {58, "base", true, L"Slv_Dovo3Dash_*_fw.mhx", 0xFE0000, 0xFFC000, L"", 0xFFC000, 0x1000000, L"Booter_Slv_Dovo3Dash_*.mhx"},
        {105, "base", true, L"Slv_Dovo4Display_*_fw.mot", 0xE0000, 0xFC000, L"", 0xFC000, 0x100000, L"Booter_Slv_Volantrix_*.mot"},
        {112, "memorykey", false, L"MemoryKey_*_fw.mot", 0, 0, L"", 0, 0, L""},
        {321, "base", true, L"Slv_KestoDash_*_fw.mhx", 0xFF0000, 0xFFC000, L"", 0xFFC000, 0x1000000, L"Booter_Slv_KestoDash_*.mhx"},
        {2006, "base", true, L"Slv_Lambda_*_fw.mhx", 0xFF0000, 0xFFC000, L"", 0xFFC000, 0x1000000, L"Booter_Slv_Lambda_*.mhx"},
        {2013, "base", true, L"Slv_Lambda_*_fw.mhx", 0xFF0000, 0xFFC000, L"", 0xFFC000, 0x1000000, L"Booter_Slv_Lambda_*.mhx"},
        {2014, "base", true, L"Slv_Lambda_*_fw.mhx", 0xFF0000, 0xFFC000, L"", 0xFFC000, 0x1000000, L"Booter_Slv_Lambda_*.mhx"},
        {2008, "gps", true, L"Slv_GPS_*_fw.mot", 0xE0000, 0xF8000, L"", 0xFC000, 0x100000, L"Booter_Dovo4eGPS0304_*.mot"},
        {2017, "gps", true, L"Slv_GPS_*_fw.mot", 0xE0000, 0xF8000, L"", 0xFC000, 0x100000, L"Booter_Dovo4eGPS0304_*.mot"},
        {2018, "gps", true, L"Slv_GPS_*_fw.mot", 0xE0000, 0xF8000, L"", 0xFC000, 0x100000, L"Booter_Slv_GPS_05_*.mot"},
        {2010, "gps", true, L"Slv_Brona_ChExp_*_fw.mot", 0xE0000, 0xFC000, L"", 0xFC000, 0x100000, L"Booter_Slv_Brona_ChExp_*.mot"},
        {2011, "gps", true, L"Slv_Brona_ChExp_*_fw.mot", 0xE0000, 0xFC000, L"", 0xFC000, 0x100000, L"Booter_Slv_Brona_ChExp_*.mot"},
        {2016, "glimmo", false, L"", 0, 0, L"", 0, 0, L""},
        {2019, "antenna", false, L"", 0, 0, L"", 0, 0, L""},
        {2021, "base", true, L"Slv_Varnel_*_fw.mhx", 0xFC0000, 0x1000000, L"Slv_Varnel_*_lng.mhx", 0xDF0000, 0xDF4000, L"Booter_Slv_Varnel_*.mhx"},
        {2024, "base", true, L"Slv_Varnel_*_fw.mhx", 0xFC0000, 0x1000000, L"Slv_Varnel_*_lng.mhx", 0xDF0000, 0xDF4000, L"Booter_Slv_Varnel_*.mhx"},
        {2025, "base", true, L"Slv_Varnel_*_fw.mhx", 0xFC0000, 0x1000000, L"Slv_Varnel_*_lng.mhx", 0xDF0000, 0xDF4000, L"Booter_Slv_Varnel_*.mhx"},
        {2022, "base", true, L"Slv_TrivoDash_*_fw.mhx", 0xFE0000, 0xFF8000, L"", 0xFFC000, 0xFFF000, L"Booter_Slv_TrivoDash_*.mhx"},
        {2023, "glimmohd", false, L"", 0, 0, L"", 0, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const auto s = CConnSlaveBase::CreateConnToSlave(master, Ident(c.code), 3);
        ASSERT_TRUE(s);
        const std::string kind = c.kind;
        EXPECT_EQ(dynamic_cast<CConnSlaveGPS*>(s.get()) != nullptr, kind == "gps");
        EXPECT_EQ(dynamic_cast<CConnSlaveMemoryKey*>(s.get()) != nullptr, kind == "memorykey");
        EXPECT_EQ(dynamic_cast<CConnSlaveGPSAntenna*>(s.get()) != nullptr, kind == "antenna");
        EXPECT_EQ(dynamic_cast<CConnSlaveGlimmo*>(s.get()) != nullptr,
                  kind == "glimmo" || kind == "glimmohd");
        EXPECT_EQ(dynamic_cast<CConnSlaveGlimmoHD*>(s.get()) != nullptr, kind == "glimmohd");
        EXPECT_EQ(s->IsAggiornabile(), c.aggiornabile);
        EXPECT_EQ(s->IsNonAggiornabile(), !c.aggiornabile);
        EXPECT_EQ(s->FirmwareFile().pattern, c.fw);
        EXPECT_EQ(s->FirmwareFile().start, c.fw_start);
        EXPECT_EQ(s->FirmwareFile().end, c.fw_end);
        EXPECT_EQ(s->LanguageFile().pattern, c.lng);
        EXPECT_EQ(s->BooterFile().pattern, c.boot);
        EXPECT_EQ(s->BooterFile().start, c.boot_start);
        EXPECT_EQ(s->BooterFile().end, c.boot_end);
        EXPECT_EQ(s->Numero(), 3);
        EXPECT_TRUE(s->Accessori().empty());
    }
}

TEST(SlaveTable, UnknownCodesGiveNoConnectionAndOneLine) {
    CUSBConnection master;
    for (uint32_t code : {0u, 2009u, 2020u, 111u}) {
        vesk::LogCapture log;
        EXPECT_FALSE(CConnSlaveBase::CreateConnToSlave(master, Ident(code), 1));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.contains("CConnSlaveBase::CreateConnToSlave"));
        EXPECT_TRUE(log.contains("Unmanaged slave code " + std::to_string(code)));
    }
}

class SlaveWriters : public vesk::test::SimFixture {
protected:
    // A master with these slaves (JSON objects), its net read into info_.
    CConnectionStrumentoBase& OpenMaster(const std::vector<std::string>& slaves,
                                         const std::string& extra = "") {
        master_.reset();
        std::string list;
        for (size_t i = 0; i < slaves.size(); ++i) list += (i ? ", " : "") + slaves[i];
        Load(vesk::test::SimScenarioJson({vesk::test::SimInstrumentJson(
            R"("net_rebuild_ms": 0, "slaves": [)" + list + "]" + (extra.empty() ? "" : ", " + extra))}));
        info_ = Info();
        master_ = std::make_unique<CConnectionStrumentoBase>();
        EXPECT_TRUE(master_->Connetti(&info_));
        EXPECT_TRUE(master_->LeggiNetTable(false, false));
        bus_->trace().Clear();
        log_.clear();
        return *master_;
    }
    static std::string SlaveJson(int number, uint32_t code, bool in_booter = true) {
        return R"({"number": )" + std::to_string(number) + R"(, "code": )" + std::to_string(code) +
               R"(, "serial": )" + std::to_string(100 + number) +
               R"(, "firmware": "10.00.00", "booter": "01.00", "in_booter": )" +
               (in_booter ? "true" : "false") + "}";
    }
    std::vector<TraceEntry> Requests(uint8_t command) const {
        std::vector<TraceEntry> out;
        for (const auto& e : Memory())
            if (e.command() == command) out.push_back(e);
        return out;
    }
    static std::vector<uint8_t> Image(const std::wstring& path, uint32_t base, uint32_t size,
                                      bool booter, int32_t checksum_offset) {
        CMHX2Bin image(size, base);
        EXPECT_TRUE(image.LoadFileMhx(path, booter, checksum_offset));
        return std::vector<uint8_t>(image.GetBinBuffPtr(), image.GetBinBuffPtr() + size);
    }
    void TearDown() override { master_.reset(); }

    TempDir dir_;
    CDeviceInfo info_;
    std::unique_ptr<CConnectionStrumentoBase> master_;
};

TEST_F(SlaveWriters, GpsReceiverIsErasedAt0x70000AndALambdaUnitAt0) {
    auto& master = OpenMaster({SlaveJson(1, 2017), SlaveJson(2, 2006)});
    struct Case {
        size_t slot;
        uint32_t erase_address;
        uint32_t start, end;
        const char* name;
        const char* log_name;
    };
    const Case cases[] = {
        {0, 0x70000, 0xE0000, 0xF8000, "Slv_GPS_110000_fw.mot", "CConnSlaveGPS::AggFwFile"},
        {1, 0, 0xFF0000, 0xFFC000, "Slv_Lambda_110000_fw.mhx", "CConnSlaveBase::AggFwFile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus_->trace().Clear();
        const auto file = MakeFirmwareFile(dir_, c.name, c.start, 0x1000, "11.00.00");
        ASSERT_TRUE(CConnSlaveBase::AggiornaSlave(master, Scrittura::Firmware, c.slot, file));
        const auto erase = Requests(53);
        ASSERT_EQ(erase.size(), 1u);
        EXPECT_EQ(erase[0].address(), c.erase_address);
        EXPECT_EQ(erase[0].byte(3), c.slot + 1);
        const auto commits = Requests(56);
        ASSERT_EQ(commits.size(), 0x1000u / 256);
        EXPECT_EQ(commits.front().address(), c.start + 0x1000 - 256);  // top block first
        EXPECT_EQ(commits.back().address(), c.start);
        for (const auto& e : Memory()) EXPECT_EQ(e.result, 0) << e.note;
        const uint8_t n = uint8_t(c.slot + 1);
        EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), n, c.start, c.end - c.start),
                  Image(file, c.start, c.end - c.start, false, 16));
        ASSERT_TRUE(master.GotoFirmwareSlave(n));
        INFOIDENT now;
        ASSERT_TRUE(vesk::sim::SlaveIdentityOf(Inst(), n, now));
        EXPECT_EQ(now.FirmwareVersionText(), L"11.00.00");
        EXPECT_FALSE(log_.contains("ERROR"));
    }
}

TEST_F(SlaveWriters, BooterBlockCarriesItsRegionOffsetAndWrappedSum) {
    auto& master = OpenMaster({SlaveJson(4, 2006, false)});
    // One block 512 bytes above the lambda booter start whose bytes add up to 496.
    std::vector<uint8_t> block(256, 0);
    block[0] = 248;
    block[255] = 248;
    std::string text;
    for (size_t i = 0; i < block.size(); i += 32)
        vesk::sim::AppendSRecord(text, 3, 0xFFC200 + uint32_t(i), block.data() + i, 32);
    dir_.write("Booter_Slv_Lambda_0210.mhx", text);
    const std::string p = dir_.file("Booter_Slv_Lambda_0210.mhx");
    ASSERT_TRUE(CConnSlaveBase::AggiornaSlave(master, Scrittura::Booter, 3, std::wstring(p.begin(), p.end())));
    ASSERT_EQ(Requests(81).size(), 1u);
    const auto writes = Requests(82);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address(), (240u << 16) | 512u);
    EXPECT_EQ(writes[0].word(4), 256u);
    EXPECT_EQ(writes[0].result, 0) << writes[0].note;
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 4, 0xFFC200, 256), block);
}

// The running firmware rewrites the slave's booter; the master's next read
// of the slave's identity shows the new version.
TEST_F(SlaveWriters, AWrittenBooterShowsAtTheNextIdentityRead) {
    auto& master = OpenMaster({SlaveJson(6, 2022, false)});
    const auto file = MakeFirmwareFile(dir_, "Booter_Slv_TrivoDash_0210.mhx", 0xFFC000, 0x3000, "02.10");
    ASSERT_TRUE(CConnSlaveBase::AggiornaSlave(master, Scrittura::Booter, 5, file));
    for (const auto& e : Requests(82)) EXPECT_EQ(e.result, 0) << e.note;
    EXPECT_EQ(Requests(82).size(), 0x3000u / 256);
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 6, 0xFFC000, 0x3000), Image(file, 0xFFC000, 0x3000, true, -1));
    ASSERT_TRUE(master.LeggiIdentSlave(6, info_));
    EXPECT_EQ(info_.SlaveIdent(5).BooterVersionText(), L"02.10");
    EXPECT_FALSE(info_.SlaveIdent(5).IsInBooter());
}

// Faults the slave stages meet: a slave whose wake request is answered while
// it stays in its booter, and one whose booter writes never take.
TEST_F(SlaveWriters, SlaveThatStaysInItsBooter) {
    struct Case {
        const char* value;
        int stays;  // wake requests answered without effect
    } cases[] = {{"2", 2}, {"true", 12}, {"false", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        auto& master = OpenMaster({R"({"number": 1, "code": 2006, "serial": 101, "firmware": "10.00.00",
                                       "in_booter": true, "stays_in_booter": )" + std::string(c.value) + "}"});
        for (int i = 0; i < 12; ++i) {
            EXPECT_TRUE(master.GotoFirmwareSlave(1));
            ASSERT_TRUE(master.LeggiIdentSlave(1, info_));
            EXPECT_EQ(info_.SlaveIdent(0).IsInBooter(), i < c.stays) << i;
        }
    }
}

TEST_F(SlaveWriters, SlaveWhoseBooterNeverTakes) {
    auto& master = OpenMaster({R"({"number": 1, "code": 2006, "serial": 101, "firmware": "10.00.00",
                                   "booter": "01.00", "booter_never_takes": true})"});
    const auto before = vesk::sim::SlaveMemory(Inst(), 1, 0xFFC000, 0x4000);
    const auto file = MakeFirmwareFile(dir_, "Booter_Slv_Lambda_0210.mhx", 0xFFC000, 0x4000, "02.10");
    // Every request is answered, so the writer reports success.
    EXPECT_TRUE(CConnSlaveBase::AggiornaSlave(master, Scrittura::Booter, 0, file));
    for (const auto& e : Memory()) EXPECT_EQ(e.result, 0) << e.note;
    EXPECT_EQ(Requests(82).size(), 0x4000u / 256);
    ASSERT_TRUE(master.LeggiIdentSlave(1, info_));
    EXPECT_EQ(info_.SlaveIdent(0).BooterVersionText(), L"01.00");
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 1, 0xFFC000, 0x4000), before);
}

// Firmware in the slave's booter; booter and language while its firmware runs.
TEST_F(SlaveWriters, SlaveRefusesEachWriteInTheOtherMode) {
    struct Case {
        uint32_t code;
        Scrittura what;
        bool in_booter;  // the mode the write is tried in: the wrong one
        uint32_t base;
        uint8_t first_request;
        const char* log;
        const char* note;
    } cases[] = {
        {2006, Scrittura::Firmware, false, 0xFF0000, 53, "Failed erasing fw", "refused: slave firmware running"},
        {2006, Scrittura::Booter, true, 0xFFC000, 81, "SLAVE_BOOTERERASE address 0 dati 0 nslave 1",
         "refused: slave booter running"},
        {2021, Scrittura::Lingua, true, 0xFC0000, 70, "Failed erasing lng", "refused: slave booter running"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first_request);
        auto& master = OpenMaster({SlaveJson(1, c.code, c.in_booter)});
        const auto file = MakeFirmwareFile(dir_, "f.mhx", c.base, 0x200, "01.00");
        EXPECT_FALSE(CConnSlaveBase::AggiornaSlave(master, c.what, 0, file));
        EXPECT_TRUE(log_.contains(c.log));
        // A refusal is a stall like any other: tried twice more, the same request each time.
        ASSERT_EQ(Requests(c.first_request).size(), 3u);
        EXPECT_EQ(Requests(c.first_request).at(0).note, c.note);
    }
}

TEST_F(SlaveWriters, LanguageGoesUpwardsWithOffsetsWithinItsArea) {
    auto& master = OpenMaster({SlaveJson(2, 2021, false)});
    const auto file = MakeFirmwareFile(dir_, "Slv_Varnel_110000_lng.mhx", 0xFC0000, 0x400);
    ASSERT_TRUE(CConnSlaveBase::AggiornaSlave(master, Scrittura::Lingua, 1, file));
    const auto reqs = Requests(70);
    ASSERT_EQ(reqs.size(), 1u + 4);
    EXPECT_EQ(reqs[0].word(4), 259u);
    for (size_t i = 1; i < reqs.size(); ++i) {
        EXPECT_EQ(reqs[i].word(4), 258u);
        EXPECT_EQ(reqs[i].address(), (i - 1) * 256);
        EXPECT_EQ(reqs[i].result, 0) << reqs[i].note;
    }
    // The language keeps its own (external) flash: the firmware at the same
    // addresses is not touched.
    const auto language = vesk::sim::SlaveLanguage(Inst(), 2);
    ASSERT_EQ(language.size(), 0x40000u);
    EXPECT_EQ(std::vector<uint8_t>(language.begin(), language.begin() + 0x400),
              Image(file, 0xFC0000, 0x400, false, -1));
    EXPECT_TRUE(std::all_of(language.begin() + 0x400, language.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 2, 0xFC0000, 0x400), std::vector<uint8_t>(0x400, 0xFF));
}

// The other blocks are still written, and the write fails: a unit left with
// a hole in its image is not a success.
TEST_F(SlaveWriters, BlockFailuresAreLoggedAndTheWriteGoesOnAndFails) {
    struct Case {
        const char* name;
        std::string fault;
        Scrittura what;
        bool result;
        const char* log;
        size_t commits;  // requests 56 sent
    };
    // A refused transfer skips its block's commit; a refused commit only its own block.
    const Case cases[] = {
        {"erase refused", R"({"kind": "stall", "request": "memory", "command": 53})", Scrittura::Firmware, false,
         "SLAVE_ERASEFIRMWARE address 0 dati 0 nslave 1... Failed erasing fw", 0},
        {"one commit refused", R"({"kind": "stall", "request": "memory", "command": 56, "when": "once"}, {"kind": "stall", "request": "memory", "command": 56, "when": "once"}, {"kind": "stall", "request": "memory", "command": 56, "when": "once"})",
         Scrittura::Firmware, false, "SLAVE_WRITMAINTOFIRM address 16715520 dati 256 nslave 1", 18},  // its two retries
        {"one transfer refused", R"({"kind": "stall", "request": "memory", "command": 55, "when": "once"}, {"kind": "stall", "request": "memory", "command": 55, "when": "once"}, {"kind": "stall", "request": "memory", "command": 55, "when": "once"})",
         Scrittura::Firmware, false, "SLAVE_BULKWRITE address 0 dati 256 nslave 1", 15},
        {"one main-buffer write refused", R"({"kind": "stall", "request": "bulk_out", "when": "once"}, {"kind": "stall", "request": "bulk_out", "when": "once"}, {"kind": "stall", "request": "bulk_out", "when": "once"})",
         Scrittura::Firmware, false, "Error writing the main buffer for nslave 1", 15},
        {"booter erase refused", R"({"kind": "stall", "request": "memory", "command": 81})", Scrittura::Booter,
         false, "SLAVE_BOOTERERASE address 0 dati 0 nslave 1", 0},
        {"no language for this kind", "", Scrittura::Lingua, false, "Error loading MHX nomefile", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each write in the mode the run gives it.
        auto& master = OpenMaster({SlaveJson(1, 2006, c.what == Scrittura::Firmware)},
                                  c.fault.empty() ? "" : R"("faults": [)" + c.fault + "]");
        const auto file = c.what == Scrittura::Booter
                              ? MakeFirmwareFile(dir_, "b.mhx", 0xFFC000, 0x400, "01.00")
                              : MakeFirmwareFile(dir_, "f.mhx", 0xFF0000, 0x1000);
        EXPECT_EQ(CConnSlaveBase::AggiornaSlave(master, c.what, 0, file), c.result);
        EXPECT_TRUE(log_.contains(c.log)) << c.log;
        EXPECT_EQ(Requests(56).size(), c.commits);
    }
}

TEST_F(SlaveWriters, SlavesThatAreNotUpdatedOrNotThereAreNeverContacted) {
    auto& master = OpenMaster({SlaveJson(1, 112), SlaveJson(2, 2016), SlaveJson(3, 2009)});
    const auto file = MakeFirmwareFile(dir_, "MemoryKey_110000_fw.mot", 0xE0000, 0x1000);
    struct Case {
        size_t slot;
        const char* log;  // null: nothing logged
        const wchar_t* scan;  // the memory key's files are still looked for
    };
    // Memory key, camera, unknown code, empty net entry, slot past the net.
    const Case cases[] = {{0, nullptr, L"11.00.00"}, {1, nullptr, L""},
                          {2, "Unmanaged slave code 2009", L""}, {5, nullptr, L""}, {40, nullptr, L""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        bus_->trace().Clear();
        log_.clear();
        for (Scrittura w : {Scrittura::Firmware, Scrittura::Lingua, Scrittura::Booter, Scrittura::Accessorio})
            EXPECT_FALSE(CConnSlaveBase::AggiornaSlave(master, w, c.slot, file));
        CFirmupFilesInfo cat;
        std::wstring v = L"x";
        EXPECT_EQ(CConnSlaveBase::CercaFirmwareDelSlave(master, v, c.slot, dir_.wpath(), dir_.wpath(), &cat), c.scan);
        EXPECT_EQ(v, c.scan);
        EXPECT_EQ(CConnSlaveBase::CercaBooterDelSlave(master, v, c.slot, dir_.wpath(), &cat), L"");
        EXPECT_TRUE(Transfers().empty());
        if (c.log) {
            EXPECT_TRUE(log_.contains(c.log));
        } else {
            EXPECT_TRUE(log_.lines().empty());
        }
    }
    // The memory key's own writer does nothing and says it went well.
    const auto key = CConnSlaveBase::CreateConnToSlave(master, info_.SlaveIdent(0), 1);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->AggFwFile(file));
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(SlaveWriters, ScansFillTheSlavesOwnCatalogueSlots) {
    auto& master = OpenMaster({SlaveJson(2, 2006), SlaveJson(3, 2021), SlaveJson(4, 2016)});
    for (const char* name : {"Slv_Lambda_010203_fw.mhx", "Slv_Lambda_010510_fw.mhx", "Slv_Varnel_020000_fw.mhx",
                             "Slv_Varnel_020100_fw.mhx", "Slv_Varnel_020000_lng.mhx"})
        dir_.write(name, "");
    dir_.write("_BOOTER/Booter_Slv_Lambda_0105.mhx", "");
    const std::wstring boot = dir_.wpath() + L"/_BOOTER";
    CFirmupFilesInfo cat;
    std::wstring v;
    EXPECT_EQ(CConnSlaveBase::CercaFirmwareDelSlave(master, v, 1, dir_.wpath(), dir_.wpath(), &cat), L"01.05.10");
    EXPECT_EQ(CConnSlaveBase::CercaBooterDelSlave(master, v, 1, boot, &cat), L"01.05");
    EXPECT_EQ(CConnSlaveBase::CercaFirmwareDelSlave(master, v, 2, dir_.wpath(), dir_.wpath(), &cat), L"02.00.00");
    EXPECT_EQ(CConnSlaveBase::CercaFirmwareDelSlave(master, v, 3, dir_.wpath(), dir_.wpath(), &cat), L"");
    ASSERT_TRUE(cat.GetFwSlave(1, 102));
    EXPECT_EQ(cat.GetFwSlave(1, 102)->fileName, L"Slv_Lambda_010510_fw.mhx");
    EXPECT_EQ(cat.GetFwSlave(2, 103)->secondFileName, L"Slv_Varnel_020000_lng.mhx");
    EXPECT_EQ(cat.GetBooterSlave(1, 102)->fileName, L"Booter_Slv_Lambda_0105.mhx");
    EXPECT_FALSE(cat.GetFwSlave(1, 103));  // bound to the slave's serial
    EXPECT_TRUE(Transfers().empty());
}

}  // namespace
