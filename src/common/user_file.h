#pragma once
// Files the user hands the program (area files for `write`, settings,
// language and version files, scenarios, S-record files) are read through
// here: a regular file only (a link to one is fine), its size taken with
// fstat on the open file and refused above the caller's bound before a byte
// is read. A FIFO, a device or a folder is refused at once, never waited on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

// The bounds of the program's file kinds, in bytes.
inline constexpr size_t kMaxAreaFile = 1u << 20;        // `write` areas: the largest is 64 KiB
inline constexpr size_t kMaxXmlFile = 64u << 20;        // settings, language, version files
inline constexpr size_t kMaxScenarioFile = 16u << 20;   // simulator scenarios
inline constexpr size_t kMaxSRecordFile = 768u << 20;   // S-record text of the largest image (256 MB)

// True with the whole file in out; otherwise why names the file and the reason.
bool read_user_file(const std::string& path, size_t max_bytes, std::string& out, std::string& why);
bool read_user_file(const std::string& path, size_t max_bytes, std::vector<uint8_t>& out, std::string& why);

}  // namespace vesk
