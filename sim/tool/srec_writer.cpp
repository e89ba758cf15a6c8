#include "srec_writer.h"

namespace vesk::sim {

int SRecordAddressBytes(int type) {
    switch (type) {
    case 2:
    case 8:
        return 3;
    case 3:
    case 7:
        return 4;
    default:
        return 2;
    }
}

void AppendSRecord(std::string& out, int type, uint32_t address, const uint8_t* data, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    const int address_bytes = SRecordAddressBytes(type);
    const auto put = [&](uint8_t b) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    };
    const auto count = static_cast<uint8_t>(address_bytes + n + 1);
    out.push_back('S');
    out.push_back(static_cast<char>('0' + type));
    put(count);
    uint8_t sum = count;
    for (int i = address_bytes - 1; i >= 0; --i) {
        const auto b = static_cast<uint8_t>(address >> (8 * i));
        put(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    for (size_t i = 0; i < n; ++i) {
        put(data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    put(static_cast<uint8_t>(~sum));
    out.push_back('\n');
}

std::string SRecord(int type, uint32_t address, const uint8_t* data, size_t n) {
    std::string out;
    AppendSRecord(out, type, address, data, n);
    return out;
}

}  // namespace vesk::sim
