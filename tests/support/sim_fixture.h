#pragma once
// A simulated bus installed as the USB carrier, on a virtual clock, with the
// log captured: the ground for protocol tests.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "records/device_info.h"
#include "log/evt_log.h"
#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_connection.h"

namespace vesk::test {

// One instrument's JSON with the required keys and the given extra fields.
inline std::string SimInstrumentJson(const std::string& extra = "",
                                     const std::string& serial = "1234") {
    return R"({"code": 300, "serial": )" + serial + R"(, "firmware": "43.04.01", "booter": "02.10")" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

inline std::string SimScenarioJson(const std::vector<std::string>& instruments) {
    std::string s = R"({"instruments": [)";
    for (size_t i = 0; i < instruments.size(); ++i) s += (i ? ", " : "") + instruments[i];
    return s + "]}";
}

class SimFixture : public ::testing::Test {
protected:
    void Load(const std::string& scenario_json) {
        conn_.reset();
        backend_.reset();
        std::string error;
        bus_ = vesk::sim::BusFromJson(scenario_json, &error);
        ASSERT_TRUE(bus_) << error;
        backend_.emplace(*bus_);
    }
    // A bus with one instrument described by extra JSON fields.
    void LoadOne(const std::string& extra = "") { Load(SimScenarioJson({SimInstrumentJson(extra)})); }

    static CDeviceInfo Info(const std::string& path = "usb:1-1") {
        CDeviceInfo info;
        info.SetDevicePath(std::wstring(path.begin(), path.end()));
        return info;
    }
    // Opens a connection to the instrument; fails the test when it cannot.
    CUSBConnection& Open(const std::string& path = "usb:1-1") {
        conn_ = std::make_unique<CUSBConnection>(256);
        EXPECT_GT(conn_->Apri(Info(path)), 0);
        bus_->trace().Clear();
        log_.clear();
        return *conn_;
    }
    vesk::sim::SimInstrument& Inst(const std::string& path = "usb:1-1") {
        return *bus_->Find(path);
    }
    const std::vector<vesk::sim::TraceEntry>& Trace() const { return bus_->trace().entries(); }
    // The transfers in the trace (control and bulk), in order.
    std::vector<vesk::sim::TraceEntry> Transfers() const {
        std::vector<vesk::sim::TraceEntry> out;
        for (const auto& e : Trace())
            if (e.kind == vesk::sim::TraceKind::Control || e.kind == vesk::sim::TraceKind::BulkIn ||
                e.kind == vesk::sim::TraceKind::BulkOut)
                out.push_back(e);
        return out;
    }
    std::vector<vesk::sim::TraceEntry> Memory() const { return bus_->trace().Controls(0x0E); }

    vesk::VirtualClock clock_;
    vesk::ScopedClock scoped_clock_{clock_};
    vesk::LogCapture log_;
    std::unique_ptr<vesk::sim::SimBus> bus_;
    std::optional<vesk::usb::ScopedBackend> backend_;
    std::unique_ptr<CUSBConnection> conn_;
};

}  // namespace vesk::test
