#pragma once
// What every simulated flash shares: programming that only clears bits, and
// the version a written region carries in its stamp (version_stamp.h).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/sim_memory.h"

namespace vesk::sim {

// Programs n bytes at address: old AND new, as flash does.
void ProgramBits(SimMemory& memory, uint32_t address, const uint8_t* data, size_t n);

// The version of the first valid stamp in [start, end): "MM.mm.bb" (parts 3)
// or "MM.mm" (parts 2) as bytes. Without such a stamp, a region that holds a
// byte other than erased takes unstamped (parts bytes) when it is given.
// False when neither gives a version.
bool RegionVersion(const SimMemory& memory, uint32_t start, uint32_t end, int parts,
                   uint8_t out[3], const uint8_t* unstamped = nullptr);

// The unstamped version of a configuration as RegionVersion takes it; null for none.
template <size_t N>
const uint8_t* Unstamped(const std::optional<std::array<uint8_t, N>>& v) {
    return v ? v->data() : nullptr;
}

}  // namespace vesk::sim
