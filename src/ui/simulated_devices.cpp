#include "ui/simulated_devices.h"

#include "common/clock.h"
#include "hwdetect/hw_queued_event_source.h"
#include "sim/sim_bus.h"

WindowDevices SimulatedDevices(vesk::sim::SimBus& bus, vesk::VirtualClock* idle_clock, uint32_t tick_ms) {
    auto queued = std::make_shared<CHwQueuedSourceFactory>();
    // Called on whichever thread uses the bus; the queue hands it to the window's.
    bus.set_presence_observer([queued](bool arrived, uint16_t pid, const std::string& path) {
        queued->PushUsbDevice(arrived, 0x11CC, pid, path);
    });
    WindowDevices d;
    d.sources = queued;
    d.bus_tick = [&bus, idle_clock, tick_ms] {
        if (idle_clock) idle_clock->advance_ms(tick_ms);
        bus.Tick();
    };
    return d;
}
