#pragma once
// Where the data-logger areas lie and how their records are checked, shared
// by the connections and the simulator. The instruments fix the sizes and the
// exchanges; the positions of the configuration sections inside their blocks
// and the split of the finish lines into two tables are this program's, and
// every byte inside them is kept as read.
#include <array>
#include <cstdint>

#include "records/info_ident.h"

namespace datalogger {

// The Quarv configuration: two blocks read from memory bank 1.
inline constexpr uint32_t kConfAddress = 0x8000, kConfSize = 8192;
inline constexpr uint32_t kPcConfAddress = 0xC000, kPcConfSize = 16384;

enum class Blocco : uint8_t { Conf, PcConf };

// One section of the configuration and the command that writes it.
struct Sezione {
    const char* command_name;
    uint8_t command;
    Blocco block;
    uint32_t offset;  // within its block
    uint32_t size;
};

// In the order the configuration write sends them; the first nine in the
// order of their accessors, one after another in the 8 KB block.
inline constexpr Sezione kSezioni[] = {
    {"CMD_SETCONF", 1, Blocco::Conf, 0, 5000},
    {"CMD_SETCMDCONF2", 20, Blocco::Conf, 5000, 160},
    {"CMD_SETSL_CONF_TAB", 19, Blocco::Conf, 5160, 24},
    {"CMD_SET_NAME_SLAVE", 12, Blocco::Conf, 5184, 128},
    {"CMD_SETPCCONF2", 21, Blocco::Conf, 5312, 128},
    {"CMD_SETDISPCONF2", 23, Blocco::Conf, 5440, 128},
    {"CMD_SETCHFISICI", 22, Blocco::Conf, 5568, 32},
    {"CMD_SETSTRINGHENUOVE", 28, Blocco::Conf, 5600, 32},
    {"CMD_SETALARMPROLOG", 31, Blocco::Conf, 5632, 1000},
    {"CMD_SETPCCONF", 4, Blocco::PcConf, 0, kPcConfSize},
};
// The rest of the 8 KB block: two sections no command writes.
inline constexpr uint32_t kExtra1Offset = 6632, kExtra2Offset = 7412;
// A section command carries at most this many bytes of the main buffer.
inline constexpr uint32_t kSezionePezzo = 256;

// The section written by a command, or null.
inline const Sezione* SezioneDelComando(uint8_t command) {
    for (const Sezione& s : kSezioni)
        if (s.command == command) return &s;
    return nullptr;
}

// GPS finish lines: a header table (128 entries of 4 bytes) and a table of
// lines (512 entries of 16 bytes), at these addresses of the unit that holds them.
inline constexpr uint32_t kTraguardiHeaderAddress = 0x21000000, kTraguardiHeaderSize = 512;
inline constexpr uint32_t kTraguardiLineeAddress = 0x22000000, kTraguardiLineeSize = 8192;
inline constexpr uint32_t kTraguardiSize = kTraguardiHeaderSize + kTraguardiLineeSize;

// The Pell masters' data area moved by GPS requests.
inline constexpr uint32_t kAreaDatiSize = 8u << 20;

// The 8-byte payload of the configuration and GPS requests that move a part
// of an area: 32-bit offset and length, little-endian.
inline std::array<uint8_t, 8> OffsetLength(uint32_t offset, uint32_t length) {
    return {uint8_t(offset), uint8_t(offset >> 8), uint8_t(offset >> 16), uint8_t(offset >> 24),
            uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
}

// The 128-byte records of the data-logger operations share the header rule of
// the capability record under their own tag; "ict" and "idp" also need bit 0
// of byte 12.
inline constexpr size_t kRecordFlagsByte = 12;
inline bool RecordValido(const uint8_t* bytes128, const char* tag, bool needs_flag) {
    INFOFWUPD r(tag);
    r.FromBytes(bytes128, INFOFWUPD::kSize);
    return r.IsValid() && (!needs_flag || (r.u8(kRecordFlagsByte) & 1));
}
// The length an "ibr" header announces (bytes 8..11).
inline constexpr size_t kIbrLengthOffset = 8;
// The track data version and revision in an "nfp" record (bytes 8..11, 12..15).
inline constexpr size_t kNfpVersioneOffset = 8, kNfpRevisioneOffset = 12;

}  // namespace datalogger
