#include "records/device_info.h"

#include <algorithm>

#include "records/model_names.h"

namespace {

bool is_gps_receiver(uint32_t code) {
    return code == 2008 || code == 2017 || code == 2018 || code == 2019;
}

constexpr uint32_t kCameraUnit = 2016;
constexpr size_t kCountedEntries = 31;  // entries 0..30

}  // namespace

void CDeviceInfo::BuildDisplayName(const std::vector<uint8_t>& problem_slaves) {
    display_name_ = GetNomeStrumento(ident_.loggerCode()) + L" ID " + ident_.GetSerialText() +
                    L" [FW" + ident_.FirmwareVersionText() + L"]";

    gps_slave_ = kGpsNone;
    gps_ident_set_ = false;
    gps_camera_ = false;

    uint8_t candidate = 0;
    bool many = false;
    for (size_t i = 0; i < kCountedEntries; ++i) {
        if (net_.SlaveCode(i) == 0) continue;
        const INFOIDENT& s = slaves_[i];
        if (is_gps_receiver(s.loggerCode())) {
            if (candidate != 0) many = true;
            candidate = static_cast<uint8_t>(i + 1);
        } else if (s.loggerCode() == kCameraUnit && s.IsFirmwareNewerThan(0x7105, 0)) {
            gps_camera_ = true;
        }
    }

    const uint32_t code = ident_.loggerCode();
    if (!gps_camera_) {
        if (code == 61 || code == 64 || code == 65) {
            gps_slave_ = kGpsMaster;
        } else if (many) {
            gps_slave_ = kGpsMany;
        } else if (candidate != 0) {
            const bool problem = std::find(problem_slaves.begin(), problem_slaves.end(),
                                           static_cast<uint8_t>(candidate - 1)) != problem_slaves.end();
            if (problem) {
                gps_slave_ = kGpsProblemSlave;
            } else {
                gps_slave_ = candidate;
                gps_ident_set_ = true;
            }
        }
    } else if (code == 65) {
        gps_slave_ = kGpsMaster;
    } else if (code == 61) {
        gps_slave_ = ident_.IsFirmwareOlderThan(0x4304, 1) ? kGpsCameraUnusable : kGpsMaster;
    } else {
        gps_slave_ = kGpsCameraUnusable;
    }
}

const INFOIDENT* CDeviceInfo::GetGpsSlaveIdent() const {
    if (!gps_ident_set_ || gps_slave_ < 1 || gps_slave_ > 31) return nullptr;
    return &slaves_[gps_slave_ - 1];
}

bool CDeviceInfo::HasGpsSlave() const { return gps_slave_ <= 31 && gps_slave_ != kGpsProblemSlave; }

bool CDeviceInfo::TroppiSlave() {
    // Counted afresh on every call, so asking twice gives the same answer.
    slave_count_ = 0;
    for (size_t i = 0; i < kCountedEntries; ++i)
        if (net_.SlaveCode(i) != 0) ++slave_count_;
    return slave_count_ > max_slaves_;
}

bool CDeviceInfo::CheckSlaveConflicts(std::vector<uint8_t>& out) const {
    auto present = [&](size_t i) { return net_.SlaveCode(i) != 0; };

    for (size_t i = 0; i < kCountedEntries; ++i) {
        if (!present(i) || slaves_[i].verBooter() != 0x21010000) continue;
        for (size_t j = 0; j < kCountedEntries; ++j) {
            if (j == i || !present(j)) continue;
            const uint32_t b = slaves_[j].verBooter();
            if (b == 0x21010000 || b == 0x08020000) {
                out.push_back(static_cast<uint8_t>(i));
                return true;
            }
        }
    }

    static constexpr uint32_t kOldBooters[] = {0x03020000, 0x04020000, 0x05020000,
                                               0x06020000, 0x07020000, 0x08020000};
    bool conflict = false;
    for (size_t j = 0; j < kCountedEntries; ++j) {
        if (!present(j)) continue;
        if (std::find(std::begin(kOldBooters), std::end(kOldBooters), slaves_[j].verBooter()) ==
            std::end(kOldBooters))
            continue;
        for (size_t k = 0; k < kCountedEntries; ++k) {
            if (k == j || !present(k)) continue;
            if ((slaves_[j].ID_logger() & ~slaves_[k].ID_logger()) == 0) {
                // Listed once however many others it clashes with.
                out.push_back(static_cast<uint8_t>(j));
                conflict = true;
                break;
            }
        }
    }
    return conflict;
}

bool CDeviceInfo::GetNonUpdatableSlaves(std::vector<uint8_t>& out) const {
    out = non_updatable_;
    return !out.empty();
}
