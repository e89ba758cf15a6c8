// The main window on the offscreen platform against simulated instruments:
// timers on the virtual clock, questions answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <poll.h>
#include <csignal>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/mock_logind.h"
#include "../support/scoped_env.h"
#include "../support/temp_dir.h"
#include "../support/trace_reads.h"
#include "../support/update_scenarios.h"
#include "update/settings/engine.h"
#include "update/settings/remembered_folder.h"
#include "app/instance_channel.h"
#include "hwdetect/hw_queued_event_source.h"
#include "log/evt_log.h"
#include "sim/sim_bus.h"
#include "sim/sim_keys.h"
#include "sim/sim_scenario.h"
#include "ui/dlg_richiesta_comportamento.h"
#include "ui/qt_text.h"
#include "ui/run_summary_panel.h"
#include "ui/status_colours.h"
#include "ui/simulated_devices.h"
#include "ui/vesk_firmware_updater_dlg.h"
#include "usb/backend/usb_backend.h"
#include "update/stop_request.h"
#include "usb/vesk_semafori.h"
#include "window_support.h"

namespace {

using vesk::test::MockLogind;
using vesk::test::ProcessUntil;
using vesk::test::WaitUntil;
using Dlg = CVESKFirmwareUpdaterDlg;

const std::wstring kClick = L"Click 'Execute' button to proceed and firmup your system";
const std::wstring kUpToDate = L"Your system is up to date";

using vesk::test::PellDL;
using vesk::test::Slave;
using Outcome = CUpdateProcedure::RunOutcome;

const std::wstring kDoNotUnplug = L"Do NOT unplug OR switch off your device during firmup procedure.";
// A master back from its restart before the run's closing refresh (2750 ms after it).
const std::string kBackBeforeTheClosingRefresh = R"(, "reenumerate_ms": 2000)";

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
        watch_.reset();
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

    // A window over the scenario's bus, created and shown; no timer has fired
    // yet. real_questions: the Qt dialogs instead of the test's answers.
    void Open(const std::string& scenario, MainDialogArgs args = {}, bool real_questions = false) {
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
        options.questions = real_questions ? nullptr : &questions_;
        options.bus_tick = devices_.bus_tick;
        options.track_activation = false;
        window_ = std::make_unique<Dlg>(options);
        ASSERT_TRUE(window_->Create());
        window_->show();
        QCoreApplication::processEvents();
    }
    // The first refresh, 50 ms after creation, on the worker.
    void FirstRefresh() {
        timers_.Advance(50);
        WaitForTheWorker();
    }
    // What an update run needs besides the files.
    void UpdateFolders() {
        dir_.mkdir("_BOOTER");
        dir_.mkdir("_ACCESSORI");
    }
    // Every status the window shows from now on, in turn, sampled between
    // the worker's queued calls; and whether input was taken during the run.
    void WatchTheRun() {
        statuses_ = {Status()};
        queued_calls_ = calls_taking_input_ = 0;
        watch_ = std::make_unique<vesk::test::QueuedCallWatch>(window_.get(), [this] { Sample(); });
    }
    void Sample() {
        if (statuses_.back() != Status()) statuses_.push_back(Status());
        if (!Win().WorkerBusy()) return;
        ++queued_calls_;
        if (InputEnabled() != std::vector<bool>(6, false)) ++calls_taking_input_;
    }
    void WaitForTheWorker() {
        WaitUntil([&] { return !Win().WorkerBusy(); });
        if (watch_) Sample();
    }

    Dlg& Win() { return *window_; }
    std::wstring Status() { return ::W(window_->StatusField()->text()); }
    // The status of a plan whose folder holds no file for the units found.
    std::wstring NoFiles() const { return L"No update files for this instrument in " + dir_.wpath(); }
    QColor StatusColour() { return window_->StatusField()->palette().color(QPalette::WindowText); }
    QColor StatusBase() { return window_->StatusField()->palette().color(QPalette::Window); }
    // The two colours of the status: the palette's text, and a red readable on its base.
    QColor NormalColour() { return window_->palette().color(QPalette::Active, QPalette::Text); }
    QColor RedColour() { return vesk::ui::ReadableRed(window_->palette().color(QPalette::Active, QPalette::Base)); }
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
    vesk::test::QtWarnings qt_warnings_;
    vesk::test::TempDir dir_;
    vesk::test::TempDir lock_dir_;
    CVeskSemafori locks_{CVeskSemafori::Place{lock_dir_.path(), false, L"test", L"tester"}};
    vesk::test::ClockTimers timers_{clock_};
    vesk::test::ScriptedQuestions questions_;
    std::unique_ptr<vesk::sim::SimBus> bus_;
    std::optional<vesk::usb::ScopedBackend> backend_;
    WindowDevices devices_;
    std::unique_ptr<Dlg> window_;
    std::unique_ptr<vesk::test::QueuedCallWatch> watch_;
    std::vector<std::wstring> statuses_;
    int queued_calls_ = 0;
    int calls_taking_input_ = 0;
};

TEST_F(WindowTest, TemplateControls) {
    Open(kQuarv3, {.debug_mode = false});
    EXPECT_EQ(Win().windowTitle(), "Vesk Firmup test");
    EXPECT_EQ(Win().DeviceList()->columnCount(), 7);
    QStringList headers;
    for (int c = 0; c < 7; ++c) headers << Win().DeviceList()->headerItem()->text(c);
    EXPECT_EQ(headers, QStringList({"", "Device", "ID", "Booter", "Firmware", "Available", "Action"}));
    // The program's icon, drawn.
    EXPECT_FALSE(Win().windowIcon().pixmap(32, 32).isNull());
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
    WaitForTheWorker();
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
    EXPECT_EQ(StatusColour(), NormalColour());
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
    EXPECT_EQ(StatusColour(), RedColour());
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
}

// A plug or an unplug: at once (after the 2.2 s wait) when the application
// is active, only when it comes back otherwise.
TEST_F(WindowTest, DeviceChangeRefreshesOnlyWhileActive) {
    for (const bool active : {true, false}) {
        SCOPED_TRACE(active ? "active" : "inactive");
        Open(kQuarv3, {.debug_mode = true});
        FirstRefresh();
        ASSERT_EQ(Status(), NoFiles());
        Win().OnActivateApp(active);
        const size_t lines = Messages().size();
        const uint64_t before = clock_.now_ms();

        ASSERT_TRUE(bus_->Unplug("usb:1-1"));
        auto refreshed = [&] { return Status() == L"No gauge is connected to any USB port"; };
        if (active) {
            WaitUntil(refreshed);  // the refresh is on the worker
            EXPECT_GE(clock_.now_ms() - before, Dlg::kDeviceChangeWaitMs);
            EXPECT_EQ(Messages()[lines], L"Please wait...");
            EXPECT_EQ(Win().WaitBar()->value(), 0) << "the wait bar is emptied before the refresh";
        } else {
            ASSERT_TRUE(ProcessUntil([&] { return Win().Procedure().RefreshPending(); }));
            EXPECT_EQ(Status(), NoFiles()) << "nothing happens while another application has the focus";
            EXPECT_EQ(Messages().size(), lines);
            Win().OnActivateApp(true);
            WaitForTheWorker();
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
    // Each refresh is on the worker: waited for, however long a busy machine takes.
    WaitUntil([&] { return Status() == L"No gauge is connected to any USB port" && !Win().WorkerBusy(); });
    ASSERT_TRUE(bus_->Plug("usb:1-1"));
    // The bus only learns the time on a tick; the arrival is delivered then.
    timers_.Advance(Dlg::kBusTickMs);
    WaitUntil([&] { return Status() == NoFiles(); });
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
    EXPECT_EQ(after, (std::vector<std::wstring>{L"Please wait...", L"Please wait...", NoFiles()}))
        << "one device-change sequence with its refresh";
}

// ---- the update run

// Execute: the run goes on the worker thread; the window serves its queued
// calls in order but takes no input and cannot be closed until the run is
// over, then shows the plan of the closing refresh.
TEST_F(WindowTest, ExecuteRunsTheUpdateToFirmupFinished) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh));
    FirstRefresh();
    ASSERT_EQ(Status(), kClick);
    WatchTheRun();
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    ASSERT_TRUE(Win().WorkerBusy());
    // Every way out is refused, and a second run does not start.
    Win().close();
    QTest::keyClick(&Win(), Qt::Key_Escape);
    QTest::mouseClick(Win().ExitButton(), Qt::LeftButton);
    Win().OnBnClickedButtonUpdate();
    EXPECT_TRUE(Win().isVisible());
    WaitForTheWorker();

    EXPECT_GT(queued_calls_, 100) << "the run's surface calls reach the window queued";
    EXPECT_EQ(calls_taking_input_, 0) << "an input control took input during the run";
    // "Firmup finished" stays through the closing refresh, with the run's summary.
    EXPECT_EQ(statuses_, (std::vector<std::wstring>{kClick, kDoNotUnplug, L"Firmup finished"}));
    EXPECT_EQ(StatusColour(), NormalColour());
    EXPECT_TRUE(Win().RunSummary()->isVisible());
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
    EXPECT_TRUE(Win().Procedure().LastRun().errors.empty());
    EXPECT_EQ(Win().OverallBar()->maximum(), 25 * 3 + 73);
    EXPECT_EQ(Win().OverallBar()->value(), Win().OverallBar()->maximum());
    // The closing refresh: the new versions, no unit in its booter, nothing
    // left to write (no file for the master: no row).
    EXPECT_EQ(Column(Win().DeviceList(), kColumnRow), (std::vector<std::wstring>{L"1", L"2", L"4"}));
    EXPECT_EQ(Column(Win().DeviceList(), kColumnDevice),
              (std::vector<std::wstring>{L"Display Unit", L"Display Unit", L"GPS Receiver 2017"}));
    EXPECT_EQ(Column(Win().DeviceList(), kColumnFirmware),
              (std::vector<std::wstring>{L" 1.05.10", L" 1.05.10", L" 2.00.00"}));
    EXPECT_EQ(Text(Win().DeviceList(), 1, kColumnBooter), "01.02");
    EXPECT_EQ(Column(Win().DeviceList(), kColumnAction), std::vector<std::wstring>(3, L"will not be modified"));
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
    EXPECT_TRUE(Win().DumpButton()->isEnabled());
    EXPECT_TRUE(Win().ExitButton()->isEnabled());
    EXPECT_TRUE(Win().DeviceList()->isEnabled());
    // Detection and the cursor back; the master's restart wait on timer 3333.
    EXPECT_TRUE(Win().Detection().UsbDetectionOn);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(timers_.Period(Dlg::kTimerRestart), 10000u);
    // Until the user closes the summary: then the plan's own status. The
    // line under the bars never says the plan's status before the field does.
    EXPECT_EQ(Status(), L"Firmup finished");
    EXPECT_NE(W(Win().LastMessage()->text()), kUpToDate);
    EXPECT_FALSE(Win().LastMessage()->text().isEmpty());
    QTest::mouseClick(Win().RunSummary()->CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(Win().RunSummary()->isVisible());
    EXPECT_EQ(Status(), kUpToDate);
    EXPECT_EQ(W(Win().LastMessage()->text()), kUpToDate);
    EXPECT_EQ(StatusColour(), NormalColour());
    EXPECT_EQ(qt_warnings_.Seen(), std::vector<std::string>{});
}

// The data key's question comes up as the window's own modal dialog; the
// worker waits for it, and the answer reaches the key.
TEST_F(WindowTest, BehaviourRequestBlocksTheWorkerUntilAnswered) {
    UpdateFolders();
    vesk::test::DataKeyFiles(dir_);
    Open(vesk::test::kDataKeyAsking, {.debug_mode = true}, true);
    FirstRefresh();
    ASSERT_EQ(Status(), kClick);
    constexpr int kTurnsOpen = 50;
    int turns_open = 0;
    uint64_t asked_at = 0;
    size_t lines_asked = 0;
    bool worker_moved = false;
    std::vector<bool> input_asked;
    QTimer answer;
    answer.setInterval(0);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<CDlg_RichiestaComportamento*>(QApplication::activeModalWidget());
        if (!dialog) return;
        if (turns_open++ == 0) {
            asked_at = clock_.now_ms();
            lines_asked = Messages().size();
            input_asked = InputEnabled();
        }
        // The event loop turns while the question is open; the worker does not.
        if (clock_.now_ms() != asked_at || Messages().size() != lines_asked || !Win().WorkerBusy()) worker_moved = true;
        if (turns_open < kTurnsOpen) return;
        QTest::mouseClick(dialog->Radio(kBehaviourNever), Qt::LeftButton);
        QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    });
    answer.start();
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    answer.stop();

    EXPECT_EQ(turns_open, kTurnsOpen) << "asked once, answered on the last turn";
    EXPECT_FALSE(worker_moved);
    EXPECT_EQ(input_asked, std::vector<bool>(6, false));
    EXPECT_EQ(Messages().at(lines_asked), L"Start loading other firmware Data Key - 20")
        << "the loads come after the answer";
    const vesk::sim::SimKey* store = vesk::sim::FindKeyDevice(*bus_->Find("usb:1-1"));
    ASSERT_NE(store, nullptr);
    for (const uint16_t code : vesk::test::kDataKeyCarried) {
        SCOPED_TRACE(code);
        ASSERT_TRUE(store->other.count(code));
        EXPECT_EQ(store->other.at(code).behaviour, kBehaviourNever);
    }
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::NoSlaveUpdate);
    EXPECT_TRUE(Win().ExecuteButton()->isEnabled());
    EXPECT_EQ(qt_warnings_.Seen(), std::vector<std::string>{});
}

// A run that stops gives the buttons back and says why in red; the plan of
// before the run stays.
TEST_F(WindowTest, AbortedRunReenablesTheButtonsAndShowsItsTextInRed) {
    struct Case {
        const char* name;
        bool folders;
        std::string faults;
        std::wstring text;
        bool bar_full;  // the run had set the overall bar's range
    } cases[] = {
        {"no _BOOTER", false, "[]", L"Missing _BOOTER folder", false},
        {"GotoBooter refused", true, R"([{"kind": "stall", "request": "booter", "command": 4, "when": "always"}])",
         L"Device fails to go to booter", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.folders) UpdateFolders();
        File("Quarv3_010800_fw.mhx", 0xFE0000, "01.08.00");
        Open(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "booter": "02.10", "faults": )" +
             c.faults + "}]}");
        FirstRefresh();
        ASSERT_EQ(Status(), kClick);
        WatchTheRun();
        QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
        WaitForTheWorker();
        EXPECT_EQ(calls_taking_input_, 0);
        EXPECT_EQ(Win().Procedure().LastRun().text, c.text);
        EXPECT_EQ(Status(), c.text);
        EXPECT_EQ(StatusColour(), RedColour());
        EXPECT_TRUE(Win().ExecuteButton()->isEnabled());
        EXPECT_TRUE(Win().DumpButton()->isEnabled());
        EXPECT_TRUE(Win().ExitButton()->isEnabled());
        EXPECT_TRUE(Win().DeviceList()->isEnabled());
        EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will get 01.08.00");
        EXPECT_EQ(Win().OverallBar()->value() == Win().OverallBar()->maximum(), c.bar_full);
        EXPECT_TRUE(Win().Detection().UsbDetectionOn);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        TearDown();
        std::filesystem::remove_all(dir_.file("_BOOTER"));
        std::filesystem::remove_all(dir_.file("_ACCESSORI"));
    }
}

// Autostart: the first refresh, the run 200 ms later, then the window
// closes. Nobody is there to answer the exit question: a unit left in its
// booter is logged and makes the exit status 1, never a wait for an answer.
TEST_F(WindowTest, AutostartRefreshesRunsAndCloses) {
    struct Case {
        const char* name;
        std::string scenario;
        std::string logged;  // the question the window did not ask; empty: none
        int exit_status;
    } cases[] = {
        {"nothing in booter", vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh), "", 0},
        {"a slave left in its booter",
         PellDL(Slave(1, 2006, 71, R"(, "in_booter": true, "stays_in_booter": true)"), kBackBeforeTheClosingRefresh),
         "Closing without asking: slave n. 1 is in booter: are you sure you want to exit?", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        questions_ = {};
        UpdateFolders();
        vesk::test::ThreeSlavesDueFiles(dir_);
        Open(c.scenario, {.autostart = true, .debug_mode = true});
        FirstRefresh();
        ASSERT_GT(Win().DeviceList()->topLevelItemCount(), 0);
        EXPECT_FALSE(Win().WorkerBusy());
        timers_.Advance(199);
        EXPECT_FALSE(Win().WorkerBusy()) << "the run starts 200 ms after the first refresh";
        timers_.Advance(1);
        ASSERT_TRUE(Win().WorkerBusy());
        EXPECT_FALSE(timers_.Active(Dlg::kTimerAutostart)) << "timer 2222 fires once";
        WaitUntil([&] { return !Win().WorkerBusy(); });
        EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
        EXPECT_EQ(questions_.questions, std::vector<std::wstring>{});
        EXPECT_FALSE(Win().isVisible());
        EXPECT_EQ(Win().ExitStatus(), c.exit_status);
        EXPECT_EQ(log_.contains("Closing without asking"), !c.logged.empty());
        if (!c.logged.empty()) {
            EXPECT_TRUE(log_.contains(c.logged)) << c.logged;
        }
        TearDown();
    }
}

// Autostart's timer that comes while a dump runs waits for the dump: the
// run follows it, and the window then closes.
TEST_F(WindowTest, AutostartWaitsForADumpOnTheWorker) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh), {.autostart = true});
    FirstRefresh();
    bool run_during_dump = true;
    questions_.on_question = [&](const std::wstring& q) {
        if (q != L"file") return;
        timers_.Advance(200);
        run_during_dump = Win().Procedure().LastRun().outcome != Outcome::NotRun;
    };
    QTest::mouseClick(Win().DumpButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    EXPECT_FALSE(run_during_dump);
    ASSERT_TRUE(timers_.Active(Dlg::kTimerAutostart));
    timers_.Advance(200);
    ASSERT_TRUE(Win().WorkerBusy());
    WaitUntil([&] { return !Win().WorkerBusy(); });
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
    EXPECT_FALSE(Win().isVisible());
}

// A plug or an unplug during the run waits for its end, and however many
// came, one device-change sequence with its refresh follows.
TEST_F(WindowTest, DeviceChangeDuringTheRunIsHeldAndRefreshedOnceAfter) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh), {.debug_mode = true});
    FirstRefresh();
    Win().OnActivateApp(true);
    const size_t lines = Messages().size();
    bool held = false;
    vesk::test::QueuedCallWatch change(&Win(), [&] {
        if (held || !Win().WorkerBusy()) return;
        Win().OnDevice0101(false, L"");
        Win().OnDevice0101(true, L"");
        held = Win().DeviceChangeHeld();
    });
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    ASSERT_TRUE(held);
    EXPECT_FALSE(Win().DeviceChangeHeld());
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
    const std::vector<std::wstring> all = Messages();
    const std::vector<std::wstring> since(all.begin() + long(lines), all.end());
    EXPECT_EQ(std::count(since.begin(), since.end(), L"Please wait..."), 3)
        << "the run's closing refresh, then one sequence with its refresh";
    EXPECT_EQ(std::vector<std::wstring>(since.end() - 5, since.end()),
              (std::vector<std::wstring>{L"Please wait...", kUpToDate, L"Please wait...", L"Please wait...",
                                         kUpToDate}));
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
    UpdateFolders();
    for (const bool rehearse : {true, false}) {
        SCOPED_TRACE(rehearse ? "Rehearse" : "without the option");
        MainDialogArgs args;
        args.rehearse = rehearse;
        Open(kMasterAndThreeSlaves, args);
        FirstRefresh();
        ASSERT_EQ(Status(), kClick);
        bus_->trace().Clear();
        WatchTheRun();
        QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
        WaitForTheWorker();
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
            EXPECT_EQ(StatusColour(), RedColour());
            EXPECT_EQ(changes, std::vector<std::string>{});
            // The summary in the message list, with what the copy could not know.
            for (const wchar_t* line : {L"  The simulated copy keeps at the simulator's defaults:",
                                        L"  M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00"})
                EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end()) << vesk::to_utf8(line);
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
    // The cause named, with the critical icon.
    EXPECT_EQ(questions_.infos, std::vector<std::wstring>{});
    EXPECT_EQ(questions_.criticals,
              std::vector<std::wstring>{L"Firmup application is closing as it's impossible to detect hardware.\n"
                                        L"USB device notifications: no udev here"});
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

// ---- the window's thread is never held by a refresh

// Posts a click on the Execute button, as a user's click waits in the queue.
void PostClick(QPushButton* button) {
    const QPointF at = QRectF(button->rect()).center();
    const QPointF global = button->mapToGlobal(at);
    QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                                        Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                                        Qt::NoButton, Qt::NoModifier));
}

// A click on the greyed Execute button while a refresh reads the plan is
// dropped: it never starts a run once the refresh has enabled the button.
TEST_F(WindowTest, ClickQueuedDuringARefreshStartsNoRun) {
    struct Case {
        const char* name;
        bool device_change;
    } cases[] = {{"first refresh", false}, {"device-change refresh", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFolders();
        vesk::test::ThreeSlavesDueFiles(dir_);
        Open(vesk::test::ThreeSlavesDue());
        if (c.device_change) {
            FirstRefresh();
            ASSERT_TRUE(Win().ExecuteButton()->isEnabled());
            Win().OnActivateApp(true);
            Win().OnDevice0101(true, L"");
        } else {
            timers_.Advance(50);
        }
        EXPECT_FALSE(Win().ExecuteButton()->isEnabled()) << "greyed while the refresh reads";
        EXPECT_FALSE(Win().ExitButton()->isEnabled());
        PostClick(Win().ExecuteButton());
        WaitForTheWorker();
        QCoreApplication::processEvents();
        EXPECT_EQ(Status(), kClick);
        EXPECT_TRUE(Win().ExecuteButton()->isEnabled());
        EXPECT_FALSE(Win().WorkerBusy());
        EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::NotRun) << "the queued click started a run";
        TearDown();
    }
}

// ---- after the run: where the units are now

// Autostart closes once the restarted master is back and read, and its exit
// status says whether every unit ended as planned.
TEST_F(WindowTest, AutostartExitStatusFollowsTheUnitsAfterTheRun) {
    struct Case {
        const char* name;
        std::string scenario;
        bool booter_left;  // a unit is in its booter after the run
        int exit_status;
    } cases[] = {
        // Slave 4 runs its booter before the run; the master is still away at
        // the run's closing refresh (3 s of restart).
        {"success, a slave in booter before", vesk::test::ThreeSlavesDue(), false, 0},
        // Nothing was written: slave 4 is still in its booter; the window
        // closes without waiting for an answer nobody gives.
        {"GotoBooter refused",
         vesk::test::ThreeSlavesDue(R"(, "faults": [{"kind": "stall", "request": "booter", "command": 4, "when": "always"}])"),
         true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        questions_ = {};
        UpdateFolders();
        vesk::test::ThreeSlavesDueFiles(dir_);
        File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
        File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
        Open(c.scenario, {.autostart = true, .debug_mode = true});
        FirstRefresh();
        timers_.Advance(200);
        ASSERT_TRUE(Win().WorkerBusy());
        WaitForTheWorker();
        EXPECT_EQ(questions_.questions, std::vector<std::wstring>{});
        EXPECT_FALSE(Win().isVisible()) << "Autostart closes after its run";
        EXPECT_EQ(log_.contains("Closing without asking: slave n. 4 is in booter"), c.booter_left);
        EXPECT_EQ(Win().ExitStatus(), c.exit_status) << vesk::to_utf8(Win().Procedure().LastRun().text);
        // The list shows the units as the last refresh read them.
        const std::vector<std::wstring> devices = Column(Win().DeviceList(), kColumnDevice);
        const bool booter_shown = std::any_of(devices.begin(), devices.end(), [](const std::wstring& d) {
            return d.find(L"*BOOTER*") != std::wstring::npos;
        });
        EXPECT_EQ(booter_shown, c.booter_left);
        EXPECT_EQ(Win().Procedure().LastRefresh(), CUpdateProcedure::RefreshOutcome::Planned);
        TearDown();
        std::filesystem::remove_all(dir_.file("_BOOTER"));
    }
}

// A plan the window refuses (more slaves than a run may take) is not run by
// Autostart either: nothing reaches the instrument, no question waits for
// nobody, and the exit status is 1.
TEST_F(WindowTest, AutostartDoesNotRunAPlanTheWindowRefuses) {
    UpdateFolders();
    File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
    File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
    std::string slaves;
    for (int n = 1; n <= 8; ++n)
        slaves += (n > 1 ? ", " : "") + vesk::test::Slave(n, 2006, n == 1 ? 0 : 70 + n);
    Open(vesk::test::PellDL(slaves), {.autostart = true, .debug_mode = true});
    FirstRefresh();
    ASSERT_TRUE(Win().Procedure().UpdatePending());
    ASSERT_FALSE(Win().ExecuteButton()->isEnabled());
    bus_->trace().Clear();
    timers_.Advance(200);
    EXPECT_FALSE(Win().WorkerBusy()) << "no run starts";
    EXPECT_FALSE(Win().isVisible()) << "Autostart closes";
    EXPECT_EQ(Win().ExitStatus(), 1);
    EXPECT_EQ(questions_.questions, std::vector<std::wstring>{});
    EXPECT_TRUE(log_.contains("Autostart: the plan does not allow an update"));
    EXPECT_TRUE(bus_->trace().lines().empty()) << "a request reached the instrument";
}

// SIGTERM (a logout) during a run stops it at its next safe point: the
// window shows the units as they are, then closes with 143 and no question.
TEST_F(WindowTest, SigtermDuringARunStopsItAtItsNextSafePointAndCloses) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
    File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
    Open(vesk::test::ThreeSlavesDue(), {.debug_mode = true});
    FirstRefresh();
    ASSERT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will get 46.05.00");
    bool signalled = false;
    // In the middle of the master's firmware write.
    vesk::test::QueuedCallWatch signal(&Win(), [&] {
        if (signalled || !Win().WorkerBusy() || !log_.contains("Start write firmware")) return;
        signalled = true;
        Win().OnSignal(SIGTERM);
    });
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitForTheWorker();
    ASSERT_TRUE(signalled);
    EXPECT_EQ(Win().Procedure().LastRun().text, L"Stopped on request");
    EXPECT_TRUE(questions_.questions.empty());
    EXPECT_FALSE(Win().isVisible());
    EXPECT_EQ(Win().ExitStatus(), 128 + SIGTERM);
    // The master was written before the stop: the list shows its new firmware.
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnFirmware), "46.05.00");
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will not be modified");
    vesk::update::ClearStopRequest();
}

// Autostart's own ending asks nothing after a signal: slave 4 is still in
// its booter, but nobody may be there to answer at a logout.
TEST_F(WindowTest, SigtermDuringAnAutostartRunClosesWithoutTheExitQuestion) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
    File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
    Open(vesk::test::ThreeSlavesDue(), {.autostart = true});
    FirstRefresh();
    bool signalled = false;
    vesk::test::QueuedCallWatch signal(&Win(), [&] {
        if (signalled || !Win().WorkerBusy() || !log_.contains("Start write firmware")) return;
        signalled = true;
        Win().OnSignal(SIGTERM);
    });
    timers_.Advance(200);
    ASSERT_TRUE(Win().WorkerBusy());
    WaitForTheWorker();
    ASSERT_TRUE(signalled);
    EXPECT_EQ(questions_.questions, std::vector<std::wstring>{});
    EXPECT_FALSE(Win().isVisible());
    EXPECT_EQ(Win().ExitStatus(), 128 + SIGTERM);
    vesk::update::ClearStopRequest();
}

TEST_F(WindowTest, SignalOutsideARunClosesWithoutAsking) {
    // A logout or a kill: nobody may be there to answer, so the window goes
    // with the signal's status, and the log keeps what it would have asked.
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        questions_ = {};
        Open(PellDL(Slave(1, 2006, 71, R"(, "in_booter": true)")));
        FirstRefresh();
        Win().OnSignal(signal);
        EXPECT_EQ(questions_.questions, std::vector<std::wstring>{});
        EXPECT_FALSE(Win().isVisible());
        EXPECT_EQ(Win().ExitStatus(), 128 + signal);
        EXPECT_TRUE(log_.contains("Closing without asking: slave n. 1 is in booter"));
        TearDown();
    }
}

// ---- the instrument's lock

// Another program holds lock 1: the window reads nothing from the
// instrument, says who holds it, and refreshes once it is free.
TEST_F(WindowTest, RefreshWaitsWhileAnotherProgramHoldsTheInstrumentLock) {
    CVeskSemafori other{CVeskSemafori::Place{lock_dir_.path(), false, L"test", L"tester"}};
    other.SetHolderName("vesk-firmup-cli update\x1b[2J");
    ASSERT_TRUE(other.Blocca(1));
    Files();
    Open(kMasterAndThreeSlaves);
    bus_->trace().Clear();
    FirstRefresh();
    EXPECT_TRUE(Win().RefreshWaitsForLock());
    EXPECT_EQ(Status(), L"The instrument is in use by another program; waiting for it to finish: "
                        L"vesk-firmup-cli update\\x1b[2J (pid " + std::to_wstring(::getpid()) + L")");
    EXPECT_TRUE(bus_->trace().lines().empty()) << "a request reached the instrument";
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
    EXPECT_TRUE(Win().ExitButton()->isEnabled()) << "the window can still be closed";
    // Still held a period later.
    timers_.Advance(Dlg::kLockRetryMs);
    WaitForTheWorker();
    EXPECT_TRUE(Win().RefreshWaitsForLock());
    EXPECT_EQ(Win().DeviceList()->topLevelItemCount(), 0);

    other.Sblocca(1);
    timers_.Advance(Dlg::kLockRetryMs);
    WaitForTheWorker();
    EXPECT_FALSE(Win().RefreshWaitsForLock());
    EXPECT_EQ(Status(), kClick);
    EXPECT_EQ(Win().DeviceList()->topLevelItemCount(), 4);
    EXPECT_EQ(locks_.StoBloccando(1), 0) << "released after the refresh";
}

// ---- the update folder

// A folder without files for the units found: the units are listed, the
// status names the folder in the normal colour, Execute stays disabled.
TEST_F(WindowTest, FolderWithoutFilesListsTheUnitsAndSaysSo) {
    Open(kMasterAndThreeSlaves);
    FirstRefresh();
    EXPECT_EQ(Status(), NoFiles());
    EXPECT_EQ(StatusColour(), QColor(0, 0, 0));
    EXPECT_FALSE(Win().ExecuteButton()->isEnabled());
    EXPECT_EQ(Column(Win().DeviceList(), kColumnRow), (std::vector<std::wstring>{L"M", L"1", L"2", L"4"}));
}

// "Folder...": another folder is read at once, shown, and kept for the next start.
TEST_F(WindowTest, FolderButtonPicksAnotherMainFolder) {
    vesk::test::TempDir other;
    vesk::test::MakeFirmwareFile(other, "Pell_460500_fw.mhx", 0xFC0000, 0x100, "46.05.00");
    vesk::test::MakeFirmwareFile(other, "Pell_460500_lng.mhx", 0xFC0000, 0x100, "46.05.00");
    const std::string settings = lock_dir_.file("firmup.ini");
    MainDialogArgs args;
    args.folder_settings = vesk::from_utf8(settings);
    Open(kMasterAndThreeSlaves, args);
    FirstRefresh();
    ASSERT_EQ(Status(), NoFiles());
    EXPECT_EQ(Win().FolderLabel()->text(), Q(L"Update files from: " + dir_.wpath()));
    questions_.folder = other.wpath();
    QTest::mouseClick(Win().FolderButton(), Qt::LeftButton);
    EXPECT_EQ(questions_.questions, std::vector<std::wstring>{L"folder"});
    WaitForTheWorker();
    EXPECT_EQ(Status(), kClick);
    EXPECT_EQ(Text(Win().DeviceList(), 0, kColumnAction), "will get 46.05.00");
    EXPECT_EQ(Win().FolderLabel()->text(), Q(L"Update files from: " + other.wpath()));
    EXPECT_EQ(vesk::ReadRememberedFolder(args.folder_settings), other.wpath());
    // No folder chosen: nothing changes.
    questions_.folder.clear();
    QTest::mouseClick(Win().FolderButton(), Qt::LeftButton);
    EXPECT_FALSE(Win().WorkerBusy());
    EXPECT_EQ(Win().Procedure().MainFolder(), other.wpath());
}

// ---- logind's inhibitor lock

TEST_F(WindowTest, InhibitorLockHeldForTheRun) {
    MockLogind logind;
    ASSERT_TRUE(logind.ready()) << "no private bus: " << logind.address();
    const vesk::test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", logind.address().c_str());
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh));
    FirstRefresh();
    EXPECT_TRUE(logind.calls().empty()) << "a refresh takes no lock";
    std::optional<size_t> calls_during;
    questions_.on_question = [&](const std::wstring&) {};
    vesk::test::QueuedCallWatch during(&Win(), [&] {
        if (!calls_during && Win().WorkerBusy() && log_.contains("Start write")) calls_during = logind.calls().size();
    });
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitForTheWorker();
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
    EXPECT_EQ(calls_during, 1u) << "taken before the first write";
    const auto calls = logind.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, MockLogind::UpdateArgs());
    // Released with the run: the window's end of the pipe is closed.
    EXPECT_TRUE(MockLogind::Released(calls[0]));
    EXPECT_TRUE(log_.contains("Inhibitor lock released"));
}

TEST_F(WindowTest, WithoutLogindTheRunGoesOnWithOneLogLine) {
    const std::string nowhere = "unix:path=" + dir_.file("no-bus");
    const vesk::test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str());
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh));
    FirstRefresh();
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitForTheWorker();
    EXPECT_EQ(Win().Procedure().LastRun().outcome, Outcome::Finished);
    EXPECT_TRUE(log_.contains("No inhibitor lock"));
    EXPECT_FALSE(log_.contains("Inhibitor lock taken"));
}

// A dark theme: the status in the palette's light text on its dark base, the
// red one lightened to stay readable; both at least 4.5:1.
TEST_F(WindowTest, StatusReadableOnLightAndDarkThemes) {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    for (const QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        dark.setColor(g, QPalette::Window, QColor(0x31, 0x36, 0x3b));
        dark.setColor(g, QPalette::WindowText, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(g, QPalette::Base, QColor(0x1b, 0x1e, 0x20));
        dark.setColor(g, QPalette::Text, QColor(0xfc, 0xfc, 0xfc));
    }
    for (const bool is_dark : {false, true}) {
        SCOPED_TRACE(is_dark ? "dark" : "light");
        QApplication::setPalette(is_dark ? dark : before);
        Files();
        Open(kMasterAndThreeSlaves);
        FirstRefresh();
        ASSERT_EQ(Status(), kClick);
        EXPECT_EQ(StatusBase(), Win().palette().color(QPalette::Base));
        EXPECT_GE(vesk::ui::ContrastRatio(StatusColour(), StatusBase()), 4.5) << StatusColour().name().toStdString();
        TearDown();
        Open(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09"},
                                 {"code": 19, "serial": 8, "firmware": "01.07.09"}]})");
        FirstRefresh();
        ASSERT_EQ(Status(), L"2 gauges are connected to USB ports. Only one can be connected.");
        EXPECT_EQ(StatusColour().hslHue(), 0) << "still red";
        EXPECT_GE(vesk::ui::ContrastRatio(StatusColour(), StatusBase()), 4.5) << StatusColour().name().toStdString();
        TearDown();
    }
    QApplication::setPalette(before);
}

// Advanced mode at the window's default size: the versions list beside the
// device list (a splitter between them), every column of the device list in
// sight and as wide as its contents, and the row whose versions are shown
// selected.
TEST_F(WindowTest, AdvancedModeKeepsActionInSightAndSelectsItsRow) {
    Files();
    Open(kMasterAndThreeSlaves, {.advanced = true});
    FirstRefresh();
    QTest::mouseClick(Win().AdvancedButton(), Qt::LeftButton);
    ASSERT_TRUE(Win().VersionsList()->isVisible());
    QCoreApplication::processEvents();
    QTreeWidget* list = Win().DeviceList();
    const QWidget* splitter = Win().ListsSplitter();
    EXPECT_EQ(list->parentWidget(), splitter);
    EXPECT_EQ(Win().VersionsList()->parentWidget(), splitter);
    const QHeaderView* header = list->header();
    for (int c = 0; c < kDeviceColumns; ++c) {
        SCOPED_TRACE(c);
        EXPECT_LE(header->sectionViewportPosition(c) + header->sectionSize(c), list->viewport()->width())
            << "the column is out of sight at " << Win().width() << " px";
        if (c == kColumnDevice) continue;
        for (int r = 0; r < list->topLevelItemCount(); ++r)
            EXPECT_GE(header->sectionSize(c), list->fontMetrics().horizontalAdvance(list->topLevelItem(r)->text(c)))
                << "cut: " << list->topLevelItem(r)->text(c).toStdString();
    }
    // Row 0 shows its versions at once; a click on another row moves both.
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems().front(), list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(1)).center());
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems().front(), list->topLevelItem(1));
    EXPECT_EQ(Column(Win().VersionsList(), 1), (std::vector<std::wstring>{L"01.05.10", L"01.02.03"}));
    // Back in normal mode no row is picked out; in advanced mode again the remembered one.
    QTest::mouseClick(Win().AdvancedButton(), Qt::LeftButton);
    EXPECT_TRUE(list->selectedItems().isEmpty());
    QTest::mouseClick(Win().AdvancedButton(), Qt::LeftButton);
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems().front(), list->topLevelItem(1));
}

// The tooltip of a row lists every image a run writes to that unit, not
// only its firmware.
TEST_F(WindowTest, RowTooltipListsEveryImageTheRunWrites) {
    UpdateFolders();
    Files();
    File("_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, "01.02");
    Open(kMasterAndThreeSlaves);
    FirstRefresh();
    ASSERT_EQ(Status(), kClick);
    const QTreeWidget* list = Win().DeviceList();
    std::vector<std::wstring> tips;
    for (int r = 0; r < list->topLevelItemCount(); ++r) tips.push_back(W(list->topLevelItem(r)->toolTip(kColumnAction)));
    EXPECT_EQ(tips, (std::vector<std::wstring>{
                        L"firmware 46.03.00 -> 46.05.00\nlanguage 46.05.00",
                        L"firmware 01.00.00 -> 01.05.10\nbooter 00.00 -> 01.02",
                        L"firmware in booter -> 02.00.00",
                        L"booter 00.00 -> 01.02",
                    }));
    // Every column of a row carries it.
    for (int c = 0; c < kDeviceColumns; ++c) EXPECT_EQ(list->topLevelItem(1)->toolTip(c), Q(tips[1]));
}

// The bars say what they count through a whole run: the overall bar its
// steps, the wait bar each write (unit by name and serial) and each wait;
// outside Debug_mode the latest message shows under them.
TEST_F(WindowTest, BarsSayWhatTheyCount) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh));
    FirstRefresh();
    ASSERT_EQ(Status(), kClick);
    EXPECT_FALSE(Win().OverallBar()->isTextVisible()) << "no run yet: nothing counted";
    EXPECT_EQ(W(Win().LastMessage()->text()), kClick);
    std::vector<std::wstring> overall, wait, last;
    auto add = [](std::vector<std::wstring>& v, const QString& t) {
        if (v.empty() || v.back() != W(t)) v.push_back(W(t));
    };
    const vesk::test::QueuedCallWatch watch(&Win(), [&] {
        if (Win().OverallBar()->isTextVisible()) add(overall, Win().OverallBar()->text());
        add(wait, Win().WaitBar()->isTextVisible() ? Win().WaitBar()->text() : QString());
        add(last, Win().LastMessage()->text());
    });
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    add(overall, Win().OverallBar()->text());
    ASSERT_FALSE(overall.empty());
    EXPECT_EQ(overall.front(), L"Step 0 of 148");
    EXPECT_EQ(overall.back(), L"Step 148 of 148");
    EXPECT_GT(overall.size(), 10u);
    auto has = [&](const std::wstring& text) { return std::find(wait.begin(), wait.end(), text) != wait.end(); };
    // A report the window has not shown yet gives way to the next: the end of each write is shown.
    for (const wchar_t* text : {L"Firmware to Display Unit 71: 100 %",
                                L"Booter to Display Unit 72: 100 %", L"Firmware to GPS Receiver 2017 74: 100 %",
                                L"Waiting for Pell DL Logger 10: 5 s", L"Waiting for Pell DL Logger 10: 1 s"})
        EXPECT_TRUE(has(text)) << vesk::to_utf8(text);
    for (const std::wstring& w : wait) {
        const bool known = w.empty() || w.rfind(L"Waiting for ", 0) == 0 || w.rfind(L"Firmware to ", 0) == 0 ||
                           w.rfind(L"Booter to ", 0) == 0;
        EXPECT_TRUE(known) << vesk::to_utf8(w);
    }
    EXPECT_EQ(W(Win().WaitBar()->text()), L"") << "no wait and no write left on the bar";
    EXPECT_GT(last.size(), 10u) << "the line under the bars follows the messages";
    // "Firmup finished" holds the closing refresh's statuses back, and the
    // line their messages: it keeps the run's latest.
    ASSERT_EQ(Status(), L"Firmup finished");
    const std::vector<std::wstring> messages = Messages();
    const auto run_last = std::find_if(messages.rbegin(), messages.rend(), [](const std::wstring& m) {
        return m != L"Please wait..." && m != kUpToDate;
    });
    ASSERT_NE(run_last, messages.rend());
    EXPECT_EQ(W(Win().LastMessage()->text()), *run_last);
    EXPECT_FALSE(Win().LastMessage()->text().isEmpty());
}

// The summary after a run: each unit of the plan with each image's version
// before and after and whether it ended as planned, read again when the
// master comes back.
TEST_F(WindowTest, RunSummaryListsEachUnitAndImage) {
    UpdateFolders();
    vesk::test::ThreeSlavesDueFiles(dir_);
    Open(vesk::test::ThreeSlavesDue(kBackBeforeTheClosingRefresh));
    FirstRefresh();
    EXPECT_FALSE(Win().RunSummary()->isVisible());
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    ASSERT_TRUE(Win().RunSummary()->isVisible());
    const QTreeWidget* list = Win().RunSummary()->List();
    auto row = [](const QTreeWidgetItem* item) {
        std::vector<std::wstring> out;
        for (int c = 0; c < CRunSummaryPanel::kColumns; ++c) out.push_back(W(item->text(c)));
        return out;
    };
    using Row = std::vector<std::wstring>;
    ASSERT_EQ(list->topLevelItemCount(), 4);
    EXPECT_EQ(row(list->topLevelItem(0)), (Row{L"M Pell DL Logger", L"10", L"46.03.00", L"46.03.00", L"-", L"yes"}));
    EXPECT_EQ(row(list->topLevelItem(1)), (Row{L"1 Display Unit", L"71", L"01.00.00", L"01.05.10", L"01.05.10", L"yes"}));
    EXPECT_EQ(row(list->topLevelItem(2)), (Row{L"2 Display Unit", L"72", L"01.05.10", L"01.05.10", L"-", L"yes"}));
    EXPECT_EQ(row(list->topLevelItem(3)),
              (Row{L"4 GPS Receiver 2017", L"74", L"in booter", L"02.00.00", L"02.00.00", L"yes"}));
    // Slave 2: its booter written and read back.
    const QTreeWidgetItem* slave2 = list->topLevelItem(2);
    ASSERT_EQ(slave2->childCount(), 2);
    EXPECT_EQ(row(slave2->child(0)), (Row{L"firmware", L"", L"01.05.10", L"01.05.10", L"01.05.10", L"yes"}));
    EXPECT_EQ(row(slave2->child(1)), (Row{L"booter", L"", L"01.00", L"01.02", L"01.02", L"yes"}));
    EXPECT_TRUE(slave2->isExpanded());
    // The procedure's own check says the same.
    for (const auto& u : Win().Procedure().LastRun().units) EXPECT_TRUE(u.verified) << u.serial;
}

// A worker steps the wait bar every 10 ms of a wait: a surface call only
// marks its control for the next frame, so the window's thread never paints
// inside one (a paint at once held it longer than a frame under load).
TEST_F(WindowTest, SurfaceCallsPaintWithTheNextFrame) {
    Open(kQuarv3);
    FirstRefresh();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    };
    struct Case {
        const char* name;
        QWidget* control;
        std::function<void()> call;
    } cases[] = {
        {"wait bar stepped", Win().WaitBar(), [&] { Win().StepBar(ProgressBar::Wait); }},
        {"wait bar set", Win().WaitBar(), [&] { Win().SetBarPos(ProgressBar::Wait, 73); }},
        {"overall bar set", Win().OverallBar(), [&] { Win().SetBarPos(ProgressBar::Overall, 41); }},
        {"status", Win().StatusField(), [&] { Win().SetStatus(L"Start write firmware \x01 now", StatusColour::Red); }},
    };
    Win().SetBarRange(ProgressBar::Wait, 100);
    Win().SetBarStep(ProgressBar::Wait, 7);
    Win().SetBarRange(ProgressBar::Overall, 123);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessUntil([] { return false; }, 20);
        PaintCounter counter;
        c.control->installEventFilter(&counter);
        c.call();
        EXPECT_EQ(counter.paints, 0) << "painted inside the call";
        ProcessUntil([&] { return counter.paints > 0; }, 2000);
        EXPECT_GT(counter.paints, 0) << "never painted";
        c.control->removeEventFilter(&counter);
    }
    EXPECT_EQ(Win().WaitBar()->value(), 73);
    EXPECT_EQ(Win().OverallBar()->value(), 41);
}

// A run that writes nothing does not cover the plan with a summary.
TEST_F(WindowTest, NoSummaryForARunThatTouchedNothing) {
    File("Quarv3_010800_fw.mhx", 0xFE0000, "01.08.00");
    Open(kQuarv3);
    FirstRefresh();
    ASSERT_EQ(Status(), kClick);
    QTest::mouseClick(Win().ExecuteButton(), Qt::LeftButton);
    WaitUntil([&] { return !Win().WorkerBusy(); });
    EXPECT_EQ(Status(), L"Missing _BOOTER folder");
    EXPECT_FALSE(Win().RunSummary()->isVisible());
}

}  // namespace
