#pragma once
// One master as the program knows it: its identity, net table and the
// identities of its slaves, with what is derived from them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "records/info_ident.h"

class CDeviceInfo {
public:
    static constexpr uint8_t kGpsNone = 255;
    static constexpr uint8_t kGpsMany = 253;
    static constexpr uint8_t kGpsCameraUnusable = 254;
    static constexpr uint8_t kGpsProblemSlave = 6;
    static constexpr uint8_t kGpsMaster = 0;

    CDeviceInfo() = default;
    virtual ~CDeviceInfo() = default;
    CDeviceInfo(const CDeviceInfo&) = default;
    CDeviceInfo& operator=(const CDeviceInfo&) = default;

    INFOIDENT& Ident() { return ident_; }
    const INFOIDENT& Ident() const { return ident_; }
    NETIDENT& NetTable() { return net_; }
    const NETIDENT& NetTable() const { return net_; }
    // Slot = slave number - 1; index 32 or more gives slot 0.
    INFOIDENT& SlaveIdent(size_t slot) { return slaves_[slot < 32 ? slot : 0]; }
    const INFOIDENT& SlaveIdent(size_t slot) const { return slaves_[slot < 32 ? slot : 0]; }

    // Display name and GPS choice, after each net-table read. problem_slaves
    // holds 0-based slots of the slaves the read could not settle.
    void BuildDisplayName(const std::vector<uint8_t>& problem_slaves);
    const std::wstring& GetDisplayName() const { return display_name_; }
    void SetDevicePath(const std::wstring& p) { device_path_ = p; }
    const std::wstring& GetDevicePath() const { return device_path_; }

    // What the last net read found: the net, or a master whose family has no
    // net at all. NotRead also covers a read that failed.
    enum class NetState { NotRead, Read, NoNet };
    NetState GetNetState() const { return net_state_; }
    void SetNetState(NetState s) { net_state_ = s; }

    uint8_t GetGpsSlave() const { return gps_slave_; }
    // No GPS choice until the net is read again.
    void ResetGpsSlave() {
        gps_slave_ = kGpsNone;
        gps_ident_set_ = false;
    }
    // The identity of the chosen GPS slave; null when none was chosen.
    const INFOIDENT* GetGpsSlaveIdent() const;
    bool GetGpsCamera() const { return gps_camera_; }
    bool HasGpsSlave() const;

    // More slaves on the net (entries 0..30) than this master allows.
    bool TroppiSlave();
    // Booter combinations that must not be updated together; fills the
    // 0-based slots concerned.
    bool CheckSlaveConflicts(std::vector<uint8_t>& out) const;

    int GetSlaveUpdate() const { return slave_update_; }
    void SetSlaveUpdate(int v) { slave_update_ = v; }
    bool GetOtherGaugeStorage() const { return other_gauge_storage_; }
    void SetOtherGaugeStorage(bool v) { other_gauge_storage_ = v; }
    int GetMaxSlaves() const { return max_slaves_; }
    void SetMaxSlaves(int v) { max_slaves_ = v; }
    int GetSlaveCount() const { return slave_count_; }
    void AddNonUpdatableSlave(uint8_t slot) { non_updatable_.push_back(slot); }
    // Copies the slots of slaves this program does not update; true when any.
    bool GetNonUpdatableSlaves(std::vector<uint8_t>& out) const;

private:
    INFOIDENT ident_;
    NETIDENT net_;
    std::array<INFOIDENT, 32> slaves_{};
    // The pointer of the record is derived from these two, so copies aim at their own slot.
    uint8_t gps_slave_ = kGpsNone;
    bool gps_ident_set_ = false;
    bool gps_camera_ = false;
    int slave_update_ = 5;
    bool other_gauge_storage_ = false;
    std::vector<uint8_t> non_updatable_;
    std::wstring device_path_;
    std::wstring display_name_;
    NetState net_state_ = NetState::NotRead;
    int slave_count_ = 0;
    int max_slaves_ = 5;
};
