#pragma once
// One slave on a master's net: its update files, how they are found, and how
// its firmware, language and booter images reach it through the master. A
// slave connection lives for one call and holds no USB resources; the master
// connection must stay open for its whole life.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "device/connection_strumento_base.h"

class CFirmupFilesInfo;

class CConnSlaveBase {
public:
    static constexpr uint32_t kBlock = 256;

    // n: slave number 1..31.
    CConnSlaveBase(CUSBConnection& master, const INFOIDENT& ident, uint8_t n,
                   const UpdateFileDescriptor& fw, const UpdateFileDescriptor& lng,
                   const UpdateFileDescriptor& booter);
    virtual ~CConnSlaveBase() = default;
    CConnSlaveBase(const CConnSlaveBase&) = delete;
    CConnSlaveBase& operator=(const CConnSlaveBase&) = delete;

    // Firmware (with language) and accessory files; returns the chosen version text.
    virtual std::wstring CercaFileFirmwareSlaveKind(std::wstring& version,
                                                    const std::wstring& fw_folder,
                                                    const std::wstring& acc_folder,
                                                    CFirmupFilesInfo* catalogue);
    virtual std::wstring CercaFileBooterSlaveKind(std::wstring& version,
                                                  const std::wstring& boot_folder,
                                                  CFirmupFilesInfo* catalogue);
    // The firmware is written while the slave runs its booter; its booter and
    // language while it runs its firmware (the order of the slave stages).
    virtual bool AggFwFile(const std::wstring& path);
    virtual bool AggLngFile(const std::wstring& path);
    virtual bool AggBooterFile(const std::wstring& path);
    virtual bool AggAccessoriFile(int index, const std::wstring& path);
    // The writers report their blocks here; a block whose transfer failed
    // counts as handled, as the write goes on past it.
    void SetWriteProgress(WriteProgressCallback progress) { progress_ = std::move(progress); }
    virtual bool IsAggiornabile() const { return true; }
    virtual bool IsNonAggiornabile() const { return false; }

    // The connection of the slave kind that the identity's code names; null
    // (and an ERROR line) for a code this program does not know.
    static std::unique_ptr<CConnSlaveBase> CreateConnToSlave(CUSBConnection& master,
                                                             const INFOIDENT& ident, uint8_t n);
    // Lists in info, once each, the present slaves of its net that this
    // program does not update.
    static void SegnaNonAggiornabili(CUSBConnection& master, CDeviceInfo& info);

    // What a data-logger master does for a slave in net-table slot (n - 1):
    // nothing for an empty entry or a slave without a connection (empty text,
    // false), nothing either for a kind this program does not update.
    static std::wstring CercaFirmwareDelSlave(CConnectionStrumentoBase& master, std::wstring& version,
                                              size_t slot, const std::wstring& fw_folder,
                                              const std::wstring& acc_folder,
                                              CFirmupFilesInfo* catalogue);
    static std::wstring CercaBooterDelSlave(CConnectionStrumentoBase& master, std::wstring& version,
                                            size_t slot, const std::wstring& boot_folder,
                                            CFirmupFilesInfo* catalogue);
    enum class Scrittura { Firmware, Lingua, Booter, Accessorio };
    static bool AggiornaSlave(CConnectionStrumentoBase& master, Scrittura what, size_t slot,
                              const std::wstring& path, int index = 0);

    const UpdateFileDescriptor& FirmwareFile() const { return fw_; }
    const UpdateFileDescriptor& LanguageFile() const { return lng_; }
    const UpdateFileDescriptor& BooterFile() const { return boot_; }
    AccessoriMap& Accessori() { return accessori_; }
    uint8_t Numero() const { return n_; }

protected:
    // The firmware writer with its log name and erase address.
    bool ScriviFirmware(const char* method, uint32_t erase_address, const std::wstring& path);

    UpdateFileDescriptor fw_, lng_, boot_;
    AccessoriMap accessori_;
    CUSBConnection* master_;
    uint8_t n_;
    uint32_t serial_;
    WriteProgressCallback progress_;

private:
    // Main-buffer write and request 55 for one block; false after the logged failure.
    // One block relayed to the slave through the master's main buffer and
    // the command that stores it; both again after a transient fault.
    bool Blocco(const char* method, const uint8_t* block, uint8_t command, uint32_t address, uint16_t dati);
    // An erase of the master to this slave, again after a transient fault.
    bool Cancella(uint8_t command, uint32_t address, uint16_t dati);
};

class CConnSlaveGPS : public CConnSlaveBase {
public:
    static constexpr uint32_t kEraseAddress = 0x70000;
    using CConnSlaveBase::CConnSlaveBase;
    bool AggFwFile(const std::wstring& path) override;
};

// Kinds this program lists but does not update: every writer does nothing and says so.
class CConnSlaveNonAggiornabile : public CConnSlaveBase {
public:
    using CConnSlaveBase::CConnSlaveBase;
    bool AggFwFile(const std::wstring&) override { return true; }
    bool AggLngFile(const std::wstring&) override { return true; }
    bool AggBooterFile(const std::wstring&) override { return true; }
    bool AggAccessoriFile(int, const std::wstring&) override { return true; }
    bool IsAggiornabile() const override { return false; }
    bool IsNonAggiornabile() const override { return true; }
};

class CConnSlaveMemoryKey : public CConnSlaveNonAggiornabile {
public:
    using CConnSlaveNonAggiornabile::CConnSlaveNonAggiornabile;
};

class CConnSlaveGPSAntenna : public CConnSlaveNonAggiornabile {
public:
    using CConnSlaveNonAggiornabile::CConnSlaveNonAggiornabile;
};

// Camera units: no files either.
class CConnSlaveGlimmo : public CConnSlaveNonAggiornabile {
public:
    using CConnSlaveNonAggiornabile::CConnSlaveNonAggiornabile;
    std::wstring CercaFileFirmwareSlaveKind(std::wstring& version, const std::wstring&,
                                            const std::wstring&, CFirmupFilesInfo*) override {
        version.clear();
        return {};
    }
    std::wstring CercaFileBooterSlaveKind(std::wstring& version, const std::wstring&,
                                          CFirmupFilesInfo*) override {
        version.clear();
        return {};
    }
};

class CConnSlaveGlimmoHD : public CConnSlaveGlimmo {
public:
    using CConnSlaveGlimmo::CConnSlaveGlimmo;
};
