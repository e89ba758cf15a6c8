#pragma once
// One scan of a folder into one catalogue list, then the newest file into its
// selected entry: what every master, slave and other-gauge search does once
// it knows its folder, patterns and catalogue slot.
#include <cstdint>
#include <string>

#include "firmware_files/firmup_files_info.h"

// Firmware files, paired with their language files when lng_pattern is not
// empty. Returns the selected version text; empty when nothing was found or
// the slot belongs to another unit (list or chosen null).
std::wstring ScansionaFirmware(const std::wstring& folder, const std::wstring& fw_pattern,
                               const std::wstring& lng_pattern, FirmupFileList* list,
                               FirmupFileEntry* chosen, uint32_t serial);
std::wstring ScansionaBooter(const std::wstring& folder, const std::wstring& pattern,
                             FirmupFileList* list, FirmupFileEntry* chosen, uint32_t serial);
