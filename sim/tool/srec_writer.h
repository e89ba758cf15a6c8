#pragma once
// Writing Motorola S-record text: one record per call, with its byte count and
// checksum, upper-case hex and a "\n" line end.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::sim {

// Appends one record of type 0..9 to out; the address takes 2 bytes for types
// 0, 1, 5 and 9, 3 for 2 and 8, 4 for 3 and 7. At most 250 data bytes.
void AppendSRecord(std::string& out, int type, uint32_t address, const uint8_t* data, size_t n);
std::string SRecord(int type, uint32_t address, const uint8_t* data = nullptr, size_t n = 0);

// Address bytes of a record type.
int SRecordAddressBytes(int type);

}  // namespace vesk::sim
