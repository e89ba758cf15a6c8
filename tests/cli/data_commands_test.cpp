// vesk-firmup-cli dump, read and write against simulated instruments: what
// the files hold compared with the simulator's memory (the simulator is
// deterministic, so the same scenario built here holds what the command met),
// refusals before any USB traffic, and read-write-read round trips through
// the served bus of vesk-sim run, where the instrument lives across commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/sim_run.h"
#include "../support/temp_dir.h"
#include "run_tool.h"
#include "sim/sim_bus.h"
#include "sim/sim_datalogger.h"
#include "sim/sim_memory.h"
#include "sim/sim_net.h"
#include "sim/sim_scenario.h"

namespace {

using vesk::test::Quote;
using vesk::test::RunTool;
using Bytes = std::vector<uint8_t>;

const std::string kCli = VESK_CLI;
const std::string kSim = VESK_SIM;

// A Quarv4 master with its configuration, samples in the dumped range, logged
// data and a GPS receiver whose finish lines are filled by the test.
const char* kQuarv = R"({"instruments": [{"code": 62, "serial": 620, "firmware": "45.01.00",
  "net_rebuild_ms": 0, "logged_bytes": 150000,
  "memory": [{"address": 1073774592, "size": 24576, "seed": 3},
             {"address": 1073872896, "size": 300000, "seed": 4},
             {"address": 1082130400, "size": 32, "seed": 5},
             {"address": 16744448, "size": 8192, "seed": 6},
             {"address": 16752896, "size": 7936, "seed": 7}],
  "slaves": [{"number": 3, "code": 2017, "serial": 73, "firmware": "02.00.00"}]}]})";

Bytes ReadFile(const std::string& path) {
    const std::string s = vesk::test::read_file(path);
    return Bytes(s.begin(), s.end());
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class DataCommands : public ::testing::Test {
protected:
    std::string Scenario(const std::string& text, const std::string& name = "s.json") {
        dir_.write(name, text);
        return Quote(dir_.file(name));
    }
    // The simulator as the command met it.
    std::unique_ptr<vesk::sim::SimBus> Bus(const std::string& text) {
        std::string error;
        auto bus = vesk::sim::BusFromJson(text, &error);
        EXPECT_TRUE(bus) << error;
        return bus;
    }
    std::string File(const std::string& name) const { return dir_.file(name); }

    vesk::test::TempDir dir_;
};

TEST_F(DataCommands, DumpOfASimulatedInstrumentHoldsItsMemory) {
    const std::string out = File("dump.bin");
    const auto r = RunTool(kCli + " dump --simulate " + Scenario(kQuarv) + " " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Dump performed"), std::string::npos) << r.output;
    auto bus = Bus(kQuarv);
    auto& mem = bus->Instruments().front()->memory();
    // 32 KB of bank 1 from 0x8000, then bank 1 from 0x20000 to the end of 8 MB.
    Bytes want = mem.Read(0x40008000, 0x8000);
    const Bytes high = mem.Read(0x40020000, 0x7E0000);
    want.insert(want.end(), high.begin(), high.end());
    const Bytes got = ReadFile(out);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    // The blocks of the scenario are where the dump puts them.
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 24576), vesk::sim::SimPattern(3, 24576));
    EXPECT_EQ(Bytes(got.begin() + 0x8000, got.begin() + 0x8000 + 16), vesk::sim::SimPattern(4, 16));
}

TEST_F(DataCommands, DumpThatDoesNotReachItsFileWholeFailsAndSaysWhy) {
    struct Case {
        std::string file;
        const char* why;
    } cases[] = {
        {File("no/such/folder/dump.bin"), "Error creating dump file"},
        // A device is never written to: only a regular file is replaced.
        {"/dev/full", "Error creating dump file /dev/full: /dev/full is a device node, not a regular file: refused"},
    };
    for (const auto& k : cases) {
        const auto r = RunTool(kCli + " dump --simulate " + Scenario(kQuarv) + " " + Quote(k.file));
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("did not write the whole file " + k.file), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << r.output;
    }
}

TEST_F(DataCommands, ExactlyOneInstrumentIsWorkedWith) {
    const std::string two = R"({"instruments": [{"code": 62, "serial": 1, "firmware": "45.01.00"},
                                                {"code": 62, "serial": 2, "firmware": "45.01.00"}]})";
    const std::string none = R"({"instruments": []})";
    struct Case {
        std::string scenario, args, why;
    } cases[] = {
        {two, "dump " + Quote(File("d.bin")), "2 instruments are connected; exactly one must be"},
        {none, "dump " + Quote(File("d.bin")), "no instrument is connected"},
        {two, "read config " + Quote(File("c.bin")), "exactly one must be"},
        {none, "write sensors " + Quote(File("sensors.bin")), "no instrument is connected"},
    };
    dir_.write("sensors.bin", std::string(7936, '\x01'));
    for (const auto& k : cases) {
        const auto r = RunTool(kCli + " " + k.args + " --simulate " + Scenario(k.scenario));
        EXPECT_EQ(r.status, 3) << k.args << "\n" << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << r.output;
    }
}

TEST_F(DataCommands, ReadWritesTheRawBytesOfEachArea) {
    auto bus = Bus(kQuarv);
    auto& inst = *bus->Instruments().front();
    struct Case {
        const char* what;
        Bytes expected;
    } cases[] = {
        {"config", [&] {
             Bytes b = inst.memory().Read(0x40008000, 8192);
             const Bytes pc = inst.memory().Read(0x4000C000, 16384);
             b.insert(b.end(), pc.begin(), pc.end());
             return b;
         }()},
        {"sensors", inst.memory().Read(0xFFA100, 7936)},
        {"ecu", inst.memory().Read(0xFF8000, 8192)},
        {"finish-lines", [&] {
             Bytes b = vesk::sim::SlaveMemory(inst, 3, 0x21000000, 512);
             const Bytes l = vesk::sim::SlaveMemory(inst, 3, 0x22000000, 8192);
             b.insert(b.end(), l.begin(), l.end());
             return b;
         }()},
        {"ict", Bytes(vesk::sim::FindDataLogger(inst)->ict.begin(), vesk::sim::FindDataLogger(inst)->ict.end())},
        {"samples", inst.logged_data},
    };
    const std::string scenario = Scenario(kQuarv);
    for (const auto& k : cases) {
        const std::string out = File(std::string(k.what) + ".bin");
        const auto r = RunTool(kCli + " read --simulate " + scenario + " " + k.what + " " + Quote(out));
        ASSERT_EQ(r.status, 0) << k.what << "\n" << r.output;
        EXPECT_TRUE(ReadFile(out) == k.expected) << k.what;
        EXPECT_NE(r.output.find(std::to_string(k.expected.size()) + " bytes of Brevik Logger ID 620"),
                  std::string::npos)
            << r.output;
    }
    // The config holds the scenario's block where the 8 KB block starts.
    EXPECT_EQ(Bytes(cases[0].expected.begin(), cases[0].expected.begin() + 16), vesk::sim::SimPattern(3, 16));
}

TEST_F(DataCommands, WhatAnInstrumentDoesNotKeepIsNotWritten) {
    // A Quarv3 master has no net, so no GPS slave for the finish lines; a
    // memory key has no data-logger areas at all.
    const std::string quarv3 = R"({"instruments": [{"code": 19, "serial": 9, "firmware": "14.90.00"}]})";
    const std::string key = R"({"instruments": [{"code": 112, "serial": 8, "firmware": "01.00.00"}]})";
    struct Case {
        std::string scenario;
        const char* what;
        const char* why;
    } cases[] = {
        {quarv3, "finish-lines", "no GPS slave on this instrument's net holds the finish lines"},
        {key, "config", "this instrument keeps no data-logger areas"},
    };
    for (const auto& k : cases) {
        const std::string out = File("x.bin");
        const auto r = RunTool(kCli + " read --simulate " + Scenario(k.scenario) + " " + k.what + " " + Quote(out));
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST_F(DataCommands, UsageAndFilesOfTheWrongSizeAreRefusedBeforeAnyUsbTraffic) {
    dir_.write("short.bin", std::string(8191, '\0'));
    dir_.write("lines.bin", std::string(8704, '\0'));
    const std::string traced = std::string(R"({"trace_file": )") + "\"" + File("trace.txt") + "\", " +
                               std::string(kQuarv).substr(1);
    const std::string scenario = Scenario(traced);
    struct Case {
        std::string args;
        int status;
        const char* why;
    } cases[] = {
        {"write ecu " + Quote(File("short.bin")), 2, "has 8191 bytes; ecu files have 8192 bytes"},
        {"write config " + Quote(File("lines.bin")), 2, "config files have 24576 or 32768 bytes"},
        {"write ict " + Quote(File("lines.bin")), 2, "the ict cannot be written"},
        {"write samples " + Quote(File("lines.bin")), 2, "the samples cannot be written"},
        {"read firmware " + Quote(File("x.bin")), 2, "unknown WHAT firmware"},
        {"read config", 2, "expected WHAT and the file to write"},
        {"dump", 2, "expected the file to write"},
        {"dump --fast " + Quote(File("d.bin")), 2, "unknown option --fast"},
        {"write sensors " + Quote(File("missing.bin")), 1, "cannot be read"},
    };
    for (const auto& k : cases) {
        const auto r = RunTool(kCli + " " + k.args + " --simulate " + scenario);
        EXPECT_EQ(r.status, k.status) << k.args << "\n" << r.output;
        EXPECT_NE(r.output.find(k.why), std::string::npos) << k.args << "\n" << r.output;
    }
    EXPECT_EQ(vesk::test::read_file(File("trace.txt")), "") << "the instrument was asked something";
}

// Each writable area read, written from another file and read again, in one
// served session so the instrument keeps what was written.
TEST_F(DataCommands, ReadWriteReadRoundTripOfEachWritableArea) {
    struct Family {
        const char* name;
        std::string scenario;
        std::vector<std::pair<std::string, Bytes>> files;  // area, the file written
    };
    Bytes quarv_config = vesk::sim::SimPattern(20, 24576);
    // The end of the 8 KB block no command writes: as the instrument holds it.
    std::fill(quarv_config.begin() + 6632, quarv_config.begin() + 8192, 0xFF);
    const Family families[] = {
        {"Quarv4",
         R"({"time_scale": 0.01, "instruments": [{"code": 62, "serial": 620, "firmware": "45.01.00",
             "net_rebuild_ms": 0, "reenumerate_ms": 500,
             "slaves": [{"number": 3, "code": 2017, "serial": 73, "firmware": "02.00.00"}]}]})",
         {{"config", quarv_config},
          {"sensors", vesk::sim::SimPattern(21, 7936)},
          {"ecu", vesk::sim::SimPattern(22, 8192)},
          {"finish-lines", vesk::sim::SimPattern(23, 8704)}}},
        {"Pell DL",
         R"({"time_scale": 0.01, "instruments": [{"code": 65, "serial": 650, "firmware": "46.03.00",
             "net_rebuild_ms": 0}]})",
         {{"config", vesk::sim::SimPattern(24, 32768)}, {"finish-lines", vesk::sim::SimPattern(25, 8704)}}},
    };
    for (const auto& f : families) {
        vesk::test::SimRun sim(kSim);
        std::string script;
        for (const auto& [area, data] : f.files) {
            dir_.write(area + ".new", Text(data));
            for (const auto& [verb, file] : {std::pair{"read", area + ".before"}, std::pair{"write", area + ".new"},
                                             std::pair{"read", area + ".after"}})
                script += kCli + " " + verb + " " + area + " " + Quote(File(file)) + " || echo FAILED " + verb +
                          " " + area + "; ";
        }
        const auto r = sim.Run(f.scenario, script);
        ASSERT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_EQ(r.output.find("FAILED"), std::string::npos) << f.name << "\n" << r.output;
        for (const auto& [area, data] : f.files) {
            const Bytes before = ReadFile(File(area + ".before")), after = ReadFile(File(area + ".after"));
            EXPECT_EQ(before.size(), data.size()) << f.name << " " << area;
            EXPECT_FALSE(before == data) << f.name << " " << area;
            EXPECT_TRUE(after == data) << f.name << " " << area;
        }
    }
}

}  // namespace
