#include "firmware_files/firmup_files_info.h"

#include <algorithm>
#include <cwchar>

#include "common/file_system.h"
#include "common/str_conv.h"
#include "log/evt_log.h"

namespace {

// The pattern with its first "*" replaced by replacement; a literal '%' is escaped
// when the result is a scan format.
std::wstring ReplaceStar(const std::wstring& pattern, const std::wstring& replacement, bool escape) {
    std::wstring out;
    bool replaced = false;
    for (const wchar_t c : pattern) {
        if (c == L'*' && !replaced) {
            out += replacement;
            replaced = true;
        } else if (c == L'%' && escape) {
            out += L"%%";
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring Format(const wchar_t* fmt, unsigned a, unsigned b, unsigned c = 0) {
    wchar_t buf[64];
    std::swprintf(buf, 64, fmt, a, b, c);
    return buf;
}

std::wstring FirmwareText(uint32_t v) {
    return Format(L"%02u.%02u.%02u", v / 10000, (v % 10000) / 100, v % 100);
}

}  // namespace

CFirmupFilesInfo::CFirmupFilesInfo() = default;
CFirmupFilesInfo::~CFirmupFilesInfo() = default;

void CFirmupFilesInfo::Svuota() {
    master_ = Unit{};
    for (auto& s : slaves_) s = Unit{};
    keyed_.clear();
}

FirmupFileEntry* CFirmupFilesInfo::Bind(FirmupFileEntry& entry, uint32_t serial) {
    if (entry.serial == 0) entry.serial = serial;
    return entry.serial == serial ? &entry : nullptr;
}

FirmupFileList* CFirmupFilesInfo::Bind(FirmupFileList& list, uint32_t serial) {
    const bool ours = std::all_of(list.begin(), list.end(),
                                  [serial](const FirmupFileEntry& e) { return e.serial == serial; });
    return ours ? &list : nullptr;
}

CFirmupFilesInfo::Unit* CFirmupFilesInfo::Slave(int slot) {
    return slot >= 0 && slot < kSlaveSlots ? &slaves_[slot] : nullptr;
}

CFirmupFilesInfo::Keyed& CFirmupFilesInfo::KeyedAt(Collection c, int slot, int key) {
    return keyed_[Key{c, slot, key}];
}

FirmupFileEntry* CFirmupFilesInfo::GetFw(uint32_t serial) { return Bind(master_.fw, serial); }
FirmupFileList* CFirmupFilesInfo::GetFwList(uint32_t serial) { return Bind(master_.fwList, serial); }
FirmupFileEntry* CFirmupFilesInfo::GetBooter(uint32_t serial) { return Bind(master_.booter, serial); }
FirmupFileList* CFirmupFilesInfo::GetBooterList(uint32_t serial) {
    return Bind(master_.booterList, serial);
}

template <typename T>
T* CFirmupFilesInfo::SlaveBind(int slot, T Unit::*member, uint32_t serial) {
    Unit* u = Slave(slot);
    return u ? Bind(u->*member, serial) : nullptr;
}

FirmupFileEntry* CFirmupFilesInfo::GetFwSlave(int slot, uint32_t serial) {
    return SlaveBind(slot, &Unit::fw, serial);
}
FirmupFileList* CFirmupFilesInfo::GetFwListSlave(int slot, uint32_t serial) {
    return SlaveBind(slot, &Unit::fwList, serial);
}
FirmupFileEntry* CFirmupFilesInfo::GetBooterSlave(int slot, uint32_t serial) {
    return SlaveBind(slot, &Unit::booter, serial);
}
FirmupFileList* CFirmupFilesInfo::GetBooterListSlave(int slot, uint32_t serial) {
    return SlaveBind(slot, &Unit::booterList, serial);
}

#define VESK_KEYED_ACCESSORS(Name, Coll)                                                       \
    FirmupFileEntry* CFirmupFilesInfo::Get##Name(int key, uint32_t serial, int slot) {          \
        if (slot != kMaster && !Slave(slot)) return nullptr;                                   \
        return Bind(KeyedAt(Collection::Coll, slot, key).selected, serial);                    \
    }                                                                                          \
    FirmupFileList* CFirmupFilesInfo::Get##Name##List(int key, uint32_t serial, int slot) {     \
        if (slot != kMaster && !Slave(slot)) return nullptr;                                   \
        return Bind(KeyedAt(Collection::Coll, slot, key).list, serial);                        \
    }
VESK_KEYED_ACCESSORS(Accessorio, Accessorio)
VESK_KEYED_ACCESSORS(OtherFw, OtherFw)
VESK_KEYED_ACCESSORS(OtherBooter, OtherBooter)
#undef VESK_KEYED_ACCESSORS

bool CFirmupFilesInfo::DaAggiornare(const FirmupFileList& list, const FirmupFileEntry& selected,
                                    const std::wstring& installed) {
    for (const auto& e : list)
        if (e.versionText == selected.versionText) return installed != selected.versionText;
    return false;
}

bool CFirmupFilesInfo::FwDaAggiornare(const std::wstring& installed) const {
    return DaAggiornare(master_.fwList, master_.fw, installed);
}

bool CFirmupFilesInfo::BooterDaAggiornare(const std::wstring& installed) const {
    return DaAggiornare(master_.booterList, master_.booter, installed);
}

bool CFirmupFilesInfo::FwSlaveDaAggiornare(const std::wstring& installed, int slot) const {
    if (slot < 0 || slot >= kSlaveSlots) return false;
    return DaAggiornare(slaves_[slot].fwList, slaves_[slot].fw, installed);
}

bool CFirmupFilesInfo::BooterSlaveDaAggiornare(const std::wstring& installed, int slot) const {
    if (slot < 0 || slot >= kSlaveSlots) return false;
    return DaAggiornare(slaves_[slot].booterList, slaves_[slot].booter, installed);
}

uint32_t CFirmupFilesInfo::GetNumVersioneDaFile(const std::wstring& file_name,
                                                const std::wstring& pattern) {
    const std::wstring fmt = ReplaceStar(pattern, L"%u", true);
    unsigned v = 0;
    if (std::swscanf(file_name.c_str(), fmt.c_str(), &v) >= 1) return v;
    VLOG_ERROR("CFirmupFilesInfo::GetNumVersioneDaFile", "Can't read version number from file %s (fmt %s)",
               vesk::to_utf8(file_name).c_str(), vesk::to_utf8(fmt).c_str());
    return 0;
}

std::vector<std::wstring> CFirmupFilesInfo::ListaFile(const std::wstring& folder,
                                                      const std::wstring& pattern) {
    std::vector<std::wstring> names;
    // An empty folder name names no folder, not the working folder.
    if (folder.empty()) return names;
    FS().ListFiles(folder, names, pattern);
    return names;
}

void CFirmupFilesInfo::ScanSingolo(const std::wstring& folder, const std::wstring& pattern,
                                   FirmupFileList& list, uint32_t serial) {
    list.clear();
    for (const auto& name : ListaFile(folder, pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, pattern);
        if (v < 10000) continue;
        list.push_back({serial, name, L"", FirmwareText(v), v});
    }
}

void CFirmupFilesInfo::ScanFwLingua(const std::wstring& folder, const std::wstring& fw_pattern,
                                    const std::wstring& lng_pattern, FirmupFileList& list,
                                    uint32_t serial) {
    list.clear();
    std::vector<std::pair<std::wstring, uint32_t>> fw_names;
    std::vector<std::wstring> lng_names;
    for (const auto& name : ListaFile(folder, fw_pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, fw_pattern);
        if (v <= 9999) continue;
        wchar_t digits[16];
        std::swprintf(digits, 16, L"%06d", static_cast<int>(v));
        const auto lng = ListaFile(folder, ReplaceStar(lng_pattern, digits, false));
        if (lng.empty()) continue;
        fw_names.emplace_back(name, v);
        lng_names.push_back(lng.front());
    }
    if (fw_names.size() != lng_names.size()) return;
    // Each list sorted on its own, then paired in order.
    std::sort(fw_names.begin(), fw_names.end());
    std::sort(lng_names.begin(), lng_names.end());
    for (size_t i = 0; i < fw_names.size(); ++i) {
        const auto& [name, v] = fw_names[i];
        list.push_back({serial, name, lng_names[i], FirmwareText(v), v});
    }
}

void CFirmupFilesInfo::ScanBooter(const std::wstring& folder, const std::wstring& pattern,
                                  FirmupFileList& list, uint32_t serial) {
    list.clear();
    for (const auto& name : ListaFile(folder, pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, pattern);
        list.push_back({serial, name, L"", Format(L"%02u.%02u", v / 100, v % 100), v});
    }
}

std::wstring CFirmupFilesInfo::ScegliUltimo(const FirmupFileList& list, FirmupFileEntry& selected) {
    if (list.empty()) return L"";
    selected = list.back();
    return selected.versionText;
}
