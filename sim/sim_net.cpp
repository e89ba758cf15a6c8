#include "sim/sim_net.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "common/clock.h"
#include "sim/sim_instrument.h"
#include "usb/backend/usb_backend.h"
#include "usb/info_ident.h"
#include "usb/usb_command_names.h"
#include "usb/usb_connection.h"

namespace vesk::sim {

namespace {

using vesk::usb::kUsbErrorPipe;
using vesk::usb::kUsbOk;

struct SimSlave {
    SimSlaveConfig cfg;
    INFOIDENT identity;
    SimMemory memory;
    uint32_t ident_reads = 0;
};

struct NetState {
    SimNetConfig cfg;
    std::map<uint8_t, SimSlave> slaves;  // by slave number
    uint64_t rebuild_until = 0;
    uint32_t unsettled_reads = 0;
};

INFOIDENT SlaveIdentity(const SimSlaveConfig& c) {
    INFOIDENT r;
    r.set_loggerCode(c.code);
    r.set_ID_logger(c.serial);
    r.SetFirmwareVersion(c.fw_major, c.fw_minor, c.fw_build);
    r.set_u8(INFOIDENT::kVerBooter + 2, c.boot_major);
    r.set_u8(INFOIDENT::kVerBooter + 3, c.boot_minor);
    r.set_tipoFamBoot(c.tipoFamBoot);
    r.set_firmInEsec(c.in_booter ? INFOIDENT::kBooterRunning : SimInstrument::kFirmwareRunning);
    return r;
}

// The blocks the master reads to fix a slave identity: the hours word and
// the build byte.
void FillSlaveMemory(SimSlave& s) {
    const uint32_t at = SlaveHoursAddress(CUSBConnection::BooterFamilyClass(s.cfg.tipoFamBoot));
    const uint8_t hours[2] = {0x01, 0x2C};
    s.memory.Write(at, hours, sizeof hours);
    s.memory.Write(at + 16 + 6, &s.cfg.fw_build, 1);
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

SimSlave* Slave(NetState& st, const ControlRequest& rq) {
    auto it = st.slaves.find(rq.byte(3));
    return it == st.slaves.end() ? nullptr : &it->second;
}

}  // namespace

uint32_t SlaveHoursAddress(int kind) {
    return kind == 11 ? 0xFF000A : kind == 14 ? 0x0E000A : 0xFE000A;
}

void InstallNet(SimInstrument& inst, const SimNetConfig& cfg) {
    auto st = std::make_shared<NetState>();
    st->cfg = cfg;
    for (const auto& c : cfg.slaves) {
        SimSlave s;
        s.cfg = c;
        s.identity = SlaveIdentity(c);
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
        ++s->ident_reads;
        INFOIDENT r = s->identity;
        if (s->cfg.identity_changes) r.set_u8(INFOIDENT::kOldQuarv3, uint8_t(s->ident_reads));
        std::memcpy(buf, r.data(), INFOIDENT::kSize);
        return int(kUsbOk);
    });

    auto set_mode = [st](bool booter) {
        return [st, booter](SimInstrument&, const ControlRequest& rq) {
            if (SimSlave* s = Slave(*st, rq)) {
                if (s->cfg.unreadable) return int(kUsbErrorPipe);
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
