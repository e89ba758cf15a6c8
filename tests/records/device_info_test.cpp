#include "records/device_info.h"

#include <gtest/gtest.h>

#include <set>

#include "records/model_names.h"
#include "log/evt_log.h"

namespace {

struct SlaveSpec {
    uint8_t number;  // 1..31
    uint32_t code;
    uint8_t major = 0, minor = 0;
};

CDeviceInfo master(uint32_t code, std::initializer_list<SlaveSpec> slaves, uint8_t major = 0x43,
                   uint8_t minor = 0x04, uint8_t build = 1) {
    CDeviceInfo d;
    d.Ident().set_loggerCode(code);
    d.Ident().SetFirmwareVersion(major, minor, build);
    d.Ident().set_ID_logger(1234);
    for (const auto& s : slaves) {
        d.NetTable().SetEntry(s.number - 1, {static_cast<uint16_t>(s.code), 0, 0});
        d.SlaveIdent(s.number - 1).set_loggerCode(s.code);
        d.SlaveIdent(s.number - 1).SetFirmwareVersion(s.major, s.minor, 0);
    }
    return d;
}

TEST(CDeviceInfo, StartsEmpty) {
    CDeviceInfo d;
    EXPECT_EQ(d.GetGpsSlave(), 255);
    EXPECT_EQ(d.GetGpsSlaveIdent(), nullptr);
    EXPECT_EQ(d.GetSlaveUpdate(), 5);
    EXPECT_EQ(d.GetMaxSlaves(), 5);
    EXPECT_FALSE(d.GetOtherGaugeStorage());
    EXPECT_FALSE(d.HasGpsSlave());
}

TEST(CDeviceInfo, DisplayName) {
    CDeviceInfo d = master(61, {}, 0x01, 0x05, 0x07);
    d.BuildDisplayName({});
    EXPECT_EQ(d.GetDisplayName(), GetNomeStrumento(61) + L" ID 1234 [FW 1.05.07]");
}

TEST(CDeviceInfo, GpsChoice) {
    struct {
        const char* name;
        CDeviceInfo info;
        std::vector<uint8_t> problems;
        uint8_t gps;
        bool has_gps;
    } cases[] = {
        {"two receivers on a Quarv3", master(19, {{2, 2008}, {4, 2017}}), {}, 253, false},
        {"no receiver", master(19, {{2, 2002}}), {}, 255, false},
        {"one receiver", master(19, {{3, 2019}}), {}, 3, true},
        {"one receiver that is a problem slave", master(19, {{3, 2019}}), {2}, 6, false},
        {"a receiver at number 6 is never used", master(19, {{6, 2018}}), {}, 6, false},
        {"camera 71.06 on Pell DL", master(65, {{1, 2016, 0x71, 0x06}}), {}, 0, true},
        {"camera 71.05 is not newer", master(19, {{1, 2016, 0x71, 0x05}}), {}, 255, false},
        {"camera on another master", master(19, {{1, 2016, 0x71, 0x06}, {2, 2008}}), {}, 254, false},
        {"Pell master holds finish lines", master(64, {{1, 2008}, {2, 2017}}), {}, 0, true},
        {"camera on old Quarv4", master(61, {{1, 2016, 0x72, 0x00}}, 0x43, 0x04, 0), {}, 254, false},
        {"camera on new Quarv4", master(61, {{1, 2016, 0x72, 0x00}}, 0x43, 0x04, 1), {}, 0, true},
        {"entry 31 is not looked at", master(19, {{32, 2008}}), {}, 255, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.info.BuildDisplayName(c.problems);
        EXPECT_EQ(c.info.GetGpsSlave(), c.gps);
        EXPECT_EQ(c.info.HasGpsSlave(), c.has_gps);
    }
}

TEST(CDeviceInfo, CopiesAimAtTheirOwnGpsSlot) {
    CDeviceInfo d = master(19, {{3, 2019}});
    d.BuildDisplayName({});
    ASSERT_EQ(d.GetGpsSlaveIdent(), &d.SlaveIdent(2));
    CDeviceInfo copy(d);
    EXPECT_EQ(copy.GetGpsSlaveIdent(), &copy.SlaveIdent(2));
    CDeviceInfo assigned;
    assigned = d;
    EXPECT_EQ(assigned.GetGpsSlaveIdent(), &assigned.SlaveIdent(2));
    EXPECT_EQ(assigned.GetDisplayName(), d.GetDisplayName());
}

TEST(CDeviceInfo, TooManySlavesCountsEntriesUpTo30) {
    CDeviceInfo d = master(19, {{1, 2002}, {2, 2002}, {3, 2002}, {4, 2002}, {5, 2002}, {32, 2002}});
    EXPECT_FALSE(d.TroppiSlave());
    EXPECT_FALSE(d.TroppiSlave());  // asking again does not accumulate
    EXPECT_EQ(d.GetSlaveCount(), 5);
    d.NetTable().SetEntry(10, {2003, 0, 0});
    EXPECT_TRUE(d.TroppiSlave());
    d.SetMaxSlaves(6);
    EXPECT_FALSE(d.TroppiSlave());
}

TEST(CDeviceInfo, SlaveConflicts) {
    auto with_booters = [](std::initializer_list<std::pair<uint32_t, uint32_t>> booter_and_id) {
        CDeviceInfo d = master(19, {});
        uint8_t n = 0;
        for (const auto& [booter, id] : booter_and_id) {
            d.NetTable().SetEntry(n, {2002, 0, 0});
            d.SlaveIdent(n).set_verBooter(booter);
            d.SlaveIdent(n).set_ID_logger(id);
            ++n;
        }
        return d;
    };
    struct {
        const char* name;
        CDeviceInfo info;
        bool conflict;
        std::vector<uint8_t> list;
    } cases[] = {
        {"21.01 with 08.02", with_booters({{0x21010000, 1}, {0x08020000, 2}}), true, {0}},
        {"two 21.01", with_booters({{0x11000000, 1}, {0x21010000, 2}, {0x21010000, 4}}), true, {1}},
        {"21.01 alone", with_booters({{0x21010000, 1}, {0x11000000, 2}}), false, {}},
        // Old booter whose serial bits are all within another slave's serial.
        {"old booter, serial covered", with_booters({{0x03020000, 0x5}, {0x11000000, 0x7}}), true, {0}},
        {"old booter, serial not covered", with_booters({{0x03020000, 0x8}, {0x11000000, 0x7}}), false, {}},
        {"listed once", with_booters({{0x05020000, 0}, {0x1, 1}, {0x1, 2}}), true, {0}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out;
        EXPECT_EQ(c.info.CheckSlaveConflicts(out), c.conflict);
        EXPECT_EQ(out, c.list);
    }
}

TEST(CDeviceInfo, NonUpdatableSlaves) {
    CDeviceInfo d;
    std::vector<uint8_t> out{9};
    EXPECT_FALSE(d.GetNonUpdatableSlaves(out));
    EXPECT_TRUE(out.empty());
    d.AddNonUpdatableSlave(4);
    EXPECT_TRUE(d.GetNonUpdatableSlaves(out));
    EXPECT_EQ(out, std::vector<uint8_t>{4});
}

TEST(ModelNames, AllCodesNamedAndUnknownLogged) {
    std::set<uint32_t> known;
    for (uint32_t c = 0; c < 30000; ++c)
        if (IsKnownModelCode(c)) known.insert(c);
    EXPECT_EQ(known.size(), 155u);
    vesk::set_log_console(nullptr);
    vesk::LogCapture cap;
    for (uint32_t c : known) {
        if (c == 108) continue;
        EXPECT_FALSE(GetNomeStrumento(c).empty()) << c;
    }
    EXPECT_EQ(GetNomeStrumento(108), L"");
    EXPECT_TRUE(cap.lines().empty());
    for (uint32_t c : {0u, 8u, 300u, 2009u, 10234u}) {
        EXPECT_EQ(GetNomeStrumento(c), L"");
        EXPECT_TRUE(cap.contains("Unmanaged device code (" + std::to_string(c) + ") passed here!"));
    }
    vesk::set_log_console(stdout);
}

}  // namespace
