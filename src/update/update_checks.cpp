#include "update/update_checks.h"

#include <cwchar>

namespace vesk::update {

std::wstring CatalogueFirmwareText(const INFOIDENT& ident) {
    // The same bytes as FirmwareVersionText: major, minor, build.
    const uint8_t* v = ident.data() + INFOIDENT::kVerFirm;
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%02X.%02X.%02X", v[2], v[3], v[1]);
    return buf;
}

bool FwDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& master) {
    return catalogue.FwDaAggiornare(CatalogueFirmwareText(master));
}

bool BooterDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& master) {
    return catalogue.BooterDaAggiornare(master.BooterVersionText());
}

bool FwSlaveDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& slave, int slot) {
    return catalogue.FwSlaveDaAggiornare(CatalogueFirmwareText(slave), slot);
}

bool BooterSlaveDaAggiornare(const CFirmupFilesInfo& catalogue, const INFOIDENT& slave, int slot) {
    return catalogue.BooterSlaveDaAggiornare(slave.BooterVersionText(), slot);
}

}  // namespace vesk::update
