#include "device/update_file_scan.h"

std::wstring ScansionaFirmware(const std::wstring& folder, const std::wstring& fw_pattern,
                               const std::wstring& lng_pattern, FirmupFileList* list,
                               FirmupFileEntry* chosen, uint32_t serial) {
    if (fw_pattern.empty() || !list || !chosen) return {};
    if (lng_pattern.empty())
        CFirmupFilesInfo::ScanSingolo(folder, fw_pattern, *list, serial);
    else
        CFirmupFilesInfo::ScanFwLingua(folder, fw_pattern, lng_pattern, *list, serial);
    return CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
}

std::wstring ScansionaBooter(const std::wstring& folder, const std::wstring& pattern,
                             FirmupFileList* list, FirmupFileEntry* chosen, uint32_t serial) {
    if (pattern.empty() || !list || !chosen) return {};
    CFirmupFilesInfo::ScanBooter(folder, pattern, *list, serial);
    return CFirmupFilesInfo::ScegliUltimo(*list, *chosen);
}
