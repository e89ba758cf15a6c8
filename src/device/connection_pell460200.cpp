#include "device/connection_pell460200.h"

#include <algorithm>
#include <array>

#include "common/file_system.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

using datalogger::OffsetLength;

CConnectionPELL460200::CConnectionPELL460200(const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {}

bool CConnectionPELL460200::AggiornaLngFile(const std::wstring& path) {
    return ScriviLingua("CConnectionPELL460200::AggiornaLngFile", path);
}

bool CConnectionPELL460200::LeggiConfigurazione() {
    if (!IsOpen()) return false;
    std::fill(config_.begin(), config_.end(), 0xFF);
    for (uint32_t offset = 0; offset < kConfigSize; offset += kConfigChunk) {
        const uint32_t n = std::min(kConfigChunk, kConfigSize - offset);
        const auto payload = OffsetLength(offset, n);
        if (!CtrlWrite_CFG(CFG_LEGGI, 0, uint16_t(payload.size()), payload.data())) return false;
        if (!ReadBulkPipe(config_.data() + offset, n)) return false;
    }
    config_saved_ = config_;
    config_read_ = true;
    return true;
}

bool CConnectionPELL460200::ScriviCFG() {
    const char* method = "CConnectionPELL460200::ScriviCFG";
    if (!config_read_ || !IsOpen()) return false;
    if (!CtrlWrite_CFG(CFG_INIZ_AGG, 0, 0, nullptr)) {
        VLOG_ERROR(method, "CtrlWrite_CFG CFG_INIZ_AGG");
        return false;
    }
    for (uint32_t offset = 0; offset < kConfigSize; offset += kConfigChunk) {
        const uint32_t n = std::min(kConfigChunk, kConfigSize - offset);
        const auto payload = OffsetLength(offset, n);
        if (!CtrlWrite_CFG(CFG_SCRIVI, 0, uint16_t(payload.size()), payload.data())) {
            VLOG_ERROR(method, "CtrlWrite_CFG CFG_SCRIVI");
            return false;
        }
        if (!WriteBulkPipe(config_.data() + offset, n)) {
            VLOG_ERROR(method, "WriteBulkPipe");
            return false;
        }
    }
    if (!CtrlWrite_CFG(CFG_FINE_AGG, 0, 0, nullptr)) {
        VLOG_ERROR(method, "CtrlWrite_CFG CFG_FINE_AGG");
        return false;
    }
    config_saved_ = config_;
    return true;
}

uint8_t* CConnectionPELL460200::GetBufferConfigurazione(uint32_t& size) {
    size = uint32_t(config_.size());
    return config_.data();
}

bool CConnectionPELL460200::SetConfigurazione(const uint8_t* src, uint32_t length) {
    return CopiaConfigurazione(config_, src, length);
}

bool CConnectionPELL460200::ConfigurazioneVuota() const {
    return std::count(config_.begin(), config_.begin() + 512, uint8_t(0xFF)) > 499;
}

bool CConnectionPELL460200::AggiornaAccessoriFile(int index, const std::wstring& path) {
    if (!Accessori().count(index)) return false;
    std::vector<uint8_t> file;
    if (!CreateFileSystem()->ReadBytes(path, file) || file.empty()) return false;
    if (index == 0) return AggiornaConfigurazione(file);
    if (index == 2) return AggiornaSensori(file);
    return false;
}

bool CConnectionPELL460200::AggiornaConfigurazione(const std::vector<uint8_t>& file) {
    const char* method = "CConnectionPELL460200::AggiornaAccessoriFile";
    if (file.size() != kConfigSize || !LeggiConfigurazione()) return false;
    // The configuration is verified as a whole, so it counts as one block.
    BlockCount count(WriteProgress(), WriteKind::Accessory, 1);
    if (std::equal(file.begin(), file.end(), config_.begin())) {
        count.AllHandled();
        return true;
    }
    // Never overwrite a configuration someone has set up.
    if (!ConfigurazioneVuota()) return false;
    for (int attempt = 0; attempt < kConfigAttempts; ++attempt) {
        // Each attempt sends the file, not what the last read-back left in the buffer.
        std::copy(file.begin(), file.end(), config_.begin());
        if (!ScriviCFG() || !LeggiConfigurazione()) continue;
        if (std::equal(file.begin(), file.end(), config_.begin())) {
            count.Handled(kConfigSize);
            return true;
        }
        VLOG_ERROR(method, "differenza fra buffer letto e config scritta");
        int differenti = 0;
        for (uint32_t offset = 0; offset < kConfigSize; ++offset) {
            if (file[offset] == config_[offset]) continue;
            VLOG_ERROR(method, "carattere diverso a offset 0x%x", offset);
            ++differenti;
        }
        VLOG_ERROR(method, "numero caratteri diversi = %d", differenti);
    }
    return false;
}

bool CConnectionPELL460200::AggiornaSensori(const std::vector<uint8_t>& file) {
    std::vector<uint8_t>& sensori = BufferSensori();
    if (file.size() != sensori.size() || !LeggiSensori()) return false;
    BlockCount count(WriteProgress(), WriteKind::Accessory, uint32_t(sensori.size() / kAreaBlock));
    if (std::equal(file.begin(), file.end(), sensori.begin())) {
        count.AllHandled();
        return true;
    }
    if (!CancellaSensori()) return false;
    std::copy(file.begin(), file.end(), sensori.begin());
    return ScriviSensoriContando(&count);
}

CConnectionPell460300::CConnectionPell460300(const std::wstring& app_folder)
    : CConnectionPELL460200(app_folder) {
    SetPellDescriptors(true);
}

CConnectionPellDL460300::CConnectionPellDL460300(const std::wstring& app_folder)
    : CConnectionPELL460200(app_folder) {
    SetPellDescriptors(false);
}

CConnectionQuarv4ComePell::CConnectionQuarv4ComePell(const std::wstring& app_folder)
    : CConnectionPELL460200(app_folder) {
    FirmwareFile() = {0xFC0000, 0x1000000, 0, L"Quarv4_*_fw.mhx"};
    Accessori() = {{0, {}}, {1, {}}, {2, {}}};
}
