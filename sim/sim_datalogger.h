#pragma once
// The data-logger side of a simulated master: the configuration sections and
// their commands, the records and areas behind the configuration requests,
// the online answers, the direct flash write and, on the Pell family, the GPS
// requests (finish lines, track version, the 8 MB data area). Installed with
// the flash of every data-logger family; everything written is kept, so a
// read gives it back. Every request here needs the firmware running.
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/sim_memory.h"
#include "sim/sim_trace.h"

namespace vesk::sim {

class SimInstrument;

struct SimDataLogger {
    static constexpr size_t kRecordSize = 128, kOnlineSize = 256;
    static constexpr uint32_t kDirectWriteSize = 65536;

    // Configuration requests 32-35: the memory area, any 32-bit offset.
    SimMemory area;
    // Requests 17, 18: the recorded buffer the "ibr" header announces.
    std::vector<uint8_t> registrato;
    // Request 36: the "ict" record; 64: the ECU stream record; GPS 65: "nfp".
    std::array<uint8_t, kRecordSize> ict{}, ecu_stream{}, nfp{};
    // CMD_GETONLINE2; CMD_GETONLINESLAVE answers from each slave's serial.
    std::vector<uint8_t> online2 = std::vector<uint8_t>(kOnlineSize, 0);
    // The Pell data area (GPS 33, 49, 50, 63), 8 MB; erased by request 49.
    SimMemory dati;
    bool area_session = false, dati_session = false;
    // Every bulk write the memory-area and data-area requests took, in order.
    std::vector<std::vector<uint8_t>> area_writes, dati_writes;
};

// A record with the header rule of the capability record under tag, bit 0 of
// byte 12 set, and the payload bytes from 13 on made from seed.
std::array<uint8_t, SimDataLogger::kRecordSize> MakeSimRecord(const char* tag, uint32_t seed);

// Installs the data-logger requests. cfg_other answers the configuration
// requests this part does not know (the 32 KB configuration of the Pell
// family), or null to refuse them; gps: the family answers GPS requests.
void InstallDataLogger(SimInstrument& inst,
                       std::function<int(SimInstrument&, const ControlRequest&)> cfg_other,
                       bool gps);
// The state of an instrument's data-logger part, or null.
SimDataLogger* FindDataLogger(const SimInstrument& inst);
// The refusals of an instrument without a flash layout: every data-logger write.
void RefuseDataLoggerWrites(SimInstrument& inst);

}  // namespace vesk::sim
