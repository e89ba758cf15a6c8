#pragma once
// The image writers the two key devices share: firmware in 4096-byte blocks
// through the bulk pipe, booter in 256-byte blocks through the main buffer.
#include <cstdint>
#include <string>

class CConnectionStrumentoBase;

namespace key_writers {

constexpr uint32_t kFwBlock = 4096;
constexpr uint32_t kBooterBlock = 256;

// Both report their blocks to the connection's write progress.
// Erases the firmware and writes the non-erased blocks of [start, end) from the top down.
bool ScriviFirmware(CConnectionStrumentoBase& conn, const char* method, uint32_t start, uint32_t end,
                    const std::wstring& path);
// Writes the non-erased 256-byte blocks of [start, end) upwards, each with its
// 8-bit sum; the image spans image_size bytes from start.
bool ScriviBooter(CConnectionStrumentoBase& conn, const char* method, uint32_t start, uint32_t end,
                  uint32_t image_size, const std::wstring& path);

}  // namespace key_writers
