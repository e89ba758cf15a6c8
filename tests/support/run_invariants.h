#pragma once
// What every update run must leave behind, whatever failed on the way: the
// run ended, lock 1 free, hardware detection on, the buttons back, the
// overall bar full, each error it met in the log, no slave that answers left
// in its booter unless its ten wake attempts were spent, and a run that
// says it completed is one whose units report what they were offered. The
// fault matrix and the property test check these after every run.
#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/str_conv.h"
#include "run_scenario.h"
#include "sim/sim_net.h"
#include "usb/usb_command_names.h"
#include "usb/usb_connection.h"

namespace vesk::test {

// The test's virtual clock with a limit: past it, the run is taken for hung
// and the watchdog pulls the master's cable so that it ends.
class WatchdogClock : public vesk::IClock {
public:
    WatchdogClock(vesk::VirtualClock& base, uint64_t limit_ms, std::function<void()> on_expiry)
        : base_(base), start_(base.now_ms()), limit_ms_(limit_ms), on_expiry_(std::move(on_expiry)) {}
    void sleep_ms(uint32_t ms) override {
        base_.advance_ms(ms);
        if (!expired_ && base_.now_ms() - start_ > limit_ms_) {
            expired_ = true;
            on_expiry_();
        }
    }
    uint64_t now_ms() const override { return base_.now_ms(); }
    bool expired() const { return expired_; }
    uint64_t elapsed_ms() const { return base_.now_ms() - start_; }

private:
    vesk::VirtualClock& base_;
    uint64_t start_;
    uint64_t limit_ms_;
    std::function<void()> on_expiry_;
    bool expired_ = false;
};

// One slave of the scenario as the checks need it.
struct SlaveUnderTest {
    uint8_t number = 0;
    uint32_t serial = 0;
    bool answers = true;          // not made unreadable by the scenario
    bool may_stay_in_booter = false;  // the scenario makes it refuse to leave its booter
};

struct RunReport {
    // '.' completed and every unit verified, 'e' ended with errors, 'a'
    // aborted, 'r' refused the net, 'b' aborted with the master in its
    // booter, 'H' hung, '!' an invariant failed.
    char code = '?';
    std::vector<std::string> violations;
    uint64_t virtual_ms = 0;
    bool hung = false;
    std::string outcome_text;
};

class RobustRunFixture : public RunScenarioFixture {
protected:
    // A run can take long in virtual time (every transfer timing out, ten
    // reconnections of 26 s per slave); beyond this it is hung.
    static constexpr uint64_t kHungAfterMs = 6ull * 3600 * 1000;

    // The plan, whatever arrange does to the bus after it, then the run on the
    // watchdog, then the checks. slaves: the scenario's slaves.
    RunReport RunAndCheck(const std::vector<SlaveUnderTest>& slaves, const std::function<void()>& arrange = {},
                          const std::string& master_path = "usb:1-1") {
        Proc().AggiornaStrumentiCollegati();
        if (arrange) arrange();
        RunReport report;
        const bool execute_before = State().execute_enabled, advanced_before = State().advanced_enabled;
        {
            WatchdogClock watchdog(clock_, kHungAfterMs, [&] { bus_->Unplug(master_path); });
            vesk::ScopedClock scoped(watchdog);
            Run();
            report.virtual_ms = watchdog.elapsed_ms();
            report.hung = watchdog.expired();
            if (report.hung) report.violations.push_back("hung: the run did not end within 6 h of virtual time");
        }
        Check(slaves, master_path, execute_before, advanced_before, report);
        return report;
    }

    // Many runs: their log lines go to the capture only.
    void QuietConsole() {
        console_ = vesk::log_console();
        quiet_ = true;
        vesk::set_log_console(nullptr);
    }
    void TearDown() override {
        if (quiet_) vesk::set_log_console(console_);
        RunScenarioFixture::TearDown();
    }

private:
    using Outcome = CUpdateProcedure::RunOutcome;
    FILE* console_ = nullptr;
    bool quiet_ = false;

    void Violation(RunReport& r, const std::string& what) { r.violations.push_back(what); }

    void Check(const std::vector<SlaveUnderTest>& slaves, const std::string& master_path, bool execute_before,
               bool advanced_before, RunReport& report) {
        const auto& run = Proc().LastRun();
        report.outcome_text = Text(run.text);
        if (!LockFree()) Violation(report, "lock 1 still held");
        if (!bench_->detection_switch.IsOn()) Violation(report, "hardware detection left off");
        if (State().wait_cursor != 0) Violation(report, "wait cursor left on");
        // A finished or aborted run ends with the plan's refresh, which
        // enables Execute only when something is still due; every other end
        // gives it back. The early stops leave them as the plan had them.
        const bool early = run.outcome == Outcome::MissingFolder || run.outcome == Outcome::LockRefused ||
                           run.outcome == Outcome::NoInstrument || run.outcome == Outcome::SeveralInstruments ||
                           run.outcome == Outcome::NotAnswering;
        const bool refreshed = run.outcome == Outcome::Finished || run.outcome == Outcome::Aborted;
        if (!refreshed && !State().execute_enabled && !(early && !execute_before))
            Violation(report, "Execute left disabled");
        if (!refreshed && !State().advanced_enabled && !(early && !advanced_before))
            Violation(report, "Normal/Advanced left disabled");
        // The early stops come before the run sets the bar's range.
        if (!early && State().overall.pos != State().overall.upper)
            Violation(report, "overall progress at " + std::to_string(State().overall.pos) + " of " +
                                  std::to_string(State().overall.upper));
        if (run.outcome == Outcome::NotRun) Violation(report, "the run has no outcome");
        for (const std::wstring& e : run.errors)
            if (!log_.contains(Text(e))) Violation(report, "error not in the log: " + Text(e));
        if (run.outcome == Outcome::Aborted && Count(run.text) == 0 && !HasMessageStarting(run.text))
            Violation(report, "abort text not shown: " + Text(run.text));
        if (!run.Completed() && run.errors.empty() && run.outcome != Outcome::NoSlaveUpdate)
            Violation(report, "a run that did not complete names no error");

        const Lines messages = Messages();
        // The master back from its restart (or whatever the fault made of it),
        // then the refresh its arrival brings.
        for (int i = 0; i < 40 && !bus_->IsPresent(master_path); ++i) {
            clock_.advance_ms(1000);
            bus_->Tick();
        }
        clock_.advance_ms(3000);
        bus_->Tick();
        vesk::sim::SimInstrument* master = bus_->Find(master_path);
        const bool master_here = master && bus_->IsPresent(master_path);
        const bool master_in_booter = master_here && master->in_booter();
        // A fault the run never reached is not the run's: the probe below
        // must not set it off (a cable pulled by the test's own request).
        if (master) std::erase_if(master->faults(), [&](const vesk::sim::SimFault& f) { return !Reached(f, *master); });
        // Slaves answer only through a master that answers; a master that
        // stopped answering for good leaves them where they are. The slaves
        // are the run's business only once it entered the slave stages.
        const bool master_answers = master_here && !master_in_booter && MasterAnswers(master_path);
        const bool slave_stages = std::any_of(messages.begin(), messages.end(), [](const std::wstring& m) {
            return m.rfind(L"Sending all slaves into booter", 0) == 0;
        });
        if (master_answers && slave_stages) {
            for (const SlaveUnderTest& s : slaves) {
                INFOIDENT id;
                if (!s.answers || !vesk::sim::SlaveIdentityOf(*master, s.number, id)) continue;
                if (!id.IsInBooterOrZero() || s.may_stay_in_booter) continue;
                if (WakeAttempts(messages, s.serial) >= 10) continue;
                Violation(report, "slave " + std::to_string(s.number) + " left in its booter after " +
                                      std::to_string(WakeAttempts(messages, s.serial)) + " wake attempts");
            }
        }
        // The refresh that reads what the units report is the test's, not the
        // run's: a fault still due must not strike it.
        if (master) master->faults().clear();
        Proc().AggiornaStrumentiCollegati();
        // A master that does not come back from its closing restart, or no
        // longer answers, is not the run's doing; one that answers must
        // report what it was given.
        if (run.Completed() && master_answers && !Proc().VerificaUnita())
            for (const auto& u : Proc().LastRun().units)
                // 0: a slave never identified; a master whose firmware does
                // not update slaves leaves them as they were.
                if (!u.verified && u.serial != 0 && (u.row_index == 0 || run.outcome != Outcome::NoSlaveUpdate))
                    Violation(report, "completed, but unit " + std::to_string(u.serial) + " reports \"" +
                                          Text(u.after) + "\" for \"" + Text(u.expected) + "\"");

        if (report.hung) report.code = 'H';
        else if (!report.violations.empty()) report.code = '!';
        else if (run.Completed()) report.code = '.';
        else if (run.outcome == Outcome::Aborted) report.code = master_in_booter ? 'b' : 'a';
        else if (run.outcome == Outcome::SlavesRefused) report.code = 'r';
        else report.code = 'e';
    }

    // Identity changes strike from the first read.
    static bool Reached(const vesk::sim::SimFault& f, const vesk::sim::SimInstrument& inst) {
        if (f.kind == vesk::sim::FaultKind::UnplugAfter) return inst.transfers() >= f.n;
        return f.IsTransferFault() || f.IsReturnFault() ? f.Reached() : true;
    }
    // An identity read goes through (a fault on one transfer only strikes
    // one of two tries).
    bool MasterAnswers(const std::string& path) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            CUSBConnection conn(256);
            CDeviceInfo info;
            info.SetDevicePath(vesk::from_utf8(path));
            if (conn.Apri(info) <= 0) continue;
            const bool ok = conn.CtrlWrite_Memory(MEM_READVERS, 0, 0, 0);
            conn.ChiudiUSB();
            if (ok) return true;
        }
        return false;
    }
    bool HasMessageStarting(const std::wstring& text) const {
        for (const auto& m : Messages())
            if (m.rfind(text, 0) == 0) return true;
        return false;
    }
    // "--> Sending slave to firmware <name> - <serial>" lines for one slave.
    static size_t WakeAttempts(const Lines& messages, uint32_t serial) {
        const std::wstring head = L"--> Sending slave to firmware ";
        const std::wstring tail = L" - " + std::to_wstring(serial);
        size_t n = 0;
        for (const auto& m : messages)
            if (m.rfind(head, 0) == 0 && m.size() >= tail.size() &&
                m.compare(m.size() - tail.size(), tail.size(), tail) == 0)
                ++n;
        return n;
    }
};

}  // namespace vesk::test
