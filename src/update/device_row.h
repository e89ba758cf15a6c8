#pragma once
// One row of the device list: a master, a slave, a slave that must be
// removed, or firmware for another gauge carried by a key device.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "firmware_files/firmup_files_info.h"
#include "records/info_ident.h"
#include "update/downgrade_info.h"

enum DeviceRowKind : int32_t {
    kRowMaster = 0,
    kRowSlave = 1,
    kRowSlaveToRemove = 2,
    kRowOtherGauge = 3,
};

// Other-gauge kinds a key device can carry.
inline constexpr int kOtherGaugeKinds = 5;
// "    Dovo 4" ... ; the empty text outside 0..4.
std::wstring OtherGaugeName(int kind);

// An image a run would write to a unit, as the plan shows it.
struct PlannedImage {
    std::wstring image;    // "firmware", "booter", "language", "accessory 0" .. "accessory 2"
    std::wstring from;     // firmware and booter: the version the unit reports now
    std::wstring version;  // the file's version text
    uint32_t version_number = 0;
    std::wstring file;  // as the catalogue names it, within its folder
    // Written only when the firmware then running allows it (a master's
    // booter: its capability record is read only during the run).
    bool conditional = false;
};

struct DeviceRowData {
    int32_t kind = kRowMaster;
    // The row's identity inside the procedure's CDeviceInfo (master or slave record).
    const INFOIDENT* identity = nullptr;
    // The catalogue's selected entry and list of all entries for this device;
    // null when the catalogue has none (a slave to be removed may have none).
    FirmupFileEntry* entry = nullptr;
    const FirmupFileList* list = nullptr;
    // What a run will write: the selected entry, or the version picked in advanced mode.
    FirmupFileEntry chosen;
    // 0 master, slave number for slaves, other-gauge kind + 1; 255 before it is known.
    int32_t row_index = 255;
    bool no_file = false;  // a unit listed only to show it was found: the folder has no file for any unit
    // Other-gauge kind of a kind-3 row, CDowngradeInfo::kOwnFirmware otherwise.
    int other_kind = CDowngradeInfo::kOwnFirmware;
    // Every image a run would write to the row's unit, with the row's choice.
    std::vector<PlannedImage> writes;

    // The unit the row's choices are filed under.
    uint32_t Serial() const { return identity ? identity->ID_logger() : chosen.serial; }
};

// The device list's columns in display order.
enum DeviceColumn {
    kColumnRow,
    kColumnDevice,
    kColumnId,
    kColumnBooter,
    kColumnFirmware,
    kColumnAvailable,
    kColumnAction,
    kDeviceColumns,
};
using DeviceRowTexts = std::array<std::wstring, kDeviceColumns>;

// A row as a surface shows it: plain values, safe to hand to another thread.
struct DeviceRowView {
    DeviceRowTexts columns;
    int32_t kind = kRowMaster;
    int32_t row_index = 255;
    uint32_t serial = 0;
    // Version texts of the row's available list, in list order.
    std::vector<std::wstring> versions;
    // Every image a run would write to the row's unit.
    std::vector<PlannedImage> writes;
};

// The "Action" column: what a run would do to the row's unit.
std::wstring ActionText(const DeviceRowData& row, bool advanced_mode, const CDowngradeInfo& installed);
// Every column, from the row and its Action text.
DeviceRowView MakeRowView(const DeviceRowData& row, bool advanced_mode, const CDowngradeInfo& installed);
