#pragma once
// The update procedure: what the main window owns for it (the catalogue, the
// connected master, the choice tables, the device-list rows and the flags of
// the plan) and what it does with them, free of any toolkit. The window, the
// terminal tool and the tests drive it and see it through an IUpdateSurface.
//
// One class in several files: status.cpp (status line, messages, waits and
// progress), plan.cpp (the refresh and the rows), advanced.cpp (the
// Normal/Advanced toggle and the version choice), run.cpp (the update run up
// to and including the master, and its closing), reconnect.cpp (waiting for
// the instrument, finding and moving slaves, the recovery after a failed
// slave stage), slave_stages.cpp (the slaves) and key_behaviour.cpp (what a
// key device carries for other gauges).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "firmware_files/firmup_files_info.h"
#include "records/device_info.h"
#include "update/backup.h"
#include "update/device_row.h"
#include "update/downgrade_info.h"
#include "update/update_surface.h"
#include "usb/usb_connection.h"

class IAggiornaFW;
class IConnectionStrumento;
class IHwDetectionSwitch;
class IVeskSemafori;

class CUpdateProcedure {
public:
    // A check a run makes once it has found the one instrument, before it
    // connects to write: false stops the run there, with why as its text
    // (a rehearsal on a simulated copy, rehearsal/rehearsal.h).
    using BeforeWriting = std::function<bool(CUpdateProcedure& procedure, std::wstring& why)>;

    struct Settings {
        // Holds the firmware files, _BOOTER and _ACCESSORI.
        std::wstring main_folder{};
        // Every message also becomes the status text.
        bool debug_mode = false;
        // The window starts it equal to the Autostart option.
        bool advanced_mode = false;
        // The ADVANCED option: the Normal/Advanced button and the versions list are shown.
        bool advanced_allowed = false;
        // A run first saves what the master keeps besides its firmware (backup.h).
        bool backup = true;
        // None: the run writes as soon as it is connected.
        BeforeWriting before_writing{};
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
    // Waits ms (rounded down to 10 ms) for what (the surface says "Waiting
    // for " what) in 10 ms slices on the process clock, stepping the wait bar
    // and pushing the controls after each slice.
    void AttesaConProgresso(uint32_t ms, const std::wstring& what);
    // "Pell DL Logger 1001": the model and the serial of a unit.
    static std::wstring NomeUnita(uint32_t code, uint32_t serial);
    static std::wstring NomeUnita(const INFOIDENT& ident) { return NomeUnita(ident.loggerCode(), ident.ID_logger()); }
    // The overall bar: range 0..upper with step 1, one step, a position, full.
    void ProgressRange(int upper);
    void ProgressStep();
    void ProgressPos(int pos);
    void ProgressMax();
    int ProgressPosition() const { return overall_pos_; }
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
    // The choices given before the refresh (RequestChoices) count as picked in
    // the versions list: what is due follows them, as after a pick.
    void SceltePrese();
    // Every image a run would write to the unit of row_index (0 the master,
    // else the slave number), with the rows' choices; the rules of the run.
    std::vector<PlannedImage> ImmaginiPreviste(int row_index);
    // A slave's booter older than its file: a run writes it (the booter
    // stage), so it is a reason to run even with every firmware current.
    bool BooterSlaveDovuto();
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

    // ---- the update run (run.cpp, reconnect.cpp, slave_stages.cpp, key_behaviour.cpp)

    // How the last run ended.
    enum class RunOutcome {
        NotRun,
        MissingFolder,       // _BOOTER or _ACCESSORI missing: nothing was touched
        LockRefused,         // "Error in USB locks": the USB is in use
        NoInstrument,        // "No device connected"
        SeveralInstruments,  // "Please connect one only device"
        NotAnswering,        // an instrument is on USB but its identity cannot be read: nothing was touched
        Refused,             // the check before writing refused the run: nothing was written
        Aborted,             // the run stopped on the way (text: why)
        SlavesRefused,       // the master was done; its net may not be updated as it is
        NoSlaveUpdate,       // the master was done; its firmware does not update slaves
        Finished,            // "Firmup finished"
    };
    // One image of a unit: what the plan said the run writes, what the run
    // did, and what the unit reports afterwards. Firmware and booter report
    // their version; languages and accessories cannot be read back, so their
    // write result stands for them.
    struct ImageCheck {
        std::wstring image;           // "firmware", "booter", "language", "accessory 0" .. "accessory 2"
        bool read_back = true;        // firmware and booter
        bool planned = false;         // the plan showed it written
        bool written = false;         // the run wrote it
        bool write_failed = false;    // the run tried and the write failed
        bool refused = false;         // planned on a condition the unit did not meet (its firmware
                                      // does not update its booter): not written, so it must stay
        std::wstring before;          // firmware and booter: as the unit reported it before the run
        uint32_t before_number = 0;
        std::wstring expected;        // the file's version when planned, else before
        uint32_t expected_number = 0;
        std::wstring after;           // as read after the run; empty when the unit was not read
        uint32_t after_number = 0;
        bool verified = false;
    };
    // A unit of the plan the run started from: what it ran, what the plan
    // said it would get, and what it reports after the run.
    struct UnitCheck {
        uint32_t serial = 0;
        int row_index = 0;          // 0 the master, else the slave number
        std::wstring device;        // device name
        std::wstring before;        // "01.05.07"
        std::wstring expected;      // the version the plan said it would get; empty: none
        uint32_t expected_number = 0;
        std::wstring after;         // set by VerificaUnita; "in booter" or empty when not found
        bool found = false;         // reported by the last refresh
        // Found, out of its booter, and every image as planned: each written
        // one reports its version (or was written), each other one is unchanged.
        bool verified = false;
        std::vector<ImageCheck> images;  // firmware and booter first, then the others planned or written
        const ImageCheck* Image(const std::wstring& name) const {
            for (const ImageCheck& i : images)
                if (i.image == name) return &i;
            return nullptr;
        }
    };
    struct RunResult {
        RunOutcome outcome = RunOutcome::NotRun;
        bool nothing_pending = false;      // the plan had nothing to write when the run began
        std::wstring text;                 // the message the run ended with
        std::vector<std::wstring> errors;  // every error met, in order
        std::vector<UnitCheck> units;      // master first, then the slaves in slot order
        vesk::update::BackupResult backup;  // the master's backup taken before the first write
        // The run did what it set out to do, without an error.
        bool Completed() const {
            return (outcome == RunOutcome::Finished || outcome == RunOutcome::NoSlaveUpdate) && errors.empty();
        }
    };

    // The Execute button: updates the master, then its slaves, then restarts
    // it and refreshes the plan. Blocks until done; any thread may call it,
    // one run at a time, and the surface is called from that thread only.
    void OnBnClickedButtonUpdate();
    const RunResult& LastRun() const { return result_; }
    // Compares each unit of the last run with what the last refresh read;
    // true when every one is verified.
    bool VerificaUnita();

    // Waits for the instrument to come back after a mode switch and connects
    // conn to it again (on info).
    bool DisconnettiAndRiconnetti(CDeviceInfo& info, IConnectionStrumento* conn);
    // The net-table id of the first slave in the state looked for; none: not found.
    // The booter search passes over the ids in skip; unread as for CercaSlave.
    std::optional<uint32_t> CercaSlaveInBooter(CDeviceInfo& info, IConnectionStrumento* conn,
                                               const std::set<uint32_t>& skip = {}, bool* unread = nullptr);
    std::optional<uint32_t> CercaSlaveInFirmware(CDeviceInfo& info, IConnectionStrumento* conn);
    // The slave with net-table id id into its booter or its firmware.
    bool MandaSlaveInBooter(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id);
    bool MandaSlaveInFirmware(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id);
    // The first slave whose firmware (booter) the catalogue says is due;
    // booter searches pass over the ids in skip.
    std::optional<uint32_t> CercaSlaveDaAggiornareFw(CDeviceInfo& info, IConnectionStrumento* conn);
    std::optional<uint32_t> CercaSlaveDaAggiornareBooter(CDeviceInfo& info, IConnectionStrumento* conn,
                                                         const std::set<uint32_t>& skip = {});
    enum class BooterSlave { Failed, Written, NothingToWrite };
    // Writes the booter of the slave with net-table id id, when its file is newer.
    BooterSlave AggiornaBooterSlave(CDeviceInfo& info, uint32_t id, IAggiornaFW& fw);

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
    // The last refresh planned a master with a net whose slave table could
    // not be read: its slaves are missing from the plan, not up to date.
    bool NetUnread() const;
    bool AdvancedMode() const { return advanced_mode_; }
    void SetAdvancedMode(bool on) { advanced_mode_ = on; }
    bool AdvancedAllowed() const { return advanced_allowed_; }
    bool DebugMode() const { return debug_mode_; }
    const std::wstring& MainFolder() const { return main_folder_; }
    // Another folder of update files; the next refresh reads it.
    void SetMainFolder(std::wstring folder) { main_folder_ = std::move(folder); }
    bool RestartPending() const { return restart_pending_; }
    bool RefreshPending() const { return refresh_pending_; }
    // A device change while the application was not active.
    void SetRefreshPending() { refresh_pending_ = true; }
    int SelectedRow() const { return selected_row_; }
    int RememberedRow() const { return remembered_row_; }

private:
    // status.cpp: the wait bar, as the procedure last set it: range 0..upper
    // with step 1, one step, a position.
    void BarraAttesa(int upper);
    void PassoBarraAttesa();
    void PosBarraAttesa(int pos);
    // Runs write, an image write to the unit of serial unit through fw, with
    // the writer's blocks on the wait bar; the bar is given back after.
    bool ScritturaConProgresso(IAggiornaFW& fw, uint32_t unit, const std::function<bool()>& write);
    // plan.cpp
    void SvuotaListe();
    // The text for instruments on USB a listing left out (silent, or held by
    // another program); null when it left none out.
    static const wchar_t* NonElencato(const IUSBConnection::ListingMisses& misses);
    void ApplicaScelteRichieste();
    void RigaMaster();
    void RigheSlave();
    void RigheAltriStrumenti();
    bool RegoleSlave();
    bool NessunFile() const;  // no row has an update file
    void RigheSenzaFile();
    void StatoFinale();
    void FineAggiornamento();
    const DeviceRowData* RowOf(int row_index, bool other_gauge) const;
    void RedrawRow(int position);
    void RedrawRows();
    // advanced.cpp
    void MostraVersioni(int position);
    void StatoDaQualcosaVaAggiornato();

    // The error a slave stage raises; only the recovery catches it.
    struct ErroreStadioSlave {
        std::wstring testo;
    };
    struct Corsa;  // the state of one run (run_state.h)

    // A unit the run met that is not the one it is updating; only the run catches it.
    struct StrumentoDiverso {
        std::wstring testo;
    };

    // run.cpp: the run's steps, in order
    std::vector<UnitCheck> UnitaDelPiano();
    void PassiDellaCorsa();
    bool CondizioniCorsa();
    bool ElencaStrumento();
    bool VerificaPrimaDiScrivere();
    bool ConnettiMaster();
    void MappaVersioniPrima();
    bool SalvaBackupMaster();
    bool FirmwareMaster();
    bool MandaMasterInBooter();
    void ScriviFirmwareMaster();
    bool RisvegliaMaster();
    bool NuovaConnessioneMaster();
    void ScriviLingueMaster();
    bool MasterFuoriDalBooter();
    // A safe point: true (and the run ended) when a stop was requested.
    bool Fermata();
    // A stop asked for while the run connected, before anything was written:
    // the run ends there, refused, with no backup and nothing touched.
    bool FermataPrimaDiScrivere();
    void BooterMaster();
    void AccessoriMaster();
    bool AmmissioneSlave();
    bool SlaveAggiornabili();
    bool SlaveConRecupero();
    void Chiusura();
    // run.cpp: what the steps share
    const INFOIDENT& Master() const;
    bool ScritturaMaster(const wchar_t* image, const wchar_t* start, const wchar_t* finished, const wchar_t* error,
                         const std::function<bool()>& write, int element = -1, int attempts = 1);
    // The result's check of a unit (one the plan did not list is added).
    UnitCheck& UnitaDelRisultato(int row_index, uint32_t serial);
    // What a write did, for the unit's image in the run's result.
    void SegnaScrittura(int row_index, uint32_t serial, const std::wstring& image, bool ok);
    // A planned image the unit's firmware refuses: the unit keeps what it had.
    void SegnaRifiuto(int row_index, uint32_t serial, const std::wstring& image);
    // The master the run is connected to is the one it began with (a serial
    // or type code of 0 in the booter counts as the same); false: text says why.
    bool StessoMaster(std::wstring& text) const;
    // Before a write to a slave: the slot holds the slave the run began with.
    void ControllaSlave(size_t slot);
    // The plan's rule for a slave's firmware: due when it was in its booter
    // when the run began and a file is offered, or when the catalogue says so.
    bool FwSlaveDovuto(size_t slot, const INFOIDENT& slave);
    bool RiconnettiDopoCambioModo();
    bool Reidentifica(bool with_net_table);
    bool AllocaInfoFirmup(const std::wstring& no_memory);
    void LeggiInfoFirmup();
    void DistruggiConnessione();
    void RilevamentoSu();
    void Interrompi(const std::wstring& text, bool chiudi = false);
    void FineCorsa(RunOutcome outcome, const std::wstring& text);
    void RiavviaMaster();
    void Errore(const std::wstring& text);
    void MostraErroreCorsa();
    // key_behaviour.cpp
    void CaricaAltriStrumenti();
    // slave_stages.cpp
    void AggiornaSlave();
    void TuttiGliSlaveInBooter();
    void FirmwareSlave();
    void BooterSlaveDovuti();
    void SvegliaTuttiGliSlave(bool dopo_errore);
    void LingueSlave();
    void AccessoriSlave();
    bool DopoCambioSlave();
    // reconnect.cpp
    using SlaveMatch = std::function<bool(size_t slot, const INFOIDENT& slave)>;
    // unread, when given, is set when a present slave could not be read.
    std::optional<uint32_t> CercaSlave(CDeviceInfo& info, IConnectionStrumento& conn, const wchar_t* found,
                                       const wchar_t* not_found, const SlaveMatch& match, bool* unread = nullptr);
    std::optional<size_t> SlotDellId(CDeviceInfo& info, IConnectionStrumento& conn, uint32_t id,
                                     bool unreadable_ends);
    void RecuperoDopoErrore(const ErroreStadioSlave& e);

    IUpdateSurface& surface_;
    IHwDetectionSwitch& detection_;
    IVeskSemafori* locks_;  // taken by the update run
    BeforeWriting before_writing_;

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
    bool backup_;
    std::wstring status_text_;
    StatusColour status_colour_ = StatusColour::Normal;
    int overall_upper_ = 100;
    int overall_pos_ = 0;
    struct StatoBarraAttesa {
        int upper = 0;
        int pos = 0;
    };
    std::optional<StatoBarraAttesa> barra_attesa_;  // none: never set

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
    // The last refresh's net is refused by the admission rules: no slave is written.
    bool net_rifiutata_ = false;

    // The run in progress, and how the last one ended.
    std::unique_ptr<Corsa> corsa_;
    RunResult result_;
    // A run that met an error keeps saying so in the status while its master
    // stays connected (or is restarting).
    std::wstring errore_corsa_;
    uint32_t serial_errore_corsa_ = 0;
};

namespace vesk::update {

// The slave admission rules of the plan, in their order: slaves this program
// does not update, booter conflicts, too many slaves. True when one refuses
// the net; status then holds its text.
bool PlanAdmissionRefusal(CDeviceInfo& info, std::wstring& status);
// The status of a plan ready to run: the window's instruction to press Execute.
std::wstring ExecuteStatus();

}  // namespace vesk::update
