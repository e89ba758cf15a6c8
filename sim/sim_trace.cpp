#include "sim/sim_trace.h"

#include <cstdio>
#include <fstream>

#include "common/atomic_file.h"
#include "usb/backend/usb_backend.h"
#include "usb/usb_command_names.h"

namespace vesk::sim {

uint32_t ControlRequest::address() const {
    switch (request) {
    case 0x0E: return uint32_t(index) << 16 | byte(1) | uint32_t(byte(2)) << 8;
    case 0x0F: return byte(1) | uint32_t(byte(2)) << 8 | uint32_t(byte(3)) << 16;
    case 0x0C: return byte(0) | uint32_t(byte(1)) << 8 | uint32_t(byte(2)) << 16;
    default: return 0;
    }
}

std::string ResultText(int r) {
    using namespace vesk::usb;
    switch (r) {
    case kUsbOk: return "ok";
    case kUsbErrorPipe: return "stall";
    case kUsbErrorTimeout: return "timeout";
    case kUsbErrorNoDevice: return "no device";
    case kUsbErrorBusy: return "busy";
    default: return "error " + std::to_string(r);
    }
}

namespace {

std::string Printf(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string CommandText(const char* name, unsigned code) {
    return name ? Printf("%s(%u)", name, code) : Printf("cmd(%u)", code);
}

std::string DecodeControl(const TraceEntry& e) {
    switch (e.request) {
    case 0x0F:
        return Printf("BOOTER cmd(%u) addr=0x%06X value=%u", unsigned(e.command()), e.address(),
                      unsigned(e.word(4)));
    case 0x0E:
        return "MEMORY " + CommandText(MemoryCommandName(e.command()), e.command()) +
               Printf(" addr=0x%08X dati=%u nslave=%u", e.address(), unsigned(e.word(4)),
                      unsigned(e.byte(3)));
    case 0x0D:
        return "QUARV3 " + CommandText(Quarv3CommandName(e.command()), e.command()) +
               Printf(" C1=%u C2=%u C3=%u C4=%u", unsigned(e.word(1)), unsigned(e.word(3)),
                      unsigned(e.word(5)), unsigned(e.word(7)));
    case 0x0C:
        return Printf("BULK %s addr=0x%06X len=%u", e.byte(5) ? "BULK_READ" : "BULK_WRITE",
                      e.address(), unsigned(e.word(3)));
    case 0x00: return Printf("DEBUG sub=0x%X param=0x%X", unsigned(e.value), unsigned(e.index));
    case 0x01:
    case 0x02: {
        const char* name = e.request == 0x01 ? GpsRequestName(e.value) : CfgRequestName(e.value);
        return Printf("%s sub=0x%X%s%s param=0x%X", e.request == 0x01 ? "GPS" : "CFG", unsigned(e.value),
                      name ? " " : "", name ? name : "", unsigned(e.index));
    }
    default:
        return Printf("REQ 0x%02X value=0x%X index=0x%X", unsigned(e.request), unsigned(e.value),
                      unsigned(e.index));
    }
}

std::string Outcome(const TraceEntry& e) {
    std::string s = " -> " + ResultText(e.result);
    if (e.result == 0 && e.transferred != e.length)
        s += Printf(" (%zu of %u)", e.transferred, unsigned(e.length));
    if (!e.note.empty()) s += " [" + e.note + "]";
    return s;
}

}  // namespace

std::string SimTrace::Format(const TraceEntry& e) {
    std::string s = Printf("[%8llu ms] %s ", static_cast<unsigned long long>(e.time_ms),
                           e.path.c_str());
    switch (e.kind) {
    case TraceKind::Control:
        return s + "CTRL 0x" + Printf("%02X ", unsigned(e.request)) + DecodeControl(e) +
               Printf(" wLength=%u", unsigned(e.length)) + Outcome(e);
    case TraceKind::BulkIn:
    case TraceKind::BulkOut:
        return s + (e.kind == TraceKind::BulkIn ? "BULK IN " : "BULK OUT") +
               Printf(" ep=0x%02X len=%u", unsigned(e.endpoint), unsigned(e.length)) + Outcome(e);
    case TraceKind::Descriptor:
        return s + Printf("DESCRIPTOR len=%u", unsigned(e.length)) + Outcome(e);
    case TraceKind::Open: return s + "OPEN" + " -> " + ResultText(e.result);
    case TraceKind::Close: return s + "CLOSE";
    case TraceKind::Bus: return s + "BUS " + e.note;
    }
    return s;
}

void SimTrace::StreamTo(const std::string& path) {
    stream_.reset();
    if (!path.empty()) stream_ = std::make_unique<std::ofstream>(path, std::ios::app);
}

void SimTrace::Add(TraceEntry e) {
    if (!keep_ && !stream_) return;
    std::string line = Format(e);
    // Flushed line by line: a reader of the file sees every transfer so far.
    if (stream_) *stream_ << line << std::endl;
    if (!keep_) return;
    lines_.push_back(std::move(line));
    entries_.push_back(std::move(e));
}

std::vector<TraceEntry> SimTrace::Controls(uint8_t request) const {
    std::vector<TraceEntry> out;
    for (const auto& e : entries_)
        if (e.kind == TraceKind::Control && e.request == request) out.push_back(e);
    return out;
}

void SimTrace::Clear() {
    entries_.clear();
    lines_.clear();
}

bool SimTrace::WriteToFile(const std::string& path, std::string* error) const {
    std::string text;
    for (const auto& l : lines_) text += l + '\n';
    std::string why;
    if (vesk::write_file_atomically(path, text.data(), text.size(), vesk::FileTarget::UserNamed, &why)) return true;
    if (error) *error = "cannot write the trace file " + path + ": " + why;
    return false;
}

}  // namespace vesk::sim
