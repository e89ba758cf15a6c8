#include "device/connection_strumento_tipo_quarv4.h"

void SetQuarv4Descriptors(UpdateFileDescriptor& fw, UpdateFileDescriptor& booter,
                          const std::wstring& family) {
    fw = {0xFC0000, 0x1000000, 0, family + L"_*_fw.mhx"};
    // One booter file for every Quarv4 variant.
    booter = {0xDF0000, 0xDF2000, 0, L"Booter_Quarv4_*.mhx"};
}

CConnectionStrumentoTipoQuarv4::CConnectionStrumentoTipoQuarv4(const std::wstring& family,
                                                               const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetQuarv4Descriptors(FirmwareFile(), BooterFile(), family);
}

bool CConnectionStrumentoTipoQuarv4::LeggiNetTable(bool, bool) {
    return NessunaRete();
}

CConnectionStrumentoTipoQuarv4vecchio::CConnectionStrumentoTipoQuarv4vecchio(
    const std::wstring& family, const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetQuarv4Descriptors(FirmwareFile(), BooterFile(), family);
}
