// The master's update-file scans of CConnectionStrumentoBase: which folder,
// pattern and catalogue slot each one uses. The scanning itself is the
// catalogue's.
#include "device/connection_strumento_base.h"
#include "firmware_files/firmup_files_info.h"

std::wstring CConnectionStrumentoBase::CercaFileFirmware(std::wstring& version,
                                                         const std::wstring& fw_folder,
                                                         const std::wstring& acc_folder,
                                                         CFirmupFilesInfo* catalogue) {
    version.clear();
    // Files are bound to a unit's serial: without a unit there is nothing to bind them to.
    if (!catalogue || !info_) return version;
    const uint32_t serial = info_->Ident().ID_logger();
    for (int index = 0; index <= 2; ++index) {
        const auto it = accessori_.find(index);
        if (it == accessori_.end() || it->second.pattern.empty()) continue;
        FirmupFileList* list = catalogue->GetAccessorioList(index, serial);
        FirmupFileEntry* chosen = catalogue->GetAccessorio(index, serial);
        if (!list || !chosen) continue;
        CFirmupFilesInfo::ScanSingolo(acc_folder, it->second.pattern, *list, serial);
        CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    }
    if (fw_file_.pattern.empty()) return version;
    FirmupFileList* list = catalogue->GetFwList(serial);
    FirmupFileEntry* chosen = catalogue->GetFw(serial);
    if (!list || !chosen) return version;
    if (lng_file_.pattern.empty())
        CFirmupFilesInfo::ScanSingolo(fw_folder, fw_file_.pattern, *list, serial);
    else
        CFirmupFilesInfo::ScanFwLingua(fw_folder, fw_file_.pattern, lng_file_.pattern, *list, serial);
    version = CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    return version;
}

std::wstring CConnectionStrumentoBase::CercaFileBooter(std::wstring& version,
                                                       const std::wstring& boot_folder,
                                                       CFirmupFilesInfo* catalogue) {
    version.clear();
    if (!catalogue || !info_ || boot_file_.pattern.empty()) return version;
    const uint32_t serial = info_->Ident().ID_logger();
    FirmupFileList* list = catalogue->GetBooterList(serial);
    FirmupFileEntry* chosen = catalogue->GetBooter(serial);
    if (!list || !chosen) return version;
    CFirmupFilesInfo::ScanBooter(boot_folder, boot_file_.pattern, *list, serial);
    version = CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    return version;
}
