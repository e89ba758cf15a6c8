#pragma once
// What every simulated flash shares: programming that only clears bits, and
// the version a written region carries in its stamp (version_stamp.h).
#include <cstddef>
#include <cstdint>

#include "sim/sim_memory.h"

namespace vesk::sim {

// Programs n bytes at address: old AND new, as flash does.
void ProgramBits(SimMemory& memory, uint32_t address, const uint8_t* data, size_t n);

// The version of the first valid stamp in [start, end): "MM.mm.bb" (parts 3)
// or "MM.mm" (parts 2) as bytes; false when there is none of that form.
bool RegionVersion(const SimMemory& memory, uint32_t start, uint32_t end, int parts,
                   uint8_t out[3]);

}  // namespace vesk::sim
