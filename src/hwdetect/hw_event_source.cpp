#include "hwdetect/hw_event_source.h"

#include <cstdio>

#include "common/str_conv.h"

namespace vesk::hw {

std::wstring MakeUsbInterfaceName(uint16_t vendor, uint16_t product, const std::string& device_path) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB#VID_%04X&PID_%04X#", vendor, product);
    return L"\\\\?\\" + vesk::from_utf8(ids) + vesk::from_utf8(device_path) + L"#" +
           kUsbDeviceInterfaceClass;
}

}  // namespace vesk::hw
