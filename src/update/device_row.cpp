#include "update/device_row.h"

#include "update/settings/engine.h"
#include "records/model_names.h"

using vesk::Translate;

std::wstring OtherGaugeName(int kind) {
    static const wchar_t* const kNames[kOtherGaugeKinds] = {
        L"    Dovo 4", L"    Karvo", L"    GPS Module", L"    Tessan", L"    Channel Expansion",
    };
    return kind >= 0 && kind < kOtherGaugeKinds ? kNames[kind] : L"";
}

std::wstring ActionText(const DeviceRowData& row, bool advanced_mode, const CDowngradeInfo& installed) {
    if (row.kind == kRowSlaveToRemove) return Translate(L"to be removed");
    if (row.no_file) return Translate(L"no update file");
    const uint32_t chosen = row.chosen.versionNumber;
    if (chosen == 0) return L"";
    const std::wstring will_get = Translate(L"will get ") + row.chosen.versionText;
    // A key device does not report the versions of the gauges it carries
    // firmware for, and a run loads every one it has: there is nothing to
    // compare the key's own firmware version with.
    if (row.kind == kRowOtherGauge || !row.identity) return will_get;
    const uint32_t current = row.identity->FirmwareVersionNumber();
    if (current == 0) return Translate(L"in booter:") + will_get;
    const bool done = advanced_mode && installed.Contains(row.identity->ID_logger(), row.other_kind);
    if (done) return Translate(L"installed ") + row.identity->FirmwareVersionText();
    if (current < chosen) return will_get;
    if (current == chosen) return Translate(L"will not be modified");
    return advanced_mode ? will_get : Translate(L"will not be modified");
}

DeviceRowView MakeRowView(const DeviceRowData& row, bool advanced_mode, const CDowngradeInfo& installed) {
    DeviceRowView v;
    v.kind = row.kind;
    v.row_index = row.row_index;
    v.serial = row.Serial();
    v.columns[kColumnRow] = row.row_index == 0 ? L"M" : std::to_wstring(row.row_index);
    if (row.kind == kRowOtherGauge) {
        v.columns[kColumnDevice] = OtherGaugeName(row.other_kind);
    } else if (row.identity) {
        v.columns[kColumnDevice] = GetNomeStrumento(row.identity->loggerCode());
        if (row.identity->IsInBooter()) v.columns[kColumnDevice] += L" *BOOTER*";
        v.columns[kColumnId] = row.identity->GetSerialText();
        v.columns[kColumnBooter] = row.identity->BooterVersionText();
        v.columns[kColumnFirmware] = row.identity->FirmwareVersionText();
    }
    if (row.entry) v.columns[kColumnAvailable] = row.entry->versionText;
    else if (row.no_file) v.columns[kColumnAvailable] = Translate(L"none");
    v.columns[kColumnAction] = ActionText(row, advanced_mode, installed);
    if (row.list)
        for (const auto& e : *row.list) v.versions.push_back(e.versionText);
    v.writes = row.writes;
    return v;
}
