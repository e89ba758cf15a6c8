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

// The checksum of name's first data record off by one: the file no longer loads.
inline void BreakFirstRecord(const TempDir& dir, const std::string& name) {
    std::string t = read_file(dir.file(name));
    const size_t line = t.find('\n') + 1;
    const size_t end = t.find('\n', line);
    ASSERT_NE(end, std::string::npos) << name;
    char& digit = t[end - 1 - (t[end - 1] == '\r')];
    digit = digit == '0' ? '1' : '0';
    dir.write(name, t);
}

}  // namespace vesk::test
