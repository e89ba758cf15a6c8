// The main window on the offscreen platform against simulated instruments:
// timers on the virtual clock, questions answered by the test.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/temp_dir.h"
#include "../support/trace_reads.h"
#include "app/engine.h"
#include "app/instance_channel.h"
#include "hwdetect/hw_queued_event_source.h"
#include "log/evt_log.h"
#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"
#include "ui/qt_text.h"
#include "ui/simulated_devices.h"
#include "ui/vesk_firmware_updater_dlg.h"
#include "usb/backend/usb_backend.h"
#include "usb/vesk_semafori.h"
#include "window_support.h"

namespace {

using vesk::test::ProcessUntil;
using vesk::test::WaitUntil;
using Dlg = CVESKFirmwareUpdaterDlg;

const std::wstring kClick = L"Click 'Execute' button to proceed and firmup your system";
const std::wstring kUpToDate = L"Your system is up to date";

std::string Slave(int number, int code, int serial, const std::string& extra = "") {
    return R"({"number": )" + std::to_string(number) + R"(, "code": )" + std::to_string(code) +
           R"(, "serial": )" + std::to_string(serial) + R"(, "firmware": "01.00.00")" + extra + "}";
}

// A Pell DL master (slaves are updated through it) with the given slaves.
std::string PellDL(const std::string& slaves, const std::string& extra = "") {
    return R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0)" + extra +
           R"(, "slaves": [)" + slaves + "]}]}";
}

const std::string kMasterAndThreeSlaves =
    PellDL(Slave(1, 2006, 71) + ", " + Slave(2, 2017, 72, R"(, "in_booter": true)") + ", " +
           Slave(4, 2006, 74, R"(, "firmware": "01.05.10")"));

const char* kQuarv3 = R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "booter": "02.10"}]})";

QString Text(const QTreeWidget* list, int row, int column) {
    const QTreeWidgetItem* item = list->topLevelItem(row);
    return item ? item->text(column) : QString("<no row %1>").arg(row);
}

std::vector<std::wstring> Column(const QTreeWidget* list, int column) {
    std::vector<std::wstring> out;
    for (int r = 0; r < list->topLevelItemCount(); ++r) out.push_back(W(list->topLevelItem(r)->text(column)));
    return out;
}

class WindowTest : public ::testing::Test {
protected:
    void TearDown() override {
        window_.reset();
        if (bus_) bus_->set_presence_observer(nullptr);
        backend_.reset();
        bus_.reset();
    }

    void Files() {
        File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
        File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
        File("Slv_Lambda_010203_fw.mhx", 0xFF0000, "01.02.03");
        File("Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10");
        File("Slv_GPS_020000_fw.mot", 0xE0000, "02.00.00");
    }
    void File(const std::string& name, uint32_t base, const std::string& version) {
        vesk::test::MakeFirmwareFile(dir_, name, base, 0x100, version);
    }

    // A window over the scenario's bus, created and shown; no timer has fired yet.
    void Open(const std::string& scenario, MainDialogArgs args = {}) {
        std::string error;
        bus_ = vesk::sim::BusFromJson(scenario, &error);
        ASSERT_TRUE(bus_) << error;
        backend_.emplace(*bus_);
        devices_ = SimulatedDevices(*bus_, nullptr, Dlg::kBusTickMs);
        args.main_folder = dir_.wpath();
        args.title = L"Vesk Firmup test";
        Dlg::Options options;
        options.args = args;
        options.sources = devices_.sources;
        options.locks = &locks_;
        options.timers = &timers_;
        options.questions = &questions_;
        options.bus_tick = devices_.bus_tick;
        options.track_activation = false;
        window_ = std::make_unique<Dlg>(options);
        ASSERT_TRUE(window_->Create());
        window_->show();
        QCoreApplication::processEvents();
    }
    // The first refresh, 50 ms after creation.
    void FirstRefresh() { timers_.Advance(50); }

    Dlg& Win() { return *window_; }
    std::wstring Status() { return ::W(window_->StatusField()->text()); }
    QColor StatusColour() { return window_->StatusField()->palette().color(QPalette::WindowText); }
    std::vector<std::wstring> Messages() {
        std::vector<std::wstring> out;
        for (int i = 0; i < window_->MessageList()->count(); ++i) out.push_back(::W(window_->MessageList()->item(i)->text()));
        return out;
    }
    // Every input control, and whether it takes input now.
    std::vector<bool> InputEnabled() {
        return {Win().ExecuteButton()->isEnabled(), Win().DumpButton()->isEnabled(), Win().AdvancedButton()->isEnabled(),
                Win().ExitButton()->isEnabled(), Win().DeviceList()->isEnabled(), Win().VersionsList()->isEnabled()};
    }

    vesk::VirtualClock clock_;
    vesk::ScopedClock scoped_clock_{clock_};
    vesk::LogCapture log_;
    vesk::test::TempDir dir_;
    vesk::test::TempDir lock_dir_;
    CVeskSemafori locks_{CVeskSemafori::Place{lock_dir_.path(), false, L"test", L"tester"}};
    vesk::test::ClockTimers timers_{clock_};
    vesk::test::ScriptedQuestions questions_;
    std::unique_ptr<vesk::sim::SimBus> bus_;
    std::optional<vesk::usb::ScopedBackend> backend_;
    WindowDevices devices_;
    std::unique_ptr<Dlg> window_;
};

TEST_F(WindowTest, TemplateControls) {
    Open(kQuarv3, {.debug_mode = false});
    EXPECT_EQ(Win().windowTitle(), "Vesk Firmup test");
    EXPECT_EQ(Win().DeviceList()->columnCount(), 7);
    QStringList headers;
    for (int c = 0; c < 7; ++c) headers << Win().DeviceList()->headerItem()->text(c);
    EXPECT_EQ(headers, QStringList({"", "Device", "ID", "Booter", "Firmware", "Available", "Action"}));
    // Widths in dialog units: 30, 140, 70, 60, 70, 70, 100.
    const int unit30 = Win().DeviceList()->columnWidth(0);
    EXPECT_NEAR(Win().DeviceList()->columnWidth(1), unit30 * 140 / 30, 2);
    EXPECT_NEAR(Win().DeviceList()->columnWidth(6), unit30 * 100 / 30, 2);
    EXPECT_EQ(Win().ExecuteButton()->text(), "Execute");
    EXPECT_EQ(Win().ExitButton()->text(), "Exit");
    EXPECT_EQ(Win().DumpButton()->text(), "Dump");
    EXPECT_FALSE(Win().WebButton()->isVisible());
    EXPECT_FALSE(Win().VersionsList()->isVisible());
    EXPECT_TRUE(Win().VersionsList()->isColumnHidden(0));
    EXPECT_FALSE(Win().MessageList()->isVisible()) << "only with Debug_mode";
    EXPECT_FALSE(Win().AdvancedButton()->isVisible()) << "only with ADVANCED";
    EXPECT_TRUE(Win().StatusField()->font().bold());
    EXPECT_EQ(Status(), L"Please wait...");
    EXPECT_EQ(timers_.Period(Dlg::kTimerFirstRefresh), 50u);
}

TEST_F(WindowTest, FirstRefreshFillsTheRowsAndTheStatus) {
    Files();
    Open(kMasterAndThreeSlaves, {.debug_mode = true});
    timers_.Advance(49);
    EXPECT_EQ(Win().DeviceList()->topLevelItemCount(), 0) << "the refresh comes 50 ms after creation";
    timers_.Advance(1);
    EXPECT_FALSE(timers_.Active(Dlg::kTimerFirstRefresh)) << "timer 1111 fires once";
    EXPECT_TRUE(log_.contains("CVESKFirmwareUpdaterDlg::OnTimer"));
    EXPECT_EQ(Column(Win().DeviceList(), kColumnRow), (std::vector<std::wstring>{L"M", L"1", L"2", L"4"}));
    EXPECT_EQ(Column(Win().DeviceList(), kColumnDevice),
              (std::vector<std::wstring>{L"Pell DL Logger", L"Display Unit", L"GPS Receiver 2017 *BOOTER*",
                                         L"Display Unit"}));
    EXPECT_EQ(Column(Win().DeviceList(), kColumnAction),
              (std::vector<std::wstring>{L"will get 46.05.00", L"will get 01.05.10", L"in booter:will get 02.00.00",
                                         L"will not be modified"}));
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnFirmware), "46.03.00");
    EXPECT_EQ(Status(), kClick);
    EXPECT_EQ(StatusColour(), QColor(0, 0, 0));
    EXPECT_TRUE(Win().ExecuteButton()->isEnabled());
    EXPECT_TRUE(Win().DumpButton()->isEnabled());
    // Debug_mode: the message list is shown and every line became the status in turn.
    EXPECT_TRUE(Win().MessageList()->isVisible());
    EXPECT_EQ(Messages(), (std::vector<std::wstring>{L"Please wait...", kClick}));
    EXPECT_EQ(Win().MessageList()->currentRow(), 1);
}

TEST_F(WindowTest, TwoInstrumentsShowTheRedStatus) {
    Open(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09"},
                             {"code": 19, "serial": 8, "firmware": "01.07.09"}]})");
    FirstRefresh();
    EXPECT_EQ(Status(), L"2 gauges are connected to USB ports. Only one can be connected.");
    EXPECT_EQ(StatusColour(), QColor(255, 0, 0));
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
}

// A plug or an unplug: at once (after the 2.2 s wait) when the application
// is active, only when it comes back otherwise.
TEST_F(WindowTest, DeviceChangeRefreshesOnlyWhileActive) {
    for (const bool active : {true, false}) {
        SCOPED_TRACE(active ? "active" : "inactive");
        Open(kQuarv3, {.debug_mode = true});
        FirstRefresh();
        ASSERT_EQ(Status(), kUpToDate);
        Win().OnActivateApp(active);
        const size_t lines = Messages().size();
        const uint64_t before = clock_.now_ms();

        ASSERT_TRUE(bus_->Unplug("usb:1-1"));
        auto refreshed = [&] { return Status() == L"No gauge is connected to any USB port"; };
        if (active) {
            ASSERT_TRUE(ProcessUntil(refreshed));
            EXPECT_GE(clock_.now_ms() - before, Dlg::kDeviceChangeWaitMs);
            EXPECT_EQ(Messages()[lines], L"Please wait...");
            EXPECT_EQ(Win().WaitBar()->value(), 0) << "the wait bar is emptied before the refresh";
        } else {
            ASSERT_TRUE(ProcessUntil([&] { return Win().Procedure().RefreshPending(); }));
            EXPECT_EQ(Status(), kUpToDate) << "nothing happens while another application has the focus";
            EXPECT_EQ(Messages().size(), lines);
            Win().OnActivateApp(true);
            EXPECT_TRUE(refreshed());
            EXPECT_EQ(Messages()[lines], L"Please wait...");
            EXPECT_GE(clock_.now_ms() - before, Dlg::kDeviceChangeWaitMs);
        }
        EXPECT_FALSE(Win().Procedure().RefreshPending());
        TearDown();
    }
}

TEST_F(WindowTest, ReenumerationsOfTheSimulatedBusReturnOnTheTick) {
    Open(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "reenumerate_ms": 3000}]})",
         {.debug_mode = true});
    FirstRefresh();
    Win().OnActivateApp(true);
    ASSERT_TRUE(bus_->Unplug("usb:1-1"));
    ASSERT_TRUE(ProcessUntil([&] { return Status() == L"No gauge is connected to any USB port"; }));
    ASSERT_TRUE(bus_->Plug("usb:1-1"));
    // The bus only learns the time on a tick; the arrival is delivered then.
    timers_.Advance(Dlg::kBusTickMs);
    ASSERT_TRUE(ProcessUntil([&] { return Status() == kUpToDate; }));
}

TEST_F(WindowTest, AdvancedToggleAndVersionPick) {
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    File("Quarv3_010709_fw.mhx", 0xFE0000, "01.07.09");
    Open(kQuarv3, {.advanced = true});
    FirstRefresh();
    ASSERT_EQ(Win().DeviceList()->topLevelItemCount(), 1);
    EXPECT_TRUE(Win().AdvancedButton()->isVisible());
    EXPECT_TRUE(Win().AdvancedButton()->isEnabled()) << "the master offers two versions";
    EXPECT_EQ(Win().AdvancedButton()->text(), "Advanced");
    EXPECT_FALSE(Win().VersionsList()->isVisible());
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will not be modified");

    QTest::mouseClick(Win().AdvancedButton(), Qt::LeftButton);
    EXPECT_EQ(Win().AdvancedButton()->text(), "Normal");
    ASSERT_TRUE(Win().VersionsList()->isVisible());
    // Newest first: each entry went in at the top; the chosen one is selected.
    EXPECT_EQ(Column(Win().VersionsList(), 1), (std::vector<std::wstring>{L"01.07.09", L"01.06.00"}));
    EXPECT_EQ(Win().VersionsList()->currentItem(), Win().VersionsList()->topLevelItem(0));
    EXPECT_EQ(Status(), kUpToDate);

    QTreeWidgetItem* older = Win().VersionsList()->topLevelItem(1);
    const QRect rect = Win().VersionsList()->visualItemRect(older);
    QTest::mouseClick(Win().VersionsList()->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will get 01.06.00");
    EXPECT_EQ(Status(), kClick);
    EXPECT_TRUE(Win().ExecuteButton()->isEnabled());
    FirmupFileEntry picked;
    ASSERT_TRUE(Win().Procedure().Scelte().Lookup(7, picked));
    EXPECT_EQ(picked.versionNumber, 10600u);

    // Back in normal mode the newest file is what a run writes.
    QTest::mouseClick(Win().AdvancedButton(), Qt::LeftButton);
    EXPECT_EQ(Win().AdvancedButton()->text(), "Advanced");
    EXPECT_FALSE(Win().VersionsList()->isVisible());
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will not be modified");
    EXPECT_EQ(Status(), kUpToDate);
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
}

TEST_F(WindowTest, AutostartTurnsAdvancedModeOnButOnlyAdvancedShowsItsControls) {
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    File("Quarv3_010709_fw.mhx", 0xFE0000, "01.07.09");
    Open(kQuarv3, {.autostart = true});
    FirstRefresh();
    EXPECT_TRUE(Win().Procedure().AdvancedMode());
    EXPECT_FALSE(Win().AdvancedButton()->isVisible());
    EXPECT_FALSE(Win().VersionsList()->isVisible());
    EXPECT_EQ(timers_.Period(Dlg::kTimerAutostart), 200u) << "the run is 200 ms after the first refresh";
}

TEST_F(WindowTest, ExitConfirmation) {
    const std::wstring sure = L": are you sure you want to exit?";
    struct Case {
        const char* name;
        std::string scenario;
        std::wstring question;  // empty: the window closes without one
    } cases[] = {
        {"slave 3 in booter", PellDL(Slave(1, 2006, 71) + ", " + Slave(3, 2006, 73, R"(, "in_booter": true)")),
         L"slave n. 3 is in booter" + sure},
        {"master in booter", R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "in_booter": true}]})",
         L"Master is in booter" + sure},
        {"nothing in booter", PellDL(Slave(1, 2006, 71)), L""},
    };
    // The three ways out: the Exit button, Escape and the close box.
    const std::vector<std::pair<const char*, std::function<void(Dlg&)>>> ways = {
        {"Exit", [](Dlg& w) { QTest::mouseClick(w.ExitButton(), Qt::LeftButton); }},
        {"Escape", [](Dlg& w) { QTest::keyClick(&w, Qt::Key_Escape); }},
        {"close box", [](Dlg& w) { w.close(); }},
    };
    for (const Case& c : cases) {
        for (const auto& [way, leave] : ways) {
            SCOPED_TRACE(std::string(c.name) + ", " + way);
            questions_ = {};
            Open(c.scenario);
            FirstRefresh();
            questions_.yes_no = {false, true};
            leave(Win());
            if (c.question.empty()) {
                EXPECT_TRUE(questions_.questions.empty());
                EXPECT_FALSE(Win().isVisible());
            } else {
                ASSERT_EQ(questions_.questions, std::vector<std::wstring>{c.question});
                EXPECT_TRUE(Win().isVisible()) << "No keeps the window";
                leave(Win());
                EXPECT_FALSE(Win().isVisible()) << "Yes closes it";
            }
            TearDown();
        }
    }
}

TEST_F(WindowTest, ExitWithoutDeviceInfoClosesAtOnce) {
    Open(R"({"instruments": []})");
    FirstRefresh();
    QTest::mouseClick(Win().ExitButton(), Qt::LeftButton);
    EXPECT_TRUE(questions_.questions.empty());
    EXPECT_FALSE(Win().isVisible());
}

// The dump runs on the worker: while it waits for the file name every
// control is disabled and the window cannot be closed.
TEST_F(WindowTest, DumpWritesTheFile) {
    struct Case {
        const char* name;
        std::string file;  // relative to the test folder; empty: the user chose none
        std::vector<std::wstring> infos;
    } cases[] = {
        {"written", "dump.bin", {L"Dump performed."}},
        {"into a folder that is not there", "missing/dump.bin", {L"Dump failed: the file could not be written."}},
        {"no file chosen", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(kQuarv3);
        FirstRefresh();
        const std::string path = c.file.empty() ? "" : dir_.file(c.file);
        questions_ = {};
        questions_.save_file = std::wstring(path.begin(), path.end());
        std::vector<bool> during;
        bool closed_during = true;
        questions_.on_question = [&](const std::wstring& q) {
            if (q != L"file") return;
            during = InputEnabled();
            Win().close();
            closed_during = !Win().isVisible();
        };
        QTest::mouseClick(Win().DumpButton(), Qt::LeftButton);
        EXPECT_TRUE(Win().WorkerBusy());
        WaitUntil([&] { return !Win().WorkerBusy(); });
        EXPECT_EQ(during, std::vector<bool>(6, false));
        EXPECT_FALSE(closed_during) << "closing is refused while the worker runs";
        EXPECT_TRUE(Win().isVisible());
        EXPECT_EQ(questions_.infos, c.infos);
        if (c.infos == std::vector<std::wstring>{L"Dump performed."}) {
            // The instrument's memory: 0x8000..0x10000, then 0x20000..0x800000.
            EXPECT_EQ(std::filesystem::file_size(path), 0x8000u + 0x7E0000u);
        } else if (!path.empty()) {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
        EXPECT_TRUE(Win().DumpButton()->isEnabled());
        EXPECT_TRUE(Win().ExitButton()->isEnabled());
        TearDown();
    }
}

TEST_F(WindowTest, DeviceChangeDuringTheWorkerIsHeldAndRefreshedOnceAfter) {
    Open(kQuarv3, {.debug_mode = true});
    FirstRefresh();
    Win().OnActivateApp(true);
    questions_.save_file = std::wstring();  // no file: the dump ends at once
    bool held = false;
    questions_.on_question = [&](const std::wstring&) {
        Win().OnDevice0101(true, L"");
        Win().OnDevice0101(false, L"");
        held = Win().DeviceChangeHeld();
    };
    const size_t lines = Messages().size();
    QTest::mouseClick(Win().DumpButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    EXPECT_TRUE(held);
    EXPECT_FALSE(Win().DeviceChangeHeld());
    const std::vector<std::wstring> all = Messages();
    const std::vector<std::wstring> after(all.begin() + long(lines), all.end());
    EXPECT_EQ(after, (std::vector<std::wstring>{L"Please wait...", L"Please wait...", kUpToDate}))
        << "one device-change sequence with its refresh";
}

// A second start while the worker runs: the window is brought forward and
// nothing else happens.
TEST_F(WindowTest, SecondStartDuringTheWorkerOnlyRaisesTheWindow) {
    Open(kQuarv3, {.debug_mode = true});
    FirstRefresh();
    int raised = 0;
    vesk::instance::CInstanceServer server(Win().EventLoop(), {.altra_istanza =
                                                                   [&]() -> long {
                                                                       ++raised;
                                                                       return 333;
                                                                   },
                                                               .chi_blocca = {}});
    const std::string lock = lock_dir_.file("lock-2");
    ASSERT_TRUE(server.Listen(lock));
    std::optional<long> answer;
    std::vector<bool> during;
    size_t lines = 0;
    questions_.on_question = [&](const std::wstring&) {
        lines = Messages().size();
        std::atomic<bool> asked{false};
        // Real time here: the other process does not share this test's clock.
        vesk::RealClock real;
        std::thread second([&] {
            answer = vesk::instance::Ask(vesk::instance::SocketName(vesk::instance::kAltraIstanza, lock),
                                         "ALTRA_ISTANZA", real);
            asked = true;
        });
        ProcessUntil([&] { return asked.load(); }, 1 << 30);
        second.join();
        during = InputEnabled();
    };
    QTest::mouseClick(Win().DumpButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    EXPECT_EQ(answer, 333L);
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(during, std::vector<bool>(6, false)) << "still busy, still no input";
    EXPECT_EQ(Messages().size(), lines) << "no refresh came of it";
}

TEST_F(WindowTest, RestartTimerEndsTheRestartWaitAfterTenSeconds) {
    Open(kQuarv3);
    FirstRefresh();
    Win().Procedure().AttendiRiavvio();
    EXPECT_TRUE(Win().Procedure().RestartPending());
    EXPECT_EQ(timers_.Period(Dlg::kTimerRestart), 10000u);
    timers_.Advance(9999);
    EXPECT_TRUE(Win().Procedure().RestartPending());
    timers_.Advance(1);
    EXPECT_FALSE(Win().Procedure().RestartPending());
    EXPECT_FALSE(timers_.Active(Dlg::kTimerRestart));
}

// Hardware detection that cannot start closes the application.
class NoUdev : public IHwEventSourceFactory {
public:
    std::shared_ptr<IHwEventSource> OpenUsbSource(std::string& error) override {
        error = "no udev here";
        return nullptr;
    }
    std::shared_ptr<IHwEventSource> OpenMediaSource(std::string& error) override {
        return queued_.OpenMediaSource(error);
    }

private:
    CHwQueuedSourceFactory queued_;
};

// With the Rehearse option a run first rehearses on a simulated copy: a
// firmware whose records miss its region stops the run before any write.
TEST_F(WindowTest, RehearseOptionStopsARunThatWouldNotEndAsPlanned) {
    Files();
    File("Pell_460500_fw.mhx", 0x100000, "46.05.00");
    dir_.mkdir("_BOOTER");
    dir_.mkdir("_ACCESSORI");
    for (const bool rehearse : {true, false}) {
        SCOPED_TRACE(rehearse ? "Rehearse" : "without the option");
        MainDialogArgs args;
        args.rehearse = rehearse;
        Open(kMasterAndThreeSlaves, args);
        FirstRefresh();
        ASSERT_EQ(Status(), kClick);
        bus_->trace().Clear();
        Win().Procedure().OnBnClickedButtonUpdate();
        std::string trace;
        for (const auto& line : bus_->trace().lines()) trace += line + "\n";
        const auto changes = vesk::test::ChangingLines(trace);
        const auto messages = Messages();
        const bool rehearsed = std::find(messages.begin(), messages.end(),
                                         L"Rehearsing the update on a simulated copy of the connected instrument") !=
                               messages.end();
        EXPECT_EQ(rehearsed, rehearse);
        if (rehearse) {
            EXPECT_EQ(Win().Procedure().LastRun().outcome, CUpdateProcedure::RunOutcome::Refused);
            EXPECT_EQ(Status().rfind(L"Rehearsal failed: nothing was written to the connected instrument.", 0), 0u)
                << vesk::to_utf8(Status());
            EXPECT_EQ(StatusColour(), QColor(255, 0, 0));
            EXPECT_EQ(changes, std::vector<std::string>{});
        } else {
            EXPECT_NE(Win().Procedure().LastRun().outcome, CUpdateProcedure::RunOutcome::Refused);
            EXPECT_FALSE(changes.empty());
        }
        TearDown();
    }
}

TEST_F(WindowTest, ImpossibleToDetectHardwareRefusesTheWindow) {
    Dlg::Options options;
    options.args.title = L"t";
    options.sources = std::make_shared<NoUdev>();
    options.timers = &timers_;
    options.questions = &questions_;
    Dlg window(options);
    EXPECT_FALSE(window.Create());
    EXPECT_EQ(questions_.infos,
              std::vector<std::wstring>{L"Firmup application is closing as it's impossible to detect hardware."});
    EXPECT_FALSE(timers_.Active(Dlg::kTimerFirstRefresh));
}

TEST_F(WindowTest, ItalianTexts) {
    const std::string folder = std::string(VESK_SOURCE_DIR) + "/language";
    ASSERT_TRUE(vesk::SetLanguageFolderAndRead(folder, "Italiano"));
    Files();
    Open(kMasterAndThreeSlaves, {.advanced = true});
    FirstRefresh();
    EXPECT_EQ(Win().ExecuteButton()->text(), "Esegui");
    EXPECT_EQ(Win().ExitButton()->text(), "Esci");
    EXPECT_EQ(Win().AdvancedButton()->text(), "Avanzata");
    EXPECT_EQ(Win().DeviceList()->headerItem()->text(1), "Dispositivo");
    EXPECT_EQ(Status(), L"Premi il pulsante 'Esegui' per procedere con il firmup del tuo sistema");
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "riceverà 46.05.00");
    TearDown();
    vesk::SetLanguageFolderAndRead(folder, "English");
}

}  // namespace
