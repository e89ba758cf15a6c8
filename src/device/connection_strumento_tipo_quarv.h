#pragma once
// The data-logger families: firmware and booter writers and the sensors and
// ECU driver areas they keep next to the firmware.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/connection_strumento_base.h"

class CConnectionStrumentoTipoQuarv : public CConnectionStrumentoBase {
public:
    static constexpr uint32_t kFwBlock = 128;       // bytes per BOOTER_WRITE
    static constexpr uint32_t kBooterBlock = 256;   // bytes per BOOTER_WRITENEW
    static constexpr uint32_t kBooterImageEnd = 0x1000000;
    static constexpr uint32_t kSensorsAddress = 0xFFA100;
    static constexpr uint32_t kSensorsSize = 7936;
    static constexpr uint32_t kEcuAddress = 0xFF8000;
    static constexpr uint32_t kEcuSize = 8192;
    static constexpr uint32_t kAreaBlock = 256;     // sensors and ECU blocks
    static constexpr uint32_t kLanguageBlock = 256;
    static constexpr uint16_t kPellLanguageCode = 564;  // C1 of command 15 for the language

    explicit CConnectionStrumentoTipoQuarv(const std::wstring& app_folder = L"");

    IAggiornaFW* GetIAggiornaFW() override { return this; }
    bool AggiornaFwFile(const std::wstring& path) override;
    bool AggiornaBooterFile(const std::wstring& path) override;
    int SlaveUpdateLevel() const override { return 5; }
    // The slaves on this master's net (connection_strumento_tipo_quarv_slaves.cpp).
    std::wstring CercaFileFirmwareSlave(std::wstring& version, size_t slot,
                                        const std::wstring& fw_folder,
                                        const std::wstring& acc_folder,
                                        CFirmupFilesInfo* catalogue) override;
    std::wstring CercaFileBooterSlave(std::wstring& version, size_t slot,
                                      const std::wstring& boot_folder,
                                      CFirmupFilesInfo* catalogue) override;
    bool AggiornaFwFileSlave(size_t slot, const std::wstring& path) override;
    bool AggiornaLngFileSlave(size_t slot, const std::wstring& path) override;
    bool AggiornaBooterFileSlave(size_t slot, const std::wstring& path) override;
    bool AggiornaAccessoriFileSlave(size_t slot, int index, const std::wstring& path) override;

    bool LeggiSensori();
    bool SensoriLetti() const { return sensors_read_; }
    bool CancellaSensori();
    bool ScriviSensori();
    std::vector<uint8_t>& BufferSensori() { return sensors_; }

    bool LeggiECUDriver();
    bool ECUDriverLetto() const { return ecu_read_; }
    bool CancellaECUDriver();
    bool ScriviECUDriver();
    std::vector<uint8_t>& BufferECUDriver() { return ecu_; }

protected:
    static bool AllErased(const uint8_t* p, size_t n);
    // The net-table read of the classes whose master has no net: no slaves, no GPS slave.
    bool NessunaRete();
    // The language image through command 15; method names the log lines.
    bool ScriviLingua(const char* method, const std::wstring& path);
    void SetPellDescriptors(bool with_accessories);
    // ScriviSensori with each block counted (count may be null).
    bool ScriviSensoriContando(BlockCount* count);

private:
    // The sensors or ECU area: read, erase and write in 256-byte blocks from the top.
    struct Area {
        const char* erase_name;
        const char* write_name;
        uint8_t erase_cmd;
        uint8_t write_cmd;
        uint32_t address;
        std::vector<uint8_t>* buffer;
        bool* read_flag;
    };
    bool LeggiArea(const Area& a);
    bool CancellaArea(const char* method, const Area& a);
    bool ScriviArea(const char* method, const Area& a, BlockCount* count = nullptr);
    Area Sensori();
    Area ECU();

    std::vector<uint8_t> ecu_ = std::vector<uint8_t>(kEcuSize, 0xFF);
    std::vector<uint8_t> sensors_ = std::vector<uint8_t>(kSensorsSize, 0xFF);
    bool sensors_read_ = false;
    bool ecu_read_ = false;
};
