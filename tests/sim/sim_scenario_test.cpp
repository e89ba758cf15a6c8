#include "sim/sim_scenario.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>

#include "../support/temp_dir.h"

namespace {

using vesk::sim::FaultKind;
using vesk::sim::FaultWhen;
using vesk::sim::ParseScenario;
using vesk::sim::Scenario;

TEST(SimScenario, ReadsEveryInstrumentKey) {
    const std::string text = R"({
      "time_scale": 0.25,
      "instruments": [{
        "code": 300, "serial": 98765, "firmware": "43.04.01", "booter": "02.10",
        "in_booter": true, "tipoFamBoot": 1025, "chip": "D11", "product_id": 258,
        "reenumerate_ms": 4400, "bulk_out_ms": 7, "path": "usb:3-1.2", "unstamped_firmware": "46.05.00",
        "unstamped_booter": "02.11",
        "faults": [
          {"kind": "stall", "request": "memory", "command": 7, "when": "from", "n": 2},
          {"kind": "short", "request": "bulk_in", "when": "once"},
          {"kind": "identity_changes", "reads": 4},
          {"kind": "unplug_after", "requests": 12},
          {"kind": "never_returns"},
          {"kind": "timeout", "request": "booter", "command": 4, "when": "once"},
          {"kind": "unplug", "request": "bulk_out", "when": "from", "n": 7},
          {"kind": "slow_return", "ms": 6000, "when": "from", "n": 2},
          {"kind": "new_product_id", "product_id": 259}
        ],
        "slaves": [
          {"number": 2, "code": 2006, "serial": 5, "firmware": "01.00.00", "stays_in_booter": true,
           "booter_never_takes": true},
          {"number": 3, "code": 2006, "serial": 6, "firmware": "01.00.00", "stays_in_booter": 4,
           "unstamped_firmware": "01.05.10", "unstamped_booter": "01.02"}
        ]
      }, {"code": 1, "serial": 2, "firmware": "01.05.07"}]
    })";
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, "a.json", &s, &error)) << error;
    EXPECT_DOUBLE_EQ(s.time_scale, 0.25);
    ASSERT_EQ(s.instruments.size(), 2u);
    const auto& c = s.instruments[0];
    EXPECT_EQ(c.code, 300u);
    EXPECT_EQ(c.serial, 98765u);
    EXPECT_EQ(c.fw_major, 0x43);
    EXPECT_EQ(c.fw_minor, 0x04);
    EXPECT_EQ(c.fw_build, 0x01);
    EXPECT_EQ(c.boot_major, 0x02);
    EXPECT_EQ(c.boot_minor, 0x10);
    EXPECT_TRUE(c.in_booter);
    EXPECT_EQ(c.tipoFamBoot, 1025);
    EXPECT_TRUE(c.d11);
    EXPECT_EQ(c.product_id, 258);
    EXPECT_EQ(c.reenumerate_ms, 4400u);
    EXPECT_EQ(c.bulk_out_ms, 7u);
    EXPECT_EQ(c.path, "usb:3-1.2");
    EXPECT_EQ(c.unstamped_firmware, (std::array<uint8_t, 3>{0x46, 0x05, 0x00}));
    EXPECT_EQ(c.unstamped_booter, (std::array<uint8_t, 2>{0x02, 0x11}));
    ASSERT_EQ(c.faults.size(), 9u);
    EXPECT_EQ(c.faults[0].kind, FaultKind::Stall);
    EXPECT_EQ(c.faults[0].target, 0x0E);
    EXPECT_EQ(c.faults[0].command, 7);
    EXPECT_EQ(c.faults[0].when, FaultWhen::From);
    EXPECT_EQ(c.faults[0].n, 2u);
    EXPECT_EQ(c.faults[1].when, FaultWhen::Once);
    EXPECT_EQ(c.faults[2].n, 4u);
    EXPECT_EQ(c.faults[3].n, 12u);
    EXPECT_EQ(c.faults[4].kind, FaultKind::NeverReturns);
    EXPECT_EQ(c.faults[4].when, FaultWhen::Always);
    EXPECT_EQ(c.faults[5].kind, FaultKind::Timeout);
    EXPECT_EQ(c.faults[5].target, 0x0F);
    EXPECT_EQ(c.faults[5].command, 4);
    EXPECT_EQ(c.faults[6].kind, FaultKind::Unplug);
    EXPECT_EQ(c.faults[6].target, vesk::sim::kTargetBulkOut);
    EXPECT_EQ(c.faults[6].n, 7u);
    EXPECT_EQ(c.faults[7].kind, FaultKind::SlowReturn);
    EXPECT_EQ(c.faults[7].ms, 6000u);
    EXPECT_EQ(c.faults[7].n, 2u);
    EXPECT_EQ(c.faults[8].kind, FaultKind::NewProductId);
    EXPECT_EQ(c.faults[8].product_id, 259);
    ASSERT_EQ(c.net.slaves.size(), 2u);
    EXPECT_EQ(c.net.slaves[0].stays_in_booter, vesk::sim::SimSlaveConfig::kAlways);
    EXPECT_TRUE(c.net.slaves[0].booter_never_takes);
    EXPECT_EQ(c.net.slaves[1].stays_in_booter, 4u);
    EXPECT_FALSE(c.net.slaves[1].booter_never_takes);
    EXPECT_FALSE(c.net.slaves[0].unstamped_firmware.has_value());
    EXPECT_EQ(c.net.slaves[1].unstamped_firmware, (std::array<uint8_t, 3>{0x01, 0x05, 0x10}));
    EXPECT_EQ(c.net.slaves[1].unstamped_booter, (std::array<uint8_t, 2>{0x01, 0x02}));
    // Defaults of the second.
    const auto& d = s.instruments[1];
    EXPECT_FALSE(d.in_booter);
    EXPECT_FALSE(d.d11);
    EXPECT_EQ(d.reenumerate_ms, 3000u);
    EXPECT_EQ(d.bulk_out_ms, 0u);
    EXPECT_TRUE(d.faults.empty());
    EXPECT_FALSE(d.unstamped_firmware.has_value());
    EXPECT_FALSE(d.unstamped_booter.has_value());
    // The identity the instrument reports from those values.
    auto bus = vesk::sim::MakeBus(s);
    const INFOIDENT& id = bus->Find("usb:3-1.2")->identity();
    EXPECT_EQ(id.FirmwareVersionText(), L"43.04.01");
    EXPECT_EQ(id.BooterVersionText(), L"02.10");
    EXPECT_TRUE(id.IsInBooter());
    EXPECT_EQ(id.tipoFamBoot(), 1025);
    EXPECT_EQ(bus->Find("usb:1-1")->identity().FirmwareVersionNumber(), 10507u);
}

TEST(SimScenario, BadInputNamesTheFileAndTheKey) {
    const std::string inst = R"("code": 1, "serial": 2, "firmware": "01.02.03")";
    auto one = [&](const std::string& extra) {
        return R"({"instruments": [{)" + inst + extra + "}]}";
    };
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"{not json", "s.json: not valid JSON"},
        {"4e0682 30", "s.json: not valid JSON"},
        {R"({"time_scale": 1e999, "instruments": []})", "s.json: not valid JSON"},
        {"[]", "s.json: (top level): expected an object"},
        {R"({"instrument": []})", "s.json: instrument: unknown key"},
        {R"({"time_scale": 1})", "s.json: instruments: missing"},
        {R"({"instruments": {}})", "s.json: instruments: expected a list"},
        {R"({"time_scale": "fast", "instruments": []})", "s.json: time_scale: expected 0 or a number"},
        {R"({"instruments": [{"serial": 2, "firmware": "01.02.03"}]})", "s.json: instruments[0].code: missing"},
        {one(R"(, "frimware": "x")"), "s.json: instruments[0].frimware: unknown key"},
        {one(R"(, "present_from_ms": 5000, "present_until_ms": 5000)"),
         "s.json: instruments[0].present_until_ms: expected a time after present_from_ms (5000)"},
        {one(R"(, "present_from_ms": -1)"), "s.json: instruments[0].present_from_ms: expected a whole number"},
        {one(R"(, "present_until_ms": 86400001)"), "s.json: instruments[0].present_until_ms: expected a whole number"},
        {R"({"instruments": [{"code": 1, "serial": 2, "firmware": "1.2.3"}]})",
         "s.json: instruments[0].firmware: expected \"MM.mm.bb\", got \"1.2.3\""},
        {R"({"instruments": [{"code": 1, "serial": 2, "firmware": "01:02:03"}]})",
         "s.json: instruments[0].firmware: expected \"MM.mm.bb\""},
        {one(R"(, "booter": "02.10.01")"), "s.json: instruments[0].booter: expected \"MM.mm\""},
        {one(R"(, "unstamped_firmware": "46.05")"), "s.json: instruments[0].unstamped_firmware: expected \"MM.mm.bb\""},
        {one(R"(, "slaves": [{"number": 1, "code": 2006, "serial": 3, "firmware": "01.00.00", "unstamped_booter": 2}])"),
         "s.json: instruments[0].slaves[0].unstamped_booter: expected a string"},
        {R"({"instruments": [{"code": -1, "serial": 2, "firmware": "01.02.03"}]})",
         "s.json: instruments[0].code: expected a whole number from 0 to 4294967295"},
        {R"({"instruments": [{"code": 1.5, "serial": 2, "firmware": "01.02.03"}]})",
         "s.json: instruments[0].code: expected a whole number"},
        {one(R"(, "tipoFamBoot": 70000)"), "s.json: instruments[0].tipoFamBoot: expected a whole number from 0 to 65535"},
        {one(R"(, "chip": "D13")"), "s.json: instruments[0].chip: expected \"D11\" or \"D12\", got \"D13\""},
        {one(R"(, "in_booter": 1)"), "s.json: instruments[0].in_booter: expected true or false"},
        {one(R"(, "path": "1-1")"), "s.json: instruments[0].path: expected \"usb:<bus>-<port>"},
        {one(R"(, "faults": {})"), "s.json: instruments[0].faults: expected a list"},
        {one(R"(, "faults": [{"kind": "explode"}])"), "s.json: instruments[0].faults[0].kind: expected driver_error"},
        {one(R"(, "faults": [{"request": "memory"}])"), "s.json: instruments[0].faults[0].kind: missing"},
        {one(R"(, "faults": [{"kind": "stall", "request": "nowhere"}])"),
         "s.json: instruments[0].faults[0].request: expected a request code"},
        {one(R"(, "faults": [{"kind": "stall", "when": "sometimes"}])"),
         "s.json: instruments[0].faults[0].when: expected once, always, from or at"},
        {one(R"(, "faults": [{"kind": "stall", "when": "from"}])"), "s.json: instruments[0].faults[0].n: missing"},
        {one(R"(, "faults": [{"kind": "stall", "when": "at"}])"), "s.json: instruments[0].faults[0].n: missing"},
        {one(R"(, "faults": [{"kind": "stall", "when": "from", "n": 0}])"),
         "s.json: instruments[0].faults[0].n: expected 1 or more"},
        {one(R"(, "faults": [{"kind": "stall", "n": 2}])"), "s.json: instruments[0].faults[0].n: only used with"},
        {one(R"(, "faults": [{"kind": "unplug_after"}])"), "s.json: instruments[0].faults[0].requests: missing"},
        {one(R"(, "faults": [{"kind": "slow_return"}])"), "s.json: instruments[0].faults[0].ms: missing"},
        {one(R"(, "faults": [{"kind": "new_product_id"}])"), "s.json: instruments[0].faults[0].product_id: missing"},
        {one(R"(, "faults": [{"kind": "new_product_id", "product_id": 65536}])"),
         "s.json: instruments[0].faults[0].product_id: expected a whole number from 0 to 65535"},
        {one(R"(, "faults": [{"kind": "slow_return", "ms": 9000, "request": "booter"}])"),
         "s.json: instruments[0].faults[0].request: not used by a slow_return fault"},
        {one(R"(, "faults": [{"kind": "timeout", "ms": 10}])"),
         "s.json: instruments[0].faults[0].ms: not used by a timeout fault"},
        {one(R"(, "slaves": [{"number": 1, "code": 2006, "serial": 3, "firmware": "01.00.00", "stays_in_booter": "yes"}])"),
         "s.json: instruments[0].slaves[0].stays_in_booter: expected true, false or how many"},
        {one(R"(, "slaves": [{"number": 1, "code": 2006, "serial": 3, "firmware": "01.00.00", "booter_never_takes": 1}])"),
         "s.json: instruments[0].slaves[0].booter_never_takes: expected true or false"},
        {one(R"(, "faults": [{"kind": "never_returns", "request": "memory"}])"),
         "s.json: instruments[0].faults[0].request: not used by a never_returns fault"},
        {one(R"(, "faults": [{"kind": "stall", "colour": 1}])"), "s.json: instruments[0].faults[0].colour: unknown key"},
        {R"({"instruments": [{"code": 1, "serial": 2, "firmware": "01.02.03", "path": "usb:1-1"},
                             {"code": 1, "serial": 3, "firmware": "01.02.03", "path": "usb:1-1"}]})",
         "s.json: instruments[1].path: \"usb:1-1\" is used twice"},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, "s.json", &s, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
    }
}

// Values the clock cannot compute with, and a trace that could not be written,
// are refused when the scenario loads.
TEST(SimScenario, TimeScaleAndTraceFileAreCheckedAtLoad) {
    vesk::test::TempDir dir;
    struct Case {
        std::string field;
        bool ok;
        const char* message;
    } cases[] = {
        {R"("time_scale": 0)", true, nullptr},
        {R"("time_scale": 0.0001)", true, nullptr},
        {R"("time_scale": 0.5)", true, nullptr},
        {R"("time_scale": 100)", true, nullptr},
        {R"("time_scale": 1e308)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": 1e12)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": 1e-300)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": 0.00009)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": 100.5)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": -1)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("time_scale": true)", false, "s.json: time_scale: expected 0 or a number from 0.0001 to 100"},
        {R"("trace_file": ")" + dir.file("trace.txt") + "\"", true, nullptr},
        {R"("trace_file": ")" + dir.file("no/such/folder/trace.txt") + "\"", false,
         "s.json: trace_file: cannot be opened for writing"},
        {R"("trace_file": ")" + dir.path() + "\"", false, "s.json: trace_file: cannot be opened for writing"},
        {R"("trace_file": "")", false, "s.json: trace_file: cannot be opened for writing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        Scenario s;
        std::string error;
        const std::string text =
            "{" + c.field + R"(, "instruments": [{"code": 1, "serial": 2, "firmware": "01.02.03"}]})";
        EXPECT_EQ(ParseScenario(text, "s.json", &s, &error), c.ok) << error;
        if (c.message) {
            EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
        }
    }
}

TEST(SimScenario, FilesAndClocks) {
    vesk::test::TempDir dir;
    dir.write("good.json", R"({"instruments": [{"code": 1, "serial": 2, "firmware": "01.02.03"}]})");
    dir.write("bad.json", R"({"instruments": [{"code": 1, "serial": 2, "firmware": "x"}]})");
    Scenario s;
    std::string error;
    EXPECT_TRUE(vesk::sim::LoadScenarioFile(dir.file("good.json"), &s, &error)) << error;
    EXPECT_FALSE(vesk::sim::LoadScenarioFile(dir.file("bad.json"), &s, &error));
    EXPECT_EQ(error.rfind(dir.file("bad.json") + ": instruments[0].firmware:", 0), 0u) << error;
    EXPECT_FALSE(vesk::sim::LoadScenarioFile(dir.file("missing.json"), &s, &error));
    EXPECT_EQ(error, dir.file("missing.json") + ": cannot be read");

    EXPECT_TRUE(dynamic_cast<vesk::VirtualClock*>(vesk::sim::MakeScenarioClock(0).get()));
    EXPECT_TRUE(dynamic_cast<vesk::ScaledClock*>(vesk::sim::MakeScenarioClock(0.5).get()));
    std::string e2;
    EXPECT_FALSE(vesk::sim::BusFromJson("{", &e2));
    EXPECT_EQ(e2.rfind("(scenario text): not valid JSON", 0), 0u);
}

// Memory blocks are held page by page from the start: each block and all of
// them together are capped, so that a scenario cannot ask for more memory
// than a test machine has.
TEST(SimScenario, MemoryBlocksAreCappedTogether) {
    auto blocks = [](int count, uint32_t first_address) {
        std::string list;
        for (int i = 0; i < count; ++i)
            list += (i ? ", " : "") + std::string(R"({"address": )") +
                    std::to_string(first_address + uint64_t(i) * 0x4000000) + R"(, "size": 67108864})";
        return "[" + list + "]";
    };
    auto instrument = [&](int serial, int count) {
        return R"({"code": 1, "serial": )" + std::to_string(serial) +
               R"(, "firmware": "01.02.03", "memory": )" + blocks(count, 0) + "}";
    };
    struct Case {
        std::string instruments;
        const char* message;  // null: loaded
    } cases[] = {
        {instrument(2, 4), nullptr},  // 256 MiB exactly
        {instrument(2, 5), "s.json: instruments[0].memory: the memory blocks of the scenario take 335544320 bytes"},
        {instrument(2, 60), "s.json: instruments[0].memory: the memory blocks of the scenario take"},
        {instrument(2, 3) + ", " + instrument(3, 2), "s.json: instruments[1].memory: the memory blocks of the scenario"},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_EQ(ParseScenario(R"({"instruments": [)" + c.instruments + "]}", "s.json", &s, &error), !c.message)
            << error;
        if (c.message) {
            EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
        }
    }
}

// A scenario file is checked before it is read: a FIFO is refused at once.
TEST(SimScenario, AScenarioThatIsNoRegularFileIsRefusedAtOnce) {
    vesk::test::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
    Scenario s;
    std::string error;
    EXPECT_FALSE(vesk::sim::LoadScenarioFile(dir.file("fifo.json"), &s, &error));
    EXPECT_NE(error.find("fifo.json is a FIFO, not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(vesk::sim::LoadScenarioFile("/dev/zero", &s, &error));
    EXPECT_NE(error.find("/dev/zero is a device node"), std::string::npos) << error;
}

}  // namespace
