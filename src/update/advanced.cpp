// Advanced mode: the Normal/Advanced toggle, the versions of a device row and
// the version the user picks for it.
#include "update/settings/engine.h"
#include "update/update_procedure.h"

using vesk::Translate;

bool CUpdateProcedure::VersionsVisible() const { return advanced_allowed_ && advanced_mode_ && !rows_.empty(); }

void CUpdateProcedure::OnNormalAdvanced() {
    advanced_mode_ = !advanced_mode_;
    for (size_t position = 0; position < rows_.size(); ++position) {
        const DeviceRowData& row = rows_[position];
        FirmupFileEntry choice;
        if (!choices_.Lookup(row.Serial(), choice, row.other_kind)) continue;
        // Normal mode writes what the catalogue selected; advanced mode what was picked.
        if (!advanced_mode_) choice = row.entry ? *row.entry : FirmupFileEntry{};
        SetChosenEntry(choice, int(position));
    }
    if (!advanced_mode_) {
        surface_.SetAdvancedCaption(Translate(L"Advanced"));
        remembered_row_ = selected_row_;
        selected_row_ = -1;
        // No versions shown, no row picked out.
        surface_.SelectDeviceRow(-1);
    } else {
        surface_.SetAdvancedCaption(Translate(L"Normal"));
        if (selected_row_ == -1 && remembered_row_ == -1) remembered_row_ = 0;
        MostraVersioni(remembered_row_);
    }
    RedrawRows();
    surface_.Layout(VersionsVisible());
    StatoDaQualcosaVaAggiornato();
}

void CUpdateProcedure::OnDeviceRowSelected(int position) {
    if (advanced_mode_) MostraVersioni(position);
}

void CUpdateProcedure::MostraVersioni(int position) {
    versions_.clear();
    if (position < 0 || size_t(position) >= rows_.size()) {
        selected_row_ = -1;
        surface_.EmptyVersions();
        return;
    }
    const int old = selected_row_;
    selected_row_ = position;
    // The row whose versions are shown is the selected one.
    surface_.SelectDeviceRow(position);
    if (old != position) RedrawRow(old);
    RedrawRow(position);
    surface_.EmptyVersions();
    const DeviceRowData& row = rows_[size_t(position)];
    if (row.list) {
        for (const FirmupFileEntry& e : *row.list) {
            versions_.insert(versions_.begin(), e);
            surface_.AddVersionAtTop(e.versionText);
        }
    }
    for (size_t v = 0; v < versions_.size(); ++v) {
        if (versions_[v].versionNumber == row.chosen.versionNumber) {
            surface_.SelectVersion(int(v));
            break;
        }
    }
}

void CUpdateProcedure::OnVersionClicked(int position) {
    if (selected_row_ < 0 || size_t(selected_row_) >= rows_.size()) return;
    if (position < 0 || size_t(position) >= versions_.size()) return;
    const DeviceRowData& row = rows_[size_t(selected_row_)];
    const uint32_t serial = row.Serial();
    const int other_kind = row.other_kind;
    // A new pick of a version already written is to be written again.
    if (choices_.Contains(serial, other_kind)) installed_.Erase(serial, other_kind);
    const FirmupFileEntry picked = versions_[size_t(position)];
    SetChosenEntry(picked, selected_row_);
    surface_.SelectVersion(position);
    RedrawRows();
    StatoDaQualcosaVaAggiornato();
    choices_.Insert(picked, other_kind);
}

void CUpdateProcedure::StatoDaQualcosaVaAggiornato() {
    const bool due = QualcosaVaAggiornato();
    if (due)
        SetStatus(Translate(L"Click 'Execute' button to proceed and firmup your system"), StatusColour::Normal);
    else
        SetStatus(Translate(L"Your system is up to date"), status_colour_);
    surface_.EnableExecute(due);
    Msg(nullptr, status_text_);
}
