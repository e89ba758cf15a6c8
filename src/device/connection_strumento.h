#pragma once
// What the rest of the program asks of an instrument connection: identity,
// net table, mode switches and the data-logger operations (IConnectionStrumento),
// and update-file discovery and writing (IAggiornaFW). The defaults are the
// behaviour of a connection that offers nothing beyond identification; the
// families override single operations.
#include <cstdint>
#include <string>
#include <vector>

#include "device/write_progress.h"
#include "records/device_info.h"
#include "records/model_names.h"
#include "records/info_ident.h"
#include "usb/usb_connection.h"

class CFirmupFilesInfo;
class IAggiornaFW;

// Version of the GPS track data held by an instrument.
struct VersionePiste {
    uint32_t versione = 0;
    uint32_t revisione = 0;
};

class IConnectionStrumento {
public:
    virtual ~IConnectionStrumento() = default;

    // The factory and its companions (connection_strumento_factory.cpp).
    // A new, closed connection of the class the master's type code (and
    // firmware) calls for, or null; release it with DeleteConnectionToStrumento.
    static IConnectionStrumento* CreateConnectionToStrumento(CDeviceInfo* info,
                                                             const std::wstring& folder);
    // Closes (logged when still open) and destroys; conn ends null.
    static void DeleteConnectionToStrumento(IConnectionStrumento*& conn);
    static std::wstring GetNomeStrumento(uint32_t code) { return ::GetNomeStrumento(code); }
    // The masters on USB with their net tables and slave identities; false
    // only when the USB listing fails. *misses: as IUSBConnection's.
    static bool GetListaDeviceCollegati(std::vector<CDeviceInfo>& list, bool fail_on_problem_slaves,
                                        IUSBConnection::ListingMisses* misses = nullptr);
    // Fills the catalogue with the files available for the master, its slaves
    // and the other gauges it can store.
    static bool GetInfoFirmup(const std::wstring& acc_folder, const std::wstring& boot_folder,
                              CDeviceInfo& info, CFirmupFilesInfo& catalogue,
                              const std::wstring& fw_folder);

    virtual bool Connetti(CDeviceInfo* info) = 0;
    virtual void SetDeviceInfo(CDeviceInfo* info) = 0;
    virtual CDeviceInfo* RefreshIdent(bool with_net_table, bool& ok) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Chiudi() = 0;
    virtual void Riavvia() = 0;
    virtual bool LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) = 0;
    // Data-logger operations of single families.
    virtual bool ScriviMinchiateMaVeloce() { return false; }
    virtual bool DebugRichiesta2() { return false; }
    virtual bool SvuotaMemoria() { return false; }
    virtual bool IsMemoriaVuota() { return false; }
    virtual bool ImpostaOrologio() { return false; }
    virtual bool DumpStrumento(const std::wstring& path) = 0;
    virtual bool TracciaInfoident(const std::wstring& text) = 0;
    virtual int GetMaxSlaves() const = 0;
    virtual bool GotoBooter() = 0;
    virtual bool GotoFirmware() = 0;
    virtual bool GotoBooterSlave(uint8_t nslave) = 0;
    virtual bool GotoFirmwareSlave(uint8_t nslave) = 0;
    virtual bool LeggiIdentSlave(uint8_t nslave, CDeviceInfo& info) = 0;
    virtual IAggiornaFW* GetIAggiornaFW() { return nullptr; }
    // Configuration and records.
    virtual bool LeggiConfigurazione() { return false; }
    virtual bool IsConfigurazioneLetta() const { return false; }
    virtual bool ScriviConfigurazione() { return false; }
    virtual bool GetInfoICT(INFOFWUPD& /*record*/) { return false; }
    virtual bool LeggiAreaMemoria(uint32_t /*offset*/, uint32_t /*length*/, uint8_t* /*dest*/) {
        return false;
    }
    virtual bool IsAreaMemoriaLetta() const { return false; }
    virtual bool ScriviAreaMemoria(uint32_t /*offset*/, uint32_t /*length*/,
                                   const uint8_t* /*src*/) {
        return false;
    }
    virtual bool GetInfoIDP(INFOFWUPD& /*record*/, uint8_t /*nslave*/) { return false; }
    virtual bool LeggiAreaDatiSlave(uint8_t /*nslave*/, uint32_t /*offset*/, uint32_t /*length*/,
                                    uint8_t* /*dest*/) {
        return false;
    }
    virtual int GetBufferRegistrato(uint32_t& length) {
        length = 0;
        return 0;
    }
    virtual bool GetVersionePiste(VersionePiste& out) {
        out.versione = 50;
        out.revisione = 50;
        return true;
    }
    virtual bool GetInfoECUStream() { return false; }
    // GPS finish lines.
    virtual bool LeggiTraguardiGPS() { return false; }
    virtual bool IsTraguardiGPSLetti() const { return false; }
    virtual bool ScriviTraguardiGPS() { return false; }
    virtual bool CancellaTraguardiGPS() { return false; }
    virtual bool LeggiAreaDati(uint32_t /*offset*/, uint32_t /*length*/, uint8_t* /*dest*/) {
        return false;
    }
    virtual bool IsTraguardiDisponibili() const { return false; }
    virtual bool ScriviAreaDati(uint32_t /*offset*/, uint32_t /*length*/, const uint8_t* /*src*/) {
        return false;
    }
    virtual bool CancellaAreaDati() { return false; }
    // ECU driver and sensors.
    virtual bool LeggiECUDriver() { return false; }
    virtual bool IsECUDriverLetto() const { return false; }
    virtual bool ScriviECUDriver() { return false; }
    virtual bool CancellaECUDriver() { return false; }
    virtual bool LeggiSensori() { return false; }
    virtual bool IsSensoriLetti() const { return false; }
    virtual bool ScriviSensori() { return false; }
    virtual bool CancellaSensori() { return false; }
    virtual bool LeggiArea32KBassa() { return false; }
    virtual bool LeggiArea32KAlta() { return false; }
    // One 64 KB packet of the logged samples (CMD_DWNLDDATA) into the samples buffer.
    virtual bool ScaricaCampioni(uint16_t /*packet*/) { return false; }
    virtual bool Comando7() { return false; }
    virtual bool GetOnline() { return false; }
    virtual bool GetOnline2() { return false; }
    virtual bool GetOnlineSlave(uint8_t /*nslave*/) { return false; }
    virtual bool IsOnlineLetto() const { return false; }
    // Configuration sections, valid after the configuration was read.
    virtual uint8_t* GetCONF(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetCMDCONF2(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetSlaveConfTab(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetNameSlave(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetPCCONF2(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetDISPCONF2(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetChFisici(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetStringheNuove(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetAlarmProlog(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetPCCONF() { return nullptr; }
    virtual uint8_t* GetSezioneExtra1() { return nullptr; }
    virtual uint8_t* GetSezioneExtra2() { return nullptr; }
    virtual uint8_t* GetBufferConfigurazione(uint32_t& size) { return Nothing(size); }
    virtual bool IsConfigurazioneModificata() const { return false; }
    virtual bool SetConfigurazione(const uint8_t* /*src*/, uint32_t /*length*/) { return false; }
    virtual bool IsSensoriModificati() const { return false; }
    virtual bool IsECUDriverModificato() const { return false; }
    virtual uint8_t* GetBufferECUDriver(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetBufferSensori(uint32_t& size) { return Nothing(size); }
    virtual uint8_t* GetBufferCampioni(uint32_t& size) { return Nothing(size); }

protected:
    static uint8_t* Nothing(uint32_t& size) {
        size = 0;
        return nullptr;
    }
};

// One kind of update file: where it goes and how its name looks ("*" stands
// for the version). An empty pattern: the connection has no such file.
struct UpdateFileDescriptor {
    uint32_t start = 0;
    uint32_t end = 0;
    uint16_t save_code = 0;
    std::wstring pattern;
};

class IAggiornaFW {
public:
    virtual ~IAggiornaFW() = default;
    virtual bool GetInfoFirmup(INFOFWUPD& record, uint8_t nslave) = 0;
    virtual bool DebugRichiesta16() = 0;
    virtual bool DebugRichiesta17() = 0;
    virtual std::wstring CercaFileFirmware(std::wstring& version, const std::wstring& fw_folder,
                                           const std::wstring& acc_folder,
                                           CFirmupFilesInfo* catalogue) = 0;
    virtual std::wstring CercaFileBooter(std::wstring& version, const std::wstring& boot_folder,
                                         CFirmupFilesInfo* catalogue) = 0;
    virtual bool AggiornaFwFile(const std::wstring& /*path*/) { return false; }
    virtual bool AggiornaLngFile(const std::wstring& /*path*/) { return false; }
    virtual bool AggiornaBooterFile(const std::wstring& /*path*/) { return false; }
    virtual bool AggiornaAccessoriFile(int index, const std::wstring& path) = 0;
    virtual int SlaveUpdateLevel() const { return 0; }
    virtual std::wstring CercaFileFirmwareSlave(std::wstring& version, size_t /*slot*/,
                                                const std::wstring& /*fw_folder*/,
                                                const std::wstring& /*acc_folder*/,
                                                CFirmupFilesInfo* /*catalogue*/) {
        version.clear();
        return {};
    }
    virtual std::wstring CercaFileBooterSlave(std::wstring& version, size_t /*slot*/,
                                              const std::wstring& /*boot_folder*/,
                                              CFirmupFilesInfo* /*catalogue*/) {
        version.clear();
        return {};
    }
    virtual bool AggiornaFwFileSlave(size_t /*slot*/, const std::wstring& /*path*/) { return false; }
    virtual bool AggiornaLngFileSlave(size_t /*slot*/, const std::wstring& /*path*/) { return false; }
    virtual bool AggiornaBooterFileSlave(size_t /*slot*/, const std::wstring& /*path*/) {
        return false;
    }
    virtual bool AggiornaAccessoriFileSlave(size_t /*slot*/, int /*index*/,
                                            const std::wstring& /*path*/) {
        return false;
    }
    virtual int NumOtherGauges() const { return 0; }
    virtual std::wstring CercaFileFirmwareOther(std::wstring& version, int kind,
                                                const std::wstring& fw_folder,
                                                const std::wstring& acc_folder,
                                                CFirmupFilesInfo* catalogue) = 0;
    virtual std::wstring CercaFileBooterOther(std::wstring& version, int kind,
                                              const std::wstring& boot_folder,
                                              CFirmupFilesInfo* catalogue) = 0;
    virtual bool CaricaOtherFwFile(int /*kind*/, const std::wstring& /*path*/, uint32_t /*value*/) {
        return false;
    }
    virtual bool CaricaOtherLngFile(int /*kind*/, const std::wstring& /*path*/, uint32_t /*value*/) {
        return false;
    }
    virtual bool CaricaOtherBooterFile(int /*kind*/, const std::wstring& /*path*/,
                                       uint32_t /*value*/) {
        return false;
    }
    virtual bool CaricaOtherAccessoriFile(int kind, int index, const std::wstring& path) = 0;
    // Every writer above reports its blocks to this callback; none: nobody is told.
    virtual void SetWriteProgress(WriteProgressCallback /*progress*/) {}
};
