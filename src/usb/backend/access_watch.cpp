#include "usb/backend/access_watch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/str_conv.h"

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
    std::lock_guard<std::mutex> lock(mutex_);
    auto note = [&path](std::vector<std::string>& paths) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    };
    if (device) std::erase(busy_, path);
    else if (e == kUsbErrorAccess) note(denied_);
    else if (e == kUsbErrorBusy) note(busy_);
    return device;
}

std::vector<std::string> CAccessWatchBackend::Denied() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return denied_;
}

std::vector<std::string> CAccessWatchBackend::Busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

const char* const kUdevRuleFolders[4] = {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                         "/etc/udev/rules.d"};

AccessSetting CurrentAccessSetting() {
    AccessSetting s;
    for (const char* folder : kUdevRuleFolders) {
        const std::string file = std::string(folder) + "/70-vesk-firmup.rules";
        if (::access(file.c_str(), F_OK) == 0) {
            s.rule_file = file;
            break;
        }
    }
    const char* seat = std::getenv("XDG_SEAT");
    s.at_seat = seat && *seat && !std::getenv("SSH_CONNECTION");
    return s;
}

std::wstring AccessDeniedLine(const std::wstring& device_path) {
    return L"found a Vesk instrument at " + device_path + L" but cannot open it: permission denied";
}

std::wstring AccessBusyLine(const std::wstring& device_path) {
    return L"found a Vesk instrument at " + device_path + L" but cannot open it: busy (another program holds it)";
}

std::wstring AccessDeniedAdvice(const AccessSetting& setting) {
    const std::string rule = kUdevRule;
    const std::wstring trigger =
        L"  sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=11cc\n";
    // A session without a seat gets nothing from "uaccess": a group must be given the access.
    const std::wstring group =
        L"This session has no seat (for example an ssh login), and the rule gives access only to the user "
        L"at the seat. To use the instruments from here, give the group plugdev access and join it:\n"
        L"  echo 'SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"11cc\", GROUP=\"plugdev\", "
        L"MODE=\"0660\"' | sudo tee /etc/udev/rules.d/71-vesk-firmup-plugdev.rules\n"
        L"  sudo usermod -aG plugdev \"$USER\"\n"
        L"  sudo udevadm control --reload\n" +
        trigger + L"then log in again.";
    if (!setting.rule_file.empty()) {
        const std::wstring installed = L"The udev rule is installed (" + from_utf8(setting.rule_file) + L").\n";
        if (!setting.at_seat) return installed + group;
        return installed +
               L"It gives access to the user logged in at this computer's seat: unplug the instrument and plug "
               L"it back in, or apply the rule to what is connected now:\n" +
               trigger + L"If you are not the user at the seat, log in there.";
    }
    return L"The udev rule that gives the user at this computer's seat access to Vesk instruments is not "
           L"installed. To install it:\n"
           L"  echo '" + std::wstring(rule.begin(), rule.end()) +
           L"' | sudo tee /etc/udev/rules.d/70-vesk-firmup.rules\n"
           L"  sudo udevadm control --reload\n" +
           trigger + L"then try again" + (setting.at_seat ? L"." : L"; this session has no seat, so see also:\n" + group);
}

}  // namespace vesk::usb
