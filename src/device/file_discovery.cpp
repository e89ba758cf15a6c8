// The master's update-file scans of CConnectionStrumentoBase: which folder,
// pattern and catalogue slot each one uses. The scanning itself is the
// catalogue's.
#include "device/strumento_base_interim.h"

namespace {

uint32_t Serial(const CDeviceInfo* info) { return info ? info->Ident().ID_logger() : 0; }

}  // namespace

bool CConnectionStrumentoBase::CercaFileFirmware(std::wstring& version,
                                                 const std::wstring& firmware_folder,
                                                 const std::wstring& accessory_folder,
                                                 CFirmupFilesInfo& catalogue) {
    version.clear();
    const uint32_t serial = Serial(info_);
    for (int index = 0; index <= 2; ++index) {
        auto it = accessori_.find(index);
        if (it == accessori_.end() || it->second.pattern.empty()) continue;
        FirmupFileList* list = catalogue.GetAccessorioList(index, serial);
        FirmupFileEntry* chosen = catalogue.GetAccessorio(index, serial);
        if (!list || !chosen) continue;
        CFirmupFilesInfo::ScanSingolo(accessory_folder, it->second.pattern, *list, serial);
        CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    }
    if (fw_.pattern.empty()) return false;
    FirmupFileList* list = catalogue.GetFwList(serial);
    FirmupFileEntry* chosen = catalogue.GetFw(serial);
    if (!list || !chosen) return false;
    if (lng_.pattern.empty())
        CFirmupFilesInfo::ScanSingolo(firmware_folder, fw_.pattern, *list, serial);
    else
        CFirmupFilesInfo::ScanFwLingua(firmware_folder, fw_.pattern, lng_.pattern, *list, serial);
    version = CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    return !version.empty();
}

bool CConnectionStrumentoBase::CercaFileBooter(std::wstring& version,
                                               const std::wstring& booter_folder,
                                               CFirmupFilesInfo& catalogue) {
    version.clear();
    if (booter_.pattern.empty()) return false;
    const uint32_t serial = Serial(info_);
    FirmupFileList* list = catalogue.GetBooterList(serial);
    FirmupFileEntry* chosen = catalogue.GetBooter(serial);
    if (!list || !chosen) return false;
    CFirmupFilesInfo::ScanBooter(booter_folder, booter_.pattern, *list, serial);
    version = CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
    return !version.empty();
}
