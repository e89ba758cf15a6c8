#include "usb/vesk_usb_commons.h"

#include <sys/utsname.h>

#include <cstring>

#include "common/str_conv.h"
#include "log/evt_log.h"

C_Vesk_USB_Commons::C_Vesk_USB_Commons() { RilevaSistema64(); }

bool C_Vesk_USB_Commons::DetectSystem64(const std::string& m, bool* is64) {
    static const char* const k64[] = {"x86_64", "aarch64", "ppc64le", "s390x", "riscv64",
                                       "loongarch64"};
    static const char* const k32[] = {"i386", "i486", "i586", "i686"};
    *is64 = false;
    for (const char* n : k64)
        if (m == n) return *is64 = true;
    for (const char* n : k32)
        if (m == n) return true;
    // 32-bit ARM: armv6l, armv7l, armv8l, arm...
    if (m.rfind("arm", 0) == 0) return true;
    return false;
}

bool C_Vesk_USB_Commons::RilevaSistema64() {
    struct utsname u{};
    if (::uname(&u) != 0) {
        is64_ = false;
        return false;
    }
    return DetectSystem64(u.machine, &is64_);
}

bool C_Vesk_USB_Commons::GetElencoDeviceCollegati(std::vector<std::wstring>& paths) {
    std::vector<std::string> found;
    int error = 0;
    if (!vesk::usb::process_backend().ListDevices(found, &error)) {
        VLOG_FILE_ERROR("C_Vesk_USB_Commons::GetElencoDeviceCollegati", "Bad handle");
        return false;
    }
    for (const auto& p : found) paths.push_back(vesk::from_utf8(p));
    return true;
}

bool C_Vesk_USB_Commons::CreaFile(const std::wstring& device_path) {
    int error = vesk::usb::kUsbErrorOther;
    handle_ = vesk::usb::process_backend().Open(vesk::to_utf8(device_path), &error);
    last_error_ = handle_ ? vesk::usb::kUsbOk : error;
    if (!handle_) {
        VLOG_FILE_ERROR("C_Vesk_USB_Commons::CreaFile", "errorcode = %u (0x%x)",
                        static_cast<unsigned>(error), static_cast<unsigned>(error));
        return false;
    }
    return true;
}

bool C_Vesk_USB_Commons::LeggiUSBDescriptor(uint8_t* buffer256) {
    std::memset(buffer256, 0, 256);
    size_t got = 0;
    last_error_ = handle_ ? handle_->ReadConfigDescriptor(buffer256, 256, &got) : vesk::usb::kUsbErrorNoDevice;
    if (last_error_ != vesk::usb::kUsbOk) {
        VLOG_FILE_ERROR("C_Vesk_USB_Commons::LeggiUSBDescriptor", "IO Ctrl error");
        return false;
    }
    return true;
}

bool C_Vesk_USB_Commons::LeggiProductId(uint16_t& product_id) {
    if (!handle_ || handle_->ReadProductId(&product_id) != vesk::usb::kUsbOk) {
        VLOG_FILE_ERROR("C_Vesk_USB_Commons::LeggiProductId", "No device descriptor");
        return false;
    }
    return true;
}
