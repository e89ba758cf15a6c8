// The simulated data-logger requests: what a unit refuses (malformed
// payloads, a write without its start, requests of another family, writes on
// a unit with no layout), and the scenario keys that fill memory and logged data.
#include "sim/sim_datalogger.h"

#include <gtest/gtest.h>

#include "../support/sim_fixture.h"
#include "records/datalogger_layout.h"
#include "sim/sim_memory.h"
#include "usb/usb_command_names.h"

namespace {

using vesk::test::SimFixture;
using Bytes = std::vector<uint8_t>;

class SimDataLoggerTest : public SimFixture {
protected:
    std::string LastNote() const {
        for (auto it = Trace().rbegin(); it != Trace().rend(); ++it)
            if (it->kind == vesk::sim::TraceKind::Control) return it->note;
        return "";
    }
    static Bytes Payload(uint32_t offset, uint32_t length) {
        const auto p = datalogger::OffsetLength(offset, length);
        return Bytes(p.begin(), p.end());
    }
};

TEST_F(SimDataLoggerTest, MalformedOrOutOfPlaceRequestsAreRefused) {
    struct Case {
        const char* what;
        const char* unit;  // instrument fields
        // Sends the requests; the last one must be refused.
        std::function<bool(CUSBConnection&)> send;
        const char* note;
    };
    const char* quarv = R"("code": 62, "serial": 1, "firmware": "45.01.00")";
    const char* pell = R"("code": 65, "serial": 2, "firmware": "46.03.00")";
    const char* none = R"("code": 300, "serial": 3, "firmware": "01.00.00")";
    auto cfg = [](uint16_t value, Bytes payload) {
        return [value, payload](CUSBConnection& c) {
            return c.CtrlWrite_CFG(value, 0, uint16_t(payload.size()), payload.empty() ? nullptr : payload.data());
        };
    };
    auto gps = [](uint16_t value, Bytes payload) {
        return [value, payload](CUSBConnection& c) {
            return c.CtrlWrite_GPS(value, 0, uint16_t(payload.size()), payload.empty() ? nullptr : payload.data());
        };
    };
    const Case cases[] = {
        {"area read without offset and length", quarv, cfg(CFG_LEGGI_AREA, {1, 2, 3, 4}), "expected offset and length"},
        {"area read of nothing", quarv, cfg(CFG_LEGGI_AREA, Payload(0, 0)), "outside the area"},
        {"area read past 4 GB", quarv, cfg(CFG_LEGGI_AREA, Payload(0xFFFFFF00, 0x200)), "outside the area"},
        {"area read of more than one transfer", quarv, cfg(CFG_LEGGI_AREA, Payload(0, 65537)), "outside the area"},
        {"area write without its start", quarv, cfg(CFG_SCRIVI_AREA, Payload(0, 16)), "no update started"},
        {"area end without its start", quarv, cfg(CFG_FINE_AREA, {}), "no update started"},
        {"slave data of more than 256 bytes", quarv, cfg(CFG_LEGGI_DATI_SLAVE, Payload(0, 257)), "outside the area"},
        {"slave data of a slave not there", quarv, cfg(CFG_LEGGI_DATI_SLAVE, Payload(0, 16)), "no such slave"},
        {"an unknown configuration request", quarv, cfg(0x13, {}), "unknown configuration request"},
        {"the 32 KB configuration on a Quarv4", quarv, cfg(CFG_LEGGI, Payload(0, 16)), "unknown configuration request"},
        {"GPS requests on a Quarv4", quarv, gps(GPS_VERSIONE_PISTE, {}), "no GPS requests on this family"},
        {"finish lines past their table", pell, gps(GPS_LEGGI_TRAGUARDI_HEADER, Payload(256, 257)), "outside the area"},
        {"data area past 8 MB", pell, gps(GPS_LEGGI_AREA, Payload((8u << 20) - 4, 8)), "outside the area"},
        {"data area write without its start", pell, gps(GPS_SCRIVI_AREA, Payload(0, 16)), "no update started"},
        {"an unknown GPS request", pell, gps(0x13, {}), "unknown GPS request"},
        {"a section piece longer than 256", quarv,
         [](CUSBConnection& c) { return c.CtrlWrite_Quarv3(1, 0, 257, 0, 0); }, "outside the section"},
        {"a section piece past its section", quarv,
         [](CUSBConnection& c) { return c.CtrlWrite_Quarv3(19, 16, 9, 0, 0); }, "outside the section"},
        {"no layout: a section", none, [](CUSBConnection& c) { return c.CtrlWrite_Quarv3(1, 0, 16, 0, 0); },
         "no flash layout"},
        {"no layout: an area write", none, cfg(CFG_INIZ_AREA, {}), "no flash layout"},
        {"no layout: finish lines", none, gps(GPS_SCRIVI_TRAGUARDI_LL, Payload(0, 16)), "no flash layout"},
        {"no layout: the direct flash write", none,
         [](CUSBConnection& c) { return c.CtrlWrite_Memory(MEM_DIRECT_WRITE_EFL, 0x40035000, 0, 0); },
         "no flash layout"},
        {"booter: a section", R"("code": 62, "serial": 1, "firmware": "45.01.00", "in_booter": true)",
         [](CUSBConnection& c) { return c.CtrlWrite_Quarv3(1, 0, 16, 0, 0); }, "booter running"},
        {"booter: the ict record", R"("code": 62, "serial": 1, "firmware": "45.01.00", "in_booter": true)",
         cfg(CFG_LEGGI_ICT, {}), "booter running"},
    };
    for (const auto& k : cases) {
        Load(vesk::test::SimScenarioJson({std::string("{") + k.unit + "}"}));
        CUSBConnection& c = Open();
        EXPECT_FALSE(k.send(c)) << k.what;
        EXPECT_EQ(LastNote(), k.note) << k.what;
    }
}

TEST_F(SimDataLoggerTest, AUnitWithoutLayoutStillAnswersReads) {
    LoadOne();
    CUSBConnection& c = Open();
    EXPECT_TRUE(c.CtrlWrite_CFG(CFG_LEGGI_ICT, 0, 0, nullptr));
    EXPECT_TRUE(c.CtrlWrite_GPS(GPS_VERSIONE_PISTE, 0, 0, nullptr));
    EXPECT_EQ(vesk::sim::FindDataLogger(Inst()), nullptr);
}

TEST_F(SimDataLoggerTest, MemoryBlocksAndLoggedDataOfTheScenario) {
    Load(vesk::test::SimScenarioJson({vesk::test::SimInstrumentJson(
        R"("memory": [{"address": 1073774592, "size": 300, "seed": 9}, {"address": 16, "size": 4}],
            "logged_bytes": 70000)")}));
    EXPECT_EQ(Inst().memory().Read(0x40008000, 300), vesk::sim::SimPattern(9, 300));
    EXPECT_EQ(Inst().memory().Read(0x40008000 + 300, 1), Bytes{0xFF});
    EXPECT_EQ(Inst().memory().Read(16, 4), vesk::sim::SimPattern(0, 4));
    EXPECT_EQ(Inst().logged_data, vesk::sim::SimPattern(1234, 70000));
    EXPECT_EQ(Inst().memory_used, 70000u);
    EXPECT_NE(vesk::sim::SimPattern(1, 16), vesk::sim::SimPattern(2, 16));

    struct Case {
        const char* extra;
        const char* error;
    } cases[] = {
        {R"("memory": {})", "instruments[0].memory: expected a list"},
        {R"("memory": [{"size": 4}])", "instruments[0].memory[0].address: missing"},
        {R"("memory": [{"address": 0, "size": 4, "fill": 1}])", "instruments[0].memory[0].fill: unknown key"},
        {R"("memory": [{"address": 4294967295, "size": 2}])", "instruments[0].memory[0].size: runs past"},
        {R"("memory": [{"address": 0, "size": 67108865}])", "instruments[0].memory[0].size: expected"},
        {R"("logged_bytes": -1)", "instruments[0].logged_bytes: expected"},
    };
    for (const auto& k : cases) {
        std::string error;
        EXPECT_FALSE(vesk::sim::BusFromJson(vesk::test::SimScenarioJson({vesk::test::SimInstrumentJson(k.extra)}),
                                            &error));
        EXPECT_NE(error.find(k.error), std::string::npos) << error;
    }
}

}  // namespace
