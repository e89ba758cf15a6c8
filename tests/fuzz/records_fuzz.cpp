// libFuzzer target: the records as they arrive from a unit. The input is a
// master's identity (128 bytes), its firmware-update record (128), its net
// table as read (256) and then the identities of the slaves the table lists,
// in slot order; a short input leaves the rest zero. Everything the program
// makes of them is computed: version texts and numbers, the model names, the
// record checks, the net's counts and conflicts, the device's display name.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/evt_log.h"
#include "records/device_info.h"
#include "records/info_ident.h"
#include "records/model_names.h"

namespace {

// Every text a record gives is one line of printable characters.
void CheckText(const std::wstring& s) {
    for (const wchar_t c : s)
        if (c < 0x20 || c == 0x7F) std::abort();
}

void Texts(const INFOIDENT& r) {
    const std::wstring fw = r.FirmwareVersionText();
    const std::wstring boot = r.BooterVersionText();
    // "MM.mm.bb" and "MM.mm": the columns of the plan are laid out on them.
    if (fw.size() != 8 || boot.size() != 5) std::abort();
    CheckText(fw);
    CheckText(boot);
    CheckText(r.GetSerialText());
    (void)r.DumpText();
    if (r.FirmwareVersionNumber() > 999999 || r.BooterVersionNumber() > 9999) std::abort();
    if (r.IsInBooter() && r.FirmwareVersionNumber() != 0) std::abort();
    (void)r.GetFirmwareVersionWord();
    (void)r.GetMajorMinor();
    (void)r.IsFirmwareOlderThan(r.GetMajorMinor(), r.GetBuild());
    (void)r.IsFirmwareNewerThan(0x4304, 0x25);
    for (size_t i = 0; i < 10; ++i) (void)r.GetGearCal(i);
    CheckText(GetNomeStrumento(r.loggerCode()));
    (void)IsKnownModelCode(r.loggerCode());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    auto take = [&](auto& record, size_t n) {
        if (at < size) record.FromBytes(data + at, std::min(n, size - at));
        at += n;
    };
    CDeviceInfo info;
    take(info.Ident(), INFOIDENT::kSize);
    INFOFWUPD fwupd;
    take(fwupd, INFOFWUPD::kSize);
    take(info.NetTable(), NETIDENT::kReadSize);

    Texts(info.Ident());
    if (fwupd.IsValid()) {
        // A valid record's sum is what it carries.
        INFOFWUPD again = fwupd;
        again.UpdateChecksum();
        if (again != fwupd) std::abort();
    }
    (void)fwupd.GetFlags();

    const NETIDENT& net = info.NetTable();
    size_t present = 0;
    for (size_t slot = 0; slot < NETIDENT::kEntries; ++slot) {
        const NETIDENT::Entry e = net.GetEntry(slot);
        if (e.loggerCode == 0) continue;
        ++present;
        take(info.SlaveIdent(slot), INFOIDENT::kSize);
        Texts(info.SlaveIdent(slot));
        CheckText(GetNomeStrumento(e.loggerCode));
    }
    if (net.CountSlaves() != present) std::abort();

    info.SetMaxSlaves(int(data[0] % 8));
    (void)info.TroppiSlave();
    std::vector<uint8_t> slots;
    if (info.CheckSlaveConflicts(slots))
        for (const uint8_t s : slots)
            if (s >= NETIDENT::kEntries) std::abort();
    (void)info.HasGpsSlave();
    (void)info.GetGpsSlaveIdent();
    std::vector<uint8_t> problems;
    for (size_t slot = 0; slot < NETIDENT::kEntries && size > 0; ++slot)
        if (data[slot % size] & 1) problems.push_back(uint8_t(slot));
    info.BuildDisplayName(problems);
    CheckText(info.GetDisplayName());
    return 0;
}
