#include "sim/sim_instrument.h"
#include "sim/sim_keys.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_command_names.h"
#include "usb/usb_connection.h"

namespace vesk::sim {

using namespace vesk::usb;

namespace {

// Booter families whose identity tail (0x30..0x7F) is held in memory and read
// separately by the host; the others report the whole record.
bool HasIdentityTail(uint16_t tipo_fam_boot) {
    const int cls = CUSBConnection::BooterFamilyClass(tipo_fam_boot);
    return cls >= 0 && cls != 19;
}

uint16_t ExpectedLength(uint8_t request) {
    switch (request) {
    case 0x0C:
    case 0x0E:
    case 0x0F: return 6;
    case 0x0D: return 9;
    default: return 0xFFFF;  // any
    }
}

}  // namespace

SimInstrument::SimInstrument(const SimInstrumentConfig& cfg)
    : cfg_(cfg), main_buffer_(kMainBufferSize, 0), product_id_(cfg.product_id) {
    identity_ = cfg.Identity();
    for (const SimMemoryBlock& b : cfg.memory) memory_.Write(b.address, SimPattern(b.seed, b.size));
    if (cfg.logged_bytes) {
        logged_data = SimPattern(cfg.serial, cfg.logged_bytes);
        memory_used = cfg.logged_bytes;
    }
    SetMode(cfg.in_booter);
    InstallNet(*this, cfg.net);
    const bool key = InstallKeyDevice(*this);
    if (cfg.flash || !key) SimFlash::InstallFor(*this, cfg.flash);
}

std::vector<uint8_t> SimInstrument::ConfigDescriptor() const {
    const uint8_t lo = uint8_t(packet_size()), hi = uint8_t(packet_size() >> 8);
    return {
        // configuration: 1 interface, bus powered
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,
        // interface 0: two bulk endpoints, vendor class
        9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
        // bulk IN, then bulk OUT: wMaxPacketSize of the first lands at offset 22
        7, 5, endpoint_in(), 2, lo, hi, 0,
        7, 5, endpoint_out(), 2, lo, hi, 0,
    };
}

void SimInstrument::MarkImageWritten(uint32_t start, uint32_t end) {
    const std::pair<uint32_t, uint32_t> r{start, end};
    if (std::find(image_regions_.begin(), image_regions_.end(), r) == image_regions_.end())
        image_regions_.push_back(r);
}

bool SimInstrument::HoldsImage(uint32_t address) const {
    return std::any_of(image_regions_.begin(), image_regions_.end(), [address](const auto& r) {
        return address >= r.first && address < r.second;
    });
}

void SimInstrument::Put(uint32_t address, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!HoldsImage(address + uint32_t(i))) memory_.Write(address + uint32_t(i), data + i, 1);
}

void SimInstrument::PublishIdentity() {
    if (!HasIdentityTail(identity_.tipoFamBoot())) return;
    const uint8_t* rec = identity_.data();
    const int cls = CUSBConnection::BooterFamilyClass(identity_.tipoFamBoot());
    uint32_t base;
    if (cls == 10 || cls == 11) {
        base = 0xFFBF30;
        Put(base, rec + 0x30, 80);
        Put(0xFF000A, rec + 0x3E, 2);
    } else {
        base = cls == 14 ? 0xF030 : 0xFFA030;
        const uint32_t second = cls == 14 ? 0xE000A : 0xFE000A;
        Put(base + 4, rec + 0x30, 80);
        // Running hours are kept big-endian there, next to the build byte.
        const uint8_t hours[2] = {rec[0x3F], rec[0x3E]};
        Put(second, hours, 2);
        Put(second + 22, rec + 0x19, 1);
    }
    const uint32_t head = base - 48;
    Put(head + 0x04, rec + 0x04, 4);
    Put(head + 0x10, rec + 0x10, 4);
    Put(head + 0x20, rec + 0x20, 2);
    Put(head + 0x28, rec + 0x28, 4);
}

INFOIDENT SimInstrument::ReportedIdentity() {
    ++ident_reads_;
    INFOIDENT r = identity_;
    uint8_t* rec = r.data();
    if (HasIdentityTail(identity_.tipoFamBoot())) {
        std::memset(rec + 0x30, 0, 0x50);
        // A PDIUSBD12 booter does not fill these; the host reads them from memory.
        if (in_booter() && !cfg_.d11) {
            r.set_u32(INFOIDENT::kLoggerCode, 0);
            r.set_u32(INFOIDENT::kIdLogger, 0);
            r.set_u16(INFOIDENT::kTipoSchScelta, 0);
            r.set_u32(INFOIDENT::kDateIDN, 0);
        }
    }
    if (const SimFault* f = FindFault(FaultKind::IdentityChanges))
        if (f->n == 0 || ident_reads_ <= f->n) rec[0] = uint8_t(ident_reads_);
    return r;
}

const SimFault* SimInstrument::FindFault(FaultKind k) const {
    for (const auto& f : cfg_.faults)
        if (f.kind == k) return &f;
    return nullptr;
}

int SimInstrument::ApplyTransferFault(int target, int command, FaultKind* kind, bool* acted) {
    for (auto& f : cfg_.faults) {
        if (f.Hit(target, command)) {
            *kind = f.kind;
            if (acted) *acted = f.acted;
            return 1;
        }
    }
    return 0;
}

int SimInstrument::FaultOutcome(FaultKind k, uint32_t timeout_ms, std::string* note) {
    if (note) *note = FaultKindName(k);
    switch (k) {
    case FaultKind::Stall: return kUsbErrorPipe;
    case FaultKind::Timeout:
        // Nothing answers: the host's transfer runs out its time.
        vesk::process_clock().sleep_ms(timeout_ms);
        return kUsbErrorTimeout;
    case FaultKind::Unplug:
        pending_unplug_ = true;
        return kUsbErrorNoDevice;
    default: return kUsbErrorIo;
    }
}

int SimInstrument::CheckFault(int target) {
    FaultKind k;
    if (!ApplyTransferFault(target, -1, &k)) return kUsbOk;
    return FaultOutcome(k, 0, nullptr);
}

void SimInstrument::ArmBulkIn(uint32_t length, uint32_t address) {
    pending_ = PendingBulk{true, true, length, address, nullptr};
}

void SimInstrument::ArmBulkOut(uint32_t length,
                               std::function<void(const uint8_t*, uint32_t)> sink) {
    pending_ = PendingBulk{true, false, length, 0, std::move(sink)};
}

std::optional<bool> SimInstrument::TakePendingLeave() {
    auto p = pending_leave_;
    pending_leave_.reset();
    return p;
}

void SimInstrument::SetMode(bool booter) {
    identity_.set_firmInEsec(booter ? INFOIDENT::kBooterRunning : kFirmwareRunning);
    PublishIdentity();
    ResetVolatile();
}

void SimInstrument::ResetVolatile() {
    pending_ = PendingBulk{};
    main_buffer_written_ = 0;
    std::fill(main_buffer_.begin(), main_buffer_.end(), 0);
}

const char* SimInstrument::Malformed(const ControlRequest& rq) const {
    switch (rq.request) {
    case 0x0C:
        if (rq.index != 0x0471 || rq.value != 0) return "malformed request";
        // The main buffer moves in whole packets.
        if (rq.address() == 0 && rq.word(3) % packet_size() != 0) return "length is not whole packets";
        return nullptr;
    case 0x0D:
    case 0x0F: return rq.value != 0 || rq.index != 0 ? "malformed request" : nullptr;
    case 0x0E: return rq.value != 0 ? "malformed request" : nullptr;  // wIndex: address bits 16-31
    default: return nullptr;
    }
}

int SimInstrument::Control(const ControlRequest& rq, uint16_t length, uint32_t timeout_ms,
                           size_t* transferred, std::string* note) {
    ++transfers_;
    *transferred = 0;
    // Any request ends what an earlier announcement allowed.
    pending_ = PendingBulk{};
    const int command =
        rq.request <= 0x02 ? rq.value : (rq.request == 0x0C ? rq.byte(5) : rq.byte(0));
    FaultKind k;
    bool acted = false;
    if (ApplyTransferFault(rq.request, command, &k, &acted)) {
        if (k != FaultKind::Short) {
            if (acted) {
                std::string done;
                Dispatch(rq, &done);
                if (rq.request != 0x0C) main_buffer_written_ = 0;
            }
            return FaultOutcome(k, timeout_ms, note);
        }
        *note = FaultKindName(k);
        *transferred = length ? length - 1u : 0u;
        return kUsbOk;
    }
    const uint16_t expected = ExpectedLength(rq.request);
    const char* malformed =
        expected != 0xFFFF && length != expected ? "malformed request" : Malformed(rq);
    if (malformed) {
        *note = malformed;
        return kUsbErrorPipe;
    }
    const int r = Dispatch(rq, note);
    if (!handler_note.empty()) {
        *note = std::move(handler_note);
        handler_note.clear();
    }
    if (rq.request != 0x0C) main_buffer_written_ = 0;
    if (r == kUsbOk) *transferred = length;
    return r;
}

int SimInstrument::Dispatch(const ControlRequest& rq, std::string* note) {
    switch (rq.request) {
    case 0x0C:
        pending_ = PendingBulk{true, rq.byte(5) == BULK_READ, rq.word(3), rq.address(), nullptr};
        return kUsbOk;
    case 0x0D: return Quarv3Command(rq);
    case 0x0E: return MemoryCommand(rq, note);
    case 0x0F: return BooterCommand(rq, note);
    case 0x00:
    case 0x01:
    case 0x02: {
        auto it = request_handlers_.find(rq.request);
        return it == request_handlers_.end() ? kUsbOk : it->second(*this, rq);
    }
    default: *note = "unknown request"; return kUsbErrorPipe;
    }
}

int SimInstrument::MemoryCommand(const ControlRequest& rq, std::string* note) {
    const uint8_t cmd = rq.command();
    if (auto it = memory_handlers_.find(cmd); it != memory_handlers_.end())
        return it->second(*this, rq);
    const uint32_t addr = rq.address();
    const uint32_t dati = std::min<uint32_t>(rq.word(4), kMainBufferSize);
    switch (cmd) {
    case MEM_READ:
        if (StoreGpsAreaWrite(addr)) *note = "main buffer stored";
        memory_.Read(addr, main_buffer_.data(), dati);
        return kUsbOk;
    case MEM_READVERS: {
        for (auto& hook : identity_hooks_) hook(*this);
        const INFOIDENT r = ReportedIdentity();
        std::memcpy(main_buffer_.data(), r.data(), INFOIDENT::kSize);
        return kUsbOk;
    }
    case MEM_WRITE: memory_.Write(addr, main_buffer_.data(), dati); return kUsbOk;
    default: return kUsbOk;  // accepted and traced
    }
}

bool SimInstrument::StoreGpsAreaWrite(uint32_t address) {
    if (!(address & kAreaGPS) || !main_buffer_written_) return false;
    memory_.Write(address, main_buffer_.data(), main_buffer_written_);
    return true;
}

int SimInstrument::Quarv3Command(const ControlRequest& rq) {
    const uint8_t cmd = rq.command();
    if (auto it = quarv3_handlers_.find(cmd); it != quarv3_handlers_.end())
        return it->second(*this, rq);
    const uint16_t c1 = rq.word(1), c2 = rq.word(3), c3 = rq.word(5), c4 = rq.word(7);
    if (cmd == CMD_GETONLINE) {
        std::fill(main_buffer_.begin(), main_buffer_.begin() + 256, 0);
        for (int i = 0; i < 4; ++i) main_buffer_[60 + i] = uint8_t(memory_used >> (8 * i));
    } else if (cmd == CMD_DWNLDDATA && c4 == 1) {
        const size_t offset = size_t(c1) | size_t(c2) << 16;
        for (size_t i = 0; i < kMainBufferSize; ++i)
            main_buffer_[i] = offset + i < logged_data.size() ? logged_data[offset + i] : 0xFF;
        ArmBulkIn(kMainBufferSize);
    } else if (cmd == CMD_DWNLDDATA && c4 == 2) {
        for (size_t i = 0; i < c3 && i < kMainBufferSize; ++i)
            main_buffer_[i] = c1 + i < config_area.size() ? config_area[c1 + i] : 0xFF;
    }
    return kUsbOk;
}

int SimInstrument::BooterCommand(const ControlRequest& rq, std::string* note) {
    const uint8_t cmd = rq.command();
    if (auto it = booter_handlers_.find(cmd); it != booter_handlers_.end())
        return it->second(*this, rq);
    if (cmd == 4) {
        LeaveBus(!in_booter());
        *note = in_booter() ? "switching to firmware" : "switching to booter";
    } else if (cmd == 15) {
        LeaveBus(false);
        *note = "restarting";
    }
    return kUsbOk;
}

int SimInstrument::Unannounced(uint32_t timeout_ms, std::string* note, const char* why) {
    pending_ = PendingBulk{};
    *note = why;
    vesk::process_clock().sleep_ms(timeout_ms);
    return kUsbErrorTimeout;
}

int SimInstrument::BulkStart(bool in, uint8_t endpoint, uint32_t length, uint32_t timeout_ms,
                             size_t* transferred, std::string* note, uint32_t* n) {
    ++transfers_;
    *transferred = 0;
    if (endpoint != (in ? endpoint_in() : endpoint_out())) {
        *note = "no such endpoint";
        return kUsbErrorNotFound;
    }
    FaultKind k = FaultKind::DriverError;
    const bool faulty = ApplyTransferFault(in ? kTargetBulkIn : kTargetBulkOut, -1, &k);
    if (faulty && k != FaultKind::Short) {
        pending_ = PendingBulk{};
        return FaultOutcome(k, timeout_ms, note);
    }
    if (!pending_.active || pending_.in != in) return Unannounced(timeout_ms, note, "not announced");
    if (pending_.length != length) return Unannounced(timeout_ms, note, "announced another length");
    if (faulty) *note = FaultKindName(k);
    *n = faulty ? (length ? length - 1 : 0) : length;
    return kUsbOk;
}

int SimInstrument::BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length,
                          uint32_t timeout_ms, size_t* transferred, std::string* note) {
    uint32_t n = 0;
    if (const int r = BulkStart(true, endpoint, length, timeout_ms, transferred, note, &n)) return r;
    if (pending_.address == 0) {
        const size_t have = std::min<size_t>(n, main_buffer_.size());
        std::memcpy(data, main_buffer_.data(), have);
        std::memset(data + have, 0xFF, n - have);
    } else {
        memory_.Read(pending_.address, data, n);
    }
    pending_ = PendingBulk{};
    *transferred = n;
    return kUsbOk;
}

int SimInstrument::BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length,
                           uint32_t timeout_ms, size_t* transferred, std::string* note) {
    uint32_t n = 0;
    if (const int r = BulkStart(false, endpoint, length, timeout_ms, transferred, note, &n)) return r;
    // The data of every block a write sends comes this way: it takes the unit's time.
    if (cfg_.bulk_out_ms) vesk::process_clock().sleep_ms(cfg_.bulk_out_ms);
    if (pending_.sink) {
        pending_.sink(data, n);
    } else if (pending_.address == 0) {
        const size_t have = std::min<size_t>(n, main_buffer_.size());
        std::memcpy(main_buffer_.data(), data, have);
        main_buffer_written_ = uint32_t(have);
    } else {
        memory_.Write(pending_.address, data, n);
    }
    pending_ = PendingBulk{};
    *transferred = n;
    return kUsbOk;
}

}  // namespace vesk::sim
