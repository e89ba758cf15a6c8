#pragma once
// The update-relevant memory of a data-logger instrument: its firmware,
// booter and language flash, the 32 KB configuration, the sensors and ECU
// driver areas, and the requests that erase and program them. Installed on an
// instrument through its handler tables.
//
// Flash behaves like flash: an erase sets a region to 0xFF and programming
// can only clear bits (old AND new), so a block written over unerased flash
// shows up as corrupted. The modes follow the update run: the firmware is
// programmed by the booter (refused while the firmware runs), the booter by
// the firmware (a booter cannot rewrite itself), and the language and the
// configuration through the firmware; the sensors and ECU areas in either.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk::sim {

class SimInstrument;

struct SimFlashConfig {
    std::string family;  // "quarv3", "quarv4" or "pell"
    uint8_t config_fill = 0xFF;          // the configuration's bytes at start (0xFF: blank)
    std::vector<uint32_t> config_stuck;  // configuration offsets that never take a new value
};

struct SimFlashRegion {
    uint32_t start = 0, end = 0;  // [start, end); empty: the family has none
    bool Contains(uint32_t a, uint32_t n) const {
        return a >= start && uint64_t(a) + n <= end;
    }
    bool empty() const { return end <= start; }
};

// The layout a data-logger master of this type code and firmware has, as the
// connection factory picks its class: "quarv3", "quarv4", "pell", or empty
// when the code has no writer (key devices keep their own, sim_keys.h).
std::string DefaultFlashFamily(uint32_t code, uint8_t fw_major, uint8_t fw_minor, uint8_t fw_build);

class SimFlash {
public:
    static constexpr uint32_t kConfigSize = 32768;
    static constexpr uint32_t kSensorsAddress = 0xFFA100, kSensorsSize = 7936;
    static constexpr uint32_t kEcuAddress = 0xFF8000, kEcuSize = 8192;
    static constexpr uint16_t kLanguageCode = 564;
    static constexpr uint32_t kLanguageSize = 0x40000;

    // False (and nothing installed) for an unknown family.
    static bool Install(SimInstrument& inst, const SimFlashConfig& cfg);
    // The scenario's flash, else the default layout of the instrument's
    // family; an instrument with neither refuses every programming request.
    static void InstallFor(SimInstrument& inst, const std::optional<SimFlashConfig>& cfg);
    static bool KnownFamily(const std::string& family);

    SimFlashRegion firmware, booter;
    std::vector<uint8_t> language;       // empty: the family keeps no language
    std::vector<uint8_t> configuration;  // empty: the family keeps no 32 KB configuration
    std::vector<uint32_t> config_stuck;
    // What each configuration bulk write carried, in order.
    std::vector<std::vector<uint8_t>> config_writes;
    // Set by an erase or a write, cleared once the region's stamp was read:
    // the firmware's on the return to firmware, the booter's at the next
    // identity read. A changed image decides the version reported.
    bool firmware_changed = false, booter_changed = false;

    std::vector<uint8_t> FirmwareImage(SimInstrument& inst) const;
    std::vector<uint8_t> BooterImage(SimInstrument& inst) const;

private:
    int BooterRequest(SimInstrument& inst, uint8_t cmd, uint32_t address, uint16_t value);
    int SaveCode(SimInstrument& inst, uint16_t c1, uint16_t c2, uint16_t c3);
    int Cfg(SimInstrument& inst, uint16_t value, const std::vector<uint8_t>& payload);
    // Booter request 4 or 15 while the booter runs: back to firmware only with a valid image.
    void LeaveBooter(SimInstrument& inst);
    // Before an identity read: a written booter reports the version of its stamp.
    void TakeBooterVersion(SimInstrument& inst);

    bool language_session_ = false;
    bool config_session_ = false;
};

}  // namespace vesk::sim
