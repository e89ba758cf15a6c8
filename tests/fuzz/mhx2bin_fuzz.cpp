// libFuzzer target for the S-record loader, both modes.
// Input: byte 0 picks the call (0 LoadFileMhx, 1 GetBinBuffPtrAndLen,
// 2 GetBinBuffPtrAndLen_Generic); for LoadFileMhx bytes 1..4 give the image
// size and base and byte 5 the header flag and checksum offset. The rest is
// the file's content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/str_conv.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    g_path = "/tmp/vesk-fuzz-mhx2bin-" + std::to_string(::getpid()) + ".mhx";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const int call = data[0] % 3;
    const size_t skip = call == 0 ? 6 : 1;
    FILE* f = std::fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data + skip, 1, size - skip, f);
    std::fclose(f);
    const std::wstring path = vesk::from_utf8(g_path);

    if (call == 0) {
        const uint32_t image_size = 1 + (data[1] | data[2] << 8);
        const uint32_t base = static_cast<uint32_t>(data[3]) << 8 | static_cast<uint32_t>(data[4]) << 24;
        const bool without_header = data[5] & 1;
        const int32_t offset = (data[5] & 2) ? -1 : data[5] >> 2;
        CMHX2Bin bin(image_size, base);
        bin.LoadFileMhx(path, without_header, offset);
    } else {
        CMHX2Bin bin(path);
        uint16_t sum = 0;
        uint32_t start = 0, end = 0;
        const uint8_t* img = call == 1 ? bin.GetBinBuffPtrAndLen(sum, start, end)
                                       : bin.GetBinBuffPtrAndLen_Generic(sum, start, end);
        if (img && (end - start != bin.GetBinBuffLen() || start != bin.GetBinBuffBase())) __builtin_trap();
    }
    return 0;
}
