#pragma once
// Faults a scenario can ask of an instrument.
#include <cstdint>
#include <string>

namespace vesk::sim {

enum class FaultKind {
    DriverError,      // the transfer fails at the carrier (libusb I/O error)
    Stall,            // the instrument stalls the request
    Short,            // the transfer moves one byte less than asked
    IdentityChanges,  // MEM_READVERS gives another record on each read
    NeverReturns,     // after a mode switch or restart the instrument stays away
    UnplugAfter,      // unplugged after n transfers
    Timeout,          // the instrument never answers: the host waits its timeout
    Unplug,           // the cable comes out as the transfer starts
    SlowReturn,       // a mode switch or restart keeps it away for ms
    NewProductId,     // back from a mode switch or restart under product_id
};

enum class FaultWhen { Once, Always, From, At };

// Transfer targets besides the control request codes 0x00..0x0F.
enum : int {
    kTargetAny = -1,
    kTargetBulkIn = 0x100,
    kTargetBulkOut = 0x101,
    kTargetOpen = 0x102,
    kTargetDescriptor = 0x103,
};

struct SimFault {
    FaultKind kind = FaultKind::DriverError;
    int target = kTargetAny;  // request code or one of the targets above
    int command = -1;         // command byte (direction for 0x0C, wValue for 0x00..0x02); -1 any
    FaultWhen when = FaultWhen::Always;
    // From: the first matching transfer (or departure from the bus) that is hit,
    // 1-based; At: the only one hit. UnplugAfter: the number of transfers. IdentityChanges: how many
    // reads change (0 = all).
    uint32_t n = 1;
    uint32_t seen = 0;        // matching transfers or departures so far
    uint32_t ms = 0;          // SlowReturn: time away from the bus
    uint16_t product_id = 0;  // NewProductId: the id it comes back with
    // Stall, timeout, driver error of a control request: the instrument
    // carries the request out and only its answer is lost.
    bool acted = false;

    // Faults that act on one transfer, chosen by target, command and when.
    bool IsTransferFault() const {
        return kind == FaultKind::DriverError || kind == FaultKind::Stall ||
               kind == FaultKind::Short || kind == FaultKind::Timeout || kind == FaultKind::Unplug;
    }
    // Faults that act when the instrument leaves the bus (mode switch, restart),
    // chosen by when among those departures.
    bool IsReturnFault() const {
        return kind == FaultKind::NeverReturns || kind == FaultKind::SlowReturn ||
               kind == FaultKind::NewProductId;
    }
    // Counts a transfer that matches and says whether the fault applies to it.
    bool Hit(int transfer_target, int transfer_command);
    // Counts a departure from the bus and says whether the fault applies to it.
    bool HitReturn();
    // Whether a transfer or return fault has come to the transfer or
    // departure it strikes (for From, the first of them).
    bool Reached() const;

private:
    bool Due();
};

const char* FaultKindName(FaultKind k);

}  // namespace vesk::sim
