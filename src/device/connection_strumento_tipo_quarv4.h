#pragma once
// Quarv4 masters: firmware at 0xFC0000..0x1000000, booter at 0xDF0000..0xDF2000.
#include "device/connection_strumento_tipo_quarv.h"

class CConnectionStrumentoTipoQuarv4 : public CConnectionStrumentoTipoQuarv {
public:
    // family: the family string the factory chose, the stem of the file names.
    explicit CConnectionStrumentoTipoQuarv4(const std::wstring& family,
                                            const std::wstring& app_folder = L"");
    // This master keeps no net of its own: no net table, no slave identities.
    bool LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) override;
};

class CConnectionStrumentoTipoQuarv4vecchio : public CConnectionStrumentoTipoQuarv {
public:
    explicit CConnectionStrumentoTipoQuarv4vecchio(const std::wstring& family,
                                                   const std::wstring& app_folder = L"");
    int SlaveUpdateLevel() const override { return 0; }
};

// The descriptors both Quarv4 classes share.
void SetQuarv4Descriptors(UpdateFileDescriptor& fw, UpdateFileDescriptor& booter,
                          const std::wstring& family);
