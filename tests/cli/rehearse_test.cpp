// vesk-firmup-cli capture, and update --rehearse / --rehearse-only, against
// simulator scenarios whose traces show what reached the instruments.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/temp_dir.h"
#include "../support/trace_reads.h"
#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A Pell DL master and three slaves: the master's firmware and language,
// slave 1's firmware and slave 2's booter are due.
const std::string kNet = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00",
  "net_rebuild_ms": 0, "infofwupd_flags": 1, "product_id": 258, "path": "usb:2-3.1", "slaves": [
    {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"},
    {"number": 2, "code": 2006, "serial": 72, "firmware": "01.05.10", "booter": "01.00"},
    {"number": 4, "code": 2006, "serial": 74, "firmware": "01.05.10", "booter": "01.02", "in_booter": true}]}]})";

class RehearseCommand : public ::testing::Test {
protected:
    void SetUp() override {
        vesk::test::MakePellNetFolder(dir_);
    }
    std::string Scenario(const std::string& name, const std::string& text = kNet) {
        return vesk::test::TracedScenario(dir_.file(name), text);
    }
    std::vector<std::string> Changes(const std::string& name) {
        return vesk::test::ChangingLines(vesk::test::read_file(dir_.file(name + ".trace")));
    }
    vesk::test::ToolResult Cli(const std::string& args) {
        return RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " " + kCli + " " + args + " < /dev/null");
    }
    vesk::test::ToolResult Update(const std::string& args) {
        return Cli("update " + args + " --folder " + Quote(dir_.file("upd")) + " 2>/dev/null");
    }
    static std::vector<json> Events(const std::string& output) { return vesk::test::JsonEvents(output); }

    vesk::test::TempDir dir_;
};

TEST_F(RehearseCommand, CaptureOfAMasterAndThreeSlavesChecksAndListsTheSame) {
    const std::string source = Scenario("net.json");
    const std::string copy = Quote(dir_.file("copy.json"));
    const auto captured = Cli("capture " + copy + " --simulate " + source);
    ASSERT_EQ(captured.status, 0) << captured.output;
    EXPECT_NE(captured.output.find("usb:2-3.1  Pell DL Logger serial 10, 3 slaves"), std::string::npos)
        << captured.output;
    EXPECT_NE(captured.output.find("Kept at the simulator's defaults:"), std::string::npos);
    EXPECT_EQ(Changes("net.json"), std::vector<std::string>{});

    const auto checked = RunTool(std::string(VESK_SIM) + " check " + copy);
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_NE(checked.output.find("slave 4 code 2006 serial 74 firmware 01.05.10 booter 01.02 in booter"),
              std::string::npos)
        << checked.output;

    const auto listed = Cli("list --json --simulate " + source + " 2>/dev/null");
    const auto listed_copy = Cli("list --json --simulate " + copy + " 2>/dev/null");
    ASSERT_EQ(listed.status, 0);
    ASSERT_EQ(listed_copy.status, 0);
    EXPECT_EQ(json::parse(listed_copy.output), json::parse(listed.output));
    EXPECT_EQ(json::parse(listed.output)[0]["slaves"].size(), 3u);

    const json file = json::parse(vesk::test::read_file(dir_.file("copy.json")));
    EXPECT_EQ(file["instruments"][0]["product_id"], 258);
    EXPECT_EQ(file["instruments"][0]["infofwupd_flags"], 1);
    EXPECT_EQ(file["instruments"][0]["chip"], "D12");
}

TEST_F(RehearseCommand, CaptureUsage) {
    struct Case {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"capture", 2, "the scenario file to write is needed"},
        {"capture a.json b.json", 2, "unexpected argument b.json"},
        {"capture " + Quote(dir_.file("none.json")) + " --simulate " +
             Scenario("empty.json", R"({"instruments": []})"),
         3, "no instrument is connected"},
        {"capture " + Quote(dir_.file("missing/copy.json")) + " --simulate " + Scenario("net.json"), 1,
         "cannot be written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = Cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

TEST_F(RehearseCommand, AGoodFolderIsRehearsedThenUpdatedAndVerified) {
    const auto r = Update("--yes --json --rehearse --simulate " + Scenario("net.json"));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto events = Events(r.output);
    size_t verdict = events.size();
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i]["event"] == "rehearsal") verdict = i;
    ASSERT_LT(verdict, events.size());
    EXPECT_EQ(events[verdict]["passed"], true);
    EXPECT_EQ(events[verdict]["status"], "Firmup finished");
    EXPECT_EQ(events[verdict]["units"].size(), 4u);
    EXPECT_FALSE(events[verdict]["defaults"].empty());
    // Before the verdict only the plan and the rehearsal's own events; after it the real run.
    bool rehearsal_wrote = false, real_wrote = false;
    for (size_t i = 1; i < events.size(); ++i) {
        const bool rehearsal = events[i].value("phase", "") == "rehearsal";
        EXPECT_EQ(rehearsal, i <= verdict) << events[i].dump();
        if (events[i]["event"] == "message" && events[i]["text"] == "Start write firmware Pell DL Logger - 10")
            (rehearsal ? rehearsal_wrote : real_wrote) = true;
    }
    EXPECT_TRUE(rehearsal_wrote);
    EXPECT_TRUE(real_wrote);
    EXPECT_EQ(events.back()["outcome"], "finished");
    for (const json& u : events.back()["units"]) EXPECT_EQ(u["verified"], true) << u.dump();
    EXPECT_FALSE(Changes("net.json").empty()) << "the real run wrote";

    const auto text = Update("--yes --rehearse --simulate " + Scenario("text.json"));
    EXPECT_EQ(text.status, 0) << text.output;
    for (const char* line : {"Rehearsal on a simulated copy of the connected instrument:\n",
                             "  M Pell DL Logger 10: 46.03.00 -> 46.05.00, expected 46.05.00, verified\n",
                             "  The simulated copy keeps at the simulator's defaults:\n",
                             "    re-enumeration delay after a mode switch or restart: 3000 ms\n",
                             "    flash contents: the family's layout, erased, with a blank configuration\n",
                             "Rehearsal passed: every unit would end as planned.\n",
                             "Every unit reports the version it was to get.\n"})
        EXPECT_NE(text.output.find(line), std::string::npos) << line << text.output;
}

TEST_F(RehearseCommand, AFileThatWouldNotEndAsPlannedStopsBeforeAnyWrite) {
    struct Case {
        const char* name;
        std::string file;
        uint32_t base;  // 0: the good file with a broken record
        const char* version;
        const char* problem;
    } cases[] = {
        {"a master firmware that does not load", "upd/Pell_460500_fw.mhx", 0, "",
         "M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00"},
        {"a slave firmware that does not load", "upd/Slv_Lambda_010510_fw.mhx", 0, "",
         "1 Display Unit 71 would report 01.00.00 instead of 01.05.10"},
        {"a master firmware whose records lie outside its region", "upd/Pell_460500_fw.mhx", 0x100000, "46.05.00",
         "M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00"},
        {"a slave firmware whose records lie outside its region", "upd/Slv_Lambda_010510_fw.mhx", 0x100000,
         "01.05.10", "1 Display Unit 71 would report 01.00.00 instead of 01.05.10"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.base == 0) vesk::test::BreakFirstRecord(dir_, c.file);
        else vesk::test::MakeFirmwareFile(dir_, c.file, c.base, 0x400, c.version);
        const std::string name = "bad" + std::to_string(n++) + ".json";
        const auto r = Update("--yes --json --rehearse --simulate " + Scenario(name));
        EXPECT_EQ(r.status, 1) << r.output;
        const auto events = Events(r.output);
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events.back()["outcome"], "rehearsal_failed");
        const json& verdict = events[events.size() - 2];
        EXPECT_EQ(verdict["event"], "rehearsal");
        EXPECT_EQ(verdict["passed"], false);
        bool named = false;
        for (const json& p : verdict["problems"]) named = named || p == c.problem;
        EXPECT_TRUE(named) << verdict.dump();
        EXPECT_EQ(Changes(name), std::vector<std::string>{});

        const std::string text_name = "text" + std::to_string(n) + ".json";
        const auto text = Update("--yes --rehearse --simulate " + Scenario(text_name));
        EXPECT_EQ(text.status, 1);
        for (const std::string& line : {std::string("Rehearsal failed: nothing was written to the connected instrument. "),
                                       "  " + std::string(c.problem) + "\n", std::string("Rehearsal messages:\n")})
            EXPECT_NE(text.output.find(line), std::string::npos) << line << text.output;
        EXPECT_EQ(Changes(text_name), std::vector<std::string>{});
    }
}

TEST_F(RehearseCommand, RehearseOnlyWritesNothingAndNeedsNoConsent) {
    const auto r = Update("--json --rehearse-only --simulate " + Scenario("net.json"));
    EXPECT_EQ(r.status, 0) << r.output;
    const auto events = Events(r.output);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (json{{"event", "result"}, {"outcome", "rehearsed"}, {"units", json::array()}}));
    EXPECT_EQ(Changes("net.json"), std::vector<std::string>{});
}

}  // namespace
