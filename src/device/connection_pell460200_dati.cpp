// The data-logger operations the Pell masters answer in their own way: the
// recorded buffer, the track version, the ECU stream record, the finish lines
// and the 8 MB data area through the GPS requests, and the direct flash write.
#include <algorithm>

#include "device/connection_pell460200.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

constexpr const char* kMainBufferFailed = "Error in read mem main buffer len %u, pBuffer %p";

}  // namespace

bool CConnectionPELL460200::ScriviMinchiateMaVeloce() {
    const char* m = "CConnectionPELL460200::ScriviMinchiateMaVeloce";
    if (!CtrlWrite_Memory(MEM_DIRECT_WRITE_EFL, kDirectWriteAddress, 0, 0)) {
        VLOG_ERROR(m, "Error in control write memory MEM_DIRECT_WRITE_EFL address %u dati %u nslave %u",
                   kDirectWriteAddress, 0u, 0u);
        return false;
    }
    std::vector<uint8_t> pattern(kDirectWriteSize);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i);
    // Length 0: a whole 64 KB packet.
    if (!WriteMEM_Download(kDirectWriteAddress, 0, pattern.data())) {
        VLOG_ERROR(m, "WriteMEM_Download");
        return false;
    }
    return true;
}

bool CConnectionPELL460200::DebugRichiesta2() { return CtrlWrite_Debug(2, 0, 0, nullptr); }

bool CConnectionPELL460200::LeggiRecord128(const char* method, bool gps, uint16_t request,
                                           uint8_t* out) {
    const bool sent = gps ? CtrlWrite_GPS(request, 0, 0, nullptr) : CtrlWrite_CFG(request, 0, 0, nullptr);
    if (!sent) {
        VLOG_ERROR(method, gps ? "CtrlWrite_GPS %s" : "CtrlWrite_CFG %s",
                   gps ? GpsRequestName(request) : CfgRequestName(request));
        return false;
    }
    if (!ReadMEM_MainBuff(uint16_t(INFOFWUPD::kSize), out)) {
        VLOG_ERROR(method, kMainBufferFailed, unsigned(INFOFWUPD::kSize), static_cast<void*>(out));
        return false;
    }
    return true;
}

int CConnectionPELL460200::GetBufferRegistrato(uint32_t& length) {
    const char* m = "CConnectionPELL460200::GetBufferRegistrato";
    length = 0;
    if (!CtrlWrite_CFG(CFG_LEGGI_IBR, 0, 0, nullptr)) {
        VLOG_ERROR(m, "CtrlWrite_CFG %s", "CFG_LEGGI_IBR");
        return -1;
    }
    uint8_t header[INFOFWUPD::kSize];
    if (!ReadMEM_MainBuff(sizeof header, header)) {
        VLOG_ERROR(m, kMainBufferFailed, unsigned(sizeof header), static_cast<void*>(header));
        return -1;
    }
    if (!datalogger::RecordValido(header, "ibr", false)) return 0;
    const uint32_t n = vesk::get_le32(header + datalogger::kIbrLengthOffset);
    if (n <= 1) return 0;
    // The length comes from the instrument: never more than it can hold.
    if (n > datalogger::kAreaDatiSize) {
        VLOG_ERROR(m, "recorded buffer of %u bytes is larger than the %u bytes an instrument holds",
                   n, datalogger::kAreaDatiSize);
        return -3;
    }
    registrato_.assign(n, 0xFF);
    if (!RichiesteAParti(m, false, CFG_LEGGI_REGISTRATO, 0, n, kRegistratoChunk, registrato_.data(), nullptr))
        return -1;
    length = n;
    return 1;
}

bool CConnectionPELL460200::GetVersionePiste(VersionePiste& out) {
    const char* m = "CConnectionPELL460200::GetVersionePiste";
    uint8_t record[INFOFWUPD::kSize];
    if (!LeggiRecord128(m, true, GPS_VERSIONE_PISTE, record)) return false;
    if (!datalogger::RecordValido(record, "nfp", false)) {
        VLOG_ERROR(m, "no valid nfp record");
        return false;
    }
    out.versione = vesk::get_le32(record + datalogger::kNfpVersioneOffset);
    out.revisione = vesk::get_le32(record + datalogger::kNfpRevisioneOffset);
    return true;
}

bool CConnectionPELL460200::GetInfoECUStream() {
    uint8_t record[INFOFWUPD::kSize];
    if (!LeggiRecord128("CConnectionPELL460200::GetInfoECUStream", false, CFG_INFO_ECU_STREAM,
                        record))
        return false;
    ecu_stream_.assign(record, record + sizeof record);
    return true;
}

bool CConnectionPELL460200::LeggiTraguardiGPS() {
    return Traguardi().LeggiGPS(*this, "CConnectionPELL460200::LeggiTraguardiGPS");
}

bool CConnectionPELL460200::ScriviTraguardiGPS() {
    return Traguardi().ScriviGPS(*this, "CConnectionPELL460200::ScriviTraguardiGPS");
}

bool CConnectionPELL460200::CancellaTraguardiGPS() {
    return Traguardi().CancellaGPS(*this, "CConnectionPELL460200::CancellaTraguardiGPS");
}

// ---- the 8 MB data area ----

bool CConnectionPELL460200::AreaDatiEntro(const char* method, uint32_t offset,
                                          uint32_t length) const {
    if (uint64_t(offset) + length <= datalogger::kAreaDatiSize) return true;
    VLOG_ERROR(method, "offset %u length %u lie outside the data area", offset, length);
    return false;
}

bool CConnectionPELL460200::LeggiAreaDati(uint32_t offset, uint32_t length, uint8_t* dest) {
    const char* m = "CConnectionPELL460200::LeggiAreaDati";
    return dest && AreaDatiEntro(m, offset, length) &&
           RichiesteAParti(m, true, GPS_LEGGI_AREA, offset, length, kAreaDatiChunk, dest, nullptr);
}

bool CConnectionPELL460200::ScriviAreaDati(uint32_t offset, uint32_t length, const uint8_t* src) {
    const char* m = "CConnectionPELL460200::ScriviAreaDati";
    if (!src || !AreaDatiEntro(m, offset, length)) return false;
    if (!CtrlWrite_GPS(GPS_INIZ_AREA, 0, 0, nullptr)) {
        VLOG_ERROR(m, "CtrlWrite_GPS %s", "GPS_INIZ_AREA");
        return false;
    }
    if (!RichiesteAParti(m, true, GPS_SCRIVI_AREA, offset, length, kAreaDatiChunk, nullptr, src)) return false;
    if (!CtrlWrite_GPS(GPS_FINE_AREA, 0, 0, nullptr)) {
        VLOG_ERROR(m, "CtrlWrite_GPS %s", "GPS_FINE_AREA");
        return false;
    }
    return true;
}

bool CConnectionPELL460200::CancellaAreaDati() {
    const char* m = "CConnectionPELL460200::CancellaAreaDati";
    // A start with no data in between erases the area.
    for (uint16_t request : {uint16_t(GPS_INIZ_AREA), uint16_t(GPS_FINE_AREA)}) {
        if (!CtrlWrite_GPS(request, 0, 0, nullptr)) {
            VLOG_ERROR(m, "CtrlWrite_GPS %s", GpsRequestName(request));
            return false;
        }
    }
    return true;
}
