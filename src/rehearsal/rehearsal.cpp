#include "rehearsal/rehearsal.h"

#include <array>
#include <memory>
#include <set>

#include "update/settings/engine.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "log/evt_log.h"
#include "rehearsal/capture.h"
#include "sim/sim_bus.h"
#include "update/hw_detection_switch.h"
#include "usb/backend/usb_backend.h"
#include "usb/vesk_semafori.h"

using vesk::Translate;

namespace vesk::rehearsal {

namespace {

constexpr const char* kRehearse = "vesk::rehearsal::Rehearse";
// The restarted copy is waited for as the terminal tool waits for a real one.
constexpr uint32_t kRestartWaitMs = 30000;
constexpr uint32_t kPollMs = 100;
constexpr uint32_t kAfterArrivalMs = 2200;

using RunOutcome = CUpdateProcedure::RunOutcome;

// Nothing to switch: the copy's bus announces nothing to anybody.
class NoDetection : public IHwDetectionSwitch {
public:
    void TerminaGestioneEventiSistema() override {}
    void AvviaGestioneEventiSistema() override {}
};

// The copy's run takes its USB lock from these; no other program can want
// the simulated bus, and the real lock stays as the real run needs it.
class CopyLocks : public IVeskSemafori {
public:
    int StoBloccando(int number) override { return held_.count(number) ? number : 0; }
    bool Blocca(int number) override { return held_.insert(number).second; }
    void Sblocca(int number) override { held_.erase(number); }
    int AggiungiSemaforo(const std::wstring&) override { return 0; }

private:
    std::set<int> held_;
};

// The version the chosen file's name carries becomes the version an image
// without a stamp gives its unit: real firmware files carry no stamp.
void FileVersions(CUpdateProcedure& real, vesk::sim::Scenario& scenario, std::vector<std::wstring>& notes) {
    const CDeviceInfo* info = real.DeviceInfo();
    if (!info) return;
    const uint32_t master_serial = info->Ident().ID_logger();
    CFirmupFilesInfo& catalogue = real.Catalogue();
    for (vesk::sim::SimInstrumentConfig& c : scenario.instruments) {
        if (c.serial != master_serial) continue;
        auto give = [&](vesk::sim::SimIdentityConfig& unit, const std::wstring& fw, const FirmupFileEntry* booter,
                        const std::wstring& who) {
            std::array<uint8_t, 3> v{};
            if (!fw.empty()) {
                if (VersionTextBytes(fw, 3, v.data())) unit.unstamped_firmware = v;
                else notes.push_back(who + L": the firmware version " + fw + L" cannot be a unit's version");
            }
            if (booter && !booter->fileName.empty() && booter->versionNumber != 0) {
                std::array<uint8_t, 2> b{};
                if (VersionTextBytes(booter->versionText, 2, b.data())) unit.unstamped_booter = b;
            }
        };
        std::wstring master_fw;
        for (const DeviceRowData& row : real.Rows())
            if (row.kind == kRowMaster) master_fw = row.chosen.versionText;
        give(c, master_fw, catalogue.GetBooter(master_serial), L"master");
        for (vesk::sim::SimSlaveConfig& s : c.net.slaves) {
            std::wstring fw;
            for (const DeviceRowData& row : real.Rows())
                if ((row.kind == kRowSlave || row.kind == kRowSlaveToRemove) && row.row_index == s.number)
                    fw = row.chosen.versionText;
            give(s, fw, catalogue.GetBooterSlave(int(s.number) - 1, s.serial), L"slave " + std::to_wstring(s.number));
        }
    }
}

// The plan of the copy against the plan the user saw: the same rows, the
// same texts, or the rehearsal would rehearse another update.
void ComparePlans(const std::vector<DeviceRowView>& seen, const std::vector<DeviceRowView>& copy,
                  std::vector<std::wstring>& problems) {
    static const wchar_t* const kColumns[kDeviceColumns] = {L"row",      L"device",    L"serial", L"booter",
                                                            L"firmware", L"available", L"action"};
    if (seen.size() != copy.size()) {
        problems.push_back(L"The simulated copy's plan has " + std::to_wstring(copy.size()) + L" rows instead of " +
                           std::to_wstring(seen.size()));
        return;
    }
    for (size_t r = 0; r < seen.size(); ++r)
        for (int c = 0; c < kDeviceColumns; ++c)
            if (seen[r].columns[c] != copy[r].columns[c])
                problems.push_back(L"The simulated copy's plan, row " + seen[r].columns[kColumnRow] + L", " +
                                   kColumns[c] + L": \"" + copy[r].columns[c] + L"\" instead of \"" +
                                   seen[r].columns[c] + L"\"");
}

bool Touched(RunOutcome outcome) {
    return outcome == RunOutcome::Aborted || outcome == RunOutcome::SlavesRefused ||
           outcome == RunOutcome::NoSlaveUpdate || outcome == RunOutcome::Finished;
}

// After the run the copy restarts: it is waited for, then read again.
void AfterTheRun(CUpdateProcedure& proc, vesk::sim::SimBus& bus) {
    const RunOutcome outcome = proc.LastRun().outcome;
    if (!Touched(outcome)) return;
    if (outcome == RunOutcome::Finished && proc.LastRefresh() == CUpdateProcedure::RefreshOutcome::Planned) return;
    auto all_back = [&] {
        for (vesk::sim::SimInstrument* inst : bus.Instruments())
            if (!bus.IsPresent(inst->path())) return false;
        return true;
    };
    const uint64_t until = vesk::process_clock().now_ms() + kRestartWaitMs;
    while (!all_back() && vesk::process_clock().now_ms() < until) vesk::Sleep(kPollMs);
    vesk::Sleep(kAfterArrivalMs);
    proc.AggiornaStrumentiCollegati();
}

void UnitProblems(const Result& r, std::vector<std::wstring>& problems) {
    for (const CUpdateProcedure::UnitCheck& u : r.run.units) {
        if (u.verified) continue;
        std::wstring why;
        if (!u.found) why = L"would not be found after the update";
        else if (u.after == L"in booter") why = L"would stay in its booter";
        else why = L"would report " + u.after + L" instead of " + (u.expected.empty() ? u.before : u.expected);
        problems.push_back((u.row_index == 0 ? std::wstring(L"M ") : std::to_wstring(u.row_index) + L" ") + u.device +
                           L" " + std::to_wstring(u.serial) + L" " + why);
    }
}

}  // namespace

int QuietSurface::BehaviourRequest() {
    QueueBehaviour(behaviour_);
    return RecordingSurface::BehaviourRequest();
}

void QuietSurface::PushControls() {
    RecordingSurface::PushControls();
    // The events of a whole run's waits would pile up; the state is what counts.
    ClearEvents();
}

void QuietSurface::StartRestartTimer(uint32_t, std::function<void()>) {}

Result Rehearse(CUpdateProcedure& real, RecordingSurface& surface) {
    Result r;
    VLOG_INFO(kRehearse, "Rehearsal on a simulated copy of the connected instrument begins");
    Capture capture;
    std::wstring error;
    if (!CaptureConnected(capture, error)) {
        r.problems.push_back(L"The connected instrument could not be copied: " + error);
        VLOG_INFO(kRehearse, "Rehearsal ends: the instrument could not be copied");
        return r;
    }
    r.captured = true;
    r.notes = capture.notes;
    r.notes.push_back(L"a written image without a version stamp gives its unit the version of its file's name");
    FileVersions(real, capture.scenario, r.notes);
    {
        // The copy's clock and carrier, for as long as these live.
        vesk::VirtualClock clock;
        vesk::ScopedClock scoped_clock(clock);
        const std::unique_ptr<vesk::sim::SimBus> bus = vesk::sim::MakeBus(capture.scenario);
        // Nobody reads the copy's trace: a whole run's would be megabytes.
        bus->trace().KeepInMemory(false);
        vesk::usb::ScopedBackend carrier(*bus);
        NoDetection detection;
        CopyLocks locks;
        CUpdateProcedure proc(surface, detection, &locks,
                              {.main_folder = real.MainFolder(),
                               .debug_mode = real.DebugMode(),
                               .advanced_mode = real.AdvancedMode(),
                               .advanced_allowed = real.AdvancedAllowed(),
                               // A copy keeps nothing worth saving.
                               .backup = false});
        proc.Scelte() = real.Scelte();
        proc.Installati() = real.Installati();
        proc.AggiornaStrumentiCollegati();
        if (proc.LastRefresh() != CUpdateProcedure::RefreshOutcome::Planned)
            r.problems.push_back(L"The simulated copy could not be planned: " + proc.StatusText());
        else
            ComparePlans(real.RowViews(), proc.RowViews(), r.problems);
        r.planned = r.problems.empty();
        if (r.planned) {
            proc.OnBnClickedButtonUpdate();
            AfterTheRun(proc, *bus);
            const bool verified = proc.VerificaUnita();
            r.run = proc.LastRun();
            r.passed = r.run.Completed() && verified;
            // Which unit would not end as planned first, then why.
            UnitProblems(r, r.problems);
            for (const std::wstring& e : r.run.errors) r.problems.push_back(L"Error: " + e);
            if (!r.run.Completed() && r.run.errors.empty())
                r.problems.push_back(L"The rehearsal ended with: " + proc.StatusText());
        }
        // How the run ended; an error stays in the status through the refresh after it.
        r.status = r.planned && r.run.errors.empty() ? r.run.text : proc.StatusText();
        r.messages = surface.State().messages;
    }
    VLOG_INFO(kRehearse, "Rehearsal ends: %s", r.passed ? "passed" : "failed");
    return r;
}

std::wstring UnitLine(const CUpdateProcedure::UnitCheck& u) {
    return (u.row_index == 0 ? std::wstring(L"M ") : std::to_wstring(u.row_index) + L" ") + u.device + L" " +
           std::to_wstring(u.serial) + L": " + u.before + L" -> " + (u.found ? u.after : L"(not found)") +
           (u.expected.empty() ? L"" : L", " + Translate(L"expected") + L" " + u.expected) + L", " +
           Translate(u.verified ? L"verified" : L"NOT verified");
}

std::vector<std::wstring> SummaryLines(const Result& r) {
    std::vector<std::wstring> lines;
    lines.push_back(Translate(L"Rehearsal on a simulated copy of the connected instrument:"));
    for (const auto& u : r.run.units) lines.push_back(L"  " + UnitLine(u));
    if (!r.status.empty()) lines.push_back(L"  " + Translate(L"Rehearsal status: ") + r.status);
    if (!r.notes.empty()) {
        lines.push_back(L"  " + Translate(L"The simulated copy keeps at the simulator's defaults:"));
        for (const auto& n : r.notes) lines.push_back(L"    " + n);
    }
    if (r.passed) {
        lines.push_back(Translate(L"Rehearsal passed: every unit would end as planned."));
        return lines;
    }
    lines.push_back(FailureText(r));
    for (const auto& p : r.problems) lines.push_back(L"  " + p);
    return lines;
}

std::wstring FailureText(const Result& r) {
    return Translate(L"Rehearsal failed: nothing was written to the connected instrument.") +
           (r.problems.empty() ? L"" : L" " + r.problems.front());
}

CUpdateProcedure::BeforeWriting RehearsalGate(int behaviour) {
    return [behaviour](CUpdateProcedure& real, std::wstring& why) {
        real.Msg(nullptr, Translate(L"Rehearsing the update on a simulated copy of the connected instrument"));
        QuietSurface surface(behaviour);
        const Result r = Rehearse(real, surface);
        if (!r.passed) why = FailureText(r);
        // The run stops with the verdict itself.
        for (const std::wstring& line : SummaryLines(r))
            if (line != why) real.Msg(nullptr, line);
        return r.passed;
    };
}

}  // namespace vesk::rehearsal
