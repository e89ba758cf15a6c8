#include "sim/sim_memory.h"

namespace vesk::sim {

void SimMemory::Read(uint32_t address, uint8_t* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = address + uint32_t(i);  // wraps at 4 GiB like the address bus
        auto it = pages_.find(a / kPageSize);
        out[i] = it == pages_.end() ? kErased : it->second[a % kPageSize];
    }
}

std::vector<uint8_t> SimMemory::Read(uint32_t address, size_t n) const {
    std::vector<uint8_t> v(n);
    Read(address, v.data(), n);
    return v;
}

void SimMemory::Write(uint32_t address, const uint8_t* in, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = address + uint32_t(i);
        auto it = pages_.find(a / kPageSize);
        if (it == pages_.end()) {
            it = pages_.emplace(a / kPageSize, std::array<uint8_t, kPageSize>{}).first;
            it->second.fill(kErased);
        }
        it->second[a % kPageSize] = in[i];
    }
}

void SimMemory::Fill(uint32_t address, uint8_t value, size_t n) {
    std::vector<uint8_t> v(n, value);
    Write(address, v);
}

std::vector<uint8_t> SimPattern(uint32_t seed, size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;  // a linear congruential step
        b = uint8_t(x >> 24);
    }
    return v;
}

}  // namespace vesk::sim
