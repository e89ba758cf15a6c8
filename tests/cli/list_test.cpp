// vesk-firmup-cli list against simulator scenarios (virtual time).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "../support/firmware_files.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A master with three slaves; the rebuild alone asks for 7.8 s of waits,
// which the virtual clock skips.
const char* kNet = R"({"instruments": [{"code": 50, "serial": 1234, "firmware": "43.04.01",
  "booter": "02.10", "tipoFamBoot": 5, "path": "usb:1-4",
  "slaves": [
    {"number": 1, "code": 61, "serial": 501, "firmware": "12.03.04", "booter": "01.02", "tipoFamBoot": 5},
    {"number": 2, "code": 22, "serial": 502, "firmware": "20.00.07", "booter": "01.05",
     "tipoFamBoot": 22, "in_booter": true},
    {"number": 4, "code": 41, "serial": 504, "firmware": "15.10.02", "booter": "03.01", "tipoFamBoot": 2}
  ]}]})";

class ListTest : public ::testing::Test {
protected:
    std::string Scenario(const std::string& text, const std::string& name = "net.json") {
        dir_.write(name, text);
        return Quote(dir_.file(name));
    }
    vesk::test::TempDir dir_;
};

json Slave(int number, int code, const char* model, uint32_t serial, const char* fw,
           const char* booter, bool in_booter) {
    return json{{"number", number}, {"code", code},   {"model", model},        {"serial", serial},
                {"firmware", fw},   {"booter", booter}, {"in_booter", in_booter}};
}

TEST_F(ListTest, JsonShowsWhatTheScenarioHolds) {
    const auto r = RunTool(kCli + " list --json --simulate " + Scenario(kNet) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json expected = json::array({json{
        {"path", "usb:1-4"},
        {"access", "granted"},
        {"code", 50},
        {"model", "Quarv Logger 50"},
        {"serial", 1234},
        {"firmware", "43.04.01"},
        {"booter", "02.10"},
        {"in_booter", false},
        {"display_name", "Quarv Logger 50 ID 1234 [FW43.04.01]"},
        {"net", "read"},
        {"slaves", json::array({Slave(1, 61, "Quarv4 Logger", 501, "12.03.04", "01.02", false),
                                Slave(2, 22, "Quarv Dash 22", 502, "20.00.07", "01.05", true),
                                Slave(4, 41, "Quarv Logger 41", 504, "15.10.02", "03.01", false)})},
    }});
    EXPECT_EQ(json::parse(r.output), expected) << r.output;
}

TEST_F(ListTest, NetWaitsRunOnTheSimulatorsClock) {
    std::string text = kNet;
    text.insert(1, "\"trace_file\": " + json(dir_.file("trace.txt")).dump() + ", ");
    const auto r = RunTool(kCli + " list --simulate " + Scenario(text));
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string trace = vesk::test::read_file(dir_.file("trace.txt"));
    EXPECT_EQ(trace.rfind("[       0 ms] usb:1-4 BUS plugged in", 0), 0u) << trace;
    // The rebuild 1200 ms after the identity's 300 ms confirmation, the first
    // table read 6600 ms after it, the rereads 300 ms apart.
    EXPECT_NE(trace.find("[    1500 ms] usb:1-4 CTRL 0x0D QUARV3 CMD_GETNETTABLE(27) C1=0 C2=0 C3=0 C4=1"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("[    8100 ms] usb:1-4 CTRL 0x0D QUARV3 CMD_GETNETTABLE(27) C1=0 C2=0 C3=0 C4=0"),
              std::string::npos);
    EXPECT_NE(trace.find("[    8400 ms] usb:1-4 CTRL 0x0D QUARV3 CMD_GETNETTABLE(27) C1=0 C2=0 C3=0 C4=0"),
              std::string::npos);
}

TEST_F(ListTest, IdentAddsTheRecordDumps) {
    const auto r = RunTool(kCli + " list --json --ident --simulate " + Scenario(kNet) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_NE(j[0]["ident"].get<std::string>().find("ID_logger - 000004D2"), std::string::npos);
    EXPECT_NE(j[0]["slaves"][0]["ident"].get<std::string>().find("ID_logger - 000001F5"), std::string::npos);
    EXPECT_TRUE(j[0]["slaves"][2].contains("ident"));
}

TEST_F(ListTest, TextAndEnvironment) {
    const std::string file = Scenario(kNet);
    const auto r = RunTool("VESK_SIMULATE=" + file + " " + kCli + " list");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("usb:1-4  Quarv Logger 50 ID 1234 [FW43.04.01]"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("slave 2: code 22  Quarv Dash 22  serial 502  firmware 20.00.07  "
                            "booter 01.05  (in booter)"),
              std::string::npos)
        << r.output;
    const auto empty = RunTool(kCli + " list --json --simulate " +
                               Scenario(R"({"instruments": []})", "empty.json"));
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(json::parse(empty.output), json::array());
}

TEST_F(ListTest, ProblemSlaveStillListsTheNet) {
    const auto r = RunTool(kCli + " list --json --simulate " + Scenario(R"({"instruments": [
        {"code": 50, "serial": 9, "firmware": "43.04.01",
         "slaves": [{"number": 3, "code": 41, "serial": 7, "firmware": "15.10.02", "unreadable": true}]}]})") +
                           " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output);
    ASSERT_EQ(j[0]["slaves"].size(), 1u);
    EXPECT_EQ(j[0]["slaves"][0]["number"], 3);
}

TEST_F(ListTest, UsageAndFailures) {
    struct Case {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"list --help", 0, "usage: vesk-firmup-cli list"},
        {"list --frobnicate", 2, "unexpected argument --frobnicate"},
        {"list --simulate", 2, "--simulate needs a scenario file"},
        {"list --simulate " + Quote(dir_.file("missing.json")), 1, "cannot be read"},
        {"list --simulate " + Scenario(R"({"instruments": [{"code": 1}]})", "bad.json"), 1,
         "instruments[0].serial: missing"},
    };
    for (const auto& c : cases) {
        const auto r = RunTool(kCli + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
    EXPECT_NE(RunTool(kCli + " --help").output.find("list [--simulate FILE] [--folder DIR] [--json] [--ident]"),
              std::string::npos);
}

}  // namespace

namespace {

// A Pell DL master with a lambda unit, a GPS receiver and a camera, and a
// folder of update files made by the firmware maker.
const char* kPlanNet = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00",
  "net_rebuild_ms": 0, "path": "usb:1-2",
  "slaves": [
    {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00"},
    {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00"},
    {"number": 4, "code": 2016, "serial": 74, "firmware": "72.00.00"}
  ]}]})";

class ListFolderTest : public ListTest {
protected:
    void MakeFiles() {
        const vesk::test::TempDir& d = dir_;
        d.mkdir("upd/_ACCESSORI");
        struct File {
            const char* name;
            uint32_t base;
            const char* version;
        };
        const File files[] = {
            {"upd/Pell_460300_fw.mhx", 0xFC0000, "46.03.00"},  // no language file: not offered
            {"upd/Pell_460400_fw.mhx", 0xFC0000, "46.04.00"},
            {"upd/Pell_460400_lng.mhx", 0xFC0000, "46.04.00"},
            {"upd/Pell_460500_fw.mhx", 0xFC0000, "46.05.00"},
            {"upd/Pell_460500_lng.mhx", 0xFC0000, "46.05.00"},
            {"upd/Slv_Lambda_010203_fw.mhx", 0xFF0000, "01.02.03"},
            {"upd/Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10"},
            {"upd/Slv_GPS_020000_fw.mot", 0xE0000, "02.00.00"},
            {"upd/_BOOTER/Booter_Slv_Lambda_0105.mhx", 0xFFC000, "01.05"},
            {"upd/_BOOTER/Booter_Dovo4eGPS0304_0302.mot", 0xFC000, "03.02"},
        };
        for (const File& f : files) vesk::test::MakeFirmwareFile(d, f.name, f.base, 0x100, f.version);
    }
};

json Entry(const char* file, const char* version) { return json{{"file", file}, {"version", version}}; }

json Catalogue(const char* cls, json fw, json lng, json booter, json available) {
    return json{{"class", cls},         {"firmware", fw},
                {"language", lng},      {"booter", booter},
                {"accessories", json::array()}, {"available", available}};
}

TEST_F(ListFolderTest, JsonShowsEachUnitsClassAndChosenFiles) {
    MakeFiles();
    const auto r = RunTool(kCli + " list --json --simulate " + Scenario(kPlanNet) + " --folder " +
                           Quote(dir_.file("upd")) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json out = json::parse(r.output);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["catalogue"],
              Catalogue("CConnectionPellDL460300", Entry("Pell_460500_fw.mhx", "46.05.00"),
                        "Pell_460500_lng.mhx", nullptr, json::array({"46.04.00", "46.05.00"})));
    const json& slaves = out[0]["slaves"];
    ASSERT_EQ(slaves.size(), 3u);
    EXPECT_EQ(slaves[0]["catalogue"],
              Catalogue("CConnSlaveBase", Entry("Slv_Lambda_010510_fw.mhx", "01.05.10"), nullptr,
                        Entry("Booter_Slv_Lambda_0105.mhx", "01.05"),
                        json::array({"01.02.03", "01.05.10"})));
    EXPECT_EQ(slaves[1]["catalogue"],
              Catalogue("CConnSlaveGPS", Entry("Slv_GPS_020000_fw.mot", "02.00.00"), nullptr,
                        Entry("Booter_Dovo4eGPS0304_0302.mot", "03.02"), json::array({"02.00.00"})));
    EXPECT_EQ(slaves[2]["catalogue"],
              Catalogue("CConnSlaveGlimmo", nullptr, nullptr, nullptr, json::array()));
    EXPECT_FALSE(out[0].contains("other_gauges"));
    EXPECT_FALSE(out[0]["catalogue"].contains("other_gauges"));
}

TEST_F(ListFolderTest, TextShowsTheSameChoices) {
    MakeFiles();
    const auto r = RunTool(kCli + " list --simulate " + Scenario(kPlanNet) + " --folder " +
                           Quote(dir_.file("upd")) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* line :
         {"class CConnectionPellDL460300", "firmware Pell_460500_fw.mhx (46.05.00)  language Pell_460500_lng.mhx",
          "available 46.04.00 46.05.00", "class CConnSlaveGPS", "booter Booter_Dovo4eGPS0304_0302.mot (03.02)",
          "class CConnSlaveGlimmo"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
}

TEST_F(ListFolderTest, DataKeyListsItsOtherGauges) {
    const vesk::test::TempDir& d = dir_;
    for (const char* n : {"upd/DataKEY_010100_fw.mot", "upd/Dovo4_020000_fw.mot", "upd/Dovo4_020000_lng.mot",
                          "upd/Slv_Lambda_010203_fw.mhx"})
        vesk::test::MakeFirmwareFile(d, n, 0xE0000, 0x100);
    vesk::test::MakeFirmwareFile(d, "upd/_BOOTER/Booter_Dovo4eGPS0304_0105.mot", 0xFC000, 0x100, "01.05");
    d.mkdir("upd/_ACCESSORI");
    const auto r = RunTool(kCli + " list --json --simulate " +
                           Scenario(R"({"instruments": [{"code": 111, "serial": 20, "firmware": "01.00.00"}]})") +
                           " --folder " + Quote(dir_.file("upd")) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json c = json::parse(r.output)[0]["catalogue"];
    EXPECT_EQ(c["class"], "CConnectionDataKey");
    EXPECT_EQ(c["firmware"], Entry("DataKEY_010100_fw.mot", "01.01.00"));
    const json& g = c["other_gauges"];
    ASSERT_EQ(g.size(), 5u);
    EXPECT_EQ(g[0], (json{{"kind", 0},
                          {"firmware", Entry("Dovo4_020000_fw.mot", "02.00.00")},
                          {"language", "Dovo4_020000_lng.mot"},
                          {"booter", Entry("Booter_Dovo4eGPS0304_0105.mot", "01.05")},
                          {"available", json::array({"02.00.00"})}}));
    EXPECT_EQ(g[3]["firmware"], Entry("Slv_Lambda_010203_fw.mhx", "01.02.03"));
    EXPECT_EQ(g[1]["firmware"], nullptr);
}

TEST_F(ListFolderTest, AnIdentifyOnlyMasterGetsNoCatalogue) {
    dir_.mkdir("upd/_BOOTER");
    dir_.mkdir("upd/_ACCESSORI");
    const auto r = RunTool(kCli + " list --json --simulate " +
                           Scenario(R"({"instruments": [{"code": 21, "serial": 5, "firmware": "01.00.00"}]})") +
                           " --folder " + Quote(dir_.file("upd")));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("no update files could be searched"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("\"catalogue\""), std::string::npos) << r.output;
}

}  // namespace

namespace {

// Masters of families with and without a net, and one whose net read fails.
TEST_F(ListTest, AFamilyWithoutANetIsNotAnUnreadNet) {
    const std::string scenario = Scenario(R"({"instruments": [
      {"code": 19, "serial": 1, "firmware": "10.00.00", "path": "usb:1-1"},
      {"code": 63, "serial": 2, "firmware": "10.00.00", "path": "usb:1-2"},
      {"code": 71, "serial": 3, "firmware": "10.00.00", "path": "usb:1-3"},
      {"code": 50, "serial": 4, "firmware": "43.04.01", "path": "usb:1-4",
       "faults": [{"kind": "stall", "request": "quarv3", "command": 27}]},
      {"code": 50, "serial": 5, "firmware": "43.04.01", "path": "usb:1-5"}]})");
    const std::string err = dir_.file("stderr.txt");
    const auto r = RunTool("(" + kCli + " list --json --simulate " + scenario + " 2>" + Quote(err) + ")");
    // The net of usb:1-4 could not be read: listed all the same, exit 1.
    ASSERT_EQ(r.status, 1) << r.output;
    const json out = json::parse(r.output);
    const std::pair<const char*, const char*> expected[] = {
        {"usb:1-1", "none"}, {"usb:1-2", "none"}, {"usb:1-3", "none"}, {"usb:1-4", "unread"},
        {"usb:1-5", "read"}};
    ASSERT_EQ(out.size(), std::size(expected));
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i]["path"], expected[i].first);
        EXPECT_EQ(out[i].value("net", "<absent>"), expected[i].second) << expected[i].first;
    }
    // Said once, for the one unit whose net exists and was not read.
    const std::string said = vesk::test::read_file(err);
    EXPECT_EQ(said, "vesk-firmup-cli list: the net of usb:1-4 could not be read\n");
}

// A folder that cannot be read must not pass for one without newer files: a
// warning per folder, no catalogue, exit status 1. The working folder holds a
// complete set of update files that must never be offered in its place.
TEST_F(ListFolderTest, UnusableUpdateFoldersWarnAndFail) {
    MakeFiles();
    const std::string upd = dir_.file("upd");
    dir_.write("bad/main_file", "x");
    dir_.mkdir("bad/no_booter/_ACCESSORI");
    dir_.mkdir("bad/acc_file/_BOOTER");
    dir_.write("bad/acc_file/_ACCESSORI", "x");
    dir_.mkdir("bad/booter_loop/_ACCESSORI");
    std::filesystem::create_symlink("_BOOTER", dir_.file("bad/booter_loop/_BOOTER"));
    dir_.mkdir("bad/acc_closed/_BOOTER");
    dir_.mkdir("bad/acc_closed/_ACCESSORI");
    ::chmod(dir_.file("bad/acc_closed/_ACCESSORI").c_str(), 0);
    struct Case {
        std::string folder;
        std::vector<std::string> warnings;  // folder below dir_, then what it is
        bool as_root_too = true;
    } cases[] = {
        {"missing", {"missing is missing", "missing/_BOOTER is missing", "missing/_ACCESSORI is missing"}},
        {"bad/main_file",
         {"bad/main_file is not a folder", "bad/main_file/_BOOTER is missing",
          "bad/main_file/_ACCESSORI is missing"}},
        {"bad/no_booter", {"bad/no_booter/_BOOTER is missing"}},
        {"bad/acc_file", {"bad/acc_file/_ACCESSORI is not a folder"}},
        {"bad/booter_loop", {"bad/booter_loop/_BOOTER cannot be read"}},
        // Root reads any folder.
        {"bad/acc_closed", {"bad/acc_closed/_ACCESSORI cannot be read"}, false},
    };
    for (const Case& c : cases) {
        if (!c.as_root_too && ::geteuid() == 0) continue;
        const std::string err = dir_.file("stderr.txt");
        const auto r = RunTool("(cd " + Quote(upd) + " && " + kCli + " list --json --simulate " +
                               Scenario(kPlanNet) + " --folder " + Quote(dir_.file(c.folder)) +
                               " 2>" + Quote(err) + ")");
        EXPECT_EQ(r.status, 1) << c.folder << "\n" << r.output;
        std::string expected;
        for (const auto& w : c.warnings)
            expected += "vesk-firmup-cli list: warning: the update folder " + dir_.path() + "/" + w + "\n";
        EXPECT_EQ(vesk::test::read_file(err), expected) << c.folder;
        // The instruments are still listed, without files.
        const json out = json::parse(r.output);
        ASSERT_EQ(out.size(), 1u) << c.folder;
        EXPECT_FALSE(out[0].contains("catalogue")) << c.folder;
        EXPECT_EQ(r.output.find("Pell_"), std::string::npos) << c.folder;
    }
    ::chmod(dir_.file("bad/acc_closed/_ACCESSORI").c_str(), 0755);
}

// A folder name that is empty, or that this program cannot represent, is
// refused before anything is listed; it never turns into the working folder.
TEST_F(ListFolderTest, FolderNamesThatNameNoFolderAreRefused) {
    MakeFiles();
    const struct {
        const char* shell_arg;
        const char* message;
    } cases[] = {
        {"''", "vesk-firmup-cli list: --folder needs the main update folder"},
        {"\"$(printf 'missing\\377')\"", "vesk-firmup-cli list: --folder: the path is not valid UTF-8"},
        {"\"$(printf '\\377')\"", "vesk-firmup-cli list: --folder: the path is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        const auto r = RunTool("cd " + Quote(dir_.file("upd")) + " && " + kCli + " list --simulate " +
                               Scenario(kPlanNet) + " --folder " + c.shell_arg);
        EXPECT_EQ(r.status, 2) << c.shell_arg << "\n" << r.output;
        EXPECT_EQ(r.output.rfind(c.message, 0), 0u) << c.shell_arg << "\n" << r.output;
        EXPECT_EQ(r.output.find("Pell_"), std::string::npos) << r.output;
    }
}

}  // namespace
