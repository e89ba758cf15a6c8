#include "sim/sim_datalogger.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "records/datalogger_layout.h"
#include "records/info_ident.h"
#include "sim/sim_image.h"
#include "sim/sim_instrument.h"
#include "sim/sim_net.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_command_names.h"

namespace vesk::sim {

namespace {

using vesk::usb::kUsbErrorPipe;
using vesk::usb::kUsbOk;

constexpr uint32_t kMaxTransfer = 65536;  // one bulk transfer, the size of the main buffer
constexpr uint64_t kAnywhere = uint64_t(1) << 32;

int Refuse(SimInstrument& inst, const char* why) {
    inst.handler_note = why;
    return kUsbErrorPipe;
}

// Handlers own the state; the registry only finds it while the instrument lives.
std::map<const SimInstrument*, std::weak_ptr<SimDataLogger>>& Registry() {
    static std::map<const SimInstrument*, std::weak_ptr<SimDataLogger>> r;
    return r;
}

// The (offset, length) payload of a request that moves part of an area.
struct Part {
    uint32_t offset = 0, length = 0;
};

// False (refused, noted) unless the payload is an offset and a length of 1 to
// max bytes that ends within size.
bool ReadPart(SimInstrument& inst, const ControlRequest& rq, uint32_t max, uint64_t size, Part& p) {
    if (rq.data.size() != 8) {
        inst.handler_note = "expected offset and length";
        return false;
    }
    p.offset = vesk::get_le32(rq.data.data());
    p.length = vesk::get_le32(rq.data.data() + 4);
    const uint64_t end = uint64_t(p.offset) + p.length;
    if (p.length == 0 || p.length > max || end > size) {
        inst.handler_note = "outside the area";
        return false;
    }
    return true;
}

void Answer(SimInstrument& inst, const uint8_t* data, size_t n) {
    std::memcpy(inst.main_buffer().data(), data, n);
}

// Lets one bulk IN of the part through, from the bytes given.
void AnswerBulk(SimInstrument& inst, const std::vector<uint8_t>& bytes) {
    Answer(inst, bytes.data(), bytes.size());
    inst.ArmBulkIn(uint32_t(bytes.size()));
}

std::array<uint8_t, SimDataLogger::kRecordSize> IdpRecord(SimInstrument& inst, uint8_t nslave) {
    INFOIDENT slave;
    std::array<uint8_t, SimDataLogger::kRecordSize> r{};
    // A slave that is not there has no record: the host sees zeros.
    if (!SlaveIdentityOf(inst, nslave, slave)) return r;
    r = MakeSimRecord("idp", slave.ID_logger());
    INFOFWUPD rec("idp");
    rec.FromBytes(r.data(), r.size());
    rec.set_u32(16, slave.ID_logger());
    rec.set_u16(20, uint16_t(slave.loggerCode()));
    rec.UpdateChecksum();
    std::memcpy(r.data(), rec.data(), r.size());
    return r;
}

int ConfigRequest(SimInstrument& inst, SimDataLogger& d, const ControlRequest& rq,
                  const std::function<int(SimInstrument&, const ControlRequest&)>& other) {
    Part p;
    switch (rq.value) {
    case CFG_LEGGI_IBR: {
        INFOFWUPD h("ibr");
        h.set_u32(datalogger::kIbrLengthOffset, uint32_t(d.registrato.size()));
        h.UpdateChecksum();
        Answer(inst, h.data(), h.kSize);
        return kUsbOk;
    }
    case CFG_LEGGI_REGISTRATO:
        if (!ReadPart(inst, rq, kMaxTransfer, d.registrato.size(), p)) return kUsbErrorPipe;
        AnswerBulk(inst, std::vector<uint8_t>(d.registrato.begin() + p.offset,
                                              d.registrato.begin() + p.offset + p.length));
        return kUsbOk;
    case CFG_LEGGI_AREA:
        if (!ReadPart(inst, rq, kMaxTransfer, kAnywhere, p)) return kUsbErrorPipe;
        AnswerBulk(inst, d.area.Read(p.offset, p.length));
        return kUsbOk;
    case CFG_INIZ_AREA: d.area_session = true; return kUsbOk;
    case CFG_SCRIVI_AREA:
        if (!d.area_session) return Refuse(inst, "no update started");
        if (!ReadPart(inst, rq, kMaxTransfer, kAnywhere, p)) return kUsbErrorPipe;
        inst.ArmBulkOut(p.length, [&d, p](const uint8_t* data, uint32_t n) {
            d.area_writes.emplace_back(data, data + n);
            d.area.Write(p.offset, data, n);
        });
        return kUsbOk;
    case CFG_FINE_AREA:
        if (!d.area_session) return Refuse(inst, "no update started");
        d.area_session = false;
        return kUsbOk;
    case CFG_LEGGI_ICT: Answer(inst, d.ict.data(), d.ict.size()); return kUsbOk;
    case CFG_LEGGI_DATI_SLAVE: {
        if (!ReadPart(inst, rq, 256, kAnywhere, p)) return kUsbErrorPipe;
        INFOIDENT slave;
        if (!SlaveIdentityOf(inst, uint8_t(rq.index), slave)) return Refuse(inst, "no such slave");
        const auto bytes = SlaveMemory(inst, uint8_t(rq.index), p.offset, p.length);
        Answer(inst, bytes.data(), bytes.size());
        return kUsbOk;
    }
    case CFG_LEGGI_IDP: {
        const auto r = IdpRecord(inst, uint8_t(rq.index));
        Answer(inst, r.data(), r.size());
        return kUsbOk;
    }
    case CFG_INFO_ECU_STREAM: Answer(inst, d.ecu_stream.data(), d.ecu_stream.size()); return kUsbOk;
    default: return other ? other(inst, rq) : Refuse(inst, "unknown configuration request");
    }
}

// The finish-line table a GPS request names: its address and size.
bool Table(uint16_t value, uint32_t& address, uint32_t& size) {
    switch (value) {
    case GPS_LEGGI_TRAGUARDI_HEADER:
    case GPS_SCRIVI_TRAGUARDI_HEADER:
        address = datalogger::kTraguardiHeaderAddress;
        size = datalogger::kTraguardiHeaderSize;
        return true;
    case GPS_LEGGI_TRAGUARDI_LL:
    case GPS_SCRIVI_TRAGUARDI_LL:
        address = datalogger::kTraguardiLineeAddress;
        size = datalogger::kTraguardiLineeSize;
        return true;
    default: return false;
    }
}

int GpsRequest(SimInstrument& inst, SimDataLogger& d, const ControlRequest& rq) {
    Part p;
    uint32_t address = 0, size = 0;
    switch (rq.value) {
    // The finish lines live where the memory requests of the older families
    // find them, so both ways reach the same tables.
    case GPS_LEGGI_TRAGUARDI_HEADER:
    case GPS_LEGGI_TRAGUARDI_LL:
        Table(rq.value, address, size);
        if (!ReadPart(inst, rq, size, size, p)) return kUsbErrorPipe;
        AnswerBulk(inst, inst.memory().Read(address + p.offset, p.length));
        return kUsbOk;
    case GPS_SCRIVI_TRAGUARDI_HEADER:
    case GPS_SCRIVI_TRAGUARDI_LL:
        Table(rq.value, address, size);
        if (!ReadPart(inst, rq, size, size, p)) return kUsbErrorPipe;
        inst.ArmBulkOut(p.length, [&inst, at = address + p.offset](const uint8_t* data, uint32_t n) {
            inst.memory().Write(at, data, n);
        });
        return kUsbOk;
    case GPS_CANCELLA_TRAGUARDI:
        inst.memory().Fill(datalogger::kTraguardiHeaderAddress, 0xFF, datalogger::kTraguardiHeaderSize);
        inst.memory().Fill(datalogger::kTraguardiLineeAddress, 0xFF, datalogger::kTraguardiLineeSize);
        return kUsbOk;
    case GPS_LEGGI_AREA:
        if (!ReadPart(inst, rq, kMaxTransfer, datalogger::kAreaDatiSize, p)) return kUsbErrorPipe;
        AnswerBulk(inst, d.dati.Read(p.offset, p.length));
        return kUsbOk;
    case GPS_INIZ_AREA:
        // Flash: the start erases the whole area.
        d.dati = SimMemory();
        d.dati_session = true;
        inst.handler_note = "data area erased";
        return kUsbOk;
    case GPS_SCRIVI_AREA:
        if (!d.dati_session) return Refuse(inst, "no update started");
        if (!ReadPart(inst, rq, kMaxTransfer, datalogger::kAreaDatiSize, p)) return kUsbErrorPipe;
        inst.ArmBulkOut(p.length, [&d, p](const uint8_t* data, uint32_t n) {
            d.dati_writes.emplace_back(data, data + n);
            ProgramBits(d.dati, p.offset, data, n);
        });
        return kUsbOk;
    case GPS_FINE_AREA:
        if (!d.dati_session) return Refuse(inst, "no update started");
        d.dati_session = false;
        return kUsbOk;
    case GPS_VERSIONE_PISTE: Answer(inst, d.nfp.data(), d.nfp.size()); return kUsbOk;
    default: return Refuse(inst, "unknown GPS request");
    }
}

// A configuration section command: C1 bytes into the section, C2 bytes of the main buffer.
int SectionCommand(SimInstrument& inst, const ControlRequest& rq) {
    if (inst.in_booter()) return Refuse(inst, "booter running");
    const datalogger::Sezione* s = datalogger::SezioneDelComando(rq.command());
    const uint32_t at = rq.word(1), n = rq.word(3);
    if (n == 0 || n > datalogger::kSezionePezzo || at + n > s->size)
        return Refuse(inst, "outside the section");
    const uint32_t block =
        s->block == datalogger::Blocco::Conf ? datalogger::kConfAddress : datalogger::kPcConfAddress;
    inst.memory().Write(kAreaBank1 | (block + s->offset + at), inst.main_buffer().data(), n);
    return kUsbOk;
}

std::vector<uint8_t> OnlineSlave(SimInstrument& inst, uint8_t nslave) {
    std::vector<uint8_t> out(SimDataLogger::kOnlineSize, 0);
    INFOIDENT slave;
    if (!SlaveIdentityOf(inst, nslave, slave)) return out;
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(slave.ID_logger() + nslave + i);
    return out;
}

}  // namespace

std::array<uint8_t, SimDataLogger::kRecordSize> MakeSimRecord(const char* tag, uint32_t seed) {
    INFOFWUPD r(tag);
    r.set_u8(datalogger::kRecordFlagsByte, 1);
    for (size_t i = datalogger::kRecordFlagsByte + 1; i < r.kSize; ++i)
        r.set_u8(i, uint8_t(seed * 31 + i * 7));
    r.UpdateChecksum();
    std::array<uint8_t, SimDataLogger::kRecordSize> out{};
    std::memcpy(out.data(), r.data(), out.size());
    return out;
}

SimDataLogger* FindDataLogger(const SimInstrument& inst) {
    auto it = Registry().find(&inst);
    if (it == Registry().end()) return nullptr;
    return it->second.lock().get();  // kept alive by the instrument's handlers
}

void InstallDataLogger(SimInstrument& inst,
                       std::function<int(SimInstrument&, const ControlRequest&)> cfg_other,
                       bool gps) {
    auto d = std::make_shared<SimDataLogger>();
    Registry()[&inst] = d;
    const uint32_t serial = inst.config().serial;
    d->ict = MakeSimRecord("ict", serial);
    d->ecu_stream = MakeSimRecord("ecs", serial);
    d->nfp = MakeSimRecord("nfp", serial);
    for (size_t i = 0; i < d->online2.size(); ++i) d->online2[i] = uint8_t(serial * 3 + i);

    inst.SetRequestHandler(0x02, [d, cfg_other](SimInstrument& in, const ControlRequest& rq) {
        if (in.in_booter()) return Refuse(in, "booter running");
        return ConfigRequest(in, *d, rq, cfg_other);
    });
    if (gps)
        inst.SetRequestHandler(0x01, [d](SimInstrument& in, const ControlRequest& rq) {
            if (in.in_booter()) return Refuse(in, "booter running");
            return GpsRequest(in, *d, rq);
        });
    else
        inst.SetRequestHandler(0x01, [](SimInstrument& in, const ControlRequest&) {
            return Refuse(in, "no GPS requests on this family");
        });
    for (const datalogger::Sezione& s : datalogger::kSezioni) inst.SetQuarv3Handler(s.command, SectionCommand);
    inst.SetQuarv3Handler(CMD_GETONLINE2, [d](SimInstrument& in, const ControlRequest&) {
        if (in.in_booter()) return Refuse(in, "booter running");
        Answer(in, d->online2.data(), d->online2.size());
        return int(kUsbOk);
    });
    inst.SetQuarv3Handler(CMD_GETONLINESLAVE, [](SimInstrument& in, const ControlRequest& rq) {
        if (in.in_booter()) return Refuse(in, "booter running");
        const auto bytes = OnlineSlave(in, uint8_t(rq.word(1)));
        Answer(in, bytes.data(), bytes.size());
        return int(kUsbOk);
    });
    // The direct external-flash write takes one 64 KB bulk transfer without an announcement.
    inst.SetMemoryHandler(MEM_DIRECT_WRITE_EFL, [](SimInstrument& in, const ControlRequest& rq) {
        if (in.in_booter()) return Refuse(in, "booter running");
        in.ArmBulkOut(SimDataLogger::kDirectWriteSize, [&in, at = rq.address()](const uint8_t* data, uint32_t n) {
            in.memory().Write(at, data, n);
        });
        return int(kUsbOk);
    });
}

void RefuseDataLoggerWrites(SimInstrument& inst) {
    auto refuse = [](SimInstrument& in, const ControlRequest&) { return Refuse(in, "no flash layout"); };
    inst.SetRequestHandler(0x02, [](SimInstrument& in, const ControlRequest& rq) {
        switch (rq.value) {
        case CFG_SCRIVI:
        case CFG_INIZ_AGG:
        case CFG_FINE_AGG:
        case CFG_SCRIVI_AREA:
        case CFG_INIZ_AREA:
        case CFG_FINE_AREA: return Refuse(in, "no flash layout");
        default: return int(kUsbOk);
        }
    });
    inst.SetRequestHandler(0x01, [](SimInstrument& in, const ControlRequest& rq) {
        switch (rq.value) {
        case GPS_SCRIVI_TRAGUARDI_HEADER:
        case GPS_SCRIVI_TRAGUARDI_LL:
        case GPS_CANCELLA_TRAGUARDI:
        case GPS_INIZ_AREA:
        case GPS_SCRIVI_AREA:
        case GPS_FINE_AREA: return Refuse(in, "no flash layout");
        default: return int(kUsbOk);
        }
    });
    for (const datalogger::Sezione& s : datalogger::kSezioni) inst.SetQuarv3Handler(s.command, refuse);
    inst.SetMemoryHandler(MEM_DIRECT_WRITE_EFL, refuse);
}

}  // namespace vesk::sim
