#include "sim/sim_keys.h"

#include <algorithm>
#include <memory>
#include <string>

#include "sim/sim_instrument.h"
#include "sim/sim_image.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_command_names.h"

namespace vesk::sim {

namespace {

using vesk::usb::kUsbErrorPipe;
using vesk::usb::kUsbOk;

constexpr uint32_t kMemoryKey = 112, kDataKey = 111;
constexpr uint8_t kErase = 1, kWrite = 2, kSwitch = 4, kRestart = 15, kBooterStart = 16,
                  kBooterWrite = 85;
constexpr uint8_t kSaveCode = 15;
constexpr uint32_t kOtherBlock = 2048, kBooterBlock = 256, kDumpRead = 128;

// Handlers own the state; the registry only finds it while the instrument lives.
std::map<const SimInstrument*, std::weak_ptr<SimKey>>& Registry() {
    static std::map<const SimInstrument*, std::weak_ptr<SimKey>> r;
    return r;
}

bool Contains(const SimKeyRegion& r, uint32_t address, uint32_t n) {
    return address >= r.start && uint64_t(address) + n <= r.end;
}

void Program(SimInstrument& inst, const SimKeyRegion& r, uint32_t address, const uint8_t* data,
             uint32_t n) {
    ProgramBits(inst.memory(), address, data, n);
    inst.MarkImageWritten(r.start, r.end);
}

void Erase(SimInstrument& inst, const SimKeyRegion& r) {
    inst.memory().Fill(r.start, 0xFF, r.end - r.start);
    inst.MarkImageWritten(r.start, r.end);
}

// Leaving the booter: a written firmware image tells which version now runs.
void TakeFirmwareVersion(SimInstrument& inst, SimKey& key) {
    uint8_t v[3];
    if (key.firmware_touched && RegionVersion(inst.memory(), key.firmware.start, key.firmware.end, 3, v,
                                              Unstamped(inst.config().unstamped_firmware))) {
        inst.identity().SetFirmwareVersion(v[0], v[1], v[2]);
        key.firmware_touched = false;
    }
}

// An identity read after a booter write reports the new booter's version.
void TakeBooterVersion(SimInstrument& inst, SimKey& key) {
    uint8_t v[3];
    if (key.booter_touched && RegionVersion(inst.memory(), key.booter.start, key.booter.end, 2, v,
                                            Unstamped(inst.config().unstamped_booter))) {
        inst.identity().set_u8(INFOIDENT::kVerBooter + 2, v[0]);
        inst.identity().set_u8(INFOIDENT::kVerBooter + 3, v[1]);
        key.booter_touched = false;
    }
}

}  // namespace

SimKey* FindKeyDevice(const SimInstrument& inst) {
    auto it = Registry().find(&inst);
    if (it == Registry().end()) return nullptr;
    auto p = it->second.lock();
    return p.get();  // the instrument's handlers keep it alive
}

bool InstallKeyDevice(SimInstrument& inst) {
    const uint32_t code = inst.config().code;
    if (code != kMemoryKey && code != kDataKey) return false;
    auto key = std::make_shared<SimKey>();
    key->data_key = code == kDataKey;
    key->firmware = {0xE0000, 0xF8000};
    key->booter = key->data_key ? SimKeyRegion{0xFFC000, 0xFFF000} : SimKeyRegion{0xFC000, 0x100000};
    Registry()[&inst] = key;

    // The firmware is programmed by the booter; a booter cannot rewrite
    // itself, so the running firmware programs it.
    auto refused = [](SimInstrument& in, bool booter_needed) {
        if (in.in_booter() == booter_needed) return false;
        in.handler_note = booter_needed ? "refused: firmware running" : "refused: booter running";
        return true;
    };
    inst.SetBooterHandler(kErase, [key, refused](SimInstrument& in, const ControlRequest&) {
        if (refused(in, true)) return int(kUsbErrorPipe);
        Erase(in, key->firmware);
        key->firmware_touched = true;
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kWrite, [key, refused](SimInstrument& in, const ControlRequest& rq) {
        if (refused(in, true)) return int(kUsbErrorPipe);
        const uint32_t address = rq.address(), n = uint32_t(rq.word(4)) * 2;
        if (!Contains(key->firmware, address, n) || n > in.main_buffer().size()) {
            in.handler_note = "refused: outside the firmware";
            return int(kUsbErrorPipe);
        }
        Program(in, key->firmware, address, in.main_buffer().data(), n);
        key->firmware_touched = true;
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kBooterStart, [key, refused](SimInstrument& in, const ControlRequest&) {
        if (refused(in, false)) return int(kUsbErrorPipe);
        Erase(in, key->booter);
        key->booter_touched = true;
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kBooterWrite, [key, refused](SimInstrument& in, const ControlRequest& rq) {
        if (refused(in, false)) return int(kUsbErrorPipe);
        const uint32_t field = rq.address();
        const uint32_t address = (key->booter.start & 0xFFFF0000u) | (field & 0xFFFF);
        if (!Contains(key->booter, address, kBooterBlock)) {
            in.handler_note = "refused: outside the booter";
            return int(kUsbErrorPipe);
        }
        const uint8_t* data = in.main_buffer().data();
        uint8_t sum = 0;
        for (uint32_t i = 0; i < kBooterBlock; ++i) sum = uint8_t(sum + data[i]);
        if (sum != uint8_t(field >> 16)) {
            in.handler_note = "refused: bad block sum";
            return int(kUsbErrorPipe);
        }
        Program(in, key->booter, address, data, kBooterBlock);
        key->booter_touched = true;
        return int(kUsbOk);
    });
    inst.AddIdentityReadHook([key](SimInstrument& in) { TakeBooterVersion(in, *key); });
    inst.SetBooterHandler(kSwitch, [key](SimInstrument& in, const ControlRequest&) {
        if (in.in_booter()) TakeFirmwareVersion(in, *key);
        in.handler_note = in.in_booter() ? "switching to firmware" : "switching to booter";
        in.LeaveBus(!in.in_booter());
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kRestart, [key](SimInstrument& in, const ControlRequest&) {
        if (in.in_booter()) TakeFirmwareVersion(in, *key);
        in.handler_note = "restarting";
        in.LeaveBus(false);
        return int(kUsbOk);
    });
    if (!key->data_key) return true;

    inst.SetQuarv3Handler(kSaveCode, [key](SimInstrument& in, const ControlRequest& rq) {
        const uint16_t code = rq.word(1), c2 = rq.word(3), c3 = rq.word(5);
        if (c2 == 0xFFFF) {
            SimOtherImage& img = key->other[code];
            const uint32_t starts = img.starts + 1;
            img = SimOtherImage{};
            img.starts = starts;
            return int(kUsbOk);
        }
        auto it = key->other.find(code);
        if (it == key->other.end() || c3 != it->second.blocks.size()) {
            in.handler_note = "refused: block out of order";
            return int(kUsbErrorPipe);
        }
        SimOtherImage& img = it->second;
        const uint8_t* data = in.main_buffer().data();
        img.bytes.insert(img.bytes.end(), data, data + kOtherBlock);
        img.blocks.push_back(c3);
        if (c3 == 0) img.behaviour = data[7];
        return int(kUsbOk);
    });
    // The dump asks with a length of 0 and reads 128 bytes per request.
    inst.SetMemoryHandler(MEM_READ, [](SimInstrument& in, const ControlRequest& rq) {
        // As every master, it completes a write into its GPS area with a read there.
        if (in.StoreGpsAreaWrite(rq.address())) in.handler_note = "main buffer stored";
        const uint32_t n = rq.word(4) ? std::min<uint32_t>(rq.word(4), uint32_t(in.main_buffer().size()))
                                      : kDumpRead;
        in.memory().Read(rq.address(), in.main_buffer().data(), n);
        return int(kUsbOk);
    });
    return true;
}

}  // namespace vesk::sim
