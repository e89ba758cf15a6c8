#pragma once
// The records instruments report about themselves: the identity record, the
// firmware-update capability record and the master's net table. They are wire
// formats, decoded and encoded byte by byte, little-endian.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

// Little-endian access to a byte array, independent of host order and alignment.
inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Fixed-size bytes with little-endian field access; the base of every record.
template <size_t N>
class RawRecord {
public:
    static constexpr size_t kSize = N;
    RawRecord() { bytes_.fill(0); }
    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    // Copies at most kSize bytes; the rest keep their value.
    void FromBytes(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n && i < N; ++i) bytes_[i] = p[i];
    }
    uint8_t u8(size_t off) const { return bytes_[off]; }
    uint16_t u16(size_t off) const { return get_le16(&bytes_[off]); }
    uint32_t u32(size_t off) const { return get_le32(&bytes_[off]); }
    void set_u8(size_t off, uint8_t v) { bytes_[off] = v; }
    void set_u16(size_t off, uint16_t v) { put_le16(&bytes_[off], v); }
    void set_u32(size_t off, uint32_t v) { put_le32(&bytes_[off], v); }
    bool operator==(const RawRecord& o) const { return bytes_ == o.bytes_; }
    bool operator!=(const RawRecord& o) const { return bytes_ != o.bytes_; }

private:
    std::array<uint8_t, N> bytes_;
};

}  // namespace vesk

// The 128-byte identity record of a master or a slave.
class INFOIDENT : public vesk::RawRecord<128> {
public:
    enum Offset : size_t {
        kOldQuarv3 = 0x00,
        kLoggerCode = 0x04,
        kDateBooter = 0x08,
        kVerBooter = 0x0C,
        kIdLogger = 0x10,
        kDateFirm = 0x14,
        kVerFirm = 0x18,
        kFirmInEsec = 0x1C,
        kTipoFamBoot = 0x1E,
        kTipoSchScelta = 0x20,
        kModoUtilizzo = 0x22,
        kCodeMemInstallata = 0x24,
        kModoComunic = 0x26,
        kDateIDN = 0x28,
        kVerSoft = 0x2C,
        kBitVari = 0x30,
        kWCodeBox = 0x32,
        kWCodePannello = 0x34,
        kFlagSviluppo = 0x36,
        kDwPersonaliz = 0x37,
        kVarianteIdent = 0x3B,
        kMinBatt = 0x3C,
        kMaxBatt = 0x3D,
        kOreMinuti = 0x3E,
        kGearCal = 0x6C,
        kAccCal = 0x7E,
    };
    static constexpr uint16_t kBooterRunning = 16;

    uint32_t loggerCode() const { return u32(kLoggerCode); }
    void set_loggerCode(uint32_t v) { set_u32(kLoggerCode, v); }
    uint32_t dateBooter() const { return u32(kDateBooter); }
    uint32_t verBooter() const { return u32(kVerBooter); }
    void set_verBooter(uint32_t v) { set_u32(kVerBooter, v); }
    uint32_t ID_logger() const { return u32(kIdLogger); }
    void set_ID_logger(uint32_t v) { set_u32(kIdLogger, v); }
    uint32_t dateFirm() const { return u32(kDateFirm); }
    uint32_t verFirm() const { return u32(kVerFirm); }
    void set_verFirm(uint32_t v) { set_u32(kVerFirm, v); }
    uint16_t firmInEsec() const { return u16(kFirmInEsec); }
    void set_firmInEsec(uint16_t v) { set_u16(kFirmInEsec, v); }
    uint16_t tipoFamBoot() const { return u16(kTipoFamBoot); }
    void set_tipoFamBoot(uint16_t v) { set_u16(kTipoFamBoot, v); }
    uint8_t Variante_Ident() const { return u8(kVarianteIdent); }
    void set_Variante_Ident(uint8_t v) { set_u8(kVarianteIdent, v); }
    uint16_t OreMinuti() const { return u16(kOreMinuti); }
    void set_OreMinuti(uint16_t v) { set_u16(kOreMinuti, v); }
    uint16_t ACCcal() const { return u16(kAccCal); }

    bool IsInBooter() const { return firmInEsec() == kBooterRunning; }
    bool IsInBooterOrZero() const { return firmInEsec() == kBooterRunning || firmInEsec() == 0; }
    // (major << 8) | minor of the firmware version.
    uint16_t GetMajorMinor() const;
    uint8_t GetBuild() const { return u8(kVerFirm + 1); }
    // Bytes from least significant: verFirm byte 0, 1, 3, 2 (orders as major, minor, build).
    uint32_t GetFirmwareVersionWord() const;
    void SetFirmwareVersion(uint8_t major, uint8_t minor, uint8_t build);
    // Compared with a reference (major << 8 | minor, build); a build of 0 or
    // with low byte 255 compares major and minor only.
    bool IsFirmwareOlderThan(uint16_t major_minor, uint32_t build) const;
    bool IsFirmwareNewerThan(uint16_t major_minor, uint32_t build) const;
    // " 1.05.07": major padded with a space, minor and build with '0', as hex digits.
    std::wstring FirmwareVersionText() const;
    // The text read back as a decimal number (stops at a non-digit); 0 in booter.
    uint32_t FirmwareVersionNumber() const;
    // "02.10"
    std::wstring BooterVersionText() const;
    // The four hex digits read as decimal (stops at a non-digit): 02.10 gives 210.
    uint32_t BooterVersionNumber() const;
    std::wstring GetSerialText() const;
    // Index 0..8; any other index reads entry 0.
    uint16_t GetGearCal(size_t index) const;
    // One "label - VALUE" line per field.
    std::wstring DumpText() const;
};

// The firmware-update capability record (and the data-logger records sharing
// its header rule under other tags).
class INFOFWUPD : public vesk::RawRecord<128> {
public:
    static constexpr uint16_t kPayloadLength = 120;
    static constexpr uint8_t kFlagBooterRewrite = 0x01;
    static constexpr uint8_t kFlagKeyBehaviour = 0x02;

    // A default record of the given tag: zero payload, version 1, length 120, checksum 0.
    explicit INFOFWUPD(const char* tag = "fup") : tag_{tag[0], tag[1], tag[2]} { InitDefault(); }
    void InitDefault();
    bool IsValid() const;
    uint8_t GetFlags() const { return u8(8); }
    // Recomputes the 16-bit payload sum at offset 6.
    void UpdateChecksum();
    uint16_t ComputeChecksum() const;

private:
    char tag_[3];
};

// The master's table of its net: 32 entries of 8 bytes after a 4-byte header.
// The device returns 256 bytes; entry 31's last four bytes lie beyond them.
class NETIDENT : public vesk::RawRecord<260> {
public:
    static constexpr size_t kEntries = 32;
    static constexpr size_t kReadSize = 256;

    struct Entry {
        uint16_t loggerCode = 0;
        uint32_t netId = 0;
        uint16_t spare = 0;
    };
    // Index 32 or more addresses entry 0.
    Entry GetEntry(size_t i) const;
    void SetEntry(size_t i, const Entry& e);
    uint16_t SlaveCode(size_t i) const { return GetEntry(i).loggerCode; }
    // Entries 0..31 with a non-zero code.
    size_t CountSlaves() const;
};
