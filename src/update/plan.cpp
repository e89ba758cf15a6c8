// The plan: what is connected, which files would be written, and the device
// list that shows it.
#include <algorithm>
#include <cwchar>
#include <new>

#include "update/settings/engine.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "log/evt_log.h"
#include "records/model_names.h"
#include "update/hw_detection_switch.h"
#include "update/update_checks.h"
#include "update/update_procedure.h"

using vesk::Translate;
using vesk::update::Existing;

namespace {

constexpr const char* kRefresh = "CVESKFirmwareUpdaterDlg::AggiornaStrumentiCollegati";
constexpr size_t kNetSlots = 32;

std::string Utf8(const std::wstring& s) { return vesk::to_utf8(s); }

void LogUnit(const char* what, const INFOIDENT& ident) {
    VLOG_INFO(kRefresh, "%s: %s with firmware %s and booter %s", what,
              Utf8(GetNomeStrumento(ident.loggerCode())).c_str(), Utf8(ident.FirmwareVersionText()).c_str(),
              Utf8(ident.BooterVersionText()).c_str());
}

std::wstring ClickStatus() {
    return Translate(L"Click '") + Translate(L"Execute") + Translate(L"' button to proceed and firmup your system");
}

std::wstring SlaveNames(const CDeviceInfo& info, const std::vector<uint8_t>& slots) {
    std::wstring names;
    for (const uint8_t slot : slots) names += GetNomeStrumento(info.SlaveIdent(slot).loggerCode()) + L", ";
    return names;
}

}  // namespace

namespace vesk::update {

bool PlanAdmissionRefusal(CDeviceInfo& info, std::wstring& status) {
    const std::wstring powercycle =
        Translate(L"\r\nthen powercycle the data system and again execute this Vesk firmup software.");
    std::vector<uint8_t> slots;
    if (info.GetNonUpdatableSlaves(slots)) {
        status = Translate(L"To run the Vesk firmup you have to remove your ") + SlaveNames(info, slots) +
                 powercycle +
                 Translate(L"\r\nRemoved units must be updated separately connecting them directly to your PC (USB).");
        return true;
    }
    slots.clear();
    if (info.CheckSlaveConflicts(slots)) {
        status = Translate(L"To run the Vesk firmup you have to SEPARATELY UPDATE your ") + SlaveNames(info, slots) +
                 Translate(L"\r\nso you need to execute this Vesk firmup software with each single device connected to the ") +
                 GetNomeStrumento(info.Ident().loggerCode()) + L".";
        return true;
    }
    if (info.TroppiSlave()) {
        const int excess = info.GetSlaveCount() - info.GetMaxSlaves();
        status = Translate(L"To run the Vesk firmup you have to remove ") + std::to_wstring(excess) +
                 Translate(excess < 2 ? L" slave" : L" slaves") + powercycle;
        return true;
    }
    return false;
}

std::wstring ExecuteStatus() { return ClickStatus(); }

}  // namespace vesk::update

const wchar_t* CUpdateProcedure::NonElencato(const IUSBConnection::ListingMisses& misses) {
    if (misses.unanswered > 0) return vesk::TextToTranslate(L"The instrument does not answer: unplug it and plug it in again");
    if (misses.busy > 0) return vesk::TextToTranslate(L"The instrument is in use by another program: close it and refresh");
    return nullptr;
}

void CUpdateProcedure::AggiornaStrumentiCollegati() {
    update_pending_ = false;
    versions_selectable_ = false;
    unmatched_.clear();
    SetStatus(Translate(L"Please wait..."), StatusColour::Normal);
    Msg(nullptr, status_text_);
    detection_.TerminaGestioneEventiSistema();
    surface_.EnableExecute(false);
    surface_.EnableAdvanced(false);
    SvuotaListe();

    std::vector<CDeviceInfo> found;
    IUSBConnection::ListingMisses misses;
    const bool listed = IConnectionStrumento::GetListaDeviceCollegati(found, false, &misses);
    if (found.empty()) {
        const bool silent = misses.unanswered > 0;
        last_refresh_ = silent   ? RefreshOutcome::NotIdentified
                        : listed ? RefreshOutcome::NoInstrument
                                 : RefreshOutcome::ListingFailed;
        // One that is there, silent or held by another program, is not "no gauge".
        const wchar_t* there = silent || !restart_pending_ ? NonElencato(misses) : nullptr;
        SetStatus(Translate(there              ? there
                            : restart_pending_ ? L"Please wait..."
                                               : L"No gauge is connected to any USB port"),
                  there ? StatusColour::Red : StatusColour::Normal);
        Msg(nullptr, status_text_);
        FineAggiornamento();
        return;
    }
    if (found.size() > 1) {
        last_refresh_ = RefreshOutcome::SeveralInstruments;
        wchar_t text[160];
        std::swprintf(text, 160, Translate(L"%d gauges are connected to USB ports. Only one can be connected.").c_str(),
                      int(found.size()));
        SetStatus(text, StatusColour::Red);
        Msg(nullptr, status_text_);
        FineAggiornamento();
        return;
    }

    restart_pending_ = false;
    const std::wstring boot_folder = main_folder_ + L"\\_BOOTER";
    const std::wstring acc_folder = main_folder_ + L"\\_ACCESSORI";
    device_info_.reset();
    device_info_.reset(new (std::nothrow) CDeviceInfo(found.front()));
    if (!device_info_) {
        last_refresh_ = RefreshOutcome::NoMemory;
        SetStatus(Translate(L"Memory problem. Please restart software..."), StatusColour::Red);
        Msg(nullptr, status_text_);
        // Detection comes back on, so that the next arrival refreshes again.
        FineAggiornamento();
        return;
    }
    catalogue_.Svuota();
    // Whatever the identification filled is planned; what it missed has no row.
    last_refresh_ = IConnectionStrumento::GetInfoFirmup(acc_folder, boot_folder, *device_info_, catalogue_,
                                                        main_folder_)
                        ? RefreshOutcome::Planned
                        : RefreshOutcome::NotIdentified;
    std::wstring refusal;
    net_rifiutata_ = device_info_->GetSlaveUpdate() != 0 && vesk::update::PlanAdmissionRefusal(*device_info_, refusal);
    ApplicaScelteRichieste();

    RigaMaster();
    LogUnit("Master", device_info_->Ident());
    if (device_info_->GetSlaveUpdate() != 0) RigheSlave();
    if (device_info_->GetOtherGaugeStorage()) RigheAltriStrumenti();
    if (!update_pending_ && BooterSlaveDovuto()) update_pending_ = true;
    if (last_refresh_ == RefreshOutcome::Planned && NessunFile()) RigheSenzaFile();
    RedrawRows();

    if (RegoleSlave()) return;
    StatoFinale();
}

bool CUpdateProcedure::NetUnread() const {
    return last_refresh_ == RefreshOutcome::Planned && device_info_ && device_info_->GetSlaveUpdate() != 0 &&
           device_info_->GetNetState() == CDeviceInfo::NetState::NotRead;
}

void CUpdateProcedure::SvuotaListe() {
    // The rows point into the device info and the catalogue: they go first.
    rows_.clear();
    surface_.EmptyDeviceList();
    versions_.clear();
    surface_.EmptyVersions();
}

void CUpdateProcedure::ApplicaScelteRichieste() {
    const std::vector<RequestedChoice> requested = std::move(requested_);
    requested_.clear();
    for (const RequestedChoice& rc : requested) {
        const FirmupFileList* list = nullptr;
        if (rc.serial == device_info_->Ident().ID_logger()) {
            list = catalogue_.GetFwList(rc.serial);
        } else if (device_info_->GetSlaveUpdate() != 0) {
            for (size_t n = 0; n < kNetSlots && !list; ++n)
                if (device_info_->NetTable().SlaveCode(n) != 0 &&
                    device_info_->SlaveIdent(n).ID_logger() == rc.serial)
                    list = catalogue_.GetFwListSlave(int(n), rc.serial);
        }
        const auto it = list ? std::find_if(list->begin(), list->end(),
                                            [&](const FirmupFileEntry& e) { return e.versionText == rc.version; })
                             : FirmupFileList::const_iterator{};
        if (!list || it == list->end()) {
            unmatched_.push_back({rc, list != nullptr});
            continue;
        }
        choices_.Insert(*it);
    }
}

void CUpdateProcedure::RequestChoices(std::vector<RequestedChoice> choices) { requested_ = std::move(choices); }

void CUpdateProcedure::RigaMaster() {
    const INFOIDENT& master = device_info_->Ident();
    const uint32_t serial = master.ID_logger();
    FirmupFileEntry* selected = Existing(catalogue_.GetFw(serial));
    const FirmupFileList* list = catalogue_.GetFwList(serial);
    if (!selected || !list) return;
    const int position = AddRow(&master, 0, kRowMaster, selected, list);
    FirmupFileEntry choice;
    const bool chosen = advanced_mode_ && choices_.Lookup(serial, choice);
    if (chosen) SetChosenEntry(choice, position);
    const uint32_t current = master.FirmwareVersionNumber();
    if (selected->versionNumber != 0 && (master.IsInBooter() || current < selected->versionNumber) &&
        (!advanced_mode_ || choice.versionNumber != current))
        update_pending_ = true;
    if (!selected->versionText.empty()) versions_selectable_ = true;
}

void CUpdateProcedure::RigheSlave() {
    std::vector<uint8_t> to_remove;
    device_info_->GetNonUpdatableSlaves(to_remove);
    for (size_t n = 0; n < kNetSlots; ++n) {
        if (device_info_->NetTable().SlaveCode(n) == 0) continue;
        const INFOIDENT& slave = device_info_->SlaveIdent(n);
        const uint32_t serial = slave.ID_logger();
        FirmupFileEntry* selected = Existing(catalogue_.GetFwSlave(int(n), serial));
        const FirmupFileList* list = catalogue_.GetFwListSlave(int(n), serial);
        const bool remove = std::find(to_remove.begin(), to_remove.end(), uint8_t(n)) != to_remove.end();
        // A slave to be removed is shown whether or not files were found for it.
        if ((selected && list) || remove) {
            const int position = AddRow(&slave, int(n) + 1, remove ? kRowSlaveToRemove : kRowSlave,
                                        selected, selected ? list : nullptr);
            FirmupFileEntry choice;
            const bool chosen = advanced_mode_ && selected && choices_.Lookup(serial, choice);
            if (chosen) SetChosenEntry(choice, position);
            const uint32_t current = slave.FirmwareVersionNumber();
            if (selected && selected->versionNumber != 0 &&
                (slave.IsInBooterOrZero() || current < selected->versionNumber) &&
                (!advanced_mode_ || choice.versionNumber != current))
                update_pending_ = true;
            if (selected && list && list->size() > 1 && !selected->versionText.empty())
                versions_selectable_ = true;
        }
        LogUnit("Slave", slave);
    }
}

void CUpdateProcedure::RigheAltriStrumenti() {
    const INFOIDENT& master = device_info_->Ident();
    const uint32_t serial = master.ID_logger();
    for (int kind = 0; kind < kOtherGaugeKinds; ++kind) {
        FirmupFileEntry* selected = Existing(catalogue_.GetOtherFw(kind, serial));
        const FirmupFileList* list = catalogue_.GetOtherFwList(kind, serial);
        if (selected && list) {
            const int position = AddRow(&master, kind + 1, kRowOtherGauge, selected, list, kind);
            FirmupFileEntry choice;
            if (advanced_mode_ && choices_.Lookup(serial, choice, kind)) SetChosenEntry(choice, position);
            // A key does not report which version of another gauge's firmware
            // it carries: in advanced mode a row is due when the user picked
            // another version than the newest.
            const uint32_t chosen = rows_[size_t(position)].chosen.versionNumber;
            if (!advanced_mode_ || (chosen != 0 && chosen != selected->versionNumber)) update_pending_ = true;
            if (list->size() > 1 && !selected->versionText.empty()) versions_selectable_ = true;
        }
        VLOG_INFO(kRefresh, "Caricabile: %s", Utf8(OtherGaugeName(kind)).c_str());
    }
}

bool CUpdateProcedure::NessunFile() const {
    return std::none_of(rows_.begin(), rows_.end(), [](const DeviceRowData& row) { return row.entry != nullptr; });
}

// With no file for any unit, the units found are still shown, so the user
// sees that the instrument was read and which folder was searched.
void CUpdateProcedure::RigheSenzaFile() {
    SvuotaListe();
    auto add = [this](const INFOIDENT* identity, int row_index, int kind) {
        const int position = AddRow(identity, row_index, kind, nullptr, nullptr);
        rows_[size_t(position)].no_file = kind != kRowSlaveToRemove;
        RedrawRow(position);
    };
    add(&device_info_->Ident(), 0, kRowMaster);
    if (device_info_->GetSlaveUpdate() == 0) return;
    std::vector<uint8_t> to_remove;
    device_info_->GetNonUpdatableSlaves(to_remove);
    for (size_t n = 0; n < kNetSlots; ++n) {
        if (device_info_->NetTable().SlaveCode(n) == 0) continue;
        const bool remove = std::find(to_remove.begin(), to_remove.end(), uint8_t(n)) != to_remove.end();
        add(&device_info_->SlaveIdent(n), int(n) + 1, remove ? kRowSlaveToRemove : kRowSlave);
    }
}

bool CUpdateProcedure::RegoleSlave() {
    std::wstring text;
    if (!vesk::update::PlanAdmissionRefusal(*device_info_, text)) return false;
    SetStatus(text, StatusColour::Red);
    Msg(nullptr, status_text_);
    FineAggiornamento();
    return true;
}

void CUpdateProcedure::StatoFinale() {
    bool execute = false;
    if (update_pending_ && advanced_mode_ && !installed_.Empty()) {
        SetStatus(Translate(L"Firmup finished"), StatusColour::Normal);
    } else if (update_pending_) {
        SetStatus(ClickStatus(), StatusColour::Normal);
        execute = true;
    } else if (NetUnread()) {
        // Its slaves were never seen: nothing says they are up to date.
        SetStatus(Translate(L"The net of slaves could not be read: replug the instrument and refresh"),
                  StatusColour::Red);
    } else if (last_refresh_ == RefreshOutcome::Planned && NessunFile()) {
        SetStatus(Translate(L"No update files for this instrument in ") + main_folder_, StatusColour::Normal);
    } else {
        SetStatus(Translate(L"Your system is up to date"), StatusColour::Normal);
    }
    surface_.EnableExecute(execute);
    Msg(nullptr, status_text_);
    if (advanced_mode_) {
        const int row = selected_row_ >= 0 ? selected_row_ : remembered_row_;
        if (row >= 0 && size_t(row) < rows_.size()) MostraVersioni(row);
    }
    if (versions_selectable_) surface_.EnableAdvanced(true);
    FineAggiornamento();
}

void CUpdateProcedure::FineAggiornamento() {
    MostraErroreCorsa();
    refresh_pending_ = false;
    surface_.Layout(VersionsVisible());
    detection_.AvviaGestioneEventiSistema();
}

void CUpdateProcedure::SceltePrese() {
    if (last_refresh_ != RefreshOutcome::Planned || !advanced_mode_ || status_colour_ == StatusColour::Red) return;
    update_pending_ = QualcosaVaAggiornato();
    StatoDaQualcosaVaAggiornato();
}

bool CUpdateProcedure::QualcosaVaAggiornato() {
    if (!device_info_) return false;
    auto due = [this](const INFOIDENT& ident, bool in_booter, const FirmupFileEntry& selected,
                      const DeviceRowData* row) {
        const uint32_t current = ident.FirmwareVersionNumber();
        if (!advanced_mode_) return in_booter || current < selected.versionNumber;
        const uint32_t chosen = row ? row->chosen.versionNumber : selected.versionNumber;
        return in_booter || current != chosen;
    };
    const INFOIDENT& master = device_info_->Ident();
    const uint32_t serial = master.ID_logger();
    if (const FirmupFileEntry* selected = Existing(catalogue_.GetFw(serial));
        selected && selected->versionNumber != 0 && due(master, master.IsInBooter(), *selected, RowOf(0, false)))
        return true;
    if (device_info_->GetSlaveUpdate() != 0) {
        for (size_t n = 0; n < kNetSlots; ++n) {
            if (device_info_->NetTable().SlaveCode(n) == 0) continue;
            const INFOIDENT& slave = device_info_->SlaveIdent(n);
            const FirmupFileEntry* selected = Existing(catalogue_.GetFwSlave(int(n), slave.ID_logger()));
            if (selected && catalogue_.GetFwListSlave(int(n), slave.ID_logger()) && selected->versionNumber != 0 &&
                due(slave, slave.IsInBooterOrZero(), *selected, RowOf(int(n) + 1, false)))
                return true;
        }
    }
    if (device_info_->GetOtherGaugeStorage()) {
        for (int kind = 0; kind < kOtherGaugeKinds; ++kind) {
            VLOG_INFO("CVESKFirmwareUpdaterDlg::QualcosaVaAggiornato", "Caricabile: %s",
                      Utf8(OtherGaugeName(kind)).c_str());
            if (Existing(catalogue_.GetOtherFw(kind, serial)) && catalogue_.GetOtherFwList(kind, serial)) return true;
        }
    }
    return BooterSlaveDovuto();
}

bool CUpdateProcedure::BooterSlaveDovuto() {
    if (!device_info_ || device_info_->GetSlaveUpdate() == 0) return false;
    for (size_t n = 0; n < kNetSlots; ++n) {
        if (device_info_->NetTable().SlaveCode(n) == 0) continue;
        for (const PlannedImage& image : ImmaginiPreviste(int(n) + 1))
            if (image.image == L"booter" && !image.conditional) return true;
    }
    return false;
}

const DeviceRowData* CUpdateProcedure::RowOf(int row_index, bool other_gauge) const {
    for (const DeviceRowData& row : rows_)
        if (row.row_index == row_index && (row.kind == kRowOtherGauge) == other_gauge) return &row;
    return nullptr;
}

int CUpdateProcedure::AddRow(const INFOIDENT* identity, int row_index, int kind, FirmupFileEntry* entry,
                             const FirmupFileList* list, int other_kind) {
    DeviceRowData row;
    row.kind = kind;
    row.identity = identity;
    row.entry = entry;
    row.list = list;
    if (entry) row.chosen = *entry;
    row.row_index = row_index;
    row.other_kind = other_kind;
    rows_.push_back(row);
    if (kind != kRowOtherGauge) rows_.back().writes = ImmaginiPreviste(row_index);
    surface_.AddDeviceRow(MakeRowView(rows_.back(), advanced_mode_, installed_));
    return int(rows_.size()) - 1;
}

std::wstring CUpdateProcedure::ActionText(const DeviceRowData& row) const {
    return ::ActionText(row, advanced_mode_, installed_);
}

void CUpdateProcedure::SetChosenEntry(const FirmupFileEntry& entry, int position) {
    if (position < 0 || size_t(position) >= rows_.size()) return;
    DeviceRowData& row = rows_[size_t(position)];
    row.chosen = entry;
    if (row.kind != kRowOtherGauge) row.writes = ImmaginiPreviste(row.row_index);
    RedrawRow(position);
}

void CUpdateProcedure::RedrawRow(int position) {
    if (position < 0 || size_t(position) >= rows_.size()) return;
    surface_.RedrawDeviceRow(position, MakeRowView(rows_[size_t(position)], advanced_mode_, installed_));
}

void CUpdateProcedure::RedrawRows() { surface_.RedrawAllDeviceRows(RowViews()); }

std::vector<DeviceRowView> CUpdateProcedure::RowViews() const {
    std::vector<DeviceRowView> views;
    for (const DeviceRowData& row : rows_) views.push_back(MakeRowView(row, advanced_mode_, installed_));
    return views;
}
