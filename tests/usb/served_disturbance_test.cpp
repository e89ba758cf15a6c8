// An update disturbed as a user's desktop disturbs it, on the real USB path
// (vesk-sim run): signals at several moments, the process killed in the
// middle of the master's write, and other commands started beside it. Every
// unit must end in its firmware, or be recovered by the next update.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "../support/sim_run.h"
#include "../support/update_bench.h"

namespace {

using nlohmann::json;
using vesk::test::JsonEvents;
using vesk::test::Quote;
using vesk::test::SimRun;

const std::string kSim = VESK_SIM;
const std::string kCli = VESK_CLI;

// PellNet at a fiftieth of its time; each block of the master's writes takes
// long enough (10 ms) for a signal to land inside the write.
std::string Served(int bulk_out_ms = 500) {
    return R"({"time_scale": 0.02, )" +
           vesk::test::PellNet(R"(, "reenumerate_ms": 1500, "bulk_out_ms": )" + std::to_string(bulk_out_ms))
               .substr(1);
}

// Moments of the run, as the first line of update --json that shows them.
const char* kBeforeWrite = "Do NOT unplug";
const char* kMasterWrite = R"("unit":10,"what":"firmware")";
const char* kSlaveWrite = R"("unit":71,"what":"firmware")";

class ServedDisturbance : public ::testing::Test {
protected:
    void SetUp() override { vesk::test::MakePellNetFolder(sim_.dir()); }

    // The tool with its test-only locks, state and update folder.
    std::string Cli(const std::string& args, const std::string& locks = "locks") const {
        return "XDG_RUNTIME_DIR=" + Quote(sim_.dir().file(locks)) + " XDG_STATE_HOME=" +
               Quote(sim_.dir().file("state")) + " " + Quote(kCli) + " " + args + " --folder " +
               Quote(sim_.dir().file("upd"));
    }
    // Starts update --json in the background (its events in update.json, its
    // standard error in update.err), waits for a line holding moment, sends
    // signal, and prints "status=N" once it has ended. The last case's events
    // go first: the background shell empties the file only when it gets to
    // it, and their moment would have the signal sent before the run began.
    std::string Disturbed(const std::string& moment, const std::string& signal) const {
        return "rm -f " + File("update.json") + "\n" + Cli("update --yes --json --no-backup") + " > " + File("update.json") + " 2> " + File("update.err") +
               " < /dev/null & p=$!\n" + WaitFor(moment, "update.json") + "kill -" + signal +
               " $p\nwait $p; echo status=$?\n";
    }
    std::string File(const std::string& name) const { return Quote(sim_.dir().file(name)); }
    // Up to a minute: on a loaded machine the served run takes long to reach
    // the moment, and a signal sent before the run would end the tool at once.
    std::string WaitFor(const std::string& text, const std::string& file) const {
        return "i=0; until grep -qF " + Quote(text) + " " + File(file) +
               " 2>/dev/null || [ $i -ge 6000 ]; do i=$((i+1)); sleep 0.01; done\n";
    }
    std::string Read(const std::string& name) const { return vesk::test::read_file(sim_.dir().file(name)); }

    SimRun sim_{kSim};
};

// The lines after "marker" up to the next marker line ("--- name").
std::string Section(const std::string& output, const std::string& name) {
    const std::string marker = "--- " + name + "\n";
    const size_t start = output.find(marker);
    if (start == std::string::npos) return {};
    const size_t from = start + marker.size();
    const size_t end = output.find("\n--- ", from);
    return output.substr(from, end == std::string::npos ? std::string::npos : end - from + 1);
}

int StatusIn(const std::string& output) {
    const size_t p = output.find("status=");
    return p == std::string::npos ? -1 : std::atoi(output.c_str() + p + 7);
}

// Every unit of list --json runs its firmware.
void ExpectAllInFirmware(const std::string& list_json) {
    const json j = json::parse(list_json, nullptr, false);
    ASSERT_TRUE(j.is_array() && j.size() == 1) << list_json;
    EXPECT_EQ(j[0]["in_booter"], false) << list_json;
    ASSERT_EQ(j[0]["slaves"].size(), 2u) << list_json;
    for (const json& s : j[0]["slaves"]) EXPECT_EQ(s["in_booter"], false) << s;
}

TEST_F(ServedDisturbance, SignalsStopAtASafePointAndLeaveEveryUnitInItsFirmware) {
    struct Case {
        const char* signal;
        const char* moment;
        int status;  // the update's exit status
    } cases[] = {
        {"INT", kBeforeWrite, 130}, {"INT", kMasterWrite, 130}, {"INT", kSlaveWrite, 130},
        {"TERM", kMasterWrite, 143}, {"TERM", kSlaveWrite, 143},
        // The terminal went away: the run goes on to its own, verified end.
        {"HUP", kMasterWrite, 0},    {"HUP", kSlaveWrite, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.signal) + " at " + c.moment);
        const auto r = sim_.Run(Served(), Disturbed(c.moment, c.signal) + "echo '--- list'\n" + Cli("list --json"));
        EXPECT_EQ(StatusIn(r.output), c.status) << r.output << Read("update.err");
        ExpectAllInFirmware(Section(r.output, "list"));
        const auto events = JsonEvents(Read("update.json"));
        ASSERT_FALSE(events.empty());
        const json& result = events.back();
        EXPECT_EQ(result["event"], "result");
        if (c.status == 0) {
            vesk::test::ExpectEveryUnitVerified(events);
            continue;
        }
        EXPECT_EQ(result["outcome"], "interrupted") << result;
        const std::string err = Read("update.err");
        EXPECT_NE(err.find("; press Ctrl-C twice more to stop at once"), std::string::npos) << err;
        EXPECT_NE(err.find("Stopping after "), std::string::npos) << err;
    }
}

TEST_F(ServedDisturbance, ThreeSignalsEndAtOnceNamingTheUnitLeftInItsBooter) {
    // Apart, so that none is merged into another while still pending.
    const std::string three = "kill -INT $p; sleep 0.2; kill -INT $p; sleep 0.2; kill -INT $p\n";
    const auto r = sim_.Run(Served(), Cli("update --yes --json --no-backup") + " > " + File("update.json") + " 2> " +
                                          File("update.err") + " < /dev/null & p=$!\n" +
                                          WaitFor(kMasterWrite, "update.json") + three + "wait $p; echo status=$?\n");
    EXPECT_EQ(StatusIn(r.output), 130) << r.output;
    const std::string err = Read("update.err");
    EXPECT_NE(err.find("Stopped at once: unit 10 is left in its booter"), std::string::npos) << err;
}

TEST_F(ServedDisturbance, KilledInTheMastersWriteTheNextUpdateRecoversEveryUnit) {
    const auto r = sim_.Run(Served(), Disturbed(kMasterWrite, "KILL") + "echo '--- list'\n" + Cli("list --json") +
                                          "\necho '--- again'\n" + Cli("update --yes --json --no-backup") +
                                          " < /dev/null 2>/dev/null\necho '--- after'\n" + Cli("list --json"));
    EXPECT_EQ(StatusIn(r.output), 137) << r.output;
    // The instrument is usable again and keeps its state: the master in its booter.
    const json list = json::parse(Section(r.output, "list"), nullptr, false);
    ASSERT_TRUE(list.is_array() && list.size() == 1) << r.output;
    EXPECT_EQ(list[0]["in_booter"], true) << list;
    const auto events = JsonEvents(Section(r.output, "again"));
    ASSERT_FALSE(events.empty()) << r.output;
    const json& result = events.back();
    EXPECT_EQ(result["outcome"], "finished") << result;
    for (const json& u : result["units"]) EXPECT_EQ(u["verified"], true) << u;
    ExpectAllInFirmware(Section(r.output, "after"));
}

TEST_F(ServedDisturbance, CommandsBesideAnUpdateWaitOrNameItsHolder) {
    const auto r = sim_.Run(
        Served(), Cli("update --yes --json --no-backup") + " > " + File("update.json") + " 2> " + File("update.err") +
                      " < /dev/null & p=$!\n" + WaitFor(kMasterWrite, "update.json") + "echo '--- list'\n" +
                      Cli("list --no-wait") + "; echo status=$?\necho '--- plan'\n" + Cli("plan --json") +
                      " 2>/dev/null; echo status=$?\necho '--- second'\n" + Cli("update --yes --json") +
                      " < /dev/null 2>/dev/null; echo status=$?\necho '--- first'\nwait $p; echo status=$?\n");
    const std::string list = Section(r.output, "list");
    EXPECT_EQ(StatusIn(list), 1) << r.output;
    EXPECT_NE(list.find("waiting for vesk-firmup-cli update (pid "), std::string::npos) << list;
    // The plan waited for the update: it sees every unit at its new version.
    const std::string plan = Section(r.output, "plan");
    EXPECT_EQ(StatusIn(plan), 0) << plan;
    EXPECT_NE(plan.find("Your system is up to date"), std::string::npos) << plan;
    EXPECT_EQ(StatusIn(Section(r.output, "second")), 0) << r.output;
    EXPECT_EQ(StatusIn(Section(r.output, "first")), 0) << r.output << Read("update.err");
    vesk::test::ExpectEveryUnitVerified(JsonEvents(Read("update.json")));
}


// A program that does not share the update's lock (another session's folder)
// meets the instrument held: it reports it busy and leaves the update whole,
// as a real device's claim does.
TEST_F(ServedDisturbance, AProgramOutsideTheLockMeetsTheInstrumentBusyAndTheUpdateGoesOn) {
    // Blocks slow enough that both lists fall inside the master's write.
    const auto r = sim_.Run(
        Served(15000), "mkdir -m 700 " + File("other-locks") + "\n" + Cli("update --yes --json --no-backup") + " > " +
                      File("update.json") + " 2> " + File("update.err") + " < /dev/null & p=$!\n" +
                      WaitFor(kMasterWrite, "update.json") + "echo '--- list'\n" + Cli("list --json", "other-locks") +
                      " 2>/dev/null; echo status=$?\necho '--- again'\n" + Cli("list --json", "other-locks") +
                      " 2>/dev/null; echo status=$?\necho '--- plan'\n" + Cli("plan --json", "other-locks") +
                      " 2>&1; echo status=$?\necho '--- first'\nwait $p; echo status=$?\n");
    for (const char* section : {"list", "again"}) {
        const std::string list = Section(r.output, section);
        const json j = json::parse(list.substr(0, list.find("status=")), nullptr, false);
        ASSERT_TRUE(j.is_array() && j.size() == 1) << r.output;
        EXPECT_EQ(j[0]["access"], "busy") << list;
    }
    // The plan is not "no gauge" either.
    const std::string plan = Section(r.output, "plan");
    EXPECT_NE(plan.find("The instrument is in use by another program"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("No gauge"), std::string::npos) << plan;
    EXPECT_EQ(StatusIn(Section(r.output, "first")), 0) << r.output << Read("update.err");
    vesk::test::ExpectEveryUnitVerified(JsonEvents(Read("update.json")));
}

// A closed terminal hangs up vesk-sim run as well as the update: the
// instrument does not go away with the terminal, so the update goes on to its
// verified end (the shell, like a terminal's other jobs, ignores it).
TEST_F(ServedDisturbance, AHangUpOfTheServingProcessLetsTheUpdateEnd) {
    const auto r = sim_.Run(Served(), Cli("update --yes --json --no-backup") + " > " + File("update.json") + " 2> " +
                                          File("update.err") + " < /dev/null & p=$!\n" +
                                          WaitFor(kMasterWrite, "update.json") +
                                          "trap '' HUP\nkill -HUP $p $PPID\nwait $p; echo status=$?\n");
    EXPECT_EQ(StatusIn(r.output), 0) << r.output << Read("update.err");
    vesk::test::ExpectEveryUnitVerified(JsonEvents(Read("update.json")));
}

}  // namespace
