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

template <size_t N>
const char* Find(const Name (&table)[N], uint8_t code) {
    for (const auto& n : table)
        if (n.code == code) return n.name;
    return nullptr;
}
}  // namespace

const char* MemoryCommandName(uint8_t command) { return Find(kMemory, command); }
const char* Quarv3CommandName(uint8_t command) { return Find(kQuarv3, command); }
