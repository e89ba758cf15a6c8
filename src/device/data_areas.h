#pragma once
// The data a master keeps besides its firmware, as whole files: the
// configuration, sensors, ECU driver, GPS finish lines, the "ict" record and
// the logged samples. Which of them a master has, their sizes, and reading
// and writing them through the connection's data-logger operations. The bytes
// are moved as the instrument holds them.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class IConnectionStrumento;

namespace data_areas {

enum class Area { Configurazione, Sensori, ECUDriver, Traguardi, ICT, Campioni };

struct AreaInfo {
    Area area;
    const char* name;  // as the terminal tool names it
    const char* file;  // file name in a backup
    bool writable;
};

inline constexpr AreaInfo kAreas[] = {
    {Area::Configurazione, "config", "config.bin", true},
    {Area::Sensori, "sensors", "sensors.bin", true},
    {Area::ECUDriver, "ecu", "ecu.bin", true},
    {Area::Traguardi, "finish-lines", "finish-lines.bin", true},
    {Area::ICT, "ict", "ict.bin", false},
    {Area::Campioni, "samples", "samples.bin", false},
};

// The entry of a name, or null.
const AreaInfo* Find(const std::string& name);
const AreaInfo& Info(Area area);

// The sizes a file of a writable area can have on any family.
std::vector<uint32_t> DimensioniPossibili(Area area);

// Whether this connection's family keeps the area (the finish lines of the
// data-logger families and the data key also need a GPS slave on the net);
// why says what is missing when it does not.
bool Presente(IConnectionStrumento& conn, Area area, std::string* why = nullptr);
// The size of the area on this family (0 for the samples, whose size the instrument tells).
uint32_t Dimensione(IConnectionStrumento& conn, Area area);

struct Esito {
    bool ok = false;
    std::string why;           // what went wrong, for a person
    uint64_t bytes = 0;        // bytes read or written
    bool riavviato = false;    // the instrument restarted to take up what was written
};

// Reads the area; sink receives the bytes in order as they come (the samples
// packet by packet) and may stop the read by returning false.
Esito Leggi(IConnectionStrumento& conn, Area area,
            const std::function<bool(const uint8_t*, size_t)>& sink);
Esito Leggi(IConnectionStrumento& conn, Area area, std::vector<uint8_t>& out);
// Writes the area from data (exactly Dimensione bytes) and reads it back to
// check; the configuration of the Quarv families refuses a file that differs
// from the instrument in the part no command writes.
Esito Scrivi(IConnectionStrumento& conn, Area area, const std::vector<uint8_t>& data);

}  // namespace data_areas
