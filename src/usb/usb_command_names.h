#pragma once
// Names of the command codes, as failure messages and traces print them.
#include <cstdint>

// Name of a memory-request (0x0E) command, or nullptr for an unnamed code.
const char* MemoryCommandName(uint8_t command);
// Name of a command-request (0x0D) command, or nullptr.
const char* Quarv3CommandName(uint8_t command);

// Memory-request command codes the transport sends itself.
enum : uint8_t {
    MEM_READ = 1,
    MEM_READ128_SLAVE = 4,
    MEM_READVERS = 7,
    MEM_WRITE = 9,
    SLAVE_GETIDENT = 49,
    SLAVE_GOTOBOOTER = 52,
    SLAVE_GOTOFIRMWARE = 54,
    SLAVE_BULKWRITE = 55,
    MEM_READ16_SLAVE = 61,
    MEM_DIRECT_WRITE_EFL = 71,
    MEM_GET_INFOFWUPD = 80,
};
enum : uint8_t {
    CMD_COMANDO7 = 7,
    CMD_GETONLINE = 11,
    CMD_DWNLDDATA = 13,
    CMD_GETONLINE2 = 14,
    CMD_SAVE_BTFWCODE = 15,
    CMD_GETONLINESLAVE = 16,
    CMD_GETNETTABLE = 27,
};
// Configuration requests (0x02, wValue).
enum : uint16_t {
    CFG_LEGGI = 0,
    CFG_SCRIVI = 1,
    CFG_INIZ_AGG = 2,
    CFG_FINE_AGG = 3,
    CFG_LEGGI_IBR = 0x11,         // the "ibr" header of the recorded buffer
    CFG_LEGGI_REGISTRATO = 0x12,  // the recorded buffer
    CFG_LEGGI_AREA = 0x20,        // memory area, (offset, length) then a bulk read
    CFG_SCRIVI_AREA = 0x21,       // memory area, (offset, length) then a bulk write
    CFG_INIZ_AREA = 0x22,
    CFG_FINE_AREA = 0x23,
    CFG_LEGGI_ICT = 0x24,
    CFG_LEGGI_DATI_SLAVE = 0x30,  // wIndex the slave
    CFG_LEGGI_IDP = 0x31,         // wIndex the slave
    CFG_INFO_ECU_STREAM = 0x40,
};
// GPS requests (0x01, wValue).
enum : uint16_t {
    GPS_SCRIVI_TRAGUARDI_HEADER = 0x01,
    GPS_SCRIVI_TRAGUARDI_LL = 0x02,
    GPS_LEGGI_TRAGUARDI_HEADER = 0x11,
    GPS_LEGGI_TRAGUARDI_LL = 0x12,
    GPS_CANCELLA_TRAGUARDI = 0x1F,
    GPS_LEGGI_AREA = 0x21,
    GPS_INIZ_AREA = 0x31,
    GPS_SCRIVI_AREA = 0x32,
    GPS_FINE_AREA = 0x3F,
    GPS_VERSIONE_PISTE = 0x41,
};
// Name of a configuration or GPS request, as failure messages print it, or nullptr.
const char* CfgRequestName(uint16_t value);
const char* GpsRequestName(uint16_t value);
// Booter-request (0x0F) command codes of the image writers.
enum : uint8_t {
    BOOTER_ERASE = 1,
    BOOTER_WRITE = 2,
    BOOTER_SWITCH = 4,  // booter <-> firmware
    BOOTER_CLR_ECU = 7,
    BOOTER_WRITE_ECU = 8,
    BOOTER_CLR_SENSOR = 9,
    BOOTER_WRITE_SENSOR = 10,
    BOOTER_RESET = 15,
    BOOTER_INIZIA = 16,
    BOOTER_WRITENEW = 85,
};
enum : uint8_t { BULK_WRITE = 0, BULK_READ = 1 };

// Memory areas selected by a high address bit.
constexpr uint32_t kAreaBank1 = 0x40000000;
constexpr uint32_t kAreaGPS = 0x20000000;
