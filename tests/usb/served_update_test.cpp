// vesk-firmup-cli without --simulate under "vesk-sim run": the plan, the update
// and its reconnections go through the system's libusb, and the wait for the
// restarted master through udev, against instruments served by umockdev that
// leave the bus and come back as real ones do. Without umockdev's preload the
// tool finds no instrument and these tests fail.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/sim_run.h"
#include "../support/update_bench.h"

namespace {

using nlohmann::json;
using vesk::test::EventTexts;
using vesk::test::Has;
using vesk::test::JsonEvents;
using vesk::test::Quote;
using vesk::test::SimRun;

const std::string kSim = VESK_SIM;
const std::string kCli = VESK_CLI;

// The bench of the simulated update tests on the real clock, scaled down:
// every wait of the run and every return to the bus take a fiftieth of their
// time on both sides. A mode switch keeps the master away 1.5 s, well inside
// the 4.4 s the run waits before it reconnects; fault is the master's.
std::string Served(const std::string& fault) {
    return R"({"time_scale": 0.02, )" +
           vesk::test::PellNet(R"(, "reenumerate_ms": 1500, "faults": [)" + fault + "]").substr(1);
}
// The master leaves the bus for the booter, for its firmware, and for its
// restart at the end of the run: the third time it stays away well past the
// run's closing refresh 2.75 s later, so the tool must wait for its return.
const char* kSlowRestart = R"({"kind": "slow_return", "ms": 15000, "when": "from", "n": 3})";

class ServedUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        vesk::test::MakePellNetFolder(sim_.dir());
        // The tool's own copy, so that its log file is this test's alone.
        std::error_code ec;
        std::filesystem::create_hard_link(kCli, cli_, ec);
        if (ec) std::filesystem::copy_file(kCli, cli_, ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    // The tool with args and the update folder, its USB lock this test's own.
    vesk::test::ToolResult Cli(const std::string& scenario, const std::string& args) {
        return sim_.RunQuietly(scenario, "XDG_RUNTIME_DIR=" + Quote(sim_.dir().file("locks")) + " " + Quote(cli_) +
                                             " " + args + " --folder " + Quote(sim_.dir().file("upd")) +
                                             " < /dev/null");
    }
    // Every log file the tool wrote, one after the other.
    std::string Log() const {
        std::string all;
        std::error_code ec;
        for (const auto& f : std::filesystem::directory_iterator(sim_.dir().file("logs"), ec))
            all += vesk::test::read_file(f.path().string());
        return all;
    }

    SimRun sim_{kSim};
    const std::string cli_ = sim_.dir().file("vesk-firmup-cli");
};

TEST_F(ServedUpdate, PlanListsTheScenario) {
    const auto r = Cli(Served(kSlowRestart), "plan --json");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.output;
    EXPECT_EQ(j["status"], "Click 'Execute' button to proceed and firmup your system");
    EXPECT_EQ(j["update_pending"], true);
    ASSERT_EQ(j["rows"].size(), 3u) << r.output;
    const json expected[] = {
        {{"row", "M"}, {"id", "10"}, {"firmware", "46.03.00"}, {"action", "will get 46.05.00"}},
        {{"row", "1"}, {"id", "71"}, {"firmware", "01.00.00"}, {"action", "will get 01.05.10"}},
        {{"row", "2"}, {"id", "72"}, {"firmware", "01.05.10"}, {"action", "will not be modified"}},
    };
    for (size_t i = 0; i < 3; ++i)
        for (const auto& [key, value] : expected[i].items()) EXPECT_EQ(j["rows"][i][key], value) << i << " " << key;
}

TEST_F(ServedUpdate, MasterAndTwoSlavesUpdatedThroughLibusbToAVerifiedEnd) {
    const auto r = Cli(Served(kSlowRestart), "update --yes --json");
    ASSERT_EQ(r.status, 0) << r.output;
    const auto events = JsonEvents(r.output);
    ASSERT_GE(events.size(), 3u) << r.output;
    vesk::test::ExpectEveryUnitVerified(events);

    const auto messages = EventTexts(events, "message");
    for (const char* m : {"Correctly into booter Pell DL Logger - 10", "Start write firmware Pell DL Logger - 10",
                          "Correctly into firmware Pell DL Logger - 10",
                          "Start write firmware for slave Display Unit - 71",
                          "Finished firmup booter slave Display Unit - 72"})
        EXPECT_TRUE(Has(messages, m)) << m;
    // Into the booter and back: the master left the bus twice and was opened
    // again at its path each time.
    EXPECT_GE(std::count(messages.begin(), messages.end(), "Reconnected Pell DL Logger - 10"), 2);
    EXPECT_FALSE(Has(messages, "Not reconnected Pell DL Logger - 10"));
    // The closing refresh came while the restarted master was away; it was
    // then waited for through udev and planned again.
    const auto statuses = EventTexts(events, "status");
    EXPECT_TRUE(Has(statuses, "Firmup finished"));
    EXPECT_TRUE(Has(statuses, "Please wait..."));

    const std::string log = Log();
    EXPECT_NE(log.find("Hardware detection switched UP"), std::string::npos) << "no log of the run";
    EXPECT_EQ(log.find("Register device notification failure"), std::string::npos)
        << "hardware detection did not start on the testbed";
}

// The bench: three instruments plugged in one after another and pulled out
// on the served bus, each heard arriving and leaving through udev, updated
// through libusb and given its row. Each is on the bus 6 s (of real time),
// three times what its update takes here.
TEST_F(ServedUpdate, BenchOfThreeOneAfterAnother) {
    std::string instruments;
    const char* serials[] = {"10", "0", "4660"};
    for (int i = 0; i < 3; ++i)
        instruments += std::string(i ? "," : "") + R"({"code": 65, "serial": )" + serials[i] +
                       R"(, "firmware": "46.03.0)" + std::to_string(i) +
                       R"(", "net_rebuild_ms": 0, "reenumerate_ms": 1500, "present_from_ms": )" +
                       std::to_string(i * 350000) + R"(, "present_until_ms": )" + std::to_string(i * 350000 + 300000) + "}";
    const std::string report = sim_.dir().file("bench.jsonl");
    const auto r = Cli(R"({"time_scale": 0.02, "instruments": [)" + instruments + "]}",
                       "update --each --count 3 --yes --json --report " + Quote(report));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto rows = JsonEvents(vesk::test::read_file(report));
    ASSERT_EQ(rows.size(), 3u) << r.output;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i]["serial"], std::stoul(serials[i]));
        EXPECT_EQ(rows[i]["before"], "46.03.0" + std::to_string(i));
        EXPECT_EQ(rows[i]["after"], "46.05.00");
        EXPECT_EQ(rows[i]["outcome"], "updated");
    }
    EXPECT_EQ(JsonEvents(r.output).back()["rows"], json(rows));
}

// Capture and rehearsal read the instrument through libusb (its product id
// from the device descriptor) and build the copy the simulator's own bus gives.
TEST_F(ServedUpdate, CaptureAndRehearsalReadTheServedInstrument) {
    const std::string scenario = R"({"time_scale": 0.02, )" +
                                 vesk::test::PellNet(R"(, "product_id": 258, "infofwupd_flags": 1)").substr(1);
    const std::string served = sim_.dir().file("served.json"), simulated = sim_.dir().file("simulated.json");
    const auto captured = sim_.RunQuietly(scenario, Quote(cli_) + " capture " + Quote(served));
    ASSERT_EQ(captured.status, 0) << captured.output;
    sim_.dir().write("scenario.json", scenario);
    const auto direct = vesk::test::RunTool(Quote(cli_) + " capture " + Quote(simulated) + " --simulate " +
                                            Quote(sim_.dir().file("scenario.json")) + " 2>/dev/null");
    ASSERT_EQ(direct.status, 0) << direct.output;
    json a = json::parse(vesk::test::read_file(served)), b = json::parse(vesk::test::read_file(simulated));
    EXPECT_EQ(a["instruments"][0]["product_id"], 258);
    EXPECT_EQ(a["instruments"][0]["infofwupd_flags"], 1);
    EXPECT_EQ(a["instruments"][0]["slaves"].size(), 2u);
    // The port chain is the served bus's own.
    a["instruments"][0].erase("path");
    b["instruments"][0].erase("path");
    EXPECT_EQ(a, b);

    const auto r = Cli(scenario, "update --json --rehearse-only");
    EXPECT_EQ(r.status, 0) << r.output;
    const auto events = JsonEvents(r.output);
    ASSERT_GE(events.size(), 2u) << r.output;
    EXPECT_EQ(events.back()["outcome"], "rehearsed");
    const json& verdict = events[events.size() - 2];
    EXPECT_EQ(verdict["event"], "rehearsal");
    EXPECT_EQ(verdict["passed"], true) << verdict;
    EXPECT_EQ(verdict["status"], "Firmup finished");
}

TEST_F(ServedUpdate, AMasterThatNeverComesBackEndsWithExit1) {
    struct Case {
        const char* name;
        std::string scenario;
        const char* outcome;
        std::vector<std::string> messages;
        int still_waiting;
        const char* status;  // the last status line shown
    } cases[] = {
        {"gone after its switch to the booter",
         Served(R"({"kind": "never_returns"})"),
         "stopped",
         {"Sending device to booter Pell DL Logger - 10", "Waiting 4 seconds for reconnection Pell DL Logger - 10",
          "Not reconnected Pell DL Logger - 10", "No USB device found any more Pell DL Logger - 10"},
         10,
         "No USB device found any more"},
        // Written and restarted, then never back: nothing can be checked.
        {"gone after its closing restart", Served(R"({"kind": "never_returns", "when": "from", "n": 3})"), "errors",
         {"Start write firmware for slave Display Unit - 71"}, 0, "Please wait..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = Cli(c.scenario, "update --yes --json");
        EXPECT_EQ(r.status, 1) << r.output;
        const auto events = JsonEvents(r.output);
        ASSERT_GE(events.size(), 2u) << r.output;
        const json& result = events.back();
        EXPECT_EQ(result["outcome"], c.outcome);
        for (const json& u : result["units"]) EXPECT_EQ(u["verified"], false) << u;
        const auto messages = EventTexts(events, "message");
        for (const auto& m : c.messages) EXPECT_TRUE(Has(messages, m)) << m;
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "Still waiting (other 2 seconds)"), c.still_waiting);
        EXPECT_EQ(EventTexts(events, "status").back(), c.status);
        const json& after = events[events.size() - 2];
        EXPECT_EQ(after["event"], "plan");
        EXPECT_EQ(after["status"], "No gauge is connected to any USB port");
        EXPECT_EQ(after["rows"], json::array());
    }
}

}  // namespace
