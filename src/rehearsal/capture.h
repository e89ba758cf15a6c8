#pragma once
// A copy of what is connected, as a simulator scenario: each instrument's
// identity (type, serial, versions, mode, booter family), its interface chip
// and product id, its firmware-update capability record, its net table and
// every slave's identity. The capture only reads: nothing is written to an
// instrument, nothing switches its mode.
#include <string>
#include <vector>

#include "sim/sim_scenario.h"

namespace vesk::rehearsal {

struct Capture {
    vesk::sim::Scenario scenario;  // the instruments, in the order they are listed
    // What the copy could not read and keeps at the simulator's defaults, and
    // where it stands in for what it could not represent; one line each.
    std::vector<std::wstring> notes;
};

// Reads every instrument on the USB carrier now installed. False with error
// set when the listing fails or an instrument (or its net) cannot be read:
// a copy without it would rehearse another update.
bool CaptureConnected(Capture& out, std::wstring& error);

// The scenario file of a capture, in the simulator's documented format.
std::string CaptureJson(const vesk::sim::Scenario& scenario);

// "01.05.07" as the version bytes 0x01 0x05 0x07 (parts 3, or 2 for "02.10");
// false when the text is not two decimal digits per part.
bool VersionTextBytes(const std::wstring& text, size_t parts, uint8_t* out);

}  // namespace vesk::rehearsal
