// The data-logger operations of the Quarv families: configuration and its
// sections, the records and areas behind the configuration requests, the GPS
// finish lines, the two 32 KB areas, the samples and the online answers.
#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "device/connection_strumento_tipo_quarv.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

using datalogger::kSezioni;

namespace {

constexpr const char* kCfgFailed = "CtrlWrite_CFG %s";
constexpr const char* kQuarv3Failed = "Error in control write quarv3 %s C1 %u C2 %u C3 %u C4 %u";
constexpr const char* kMainBufferFailed = "Error in read mem main buffer len %u, pBuffer %p";

}  // namespace

// ---- configuration ----

bool CConnectionStrumentoTipoQuarv::LeggiConfigurazione() {
    std::fill(conf_.begin(), conf_.end(), 0xFF);
    std::fill(pcconf_.begin(), pcconf_.end(), 0xFF);
    if (!ReadMEM_Bank1(datalogger::kConfAddress, uint16_t(conf_.size()), conf_.data()) ||
        !ReadMEM_Bank1(datalogger::kPcConfAddress, uint16_t(pcconf_.size()), pcconf_.data()))
        return false;
    conf_saved_ = conf_;
    pcconf_saved_ = pcconf_;
    config_read_ = true;
    return true;
}

bool CConnectionStrumentoTipoQuarv::InviaSezione(size_t index) {
    const char* m = "CConnectionStrumentoTipoQuarv::ScriviConfigurazione";
    const datalogger::Sezione& s = kSezioni[index];
    const uint8_t* base = (s.block == datalogger::Blocco::Conf ? conf_ : pcconf_).data() + s.offset;
    for (uint32_t off = 0; off < s.size; off += datalogger::kSezionePezzo) {
        const uint32_t n = std::min(datalogger::kSezionePezzo, s.size - off);
        if (!WriteMEM_MainBuff(uint16_t(n), base + off)) return false;
        // C1: where the piece goes in the section, C2: its length.
        if (!CtrlWrite_Quarv3(s.command, uint16_t(off), uint16_t(n), 0, 0)) {
            VLOG_ERROR(m, kQuarv3Failed, s.command_name, off, n, 0u, 0u);
            return false;
        }
    }
    return true;
}

bool CConnectionStrumentoTipoQuarv::ScriviConfigurazione() {
    if (!config_read_) return false;
    for (size_t i = 0; i < std::size(kSezioni); ++i)
        if (!InviaSezione(i)) return false;
    conf_saved_ = conf_;
    pcconf_saved_ = pcconf_;
    return true;
}

uint8_t* CConnectionStrumentoTipoQuarv::Sezione(size_t index, uint32_t& size) {
    if (!config_read_) return Nothing(size);
    const datalogger::Sezione& s = kSezioni[index];
    size = s.size;
    return (s.block == datalogger::Blocco::Conf ? conf_ : pcconf_).data() + s.offset;
}

uint8_t* CConnectionStrumentoTipoQuarv::GetPCCONF() {
    uint32_t size = 0;
    return Sezione(9, size);
}

uint8_t* CConnectionStrumentoTipoQuarv::GetSezioneExtra1() {
    return config_read_ ? conf_.data() + datalogger::kExtra1Offset : nullptr;
}

uint8_t* CConnectionStrumentoTipoQuarv::GetSezioneExtra2() {
    return config_read_ ? conf_.data() + datalogger::kExtra2Offset : nullptr;
}

uint8_t* CConnectionStrumentoTipoQuarv::GetBufferConfigurazione(uint32_t& size) {
    size = uint32_t(pcconf_.size());
    return pcconf_.data();
}

bool CConnectionStrumentoTipoQuarv::IsConfigurazioneModificata() const {
    return config_read_ && (conf_ != conf_saved_ || pcconf_ != pcconf_saved_);
}

bool CConnectionStrumentoTipoQuarv::CopiaConfigurazione(std::vector<uint8_t>& dest, const uint8_t* src,
                                                        uint32_t length) {
    if (!src) return false;
    const uint32_t n = std::min<uint32_t>(length, uint32_t(dest.size()));
    std::copy(src, src + n, dest.begin());
    std::fill(dest.begin() + n, dest.end(), 0xFF);
    return true;
}

bool CConnectionStrumentoTipoQuarv::SetConfigurazione(const uint8_t* src, uint32_t length) {
    return CopiaConfigurazione(pcconf_, src, length);
}

// ---- records and areas behind the configuration requests ----

bool CConnectionStrumentoTipoQuarv::LeggiRecord(const char* method, uint16_t request,
                                                uint16_t index, const char* tag,
                                                INFOFWUPD& record) {
    if (!CtrlWrite_CFG(request, index, 0, nullptr)) {
        VLOG_ERROR(method, kCfgFailed, CfgRequestName(request));
        return false;
    }
    uint8_t bytes[INFOFWUPD::kSize];
    if (!ReadMEM_MainBuff(sizeof bytes, bytes)) {
        VLOG_ERROR(method, kMainBufferFailed, unsigned(sizeof bytes), static_cast<void*>(bytes));
        return false;
    }
    // The caller gets the bytes as read, valid or not.
    record.FromBytes(bytes, sizeof bytes);
    return datalogger::RecordValido(bytes, tag, true);
}

bool CConnectionStrumentoTipoQuarv::GetInfoICT(INFOFWUPD& record) {
    return LeggiRecord("CConnectionStrumentoTipoQuarv::GetInfoICT", CFG_LEGGI_ICT, 0, "ict", record);
}

bool CConnectionStrumentoTipoQuarv::GetInfoIDP(INFOFWUPD& record, uint8_t nslave) {
    return LeggiRecord("CConnectionStrumentoTipoQuarv::GetInfoIDP", CFG_LEGGI_IDP, nslave, "idp",
                       record);
}

bool CConnectionStrumentoTipoQuarv::RichiesteAParti(const char* method, bool gps, uint16_t request,
                                                    uint32_t offset, uint32_t length, uint32_t chunk, uint8_t* in,
                                                    const uint8_t* out) {
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(chunk, length - done);
        const auto payload = datalogger::OffsetLength(offset + done, n);
        const bool sent = gps ? CtrlWrite_GPS(request, 0, uint16_t(payload.size()), payload.data())
                              : CtrlWrite_CFG(request, 0, uint16_t(payload.size()), payload.data());
        if (!sent) {
            VLOG_ERROR(method, gps ? "CtrlWrite_GPS %s" : "CtrlWrite_CFG %s",
                       gps ? GpsRequestName(request) : CfgRequestName(request));
            return false;
        }
        if (in ? !ReadBulkPipe(in + done, n) : !WriteBulkPipe(out + done, n)) {
            VLOG_ERROR(method, in ? "ReadBulkPipe" : "WriteBulkPipe");
            return false;
        }
        done += n;
    }
    return true;
}

bool CConnectionStrumentoTipoQuarv::LeggiAreaMemoria(uint32_t offset, uint32_t length,
                                                     uint8_t* dest) {
    if (!dest || !RichiesteAParti("CConnectionStrumentoTipoQuarv::LeggiAreaMemoria", false, CFG_LEGGI_AREA,
                                  offset, length, kAreaMemoriaReadChunk, dest, nullptr))
        return false;
    area_memoria_letta_ = true;
    return true;
}

bool CConnectionStrumentoTipoQuarv::ScriviAreaMemoria(uint32_t offset, uint32_t length,
                                                      const uint8_t* src) {
    const char* m = "CConnectionStrumentoTipoQuarv::ScriviAreaMemoria";
    if (!src) return false;
    if (!CtrlWrite_CFG(CFG_INIZ_AREA, 0, 0, nullptr)) {
        VLOG_ERROR(m, kCfgFailed, "CFG_INIZ_AREA");
        return false;
    }
    if (!RichiesteAParti(m, false, CFG_SCRIVI_AREA, offset, length, kAreaMemoriaWriteChunk, nullptr, src))
        return false;
    // The instrument stores the last chunk before it takes the end request.
    vesk::Sleep(kAreaMemoriaEndWaitMs);
    if (!CtrlWrite_CFG(CFG_FINE_AREA, 0, 0, nullptr)) {
        VLOG_ERROR(m, kCfgFailed, "CFG_FINE_AREA");
        return false;
    }
    return true;
}

bool CConnectionStrumentoTipoQuarv::LeggiAreaDatiSlave(uint8_t nslave, uint32_t offset,
                                                       uint32_t length, uint8_t* dest) {
    const char* m = "CConnectionStrumentoTipoQuarv::LeggiAreaDatiSlave";
    if (!dest) return false;
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = std::min(kDatiSlaveChunk, length - done);
        const auto payload = datalogger::OffsetLength(offset + done, n);
        if (!CtrlWrite_CFG(CFG_LEGGI_DATI_SLAVE, nslave, uint16_t(payload.size()), payload.data())) {
            VLOG_ERROR(m, kCfgFailed, "CFG_LEGGI_DATI_SLAVE");
            return false;
        }
        if (!ReadMEM_MainBuff(uint16_t(n), dest + done)) {
            VLOG_ERROR(m, kMainBufferFailed, n, static_cast<void*>(dest + done));
            return false;
        }
        done += n;
    }
    return true;
}

// ---- GPS finish lines ----

bool CConnectionStrumentoTipoQuarv::LeggiTraguardiGPS() {
    return traguardi_.LeggiDaSlave(*this, "CConnectionStrumentoTipoQuarv::LeggiTraguardiGPS");
}

bool CConnectionStrumentoTipoQuarv::ScriviTraguardiGPS() {
    return traguardi_.ScriviSuSlave(*this, "CConnectionStrumentoTipoQuarv::ScriviTraguardiGPS");
}

bool CConnectionStrumentoTipoQuarv::CancellaTraguardiGPS() {
    return traguardi_.CancellaSuSlave(*this, "CConnectionStrumentoTipoQuarv::CancellaTraguardiGPS");
}

// ---- memory areas, samples, online answers ----

bool CConnectionStrumentoTipoQuarv::LeggiArea32KBassa() {
    std::fill(area_bassa_.begin(), area_bassa_.end(), 0xFF);
    return ReadMEM_Bank1(0, uint16_t(area_bassa_.size()), area_bassa_.data());
}

bool CConnectionStrumentoTipoQuarv::LeggiArea32KAlta() {
    std::fill(area_alta_.begin(), area_alta_.end(), 0xFF);
    return ReadMEM_Bank1(kArea32KAltaAddress, uint16_t(area_alta_.size()), area_alta_.data());
}

bool CConnectionStrumentoTipoQuarv::ScaricaCampioni(uint16_t packet) {
    return Download1Packet(packet, campioni_.data());
}

bool CConnectionStrumentoTipoQuarv::Comando7() {
    if (CtrlWrite_Quarv3Cmd7()) return true;
    VLOG_ERROR("CConnectionStrumentoTipoQuarv::Comando7", kQuarv3Failed, "7", 0u, 0u, 0u, 0u);
    return false;
}

bool CConnectionStrumentoTipoQuarv::LeggiOnline(const char* method, uint8_t command, uint16_t c1) {
    if (!CtrlWrite_Quarv3(command, c1, 0, 0, 0)) {
        VLOG_ERROR(method, kQuarv3Failed, Quarv3CommandName(command), unsigned(c1), 0u, 0u, 0u);
        return false;
    }
    if (!ReadMEM_MainBuff(uint16_t(online_.size()), online_.data())) {
        VLOG_ERROR(method, kMainBufferFailed, unsigned(online_.size()),
                   static_cast<void*>(online_.data()));
        return false;
    }
    online_letto_ = true;
    return true;
}

bool CConnectionStrumentoTipoQuarv::GetOnline() {
    return LeggiOnline("CConnectionStrumentoTipoQuarv::GetOnline", CMD_GETONLINE, 0);
}

bool CConnectionStrumentoTipoQuarv::GetOnline2() {
    return LeggiOnline("CConnectionStrumentoTipoQuarv::GetOnline2", CMD_GETONLINE2, 0);
}

bool CConnectionStrumentoTipoQuarv::GetOnlineSlave(uint8_t nslave) {
    return LeggiOnline("CConnectionStrumentoTipoQuarv::GetOnlineSlave", CMD_GETONLINESLAVE, nslave);
}

// ---- buffers ----

uint8_t* CConnectionStrumentoTipoQuarv::GetBufferECUDriver(uint32_t& size) {
    size = uint32_t(ecu_.size());
    return ecu_.data();
}

uint8_t* CConnectionStrumentoTipoQuarv::GetBufferSensori(uint32_t& size) {
    size = uint32_t(sensors_.size());
    return sensors_.data();
}

uint8_t* CConnectionStrumentoTipoQuarv::GetBufferCampioni(uint32_t& size) {
    size = uint32_t(campioni_.size());
    return campioni_.data();
}
