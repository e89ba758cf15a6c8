#pragma once
// Whether the catalogue's selected file differs from what a unit runs. The
// catalogue writes versions with two digits each ("01.05.07"); the identity's
// display text pads the major with a space (" 1.05.07"), which would never
// match, so every unit with a major below 10 would look due and be sent
// through its booter for nothing. The checks take the zero-padded text.
#include <string>

#include "firmware_files/firmup_files_info.h"
#include "records/info_ident.h"

namespace vesk::update {

// A lookup gives an object for empty slots too: an entry exists when it names a file.
inline FirmupFileEntry* Existing(FirmupFileEntry* entry) {
    return entry && !entry->fileName.empty() ? entry : nullptr;
}

// "01.05.07": the firmware version as the catalogue's version texts write it.
std::wstring CatalogueFirmwareText(const INFOIDENT& ident);

bool FwDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& master);
bool BooterDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& master);
bool FwSlaveDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& slave, int slot);
bool BooterSlaveDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& slave, int slot);

}  // namespace vesk::update
