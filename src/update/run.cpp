// The update run: the master from its booter to its last write, the checks
// that let its slaves be done, and the closing that restarts it and shows the
// new plan. Every exit after the lock releases it and turns hardware
// detection back on.
#include <algorithm>
#include <cwchar>
#include <new>

#include "update/settings/engine.h"
#include "common/file_system.h"
#include "common/str_conv.h"
#include "device/conn_slave_base.h"
#include "log/evt_log.h"
#include "records/model_names.h"
#include "update/hw_detection_switch.h"
#include "update/run_state.h"
#include "update/stop_request.h"
#include "update/update_checks.h"
#include "update/update_procedure.h"
#include "usb/vesk_semafori.h"

using vesk::TextToTranslate;
using vesk::Translate;
using vesk::update::Existing;

namespace {

constexpr const char* kRun = "CVESKFirmwareUpdaterDlg::OnBnClickedButtonUpdate";
constexpr int kUsbLock = 1;
// The instrument re-enumerates after a mode switch; these waits are for it.
constexpr uint32_t kModeSwitchWaitMs = 550;
constexpr uint32_t kBeforeRefreshMs = 2750;
// The first identification in the booter, tried this many times.
constexpr int kBooterIdentAttempts = 3;
// A master is asked this many times to leave its booter: a transient refusal
// must not leave it there.
constexpr int kGotoFirmwareAttempts = 3;
// A firmware write broken off leaves no firmware the booter will start: it is
// made this many times before the run gives up on it.
constexpr int kFirmwareWriteAttempts = 2;

bool IsValidDirectory(const std::wstring& path) { return FS().IsFolder(path); }

std::wstring VersionText(const INFOIDENT& ident, bool in_booter) {
    return in_booter ? std::wstring(L"in booter") : vesk::update::CatalogueFirmwareText(ident);
}

}  // namespace

void CUpdateProcedure::OnBnClickedButtonUpdate() {
    result_ = RunResult{};
    // Until the backup step says otherwise: a run that ends before it took none.
    if (backup_) result_.backup.skipped = "the run ended before it";
    result_.nothing_pending = !update_pending_;
    result_.units = UnitaDelPiano();
    errore_corsa_.clear();
    try {
        corsa_ = std::make_unique<Corsa>();
        PassiDellaCorsa();
        // The list shows where every unit is now, not the plan of before the
        // run: a master left in its booter, another unit, or none.
        if (result_.outcome == RunOutcome::Aborted) AggiornaStrumentiCollegati();
    } catch (const std::bad_alloc&) {
        if (corsa_) Interrompi(Translate(L"Failure: out of memory"), true);
    }
    corsa_.reset();
}

void CUpdateProcedure::PassiDellaCorsa() {
    Corsa& c = *corsa_;
    if (!CondizioniCorsa() || !ElencaStrumento() || !VerificaPrimaDiScrivere() || !ConnettiMaster()) return;
    if (FermataPrimaDiScrivere() || !SalvaBackupMaster()) return;
    if (Fermata() || !FirmwareMaster() || !MasterFuoriDalBooter() || Fermata()) return;
    BooterMaster();
    AccessoriMaster();
    ProgressStep();
    if (c.DomandaComportamento() || c.fw->NumOtherGauges() >= 1) CaricaAltriStrumenti();
    if (!AmmissioneSlave() || !SlaveAggiornabili() || Fermata()) return;
    if (!SlaveConRecupero() || Fermata()) return;
    Chiusura();
}

// Steps 2 to 4: the user's choices, the folders, the USB lock.
bool CUpdateProcedure::CondizioniCorsa() {
    Corsa& c = *corsa_;
    // From here on the catalogue's selected entries are what the user chose.
    if (advanced_mode_)
        for (const DeviceRowData& row : rows_)
            if (row.entry) *row.entry = row.chosen;

    const std::pair<const wchar_t*, const wchar_t*> folders[] = {
        {L"_BOOTER", TextToTranslate(L"Missing _BOOTER folder")},
        {L"_ACCESSORI", TextToTranslate(L"Missing _ACCESSORI folder")},
    };
    for (const auto& [folder, missing] : folders) {
        if (IsValidDirectory(InCartella(main_folder_, folder))) continue;
        const std::wstring text = Translate(missing);
        Msg(nullptr, text);
        Errore(text);
        FineCorsa(RunOutcome::MissingFolder, text);
        return false;
    }

    const std::wstring lock_error = Translate(L"Error in USB locks");
    // This program holds it already: another run is going on.
    if (locks_ && locks_->StoBloccando(kUsbLock)) {
        Msg(nullptr, lock_error);
        Errore(lock_error);
        FineCorsa(RunOutcome::LockRefused, lock_error);
        return false;
    }
    detection_.TerminaGestioneEventiSistema();
    c.rilevamento_spento = true;
    if (!locks_ || !locks_->Blocca(kUsbLock)) {
        Msg(nullptr, lock_error);
        Errore(lock_error);
        FineCorsa(RunOutcome::LockRefused, lock_error);
        return false;
    }
    c.lock_preso = true;
    VLOG_INFO(kRun, "Hardware detection switched DOWN");
    return true;
}

// Steps 5 to 7: exactly one instrument on USB.
bool CUpdateProcedure::ElencaStrumento() {
    Corsa& c = *corsa_;
    SetStatus(Translate(L"Do NOT unplug OR switch off your device during firmup procedure."), StatusColour::Red);
    surface_.PushControls();
    BeginWaitCursor();
    c.cursore_attesa = true;

    std::vector<CDeviceInfo> list;
    IUSBConnection::ListingMisses misses;
    IConnectionStrumento::GetListaDeviceCollegati(list, true, &misses);
    if (list.size() != 1) {
        const bool none = list.empty();
        // One that is there but does not answer is not missing: the run stops on it.
        const bool silent = none && misses.unanswered > 0;
        const wchar_t* there = none ? NonElencato(misses) : nullptr;
        const std::wstring text = Translate(there  ? there
                                            : none ? L"No device connected"
                                                   : L"Please connect one only device");
        Msg(nullptr, text);
        Errore(text);
        FineCorsa(silent ? RunOutcome::NotAnswering
                  : none ? RunOutcome::NoInstrument
                         : RunOutcome::SeveralInstruments,
                  text);
        return false;
    }
    EnableExecute(false);
    EnableAdvanced(false);
    c.info = list.front();
    c.f = int(c.info.NetTable().CountSlaves());
    ProgressRange(c.Posizione(25, 73));
    ProgressPos(0);
    c.barra_impostata = true;
    ProgressStep();
    return true;
}

// The instrument is found and nothing is written yet: the last moment to
// refuse the run without touching it.
bool CUpdateProcedure::VerificaPrimaDiScrivere() {
    if (!before_writing_) return true;
    std::wstring why;
    if (before_writing_(*this, why)) return true;
    EnableExecute(true);
    EnableAdvanced(true);
    Msg(nullptr, why);
    Errore(why);
    FineCorsa(RunOutcome::Refused, why);
    return false;
}

// Steps 8 to 13: the connection, the identity, the firmware interface and
// its update record, and the versions the units run now.
bool CUpdateProcedure::ConnettiMaster() {
    Corsa& c = *corsa_;
    c.conn.reset(IConnectionStrumento::CreateConnectionToStrumento(&c.info, main_folder_));
    if (!c.conn) {
        Interrompi(Translate(L"Failure: Unable to create connection"));
        return false;
    }
    ProgressStep();
    if (!c.conn->Connetti(&c.info)) {
        Interrompi(Translate(L"Failure: Unable to connect to gauge"));
        return false;
    }
    ProgressStep();
    Msg(&Master(), Translate(L"Processing"));
    if (!Reidentifica(false)) {
        Interrompi(Translate(L"Failure: Unable to connect to gauge"));
        return false;
    }
    ProgressStep();
    c.fw = c.conn->GetIAggiornaFW();
    if (!c.fw) {
        Interrompi(Translate(L"Failure: Unable to get fw update interface"), true);
        return false;
    }
    ProgressStep();
    if (!AllocaInfoFirmup(Translate(L"Failure: Unable to allocate memory for structure INFOFWUPD"))) return false;
    LeggiInfoFirmup();
    ProgressStep();
    MappaVersioniPrima();
    return true;
}

void CUpdateProcedure::MappaVersioniPrima() {
    Corsa& c = *corsa_;
    // The listing leaves the net out when a slave could not be settled;
    // without it every slave would count as version 0 and get any file.
    if (c.info.GetNetState() == CDeviceInfo::NetState::NotRead) {
        Reidentifica(true);
        c.f = int(c.info.NetTable().CountSlaves());
        const int position = ProgressPosition();
        ProgressRange(c.Posizione(25, 73));
        ProgressPos(position);
    }
    const INFOIDENT& master = Master();
    c.serial_master = master.ID_logger();
    vesk::update::NoteMaster(c.serial_master);
    c.codice_master = master.loggerCode();
    c.versioni_prima.emplace(std::pair{0, c.serial_master}, master.FirmwareVersionNumber());
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        if (!SlavePresente(c.info, slot)) continue;
        const INFOIDENT& slave = c.info.SlaveIdent(slot);
        c.versioni_prima.emplace(std::pair{int(slot) + 1, slave.ID_logger()}, slave.FirmwareVersionNumber());
        c.reti_prima.emplace(slot, IdDiRete(c.info, slot));
        if (slave.IsInBooterOrZero()) c.slave_in_booter_prima.insert(slot);
    }
}

// Identified, nothing written yet: a copy of what the master keeps besides its
// firmware. A master whose data cannot be read is updated all the same; a
// backup folder that cannot be written stops the run unless the user says to
// go on without (the terminal tool answers No: there --no-backup says so).
bool CUpdateProcedure::SalvaBackupMaster() {
    Corsa& c = *corsa_;
    if (!backup_) return true;
    result_.backup.skipped.clear();
    // A booter answers none of the requests the backup makes.
    if (Master().IsInBooter()) {
        VLOG_INFO(kRun, "Backup skipped: the master is in its booter");
        result_.backup.skipped = "the master is in its booter";
        Msg(&Master(), Translate(L"Backup skipped: the master is in its booter"));
        return true;
    }
    result_.backup = vesk::update::SalvaBackup(*c.conn, c.serial_master);
    const vesk::update::BackupResult& b = result_.backup;
    if (!b.folder.empty())
        Msg(&Master(), (b.Complete() ? Translate(L"Backup saved in") : Translate(L"Backup partly saved in")) + L" " + b.folder);
    for (const auto& f : b.failed)
        Msg(&Master(), Translate(L"Warning: not saved in the backup") + L": " + vesk::from_utf8(f.area) + L" (" +
                           vesk::from_utf8(f.why) + L")");
    if (b.unwritable.empty()) return true;
    const std::wstring why = Translate(L"Failure: the backup could not be written") + L": " + vesk::from_utf8(b.unwritable);
    if (surface_.MessageBoxYesNo(why + L"\n" + Translate(L"Update without a backup?"))) {
        Msg(&Master(), Translate(L"The update goes on without a complete backup"));
        return true;
    }
    Interrompi(why, true);
    return false;
}

// Steps 14 to 23: booter, firmware image, back to firmware, a new
// connection, languages.
bool CUpdateProcedure::FirmwareMaster() {
    if (!Master().IsInBooter() && !vesk::update::FwDaAggiornare(catalogue_, Master())) {
        Msg(&Master(), Translate(L"No firmware update needed for master"));
        return true;
    }
    Msg(&Master(), Translate(L"Start firmware update for master"));
    if (!MandaMasterInBooter()) return false;
    ScriviFirmwareMaster();
    if (!RisvegliaMaster() || !NuovaConnessioneMaster()) return false;
    ScriviLingueMaster();
    return true;
}

bool CUpdateProcedure::MandaMasterInBooter() {
    Corsa& c = *corsa_;
    ProgressStep();
    Msg(&Master(), Translate(L"Sending device to booter"));
    if (!c.conn->GotoBooter()) {
        Interrompi(Translate(L"Device fails to go to booter"));
        return false;
    }
    ProgressStep();
    AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    ProgressStep();
    if (!RiconnettiDopoCambioModo()) return false;
    Msg(&Master(), Translate(L"Correctly into booter"));
    ProgressStep();
    // Nothing may be written to a booter that was never identified.
    for (int attempt = 1; !Reidentifica(false); ++attempt) {
        if (attempt == kBooterIdentAttempts) {
            Interrompi(Translate(L"Failure: Unable to connect to gauge"));
            return false;
        }
        AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    }
    std::wstring other;
    if (!StessoMaster(other)) {
        Interrompi(other, true);
        return false;
    }
    return true;
}

void CUpdateProcedure::ScriviFirmwareMaster() {
    Corsa& c = *corsa_;
    const uint32_t serial = c.serial_master;
    const FirmupFileEntry* entry = Existing(catalogue_.GetFw(serial));
    if (!entry) return;
    const uint32_t old = c.VersionePrima(0, serial);
    if (entry->versionNumber == 0 || !(advanced_mode_ || old < entry->versionNumber)) return;
    const std::wstring path = InCartella(main_folder_, entry->fileName);
    if (!ScritturaMaster(L"firmware", TextToTranslate(L"Start write firmware"), TextToTranslate(L"Finished write firmware"),
                         TextToTranslate(L"Error writing master firmware"),
                         [&] { return c.fw->AggiornaFwFile(path); }, -1, kFirmwareWriteAttempts)) {
        c.fw_master_fallito = true;
    } else if (old != 0 && entry->versionNumber < old) {
        // A downgrade: the plan shows it as installed from now on.
        FirmupFileEntry scelta;
        if (!installed_.Contains(serial) && choices_.Lookup(serial, scelta)) installed_.Insert(scelta);
    }
}

bool CUpdateProcedure::RisvegliaMaster() {
    Corsa& c = *corsa_;
    ProgressStep();
    Msg(&Master(), Translate(L"Waking up into firmware"));
    if (!c.conn->TracciaInfoident(L"Waking up into firmware")) Msg(nullptr, Translate(L"Fallisce traccia infoident"));
    for (int attempt = 1; !c.conn->GotoFirmware(); ++attempt) {
        if (!c.conn->TracciaInfoident(L"Device already in firmware"))
            Msg(nullptr, Translate(L"Fallisce traccia infoident"));
        if (attempt == kGotoFirmwareAttempts) {
            Interrompi(Translate(L"Device failed go to firmware"));
            return false;
        }
        AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    }
    Msg(&Master(), Translate(L"Correctly into firmware"));
    AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    ProgressStep();
    return RiconnettiDopoCambioModo();
}

// The firmware changed: a connection of the class it calls for, and its record.
bool CUpdateProcedure::NuovaConnessioneMaster() {
    Corsa& c = *corsa_;
    ProgressStep();
    AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    Reidentifica(true);
    std::wstring other;
    if (!StessoMaster(other)) {
        Interrompi(other, true);
        return false;
    }
    AttesaConProgresso(kModeSwitchWaitMs, NomeUnita(Master()));
    ProgressStep();
    c.conn->Chiudi();
    DistruggiConnessione();
    c.conn.reset(IConnectionStrumento::CreateConnectionToStrumento(&c.info, main_folder_));
    if (!c.conn) {
        Interrompi(Translate(L"Failure: Unable to create connection"));
        return false;
    }
    c.fw = c.conn->GetIAggiornaFW();
    if (!c.fw) {
        Interrompi(Translate(L"Failure: Unable to get fw update interface"), true);
        return false;
    }
    if (!AllocaInfoFirmup(Translate(L"Failure: Unable to allocate memory for INFOFWUPD structure"))) return false;
    if (!c.conn->Connetti(&c.info)) {
        VLOG_ERROR(kRun, "Failure to connect after writing master firmware");
        Interrompi(Translate(L"Failure: Unable to connect "), true);
        return false;
    }
    LeggiInfoFirmup();
    return true;
}

void CUpdateProcedure::ScriviLingueMaster() {
    Corsa& c = *corsa_;
    if (Master().IsInBooter()) return;
    const FirmupFileEntry* entry = Existing(catalogue_.GetFw(c.serial_master));
    if (!entry || entry->secondFileName.empty()) return;
    if (!advanced_mode_ && c.VersionePrima(0, c.serial_master) >= entry->versionNumber) return;
    // The languages belong to the new firmware: not onto the old one.
    if (c.fw_master_fallito) {
        VLOG_ERROR(kRun, "Master languages not written after a failed firmware write");
        Msg(&Master(), Translate(L"Languages not written: the firmware write failed"));
        SegnaScrittura(0, c.serial_master, L"language", false);
        return;
    }
    const std::wstring path = InCartella(main_folder_, entry->secondFileName);
    ScritturaMaster(L"language", TextToTranslate(L"Start write languages"), TextToTranslate(L"Finished write languages"),
                    TextToTranslate(L"Error in writing master languages"),
                    [&] { return c.fw->AggiornaLngFile(path); });
}

// Steps 24 and 25.
bool CUpdateProcedure::MasterFuoriDalBooter() {
    Corsa& c = *corsa_;
    ProgressStep();
    if (!c.conn->TracciaInfoident(L"Dopo scrittura di firmware del master"))
        Msg(nullptr, Translate(L"Fallisce traccia infoident"));
    if (Master().IsInBooter()) {
        Interrompi(Translate(L"Still in booter: stop processing"), true);
        return false;
    }
    return true;
}

// Step 26: the booter, written by the running firmware.
void CUpdateProcedure::BooterMaster() {
    Corsa& c = *corsa_;
    ProgressStep();
    if (!vesk::update::BooterDaAggiornare(catalogue_, Master())) {
        Msg(&Master(), Translate(L"No booter update needed for master"));
        return;
    }
    Msg(&Master(), Translate(L"Booter update needed for master"));
    if (!c.BooterConsentito()) {
        Msg(&Master(), Translate(L"Firmware doesn't support booter update"));
        SegnaRifiuto(0, c.serial_master, L"booter");
        return;
    }
    const FirmupFileEntry* entry = Existing(catalogue_.GetBooter(c.serial_master));
    if (!entry || entry->versionNumber == 0 || Master().BooterVersionNumber() >= entry->versionNumber) return;
    // The booter is what brings a unit back from a broken firmware: it is
    // not touched when this run's firmware write failed.
    if (c.fw_master_fallito) {
        VLOG_ERROR(kRun, "Master booter not written after a failed firmware write");
        Msg(&Master(), Translate(L"Booter not written: the firmware write failed"));
        SegnaScrittura(0, c.serial_master, L"booter", false);
        return;
    }
    const std::wstring path = InCartella(main_folder_ + L"/_BOOTER", entry->fileName);
    ScritturaMaster(L"booter", TextToTranslate(L"Start write booter"), TextToTranslate(L"Finished write booter"),
                    TextToTranslate(L"Error in writing master booter"),
                    [&] { return c.fw->AggiornaBooterFile(path); });
}

// Step 27.
void CUpdateProcedure::AccessoriMaster() {
    Corsa& c = *corsa_;
    ProgressStep();
    for (int i = 0; i < 3; ++i) {
        const FirmupFileEntry* entry = Existing(catalogue_.GetAccessorio(i, c.serial_master));
        if (entry && entry->versionNumber != 0 &&
            (advanced_mode_ || c.VersionePrima(0, c.serial_master) < entry->versionNumber)) {
            const std::wstring path = InCartella(main_folder_ + L"/_ACCESSORI", entry->fileName);
            ScritturaMaster((L"accessory " + std::to_wstring(i)).c_str(), TextToTranslate(L"Start write accessory elements"),
                            TextToTranslate(L"Finished write accessory elements"),
                            TextToTranslate(L"Error in writing master accessory elem "),
                            [&] { return c.fw->AggiornaAccessoriFile(i, path); }, i);
        }
        ProgressStep();
    }
}

// Step 29: a net that the plan would refuse is refused here too, whatever
// started the run.
bool CUpdateProcedure::AmmissioneSlave() {
    Corsa& c = *corsa_;
    ProgressPos(53);
    if (c.fw->SlaveUpdateLevel() != 0)
        if (auto* usb = dynamic_cast<CUSBConnection*>(c.conn.get())) CConnSlaveBase::SegnaNonAggiornabili(*usb, c.info);
    const std::wstring powercycle = Translate(L" Then powercycle the data system and again execute this Vesk firmup software.");
    std::wstring box, text;
    std::vector<uint8_t> slots;
    if (c.info.GetNonUpdatableSlaves(slots)) {
        box = Translate(L"To run the Vesk firmup you have to remove your ") +
              GetNomeStrumento(c.info.SlaveIdent(slots.front()).loggerCode()) + powercycle;
        text = Translate(L"Please remove all slaves and apply this firmup for every single slave separately.");
    } else if (c.info.TroppiSlave()) {
        wchar_t excess[160];
        std::swprintf(excess, 160, Translate(L"To run the Vesk firmup you have to %d slaves ").c_str(),
                      c.info.GetSlaveCount() - c.info.GetMaxSlaves());
        box = excess + powercycle;
        text = Translate(L"Please remove  slaves and apply this firmup for every single slave separately.");
    } else if (slots.clear(); c.info.CheckSlaveConflicts(slots)) {
        box = Translate(L"To correctly operate the firmup you have to unplug all slaves and firmup every single slave separately");
        text = Translate(L"Please unplug all slaves and firmup every single slave separately");
    } else {
        return true;
    }
    RiavviaMaster();
    surface_.MessageBoxInfo(box);
    Msg(&Master(), text);
    Errore(text);
    EnableExecute(true);
    EnableAdvanced(true);
    FineCorsa(RunOutcome::SlavesRefused, text);
    return false;
}

// Step 30.
bool CUpdateProcedure::SlaveAggiornabili() {
    Corsa& c = *corsa_;
    ProgressStep();
    if (c.fw->SlaveUpdateLevel() != 0) return true;
    RiavviaMaster();
    const std::wstring text = Translate(L"Firmware doesn't feature slaves update");
    Msg(&Master(), text);
    EnableExecute(true);
    EnableAdvanced(true);
    FineCorsa(RunOutcome::NoSlaveUpdate, text);
    return false;
}

// Step 31: a failed slave stage raises; the recovery wakes the slaves.
// Another instrument found on the way ends the run: nothing more is sent to it.
bool CUpdateProcedure::SlaveConRecupero() {
    try {
        AggiornaSlave();
    } catch (const ErroreStadioSlave& e) {
        Errore(e.testo);
        try {
            RecuperoDopoErrore(e);
        } catch (const StrumentoDiverso& d) {
            Interrompi(d.testo, true);
            return false;
        }
    } catch (const StrumentoDiverso& d) {
        Interrompi(d.testo, true);
        return false;
    }
    return true;
}

// Steps 32 and 33: restart the master and show what it runs now.
void CUpdateProcedure::Chiusura() {
    Corsa& c = *corsa_;
    if (c.conn) c.conn->Chiudi();
    DistruggiConnessione();
    c.conn.reset(IConnectionStrumento::CreateConnectionToStrumento(&c.info, main_folder_));
    ProgressPos(c.Posizione(25, 65));
    if (!c.conn) {
        Interrompi(Translate(L"Failure: Unable to create connection"));
        return;
    }
    if (!c.conn->Connetti(&c.info)) {
        Interrompi(Translate(L"Failure: Unable to reconnect to gauge"));
        return;
    }
    ProgressPos(c.Posizione(25, 66));
    c.conn->Riavvia();
    AttendiRiavvio();
    ProgressPos(c.Posizione(25, 67));
    c.conn->Chiudi();
    DistruggiConnessione();
    c.fwupd.reset();
    // A run that met an error never says "Firmup finished" alone.
    if (result_.errors.empty()) SetStatus(Translate(L"Firmup finished"), StatusColour::Normal);
    surface_.PushControls();
    const std::wstring text = Translate(L"Firmup finished");
    FineCorsa(RunOutcome::Finished, text);
    AttesaConProgresso(kBeforeRefreshMs, NomeUnita(Master()));
    AggiornaStrumentiCollegati();
}

// ---- what the steps share

// One write of the master between its two messages. A failure is logged and
// counted, and the run goes on.
bool CUpdateProcedure::ScritturaMaster(const wchar_t* image, const wchar_t* start, const wchar_t* finished,
                                       const wchar_t* error, const std::function<bool()>& write, int element,
                                       int attempts) {
    Msg(&Master(), Translate(start));
    bool written = ScritturaConProgresso(*corsa_->fw, corsa_->serial_master, write);
    for (int attempt = 2; !written && attempt <= attempts; ++attempt) {
        VLOG_INFO(kRun, "%s: failed, writing again (attempt %d of %d)", vesk::to_utf8(start).c_str(), attempt,
                  attempts);
        written = ScritturaConProgresso(*corsa_->fw, corsa_->serial_master, write);
    }
    if (!written) {
        // The element, when there is one, ends the text: "Error in writing master accessory elem 1".
        const std::wstring number = element >= 0 ? std::to_wstring(element) : L"";
        VLOG_ERROR(kRun, "%s", vesk::to_utf8(error + number).c_str());
        Errore(Translate(error) + number);
    }
    SegnaScrittura(0, corsa_->serial_master, image, written);
    Msg(&Master(), Translate(finished));
    return written;
}

const INFOIDENT& CUpdateProcedure::Master() const { return corsa_->info.Ident(); }

// Steps 16 and 21: the instrument left the bus and should be back. When it
// does not come back where it was, whatever is on USB now is taken.
bool CUpdateProcedure::RiconnettiDopoCambioModo() {
    Corsa& c = *corsa_;
    if (DisconnettiAndRiconnetti(c.info, c.conn.get())) return true;
    ProgressStep();
    std::vector<CDeviceInfo> list;
    IConnectionStrumento::GetListaDeviceCollegati(list, false);
    if (list.empty()) {
        Interrompi(Translate(L"No USB device found any more"));
        return false;
    }
    ProgressStep();
    c.info = list.front();
    // Whatever is listed first may be another instrument: nothing is sent to it.
    std::wstring other;
    if (!StessoMaster(other)) {
        Interrompi(other);
        return false;
    }
    if (!c.conn->Connetti(&c.info)) {
        Interrompi(Translate(L"Unable to reconnect"));
        return false;
    }
    return true;
}

bool CUpdateProcedure::Reidentifica(bool with_net_table) {
    Corsa& c = *corsa_;
    if (!c.conn) return false;
    bool ok = false;
    const CDeviceInfo* info = c.conn->RefreshIdent(with_net_table, ok);
    if (info && info != &c.info) c.info = *info;
    return ok;
}

bool CUpdateProcedure::AllocaInfoFirmup(const std::wstring& no_memory) {
    Corsa& c = *corsa_;
    c.fwupd.reset();
    c.fwupd.reset(new (std::nothrow) INFOFWUPD);
    if (c.fwupd) return true;
    Interrompi(no_memory, true);
    return false;
}

void CUpdateProcedure::LeggiInfoFirmup() {
    Corsa& c = *corsa_;
    if (c.fw->GetInfoFirmup(*c.fwupd, 0)) return;
    c.fwupd.reset();
    Msg(&Master(), Translate(L"Current firmware doesn't support INFOFWUPD data"));
}

void CUpdateProcedure::DistruggiConnessione() {
    corsa_->conn.reset();
    corsa_->fw = nullptr;
}

void CUpdateProcedure::RilevamentoSu() {
    detection_.AvviaGestioneEventiSistema();
    VLOG_INFO(kRun, "Hardware detection switched UP");
    corsa_->rilevamento_spento = false;
}

// Riavvia makes the master leave the bus: refreshes of the next 10 s wait for it.
void CUpdateProcedure::RiavviaMaster() {
    Corsa& c = *corsa_;
    c.conn->Riavvia();
    AttendiRiavvio();
    c.conn->Chiudi();
    DistruggiConnessione();
}

// Every unit runs its firmware here: the master is out of its booter and the
// slaves were woken (by their stage or by the recovery).
bool CUpdateProcedure::Fermata() {
    vesk::update::NoteSafePoint();
    if (!vesk::update::StopRequested()) return false;
    VLOG_INFO(kRun, "Stop requested (%d): the run ends here", vesk::update::StopReason());
    Interrompi(Translate(L"Stopped on request"), true);
    return true;
}

bool CUpdateProcedure::FermataPrimaDiScrivere() {
    if (!vesk::update::StopRequested()) return false;
    VLOG_INFO(kRun, "Stop requested (%d) before any write: the run ends here", vesk::update::StopReason());
    const std::wstring why = Translate(L"Stopped before anything was written");
    Corsa& c = *corsa_;
    if (c.conn) {
        c.conn->Chiudi();
        DistruggiConnessione();
    }
    EnableExecute(true);
    EnableAdvanced(true);
    Msg(nullptr, why);
    FineCorsa(RunOutcome::Refused, why);
    return true;
}

void CUpdateProcedure::Interrompi(const std::wstring& text, bool chiudi) {
    Corsa& c = *corsa_;
    if (c.conn) {
        if (chiudi) c.conn->Chiudi();
        DistruggiConnessione();
    }
    EnableExecute(true);
    EnableAdvanced(true);
    Msg(&Master(), text);
    Errore(text);
    FineCorsa(RunOutcome::Aborted, text);
}

// What every end of a run shares: the lock and detection as they were, the
// overall bar full, the cursor back, and an error named in the status.
void CUpdateProcedure::FineCorsa(RunOutcome outcome, const std::wstring& text) {
    Corsa& c = *corsa_;
    if (c.lock_preso && locks_) locks_->Sblocca(kUsbLock);
    c.lock_preso = false;
    if (c.rilevamento_spento) RilevamentoSu();
    c.fwupd.reset();
    if (c.barra_impostata) ProgressMax();
    if (c.cursore_attesa) EndWaitCursor();
    c.cursore_attesa = false;
    result_.outcome = outcome;
    result_.text = text;
    if (result_.errors.empty()) return;
    // An abort is named first: it says in what state the unit was left.
    const std::wstring& first = result_.errors.front();
    if (outcome == RunOutcome::Aborted || outcome == RunOutcome::SlavesRefused || first == text)
        errore_corsa_ = first == text ? text : text + L" (" + Translate(L"first error: ") + first + L")";
    else
        errore_corsa_ = Translate(L"Firmup ended with errors: ") + first;
    serial_errore_corsa_ = c.serial_master;
    // The list has shown the text already.
    SetStatus(errore_corsa_, StatusColour::Red);
}

void CUpdateProcedure::Errore(const std::wstring& text) { result_.errors.push_back(text); }

// A refresh after a run that met an error keeps the error in the status
// while the same master is connected or restarting; another instrument, or
// none, ends it.
void CUpdateProcedure::MostraErroreCorsa() {
    if (errore_corsa_.empty()) return;
    // The closing refresh of the run itself always shows it.
    if (!corsa_) {
        const bool same_master = (last_refresh_ == RefreshOutcome::Planned ||
                                  last_refresh_ == RefreshOutcome::NotIdentified) &&
                                 device_info_ && device_info_->Ident().ID_logger() == serial_errore_corsa_;
        const bool restarting = last_refresh_ == RefreshOutcome::NoInstrument && restart_pending_;
        if (!same_master && !restarting) {
            errore_corsa_.clear();
            return;
        }
    }
    SetStatus(errore_corsa_, StatusColour::Red);
    Msg(nullptr, errore_corsa_);
}

// ---- the unit the run is connected to

bool CUpdateProcedure::StessoMaster(std::wstring& text) const {
    const Corsa& c = *corsa_;
    const INFOIDENT& found = c.info.Ident();
    // A booter may report neither: 0 on either side proves nothing.
    const bool serial_differs = found.ID_logger() != 0 && c.serial_master != 0 && found.ID_logger() != c.serial_master;
    const bool code_differs = found.loggerCode() != 0 && c.codice_master != 0 && found.loggerCode() != c.codice_master;
    if (!serial_differs && !code_differs) return true;
    const std::wstring found_name = NomeUnita(found);
    const std::wstring expected_name = NomeUnita(c.codice_master, c.serial_master);
    VLOG_ERROR(kRun, "The instrument found is not the one being updated: found %s (code %u), expected %s (code %u)",
               vesk::to_utf8(found_name).c_str(), unsigned(found.loggerCode()), vesk::to_utf8(expected_name).c_str(),
               unsigned(c.codice_master));
    text = Translate(L"The instrument found is not the one being updated") + L": " + found_name + L", " +
           Translate(L"expected") + L" " + expected_name;
    return false;
}

namespace {

// The unit's check of image; a new one, not read back, when the unit has none.
CUpdateProcedure::ImageCheck& ImageOf(CUpdateProcedure::UnitCheck& unit, const std::wstring& image) {
    for (CUpdateProcedure::ImageCheck& i : unit.images)
        if (i.image == image) return i;
    CUpdateProcedure::ImageCheck i;
    i.image = image;
    i.read_back = false;
    return unit.images.emplace_back(std::move(i));
}

}  // namespace

CUpdateProcedure::UnitCheck& CUpdateProcedure::UnitaDelRisultato(int row_index, uint32_t serial) {
    for (UnitCheck& u : result_.units)
        if (u.row_index == row_index && u.serial == serial) return u;
    // A unit the plan did not list: what the run did to it is reported all the same.
    UnitCheck u;
    u.serial = serial;
    u.row_index = row_index;
    return result_.units.emplace_back(std::move(u));
}

void CUpdateProcedure::SegnaScrittura(int row_index, uint32_t serial, const std::wstring& image, bool ok) {
    ImageCheck& i = ImageOf(UnitaDelRisultato(row_index, serial), image);
    i.written = i.written || ok;
    i.write_failed = i.write_failed || !ok;
}

// Only a planned image can be refused: nothing is added for one the plan did not show.
void CUpdateProcedure::SegnaRifiuto(int row_index, uint32_t serial, const std::wstring& image) {
    for (UnitCheck& u : result_.units)
        if (u.row_index == row_index && u.serial == serial)
            for (ImageCheck& i : u.images)
                if (i.image == image) i.refused = true;
}

// ---- the plan the run starts from, and what the units report after it

std::vector<CUpdateProcedure::UnitCheck> CUpdateProcedure::UnitaDelPiano() {
    std::vector<UnitCheck> units;
    if (!device_info_ || last_refresh_ != RefreshOutcome::Planned) return units;
    auto add = [&](const INFOIDENT& ident, int row_index, bool in_booter) {
        UnitCheck u;
        u.serial = ident.ID_logger();
        u.row_index = row_index;
        u.device = GetNomeStrumento(ident.loggerCode());
        u.before = VersionText(ident, in_booter);
        ImageCheck fw, bt;
        fw.image = L"firmware";
        fw.before = u.before;
        fw.before_number = in_booter ? 0 : ident.FirmwareVersionNumber();
        bt.image = L"booter";
        bt.before = ident.BooterVersionText();
        bt.before_number = ident.BooterVersionNumber();
        u.images = {fw, bt};
        for (const PlannedImage& p : ImmaginiPreviste(row_index)) {
            ImageCheck& i = ImageOf(u, p.image);
            i.planned = true;
            i.expected = p.version;
            i.expected_number = p.version_number;
        }
        for (ImageCheck& i : u.images) {
            if (i.planned || !i.read_back) continue;
            i.expected = i.before;
            i.expected_number = i.before_number;
        }
        if (u.images[0].planned) {
            u.expected = u.images[0].expected;
            u.expected_number = u.images[0].expected_number;
        }
        units.push_back(u);
    };
    const INFOIDENT& master = device_info_->Ident();
    add(master, 0, master.IsInBooter());
    if (device_info_->GetSlaveUpdate() != 0)
        for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot)
            if (device_info_->NetTable().SlaveCode(slot) != 0)
                add(device_info_->SlaveIdent(slot), int(slot) + 1, device_info_->SlaveIdent(slot).IsInBooterOrZero());
    return units;
}

bool CUpdateProcedure::VerificaUnita() {
    bool all = true;
    const bool planned = device_info_ && last_refresh_ == RefreshOutcome::Planned;
    for (UnitCheck& u : result_.units) {
        const INFOIDENT* ident = nullptr;
        bool in_booter = false;
        if (planned && u.row_index == 0 && device_info_->Ident().ID_logger() == u.serial) {
            ident = &device_info_->Ident();
            in_booter = ident->IsInBooter();
        }
        // A slave is looked for at its own slot first: a serial of 0 is a real one.
        const size_t own = u.row_index > 0 ? size_t(u.row_index - 1) : NETIDENT::kEntries;
        auto at = [&](size_t slot) {
            return device_info_->NetTable().SlaveCode(slot) != 0 && device_info_->SlaveIdent(slot).ID_logger() == u.serial;
        };
        if (planned && u.row_index > 0 && own < NETIDENT::kEntries && at(own)) ident = &device_info_->SlaveIdent(own);
        for (size_t slot = 0; planned && !ident && u.row_index > 0 && u.serial != 0 && slot < NETIDENT::kEntries; ++slot)
            if (at(slot)) ident = &device_info_->SlaveIdent(slot);
        if (ident && u.row_index > 0) in_booter = ident->IsInBooterOrZero();
        u.found = ident != nullptr;
        u.after = ident ? VersionText(*ident, in_booter) : L"";
        bool every_image = true;
        for (ImageCheck& i : u.images) {
            if (!i.read_back) {
                // Written when planned; never written behind the plan's back.
                i.verified = i.planned ? i.written : !i.written;
            } else {
                i.after = !ident ? L"" : i.image == L"booter" ? ident->BooterVersionText() : u.after;
                i.after_number = !ident ? 0 : i.image == L"booter" ? ident->BooterVersionNumber()
                                                  : in_booter ? 0 : ident->FirmwareVersionNumber();
                if (i.refused) {
                    i.expected = i.before;
                    i.expected_number = i.before_number;
                }
                // A unit that was in its booter had no firmware version to keep:
                // woken with nothing written, whatever it runs is what it had.
                const bool woken = i.image == L"firmware" && !i.planned && i.before_number == 0;
                const bool as_planned = woken || i.after_number == i.expected_number;
                // A planned image counts only when this run wrote it (or the firmware
                // refused it): a unit that merely woke up on the old one is no update.
                i.verified = ident && as_planned && (i.planned ? i.written || i.refused : !i.written);
            }
            every_image = every_image && i.verified;
        }
        u.verified = ident && !in_booter && every_image;
        all = all && u.verified;
    }
    return all;
}
