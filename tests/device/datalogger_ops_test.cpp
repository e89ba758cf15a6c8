// The data-logger operations of the Quarv and Pell classes and the data key's
// finish lines against simulated instruments: the bytes on the wire from the
// trace, and what the buffers hold after a read or the instrument after a write.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <type_traits>

#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_pell.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "records/datalogger_layout.h"
#include "sim/sim_datalogger.h"
#include "sim/sim_memory.h"
#include "sim/sim_net.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

using vesk::sim::SimPattern;
using vesk::sim::TraceEntry;
using vesk::sim::TraceKind;
using vesk::test::TempDir;
using Bytes = std::vector<uint8_t>;

// Masters of each kind of class; the fields after the code.
constexpr const char* kQuarv4 = R"("code": 62, "serial": 620, "firmware": "45.01.00")";  // ...Quarv4vecchio
constexpr const char* kQuarv3 = R"("code": 19, "serial": 190, "firmware": "14.90.00")";  // no net
constexpr const char* kPell = R"("code": 65, "serial": 650, "firmware": "46.03.00")";    // CConnectionPellDL460300
constexpr const char* kOldPell = R"("code": 64, "serial": 640, "firmware": "46.02.00")"; // CConnectionStrumentoTipoPell
constexpr const char* kDataKey = R"("code": 111, "serial": 111, "firmware": "01.00.00")";
// A GPS receiver at slave number 3 and a lambda unit at 2.
constexpr const char* kGpsNet =
    R"("net_rebuild_ms": 0, "slaves": [{"number": 2, "code": 2006, "serial": 72, "firmware": "01.00.00"},
                                       {"number": 3, "code": 2017, "serial": 73, "firmware": "02.00.00"}])";

class DataLoggerOps : public vesk::test::SimFixture {
protected:
    void TearDown() override { conn_dl_.reset(); }

    // One master of the given fields on the bus, connected through class C
    // (trace files go to the test's folder); with_net reads its identity and
    // net first, as the listing does, so the GPS choice is made.
    template <typename C>
    C& Connect(const std::string& fields, const std::string& extra = "", bool with_net = false) {
        conn_dl_.reset();
        Load(vesk::test::SimScenarioJson({"{" + fields + (extra.empty() ? "" : ", " + extra) + "}"}));
        return Attach<C>(with_net);
    }
    // A new connection of class C to the instrument already on the bus.
    template <typename C>
    C& Attach(bool with_net) {
        conn_dl_.reset();
        info_ = Info();
        std::unique_ptr<C> c;
        if constexpr (std::is_constructible_v<C, std::wstring, std::wstring>)
            c = std::make_unique<C>(L"Fam", dir_.wpath());
        else
            c = std::make_unique<C>(dir_.wpath());
        C& ref = *c;
        EXPECT_TRUE(ref.Connetti(&info_));
        if (with_net) {
            bool ok = false;
            ref.RefreshIdent(true, ok);
            EXPECT_TRUE(ok);
        }
        conn_dl_ = std::move(c);
        bus_->trace().Clear();
        log_.clear();
        return ref;
    }
    vesk::sim::SimDataLogger& Dl() { return *vesk::sim::FindDataLogger(Inst()); }
    std::vector<TraceEntry> Requests(uint8_t request) const { return bus_->trace().Controls(request); }
    std::vector<TraceEntry> Bulk(TraceKind kind) const {
        std::vector<TraceEntry> out;
        for (const auto& e : Transfers())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    // Memory requests of one command: their addresses.
    std::vector<uint32_t> MemoryAddresses(uint8_t command) const {
        std::vector<uint32_t> out;
        for (const auto& e : Memory())
            if (e.command() == command) out.push_back(e.address());
        return out;
    }
    // The (offset, length) payload of a configuration or GPS request.
    static std::pair<uint32_t, uint32_t> Part(const TraceEntry& e) {
        EXPECT_EQ(e.data.size(), 8u);
        return {vesk::get_le32(e.data.data()), vesk::get_le32(e.data.data() + 4)};
    }
    // The traces go beside the log: the test's log is in logs_.
    std::string TraceFile(const std::string& name) const {
        return vesk::test::read_file(logs_.file(name + ".usb"));
    }
    static std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
    bool Logged(const std::string& text) const { return log_.contains(text); }

    TempDir dir_, logs_;
    struct LogIn {
        explicit LogIn(const std::string& path) : previous(vesk::log_file_path()) { vesk::set_log_file_path(path); }
        ~LogIn() { vesk::set_log_file_path(previous); }
        std::string previous;
    } log_in_{logs_.file("run.log")};
    CDeviceInfo info_;
    std::unique_ptr<IConnectionStrumento> conn_dl_;
};

std::vector<uint32_t> Steps(uint32_t start, uint32_t step, size_t count) {
    std::vector<uint32_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = start + uint32_t(i) * step;
    return v;
}

// ---- configuration of the Quarv families (22, 23, 24, 58..72) ----

TEST_F(DataLoggerOps, QuarvConfigurationIsReadFromBankOneAndCutIntoItsSections) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    const Bytes conf = SimPattern(1, 8192), pcconf = SimPattern(2, 16384);
    Inst().memory().Write(0x40008000, conf);
    Inst().memory().Write(0x4000C000, pcconf);
    uint32_t size = 99;
    EXPECT_EQ(c.GetCONF(size), nullptr);  // nothing before the read
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(c.IsConfigurazioneLetta());

    ASSERT_TRUE(c.LeggiConfigurazione());
    EXPECT_TRUE(c.IsConfigurazioneLetta());
    auto expected = Steps(0x40008000, 128, 64);
    const auto high = Steps(0x4000C000, 128, 128);
    expected.insert(expected.end(), high.begin(), high.end());
    EXPECT_EQ(MemoryAddresses(MEM_READ), expected);
    for (const auto& e : Memory()) EXPECT_EQ(e.word(4), 128);
    EXPECT_EQ(c.BufferCONF(), conf);
    EXPECT_EQ(c.BufferPCCONF(), pcconf);

    using Getter = uint8_t* (IConnectionStrumento::*)(uint32_t&);
    const struct {
        Getter get;
        uint32_t offset, size;
    } sections[] = {
        {&IConnectionStrumento::GetCONF, 0, 5000},
        {&IConnectionStrumento::GetCMDCONF2, 5000, 160},
        {&IConnectionStrumento::GetSlaveConfTab, 5160, 24},
        {&IConnectionStrumento::GetNameSlave, 5184, 128},
        {&IConnectionStrumento::GetPCCONF2, 5312, 128},
        {&IConnectionStrumento::GetDISPCONF2, 5440, 128},
        {&IConnectionStrumento::GetChFisici, 5568, 32},
        {&IConnectionStrumento::GetStringheNuove, 5600, 32},
        {&IConnectionStrumento::GetAlarmProlog, 5632, 1000},
    };
    IConnectionStrumento& i = c;
    for (const auto& s : sections) {
        uint32_t n = 0;
        EXPECT_EQ((i.*s.get)(n), c.BufferCONF().data() + s.offset) << s.offset;
        EXPECT_EQ(n, s.size) << s.offset;
    }
    EXPECT_EQ(i.GetPCCONF(), c.BufferPCCONF().data());
    EXPECT_EQ(i.GetSezioneExtra1(), c.BufferCONF().data() + 6632);
    EXPECT_EQ(i.GetSezioneExtra2(), c.BufferCONF().data() + 7412);
    EXPECT_EQ(i.GetBufferConfigurazione(size), c.BufferPCCONF().data());
    EXPECT_EQ(size, 16384u);
}

TEST_F(DataLoggerOps, QuarvConfigurationWriteSendsEachSectionWithItsCommandInOrder) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    ASSERT_TRUE(c.LeggiConfigurazione());
    EXPECT_FALSE(c.IsConfigurazioneModificata());
    c.BufferCONF() = SimPattern(3, 8192);
    c.BufferPCCONF() = SimPattern(4, 16384);
    EXPECT_TRUE(c.IsConfigurazioneModificata());
    bus_->trace().Clear();
    ASSERT_TRUE(c.ScriviConfigurazione());
    EXPECT_FALSE(c.IsConfigurazioneModificata());

    // Every piece: a main-buffer write of its bytes, then the section's
    // command with the piece's place (C1) and length (C2).
    struct Piece {
        uint8_t command;
        uint16_t c1, c2;
    };
    std::vector<Piece> want;
    for (const auto& s : datalogger::kSezioni)
        for (uint32_t off = 0; off < s.size; off += 256)
            want.push_back({s.command, uint16_t(off), uint16_t(std::min(256u, s.size - off))});
    const auto tr = Transfers();
    std::vector<Piece> got;
    for (size_t k = 0; k < tr.size(); ++k) {
        if (tr[k].kind != TraceKind::Control || tr[k].request != 0x0D) continue;
        got.push_back({tr[k].command(), tr[k].word(1), tr[k].word(3)});
        ASSERT_GE(k, 2u);
        ASSERT_EQ(tr[k - 1].kind, TraceKind::BulkOut);
        const auto* s = datalogger::SezioneDelComando(tr[k].command());
        const Bytes& block = s->block == datalogger::Blocco::Conf ? c.BufferCONF() : c.BufferPCCONF();
        const Bytes piece(block.begin() + s->offset + tr[k].word(1),
                          block.begin() + s->offset + tr[k].word(1) + tr[k].word(3));
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), tr[k - 1].data.begin())) << k;
        EXPECT_EQ(tr[k].word(5), 0);
        EXPECT_EQ(tr[k].word(7), 0);
    }
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].command, want[k].command) << k;
        EXPECT_EQ(got[k].c1, want[k].c1) << k;
        EXPECT_EQ(got[k].c2, want[k].c2) << k;
    }
    // The instrument holds every section; the two extra sections are not sent.
    EXPECT_EQ(Inst().memory().Read(0x40008000, 6632), Bytes(c.BufferCONF().begin(), c.BufferCONF().begin() + 6632));
    EXPECT_EQ(Inst().memory().Read(0x40008000 + 6632, 1560), Bytes(1560, 0xFF));
    EXPECT_EQ(Inst().memory().Read(0x4000C000, 16384), c.BufferPCCONF());
}

TEST_F(DataLoggerOps, QuarvConfigurationWriteNeedsAReadAndStopsAtTheFirstRefusedSection) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(
        kQuarv4, R"("faults": [{"kind": "stall", "request": "quarv3", "command": 21}])");
    EXPECT_FALSE(c.ScriviConfigurazione());
    EXPECT_TRUE(Transfers().empty());

    ASSERT_TRUE(c.LeggiConfigurazione());
    bus_->trace().Clear();
    EXPECT_FALSE(c.ScriviConfigurazione());
    std::vector<uint8_t> commands;
    for (const auto& e : Requests(0x0D))
        if (commands.empty() || commands.back() != e.command()) commands.push_back(e.command());
    // SETCONF, SETCMDCONF2, SETSL_CONF_TAB, SET_NAME_SLAVE, then SETPCCONF2 refused.
    EXPECT_EQ(commands, (std::vector<uint8_t>{1, 20, 19, 12, 21}));
    EXPECT_TRUE(Logged("CConnectionStrumentoTipoQuarv::ScriviConfigurazione"));
    EXPECT_TRUE(Logged("Error in control write quarv3 CMD_SETPCCONF2 C1 0 C2 128 C3 0 C4 0"));
}

TEST_F(DataLoggerOps, SetConfigurazioneTakesAtMostTheBlockAndErasesTheRest) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    const Bytes src = SimPattern(5, 100);
    ASSERT_TRUE(c.SetConfigurazione(src.data(), uint32_t(src.size())));
    Bytes want(16384, 0xFF);
    std::copy(src.begin(), src.end(), want.begin());
    EXPECT_EQ(c.BufferPCCONF(), want);
    const Bytes big = SimPattern(6, 20000);
    ASSERT_TRUE(c.SetConfigurazione(big.data(), uint32_t(big.size())));
    EXPECT_EQ(c.BufferPCCONF(), Bytes(big.begin(), big.begin() + 16384));
    EXPECT_FALSE(c.SetConfigurazione(nullptr, 10));
    EXPECT_TRUE(Transfers().empty());
}

// ---- records (25, 29) ----

TEST_F(DataLoggerOps, IctRecordIsReadAfterRequest36AndCheckedUnderItsTag) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    struct Case {
        const char* what;
        std::function<void(std::array<uint8_t, 128>&)> change;
        bool valid;
    } cases[] = {
        {"as the instrument keeps it", [](auto&) {}, true},
        {"flag bit 0 of byte 12 clear", [](auto& r) {
             r[12] &= 0xFE;
             INFOFWUPD x("ict");
             x.FromBytes(r.data(), 128);
             x.UpdateChecksum();
             std::copy(x.data(), x.data() + 128, r.begin());
         }, false},
        {"checksum wrong", [](auto& r) { r[100] ^= 1; }, false},
        {"tag of another record", [](auto& r) { r[0] = 'f'; }, false},
    };
    for (const auto& k : cases) {
        auto record = vesk::sim::MakeSimRecord("ict", 620);
        k.change(record);
        Dl().ict = record;
        bus_->trace().Clear();
        INFOFWUPD got;
        EXPECT_EQ(c.GetInfoICT(got), k.valid) << k.what;
        EXPECT_TRUE(std::equal(record.begin(), record.end(), got.data())) << k.what;
        const auto cfg = Requests(0x02);
        ASSERT_EQ(cfg.size(), 1u);
        EXPECT_EQ(cfg[0].value, 36);
        EXPECT_EQ(cfg[0].length, 0u);
        const auto in = Bulk(TraceKind::BulkIn);
        ASSERT_EQ(in.size(), 1u);
        EXPECT_EQ(in[0].length, 128u);
    }
}

TEST_F(DataLoggerOps, IdpRecordNamesTheSlaveInTheRequestParameter) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, kGpsNet);
    INFOFWUPD got;
    ASSERT_TRUE(c.GetInfoIDP(got, 3));
    const auto cfg = Requests(0x02);
    ASSERT_EQ(cfg.size(), 1u);
    EXPECT_EQ(cfg[0].value, 49);
    EXPECT_EQ(cfg[0].index, 3);
    EXPECT_EQ(got.u32(16), 73u);  // the simulated slave's serial
    // No slave 5: the record read is not valid.
    EXPECT_FALSE(c.GetInfoIDP(got, 5));
}

// ---- memory area (26, 27, 28) and a slave's data area (30) ----

TEST_F(DataLoggerOps, MemoryAreaIsWrittenInChunksOf64KAndReadBackInChunksOf8K) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    const Bytes data = SimPattern(7, 70000);
    const uint64_t start = clock_.now_ms();
    ASSERT_TRUE(c.ScriviAreaMemoria(0x1000, uint32_t(data.size()), data.data()));
    const auto w = Requests(0x02);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0].value, 34);
    EXPECT_EQ(w[1].value, 33);
    EXPECT_EQ(Part(w[1]), std::make_pair(0x1000u, 65536u));
    EXPECT_EQ(w[2].value, 33);
    EXPECT_EQ(Part(w[2]), std::make_pair(0x11000u, 4464u));
    EXPECT_EQ(w[3].value, 35);
    // The end request waits 300 ms after the last chunk.
    EXPECT_GE(w[3].time_ms - w[2].time_ms, 300u);
    EXPECT_GE(clock_.now_ms() - start, 300u);
    const auto out = Bulk(TraceKind::BulkOut);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].length, 65536u);
    EXPECT_EQ(out[1].length, 4464u);
    EXPECT_EQ(Dl().area.Read(0x1000, data.size()), data);

    bus_->trace().Clear();
    EXPECT_FALSE(c.IsAreaMemoriaLetta());
    Bytes back(20000);
    ASSERT_TRUE(c.LeggiAreaMemoria(0x1000, uint32_t(back.size()), back.data()));
    EXPECT_TRUE(c.IsAreaMemoriaLetta());
    EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 20000));
    std::vector<std::pair<uint32_t, uint32_t>> parts;
    for (const auto& e : Requests(0x02)) {
        EXPECT_EQ(e.value, 32);
        parts.push_back(Part(e));
    }
    EXPECT_EQ(parts, (std::vector<std::pair<uint32_t, uint32_t>>{{0x1000, 8192}, {0x3000, 8192}, {0x5000, 3616}}));
    EXPECT_EQ(Bulk(TraceKind::BulkIn).size(), 3u);
}

TEST_F(DataLoggerOps, SlaveDataAreaComesInPiecesOf256ThroughTheMainBuffer) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, kGpsNet);
    const Bytes data = SimPattern(8, 600);
    ASSERT_TRUE(vesk::sim::WriteSlaveMemory(Inst(), 2, 0x10000, data));
    Bytes got(600);
    ASSERT_TRUE(c.LeggiAreaDatiSlave(2, 0x10000, 600, got.data()));
    EXPECT_EQ(got, data);
    std::vector<std::pair<uint32_t, uint32_t>> parts;
    for (const auto& e : Requests(0x02)) {
        EXPECT_EQ(e.value, 48);
        EXPECT_EQ(e.index, 2);
        parts.push_back(Part(e));
    }
    EXPECT_EQ(parts, (std::vector<std::pair<uint32_t, uint32_t>>{{0x10000, 256}, {0x10100, 256}, {0x10200, 88}}));
    // Each piece is fetched with an announced main-buffer read.
    EXPECT_EQ(Requests(0x0C).size(), 3u);
}

// ---- GPS finish lines through the GPS slave (34..37, 39) ----

TEST_F(DataLoggerOps, FinishLinesAreReadFromTheGpsSlaveWithRequests4And61) {
    // A D11 chip reads 16 bytes per request: the last one of each table is a 61.
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, std::string(kGpsNet) + R"(, "chip": "D11")",
                                                             true);
    ASSERT_EQ(info_.GetGpsSlave(), 3);
    const Bytes header = SimPattern(9, 512), lines = SimPattern(10, 8192);
    vesk::sim::WriteSlaveMemory(Inst(), 3, 0x21000000, header);
    vesk::sim::WriteSlaveMemory(Inst(), 3, 0x22000000, lines);
    EXPECT_FALSE(c.IsTraguardiGPSLetti());
    ASSERT_TRUE(c.LeggiTraguardiGPS());
    EXPECT_TRUE(c.IsTraguardiGPSLetti());
    EXPECT_TRUE(c.IsTraguardiDisponibili());
    EXPECT_EQ(c.Traguardi().Header(), header);
    EXPECT_EQ(c.Traguardi().Linee(), lines);

    auto r4 = Steps(0x21000000, 16, 31);
    const auto l4 = Steps(0x22000000, 16, 511);
    r4.insert(r4.end(), l4.begin(), l4.end());
    EXPECT_EQ(MemoryAddresses(MEM_READ128_SLAVE), r4);
    EXPECT_EQ(MemoryAddresses(MEM_READ16_SLAVE), (std::vector<uint32_t>{0x210001F0, 0x22001FF0}));
    for (const auto& e : Memory()) EXPECT_EQ(e.byte(3), 3) << "slave number";
    // Copies of what was exchanged, in the application folder.
    EXPECT_EQ(TraceFile("Leggi_Traguardi_GPS_Header"), Str(header));
    EXPECT_EQ(TraceFile("Leggi_Traguardi_GPS_LL"), Str(lines));
}

TEST_F(DataLoggerOps, FinishLinesAreWrittenBlockByBlockReadBackAndTheMasterRestarts) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, kGpsNet, true);
    ASSERT_TRUE(c.Traguardi().SetImmagine(SimPattern(11, 8704)));
    ASSERT_TRUE(c.ScriviTraguardiGPS());
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 3, 0x21000000, 512), c.Traguardi().Header());
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 3, 0x22000000, 8192), c.Traguardi().Linee());

    // Per block: the block into the main buffer, a read on the GPS area that
    // stores it there, SLAVE_BULKWRITE toward slave 3.
    const auto tr = Transfers();
    std::vector<uint32_t> relayed;
    for (size_t k = 0; k < tr.size(); ++k) {
        if (tr[k].kind != TraceKind::Control || tr[k].request != 0x0E || tr[k].command() != SLAVE_BULKWRITE)
            continue;
        relayed.push_back(tr[k].address());
        EXPECT_EQ(tr[k].byte(3), 3);
        EXPECT_EQ(tr[k].word(4), 128);
        ASSERT_GE(k, 5u);
        EXPECT_EQ(tr[k - 3].command(), MEM_READ);
        EXPECT_EQ(tr[k - 3].address(), tr[k].address());
        EXPECT_EQ(tr[k - 4].kind, TraceKind::BulkOut);
        const uint32_t a = tr[k].address();
        const Bytes& table = a >= 0x22000000 ? c.Traguardi().Linee() : c.Traguardi().Header();
        const uint32_t off = a - (a >= 0x22000000 ? 0x22000000 : 0x21000000);
        EXPECT_TRUE(std::equal(table.begin() + off, table.begin() + off + 128, tr[k - 4].data.begin())) << a;
    }
    auto want = Steps(0x21000000, 128, 4);
    const auto lw = Steps(0x22000000, 128, 64);
    want.insert(want.end(), lw.begin(), lw.end());
    EXPECT_EQ(relayed, want);
    // Then the read-back, and the restart that makes the master take them up.
    EXPECT_FALSE(MemoryAddresses(MEM_READ128_SLAVE).empty());
    const auto booter = Requests(0x0F);
    ASSERT_EQ(booter.size(), 1u);
    EXPECT_EQ(booter[0].command(), 15);
    EXPECT_EQ(tr.back().request, 0x0F);
    EXPECT_EQ(TraceFile("Scrivi_Traguardi_GPS_LL"), Str(c.Traguardi().Linee()));
}

TEST_F(DataLoggerOps, FinishLinesThatReadBackDifferentAreReportedWithoutTheRestart) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, kGpsNet, true);
    // The master takes every block and passes none on.
    auto relay = [](vesk::sim::SimInstrument&, const vesk::sim::ControlRequest&) { return 0; };
    Inst().SetMemoryHandler(SLAVE_BULKWRITE, relay);
    ASSERT_TRUE(c.Traguardi().SetImmagine(Bytes(8704, 0x00)));
    EXPECT_FALSE(c.ScriviTraguardiGPS());
    EXPECT_TRUE(Logged("finish lines read back differ from those written (8704 bytes)"));
    EXPECT_TRUE(Requests(0x0F).empty());
}

TEST_F(DataLoggerOps, ErasingFinishLinesWritesErasedTables) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, kGpsNet, true);
    vesk::sim::WriteSlaveMemory(Inst(), 3, 0x22000000, SimPattern(12, 8192));
    ASSERT_TRUE(c.LeggiTraguardiGPS());
    ASSERT_TRUE(c.IsTraguardiDisponibili());
    ASSERT_TRUE(c.CancellaTraguardiGPS());
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 3, 0x22000000, 8192), Bytes(8192, 0xFF));
    EXPECT_EQ(c.Traguardi().Linee(), Bytes(8192, 0xFF));
    EXPECT_FALSE(c.IsTraguardiDisponibili());
}

TEST_F(DataLoggerOps, FinishLinesNeedAGpsSlave) {
    struct Case {
        const char* what;
        std::function<IConnectionStrumento&()> connect;
    } cases[] = {
        {"a Quarv3 has no net", [this]() -> IConnectionStrumento& {
             return Connect<CConnectionStrumentoTipoQuarv3>(kQuarv3, kGpsNet, true);
         }},
        {"a net without a GPS receiver", [this]() -> IConnectionStrumento& {
             return Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, "", true);
         }},
    };
    for (const auto& k : cases) {
        IConnectionStrumento& c = k.connect();
        EXPECT_FALSE(c.LeggiTraguardiGPS()) << k.what;
        EXPECT_FALSE(c.ScriviTraguardiGPS()) << k.what;
        EXPECT_TRUE(Transfers().empty()) << k.what;
        EXPECT_TRUE(Logged("No GPS slave holds the finish lines (GpsSlave 255)")) << k.what;
    }
}

TEST_F(DataLoggerOps, OlderPellHoldsItsFinishLinesItselfAsSlaveZero) {
    auto& c = Connect<CConnectionStrumentoTipoPell>(kOldPell, "", true);
    ASSERT_EQ(info_.GetGpsSlave(), 0);
    ASSERT_TRUE(c.Traguardi().SetImmagine(SimPattern(13, 8704)));
    ASSERT_TRUE(c.ScriviTraguardiGPS());
    for (const auto& e : Memory()) EXPECT_EQ(e.byte(3), 0);
    EXPECT_EQ(Inst().memory().Read(0x21000000, 512), c.Traguardi().Header());
    EXPECT_EQ(Inst().memory().Read(0x22000000, 8192), c.Traguardi().Linee());
}

TEST_F(DataLoggerOps, DataKeyReachesTheFinishLinesOfTheGpsSlaveOnItsNet) {
    auto& k = Connect<CConnectionDataKey>(
        kDataKey, R"("net_rebuild_ms": 0, "slaves": [{"number": 1, "code": 2018, "serial": 81, "firmware": "02.00.00"}])",
        true);
    ASSERT_EQ(info_.GetGpsSlave(), 1);
    const Bytes image = SimPattern(14, 8704);
    ASSERT_TRUE(k.Traguardi().SetImmagine(image));
    ASSERT_TRUE(k.ScriviTraguardiGPS());
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 1, 0x21000000, 512), Bytes(image.begin(), image.begin() + 512));
    EXPECT_EQ(vesk::sim::SlaveMemory(Inst(), 1, 0x22000000, 8192), Bytes(image.begin() + 512, image.end()));
    EXPECT_EQ(MemoryAddresses(SLAVE_BULKWRITE).size(), 68u);
    EXPECT_EQ(Requests(0x0F).back().command(), 15);

    // Back on the bus after its restart, a new connection reads them with requests 4.
    clock_.advance_ms(3000);
    auto& again = Attach<CConnectionDataKey>(true);
    ASSERT_TRUE(again.LeggiTraguardiGPS());
    EXPECT_EQ(again.Traguardi().Immagine(), image);
    EXPECT_EQ(MemoryAddresses(MEM_READ128_SLAVE).size(), 4u + 64u);
}

// ---- GPS finish lines through the Pell GPS requests ----

TEST_F(DataLoggerOps, PellFinishLinesGoThroughGpsRequestsAndTheBulkPipe) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    const Bytes image = SimPattern(15, 8704);
    ASSERT_TRUE(c.Traguardi().SetImmagine(image));
    ASSERT_TRUE(c.ScriviTraguardiGPS());
    auto gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].value, 0x01);
    EXPECT_EQ(Part(gps[0]), std::make_pair(0u, 512u));
    EXPECT_EQ(gps[1].value, 0x02);
    EXPECT_EQ(Part(gps[1]), std::make_pair(0u, 8192u));
    auto out = Bulk(TraceKind::BulkOut);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, Bytes(image.begin(), image.begin() + 512));
    EXPECT_EQ(out[1].length, 8192u);
    EXPECT_TRUE(Requests(0x0C).empty());  // the bulk pipe without announcement
    EXPECT_EQ(Inst().memory().Read(0x21000000, 512), Bytes(image.begin(), image.begin() + 512));
    EXPECT_EQ(Inst().memory().Read(0x22000000, 8192), Bytes(image.begin() + 512, image.end()));
    EXPECT_EQ(TraceFile("Scrivi_Traguardi_GPS_Header"), Str(Bytes(image.begin(), image.begin() + 512)));

    bus_->trace().Clear();
    c.Traguardi().SetImmagine(Bytes(8704, 0));
    ASSERT_TRUE(c.LeggiTraguardiGPS());
    EXPECT_EQ(c.Traguardi().Immagine(), image);
    gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].value, 0x11);
    EXPECT_EQ(gps[1].value, 0x12);
    EXPECT_EQ(Part(gps[1]), std::make_pair(0u, 8192u));
    EXPECT_EQ(TraceFile("Leggi_Traguardi_GPS_LL"), Str(Bytes(image.begin() + 512, image.end())));

    bus_->trace().Clear();
    ASSERT_TRUE(c.CancellaTraguardiGPS());
    gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 1u);
    EXPECT_EQ(gps[0].value, 0x1F);
    EXPECT_EQ(Inst().memory().Read(0x22000000, 8192), Bytes(8192, 0xFF));
    EXPECT_EQ(c.Traguardi().Immagine(), Bytes(8704, 0xFF));
}

TEST_F(DataLoggerOps, PellFinishLineFailuresNameTheRequest) {
    auto& c = Connect<CConnectionPellDL460300>(kPell, R"("faults": [{"kind": "stall", "request": "gps", "command": 18}])");
    EXPECT_FALSE(c.LeggiTraguardiGPS());
    EXPECT_TRUE(Logged("CConnectionPELL460200::LeggiTraguardiGPS"));
    EXPECT_TRUE(Logged("CtrlWrite_GPS GPS_LEGGI_TRAGUARDI_LL"));
    EXPECT_FALSE(c.IsTraguardiGPSLetti());
}

// ---- recorded buffer, track version, ECU stream (31, 32, 33) ----

TEST_F(DataLoggerOps, RecordedBufferFollowsItsIbrHeader) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    Dl().registrato = SimPattern(16, 70000);
    uint32_t length = 0;
    ASSERT_EQ(c.GetBufferRegistrato(length), 1);
    EXPECT_EQ(length, 70000u);
    EXPECT_EQ(c.BufferRegistrato(), Dl().registrato);
    const auto cfg = Requests(0x02);
    ASSERT_EQ(cfg.size(), 3u);
    EXPECT_EQ(cfg[0].value, 0x11);
    EXPECT_EQ(cfg[1].value, 0x12);
    EXPECT_EQ(Part(cfg[1]), std::make_pair(0u, 65536u));
    EXPECT_EQ(Part(cfg[2]), std::make_pair(65536u, 4464u));

    struct Case {
        size_t size;
        int result;
        size_t requests;
    } cases[] = {
        {0, 0, 1},                 // nothing recorded
        {1, 0, 1},                 // a length of 1 is nothing either
        {(8u << 20) + 1, -3, 1},   // more than an instrument holds: refused
    };
    for (const auto& k : cases) {
        Dl().registrato.assign(k.size, 0x5A);
        bus_->trace().Clear();
        EXPECT_EQ(c.GetBufferRegistrato(length), k.result) << k.size;
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(Requests(0x02).size(), k.requests) << k.size;
    }
    // The older families have none.
    auto& q = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    length = 5;
    EXPECT_EQ(q.GetBufferRegistrato(length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(DataLoggerOps, TrackVersionComesFromTheNfpRecord) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    INFOFWUPD nfp("nfp");
    nfp.set_u32(8, 0x0304);
    nfp.set_u32(12, 7);
    nfp.UpdateChecksum();
    std::copy(nfp.data(), nfp.data() + 128, Dl().nfp.begin());
    VersionePiste v;
    ASSERT_TRUE(c.GetVersionePiste(v));
    EXPECT_EQ(v.versione, 0x0304u);
    EXPECT_EQ(v.revisione, 7u);
    const auto gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 1u);
    EXPECT_EQ(gps[0].value, 65);
    Dl().nfp[6] ^= 1;
    EXPECT_FALSE(c.GetVersionePiste(v));
    EXPECT_TRUE(Logged("no valid nfp record"));
    // Without the record the older families report 50 and 50.
    auto& q = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    ASSERT_TRUE(q.GetVersionePiste(v));
    EXPECT_EQ(v.versione, 50u);
    EXPECT_EQ(v.revisione, 50u);
}

TEST_F(DataLoggerOps, EcuStreamRecordIsKeptAsRead) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    ASSERT_TRUE(c.GetInfoECUStream());
    EXPECT_TRUE(std::equal(Dl().ecu_stream.begin(), Dl().ecu_stream.end(), c.InfoECUStream().begin()));
    const auto cfg = Requests(0x02);
    ASSERT_EQ(cfg.size(), 1u);
    EXPECT_EQ(cfg[0].value, 0x40);
    auto& q = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    EXPECT_FALSE(q.GetInfoECUStream());
}

// ---- the Pell 8 MB data area (38, 40, 41) ----

TEST_F(DataLoggerOps, PellDataAreaIsWrittenBetweenStartAndEndAndReadBack) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    const Bytes data = SimPattern(17, 70000);
    ASSERT_TRUE(c.ScriviAreaDati(0x10000, uint32_t(data.size()), data.data()));
    auto gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 4u);
    EXPECT_EQ(gps[0].value, 49);
    EXPECT_EQ(gps[1].value, 50);
    EXPECT_EQ(Part(gps[1]), std::make_pair(0x10000u, 65536u));
    EXPECT_EQ(Part(gps[2]), std::make_pair(0x20000u, 4464u));
    EXPECT_EQ(gps[3].value, 63);
    EXPECT_EQ(Dl().dati.Read(0x10000, data.size()), data);

    bus_->trace().Clear();
    Bytes back(data.size());
    ASSERT_TRUE(c.LeggiAreaDati(0x10000, uint32_t(back.size()), back.data()));
    EXPECT_EQ(back, data);
    gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].value, 33);
    EXPECT_EQ(Part(gps[0]), std::make_pair(0x10000u, 65536u));

    bus_->trace().Clear();
    ASSERT_TRUE(c.CancellaAreaDati());
    gps = Requests(0x01);
    ASSERT_EQ(gps.size(), 2u);
    EXPECT_EQ(gps[0].value, 49);
    EXPECT_EQ(gps[1].value, 63);
    EXPECT_EQ(Dl().dati.Read(0x10000, 16), Bytes(16, 0xFF));

    // Nothing past the 8 MB is asked for.
    bus_->trace().Clear();
    EXPECT_FALSE(c.LeggiAreaDati((8u << 20) - 10, 11, back.data()));
    EXPECT_FALSE(c.ScriviAreaDati(0xFFFFFFF0u, 32, data.data()));
    EXPECT_TRUE(Transfers().empty());
    EXPECT_TRUE(Logged("lie outside the data area"));
}

// ---- ECU driver and sensors (42..49, 73..76) ----

TEST_F(DataLoggerOps, EcuDriverAndSensorsAreReadThroughTheirInterfaceOperations) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    IConnectionStrumento& i = c;
    struct Case {
        const char* what;
        bool (IConnectionStrumento::*read)();
        bool (IConnectionStrumento::*flag)() const;
        bool (IConnectionStrumento::*modified)() const;
        uint8_t* (IConnectionStrumento::*buffer)(uint32_t&);
        uint32_t address, size;
    } cases[] = {
        {"ECU driver", &IConnectionStrumento::LeggiECUDriver, &IConnectionStrumento::IsECUDriverLetto,
         &IConnectionStrumento::IsECUDriverModificato, &IConnectionStrumento::GetBufferECUDriver, 0xFF8000, 8192},
        {"sensors", &IConnectionStrumento::LeggiSensori, &IConnectionStrumento::IsSensoriLetti,
         &IConnectionStrumento::IsSensoriModificati, &IConnectionStrumento::GetBufferSensori, 0xFFA100, 7936},
    };
    for (const auto& k : cases) {
        const Bytes content = SimPattern(k.address, k.size);
        Inst().memory().Write(k.address, content);
        bus_->trace().Clear();
        EXPECT_FALSE((i.*k.flag)()) << k.what;
        ASSERT_TRUE((i.*k.read)()) << k.what;
        EXPECT_TRUE((i.*k.flag)()) << k.what;
        EXPECT_EQ(MemoryAddresses(MEM_READ), Steps(k.address, 128, k.size / 128)) << k.what;
        uint32_t size = 0;
        uint8_t* p = (i.*k.buffer)(size);
        ASSERT_EQ(size, k.size) << k.what;
        EXPECT_EQ(Bytes(p, p + size), content) << k.what;
        EXPECT_FALSE((i.*k.modified)()) << k.what;
        p[0] ^= 0xFF;
        EXPECT_TRUE((i.*k.modified)()) << k.what;
    }
}

// ---- the two 32 KB areas, samples, command 7, online answers (50..57, 77) ----

TEST_F(DataLoggerOps, The32KAreasAreReadFromBankOneAt0And81920) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4);
    Inst().memory().Write(0x40000000, SimPattern(18, 32768));
    Inst().memory().Write(0x40014000, SimPattern(19, 32768));
    ASSERT_TRUE(c.LeggiArea32KBassa());
    EXPECT_EQ(MemoryAddresses(MEM_READ), Steps(0x40000000, 128, 256));
    bus_->trace().Clear();
    ASSERT_TRUE(c.LeggiArea32KAlta());
    EXPECT_EQ(MemoryAddresses(MEM_READ), Steps(0x40014000, 128, 256));
    EXPECT_EQ(c.Area32KBassa(), SimPattern(18, 32768));
    EXPECT_EQ(c.Area32KAlta(), SimPattern(19, 32768));
}

TEST_F(DataLoggerOps, SamplesComeAsOne64KPacketOfTheDownload) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, R"("logged_bytes": 200000)");
    ASSERT_TRUE(c.ScaricaCampioni(1));
    const auto cmd = Requests(0x0D);
    ASSERT_EQ(cmd.size(), 1u);
    EXPECT_EQ(cmd[0].command(), CMD_DWNLDDATA);
    EXPECT_EQ(cmd[0].word(1), 0);
    EXPECT_EQ(cmd[0].word(3), 1);
    EXPECT_EQ(cmd[0].word(7), 1);
    ASSERT_EQ(Bulk(TraceKind::BulkIn).size(), 1u);
    EXPECT_EQ(Bulk(TraceKind::BulkIn)[0].length, 65536u);
    uint32_t size = 0;
    uint8_t* p = c.GetBufferCampioni(size);
    ASSERT_EQ(size, 65536u);
    EXPECT_TRUE(std::equal(p, p + size, Inst().logged_data.begin() + 65536));
}

TEST_F(DataLoggerOps, Command7AndTheOnlineAnswers) {
    auto& c = Connect<CConnectionStrumentoTipoQuarv4vecchio>(kQuarv4, std::string(kGpsNet) + R"(, "logged_bytes": 1000)");
    ASSERT_TRUE(c.Comando7());
    ASSERT_EQ(Requests(0x0D).size(), 1u);
    EXPECT_EQ(Requests(0x0D)[0].command(), 7);
    EXPECT_EQ(Requests(0x0D)[0].data, (Bytes{7, 0, 0, 0, 0, 0, 0, 0, 0}));

    struct Case {
        const char* what;
        std::function<bool()> op;
        uint8_t command;
        uint16_t c1;
        std::function<Bytes()> expected;
    } cases[] = {
        {"GetOnline", [&] { return c.GetOnline(); }, 11, 0,
         [&] {
             Bytes b(256, 0);
             vesk::put_le32(b.data() + 60, 1000);
             return b;
         }},
        {"GetOnline2", [&] { return c.GetOnline2(); }, 14, 0, [&] { return Dl().online2; }},
        {"GetOnlineSlave", [&] { return c.GetOnlineSlave(3); }, 16, 3,
         [&] {
             Bytes b(256);
             for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(73 + 3 + i);
             return b;
         }},
    };
    for (const auto& k : cases) {
        bus_->trace().Clear();
        ASSERT_TRUE(k.op()) << k.what;
        const auto cmd = Requests(0x0D);
        ASSERT_EQ(cmd.size(), 1u) << k.what;
        EXPECT_EQ(cmd[0].command(), k.command) << k.what;
        EXPECT_EQ(cmd[0].word(1), k.c1) << k.what;
        EXPECT_EQ(Bulk(TraceKind::BulkIn).size(), 1u) << k.what;
        EXPECT_EQ(c.BufferOnline(), k.expected()) << k.what;
        EXPECT_TRUE(c.IsOnlineLetto());
    }
}

// ---- operations 8 and 9 of the Pell masters ----

TEST_F(DataLoggerOps, PellDirectFlashWriteSendsA64KCountingPatternUnannounced) {
    auto& c = Connect<CConnectionPellDL460300>(kPell);
    ASSERT_TRUE(c.ScriviMinchiateMaVeloce());
    const auto mem = Memory();
    ASSERT_EQ(mem.size(), 1u);
    EXPECT_EQ(mem[0].command(), 71);
    EXPECT_EQ(mem[0].address(), 0x40035000u);
    EXPECT_TRUE(Requests(0x0C).empty());
    const auto out = Bulk(TraceKind::BulkOut);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].length, 65536u);
    Bytes pattern(65536);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i);
    EXPECT_EQ(Inst().memory().Read(0x40035000, 65536), pattern);

    bus_->trace().Clear();
    ASSERT_TRUE(c.DebugRichiesta2());
    const auto dbg = Requests(0x00);
    ASSERT_EQ(dbg.size(), 1u);
    EXPECT_EQ(dbg[0].value, 2);
    EXPECT_EQ(dbg[0].length, 0u);
}

// ---- modes and what the other classes do ----

TEST_F(DataLoggerOps, DataLoggerRequestsAreRefusedWhileTheBooterRuns) {
    auto& c = Connect<CConnectionPellDL460300>(kPell, R"("in_booter": true)");
    INFOFWUPD r;
    EXPECT_FALSE(c.GetInfoICT(r));
    EXPECT_FALSE(c.LeggiConfigurazione());
    EXPECT_FALSE(c.LeggiTraguardiGPS());
    EXPECT_FALSE(c.GetOnline2());
    for (const auto& e : Transfers())
        if (e.kind == TraceKind::Control && e.request <= 0x02) {
            EXPECT_EQ(e.note, "booter running");
        }
}

TEST_F(DataLoggerOps, ClassesWithoutDataLoggerOperationsSendNothing) {
    auto& key = Connect<CConnectionMemoryKey>(R"("code": 112, "serial": 5, "firmware": "01.00.00")");
    IConnectionStrumento& i = key;
    INFOFWUPD r;
    uint32_t size = 7;
    EXPECT_FALSE(i.LeggiConfigurazione());
    EXPECT_FALSE(i.GetInfoICT(r));
    EXPECT_FALSE(i.LeggiTraguardiGPS());
    EXPECT_FALSE(i.LeggiSensori());
    EXPECT_FALSE(i.ScaricaCampioni(0));
    EXPECT_EQ(i.GetBufferSensori(size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(i.GetBufferRegistrato(size), 0);
    EXPECT_FALSE(i.ScriviMinchiateMaVeloce());
    EXPECT_TRUE(Transfers().empty());
}

}  // namespace
