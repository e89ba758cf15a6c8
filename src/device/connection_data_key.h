#pragma once
// The data key: a USB-CAN key with its own firmware and booter that also
// stores firmware, language and booter images of other gauges, which it
// installs in them later.
#include "device/connection_strumento_base.h"
#include "device/traguardi_gps.h"

class CConnectionDataKey : public CConnectionStrumentoBase {
public:
    static constexpr int kOtherGauges = 5;
    static constexpr size_t kBehaviourByte = 7;
    // The booter writer's own region; the booter descriptor only names the files.
    static constexpr uint32_t kBooterStart = 0xFFC000, kBooterEnd = 0xFFF000;
    static constexpr uint32_t kBooterImage = 16384;
    static constexpr uint32_t kNetRebuildLeadMs = 1000, kNetRebuildMs = 4500;
    static constexpr uint32_t kNetRereadMs = 250, kSlaveRereadMs = 250;
    static constexpr uint32_t kDumpSize = 0x3000000;

    explicit CConnectionDataKey(const std::wstring& app_folder = L"");

    IAggiornaFW* GetIAggiornaFW() override { return this; }
    int SlaveUpdateLevel() const override { return 0; }
    int NumOtherGauges() const override { return kOtherGauges; }
    bool LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) override;
    bool DumpStrumento(const std::wstring& path) override;
    bool AggiornaFwFile(const std::wstring& path) override;
    bool AggiornaBooterFile(const std::wstring& path) override;
    // The behaviour value goes into byte 7 of the image.
    void PreparaBufferOther(int kind, uint8_t* image, uint32_t size, uint32_t value) override;
    // The finish lines of the GPS slave on the key's net, as the data loggers reach them.
    bool LeggiTraguardiGPS() override;
    bool ScriviTraguardiGPS() override;
    bool CancellaTraguardiGPS() override;
    CTraguardiGPS& Traguardi() { return traguardi_; }

private:
    CTraguardiGPS traguardi_;
};
