#include "sim/sim_bus.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/clock.h"

namespace vesk::sim {

using namespace vesk::usb;

class SimBus::Handle : public IUsbDevice {
public:
    Handle(SimBus* bus, std::string path, uint32_t gen)
        : bus_(bus), path_(std::move(path)), gen_(gen) {}
    ~Handle() override { bus_->Close(path_, gen_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    int ReadConfigDescriptor(uint8_t* buf, size_t cap, size_t* got) override {
        return bus_->Descriptor(path_, gen_, buf, cap, got);
    }
    int ReadProductId(uint16_t* product_id) override { return bus_->ProductId(path_, gen_, product_id); }
    int ControlOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                   uint16_t length, uint32_t timeout_ms, size_t* transferred) override {
        return bus_->ControlOut(path_, gen_, request, value, index, data, length, timeout_ms,
                                transferred);
    }
    int BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t timeout_ms,
               size_t* transferred) override {
        return bus_->Bulk(path_, gen_, true, endpoint, data, length, timeout_ms, transferred);
    }
    int BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t timeout_ms,
                size_t* transferred) override {
        return bus_->Bulk(path_, gen_, false, endpoint, const_cast<uint8_t*>(data), length,
                          timeout_ms, transferred);
    }

private:
    SimBus* bus_;
    std::string path_;
    uint32_t gen_;
};

SimBus::SimBus() : origin_ms_(vesk::process_clock().now_ms()) {}

SimBus::~SimBus() = default;

uint64_t SimBus::Now() const { return vesk::process_clock().now_ms(); }

TraceEntry SimBus::Entry(const std::string& path, TraceKind kind) const {
    TraceEntry e;
    e.time_ms = Now();
    e.path = path;
    e.kind = kind;
    return e;
}

SimInstrument& SimBus::Add(const SimInstrumentConfig& cfg) {
    Slot s;
    s.inst = std::make_unique<SimInstrument>(cfg);
    if (s.inst->path().empty()) {
        int port = 1;
        while (FindSlot(MakeDevicePath(1, {port}))) ++port;
        s.inst->set_path(MakeDevicePath(1, {port}));
    }
    const std::string path = s.inst->path();
    if (cfg.present_until_ms) s.pull_at = origin_ms_ + *cfg.present_until_ms;
    const bool later = cfg.present_from_ms > 0;
    if (later) {
        s.plugged = s.on_bus = false;
        s.plug_at = origin_ms_ + cfg.present_from_ms;
    }
    slots_.push_back(std::move(s));
    std::stable_sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
        return DevicePathLess(a.inst->path(), b.inst->path());
    });
    if (!later) {
        BusEvent(path, "plugged in");
        Presence(*FindSlot(path), true);
    }
    return *FindSlot(path)->inst;
}

SimBus::Slot* SimBus::FindSlot(const std::string& path) {
    return const_cast<Slot*>(std::as_const(*this).FindSlot(path));
}

const SimBus::Slot* SimBus::FindSlot(const std::string& path) const {
    for (const auto& s : slots_)
        if (s.inst->path() == path) return &s;
    return nullptr;
}

SimInstrument* SimBus::Find(const std::string& path) {
    Slot* s = FindSlot(path);
    return s ? s->inst.get() : nullptr;
}

std::vector<SimInstrument*> SimBus::Instruments() {
    std::vector<SimInstrument*> out;
    for (auto& s : slots_) out.push_back(s.inst.get());
    return out;
}

void SimBus::BusEvent(const std::string& path, const std::string& what) {
    TraceEntry e = Entry(path, TraceKind::Bus);
    e.note = what;
    trace_.Add(std::move(e));
}

void SimBus::Presence(const Slot& s, bool arrived) {
    if (observer_) observer_(arrived, s.inst->product_id(), s.inst->path());
}

void SimBus::TakeOff(Slot& s) {
    s.on_bus = false;
    s.open = false;  // an old handle now only gets "no device"
    ++s.generation;
    s.back_at.reset();
    s.back_in_booter.reset();
}

std::optional<uint64_t> SimBus::NextChange() const {
    std::optional<uint64_t> next;
    auto earlier = [&next](std::optional<uint64_t> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    for (const auto& s : slots_) {
        earlier(s.plug_at);
        earlier(s.pull_at);
        if (s.plugged) earlier(s.back_at);
    }
    return next;
}

void SimBus::Update() {
    const uint64_t now = Now();
    // Everything due happens in the order of its time, so a return due before
    // a scheduled pull still comes back first. Slots never move: paths are fixed.
    for (;;) {
        Slot* first = nullptr;
        uint64_t at = 0;
        auto consider = [&](Slot& s, std::optional<uint64_t> t) {
            if (t && *t <= now && (!first || *t < at)) first = &s, at = *t;
        };
        for (auto& s : slots_) {
            consider(s, s.plug_at);
            if (!s.plug_at) consider(s, s.pull_at);
            if (s.plugged && !s.on_bus) consider(s, s.back_at);
        }
        if (!first) return;
        Slot& s = *first;
        if (s.plug_at && *s.plug_at == at) {
            s.plug_at.reset();
            Plug(s.inst->path());
        } else if (s.pull_at && *s.pull_at == at && !s.plug_at) {
            s.pull_at.reset();
            Unplug(s.inst->path());
        } else {
            s.on_bus = true;
            s.inst->SetMode(s.back_in_booter.value_or(s.inst->in_booter()));
            s.inst->set_product_id(s.back_product_id);
            s.back_at.reset();
            BusEvent(s.inst->path(), s.inst->in_booter() ? "back, booter running"
                                                         : "back, firmware running");
            Presence(s, true);
        }
    }
}

bool SimBus::Unplug(const std::string& path) {
    Slot* s = FindSlot(path);
    if (!s || !s->plugged) return false;
    const bool was_on_bus = s->on_bus;
    TakeOff(*s);
    s->plugged = false;
    BusEvent(path, "unplugged");
    if (was_on_bus) Presence(*s, false);
    return true;
}

bool SimBus::Plug(const std::string& path) {
    Slot* s = FindSlot(path);
    if (!s || s->plugged) return false;
    TakeOff(*s);  // a fresh enumeration
    s->plugged = true;
    s->on_bus = true;
    s->inst->ResetVolatile();
    s->inst->set_product_id(s->inst->config().product_id);
    BusEvent(path, "plugged in");
    Presence(*s, true);
    return true;
}

bool SimBus::IsPresent(const std::string& path) {
    Update();
    const Slot* s = FindSlot(path);
    return s && s->plugged && s->on_bus;
}

std::optional<uint64_t> SimBus::ReturnTime(const std::string& path) const {
    const Slot* s = FindSlot(path);
    return s ? s->back_at : std::nullopt;
}

void SimBus::AfterTransfer(Slot& s) {
    if (s.inst->TakePendingUnplug()) {
        s.inst->TakePendingLeave();  // the cable went first
        Unplug(s.inst->path());
        return;
    }
    if (auto booter = s.inst->TakePendingLeave()) {
        const std::string path = s.inst->path();
        TakeOff(s);
        Presence(s, false);
        // Every fault on returns counts this departure.
        bool never = false;
        uint32_t away = s.inst->config().reenumerate_ms;
        uint16_t product_id = s.inst->config().product_id;
        for (auto& f : s.inst->faults()) {
            if (!f.HitReturn()) continue;
            if (f.kind == FaultKind::NeverReturns) never = true;
            if (f.kind == FaultKind::SlowReturn) away = f.ms;
            if (f.kind == FaultKind::NewProductId) product_id = f.product_id;
        }
        if (never) {
            BusEvent(path, "left the bus, will not come back");
        } else {
            s.back_at = Now() + away;
            s.back_in_booter = *booter;
            s.back_product_id = product_id;
            BusEvent(path, "left the bus, back at " + std::to_string(*s.back_at) + " ms" +
                               (product_id != s.inst->product_id()
                                    ? " as product " + std::to_string(product_id)
                                    : ""));
        }
    }
    if (const SimFault* f = s.inst->FindFault(FaultKind::UnplugAfter))
        if (s.plugged && s.inst->transfers() >= f->n) Unplug(s.inst->path());
}

bool SimBus::ListDevices(std::vector<std::string>& paths, int* error) {
    Update();
    if (listing_fails_) {
        if (error) *error = kUsbErrorIo;
        return false;
    }
    for (const auto& s : slots_)
        if (s.plugged && s.on_bus) paths.push_back(s.inst->path());
    return true;
}

std::unique_ptr<IUsbDevice> SimBus::Open(const std::string& path, int* error) {
    Update();
    Slot* s = FindSlot(path);
    int r = kUsbOk;
    if (!s || !s->plugged || !s->on_bus)
        r = kUsbErrorNoDevice;
    else if (s->open)
        r = kUsbErrorBusy;
    else
        r = s->inst->CheckFault(kTargetOpen);
    TraceEntry e = Entry(path, TraceKind::Open);
    e.result = r;
    trace_.Add(std::move(e));
    if (s && s->inst->TakePendingUnplug()) Unplug(path);
    if (r != kUsbOk) {
        if (error) *error = r;
        return nullptr;
    }
    s->open = true;
    return std::make_unique<Handle>(this, path, s->generation);
}

SimBus::Slot* SimBus::Live(const std::string& path, uint32_t generation) {
    Update();
    Slot* s = FindSlot(path);
    if (!s || !s->plugged || !s->on_bus || s->generation != generation) return nullptr;
    return s;
}

void SimBus::Close(const std::string& path, uint32_t gen) {
    Slot* s = FindSlot(path);
    if (!s || s->generation != gen) return;
    s->open = false;
    TraceEntry e = Entry(path, TraceKind::Close);
    trace_.Add(std::move(e));
}

int SimBus::Descriptor(const std::string& path, uint32_t gen, uint8_t* buf, size_t cap,
                       size_t* got) {
    *got = 0;
    TraceEntry e = Entry(path, TraceKind::Descriptor);
    e.length = uint32_t(cap);
    Slot* s = Live(path, gen);
    if (!s) {
        e.result = kUsbErrorNoDevice;
    } else if ((e.result = s->inst->CheckFault(kTargetDescriptor)) == kUsbOk) {
        const auto d = s->inst->ConfigDescriptor();
        *got = std::min(cap, d.size());
        std::memcpy(buf, d.data(), *got);
        e.transferred = *got;
    }
    trace_.Add(e);
    if (s && s->inst->TakePendingUnplug()) Unplug(path);
    return e.result;
}

// The device descriptor as the enumeration left it: no transfer, no trace line.
int SimBus::ProductId(const std::string& path, uint32_t gen, uint16_t* product_id) {
    Slot* s = Live(path, gen);
    if (!s) return kUsbErrorNoDevice;
    *product_id = s->inst->product_id();
    return kUsbOk;
}

int SimBus::ControlOut(const std::string& path, uint32_t gen, uint8_t request, uint16_t value,
                       uint16_t index, const uint8_t* data, uint16_t length,
                       uint32_t timeout_ms, size_t* transferred) {
    *transferred = 0;
    TraceEntry e = Entry(path, TraceKind::Control);
    e.request = request;
    e.value = value;
    e.index = index;
    e.length = length;
    if (data && length) e.data.assign(data, data + length);
    Slot* s = Live(path, gen);
    if (!s) {
        // A device that vanished: the host's transfer fails at once.
        e.result = kUsbErrorNoDevice;
        trace_.Add(std::move(e));
        return kUsbErrorNoDevice;
    }
    e.result = s->inst->Control(e, length, timeout_ms, transferred, &e.note);
    e.transferred = *transferred;
    const int r = e.result;
    trace_.Add(std::move(e));
    AfterTransfer(*s);
    return r;
}

int SimBus::Bulk(const std::string& path, uint32_t gen, bool in, uint8_t endpoint,
                 uint8_t* data, uint32_t length, uint32_t timeout_ms, size_t* transferred) {
    *transferred = 0;
    TraceEntry e = Entry(path, in ? TraceKind::BulkIn : TraceKind::BulkOut);
    e.endpoint = endpoint;
    e.length = length;
    Slot* s = Live(path, gen);
    if (!s) {
        e.result = kUsbErrorNoDevice;
        trace_.Add(std::move(e));
        return kUsbErrorNoDevice;
    }
    e.result = in ? s->inst->BulkIn(endpoint, data, length, timeout_ms, transferred, &e.note)
                  : s->inst->BulkOut(endpoint, data, length, timeout_ms, transferred, &e.note);
    e.transferred = *transferred;
    if (*transferred <= SimTrace::kMaxBulkBytesKept) e.data.assign(data, data + *transferred);
    const int r = e.result;
    trace_.Add(std::move(e));
    AfterTransfer(*s);
    return r;
}

}  // namespace vesk::sim
