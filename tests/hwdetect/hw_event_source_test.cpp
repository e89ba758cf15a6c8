#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "../support/temp_dir.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "hwdetect/hw_mount_table_source.h"
#include "hwdetect/hw_poll_loop.h"
#include "hwdetect/hw_queued_event_source.h"
#include "hwdetect/hw_system_source_factory.h"
#include "hwdetect/hw_udev_source.h"
#include "hwdetect/vesk_hw_check_device.h"
#include "log/evt_log.h"
#include "recording_dest.h"

namespace {

using vesk::test::ExpectDeviceCall;
using vesk::test::RecordingDest;
using vesk::test::TempDir;
namespace hw = vesk::hw;

const std::wstring kPlugName =
    L"\\\\?\\USB#VID_11CC&PID_0101#usb:1-1.4#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

TEST(UsbInterfaceName, BuiltFromIdsAndDevicePath) {
    EXPECT_EQ(hw::MakeUsbInterfaceName(0x11CC, 0x0101, "usb:1-1.4"), kPlugName);
    struct Case {
        const char* product;
        const char* sysname;
        std::wstring name;
    } cases[] = {
        {"11cc/101/100", "1-1.4", kPlugName},
        {"11cc/2002/0", "3-2", L"\\\\?\\USB#VID_11CC&PID_2002#usb:3-2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
        {"46d/c52b/1201", "1-2", L"\\\\?\\USB#VID_046D&PID_C52B#usb:1-2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
        {"11cc/101", "1-1", L""},
        {"11cc", "1-1", L""},
        {"zz/101/1", "1-1", L""},
        {"11cc/10101/1", "1-1", L""},
        {nullptr, "1-1", L""},
        {"11cc/101/100", nullptr, L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CHwUdevSource::NotificationName(c.product, c.sysname), c.name)
            << (c.product ? c.product : "(null)");
}

// The simulator's side: plugs and unplugs pushed into the queued sources,
// detection and the loop on the window's side.
class QueuedDetection : public ::testing::Test {
protected:
    QueuedDetection() : clock_scope(clock), check(&dest, sources) {
        check.AvviaGestioneEventiSistema(loop);
    }
    vesk::VirtualClock clock;
    vesk::ScopedClock clock_scope;
    std::shared_ptr<CHwQueuedSourceFactory> sources = std::make_shared<CHwQueuedSourceFactory>();
    RecordingDest dest;
    CHwPollLoop loop;
    CVesk_HW_CheckDevice check;
};

TEST_F(QueuedDetection, PlugAndUnplugReachOnDevice0101ThroughTheLoop) {
    ASSERT_TRUE(check.UsbDetectionOn);
    EXPECT_EQ(loop.RunOnce(0), 0);

    // The instrument leaves the bus for its booter and comes back 3 s later.
    ASSERT_TRUE(sources->PushUsbDevice(false, 0x11CC, 0x0101, "usb:1-1.4"));
    vesk::Sleep(3000);
    ASSERT_TRUE(sources->PushUsbDevice(true, 0x11CC, 0x0101, "usb:1-1.4"));
    EXPECT_TRUE(dest.Calls().empty()) << "nothing is delivered before the loop drains";
    EXPECT_EQ(clock.elapsed_ms(), 3000u);

    EXPECT_EQ(loop.RunOnce(0), 1);
    auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 2u);
    ExpectDeviceCall(calls[0], "0101", false, kPlugName);
    ExpectDeviceCall(calls[1], "0101", true, kPlugName);
    EXPECT_EQ(loop.RunOnce(0), 0) << "drained: the descriptor is quiet again";

    // Other products and vendors go through the same checks as real notifications.
    vesk::LogCapture log;
    sources->PushUsbDevice(true, 0x11CC, 0x2002, "usb:1-2");
    sources->PushUsbDevice(true, 0x0781, 0x5567, "usb:1-3");
    sources->PushDeviceChange(hw::kDeviceQueryRemove, kPlugName);
    loop.RunOnce(0);
    calls = dest.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].op, "2002");
    EXPECT_TRUE(log.contains("Can't find USB#VID_11CC&PID in \\\\?\\USB#VID_0781&PID_5567"));
}

TEST_F(QueuedDetection, MediaPushesReachOnMemoryDevice) {
    TempDir tmp;
    tmp.write("card/.vesk_info.txt", "x");
    const std::wstring root = tmp.wpath() + L"/card/";
    ASSERT_TRUE(sources->PushMediaChange(hw::kMediaInserted, root));
    ASSERT_TRUE(sources->PushMediaChange(hw::kMediaRemoved, root));
    EXPECT_EQ(loop.RunOnce(0), 1);
    const auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].arrived);
    ASSERT_EQ(calls[0].records.size(), 1u);
    EXPECT_TRUE(calls[0].records[0].has_info_file);
    EXPECT_FALSE(calls[1].arrived);
    EXPECT_FALSE(calls[1].has_list);
}

TEST_F(QueuedDetection, PushesFromAnotherThreadAreDeliveredOnTheDrainingThread) {
    std::thread::id pusher_id;
    std::thread pusher([&] {
        pusher_id = std::this_thread::get_id();
        for (int i = 0; i < 50; ++i) {
            sources->PushUsbDevice(i % 2 == 0, 0x11CC, 0x0101, "usb:1-1");
            vesk::Sleep(10);
        }
    });
    pusher.join();
    EXPECT_TRUE(dest.Calls().empty());
    EXPECT_EQ(loop.RunOnce(0), 1);
    const auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 50u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].thread, std::this_thread::get_id());
        EXPECT_NE(calls[i].thread, pusher_id);
        EXPECT_EQ(calls[i].arrived, i % 2 == 0) << "order kept";
    }
}

// The window's loop runs on its own thread, started and stopped there, while
// the test's thread pushes: every call comes on the window's thread. A last
// media event marks the end, so a lost device event fails the test instead of
// leaving the window waiting.
TEST(QueuedSource, WindowThreadReceivesWhatOtherThreadsPush) {
    auto sources = std::make_shared<CHwQueuedSourceFactory>();
    RecordingDest dest;
    const std::wstring kEnd = L"/end-of-test/";
    auto ended = [&] {
        const auto calls = dest.Calls();
        return !calls.empty() && calls.back().op == "memory" && calls.back().text == kEnd;
    };
    std::promise<std::thread::id> started;
    constexpr size_t kEvents = 200;
    std::thread window([&] {
        CHwPollLoop loop;
        CVesk_HW_CheckDevice check(&dest, sources);
        check.AvviaGestioneEventiSistema(loop);
        started.set_value(std::this_thread::get_id());
        while (!ended())
            if (loop.RunOnce(-1) < 0) break;
        check.TerminaGestioneEventiSistema();
    });
    const std::thread::id window_thread = started.get_future().get();
    for (size_t i = 0; i < kEvents; ++i)
        ASSERT_TRUE(sources->PushUsbDevice(i % 2 == 0, 0x11CC, 0x0101, "usb:2-1"));
    ASSERT_TRUE(sources->PushMediaChange(hw::kMediaRemoved, kEnd));
    window.join();
    const auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), kEvents + 1);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].thread, window_thread);
        EXPECT_NE(calls[i].thread, std::this_thread::get_id());
        if (i < kEvents) {
            EXPECT_EQ(calls[i].arrived, i % 2 == 0);
        }
    }
}

// A destination may switch detection off from its callback (a refresh does);
// the source being drained must survive that.
class StoppingDest : public RecordingDest {
public:
    CVesk_HW_CheckDevice* check = nullptr;
    void OnDevice0101(bool a, const std::wstring& n) override {
        RecordingDest::OnDevice0101(a, n);
        check->TerminaGestioneEventiSistema();
    }
};

TEST(QueuedSource, DetectionSwitchedOffFromACallback) {
    auto sources = std::make_shared<CHwQueuedSourceFactory>();
    StoppingDest dest;
    CHwPollLoop loop;
    CVesk_HW_CheckDevice check(&dest, sources);
    dest.check = &check;
    check.AvviaGestioneEventiSistema(loop);
    sources->PushUsbDevice(true, 0x11CC, 0x0101, "usb:1-1");
    sources->PushMediaChange(hw::kMediaRemoved, L"/media/x/");
    EXPECT_EQ(loop.RunOnce(0), 1) << "the media handler went with the stop";
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_EQ(loop.WatchedCount(), 0u);
    EXPECT_EQ(dest.Calls().size(), 1u);
}

TEST(PollLoop, WatchAndUnwatchErrors) {
    CHwPollLoop loop;
    CHwQueuedEventSource a;
    int runs = 0;
    EXPECT_FALSE(loop.Watch(-1, POLLIN, [] {}));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(loop.Watch(a.Fd(), POLLIN, [&] { ++runs; }));
    EXPECT_FALSE(loop.Watch(a.Fd(), POLLIN, [] {}));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(loop.Unwatch(a.Fd()));
    EXPECT_FALSE(loop.Unwatch(a.Fd()));
    EXPECT_EQ(errno, ENOENT);
    a.PushDeviceChange(hw::kDeviceArrival, L"x");
    EXPECT_EQ(loop.RunOnce(0), 0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(a.Pending(), 1u);
}

TEST(MountTable, ParsesMountPointsWithEscapes) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 8:17 / /media/alice/USB\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n"
        "41 22 8:33 / /run/media/bob/tab\\011name rw - vfat /dev/sdc1 rw\n"
        "short line\n"
        "\n";
    const std::vector<std::string> expected = {"/", "/media/alice/USB STICK",
                                               "/run/media/bob/tab\tname"};
    EXPECT_EQ(CHwMountTableSource::ParseMountPoints(text), expected);
}

// A mount table the test rewrites, with media roots inside a temporary folder.
class MountTableDetection : public ::testing::Test {
protected:
    MountTableDetection() {
        tmp.mkdir("media/alice/STICK");
        tmp.mkdir("mnt");
        tmp.mkdir("mediafoo");
        tmp.mkdir("run/media/bob/CARD");
        tmp.write("media/alice/STICK/.vesk_info.txt", "info");
        Table({"/", "/home", "/media/alice/OLD"});
        config.udev_monitor = "udev";
        config.udev_control = tmp.file("no-udev-control");
        config.media.mountinfo = tmp.file("mountinfo");
        config.media.roots = {Path("/media"), Path("/run/media"), Path("/mnt")};
        config.media.poll_events = POLLIN;
    }
    std::string Path(const std::string& p) const { return p == "/" ? "/" : tmp.path() + p; }
    void Table(const std::vector<std::string>& mount_points) {
        // Rewritten in place, as the kernel's table is: the open descriptor sees it.
        std::ofstream out(tmp.file("mountinfo"), std::ios::trunc);
        int id = 20;
        for (const auto& mp : mount_points) {
            std::string escaped;
            for (char c : Path(mp)) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
            out << id++ << " 1 8:1 / " << escaped << " rw,relatime - ext4 /dev/sdx rw\n";
        }
    }
    std::wstring Root(const std::string& p) const { return vesk::from_utf8(Path(p) + "/"); }

    TempDir tmp;
    CHwSystemSourceFactory::Config config;
    RecordingDest dest;
    CHwPollLoop loop;
};

TEST_F(MountTableDetection, NewAndVanishedMountPointsUnderTheRootsAreMediaEvents) {
    CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
    check.AvviaGestioneEventiSistema(loop);
    ASSERT_TRUE(check.MediaDetectionOn);
    loop.RunOnce(0);
    EXPECT_TRUE(dest.Calls().empty()) << "media mounted before the start are not news";

    Table({"/", "/home", "/media/alice/OLD", "/media/alice/STICK", "/mediafoo", "/mnt",
           "/srv/data"});
    loop.RunOnce(0);
    auto calls = dest.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].arrived);
    EXPECT_EQ(calls[0].text, Root("/media/alice/STICK"));
    ASSERT_EQ(calls[0].records.size(), 1u);
    EXPECT_EQ(calls[0].records[0].root, Root("/media/alice/STICK"));
    EXPECT_TRUE(calls[0].records[0].has_info_file);
    EXPECT_TRUE(calls[1].arrived);
    EXPECT_EQ(calls[1].text, Root("/mnt"));
    EXPECT_TRUE(calls[1].records.empty()) << "no info file";

    Table({"/", "/home", "/media/alice/STICK", "/mediafoo", "/mnt", "/run/media/bob/CARD"});
    loop.RunOnce(0);
    calls = dest.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_FALSE(calls[2].arrived);
    EXPECT_EQ(calls[2].text, Root("/media/alice/OLD"));
    EXPECT_FALSE(calls[2].has_list);
    EXPECT_TRUE(calls[3].arrived);
    EXPECT_EQ(calls[3].text, Root("/run/media/bob/CARD"));

    loop.RunOnce(0);
    EXPECT_EQ(dest.Calls().size(), 4u) << "an unchanged table gives nothing";
}

TEST_F(MountTableDetection, UdevMonitorThatCannotBeOpened) {
    tmp.write("udev-control", "");
    struct Case {
        std::string monitor;
        std::string control;
        std::string error;
    } cases[] = {
        {"udev", tmp.file("no-udev-control"),
         "udev is not running (" + tmp.file("no-udev-control") + ": " + std::strerror(ENOENT) + ")"},
        {"no-such-monitor", tmp.file("udev-control"),
         "udev monitor \"no-such-monitor\" cannot be opened"},
    };
    for (const auto& c : cases) {
        config.udev_monitor = c.monitor;
        config.udev_control = c.control;
        CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
        vesk::LogCapture log;
        check.AvviaGestioneEventiSistema(loop);
        EXPECT_FALSE(check.UsbDetectionOn) << c.monitor;
        EXPECT_TRUE(check.MediaDetectionOn) << c.monitor;
        ASSERT_EQ(log.lines().size(), 1u) << c.monitor;
        EXPECT_NE(log.lines()[0].find("CVesk_HW_CheckDevice::AvviaGestioneEventiSistema"),
                  std::string::npos);
        EXPECT_NE(log.lines()[0].find("ERROR = Register device notification failure: " + c.error),
                  std::string::npos)
            << log.lines()[0];
        EXPECT_EQ(loop.WatchedCount(), 1u);
    }
}

// On a umockdev testbed (vesk-sim run) the testbed's events reach a "udev"
// monitor without a udev daemon, so its missing control file is no reason to
// go without detection.
TEST_F(MountTableDetection, AUmockdevTestbedStandsInForRunningUdev) {
    ::setenv("UMOCKDEV_DIR", tmp.path().c_str(), 1);
    CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
    vesk::LogCapture log;
    check.AvviaGestioneEventiSistema(loop);
    const bool on = check.UsbDetectionOn;
    check.TerminaGestioneEventiSistema();
    ::unsetenv("UMOCKDEV_DIR");
    EXPECT_TRUE(on);
    EXPECT_FALSE(log.contains("Register device notification failure")) << log.lines().front();
}

TEST_F(MountTableDetection, WithoutUdevMediaStillWork) {
    CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
    vesk::LogCapture log;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_FALSE(check.UsbDetectionOn);
    EXPECT_TRUE(check.MediaDetectionOn);

    Table({"/", "/home", "/media/alice/OLD", "/mnt"});
    loop.RunOnce(0);
    ASSERT_EQ(dest.Calls().size(), 1u);
    EXPECT_EQ(dest.Calls()[0].text, Root("/mnt"));
    log.clear();
    check.TerminaGestioneEventiSistema();
    check.TerminaGestioneEventiSistema();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(MountTableDetection, UnreadableMountTableLeavesMediaDetectionOff) {
    config.media.mountinfo = tmp.file("missing");
    CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
    vesk::LogCapture log;
    check.AvviaGestioneEventiSistema(loop);
    EXPECT_FALSE(check.MediaDetectionOn);
    EXPECT_TRUE(log.contains("ERROR = Media hardware detection failure: can't find desktop location (" +
                             tmp.file("missing") + ": " + std::strerror(ENOENT) + ")"));
    EXPECT_EQ(loop.WatchedCount(), 0u);
}

TEST(MountTable, KernelTableIsQuietUntilItChanges) {
    // The real table is always readable; only POLLPRI says it changed.
    std::string error;
    auto source = CHwMountTableSource::Open(CHwMountTableSource::Config(), error);
    ASSERT_TRUE(source) << error;
    EXPECT_EQ(source->PollEvents(), POLLPRI);
    CHwPollLoop loop;
    int runs = 0;
    ASSERT_TRUE(loop.Watch(source->Fd(), source->PollEvents(), [&] { ++runs; }));
    EXPECT_EQ(loop.RunOnce(0), 0);
    EXPECT_EQ(runs, 0);
}

}  // namespace

namespace {

// In a child with its own mount namespace: mounts a tmpfs under a media root
// and unmounts it, with detection watching the kernel's table. Returns 0 when
// both events arrived, 77 when the namespace cannot be had, else the failed step.
int MountInPrivateNamespace(const std::string& media_root) {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    CHwSystemSourceFactory::Config config;
    config.udev_control = "/nonexistent";  // USB plays no part here
    config.media.roots = {media_root};
    RecordingDest dest;
    CHwPollLoop loop;
    CVesk_HW_CheckDevice check(&dest, std::make_shared<CHwSystemSourceFactory>(config));
    check.RequireInfoFile = false;
    check.AvviaGestioneEventiSistema(loop);
    if (!check.MediaDetectionOn) return 1;
    if (loop.RunOnce(0) != 0) return 2;  // quiet while nothing changes
    const std::string medium = media_root + "/CARD";
    if (::mount("none", medium.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0) return 77;
    // Bounded only so that a lost change fails instead of hanging.
    for (int i = 0; i < 50 && dest.Calls().empty(); ++i) loop.RunOnce(100);
    auto calls = dest.Calls();
    const std::wstring root = vesk::from_utf8(medium + "/");
    if (calls.size() != 1 || !calls[0].arrived || calls[0].text != root) return 3;
    if (calls[0].records.size() != 1 || !calls[0].records[0].read_only) return 4;
    if (::umount(medium.c_str()) != 0) return 5;
    for (int i = 0; i < 50 && dest.Calls().size() < 2; ++i) loop.RunOnce(100);
    calls = dest.Calls();
    if (calls.size() != 2 || calls[1].arrived || calls[1].text != root) return 6;
    return 0;
}

TEST(MountTable, KernelTableReportsAMountAndItsRemoval) {
    TempDir tmp;
    tmp.mkdir("media/CARD");
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(MountInPrivateNamespace(tmp.path() + "/media"));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace for this user";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed step";
}

}  // namespace
