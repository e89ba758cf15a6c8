#pragma once
// Update files for tests, made by the simulator's firmware maker: S-record
// text with reproducible bytes and the version stamp.
#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"
#include "tool/firmware_maker.h"

namespace vesk::test {

// Writes name into dir: bytes over [base, base + size) carrying version
// (without stamp: as a real firmware file, which carries none).
inline std::wstring MakeFirmwareFile(const TempDir& dir, const std::string& name, uint32_t base,
                                     uint32_t size, const std::string& version = "01.02.03", bool stamp = true) {
    vesk::sim::FirmwareRequest rq;
    rq.base = base;
    rq.size = size;
    rq.version = version;
    rq.stamp = stamp;
    std::string error;
    const std::string text = vesk::sim::MakeFirmwareText(rq, error);
    EXPECT_FALSE(text.empty()) << error;
    dir.write(name, text);
    const std::string path = dir.file(name);
    return std::wstring(path.begin(), path.end());
}

}  // namespace vesk::test
