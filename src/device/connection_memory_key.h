#pragma once
// The memory key: a USB key with its own firmware and booter and nothing else.
#include "device/connection_strumento_base.h"

class CConnectionMemoryKey : public CConnectionStrumentoBase {
public:
    explicit CConnectionMemoryKey(const std::wstring& app_folder = L"");

    IAggiornaFW* GetIAggiornaFW() override { return this; }
    int SlaveUpdateLevel() const override { return 0; }
    int NumOtherGauges() const override { return 0; }
    bool AggiornaFwFile(const std::wstring& path) override;
    bool AggiornaBooterFile(const std::wstring& path) override;
};
