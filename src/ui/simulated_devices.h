#pragma once
// A window watching a simulated bus: the bus's arrivals and removals reach
// hardware detection as udev's would, and a tick lets the bus's due
// re-enumerations happen (on a virtual clock, idle time passes with it).
#include <cstdint>
#include <functional>
#include <memory>

#include "hwdetect/hw_event_source.h"

namespace vesk {
class VirtualClock;
namespace sim {
class SimBus;
}
}  // namespace vesk

struct WindowDevices {
    std::shared_ptr<IHwEventSourceFactory> sources;  // null: udev and the mount table
    std::function<void()> bus_tick;                  // null: nothing to tick
};

// idle_clock, when given, advances by tick_ms at every tick.
WindowDevices SimulatedDevices(vesk::sim::SimBus& bus, vesk::VirtualClock* idle_clock, uint32_t tick_ms);
