#include "sim/sim_flash.h"

#include <algorithm>
#include <cstring>

#include "sim/sim_datalogger.h"
#include "sim/sim_instrument.h"
#include "sim/sim_image.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_command_names.h"

namespace vesk::sim {

using namespace vesk::usb;

namespace {

int Refuse(SimInstrument& inst, const char* why) {
    inst.handler_note = why;
    return kUsbErrorPipe;
}

void Erase(SimInstrument& inst, const SimFlashRegion& r) {
    inst.memory().Fill(r.start, SimMemory::kErased, r.end - r.start);
    inst.MarkImageWritten(r.start, r.end);
}

void Program(SimInstrument& inst, const SimFlashRegion& r, uint32_t address, const uint8_t* data,
             uint32_t n) {
    ProgramBits(inst.memory(), address, data, n);
    inst.MarkImageWritten(r.start, r.end);
}

uint32_t Le32(const std::vector<uint8_t>& d, size_t i) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v |= uint32_t(i + k < d.size() ? d[i + k] : 0) << (8 * k);
    return v;
}

struct CodeRange {
    uint32_t first, last;
};

bool In(uint32_t code, std::initializer_list<CodeRange> ranges) {
    for (const auto& r : ranges)
        if (code >= r.first && code <= r.last) return true;
    return false;
}

}  // namespace

std::string DefaultFlashFamily(uint32_t code, uint8_t fw_major, uint8_t fw_minor, uint8_t fw_build) {
    // The type codes of the factory's writing classes.
    if (In(code, {{19, 20}, {311, 318}, {10201, 10233}, {10235, 10235}})) return "quarv3";
    if (In(code, {{62, 63}, {71, 71}})) return "quarv4";
    if (In(code, {{64, 65}})) return "pell";
    if (code == 61) {
        // From 43.04.01 on, the firmware of this unit is served like a Pell.
        INFOIDENT id;
        id.SetFirmwareVersion(fw_major, fw_minor, fw_build);
        return id.IsFirmwareOlderThan(0x4304, 0x01) ? "quarv4" : "pell";
    }
    return "";
}

bool SimFlash::KnownFamily(const std::string& f) {
    return f == "quarv3" || f == "quarv4" || f == "pell";
}

void SimFlash::InstallFor(SimInstrument& inst, const std::optional<SimFlashConfig>& cfg) {
    if (cfg) {
        Install(inst, *cfg);
        return;
    }
    const auto& c = inst.config();
    SimFlashConfig def;
    def.family = DefaultFlashFamily(c.code, c.fw_major, c.fw_minor, c.fw_build);
    if (Install(inst, def)) return;
    // No known layout: nothing to program, and nothing is taken in silence.
    auto refuse = [](SimInstrument& in, const ControlRequest&) { return Refuse(in, "no flash layout"); };
    for (uint8_t cmd : {BOOTER_ERASE, BOOTER_WRITE, BOOTER_CLR_ECU, BOOTER_WRITE_ECU,
                        BOOTER_CLR_SENSOR, BOOTER_WRITE_SENSOR, BOOTER_INIZIA, BOOTER_WRITENEW})
        inst.SetBooterHandler(cmd, refuse);
    inst.SetQuarv3Handler(CMD_SAVE_BTFWCODE, refuse);
    RefuseDataLoggerWrites(inst);
}

bool SimFlash::Install(SimInstrument& inst, const SimFlashConfig& cfg) {
    if (!KnownFamily(cfg.family)) return false;
    auto flash = std::make_unique<SimFlash>();
    SimFlash* f = flash.get();
    if (cfg.family == "quarv3") {
        f->firmware = {0xFE0000, 0xFF8000};
        f->booter = {0xFFC000, 0xFFF000};
    } else if (cfg.family == "quarv4") {
        f->firmware = {0xFC0000, 0x1000000};
        f->booter = {0xDF0000, 0xDF2000};
    } else {
        f->firmware = {0xFC0000, 0x1000000};
        f->language.assign(kLanguageSize, SimMemory::kErased);
        f->configuration.assign(kConfigSize, cfg.config_fill);
    }
    f->config_stuck = cfg.config_stuck;
    for (uint8_t cmd : {BOOTER_ERASE, BOOTER_WRITE, BOOTER_SWITCH, BOOTER_CLR_ECU,
                        BOOTER_WRITE_ECU, BOOTER_CLR_SENSOR, BOOTER_WRITE_SENSOR, BOOTER_RESET,
                        BOOTER_INIZIA, BOOTER_WRITENEW})
        inst.SetBooterHandler(cmd, [f](SimInstrument& in, const ControlRequest& rq) {
            return f->BooterRequest(in, rq.command(), rq.address(), rq.word(4));
        });
    // A save, configuration requests: the firmware's. Without them the request
    // is refused rather than taken and dropped.
    inst.SetQuarv3Handler(CMD_SAVE_BTFWCODE, [f](SimInstrument& in, const ControlRequest& rq) {
        if (f->language.empty()) return Refuse(in, "no language area");
        return f->SaveCode(in, rq.word(1), rq.word(3), rq.word(5));
    });
    // The data-logger requests; the 32 KB configuration answers the rest of
    // the configuration requests where the family keeps one.
    std::function<int(SimInstrument&, const ControlRequest&)> cfg32;
    if (!f->configuration.empty())
        cfg32 = [f](SimInstrument& in, const ControlRequest& rq) { return f->Cfg(in, rq.value, rq.data); };
    InstallDataLogger(inst, cfg32, cfg.family == "pell");
    inst.AddIdentityReadHook([f](SimInstrument& in) { f->TakeBooterVersion(in); });
    inst.set_flash(std::move(flash));
    return true;
}

std::vector<uint8_t> SimFlash::FirmwareImage(SimInstrument& inst) const {
    return inst.memory().Read(firmware.start, firmware.end - firmware.start);
}

std::vector<uint8_t> SimFlash::BooterImage(SimInstrument& inst) const {
    return inst.memory().Read(booter.start, booter.end - booter.start);
}

void SimFlash::TakeBooterVersion(SimInstrument& inst) {
    uint8_t v[3];
    if (!booter_changed ||
        !RegionVersion(inst.memory(), booter.start, booter.end, 2, v, Unstamped(inst.config().unstamped_booter)))
        return;
    inst.identity().set_u8(INFOIDENT::kVerBooter + 2, v[0]);
    inst.identity().set_u8(INFOIDENT::kVerBooter + 3, v[1]);
    booter_changed = false;
}

void SimFlash::LeaveBooter(SimInstrument& inst) {
    if (firmware_changed) {
        uint8_t v[3];
        if (!RegionVersion(inst.memory(), firmware.start, firmware.end, 3, v,
                           Unstamped(inst.config().unstamped_firmware))) {
            // A unit with a broken image stays in its booter.
            inst.LeaveBus(true);
            inst.handler_note = "no valid firmware image, staying in booter";
            return;
        }
        inst.identity().SetFirmwareVersion(v[0], v[1], v[2]);
        firmware_changed = false;
    }
    inst.LeaveBus(false);
    inst.handler_note = "switching to firmware";
}

int SimFlash::BooterRequest(SimInstrument& inst, uint8_t cmd, uint32_t address, uint16_t value) {
    const uint32_t n = uint32_t(value) * 2;  // the value counts 16-bit words
    const uint8_t* data = inst.main_buffer().data();
    if (n > inst.main_buffer().size()) return Refuse(inst, "block larger than the main buffer");
    switch (cmd) {
    case BOOTER_SWITCH:
    case BOOTER_RESET:
        if (inst.in_booter()) {
            LeaveBooter(inst);
        } else {
            inst.LeaveBus(cmd == BOOTER_SWITCH);
            inst.handler_note = cmd == BOOTER_SWITCH ? "switching to booter" : "restarting";
        }
        return kUsbOk;
    case BOOTER_CLR_ECU:
        inst.memory().Fill(kEcuAddress, SimMemory::kErased, kEcuSize);
        return kUsbOk;
    case BOOTER_CLR_SENSOR:
        inst.memory().Fill(kSensorsAddress, SimMemory::kErased, kSensorsSize);
        return kUsbOk;
    case BOOTER_WRITE_ECU:
    case BOOTER_WRITE_SENSOR: {
        const SimFlashRegion area = cmd == BOOTER_WRITE_ECU
                                        ? SimFlashRegion{kEcuAddress, kEcuAddress + kEcuSize}
                                        : SimFlashRegion{kSensorsAddress, kSensorsAddress + kSensorsSize};
        if (!area.Contains(address, n)) return Refuse(inst, "outside the area");
        ProgramBits(inst.memory(), address, data, n);
        return kUsbOk;
    }
    // The firmware is programmed by the booter.
    case BOOTER_ERASE:
        if (!inst.in_booter()) return Refuse(inst, "firmware running");
        Erase(inst, firmware);
        firmware_changed = true;
        return kUsbOk;
    case BOOTER_WRITE:
        if (!inst.in_booter()) return Refuse(inst, "firmware running");
        if (!firmware.Contains(address, n)) return Refuse(inst, "outside the firmware region");
        Program(inst, firmware, address, data, n);
        firmware_changed = true;
        return kUsbOk;
    // A booter cannot rewrite itself: the firmware programs it.
    case BOOTER_INIZIA:
        if (booter.empty()) return Refuse(inst, "no booter region");
        if (inst.in_booter()) return Refuse(inst, "booter running");
        Erase(inst, booter);
        booter_changed = true;
        return kUsbOk;
    case BOOTER_WRITENEW: {
        if (booter.empty()) return Refuse(inst, "no booter region");
        if (inst.in_booter()) return Refuse(inst, "booter running");
        // The top byte carries the block's checksum, the low 16 bits the offset.
        const uint32_t a = (booter.start & 0xFF0000) | (address & 0xFFFF);
        uint8_t sum = 0;
        for (uint32_t i = 0; i < n; ++i) sum = uint8_t(sum + data[i]);
        if (sum != uint8_t(address >> 16)) return Refuse(inst, "checksum mismatch");
        if (!booter.Contains(a, n)) return Refuse(inst, "outside the booter region");
        Program(inst, booter, a, data, n);
        booter_changed = true;
        return kUsbOk;
    }
    default: return kUsbOk;
    }
}

int SimFlash::SaveCode(SimInstrument& inst, uint16_t c1, uint16_t c2, uint16_t c3) {
    if (inst.in_booter()) return Refuse(inst, "booter running");
    if (c1 != kLanguageCode) return Refuse(inst, "unknown save code");
    if (c2 == 0xFFFF) {
        std::fill(language.begin(), language.end(), SimMemory::kErased);
        language_session_ = true;
        inst.handler_note = "language erased";
        return kUsbOk;
    }
    if (!language_session_) return Refuse(inst, "no save started");
    const size_t offset = size_t(c3) * 256;
    if (c2 != 0 || offset + 256 > language.size()) return Refuse(inst, "outside the language area");
    for (size_t i = 0; i < 256; ++i) language[offset + i] &= inst.main_buffer()[i];
    return kUsbOk;
}

int SimFlash::Cfg(SimInstrument& inst, uint16_t value, const std::vector<uint8_t>& payload) {
    if (inst.in_booter()) return Refuse(inst, "booter running");
    switch (value) {
    case CFG_INIZ_AGG: config_session_ = true; return kUsbOk;
    case CFG_FINE_AGG:
        if (!config_session_) return Refuse(inst, "no update started");
        config_session_ = false;
        return kUsbOk;
    case CFG_LEGGI:
    case CFG_SCRIVI: {
        if (payload.size() != 8) return Refuse(inst, "expected offset and length");
        const uint32_t offset = Le32(payload, 0), n = Le32(payload, 4);
        if (n == 0 || n > SimInstrument::kMainBufferSize || uint64_t(offset) + n > configuration.size())
            return Refuse(inst, "outside the configuration");
        if (value == CFG_LEGGI) {
            std::memcpy(inst.main_buffer().data(), configuration.data() + offset, n);
            inst.ArmBulkIn(n);
            return kUsbOk;
        }
        if (!config_session_) return Refuse(inst, "no update started");
        inst.ArmBulkOut(n, [this, offset](const uint8_t* d, uint32_t got) {
            config_writes.emplace_back(d, d + got);
            for (uint32_t i = 0; i < got; ++i)
                if (std::find(config_stuck.begin(), config_stuck.end(), offset + i) ==
                    config_stuck.end())
                    configuration[offset + i] = d[i];
        });
        return kUsbOk;
    }
    default: return Refuse(inst, "unknown configuration request");
    }
}

}  // namespace vesk::sim
