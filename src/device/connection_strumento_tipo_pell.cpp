#include "device/connection_strumento_tipo_pell.h"

CConnectionStrumentoTipoPell::CConnectionStrumentoTipoPell(const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetPellDescriptors(true);
}

CConnectionStrumentoTipoPell::CConnectionStrumentoTipoPell(SenzaAccessori,
                                                           const std::wstring& app_folder)
    : CConnectionStrumentoTipoQuarv(app_folder) {
    SetPellDescriptors(false);
}

bool CConnectionStrumentoTipoPell::AggiornaLngFile(const std::wstring& path) {
    return ScriviLingua("CConnectionStrumentoTipoPell::AggiornaLngFile", path);
}

CConnectionStrumentoTipoPellDL::CConnectionStrumentoTipoPellDL(const std::wstring& app_folder)
    : CConnectionStrumentoTipoPell(SenzaAccessori{}, app_folder) {}
