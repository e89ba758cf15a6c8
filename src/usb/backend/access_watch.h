#pragma once
// Instruments the user may not open. A device node without the udev rule's
// access, or a user who is not at the seat, makes libusb refuse the open with
// LIBUSB_ERROR_ACCESS; another program that holds the instrument makes it
// refuse with LIBUSB_ERROR_BUSY. The listing then simply leaves the
// instrument out. A front end installs this watch over the carrier and, after
// its work, tells the user why and what to do (AccessDeniedAdvice).
#include <mutex>
#include <string>
#include <vector>

#include "usb/backend/usb_backend.h"

namespace vesk::usb {

class CAccessWatchBackend : public IUsbBackend {
public:
    // The carrier underneath is not owned and must outlive the watch.
    explicit CAccessWatchBackend(IUsbBackend& inner) : inner_(inner) {}

    bool ListDevices(std::vector<std::string>& paths, int* error) override;
    std::unique_ptr<IUsbDevice> Open(const std::string& path, int* error) override;

    // Device paths refused for lack of permission, each once, in the order met.
    std::vector<std::string> Denied() const;
    // Device paths refused because another program holds them, each once; a
    // path opened later is no longer busy.
    std::vector<std::string> Busy() const;

private:
    IUsbBackend& inner_;
    mutable std::mutex mutex_;
    std::vector<std::string> denied_;
    std::vector<std::string> busy_;
};

// The udev rule that grants the access, as installed in 70-vesk-firmup.rules.
extern const char kUdevRule[];

// What decides the way out of a refused open: which copy of the udev rule is
// installed, and whether this session sits at a seat (the rule's "uaccess"
// tag serves only the user logged in at the seat).
struct AccessSetting {
    std::string rule_file;  // the rule found, empty when none is installed
    bool at_seat = false;
};

// The folders udev reads rules from, packaged ones first.
extern const char* const kUdevRuleFolders[4];

// This system and session: the rule looked for in kUdevRuleFolders; a seat
// when logind gave the session one (XDG_SEAT) and it is not an ssh login.
AccessSetting CurrentAccessSetting();

// The line that says an instrument at device_path ("usb:1-4") was found but
// refused: "found a Vesk instrument at usb:1-4 but cannot open it: permission denied".
std::wstring AccessDeniedLine(const std::wstring& device_path);
// The same for an instrument another program holds: "found a Vesk instrument
// at usb:1-4 but cannot open it: busy (another program holds it)".
std::wstring AccessBusyLine(const std::wstring& device_path);

// What the user can do about it: with the rule installed, log in at the seat,
// replug, or trigger udev; without a seat, a group rule (plugdev); only
// without any rule, the commands that install it. One text for the terminal
// and the window.
std::wstring AccessDeniedAdvice(const AccessSetting& setting);

}  // namespace vesk::usb
