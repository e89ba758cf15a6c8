#pragma once
// The newer Pell-style masters: a 32 KB configuration moved over the bulk
// pipe, the language through command 15, and configuration and sensors files.
#include <cstdint>
#include <string>
#include <vector>

#include "device/connection_strumento_tipo_quarv.h"

class CConnectionPELL460200 : public CConnectionStrumentoTipoQuarv {
public:
    static constexpr uint32_t kConfigSize = 32768;
    static constexpr uint32_t kConfigChunk = 65536;
    static constexpr int kConfigAttempts = 3;

    explicit CConnectionPELL460200(const std::wstring& app_folder = L"");

    bool AggiornaLngFile(const std::wstring& path) override;
    bool AggiornaAccessoriFile(int index, const std::wstring& path) override;

    bool LeggiConfigurazione() override;
    bool IsConfigurazioneLetta() const override { return config_read_; }
    bool ConfigurazioneLetta() const { return config_read_; }
    bool ScriviConfigurazione() override { return ScriviCFG(); }
    bool ScriviCFG();
    // Blank: more than 499 of the first 512 bytes are 0xFF.
    bool ConfigurazioneVuota() const;
    std::vector<uint8_t>& BufferConfigurazione() { return config_; }
    // The 32 KB configuration, not the 16 KB block of the older families.
    uint8_t* GetBufferConfigurazione(uint32_t& size) override;
    bool IsConfigurazioneModificata() const override { return config_read_ && config_ != config_saved_; }
    bool SetConfigurazione(const uint8_t* src, uint32_t length) override;

    // ---- data-logger operations of the Pell masters (connection_pell460200_dati.cpp) ----
    static constexpr uint32_t kRegistratoChunk = 65536;
    static constexpr uint32_t kAreaDatiChunk = 65536;
    static constexpr uint32_t kDirectWriteAddress = 0x40035000;
    static constexpr uint32_t kDirectWriteSize = 65536;

    bool ScriviMinchiateMaVeloce() override;
    bool DebugRichiesta2() override;
    // 1 with the recorded buffer read (length: its bytes), 0 when the instrument
    // has none, -1 when a request or a read failed, -3 when the header announces
    // more than an instrument holds.
    int GetBufferRegistrato(uint32_t& length) override;
    const std::vector<uint8_t>& BufferRegistrato() const { return registrato_; }
    bool GetVersionePiste(VersionePiste& out) override;
    bool GetInfoECUStream() override;
    const std::vector<uint8_t>& InfoECUStream() const { return ecu_stream_; }
    // The finish lines through the GPS requests.
    bool LeggiTraguardiGPS() override;
    bool ScriviTraguardiGPS() override;
    bool CancellaTraguardiGPS() override;
    // The 8 MB data area.
    bool LeggiAreaDati(uint32_t offset, uint32_t length, uint8_t* dest) override;
    bool ScriviAreaDati(uint32_t offset, uint32_t length, const uint8_t* src) override;
    bool CancellaAreaDati() override;

private:
    bool AggiornaConfigurazione(const std::vector<uint8_t>& file);
    bool AggiornaSensori(const std::vector<uint8_t>& file);

    // A 128-byte record after a GPS or configuration request; false (logged) on failure.
    bool LeggiRecord128(const char* method, bool gps, uint16_t request, uint8_t* out);
    bool AreaDatiEntro(const char* method, uint32_t offset, uint32_t length) const;

    std::vector<uint8_t> config_ = std::vector<uint8_t>(kConfigSize, 0xFF);
    std::vector<uint8_t> config_saved_ = config_;
    bool config_read_ = false;
    std::vector<uint8_t> registrato_;
    std::vector<uint8_t> ecu_stream_;
};

class CConnectionPell460300 : public CConnectionPELL460200 {
public:
    explicit CConnectionPell460300(const std::wstring& app_folder = L"");
    int SlaveUpdateLevel() const override { return 0; }
};

class CConnectionPellDL460300 : public CConnectionPELL460200 {
public:
    explicit CConnectionPellDL460300(const std::wstring& app_folder = L"");
};

// A Quarv4 that talks like a Pell: Quarv4 firmware files, no language.
class CConnectionQuarv4ComePell : public CConnectionPELL460200 {
public:
    explicit CConnectionQuarv4ComePell(const std::wstring& app_folder = L"");
};
