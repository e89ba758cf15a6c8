#pragma once
// Quarv3 masters: firmware at 0xFE0000..0xFF8000, booter at 0xFFC000..0xFFF000.
#include "device/connection_strumento_tipo_quarv.h"

class CConnectionStrumentoTipoQuarv3 : public CConnectionStrumentoTipoQuarv {
public:
    // family: the family string the factory chose, the stem of the file names.
    explicit CConnectionStrumentoTipoQuarv3(const std::wstring& family,
                                            const std::wstring& app_folder = L"");
    // This master keeps no net of its own: no net table, no slave identities.
    bool LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) override;
};

class CConnectionStrumentoTipoQuarv3vecchio : public CConnectionStrumentoTipoQuarv {
public:
    explicit CConnectionStrumentoTipoQuarv3vecchio(const std::wstring& family,
                                                   const std::wstring& app_folder = L"");
    int SlaveUpdateLevel() const override { return 0; }
};

// The descriptors both Quarv3 classes share.
void SetQuarv3Descriptors(UpdateFileDescriptor& fw, UpdateFileDescriptor& booter,
                          const std::wstring& family);
