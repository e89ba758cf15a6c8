// The family writers against simulated instruments: what goes over the wire,
// and what the instrument's flash holds afterwards.
#include <gtest/gtest.h>

#include <map>
#include <numeric>

#include "../support/sim_fixture.h"
#include "../support/sim_switch.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_pell.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "firmware_maker.h"
#include "firmware_files/mhx2bin.h"
#include "sim/sim_flash.h"
#include "srec_writer.h"
#include "usb/usb_command_names.h"

namespace {

using vesk::sim::SimFlash;
using vesk::sim::TraceEntry;
using vesk::test::SimFixture;
using vesk::test::SimInstrumentJson;
using vesk::test::TempDir;

// S3 records for the given blocks of bytes.
std::string SRecords(const std::map<uint32_t, std::vector<uint8_t>>& blocks) {
    std::string out;
    for (const auto& [address, bytes] : blocks)
        for (size_t i = 0; i < bytes.size(); i += 32)
            vesk::sim::AppendSRecord(out, 3, uint32_t(address + i), bytes.data() + i,
                                     std::min<size_t>(32, bytes.size() - i));
    vesk::sim::AppendSRecord(out, 7, 0, nullptr, 0);
    return out;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t start = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

std::string FirmwareText(uint32_t base, uint32_t size, const std::string& version, int fill = 100) {
    vesk::sim::FirmwareRequest rq;
    rq.base = base;
    rq.size = size;
    rq.version = version;
    rq.fillPercent = fill;
    std::string error;
    std::string text = vesk::sim::MakeFirmwareText(rq, error);
    EXPECT_FALSE(text.empty()) << error;
    return text;
}

class FamilyWritersTest : public SimFixture {
protected:
    // One instrument with the family's flash; extra JSON fields appended.
    void LoadFamily(const std::string& family, bool in_booter, const std::string& flash_extra = "",
                    const std::string& extra = "") {
        std::string j = std::string(R"("in_booter": )") + (in_booter ? "true" : "false") +
                        R"(, "flash": {"family": ")" + family + "\"" +
                        (flash_extra.empty() ? "" : ", " + flash_extra) + "}";
        if (!extra.empty()) j += ", " + extra;
        LoadOne(j);
    }
    template <typename T>
    T& Connect(std::unique_ptr<T> c) {
        conn_.reset();
        T& ref = *c;
        EXPECT_GT(ref.Apri(Info()), 0);
        bus_->trace().Clear();
        log_.clear();
        conn_ = std::move(c);
        return ref;
    }
    std::wstring File(const std::string& name, const std::string& content) {
        dir_.write(name, content);
        return vesk::from_utf8(dir_.file(name));
    }
    SimFlash& Flash() { return *Inst().flash(); }
    std::vector<TraceEntry> Booter(uint8_t cmd) const {
        std::vector<TraceEntry> out;
        for (const auto& e : bus_->trace().Controls(0x0F))
            if (e.command() == cmd) out.push_back(e);
        return out;
    }
    std::vector<uint32_t> BooterAddresses(uint8_t cmd) const {
        std::vector<uint32_t> out;
        for (const auto& e : Booter(cmd)) out.push_back(e.address());
        return out;
    }
    std::vector<TraceEntry> Cfg(uint16_t value) const {
        std::vector<TraceEntry> out;
        for (const auto& e : bus_->trace().Controls(0x02))
            if (e.value == value) out.push_back(e);
        return out;
    }
    int LogCount(const std::string& text) const {
        int n = 0;
        for (const auto& l : log_.lines()) n += l.find(text) != std::string::npos;
        return n;
    }
    INFOIDENT BackToFirmware() { return vesk::test::SwitchAndIdentify(*conn_, clock_, Info()); }
    // The image the loader makes of a file, as the instrument should end up holding it.
    static std::vector<uint8_t> Loaded(const std::wstring& path, uint32_t start, uint32_t end,
                                       bool without_header, int32_t offset) {
        CMHX2Bin image(end - start, start);
        EXPECT_TRUE(image.LoadFileMhx(path, without_header, offset));
        return std::vector<uint8_t>(image.GetBinBuffPtr(), image.GetBinBuffPtr() + (end - start));
    }

    TempDir dir_;
};

// ---- firmware ----

TEST_F(FamilyWritersTest, FirmwareGoesTopDownAndSkipsErasedBlocks) {
    LoadFamily("quarv3", true);
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"));
    const auto top = Pattern(256, 0x10);
    const auto path = File("Quarv3_010510_fw.mhx", SRecords({{0xFF7F00, top}}));
    ASSERT_TRUE(c.AggiornaFwFile(path));

    ASSERT_FALSE(bus_->trace().Controls(0x0F).empty());
    EXPECT_EQ(bus_->trace().Controls(0x0F).front().command(), BOOTER_ERASE);
    // The file's two blocks from the top down; the loader's image header at the
    // region's start is the only other block that is not erased.
    EXPECT_EQ(BooterAddresses(BOOTER_WRITE),
              (std::vector<uint32_t>{0xFF8000 - 128, 0xFF8000 - 256, 0xFE0000}));
    for (const auto& e : Booter(BOOTER_WRITE)) EXPECT_EQ(e.word(4), 64);
    EXPECT_EQ(Inst().memory().Read(0xFF7F00, 256), top);
    EXPECT_EQ(Flash().FirmwareImage(Inst()), Loaded(path, 0xFE0000, 0xFF8000, false, -1));
}

TEST_F(FamilyWritersTest, FirmwareOfEachFamilyIsWrittenAndReportedAfterTheSwitchBack) {
    struct Case {
        const char* sim_family;
        std::function<std::unique_ptr<CConnectionStrumentoTipoQuarv>()> make;
        bool booter;
    } cases[] = {
        {"quarv3", [] { return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"); }, true},
        {"quarv3", [] { return std::make_unique<CConnectionStrumentoTipoQuarv3vecchio>(L"Quarv3"); }, true},
        {"quarv4", [] { return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Quarv4"); }, true},
        {"quarv4", [] { return std::make_unique<CConnectionStrumentoTipoQuarv4vecchio>(L"Quarv4"); }, true},
        {"pell", [] { return std::make_unique<CConnectionStrumentoTipoPell>(); }, false},
        {"pell", [] { return std::make_unique<CConnectionStrumentoTipoPellDL>(); }, false},
        {"pell", [] { return std::make_unique<CConnectionPell460300>(); }, false},
        {"pell", [] { return std::make_unique<CConnectionPellDL460300>(); }, false},
        {"pell", [] { return std::make_unique<CConnectionQuarv4ComePell>(); }, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.sim_family);
        LoadFamily(k.sim_family, true);
        // The run's steps on the connection itself: connect, identify, write,
        // back to firmware, then a new connection after the re-enumeration,
        // which writes the booter while the firmware runs.
        CDeviceInfo info = Info();
        auto c = k.make();
        ASSERT_TRUE(c->Connetti(&info));
        bool ok = false;
        c->RefreshIdent(false, ok);
        ASSERT_TRUE(ok);
        ASSERT_TRUE(info.Ident().IsInBooter());
        bus_->trace().Clear();
        const auto& fw = c->FirmwareFile();
        const auto fw_path = File("fw.mhx", FirmwareText(fw.start, fw.end - fw.start, "01.05.10", 60));
        ASSERT_TRUE(c->GetIAggiornaFW()->AggiornaFwFile(fw_path));
        EXPECT_EQ(Flash().FirmwareImage(Inst()), Loaded(fw_path, fw.start, fw.end, false, -1));
        EXPECT_EQ(Booter(BOOTER_ERASE).size(), 1u);
        ASSERT_TRUE(c->GotoFirmware());
        c->Chiudi();
        clock_.advance_ms(3000);
        auto again = k.make();
        ASSERT_TRUE(again->Connetti(&info));
        again->RefreshIdent(false, ok);
        ASSERT_TRUE(ok);
        EXPECT_FALSE(info.Ident().IsInBooter());
        if (k.booter) {
            const auto& b = again->BooterFile();
            const auto b_path = File("booter.mhx", FirmwareText(b.start, b.end - b.start, "02.11"));
            bus_->trace().Clear();
            ASSERT_TRUE(again->GetIAggiornaFW()->AggiornaBooterFile(b_path));
            EXPECT_EQ(Flash().BooterImage(Inst()), Loaded(b_path, b.start, b.end, true, -1));
            EXPECT_EQ(Booter(BOOTER_INIZIA).size(), 1u);
            EXPECT_EQ(Booter(BOOTER_WRITENEW).size(), (b.end - b.start) / 256);
            again->RefreshIdent(false, ok);
            ASSERT_TRUE(ok);
        }
        const INFOIDENT& id = info.Ident();
        // The identity prints the major version without its leading zero.
        EXPECT_EQ(id.FirmwareVersionText(), L" 1.05.10");
        if (k.booter) {
            EXPECT_EQ(id.BooterVersionText(), L"02.11");
        }
        again->Chiudi();
    }
}

TEST_F(FamilyWritersTest, FirmwareForAnotherFamilyWritesNothingOutsideTheRegion) {
    LoadFamily("quarv3", true);
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"));
    // A Quarv4 image: its records run from 0xFC0000 to the end of memory.
    const auto path = File("Quarv4_010510_fw.mhx", FirmwareText(0xFC0000, 0x40000, "01.05.10"));
    EXPECT_TRUE(c.AggiornaFwFile(path));
    for (uint32_t a : BooterAddresses(BOOTER_WRITE)) {
        EXPECT_GE(a, 0xFE0000u);
        EXPECT_LE(a + 128, 0xFF8000u);
    }
    for (uint32_t a = 0xFC0000; a < 0x1000000; a += 0x1000) {
        if (a >= 0xFE0000 && a < 0xFF8000) continue;
        const auto page = Inst().memory().Read(a, 0x1000);
        EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0xFF; })) << a;
    }
    // Its version stamp lies outside this region, so the unit keeps to its booter.
    EXPECT_TRUE(BackToFirmware().IsInBooter());
}

TEST_F(FamilyWritersTest, FileThatFailsToLoadSendsNoErase) {
    LoadFamily("quarv3", true);
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"));
    const auto corrupt = File("bad.mhx", "S3150000FE00FFFFFFFF\n");
    const std::wstring missing = vesk::from_utf8(dir_.file("none.mhx"));
    for (const auto& path : {corrupt, missing}) {
        EXPECT_FALSE(c.AggiornaFwFile(path));
        EXPECT_FALSE(c.AggiornaBooterFile(path));
        EXPECT_EQ(LogCount("Error loading MHX nomefile " + vesk::to_utf8(path)), 2);
    }
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(FamilyWritersTest, BlockRejectedMidwayStopsAndLeavesThePartialImage) {
    LoadFamily("quarv3", true, "",
               R"("faults": [{"kind": "stall", "request": "booter", "command": 2, "when": "from", "n": 5}])");
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"));
    std::vector<uint8_t> data = Pattern(1024, 0x20);
    const auto path = File("fw.mhx", SRecords({{0xFF8000 - 1024, data}}));
    EXPECT_FALSE(c.AggiornaFwFile(path));
    const uint32_t failed = 0xFF8000 - 5 * 128;
    EXPECT_TRUE(log_.contains("Error in control write booter BOOTER_WRITE address " +
                              std::to_string(failed) + " len 64"));
    // The failed block was tried three times.
    EXPECT_EQ(Booter(BOOTER_WRITE).size(), 7u);
    // The four blocks above the failed one are in flash; the rest is erased.
    EXPECT_EQ(Inst().memory().Read(failed + 128, 512),
              std::vector<uint8_t>(data.begin() + 512, data.end()));
    const auto below = Inst().memory().Read(0xFF8000 - 1024, 512);
    EXPECT_TRUE(std::all_of(below.begin(), below.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(BackToFirmware().IsInBooter());
}

// The run writes firmware while the booter runs and the booter while the
// firmware runs; each in the other mode is refused at its first request.
TEST_F(FamilyWritersTest, EachImageIsRefusedInTheOtherMode) {
    struct Case {
        bool in_booter;
        bool fw_ok, booter_ok;
        const char* refused_line;
    } cases[] = {
        {false, false, true, "Error in control write booter BOOTER_ERASE address 0 len 0"},
        {true, true, false, "Error in control write booter BOOTER_INIZIA address 0 len 0"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.in_booter ? "booter running" : "firmware running");
        LoadFamily("quarv4", k.in_booter);
        auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Quarv4"));
        const auto fw = File("fw.mhx", FirmwareText(0xFC0000, 0x40000, "01.05.10", 10));
        const auto b = File("b.mhx", FirmwareText(0xDF0000, 0x2000, "02.11"));
        EXPECT_EQ(c.AggiornaFwFile(fw), k.fw_ok);
        EXPECT_EQ(c.AggiornaBooterFile(b), k.booter_ok);
        EXPECT_TRUE(log_.contains(k.refused_line));
        EXPECT_EQ(Booter(k.fw_ok ? BOOTER_WRITENEW : BOOTER_WRITE).empty(), true);
        EXPECT_EQ(Flash().FirmwareImage(Inst()) == std::vector<uint8_t>(0x40000, 0xFF), !k.fw_ok);
        EXPECT_EQ(Flash().BooterImage(Inst()) == Loaded(b, 0xDF0000, 0xDF2000, true, -1), k.booter_ok);
    }
}

// ---- booter ----

TEST_F(FamilyWritersTest, BooterBlockCarriesItsWrappedChecksumInTheAddress) {
    LoadFamily("quarv3", false);
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"));
    std::vector<uint8_t> block(256, 0);
    block[0] = 0x9A;
    block[255] = 0x9A;  // 0x134 in all
    const auto path = File("booter.mhx", SRecords({{0xFFC100, block}}));
    ASSERT_TRUE(c.AggiornaBooterFile(path));
    const auto writes = Booter(BOOTER_WRITENEW);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address(), 0x34C100u);
    EXPECT_EQ(writes[0].word(4), 128);
    EXPECT_EQ(Inst().memory().Read(0xFFC100, 256), block);
}

TEST_F(FamilyWritersTest, BooterBlockRejectedStopsWithItsAddressValue) {
    LoadFamily("quarv4", false, "",
               R"("faults": [{"kind": "stall", "request": "booter", "command": 85, "when": "from", "n": 2}])");
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Quarv4"));
    const auto data = Pattern(512, 3);
    const auto path = File("booter.mhx", SRecords({{0xDF0000, data}}));
    EXPECT_FALSE(c.AggiornaBooterFile(path));
    uint8_t sum = 0;
    for (size_t i = 256; i < 512; ++i) sum = uint8_t(sum + data[i]);
    const uint32_t address = 0x0100u | uint32_t(sum) << 16;
    EXPECT_TRUE(log_.contains("Error in control write booter BOOTER_WRITENEW address " +
                              std::to_string(address) + " len 128"));
    EXPECT_EQ(Inst().memory().Read(0xDF0000, 256), std::vector<uint8_t>(data.begin(), data.begin() + 256));
}

// ---- language ----

TEST_F(FamilyWritersTest, LanguageGoesThroughCommand15BlockByBlock) {
    struct Case {
        std::function<std::unique_ptr<CConnectionStrumentoTipoQuarv>()> make;
        const char* method;
    } cases[] = {
        {[] { return std::make_unique<CConnectionStrumentoTipoPell>(); }, "CConnectionStrumentoTipoPell"},
        {[] { return std::make_unique<CConnectionPell460300>(); }, "CConnectionPELL460200"},
    };
    for (const auto& k : cases) {
        LoadFamily("pell", false);
        auto& c = Connect(k.make());
        const auto data = Pattern(256, 7);
        const auto path = File("Pell_010510_lng.mhx", SRecords({{0xFC0000 + 0x1200, data}}));
        ASSERT_TRUE(c.AggiornaLngFile(path));
        std::vector<std::array<uint16_t, 4>> sent;
        for (const auto& e : bus_->trace().Controls(0x0D))
            sent.push_back({e.word(1), e.word(3), e.word(5), e.word(7)});
        // The start, the header block (block 0) and the file's block 0x12.
        EXPECT_EQ(sent, (std::vector<std::array<uint16_t, 4>>{
                            {564, 0xFFFF, 0, 0}, {564, 0, 0, 0}, {564, 0, 0x12, 0}}));
        const auto image = Loaded(path, 0xFC0000, 0x1000000, false, 16);
        EXPECT_EQ(Flash().language, image);

        // A refused block: the message with its values, and false.
        Inst().faults().push_back({vesk::sim::FaultKind::Stall, 0x0D, 15, vesk::sim::FaultWhen::From, 3});
        EXPECT_FALSE(c.AggiornaLngFile(path));
        EXPECT_TRUE(log_.contains(std::string(k.method) +
                                  "::AggiornaLngFile [") );
        EXPECT_TRUE(log_.contains("CMD_SAVE_BTFWCODE C1 564 C2 0 C3 18 C4 0"));
    }
}

// ---- configuration ----

class ConfigTest : public FamilyWritersTest {
protected:
    CConnectionPELL460200& Pell(const std::string& flash_extra = "") {
        LoadFamily("pell", false, flash_extra);
        return Connect(std::make_unique<CConnectionPell460300>());
    }
    std::wstring ConfigFile(const std::vector<uint8_t>& bytes) {
        return File("Pell_Config_010000.bin", std::string(bytes.begin(), bytes.end()));
    }
};

TEST_F(ConfigTest, WrongSizeOrUnreadableFileIsRefusedWithoutUsb) {
    auto& c = Pell();
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, ConfigFile(Pattern(32767))));
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, ConfigFile({})));
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, vesk::from_utf8(dir_.file("missing.bin"))));
    EXPECT_FALSE(c.AggiornaAccessoriFile(2, ConfigFile(Pattern(7935))));
    EXPECT_FALSE(c.AggiornaAccessoriFile(1, ConfigFile(Pattern(32768))));
    EXPECT_FALSE(c.AggiornaAccessoriFile(3, ConfigFile(Pattern(32768))));
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(ConfigTest, EqualConfigurationIsNotWritten) {
    auto& c = Pell(R"("config_fill": 90)");
    EXPECT_TRUE(c.AggiornaAccessoriFile(0, ConfigFile(std::vector<uint8_t>(32768, 90))));
    EXPECT_EQ(Cfg(0).size(), 1u);
    EXPECT_TRUE(Cfg(1).empty());
    EXPECT_TRUE(Cfg(2).empty());
    EXPECT_TRUE(c.ConfigurazioneLetta());
}

TEST_F(ConfigTest, DifferentConfigurationOverAUsedOneIsRefused) {
    auto& c = Pell(R"("config_fill": 0)");
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, ConfigFile(Pattern(32768))));
    EXPECT_TRUE(Cfg(1).empty());
    EXPECT_TRUE(Cfg(2).empty());
    EXPECT_EQ(Flash().configuration, std::vector<uint8_t>(32768, 0));
}

TEST_F(ConfigTest, BlankConfigurationIsWrittenAndVerified) {
    auto& c = Pell();
    const auto file = Pattern(32768, 5);
    ASSERT_TRUE(c.AggiornaAccessoriFile(0, ConfigFile(file)));
    EXPECT_EQ(Flash().configuration, file);
    EXPECT_EQ(Cfg(2).size(), 1u);
    EXPECT_EQ(Cfg(3).size(), 1u);
    ASSERT_EQ(Cfg(1).size(), 1u);
    EXPECT_EQ(Cfg(1)[0].data, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0x80, 0, 0}));
    EXPECT_EQ(Cfg(0).size(), 2u);  // before and after
    EXPECT_FALSE(log_.contains("differenza"));
}

TEST_F(ConfigTest, ConfigurationThatNeverReadsBackEqualIsTriedThreeTimes) {
    auto& c = Pell(R"("config_stuck": [5, 28672])");
    auto file = Pattern(32768, 1);
    ASSERT_NE(file[5], 0xFF);
    file[28672] = 0x11;
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, ConfigFile(file)));
    EXPECT_EQ(Cfg(2).size(), 3u);
    EXPECT_EQ(LogCount("differenza fra buffer letto e config scritta"), 3);
    EXPECT_EQ(LogCount("carattere diverso a offset 0x5\n"), 3);
    EXPECT_EQ(LogCount("carattere diverso a offset 0x7000\n"), 3);
    EXPECT_EQ(LogCount("carattere diverso a offset"), 6);
    EXPECT_EQ(LogCount("numero caratteri diversi = 2"), 3);
    // Every attempt sends the file itself, not what the last read-back left.
    ASSERT_EQ(Flash().config_writes.size(), 3u);
    for (const auto& sent : Flash().config_writes) EXPECT_EQ(sent, file);
}

TEST_F(ConfigTest, WriteFailuresAreNamed) {
    struct Case {
        int command;
        const char* line;
    } cases[] = {{2, "CtrlWrite_CFG CFG_INIZ_AGG"}, {1, "CtrlWrite_CFG CFG_SCRIVI"},
                 {3, "CtrlWrite_CFG CFG_FINE_AGG"}};
    for (const auto& k : cases) {
        auto& c = Pell();
        Inst().faults().push_back({vesk::sim::FaultKind::Stall, 0x02, k.command,
                                   vesk::sim::FaultWhen::Always, 1});
        EXPECT_FALSE(c.AggiornaAccessoriFile(0, ConfigFile(Pattern(32768))));
        EXPECT_EQ(LogCount(std::string("CConnectionPELL460200::ScriviCFG [")), 3) << k.line;
        EXPECT_EQ(LogCount(k.line), 3);
    }
    auto& c = Pell(R"("config_fill": 0)");
    Inst().faults().push_back({vesk::sim::FaultKind::Stall, vesk::sim::kTargetBulkOut, -1,
                               vesk::sim::FaultWhen::Always, 1});
    EXPECT_FALSE(c.ScriviCFG());  // not read yet
    ASSERT_TRUE(c.LeggiConfigurazione());
    EXPECT_FALSE(c.ScriviCFG());
    EXPECT_TRUE(log_.contains("WriteBulkPipe"));
}

TEST_F(FamilyWritersTest, OlderPellRefusesItsAccessoryFilesInsteadOfSendingNothing) {
    LoadFamily("pell", false);
    auto& c = Connect(std::make_unique<CConnectionStrumentoTipoPell>());
    const auto file = Pattern(7936, 40);
    const auto path = File("Pell_Sensors_010000.bin", std::string(file.begin(), file.end()));
    EXPECT_FALSE(c.AggiornaAccessoriFile(2, path));
    EXPECT_FALSE(c.AggiornaAccessoriFile(0, path));
    EXPECT_TRUE(log_.contains("No writer for accessory 2, file " + vesk::to_utf8(path)));
    EXPECT_TRUE(Transfers().empty());
}

TEST(ConfigBlank, MoreThan499ErasedBytesOfTheFirst512) {
    struct Case {
        size_t erased;
        bool blank;
    } cases[] = {{512, true}, {500, true}, {499, false}, {0, false}};
    for (const auto& k : cases) {
        CConnectionPell460300 c;
        auto& b = c.BufferConfigurazione();
        std::fill(b.begin(), b.end(), 0);
        std::fill(b.begin(), b.begin() + k.erased, 0xFF);
        EXPECT_EQ(c.ConfigurazioneVuota(), k.blank) << k.erased;
    }
}

// ---- sensors and ECU driver ----

TEST_F(FamilyWritersTest, SensorsFileIsComparedThenErasedThenWritten) {
    LoadFamily("pell", false);
    auto& c = Connect(std::make_unique<CConnectionPell460300>());
    Inst().memory().Write(SimFlash::kSensorsAddress, Pattern(7936, 9));
    const auto file = Pattern(7936, 40);
    const auto path = File("Pell_Sensors_010000.bin", std::string(file.begin(), file.end()));
    ASSERT_TRUE(c.AggiornaAccessoriFile(2, path));
    EXPECT_EQ(Inst().memory().Read(SimFlash::kSensorsAddress, 7936), file);

    // Order: the reads, the erase, then the blocks from the top down.
    const auto& t = Trace();
    size_t first_booter = t.size(), last_read = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind == vesk::sim::TraceKind::Control && t[i].request == 0x0E) last_read = i;
        if (t[i].kind == vesk::sim::TraceKind::Control && t[i].request == 0x0F && first_booter == t.size())
            first_booter = i;
    }
    EXPECT_LT(last_read, first_booter);
    ASSERT_LT(first_booter, t.size());
    EXPECT_EQ(t[first_booter].command(), BOOTER_CLR_SENSOR);
    std::vector<uint32_t> expected;
    for (uint32_t k = 1; k <= 31; ++k) expected.push_back(SimFlash::kSensorsAddress + 7936 - 256 * k);
    EXPECT_EQ(BooterAddresses(BOOTER_WRITE_SENSOR), expected);

    // The same file again: read, found equal, nothing written.
    bus_->trace().Clear();
    EXPECT_TRUE(c.AggiornaAccessoriFile(2, path));
    EXPECT_TRUE(bus_->trace().Controls(0x0F).empty());
}

TEST_F(FamilyWritersTest, SensorsAndEcuFailuresAreNamed) {
    LoadFamily("pell", false, "",
               R"("faults": [{"kind": "stall", "request": "booter", "command": 9},
                             {"kind": "stall", "request": "booter", "command": 8, "when": "from", "n": 2}])");
    auto& c = Connect(std::make_unique<CConnectionPell460300>());
    EXPECT_FALSE(c.CancellaSensori());
    EXPECT_TRUE(log_.contains("Error in control write booter BOOTER_CLR_SENSOR address 0 len 0"));
    const auto file = Pattern(7936, 40);
    EXPECT_FALSE(c.AggiornaAccessoriFile(2, File("s.bin", std::string(file.begin(), file.end()))));
    EXPECT_TRUE(bus_->trace().Controls(0x0F).size() >= 2);

    // ECU: the area read, erased and written like the sensors, at its own place.
    Inst().memory().Write(SimFlash::kEcuAddress, Pattern(8192, 1));
    ASSERT_TRUE(c.LeggiECUDriver());
    EXPECT_EQ(c.BufferECUDriver(), Pattern(8192, 1));
    ASSERT_TRUE(c.CancellaECUDriver());
    EXPECT_EQ(Inst().memory().Read(SimFlash::kEcuAddress, 8192), std::vector<uint8_t>(8192, 0xFF));
    c.BufferECUDriver() = Pattern(8192, 2);
    bus_->trace().Clear();
    EXPECT_FALSE(c.ScriviECUDriver());
    EXPECT_TRUE(log_.contains("Error in control write booter BOOTER_WRITE_ECU address " +
                              std::to_string(SimFlash::kEcuAddress + 8192 - 512) + " len 128"));
    EXPECT_EQ(Inst().memory().Read(SimFlash::kEcuAddress + 8192 - 256, 256),
              std::vector<uint8_t>(c.BufferECUDriver().end() - 256, c.BufferECUDriver().end()));
}

// ---- class tree ----

TEST(FamilyClasses, DescriptorsAndSlaveLevels) {
    struct Case {
        std::unique_ptr<CConnectionStrumentoTipoQuarv> c;
        uint32_t fw_start, fw_end;
        std::wstring fw, lng, booter;
        uint32_t b_start, b_end;
        int level;
        std::wstring acc0, acc2;
    };
    Case cases[] = {
        {std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Q3x"), 0xFE0000, 0xFF8000, L"Q3x_*_fw.mhx", L"",
         L"Booter_Q3x_*.mhx", 0xFFC000, 0xFFF000, 5, L"", L""},
        {std::make_unique<CConnectionStrumentoTipoQuarv3vecchio>(L"Q3x"), 0xFE0000, 0xFF8000, L"Q3x_*_fw.mhx",
         L"", L"Booter_Q3x_*.mhx", 0xFFC000, 0xFFF000, 0, L"", L""},
        {std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Q4x"), 0xFC0000, 0x1000000, L"Q4x_*_fw.mhx", L"",
         L"Booter_Quarv4_*.mhx", 0xDF0000, 0xDF2000, 5, L"", L""},
        {std::make_unique<CConnectionStrumentoTipoQuarv4vecchio>(L"Q4x"), 0xFC0000, 0x1000000, L"Q4x_*_fw.mhx",
         L"", L"Booter_Quarv4_*.mhx", 0xDF0000, 0xDF2000, 0, L"", L""},
        {std::make_unique<CConnectionStrumentoTipoPell>(), 0xFC0000, 0x1000000, L"Pell_*_fw.mhx",
         L"Pell_*_lng.mhx", L"", 0, 0, 0, L"Pell_Config_*.bin", L"Pell_Sensors_*.bin"},
        {std::make_unique<CConnectionStrumentoTipoPellDL>(), 0xFC0000, 0x1000000, L"Pell_*_fw.mhx",
         L"Pell_*_lng.mhx", L"", 0, 0, 0, L"", L""},
        {std::make_unique<CConnectionPell460300>(), 0xFC0000, 0x1000000, L"Pell_*_fw.mhx", L"Pell_*_lng.mhx",
         L"", 0, 0, 0, L"Pell_Config_*.bin", L"Pell_Sensors_*.bin"},
        {std::make_unique<CConnectionPellDL460300>(), 0xFC0000, 0x1000000, L"Pell_*_fw.mhx", L"Pell_*_lng.mhx",
         L"", 0, 0, 5, L"", L""},
        {std::make_unique<CConnectionQuarv4ComePell>(), 0xFC0000, 0x1000000, L"Quarv4_*_fw.mhx", L"", L"", 0, 0,
         5, L"", L""},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(vesk::to_utf8(k.fw));
        auto& c = *k.c;
        EXPECT_EQ(c.FirmwareFile().start, k.fw_start);
        EXPECT_EQ(c.FirmwareFile().end, k.fw_end);
        EXPECT_EQ(c.FirmwareFile().pattern, k.fw);
        EXPECT_EQ(c.LanguageFile().pattern, k.lng);
        if (!k.lng.empty()) {
            EXPECT_EQ(c.LanguageFile().start, 0xFC0000u);
            EXPECT_EQ(c.LanguageFile().end, 0x1000000u);
            EXPECT_EQ(c.LanguageFile().save_code, 564);
        }
        EXPECT_EQ(c.BooterFile().pattern, k.booter);
        if (!k.booter.empty()) {
            EXPECT_EQ(c.BooterFile().start, k.b_start);
            EXPECT_EQ(c.BooterFile().end, k.b_end);
        }
        EXPECT_EQ(c.SlaveUpdateLevel(), k.level);
        EXPECT_EQ(c.GetIAggiornaFW(), static_cast<IAggiornaFW*>(&c));
        const auto& acc = c.Accessori();
        if (k.lng.empty() && k.fw.rfind(L"Quarv4_", 0) != 0) {
            EXPECT_TRUE(acc.empty());
        } else {
            ASSERT_EQ(acc.size(), 3u);
            EXPECT_EQ(acc.at(0).pattern, k.acc0);
            EXPECT_EQ(acc.at(1).pattern, L"");
            EXPECT_EQ(acc.at(2).pattern, k.acc2);
            for (const auto& [i, d] : acc) EXPECT_EQ(d.start + d.end + d.save_code, 0u);
        }
    }
}

TEST_F(FamilyWritersTest, Quarv3AndQuarv4NetTableOnlyResetsTheGpsSlave) {
    LoadOne();
    for (auto make : {+[]() -> std::unique_ptr<CConnectionStrumentoTipoQuarv> {
                          return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3");
                      },
                      +[]() -> std::unique_ptr<CConnectionStrumentoTipoQuarv> {
                          return std::make_unique<CConnectionStrumentoTipoQuarv4>(L"Quarv4");
                      }}) {
        auto& c = Connect(make());
        CDeviceInfo info = Info();
        info.Ident().set_loggerCode(300);
        info.BuildDisplayName({});
        c.SetDeviceInfo(&info);
        EXPECT_TRUE(c.LeggiNetTable(true, true));
        EXPECT_EQ(info.GetGpsSlave(), 255);
        EXPECT_TRUE(Transfers().empty());
        EXPECT_EQ(clock_.elapsed_ms(), 0u);
    }
}

}  // namespace
