#pragma once
// A USB bus of simulated instruments in the program's time (the Clock seam).
// It carries transfers like the libusb backend does, so everything above the
// driver access layer runs unchanged on it. Not thread-safe: one caller at a
// time. Handles from Open must be released before the bus.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_instrument.h"
#include "sim/sim_trace.h"
#include "usb/backend/usb_backend.h"

namespace vesk::sim {

class SimBus : public vesk::usb::IUsbBackend {
public:
    // Times in the scenario (present_from_ms, present_until_ms) count from here.
    SimBus();
    ~SimBus() override;
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    // Plugs a new instrument in; without a path it takes port "usb:1-<n>".
    SimInstrument& Add(const SimInstrumentConfig& cfg);
    SimInstrument* Find(const std::string& path);
    std::vector<SimInstrument*> Instruments();

    // A person pulling the cable out and putting it back.
    bool Unplug(const std::string& path);
    bool Plug(const std::string& path);
    // On the bus now (re-enumerations that are due have happened).
    bool IsPresent(const std::string& path);
    // When an instrument that left the bus is due back; empty when it is
    // present or will not come back.
    std::optional<uint64_t> ReturnTime(const std::string& path) const;

    // Told of every arrival on and removal from the bus (plug, unplug, a mode
    // switch leaving and coming back), as a hot-plug monitor would be.
    using PresenceObserver =
        std::function<void(bool arrived, uint16_t product_id, const std::string& path)>;
    void set_presence_observer(PresenceObserver o) { observer_ = std::move(o); }
    // Lets due re-enumerations, plugs and pulls happen now (a monitor polls
    // the bus with it).
    void Tick() { Update(); }
    // When the bus changes next by itself (a return, a scheduled plug or pull);
    // empty when nothing is due.
    std::optional<uint64_t> NextChange() const;

    // Makes the listing itself fail, as a broken USB stack would.
    void set_listing_fails(bool fails) { listing_fails_ = fails; }

    SimTrace& trace() { return trace_; }
    const SimTrace& trace() const { return trace_; }

    bool ListDevices(std::vector<std::string>& paths, int* error) override;
    std::unique_ptr<vesk::usb::IUsbDevice> Open(const std::string& path, int* error) override;

private:
    class Handle;
    struct Slot {
        std::unique_ptr<SimInstrument> inst;
        bool plugged = true;   // the cable is in
        bool on_bus = true;    // enumerated (false while re-enumerating)
        std::optional<uint64_t> back_at;
        std::optional<bool> back_in_booter;
        uint16_t back_product_id = 0;
        uint32_t generation = 0;  // bumped whenever the device leaves the bus
        bool open = false;
        std::optional<uint64_t> plug_at, pull_at;  // a bench's schedule
    };

    Slot* FindSlot(const std::string& path);
    const Slot* FindSlot(const std::string& path) const;
    uint64_t Now() const;
    // A trace entry stamped with the time and device.
    TraceEntry Entry(const std::string& path, TraceKind kind) const;
    void Update();
    void BusEvent(const std::string& path, const std::string& what);
    void Presence(const Slot& s, bool arrived);
    void TakeOff(Slot& s);
    // After each transfer: mode switches and unplug faults take effect.
    void AfterTransfer(Slot& s);
    // The slot behind a handle, or null when that device is gone.
    Slot* Live(const std::string& path, uint32_t generation);

    int Descriptor(const std::string& path, uint32_t gen, uint8_t* buf, size_t cap, size_t* got);
    int ProductId(const std::string& path, uint32_t gen, uint16_t* product_id);
    int ControlOut(const std::string& path, uint32_t gen, uint8_t request, uint16_t value,
                   uint16_t index, const uint8_t* data, uint16_t length, uint32_t timeout_ms,
                   size_t* transferred);
    int Bulk(const std::string& path, uint32_t gen, bool in, uint8_t endpoint, uint8_t* data,
             uint32_t length, uint32_t timeout_ms, size_t* transferred);
    void Close(const std::string& path, uint32_t gen);

    std::vector<Slot> slots_;
    uint64_t origin_ms_ = 0;
    SimTrace trace_;
    bool listing_fails_ = false;
    PresenceObserver observer_;
};

}  // namespace vesk::sim
