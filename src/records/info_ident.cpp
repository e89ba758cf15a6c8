#include "records/info_ident.h"

#include <cwchar>

namespace {

// Reads leading decimal digits (after leading spaces), stopping at anything else.
uint32_t leading_decimal(const wchar_t* s) {
    while (*s == L' ') ++s;
    uint32_t v = 0;
    for (; *s >= L'0' && *s <= L'9'; ++s) v = v * 10 + static_cast<uint32_t>(*s - L'0');
    return v;
}

std::wstring hex(uint32_t v, int width) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%0*X", width, v);
    return buf;
}

}  // namespace

uint16_t INFOIDENT::GetMajorMinor() const {
    return static_cast<uint16_t>((u8(kVerFirm + 2) << 8) | u8(kVerFirm + 3));
}

uint32_t INFOIDENT::GetFirmwareVersionWord() const {
    return static_cast<uint32_t>(u8(kVerFirm)) | (static_cast<uint32_t>(u8(kVerFirm + 1)) << 8) |
           (static_cast<uint32_t>(u8(kVerFirm + 3)) << 16) |
           (static_cast<uint32_t>(u8(kVerFirm + 2)) << 24);
}

void INFOIDENT::SetFirmwareVersion(uint8_t major, uint8_t minor, uint8_t build) {
    set_u8(kVerFirm, 0);
    set_u8(kVerFirm + 1, build);
    set_u8(kVerFirm + 2, major);
    set_u8(kVerFirm + 3, minor);
}

bool INFOIDENT::IsFirmwareOlderThan(uint16_t major_minor, uint32_t build) const {
    const uint16_t v = GetMajorMinor();
    if (build == 0 || (build & 0xFF) == 0xFF) return v < major_minor;
    if (v != major_minor) return v < major_minor;
    return GetBuild() < build;
}

bool INFOIDENT::IsFirmwareNewerThan(uint16_t major_minor, uint32_t build) const {
    const uint16_t v = GetMajorMinor();
    if (build == 0 || (build & 0xFF) == 0xFF) return v > major_minor;
    if (v != major_minor) return v > major_minor;
    return GetBuild() > build;
}

std::wstring INFOIDENT::FirmwareVersionText() const {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%2X.%02X.%02X", u8(kVerFirm + 2), u8(kVerFirm + 3), u8(kVerFirm + 1));
    return buf;
}

uint32_t INFOIDENT::FirmwareVersionNumber() const {
    if (IsInBooter()) return 0;
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%2X%02X%02X", u8(kVerFirm + 2), u8(kVerFirm + 3), u8(kVerFirm + 1));
    return leading_decimal(buf);
}

std::wstring INFOIDENT::BooterVersionText() const {
    return hex(u8(kVerBooter + 2), 2) + L"." + hex(u8(kVerBooter + 3), 2);
}

uint32_t INFOIDENT::BooterVersionNumber() const {
    const std::wstring digits = hex(u8(kVerBooter + 2), 2) + hex(u8(kVerBooter + 3), 2);
    return leading_decimal(digits.c_str());
}

std::wstring INFOIDENT::GetSerialText() const { return std::to_wstring(ID_logger()); }

uint16_t INFOIDENT::GetGearCal(size_t index) const {
    return u16(kGearCal + 2 * (index <= 8 ? index : 0));
}

std::wstring INFOIDENT::DumpText() const {
    struct Field {
        const wchar_t* label;
        size_t offset;
        int bytes;
        int digits;
    };
    static const Field fields[] = {
        {L"oldQuarv3[0] - ", kOldQuarv3, 1, 2},
        {L"oldQuarv3[1] - ", kOldQuarv3 + 1, 1, 2},
        {L"oldQuarv3[2] - ", kOldQuarv3 + 2, 1, 2},
        {L"oldQuarv3[3] - ", kOldQuarv3 + 3, 1, 2},
        {L"loggerCode - ", kLoggerCode, 4, 8},
        {L"dateBooter - ", kDateBooter, 4, 8},
        {L"verBooter - ", kVerBooter, 4, 8},
        {L"ID_logger - ", kIdLogger, 4, 8},
        {L"dateFirm - ", kDateFirm, 4, 8},
        {L"verFirm - ", kVerFirm, 4, 8},
        {L"firmInEsec - ", kFirmInEsec, 2, 4},
        {L"tipoFamBoot - ", kTipoFamBoot, 2, 4},
        {L"tipoSchScelta - ", kTipoSchScelta, 2, 4},
        {L"modoUtilizzo - ", kModoUtilizzo, 2, 4},
        {L"codeMemInstallata - ", kCodeMemInstallata, 2, 4},
        {L"modoComunic - ", kModoComunic, 2, 4},
        {L"dateIDN - ", kDateIDN, 4, 8},
        {L"verSoft - ", kVerSoft, 4, 8},
        {L"BitVari - ", kBitVari, 2, 4},
        {L"wCodeBox - ", kWCodeBox, 2, 4},
        {L"wCodePannello - ", kWCodePannello, 2, 4},
        {L"flagSviluppo - ", kFlagSviluppo, 1, 2},
        {L"dwPersonaliz - ", kDwPersonaliz, 4, 8},
        {L"Variante_Ident - ", kVarianteIdent, 1, 2},
        {L"minBatt - ", kMinBatt, 1, 2},
        {L"maxBatt - ", kMaxBatt, 1, 2},
        {L"OreMinuti - ", kOreMinuti, 2, 4},
        {L"GEARcal[0] - ", kGearCal, 2, 2},
        {L"GEARcal[1] - ", kGearCal + 2, 2, 2},
        {L"GEARcal[2] - ", kGearCal + 4, 2, 2},
        {L"GEARcal[3] - ", kGearCal + 6, 2, 2},
        {L"GEARcal[4] - ", kGearCal + 8, 2, 2},
        {L"GEARcal[5] - ", kGearCal + 10, 2, 2},
        {L"GEARcal[6] - ", kGearCal + 12, 2, 2},
        {L"GEARcal[7] - ", kGearCal + 14, 2, 2},
        {L"ACCcal - ", kAccCal, 2, 4},
    };
    std::wstring out;
    for (const auto& f : fields) {
        const uint32_t v = f.bytes == 1 ? u8(f.offset) : f.bytes == 2 ? u16(f.offset) : u32(f.offset);
        out += f.label + hex(v, f.digits) + L"\n";
    }
    return out;
}

void INFOFWUPD::InitDefault() {
    for (size_t i = 0; i < kSize; ++i) set_u8(i, 0);
    for (size_t i = 0; i < 3; ++i) set_u8(i, static_cast<uint8_t>(tag_[i]));
    set_u8(3, 1);
    set_u16(4, kPayloadLength);
    UpdateChecksum();
}

uint16_t INFOFWUPD::ComputeChecksum() const {
    uint16_t sum = 0;
    for (size_t i = 8; i < kSize; ++i) sum = static_cast<uint16_t>(sum + u8(i));
    return sum;
}

void INFOFWUPD::UpdateChecksum() { set_u16(6, ComputeChecksum()); }

bool INFOFWUPD::IsValid() const {
    for (size_t i = 0; i < 3; ++i)
        if (u8(i) != static_cast<uint8_t>(tag_[i])) return false;
    return u8(3) == 1 && u16(4) == kPayloadLength && u16(6) == ComputeChecksum();
}

NETIDENT::Entry NETIDENT::GetEntry(size_t i) const {
    const size_t off = 4 + 8 * (i < kEntries ? i : 0);
    return Entry{u16(off), u32(off + 2), u16(off + 6)};
}

void NETIDENT::SetEntry(size_t i, const Entry& e) {
    const size_t off = 4 + 8 * (i < kEntries ? i : 0);
    set_u16(off, e.loggerCode);
    set_u32(off + 2, e.netId);
    set_u16(off + 6, e.spare);
}

size_t NETIDENT::CountSlaves() const {
    size_t n = 0;
    for (size_t i = 0; i < kEntries; ++i)
        if (SlaveCode(i) != 0) ++n;
    return n;
}
