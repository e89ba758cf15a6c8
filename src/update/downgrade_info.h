#pragma once
// A table of catalogue entries by unit: the versions the user picked in
// advanced mode, and the picked versions a run has already written.
//
// Other-gauge firmware carried by a key device belongs to the key's serial,
// as the key's own firmware does: those entries are kept apart by their
// other-gauge kind, so a version picked for one row never reaches another.
#include <cstdint>
#include <map>
#include <utility>

#include "firmware_files/firmup_files_info.h"

class CDowngradeInfo {
public:
    // The "kind" of a master's or a slave's own firmware.
    static constexpr int kOwnFirmware = -1;

    // Copies the stored entry into out; false (out untouched) when there is none.
    bool Lookup(uint32_t serial, FirmupFileEntry& out, int other_kind = kOwnFirmware) const;
    bool Contains(uint32_t serial, int other_kind = kOwnFirmware) const;
    // Keyed by the entry's own serial; replaces an entry of the same key.
    void Insert(const FirmupFileEntry& entry, int other_kind = kOwnFirmware);
    void Erase(uint32_t serial, int other_kind = kOwnFirmware);
    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    void Clear() { entries_.clear(); }

private:
    std::map<std::pair<uint32_t, int>, FirmupFileEntry> entries_;
};
