#pragma once
// The updater's only window: the device list and the plan, the versions list
// of advanced mode, the two progress bars, the status field, the message list
// of Debug_mode and the buttons. It is the surface of the update procedure on
// its own thread; a run (and a dump) goes on a worker thread, whose surface
// calls reach the window queued, while the window keeps repainting and
// answering the desktop but takes no input.
#include <QPointer>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "app/vesk_firmware_updater_app.h"
#include "ui/bar_texts.h"
#include "ui/queued_surface.h"
#include "ui/vesk_dialog_ex_hw_detection.h"
#include "ui/window_questions.h"
#include "ui/window_timers.h"
#include "update/hw_detection_switch.h"
#include "update/update_procedure.h"

class CVeskSemafori;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTreeWidget;
class CRunSummaryPanel;

class QTreeWidgetItem;

class CVESKFirmwareUpdaterDlg : public CVeskDialogExHwDetection, public IUpdateSurface {
    Q_OBJECT
public:
    struct Options {
        MainDialogArgs args;
        // Null: udev and the mount table.
        std::shared_ptr<IHwEventSourceFactory> sources;
        CVeskSemafori* locks = nullptr;  // the application's lock object
        IWindowTimers* timers = nullptr;         // null: Qt timers in real time
        IWindowQuestions* questions = nullptr;   // null: the Qt dialogs
        // Called every kBusTickMs while no worker runs: a simulated bus has
        // its due re-enumerations happen there.
        std::function<void()> bus_tick;
        // Follow the application's activation (tests call OnActivateApp themselves).
        bool track_activation = true;
    };

    static constexpr int kTimerFirstRefresh = 1111;
    static constexpr int kTimerAutostart = 2222;
    static constexpr int kTimerRestart = 3333;
    static constexpr int kTimerBusTick = 4444;
    // Another program holds the instrument's lock: the refresh is tried again.
    static constexpr int kTimerLockRetry = 5555;
    static constexpr uint32_t kLockRetryMs = 500;
    static constexpr uint32_t kBusTickMs = 100;
    // The wait between a device change and its refresh.
    static constexpr uint32_t kDeviceChangeWaitMs = 2200;

    explicit CVESKFirmwareUpdaterDlg(Options options, QWidget* parent = nullptr);
    ~CVESKFirmwareUpdaterDlg() override;

    // Creation and initialisation; false (after its message box) when
    // hardware detection cannot be started.
    bool Create() override;

    // ---- handlers
    void OnTimer(int id);
    void OnBnClickedButtonUpdate();
    void OnBnClickedButtonDump();
    void OnBnClickedButtonNormalAdvanced();
    // "Folder...": another main folder, kept for the next start, and a refresh.
    void OnBnClickedButtonFolder();
    void OnDeviceSelectionChanged();
    void OnVersionClicked(QTreeWidgetItem* item);
    void OnActivateApp(bool active);
    void OnDevice0101(bool arrived, const std::wstring& name) override;
    // True when the window may close (the user confirmed, or nothing is in booter).
    bool ConfermaUscita();
    // The exit confirmation's question, empty when there is nothing to ask.
    std::wstring ExitQuestion() const;
    // OK and Cancel: both the exit confirmation; refused during a run.
    void accept() override;
    void reject() override;

    // ---- IUpdateSurface, on the window's thread
    void SetStatus(const std::wstring& text, StatusColour colour) override;
    void AppendMessage(const std::wstring& line) override;
    void SetBarRange(ProgressBar bar, int upper) override;
    void SetBarStep(ProgressBar bar, int step) override;
    void StepBar(ProgressBar bar) override;
    void SetBarPos(ProgressBar bar, int pos) override;
    void EnableExecute(bool enabled) override;
    void EnableAdvanced(bool enabled) override;
    void SetAdvancedCaption(const std::wstring& caption) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void EmptyDeviceList() override;
    void AddDeviceRow(const DeviceRowView& row) override;
    void RedrawDeviceRow(int position, const DeviceRowView& row) override;
    void RedrawAllDeviceRows(const std::vector<DeviceRowView>& rows) override;
    void SelectDeviceRow(int position) override;
    void EmptyVersions() override;
    void AddVersionAtTop(const std::wstring& text) override;
    void SelectVersion(int position) override;
    void MessageBoxInfo(const std::wstring& text) override;
    bool MessageBoxYesNo(const std::wstring& text) override;
    int BehaviourRequest() override;
    std::wstring AskDumpFile() override;
    void WaitBegins(uint32_t ms, const std::wstring& what) override;
    void ShowWrite(uint32_t unit, const WriteReport& report) override;
    void WriteEnded() override;
    void PushControls() override;
    void StartRestartTimer(uint32_t ms, std::function<void()> expired) override;
    void Layout(bool versions_visible) override;

    // ---- state
    CUpdateProcedure& Procedure() { return *procedure_; }
    // A run or a dump is going on the worker thread.
    bool WorkerBusy() const { return worker_busy_; }
    bool AppActive() const { return app_active_; }
    // A device change came during the worker's task and waits for its end.
    bool DeviceChangeHeld() const { return held_changes_ > covered_changes_; }
    // The refresh waits for another program to release the instrument's lock.
    bool RefreshWaitsForLock() const { return timers_->Active(kTimerLockRetry); }
    // The process's exit status once the window has closed: 1 after an
    // Autostart run that did not end as planned or left a unit in its
    // booter, 128 + the signal that closed it.
    int ExitStatus() const { return exit_status_; }
    // SIGINT or SIGTERM (the desktop's logout among them), on the window's thread.
    void OnSignal(int signal);

    QTreeWidget* DeviceList() const { return devices_; }
    QTreeWidget* VersionsList() const { return versions_; }
    QProgressBar* WaitBar() const { return wait_bar_; }
    QProgressBar* OverallBar() const { return overall_bar_; }
    QLabel* StatusField() const { return status_; }
    QListWidget* MessageList() const { return messages_; }
    QPushButton* ExecuteButton() const { return execute_; }
    QPushButton* DumpButton() const { return dump_; }
    QPushButton* AdvancedButton() const { return advanced_; }
    QPushButton* ExitButton() const { return exit_; }
    QPushButton* WebButton() const { return web_; }
    QLabel* FolderLabel() const { return folder_label_; }
    QPushButton* FolderButton() const { return folder_; }
    QSplitter* ListsSplitter() const { return splitter_; }
    // The latest message, under the bars (outside Debug_mode).
    QLabel* LastMessage() const { return last_message_; }
    CRunSummaryPanel* RunSummary() const { return summary_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildControls();
    void ApplyEnabled();
    // Status "Please wait...", the 2200 ms wait, then a refresh.
    void SequenzaCambioDispositivo();
    // The update run on the worker thread; chiudi_dopo (Autostart) closes the
    // window after it, without asking (nobody is there to answer).
    void AvviaCorsa(bool chiudi_dopo);
    // Runs task on the worker thread with every control disabled; after runs
    // on the window's thread once it is done.
    void RunOnWorker(std::function<void()> task, std::function<void()> after = {});
    void FinishWorker();
    // window_refresh.cpp: the refresh of the plan on the worker (after a
    // device change, its sequence first), with the instrument's lock held;
    // while another program holds that lock the refresh waits for it.
    void RefreshOnWorker(bool device_change);
    void OnRefreshDone(bool device_change);
    // On the worker: lock 1 taken for a task that talks to the instrument;
    // false when another program holds it (the status says who).
    bool TakeInstrumentLock();
    void ReleaseInstrumentLock();
    // On the worker, after a run: the units read again once the restarted
    // master is back; whether the run ended as planned.
    void AfterRun();
    // Closes without the exit question (a signal asked for it).
    void CloseOnSignal();
    // The window closes with nobody to answer: the log keeps what it would have asked.
    void LogUnaskedQuestion(const std::wstring& question);
    // The folder label and its button (window_refresh.cpp).
    QWidget* BuildFolderRow();
    void ShowFolder();
    CTextBar* Bar(ProgressBar bar) const { return bar == ProgressBar::Wait ? wait_bar_ : overall_bar_; }
    int& StepOf(ProgressBar bar) { return bar == ProgressBar::Wait ? wait_step_ : overall_step_; }
    void FillRow(QTreeWidgetItem* item, const DeviceRowView& row);
    // The status field's colours from the palette (again after a theme change).
    void ApplyStatusColour();
    void UpdateWaitBarText();
    void UpdateOverallBarText();
    // The summary of the last run against what the last refresh read.
    void ShowRunSummary();
    // The user acts: the end of the last run (its status, its summary) gives
    // way to what the window shows now.
    void ReleaseRunEnd();

    Options options_;
    std::unique_ptr<IWindowTimers> own_timers_;
    std::unique_ptr<IWindowQuestions> own_questions_;
    IWindowTimers* timers_;
    IWindowQuestions* questions_;

    CHwDetectionSwitch detection_switch_;
    CQueuedSurface queued_surface_;
    CQueuedDetectionSwitch queued_switch_;
    std::unique_ptr<CUpdateProcedure> procedure_;

    QTreeWidget* devices_ = nullptr;
    QTreeWidget* versions_ = nullptr;
    CTextBar* wait_bar_ = nullptr;
    CTextBar* overall_bar_ = nullptr;
    QLabel* status_ = nullptr;
    QListWidget* messages_ = nullptr;
    QPushButton* advanced_ = nullptr;
    QPushButton* dump_ = nullptr;
    QPushButton* execute_ = nullptr;
    QPushButton* exit_ = nullptr;
    QPushButton* web_ = nullptr;
    QLabel* folder_label_ = nullptr;
    QPushButton* folder_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QLabel* last_message_ = nullptr;
    CRunSummaryPanel* summary_ = nullptr;
    bool versions_sized_ = false;
    bool overall_counts_ = false;  // a run has given the overall bar its range
    bool status_red_ = false;

    // The wait bar's text: the write going on, else the wait.
    struct Wait {
        std::wstring what;
        uint32_t ms = 0;
        uint32_t steps = 0;
    };
    std::optional<Wait> wait_;
    std::optional<std::pair<uint32_t, WriteReport>> write_;
    // Device names of the units listed, by serial, for the writes.
    std::map<uint32_t, std::wstring> unit_names_;

    // A run on the worker, then "Firmup finished" kept with its summary
    // until the user acts; the statuses meanwhile wait in held_status_.
    enum class RunEnd { None, Going, Holding };
    RunEnd run_end_ = RunEnd::None;
    bool summary_shown_ = false;
    std::optional<std::pair<std::wstring, StatusColour>> held_status_;

    int wait_step_ = 10;
    int overall_step_ = 10;
    bool execute_enabled_ = false;
    bool advanced_enabled_ = false;
    int wait_cursors_ = 0;
    bool app_active_ = false;
    std::function<void()> restart_expired_;

    std::thread worker_;
    std::atomic<bool> worker_busy_{false};
    std::function<void()> worker_after_;
    // Device changes held while the worker ran, and how many of them a
    // refresh of that task read already.
    std::atomic<int> held_changes_{0};
    std::atomic<int> covered_changes_{0};
    // Arrivals during a run: the restarted master is back.
    std::atomic<int> arrivals_{0};
    bool run_going_ = false;        // the worker's task is a run
    bool lock_busy_ = false;        // the last refresh found the lock held by another program
    bool device_change_waiting_ = false;  // and it was a device change's
    bool first_refresh_done_ = false;
    bool run_as_planned_ = false;   // the last run ended with every unit as planned
    int exit_status_ = 0;
    bool close_when_idle_ = false;  // a signal came while the worker ran
    int signals_seen_ = 0;
    uint64_t first_signal_ms_ = 0;
};
