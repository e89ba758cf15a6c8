#include "device/data_areas.h"

#include <algorithm>

#include "device/connection_data_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_quarv.h"
#include "records/datalogger_layout.h"

namespace data_areas {

namespace {

using Bytes = std::vector<uint8_t>;
using Sink = std::function<bool(const uint8_t*, size_t)>;

CConnectionStrumentoTipoQuarv* Quarv(IConnectionStrumento& c) {
    return dynamic_cast<CConnectionStrumentoTipoQuarv*>(&c);
}
CConnectionPELL460200* Pell(IConnectionStrumento& c) { return dynamic_cast<CConnectionPELL460200*>(&c); }

// The finish lines a connection keeps, or null for a class that has none.
CTraguardiGPS* Traguardi(IConnectionStrumento& c) {
    if (auto* q = Quarv(c)) return &q->Traguardi();
    if (auto* k = dynamic_cast<CConnectionDataKey*>(&c)) return &k->Traguardi();
    return nullptr;
}

Esito Fallito(std::string why) {
    Esito e;
    e.why = std::move(why);
    return e;
}

// Hands the parts to the sink one after another.
Esito Consegna(const Sink& sink, std::initializer_list<const Bytes*> parts) {
    Esito e;
    for (const Bytes* p : parts) {
        if (!sink(p->data(), p->size())) return Fallito("the bytes read could not be kept");
        e.bytes += p->size();
    }
    e.ok = true;
    return e;
}

size_t Diversi(const Bytes& a, const Bytes& b) {
    size_t n = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += a[i] != b[i];
    return n + std::max(a.size(), b.size()) - std::min(a.size(), b.size());
}

// The read-back after a write: equal, or the failure naming how many bytes differ.
Esito Confronta(const std::string& what, const Bytes& written, const Bytes& back) {
    const size_t n = Diversi(written, back);
    if (n) return Fallito("the " + what + " read back differs from the file at " + std::to_string(n) + " bytes");
    Esito e;
    e.ok = true;
    e.bytes = written.size();
    return e;
}

Bytes Concatena(const Bytes& a, const Bytes& b) {
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Esito LeggiCampioni(CConnectionStrumentoTipoQuarv& q, const Sink& sink) {
    uint32_t used = 0;
    if (!q.GetMemoryUsedQuarv3(used)) return Fallito("the memory used could not be read");
    constexpr uint64_t kPacket = CConnectionStrumentoTipoQuarv::kCampioniSize;
    Esito e;
    for (uint64_t offset = 0; offset < used; offset += kPacket) {
        if (!q.ScaricaCampioni(uint16_t(offset / kPacket)))
            return Fallito("the samples could not be read past byte " + std::to_string(offset));
        uint32_t size = 0;
        const uint8_t* p = q.GetBufferCampioni(size);
        const size_t n = size_t(std::min<uint64_t>(size, used - offset));
        if (!sink(p, n)) return Fallito("the bytes read could not be kept");
        e.bytes += n;
    }
    e.ok = true;
    return e;
}

// Erase, write and read back the sensors or the ECU driver.
Esito ScriviArea(IConnectionStrumento& c, const char* what, const Bytes& data, bool (IConnectionStrumento::*erase)(),
                 bool (IConnectionStrumento::*write)(), bool (IConnectionStrumento::*read)(),
                 uint8_t* (IConnectionStrumento::*buffer)(uint32_t&)) {
    if (!(c.*erase)()) return Fallito(std::string("the ") + what + " could not be erased");
    uint32_t size = 0;
    uint8_t* p = (c.*buffer)(size);
    std::copy(data.begin(), data.end(), p);
    if (!(c.*write)()) return Fallito(std::string("the ") + what + " could not be written");
    if (!(c.*read)()) return Fallito(std::string("the ") + what + " could not be read back");
    p = (c.*buffer)(size);
    return Confronta(what, data, Bytes(p, p + size));
}

Esito ScriviConfigurazione(IConnectionStrumento& c, const Bytes& data) {
    if (!c.LeggiConfigurazione()) return Fallito("the configuration could not be read");
    if (auto* p = Pell(c)) {
        p->BufferConfigurazione() = data;
        if (!p->ScriviCFG()) return Fallito("the configuration could not be written");
        if (!p->LeggiConfigurazione()) return Fallito("the configuration could not be read back");
        return Confronta("configuration", data, p->BufferConfigurazione());
    }
    CConnectionStrumentoTipoQuarv& q = *Quarv(c);
    // No command writes the end of the 8 KB block: a file that wants it changed cannot be honoured.
    const auto first = data.begin() + datalogger::kExtra1Offset, last = data.begin() + datalogger::kConfSize;
    if (!std::equal(first, last, q.BufferCONF().begin() + datalogger::kExtra1Offset))
        return Fallito("bytes " + std::to_string(datalogger::kExtra1Offset) + " to " +
                       std::to_string(datalogger::kConfSize - 1) +
                       " of the configuration differ from the instrument, and no command of this family writes them");
    std::copy(data.begin(), data.begin() + datalogger::kConfSize, q.BufferCONF().begin());
    std::copy(data.begin() + datalogger::kConfSize, data.end(), q.BufferPCCONF().begin());
    if (!q.ScriviConfigurazione()) return Fallito("the configuration could not be written");
    if (!q.LeggiConfigurazione()) return Fallito("the configuration could not be read back");
    return Confronta("configuration", data, Concatena(q.BufferCONF(), q.BufferPCCONF()));
}

Esito ScriviTraguardi(IConnectionStrumento& c, const Bytes& data) {
    CTraguardiGPS& t = *Traguardi(c);
    t.SetImmagine(data);
    if (!c.ScriviTraguardiGPS()) return Fallito("the finish lines could not be written");
    if (Pell(c)) {
        if (!c.LeggiTraguardiGPS()) return Fallito("the finish lines could not be read back");
        return Confronta("finish lines", data, t.Immagine());
    }
    // Read back before the master restarted to take them up.
    Esito e;
    e.ok = true;
    e.bytes = data.size();
    e.riavviato = true;
    return e;
}

}  // namespace

const AreaInfo* Find(const std::string& name) {
    for (const AreaInfo& a : kAreas)
        if (name == a.name) return &a;
    return nullptr;
}

const AreaInfo& Info(Area area) {
    for (const AreaInfo& a : kAreas)
        if (a.area == area) return a;
    return kAreas[0];
}

std::vector<uint32_t> DimensioniPossibili(Area area) {
    switch (area) {
    case Area::Configurazione:
        return {datalogger::kConfSize + datalogger::kPcConfSize, CConnectionPELL460200::kConfigSize};
    case Area::Sensori: return {CConnectionStrumentoTipoQuarv::kSensorsSize};
    case Area::ECUDriver: return {CConnectionStrumentoTipoQuarv::kEcuSize};
    case Area::Traguardi: return {datalogger::kTraguardiSize};
    case Area::ICT: return {uint32_t(INFOFWUPD::kSize)};
    case Area::Campioni: return {};
    }
    return {};
}

bool Presente(IConnectionStrumento& c, Area area, std::string* why) {
    auto no = [why](const char* text) {
        if (why) *why = text;
        return false;
    };
    if (area == Area::Traguardi) {
        if (Pell(c)) return true;
        if (!Traguardi(c)) return no("this instrument keeps no finish lines");
        const auto* base = dynamic_cast<CConnectionStrumentoBase*>(&c);
        const CDeviceInfo* info = base ? base->GetDeviceInfo() : nullptr;
        if (!info || !info->HasGpsSlave()) return no("no GPS slave on this instrument's net holds the finish lines");
        return true;
    }
    if (!Quarv(c)) return no("this instrument keeps no data-logger areas");
    return true;
}

uint32_t Dimensione(IConnectionStrumento& c, Area area) {
    if (area == Area::Configurazione)
        return Pell(c) ? CConnectionPELL460200::kConfigSize : datalogger::kConfSize + datalogger::kPcConfSize;
    const auto sizes = DimensioniPossibili(area);
    return sizes.empty() ? 0 : sizes.front();
}

Esito Leggi(IConnectionStrumento& c, Area area, const Sink& sink) {
    std::string why;
    if (!Presente(c, area, &why)) return Fallito(why);
    CConnectionStrumentoTipoQuarv* q = Quarv(c);
    switch (area) {
    case Area::Configurazione:
        if (!c.LeggiConfigurazione()) return Fallito("the configuration could not be read");
        if (auto* p = Pell(c)) return Consegna(sink, {&p->BufferConfigurazione()});
        return Consegna(sink, {&q->BufferCONF(), &q->BufferPCCONF()});
    case Area::Sensori:
        if (!c.LeggiSensori()) return Fallito("the sensors could not be read");
        return Consegna(sink, {&q->BufferSensori()});
    case Area::ECUDriver:
        if (!c.LeggiECUDriver()) return Fallito("the ECU driver could not be read");
        return Consegna(sink, {&q->BufferECUDriver()});
    case Area::Traguardi: {
        if (!c.LeggiTraguardiGPS()) return Fallito("the finish lines could not be read");
        CTraguardiGPS& t = *Traguardi(c);
        return Consegna(sink, {&t.Header(), &t.Linee()});
    }
    case Area::ICT: {
        INFOFWUPD record("ict");
        if (!c.GetInfoICT(record)) return Fallito("no valid ict record was read");
        const Bytes bytes(record.data(), record.data() + record.kSize);
        return Consegna(sink, {&bytes});
    }
    case Area::Campioni: return LeggiCampioni(*q, sink);
    }
    return Fallito("unknown area");
}

Esito Leggi(IConnectionStrumento& c, Area area, Bytes& out) {
    out.clear();
    return Leggi(c, area, [&out](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    });
}

Esito Scrivi(IConnectionStrumento& c, Area area, const Bytes& data) {
    std::string why;
    if (!Info(area).writable) return Fallito(std::string("the ") + Info(area).name + " cannot be written");
    if (!Presente(c, area, &why)) return Fallito(why);
    if (data.size() != Dimensione(c, area))
        return Fallito("this instrument's " + std::string(Info(area).name) + " takes " +
                       std::to_string(Dimensione(c, area)) + " bytes, the file has " + std::to_string(data.size()));
    switch (area) {
    case Area::Configurazione: return ScriviConfigurazione(c, data);
    case Area::Sensori:
        return ScriviArea(c, "sensors", data, &IConnectionStrumento::CancellaSensori, &IConnectionStrumento::ScriviSensori,
                          &IConnectionStrumento::LeggiSensori, &IConnectionStrumento::GetBufferSensori);
    case Area::ECUDriver:
        return ScriviArea(c, "ECU driver", data, &IConnectionStrumento::CancellaECUDriver,
                          &IConnectionStrumento::ScriviECUDriver, &IConnectionStrumento::LeggiECUDriver,
                          &IConnectionStrumento::GetBufferECUDriver);
    case Area::Traguardi: return ScriviTraguardi(c, data);
    default: return Fallito("unknown area");
    }
}

}  // namespace data_areas
