// The memory key and the data key: their own writers, the other-gauge store
// and search, the data key's net read and dump, on the simulated bus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "firmware_files/firmup_files_info.h"
#include "firmware_files/mhx2bin.h"
#include "sim/sim_keys.h"
#include "../support/firmware_files.h"
#include "../support/sim_fixture.h"

namespace {

using vesk::sim::TraceEntry;
using vesk::sim::TraceKind;
using vesk::test::MakeFirmwareFile;
using vesk::test::TempDir;

class KeyDevices : public vesk::test::SimFixture {
protected:
    // One key on the bus, in its booter unless told otherwise.
    template <typename Conn>
    Conn& OpenKey(uint32_t code, bool in_booter = true, const std::string& extra = "") {
        key_conn_.reset();  // its device belongs to the bus about to go
        Load(vesk::test::SimScenarioJson({R"({"code": )" + std::to_string(code) +
                                          R"(, "serial": 77, "firmware": "01.00.00", "in_booter": )" +
                                          (in_booter ? "true" : "false") +
                                          (extra.empty() ? "" : ", " + extra) + "}"}));
        info_ = Info();
        auto c = std::make_unique<Conn>();
        Conn& ref = *c;
        EXPECT_TRUE(ref.Connetti(&info_));
        info_.Ident().set_ID_logger(77);
        info_.Ident().set_firmInEsec(in_booter ? INFOIDENT::kBooterRunning : 1);
        key_conn_ = std::move(c);
        bus_->trace().Clear();
        log_.clear();
        return ref;
    }
    vesk::sim::SimKey& Key() { return *vesk::sim::FindKeyDevice(Inst()); }
    std::vector<TraceEntry> Booter(uint8_t command) const {
        std::vector<TraceEntry> out;
        for (const auto& e : bus_->trace().Controls(0x0F))
            if (e.command() == command) out.push_back(e);
        return out;
    }
    std::vector<TraceEntry> Quarv3() const { return bus_->trace().Controls(0x0D); }
    size_t BulkOuts() const {
        size_t n = 0;
        for (const auto& e : Transfers()) n += e.kind == TraceKind::BulkOut;
        return n;
    }
    // The image the loader makes of a file, as the device should hold it.
    static std::vector<uint8_t> Image(const std::wstring& path, uint32_t base, uint32_t size,
                                      bool booter, int32_t checksum_offset = -1) {
        CMHX2Bin image(size, base);
        EXPECT_TRUE(image.LoadFileMhx(path, booter, checksum_offset));
        return std::vector<uint8_t>(image.GetBinBuffPtr(), image.GetBinBuffPtr() + size);
    }

    void TearDown() override { key_conn_.reset(); }

    TempDir dir_;
    CDeviceInfo info_;
    std::unique_ptr<CConnectionStrumentoBase> key_conn_;
};

TEST_F(KeyDevices, MemoryKeyFileInItsLowestBlockSendsOneBlockAtTheFirmwareStart) {
    auto& key = OpenKey<CConnectionMemoryKey>(112);
    const auto file = MakeFirmwareFile(dir_, "MemoryKey_010500_fw.mot", 0xE0000, 4096, "01.05.00");
    ASSERT_TRUE(key.AggiornaFwFile(file));
    ASSERT_EQ(Booter(1).size(), 1u);
    const auto writes = Booter(2);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address(), 0xE0000u);
    EXPECT_EQ(writes[0].word(4), 2048u);
    EXPECT_EQ(BulkOuts(), 1u);
    const auto announce = bus_->trace().Controls(0x0C);
    ASSERT_EQ(announce.size(), 1u);
    EXPECT_EQ(announce[0].word(3), 4096u);
    const auto want = Image(file, 0xE0000, 0xF8000 - 0xE0000, false);
    EXPECT_EQ(Inst().memory().Read(0xE0000, 4096),
              std::vector<uint8_t>(want.begin(), want.begin() + 4096));
    EXPECT_EQ(Inst().memory().Read(0xE1000, 16), std::vector<uint8_t>(16, 0xFF));
}

TEST_F(KeyDevices, KeyFirmwareGoesTopDownAndTheNewVersionRunsAfterTheSwitch) {
    auto& key = OpenKey<CConnectionDataKey>(111);
    const auto file = MakeFirmwareFile(dir_, "DataKEY_120100_fw.mot", 0xE0000, 0x18000, "12.01.00");
    ASSERT_TRUE(key.AggiornaFwFile(file));
    const auto writes = Booter(2);
    ASSERT_EQ(writes.size(), 0x18000u / 4096);
    EXPECT_EQ(writes.front().address(), 0xF8000u - 4096);
    EXPECT_EQ(writes.back().address(), 0xE0000u);
    EXPECT_EQ(Inst().memory().Read(0xE0000, 0x18000), Image(file, 0xE0000, 0x18000, false));
    ASSERT_TRUE(key.GotoFirmware());
    EXPECT_EQ(Inst().identity().FirmwareVersionText(), L"12.01.00");
}

// The running firmware rewrites the booter; the next identity read shows it.
TEST_F(KeyDevices, AKeyReportsItsNewBooterAtTheNextIdentityRead) {
    auto& key = OpenKey<CConnectionMemoryKey>(112, false);
    const auto file = MakeFirmwareFile(dir_, "Booter_Keys_0302.mot", 0xFC000, 0x800, "03.02");
    ASSERT_TRUE(key.AggiornaBooterFile(file));
    bool ok = false;
    EXPECT_EQ(key.RefreshIdent(false, ok)->Ident().BooterVersionText(), L"03.02");
    EXPECT_TRUE(ok);
}

TEST_F(KeyDevices, KeyWriterFailures) {
    struct Case {
        const char* name;
        std::string faults;
        bool missing_file;
        const char* log;
    };
    const Case cases[] = {
        {"file missing", "", true, "Error loading MHX nomefile"},
        {"erase refused", R"({"kind": "stall", "request": "booter", "command": 1})", false,
         "Error in control write booter BOOTER_ERASE address 0 len 0"},
        {"announcement refused", R"({"kind": "stall", "request": "bulk"})", false,
         "Error in control write bulk BULK_WRITE address 0 len 4096"},
        {"block refused", R"({"kind": "stall", "request": "booter", "command": 2})", false,
         "Error in control write booter BOOTER_WRITE address 917504 len 2048"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto& key = OpenKey<CConnectionMemoryKey>(
            112, true, c.faults.empty() ? "" : R"("faults": [)" + c.faults + "]");
        const auto file = c.missing_file
                              ? dir_.wpath() + L"/MemoryKey_010000_fw.mot"
                              : MakeFirmwareFile(dir_, "MemoryKey_010000_fw.mot", 0xE0000, 0x100);
        EXPECT_FALSE(key.AggiornaFwFile(file));
        EXPECT_TRUE(log_.contains(c.log)) << c.log;
        if (c.missing_file) {
            EXPECT_TRUE(Transfers().empty());
        }
    }
}

TEST_F(KeyDevices, KeyBooterBlocksCarryTheirSumAndLandInTheKeysBooterRegion) {
    struct Case {
        uint32_t code;
        uint32_t file_base, file_size;
        uint32_t region_start, region_end;
        size_t blocks;
        bool loads = true;
    };
    const Case cases[] = {
        {112, 0xFC000, 0x4000, 0xFC000, 0x100000, 64},
        {111, 0xFFC000, 0x3000, 0xFFC000, 0xFFF000, 48},
        // Records in the image but outside the data key's fixed region: nothing to write, still true.
        {111, 0xFFF000, 0x1000, 0xFFC000, 0xFFF000, 0},
        // Records outside the image: the file is for another area and is refused before any request.
        {111, 0xFC000, 0x1000, 0xFFC000, 0xFFF000, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_base);
        CConnectionStrumentoBase& key = c.code == 112
                                            ? static_cast<CConnectionStrumentoBase&>(
                                                  OpenKey<CConnectionMemoryKey>(c.code, false))
                                            : OpenKey<CConnectionDataKey>(c.code, false);
        const auto file = MakeFirmwareFile(dir_, "Booter_Keys_0210.mot", c.file_base, c.file_size, "02.10");
        if (!c.loads) {
            log_.clear();
            EXPECT_FALSE(key.AggiornaBooterFile(file));
            EXPECT_TRUE(Transfers().empty());
            EXPECT_TRUE(log_.contains("Error loading MHX nomefile"));
            continue;
        }
        ASSERT_TRUE(key.AggiornaBooterFile(file));
        EXPECT_EQ(Booter(16).size(), 1u);
        const auto writes = Booter(85);
        ASSERT_EQ(writes.size(), c.blocks);
        for (const auto& w : writes) EXPECT_EQ(w.result, 0) << w.note;
        if (c.blocks) {
            EXPECT_EQ(writes.front().address() & 0xFFFF, c.region_start & 0xFFFF);
            EXPECT_EQ(Inst().memory().Read(c.file_base, c.file_size),
                      Image(file, c.file_base, c.file_size, true));
        }
        EXPECT_EQ(Inst().memory().Read(c.region_end, 16), std::vector<uint8_t>(16, 0xFF));
    }
}

TEST_F(KeyDevices, LambdaFirmwareIsStoredWithItsSaveCodeAndTheBehaviourByte) {
    auto& key = OpenKey<CConnectionDataKey>(111, false);
    const auto file = MakeFirmwareFile(dir_, "Slv_Lambda_010203_fw.mhx", 0xFF0000, 0xC000);
    ASSERT_TRUE(key.CaricaOtherFwFile(3, file, 2));
    const auto cmds = Quarv3();
    ASSERT_EQ(cmds.size(), 1u + 0xC000 / 2048);
    EXPECT_EQ(cmds[0].word(1), 549u);
    EXPECT_EQ(cmds[0].word(3), 0xFFFFu);
    const auto& stored = Key().other.at(549);
    EXPECT_EQ(stored.behaviour, 2);
    std::vector<uint8_t> want = Image(file, 0xFF0000, 0xC000, false, 16);
    EXPECT_NE(want[7], 2);
    want[7] = 2;
    EXPECT_EQ(stored.bytes, want);
}

TEST_F(KeyDevices, AFourKilobyteRegionSendsTheStartAndTwoBlocks) {
    auto& key = OpenKey<CConnectionDataKey>(111, false);
    key.OtherFirmware()[2] = {0xE0000, 0xE1000, 1589, L"Slv_GPS_*_fw.mot"};
    const auto file = MakeFirmwareFile(dir_, "Slv_GPS_010000_fw.mot", 0xE0000, 0x1000);
    ASSERT_TRUE(key.CaricaOtherFwFile(2, file, 5));
    const auto cmds = Quarv3();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].word(3), 0xFFFFu);
    for (int i : {1, 2}) {
        EXPECT_EQ(cmds[i].word(1), 1589u);
        EXPECT_EQ(cmds[i].word(3), 0u);
        EXPECT_EQ(cmds[i].word(5), unsigned(i - 1));
    }
    EXPECT_EQ(BulkOuts(), 2u);
    EXPECT_EQ(Key().other.at(1589).blocks, (std::vector<uint16_t>{0, 1}));
}

TEST_F(KeyDevices, OtherGaugeStoreFailures) {
    struct Case {
        const char* name;
        int kind;
        bool booter;
        std::string fault;
        bool make_file;
        const char* log;  // null: no log line expected
    };
    const Case cases[] = {
        {"unknown kind", 7, false, "", true, nullptr},
        {"kind without a booter", 2, true, "", true, nullptr},
        {"file fails to load", 3, false, "", false, "Error loading MHX nomefile"},
        {"start refused", 3, false, R"({"kind": "stall", "request": "quarv3", "command": 15})", true,
         "CMD_SAVE_BTFWCODE C1 549 C2 65535 C3 0 C4 0"},
        {"second block refused",3, false,
         R"({"kind": "stall", "request": "quarv3", "command": 15, "when": "from", "n": 3})", true,
         "CMD_SAVE_BTFWCODE C1 549 C2 0 C3 1 C4 0"},
        {"announcement refused", 3, false, R"({"kind": "stall", "request": "bulk"})", true,
         "Error in control write bulk BULK_WRITE address 0 len 2048"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto& key = OpenKey<CConnectionDataKey>(111, false,
                                                c.fault.empty() ? "" : R"("faults": [)" + c.fault + "]");
        const auto file = c.make_file ? MakeFirmwareFile(dir_, "x.mhx", 0xFF0000, 0x1000)
                                      : dir_.wpath() + L"/missing.mhx";
        EXPECT_FALSE(c.booter ? key.CaricaOtherBooterFile(c.kind, file, 1)
                              : key.CaricaOtherFwFile(c.kind, file, 1));
        if (c.log) {
            EXPECT_TRUE(log_.contains(c.log)) << c.log;
        } else {
            EXPECT_TRUE(Transfers().empty());
        }
    }
}

TEST_F(KeyDevices, OtherGaugeSearchUsesEachKindsPatterns) {
    OpenKey<CConnectionDataKey>(111, false);
    auto& key = static_cast<CConnectionDataKey&>(*key_conn_);
    for (const char* name : {"Slv_Dovo4_Karvo_010203_fw.mot", "Slv_Dovo4_Karvo_010300_fw.mot",
                             "Dovo4_020000_fw.mot", "Dovo4_020100_fw.mot", "Dovo4_020000_lng.mot",
                             "Slv_Dovo4_Exp_030000_fw.mot"})
        dir_.write(name, "");
    dir_.write("_BOOTER/Booter_Dovo4eGPS0304_0105.mot", "");
    CFirmupFilesInfo cat;
    std::wstring v;
    struct Case {
        int kind;
        const wchar_t* fw;
        const wchar_t* booter;
    };
    // Kind 0 pairs firmware with language files; kind 1 scans only its firmware pattern.
    const Case cases[] = {{0, L"02.00.00", L"01.05"}, {1, L"01.03.00", L""}, {2, L"", L""},
                          {3, L"", L""}, {4, L"03.00.00", L""}, {5, L"", L""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(key.CercaFileFirmwareOther(v, c.kind, dir_.wpath(), dir_.wpath(), &cat), c.fw);
        EXPECT_EQ(v, c.fw);
        EXPECT_EQ(key.CercaFileBooterOther(v, c.kind, dir_.wpath() + L"/_BOOTER", &cat), c.booter);
    }
    const FirmupFileList* karvo = cat.GetOtherFwList(1, 77);
    ASSERT_TRUE(karvo);
    ASSERT_EQ(karvo->size(), 2u);
    EXPECT_TRUE((*karvo)[1].secondFileName.empty());
    EXPECT_EQ(cat.GetOtherFw(0, 77)->secondFileName, L"Dovo4_020000_lng.mot");
    EXPECT_TRUE(Transfers().empty());
}

// A kind whose language or booter region is empty has no image to load a file
// into: the store fails with the loader's line naming the file, before any request.
TEST_F(KeyDevices, OtherGaugeStoreIntoAnEmptyRegionNamesTheFile) {
    struct Case {
        const char* what;
        int kind;
        int which;  // 0 firmware, 1 language, 2 booter
        const char* method;
    };
    const Case cases[] = {
        {"language of a kind without one", 1, 1, "CConnectionStrumentoBase::CaricaOtherLngFile"},
        {"booter of a kind without one", 4, 2, "CConnectionStrumentoBase::CaricaOtherBooterFile"},
        {"firmware whose region was emptied", 2, 0, "CConnectionStrumentoBase::CaricaOtherFwFile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto& key = OpenKey<CConnectionDataKey>(111, false);
        key.OtherFirmware()[2] = {};
        const std::wstring path = dir_.wpath() + L"\\";  // an entry without a language file
        const bool stored = c.which == 0   ? key.CaricaOtherFwFile(c.kind, path, 1)
                            : c.which == 1 ? key.CaricaOtherLngFile(c.kind, path, 1)
                                           : key.CaricaOtherBooterFile(c.kind, path, 1);
        EXPECT_FALSE(stored);
        const auto lines = log_.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(c.method, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("ERROR = Error loading MHX nomefile " + dir_.path() + "\\"),
                  std::string::npos)
            << lines[0];
        EXPECT_TRUE(Transfers().empty());
    }
}

// Accessory files of another gauge have their own collection, keyed by kind
// and element: the master's own accessory files are never overwritten.
TEST_F(KeyDevices, OtherGaugeAccessoriesNeverLandInTheMastersAccessories) {
    struct Case {
        const char* what;
        bool master_file;  // the master has its own accessory file too
    };
    const Case cases[] = {{"master without accessory files", false},
                          {"master with its own accessory file", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto& key = OpenKey<CConnectionDataKey>(111, false);
        TempDir files;
        files.write("Acc_Dovo4_020000.bin", "other gauge");
        files.write("Acc_Key_010000.bin", "master");
        key.OtherAccessori()[0] = {{0, {0, 0, 0, L"Acc_Dovo4_*.bin"}}};
        if (c.master_file) key.Accessori()[0] = {0, 0, 0, L"Acc_Key_*.bin"};
        CFirmupFilesInfo cat;
        std::wstring v;
        key.CercaFileFirmware(v, files.wpath(), files.wpath(), &cat);
        key.CercaFileFirmwareOther(v, 0, files.wpath(), files.wpath(), &cat);

        const FirmupFileEntry* own = cat.GetAccessorio(0, 77);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->fileName, c.master_file ? L"Acc_Key_010000.bin" : L"");
        const FirmupFileList* own_list = cat.GetAccessorioList(0, 77);
        ASSERT_NE(own_list, nullptr);
        EXPECT_EQ(own_list->size(), c.master_file ? 1u : 0u);

        const FirmupFileEntry* other = cat.GetOtherAccessorio(0, 0, 77);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->fileName, L"Acc_Dovo4_020000.bin");
        EXPECT_EQ(other->versionText, L"02.00.00");
        ASSERT_NE(cat.GetOtherAccessorioList(0, 0, 77), nullptr);
        EXPECT_EQ(cat.GetOtherAccessorioList(0, 0, 77)->size(), 1u);
        // Another kind or element, and another unit, get nothing of it.
        EXPECT_EQ(cat.GetOtherAccessorio(1, 0, 77)->fileName, L"");
        EXPECT_EQ(cat.GetOtherAccessorio(0, 1, 77)->fileName, L"");
        EXPECT_EQ(cat.GetOtherAccessorio(0, 0, 78), nullptr);
    }
}

TEST_F(KeyDevices, DataKeyNetReadWaitsItsOwnTimesAndNamesNoSlaveNumber) {
    OpenKey<CConnectionDataKey>(
        111, false,
        R"("net_rebuild_ms": 0, "slaves": [{"number": 2, "code": 2006, "serial": 9, "firmware": "11.02.03"}])");
    auto& key = *key_conn_;
    const uint64_t t0 = clock_.now_ms();
    ASSERT_TRUE(key.LeggiNetTable(true, false));
    const auto nets = Quarv3();
    ASSERT_GE(nets.size(), 3u);
    EXPECT_EQ(nets[0].time_ms - t0, 1000u);
    EXPECT_EQ(nets[1].time_ms - nets[0].time_ms, 4500u);
    EXPECT_EQ(nets[2].time_ms - nets[1].time_ms, 250u);
    bool seen = false;
    for (const auto& l : log_.lines())
        if (l.find("CConnectionDataKey::LeggiNetTable") != std::string::npos &&
            l.find("with firmware 11.02.03") != std::string::npos) {
            seen = true;
            EXPECT_EQ(l.find("nslave"), std::string::npos) << l;
        }
    EXPECT_TRUE(seen);
    EXPECT_EQ(info_.SlaveIdent(1).loggerCode(), 2006u);
}

TEST_F(KeyDevices, DataKeyProblemSlaveMessagesNameNoSlaveNumber) {
    OpenKey<CConnectionDataKey>(
        111, false,
        R"("net_rebuild_ms": 0, "slaves": [{"number": 3, "code": 2006, "serial": 9, "firmware": "11.02.03", "net_code": 2017}])");
    const uint64_t t0 = clock_.now_ms();
    ASSERT_TRUE(key_conn_->LeggiNetTable(false, false));
    for (const char* line : {"Too many attempts... there's no good slave at the other side :-(",
                             "slave infoident logger code 2006 differs from netident logger code 2017"}) {
        bool seen = false;
        for (const auto& l : log_.lines())
            if (l.find(line) != std::string::npos) {
                seen = true;
                EXPECT_EQ(l.find("nslave"), std::string::npos) << l;
                EXPECT_NE(l.find("CConnectionDataKey::LeggiNetTable"), std::string::npos) << l;
            }
        EXPECT_TRUE(seen) << line;
    }
    // Eleven identity reads, each pair of reads 250 ms apart, with 250 ms between reads.
    EXPECT_GE(clock_.now_ms() - t0, 11u * 250);
    EXPECT_FALSE(key_conn_->LeggiNetTable(false, true));
}

TEST_F(KeyDevices, DataKeyDumpPutsEachAreaAtItsOffset) {
    OpenKey<CConnectionDataKey>(111, false);
    Inst().memory().Write(0xE0000, {1, 2, 3});
    Inst().memory().Write(0xFFF80, {4});
    Inst().memory().Write(0xF000, {5});
    Inst().memory().Write(0x40000000u + 0x8FF80, {6});
    Inst().memory().Write(0x40000000u + 0x90000, {7});  // past the last read
    const std::string path = dir_.file("dump.bin");
    ASSERT_TRUE(key_conn_->DumpStrumento(std::wstring(path.begin(), path.end())));
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> dump((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(dump.size(), size_t(CConnectionDataKey::kDumpSize));
    EXPECT_EQ(dump[0xE0000], 1);
    EXPECT_EQ(dump[0xE0002], 3);
    EXPECT_EQ(dump[0xFFF80], 4);
    EXPECT_EQ(dump[0xF000], 5);
    EXPECT_EQ(dump[0x1000000 + 0x8FF80], 6);
    EXPECT_EQ(dump[0x1000000 + 0x90000], 0);
    EXPECT_EQ(dump[0x100000], 0);  // never read: left zero
}

TEST_F(KeyDevices, DataKeyDumpStopsWithoutAFileWhenAReadIsRefused) {
    OpenKey<CConnectionDataKey>(
        111, false, R"("faults": [{"kind": "stall", "request": "memory", "command": 1, "when": "from", "n": 5}])");
    const std::string path = dir_.file("dump.bin");
    EXPECT_FALSE(key_conn_->DumpStrumento(std::wstring(path.begin(), path.end())));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(log_.contains("Error in control write memory MEM_READ address 918016 dati 0 nslave 0"));
}

TEST_F(KeyDevices, DataKeyDumpThatCannotBeCreatedSaysSo) {
    OpenKey<CConnectionDataKey>(111, false);
    const std::string path = dir_.file("missing/dump.bin");
    log_.clear();
    EXPECT_FALSE(key_conn_->DumpStrumento(std::wstring(path.begin(), path.end())));
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_TRUE(log_.contains("CConnectionDataKey::DumpStrumento ["));
    EXPECT_TRUE(log_.contains("] ERROR = Error creating dump file " + path)) << log_.lines()[0];
}

TEST_F(KeyDevices, KeysOfferTheirUpdateInterfaceAndNoSlaves) {
    CConnectionMemoryKey mk;
    CConnectionDataKey dk;
    EXPECT_EQ(mk.GetIAggiornaFW(), static_cast<IAggiornaFW*>(&mk));
    EXPECT_EQ(dk.GetIAggiornaFW(), static_cast<IAggiornaFW*>(&dk));
    EXPECT_EQ(mk.NumOtherGauges(), 0);
    EXPECT_EQ(dk.NumOtherGauges(), 5);
    EXPECT_EQ(mk.SlaveUpdateLevel(), 0);
    EXPECT_EQ(dk.SlaveUpdateLevel(), 0);
}

}  // namespace
