#pragma once
// The net behind a simulated master: its net table (command 27, with the
// rebuild that keeps the table moving for a while), the slaves with their
// identity, mode and memory, the slave requests the master forwards, and the
// master's firmware-update capability record (request 80).
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "records/info_ident.h"

namespace vesk::sim {

class SimInstrument;

// The identity a scenario gives a master or a slave.
struct SimIdentityConfig {
    uint32_t code = 0;
    uint32_t serial = 0;
    uint8_t fw_major = 0, fw_minor = 0, fw_build = 0;  // BCD bytes
    uint8_t boot_major = 0, boot_minor = 0;
    bool in_booter = false;
    uint16_t tipoFamBoot = 0;
    // The version a written image without a version stamp gives the unit
    // (a rehearsal: the version of the chosen file's name); none: such an
    // image gives none, as a broken one would.
    std::optional<std::array<uint8_t, 3>> unstamped_firmware;
    std::optional<std::array<uint8_t, 2>> unstamped_booter;

    // The identity record of these fields (firmInEsec left to the caller).
    INFOIDENT Identity() const;
};

struct SimSlaveConfig : SimIdentityConfig {
    static constexpr uint32_t kAlways = 0xFFFFFFFF;

    uint8_t number = 1;  // 1..31; net-table slot number - 1
    // Faults: the code the net table lists when it differs from the identity's,
    // an identity that changes on every read, a slave that never answers, one
    // whose request 54 is answered while it stays in its booter (this many
    // times, or kAlways), one whose booter writes are accepted and never take.
    std::optional<uint16_t> net_code;
    bool identity_changes = false;
    bool unreadable = false;
    uint32_t stays_in_booter = 0;
    bool booter_never_takes = false;
};

struct SimNetConfig {
    std::vector<SimSlaveConfig> slaves;
    // Time a rebuild (command 27 with C4 = 1) keeps the table unsettled.
    uint32_t rebuild_ms = 4000;
    // The capability record: a flags byte (valid record), none (the request
    // is accepted but leaves no valid record), or a request that fails.
    std::optional<uint8_t> infofwupd_flags;
    bool infofwupd_fails = false;
};

// The flash regions ([start, end); empty when absent) of a slave kind, and the
// address its firmware erase request must carry.
struct SlaveRegions {
    uint32_t firmware_start = 0, firmware_end = 0;
    uint32_t language_start = 0, language_end = 0;
    uint32_t booter_start = 0, booter_end = 0;
    uint32_t erase_address = 0;
};
SlaveRegions SlaveRegionsOf(uint32_t code);

// What a slave's flash holds; empty when the instrument has no such slave.
std::vector<uint8_t> SlaveMemory(SimInstrument& inst, uint8_t number, uint32_t address, size_t n);
// Puts bytes into a slave's memory, as if it had always held them; false
// when there is no such slave.
bool WriteSlaveMemory(SimInstrument& inst, uint8_t number, uint32_t address,
                      const std::vector<uint8_t>& bytes);
// A slave's language area (its external flash); empty when it has none.
std::vector<uint8_t> SlaveLanguage(SimInstrument& inst, uint8_t number);
// A slave's identity as it now stands; false when there is no such slave.
bool SlaveIdentityOf(SimInstrument& inst, uint8_t number, INFOIDENT& out);


// Memory address of the 16-byte hours block and of the build byte block
// (at + 16, byte 6) for a booter-family kind, as the master reads them.
uint32_t SlaveHoursAddress(int kind);

// Plugs the net's commands into the instrument's handler tables.
void InstallNet(SimInstrument& inst, const SimNetConfig& cfg);

}  // namespace vesk::sim
