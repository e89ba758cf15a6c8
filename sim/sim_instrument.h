#pragma once
// The device side of one simulated instrument: its identity, memory, main
// buffer, the announcement rule of bulk transfers, mode switches and faults.
// Commands are dispatched through handler tables, so further behaviour (net
// tables, slaves, flash regions, configuration, key devices) plugs in with
// Set*Handler without touching the transfer rules.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_fault.h"
#include "sim/sim_flash.h"
#include "sim/sim_memory.h"
#include "sim/sim_net.h"
#include "sim/sim_trace.h"
#include "records/info_ident.h"

namespace vesk::sim {

// A block of the instrument's memory filled with reproducible bytes at start.
struct SimMemoryBlock {
    uint32_t address = 0;
    uint32_t size = 0;
    uint32_t seed = 0;
};

struct SimInstrumentConfig : SimIdentityConfig {
    std::string path;  // empty: the bus gives the next free port
    bool d11 = false;  // PDIUSBD11 chip (8-byte packets); else PDIUSBD12 (64)
    uint16_t product_id = 0x0101;
    uint32_t reenumerate_ms = 3000;
    uint32_t bulk_out_ms = 0;  // time each bulk transfer to the instrument takes
    std::vector<SimFault> faults;
    SimNetConfig net;
    std::optional<SimFlashConfig> flash;  // the update-relevant memory (sim_flash.h)
    std::vector<SimMemoryBlock> memory;   // memory contents at start
    uint32_t logged_bytes = 0;            // logged data at start (CMD_DWNLDDATA, memory used)
    // A bench: plugged in this long after the bus was made, and pulled out at
    // present_until_ms (none: left in), whatever it is doing then.
    uint64_t present_from_ms = 0;
    std::optional<uint64_t> present_until_ms;
};

class SimInstrument {
public:
    static constexpr size_t kMainBufferSize = 65536;
    static constexpr uint16_t kFirmwareRunning = 1;

    using Handler = std::function<int(SimInstrument&, const ControlRequest&)>;

    explicit SimInstrument(const SimInstrumentConfig& cfg);

    const SimInstrumentConfig& config() const { return cfg_; }
    const std::string& path() const { return cfg_.path; }
    // The product id it is enumerated under now (a fault can change it on a return).
    uint16_t product_id() const { return product_id_; }
    void set_product_id(uint16_t id) { product_id_ = id; }
    void set_path(const std::string& p) { cfg_.path = p; }
    bool in_booter() const { return identity_.IsInBooter(); }
    uint16_t packet_size() const { return cfg_.d11 ? 8 : 64; }
    uint8_t endpoint_in() const { return cfg_.d11 ? 0x81 : 0x82; }
    uint8_t endpoint_out() const { return cfg_.d11 ? 0x01 : 0x02; }
    std::vector<uint8_t> ConfigDescriptor() const;

    // The instrument's own identity; after changing it call PublishIdentity
    // so the memory it is also read from agrees. Addresses inside a flash
    // region that has taken an image keep the image's bytes.
    INFOIDENT& identity() { return identity_; }
    void PublishIdentity();
    // A flash region [start, end) that now holds what the host wrote.
    void MarkImageWritten(uint32_t start, uint32_t end);
    bool HoldsImage(uint32_t address) const;
    // Called before every MEM_READVERS builds its record (a written booter
    // shows its version there).
    void AddIdentityReadHook(std::function<void(SimInstrument&)> h) {
        identity_hooks_.push_back(std::move(h));
    }
    // What MEM_READVERS puts into the main buffer (counts as one read).
    INFOIDENT ReportedIdentity();

    SimMemory& memory() { return memory_; }
    std::vector<uint8_t>& main_buffer() { return main_buffer_; }
    std::vector<SimFault>& faults() { return cfg_.faults; }
    const SimFault* FindFault(FaultKind k) const;
    uint32_t transfers() const { return transfers_; }
    // MEM_READVERS reads so far (what identity_changes counts).
    uint32_t identity_reads() const { return ident_reads_; }
    // Memory-used word reported by CMD_GETONLINE, logged data for CMD_DWNLDDATA.
    uint32_t memory_used = 0;
    std::vector<uint8_t> logged_data;
    std::vector<uint8_t> config_area = std::vector<uint8_t>(8192, 0xFF);
    // Flash regions and configuration, when the scenario gives them.
    SimFlash* flash() { return flash_.get(); }
    void set_flash(std::unique_ptr<SimFlash> f) { flash_ = std::move(f); }
    // A handler's remark for the trace line of its request.
    std::string handler_note;

    // Device side of the transfers; results are carrier codes (0 ok).
    // timeout_ms is the host's: a request that is never answered takes it.
    int Control(const ControlRequest& rq, uint16_t length, uint32_t timeout_ms,
                size_t* transferred, std::string* note);
    int BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t timeout_ms,
               size_t* transferred, std::string* note);
    int BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t timeout_ms,
                size_t* transferred, std::string* note);
    // An open or descriptor read, for faults aimed at them; 0 or an error.
    int CheckFault(int target);

    // Extension points: a handler replaces the built-in behaviour of a command.
    void SetMemoryHandler(uint8_t command, Handler h) { memory_handlers_[command] = std::move(h); }
    void SetQuarv3Handler(uint8_t command, Handler h) { quarv3_handlers_[command] = std::move(h); }
    void SetBooterHandler(uint8_t command, Handler h) { booter_handlers_[command] = std::move(h); }
    // Requests 0x00, 0x01, 0x02.
    void SetRequestHandler(uint8_t request, Handler h) { request_handlers_[request] = std::move(h); }

    // A read command on the GPS area (address bit 29) first stores what the
    // last bulk write put into the main buffer at the address; true when it did.
    bool StoreGpsAreaWrite(uint32_t address);

    // Lets the next bulk transfer through without an announcement (the
    // download commands move their data this way).
    void ArmBulkIn(uint32_t length, uint32_t address = 0);
    void ArmBulkOut(uint32_t length, std::function<void(const uint8_t*, uint32_t)> sink);

    // Asks the bus to take the instrument off and bring it back in booter or firmware.
    void LeaveBus(bool booter_after) { pending_leave_ = booter_after; }
    std::optional<bool> TakePendingLeave();
    // An unplug fault hit: the bus takes the instrument off after this transfer.
    bool TakePendingUnplug() { return std::exchange(pending_unplug_, false); }
    // Booter or firmware running; also forgets what a re-enumeration forgets.
    void SetMode(bool booter);
    void ResetVolatile();

private:
    struct PendingBulk {
        bool active = false;
        bool in = false;
        uint32_t length = 0;
        uint32_t address = 0;
        std::function<void(const uint8_t*, uint32_t)> sink;
    };

    int ApplyTransferFault(int target, int command, FaultKind* kind, bool* acted = nullptr);
    // The carrier result of a transfer fault that was hit; Short is the caller's.
    int FaultOutcome(FaultKind k, uint32_t timeout_ms, std::string* note);
    // Requests a real unit stalls for their setup values alone.
    const char* Malformed(const ControlRequest& rq) const;
    void Put(uint32_t address, const uint8_t* data, size_t n);
    int Dispatch(const ControlRequest& rq, std::string* note);
    int MemoryCommand(const ControlRequest& rq, std::string* note);
    int Quarv3Command(const ControlRequest& rq);
    int BooterCommand(const ControlRequest& rq, std::string* note);
    // Checks common to both bulk directions; on success *n bytes are to move.
    int BulkStart(bool in, uint8_t endpoint, uint32_t length, uint32_t timeout_ms,
                  size_t* transferred, std::string* note, uint32_t* n);
    // A bulk transfer that nothing announced: the instrument does not answer
    // and the host's transfer runs into its timeout.
    int Unannounced(uint32_t timeout_ms, std::string* note, const char* why);

    SimInstrumentConfig cfg_;
    INFOIDENT identity_;
    SimMemory memory_;
    std::vector<uint8_t> main_buffer_;
    PendingBulk pending_;
    uint32_t main_buffer_written_ = 0;  // bytes of the last bulk write not yet consumed
    uint32_t transfers_ = 0;
    uint32_t ident_reads_ = 0;
    std::optional<bool> pending_leave_;
    bool pending_unplug_ = false;
    uint16_t product_id_;
    std::vector<std::pair<uint32_t, uint32_t>> image_regions_;
    std::vector<std::function<void(SimInstrument&)>> identity_hooks_;
    std::unique_ptr<SimFlash> flash_;
    std::map<uint8_t, Handler> memory_handlers_, quarv3_handlers_, booter_handlers_,
        request_handlers_;
};

}  // namespace vesk::sim
