#pragma once
// The older Pell masters: firmware and language share the region
// 0xFC0000..0x1000000; the language goes through command 15.
#include "device/connection_strumento_tipo_quarv.h"

class CConnectionStrumentoTipoPell : public CConnectionStrumentoTipoQuarv {
public:
    explicit CConnectionStrumentoTipoPell(const std::wstring& app_folder = L"");
    bool AggiornaLngFile(const std::wstring& path) override;
    // Its configuration and sensors files have no address range to go to: the
    // range write would send nothing and report success, so they are refused.
    bool AggiornaAccessoriFile(int index, const std::wstring& path) override;
    int SlaveUpdateLevel() const override { return 0; }

protected:
    struct SenzaAccessori {};
    CConnectionStrumentoTipoPell(SenzaAccessori, const std::wstring& app_folder);
};

// The data-logger variant: no configuration or sensors files.
class CConnectionStrumentoTipoPellDL : public CConnectionStrumentoTipoPell {
public:
    explicit CConnectionStrumentoTipoPellDL(const std::wstring& app_folder = L"");
};
