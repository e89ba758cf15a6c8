#include "firmware_maker.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "srec_writer.h"
#include "version_stamp.h"

namespace vesk::sim {

namespace {
constexpr uint32_t kBlock = 1024;
constexpr uint32_t kBytesPerRecord = 32;

// bb of a version "MM.mm.bb" written in hex digits; none for other texts.
std::optional<uint8_t> BuildByte(const std::string& version) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (version.size() != 8 || version[2] != '.' || version[5] != '.') return std::nullopt;
    for (size_t i : {0, 1, 3, 4, 6, 7})
        if (!hex(version[i])) return std::nullopt;
    return static_cast<uint8_t>(std::stoul(version.substr(6, 2), nullptr, 16));
}
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
    const std::optional<uint8_t> build = BuildByte(request.version);
    std::vector<uint8_t> data(kBlock);
    for (uint64_t block = 0; block < request.size; block += kBlock) {
        const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kBlock, request.size - block));
        uint32_t n = std::min(fill, len);
        if (block == 0) n = std::max(n, std::min<uint32_t>(stamp_end, request.size));
        // The build byte's place in this block, if it has one.
        const uint64_t first = uint64_t{request.base} + block;
        const uint64_t page_at = (first & ~uint64_t{0xFFFF}) | kBuildBytePageOffset;
        const uint64_t build_at = page_at >= first ? page_at : page_at + 0x10000;
        const bool has_build = build && build_at < first + len;
        const uint32_t build_offset = static_cast<uint32_t>(build_at - first);
        for (uint32_t i = 0; i < n; ++i) data[i] = next();
        if (has_build && build_offset < n) data[build_offset] = *build;
        if (block == 0 && request.stamp) std::copy(stamp.begin(), stamp.end(), data.begin() + kStampImageOffset);
        for (uint32_t i = 0; i < n; i += kBytesPerRecord) {
            const uint32_t rec = std::min(kBytesPerRecord, n - i);
            AppendSRecord(out, request.recordType, static_cast<uint32_t>(request.base + block + i), data.data() + i, rec);
        }
        // In a gap the build byte is a record of its own.
        if (has_build && build_offset >= n)
            AppendSRecord(out, request.recordType, static_cast<uint32_t>(build_at), &*build, 1);
    }
    AppendSRecord(out, 10 - request.recordType, request.base, nullptr, 0);
    return out;
}

}  // namespace vesk::sim
