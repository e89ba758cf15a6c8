#pragma once
// Test and demo firmware files: an S-record file that fills part of an
// address range with reproducible bytes and carries the version stamp.
#include <cstdint>
#include <string>

namespace vesk::sim {

struct FirmwareRequest {
    uint32_t base = 0;
    uint32_t size = 0;
    std::string version;
    int recordType = 3;     // 1, 2 or 3
    int fillPercent = 100;  // of every 1 KB block, from its start
    // false: no version stamp, as in a real firmware file (the build byte stays).
    bool stamp = true;
};

// Where the stamp goes: after the 16-byte header the loader writes at the
// start of an image, and clear of the build byte below.
inline constexpr uint32_t kStampImageOffset = 0x40;

// The identity reads of every booter family take the firmware's build byte
// from offset 0x20 of a 64 KiB page (0xFE0020, 0xFF0020, 0xE0020 ...): an
// image of version "MM.mm.bb" carries bb at each such address it covers,
// as a real image does, so a unit reports the build it was given.
inline constexpr uint32_t kBuildBytePageOffset = 0x20;

// The file's text; empty with a reason in error when the request cannot be made.
std::string MakeFirmwareText(const FirmwareRequest& request, std::string& error);

}  // namespace vesk::sim
