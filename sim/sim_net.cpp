#include "sim/sim_net.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <map>
#include <memory>

#include "common/clock.h"
#include "sim/sim_image.h"
#include "records/datalogger_layout.h"
#include "sim/sim_instrument.h"
#include "usb/backend/usb_backend.h"
#include "records/info_ident.h"
#include "usb/usb_command_names.h"
#include "usb/usb_connection.h"

namespace vesk::sim {

namespace {

using vesk::usb::kUsbErrorPipe;
using vesk::usb::kUsbOk;

// Slave requests the master relays to the slave's flash.
constexpr uint8_t kSlaveEraseFirmware = 53, kSlaveBulkWrite = 55, kSlaveWriteMainToFirm = 56,
                  kSlaveLanguage = 70, kSlaveBooterErase = 81, kSlaveBooterWrite = 82;

struct Region {
    uint32_t start = 0, end = 0;  // [start, end); empty: the slave has none
    bool Contains(uint32_t a, uint32_t n) const { return a >= start && uint64_t(a) + n <= end; }
};

struct SimSlave {
    SimSlaveConfig cfg;
    INFOIDENT identity;
    SimMemory memory;
    // The language lives in the external flash (request 70), apart from the
    // firmware even where the slave kind gives both the same addresses.
    std::vector<uint8_t> language;
    uint32_t ident_reads = 0;
    uint32_t wake_refusals = 0;  // requests 54 ignored so far (stays_in_booter)
    SlaveRegions regions;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(256, 0xFF);  // filled by request 55
    bool firmware_touched = false, booter_touched = false;
};

struct NetState {
    SimNetConfig cfg;
    std::map<uint8_t, SimSlave> slaves;  // by slave number
    uint64_t rebuild_until = 0;
    uint32_t unsettled_reads = 0;
};

INFOIDENT SlaveIdentity(const SimSlaveConfig& c) {
    INFOIDENT r = c.Identity();
    r.set_firmInEsec(c.in_booter ? INFOIDENT::kBooterRunning : SimInstrument::kFirmwareRunning);
    return r;
}

// Where the master reads a slave's firmware build byte to fix its identity.
uint32_t SlaveBuildAddress(const SimSlave& s) {
    return SlaveHoursAddress(CUSBConnection::BooterFamilyClass(s.cfg.tipoFamBoot)) + 16 + 6;
}

// The blocks the master reads to fix a slave identity: the hours word and
// the build byte.
void FillSlaveMemory(SimSlave& s) {
    const uint32_t at = SlaveHoursAddress(CUSBConnection::BooterFamilyClass(s.cfg.tipoFamBoot));
    const uint8_t hours[2] = {0x01, 0x2C};
    s.memory.Write(at, hours, sizeof hours);
    s.memory.Write(SlaveBuildAddress(s), &s.cfg.fw_build, 1);
}

void FillNetTable(const NetState& st, uint8_t* out) {
    NETIDENT t;
    for (const auto& [n, s] : st.slaves) {
        NETIDENT::Entry e;
        e.loggerCode = s.cfg.net_code ? *s.cfg.net_code : uint16_t(s.cfg.code);
        e.netId = s.cfg.serial;
        t.SetEntry(n - 1u, e);
    }
    std::memcpy(out, t.data(), NETIDENT::kReadSize);
}

// Back to firmware: a written firmware image tells which version now runs.
void TakeFirmwareVersion(SimSlave& s) {
    uint8_t v[3];
    if (s.firmware_touched &&
        RegionVersion(s.memory, s.regions.firmware_start, s.regions.firmware_end, 3, v,
                      Unstamped(s.cfg.unstamped_firmware))) {
        s.identity.SetFirmwareVersion(v[0], v[1], v[2]);
        // The build byte the master reads follows the new firmware; inside
        // the firmware region it is the image's own byte, as on a real unit.
        const uint32_t build_at = SlaveBuildAddress(s);
        if (build_at < s.regions.firmware_start || build_at >= s.regions.firmware_end)
            s.memory.Write(build_at, &v[2], 1);
        s.firmware_touched = false;
    }
}

// An identity read after a booter write reports the new booter's version.
void TakeBooterVersion(SimSlave& s) {
    uint8_t v[3];
    if (s.booter_touched && RegionVersion(s.memory, s.regions.booter_start, s.regions.booter_end, 2, v,
                                          Unstamped(s.cfg.unstamped_booter))) {
        s.identity.set_u8(INFOIDENT::kVerBooter + 2, v[0]);
        s.identity.set_u8(INFOIDENT::kVerBooter + 3, v[1]);
        s.booter_touched = false;
    }
}

// A block of n bytes inside one of the finish-line tables.
bool InFinishLines(uint32_t address, uint32_t n) {
    auto in = [&](uint32_t start, uint32_t size) {
        return address >= start && uint64_t(address) + n <= uint64_t(start) + size;
    };
    return n > 0 && (in(datalogger::kTraguardiHeaderAddress, datalogger::kTraguardiHeaderSize) ||
                     in(datalogger::kTraguardiLineeAddress, datalogger::kTraguardiLineeSize));
}

SimSlave* Slave(NetState& st, const ControlRequest& rq) {
    auto it = st.slaves.find(rq.byte(3));
    return it == st.slaves.end() ? nullptr : &it->second;
}

// The slave requests that erase and program a slave's flash through the master.
void InstallSlaveFlash(SimInstrument& inst, const std::shared_ptr<NetState>& st) {
    // The slave must exist and answer. Its booter programs the firmware; the
    // running firmware programs the booter (a booter cannot rewrite itself)
    // and the language.
    auto slave_in = [st](SimInstrument& in, const ControlRequest& rq, bool booter) -> SimSlave* {
        SimSlave* s = Slave(*st, rq);
        if (!s || s->cfg.unreadable) {
            in.handler_note = "no such slave";
            return nullptr;
        }
        if (s->identity.IsInBooter() != booter) {
            in.handler_note = booter ? "refused: slave firmware running" : "refused: slave booter running";
            return nullptr;
        }
        return s;
    };
    auto booter_runs = [slave_in](SimInstrument& in, const ControlRequest& rq) { return slave_in(in, rq, true); };
    auto firmware_runs = [slave_in](SimInstrument& in, const ControlRequest& rq) { return slave_in(in, rq, false); };
    inst.SetMemoryHandler(kSlaveBulkWrite, [st, firmware_runs](SimInstrument& in, const ControlRequest& rq) {
        // Toward the finish-line tables the unit stores the main buffer at the
        // address: the GPS slave named, or the master itself (number 0).
        if (InFinishLines(rq.address(), rq.word(4))) {
            const uint32_t n = rq.word(4);
            if (rq.byte(3) == 0) {
                in.memory().Write(rq.address(), in.main_buffer().data(), n);
                return int(kUsbOk);
            }
            SimSlave* gps = firmware_runs(in, rq);
            if (!gps) return int(kUsbErrorPipe);
            gps->memory.Write(rq.address(), in.main_buffer().data(), n);
            return int(kUsbOk);
        }
        SimSlave* s = Slave(*st, rq);
        if (!s) return int(kUsbOk);  // nobody to take it: accepted, as the master does
        if (s->cfg.unreadable) return int(kUsbErrorPipe);
        const uint32_t n = std::min<uint32_t>(rq.word(4), uint32_t(s->buffer.size()));
        std::copy(in.main_buffer().begin(), in.main_buffer().begin() + n, s->buffer.begin());
        return int(kUsbOk);
    });
    inst.SetMemoryHandler(kSlaveEraseFirmware, [booter_runs](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = booter_runs(in, rq);
        if (!s) return int(kUsbErrorPipe);
        const SlaveRegions& r = s->regions;
        if (r.firmware_end <= r.firmware_start || rq.address() != r.erase_address) {
            in.handler_note = "refused: wrong erase address";
            return int(kUsbErrorPipe);
        }
        s->memory.Fill(r.firmware_start, 0xFF, r.firmware_end - r.firmware_start);
        s->firmware_touched = true;
        return int(kUsbOk);
    });
    inst.SetMemoryHandler(kSlaveWriteMainToFirm, [booter_runs](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = booter_runs(in, rq);
        if (!s) return int(kUsbErrorPipe);
        const Region fw{s->regions.firmware_start, s->regions.firmware_end};
        if (rq.word(4) != 256 || !fw.Contains(rq.address(), 256)) {
            in.handler_note = "refused: outside the firmware";
            return int(kUsbErrorPipe);
        }
        ProgramBits(s->memory, rq.address(), s->buffer.data(), 256);
        s->firmware_touched = true;
        return int(kUsbOk);
    });
    inst.SetMemoryHandler(kSlaveLanguage, [firmware_runs](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = firmware_runs(in, rq);
        if (!s) return int(kUsbErrorPipe);
        if (s->language.empty()) {
            in.handler_note = "refused: no language";
            return int(kUsbErrorPipe);
        }
        if (rq.word(4) == 259) {
            std::fill(s->language.begin(), s->language.end(), uint8_t(0xFF));
            return int(kUsbOk);
        }
        const uint32_t at = rq.address();
        if (rq.word(4) != 258 || uint64_t(at) + 256 > s->language.size()) {
            in.handler_note = "refused: outside the language";
            return int(kUsbErrorPipe);
        }
        for (size_t i = 0; i < 256; ++i) s->language[at + i] &= s->buffer[i];
        return int(kUsbOk);
    });
    inst.SetMemoryHandler(kSlaveBooterErase, [firmware_runs](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = firmware_runs(in, rq);
        if (!s) return int(kUsbErrorPipe);
        const Region b{s->regions.booter_start, s->regions.booter_end};
        if (b.end <= b.start) {
            in.handler_note = "refused: no booter";
            return int(kUsbErrorPipe);
        }
        // A booter that never takes: accepted, and the old booter stays.
        if (s->cfg.booter_never_takes) return int(kUsbOk);
        s->memory.Fill(b.start, 0xFF, b.end - b.start);
        s->booter_touched = true;
        return int(kUsbOk);
    });
    inst.SetMemoryHandler(kSlaveBooterWrite, [firmware_runs](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = firmware_runs(in, rq);
        if (!s) return int(kUsbErrorPipe);
        const Region b{s->regions.booter_start, s->regions.booter_end};
        // Low 16 bits: offset within the booter region; top byte: the block's sum.
        const uint32_t at = b.start + (rq.address() & 0xFFFF);
        if (rq.word(4) != 256 || b.end <= b.start || !b.Contains(at, 256)) {
            in.handler_note = "refused: outside the booter";
            return int(kUsbErrorPipe);
        }
        uint8_t sum = 0;
        for (uint8_t x : s->buffer) sum = uint8_t(sum + x);
        if (sum != uint8_t(rq.address() >> 16)) {
            in.handler_note = "refused: bad block sum";
            return int(kUsbErrorPipe);
        }
        if (s->cfg.booter_never_takes) return int(kUsbOk);
        ProgramBits(s->memory, at, s->buffer.data(), 256);
        s->booter_touched = true;
        return int(kUsbOk);
    });
}

}  // namespace

SlaveRegions SlaveRegionsOf(uint32_t code) {
    struct Row {
        std::vector<uint32_t> codes;
        SlaveRegions r;
    };
    static const std::vector<Row> rows = {
        {{58}, {0xFE0000, 0xFFC000, 0, 0, 0xFFC000, 0x1000000, 0}},
        {{105}, {0xE0000, 0xFC000, 0, 0, 0xFC000, 0x100000, 0}},
        {{321, 2006, 2013, 2014}, {0xFF0000, 0xFFC000, 0, 0, 0xFFC000, 0x1000000, 0}},
        {{2008, 2017, 2018}, {0xE0000, 0xF8000, 0, 0, 0xFC000, 0x100000, 0x70000}},
        {{2010, 2011}, {0xE0000, 0xFC000, 0, 0, 0xFC000, 0x100000, 0x70000}},
        {{2021, 2024, 2025}, {0xFC0000, 0x1000000, 0xFC0000, 0x1000000, 0xDF0000, 0xDF4000, 0}},
        {{2022}, {0xFE0000, 0xFF8000, 0, 0, 0xFFC000, 0xFFF000, 0}},
    };
    for (const Row& row : rows)
        if (std::find(row.codes.begin(), row.codes.end(), code) != row.codes.end()) return row.r;
    return {};
}

uint32_t SlaveHoursAddress(int kind) {
    return kind == 11 ? 0xFF000A : kind == 14 ? 0x0E000A : 0xFE000A;
}

namespace {

// Handlers own the net; the registry only finds it while the instrument lives.
std::map<const SimInstrument*, std::weak_ptr<NetState>>& Nets() {
    static std::map<const SimInstrument*, std::weak_ptr<NetState>> nets;
    return nets;
}

SimSlave* FindSlave(SimInstrument& inst, uint8_t number) {
    auto it = Nets().find(&inst);
    if (it == Nets().end()) return nullptr;
    const auto st = it->second.lock();
    if (!st) return nullptr;
    auto s = st->slaves.find(number);
    return s == st->slaves.end() ? nullptr : &s->second;  // kept alive by the instrument
}

}  // namespace

std::vector<uint8_t> SlaveMemory(SimInstrument& inst, uint8_t number, uint32_t address, size_t n) {
    SimSlave* s = FindSlave(inst, number);
    return s ? s->memory.Read(address, n) : std::vector<uint8_t>();
}

bool WriteSlaveMemory(SimInstrument& inst, uint8_t number, uint32_t address,
                      const std::vector<uint8_t>& bytes) {
    SimSlave* s = FindSlave(inst, number);
    if (s) s->memory.Write(address, bytes);
    return s != nullptr;
}

std::vector<uint8_t> SlaveLanguage(SimInstrument& inst, uint8_t number) {
    SimSlave* s = FindSlave(inst, number);
    return s ? s->language : std::vector<uint8_t>();
}

INFOIDENT SimIdentityConfig::Identity() const {
    INFOIDENT r;
    r.set_loggerCode(code);
    r.set_ID_logger(serial);
    r.SetFirmwareVersion(fw_major, fw_minor, fw_build);
    r.set_u8(INFOIDENT::kVerBooter + 2, boot_major);
    r.set_u8(INFOIDENT::kVerBooter + 3, boot_minor);
    r.set_tipoFamBoot(tipoFamBoot);
    return r;
}

bool SlaveIdentityOf(SimInstrument& inst, uint8_t number, INFOIDENT& out) {
    SimSlave* s = FindSlave(inst, number);
    if (s) out = s->identity;
    return s != nullptr;
}

void InstallNet(SimInstrument& inst, const SimNetConfig& cfg) {
    auto st = std::make_shared<NetState>();
    Nets()[&inst] = st;
    st->cfg = cfg;
    for (const auto& c : cfg.slaves) {
        SimSlave s;
        s.cfg = c;
        s.identity = SlaveIdentity(c);
        s.regions = SlaveRegionsOf(c.code);
        if (s.regions.language_end > s.regions.language_start)
            s.language.assign(s.regions.language_end - s.regions.language_start, 0xFF);
        FillSlaveMemory(s);
        st->slaves[c.number] = std::move(s);
    }

    inst.SetQuarv3Handler(CMD_GETNETTABLE, [st](SimInstrument& in, const ControlRequest& rq) {
        const uint64_t now = vesk::process_clock().now_ms();
        if (rq.word(7) == 1) {
            st->rebuild_until = now + st->cfg.rebuild_ms;
            return int(kUsbOk);
        }
        uint8_t* buf = in.main_buffer().data();
        FillNetTable(*st, buf);
        // While the master rebuilds, its table is half-made and moves between reads.
        if (now < st->rebuild_until) {
            ++st->unsettled_reads;
            buf[0] = uint8_t(st->unsettled_reads);
            buf[1] = uint8_t(st->unsettled_reads >> 8);
        }
        return int(kUsbOk);
    });

    inst.SetMemoryHandler(SLAVE_GETIDENT, [st](SimInstrument& in, const ControlRequest& rq) {
        SimSlave* s = Slave(*st, rq);
        uint8_t* buf = in.main_buffer().data();
        if (!s) {
            std::memset(buf, 0, INFOIDENT::kSize);
            return int(kUsbOk);
        }
        if (s->cfg.unreadable) return int(kUsbErrorPipe);
        TakeBooterVersion(*s);
        ++s->ident_reads;
        INFOIDENT r = s->identity;
        if (s->cfg.identity_changes) r.set_u8(INFOIDENT::kOldQuarv3, uint8_t(s->ident_reads));
        std::memcpy(buf, r.data(), INFOIDENT::kSize);
        return int(kUsbOk);
    });

    auto set_mode = [st](bool booter) {
        return [st, booter](SimInstrument& in, const ControlRequest& rq) {
            if (SimSlave* s = Slave(*st, rq)) {
                if (s->cfg.unreadable) return int(kUsbErrorPipe);
                if (!booter && s->identity.IsInBooter()) {
                    // A slave that will not leave its booter answers and stays.
                    const uint32_t refusals = s->cfg.stays_in_booter;
                    if (refusals == SimSlaveConfig::kAlways || s->wake_refusals < refusals) {
                        ++s->wake_refusals;
                        in.handler_note = "slave stays in its booter";
                        return int(kUsbOk);
                    }
                    TakeFirmwareVersion(*s);
                }
                s->identity.set_firmInEsec(booter ? INFOIDENT::kBooterRunning
                                                  : SimInstrument::kFirmwareRunning);
            }
            return int(kUsbOk);
        };
    };
    inst.SetMemoryHandler(SLAVE_GOTOBOOTER, set_mode(true));
    inst.SetMemoryHandler(SLAVE_GOTOFIRMWARE, set_mode(false));

    auto read_slave = [st](uint16_t length) {
        return [st, length](SimInstrument& in, const ControlRequest& rq) {
            SimSlave* s = Slave(*st, rq);
            uint8_t* buf = in.main_buffer().data();
            // Slave number 0 is the master itself.
            if (rq.byte(3) == 0) {
                in.memory().Read(rq.address(), buf, length);
                return int(kUsbOk);
            }
            if (!s) {
                std::memset(buf, 0, length);
                return int(kUsbOk);
            }
            if (s->cfg.unreadable) return int(kUsbErrorPipe);
            s->memory.Read(rq.address(), buf, length);
            return int(kUsbOk);
        };
    };
    inst.SetMemoryHandler(MEM_READ16_SLAVE, read_slave(16));
    inst.SetMemoryHandler(MEM_READ128_SLAVE, read_slave(128));

    InstallSlaveFlash(inst, st);

    inst.SetMemoryHandler(MEM_GET_INFOFWUPD, [st](SimInstrument& in, const ControlRequest& rq) {
        if (st->cfg.infofwupd_fails) return int(kUsbErrorPipe);
        uint8_t* buf = in.main_buffer().data();
        if (rq.byte(3) != 0 || !st->cfg.infofwupd_flags) {
            // An instrument without the record leaves the buffer as it was.
            return int(kUsbOk);
        }
        INFOFWUPD r;
        r.set_u8(8, *st->cfg.infofwupd_flags);
        r.UpdateChecksum();
        std::memcpy(buf, r.data(), INFOFWUPD::kSize);
        return int(kUsbOk);
    });
}

}  // namespace vesk::sim
