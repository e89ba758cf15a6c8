#pragma once
// What every USB connection embeds: listing the instruments, opening one
// exclusively, reading its configuration descriptor, and the host's word size.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/backend/usb_backend.h"

class C_Vesk_USB_Commons {
public:
    C_Vesk_USB_Commons();
    ~C_Vesk_USB_Commons() = default;
    C_Vesk_USB_Commons(const C_Vesk_USB_Commons&) = delete;
    C_Vesk_USB_Commons& operator=(const C_Vesk_USB_Commons&) = delete;

    bool RilevaSistema64();
    // Appends the path of every present instrument; true when the listing ran to its end.
    bool GetElencoDeviceCollegati(std::vector<std::wstring>& paths);
    bool CreaFile(const std::wstring& device_path);
    bool HandleValido() const { return handle_ != nullptr; }
    // The raw configuration descriptor into a 256-byte buffer.
    bool LeggiUSBDescriptor(uint8_t* buffer256);
    // The product id the instrument was enumerated under.
    bool LeggiProductId(uint16_t& product_id);
    // Drops the handle, which closes the device.
    void ChiudiHandle() { handle_.reset(); }
    // The carrier's error of the last open or descriptor read that failed.
    int LastError() const { return last_error_; }

    vesk::usb::IUsbDevice* Handle() const { return handle_.get(); }
    bool Is64() const { return is64_; }

    // The host test on a given machine name (uname's "machine" field).
    static bool DetectSystem64(const std::string& machine, bool* is64);

private:
    std::unique_ptr<vesk::usb::IUsbDevice> handle_;
    bool is64_ = false;
    int last_error_ = vesk::usb::kUsbOk;
};
