#pragma once
// The two key devices as simulated instruments: the memory key (code 112) and
// the data key (code 111). Both take their firmware in 4096-byte blocks
// through the bulk pipe and their booter in 256-byte blocks with a sum; the
// data key also keeps other gauges' images (command 15, 2048-byte blocks)
// and answers the 128-byte memory reads of its dump.
#include <cstdint>
#include <map>
#include <vector>

namespace vesk::sim {

class SimInstrument;

struct SimKeyRegion {
    uint32_t start = 0, end = 0;  // [start, end)
};

// One other gauge's image as the data key stored it.
struct SimOtherImage {
    std::vector<uint8_t> bytes;  // whole blocks in the order received
    std::vector<uint16_t> blocks;  // C3 of every block, in order
    uint8_t behaviour = 0;       // byte 7 of the image
    uint32_t starts = 0;         // start commands (C2 = 0xFFFF) seen
};

struct SimKey {
    bool data_key = false;
    SimKeyRegion firmware, booter;
    bool firmware_touched = false, booter_touched = false;
    std::map<uint16_t, SimOtherImage> other;  // by save code
};

// Installs the key behaviour on instruments with code 111 or 112; false otherwise.
bool InstallKeyDevice(SimInstrument& inst);
// The key state of an instrument, or null.
SimKey* FindKeyDevice(const SimInstrument& inst);

}  // namespace vesk::sim
