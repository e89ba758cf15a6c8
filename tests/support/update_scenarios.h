#pragma once
// Simulated instruments and update folders that the run tests share: the
// scenario tests on the recording surface and the window tests run the same
// updates.
#include <string>

#include "firmware_files.h"
#include "temp_dir.h"

namespace vesk::test {

// One slave of a master's net, on firmware 01.00.00 unless extra says otherwise.
inline std::string Slave(int number, int code, long long serial, const std::string& extra = "") {
    return R"({"number": )" + std::to_string(number) + R"(, "code": )" + std::to_string(code) +
           R"(, "serial": )" + std::to_string(serial) + R"(, "firmware": "01.00.00")" + extra + "}";
}

// A transient fault (a scenario's fault object) met by every try of one
// request: the first try and each of its retries. Each copy counts the
// transfers the copies before it let through, so "at" n hits n, n+1, ...
inline std::string EveryTry(const std::string& fault, int tries = 3) {
    std::string out;
    for (int i = 0; i < tries; ++i) out += (i ? ", " : "") + fault;
    return out;
}

// A Pell DL master, serial 10 on 46.03.00: it updates its slaves. extra adds
// fields to the master.
inline std::string PellDL(const std::string& slaves, const std::string& extra = "") {
    return R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0)" + extra +
           R"(, "slaves": [)" + slaves + "]}]}";
}

// A Pell DL with three display and GPS slaves: slave 1's firmware is due,
// slave 2's booter is due, slave 4 runs its booter.
inline std::string ThreeSlavesDue(const std::string& master_extra = "") {
    return PellDL(Slave(1, 2006, 71, R"(, "booter": "01.02")") + ", " +
                      Slave(2, 2006, 72, R"(, "firmware": "01.05.10", "booter": "01.00")") + ", " +
                      Slave(4, 2017, 74, R"(, "in_booter": true)"),
                  master_extra);
}
// Their files; the folder holds _BOOTER.
inline void ThreeSlavesDueFiles(const TempDir& dir) {
    MakeFirmwareFile(dir, "Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10");
    MakeFirmwareFile(dir, "_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, 0x4000, "01.02");
    MakeFirmwareFile(dir, "Slv_GPS_020000_fw.mot", 0xE0000, 0x400, "02.00.00");
}

// A data key whose record asks the behaviour question, with its own
// firmware and other gauges' files to carry (one booter among them, in _BOOTER).
inline const char* const kDataKeyAsking =
    R"({"instruments": [{"code": 111, "serial": 20, "firmware": "01.00.00", "infofwupd_flags": 2}]})";
inline void DataKeyFiles(const TempDir& dir) {
    MakeFirmwareFile(dir, "DataKEY_010100_fw.mot", 0xE0000, 0x1000, "01.01.00");
    MakeFirmwareFile(dir, "Dovo4_020100_fw.mot", 0xE0000, 0x1000, "02.01.00");
    MakeFirmwareFile(dir, "Dovo4_020100_lng.mot", 0xE0000, 0x1000, "02.01.00");
    MakeFirmwareFile(dir, "Slv_Lambda_010203_fw.mhx", 0xFF0000, 0x400, "01.02.03");
    MakeFirmwareFile(dir, "_BOOTER/Booter_Dovo4eGPS0304_0105.mot", 0xFC000, 0x1000, "01.05");
}
// The gauge codes whose firmware the key carries afterwards.
inline constexpr uint16_t kDataKeyCarried[] = {1585, 1588, 549};

}  // namespace vesk::test
