#include "ui/vesk_firmware_updater_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "update/settings/engine.h"
#include "log/evt_log.h"
#include "rehearsal/rehearsal.h"
#include "common/str_conv.h"
#include "ui/bar_texts.h"
#include "ui/qt_text.h"
#include "ui/run_summary_panel.h"
#include "ui/status_colours.h"
#include "ui/window_inhibitor.h"
#include "ui/window_look.h"
#include "update/stop_request.h"

using vesk::TextToTranslate;
using vesk::Translate;

namespace {

constexpr const char* kDlg = "CVESKFirmwareUpdaterDlg";
// Widths of the device list's columns in dialog units: they size the window
// at its start; the columns then follow their contents.
constexpr int kDeviceColumnWidths[kDeviceColumns] = {30, 140, 70, 60, 70, 70, 100};
const wchar_t* const kDeviceHeaders[kDeviceColumns] = {
    L"", TextToTranslate(L"Device"), TextToTranslate(L"ID"), TextToTranslate(L"Booter"), TextToTranslate(L"Firmware"),
    TextToTranslate(L"Available"), TextToTranslate(L"Action")};
// The versions list's width when it first shows, in dialog units.
constexpr int kVersionsWidth = 75;
// Each slice of a wait steps the wait bar by one.
constexpr uint32_t kWaitSliceMs = 10;


// With the Rehearse option a run first rehearses on a simulated copy.
CUpdateProcedure::BeforeWriting BeforeWriting(const MainDialogArgs& a) {
    return a.rehearse ? vesk::rehearsal::RehearsalGate() : CUpdateProcedure::BeforeWriting{};
}

QString StatusText(const std::wstring& text) {
    std::wstring t = text;
    for (size_t p; (p = t.find(L"\r\n")) != std::wstring::npos;) t.replace(p, 2, L"\n");
    return Q(t);
}

}  // namespace

CVESKFirmwareUpdaterDlg::CVESKFirmwareUpdaterDlg(Options options, QWidget* parent)
    : CVeskDialogExHwDetection(options.sources, parent),
      options_(std::move(options)),
      detection_switch_(Detection(), EventLoop()),
      queued_surface_(*this, this),
      queued_switch_(detection_switch_, this) {
    if (!options_.timers) own_timers_ = std::make_unique<CQtWindowTimers>(this);
    if (!options_.questions) own_questions_ = std::make_unique<CQtWindowQuestions>();
    timers_ = options_.timers ? options_.timers : own_timers_.get();
    questions_ = options_.questions ? options_.questions : own_questions_.get();

    const MainDialogArgs& a = options_.args;
    // Advanced mode starts as the Autostart option; ADVANCED only shows its controls.
    procedure_ = std::make_unique<CUpdateProcedure>(queued_surface_, queued_switch_, options_.locks,
                                                    CUpdateProcedure::Settings{.main_folder = a.main_folder,
                                                                               .debug_mode = a.debug_mode,
                                                                               .advanced_mode = a.autostart,
                                                                               .advanced_allowed = a.advanced,
                                                                               .before_writing = BeforeWriting(a)});
    setWindowTitle(Q(a.title));
    setWindowIcon(vesk::ui::ProgramIcon());
    setObjectName("CVESKFirmwareUpdaterDlg");
    BuildControls();
    if (options_.track_activation)
        connect(qApp, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) { OnActivateApp(state == Qt::ApplicationActive); });
}

CVESKFirmwareUpdaterDlg::~CVESKFirmwareUpdaterDlg() {
    // A worker still running may be waiting for this thread: let it end first.
    while (worker_busy_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (worker_.joinable()) worker_.join();
    for (; wait_cursors_ > 0; --wait_cursors_) QApplication::restoreOverrideCursor();
    for (int id : {kTimerFirstRefresh, kTimerAutostart, kTimerRestart, kTimerBusTick, kTimerLockRetry})
        timers_->Kill(id);
    procedure_.reset();
    VLOG_INFO("CVESKFirmwareUpdaterDlg::~CVESKFirmwareUpdaterDlg", "Normally closing dialog");
}

void CVESKFirmwareUpdaterDlg::BuildControls() {
    devices_ = new QTreeWidget(this);
    devices_->setObjectName("deviceList");  // 1043
    devices_->setColumnCount(kDeviceColumns);
    QStringList headers;
    for (const wchar_t* h : kDeviceHeaders) headers << Tr(h);
    devices_->setHeaderLabels(headers);
    devices_->setRootIsDecorated(false);
    devices_->setUniformRowHeights(true);
    devices_->setAllColumnsShowFocus(true);
    devices_->setSelectionMode(QAbstractItemView::SingleSelection);
    devices_->setSelectionBehavior(QAbstractItemView::SelectRows);
    devices_->header()->setStretchLastSection(false);
    // Every column as wide as its contents; the device names take what is
    // left, so Action stays in sight however wide the window is.
    int list_width = 0;
    for (int c = 0; c < kDeviceColumns; ++c) {
        devices_->header()->setSectionResizeMode(
            c, c == kColumnDevice ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
        list_width += DialogUnitsX(this, kDeviceColumnWidths[c]);
    }
    connect(devices_, &QTreeWidget::itemSelectionChanged, this, &CVESKFirmwareUpdaterDlg::OnDeviceSelectionChanged);

    versions_ = new QTreeWidget(this);
    versions_->setObjectName("versionsList");  // 1039
    versions_->setColumnCount(2);
    versions_->setHeaderLabels({QString(), Tr(L"Available")});
    versions_->setColumnHidden(0, true);
    versions_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    versions_->setRootIsDecorated(false);
    versions_->hide();
    connect(versions_, &QTreeWidget::itemClicked, this, &CVESKFirmwareUpdaterDlg::OnVersionClicked);

    wait_bar_ = new CTextBar(this);
    wait_bar_->setObjectName("waitProgress");  // 1040
    wait_bar_->setTextVisible(false);
    wait_bar_->setRange(0, 100);
    wait_bar_->setValue(0);
    overall_bar_ = new CTextBar(this);
    overall_bar_->setObjectName("overallProgress");  // 1021
    overall_bar_->setTextVisible(false);
    overall_bar_->setRange(0, 100);
    overall_bar_->setValue(0);
    for (QProgressBar* b : {wait_bar_, overall_bar_}) b->setAlignment(Qt::AlignCenter);

    // Bold, 1.2 times the dialog font's height.
    status_ = new QLabel(this);
    status_->setObjectName("status");  // 1041
    QFont bold = font();
    if (bold.pointSizeF() > 0) bold.setPointSizeF(bold.pointSizeF() * 1.2);
    else bold.setPixelSize(int(bold.pixelSize() * 1.2));
    bold.setWeight(QFont::Bold);
    status_->setFont(bold);
    status_->setWordWrap(true);
    status_->setFrameShape(QFrame::StyledPanel);
    status_->setFrameShadow(QFrame::Sunken);
    status_->setAutoFillBackground(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    status_->setTextFormat(Qt::PlainText);
    status_->setMinimumHeight(QFontMetrics(bold).lineSpacing() * 3 + 8);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ApplyStatusColour();

    // Outside Debug_mode the latest message shows in one line under the bars.
    last_message_ = new QLabel(this);
    last_message_->setObjectName("lastMessage");
    last_message_->setTextFormat(Qt::PlainText);
    last_message_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    last_message_->setVisible(!options_.args.debug_mode);

    summary_ = new CRunSummaryPanel(this);
    summary_->hide();
    connect(summary_, &CRunSummaryPanel::closeRequested, this, &CVESKFirmwareUpdaterDlg::ReleaseRunEnd);

    messages_ = new QListWidget(this);
    messages_->setObjectName("messageList");  // 1022
    messages_->setVisible(options_.args.debug_mode);

    advanced_ = new QPushButton(Tr(L"Advanced"), this);
    advanced_->setObjectName("advancedButton");  // 1027
    advanced_->setVisible(options_.args.advanced);
    dump_ = new QPushButton(Tr(L"Dump"), this);
    dump_->setObjectName("dumpButton");  // 1006
    execute_ = new QPushButton(Tr(L"Execute"), this);
    execute_->setObjectName("executeButton");  // 1005
    exit_ = new QPushButton(Tr(L"Exit"), this);
    exit_->setObjectName("exitButton");  // 1
    web_ = new QPushButton(Tr(L"dal Web"), this);
    web_->setObjectName("webButton");  // 1019, without function
    web_->hide();
    for (QPushButton* b : {advanced_, dump_, execute_, exit_, web_}) b->setAutoDefault(false);
    connect(execute_, &QPushButton::clicked, this, &CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate);
    connect(dump_, &QPushButton::clicked, this, &CVESKFirmwareUpdaterDlg::OnBnClickedButtonDump);
    connect(advanced_, &QPushButton::clicked, this, &CVESKFirmwareUpdaterDlg::OnBnClickedButtonNormalAdvanced);
    connect(exit_, &QPushButton::clicked, this, &CVESKFirmwareUpdaterDlg::accept);

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName("listsSplitter");
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(devices_);
    splitter_->addWidget(versions_);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 0);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(advanced_);
    buttons->addWidget(dump_);
    buttons->addWidget(web_);
    buttons->addStretch(1);
    buttons->addWidget(execute_);
    buttons->addWidget(exit_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter_, 3);
    layout->addWidget(summary_, 2);
    layout->addWidget(wait_bar_);
    layout->addWidget(overall_bar_);
    layout->addWidget(last_message_);
    layout->addWidget(status_);
    layout->addWidget(BuildFolderRow());
    // With Debug_mode the message list takes the room under the status field.
    layout->addWidget(messages_, 2);
    layout->addLayout(buttons);

    const QSize templ = DialogUnits(this, 403, 330);
    resize(std::max(templ.width(), list_width + 40), templ.height());
    ApplyEnabled();
}

bool CVESKFirmwareUpdaterDlg::Create() {
    CVeskDialogExHwDetection::Create();
    if (!Detection().UsbDetectionOn || !Detection().MediaDetectionOn) {
        // The cause is the system's, untranslated: it is what a support request needs.
        std::wstring text = Translate(L"Firmup application is closing as it's impossible to detect hardware.");
        if (!Detection().FailureCause.empty()) text += L"\n" + vesk::from_utf8(Detection().FailureCause);
        questions_->Critical(this, text, W(windowTitle()));
        return false;
    }
    if (options_.track_activation) app_active_ = QGuiApplication::applicationState() == Qt::ApplicationActive;
    execute_->setText(Tr(L"Execute"));
    procedure_->SetStatus(Translate(L"Please wait..."), StatusColour::Normal);
    timers_->Set(kTimerFirstRefresh, 50, [this] { OnTimer(kTimerFirstRefresh); });
    if (options_.bus_tick) timers_->Set(kTimerBusTick, kBusTickMs, [this] { OnTimer(kTimerBusTick); });
    return true;
}

// ---- handlers

void CVESKFirmwareUpdaterDlg::OnTimer(int id) {
    if (id == kTimerBusTick) {
        // The worker owns the bus while it runs.
        if (!worker_busy_ && options_.bus_tick) options_.bus_tick();
        return;
    }
    VLOG_INFO("CVESKFirmwareUpdaterDlg::OnTimer", "%s", "");
    switch (id) {
    case kTimerFirstRefresh:
        timers_->Kill(id);
        // Autostart's timer starts once this refresh is done (OnRefreshDone).
        RefreshOnWorker(false);
        break;
    case kTimerLockRetry:
        timers_->Kill(id);
        if (!worker_busy_) RefreshOnWorker(device_change_waiting_);
        break;
    case kTimerAutostart:
        // A dump on the worker goes first; the timer comes back a period later.
        if (worker_busy_) break;
        timers_->Kill(id);
        // A plan the window would not run (a net it refuses) is not run
        // unattended either: nothing is written, and nobody waits on a question.
        if (procedure_->UpdatePending() && !execute_->isEnabled()) {
            VLOG_ERROR("CVESKFirmwareUpdaterDlg", "Autostart: the plan does not allow an update: %s",
                       vesk::to_utf8(procedure_->StatusText()).c_str());
            exit_status_ = 1;
            QDialog::accept();
            break;
        }
        AvviaCorsa(true);
        break;
    case kTimerRestart:
        timers_->Kill(id);
        if (restart_expired_) restart_expired_();
        break;
    default: break;
    }
}

void CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate() { AvviaCorsa(false); }

void CVESKFirmwareUpdaterDlg::AvviaCorsa(bool chiudi_dopo) {
    if (worker_busy_) return;
    ReleaseRunEnd();
    run_end_ = RunEnd::Going;
    // The summary first; Autostart then closes the window.
    std::function<void()> after = [this, chiudi_dopo] {
        if (run_end_ == RunEnd::Going) run_end_ = RunEnd::None;
        ShowRunSummary();
        if (chiudi_dopo) {
            // Nobody is there to answer: a unit left in its booter is logged
            // and makes the run one that did not end as planned.
            const std::wstring question = ExitQuestion();
            exit_status_ = run_as_planned_ && question.empty() ? 0 : 1;
            LogUnaskedQuestion(question);
            QDialog::accept();
        }
    };
    vesk::update::ClearStopRequest();
    arrivals_ = 0;
    run_going_ = true;
    RunOnWorker(
        [this] {
            // No suspend or shutdown in the middle of a write.
            const CWindowInhibitor inhibitor;
            procedure_->OnBnClickedButtonUpdate();
            AfterRun();
        },
        std::move(after));
}

void CVESKFirmwareUpdaterDlg::OnBnClickedButtonDump() {
    if (worker_busy_) return;
    ReleaseRunEnd();
    RunOnWorker([this] {
        if (!TakeInstrumentLock()) return;
        procedure_->OnDump();
        ReleaseInstrumentLock();
    });
}

void CVESKFirmwareUpdaterDlg::OnBnClickedButtonNormalAdvanced() {
    if (worker_busy_) return;
    ReleaseRunEnd();
    procedure_->OnNormalAdvanced();
}

void CVESKFirmwareUpdaterDlg::OnDeviceSelectionChanged() {
    if (worker_busy_) return;
    ReleaseRunEnd();
    const auto selected = devices_->selectedItems();
    procedure_->OnDeviceRowSelected(selected.isEmpty() ? -1 : devices_->indexOfTopLevelItem(selected.front()));
}

void CVESKFirmwareUpdaterDlg::OnVersionClicked(QTreeWidgetItem* item) {
    if (worker_busy_ || !item) return;
    ReleaseRunEnd();
    procedure_->OnVersionClicked(versions_->indexOfTopLevelItem(item));
}

void CVESKFirmwareUpdaterDlg::OnActivateApp(bool active) {
    app_active_ = active;
    if (active && !worker_busy_ && procedure_->RefreshPending()) SequenzaCambioDispositivo();
}

void CVESKFirmwareUpdaterDlg::OnDevice0101(bool arrived, const std::wstring&) {
    // Queued window messages waited for the run: one refresh after it.
    if (worker_busy_) {
        held_changes_ += 1;
        if (arrived) arrivals_ += 1;
        return;
    }
    if (app_active_) SequenzaCambioDispositivo();
    else procedure_->SetRefreshPending();
}

void CVESKFirmwareUpdaterDlg::SequenzaCambioDispositivo() {
    // A refresh still waiting for the lock becomes this one.
    timers_->Kill(kTimerLockRetry);
    RefreshOnWorker(true);
}

std::wstring CVESKFirmwareUpdaterDlg::ExitQuestion() const {
    const CDeviceInfo* info = procedure_->DeviceInfo();
    // The last refresh found nothing: an instrument read before is not there now.
    using Refresh = CUpdateProcedure::RefreshOutcome;
    const Refresh last = procedure_->LastRefresh();
    if (!info || last == Refresh::NoInstrument || last == Refresh::ListingFailed) return {};
    std::wstring question;
    if (info->Ident().IsInBooter()) {
        question = Translate(L"Master is in booter");
    } else {
        for (size_t slot = 0; slot < 32; ++slot) {
            const INFOIDENT& slave = info->SlaveIdent(slot);
            if (slave.loggerCode() == 0 || !slave.IsInBooter()) continue;
            question = Translate(L"slave n. ") + std::to_wstring(slot + 1) + Translate(L" is in booter");
            break;
        }
    }
    if (question.empty()) return {};
    return question + Translate(L": are you sure you want to exit?");
}

bool CVESKFirmwareUpdaterDlg::ConfermaUscita() {
    const std::wstring question = ExitQuestion();
    return question.empty() || questions_->YesNo(this, question, W(windowTitle()));
}

void CVESKFirmwareUpdaterDlg::accept() {
    if (worker_busy_ || !ConfermaUscita()) return;
    QDialog::accept();
}

void CVESKFirmwareUpdaterDlg::reject() {
    if (worker_busy_ || !ConfermaUscita()) return;
    QDialog::reject();
}

void CVESKFirmwareUpdaterDlg::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange && status_) ApplyStatusColour();
    QDialog::changeEvent(event);
}

void CVESKFirmwareUpdaterDlg::closeEvent(QCloseEvent* event) {
    // The close box: the same confirmation; during a run the window stays.
    if (worker_busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// ---- the worker

void CVESKFirmwareUpdaterDlg::RunOnWorker(std::function<void()> task, std::function<void()> after) {
    if (worker_.joinable()) worker_.join();
    worker_busy_ = true;
    worker_after_ = std::move(after);
    ApplyEnabled();
    worker_ = std::thread([this, task = std::move(task)] {
        task();
        // Queued behind every surface call the task made.
        QMetaObject::invokeMethod(this, [this] { FinishWorker(); }, Qt::QueuedConnection);
    });
}

void CVESKFirmwareUpdaterDlg::FinishWorker() {
    if (worker_.joinable()) worker_.join();
    worker_busy_ = false;
    run_going_ = false;
    ApplyEnabled();
    // A signal came during the task: the window goes, before any question
    // the task's follow-up (Autostart's exit confirmation) would ask.
    if (close_when_idle_ && isVisible()) {
        worker_after_ = {};
        CloseOnSignal();
        return;
    }
    if (auto after = std::move(worker_after_)) after();
    // A window that closed after the task has nothing left to refresh.
    if (held_changes_ > covered_changes_ && !worker_busy_) {
        held_changes_ = 0;
        covered_changes_ = 0;
        if (isVisible()) OnDevice0101(true, L"");
    } else if (!worker_busy_) {
        held_changes_ = 0;
        covered_changes_ = 0;
    }
}

void CVESKFirmwareUpdaterDlg::ApplyEnabled() {
    const bool idle = !worker_busy_;
    execute_->setEnabled(idle && execute_enabled_);
    advanced_->setEnabled(idle && advanced_enabled_);
    dump_->setEnabled(idle);
    folder_->setEnabled(idle);
    exit_->setEnabled(idle);
    devices_->setEnabled(idle);
    versions_->setEnabled(idle);
}

// ---- the surface

void CVESKFirmwareUpdaterDlg::SetStatus(const std::wstring& text, StatusColour colour) {
    if (run_end_ == RunEnd::Holding) {
        held_status_ = {text, colour};
        return;
    }
    status_->setText(StatusText(text));
    status_red_ = colour == StatusColour::Red;
    ApplyStatusColour();
    // Painted with the next frame (no repaint()): nothing holds this thread,
    // and a paint at once would only hold it the longer.
    if (run_end_ == RunEnd::Going && text == Translate(L"Firmup finished")) run_end_ = RunEnd::Holding;
}

void CVESKFirmwareUpdaterDlg::ApplyStatusColour() {
    QPalette pal = status_->palette();
    pal.setColor(QPalette::Window, vesk::ui::StatusBackground(palette()));
    pal.setColor(QPalette::WindowText, vesk::ui::StatusText(palette(), status_red_));
    status_->setPalette(pal);
}

void CVESKFirmwareUpdaterDlg::ShowRunSummary() {
    using Outcome = CUpdateProcedure::RunOutcome;
    const Outcome outcome = procedure_->LastRun().outcome;
    // A run stopped before it touched the instrument has nothing to sum up.
    if (outcome != Outcome::Aborted && outcome != Outcome::SlavesRefused && outcome != Outcome::NoSlaveUpdate &&
        outcome != Outcome::Finished)
        return;
    procedure_->VerificaUnita();
    summary_->Fill(procedure_->LastRun());
    summary_->show();
    summary_shown_ = true;
}

void CVESKFirmwareUpdaterDlg::ReleaseRunEnd() {
    summary_->hide();
    summary_shown_ = false;
    run_end_ = RunEnd::None;
    if (auto held = std::move(held_status_)) {
        held_status_.reset();
        SetStatus(held->first, held->second);
        if (messages_->count() > 0) last_message_->setText(messages_->item(messages_->count() - 1)->text());
    }
}

void CVESKFirmwareUpdaterDlg::AppendMessage(const std::wstring& line) {
    // The closing refresh's status waits behind "Firmup finished": so does its line.
    const bool held_back = run_end_ == RunEnd::Holding && held_status_ && held_status_->first == line;
    if (last_message_->isVisibleTo(this) && !held_back) last_message_->setText(Q(line));
    const QSignalBlocker block(messages_);
    messages_->addItem(Q(line));
    messages_->setCurrentRow(messages_->count() - 1);
    messages_->scrollToBottom();
}

void CVESKFirmwareUpdaterDlg::SetBarRange(ProgressBar bar, int upper) {
    QProgressBar* b = Bar(bar);
    b->setRange(0, std::max(upper, 0));
    // The overall bar counts steps once a run has given it its range.
    if (bar == ProgressBar::Overall) overall_counts_ = true;
    UpdateOverallBarText();
}

void CVESKFirmwareUpdaterDlg::SetBarStep(ProgressBar bar, int step) { StepOf(bar) = step; }

void CVESKFirmwareUpdaterDlg::StepBar(ProgressBar bar) {
    CTextBar* b = Bar(bar);
    b->SetValue(std::clamp(b->value() + StepOf(bar), b->minimum(), b->maximum()));
    if (bar == ProgressBar::Wait && wait_) ++wait_->steps;
    UpdateWaitBarText();
    UpdateOverallBarText();
}

void CVESKFirmwareUpdaterDlg::SetBarPos(ProgressBar bar, int pos) {
    CTextBar* b = Bar(bar);
    b->SetValue(std::clamp(pos, b->minimum(), b->maximum()));
    // A wait ends by setting its bar's position.
    if (bar == ProgressBar::Wait) wait_.reset();
    UpdateWaitBarText();
    UpdateOverallBarText();
}

void CVESKFirmwareUpdaterDlg::WaitBegins(uint32_t ms, const std::wstring& what) {
    wait_ = Wait{what, ms, 0};
    UpdateWaitBarText();
}

void CVESKFirmwareUpdaterDlg::ShowWrite(uint32_t unit, const WriteReport& report) {
    write_ = {unit, report};
    UpdateWaitBarText();
}

void CVESKFirmwareUpdaterDlg::WriteEnded() {
    write_.reset();
    UpdateWaitBarText();
}

void CVESKFirmwareUpdaterDlg::UpdateWaitBarText() {
    QString text;
    if (write_) {
        const auto& [serial, report] = *write_;
        const auto name = unit_names_.find(serial);
        const std::wstring unit =
            (name == unit_names_.end() ? L"" : name->second + L" ") + std::to_wstring(serial);
        text = vesk::ui::WriteBarText(report.what, unit, report.done, report.total);
    } else if (wait_) {
        const uint64_t passed = uint64_t(wait_->steps) * kWaitSliceMs;
        text = vesk::ui::WaitBarText(wait_->what, passed < wait_->ms ? wait_->ms - passed : 0);
    }
    wait_bar_->SetText(text);
}

void CVESKFirmwareUpdaterDlg::UpdateOverallBarText() {
    if (overall_counts_) overall_bar_->SetText(vesk::ui::OverallBarText(overall_bar_->value(), overall_bar_->maximum()));
}

void CVESKFirmwareUpdaterDlg::EnableExecute(bool enabled) {
    execute_enabled_ = enabled;
    ApplyEnabled();
}

void CVESKFirmwareUpdaterDlg::EnableAdvanced(bool enabled) {
    advanced_enabled_ = enabled;
    ApplyEnabled();
}

void CVESKFirmwareUpdaterDlg::SetAdvancedCaption(const std::wstring& caption) { advanced_->setText(Q(caption)); }

void CVESKFirmwareUpdaterDlg::BeginWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++wait_cursors_;
}

void CVESKFirmwareUpdaterDlg::EndWaitCursor() {
    if (wait_cursors_ == 0) return;
    QApplication::restoreOverrideCursor();
    --wait_cursors_;
}

void CVESKFirmwareUpdaterDlg::EmptyDeviceList() {
    const QSignalBlocker block(devices_);
    devices_->clear();
}

void CVESKFirmwareUpdaterDlg::FillRow(QTreeWidgetItem* item, const DeviceRowView& row) {
    // The tooltip lists every image a run writes to the unit, not only its firmware.
    QStringList writes;
    for (const PlannedImage& w : row.writes)
        writes << Q(w.image + L" " + (w.from.empty() ? w.version : w.from + L" -> " + w.version) +
                    (w.conditional ? L" " + std::wstring(Tr(L"(when its firmware allows it)").toStdWString()) : L""));
    const QString tip = writes.isEmpty() ? Tr(L"Nothing will be written") : writes.join(QLatin1Char('\n'));
    for (int c = 0; c < kDeviceColumns; ++c) {
        item->setText(c, Q(row.columns[size_t(c)]));
        item->setToolTip(c, tip);
    }
}

void CVESKFirmwareUpdaterDlg::AddDeviceRow(const DeviceRowView& row) {
    if (row.kind != kRowOtherGauge) {
        // The name alone: a unit in its booter is marked in the list, not in the bars.
        static const std::wstring kBooterMark = L" *BOOTER*";
        std::wstring name = row.columns[kColumnDevice];
        if (name.size() >= kBooterMark.size() && name.compare(name.size() - kBooterMark.size(), kBooterMark.size(), kBooterMark) == 0)
            name.resize(name.size() - kBooterMark.size());
        unit_names_[row.serial] = name;
    }
    const QSignalBlocker block(devices_);
    auto* item = new QTreeWidgetItem(devices_);
    FillRow(item, row);
}

void CVESKFirmwareUpdaterDlg::RedrawDeviceRow(int position, const DeviceRowView& row) {
    if (QTreeWidgetItem* item = devices_->topLevelItem(position)) FillRow(item, row);
}

void CVESKFirmwareUpdaterDlg::RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) RedrawDeviceRow(int(i), rows[i]);
}

void CVESKFirmwareUpdaterDlg::SelectDeviceRow(int position) {
    const QSignalBlocker block(devices_);
    QTreeWidgetItem* item = devices_->topLevelItem(position);
    if (!item) {
        devices_->clearSelection();
        return;
    }
    devices_->setCurrentItem(item);
    item->setSelected(true);
}

void CVESKFirmwareUpdaterDlg::EmptyVersions() {
    const QSignalBlocker block(versions_);
    versions_->clear();
}

void CVESKFirmwareUpdaterDlg::AddVersionAtTop(const std::wstring& text) {
    const QSignalBlocker block(versions_);
    auto* item = new QTreeWidgetItem;
    item->setText(1, Q(text));
    versions_->insertTopLevelItem(0, item);
}

void CVESKFirmwareUpdaterDlg::SelectVersion(int position) {
    const QSignalBlocker block(versions_);
    versions_->setCurrentItem(versions_->topLevelItem(position));
}

void CVESKFirmwareUpdaterDlg::MessageBoxInfo(const std::wstring& text) {
    questions_->Info(this, text, W(windowTitle()));
}

bool CVESKFirmwareUpdaterDlg::MessageBoxYesNo(const std::wstring& text) {
    return questions_->YesNo(this, text, W(windowTitle()));
}

int CVESKFirmwareUpdaterDlg::BehaviourRequest() { return questions_->Behaviour(this); }

std::wstring CVESKFirmwareUpdaterDlg::AskDumpFile() { return questions_->SaveFile(this); }

void CVESKFirmwareUpdaterDlg::PushControls() {
    // Painted now, without taking anything from the event queue.
    for (QWidget* w : {static_cast<QWidget*>(status_), static_cast<QWidget*>(wait_bar_),
                       static_cast<QWidget*>(overall_bar_)})
        if (w->isVisible()) w->repaint();
}

void CVESKFirmwareUpdaterDlg::StartRestartTimer(uint32_t ms, std::function<void()> expired) {
    restart_expired_ = std::move(expired);
    timers_->Set(kTimerRestart, ms, [this] { OnTimer(kTimerRestart); });
}

void CVESKFirmwareUpdaterDlg::Layout(bool versions_visible) {
    versions_->setVisible(versions_visible);
    // The first time it shows, the versions list takes what its versions
    // need; after that it keeps the width the user gave it.
    if (versions_visible && !versions_sized_) {
        versions_sized_ = true;
        const int width = DialogUnitsX(this, kVersionsWidth);
        const int total = splitter_->width();
        splitter_->setSizes({std::max(total - width - splitter_->handleWidth(), width), width});
    }
}
