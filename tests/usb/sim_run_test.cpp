// vesk-sim run: a scenario's instruments served as USB devices to programs
// that know nothing of the simulator. lsusb (usbutils) and the terminal tool
// without --simulate must meet them through the system's libusb. Without
// umockdev's preload they find nothing and these tests fail.
#include <gtest/gtest.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "../support/sim_run.h"

namespace {

using json = nlohmann::json;
using vesk::test::SimRun;

const std::string kSim = VESK_SIM;
const std::string kCli = VESK_CLI;
const std::string kHold = VESK_HOLD;

// A master with two slaves on the port the bus gives it, and a memory key
// behind a hub. The list's net reads ask for seconds of waits, which the
// scale makes milliseconds on both sides.
const char* kBench = R"({"time_scale": 0.01, "instruments": [
  {"code": 50, "serial": 1234, "firmware": "43.04.01", "booter": "02.10", "tipoFamBoot": 5,
   "slaves": [
     {"number": 1, "code": 61, "serial": 501, "firmware": "12.03.04", "booter": "01.02", "tipoFamBoot": 5},
     {"number": 4, "code": 41, "serial": 504, "firmware": "15.10.02", "booter": "03.01", "tipoFamBoot": 2}]},
  {"code": 112, "serial": 777, "firmware": "01.00.00", "product_id": 8194, "chip": "D11",
   "path": "usb:2-3.4"}]})";

TEST(SimRun, LsusbListsTheServedInstrumentsWithTheirIds) {
    SimRun sim(kSim);
    const auto r = sim.RunQuietly(kBench, "lsusb -d 11cc:");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Bus 001 Device 002: ID 11cc:0101"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ID 11cc:2002"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("05e3:"), std::string::npos) << "the hub is not an instrument\n" << r.output;

    // The descriptors are the simulated chip's: 8-byte endpoints 0x81/0x01 on the key.
    const auto v = sim.RunQuietly(kBench, "lsusb -v -d 11cc:2002");
    ASSERT_EQ(v.status, 0) << v.output;
    for (const char* line : {"idVendor           0x11cc", "idProduct          0x2002",
                             "bEndpointAddress     0x81  EP 1 IN", "bEndpointAddress     0x01  EP 1 OUT",
                             "wMaxPacketSize     0x0008"})
        EXPECT_NE(v.output.find(line), std::string::npos) << line << "\n" << v.output;
}

TEST(SimRun, TheTerminalToolListsTheScenarioThroughLibusb) {
    SimRun sim(kSim);
    const auto r = sim.RunQuietly(kBench, kCli + " list --json");
    ASSERT_EQ(r.status, 0) << r.output;
    const json j = json::parse(r.output, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.output;
    ASSERT_EQ(j.size(), 2u) << r.output;
    EXPECT_EQ(j[0]["path"], "usb:1-1");
    EXPECT_EQ(j[0]["serial"], 1234);
    EXPECT_EQ(j[0]["firmware"], "43.04.01");
    ASSERT_EQ(j[0]["slaves"].size(), 2u) << r.output;
    EXPECT_EQ(j[0]["slaves"][0]["number"], 1);
    EXPECT_EQ(j[0]["slaves"][0]["serial"], 501);
    EXPECT_EQ(j[0]["slaves"][1]["number"], 4);
    EXPECT_EQ(j[0]["slaves"][1]["serial"], 504);
    EXPECT_EQ(j[1]["path"], "usb:2-3.4");
    EXPECT_EQ(j[1]["serial"], 777);
}

TEST(SimRun, ExitStatusAndUsage) {
    SimRun sim(kSim);
    struct Case {
        std::string args;  // after "vesk-sim run"
        int status;
        std::string output;
    };
    const std::string scenario = sim.dir().file("bench.json");
    sim.dir().write("bench.json", kBench);
    const Case cases[] = {
        {vesk::test::Quote(scenario) + " -- sh -c 'exit 7'", 7, ""},
        {vesk::test::Quote(scenario) + " -- sh -c 'kill -TERM $$'", 128 + 15, ""},
        {vesk::test::Quote(scenario) + " -- /nonexistent/program", 127, "vesk-sim run:"},
        {vesk::test::Quote(scenario) + " lsusb", 2, "usage: vesk-sim run SCENARIO -- COMMAND"},
        {vesk::test::Quote(scenario) + " --", 2, "usage: vesk-sim run SCENARIO -- COMMAND"},
        {vesk::test::Quote(sim.dir().file("missing.json")) + " -- true", 1, "missing.json: cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = vesk::test::RunTool(kSim + " run " + c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
    }
}

// An instrument another program holds (its interface claimed) is there but
// busy: list shows it as such, the commands that need it exit 4 with the
// reason, as for a refused permission; once the holder ends it is free.
TEST(SimRun, AnInstrumentAnotherProgramHoldsIsBusyNotAbsent) {
    SimRun sim(kSim);
    const std::string d = vesk::test::Quote(sim.dir().path());
    auto cli = [&](const std::string& name, const std::string& args) {
        return "echo '== " + name + "'; HOME=" + d + " " + kCli + " " + args + " 2>&1; echo \"== status $?\"; ";
    };
    const std::string script = "mkfifo " + d + "/ready || exit 1; " + kHold + " usb:1-1 >" + d +
                               "/ready & holder=$!; read line <" + d + "/ready; echo \"holder: $line\"; " +
                               cli("list json", "list --json") + cli("list", "list") + cli("plan", "plan") +
                               cli("update", "update --yes") + "kill $holder; wait $holder; " +
                               cli("after", "list --json");
    const auto r = sim.Run(R"({"time_scale": 0.01, "instruments": [
      {"code": 50, "serial": 1234, "firmware": "43.04.01", "booter": "02.10", "tipoFamBoot": 5}]})",
                           script);
    ASSERT_NE(r.output.find("holder: held"), std::string::npos) << r.output;
    // What one command printed, and its status.
    auto section = [&](const std::string& name, int* status) {
        const std::string head = "== " + name + "\n";
        const size_t from = r.output.find(head);
        if (from == std::string::npos) return std::string("(no " + name + ")");
        const size_t body = from + head.size();
        const size_t end = r.output.find("== status ", body);
        *status = std::atoi(r.output.c_str() + end + 10);
        return r.output.substr(body, end - body);
    };
    const std::string busy =
        "found a Vesk instrument at usb:1-1 but cannot open it: busy (another program holds it)";
    int status = -1;
    std::string out = section("list json", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(json::parse(out, nullptr, false), json::parse(R"([{"path": "usb:1-1", "access": "busy"}])")) << out;
    out = section("list", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("usb:1-1  found but cannot be opened: busy (another program holds it)"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("no instruments found"), std::string::npos) << out;
    for (const char* command : {"plan", "update"}) {
        out = section(command, &status);
        EXPECT_EQ(status, 4) << command << ":\n" << out;
        EXPECT_NE(out.find(std::string("vesk-firmup-cli ") + command + ": " + busy), std::string::npos)
            << command << ":\n" << out;
        // Busy is no matter of permissions: no udev advice.
        EXPECT_EQ(out.find("udev"), std::string::npos) << command << ":\n" << out;
        EXPECT_EQ(out.find("No gauge"), std::string::npos) << command << ":\n" << out;
    }
    out = section("after", &status);
    EXPECT_EQ(status, 0) << out;
    const json after = json::parse(out, nullptr, false);
    ASSERT_TRUE(after.is_array() && after.size() == 1) << out;
    EXPECT_EQ(after[0]["access"], "granted") << out;
    EXPECT_EQ(after[0]["serial"], 1234) << out;
}

}  // namespace
