// vesk-firmup-cli list against simulator scenarios (virtual time).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "../support/temp_dir.h"
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

json Slave(int number, int code, const char* model, const char* serial, const char* fw,
           const char* booter, bool in_booter) {
    return json{{"number", number}, {"code", code},   {"model", model},        {"serial", serial},
                {"firmware", fw},   {"booter", booter}, {"in_booter", in_booter}};
}

TEST_F(ListTest, JsonShowsWhatTheScenarioHolds) {
    const auto r = RunTool(kCli + " list --json --simulate " + Scenario(kNet) + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    const json expected = json::array({json{
        {"path", "usb:1-4"},
        {"code", 50},
        {"model", "Quarv Logger 50"},
        {"serial", "1234"},
        {"firmware", "43.04.01"},
        {"booter", "02.10"},
        {"in_booter", false},
        {"display_name", "Quarv Logger 50 ID 1234 [FW43.04.01]"},
        {"slaves", json::array({Slave(1, 61, "Quarv4 Logger", "501", "12.03.04", "01.02", false),
                                Slave(2, 22, "Quarv Dash 22", "502", "20.00.07", "01.05", true),
                                Slave(4, 41, "Quarv Logger 41", "504", "15.10.02", "03.01", false)})},
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
    EXPECT_NE(RunTool(kCli + " --help").output.find("list [--simulate FILE] [--json] [--ident]"),
              std::string::npos);
}

}  // namespace
