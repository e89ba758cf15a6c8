// vesk-firmup-cli plan against simulator scenarios and folders of update files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

#include "../support/firmware_files.h"
#include "../support/temp_dir.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A Pell DL master with three slaves; the trace shows whether USB was touched.
const char* kNet = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00",
  "net_rebuild_ms": 0, "path": "usb:1-2",
  "slaves": [
    {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00"},
    {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00", "in_booter": true},
    {"number": 4, "code": 2006, "serial": 74, "firmware": "01.05.10"}
  ]}]})";

class PlanCommand : public ::testing::Test {
protected:
    void SetUp() override {
        struct File {
            const char* name;
            uint32_t base;
            const char* version;
        };
        const File files[] = {
            {"upd/Pell_460400_fw.mhx", 0xFC0000, "46.04.00"}, {"upd/Pell_460400_lng.mhx", 0xFC0000, "46.04.00"},
            {"upd/Pell_460500_fw.mhx", 0xFC0000, "46.05.00"}, {"upd/Pell_460500_lng.mhx", 0xFC0000, "46.05.00"},
            {"upd/Slv_Lambda_010203_fw.mhx", 0xFF0000, "01.02.03"},
            {"upd/Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10"},
            {"upd/Slv_GPS_020000_fw.mot", 0xE0000, "02.00.00"},
        };
        for (const File& f : files) vesk::test::MakeFirmwareFile(dir_, f.name, f.base, 0x100, f.version);
        dir_.mkdir("upd/_BOOTER");
        dir_.mkdir("upd/_ACCESSORI");
    }
    // The scenario with a trace file.
    std::string Scenario(const std::string& text, const std::string& name = "net.json") {
        return vesk::test::TracedScenario(dir_.file(name), text);
    }
    std::string Trace(const std::string& name = "net.json") { return vesk::test::read_file(dir_.file(name + ".trace")); }
    std::string Folder() { return Quote(dir_.file("upd")); }

    vesk::test::TempDir dir_;
};

json Row(json row, const char* kind, const char* device, const char* id, const char* booter, const char* fw,
         const char* available, const char* action, int64_t serial, json versions) {
    return json{{"row", row},         {"kind", kind},          {"device", device}, {"id", id},
                {"booter", booter},   {"firmware", fw},        {"available", available},
                {"action", action},   {"serial", serial},      {"versions", versions},
                {"writes", json::array()}};
}

TEST_F(PlanCommand, JsonOfAMasterWithThreeSlaves) {
    const auto r = RunTool(kCli + " plan --json --simulate " + Scenario(kNet) + " --folder " + Folder() +
                           " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json expected = {
        {"folder", dir_.file("upd")},
        {"status", "Click 'Execute' button to proceed and firmup your system"},
        {"status_colour", "normal"},
        {"update_pending", true},
        {"versions_selectable", true},
        {"rows",
         json::array({
             Row("M", "master", "Pell DL Logger", "10", "00.00", "46.03.00", "46.05.00", "will get 46.05.00", 10,
                 {"46.04.00", "46.05.00"}),
             Row("1", "slave", "Display Unit", "71", "00.00", "01.00.00", "01.05.10", "will get 01.05.10", 71,
                 {"01.02.03", "01.05.10"}),
             Row("2", "slave", "GPS Receiver 2017 *BOOTER*", "72", "00.00", "01.00.00", "02.00.00",
                 "in booter:will get 02.00.00", 72, {"02.00.00"}),
             Row("4", "slave", "Display Unit", "74", "00.00", "01.05.10", "01.05.10", "will not be modified", 74,
                 {"01.02.03", "01.05.10"}),
         })},
    };
    // Every image a run writes, besides what the Action says: the master's
    // language too; nothing for the unit left as it is.
    json got = json::parse(r.output);
    const json writes = {
        {{{"image", "firmware"}, {"version", "46.05.00"}, {"file", "Pell_460500_fw.mhx"}, {"from", "46.03.00"}},
         {{"image", "language"}, {"version", "46.05.00"}, {"file", "Pell_460500_lng.mhx"}}},
        {{{"image", "firmware"}, {"version", "01.05.10"}, {"file", "Slv_Lambda_010510_fw.mhx"}, {"from", "01.00.00"}}},
        {{{"image", "firmware"}, {"version", "02.00.00"}, {"file", "Slv_GPS_020000_fw.mot"}, {"from", "in booter"}}},
        json::array()};
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(got["rows"][i]["writes"], writes[i]) << i;
        got["rows"][i]["writes"] = json::array();
    }
    EXPECT_EQ(got, expected) << r.output;
}

TEST_F(PlanCommand, TextShowsTheListAndTheStatus) {
    const auto r = RunTool(kCli + " plan --simulate " + Scenario(kNet) + " --folder " + Folder() + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string expected =
        "Update folder searched: " + dir_.file("upd") + "\n"
        "   Device                      ID  Booter  Firmware  Available  Action\n"
        "M  Pell DL Logger              10  00.00   46.03.00  46.05.00   will get 46.05.00\n"
        "    also: language 46.05.00\n"
        "1  Display Unit                71  00.00   01.00.00  01.05.10   will get 01.05.10\n"
        "2  GPS Receiver 2017 *BOOTER*  72  00.00   01.00.00  02.00.00   in booter:will get 02.00.00\n"
        "4  Display Unit                74  00.00   01.05.10  01.05.10   will not be modified\n"
        "\n"
        "3 units to update: run `vesk-firmup-cli update`\n";
    EXPECT_EQ(r.output, expected);
}

// Slave 4's firmware is current and only its booter is older than its file:
// the run writes the booter, so the plan offers the update and says what it writes.
TEST_F(PlanCommand, BooterAloneIsSomethingToUpdate) {
    vesk::test::MakeFirmwareFile(dir_, "upd/_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, 0x100, "01.02");
    const char* scenario = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.05.00",
      "net_rebuild_ms": 0, "slaves": [{"number": 4, "code": 2006, "serial": 0, "firmware": "01.05.10", "booter": "01.00"}]}]})";
    const auto text = RunTool(kCli + " plan --simulate " + Scenario(scenario) + " --folder " + Folder() + " 2>/dev/null");
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("4  Display Unit    0   01.00   01.05.10  01.05.10   will not be modified\n"
                               "    also: booter 01.00 -> 01.02\n"),
              std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("\n1 unit to update: run `vesk-firmup-cli update`\n"), std::string::npos) << text.output;
    const auto r = RunTool(kCli + " plan --json --simulate " + Scenario(scenario) + " --folder " + Folder() +
                           " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output);
    EXPECT_EQ(j["update_pending"], true);
    EXPECT_EQ(j["status"], "Click 'Execute' button to proceed and firmup your system");
}

TEST_F(PlanCommand, AdvancedWithChoices) {
    const auto r = RunTool(kCli + " plan --json --advanced --choose 10=46.04.00 --choose 74=01.02.03 --simulate " +
                           Scenario(kNet) + " --folder " + Folder() + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output);
    EXPECT_EQ(j["rows"][0]["action"], "will get 46.04.00");
    EXPECT_EQ(j["rows"][0]["available"], "46.05.00");
    EXPECT_EQ(j["rows"][3]["action"], "will get 01.02.03");
    EXPECT_EQ(j["status"], "Click 'Execute' button to proceed and firmup your system");
}

TEST_F(PlanCommand, ExitStatuses) {
    struct Case {
        const char* name;
        std::string args;
        int status;
        std::string output;
        bool usb_read;
    } cases[] = {
        {"nothing connected", "--simulate " + Scenario(R"({"instruments": []})", "none.json"), 3,
         "No gauge is connected to any USB port", false},
        {"two instruments",
         "--json --simulate " + Scenario(R"({"instruments": [{"code": 19, "serial": 1, "firmware": "01.00.00"},
                                                             {"code": 19, "serial": 2, "firmware": "01.00.00"}]})",
                                         "two.json"),
         3, "\"status\": \"2 gauges are connected to USB ports. Only one can be connected.\"", true},
        {"instrument gone during the refresh",
         "--simulate " + Scenario(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.05.00",
                                    "faults": [{"kind": "unplug_after", "requests": 6}]}]})",
                                  "gone.json"),
         1, "the instrument could not be read", true},
        {"identify-only gauge",
         "--simulate " + Scenario(R"({"instruments": [{"code": 21, "serial": 5, "firmware": "01.00.00"}]})",
                                  "dovo.json"),
         0, "Dovo Gauge takes no update files of its own", true},
        {"unknown serial", "--advanced --choose 99=01.02.03 --simulate " + Scenario(kNet), 2,
         "--choose 99=01.02.03: no unit with that serial", true},
        {"version of another unit", "--advanced --choose 72=01.02.03 --simulate " + Scenario(kNet), 2,
         "--choose 72=01.02.03: that unit offers no such version", true},
        {"version in no file", "--advanced --choose 71=09.09.09 --simulate " + Scenario(kNet, "early.json"), 2,
         "--choose 71=09.09.09: no update file of that version in", false},
        {"choice without advanced mode", "--choose 71=01.02.03 --simulate " + Scenario(kNet, "early.json"), 2,
         "--choose needs --advanced", false},
        {"malformed choice", "--advanced --choose 71:01.02.03 --simulate " + Scenario(kNet, "early.json"), 2,
         "expected SERIAL=VERSION", false},
        {"unexpected argument", "--frobnicate", 2, "unexpected argument --frobnicate", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_.file("early.json.trace"));
        const auto r = RunTool(kCli + " plan " + c.args + " --folder " + Folder());
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
        if (!c.usb_read) {
            EXPECT_FALSE(std::filesystem::exists(dir_.file("early.json.trace")));
        }
    }
    const auto missing = RunTool(kCli + " plan --simulate " + Scenario(kNet, "early.json") + " --folder " +
                                 Quote(dir_.file("nothere")));
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("the update folder " + dir_.file("nothere") + " cannot be read"),
              std::string::npos)
        << missing.output;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("early.json.trace")));
}

// A folder without a file for any unit found: the units are still listed and
// the status names the folder, in the table and in JSON alike.
TEST_F(PlanCommand, NoUpdateFilesListsTheUnitsAndNamesTheFolder) {
    dir_.mkdir("empty dir/_BOOTER");
    dir_.mkdir("empty dir/_ACCESSORI");
    const std::string folder = dir_.file("empty dir");
    const std::string scenario = Scenario(R"({"instruments": [{"code": 65, "serial": 0, "firmware": "46.03.00",
      "net_rebuild_ms": 0, "path": "usb:1-2",
      "slaves": [{"number": 3, "code": 2006, "serial": 4294967295, "firmware": "01.05.10"}]}]})", "bare.json");
    const auto j = RunTool(kCli + " plan --json --simulate " + scenario + " --folder " + Quote(folder) + " 2>/dev/null");
    ASSERT_EQ(j.status, 0) << j.output;
    const json expected = {
        {"folder", folder},
        {"status", "No update files for this instrument in " + folder},
        {"status_colour", "normal"},
        {"update_pending", false},
        {"versions_selectable", false},
        {"rows", json::array({Row("M", "master", "Pell DL Logger", "0", "00.00", "46.03.00", "none", "no update file",
                                  0, json::array()),
                              Row("3", "slave", "Display Unit", "4294967295", "00.00", "01.05.10", "none",
                                  "no update file", 4294967295, json::array())})},
    };
    EXPECT_EQ(json::parse(j.output), expected) << j.output;

    const auto t = RunTool(kCli + " plan --simulate " + scenario + " --folder " + Quote(folder) + " 2>/dev/null");
    ASSERT_EQ(t.status, 0) << t.output;
    EXPECT_NE(t.output.find("M  Pell DL Logger  0           00.00   46.03.00  none       no update file\n"),
              std::string::npos)
        << t.output;
    EXPECT_NE(t.output.find("\nNo update files for this instrument in " + folder + "\n"), std::string::npos)
        << t.output;
    EXPECT_EQ(t.output.find("up to date"), std::string::npos) << t.output;
}

TEST_F(PlanCommand, FolderOfTheStartUpOption) {
    const auto r = RunTool(kCli + " plan --json --simulate " + Scenario(kNet) + " " +
                           Quote("UseFolder(" + dir_.file("upd") + ")AsMain") + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(json::parse(r.output)["rows"].size(), 4u);
}

TEST_F(PlanCommand, HelpAndCommandList) {
    const auto help = RunTool(kCli + " plan --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: vesk-firmup-cli plan [--simulate FILE] [--folder DIR] [--json] [--advanced]"),
              std::string::npos)
        << help.output;
    EXPECT_NE(RunTool(kCli + " --help").output.find(
                  "plan [--simulate FILE] [--folder DIR] [--json] [--advanced] [--choose SERIAL=VERSION ...]"),
              std::string::npos);
}

}  // namespace
