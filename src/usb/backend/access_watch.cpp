#include "usb/backend/access_watch.h"

#include <algorithm>

#include "usb/backend/udev_rule.h"

namespace vesk::usb {

const char kUdevRule[] = VESK_UDEV_RULE;

bool CAccessWatchBackend::ListDevices(std::vector<std::string>& paths, int* error) {
    return inner_.ListDevices(paths, error);
}

std::unique_ptr<IUsbDevice> CAccessWatchBackend::Open(const std::string& path, int* error) {
    int e = kUsbOk;
    auto device = inner_.Open(path, &e);
    if (error) *error = e;
    if (!device && e == kUsbErrorAccess) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(denied_.begin(), denied_.end(), path) == denied_.end()) denied_.push_back(path);
    }
    return device;
}

std::vector<std::string> CAccessWatchBackend::Denied() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return denied_;
}

std::wstring AccessDeniedAdvice(const std::wstring& device_path) {
    const std::string rule = kUdevRule;
    return L"Cannot open the instrument at " + device_path +
           L" (USB vendor 11cc): permission denied.\n"
           L"Either the udev rule that gives the user at this computer's seat access to Vesk "
           L"instruments is not installed, or you are not logged in at the seat (for example "
           L"over ssh), so the rule does not apply to you.\n"
           L"To install the rule:\n"
           L"  echo '" + std::wstring(rule.begin(), rule.end()) +
           L"' | sudo tee /etc/udev/rules.d/70-vesk-firmup.rules\n"
           L"  sudo udevadm control --reload\n"
           L"  sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=11cc\n"
           L"then try again (or unplug the instrument and plug it back in).";
}

}  // namespace vesk::usb
