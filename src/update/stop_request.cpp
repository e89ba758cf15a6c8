#include "stop_request.h"

#include <atomic>

namespace vesk::update {

namespace {
std::atomic<int> g_reason{0};
std::atomic<uint32_t> g_unit{0};
std::atomic<bool> g_writing{false};
std::atomic<uint32_t> g_master{0};
std::atomic<bool> g_master_known{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);
}  // namespace

void RequestStop(int reason) noexcept {
    int none = 0;
    g_reason.compare_exchange_strong(none, reason == 0 ? -1 : reason);
}

bool StopRequested() noexcept { return g_reason.load() != 0; }
int StopReason() noexcept { return g_reason.load(); }
void ClearStopRequest() noexcept { g_reason.store(0); }

void NoteUnitWritten(uint32_t serial) noexcept {
    g_unit.store(serial);
    g_writing.store(true);
}
uint32_t UnitWritten() noexcept { return g_unit.load(); }
void NoteMaster(uint32_t serial) noexcept {
    g_master.store(serial);
    g_master_known.store(true);
}
bool WritingASlave() noexcept { return g_master_known.load() && g_unit.load() != g_master.load(); }
void NoteSafePoint() noexcept { g_writing.store(false); }
bool UnitMayBeInBooter() noexcept { return g_writing.load(); }

}  // namespace vesk::update
