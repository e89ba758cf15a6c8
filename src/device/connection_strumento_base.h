#pragma once
// The common implementation behind every instrument connection: a USB
// command connection that also answers the identity, net-table, mode-switch
// and update-file questions with the behaviour the families share.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "device/connection_strumento.h"
#include "usb/usb_connection.h"

// Index -> descriptor of the accessory files.
using AccessoriMap = std::map<int, UpdateFileDescriptor>;

class CConnectionStrumentoBase : public CUSBConnection,
                                 public IConnectionStrumento,
                                 public IAggiornaFW {
public:
    static constexpr uint32_t kNetRebuildLeadMs = 1200;
    static constexpr uint32_t kNetRebuildMs = 6600;
    static constexpr uint32_t kNetRereadMs = 300;
    static constexpr uint32_t kSlaveRereadMs = 300;
    static constexpr uint32_t kSlaveIdentRereadMs = 250;
    static constexpr int kMaxComparisons = 10;
    static constexpr size_t kNetSlots = 31;

    explicit CConnectionStrumentoBase(const std::wstring& app_folder = L"",
                                      uint16_t packet_length = 256);
    ~CConnectionStrumentoBase() override = default;

    // IConnectionStrumento
    bool Connetti(CDeviceInfo* info) override;
    void SetDeviceInfo(CDeviceInfo* info) override { info_ = info; }
    CDeviceInfo* RefreshIdent(bool with_net_table, bool& ok) override;
    bool IsOpen() const override { return Hardware() != nullptr; }
    void Chiudi() override;
    void Riavvia() override;
    bool LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) override;
    bool DumpStrumento(const std::wstring& path) override;
    bool TracciaInfoident(const std::wstring& text) override;
    int GetMaxSlaves() const override { return max_slaves_; }
    bool GotoBooter() override;
    bool GotoFirmware() override;
    bool GotoBooterSlave(uint8_t nslave) override;
    bool GotoFirmwareSlave(uint8_t nslave) override;
    bool LeggiIdentSlave(uint8_t nslave, CDeviceInfo& info) override;

    // IAggiornaFW
    bool GetInfoFirmup(INFOFWUPD& record, uint8_t nslave) override;
    bool DebugRichiesta16() override;
    bool DebugRichiesta17() override;
    // The families know their files; a connection of its own has none.
    std::wstring CercaFileFirmware(std::wstring& version, const std::wstring& fw_folder,
                                   const std::wstring& acc_folder,
                                   CFirmupFilesInfo* catalogue) override;
    std::wstring CercaFileBooter(std::wstring& version, const std::wstring& boot_folder,
                                 CFirmupFilesInfo* catalogue) override;
    bool AggiornaAccessoriFile(int index, const std::wstring& path) override;
    std::wstring CercaFileFirmwareOther(std::wstring& version, int kind,
                                        const std::wstring& fw_folder,
                                        const std::wstring& acc_folder,
                                        CFirmupFilesInfo* catalogue) override;
    std::wstring CercaFileBooterOther(std::wstring& version, int kind,
                                      const std::wstring& boot_folder,
                                      CFirmupFilesInfo* catalogue) override;
    bool CaricaOtherFwFile(int kind, const std::wstring& path, uint32_t value) override;
    bool CaricaOtherLngFile(int kind, const std::wstring& path, uint32_t value) override;
    bool CaricaOtherBooterFile(int kind, const std::wstring& path, uint32_t value) override;
    bool CaricaOtherAccessoriFile(int kind, int index, const std::wstring& path) override;
    void SetWriteProgress(WriteProgressCallback progress) override { progress_ = std::move(progress); }
    // What the writers report to.
    const WriteProgressCallback& WriteProgress() const { return progress_; }

    // Extensions of the USB layer.
    // Fixes a slave identity read through the master (slot is 0-based).
    virtual bool SistemaInfoIdentSlave(INFOIDENT& ident, size_t slot);
    // Reads one slave identity until two consecutive reads agree.
    virtual bool GetInfoIndentSlave(uint8_t* buffer128, uint8_t nslave);
    // Last touch on an other-gauge image before it is stored; value is the caller's.
    virtual void PreparaBufferOther(int /*kind*/, uint8_t* /*image*/, uint32_t /*size*/,
                                    uint32_t /*value*/) {}

    // Keeps a copy of an exchange in the log folder (never in an update folder).
    bool SalvaTraceUsb(const std::wstring& name, const uint8_t* data, size_t length) const;

    CDeviceInfo* GetDeviceInfo() const { return info_; }
    const std::wstring& GetAppFolder() const { return app_folder_; }
    // Slots of the slaves the last net-table read could not settle.
    const std::vector<uint8_t>& GetProblemSlaves() const { return problem_slaves_; }

    // What the families fill in.
    UpdateFileDescriptor& FirmwareFile() { return fw_file_; }
    UpdateFileDescriptor& LanguageFile() { return lng_file_; }
    UpdateFileDescriptor& BooterFile() { return boot_file_; }
    AccessoriMap& Accessori() { return accessori_; }
    size_t NumAccessori() const { return accessori_.size(); }
    std::map<int, UpdateFileDescriptor>& OtherFirmware() { return other_fw_; }
    std::map<int, UpdateFileDescriptor>& OtherLanguage() { return other_lng_; }
    std::map<int, UpdateFileDescriptor>& OtherBooter() { return other_boot_; }
    std::map<int, AccessoriMap>& OtherAccessori() { return other_acc_; }
    void SetMaxSlaves(int n) { max_slaves_ = n; }

protected:
    // How a net-table read waits and words its slave messages.
    struct NetReadStyle {
        const char* method;
        uint32_t lead_ms, rebuild_ms, reread_ms, slave_reread_ms;
        bool numbered;  // slave messages end with "nslave %u"
    };
    bool LeggiNetTable(const NetReadStyle& style, bool rebuild, bool fail_on_problem_slaves);
    // Writes a memory dump's parts one after another into the file at path
    // (created or replaced); false with one ERROR line under method when the
    // file cannot be created or not every byte reached it.
    static bool ScriviDump(const char* method, const std::wstring& path,
                           std::initializer_list<std::span<const uint8_t>> parts);
    // The device ranges a dump could not read, [first, last], joined when adjacent.
    using Buchi = std::vector<std::pair<uint32_t, uint32_t>>;
    static void AggiungiBuco(Buchi& holes, uint32_t first, uint32_t size);
    // True when nothing is missing; otherwise one ERROR line under method names
    // the unread ranges, and no file is written.
    static bool DumpIntero(const char* method, const std::wstring& path, const Buchi& holes);

private:
    // Command 27 with C4 = rebuild flag, logged on failure.
    bool SendNetTableCommand(const char* method, uint16_t c4);
    bool ReadNetTable(const char* method, NETIDENT& table);
    // Request 49 for one slave and the 128-byte read, logged on failure.
    bool FetchSlaveIdent(uint8_t* buffer128, uint8_t nslave);
    // A mode switch (to the booter when to_booter) sent by send; after a
    // transient fault the unit's mode is read first and the switch is sent
    // again only when the unit is still in the other mode.
    bool SwitchMode(const Request& request, bool to_booter, const std::function<bool()>& send);
    void ReadSlaves(const NetReadStyle& style);
    // Stores one other-gauge image: load, last touch, start command and 2048-byte blocks.
    bool CaricaOther(const char* method, const std::map<int, UpdateFileDescriptor>& map, int kind,
                     const std::wstring& path, bool booter, uint32_t value);

    CDeviceInfo* info_ = nullptr;
    std::wstring app_folder_;
    UpdateFileDescriptor fw_file_, lng_file_, boot_file_;
    AccessoriMap accessori_;
    std::map<int, UpdateFileDescriptor> other_fw_, other_lng_, other_boot_;
    std::map<int, AccessoriMap> other_acc_;
    int max_slaves_ = 5;
    std::vector<uint8_t> problem_slaves_;
    WriteProgressCallback progress_;
};
