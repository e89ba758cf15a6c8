#pragma once
// Stand-in for the connection base while it is built elsewhere: only what the
// family writers and the file scans use. Replaced by the real base on merge.
#include <cstdint>
#include <map>
#include <string>

#include "device/device_info.h"
#include "firmware_files/firmup_files_info.h"
#include "usb/usb_connection.h"

// One kind of update file of a connection: its address range, the save code
// sent with command 15 and the file-name pattern ("" when there is none).
struct UpdateFileDescriptor {
    uint32_t start = 0;
    uint32_t end = 0;
    uint16_t code = 0;
    std::wstring pattern;
};

class CConnectionStrumentoBase : public CUSBConnection {
public:
    explicit CConnectionStrumentoBase(const std::wstring& app_folder = L"")
        : app_folder_(app_folder) {}
    ~CConnectionStrumentoBase() override = default;

    bool Connetti(CDeviceInfo* info) {
        info_ = info;
        return info && Apri(*info) > 0;
    }
    void SetDeviceInfo(CDeviceInfo* info) { info_ = info; }
    bool IsOpen() const { return GetConnectionType() > 0; }
    void Chiudi() {
        ChiudiUSB();
        info_ = nullptr;
    }

    virtual bool LeggiNetTable(bool /*rebuild*/, bool /*fail_on_problem_slaves*/) { return false; }

    virtual bool CercaFileFirmware(std::wstring& version, const std::wstring& firmware_folder,
                                   const std::wstring& accessory_folder, CFirmupFilesInfo& catalogue);
    virtual bool CercaFileBooter(std::wstring& version, const std::wstring& booter_folder,
                                 CFirmupFilesInfo& catalogue);
    virtual bool AggiornaFwFile(const std::wstring&) { return false; }
    virtual bool AggiornaLngFile(const std::wstring&) { return false; }
    virtual bool AggiornaBooterFile(const std::wstring&) { return false; }
    virtual bool AggiornaAccessoriFile(int, const std::wstring&) { return false; }
    virtual int SlaveUpdateLevel() { return 0; }

    const UpdateFileDescriptor& FwDescriptor() const { return fw_; }
    const UpdateFileDescriptor& LngDescriptor() const { return lng_; }
    const UpdateFileDescriptor& BooterDescriptor() const { return booter_; }
    const std::map<int, UpdateFileDescriptor>& Accessori() const { return accessori_; }

protected:
    CDeviceInfo* info_ = nullptr;
    std::wstring app_folder_;
    UpdateFileDescriptor fw_, lng_, booter_;
    std::map<int, UpdateFileDescriptor> accessori_;
};
