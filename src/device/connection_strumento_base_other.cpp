// Firmware of other gauges kept by a connection that can store it (the data
// key): finding the files per kind and storing an image in the device.
#include <vector>

#include "common/str_conv.h"
#include "device/connection_strumento_base.h"
#include "device/update_file_scan.h"
#include "firmware_files/mhx2bin.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

constexpr uint8_t kCmdSaveBtFwCode = 15;  // CMD_SAVE_BTFWCODE
constexpr uint32_t kOtherBlock = 2048;

const UpdateFileDescriptor* Find(const std::map<int, UpdateFileDescriptor>& map, int kind) {
    const auto it = map.find(kind);
    return it == map.end() ? nullptr : &it->second;
}

}  // namespace

std::wstring CConnectionStrumentoBase::CercaFileFirmwareOther(std::wstring& version, int kind,
                                                              const std::wstring& fw_folder,
                                                              const std::wstring& acc_folder,
                                                              CFirmupFilesInfo* catalogue) {
    version.clear();
    // Files are bound to a unit's serial: without a unit there is nothing to bind them to.
    if (!catalogue || !info_) return version;
    const uint32_t serial = info_->Ident().ID_logger();
    if (const auto acc = other_acc_.find(kind); acc != other_acc_.end()) {
        for (const auto& [index, d] : acc->second) {
            if (index < 0 || index > 2 || d.pattern.empty()) continue;
            // The other gauge's own collection: never the master's accessory files.
            FirmupFileList* list = catalogue->GetOtherAccessorioList(kind, index, serial);
            FirmupFileEntry* chosen = catalogue->GetOtherAccessorio(kind, index, serial);
            if (!list || !chosen) continue;
            CFirmupFilesInfo::ScanSingolo(acc_folder, d.pattern, *list, serial);
            CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
        }
    }
    const UpdateFileDescriptor* fw = Find(other_fw_, kind);
    const UpdateFileDescriptor* lng = Find(other_lng_, kind);
    // A kind is searched only when it has both descriptors; the language one may be empty.
    if (!fw || !lng) return version;
    version = ScansionaFirmware(fw_folder, fw->pattern, lng->pattern,
                                catalogue->GetOtherFwList(kind, serial),
                                catalogue->GetOtherFw(kind, serial), serial);
    return version;
}

std::wstring CConnectionStrumentoBase::CercaFileBooterOther(std::wstring& version, int kind,
                                                            const std::wstring& boot_folder,
                                                            CFirmupFilesInfo* catalogue) {
    version.clear();
    const UpdateFileDescriptor* boot = Find(other_boot_, kind);
    if (!catalogue || !boot || !info_) return version;
    const uint32_t serial = info_->Ident().ID_logger();
    version = ScansionaBooter(boot_folder, boot->pattern, catalogue->GetOtherBooterList(kind, serial),
                              catalogue->GetOtherBooter(kind, serial), serial);
    return version;
}

bool CConnectionStrumentoBase::CaricaOtherFwFile(int kind, const std::wstring& path,
                                                 uint32_t value) {
    return CaricaOther("CConnectionStrumentoBase::CaricaOtherFwFile", other_fw_, kind, path, false,
                       value);
}

bool CConnectionStrumentoBase::CaricaOtherLngFile(int kind, const std::wstring& path,
                                                  uint32_t value) {
    return CaricaOther("CConnectionStrumentoBase::CaricaOtherLngFile", other_lng_, kind, path,
                       false, value);
}

bool CConnectionStrumentoBase::CaricaOtherBooterFile(int kind, const std::wstring& path,
                                                     uint32_t value) {
    return CaricaOther("CConnectionStrumentoBase::CaricaOtherBooterFile", other_boot_, kind, path,
                       true, value);
}

bool CConnectionStrumentoBase::CaricaOther(const char* m,
                                           const std::map<int, UpdateFileDescriptor>& map,
                                           int kind, const std::wstring& path, bool booter,
                                           uint32_t value) {
    const UpdateFileDescriptor* d = Find(map, kind);
    if (!d) return false;
    // An empty region has no image to load the file into.
    if (d->end <= d->start) {
        VLOG_ERROR(m, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return false;
    }
    const uint32_t size = d->end - d->start;
    CMHX2Bin image(size, d->start);
    if (!image.LoadFileMhx(path, booter, booter ? -1 : 16) || !image.GetBinBuffPtr()) {
        VLOG_ERROR(m, "Error loading MHX nomefile %s", vesk::to_utf8(path).c_str());
        return false;
    }
    uint8_t* bytes = image.GetBinBuffPtr();
    PreparaBufferOther(kind, bytes, size, value);
    const char* save_failed = "Error in control write quarv3 CMD_SAVE_BTFWCODE C1 %u C2 %u C3 %u C4 %u";
    if (!CtrlWrite_Quarv3(kCmdSaveBtFwCode, d->save_code, 0xFFFF, 0, 0)) {
        VLOG_ERROR(m, save_failed, unsigned(d->save_code), 65535u, 0u, 0u);
        return false;
    }
    const uint32_t blocks = size / kOtherBlock;
    BlockCount count(progress_, WriteKind::Other, blocks);
    for (uint32_t i = 0; i < blocks; ++i) {
        if (!CtrlWrite_Bulk(BULK_WRITE, 0, uint16_t(kOtherBlock))) {
            VLOG_ERROR(m, "Error in control write bulk BULK_WRITE address %u len %u", 0u,
                       unsigned(kOtherBlock));
            return false;
        }
        if (!WriteBulkPipe(bytes + i * kOtherBlock, kOtherBlock)) return false;
        if (!CtrlWrite_Quarv3(kCmdSaveBtFwCode, d->save_code, 0, uint16_t(i), 0)) {
            VLOG_ERROR(m, save_failed, unsigned(d->save_code), 0u, i, 0u);
            return false;
        }
        count.Handled(kOtherBlock);
    }
    return true;
}
