#include "update/after_run.h"

#include "common/clock.h"
#include "common/wait_notice.h"

namespace vesk::update {

namespace {
// The restarted master is waited for at most this long.
constexpr uint32_t kRestartWaitMs = 30000;
constexpr uint32_t kPollMs = 100;
// As after any arrival: the instrument settles before it is read.
constexpr uint32_t kAfterArrivalMs = 2200;
}  // namespace

using RunOutcome = CUpdateProcedure::RunOutcome;
using Refresh = CUpdateProcedure::RefreshOutcome;

bool RunTouchedInstrument(RunOutcome outcome) {
    return outcome == RunOutcome::Aborted || outcome == RunOutcome::SlavesRefused ||
           outcome == RunOutcome::NoSlaveUpdate || outcome == RunOutcome::Finished;
}

// The master is back when the run's last refresh (its closing one, or the
// one after an abort) found it; when it is away (restarting,
// re-enumerating) it is waited for through its arrival.
bool ReadAfterRun(CUpdateProcedure& proc, const AfterRunWatch& watch) {
    const RunOutcome outcome = proc.LastRun().outcome;
    const bool read_after = outcome == RunOutcome::Finished || outcome == RunOutcome::Aborted;
    if (!read_after || proc.RestartPending() || proc.LastRefresh() != Refresh::Planned) {
        if (proc.RestartPending() || (read_after && proc.LastRefresh() == Refresh::NoInstrument)) {
            if (watch.say)
                watch.say(proc.RestartPending() ? "Waiting for the master to come back from its restart..."
                                                : "Waiting for the master to come back...");
            const uint64_t until = vesk::process_clock().now_ms() + kRestartWaitMs;
            {
                vesk::AnnouncedWait wait(kRestartWaitMs, L"the master to come back");
                for (;;) {
                    if (watch.poll) watch.poll();
                    if (watch.arrived() || vesk::process_clock().now_ms() >= until) break;
                    wait.Sleep(kPollMs);
                }
            }
            if (watch.arrived()) vesk::SleepFor(kAfterArrivalMs, L"the master to start");
        }
        if (watch.refreshing) watch.refreshing();
        proc.AggiornaStrumentiCollegati();
    }
    return proc.VerificaUnita();
}

bool EndedAsPlanned(const CUpdateProcedure::RunResult& run, bool verified) {
    return (run.outcome == RunOutcome::Finished || run.outcome == RunOutcome::NoSlaveUpdate) && run.Completed() &&
           verified;
}

}  // namespace vesk::update
