#include "device/connection_strumento_tipo_pell.h"

#include "common/str_conv.h"
#include "log/evt_log.h"

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

bool CConnectionStrumentoTipoPell::AggiornaAccessoriFile(int index, const std::wstring& path) {
    VLOG_ERROR("CConnectionStrumentoTipoPell::AggiornaAccessoriFile",
               "No writer for accessory %d, file %s", index, vesk::to_utf8(path).c_str());
    return false;
}

CConnectionStrumentoTipoPellDL::CConnectionStrumentoTipoPellDL(const std::wstring& app_folder)
    : CConnectionStrumentoTipoPell(SenzaAccessori{}, app_folder) {}
