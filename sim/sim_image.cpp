#include "sim/sim_image.h"

#include <algorithm>
#include <string>
#include <vector>

#include "sim/version_stamp.h"

namespace vesk::sim {

void ProgramBits(SimMemory& memory, uint32_t address, const uint8_t* data, size_t n) {
    std::vector<uint8_t> cur = memory.Read(address, n);
    for (size_t i = 0; i < n; ++i) cur[i] &= data[i];
    memory.Write(address, cur);
}

bool RegionVersion(const SimMemory& memory, uint32_t start, uint32_t end, int parts,
                   uint8_t out[3], const uint8_t* unstamped) {
    if (end <= start) return false;
    const std::vector<uint8_t> image = memory.Read(start, end - start);
    std::string text;
    if (!FindVersionStamp(image.data(), image.size(), text)) {
        // An erased region holds no image, whatever the scenario says.
        const bool written = std::any_of(image.begin(), image.end(),
                                         [](uint8_t b) { return b != SimMemory::kErased; });
        if (!unstamped || !written) return false;
        std::copy(unstamped, unstamped + parts, out);
        return true;
    }
    // Two hex digits per part, as the instrument prints its version bytes.
    if (text.size() != size_t(parts) * 3 - 1) return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (int i = 0; i < parts; ++i) {
        const int hi = digit(text[i * 3]), lo = digit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i + 1 < parts && text[i * 3 + 2] != '.')) return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

}  // namespace vesk::sim
