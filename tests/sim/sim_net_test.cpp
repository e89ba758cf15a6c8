// The net keys of a scenario and what the simulated master makes of them.
#include <gtest/gtest.h>

#include <string>

#include "sim/sim_scenario.h"

namespace {

using vesk::sim::ParseScenario;
using vesk::sim::Scenario;

std::string One(const std::string& extra) {
    return R"({"instruments": [{"code": 1, "serial": 2, "firmware": "01.02.03")" + extra + "}]}";
}

TEST(SimNetScenario, ReadsSlavesAndTheCapabilityRecord) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(One(R"(, "infofwupd_flags": 3, "net_rebuild_ms": 9000, "slaves": [
        {"number": 31, "code": 4660, "serial": 7, "firmware": "12.03.04", "booter": "01.02",
         "in_booter": true, "tipoFamBoot": 22, "net_code": 5, "identity_changes": true,
         "unreadable": false}])"),
                              "n.json", &s, &error))
        << error;
    const auto& net = s.instruments[0].net;
    EXPECT_EQ(net.infofwupd_flags, 3);
    EXPECT_FALSE(net.infofwupd_fails);
    EXPECT_EQ(net.rebuild_ms, 9000u);
    ASSERT_EQ(net.slaves.size(), 1u);
    const auto& sl = net.slaves[0];
    EXPECT_EQ(sl.number, 31);
    EXPECT_EQ(sl.code, 4660u);
    EXPECT_EQ(sl.serial, 7u);
    EXPECT_EQ(sl.fw_major, 0x12);
    EXPECT_EQ(sl.fw_build, 0x04);
    EXPECT_EQ(sl.boot_minor, 0x02);
    EXPECT_TRUE(sl.in_booter);
    EXPECT_EQ(sl.tipoFamBoot, 22);
    EXPECT_EQ(sl.net_code, 5);
    EXPECT_TRUE(sl.identity_changes);

    ASSERT_TRUE(ParseScenario(One(R"(, "infofwupd_flags": "fails")"), "n.json", &s, &error));
    EXPECT_TRUE(s.instruments[0].net.infofwupd_fails);
    ASSERT_TRUE(ParseScenario(One(""), "n.json", &s, &error));
    EXPECT_FALSE(s.instruments[0].net.infofwupd_flags.has_value());
    EXPECT_TRUE(s.instruments[0].net.slaves.empty());
}

TEST(SimNetScenario, BadNetKeysAreNamed) {
    const std::string slave = R"("code": 1, "serial": 2, "firmware": "01.02.03")";
    struct Case {
        std::string extra;
        std::string message;
    } cases[] = {
        {R"(, "slaves": {})", "instruments[0].slaves: expected a list"},
        {R"(, "slaves": [3])", "instruments[0].slaves[0]: expected an object"},
        {R"(, "slaves": [{)" + slave + "}]", "instruments[0].slaves[0].number: missing"},
        {R"(, "slaves": [{"number": 0, )" + slave + "}]",
         "instruments[0].slaves[0].number: expected a whole number from 1 to 31"},
        {R"(, "slaves": [{"number": 32, )" + slave + "}]",
         "instruments[0].slaves[0].number: expected a whole number from 1 to 31"},
        {R"(, "slaves": [{"number": 1, "serial": 2, "firmware": "01.02.03"}])",
         "instruments[0].slaves[0].code: missing"},
        {R"(, "slaves": [{"number": 1, "code": 70000, "serial": 2, "firmware": "01.02.03"}])",
         "instruments[0].slaves[0].code: expected a whole number from 0 to 65535"},
        {R"(, "slaves": [{"number": 1, "colour": 1, )" + slave + "}]",
         "instruments[0].slaves[0].colour: unknown key"},
        {R"(, "slaves": [{"number": 1, "in_booter": "yes", )" + slave + "}]",
         "instruments[0].slaves[0].in_booter: expected true or false"},
        {R"(, "slaves": [{"number": 1, "firmware": "1.2", "code": 1, "serial": 2}])",
         "instruments[0].slaves[0].firmware: expected \"MM.mm.bb\""},
        {R"(, "slaves": [{"number": 2, )" + slave + R"(}, {"number": 2, )" + slave + "}]",
         "instruments[0].slaves[1].number: slave 2 is used twice"},
        {R"(, "infofwupd_flags": 256)", "instruments[0].infofwupd_flags: expected a whole number from 0 to 255"},
        {R"(, "infofwupd_flags": "none")",
         "instruments[0].infofwupd_flags: expected a whole number from 0 to 255 or \"fails\""},
        {R"(, "net_rebuild_ms": -5)", "instruments[0].net_rebuild_ms: expected a whole number"},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(One(c.extra), "n.json", &s, &error)) << c.extra;
        EXPECT_EQ(error.rfind("n.json: " + c.message, 0), 0u) << "got: " << error;
    }
}

}  // namespace
