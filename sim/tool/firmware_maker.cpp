#include "firmware_maker.h"

#include <algorithm>
#include <vector>

#include "srec_writer.h"
#include "version_stamp.h"

namespace vesk::sim {

namespace {
constexpr uint32_t kBlock = 1024;
constexpr uint32_t kBytesPerRecord = 32;
}  // namespace

std::string MakeFirmwareText(const FirmwareRequest& request, std::string& error) {
    const std::vector<uint8_t> stamp = MakeVersionStamp(request.version);
    if (stamp.empty()) {
        error = "the version must be 1 to 32 printable characters";
        return {};
    }
    if (request.recordType < 1 || request.recordType > 3) {
        error = "records must be S1, S2 or S3";
        return {};
    }
    if (request.fillPercent < 0 || request.fillPercent > 100) {
        error = "the fill must be 0 to 100 percent";
        return {};
    }
    const uint64_t limit = uint64_t{1} << (8 * SRecordAddressBytes(request.recordType));
    const uint64_t end = uint64_t{request.base} + request.size;
    if (request.size < kStampImageOffset + stamp.size() || end > limit) {
        error = "the range must hold the version stamp and fit the record type's addresses";
        return {};
    }

    // Reproducible bytes, different per version.
    uint32_t state = 2166136261u;
    for (const char c : request.version) state = (state ^ static_cast<uint8_t>(c)) * 16777619u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<uint8_t>(state);
    };

    std::string out;
    out.reserve(static_cast<size_t>(request.size / kBytesPerRecord * (request.fillPercent + 1) / 100 * 80 + 256));
    static const char kName[] = "vesk-sim";
    AppendSRecord(out, 0, 0, reinterpret_cast<const uint8_t*>(kName), sizeof(kName) - 1);
    const uint32_t fill = kBlock * static_cast<uint32_t>(request.fillPercent) / 100;
    const uint32_t stamp_end = kStampImageOffset + static_cast<uint32_t>(stamp.size());
    std::vector<uint8_t> data(kBlock);
    for (uint64_t block = 0; block < request.size; block += kBlock) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>({fill, kBlock, request.size - block}));
        if (block == 0) n = std::max(n, std::min<uint32_t>(stamp_end, request.size));
        for (uint32_t i = 0; i < n; ++i) data[i] = next();
        if (block == 0) std::copy(stamp.begin(), stamp.end(), data.begin() + kStampImageOffset);
        for (uint32_t i = 0; i < n; i += kBytesPerRecord) {
            const uint32_t len = std::min(kBytesPerRecord, n - i);
            AppendSRecord(out, request.recordType, static_cast<uint32_t>(request.base + block + i), data.data() + i, len);
        }
    }
    AppendSRecord(out, 10 - request.recordType, request.base, nullptr, 0);
    return out;
}

}  // namespace vesk::sim
