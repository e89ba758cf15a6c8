#include "usb/usb_command_names.h"

#include <cstddef>

namespace {
struct Name {
    uint8_t code;
    const char* name;
};

const Name kMemory[] = {
    {1, "MEM_READ"},           {4, "MEM_READ128_SLAVE"},     {7, "MEM_READVERS"},
    {9, "MEM_WRITE"},          {49, "SLAVE_GETIDENT"},       {52, "SLAVE_GOTOBOOTER"},
    {53, "SLAVE_ERASEFIRMWARE"}, {55, "SLAVE_BULKWRITE"},    {56, "SLAVE_WRITMAINTOFIRM"},
    {61, "MEM_READ16_SLAVE"},  {70, "MEM_SLAVE_RWERASE_EFL"}, {71, "MEM_DIRECT_WRITE_EFL"},
    {80, "MEM_GET_INFOFWUPD"}, {81, "SLAVE_BOOTERERASE"},    {82, "SLAVE_BOOTERWRITE"},
};

const Name kQuarv3[] = {
    {1, "CMD_SETCONF"},          {4, "CMD_SETPCCONF"},          {8, "CMD_GET_SLAVTAB_NAMES"},
    {11, "CMD_GETONLINE"},       {12, "CMD_SET_NAME_SLAVE"},    {13, "CMD_DWNLDDATA"},
    {14, "CMD_GETONLINE2"},      {15, "CMD_SAVE_BTFWCODE"},     {16, "CMD_GETONLINESLAVE"},
    {18, "CMD_GETSTRUCTEXTFLASH"}, {19, "CMD_SETSL_CONF_TAB"},  {20, "CMD_SETCMDCONF2"},
    {21, "CMD_SETPCCONF2"},      {22, "CMD_SETCHFISICI"},       {23, "CMD_SETDISPCONF2"},
    {27, "CMD_GETNETTABLE"},     {28, "CMD_SETSTRINGHENUOVE"},  {29, "CMD_DT_DOWNLOAD"},
    {31, "CMD_SETALARMPROLOG"},  {32, "CMD_SETCANALI_FUNZIONI"},
};

struct Name16 {
    uint16_t code;
    const char* name;
};

const Name16 kCfg[] = {
    {0, "CFG_LEGGI"},          {1, "CFG_SCRIVI"},           {2, "CFG_INIZ_AGG"},
    {3, "CFG_FINE_AGG"},       {0x11, "CFG_LEGGI_IBR"},     {0x12, "CFG_LEGGI_REGISTRATO"},
    {0x20, "CFG_LEGGI_AREA"},  {0x21, "CFG_SCRIVI_AREA"},   {0x22, "CFG_INIZ_AREA"},
    {0x23, "CFG_FINE_AREA"},   {0x24, "CFG_LEGGI_ICT"},     {0x30, "CFG_LEGGI_DATI_SLAVE"},
    {0x31, "CFG_LEGGI_IDP"},   {0x40, "CFG_INFO_ECU_STREAM"},
};

const Name16 kGps[] = {
    {0x01, "GPS_SCRIVI_TRAGUARDI_HEADER"}, {0x02, "GPS_SCRIVI_TRAGUARDI_LL"},
    {0x11, "GPS_LEGGI_TRAGUARDI_HEADER"},  {0x12, "GPS_LEGGI_TRAGUARDI_LL"},
    {0x1F, "GPS_CANCELLA_TRAGUARDI"},      {0x21, "GPS_LEGGI_AREA"},
    {0x31, "GPS_INIZ_AREA"},               {0x32, "GPS_SCRIVI_AREA"},
    {0x3F, "GPS_FINE_AREA"},               {0x41, "GPS_VERSIONE_PISTE"},
};

template <typename T, size_t N, typename C>
const char* Find(const T (&table)[N], C code) {
    for (const auto& n : table)
        if (n.code == code) return n.name;
    return nullptr;
}
}  // namespace

const char* MemoryCommandName(uint8_t command) { return Find(kMemory, command); }
const char* Quarv3CommandName(uint8_t command) { return Find(kQuarv3, command); }
const char* CfgRequestName(uint16_t value) { return Find(kCfg, value); }
const char* GpsRequestName(uint16_t value) { return Find(kGps, value); }
