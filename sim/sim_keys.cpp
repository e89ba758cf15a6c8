#include "sim/sim_keys.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "sim/sim_instrument.h"
#include "sim/version_stamp.h"
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

// Programming clears bits only, like flash.
void Program(SimInstrument& inst, uint32_t address, const uint8_t* data, uint32_t n) {
    std::vector<uint8_t> old = inst.memory().Read(address, n);
    for (uint32_t i = 0; i < n; ++i) old[i] &= data[i];
    inst.memory().Write(address, old);
}

// "MM.mm.bb" or "MM.mm": the version bytes printed as hex.
bool ParseVersion(const std::string& text, uint8_t out[3], size_t parts) {
    unsigned v[3] = {0, 0, 0};
    int used = 0;
    const int got = parts == 3 ? std::sscanf(text.c_str(), "%2x.%2x.%2x%n", &v[0], &v[1], &v[2], &used)
                               : std::sscanf(text.c_str(), "%2x.%2x%n", &v[0], &v[1], &used);
    if (got != int(parts) || size_t(used) != text.size()) return false;
    for (size_t i = 0; i < parts; ++i) out[i] = uint8_t(v[i]);
    return true;
}

// Leaving the booter: a written image tells which version now runs.
void TakeVersions(SimInstrument& inst, const SimKey& key) {
    std::string text;
    uint8_t v[3];
    if (key.firmware_touched) {
        const auto image = inst.memory().Read(key.firmware.start, key.firmware.end - key.firmware.start);
        if (FindVersionStamp(image.data(), image.size(), text) && ParseVersion(text, v, 3))
            inst.identity().SetFirmwareVersion(v[0], v[1], v[2]);
    }
    if (key.booter_touched) {
        const auto image = inst.memory().Read(key.booter.start, key.booter.end - key.booter.start);
        if (FindVersionStamp(image.data(), image.size(), text) && ParseVersion(text, v, 2)) {
            inst.identity().set_u8(INFOIDENT::kVerBooter + 2, v[0]);
            inst.identity().set_u8(INFOIDENT::kVerBooter + 3, v[1]);
        }
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

    // Programming is a booter function.
    auto booter_only = [](SimInstrument& in) {
        if (in.in_booter()) return false;
        in.handler_note = "refused: firmware running";
        return true;
    };
    inst.SetBooterHandler(kErase, [key, booter_only](SimInstrument& in, const ControlRequest&) {
        if (booter_only(in)) return int(kUsbErrorPipe);
        in.memory().Fill(key->firmware.start, 0xFF, key->firmware.end - key->firmware.start);
        key->firmware_touched = true;
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kWrite, [key, booter_only](SimInstrument& in, const ControlRequest& rq) {
        if (booter_only(in)) return int(kUsbErrorPipe);
        const uint32_t address = rq.address(), n = uint32_t(rq.word(4)) * 2;
        if (address < key->firmware.start || uint64_t(address) + n > key->firmware.end) {
            in.handler_note = "refused: outside the firmware";
            return int(kUsbErrorPipe);
        }
        Program(in, address, in.main_buffer().data(), n);
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kBooterStart, [key, booter_only](SimInstrument& in, const ControlRequest&) {
        if (booter_only(in)) return int(kUsbErrorPipe);
        in.memory().Fill(key->booter.start, 0xFF, key->booter.end - key->booter.start);
        key->booter_touched = true;
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kBooterWrite, [key, booter_only](SimInstrument& in, const ControlRequest& rq) {
        if (booter_only(in)) return int(kUsbErrorPipe);
        const uint32_t field = rq.address();
        const uint32_t address = (key->booter.start & 0xFFFF0000u) | (field & 0xFFFF);
        if (address < key->booter.start || address + kBooterBlock > key->booter.end) {
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
        Program(in, address, data, kBooterBlock);
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kSwitch, [key](SimInstrument& in, const ControlRequest&) {
        if (in.in_booter()) TakeVersions(in, *key);
        in.handler_note = in.in_booter() ? "switching to firmware" : "switching to booter";
        in.LeaveBus(!in.in_booter());
        return int(kUsbOk);
    });
    inst.SetBooterHandler(kRestart, [key](SimInstrument& in, const ControlRequest&) {
        if (in.in_booter()) TakeVersions(in, *key);
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
        const uint32_t n = rq.word(4) ? std::min<uint32_t>(rq.word(4), uint32_t(in.main_buffer().size()))
                                      : kDumpRead;
        in.memory().Read(rq.address(), in.main_buffer().data(), n);
        return int(kUsbOk);
    });
    return true;
}

}  // namespace vesk::sim
