#include "device/key_writers.h"

#include <algorithm>

#include "common/str_conv.h"
#include "device/connection_strumento_base.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace key_writers {

namespace {

constexpr uint8_t kBooterErase = 1, kBooterWrite = 2, kBooterInizia = 16, kBooterWriteNew = 85;

bool AllErased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

bool Load(CMHX2Bin& image, const char* method, const std::wstring& path, bool booter) {
    if (image.LoadFileMhx(path, booter, -1) && image.GetBinBuffPtr()) return true;
    VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
    return false;
}

}  // namespace

bool ScriviFirmware(CConnectionStrumentoBase& conn, const char* m, uint32_t start, uint32_t end,
                    const std::wstring& path) {
    if (end <= start) return false;
    CMHX2Bin image(end - start, start);
    if (!Load(image, m, path, false)) return false;
    const uint8_t* bytes = image.GetBinBuffPtr();
    if (!conn.CtrlWrite_Booter(kBooterErase, 0, 0)) {
        VLOG_ERROR(m, "Error in control write booter BOOTER_ERASE address %u len %u", 0u, 0u);
        return false;
    }
    const uint32_t size = end - start;
    BlockCount count(conn.WriteProgress(), WriteKind::Firmware, size / kFwBlock);
    // From the top block down to the region start.
    for (uint32_t j = 1; j <= size / kFwBlock; ++j) {
        const uint32_t rel = size - j * kFwBlock;
        const uint32_t address = start + rel;
        const uint8_t* block = bytes + (address - start);
        if (AllErased(block, kFwBlock)) {
            count.Handled(0);
            continue;
        }
        if (!conn.CtrlWrite_Bulk(BULK_WRITE, 0, uint16_t(kFwBlock))) {
            VLOG_ERROR(m, "Error in control write bulk BULK_WRITE address %u len %u", 0u,
                       unsigned(kFwBlock));
            return false;
        }
        if (!conn.WriteBulkPipe(block, kFwBlock)) return false;
        if (!conn.CtrlWrite_Booter(kBooterWrite, address, uint16_t(kFwBlock / 2))) {
            VLOG_ERROR(m, "Error in control write booter BOOTER_WRITE address %u len %u", address,
                       unsigned(kFwBlock / 2));
            return false;
        }
        count.Handled(kFwBlock);
    }
    return true;
}

bool ScriviBooter(CConnectionStrumentoBase& conn, const char* m, uint32_t start, uint32_t end,
                  uint32_t image_size, const std::wstring& path) {
    if (end <= start || image_size < end - start) return false;
    CMHX2Bin image(image_size, start);
    if (!Load(image, m, path, true)) return false;
    const uint8_t* bytes = image.GetBinBuffPtr();
    if (!conn.CtrlWrite_Booter(kBooterInizia, 0, 0)) {
        VLOG_ERROR(m, "Error in control write booter BOOTER_INIZIA address %u len %u", 0u, 0u);
        return false;
    }
    BlockCount count(conn.WriteProgress(), WriteKind::Booter, (end - start) / kBooterBlock);
    for (uint32_t offset = start; offset < end && end - offset >= kBooterBlock;
         offset += kBooterBlock) {
        const uint8_t* block = bytes + (offset - start);
        uint8_t sum = 0;
        for (uint32_t i = 0; i < kBooterBlock; ++i) sum = uint8_t(sum + block[i]);
        if (AllErased(block, kBooterBlock)) {
            count.Handled(0);
            continue;
        }
        if (!conn.WriteMEM_MainBuff(uint16_t(kBooterBlock), block)) return false;
        const uint32_t address = (offset & 0xFFFF) | uint32_t(sum) << 16;
        if (!conn.CtrlWrite_Booter(kBooterWriteNew, address, 128)) {
            VLOG_ERROR(m, "Error in control write booter BOOTER_WRITENEW address %u len %u",
                       address, 128u);
            return false;
        }
        count.Handled(kBooterBlock);
    }
    return true;
}

}  // namespace key_writers
