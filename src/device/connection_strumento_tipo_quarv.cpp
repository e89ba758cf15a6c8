#include "device/connection_strumento_tipo_quarv.h"

#include <algorithm>
#include <memory>

#include "common/str_conv.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

CConnectionStrumentoTipoQuarv::CConnectionStrumentoTipoQuarv(const std::wstring& app_folder)
    : CConnectionStrumentoBase(app_folder) {}

bool CConnectionStrumentoTipoQuarv::AllErased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

bool CConnectionStrumentoTipoQuarv::ComandoBooter(const char* method, const char* name, uint8_t command) {
    if (Repeatable({name}, [&] { return CtrlWrite_Booter(command, 0, 0); })) return true;
    VLOG_ERROR(method, "Error in control write booter %s address %u len %u", name, 0u, 0u);
    return false;
}

bool CConnectionStrumentoTipoQuarv::BloccoBooter(const char* method, const char* name, uint8_t command,
                                                 uint32_t address, const uint8_t* block, uint16_t length,
                                                 uint16_t words) {
    bool filled = true;
    const bool ok = Repeatable({name, address}, [&] {
        filled = WriteMEM_MainBuff(length, block);
        return filled && CtrlWrite_Booter(command, address, words);
    });
    if (!ok && filled)
        VLOG_ERROR(method, "Error in control write booter %s address %u len %u", name, unsigned(address),
                   unsigned(words));
    return ok;
}

bool CConnectionStrumentoTipoQuarv::AggiornaFwFile(const std::wstring& path) {
    const char* method = "CConnectionStrumentoTipoQuarv::AggiornaFwFile";
    const uint32_t start = FirmwareFile().start, end = FirmwareFile().end;
    if (end <= start) return false;
    CMHX2Bin image(end - start, start);
    if (!image.GetBinBuffPtr() || !image.LoadFileMhx(path, false, -1)) {
        VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return false;
    }
    if (!ComandoBooter(method, "BOOTER_ERASE", BOOTER_ERASE)) return false;
    const uint8_t* bin = image.GetBinBuffPtr();
    BlockCount count(WriteProgress(), WriteKind::Firmware, (end - start) / kFwBlock);
    // From the top of the region down; erased blocks stay as the erase left them.
    for (int64_t address = int64_t(end) - kFwBlock; address >= int64_t(start); address -= kFwBlock) {
        const uint8_t* block = bin + (address - start);
        if (AllErased(block, kFwBlock)) {
            count.Handled(0);
            continue;
        }
        if (!BloccoBooter(method, "BOOTER_WRITE", BOOTER_WRITE, uint32_t(address), block, kFwBlock, kFwBlock / 2))
            return false;
        count.Handled(kFwBlock);
    }
    return true;
}

bool CConnectionStrumentoTipoQuarv::AggiornaBooterFile(const std::wstring& path) {
    const char* method = "CConnectionStrumentoTipoQuarv::AggiornaBooterFile";
    const uint32_t start = BooterFile().start, end = BooterFile().end;
    if (end <= start || start >= kBooterImageEnd) return false;
    CMHX2Bin image(kBooterImageEnd - start, start);
    if (!image.GetBinBuffPtr() || !image.LoadFileMhx(path, true, -1)) {
        VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return false;
    }
    if (!CtrlWrite_Booter(BOOTER_INIZIA, 0, 0)) {
        VLOG_ERROR(method, "Error in control write booter BOOTER_INIZIA address %u len %u", 0u, 0u);
        return false;
    }
    const uint8_t* bin = image.GetBinBuffPtr();
    const uint32_t last = std::min(end, kBooterImageEnd);
    BlockCount count(WriteProgress(), WriteKind::Booter, (last - start + kBooterBlock - 1) / kBooterBlock);
    for (uint32_t offset = start; offset < last; offset += kBooterBlock) {
        const uint8_t* block = bin + (offset - start);
        const uint32_t n = std::min(kBooterBlock, kBooterImageEnd - offset);
        if (AllErased(block, n)) {
            count.Handled(0);
            continue;
        }
        uint8_t sum = 0;
        for (uint32_t i = 0; i < n; ++i) sum = uint8_t(sum + block[i]);
        // The address field carries the block's checksum in its top byte.
        const uint32_t address = (offset & 0xFFFF) | uint32_t(sum) << 16;
        if (!BloccoBooter(method, "BOOTER_WRITENEW", BOOTER_WRITENEW, address, block, uint16_t(n), kBooterBlock / 2))
            return false;
        count.Handled(n);
    }
    return true;
}

bool CConnectionStrumentoTipoQuarv::NessunaRete() {
    if (CDeviceInfo* info = GetDeviceInfo()) {
        info->ResetGpsSlave();
        info->SetNetState(CDeviceInfo::NetState::NoNet);
    }
    return true;
}

void CConnectionStrumentoTipoQuarv::SetPellDescriptors(bool with_accessories) {
    FirmwareFile() = {0xFC0000, 0x1000000, 0, L"Pell_*_fw.mhx"};
    LanguageFile() = {0xFC0000, 0x1000000, kPellLanguageCode, L"Pell_*_lng.mhx"};
    Accessori() = {{0, {0, 0, 0, with_accessories ? L"Pell_Config_*.bin" : L""}},
                  {1, {0, 0, 0, L""}},
                  {2, {0, 0, 0, with_accessories ? L"Pell_Sensors_*.bin" : L""}}};
}

bool CConnectionStrumentoTipoQuarv::ScriviLingua(const char* method, const std::wstring& path) {
    const uint32_t start = LanguageFile().start, end = LanguageFile().end;
    if (end <= start) return false;
    CMHX2Bin image(end - start, start);
    if (!image.GetBinBuffPtr() || !image.LoadFileMhx(path, false, 16)) {
        VLOG_ERROR(method, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return false;
    }
    const uint16_t code = LanguageFile().save_code;
    // c2 0xFFFF erases the region; a block is stored from the main buffer.
    auto save = [&](uint16_t c2, uint16_t c3, const uint8_t* block) {
        bool filled = true;
        const bool ok = Repeatable({"CMD_SAVE_BTFWCODE", c3}, [&] {
            filled = !block || WriteMEM_MainBuff(kLanguageBlock, block);
            return filled && CtrlWrite_Quarv3(CMD_SAVE_BTFWCODE, code, c2, c3, 0);
        });
        if (ok || !filled) return ok;
        VLOG_ERROR(method, "Error in control write quarv3 CMD_SAVE_BTFWCODE C1 %u C2 %u C3 %u C4 %u",
                   unsigned(code), unsigned(c2), unsigned(c3), 0u);
        return false;
    };
    if (!save(0xFFFF, 0, nullptr)) return false;
    const uint8_t* bin = image.GetBinBuffPtr();
    BlockCount count(WriteProgress(), WriteKind::Language, (end - start + kLanguageBlock - 1) / kLanguageBlock);
    for (uint32_t offset = start; offset < end; offset += kLanguageBlock) {
        const uint8_t* block = bin + (offset - start);
        if (AllErased(block, kLanguageBlock)) {
            count.Handled(0);
            continue;
        }
        if (!save(0, uint16_t((offset - start) / kLanguageBlock), block)) return false;
        count.Handled(kLanguageBlock);
    }
    return true;
}

// ---- sensors and ECU driver areas ----

CConnectionStrumentoTipoQuarv::Area CConnectionStrumentoTipoQuarv::Sensori() {
    return {"BOOTER_CLR_SENSOR", "BOOTER_WRITE_SENSOR", BOOTER_CLR_SENSOR, BOOTER_WRITE_SENSOR,
            kSensorsAddress, &sensors_, &sensors_saved_, &sensors_read_};
}

CConnectionStrumentoTipoQuarv::Area CConnectionStrumentoTipoQuarv::ECU() {
    return {"BOOTER_CLR_ECU", "BOOTER_WRITE_ECU", BOOTER_CLR_ECU, BOOTER_WRITE_ECU, kEcuAddress,
            &ecu_, &ecu_saved_, &ecu_read_};
}

bool CConnectionStrumentoTipoQuarv::LeggiArea(const Area& a) {
    std::fill(a.buffer->begin(), a.buffer->end(), 0xFF);
    if (!ReadMEM_Generic(a.address, uint16_t(a.buffer->size()), a.buffer->data())) return false;
    *a.saved = *a.buffer;
    *a.read_flag = true;
    return true;
}

bool CConnectionStrumentoTipoQuarv::CancellaArea(const char* method, const Area& a) {
    if (!ComandoBooter(method, a.erase_name, a.erase_cmd)) return false;
    std::fill(a.buffer->begin(), a.buffer->end(), 0xFF);
    a.saved->assign(a.buffer->size(), 0xFF);
    return true;
}

bool CConnectionStrumentoTipoQuarv::ScriviArea(const char* method, const Area& a, BlockCount* count) {
    const uint32_t size = uint32_t(a.buffer->size());
    for (uint32_t k = 1; k * kAreaBlock <= size; ++k) {
        const uint32_t offset = size - kAreaBlock * k;
        const uint32_t address = a.address + offset;
        if (!BloccoBooter(method, a.write_name, a.write_cmd, address, a.buffer->data() + offset, kAreaBlock,
                          kAreaBlock / 2))
            return false;
        if (count) count->Handled(kAreaBlock);
    }
    *a.saved = *a.buffer;
    return true;
}

bool CConnectionStrumentoTipoQuarv::LeggiSensori() { return LeggiArea(Sensori()); }
bool CConnectionStrumentoTipoQuarv::CancellaSensori() {
    return CancellaArea("CConnectionStrumentoTipoQuarv::CancellaSensori", Sensori());
}
bool CConnectionStrumentoTipoQuarv::ScriviSensori() { return ScriviSensoriContando(nullptr); }
bool CConnectionStrumentoTipoQuarv::ScriviSensoriContando(BlockCount* count) {
    return ScriviArea("CConnectionStrumentoTipoQuarv::ScriviSensori", Sensori(), count);
}
bool CConnectionStrumentoTipoQuarv::LeggiECUDriver() { return LeggiArea(ECU()); }
bool CConnectionStrumentoTipoQuarv::CancellaECUDriver() {
    return CancellaArea("CConnectionStrumentoTipoQuarv::CancellaECUDriver", ECU());
}
bool CConnectionStrumentoTipoQuarv::ScriviECUDriver() {
    return ScriviArea("CConnectionStrumentoTipoQuarv::ScriviECUDriver", ECU());
}
