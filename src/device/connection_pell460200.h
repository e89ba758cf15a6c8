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

    bool LeggiConfigurazione();
    bool ConfigurazioneLetta() const { return config_read_; }
    bool ScriviCFG();
    // Blank: more than 499 of the first 512 bytes are 0xFF.
    bool ConfigurazioneVuota() const;
    std::vector<uint8_t>& BufferConfigurazione() { return config_; }

private:
    bool AggiornaConfigurazione(const std::vector<uint8_t>& file);
    bool AggiornaSensori(const std::vector<uint8_t>& file);

    std::vector<uint8_t> config_ = std::vector<uint8_t>(kConfigSize, 0xFF);
    bool config_read_ = false;
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
