#pragma once
// The update folder the run tests share: a Pell DL master's firmware and
// language 46.05.00, a Display Unit slave firmware 01.05.10 and its booter
// 01.02, with the _BOOTER and _ACCESSORI folders.
#include <cstdint>
#include <string>

#include "firmware_files.h"
#include "temp_dir.h"

namespace vesk::test {

struct UpdateFile {
    const char* name;  // within the main folder
    uint32_t base, size;
    const char* version;
};

inline constexpr UpdateFile kPellNetFiles[] = {
    {"Pell_460500_fw.mhx", 0xFE0000, 0x400, "46.05.00"},
    {"Pell_460500_lng.mhx", 0xFC0000, 0x400, "46.05.00"},
    {"Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10"},
    {"_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, 0x4000, "01.02"},
};

// The files in dir/main ("" for dir itself), stamped or, as real files, not.
inline void MakePellNetFolder(const TempDir& dir, const std::string& main = "", bool stamp = true) {
    const std::string prefix = main.empty() ? "" : main + "/";
    for (const UpdateFile& f : kPellNetFiles) MakeFirmwareFile(dir, prefix + f.name, f.base, f.size, f.version, stamp);
    dir.mkdir(prefix + "_ACCESSORI");
}

}  // namespace vesk::test
