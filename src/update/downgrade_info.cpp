#include "update/downgrade_info.h"

bool CDowngradeInfo::Lookup(uint32_t serial, FirmupFileEntry& out, int other_kind) const {
    const auto it = entries_.find({serial, other_kind});
    if (it == entries_.end()) return false;
    out = it->second;
    return true;
}

bool CDowngradeInfo::Contains(uint32_t serial, int other_kind) const {
    return entries_.count({serial, other_kind}) != 0;
}

void CDowngradeInfo::Insert(const FirmupFileEntry& entry, int other_kind) {
    entries_[{entry.serial, other_kind}] = entry;
}

void CDowngradeInfo::Erase(uint32_t serial, int other_kind) { entries_.erase({serial, other_kind}); }
