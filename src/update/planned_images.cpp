// What a run would write to each unit, worked out with the run's own rules
// from the plan's rows and the catalogue, so that the plan can show every
// image (not only the firmware of the Action column) and the run's result
// can check each of them.
#include <algorithm>

#include "update/update_checks.h"
#include "update/update_procedure.h"

using vesk::update::CatalogueFirmwareText;
using vesk::update::Existing;

namespace {

// The catalogue's rule: the file is one of the unit's list and its version
// text is not the one the unit reports.
bool Differs(const FirmupFileList* list, const FirmupFileEntry& entry, const std::wstring& installed) {
    if (!list) return false;
    const bool listed = std::any_of(list->begin(), list->end(),
                                    [&](const FirmupFileEntry& e) { return e.versionText == entry.versionText; });
    return listed && installed != entry.versionText;
}

PlannedImage Image(const std::wstring& image, const std::wstring& from, const FirmupFileEntry& e) {
    return {image, from, e.versionText, e.versionNumber, e.fileName};
}

}  // namespace

std::vector<PlannedImage> CUpdateProcedure::ImmaginiPreviste(int row_index) {
    std::vector<PlannedImage> out;
    if (!device_info_ || row_index < 0 || row_index > int(NETIDENT::kEntries)) return out;
    const CDeviceInfo& info = *device_info_;
    const uint32_t master_serial = info.Ident().ID_logger();
    const DeviceRowData* row = RowOf(row_index, false);
    // A run writes what the row chose (the run copies it over the catalogue's entry).
    auto firmware_entry = [&](FirmupFileEntry* selected) -> const FirmupFileEntry* {
        if (row && row->entry) return row->chosen.fileName.empty() ? nullptr : &row->chosen;
        return Existing(selected);
    };

    if (row_index == 0) {
        const INFOIDENT& m = info.Ident();
        const bool booter = m.IsInBooter();
        const uint32_t old = m.FirmwareVersionNumber();
        const FirmupFileEntry* fw = firmware_entry(catalogue_.GetFw(master_serial));
        const bool fw_step = booter || (fw && Differs(catalogue_.GetFwList(master_serial), *fw, CatalogueFirmwareText(m)));
        if (fw_step && fw && fw->versionNumber != 0 && (advanced_mode_ || old < fw->versionNumber))
            out.push_back(Image(L"firmware", booter ? L"in booter" : CatalogueFirmwareText(m), *fw));
        if (fw_step && fw && !fw->secondFileName.empty() && (advanced_mode_ || old < fw->versionNumber))
            out.push_back({L"language", L"", fw->versionText, fw->versionNumber, fw->secondFileName});
        const FirmupFileEntry* bt = Existing(catalogue_.GetBooter(master_serial));
        if (bt && bt->versionNumber != 0 && m.BooterVersionNumber() < bt->versionNumber &&
            Differs(catalogue_.GetBooterList(master_serial), *bt, m.BooterVersionText())) {
            out.push_back(Image(L"booter", m.BooterVersionText(), *bt));
            out.back().conditional = true;
        }
        for (int i = 0; i < 3; ++i) {
            const FirmupFileEntry* acc = Existing(catalogue_.GetAccessorio(i, master_serial));
            if (acc && acc->versionNumber != 0 && (advanced_mode_ || old < acc->versionNumber))
                out.push_back(Image(L"accessory " + std::to_wstring(i), L"", *acc));
        }
        return out;
    }

    // Slaves are written only through a master that updates them, on a net the rules admit.
    const size_t slot = size_t(row_index - 1);
    if (info.GetSlaveUpdate() == 0 || net_rifiutata_ || info.NetTable().SlaveCode(slot) == 0) return out;
    const INFOIDENT& s = info.SlaveIdent(slot);
    const uint32_t serial = s.ID_logger();
    const uint32_t old = s.FirmwareVersionNumber();
    const FirmupFileEntry* fw = firmware_entry(catalogue_.GetFwSlave(int(slot), serial));
    const bool fw_due = fw && (s.IsInBooterOrZero() ||
                               Differs(catalogue_.GetFwListSlave(int(slot), serial), *fw, CatalogueFirmwareText(s)));
    uint32_t fw_after = old;
    if (fw_due && fw->versionNumber != 0 && (advanced_mode_ || old < fw->versionNumber)) {
        out.push_back(Image(L"firmware", s.IsInBooterOrZero() ? L"in booter" : CatalogueFirmwareText(s), *fw));
        fw_after = fw->versionNumber;
    }
    const FirmupFileEntry* bt = Existing(catalogue_.GetBooterSlave(int(slot), serial));
    if (bt && bt->versionNumber != 0 && s.BooterVersionNumber() < bt->versionNumber &&
        Differs(catalogue_.GetBooterListSlave(int(slot), serial), *bt, s.BooterVersionText()))
        out.push_back(Image(L"booter", s.BooterVersionText(), *bt));
    if (fw_due && fw->versionNumber != 0 && !fw->secondFileName.empty() && (advanced_mode_ || old < fw->versionNumber))
        out.push_back({L"language", L"", fw->versionText, fw->versionNumber, fw->secondFileName});
    // Accessories follow the firmware the slave runs once its own is written.
    for (int e = 0; e < 3; ++e) {
        const FirmupFileEntry* acc = Existing(catalogue_.GetAccessorio(e, serial, int(slot)));
        if (acc && acc->versionNumber != 0 && (advanced_mode_ || fw_after < acc->versionNumber))
            out.push_back(Image(L"accessory " + std::to_wstring(e), L"", *acc));
    }
    return out;
}
