#include "device/connection_strumento_tipo_quarv3.h"

void SetQuarv3Descriptors(UpdateFileDescriptor& fw, UpdateFileDescriptor& booter,
                          const std::wstring& family) {
    fw = {0xFE0000, 0xFF8000, 0, family + L"_*_fw.mhx"};
    booter = {0xFFC000, 0xFFF000, 0, L"Booter_" + family + L"_*.mhx"};
}

CConnectionStrumentoTipoQuarv3::CConnectionStrumentoTipoQuarv3(const std::wstring& family,
                                                               const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetQuarv3Descriptors(FirmwareFile(), BooterFile(), family);
}

bool CConnectionStrumentoTipoQuarv3::LeggiNetTable(bool, bool) {
    return NessunaRete();
}

CConnectionStrumentoTipoQuarv3vecchio::CConnectionStrumentoTipoQuarv3vecchio(
    const std::wstring& family, const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetQuarv3Descriptors(FirmwareFile(), BooterFile(), family);
}
