#pragma once
// The data-logger families: firmware and booter writers and the sensors and
// ECU driver areas they keep next to the firmware.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/connection_strumento_base.h"
#include "device/traguardi_gps.h"
#include "records/datalogger_layout.h"

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

    // ---- data-logger operations (connection_strumento_tipo_quarv_dati.cpp) ----
    static constexpr uint32_t kArea32KSize = 32768, kArea32KAltaAddress = 81920;
    static constexpr uint32_t kAreaMemoriaReadChunk = 8192, kAreaMemoriaWriteChunk = 65536;
    static constexpr uint32_t kAreaMemoriaEndWaitMs = 300;
    static constexpr uint32_t kDatiSlaveChunk = 256;
    static constexpr uint32_t kCampioniSize = 65536, kOnlineSize = 256;

    // The configuration: the 8 KB block at 0x8000 and the 16 KB block at 0xC000 of bank 1.
    bool LeggiConfigurazione() override;
    bool IsConfigurazioneLetta() const override { return config_read_; }
    bool ScriviConfigurazione() override;
    // The sections in the order ScriviConfigurazione sends them.
    bool SetCONF() { return InviaSezione(0); }
    bool SetCMDCONF2() { return InviaSezione(1); }
    bool SetSlaveConfTab() { return InviaSezione(2); }
    bool SetNameSlave() { return InviaSezione(3); }
    bool SetPCCONF2() { return InviaSezione(4); }
    bool SetDISPCONF2() { return InviaSezione(5); }
    bool SetChFisici() { return InviaSezione(6); }
    bool SetStringheNuove() { return InviaSezione(7); }
    bool SetAlarmProlog() { return InviaSezione(8); }
    bool SetPCCONF() { return InviaSezione(9); }
    bool GetInfoICT(INFOFWUPD& record) override;
    bool LeggiAreaMemoria(uint32_t offset, uint32_t length, uint8_t* dest) override;
    bool IsAreaMemoriaLetta() const override { return area_memoria_letta_; }
    bool ScriviAreaMemoria(uint32_t offset, uint32_t length, const uint8_t* src) override;
    bool GetInfoIDP(INFOFWUPD& record, uint8_t nslave) override;
    bool LeggiAreaDatiSlave(uint8_t nslave, uint32_t offset, uint32_t length,
                            uint8_t* dest) override;
    // GPS finish lines, through the GPS slave.
    bool LeggiTraguardiGPS() override;
    bool IsTraguardiGPSLetti() const override { return traguardi_.Letti(); }
    bool ScriviTraguardiGPS() override;
    bool CancellaTraguardiGPS() override;
    bool IsTraguardiDisponibili() const override { return traguardi_.Disponibili(); }
    CTraguardiGPS& Traguardi() { return traguardi_; }

    bool LeggiECUDriver() override;
    bool IsECUDriverLetto() const override { return ecu_read_; }
    bool ScriviECUDriver() override;
    bool CancellaECUDriver() override;
    bool LeggiSensori() override;
    bool IsSensoriLetti() const override { return sensors_read_; }
    bool ScriviSensori() override;
    bool CancellaSensori() override;
    bool SensoriLetti() const { return sensors_read_; }
    bool ECUDriverLetto() const { return ecu_read_; }
    std::vector<uint8_t>& BufferSensori() { return sensors_; }
    std::vector<uint8_t>& BufferECUDriver() { return ecu_; }

    bool LeggiArea32KBassa() override;
    bool LeggiArea32KAlta() override;
    const std::vector<uint8_t>& Area32KBassa() const { return area_bassa_; }
    const std::vector<uint8_t>& Area32KAlta() const { return area_alta_; }
    // One 64 KB packet of the logged samples into the samples buffer.
    bool ScaricaCampioni(uint16_t packet) override;
    bool Comando7() override;
    bool GetOnline() override;
    bool GetOnline2() override;
    bool GetOnlineSlave(uint8_t nslave) override;
    bool IsOnlineLetto() const override { return online_letto_; }
    const std::vector<uint8_t>& BufferOnline() const { return online_; }

    uint8_t* GetCONF(uint32_t& size) override { return Sezione(0, size); }
    uint8_t* GetCMDCONF2(uint32_t& size) override { return Sezione(1, size); }
    uint8_t* GetSlaveConfTab(uint32_t& size) override { return Sezione(2, size); }
    uint8_t* GetNameSlave(uint32_t& size) override { return Sezione(3, size); }
    uint8_t* GetPCCONF2(uint32_t& size) override { return Sezione(4, size); }
    uint8_t* GetDISPCONF2(uint32_t& size) override { return Sezione(5, size); }
    uint8_t* GetChFisici(uint32_t& size) override { return Sezione(6, size); }
    uint8_t* GetStringheNuove(uint32_t& size) override { return Sezione(7, size); }
    uint8_t* GetAlarmProlog(uint32_t& size) override { return Sezione(8, size); }
    uint8_t* GetPCCONF() override;
    uint8_t* GetSezioneExtra1() override;
    uint8_t* GetSezioneExtra2() override;
    uint8_t* GetBufferConfigurazione(uint32_t& size) override;
    bool IsConfigurazioneModificata() const override;
    bool SetConfigurazione(const uint8_t* src, uint32_t length) override;
    bool IsSensoriModificati() const override { return sensors_read_ && sensors_ != sensors_saved_; }
    bool IsECUDriverModificato() const override { return ecu_read_ && ecu_ != ecu_saved_; }
    uint8_t* GetBufferECUDriver(uint32_t& size) override;
    uint8_t* GetBufferSensori(uint32_t& size) override;
    uint8_t* GetBufferCampioni(uint32_t& size) override;
    // The two configuration blocks as last read or set.
    std::vector<uint8_t>& BufferCONF() { return conf_; }
    std::vector<uint8_t>& BufferPCCONF() { return pcconf_; }

protected:
    static bool AllErased(const uint8_t* p, size_t n);
    // A booter command without data (an erase), sent again after a transient fault.
    bool ComandoBooter(const char* method, const char* name, uint8_t command);
    // One block through the main buffer and the booter command that stores it
    // at address; both again after a transient fault.
    bool BloccoBooter(const char* method, const char* name, uint8_t command, uint32_t address,
                      const uint8_t* block, uint16_t length, uint16_t words);
    // The net-table read of the classes whose master has no net: no slaves, no GPS slave.
    bool NessunaRete();
    // The language image through command 15; method names the log lines.
    bool ScriviLingua(const char* method, const std::wstring& path);
    void SetPellDescriptors(bool with_accessories);
    // ScriviSensori with each block counted (count may be null).
    bool ScriviSensoriContando(BlockCount* count);
    // Moves length bytes from offset in pieces of at most chunk: each a
    // configuration (or GPS) request with its (offset, length) payload, then
    // the bulk pipe into in, or from out when in is null. False on the first
    // failure, with one ERROR line under method.
    // At most dest's size of src into dest, the rest erased; false for no source.
    static bool CopiaConfigurazione(std::vector<uint8_t>& dest, const uint8_t* src, uint32_t length);
    bool RichiesteAParti(const char* method, bool gps, uint16_t request, uint32_t offset, uint32_t length,
                         uint32_t chunk, uint8_t* in, const uint8_t* out);

private:
    // The sensors or ECU area: read, erase and write in 256-byte blocks from the top.
    struct Area {
        const char* erase_name;
        const char* write_name;
        uint8_t erase_cmd;
        uint8_t write_cmd;
        uint32_t address;
        std::vector<uint8_t>* buffer;
        std::vector<uint8_t>* saved;
        bool* read_flag;
    };
    bool LeggiArea(const Area& a);
    bool CancellaArea(const char* method, const Area& a);
    bool ScriviArea(const char* method, const Area& a, BlockCount* count = nullptr);
    Area Sensori();
    Area ECU();
    // One configuration section, in pieces of the main buffer with its command.
    bool InviaSezione(size_t index);
    // Section index of datalogger::kSezioni, or null before the configuration was read.
    uint8_t* Sezione(size_t index, uint32_t& size);
    // A 128-byte record after a configuration request, checked under its tag.
    bool LeggiRecord(const char* method, uint16_t request, uint16_t index, const char* tag,
                     INFOFWUPD& record);
    // A 256-byte answer of a command into the online buffer.
    bool LeggiOnline(const char* method, uint8_t command, uint16_t c1);

    std::vector<uint8_t> ecu_ = std::vector<uint8_t>(kEcuSize, 0xFF);
    std::vector<uint8_t> sensors_ = std::vector<uint8_t>(kSensorsSize, 0xFF);
    // What the instrument holds as far as this connection knows: the modified flags compare with them.
    std::vector<uint8_t> ecu_saved_ = ecu_, sensors_saved_ = sensors_;
    bool sensors_read_ = false;
    bool ecu_read_ = false;
    std::vector<uint8_t> conf_ = std::vector<uint8_t>(datalogger::kConfSize, 0xFF);
    std::vector<uint8_t> pcconf_ = std::vector<uint8_t>(datalogger::kPcConfSize, 0xFF);
    std::vector<uint8_t> conf_saved_ = conf_, pcconf_saved_ = pcconf_;
    bool config_read_ = false;
    bool area_memoria_letta_ = false;
    CTraguardiGPS traguardi_;
    std::vector<uint8_t> area_bassa_ = std::vector<uint8_t>(kArea32KSize, 0xFF);
    std::vector<uint8_t> area_alta_ = std::vector<uint8_t>(kArea32KSize, 0xFF);
    std::vector<uint8_t> campioni_ = std::vector<uint8_t>(kCampioniSize, 0xFF);
    std::vector<uint8_t> online_ = std::vector<uint8_t>(kOnlineSize, 0);
    bool online_letto_ = false;
};
