#include "device/connection_strumento_base.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

#include "common/atomic_file.h"
#include "common/clock.h"
#include "common/user_file.h"
#include "common/wait_notice.h"
#include "common/str_conv.h"
#include "records/model_names.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

constexpr const char* kReadMainBufferFailed = "Error in read mem main buffer len %u, pBuffer %p";
constexpr const char* kReadSlaveBufferFailed =
    "Error in read mem main buffer len %u, pBuffer %p nslave %u";

std::string Utf8(const std::wstring& s) { return vesk::to_utf8(s); }

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& out) {
    std::string why;
    if (vesk::read_user_file(Utf8(path), vesk::kMaxAreaFile, out, why)) return true;
    VLOG_ERROR("CConnectionStrumentoBase::ReadWholeFile", "%s", why.c_str());
    return false;
}

}  // namespace

CConnectionStrumentoBase::CConnectionStrumentoBase(const std::wstring& app_folder,
                                                   uint16_t packet_length)
    : CUSBConnection(packet_length), app_folder_(app_folder) {}

bool CConnectionStrumentoBase::Connetti(CDeviceInfo* info) {
    info_ = info;
    if (!info) return false;
    return Apri(*info) > 0;
}

CDeviceInfo* CConnectionStrumentoBase::RefreshIdent(bool with_net_table, bool& ok) {
    ok = true;
    if (!info_) {
        ok = false;
        return nullptr;
    }
    if (!GetINFOIDENT(info_->Ident())) ok = false;
    if (with_net_table && !LeggiNetTable(true, false)) ok = false;
    return info_;
}

void CConnectionStrumentoBase::Chiudi() {
    ChiudiUSB();
    info_ = nullptr;
}

void CConnectionStrumentoBase::Riavvia() {
    if (!CtrlWrite_Booter(15, 0, 0))
        VLOG_ERROR("CConnectionStrumentoBase::Riavvia",
                   "Error in control write booter BOOTER_RESET address %u len %u", 0u, 0u);
}

bool CConnectionStrumentoBase::SendNetTableCommand(const char* method, uint16_t c4) {
    if (CtrlWrite_Quarv3(CMD_GETNETTABLE, 0, 0, 0, c4)) return true;
    VLOG_ERROR(method, "Error in control write quarv3 CMD_GETNETTABLE C1 %u C2 %u C3 %u C4 %u", 0u,
               0u, 0u, unsigned(c4));
    return false;
}

bool CConnectionStrumentoBase::ReadNetTable(const char* method, NETIDENT& table) {
    bool sent = true;
    const bool read = Repeatable({"CMD_GETNETTABLE"}, [&] {
        sent = SendNetTableCommand(method, 0);
        // The device sends 256 bytes; the last four of the stored table stay as they were.
        return sent && ReadMEM_MainBuff(NETIDENT::kReadSize, table.data());
    });
    if (read || !sent) return read;
    VLOG_ERROR(method, kReadMainBufferFailed, unsigned(NETIDENT::kReadSize),
               static_cast<void*>(table.data()));
    return false;
}

bool CConnectionStrumentoBase::LeggiNetTable(bool rebuild, bool fail_on_problem_slaves) {
    static constexpr NetReadStyle kStyle{"CConnectionStrumentoBase::LeggiNetTable",
                                         kNetRebuildLeadMs, kNetRebuildMs, kNetRereadMs,
                                         kSlaveRereadMs, true};
    return LeggiNetTable(kStyle, rebuild, fail_on_problem_slaves);
}

bool CConnectionStrumentoBase::LeggiNetTable(const NetReadStyle& style, bool rebuild,
                                             bool fail_on_problem_slaves) {
    const char* m = style.method;
    if (!info_) return false;
    CDeviceInfo& info = *info_;
    NETIDENT& table = info.NetTable();
    info.ResetGpsSlave();
    info.SetNetState(CDeviceInfo::NetState::NotRead);
    if (rebuild) {
        // One wait to whoever watches: the command between its two sleeps takes no time to speak of.
        vesk::AnnouncedWait wait(style.lead_ms + style.rebuild_ms, L"the net to rebuild");
        wait.Sleep(style.lead_ms);
        if (!SendNetTableCommand(m, 1)) return false;
        wait.Sleep(style.rebuild_ms);
    }
    if (!ReadNetTable(m, table)) return false;
    for (int attempts = 0;;) {
        vesk::Sleep(style.reread_ms);
        const NETIDENT previous = table;
        if (!ReadNetTable(m, table)) return false;
        if (++attempts > kMaxComparisons) {
            VLOG_ERROR(m,
                       "%d attempts are too many... there's no good master at the other side so "
                       "no good netident :-(",
                       attempts);
            return false;
        }
        if (table == previous) break;
    }
    ReadSlaves(style);
    info.BuildDisplayName(problem_slaves_);
    info.SetNetState(CDeviceInfo::NetState::Read);
    if (!problem_slaves_.empty()) {
        std::wstring names;
        for (const uint8_t s : problem_slaves_)
            names += L" " + GetNomeStrumento(info.SlaveIdent(s).loggerCode());
        VLOG_ERROR(m, "Error: problems with slave %s", Utf8(names).c_str());
        if (fail_on_problem_slaves) return false;
    }
    return true;
}

void CConnectionStrumentoBase::ReadSlaves(const NetReadStyle& style) {
    const char* m = style.method;
    const bool num = style.numbered;
    CDeviceInfo& info = *info_;
    for (size_t s = 0; s < kNetSlots; ++s) info.SlaveIdent(s) = INFOIDENT();
    problem_slaves_.clear();
    for (size_t s = 0; s < kNetSlots; ++s) {
        const uint16_t net_code = info.NetTable().SlaveCode(s);
        if (net_code == 0) continue;
        const uint8_t n = uint8_t(s + 1);
        INFOIDENT& ident = info.SlaveIdent(s);
        bool equal = false;
        bool read_failed = false;
        for (int attempts = 0;;) {
            if (!GetInfoIndentSlave(ident.data(), n)) {
                VLOG_ERROR(m, "Error in get ident slave nslave %u", unsigned(n));
                read_failed = true;
                break;
            }
            equal = ident.loggerCode() == net_code;
            if (equal) {
                const std::string name = Utf8(GetNomeStrumento(net_code));
                const std::string fw = Utf8(ident.FirmwareVersionText());
                if (num)
                    VLOG_INFO(m, "%s with firmware %s nslave %u", name.c_str(), fw.c_str(),
                              unsigned(n));
                else
                    VLOG_INFO(m, "%s with firmware %s", name.c_str(), fw.c_str());
            }
            if (++attempts > kMaxComparisons) {
                if (num)
                    VLOG_ERROR(m, "Too many attempts... there's no good slave at the other side "
                                  ":-( nslave %u",
                               unsigned(n));
                else
                    VLOG_ERROR(m, "Too many attempts... there's no good slave at the other side "
                                  ":-(");
                break;
            }
            vesk::Sleep(style.slave_reread_ms);
            if (equal) break;
        }
        if (read_failed) {
            problem_slaves_.push_back(uint8_t(s));
        } else if (equal) {
            if (!SistemaInfoIdentSlave(ident, s)) {
                if (num)
                    VLOG_ERROR(m, "Unable to fix slave ident nslave %u", unsigned(n));
                else
                    VLOG_ERROR(m, "Unable to fix slave ident");
                problem_slaves_.push_back(uint8_t(s));
            }
        } else {
            if (num)
                VLOG_ERROR(m, "slave infoident logger code %u differs from netident logger code "
                              "%u nslave %u",
                           unsigned(ident.loggerCode()), unsigned(net_code), unsigned(n));
            else
                VLOG_ERROR(m, "slave infoident logger code %u differs from netident logger code "
                              "%u",
                           unsigned(ident.loggerCode()), unsigned(net_code));
            problem_slaves_.push_back(uint8_t(s));
        }
    }
}

bool CConnectionStrumentoBase::FetchSlaveIdent(uint8_t* buffer, uint8_t nslave) {
    const char* m = "CConnectionStrumentoBase::GetInfoIndentSlave";
    bool sent = true;
    const bool read = Repeatable({"SLAVE_GETIDENT", 0, nslave}, [&] {
        sent = CtrlWrite_Memory(SLAVE_GETIDENT, 0, 0, nslave);
        return sent && ReadMEM_MainBuff(INFOIDENT::kSize, buffer);
    });
    if (read) return true;
    if (!sent) {
        VLOG_ERROR(m, "Error in control write memory SLAVE_GETIDENT address %u dati %u nslave %u",
                   0u, 0u, unsigned(nslave));
        return false;
    }
    VLOG_ERROR(m, kReadSlaveBufferFailed, unsigned(INFOIDENT::kSize), static_cast<void*>(buffer), unsigned(nslave));
    return false;
}

bool CConnectionStrumentoBase::GetInfoIndentSlave(uint8_t* buffer, uint8_t nslave) {
    if (!FetchSlaveIdent(buffer, nslave)) return false;
    std::array<uint8_t, INFOIDENT::kSize> previous;
    for (int attempts = 0;;) {
        vesk::Sleep(kSlaveIdentRereadMs);
        std::copy(buffer, buffer + INFOIDENT::kSize, previous.begin());
        if (!FetchSlaveIdent(buffer, nslave)) return false;
        if (++attempts > kMaxComparisons) {
            VLOG_ERROR("CConnectionStrumentoBase::GetInfoIndentSlave",
                       "%d attempts are too many... there's no good infoident :-(", attempts);
            return false;
        }
        if (std::equal(previous.begin(), previous.end(), buffer)) return true;
    }
}

bool CConnectionStrumentoBase::SistemaInfoIdentSlave(INFOIDENT& ident, size_t slot) {
    const char* m = "CConnectionStrumentoBase::SistemaInfoIdentSlave";
    const uint8_t n = uint8_t(slot + 1);
    uint16_t f = ident.firmInEsec();
    if ((f >> 8) >= 0x99) f &= 0xFF;
    const int kind = f == 10 ? 10 : BooterFamilyClass(ident.tipoFamBoot());
    if (f == 10) ident.set_tipoFamBoot(ident.tipoFamBoot() & 0x00FF);
    if (kind >= 0 && kind != 10) {
        const uint32_t address = kind == 11 ? 0xFF000A : kind == 14 ? 0x0E000A : 0xFE000A;
        uint8_t a[16], b[16];
        for (auto [addr, buf] : {std::pair{address, a}, std::pair{address + 16, b}}) {
            bool sent = true;
            const bool read = Repeatable({"MEM_READ16_SLAVE", addr, n}, [&, addr = addr, buf = buf] {
                sent = CtrlWrite_Memory(MEM_READ16_SLAVE, addr, 0, n);
                return sent && ReadMEM_MainBuff(sizeof a, buf);
            });
            if (!sent) {
                VLOG_ERROR(m,
                           "Error in control write memory MEM_READ16_SLAVE address %u dati %u "
                           "nslave %u",
                           unsigned(addr), 0u, unsigned(n));
                return false;
            }
            if (!read) {
                VLOG_ERROR(m, kReadSlaveBufferFailed, unsigned(sizeof a), static_cast<void*>(buf),
                           unsigned(n));
                return false;
            }
        }
        ident.set_u8(INFOIDENT::kOreMinuti + 1, a[0]);
        ident.set_u8(INFOIDENT::kOreMinuti, a[1]);
        ident.set_u8(INFOIDENT::kVerFirm + 1, b[6]);
    }
    const uint32_t code = ident.loggerCode();
    if (code & 0xF000) {
        ident.set_Variante_Ident(uint8_t(code >> 8));
        ident.set_loggerCode(code & 0x0FFF);
    }
    return true;
}

bool CConnectionStrumentoBase::LeggiIdentSlave(uint8_t nslave, CDeviceInfo& info) {
    const char* m = "CConnectionStrumentoBase::LeggiIdentSlave";
    if (nslave == 0 || nslave > 32) return false;
    const size_t slot = nslave - 1u;
    INFOIDENT& ident = info.SlaveIdent(slot);
    if (!GetInfoIndentSlave(ident.data(), nslave)) return false;
    const uint16_t net_code = info.NetTable().SlaveCode(slot);
    if (ident.loggerCode() != net_code) {
        VLOG_ERROR(m, "infoident logger code %u differs from netident logger code %u nslave %u",
                   unsigned(ident.loggerCode()), unsigned(net_code), unsigned(nslave));
        return false;
    }
    if (!SistemaInfoIdentSlave(ident, slot)) {
        VLOG_ERROR(m, "Unable to fix slave ident nslave %u", unsigned(nslave));
        return false;
    }
    return true;
}

bool CConnectionStrumentoBase::DumpStrumento(const std::wstring& path) {
    if (!IsOpen()) return false;
    constexpr uint32_t kStep = 8192;
    constexpr uint32_t kLowStart = 0x8000, kLowEnd = 0x10000;
    constexpr uint32_t kHighStart = 0x20000, kHighEnd = 0x800000;
    std::vector<uint8_t> low, high;
    try {
        low.assign(kLowEnd - kLowStart, 0);
        high.assign(kHighEnd - kHighStart, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const char* m = "CConnectionStrumentoBase::DumpStrumento";
    Buchi holes;
    for (uint32_t a = kHighStart; a < kHighEnd; a += kStep)
        if (!ReadMEM_Bank1(a, kStep, high.data() + (a - kHighStart))) AggiungiBuco(holes, a, kStep);
    for (uint32_t a = kLowStart; a < kLowEnd; a += kStep)
        if (!ReadMEM_Bank1(a, kStep, low.data() + (a - kLowStart))) AggiungiBuco(holes, a, kStep);
    // A dump with holes would pass zeros off as the instrument's memory.
    return DumpIntero(m, path, holes) && ScriviDump(m, path, {low, high});
}

void CConnectionStrumentoBase::AggiungiBuco(Buchi& holes, uint32_t first, uint32_t size) {
    const uint32_t last = first + size - 1;
    if (!holes.empty() && holes.back().second + 1 == first)
        holes.back().second = last;
    else
        holes.emplace_back(first, last);
}

bool CConnectionStrumentoBase::DumpIntero(const char* method, const std::wstring& path, const Buchi& holes) {
    if (holes.empty()) return true;
    std::string list;
    for (const auto& [first, last] : holes) {
        char range[32];
        std::snprintf(range, sizeof range, "0x%X-0x%X", unsigned(first), unsigned(last));
        list += (list.empty() ? "" : ", ") + std::string(range);
    }
    VLOG_ERROR(method, "Dump not written to %s: the memory at %s could not be read", Utf8(path).c_str(),
               list.c_str());
    return false;
}

bool CConnectionStrumentoBase::ScriviDump(const char* method, const std::wstring& path,
                                          std::initializer_list<std::span<const uint8_t>> parts) {
    vesk::AtomicFileWriter out;
    if (!out.Open(Utf8(path), vesk::FileTarget::UserNamed)) {
        VLOG_ERROR(method, "Error creating dump file %s: %s", Utf8(path).c_str(), out.Error().c_str());
        return false;
    }
    bool ok = true;
    for (const auto& part : parts) ok = ok && out.Write(part.data(), part.size());
    // A dump that did not reach the file whole is no dump; the old file stays.
    if (!ok || !out.Commit()) {
        VLOG_ERROR(method, "Error writing dump file %s: %s", Utf8(path).c_str(), out.Error().c_str());
        return false;
    }
    return true;
}

bool CConnectionStrumentoBase::TracciaInfoident(const std::wstring& text) {
    if (!info_) return false;
    VLOG_INFO("CConnectionStrumentoBase::TracciaInfoident", "-----> INFOIDENT :%s \n%s",
              Utf8(text).c_str(), Utf8(info_->Ident().DumpText()).c_str());
    return true;
}

bool CConnectionStrumentoBase::SwitchMode(const Request& rq, bool to_booter, const std::function<bool()>& send) {
    const char* m = "CConnectionStrumentoBase::SwitchMode";
    for (int retry = 1;; ++retry) {
        if (send()) return true;
        if (retry > kTransientRetries || !LastFailureTransient()) return false;
        INFOIDENT now;
        const bool read = rq.nslave ? FetchSlaveIdent(now.data(), rq.nslave) : GetINFOIDENT(now);
        if (!read) {
            // Leaving the bus is what a master's switch does: its return is
            // waited for and identified as after any switch.
            if (rq.nslave == 0 && !LastFailureTransient()) {
                VLOG_INFO(m, "%s: the unit left the bus, the switch was taken", rq.name);
                return true;
            }
            return false;
        }
        if (now.IsInBooter() == to_booter) {
            VLOG_INFO(m, "%s (slave %u): the unit reports the mode it was sent to, not sent again", rq.name,
                      unsigned(rq.nslave));
            return true;
        }
        LogRetry(rq, retry);
    }
}

bool CConnectionStrumentoBase::GotoBooter() {
    if (info_ && info_->Ident().IsInBooter()) {
        VLOG_ERROR("CConnectionStrumentoBase::GotoBooter", "device results to be already in booter");
        return true;
    }
    return SwitchMode({"BOOTER_SWITCH"}, true, [&] { return CtrlWrite_Booter(BOOTER_SWITCH, 0, 0); });
}

bool CConnectionStrumentoBase::GotoFirmware() {
    if (info_ && !info_->Ident().IsInBooter()) {
        VLOG_ERROR("CConnectionStrumentoBase::GotoFirmware",
                   "device results to be already in firmware");
        return true;
    }
    return SwitchMode({"BOOTER_SWITCH"}, false, [&] { return CtrlWrite_Booter(BOOTER_SWITCH, 0, 0); });
}

bool CConnectionStrumentoBase::GotoBooterSlave(uint8_t nslave) {
    if (SwitchMode({"SLAVE_GOTOBOOTER", 0, nslave}, true,
                   [&] { return CtrlWrite_Memory(SLAVE_GOTOBOOTER, 0, 0, nslave); }))
        return true;
    VLOG_ERROR("CConnectionStrumentoBase::GotoBooterSlave",
               "Error in control write memory SLAVE_GOTOBOOTER address %u dati %u nslave %u", 0u, 0u,
               unsigned(nslave));
    return false;
}

bool CConnectionStrumentoBase::GotoFirmwareSlave(uint8_t nslave) {
    VLOG_INFO("CConnectionStrumentoBase::GotoFirmwareSlave", "GotoFirmwareSlave per idx %u",
              unsigned(nslave));
    return SwitchMode({"SLAVE_GOTOFIRMWARE", 0, nslave}, false,
                      [&] { return CtrlWrite_Memory(SLAVE_GOTOFIRMWARE, 0, 0, nslave); });
}

bool CConnectionStrumentoBase::SalvaTraceUsb(const std::wstring& name, const uint8_t* data,
                                             size_t length) const {
    // Beside the log; no log, no trace.
    const std::string log = vesk::log_file_path();
    const size_t slash = log.rfind('/');
    if (slash == std::string::npos) return false;
    return vesk::write_file_atomically(log.substr(0, slash + 1) + Utf8(name) + ".usb", data, length,
                                       vesk::FileTarget::OwnName);
}

bool CConnectionStrumentoBase::GetInfoFirmup(INFOFWUPD& record, uint8_t nslave) {
    const char* m = "CConnectionStrumentoBase::GetInfoFirmup";
    bool sent = true;
    const bool read = Repeatable({"MEM_GET_INFOFWUPD", 0, nslave}, [&] {
        sent = CtrlWrite_Memory(MEM_GET_INFOFWUPD, 0, 0, nslave);
        return sent && ReadMEM_MainBuff(INFOFWUPD::kSize, record.data());
    });
    if (!sent) {
        VLOG_ERROR(m, "Error in control write memory MEM_GET_INFOFWUPD address %u dati %u nslave %u",
                   0u, 0u, unsigned(nslave));
        return false;
    }
    if (!read) {
        record.InitDefault();
        VLOG_ERROR(m, kReadMainBufferFailed, unsigned(INFOFWUPD::kSize),
                   static_cast<void*>(record.data()));
        return false;
    }
    if (!record.IsValid()) record.InitDefault();
    return true;
}

bool CConnectionStrumentoBase::DebugRichiesta16() { return CtrlWrite_Debug(16, 0, 0, nullptr); }
bool CConnectionStrumentoBase::DebugRichiesta17() { return CtrlWrite_Debug(17, 0, 0, nullptr); }

// CercaFileFirmware and CercaFileBooter: file_discovery.cpp; the other
// gauges' search and store: connection_strumento_base_other.cpp.

bool CConnectionStrumentoBase::AggiornaAccessoriFile(int index, const std::wstring& path) {
    const auto it = accessori_.find(index);
    if (it == accessori_.end()) return false;
    std::vector<uint8_t> data;
    if (!ReadWholeFile(path, data) || data.empty()) return false;
    const uint16_t length = uint16_t(it->second.end - it->second.start);
    // A file shorter than the range is padded as erased flash, never read past.
    if (data.size() < length) data.resize(length, 0xFF);
    return WriteMEM_Generic(it->second.start, length, data.data(), false);
}

bool CConnectionStrumentoBase::CaricaOtherAccessoriFile(int, int, const std::wstring& path) {
    std::vector<uint8_t> data;
    ReadWholeFile(path, data);
    return false;
}
