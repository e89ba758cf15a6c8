#pragma once
// A request to stop the update run early, made from outside its thread (a
// signal, the desktop ending the session). The run asks at its safe points,
// where every unit it has touched runs its firmware again or is about to be
// woken by the recovery, and ends there. Everything here is lock-free, so a
// signal handler may call it.
#include <cstdint>

namespace vesk::update {

// Asks the run to stop; reason is the signal number (or any non-zero code).
// Only the first request is kept.
void RequestStop(int reason) noexcept;
bool StopRequested() noexcept;
// The first request's reason, 0 when none was made.
int StopReason() noexcept;
// Forgets the request (a new run, a test).
void ClearStopRequest() noexcept;

// The unit the run is writing now, or wrote last (serial; 0 before any
// write), for the texts that say which unit a stop waits for or leaves.
void NoteUnitWritten(uint32_t serial) noexcept;
uint32_t UnitWritten() noexcept;
// The run's master (serial): a unit written that is not the master is a
// slave, and the slave stages send every slave to its booter together.
void NoteMaster(uint32_t serial) noexcept;
bool WritingASlave() noexcept;
// Every unit runs its firmware again (the run's safe points say so).
void NoteSafePoint() noexcept;
// A unit was written since the last safe point: it may be in its booter.
bool UnitMayBeInBooter() noexcept;

}  // namespace vesk::update
