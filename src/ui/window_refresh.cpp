// The window's refreshes, the instrument's lock, what follows a run and the
// signals that end the program: the parts of the main window that decide
// when the worker talks to the instrument.
#include <QApplication>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <csignal>
#include <cstdlib>

#include "update/settings/engine.h"
#include "update/settings/remembered_folder.h"
#include "ui/qt_text.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "ui/vesk_firmware_updater_dlg.h"
#include "update/after_run.h"
#include "update/stop_request.h"
#include "usb/vesk_semafori.h"

using vesk::Translate;

namespace {
constexpr const char* kRefresh = "CVESKFirmwareUpdaterDlg::Refresh";
constexpr int kInstrumentLock = 1;
// A third signal this soon after the first ends the program at once.
constexpr uint64_t kSignalsAtOnceMs = 5000;
}  // namespace

void CVESKFirmwareUpdaterDlg::RefreshOnWorker(bool device_change) {
    if (worker_busy_) {
        // One refresh follows the task.
        held_changes_ += 1;
        return;
    }
    lock_busy_ = false;
    RunOnWorker(
        [this, device_change] {
            CUpdateProcedure& p = *procedure_;
            if (!TakeInstrumentLock()) {
                lock_busy_ = true;
                return;
            }
            if (device_change) {
                p.SetStatus(Translate(L"Please wait..."), StatusColour::Normal);
                p.Msg(nullptr, p.StatusText());
                p.EnableExecute(false);
                p.EnableAdvanced(false);
                p.AttesaConProgresso(kDeviceChangeWaitMs, Translate(L"the USB devices to settle"));
                queued_surface_.SetBarPos(ProgressBar::Wait, 0);
            }
            p.AggiornaStrumentiCollegati();
            ReleaseInstrumentLock();
        },
        [this, device_change] { OnRefreshDone(device_change); });
}

void CVESKFirmwareUpdaterDlg::OnRefreshDone(bool device_change) {
    if (lock_busy_) {
        // Tried again until the other program lets go; a device change meanwhile takes its place.
        device_change_waiting_ = device_change;
        timers_->Set(kTimerLockRetry, kLockRetryMs, [this] { OnTimer(kTimerLockRetry); });
        return;
    }
    device_change_waiting_ = false;
    // A master back from its restart: the summary says what it runs now.
    if (device_change && summary_shown_) ShowRunSummary();
    if (first_refresh_done_) return;
    first_refresh_done_ = true;
    if (options_.args.autostart) timers_->Set(kTimerAutostart, 200, [this] { OnTimer(kTimerAutostart); });
}

bool CVESKFirmwareUpdaterDlg::TakeInstrumentLock() {
    CVeskSemafori* locks = options_.locks;
    if (!locks || locks->Blocca(kInstrumentLock)) return true;
    if (!locks->HeldByAnother(kInstrumentLock)) {
        // A lock folder that cannot be used stops no refresh; the run itself refuses to write.
        VLOG_ERROR(kRefresh, "The instrument lock cannot be taken: the plan is read without it");
        return true;
    }
    const std::string holder = locks->HolderText(kInstrumentLock);
    VLOG_INFO(kRefresh, "The instrument is in use by %s: the refresh waits for it", holder.c_str());
    CUpdateProcedure& p = *procedure_;
    p.SetStatus(Translate(L"The instrument is in use by another program; waiting for it to finish: ") +
                    vesk::from_utf8(holder),
                StatusColour::Normal);
    p.EnableExecute(false);
    p.EnableAdvanced(false);
    return false;
}

void CVESKFirmwareUpdaterDlg::ReleaseInstrumentLock() {
    if (options_.locks && options_.locks->StoBloccando(kInstrumentLock)) options_.locks->Sblocca(kInstrumentLock);
}

void CVESKFirmwareUpdaterDlg::AfterRun() {
    CUpdateProcedure& p = *procedure_;
    const CUpdateProcedure::RunResult& run = p.LastRun();
    if (!vesk::update::RunTouchedInstrument(run.outcome)) {
        run_as_planned_ = false;
        return;
    }
    const bool verified = vesk::update::ReadAfterRun(
        p, {.poll = options_.bus_tick,
            .arrived = [this] { return arrivals_ > 0; },
            .say = [&p](const char* line) { p.Msg(nullptr, vesk::from_utf8(line)); },
            // Every change held so far is read by this refresh.
            .refreshing = [this] { covered_changes_ = held_changes_.load(); }});
    run_as_planned_ = vesk::update::EndedAsPlanned(run, verified);
    VLOG_INFO("CVESKFirmwareUpdaterDlg::AfterRun", "The run %s", run_as_planned_ ? "ended as planned" : "did not end as planned");
}

void CVESKFirmwareUpdaterDlg::OnSignal(int signal) {
    VLOG_INFO("CVESKFirmwareUpdaterDlg::OnSignal", "Signal %d", signal);
    exit_status_ = 128 + signal;
    if (!worker_busy_) {
        // A logout or a kill: nobody may be there to answer the exit
        // question, so the window goes and the log keeps what it would have asked.
        LogUnaskedQuestion(ExitQuestion());
        CloseOnSignal();
        return;
    }
    close_when_idle_ = true;
    if (!run_going_) return;  // a refresh or a dump ends soon
    const uint64_t now = vesk::process_clock().now_ms();
    if (signals_seen_ == 0 || now - first_signal_ms_ > kSignalsAtOnceMs) {
        signals_seen_ = 0;
        first_signal_ms_ = now;
    }
    ++signals_seen_;
    if (signals_seen_ == 1) {
        vesk::update::RequestStop(signal);
        procedure_->Msg(nullptr, Translate(L"Stopping once every unit is back in its firmware"));
        return;
    }
    if (signals_seen_ >= 3) {
        const uint32_t unit = vesk::update::UnitWritten();
        if (vesk::update::UnitMayBeInBooter() && vesk::update::WritingASlave())
            VLOG_ERROR("CVESKFirmwareUpdaterDlg::OnSignal",
                       "Ending at once: the slaves may be left in their booter (unit %u was being written)", unit);
        else if (vesk::update::UnitMayBeInBooter())
            VLOG_ERROR("CVESKFirmwareUpdaterDlg::OnSignal", "Ending at once: unit %u may be left in its booter", unit);
        else
            VLOG_INFO("CVESKFirmwareUpdaterDlg::OnSignal", "Ending at once");
        std::_Exit(exit_status_);
    }
}

void CVESKFirmwareUpdaterDlg::LogUnaskedQuestion(const std::wstring& question) {
    if (!question.empty())
        VLOG_INFO("CVESKFirmwareUpdaterDlg", "Closing without asking: %s", vesk::to_utf8(question).c_str());
}

void CVESKFirmwareUpdaterDlg::CloseOnSignal() {
    close_when_idle_ = false;
    // Nobody may be there to answer a question (a logout): the window goes,
    // and so does a question already open (its No keeps nothing now).
    if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget()); open && open != this)
        open->done(QDialog::Rejected);
    QDialog::done(QDialog::Rejected);
}

QWidget* CVESKFirmwareUpdaterDlg::BuildFolderRow() {
    auto* row = new QWidget(this);
    folder_label_ = new QLabel(row);
    folder_label_->setObjectName("folderLabel");
    folder_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    folder_label_->setWordWrap(true);
    folder_ = new QPushButton(Tr(L"Folder..."), row);
    folder_->setObjectName("folderButton");
    folder_->setAutoDefault(false);
    connect(folder_, &QPushButton::clicked, this, &CVESKFirmwareUpdaterDlg::OnBnClickedButtonFolder);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(folder_label_, 1);
    layout->addWidget(folder_);
    ShowFolder();
    return row;
}

void CVESKFirmwareUpdaterDlg::ShowFolder() {
    // Plain text: a folder name is never read as markup.
    folder_label_->setTextFormat(Qt::PlainText);
    folder_label_->setText(Tr(L"Update files from: ") + Q(procedure_->MainFolder()));
}

void CVESKFirmwareUpdaterDlg::OnBnClickedButtonFolder() {
    if (worker_busy_) return;
    const std::wstring folder = questions_->PickFolder(this, procedure_->MainFolder());
    if (folder.empty()) return;
    procedure_->SetMainFolder(folder);
    ShowFolder();
    if (!options_.args.folder_settings.empty() && !vesk::RememberFolder(options_.args.folder_settings, folder))
        folder_label_->setText(folder_label_->text() + Tr(L" (not kept for the next start: see the log)"));
    timers_->Kill(kTimerLockRetry);
    RefreshOnWorker(false);
}
