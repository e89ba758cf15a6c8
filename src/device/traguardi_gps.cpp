#include "device/traguardi_gps.h"

#include <algorithm>

#include "device/connection_strumento_base.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

using datalogger::kTraguardiHeaderAddress;
using datalogger::kTraguardiLineeAddress;

bool CTraguardiGPS::Disponibili() const {
    return letti_ && std::any_of(linee_.begin(), linee_.end(), [](uint8_t b) { return b != 0xFF; });
}

std::vector<uint8_t> CTraguardiGPS::Immagine() const {
    std::vector<uint8_t> out(header_);
    out.insert(out.end(), linee_.begin(), linee_.end());
    return out;
}

bool CTraguardiGPS::SetImmagine(const std::vector<uint8_t>& data) {
    if (data.size() != kSize) return false;
    std::copy(data.begin(), data.begin() + kHeaderSize, header_.begin());
    std::copy(data.begin() + kHeaderSize, data.end(), linee_.begin());
    return true;
}

void CTraguardiGPS::Traccia(CConnectionStrumentoBase& conn, bool scrittura) const {
    conn.SalvaTraceUsb(scrittura ? L"Scrivi_Traguardi_GPS_Header" : L"Leggi_Traguardi_GPS_Header",
                       header_.data(), header_.size());
    conn.SalvaTraceUsb(scrittura ? L"Scrivi_Traguardi_GPS_LL" : L"Leggi_Traguardi_GPS_LL",
                       linee_.data(), linee_.size());
}

// ---- through the GPS slave ----

bool CTraguardiGPS::GpsSlave(CConnectionStrumentoBase& conn, const char* method, uint8_t& nslave) {
    const CDeviceInfo* info = conn.GetDeviceInfo();
    if (!info || !info->HasGpsSlave()) {
        VLOG_ERROR(method, "No GPS slave holds the finish lines (GpsSlave %u)",
                   unsigned(info ? info->GetGpsSlave() : CDeviceInfo::kGpsNone));
        return false;
    }
    nslave = info->GetGpsSlave();
    return true;
}

bool CTraguardiGPS::LeggiTabelle(CConnectionStrumentoBase& conn, const char* method, uint8_t nslave,
                                 std::vector<uint8_t>& header, std::vector<uint8_t>& linee) {
    header.assign(kHeaderSize, 0xFF);
    linee.assign(kLineeSize, 0xFF);
    for (auto [address, table] : {std::pair{kTraguardiHeaderAddress, &header},
                                  std::pair{kTraguardiLineeAddress, &linee}}) {
        if (!conn.ReadMEM_Slave(nslave, address, uint16_t(table->size()), table->data())) {
            VLOG_ERROR(method, "Error reading finish lines at address %u from slave %u", address,
                       unsigned(nslave));
            return false;
        }
    }
    return true;
}

bool CTraguardiGPS::LeggiDaSlave(CConnectionStrumentoBase& conn, const char* method) {
    uint8_t nslave = 0;
    if (!GpsSlave(conn, method, nslave)) return false;
    std::vector<uint8_t> header, linee;
    if (!LeggiTabelle(conn, method, nslave, header, linee)) return false;
    header_ = std::move(header);
    linee_ = std::move(linee);
    letti_ = true;
    Traccia(conn, false);
    return true;
}

bool CTraguardiGPS::ScriviSuSlave(CConnectionStrumentoBase& conn, const char* method) {
    uint8_t nslave = 0;
    if (!GpsSlave(conn, method, nslave)) return false;
    for (auto [address, table] : {std::pair{kTraguardiHeaderAddress, &header_},
                                  std::pair{kTraguardiLineeAddress, &linee_}}) {
        for (uint32_t off = 0; off < table->size(); off += kBlock) {
            const uint32_t a = address + off;
            // The master keeps the block in its GPS area, then passes it on.
            if (!conn.WriteMEM_GPS(a, kBlock, table->data() + off)) {
                VLOG_ERROR(method, "Error in write mem GPS address %u len %u", a, kBlock);
                return false;
            }
            if (!conn.CtrlWrite_Memory(SLAVE_BULKWRITE, a, kBlock, nslave)) {
                VLOG_ERROR(method,
                           "Error in control write memory SLAVE_BULKWRITE address %u dati %u nslave %u",
                           a, kBlock, unsigned(nslave));
                return false;
            }
        }
    }
    std::vector<uint8_t> header, linee;
    if (!LeggiTabelle(conn, method, nslave, header, linee)) return false;
    if (header != header_ || linee != linee_) {
        int diversi = 0;
        for (size_t i = 0; i < header.size(); ++i) diversi += header[i] != header_[i];
        for (size_t i = 0; i < linee.size(); ++i) diversi += linee[i] != linee_[i];
        VLOG_ERROR(method, "finish lines read back differ from those written (%d bytes)", diversi);
        return false;
    }
    letti_ = true;
    Traccia(conn, true);
    // The master restarts to take up the new finish lines.
    if (!conn.CtrlWrite_BooterCmd15()) {
        VLOG_ERROR(method, "Error in control write booter BOOTER_RESET address %u len %u", 0u, 0u);
        return false;
    }
    return true;
}

bool CTraguardiGPS::CancellaSuSlave(CConnectionStrumentoBase& conn, const char* method) {
    std::fill(header_.begin(), header_.end(), 0xFF);
    std::fill(linee_.begin(), linee_.end(), 0xFF);
    return ScriviSuSlave(conn, method);
}

// ---- through the GPS requests ----

namespace {

bool GpsRichiesta(CConnectionStrumentoBase& conn, const char* method, uint16_t sub,
                  std::vector<uint8_t>* table, bool scrittura) {
    const auto payload = datalogger::OffsetLength(0, table ? uint32_t(table->size()) : 0);
    if (!conn.CtrlWrite_GPS(sub, 0, table ? uint16_t(payload.size()) : 0,
                            table ? payload.data() : nullptr)) {
        VLOG_ERROR(method, "CtrlWrite_GPS %s", GpsRequestName(sub));
        return false;
    }
    if (!table) return true;
    const bool ok = scrittura ? conn.WriteBulkPipe(table->data(), uint32_t(table->size()))
                              : conn.ReadBulkPipe(table->data(), uint32_t(table->size()));
    if (!ok) VLOG_ERROR(method, scrittura ? "WriteBulkPipe" : "ReadBulkPipe");
    return ok;
}

}  // namespace

bool CTraguardiGPS::LeggiGPS(CConnectionStrumentoBase& conn, const char* method) {
    std::vector<uint8_t> header(kHeaderSize, 0xFF), linee(kLineeSize, 0xFF);
    if (!GpsRichiesta(conn, method, GPS_LEGGI_TRAGUARDI_HEADER, &header, false) ||
        !GpsRichiesta(conn, method, GPS_LEGGI_TRAGUARDI_LL, &linee, false))
        return false;
    header_ = std::move(header);
    linee_ = std::move(linee);
    letti_ = true;
    Traccia(conn, false);
    return true;
}

bool CTraguardiGPS::ScriviGPS(CConnectionStrumentoBase& conn, const char* method) {
    if (!GpsRichiesta(conn, method, GPS_SCRIVI_TRAGUARDI_HEADER, &header_, true) ||
        !GpsRichiesta(conn, method, GPS_SCRIVI_TRAGUARDI_LL, &linee_, true))
        return false;
    Traccia(conn, true);
    return true;
}

bool CTraguardiGPS::CancellaGPS(CConnectionStrumentoBase& conn, const char* method) {
    if (!GpsRichiesta(conn, method, GPS_CANCELLA_TRAGUARDI, nullptr, false)) return false;
    std::fill(header_.begin(), header_.end(), 0xFF);
    std::fill(linee_.begin(), linee_.end(), 0xFF);
    letti_ = true;
    return true;
}
