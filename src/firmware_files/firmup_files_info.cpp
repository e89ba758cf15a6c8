#include "firmware_files/firmup_files_info.h"

#include <fnmatch.h>
#include <strings.h>

#include <algorithm>
#include <cwchar>
#include <string_view>

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

CFirmupFilesInfo::Keyed& CFirmupFilesInfo::KeyedAt(Collection c, int slot, int key, int element) {
    return keyed_[Key{c, slot, key, element}];
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

FirmupFileEntry* CFirmupFilesInfo::GetOtherAccessorio(int kind, int element, uint32_t serial,
                                                      int slot) {
    if (slot != kMaster && !Slave(slot)) return nullptr;
    return Bind(KeyedAt(Collection::OtherAccessorio, slot, kind, element).selected, serial);
}

FirmupFileList* CFirmupFilesInfo::GetOtherAccessorioList(int kind, int element, uint32_t serial,
                                                         int slot) {
    if (slot != kMaster && !Slave(slot)) return nullptr;
    return Bind(KeyedAt(Collection::OtherAccessorio, slot, kind, element).list, serial);
}

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
    // The "*" stands for the version's digits and nothing else: the text
    // before and after it must be the pattern's, exactly, and the digits'
    // number must fit in 32 bits. Anything else (a blank, a sign, text after
    // the digits) is no version.
    const size_t star = pattern.find(L'*');
    if (star != std::wstring::npos && file_name.compare(0, star, pattern, 0, star) == 0) {
        const size_t tail = pattern.size() - star - 1;
        uint64_t v = 0;
        size_t i = star;
        for (; i < file_name.size() && file_name[i] >= L'0' && file_name[i] <= L'9'; ++i) {
            v = v * 10 + static_cast<uint64_t>(file_name[i] - L'0');
            if (v > UINT32_MAX) break;
        }
        if (i > star && v <= UINT32_MAX && file_name.size() - i == tail &&
            file_name.compare(i, tail, pattern, star + 1, tail) == 0)
            return static_cast<uint32_t>(v);
    }
    const std::wstring fmt = ReplaceStar(pattern, L"%u", true);
    VLOG_ERROR("CFirmupFilesInfo::GetNumVersioneDaFile", "Can't read version number from file %s (fmt %s)",
               vesk::to_utf8(file_name).c_str(), vesk::to_utf8(fmt).c_str());
    return 0;
}

// ---- the folder listings ----

// A folder's regular files, listed once; matching is done on the names in
// memory.
struct CFirmupFilesInfo::Elenco {
    std::vector<std::wstring> names;  // sorted by code point
    std::vector<std::string> utf8;    // the same names in UTF-8
    // (name in UTF-8 with ASCII letters in lower case, position in names),
    // sorted: a pattern without wildcards is looked up, not matched.
    std::vector<std::pair<std::string, size_t>> folded;
};

struct CFirmupFilesInfo::Passaggio {
    std::map<std::wstring, std::shared_ptr<const Elenco>> folders;
};

namespace {
thread_local CFirmupFilesInfo::Passaggio* t_passaggio = nullptr;

// As strncasecmp compares: ASCII letters without regard to case.
std::string Fold(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}
}  // namespace

CFirmupFilesInfo::UnPassaggio::UnPassaggio() : mine_(std::make_unique<Passaggio>()), previous_(t_passaggio) {
    if (!previous_) t_passaggio = mine_.get();
}

CFirmupFilesInfo::UnPassaggio::~UnPassaggio() {
    if (t_passaggio == mine_.get()) t_passaggio = previous_;
}

std::shared_ptr<const CFirmupFilesInfo::Elenco> CFirmupFilesInfo::ElencoDi(const std::wstring& folder) {
    if (t_passaggio) {
        const auto it = t_passaggio->folders.find(folder);
        if (it != t_passaggio->folders.end()) return it->second;
    }
    auto e = std::make_shared<Elenco>();
    // An empty folder name names no folder, not the working folder.
    if (!folder.empty()) FS().ListFiles(folder, e->names, L"*");
    e->utf8.reserve(e->names.size());
    e->folded.reserve(e->names.size());
    for (size_t i = 0; i < e->names.size(); ++i) {
        e->utf8.push_back(vesk::to_utf8(e->names[i]));
        e->folded.emplace_back(Fold(e->utf8.back()), i);
    }
    std::sort(e->folded.begin(), e->folded.end());
    if (t_passaggio) t_passaggio->folders[folder] = e;
    return e;
}

std::vector<std::wstring> CFirmupFilesInfo::Corrispondenti(const Elenco& folder, const std::wstring& pattern) {
    std::vector<std::wstring> out;
    if (pattern.find_first_of(L"*?[\\") == std::wstring::npos) {
        // One name without regard to case: a lookup, not a walk over the folder.
        const std::string key = Fold(vesk::to_utf8(pattern));
        auto it = std::lower_bound(folder.folded.begin(), folder.folded.end(), std::make_pair(key, size_t(0)));
        for (; it != folder.folded.end() && it->first == key; ++it) out.push_back(folder.names[it->second]);
        return out;
    }
    // As vesk::wildcard_match, with the pattern converted once and the names
    // whose text before the first wildcard differs passed over at once.
    if (pattern.empty() || pattern == L"*" || pattern == L"*.*") return folder.names;
    const std::string p = vesk::to_utf8(pattern);
    // The ASCII text before the first wildcard (other letters fold beyond strncasecmp).
    size_t literal = 0;
    while (literal < p.size() && static_cast<unsigned char>(p[literal]) < 0x80 &&
           std::string_view("*?[\\").find(p[literal]) == std::string_view::npos)
        ++literal;
    for (size_t i = 0; i < folder.names.size(); ++i) {
        const std::string& name = folder.utf8[i];
        if (name.size() < literal || ::strncasecmp(name.c_str(), p.c_str(), literal) != 0) continue;
        if (::fnmatch(p.c_str(), name.c_str(), FNM_CASEFOLD) == 0) out.push_back(folder.names[i]);
    }
    return out;
}

std::vector<std::wstring> CFirmupFilesInfo::ListaFile(const std::wstring& folder,
                                                      const std::wstring& pattern) {
    return Corrispondenti(*ElencoDi(folder), pattern);
}

void CFirmupFilesInfo::OrdinaPerVersione(FirmupFileList& list, const std::wstring& pattern, unsigned width) {
    // The lists are built in name order; a stable sort keeps it among equal versions.
    std::stable_sort(list.begin(), list.end(), [](const FirmupFileEntry& a, const FirmupFileEntry& b) {
        return a.versionNumber < b.versionNumber;
    });
    // One entry per version. Of two names for one version the plain one (the
    // pattern with the version's usual digits) is used, otherwise the shorter.
    FirmupFileList kept;
    for (auto& e : list) {
        if (kept.empty() || kept.back().versionNumber != e.versionNumber) {
            kept.push_back(std::move(e));
            continue;
        }
        wchar_t digits[16];
        std::swprintf(digits, 16, L"%0*u", int(width), unsigned(e.versionNumber));
        const std::wstring plain = ReplaceStar(pattern, digits, false);
        FirmupFileEntry& held = kept.back();
        const bool take = e.fileName == plain ||
                          (held.fileName != plain && e.fileName.size() < held.fileName.size());
        if (take) {
            std::swap(held.fileName, e.fileName);
            std::swap(held.secondFileName, e.secondFileName);
        }
        held.passedOver.push_back(e.fileName);
        VLOG_INFO("CFirmupFilesInfo::OrdinaPerVersione", "Files %s and %s have one version %s: %s is used",
                  vesk::to_utf8(held.fileName).c_str(), vesk::to_utf8(e.fileName).c_str(),
                  vesk::to_utf8(held.versionText).c_str(), vesk::to_utf8(held.fileName).c_str());
    }
    list = std::move(kept);
}

namespace {
// A version the name's text allows but its field cannot show is passed over.
bool InRange(uint32_t v, uint32_t max, const std::wstring& name) {
    if (v <= max) return true;
    VLOG_ERROR("CFirmupFilesInfo::Scan", "The version %u of file %s is beyond %u: file passed over", unsigned(v),
               vesk::to_utf8(name).c_str(), unsigned(max));
    return false;
}
constexpr uint32_t kMaxFirmware = 999999, kMaxBooter = 9999;
}  // namespace

void CFirmupFilesInfo::ScanSingolo(const std::wstring& folder, const std::wstring& pattern,
                                   FirmupFileList& list, uint32_t serial) {
    list.clear();
    for (const auto& name : ListaFile(folder, pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, pattern);
        if (v < 10000 || !InRange(v, kMaxFirmware, name)) continue;
        list.push_back({serial, name, L"", FirmwareText(v), v, {}});
    }
    OrdinaPerVersione(list, pattern, 6);
}

void CFirmupFilesInfo::ScanFwLingua(const std::wstring& folder, const std::wstring& fw_pattern,
                                    const std::wstring& lng_pattern, FirmupFileList& list,
                                    uint32_t serial) {
    list.clear();
    const auto listing = ElencoDi(folder);
    for (const auto& name : Corrispondenti(*listing, fw_pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, fw_pattern);
        if (v <= 9999 || !InRange(v, kMaxFirmware, name)) continue;
        wchar_t digits[16];
        std::swprintf(digits, 16, L"%06u", static_cast<unsigned>(v));
        // Each firmware file takes the language file of its own version.
        const auto lng = Corrispondenti(*listing, ReplaceStar(lng_pattern, digits, false));
        if (lng.empty()) continue;
        list.push_back({serial, name, lng.front(), FirmwareText(v), v, {}});
    }
    OrdinaPerVersione(list, fw_pattern, 6);
}

void CFirmupFilesInfo::ScanBooter(const std::wstring& folder, const std::wstring& pattern,
                                  FirmupFileList& list, uint32_t serial) {
    list.clear();
    for (const auto& name : ListaFile(folder, pattern)) {
        const uint32_t v = GetNumVersioneDaFile(name, pattern);
        // A name without a version is passed over, as a firmware file is.
        if (v == 0 || !InRange(v, kMaxBooter, name)) continue;
        list.push_back({serial, name, L"", Format(L"%02u.%02u", v / 100, v % 100), v, {}});
    }
    OrdinaPerVersione(list, pattern, 4);
}

std::wstring CFirmupFilesInfo::ScegliUltimo(const FirmupFileList& list, FirmupFileEntry& selected) {
    if (list.empty()) return L"";
    selected = list.back();
    return selected.versionText;
}
