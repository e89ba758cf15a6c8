#include "hwdetect/vesk_hw_check_device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "../support/console_capture.h"
#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/hw_queued_event_source.h"
#include "log/evt_log.h"
#include "recording_dest.h"

namespace {

using vesk::test::ConsoleCapture;
using vesk::test::ExpectDeviceCall;
using vesk::test::HwCall;
using vesk::test::RecordingDest;
using vesk::test::TempDir;
namespace hw = vesk::hw;

const std::wstring kClass = L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

std::wstring Dev(const std::wstring& vid_pid) {
    return L"\\\\?\\USB#" + vid_pid + L"#5&2a0c2b5&0&2#" + kClass;
}

TEST(UpdateDevice, ReadsTheProductNumberOfVeskDevices) {
    struct Case {
        const wchar_t* name;
        bool ok;
        int number;
        const char* log;  // nullptr: nothing logged
    } cases[] = {
        {L"\\\\?\\usb#vid_11cc&pid_0101#5&2a0c2b5&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         true, 101, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_0110#x#y", true, 110, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_1001#x", true, 1001, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_2001", true, 2001, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_2002&MI_00#x", true, 2002, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_0102#x", true, 102, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_A101#x", true, 0, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID", true, 0, nullptr},
        {L"\\\\?\\USB#VID_11CC&PID_99999999999999999999#x", true, 9999999, nullptr},  // capped, no overflow
        {nullptr, false, -1, "ERROR = Wrong param: null pointer passed\n"},
        {L"", false, -1, "ERROR = Device name too short \n"},
        {L"\\\\?\\", false, -1, "ERROR = Device name too short \\\\?\\\n"},
        {L"\\\\?\\USB#VID_046D&PID_C52B#x", false, -1,
         "ERROR = Can't find USB#VID_11CC&PID in \\\\?\\USB#VID_046D&PID_C52B#x\n"},
        {L"\\\\?\\HID#VID_11CC&PID_0101#x", false, -1,
         "ERROR = Can't find USB#VID_11CC&PID in \\\\?\\HID#VID_11CC&PID_0101#x\n"},
    };
    for (const auto& c : cases) {
        const std::string what = c.name ? vesk::to_utf8(c.name) : "(null)";
        CVesk_HW_CheckDevice check(nullptr);
        vesk::LogCapture log;
        ConsoleCapture console;
        int number = -1;
        EXPECT_EQ(check.UpdateDevice(c.name, number), c.ok) << what;
        EXPECT_EQ(number, c.number) << what;
        if (c.log) {
            ASSERT_EQ(log.lines().size(), 1u) << what;
            EXPECT_EQ(log.lines()[0].rfind("CVesk_HW_CheckDevice::UpdateDevice [", 0), 0u) << what;
            EXPECT_NE(log.lines()[0].find(c.log), std::string::npos) << log.lines()[0];
        } else {
            EXPECT_TRUE(log.lines().empty()) << what;
        }
        EXPECT_EQ(console.text(), "") << what << ": the errors go to the log file only";
    }
}

TEST(OnDeviceChange, CallsTheOperationOfTheProduct) {
    struct Case {
        uint32_t event;
        std::wstring name;
        std::optional<std::string> op;  // none: nothing called
        bool arrived;
    } cases[] = {
        {hw::kDeviceArrival,
         L"\\\\?\\usb#vid_11cc&pid_0101#5&2a0c2b5&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         "0101", true},
        {hw::kDeviceRemoveComplete, Dev(L"VID_11CC&PID_0101"), "0101", false},
        {hw::kDeviceArrival, Dev(L"VID_11CC&PID_0110"), "0110", true},
        {hw::kDeviceRemoveComplete, Dev(L"VID_11CC&PID_1001"), "1001", false},
        {hw::kDeviceArrival, Dev(L"VID_11CC&PID_2001"), "2001", true},
        {hw::kDeviceArrival, Dev(L"VID_11CC&PID_2002"), "2002", true},
        {hw::kDeviceArrival, Dev(L"VID_11CC&PID_0102"), std::nullopt, false},
        {hw::kDeviceArrival, Dev(L"VID_11CC&PID_A101"), std::nullopt, false},
        {hw::kDeviceArrival, Dev(L"VID_046D&PID_0101"), std::nullopt, false},
        {hw::kDeviceQueryRemove, Dev(L"VID_11CC&PID_0101"), std::nullopt, false},
        {0x8003, Dev(L"VID_11CC&PID_0101"), std::nullopt, false},
        {0x0007, Dev(L"VID_11CC&PID_0101"), std::nullopt, false},
    };
    for (const auto& c : cases) {
        RecordingDest dest;
        CVesk_HW_CheckDevice check(&dest);
        HwDeviceHeader header;
        header.name = c.name.c_str();
        EXPECT_EQ(check.OnDeviceChange(c.event, &header), 0);
        const auto calls = dest.Calls();
        if (!c.op) {
            EXPECT_TRUE(calls.empty()) << vesk::to_utf8(c.name);
            continue;
        }
        ASSERT_EQ(calls.size(), 1u) << vesk::to_utf8(c.name);
        ExpectDeviceCall(calls[0], *c.op, c.arrived, c.name);
    }
}

TEST(OnDeviceChange, SilentAndLoggedRefusals) {
    RecordingDest dest;
    CVesk_HW_CheckDevice check(&dest);
    vesk::LogCapture log;
    HwDeviceHeader header;
    std::wstring name = Dev(L"VID_11CC&PID_0102");
    header.name = name.c_str();
    check.OnDeviceChange(hw::kDeviceArrival, &header);
    EXPECT_TRUE(log.lines().empty()) << "an unknown product of ours is ignored silently";

    name = Dev(L"VID_0781&PID_5567");
    header.name = name.c_str();
    check.OnDeviceChange(hw::kDeviceArrival, &header);
    EXPECT_TRUE(log.contains("Can't find USB#VID_11CC&PID in " + vesk::to_utf8(name)));
    log.clear();

    // Query-remove and other events never reach the name check.
    check.OnDeviceChange(hw::kDeviceQueryRemove, &header);
    // Only device-interface headers carry a name.
    name = Dev(L"VID_11CC&PID_0101");
    header.name = name.c_str();
    header.device_type = 2;
    check.OnDeviceChange(hw::kDeviceArrival, &header);
    check.OnDeviceChange(hw::kDeviceArrival, nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(dest.Calls().empty());
}

TEST(OnDeviceChange, WithoutDestinationNothingIsDeliveredUntilOneIsSet) {
    CVesk_HW_CheckDevice check(nullptr);
    std::wstring name = Dev(L"VID_11CC&PID_0101");
    HwDeviceHeader header;
    header.name = name.c_str();
    EXPECT_EQ(check.OnDeviceChange(hw::kDeviceArrival, &header), 0);

    RecordingDest dest, other;
    vesk::LogCapture log;
    EXPECT_TRUE(check.SetDest(&dest));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(check.SetDest(&other));
    EXPECT_TRUE(log.contains("CVesk_HW_CheckDevice::SetDest"));
    EXPECT_TRUE(log.contains("ERROR = Dest already set"));

    check.OnDeviceChange(hw::kDeviceArrival, &header);
    EXPECT_EQ(dest.Calls().size(), 1u);
    EXPECT_TRUE(other.Calls().empty());
}

class MediaTest : public ::testing::Test {
protected:
    MediaTest() : check(&dest) { tmp.mkdir("stick"); }
    std::wstring Root() const { return tmp.wpath() + L"/stick/"; }

    TempDir tmp;
    RecordingDest dest;
    CVesk_HW_CheckDevice check;
};

TEST_F(MediaTest, InsertedMediumWithoutInfoFileGivesAnEmptyList) {
    for (uint32_t event : {hw::kMediaInserted, hw::kDriveAdded}) {
        RecordingDest d;
        CVesk_HW_CheckDevice c(&d);
        EXPECT_EQ(c.ManageMediaChanged(Root().c_str(), event), 0);
        const auto calls = d.Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].op, "memory");
        EXPECT_TRUE(calls[0].arrived);
        EXPECT_EQ(calls[0].text, Root());
        EXPECT_TRUE(calls[0].has_list);
        EXPECT_TRUE(calls[0].records.empty());
    }
}

TEST_F(MediaTest, InsertedMediumWithInfoFileIsListed) {
    const std::string content("<info>\0bytes</info>", 19);
    tmp.write("stick/.vesk_info.txt", content);
    check.ManageMediaChanged(Root().c_str(), hw::kMediaInserted);
    const auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].records.size(), 1u);
    const HW_DISKMEMORY_INFO& r = calls[0].records[0];
    EXPECT_EQ(r.root, Root());
    EXPECT_TRUE(r.has_info_file);
    EXPECT_FALSE(r.read_only);
    EXPECT_EQ(std::string(r.info.begin(), r.info.end()), content);
}

TEST_F(MediaTest, ExamineMemoryDeviceCases) {
    tmp.mkdir("with_info");
    tmp.write("with_info/.vesk_info.txt", "");
    tmp.write("plain_file", "x");
    struct Case {
        std::wstring root;
        bool require_info;
        bool added;
        bool has_info;
    } cases[] = {
        {Root(), true, false, false},
        {Root(), false, true, false},
        {tmp.wpath() + L"/with_info/", true, true, true},
        {tmp.wpath() + L"/with_info", true, false, false},  // not a root
        {tmp.wpath() + L"/missing/", false, false, false},
        {tmp.wpath() + L"/plain_file/", false, false, false},
        {L"", false, false, false},
    };
    for (const auto& c : cases) {
        CVeskDiskMemoryManager list;
        check.RequireInfoFile = c.require_info;
        EXPECT_EQ(check.ExamineMemoryDevice(c.root, &list), c.added) << vesk::to_utf8(c.root);
        ASSERT_EQ(list.Count(), c.added ? 1u : 0u);
        if (c.added) {
            EXPECT_EQ(list.Records()[0].has_info_file, c.has_info);
        }
    }
    EXPECT_FALSE(check.ExamineMemoryDevice(Root(), nullptr));
}

// A medium is anybody's: what sits under the info file's name is read only
// when it is a regular file of at most 64 KiB; anything else is no info file,
// and a link is never followed.
TEST_F(MediaTest, OnlyASmallRegularInfoFileIsRead) {
    constexpr size_t kMax = 64 * 1024;
    const std::string info = tmp.file("stick/.vesk_info.txt");
    tmp.write("outside", "secret");
    struct Case {
        const char* what;
        std::function<void()> make;
        size_t size;  // of the info read; none when npos
    } cases[] = {
        {"small file", [&] { tmp.write("stick/.vesk_info.txt", "<info/>"); }, 7},
        {"largest file", [&] { tmp.write("stick/.vesk_info.txt", std::string(kMax, 'x')); }, kMax},
        {"one byte too many", [&] { tmp.write("stick/.vesk_info.txt", std::string(kMax + 1, 'x')); },
         std::string::npos},
        {"huge sparse file",
         [&] {
             tmp.write("stick/.vesk_info.txt", "");
             ASSERT_EQ(::truncate(info.c_str(), 8 << 20), 0);
         },
         std::string::npos},
        {"link to a file", [&] { std::filesystem::create_symlink(tmp.file("outside"), info); },
         std::string::npos},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0); }, std::string::npos},
        {"folder", [&] { std::filesystem::create_directory(info); }, std::string::npos},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(info);
        c.make();
        const bool has_info = c.size != std::string::npos;
        CVeskDiskMemoryManager required, optional;
        check.RequireInfoFile = true;
        EXPECT_EQ(check.ExamineMemoryDevice(Root(), &required), has_info) << c.what;
        check.RequireInfoFile = false;
        ASSERT_TRUE(check.ExamineMemoryDevice(Root(), &optional)) << c.what;
        const HW_DISKMEMORY_INFO r = optional.Records().at(0);
        EXPECT_EQ(r.has_info_file, has_info) << c.what;
        EXPECT_EQ(r.info.size(), has_info ? c.size : 0u) << c.what;
    }
    EXPECT_EQ(vesk::test::read_file(tmp.file("outside")), "secret");
}

TEST_F(MediaTest, ReadOnlyVolumeIsMarked) {
    // Any read-only mount of this machine will do; containers usually have some.
    std::ifstream in("/proc/self/mountinfo");
    std::string line, read_only_mount;
    while (std::getline(in, line) && read_only_mount.empty()) {
        char mount_point[4096], options[4096];
        if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %4095s %4095s", mount_point, options) != 2)
            continue;
        std::string opts = std::string(",") + options + ",";
        struct statvfs vfs {};
        if (opts.find(",ro,") != std::string::npos && std::string(mount_point).find('\\') == std::string::npos &&
            ::statvfs(mount_point, &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
            read_only_mount = mount_point;
    }
    if (read_only_mount.empty()) GTEST_SKIP() << "no read-only mount on this machine";
    if (read_only_mount.back() != '/') read_only_mount += '/';
    CVeskDiskMemoryManager list;
    check.RequireInfoFile = false;
    ASSERT_TRUE(check.ExamineMemoryDevice(vesk::from_utf8(read_only_mount), &list));
    EXPECT_TRUE(list.Records()[0].read_only) << read_only_mount;
}

TEST_F(MediaTest, RemovalAndOtherEvents) {
    vesk::LogCapture log;
    check.ManageMediaChanged(Root().c_str(), hw::kMediaRemoved);
    check.ManageMediaChanged(Root().c_str(), hw::kDriveRemoved);
    auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const HwCall& c : calls) {
        EXPECT_EQ(c.op, "memory");
        EXPECT_FALSE(c.arrived);
        EXPECT_EQ(c.text, Root());
        EXPECT_FALSE(c.has_list);
    }
    EXPECT_TRUE(log.lines().empty());

    check.ManageMediaChanged(Root().c_str(), 0x8);
    EXPECT_EQ(dest.Calls().size(), 2u);
    EXPECT_TRUE(log.contains("ERROR = Invalid Memory Hardware - path: " + vesk::to_utf8(Root())));
    log.clear();

    const std::wstring too_long = L"/" + std::wstring(259, L'a');
    for (const wchar_t* item : {static_cast<const wchar_t*>(nullptr), L"", too_long.c_str()}) {
        check.ManageMediaChanged(item, hw::kMediaInserted);
        EXPECT_TRUE(log.contains("ERROR = System Error: impossible to detect file system path"));
        log.clear();
    }
    EXPECT_EQ(dest.Calls().size(), 2u);
}

// A loop that refuses what it is asked, to see the registration errors.
class RefusingLoop : public IHwEventLoop {
public:
    bool refuse_watch = true;
    bool Watch(int, short, std::function<void()>) override {
        errno = EMFILE;
        if (refuse_watch) return false;
        ++watched;
        return true;
    }
    bool Unwatch(int) override {
        errno = ENOENT;
        return false;
    }
    int watched = 0;
};

TEST(HwDetectionLifecycle, StartAndStopWatchAndReleaseTheSources) {
    auto sources = std::make_shared<CHwQueuedSourceFactory>();
    RecordingDest dest;
    CHwPollLoop loop;  // outlives detection, which leaves it on destruction
    CVesk_HW_CheckDevice check(&dest, sources);
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_FALSE(check.MediaDetectionOn);
    EXPECT_TRUE(check.RequireInfoFile);
    EXPECT_FALSE(sources->PushUsbDevice(true, 0x11CC, 0x0101, "usb:1-1"));

    vesk::LogCapture log;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_TRUE(check.UsbDetectionOn);
    EXPECT_TRUE(check.MediaDetectionOn);
    EXPECT_EQ(loop.WatchedCount(), 2u);
    // A second start replaces the sources instead of leaving the old ones watched.
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_EQ(loop.WatchedCount(), 2u);

    check.TerminaGestioneEventiSistema();
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_FALSE(check.MediaDetectionOn);
    EXPECT_EQ(loop.WatchedCount(), 0u);
    check.TerminaGestioneEventiSistema();
    EXPECT_TRUE(log.lines().empty());
    // Switched off: a plug is not remembered for later.
    EXPECT_FALSE(sources->PushUsbDevice(true, 0x11CC, 0x0101, "usb:1-1"));
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_EQ(loop.RunOnce(0), 0);
    EXPECT_TRUE(dest.Calls().empty());
}

TEST(HwDetectionLifecycle, RegistrationFailuresAreLoggedAndLeaveTheFlagsFalse) {
    auto sources = std::make_shared<CHwQueuedSourceFactory>();
    RefusingLoop loop;
    CVesk_HW_CheckDevice check(nullptr, sources);
    vesk::LogCapture log;
    ConsoleCapture console;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_FALSE(check.MediaDetectionOn);
    const std::string err = std::strerror(EMFILE);
    EXPECT_TRUE(log.contains("ERROR = Register device notification failure: " + err));
    EXPECT_TRUE(log.contains(
        "ERROR = Media hardware detection failure: can't register window for shell notification (" +
        err + ")"));
    EXPECT_EQ(log.lines().size(), 2u);
    log.clear();
    check.TerminaGestioneEventiSistema();
    EXPECT_TRUE(log.lines().empty());

    loop.refuse_watch = false;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_TRUE(check.UsbDetectionOn);
    EXPECT_TRUE(check.MediaDetectionOn);
    check.TerminaGestioneEventiSistema();
    const std::string gone = std::strerror(ENOENT);
    EXPECT_TRUE(log.contains("ERROR = Failure in unregistering media detection (" + gone + ")"));
    EXPECT_TRUE(log.contains("ERROR = Failure in unregistering USB hardware detection (" + gone + ")"));
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_FALSE(check.MediaDetectionOn);
    log.clear();
    check.TerminaGestioneEventiSistema();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(console.text(), "");
}


class ThrowingSources : public IHwEventSourceFactory {
public:
    std::shared_ptr<IHwEventSource> OpenUsbSource(std::string&) override { throw std::bad_alloc(); }
    std::shared_ptr<IHwEventSource> OpenMediaSource(std::string& error) override {
        return queued.OpenMediaSource(error);
    }
    CHwQueuedSourceFactory queued;
};

TEST(HwDetectionLifecycle, ExceptionWhileRegisteringIsLogged) {
    CHwPollLoop loop;
    CVesk_HW_CheckDevice check(nullptr, std::make_shared<ThrowingSources>());
    vesk::LogCapture log;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_TRUE(check.MediaDetectionOn);
    EXPECT_TRUE(log.contains("ERROR = Register device notification failure: exception"));
    EXPECT_EQ(loop.WatchedCount(), 1u);
}

TEST(DiskMemoryManager, AddsFromSeveralThreadsAndClears) {
    CVeskDiskMemoryManager list;
    list.Add(nullptr);
    EXPECT_EQ(list.Count(), 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&list, t] {
            for (int i = 0; i < 250; ++i) {
                auto r = std::make_unique<HW_DISKMEMORY_INFO>();
                r->root = L"/media/" + std::to_wstring(t) + L"/" + std::to_wstring(i) + L"/";
                list.Add(std::move(r));
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(list.Count(), 1000u);
    EXPECT_EQ(list.Records().size(), 1000u);
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
