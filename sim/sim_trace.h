#pragma once
// A readable record of every transfer the simulated instruments saw, one line
// each: time, device, request, decoded fields, length, result.
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vesk::sim {

enum class TraceKind { Control, BulkIn, BulkOut, Descriptor, Open, Close, Bus };

// A vendor control request (type 0x40) as the instrument receives it.
struct ControlRequest {
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    std::vector<uint8_t> data;  // data stage; for bulk trace entries the bytes kept

    // Data-stage helpers (zero past the data).
    uint8_t byte(size_t i) const { return i < data.size() ? data[i] : 0; }
    uint16_t word(size_t i) const { return uint16_t(byte(i) | byte(i + 1) << 8); }
    // Command byte of 0x0D/0x0E/0x0F; the direction of 0x0C.
    uint8_t command() const { return request == 0x0C ? byte(5) : byte(0); }
    // Address of 0x0E (with wIndex as bits 16-31), 0x0F and 0x0C (24 bits).
    uint32_t address() const;
};

struct TraceEntry : ControlRequest {
    uint64_t time_ms = 0;
    std::string path;
    TraceKind kind = TraceKind::Control;
    uint8_t endpoint = 0;   // bulk transfers
    uint32_t length = 0;    // setup length or bulk length
    int result = 0;         // 0 or a negative carrier error
    size_t transferred = 0;
    std::string note;       // bus events and device remarks
};

class SimTrace {
public:
    static constexpr size_t kMaxBulkBytesKept = 512;

    void Add(TraceEntry e);
    const std::vector<TraceEntry>& entries() const { return entries_; }
    const std::vector<std::string>& lines() const { return lines_; }
    // Only the control requests with this request code.
    std::vector<TraceEntry> Controls(uint8_t request) const;
    void Clear();
    // Writes every line so far; true on success.
    bool WriteToFile(const std::string& path, std::string* error) const;
    // From now on each line is also appended to this file (empty: stop).
    void StreamTo(const std::string& path);
    // False: entries and lines are no longer kept in memory, only streamed. A
    // program's run writes thousands of blocks; only tests read the trace back.
    void KeepInMemory(bool keep) { keep_ = keep; }

    static std::string Format(const TraceEntry& e);

private:
    std::vector<TraceEntry> entries_;
    std::vector<std::string> lines_;
    std::unique_ptr<std::ofstream> stream_;
    bool keep_ = true;
};

// "ok", "stall", "timeout", "no device", "error -N".
std::string ResultText(int result);

}  // namespace vesk::sim
