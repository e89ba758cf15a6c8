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
    MEM_GET_INFOFWUPD = 80,
};
enum : uint8_t { CMD_GETONLINE = 11, CMD_DWNLDDATA = 13, CMD_SAVE_BTFWCODE = 15, CMD_GETNETTABLE = 27 };
// Configuration requests (0x02, wValue).
enum : uint16_t { CFG_LEGGI = 0, CFG_SCRIVI = 1, CFG_INIZ_AGG = 2, CFG_FINE_AGG = 3 };
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
