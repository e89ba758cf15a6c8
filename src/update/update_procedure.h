#pragma once
// The update procedure: what the main window owns for it (the catalogue, the
// connected master, the choice tables, the device-list rows and the flags of
// the plan) and what it does with them, free of any toolkit. The window, the
// terminal tool and the tests drive it and see it through an IUpdateSurface.
//
// One class in several files: status.cpp (status line, messages, waits and
// progress), plan.cpp (the refresh and the rows), advanced.cpp (the
// Normal/Advanced toggle and the version choice); the update run joins them
// as further files.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware_files/firmup_files_info.h"
#include "records/device_info.h"
#include "update/device_row.h"
#include "update/downgrade_info.h"
#include "update/update_surface.h"

class IHwDetectionSwitch;
class IVeskSemafori;

class CUpdateProcedure {
public:
    struct Settings {
        // Holds the firmware files, _BOOTER and _ACCESSORI.
        std::wstring main_folder{};
        // Every message also becomes the status text.
        bool debug_mode = false;
        // The window starts it equal to the Autostart option.
        bool advanced_mode = false;
        // The ADVANCED option: the Normal/Advanced button and the versions list are shown.
        bool advanced_allowed = false;
    };

    // How the last refresh ended.
    enum class RefreshOutcome {
        NotRun,
        NoInstrument,        // nothing on USB
        ListingFailed,       // the USB listing itself failed (shown as nothing connected)
        SeveralInstruments,  // more than one on USB
        NoMemory,            // the device info could not be made
        NotIdentified,       // the instrument could not be read or has no update interface
        Planned,             // the plan of one instrument is shown
    };

    // A version to put into the choice table before the next refresh builds
    // its rows (the terminal tool's --choose).
    struct RequestedChoice {
        uint32_t serial = 0;
        std::wstring version;  // the entry's version text, "01.05.07"
    };
    struct UnmatchedChoice {
        RequestedChoice choice;
        bool serial_known = false;  // false: no unit with that serial; true: no such version
    };

    // Neither surface, detection nor locks are owned; they outlive the procedure.
    CUpdateProcedure(IUpdateSurface& surface, IHwDetectionSwitch& detection, IVeskSemafori* locks,
                     Settings settings);
    ~CUpdateProcedure();
    CUpdateProcedure(const CUpdateProcedure&) = delete;
    CUpdateProcedure& operator=(const CUpdateProcedure&) = delete;

    // ---- status line, messages, waits and progress (status.cpp)

    // One line in the message list and the log: text, then the device name
    // and serial of ident when one is given.
    void Msg(const INFOIDENT* ident, const std::wstring& text);
    // Stored and shown at once.
    void SetStatus(const std::wstring& text, StatusColour colour);
    const std::wstring& StatusText() const { return status_text_; }
    StatusColour GetStatusColour() const { return status_colour_; }
    // Waits ms (rounded down to 10 ms) in 10 ms slices on the process clock,
    // stepping the wait bar and pushing the controls after each slice.
    void AttesaConProgresso(uint32_t ms);
    // The overall bar: range 0..upper with step 1, one step, a position, full.
    void ProgressRange(int upper);
    void ProgressStep();
    void ProgressPos(int pos);
    void ProgressMax();
    void EnableExecute(bool enabled);
    void EnableAdvanced(bool enabled);
    void BeginWaitCursor();
    void EndWaitCursor();
    // The Behaviour Request: 0, 1 or 2; any other answer counts as 0.
    int RichiestaComportamento();
    // The master was told to restart: refreshes of the next 10 s show
    // "Please wait..." instead of "No gauge is connected..." (timer 3333).
    void AttendiRiavvio();

    // ---- the plan (plan.cpp)

    // Rebuilds the plan from what is on USB and in the update folders.
    void AggiornaStrumentiCollegati();
    // Whether something would be written with the current choices.
    bool QualcosaVaAggiornato();
    // Appends a row and returns its position in the list.
    int AddRow(const INFOIDENT* identity, int row_index, int kind, FirmupFileEntry* entry,
               const FirmupFileList* list, int other_kind = CDowngradeInfo::kOwnFirmware);
    std::wstring ActionText(const DeviceRowData& row) const;
    // Replaces the row's chosen entry and redraws the row.
    void SetChosenEntry(const FirmupFileEntry& entry, int position);
    // Applied by the next refresh, right after the catalogue is filled.
    void RequestChoices(std::vector<RequestedChoice> choices);
    // The requested choices the last refresh could not find.
    const std::vector<UnmatchedChoice>& UnmatchedChoices() const { return unmatched_; }

    // ---- advanced mode (advanced.cpp); the window's handlers forward here

    // The Normal/Advanced button.
    void OnNormalAdvanced();
    // A device row selected (-1: none); shows its versions in advanced mode.
    void OnDeviceRowSelected(int position);
    // A click on a row of the versions list (position from the top).
    void OnVersionClicked(int position);
    // The versions list is shown.
    bool VersionsVisible() const;

    // ---- the Dump button (dump.cpp)

    // The memory of the one instrument on USB into a file the user picks;
    // true when the dump was written.
    bool OnDump();

    // ---- state

    const CDeviceInfo* DeviceInfo() const { return device_info_.get(); }
    CDeviceInfo* DeviceInfo() { return device_info_.get(); }
    CFirmupFilesInfo& Catalogue() { return catalogue_; }
    CDowngradeInfo& Scelte() { return choices_; }        // picked in advanced mode
    CDowngradeInfo& Installati() { return installed_; }  // picked and already written
    const std::vector<DeviceRowData>& Rows() const { return rows_; }
    std::vector<DeviceRowView> RowViews() const;
    bool UpdatePending() const { return update_pending_; }
    bool VersionsSelectable() const { return versions_selectable_; }
    RefreshOutcome LastRefresh() const { return last_refresh_; }
    bool AdvancedMode() const { return advanced_mode_; }
    void SetAdvancedMode(bool on) { advanced_mode_ = on; }
    bool AdvancedAllowed() const { return advanced_allowed_; }
    bool DebugMode() const { return debug_mode_; }
    const std::wstring& MainFolder() const { return main_folder_; }
    bool RestartPending() const { return restart_pending_; }
    bool RefreshPending() const { return refresh_pending_; }
    // A device change while the application was not active.
    void SetRefreshPending() { refresh_pending_ = true; }
    int SelectedRow() const { return selected_row_; }
    int RememberedRow() const { return remembered_row_; }

private:
    // plan.cpp
    void SvuotaListe();
    void ApplicaScelteRichieste();
    void RigaMaster();
    void RigheSlave();
    void RigheAltriStrumenti();
    bool RegoleSlave();
    void StatoFinale();
    void FineAggiornamento();
    const DeviceRowData* RowOf(int row_index, bool other_gauge) const;
    void RedrawRow(int position);
    void RedrawRows();
    // advanced.cpp
    void MostraVersioni(int position);
    void StatoDaQualcosaVaAggiornato();

    IUpdateSurface& surface_;
    IHwDetectionSwitch& detection_;
    IVeskSemafori* locks_;  // taken by the update run

    CFirmupFilesInfo catalogue_;
    std::unique_ptr<CDeviceInfo> device_info_;
    CDowngradeInfo choices_;
    CDowngradeInfo installed_;
    std::vector<DeviceRowData> rows_;
    std::vector<FirmupFileEntry> versions_;  // the versions list, top first

    std::wstring main_folder_;
    bool debug_mode_;
    bool advanced_mode_;
    bool advanced_allowed_;
    std::wstring status_text_;
    StatusColour status_colour_ = StatusColour::Normal;
    int overall_upper_ = 100;

    // The restart timer and device changes may arrive on another thread.
    std::atomic<bool> restart_pending_{false};
    std::atomic<bool> refresh_pending_{false};
    bool update_pending_ = false;
    bool versions_selectable_ = false;
    int selected_row_ = -1;
    int remembered_row_ = -1;
    RefreshOutcome last_refresh_ = RefreshOutcome::NotRun;
    std::vector<RequestedChoice> requested_;
    std::vector<UnmatchedChoice> unmatched_;
};

namespace vesk::update {

// The slave admission rules of the plan, in their order: slaves this program
// does not update, booter conflicts, too many slaves. True when one refuses
// the net; status then holds its text.
bool PlanAdmissionRefusal(CDeviceInfo& info, std::wstring& status);

}  // namespace vesk::update
