#pragma once
// Sparse instrument memory over the whole 32-bit address space. Bytes never
// written read as 0xFF, like erased flash.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vesk::sim {

class SimMemory {
public:
    static constexpr uint32_t kPageSize = 4096;
    static constexpr uint8_t kErased = 0xFF;

    void Read(uint32_t address, uint8_t* out, size_t n) const;
    void Write(uint32_t address, const uint8_t* in, size_t n);
    std::vector<uint8_t> Read(uint32_t address, size_t n) const;
    void Write(uint32_t address, const std::vector<uint8_t>& bytes) {
        Write(address, bytes.data(), bytes.size());
    }
    void Fill(uint32_t address, uint8_t value, size_t n);

private:
    std::map<uint32_t, std::array<uint8_t, kPageSize>> pages_;
};

// Reproducible bytes for a scenario's memory blocks and logged data: the same
// seed and length give the same bytes.
std::vector<uint8_t> SimPattern(uint32_t seed, size_t n);

}  // namespace vesk::sim
