#include "device/connection_data_key.h"

#include <memory>
#include <new>

#include "common/str_conv.h"
#include "device/key_writers.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

CConnectionDataKey::CConnectionDataKey(const std::wstring& app_folder)
    : CConnectionStrumentoBase(app_folder) {
    FirmwareFile() = {0xE0000, 0xF8000, 0, L"DataKEY_*_fw.mot"};
    BooterFile() = {0xFC000, 0x100000, 0, L"Booter_Keys_*.mot"};
    const UpdateFileDescriptor none;
    OtherFirmware() = {
        {0, {0xE0000, 0xFC000, 1585, L"Dovo4_*_fw.mot"}},
        {1, {0xE0000, 0xFC000, 1586, L"Slv_Dovo4_Karvo_*_fw.mot"}},
        {2, {0xE0000, 0xF8000, 1589, L"Slv_GPS_*_fw.mot"}},
        {3, {0xFF0000, 0xFFC000, 549, L"Slv_Lambda_*_fw.mhx"}},
        {4, {0xE0000, 0xFC000, 1600, L"Slv_Dovo4_Exp_*_fw.mot"}},
    };
    OtherLanguage() = {{0, {0xE0000, 0xFC000, 1588, L"Dovo4_*_lng.mot"}},
                       {1, none}, {2, none}, {3, none}, {4, none}};
    OtherBooter() = {{0, {0xFC000, 0x100000, 1301, L"Booter_Dovo4eGPS0304_*.mot"}},
                     {1, none}, {2, none}, {3, none}, {4, none}};
}

bool CConnectionDataKey::LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) {
    static constexpr NetReadStyle kStyle{"CConnectionDataKey::LeggiNetTable", kNetRebuildLeadMs,
                                         kNetRebuildMs, kNetRereadMs, kSlaveRereadMs, false};
    return CConnectionStrumentoBase::LeggiNetTable(kStyle, rebuild, fail_on_problem_slaves);
}

bool CConnectionDataKey::AggiornaFwFile(const std::wstring& path) {
    const UpdateFileDescriptor& d = FirmwareFile();
    return key_writers::ScriviFirmware(*this, "CConnectionDataKey::AggiornaFwFile", d.start, d.end,
                                       path);
}

bool CConnectionDataKey::AggiornaBooterFile(const std::wstring& path) {
    return key_writers::ScriviBooter(*this, "CConnectionDataKey::AggiornaBooterFile", kBooterStart,
                                     kBooterEnd, kBooterImage, path);
}

bool CConnectionDataKey::LeggiTraguardiGPS() {
    return traguardi_.LeggiDaSlave(*this, "CConnectionDataKey::LeggiTraguardiGPS");
}

bool CConnectionDataKey::ScriviTraguardiGPS() {
    return traguardi_.ScriviSuSlave(*this, "CConnectionDataKey::ScriviTraguardiGPS");
}

bool CConnectionDataKey::CancellaTraguardiGPS() {
    return traguardi_.CancellaSuSlave(*this, "CConnectionDataKey::CancellaTraguardiGPS");
}

void CConnectionDataKey::PreparaBufferOther(int, uint8_t* image, uint32_t size, uint32_t value) {
    if (image && size > kBehaviourByte) image[kBehaviourByte] = uint8_t(value);
}

bool CConnectionDataKey::DumpStrumento(const std::wstring& path) {
    const char* m = "CConnectionDataKey::DumpStrumento";
    constexpr uint16_t kChunk = 128;
    std::unique_ptr<uint8_t[]> dump(new (std::nothrow) uint8_t[kDumpSize]());
    if (!dump) {
        VLOG_ERROR(m, "Error allocating memory");
        return false;
    }
    // Each range: first device address, last address (inclusive), flag bits, dump offset.
    struct Range {
        uint32_t first, last, flag, offset;
    };
    const Range ranges[] = {{0xE0000, 0xFFFFF, 0, 0},
                            {0xF000, 0xFFFF, 0, 0},
                            {0, 0x8FFFF, kAreaBank1, 0x1000000}};
    Buchi holes;
    for (const Range& r : ranges) {
        for (uint32_t a = r.first; a <= r.last; a += kChunk) {
            const uint32_t address = a + r.flag;
            if (!CtrlWrite_Memory(MEM_READ, address, 0, 0)) {
                VLOG_ERROR(m, "Error in control write memory MEM_READ address %u dati %u nslave %u",
                           address, 0u, 0u);
                return false;
            }
            uint8_t* dest = dump.get() + r.offset + a;
            if (!ReadMEM_MainBuff(kChunk, dest)) {
                VLOG_ERROR(m, "Error in read mem main buffer len %u, pBuffer %p", unsigned(kChunk),
                           static_cast<void*>(dest));
                AggiungiBuco(holes, address, kChunk);
            }
        }
    }
    // Success only when every range was read and the whole dump reached the file.
    return DumpIntero(m, path, holes) && ScriviDump(m, path, {{dump.get(), size_t(kDumpSize)}});
}
