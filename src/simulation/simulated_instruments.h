#pragma once
// The instruments of a simulator scenario in place of the real USB, for any
// program of the updater (--simulate FILE, or VESK_SIMULATE): while this
// object lives, the scenario's bus is the USB carrier and the scenario's clock
// (virtual, or real time scaled by its time_scale) the process clock.
#include <memory>
#include <optional>
#include <string>

#include "common/clock.h"
#include "usb/backend/usb_backend.h"

namespace vesk::sim {
class SimBus;
}

namespace vesk {

// The scenario file named by VESK_SIMULATE; empty when it is not set.
std::string ScenarioFromEnvironment();

class CSimulatedInstruments {
public:
    // Null with error set when the scenario cannot be loaded.
    static std::unique_ptr<CSimulatedInstruments> Load(const std::string& scenario_file, std::string& error);
    ~CSimulatedInstruments();
    CSimulatedInstruments(const CSimulatedInstruments&) = delete;
    CSimulatedInstruments& operator=(const CSimulatedInstruments&) = delete;

    vesk::sim::SimBus& Bus() { return *bus_; }
    // The scenario's clock when it is virtual (time_scale 0), else null.
    VirtualClock* Virtual() { return dynamic_cast<VirtualClock*>(clock_.get()); }

private:
    CSimulatedInstruments() = default;

    std::unique_ptr<IClock> clock_;
    std::optional<ScopedClock> scoped_clock_;
    std::unique_ptr<vesk::sim::SimBus> bus_;
    std::optional<vesk::usb::ScopedBackend> backend_;
};

}  // namespace vesk
