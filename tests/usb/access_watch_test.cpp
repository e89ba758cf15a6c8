// A refused open must reach the user as words to act on, not as a missing
// instrument: the watch over the carrier notes the refusals the transport
// meets, and the advice names the device and the fix.
#include "usb/backend/access_watch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "common/str_conv.h"
#include "records/device_info.h"
#include "usb/usb_connection.h"

namespace {

using namespace vesk::usb;

// Instruments that list but cannot be opened, each with its own error.
class RefusingBackend : public IUsbBackend {
public:
    explicit RefusingBackend(std::map<std::string, int> errors) : errors_(std::move(errors)) {}
    bool ListDevices(std::vector<std::string>& paths, int*) override {
        for (const auto& [path, e] : errors_) paths.push_back(path);
        return true;
    }
    std::unique_ptr<IUsbDevice> Open(const std::string& path, int* error) override {
        *error = errors_.at(path);
        return nullptr;
    }

private:
    std::map<std::string, int> errors_;
};

TEST(AccessWatch, NotesPermissionAndBusyRefusalsOnce) {
    RefusingBackend refusing({{"usb:1-2", kUsbErrorAccess},
                              {"usb:1-3", kUsbErrorBusy},
                              {"usb:1-4", kUsbErrorNoDevice},
                              {"usb:2-1.4", kUsbErrorAccess}});
    CAccessWatchBackend watch(refusing);
    ScopedBackend scope(watch);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<CDeviceInfo> list;
        EXPECT_TRUE(IUSBConnection::GetListaDeviceCollegati(list));
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(watch.Denied(), (std::vector<std::string>{"usb:1-2", "usb:2-1.4"}));
    EXPECT_EQ(watch.Busy(), (std::vector<std::string>{"usb:1-3"}));
    // The transport still sees the carrier's own error.
    int error = 0;
    EXPECT_FALSE(watch.Open("usb:1-3", &error));
    EXPECT_EQ(error, kUsbErrorBusy);
}

// The rule line of the installed file, which the advice must quote exactly.
std::string InstalledRule() {
    std::ifstream in(VESK_UDEV_RULES_FILE);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') return line;
    return {};
}

TEST(AccessWatch, TheRuleQuotedIsTheInstalledOne) {
    ASSERT_FALSE(InstalledRule().empty());
    EXPECT_EQ(std::string(kUdevRule), InstalledRule());
    EXPECT_EQ(vesk::to_utf8(AccessDeniedLine(L"usb:1-4")),
              "found a Vesk instrument at usb:1-4 but cannot open it: permission denied");
}

// The way out depends on the rule installed and the seat: the copy command
// only without any rule (a copy in /etc would override the package's rule
// and outlive its purge), the group rule only without a seat.
TEST(AccessWatch, AdviceFollowsTheRuleAndTheSeat) {
    const std::string copy = "echo '" + InstalledRule() + "' | sudo tee /etc/udev/rules.d/70-vesk-firmup.rules";
    const std::string trigger = "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=11cc";
    const std::string plugdev = "GROUP=\"plugdev\"";
    struct Case {
        const char* name;
        AccessSetting setting;
        std::vector<std::string> has, lacks;
    } cases[] = {
        {"no rule, at the seat", {"", true}, {copy, "not installed", trigger}, {plugdev}},
        {"no rule, no seat", {"", false}, {copy, plugdev, "usermod -aG plugdev"}, {}},
        {"packaged rule, at the seat", {"/usr/lib/udev/rules.d/70-vesk-firmup.rules", true},
         {"/usr/lib/udev/rules.d/70-vesk-firmup.rules", "unplug", trigger, "log in there"}, {copy, plugdev}},
        {"packaged rule, no seat", {"/usr/lib/udev/rules.d/70-vesk-firmup.rules", false},
         {"no seat", plugdev, "usermod -aG plugdev", trigger}, {copy}},
        {"rule copied by hand, at the seat", {"/etc/udev/rules.d/70-vesk-firmup.rules", true},
         {"/etc/udev/rules.d/70-vesk-firmup.rules", trigger}, {copy, plugdev}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string advice = vesk::to_utf8(AccessDeniedAdvice(c.setting));
        for (const std::string& part : c.has) EXPECT_NE(advice.find(part), std::string::npos) << part << "\n" << advice;
        for (const std::string& part : c.lacks) EXPECT_EQ(advice.find(part), std::string::npos) << part << "\n" << advice;
    }
}

}  // namespace
