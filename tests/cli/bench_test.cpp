// vesk-firmup-cli update --each: a bench of simulated instruments plugged in
// and pulled out on the scenario's virtual clock, and its report.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "../../src/cli/bench_report.h"
#include "../support/temp_dir.h"
#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

// A Pell DL master of the update folder's family: firmware 46.05.00 and its
// language are due unless firmware says otherwise; extra: more keys.
std::string Master(const std::string& serial, const std::string& firmware, uint64_t from, uint64_t until,
                   const std::string& extra = "") {
    return R"({"code": 65, "serial": )" + serial + R"(, "firmware": ")" + firmware +
           R"(", "net_rebuild_ms": 0, "present_from_ms": )" + std::to_string(from) +
           R"(, "present_until_ms": )" + std::to_string(until) + extra + "}";
}

// Three instruments, one after another, each well inside its time on the
// bench (a run takes about 150 s of instrument time): serial 10 with the two
// slaves of the update tests, serial 0, and serial 4660 arriving in its booter.
std::string Three(const std::string& second_extra = "", const std::string& first_until = "600000") {
    const std::string slaves = R"(, "slaves": [
        {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"},
        {"number": 2, "code": 2006, "serial": 72, "firmware": "01.05.10", "booter": "01.00"}])";
    return R"({"instruments": [)" + Master("10", "46.03.00", 0, std::stoull(first_until), slaves) + ",\n" +
           Master("0", "46.03.01", 700000, 1300000, second_extra) + ",\n" +
           Master("4660", "46.04.02", 1400000, 2000000, R"(, "in_booter": true)") + "]}";
}

class Bench : public ::testing::Test {
protected:
    void SetUp() override { vesk::test::MakePellNetFolder(dir_); }
    std::string Env() const {
        return "XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" + Quote(dir_.file("state")) + " ";
    }
    std::string Scenario(const std::string& text, const std::string& name = "bench.json") {
        dir_.write(name, text);
        return Quote(dir_.file(name));
    }
    // update --each on the scenario, standard error left out.
    vesk::test::ToolResult Each(const std::string& scenario, const std::string& args) {
        return RunTool(Env() + kCli + " update --each --yes " + args + " --simulate " + Scenario(scenario) +
                       " --folder " + Quote(dir_.file("upd")) + " < /dev/null 2>/dev/null");
    }
    // The report's rows as CSV lines, its header first.
    std::vector<std::string> Lines(const std::string& name) const {
        std::vector<std::string> out;
        std::istringstream in(vesk::test::read_file(dir_.file(name)));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    std::vector<json> JsonLines(const std::string& name) const {
        return vesk::test::JsonEvents(vesk::test::read_file(dir_.file(name)));
    }
    std::string Report(const std::string& name) const { return Quote(dir_.file(name)); }

    vesk::test::TempDir dir_;
};

TEST_F(Bench, ThreeInstrumentsOneAfterAnother) {
    const auto r = Each(Three(), "--count 3 --report " + Report("bench.csv"));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto lines = Lines("bench.csv");
    ASSERT_EQ(lines.size(), 4u) << r.output;
    EXPECT_EQ(lines[0], "time,serial,model,before,after,slaves,images,verified,outcome,backup,log\r");
    struct Row {
        const char* starts;  // after the time
        const char* rest;    // verified and outcome
    } expected[] = {
        {",10,Pell DL Logger,46.03.00,46.05.00,71 01.00.00 -> 01.05.10; 72 01.05.10 -> 01.05.10,"
         "10 language 46.05.00; 72 booter 01.02,", "yes,updated,"},
        {",0,Pell DL Logger,46.03.01,46.05.00,,0 language 46.05.00,", "yes,updated,"},
        // Arrived in its booter: its firmware is written whatever it reported.
        {",4660,Pell DL Logger,", "yes,updated,"},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(lines[i + 1]);
        EXPECT_EQ(lines[i + 1].find(expected[i].starts), 20u);
        EXPECT_NE(lines[i + 1].find(expected[i].rest), std::string::npos);
    }
    for (const char* said : {"Unplug Pell DL Logger - 10 and plug in the next one",
                             "Unplug Pell DL Logger - 0 and plug in the next one",
                             "Unplug Pell DL Logger - 4660: that was the last one.",
                             "3 instrument(s): 3 updated, 0 with nothing to do, 0 failed"})
        EXPECT_NE(r.output.find(said), std::string::npos) << said << "\n" << r.output;
}

TEST_F(Bench, JsonEventsNameTheirInstrumentAndEndWithTheBench) {
    const auto r = Each(Three(), "--count 3 --json --report " + Report("bench.jsonl"));
    ASSERT_EQ(r.status, 0) << r.output;
    const auto events = vesk::test::JsonEvents(r.output);
    ASSERT_FALSE(events.empty());
    std::vector<uint32_t> results;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        ASSERT_TRUE(events[i].contains("instrument")) << events[i].dump();
        if (events[i]["event"] == "result") results.push_back(events[i]["instrument"]);
    }
    EXPECT_EQ(results, (std::vector<uint32_t>{10, 0, 4660}));
    const json& bench = events.back();
    EXPECT_EQ(bench["event"], "bench");
    EXPECT_EQ(bench["updated"], 3);
    const auto rows = JsonLines("bench.jsonl");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(bench["rows"], json(rows));
    EXPECT_EQ(rows[0]["slaves"][0], (json{{"serial", 71}, {"before", "01.00.00"}, {"after", "01.05.10"}}));
    EXPECT_EQ(rows[1]["serial"], 0);
    EXPECT_EQ(rows[1]["slaves"], json::array());
}

TEST_F(Bench, FailuresGetTheirRowAndTheBenchGoesOn) {
    struct Case {
        const char* name;
        std::string scenario;
        std::vector<const char*> outcomes;
    } cases[] = {
        {"the second never comes back from its booter switch",
         Three(R"(, "faults": [{"kind": "never_returns"}])"), {"updated", "failed", "updated"}},
        // Its firmware is being written 25 s into its run.
        {"the first pulled in the middle of its run", Three("", "30000"), {"failed", "updated", "updated"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = Each(c.scenario, "--count 3 --json --report " + Report("bench.jsonl"));
        EXPECT_EQ(r.status, 1) << r.output;
        const auto rows = JsonLines("bench.jsonl");
        ASSERT_EQ(rows.size(), 3u) << r.output;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(rows[i]["outcome"], c.outcomes[i]) << i;
            EXPECT_EQ(rows[i]["verified"], std::string(c.outcomes[i]) == "updated") << i;
        }
        EXPECT_EQ(vesk::test::JsonEvents(r.output).back()["failed"], 1);
        ::unlink(dir_.file("bench.jsonl").c_str());
    }
}

// Serial 10 is pulled in the middle of its run and serial 0 plugged in
// while the run waits for 10 to come back: 0 is the next instrument, never
// taken for 10 come back.
TEST_F(Bench, AnotherPluggedWhileThePulledOneIsAwaitedIsTheNext) {
    const std::string slaves = R"(, "slaves": [
        {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"}])";
    const std::string scenario = R"({"instruments": [)" + Master("10", "46.03.00", 0, 30000, slaves) + ",\n" +
                                 Master("0", "46.03.01", 35000, 900000) + "]}";
    const auto r = Each(scenario, "--count 2 --report " + Report("bench.csv"));
    EXPECT_EQ(r.status, 1) << r.output;
    const auto lines = Lines("bench.csv");
    ASSERT_EQ(lines.size(), 3u) << r.output;
    EXPECT_NE(lines[1].find(",10,Pell DL Logger,46.03.00,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(",no,failed,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",0,Pell DL Logger,46.03.01,46.05.00,"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(",yes,updated,"), std::string::npos) << lines[2];
}

TEST_F(Bench, TwoAtOnceWaitForOneToGo) {
    // Serial 0 is pulled after 100 s; serial 10 is then updated alone.
    const std::string both = R"({"instruments": [)" + Master("10", "46.03.00", 0, 600000) + "," +
                             Master("0", "46.03.01", 0, 100000) + "]}";
    const auto r = Each(both, "--count 1 --report " + Report("bench.csv"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("2 gauges are connected to USB ports. Only one can be connected."), std::string::npos)
        << r.output;
    const auto lines = Lines("bench.csv");
    ASSERT_EQ(lines.size(), 2u) << r.output;
    EXPECT_NE(lines[1].find(",10,Pell DL Logger,46.03.00,46.05.00,"), std::string::npos) << lines[1];
}

TEST_F(Bench, NothingToWriteIsARowOfItsOwn) {
    const std::string current = R"({"instruments": [)" + Master("10", "46.05.00", 0, 600000) + "]}";
    const auto r = Each(current, "--count 1 --report " + Report("bench.csv"));
    EXPECT_EQ(r.status, 0) << r.output;
    const auto lines = Lines("bench.csv");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(",10,Pell DL Logger,46.05.00,46.05.00,,,yes,nothing to do,,"), std::string::npos)
        << lines[1];
}

// Ctrl-C while the bench waits for the next instrument: it ends at once with
// what it did.
TEST_F(Bench, InterruptBetweenInstruments) {
    const std::string one = R"({"instruments": [)" + Master("10", "46.03.00", 0, 600000) + "]}";
    const std::string out = Quote(dir_.file("out")), err = Quote(dir_.file("err"));
    const auto r = RunTool(Env() + kCli + " update --each --yes --count 2 --report " + Report("bench.csv") +
                           " --simulate " + Scenario(one) + " --folder " + Quote(dir_.file("upd")) + " > " + out +
                           " 2> " + err + " < /dev/null & p=$!\n" +
                           "i=0; until grep -qF 'Waiting for an instrument' " + out +
                           " || [ $i -ge 6000 ]; do i=$((i+1)); sleep 0.01; done\n"
                           "kill -INT $p; wait $p; echo status=$?");
    EXPECT_NE(r.output.find("status=130"), std::string::npos) << r.output;
    const std::string said = vesk::test::read_file(dir_.file("out"));
    EXPECT_NE(said.find("1 instrument(s): 1 updated, 0 with nothing to do, 0 failed; stopped on request"),
              std::string::npos)
        << said;
    EXPECT_NE(vesk::test::read_file(dir_.file("err")).find("Stopping: no instrument is being written"),
              std::string::npos);
    EXPECT_EQ(Lines("bench.csv").size(), 2u);
}

// A report is made new: a file, or a link to one, already there is left as it was.
TEST_F(Bench, ReportNeverWritesOverAnything) {
    dir_.write("mine.csv", "the user's own\n");
    ASSERT_EQ(::symlink(dir_.file("mine.csv").c_str(), dir_.file("link.csv").c_str()), 0);
    ASSERT_EQ(::symlink(dir_.file("nowhere.csv").c_str(), dir_.file("dangling.csv").c_str()), 0);
    const std::string one = R"({"instruments": [)" + Master("10", "46.03.00", 0, 600000) + "]}";
    for (const char* name : {"mine.csv", "link.csv", "dangling.csv"}) {
        SCOPED_TRACE(name);
        const auto r = RunTool(Env() + kCli + " update --each --yes --count 1 --report " + Report(name) +
                               " --simulate " + Scenario(one) + " --folder " + Quote(dir_.file("upd")) +
                               " < /dev/null");
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("exists already"), std::string::npos) << r.output;
    }
    EXPECT_EQ(vesk::test::read_file(dir_.file("mine.csv")), "the user's own\n");
    struct stat st {};
    EXPECT_NE(::lstat(dir_.file("nowhere.csv").c_str(), &st), 0);
}

// A row that cannot be written whole (the file size limit, a full disk)
// leaves nothing of itself: the report keeps only whole rows.
TEST(BenchReportFile, ARowNotWrittenWholeLeavesNothingOfItself) {
    vesk::test::TempDir dir;
    const std::string path = dir.file("bench.csv");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vesk::cli::BenchReport report;
        std::string why;
        vesk::cli::BenchRow row;
        row.known = true;
        row.serial = 10;
        row.outcome = "updated";
        if (!report.Create(path, why) || !report.Append(row, why)) ::_exit(2);
        ::signal(SIGXFSZ, SIG_IGN);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) ::_exit(2);
        const rlimit limit{rlim_t(st.st_size) + 40, rlim_t(st.st_size) + 40};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
        row.serial = 0;
        row.log = std::string(200, 'x');  // only 40 bytes of it fit
        ::_exit(report.Append(row, why) ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the second row was to fail";
    const std::string text = vesk::test::read_file(path);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;
    EXPECT_EQ(text.find("xxxx"), std::string::npos) << text;
    EXPECT_NE(text.find(",10,"), std::string::npos) << text;
}

TEST(BenchReportCsv, FieldsAreQuotedWhereNeeded) {
    const std::pair<std::string, std::string> cases[] = {
        {"Pell DL Logger", "Pell DL Logger"},
        {"", ""},
        {"Logger, rev 2", "\"Logger, rev 2\""},
        {"the \"big\" one", "\"the \"\"big\"\" one\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"esc\x1b[31m", "\"esc\x1b[31m\""},
        {"tab\there", "\"tab\there\""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(vesk::cli::CsvField(in), out) << in;
    vesk::cli::BenchRow row;
    row.model = "A, \"B\"";
    row.known = true;
    row.serial = 0;
    row.outcome = "failed";
    EXPECT_EQ(vesk::cli::CsvLine(row), ",0,\"A, \"\"B\"\"\",,,,,no,failed,,\r\n");
}

}  // namespace
