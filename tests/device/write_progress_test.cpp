// What every image writer tells the write progress it was given: 0 of its
// blocks, then one more with each block handled, up to the total exactly
// when it returns true; and with or without a listener, the same requests
// and the same log lines.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "sim/sim_trace.h"

namespace {

using vesk::test::MakeFirmwareFile;
using vesk::test::TempDir;
using Make = std::function<std::unique_ptr<CConnectionStrumentoBase>()>;
using Write = std::function<bool(CConnectionStrumentoBase&, const TempDir&)>;

std::string Master(const std::string& family, bool in_booter, const std::string& extra = "",
                   const std::string& flash_extra = "") {
    return std::string(R"({"code": 300, "serial": 5, "firmware": "43.04.01", "in_booter": )") +
           (in_booter ? "true" : "false") + R"(, "flash": {"family": ")" + family + "\"" +
           (flash_extra.empty() ? "" : ", " + flash_extra) + "}" + (extra.empty() ? "" : ", " + extra) + "}";
}
std::string Key(uint32_t code, bool in_booter, const std::string& extra = "") {
    return R"({"code": )" + std::to_string(code) + R"(, "serial": 77, "firmware": "01.00.00", "in_booter": )" +
           (in_booter ? "true" : "false") + (extra.empty() ? "" : ", " + extra) + "}";
}
// A Pell DL master with one slave of code on its net.
std::string WithSlave(uint32_t code, bool slave_in_booter, const std::string& extra = "") {
    return std::string(R"({"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
        "slaves": [{"number": 1, "code": )") +
           std::to_string(code) + R"(, "serial": 71, "firmware": "01.00.00", "booter": "01.00", "in_booter": )" +
           (slave_in_booter ? "true" : "false") + "}]" + (extra.empty() ? "" : ", " + extra) + "}";
}

std::wstring Path(const TempDir& dir, const std::string& name) { return vesk::from_utf8(dir.file(name)); }
std::string Bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + seed);
    return s;
}

Make Quarv3() {
    return [] { return std::make_unique<CConnectionStrumentoTipoQuarv3>(L"Quarv3"); };
}
Make Pell() {
    return [] { return std::make_unique<CConnectionPell460300>(); };
}
Make PellDL() {
    return [] { return std::make_unique<CConnectionPellDL460300>(); };
}
Make MemoryKey() {
    return [] { return std::make_unique<CConnectionMemoryKey>(); };
}
Make DataKey() {
    return [] { return std::make_unique<CConnectionDataKey>(); };
}

class WriteProgressTest : public vesk::test::SimFixture {
protected:
    void SetUp() override {
        MakeFirmwareFile(dir_, "fw.mhx", 0xFE0000, 0x1000, "01.05.10");
        MakeFirmwareFile(dir_, "booter.mhx", 0xFFC000, 0x400, "01.02");
        MakeFirmwareFile(dir_, "lng.mhx", 0xFC0000, 0x400, "46.05.00");
        MakeFirmwareFile(dir_, "key_fw.mot", 0xE0000, 0x2000, "01.01.00");
        MakeFirmwareFile(dir_, "key_booter.mot", 0xFC000, 0x400, "03.02");
        MakeFirmwareFile(dir_, "lambda_fw.mhx", 0xFF0000, 0x1000, "01.05.10");
        MakeFirmwareFile(dir_, "lambda_booter.mhx", 0xFFC000, 0x400, "01.02");
        dir_.write("config.bin", Bytes(32768, 3));
        dir_.write("sensors.bin", Bytes(7936, 5));
    }
    void TearDown() override { conn_under_test_.reset(); }

    // The one instrument of json on a new bus, connected through make; its net read when it has one.
    CConnectionStrumentoBase& Open(const std::string& json, const Make& make) {
        conn_under_test_.reset();
        Load(vesk::test::SimScenarioJson({json}));
        info_ = Info();
        conn_under_test_ = make();
        EXPECT_TRUE(conn_under_test_->Connetti(&info_));
        if (json.find("\"slaves\"") != std::string::npos) {
            EXPECT_TRUE(conn_under_test_->LeggiNetTable(false, false));
        }
        bus_->trace().Clear();
        log_.clear();
        return *conn_under_test_;
    }
    // The requests of the last write, without their times.
    std::vector<std::string> Requests() const {
        std::vector<std::string> out;
        for (vesk::sim::TraceEntry e : Trace()) {
            e.time_ms = 0;
            out.push_back(vesk::sim::SimTrace::Format(e));
        }
        return out;
    }

    TempDir dir_;
    CDeviceInfo info_;
    std::unique_ptr<CConnectionStrumentoBase> conn_under_test_;
};

struct Outcome {
    bool result = false;
    std::vector<WriteReport> reports;
    std::vector<std::string> requests, log;
};

// The reports rise one block at a time from 0 (a jump only to the total,
// when nothing had to be sent), all of one kind and total.
void ExpectRising(const std::vector<WriteReport>& reports) {
    for (size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].what, reports[0].what);
        EXPECT_EQ(reports[i].total, reports[0].total);
        if (i == 0) {
            EXPECT_EQ(reports[i].done, 0u);
        } else if (reports[i].done != reports[i].total) {
            EXPECT_EQ(reports[i].done, reports[i - 1].done + 1);
        } else {
            EXPECT_GT(reports[i].done, reports[i - 1].done);
        }
    }
}

TEST_F(WriteProgressTest, EachWriterCountsItsBlocksUpToTheTotal) {
    struct Case {
        const char* name;
        std::string instrument;
        Make make;
        Write write;
        WriteKind what;
        uint32_t total;  // blocks the writer walks
        uint64_t bytes;  // what of them it sends
    };
    const Case cases[] = {
        {"data-logger firmware", Master("quarv3", true), Quarv3(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "fw.mhx")); }, WriteKind::Firmware,
         (0xFF8000 - 0xFE0000) / 128, 0x1000},
        {"data-logger booter", Master("quarv3", false), Quarv3(),
         [](auto& c, auto& d) { return c.AggiornaBooterFile(Path(d, "booter.mhx")); }, WriteKind::Booter,
         (0xFFF000 - 0xFFC000) / 256, 0x400},
        {"language", Master("pell", false), Pell(),
         [](auto& c, auto& d) { return c.AggiornaLngFile(Path(d, "lng.mhx")); }, WriteKind::Language,
         0x40000 / 256, 0x400},
        {"configuration", Master("pell", false), Pell(),
         [](auto& c, auto& d) { return c.AggiornaAccessoriFile(0, Path(d, "config.bin")); }, WriteKind::Accessory, 1,
         32768},
        {"sensors", Master("pell", false), Pell(),
         [](auto& c, auto& d) { return c.AggiornaAccessoriFile(2, Path(d, "sensors.bin")); }, WriteKind::Accessory,
         7936 / 256, 7936},
        {"key firmware", Key(112, true), MemoryKey(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "key_fw.mot")); }, WriteKind::Firmware,
         0x18000 / 4096, 0x2000},
        {"key booter", Key(112, false), MemoryKey(),
         [](auto& c, auto& d) { return c.AggiornaBooterFile(Path(d, "key_booter.mot")); }, WriteKind::Booter,
         0x4000 / 256, 0x400},
        {"data key booter", Key(111, false), DataKey(),
         [](auto& c, auto& d) { return c.AggiornaBooterFile(Path(d, "booter.mhx")); }, WriteKind::Booter,
         (0xFFF000 - 0xFFC000) / 256, 0x400},
        {"other gauge", Key(111, false), DataKey(),
         [](auto& c, auto& d) { return c.CaricaOtherFwFile(3, Path(d, "lambda_fw.mhx"), 1); }, WriteKind::Other,
         0xC000 / 2048, 0xC000},
        {"slave firmware", WithSlave(2006, true), PellDL(),
         [](auto& c, auto& d) { return c.AggiornaFwFileSlave(0, Path(d, "lambda_fw.mhx")); }, WriteKind::Firmware,
         0xC000 / 256, 0x1000},
        {"slave booter", WithSlave(2006, false), PellDL(),
         [](auto& c, auto& d) { return c.AggiornaBooterFileSlave(0, Path(d, "lambda_booter.mhx")); },
         WriteKind::Booter, 0x4000 / 256, 0x400},
        {"slave language", WithSlave(2021, false), PellDL(),
         [](auto& c, auto& d) { return c.AggiornaLngFileSlave(0, Path(d, "lng.mhx")); }, WriteKind::Language,
         0x40000 / 256, 0x400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = [&](bool listened) {
            Outcome o;
            CConnectionStrumentoBase& conn = Open(c.instrument, c.make);
            if (listened) conn.SetWriteProgress([&](const WriteReport& r) { o.reports.push_back(r); });
            o.result = c.write(conn, dir_);
            o.requests = Requests();
            o.log = log_.lines();
            return o;
        };
        const Outcome quiet = run(false);
        const Outcome told = run(true);
        ASSERT_TRUE(told.result);
        EXPECT_EQ(told.requests, quiet.requests) << "the listener changes nothing on the wire";
        EXPECT_EQ(told.log, quiet.log);
        ASSERT_EQ(told.reports.size(), size_t(c.total) + 1);
        ExpectRising(told.reports);
        EXPECT_EQ(told.reports[0].what, c.what);
        EXPECT_EQ(told.reports.back().done, c.total);
        EXPECT_EQ(told.reports.back().bytes, c.bytes);
    }
}

// A write that stops on the way never reaches its total; one that stops
// before its first block tells nothing.
TEST_F(WriteProgressTest, AStoppedWriteStopsShortOfItsTotal) {
    struct Case {
        const char* name;
        std::string instrument;
        Make make;
        Write write;
        int last_done;  // -1: no report at all
    };
    auto booter_from = [](int command, int n) {
        return R"("faults": [{"kind": "stall", "request": "booter", "command": )" + std::to_string(command) +
               R"(, "when": "from", "n": )" + std::to_string(n) + "}]";
    };
    const Case cases[] = {
        // 736 erased blocks from the top, then two of the file's 32 go.
        {"firmware block refused", Master("quarv3", true, booter_from(2, 3)), Quarv3(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "fw.mhx")); }, 736 + 2},
        {"key block refused", Key(112, true, booter_from(2, 2)), MemoryKey(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "key_fw.mot")); }, 22 + 1},
        {"other-gauge block refused",
         Key(111, false, R"("faults": [{"kind": "stall", "request": "quarv3", "command": 15, "when": "from", "n": 4}])"),
         DataKey(), [](auto& c, auto& d) { return c.CaricaOtherFwFile(3, Path(d, "lambda_fw.mhx"), 1); }, 2},
        {"sensors block refused", Master("pell", false, booter_from(10, 5)), Pell(),
         [](auto& c, auto& d) { return c.AggiornaAccessoriFile(2, Path(d, "sensors.bin")); }, 4},
        {"configuration that never reads back", Master("pell", false, "", R"("config_stuck": [5])"), Pell(),
         [](auto& c, auto& d) { return c.AggiornaAccessoriFile(0, Path(d, "config.bin")); }, 0},
        {"erase refused", Master("quarv3", true, booter_from(1, 1)), Quarv3(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "fw.mhx")); }, -1},
        {"file missing", Master("quarv3", true), Quarv3(),
         [](auto& c, auto& d) { return c.AggiornaFwFile(Path(d, "none.mhx")); }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<WriteReport> reports;
        CConnectionStrumentoBase& conn = Open(c.instrument, c.make);
        conn.SetWriteProgress([&](const WriteReport& r) { reports.push_back(r); });
        EXPECT_FALSE(c.write(conn, dir_));
        if (c.last_done < 0) {
            EXPECT_TRUE(reports.empty());
            continue;
        }
        ASSERT_FALSE(reports.empty());
        ExpectRising(reports);
        EXPECT_EQ(reports.back().done, uint32_t(c.last_done));
        EXPECT_LT(reports.back().done, reports.back().total);
    }
}

// A unit that holds the file already has nothing sent: the write is done at once.
TEST_F(WriteProgressTest, AWriteTheUnitHoldsAlreadyIsDoneAtOnce) {
    struct Case {
        int index;
        const char* file;
        uint32_t total;
    } cases[] = {{0, "config.bin", 1}, {2, "sensors.bin", 31}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        CConnectionStrumentoBase& conn = Open(Master("pell", false), Pell());
        ASSERT_TRUE(conn.AggiornaAccessoriFile(c.index, Path(dir_, c.file)));
        std::vector<WriteReport> reports;
        conn.SetWriteProgress([&](const WriteReport& r) { reports.push_back(r); });
        ASSERT_TRUE(conn.AggiornaAccessoriFile(c.index, Path(dir_, c.file)));
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0].done, 0u);
        EXPECT_EQ(reports[1].done, c.total);
        EXPECT_EQ(reports[1].total, c.total);
        EXPECT_EQ(reports[1].bytes, 0u);
    }
}

// Slave blocks that fail are logged and passed: they count as handled, the
// write still reaches its total, and it fails.
TEST_F(WriteProgressTest, SlaveBlocksThatFailCountAsHandled) {
    CConnectionStrumentoBase& conn = Open(
        WithSlave(2006, true, R"("faults": [{"kind": "stall", "request": "memory", "command": 56, "when": "once"}, {"kind": "stall", "request": "memory", "command": 56, "when": "once"}, {"kind": "stall", "request": "memory", "command": 56, "when": "once"}])"),
        PellDL());
    std::vector<WriteReport> reports;
    conn.SetWriteProgress([&](const WriteReport& r) { reports.push_back(r); });
    EXPECT_FALSE(conn.AggiornaFwFileSlave(0, Path(dir_, "lambda_fw.mhx")));
    EXPECT_TRUE(log_.contains("SLAVE_WRITMAINTOFIRM"));
    ASSERT_EQ(reports.size(), 193u);
    ExpectRising(reports);
    EXPECT_EQ(reports.back().done, 192u);
    EXPECT_EQ(reports.back().bytes, 0x1000u - 256) << "the refused block was not sent";
}

}  // namespace
