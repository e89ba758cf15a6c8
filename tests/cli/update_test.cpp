// vesk-firmup-cli update against simulator scenarios and folders of update files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/temp_dir.h"
#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Has;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A Pell DL master with two slaves: the master's firmware and language, one
// slave's firmware and the other's booter are due.
std::string Net(const std::string& master_extra = "", const std::string& slave2_extra = "") {
    return vesk::test::PellNet(master_extra, slave2_extra);
}

class UpdateCommand : public ::testing::Test {
protected:
    void SetUp() override { vesk::test::MakePellNetFolder(dir_); }
    // The scenario with a trace file.
    std::string Scenario(const std::string& text, const std::string& name = "net.json") {
        return vesk::test::TracedScenario(dir_.file(name), text);
    }
    std::string Trace(const std::string& name = "net.json") { return vesk::test::read_file(dir_.file(name + ".trace")); }
    vesk::test::ToolResult Update(const std::string& args, const std::string& input = "/dev/null") {
        // The lock and the backups of this test alone.
        return RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" + Quote(dir_.file("state")) +
                       " " + kCli + " update " + args + " --folder " +
                       Quote(dir_.file("upd")) + " < " + input + " 2>/dev/null");
    }
    static std::vector<json> Events(const std::string& output) { return vesk::test::JsonEvents(output); }
    static std::vector<std::string> Texts(const std::vector<json>& events, const char* kind) {
        return vesk::test::EventTexts(events, kind);
    }

    vesk::test::TempDir dir_;
};

TEST_F(UpdateCommand, JsonRunEndsWithEveryUnitVerified) {
    const auto r = Update("--yes --json --simulate " + Scenario(Net()));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto events = Events(r.output);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front()["event"], "plan");
    EXPECT_EQ(events.front()["rows"][0]["action"], "will get 46.05.00");
    vesk::test::ExpectEveryUnitVerified(events);

    const auto messages = Texts(events, "message");
    for (const char* m : {"Start write firmware Pell DL Logger - 10", "Start write languages Pell DL Logger - 10",
                          "Start write firmware for slave Display Unit - 71",
                          "Start firmup booter slave Display Unit - 72", "No slave in booter"})
        EXPECT_TRUE(Has(messages, m)) << m;
    EXPECT_TRUE(Has(Texts(events, "status"), "Firmup finished"));
    int waits = 0, last_position = -1, maximum = 0;
    for (const json& e : events) {
        if (e["event"] == "wait" && e["ms"] == 4400) ++waits;
        if (e["event"] == "progress") {
            last_position = e["position"];
            maximum = e["maximum"];
        }
    }
    EXPECT_GE(waits, 2);
    EXPECT_EQ(maximum, 25 * 2 + 73);
    EXPECT_EQ(last_position, maximum);
}

TEST_F(UpdateCommand, FaultsEndWithTheirMessagesAndExit1) {
    struct Case {
        const char* name;
        std::string scenario;
        const char* outcome;
        std::vector<std::string> messages;
    } cases[] = {
        {"the master never comes back", Net(R"(, "faults": [{"kind": "never_returns"}])"), "stopped",
         {"Still waiting (other 2 seconds)", "Not reconnected Pell DL Logger - 10",
          "No USB device found any more Pell DL Logger - 10"}},
        {"a slave booter that never takes", Net("", R"(, "booter_never_takes": true)"), "errors",
         {"Finished firmup booter slave Display Unit - 72",
          "Start waking up all slaves into firmware after failure Pell DL Logger - 10"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = Update("--yes --json --simulate " + Scenario(c.scenario));
        EXPECT_EQ(r.status, 1) << r.output;
        const auto events = Events(r.output);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["outcome"], c.outcome);
        for (const auto& m : c.messages) EXPECT_TRUE(Has(Texts(events, "message"), m)) << m;
        EXPECT_EQ(Texts(events, "status").back().find("Firmup finished"), std::string::npos);
    }
}

TEST_F(UpdateCommand, NothingPendingWritesNothing) {
    const std::string current = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.05.00",
        "net_rebuild_ms": 0, "slaves": [{"number": 1, "code": 2006, "serial": 71, "firmware": "01.05.10",
        "booter": "01.02"}]}]})";
    const auto r = Update("--yes --simulate " + Scenario(current));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Your system is up to date"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Nothing to update"), std::string::npos) << r.output;
    const std::string trace = Trace();
    EXPECT_FALSE(trace.empty());
    EXPECT_EQ(trace.find("CTRL 0x0F"), std::string::npos) << "a booter request";
    EXPECT_EQ(trace.find("BULK OUT"), std::string::npos) << "a write";

    const auto j = Update("--yes --json --simulate " + Scenario(current, "json.json"));
    EXPECT_EQ(j.status, 0);
    EXPECT_EQ(Events(j.output).back(), (json{{"event", "result"}, {"outcome", "nothing_pending"}, {"units", json::array()}}));
}

TEST_F(UpdateCommand, AsksBeforeWriting) {
    const auto refused = Update("--simulate " + Scenario(Net()));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(Trace().find("CTRL 0x0F"), std::string::npos) << "nothing written without an answer";
    const auto said = RunTool(kCli + " update --simulate " + Scenario(Net(), "said.json") + " --folder " +
                              Quote(dir_.file("upd")) + " < /dev/null");
    EXPECT_NE(said.output.find("add --yes"), std::string::npos) << said.output;
}

// On a terminal (a pseudo-terminal made by script(1)) the user is asked.
TEST_F(UpdateCommand, AnswersOnATerminal) {
    auto on_terminal = [&](const std::string& replies, const std::string& args) {
        return RunTool("printf " + Quote(replies) + " | XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) +
                       " script -qec " + Quote(kCli + " update " + args + " --folder " + Quote(dir_.file("upd"))) +
                       " /dev/null");
    };
    const auto no = on_terminal("n\n", "--simulate " + Scenario(Net(), "no.json"));
    EXPECT_NE(no.output.find("Proceed? [y/N]"), std::string::npos) << no.output;
    EXPECT_NE(no.output.find("Not updated"), std::string::npos) << no.output;
    EXPECT_EQ(Trace("no.json").find("CTRL 0x0F"), std::string::npos);

    const auto yes = on_terminal("y\n", "--simulate " + Scenario(Net(), "yes.json"));
    EXPECT_NE(yes.output.find("Every unit reports the version it was to get."), std::string::npos) << yes.output;
    // The bar is drawn in place on the terminal.
    EXPECT_NE(yes.output.find("\r\033[K[#"), std::string::npos);
    EXPECT_NE(yes.output.find("/123"), std::string::npos);
    // The window's instruction to press its Execute button is no step of the terminal's.
    EXPECT_EQ(yes.output.find("Click '"), std::string::npos) << yes.output;

    vesk::test::MakeFirmwareFile(dir_, "upd/DataKEY_010100_fw.mot", 0xE0000, 0x1000, "01.01.00");
    vesk::test::MakeFirmwareFile(dir_, "upd/Slv_Lambda_010203_fw.mhx", 0xFF0000, 0x400, "01.02.03");
    const auto key = on_terminal(
        "y\n2\n", "--simulate " + Scenario(R"({"instruments": [{"code": 111, "serial": 20, "firmware": "01.00.00"}]})",
                                             "key.json"));
    for (const char* text : {"Behaviour Request: Select here what you want your DataKey to do",
                             "  2  Never update other gauges (whenever connected)", "Choice [0]: ",
                             "Behaviour Request: 2 (Never update other gauges (whenever connected))"})
        EXPECT_NE(key.output.find(text), std::string::npos) << text << "\n" << key.output;
}

TEST_F(UpdateCommand, TextSummary) {
    const auto r = Update("--yes --simulate " + Scenario(Net()));
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* line : {"Unit              Serial  Before    After     Expected  Booter          Verified\n",
                             "M Pell DL Logger  10      46.03.00  46.05.00  46.05.00  00.00           yes\n",
                             "1 Display Unit    71      01.00.00  01.05.10  01.05.10  01.02           yes\n",
                             "2 Display Unit    72      01.05.10  01.05.10  -         01.00 -> 01.02  yes\n",
                             "  M Pell DL Logger: language 46.05.00 written\n",
                             "Status: Do NOT unplug OR switch off your device during firmup procedure.\n",
                             "Every unit reports the version it was to get.\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << r.output;
}

// The backup the run takes first: where it went, in the summary and in the
// result; --no-backup takes none.
TEST_F(UpdateCommand, BackupOfTheMasterBeforeTheRun) {
    // A simulated instrument's backups are kept apart from the real ones.
    const std::string root = dir_.file("state") + "/vesk-firmup/simulated-backups/";
    const auto r = Update("--yes --simulate " + Scenario(Net()));
    ASSERT_EQ(r.status, 0) << r.output;
    const size_t at = r.output.find("Backup: " + root + "10-");
    ASSERT_NE(at, std::string::npos) << r.output;
    const std::string folder = r.output.substr(at + 8, r.output.find('\n', at) - at - 8);
    for (const char* file : {"config.bin", "sensors.bin", "ecu.bin", "finish-lines.bin"})
        EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/" + file)) << folder << "/" << file;
    EXPECT_EQ(std::filesystem::file_size(folder + "/config.bin"), 32768u);
    EXPECT_NE(r.output.find("Backup saved in " + folder + " Pell DL Logger - 10"), std::string::npos) << r.output;

    const auto j = Update("--yes --json --simulate " + Scenario(Net(), "json.json"));
    ASSERT_EQ(j.status, 0) << j.output;
    const json backup = Events(j.output).back()["backup"];
    EXPECT_EQ(backup["saved"], json({"config", "sensors", "ecu", "finish-lines"}));
    EXPECT_EQ(backup["failed"], json::array());
    EXPECT_EQ(std::string(backup["folder"]).rfind(root + "10-", 0), 0u) << backup;

    std::filesystem::remove_all(dir_.file("state"));
    const auto off = Update("--yes --no-backup --simulate " + Scenario(Net(), "off.json"));
    ASSERT_EQ(off.status, 0) << off.output;
    EXPECT_NE(off.output.find("Backup: none taken (--no-backup)"), std::string::npos) << off.output;
    EXPECT_FALSE(std::filesystem::exists(dir_.file("state"))) << "a backup was written";
    const auto off_json = Update("--yes --json --no-backup --simulate " + Scenario(Net(), "offj.json"));
    EXPECT_TRUE(Events(off_json.output).back()["backup"].is_null()) << off_json.output;
}

TEST_F(UpdateCommand, DataKeyBehaviourGivenOnTheCommandLine) {
    vesk::test::MakeFirmwareFile(dir_, "upd/DataKEY_010100_fw.mot", 0xE0000, 0x1000, "01.01.00");
    vesk::test::MakeFirmwareFile(dir_, "upd/Slv_Lambda_010203_fw.mhx", 0xFF0000, 0x400, "01.02.03");
    const auto r = Update("--yes --json --behaviour 1 --simulate " +
                          Scenario(R"({"instruments": [{"code": 111, "serial": 20, "firmware": "01.00.00"}]})"));
    EXPECT_EQ(r.status, 0) << r.output;
    const auto events = Events(r.output);
    int questions = 0;
    for (const json& e : events)
        if (e["event"] == "question") {
            ++questions;
            EXPECT_EQ(e, (json{{"event", "question"}, {"kind", "behaviour"}, {"answer", 1}}));
        }
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(Has(Texts(events, "message"), "Start loading other firmware Data Key - 20"));
    EXPECT_EQ(events.back()["units"][0]["after"], "01.01.00");
}

TEST_F(UpdateCommand, ExitStatuses) {
    struct Case {
        const char* name;
        std::string args;
        int status;
    } cases[] = {
        {"nothing connected", "--yes --simulate " + Scenario(R"({"instruments": []})", "none.json"), 3},
        {"two instruments",
         "--yes --simulate " + Scenario(R"({"instruments": [{"code": 19, "serial": 1, "firmware": "01.00.00"},
                                                           {"code": 19, "serial": 2, "firmware": "01.00.00"}]})",
                                        "two.json"),
         3},
        {"a behaviour out of range", "--yes --behaviour 3 --simulate " + Scenario(Net()), 2},
        {"unexpected argument", "--frobnicate", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Update(c.args).status, c.status);
    }
    // A held lock: the run stops before touching the instrument.
    dir_.mkdir("nolocks");
    ::chmod(dir_.file("nolocks").c_str(), 0777);
    const auto locked = RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("nolocks")) + " " + kCli +
                                " update --yes --simulate " + Scenario(Net(), "lock.json") + " --folder " +
                                Quote(dir_.file("upd")) + " < /dev/null");
    EXPECT_EQ(locked.status, 1) << locked.output;
    EXPECT_NE(locked.output.find("Error in USB locks"), std::string::npos) << locked.output;
    EXPECT_EQ(Trace("lock.json").find("CTRL 0x0F"), std::string::npos);
}

// Every write of a --json run, on a master that takes 100 ms for each block
// it is sent: "write" events whose counts rise from 0 to the total, at most
// one per 250 ms of the run's clock besides the last, so a write of S sent
// blocks has no more than S * 100 / 250 + 2 of them.
TEST_F(UpdateCommand, JsonWriteEventsRiseToTheirTotal) {
    const auto r = Update("--yes --json --simulate " + Scenario(Net(R"(, "bulk_out_ms": 100)")));
    ASSERT_EQ(r.status, 0) << r.output;
    struct Write {
        json unit, what, total;
        std::vector<uint32_t> done;
    };
    std::vector<Write> writes;
    for (const json& e : Events(r.output)) {
        if (e["event"] != "write") continue;
        ASSERT_EQ(e.size(), 5u) << e;
        if (e["done"] == 0) writes.push_back({e["unit"], e["what"], e["total"], {}});
        ASSERT_FALSE(writes.empty()) << "a write that does not start at 0: " << e;
        Write& w = writes.back();
        EXPECT_EQ(e["unit"], w.unit) << e;
        EXPECT_EQ(e["what"], w.what) << e;
        EXPECT_EQ(e["total"], w.total) << e;
        w.done.push_back(e["done"]);
    }
    struct Expected {
        int unit;
        const char* what;
        uint32_t total, sent;  // blocks, and those the file fills
    } expected[] = {
        {10, "firmware", 2048, 0x400 / 128},
        {10, "language", 1024, 0x400 / 256},
        {71, "firmware", 192, 0x400 / 256},
        {72, "booter", 64, 0x4000 / 256},
    };
    ASSERT_EQ(writes.size(), std::size(expected));
    for (size_t i = 0; i < writes.size(); ++i) {
        const Write& w = writes[i];
        const Expected& x = expected[i];
        SCOPED_TRACE(std::to_string(x.unit) + " " + x.what);
        EXPECT_EQ(w.unit, x.unit);
        EXPECT_EQ(w.what, x.what);
        EXPECT_EQ(w.total, x.total);
        EXPECT_TRUE(std::is_sorted(w.done.begin(), w.done.end()));
        EXPECT_EQ(std::adjacent_find(w.done.begin(), w.done.end()), w.done.end()) << "a count told twice";
        EXPECT_EQ(w.done.back(), x.total);
        EXPECT_GE(w.done.size(), 3u) << "the count rises on the way";
        EXPECT_LE(w.done.size(), x.sent * 100 / 250 + 2);
    }
}

// On a terminal the bar names the write, its unit and its speed.
TEST_F(UpdateCommand, TerminalBarShowsTheWrite) {
    const auto r = RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " script -qec " +
                           Quote(kCli + " update --yes --simulate " + Scenario(Net(R"(, "bulk_out_ms": 100)")) +
                                 " --folder " + Quote(dir_.file("upd"))) +
                           " /dev/null < /dev/null");
    EXPECT_NE(r.output.find("Every unit reports the version it was to get."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("firmware 10: 0/2048 blocks"), std::string::npos) << r.output;
    // 8 blocks of 128 bytes in 800 ms: 1280 bytes per second.
    EXPECT_TRUE(std::regex_search(r.output, std::regex("firmware 10: 2048/2048 blocks, 1\\.[23] kB/s"))) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("booter 72: 64/64 blocks, [0-9.]+ kB/s"))) << r.output;
}

// --choose of an older version for a master that runs the newest: the plan
// shows the downgrade, and the run makes it, as a pick in the window would.
TEST_F(UpdateCommand, ChooseAnOlderVersionThanTheNewest) {
    vesk::test::MakeFirmwareFile(dir_, "upd/Pell_460300_fw.mhx", 0xFE0000, 0x400, "46.03.00");
    vesk::test::MakeFirmwareFile(dir_, "upd/Pell_460300_lng.mhx", 0xFC0000, 0x400, "46.03.00");
    const std::string newest =
        R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.05.00", "net_rebuild_ms": 0}]})";
    const auto r = Update("--yes --json --advanced --choose 10=46.03.00 --simulate " + Scenario(newest));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto events = Events(r.output);
    const json& plan = events.front();
    ASSERT_EQ(plan["event"], "plan");
    EXPECT_EQ(plan["update_pending"], true);
    EXPECT_EQ(plan["rows"][0]["action"], "will get 46.03.00");
    const json& unit = events.back()["units"][0];
    EXPECT_EQ(unit["after"], "46.03.00");
    EXPECT_EQ(unit["verified"], true);
}

// An abort while the master is away: the terminal waits for it and reads it
// again, so the summary says where it is instead of "(not found)".
TEST_F(UpdateCommand, SummaryAfterAnAbortNamesTheMasterOnceItIsBack) {
    const auto r = Update("--yes --simulate " +
                          Scenario(Net(R"(, "faults": [{"kind": "slow_return", "ms": 30000, "when": "once"}])")));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("No USB device found any more"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Waiting for the master to come back..."), std::string::npos) << r.output;
    EXPECT_TRUE(std::regex_search(r.output, std::regex("M Pell DL Logger +10 +46\\.03\\.00 +in booter +46\\.05\\.00")))
        << r.output;
    EXPECT_EQ(r.output.find("(not found)"), std::string::npos) << r.output;
}

// A master with three slaves whose firmware and booters are due: every image
// of the result is verified.
TEST_F(UpdateCommand, FirmwareAndBootersOfThreeSlavesVerified) {
    vesk::test::MakeFirmwareFile(dir_, "upd/Slv_GPS_122334_fw.mot", 0xE0000, 0x400, "12.23.34");
    vesk::test::MakeFirmwareFile(dir_, "upd/_BOOTER/Booter_Dovo4eGPS0304_0415.mot", 0xFC000, 0x1000, "04.15");
    const std::string net = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
      "slaves": [
        {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.00", "tipoFamBoot": 2},
        {"number": 2, "code": 2006, "serial": 0, "firmware": "01.02.03", "booter": "00.01", "tipoFamBoot": 2},
        {"number": 3, "code": 2017, "serial": 74, "firmware": "11.22.33", "booter": "03.04", "tipoFamBoot": 2}]}]})";
    const auto r = Update("--yes --json --simulate " + Scenario(net));
    ASSERT_EQ(r.status, 0) << r.output;
    const json result = Events(r.output).back();
    ASSERT_EQ(result["event"], "result");
    EXPECT_EQ(result["outcome"], "finished");
    ASSERT_EQ(result["units"].size(), 4u) << result;
    const std::vector<std::pair<std::string, std::string>> after = {
        {"46.05.00", "00.00"}, {"01.05.10", "01.02"}, {"01.05.10", "01.02"}, {"12.23.34", "04.15"}};
    for (size_t i = 0; i < after.size(); ++i) {
        const json& u = result["units"][i];
        EXPECT_EQ(u["verified"], true) << u;
        EXPECT_EQ(u["images"][0]["after"], after[i].first) << u;
        EXPECT_EQ(u["images"][1]["after"], after[i].second) << u;
        for (const json& image : u["images"]) EXPECT_EQ(image["verified"], true) << image;
    }
}

// Every update --json ends with a result, also when it stops before its plan.
TEST_F(UpdateCommand, JsonEndsWithAResultWhenItStopsBeforeThePlan) {
    const struct {
        std::string args;
        int status;
        const char* outcome;
    } cases[] = {
        {"--yes --json --simulate " + Scenario(Net()) + " --folder " + Quote(dir_.file("no such folder")), 1, "stopped"},
        {"--yes --json --simulate " + Quote(dir_.file("no such scenario.json")), 1, "stopped"},
        {"--yes --json --behaviour 7", 2, "usage"},
    };
    for (const auto& c : cases) {
        const auto r = RunTool("(XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " " + kCli + " update " + c.args +
                               " 2>/dev/null)");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.output;
        const auto events = Events(r.output);
        ASSERT_EQ(events.size(), 1u) << c.args << "\n" << r.output;
        EXPECT_EQ(events.back()["event"], "result");
        EXPECT_EQ(events.back()["outcome"], c.outcome) << c.args;
    }
}

// The net takes longer to rebuild than the updater waits for it: its slaves
// were never seen, so no command may call them up to date or exit 0. Slave 71
// has a newer file waiting; the wait runs on the scenario's virtual clock.
TEST_F(UpdateCommand, AnUnreadNetIsNeverUpToDate) {
    std::string slow = Net();
    const std::string quick = R"("net_rebuild_ms": 0)";
    slow.replace(slow.find(quick), quick.size(), R"("net_rebuild_ms": 20000)");
    const std::string env = "XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" +
                            Quote(dir_.file("state")) + " " + kCli;
    const std::string folder = " --folder " + Quote(dir_.file("upd"));
    const std::string said = "the net of usb:";

    const auto list = RunTool(env + " list --simulate " + Scenario(slow, "list.json"));
    EXPECT_EQ(list.status, 1) << list.output;
    EXPECT_NE(list.output.find(said), std::string::npos) << list.output;

    const auto plan = RunTool(env + " plan --simulate " + Scenario(slow, "plan.json") + folder);
    EXPECT_EQ(plan.status, 1) << plan.output;
    EXPECT_NE(plan.output.find(said), std::string::npos) << plan.output;
    EXPECT_EQ(plan.output.find("up to date"), std::string::npos) << plan.output;

    const auto plan_json = RunTool("(" + env + " plan --json --simulate " + Scenario(slow, "plan_json.json") +
                                   folder + " 2>/dev/null)");
    EXPECT_EQ(plan_json.status, 1) << plan_json.output;
    const json p = json::parse(plan_json.output, nullptr, false);
    ASSERT_TRUE(p.is_object()) << plan_json.output;
    EXPECT_EQ(p.value("net", ""), "unread");

    const auto update = RunTool(env + " update --yes --simulate " + Scenario(slow) + folder);
    EXPECT_EQ(update.status, 1) << update.output;
    EXPECT_NE(update.output.find(said), std::string::npos) << update.output;
    // Nor does it pass on the window's instruction to press Execute.
    for (const char* never : {"up to date", "Every unit reports", "Click '"})
        EXPECT_EQ(update.output.find(never), std::string::npos) << never << "\n" << update.output;

    const auto update_json =
        RunTool("(" + env + " update --yes --json --simulate " + Scenario(slow, "json.json") + folder + " 2>/dev/null)");
    EXPECT_EQ(update_json.status, 1) << update_json.output;
    const auto events = Events(update_json.output);
    ASSERT_FALSE(events.empty()) << update_json.output;
    EXPECT_EQ(events.front().value("net", ""), "unread");
    EXPECT_EQ(events.back()["outcome"], "net_unread");
}

// Every update --json ends with its result event, and every plan --json with
// an object, also when the instrument's lock is another program's: at once
// with --no-wait, or on Ctrl-C while waiting for it.
TEST_F(UpdateCommand, JsonEndsWhenTheLockIsAnotherProgramsOrTheWaitIsStopped) {
    const std::string env = "XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" +
                            Quote(dir_.file("state")) + " ";
    const std::string cli = env + kCli;
    // The holder keeps lock 1 until its input ends.
    const std::string held = "mkfifo " + Quote(dir_.file("hold")) + "\n(echo lock; cat " + Quote(dir_.file("hold")) +
                             ") | " + env + VESK_LOCK_HOLDER + " 1 > " + Quote(dir_.file("held")) + " &\n" +
                             "exec 3> " + Quote(dir_.file("hold")) + "\nuntil [ -s " + Quote(dir_.file("held")) +
                             " ]; do sleep 0.05; done\n";
    const auto r = RunTool(
        "(" + held + "echo '--- update'\n" + cli + " update --yes --json --no-wait 2>/dev/null; echo status=$?\n" +
        "echo '--- plan'\n" + cli + " plan --json --no-wait 2>/dev/null; echo status=$?\n" +
        "echo '--- waiting'\n" + cli + " update --yes --json 2> " + Quote(dir_.file("waiting.err")) + " & p=$!\n" +
        "until grep -q 'waiting for' " + Quote(dir_.file("waiting.err")) + " 2>/dev/null; do sleep 0.05; done\n" +
        "kill -INT $p; wait $p; echo status=$?\nexec 3>&-\nwait) 2>&1");
    auto section = [&](const std::string& name) {
        const size_t start = r.output.find("--- " + name + "\n");
        if (start == std::string::npos) return std::string();
        const size_t from = start + name.size() + 5;
        const size_t end = r.output.find("--- ", from);
        return r.output.substr(from, end == std::string::npos ? std::string::npos : end - from);
    };
    const struct {
        const char* section;
        json last;
        const char* status;
    } cases[] = {
        {"update", {{"event", "result"}, {"outcome", "busy"}, {"units", json::array()}}, "status=1"},
        {"plan", {{"error", "busy"}, {"status", 1}}, "status=1"},
        {"waiting", {{"event", "result"}, {"outcome", "interrupted"}, {"units", json::array()}}, "status=130"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        const std::string out = section(c.section);
        EXPECT_NE(out.find(c.status), std::string::npos) << r.output;
        const size_t line_end = out.find('\n');
        ASSERT_NE(line_end, std::string::npos) << r.output;
        EXPECT_EQ(json::parse(out.substr(0, line_end), nullptr, false), c.last) << r.output;
    }
}

// An instrument that stops answering its memory reads after the plan is
// there, not gone: the run stops on it (exit 1, not "no instrument"), and
// the refresh after the run says it does not answer.
TEST_F(UpdateCommand, AnInstrumentThatStopsAnsweringIsNotCalledMissing) {
    for (int n : {3, 8}) {
        SCOPED_TRACE(n);
        const auto r = Update("--yes --json --simulate " +
                              Scenario(Net(R"(, "faults": [{"kind": "stall", "request": "memory", "when": "from", "n": )" +
                                           std::to_string(n) + "}]")));
        EXPECT_EQ(r.status, 1) << r.output;
        const auto events = Events(r.output);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["outcome"], "stopped") << r.output;
        const auto statuses = Texts(events, "status");
        EXPECT_TRUE(Has(statuses, "The instrument does not answer: unplug it and plug it in again")) << r.output;
        EXPECT_FALSE(Has(statuses, "No device connected")) << r.output;
        EXPECT_EQ(Trace().find("CTRL 0x0F"), std::string::npos) << "nothing may be written";
        // Nor is the backup it never reached "nothing to back up".
        EXPECT_EQ(events.back()["backup"]["skipped"], "the run ended before it") << r.output;
    }
}

// A lock that cannot be taken at all (a folder others may write in, a link
// in the lock file's place) is not another program's: the command says why
// and its JSON says "failed", not "busy".
TEST_F(UpdateCommand, ALockThatCannotBeTakenSaysWhyAndIsNotBusy) {
    const struct {
        const char* name;
        std::string prepare;  // shell lines that spoil the folder "bad locks"
        const char* why;
    } cases[] = {
        {"a folder others may write in", "chmod 0777 " + Quote(dir_.file("bad locks")),
         "refused: neither a private folder of this user nor a shared folder with the sticky bit (mode 777)"},
        {"a link in the lock file's place",
         "ln -s /etc/passwd " + Quote(dir_.file("bad locks")) +
             "/\"$(ls " + Quote(dir_.file("locks")) + " | head -1)\"",
         "refused: not a regular file of this user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir_.mkdir("locks");
        // A take in a good folder names the lock file a spoiled one holds.
        ASSERT_EQ(RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " " + kCli + " list --no-wait --json" +
                          " > /dev/null 2>&1; rm -rf " + Quote(dir_.file("bad locks")) + "; mkdir -m 700 " +
                          Quote(dir_.file("bad locks")) + "\n" + c.prepare)
                      .status,
                  0);
        for (const char* command : {"list", "update --yes"}) {
            // Standard error comes first, the JSON object is the last line.
            const auto r = RunTool("XDG_RUNTIME_DIR=" + Quote(dir_.file("bad locks")) + " XDG_STATE_HOME=" +
                                   Quote(dir_.file("state")) + " " + kCli + " " + command + " --json --folder " +
                                   Quote(dir_.file("upd")) + " < /dev/null");
            EXPECT_EQ(r.status, 1) << command << r.output;
            const size_t last = r.output.rfind('\n', r.output.size() - 2);
            const json j = json::parse(r.output.substr(last == std::string::npos ? 0 : last + 1), nullptr, false);
            EXPECT_TRUE(j == json({{"error", "failed"}, {"status", 1}}) ||
                        j == json({{"event", "result"}, {"outcome", "failed"}, {"units", json::array()}}))
                << command << r.output;
            EXPECT_NE(r.output.find("the instrument lock cannot be taken: Lock "), std::string::npos) << r.output;
            EXPECT_NE(r.output.find(c.why), std::string::npos) << r.output;
        }
    }
}

// Ctrl-C at "Proceed?" ends the question: nothing written, exit 130, and a
// line that says so.
TEST_F(UpdateCommand, CtrlCAtTheQuestionStopsBeforeAnyWrite) {
    const std::string in = Quote(dir_.file("in")), out = Quote(dir_.file("out"));
    const std::string command = "XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " " + kCli +
                                " update --simulate " + Scenario(Net()) + " --folder " + Quote(dir_.file("upd"));
    const auto r = RunTool("(mkfifo " + in + "\n(script -qefc " + Quote(command) + " /dev/null < " + in + " > " + out +
                           "; echo status=$? >> " + out + ") &\nexec 3> " + in + "\nuntil grep -q 'Proceed' " + out +
                           " 2>/dev/null; do sleep 0.05; done\nprintf '\\003' >&3\nwait\nexec 3>&-\ncat " + out + ")");
    EXPECT_NE(r.output.find("Stopped before anything was written."), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("status=130"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Not updated"), std::string::npos) << r.output;
    EXPECT_EQ(Trace().find("CTRL 0x0F"), std::string::npos) << "a booter request";
    EXPECT_EQ(Trace().find("BULK OUT"), std::string::npos) << "a write";
}

}  // namespace
