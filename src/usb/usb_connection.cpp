#include "usb/usb_connection.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "usb/usb_command_names.h"

namespace {

constexpr uint16_t kDescriptorPacketSizeOffset = 22;
constexpr uint16_t kD11PacketSize = 8;

// Faults that may pass: a stall, a timeout, a short transfer, a driver error;
// not a unit gone from the bus, nor a refused or busy open.
bool TransientOutcome(int outcome) {
    switch (outcome) {
    case vesk::usb::kUsbErrorPipe:
    case vesk::usb::kUsbErrorTimeout:
    case vesk::usb::kUsbErrorIo:
    case vesk::usb::kUsbErrorOverflow:
    case vesk::usb::kUsbErrorOther:
    case CUSBHardware::kShortTransfer: return true;
    default: return false;
    }
}

const char* OutcomeName(int outcome) {
    switch (outcome) {
    case vesk::usb::kUsbErrorPipe: return "stall";
    case vesk::usb::kUsbErrorTimeout: return "timeout";
    case CUSBHardware::kShortTransfer: return "short transfer";
    default: return "driver error";
    }
}

}  // namespace

CUSBConnection::CUSBConnection(uint16_t packet_length)
    : buffer_(std::make_unique<std::array<uint8_t, kTransferBufferSize>>()),
      // One main-buffer transfer must fit the transfer buffer.
      packet_length_(std::min<uint16_t>(packet_length, kTransferBufferSize)) {
    buffer_->fill(0);
}

CUSBConnection::~CUSBConnection() { ChiudiUSB(); }

// ---- opening and closing ----

int CUSBConnection::Apri(const CDeviceInfo& info) {
    if (hardware_ && commons_.HandleValido()) return connection_type_;
    // Opening reads the device's descriptors: safe to repeat after a transient fault.
    for (int retry = 1;; ++retry) {
        const int type = ApriUnaVolta(info);
        if (type > 0 || retry > kTransientRetries || !TransientOutcome(commons_.LastError())) return type;
        VLOG_INFO("CUSBConnection::Apri", "open of %s: %s (0x%x), trying again (%d of %d)", unit_.c_str(),
                  OutcomeName(commons_.LastError()), unsigned(commons_.LastError()), retry, kTransientRetries);
    }
}

int CUSBConnection::ApriUnaVolta(const CDeviceInfo& info) {
    const std::wstring& device_path = info.GetDevicePath();
    connection_type_ = USB_CONN_CLOSED;
    hardware_.reset();

    const int result = commons_.CreaFile(device_path) ? 0 : USB_CONN_NO_OPEN;
    const std::string path = vesk::to_utf8(device_path);
    unit_ = path;
    if (!commons_.HandleValido()) {
        ChiudiUSB();
        VLOG_ERROR("CUSBConnection::Apri", "Unable to create connection 'file' for path %s",
                   path.c_str());
        return result;
    }
    uint8_t descriptor[256];
    if (!commons_.LeggiUSBDescriptor(descriptor)) {
        ChiudiUSB();
        VLOG_ERROR("CUSBConnection::Apri", "Impossible IO at path %s", path.c_str());
        return USB_CONN_NO_DESCRIPTOR;
    }
    const uint16_t packet = uint16_t(descriptor[kDescriptorPacketSizeOffset] |
                                     descriptor[kDescriptorPacketSizeOffset + 1] << 8);
    const bool d11 = packet == kD11PacketSize;
    vesk::usb::IUsbDevice* h = commons_.Handle();
    if (commons_.Is64()) {
        hardware_ = d11 ? std::unique_ptr<CUSBHardware>(new CUSBSerial_PDIUSBD11_64(h))
                        : std::unique_ptr<CUSBHardware>(new CUSBParall_PDIUSBD12_64(h));
        connection_type_ = d11 ? USB_CONN_D11_64 : USB_CONN_D12_64;
    } else {
        hardware_ = d11 ? std::unique_ptr<CUSBHardware>(new CUSBSerial_PDIUSBD11_32(h))
                        : std::unique_ptr<CUSBHardware>(new CUSBParall_PDIUSBD12_32(h));
        connection_type_ = d11 ? USB_CONN_D11_32 : USB_CONN_D12_32;
    }
    return connection_type_;
}

bool CUSBConnection::ApriConnessione(const CDeviceInfo& info) {
    return Apri(info) > 0;
}

void CUSBConnection::ChiudiUSB() {
    // The access object refers to the handle: drop it first.
    hardware_.reset();
    commons_.ChiudiHandle();
    connection_type_ = USB_CONN_CLOSED;
}

bool IUSBConnection::GetListaDeviceCollegati(std::vector<CDeviceInfo>& out, ListingMisses* misses) {
    out.clear();
    ListingMisses none;
    if (!misses) misses = &none;
    *misses = {};
    std::vector<std::wstring> paths;
    {
        C_Vesk_USB_Commons commons;
        if (!commons.GetElencoDeviceCollegati(paths)) return false;
    }
    auto conn = std::make_unique<CUSBConnection>(256);
    for (const auto& path : paths) {
        CDeviceInfo found;
        found.SetDevicePath(path);
        if (conn->Apri(found) <= 0) {
            VLOG_ERROR("IUSBConnection::GetListaDeviceCollegati", "Unable to open connection");
            if (conn->LastOpenError() == vesk::usb::kUsbErrorBusy) ++misses->busy;
            continue;
        }
        const bool ok = conn->GetINFOIDENT(found.Ident());
        conn->ChiudiUSB();
        if (ok) out.push_back(found);
        else ++misses->unanswered;
    }
    return true;
}

// ---- raw requests ----

bool CUSBConnection::CheckDevice(const char* method) const {
    if (hardware_) return true;
    VLOG_ERROR(method, "Bad device");
    return false;
}

uint32_t CUSBConnection::RoundUp(uint32_t length) const {
    const uint32_t p = hardware_->GetPacketSize();
    return (length + p - 1) / p * p;
}

bool CUSBConnection::CtrlWrite_Bulk(uint8_t direction, uint32_t address, uint16_t length) {
    return CheckDevice("CUSBConnection::CtrlWrite_Bulk") &&
           hardware_->CtrlWrite_Bulk(direction, address, length);
}

bool CUSBConnection::CtrlWrite_Memory(uint8_t command, uint32_t address, uint16_t dati,
                                      uint8_t nslave) {
    return CheckDevice("CUSBConnection::CtrlWrite_Memory") &&
           hardware_->CtrlWrite_Memory(command, address, dati, nslave);
}

// A bulk transfer moves exactly its length: a short one is a failure, never
// data with a stale tail.
bool CUSBConnection::ReadBulkPipe(uint8_t* buffer, uint32_t length) {
    return CheckDevice("CUSBConnection::ReadBulkPipe") &&
           hardware_->ReadBulkPipe(buffer, length) > 0 && !ShortTransfer("CUSBConnection::ReadBulkPipe", length);
}

bool CUSBConnection::WriteBulkPipe(const uint8_t* buffer, uint32_t length) {
    return CheckDevice("CUSBConnection::WriteBulkPipe") &&
           hardware_->WriteBulkPipe(buffer, length) > 0 && !ShortTransfer("CUSBConnection::WriteBulkPipe", length);
}

bool CUSBConnection::ShortTransfer(const char* method, uint32_t length) const {
    if (hardware_->LastOutcome() != CUSBHardware::kShortTransfer) return false;
    VLOG_ERROR(method, "Short transfer: fewer than %u bytes moved", unsigned(length));
    return true;
}

// ---- transient faults ----

bool CUSBConnection::LastFailureTransient() const { return hardware_ && TransientOutcome(hardware_->LastOutcome()); }

void CUSBConnection::LogRetry(const Request& rq, int retry) const {
    const int outcome = hardware_ ? hardware_->LastOutcome() : vesk::usb::kUsbErrorOther;
    if (rq.nslave)
        VLOG_INFO("CUSBConnection::Repeatable", "%s address %u to slave %u through %s: %s (0x%x), trying again (%d of %d)",
                  rq.name, unsigned(rq.address), unsigned(rq.nslave), unit_.c_str(), OutcomeName(outcome),
                  unsigned(outcome), retry, kTransientRetries);
    else
        VLOG_INFO("CUSBConnection::Repeatable", "%s address %u to %s: %s (0x%x), trying again (%d of %d)", rq.name,
                  unsigned(rq.address), unit_.c_str(), OutcomeName(outcome), unsigned(outcome), retry,
                  kTransientRetries);
}

bool CUSBConnection::Repeatable(const Request& rq, const std::function<bool()>& attempt) {
    if (repeat_depth_ > 0) return attempt();
    ++repeat_depth_;
    bool ok = attempt();
    for (int retry = 1; !ok && retry <= kTransientRetries && LastFailureTransient(); ++retry) {
        LogRetry(rq, retry);
        ok = attempt();
    }
    --repeat_depth_;
    return ok;
}

bool CUSBConnection::CtrlWrite_Quarv3(uint8_t command, uint16_t c1, uint16_t c2, uint16_t c3,
                                      uint16_t c4) {
    return CheckDevice("CUSBConnection::CtrlWrite_Quarv3") &&
           hardware_->CtrlWrite_Quarv3(command, c1, c2, c3, c4);
}

bool CUSBConnection::CtrlWrite_Booter(uint8_t command, uint32_t address, uint16_t value) {
    return CheckDevice("CUSBConnection::CtrlWrite_Booter") &&
           hardware_->CtrlWrite_Booter(command, address, value);
}

bool CUSBConnection::CtrlWrite_Debug(uint16_t value, uint16_t index, uint16_t length,
                                     const uint8_t* data) {
    return CheckDevice("CUSBConnection::CtrlWrite_Debug") &&
           hardware_->CtrlWrite_Debug(value, index, length, data);
}

bool CUSBConnection::CtrlWrite_GPS(uint16_t value, uint16_t index, uint16_t length,
                                   const uint8_t* data) {
    return CheckDevice("CUSBConnection::CtrlWrite_GPS") &&
           hardware_->CtrlWrite_GPS(value, index, length, data);
}

bool CUSBConnection::CtrlWrite_CFG(uint16_t value, uint16_t index, uint16_t length,
                                   const uint8_t* data) {
    if (!CheckDevice("CUSBConnection::CtrlWrite_CFG")) return false;
    if (hardware_->CtrlWrite_CFG(value, index, length, data)) return true;
    VLOG_ERROR("CUSBConnection::CtrlWrite_CFG", "%s", "");
    return false;
}

bool CUSBConnection::CtrlWrite_Memory8(uint32_t address, uint8_t value, uint8_t nslave) {
    return CtrlWrite_Memory(nslave ? 5 : 2, address, value, nslave);
}

bool CUSBConnection::CtrlWrite_Memory16(uint32_t address, uint16_t value, uint8_t nslave) {
    return CtrlWrite_Memory(nslave ? 6 : 3, address, value, nslave);
}

bool CUSBConnection::CtrlWrite_Quarv3Cmd7() { return CtrlWrite_Quarv3(7, 0, 0, 0, 0); }
bool CUSBConnection::CtrlWrite_MemoryCmd18() { return CtrlWrite_Memory(18, 0, 0, 0); }
bool CUSBConnection::CtrlWrite_BooterCmd15() { return CtrlWrite_Booter(15, 0, 0); }
bool CUSBConnection::CtrlWrite_BooterCmd4() { return CtrlWrite_Booter(4, 0, 0); }
bool CUSBConnection::GotoBooterSlave(uint8_t nslave) {
    return CtrlWrite_Memory(52, 0, 0, nslave);
}
bool CUSBConnection::GotoFirmwareSlave(uint8_t nslave) {
    return CtrlWrite_Memory(54, 0, 0, nslave);
}
bool CUSBConnection::CtrlWrite_MemoryCmd51() { return CtrlWrite_Memory(51, 0, 0, 0); }

// ---- main buffer ----

// The main buffer keeps its contents until the next command: fetching it
// again, or filling it again with the same data, is safe to repeat.
bool CUSBConnection::ReadMEM_MainBuff(uint16_t length, uint8_t* dest) {
    const char* m = "CUSBConnection::ReadMEM_MainBuff";
    if (!CheckDevice(m)) return false;
    const uint16_t n = uint16_t(std::min<uint32_t>(RoundUp(length), packet_length_));
    return Repeatable({"BULK_READ"}, [&] {
        if (!hardware_->CtrlWrite_Bulk(BULK_READ, 0, n)) {
            VLOG_ERROR(m, "Error in control write bulk BULK_READ address %u len %u", 0u, unsigned(n));
            return false;
        }
        if (hardware_->ReadBulkPipe(buffer_->data(), n) < 0 || ShortTransfer(m, n)) return false;
        std::memcpy(dest, buffer_->data(), std::min<size_t>(length, n));
        return true;
    });
}

bool CUSBConnection::WriteMEM_MainBuff(uint16_t length, const uint8_t* src) {
    const char* m = "CUSBConnection::WriteMEM_MainBuff";
    if (!CheckDevice(m)) return false;
    const uint16_t n = uint16_t(std::min<uint32_t>(RoundUp(length), packet_length_));
    return Repeatable({"BULK_WRITE"}, [&] {
        // Padding up to n keeps whatever the transfer buffer held before.
        std::memcpy(buffer_->data(), src, std::min<size_t>(length, n));
        if (!hardware_->CtrlWrite_Bulk(BULK_WRITE, 0, n)) {
            VLOG_ERROR(m, "Error in control write bulk BULK_WRITE address %u len %u", 0u, unsigned(n));
            return false;
        }
        return hardware_->WriteBulkPipe(buffer_->data(), n) >= 0 && !ShortTransfer(m, n);
    });
}

// ---- chunked memory access ----

bool CUSBConnection::ReadChunked(const char* method, uint32_t address, uint16_t length,
                                 uint8_t* dest, bool slave, uint8_t nslave) {
    if (!CheckDevice(method)) return false;
    const uint32_t chunk = hardware_->GetChunkSize();
    const uint32_t total = RoundUp(length);
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t n = std::min(total - offset, chunk);
        const uint32_t a = address + offset;
        uint8_t command = MEM_READ;
        uint16_t dati = 128;
        if (slave) {
            command = (length - offset > 16) ? MEM_READ128_SLAVE : MEM_READ16_SLAVE;
            dati = 0;
        }
        const bool read = Repeatable({MemoryCommandName(command), a, nslave}, [&] {
            if (!hardware_->CtrlWrite_Memory(command, a, dati, nslave)) {
                VLOG_ERROR(method, "Error in control write memory %s address %u dati %u nslave %u",
                           MemoryCommandName(command), a, unsigned(dati), unsigned(nslave));
                return false;
            }
            if (!hardware_->CtrlWrite_Bulk(BULK_READ, 0, uint16_t(n))) {
                VLOG_ERROR(method, "Error in control write bulk BULK_READ address %u len %u", 0u, n);
                return false;
            }
            if (hardware_->ReadBulkPipe(buffer_->data(), n) < 0 || ShortTransfer(method, n)) {
                if (!slave) VLOG_ERROR(method, "Error reading");
                return false;
            }
            return true;
        });
        if (!read) return false;
        // The last chunk may hold padding beyond the caller's length.
        std::memcpy(dest + offset, buffer_->data(), std::min<uint32_t>(n, length - offset));
        offset += n;
    }
    return true;
}

bool CUSBConnection::ReadMEM_Generic(uint32_t address, uint16_t length, uint8_t* dest) {
    return ReadChunked("CUSBConnection::ReadMEM_Generic", address, length, dest, false, 0);
}

bool CUSBConnection::ReadMEM_Slave(uint8_t nslave, uint32_t address, uint16_t length,
                                   uint8_t* dest) {
    return ReadChunked("CUSBConnection::ReadMEM_Slave", address, length, dest, true, nslave);
}

bool CUSBConnection::WriteMEM_Generic(uint32_t address, uint16_t length, const uint8_t* src,
                                      bool toward_slaves) {
    if (!CheckDevice("CUSBConnection::WriteMEM_Generic")) return false;
    const uint32_t chunk = hardware_->GetChunkSize();
    const uint32_t total = RoundUp(length);
    const uint8_t command = toward_slaves ? SLAVE_BULKWRITE : MEM_WRITE;
    std::array<uint8_t, kTransferBufferSize> last{};
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t n = std::min(chunk, total - offset);
        const uint8_t* piece = src + offset;
        if (offset + n > length) {
            // The whole packets of the last chunk go out zero-padded, never
            // read from beyond the caller's data.
            last.fill(0);
            std::memcpy(last.data(), src + offset, length - offset);
            piece = last.data();
        }
        const uint32_t a = address + offset;
        // The same data to the same address: the chunk is written again whole.
        const bool written = Repeatable({MemoryCommandName(command), a}, [&] {
            if (!WriteMEM_MainBuff(uint16_t(n), piece)) return false;
            if (hardware_->CtrlWrite_Memory(command, a, uint16_t(n), 0)) return true;
            VLOG_ERROR("CUSBConnection::WriteMEM_Generic",
                       "Error in control write memory (nSlave ? SLAVE_BULKWRITE : MEM_WRITE) address %u "
                       "dati %u nslave %u",
                       a, n, 0u);
            return false;
        });
        if (!written) return false;
        offset += n;
    }
    return true;
}

bool CUSBConnection::ReadMEM_Bank1(uint32_t address, uint16_t length, uint8_t* dest) {
    return ReadMEM_Generic(address | kAreaBank1, length, dest);
}

bool CUSBConnection::WriteMEM_Bank1(uint32_t address, uint16_t length, const uint8_t* src,
                                    bool toward_slaves) {
    return WriteMEM_Generic(address | kAreaBank1, length, src, toward_slaves);
}

bool CUSBConnection::ReadMEM_GPS(uint32_t address, uint16_t length, uint8_t* dest) {
    return ReadMEM_Generic(address | kAreaGPS, length, dest);
}

bool CUSBConnection::WriteMEM_GPS(uint32_t address, uint16_t length, const uint8_t* src) {
    if (!WriteMEM_MainBuff(length, src)) return false;
    // The read command on the GPS area is what stores the main buffer there.
    uint8_t scratch[16];
    std::memset(scratch, 0xFF, sizeof scratch);
    return ReadMEM_Generic(address | kAreaGPS, sizeof scratch, scratch);
}

// ---- download ----

bool CUSBConnection::ReadMEM_Download(uint32_t address, uint16_t length, uint8_t* dest) {
    if (!CheckDevice("CUSBConnection::ReadMEM_Download")) return false;
    return hardware_->CtrlWrite_Bulk(BULK_READ, address, length) &&
           hardware_->ReadBulkPipe(dest, length) > 0;
}

bool CUSBConnection::WriteMEM_Download(uint32_t /*address*/, uint16_t length,
                                       const uint8_t* src) {
    if (!CheckDevice("CUSBConnection::WriteMEM_Download")) return false;
    // Length 0 stands for a whole 64 KiB packet.
    const uint32_t n = length ? length : 65536;
    return hardware_->WriteBulkPipe(src, n) > 0;
}

bool CUSBConnection::Download1Packet(uint16_t index, uint8_t* dest) {
    if (!CheckDevice("CUSBConnection::Download1Packet")) return false;
    std::vector<uint8_t> temp(65536);
    if (!hardware_->CtrlWrite_Quarv3(CMD_DWNLDDATA, 0, index, 0, 1)) {
        VLOG_ERROR("CUSBConnection::Download1Packet",
                   "Error in control write quarv3 CMD_DWNLDDATA C1 %u C2 %u C3 %u C4 %u", 0u,
                   unsigned(index), 0u, 1u);
        return false;
    }
    if (hardware_->ReadBulkPipe(temp.data(), uint32_t(temp.size())) <= 0) return false;
    std::memcpy(dest, temp.data(), temp.size());
    return true;
}

bool CUSBConnection::DownloadConfig(uint8_t* dest) {
    if (!CheckDevice("CUSBConnection::DownloadConfig")) return false;
    constexpr uint32_t kConfigSize = 8192;
    for (uint32_t offset = 0; offset < kConfigSize; offset += 256) {
        if (!hardware_->CtrlWrite_Quarv3(CMD_DWNLDDATA, uint16_t(offset), 0, packet_length_, 2)) {
            VLOG_ERROR("CUSBConnection::DownloadConfig",
                       "Error in control write quarv3 CMD_DWNLDDATA C1 %u C2 %u C3 %u C4 %u",
                       offset, 0u, unsigned(packet_length_), 2u);
            return false;
        }
        // Never past the 8192 bytes of the destination.
        const uint16_t n = uint16_t(std::min<uint32_t>(packet_length_, kConfigSize - offset));
        if (!ReadMEM_MainBuff(n, dest + offset)) {
            VLOG_ERROR("CUSBConnection::DownloadConfig",
                       "Error in read mem main buffer len %u, pBuffer %p", unsigned(n),
                       static_cast<void*>(dest + offset));
            return false;
        }
    }
    return true;
}

bool CUSBConnection::GetMemoryUsedQuarv3(uint32_t& used) {
    if (!CtrlWrite_Quarv3(CMD_GETONLINE, 0, 0, 0, 0)) {
        VLOG_ERROR("CUSBConnection::GetMemoryUsedQuarv3",
                   "Error in control write quarv3 CMD_GETONLINE C1 %u C2 %u C3 %u C4 %u", 0u, 0u,
                   0u, 0u);
        return false;
    }
    uint8_t online[256] = {};
    if (!ReadMEM_MainBuff(sizeof online, online)) {
        VLOG_ERROR("CUSBConnection::GetMemoryUsedQuarv3",
                   "Error in read mem main buffer len %u, pBuffer %p", 256u,
                   static_cast<void*>(online));
        return false;
    }
    used = uint32_t(online[60]) | uint32_t(online[61]) << 8 | uint32_t(online[62]) << 16 |
           uint32_t(online[63]) << 24;
    return true;
}

// ---- identification ----

int CUSBConnection::BooterFamilyClass(uint16_t tipo_fam_boot) {
    struct Entry {
        uint16_t key;
        int cls;
    };
    static const Entry kTable[] = {{5, 11},  {9, 11},  {12, 11},   {13, 11},  {2, 12},
                                   {1025, 19}, {6, 13}, {7, 12},   {8, 10},   {11, 12},
                                   {21, 18}, {24, 18}, {22, 14},   {23, 18},  {769, 15},
                                   {0xFFFF, 0}};
    for (const auto& e : kTable) {
        if (e.key == 0xFFFF) break;
        if (e.key == tipo_fam_boot) return e.cls;
    }
    return -1;
}

bool CUSBConnection::GetINFOIDENT(INFOIDENT& r) {
    const char* m = "CUSBConnection::GetINFOIDENT";
    auto readvers = [&]() {
        if (CtrlWrite_Memory(MEM_READVERS, 0, 0, 0)) return true;
        VLOG_ERROR(m, "Error in control write memory MEM_READVERS address %u dati %u nslave %u",
                   0u, 0u, 0u);
        return false;
    };
    auto fetch = [&](uint8_t* out) {
        if (ReadMEM_MainBuff(INFOIDENT::kSize, out)) return true;
        VLOG_ERROR(m, "Error in read mem main buffer len %u, pBuffer %p",
                   unsigned(INFOIDENT::kSize), static_cast<void*>(out));
        return false;
    };
    // Each read lands in the caller's record: after a failed confirmation it
    // holds the last record the instrument gave.
    uint8_t* cur = r.data();
    auto read = [&] { return Repeatable({"MEM_READVERS"}, [&] { return readvers() && fetch(cur); }); };
    if (!read()) return false;
    for (int attempts = 0;;) {
        vesk::Sleep(kIdentConfirmWaitMs);
        uint8_t prev[INFOIDENT::kSize];
        std::memcpy(prev, cur, sizeof prev);
        if (!read()) return false;
        ++attempts;
        if (attempts > kIdentMaxAttempts) {
            VLOG_ERROR(m, "%d attempts are too many... there's no good infoident :-(", attempts);
            return false;
        }
        if (std::memcmp(prev, cur, sizeof prev) == 0) break;
    }
    return IdentityExtraReads(r);
}

bool CUSBConnection::IdentityExtraReads(INFOIDENT& r) {
    const char* m = "CUSBConnection::GetINFOIDENT";
    const int cls = BooterFamilyClass(r.tipoFamBoot());
    if (cls < 0 || cls == 19) return true;
    uint8_t* rec = r.data();
    uint32_t base;
    if (cls == 10 || cls == 11) {
        base = 0xFFBF30;
        uint8_t tail[80];
        if (!ReadMEM_Generic(base, sizeof tail, tail)) return false;
        std::memcpy(rec + 0x30, tail, sizeof tail);
        uint8_t hours[16];
        if (!ReadMEM_Generic(0xFF000A, sizeof hours, hours)) {
            VLOG_ERROR(m, "Error reading memory");
            return false;
        }
        rec[0x3E] = hours[0];
        rec[0x3F] = hours[1];
    } else {
        base = (cls == 14) ? 0xF030 : 0xFFA030;
        const uint32_t second = (cls == 14) ? 0xE000A : 0xFE000A;
        uint8_t block[128];
        if (!ReadMEM_Generic(base, sizeof block, block)) {
            VLOG_ERROR(m, "Error reading memory");
            return false;
        }
        std::memcpy(rec + 0x30, block + 4, 80);
        if (!ReadMEM_Generic(second, sizeof block, block)) {
            VLOG_ERROR(m, "Error reading memory");
            return false;
        }
        // The running-hours word is held big-endian there.
        rec[0x3F] = block[0];
        rec[0x3E] = block[1];
        rec[0x19] = block[22];
    }
    const bool d12 = connection_type_ == USB_CONN_D12_32 || connection_type_ == USB_CONN_D12_64;
    if ((r.firmInEsec() & 0xFF) == 16 && d12) {
        uint8_t head[48];
        if (!ReadMEM_Generic(base - 48, sizeof head, head)) {
            VLOG_ERROR(m, "Error reading memory");
            return false;
        }
        std::memcpy(rec + 0x04, head + 0x04, 4);
        std::memcpy(rec + 0x10, head + 0x10, 4);
        std::memcpy(rec + 0x20, head + 0x20, 2);
        std::memcpy(rec + 0x28, head + 0x28, 4);
    }
    return true;
}
