#pragma once
// Turns device and media notifications into calls on a destination. Sources
// are opened when detection starts and watched by the window's event loop,
// so every call reaches the destination on the thread that runs that loop.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hwdetect/dest_msg_hw_detection.h"
#include "hwdetect/hw_event_source.h"
#include "hwdetect/vesk_disk_memory_manager.h"

class CVesk_HW_CheckDevice {
public:
    // dest may be null (see SetDest); sources null means udev and the mount table.
    explicit CVesk_HW_CheckDevice(IDestMsgHwDetection* dest,
                                  std::shared_ptr<IHwEventSourceFactory> sources = nullptr);
    virtual ~CVesk_HW_CheckDevice();
    CVesk_HW_CheckDevice(const CVesk_HW_CheckDevice&) = delete;
    CVesk_HW_CheckDevice& operator=(const CVesk_HW_CheckDevice&) = delete;

    // Starts USB and media detection on window's loop; the outcome is in
    // UsbDetectionOn and MediaDetectionOn.
    // The loop must outlive detection (stop, or destroy this object, first).
    void AvviaGestioneEventiSistema(IHwEventLoop& window);
    void TerminaGestioneEventiSistema();

    long OnDeviceChange(uint32_t event, const HwDeviceHeader* header);
    // item: the medium's root path.
    long ManageMediaChanged(const wchar_t* item, uint32_t event);
    // The product number in a device interface name of vendor 11CC.
    bool UpdateDevice(const wchar_t* name, int& number);
    bool SetDest(IDestMsgHwDetection* dest);
    bool ExamineMemoryDevice(const std::wstring& root, CVeskDiskMemoryManager* list);

    bool RequireInfoFile = true;
    bool UsbDetectionOn = false;
    bool MediaDetectionOn = false;
    // Why the last start failed ("USB device notifications: <error>"); empty when it did not.
    std::string FailureCause;

private:
    bool WatchSource(const std::shared_ptr<IHwEventSource>& source);

    IDestMsgHwDetection* dest_;
    std::shared_ptr<IHwEventSource> media_registration_;
    std::vector<std::shared_ptr<IHwEventSource>> device_notifications_;
    int handle_count_ = 0;
    IHwEventLoop* window_ = nullptr;
    std::shared_ptr<IHwEventSourceFactory> sources_;
};
