#pragma once
// How a firmware image carries its version for the simulated instruments.
//
// The stamp is a run of bytes that may sit anywhere in an image:
//   8 bytes  magic "$VSKVER$"
//   1 byte   length L of the version text (1..32)
//   L bytes  the version text, printable ASCII (for example "01.05.07")
//   1 byte   check: length, text and check add up to 0 modulo 256
// A simulator finds it by scanning the image it was given; a magic whose
// length or check byte is wrong is passed over.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::sim {

inline constexpr char kVersionStampMagic[] = "$VSKVER$";
inline constexpr size_t kVersionStampMagicSize = sizeof(kVersionStampMagic) - 1;
inline constexpr size_t kVersionStampMaxText = 32;

// The stamp's bytes; empty when the text is empty, too long or not printable ASCII.
std::vector<uint8_t> MakeVersionStamp(const std::string& version);

// The text of the first valid stamp in the image; false when there is none.
// offset, when given, receives the stamp's position.
bool FindVersionStamp(const uint8_t* image, size_t size, std::string& version,
                      size_t* offset = nullptr);

}  // namespace vesk::sim
