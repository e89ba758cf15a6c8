#pragma once
// Whole update runs against simulated instruments: a procedure on a
// recording surface over a simulated bus, on the virtual clock, with its own
// folder of update files and its own USB lock folder. The run tests, the
// fault matrix and the property test share it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/str_conv.h"
#include "firmware_files.h"
#include "procedure_bench.h"
#include "scoped_env.h"
#include "sim/sim_net.h"
#include "sim_fixture.h"
#include "temp_dir.h"
#include "usb/vesk_semafori.h"

namespace vesk::test {

using Lines = std::vector<std::wstring>;

class RunScenarioFixture : public SimFixture {
protected:
    void SetUp() override {
        dir_.mkdir("_BOOTER");
        dir_.mkdir("_ACCESSORI");
        ::chmod(lock_dir_.path().c_str(), 0700);
    }
    void TearDown() override {
        if (bus_) bus_->set_presence_observer(nullptr);
    }
    CVeskSemafori::Place LockPlace() const {
        CVeskSemafori::Place p;
        p.folder = lock_folder_.empty() ? lock_dir_.path() : lock_folder_;
        p.domain = L"TESTDOM";
        p.user = L"tester";
        return p;
    }
    // The bus of scenario, a procedure on the test's folder and a lock object
    // of its own; plugs and unplugs reach detection as udev's events would.
    void Start(const std::string& scenario, bool advanced = false, bool backup = true) {
        if (bus_) bus_->set_presence_observer(nullptr);
        bench_.reset();
        Load(scenario);
        locks_ = std::make_unique<CVeskSemafori>(LockPlace());
        bench_ = std::make_unique<ProcedureBench>(
            CUpdateProcedure::Settings{
                .main_folder = dir_.wpath(), .advanced_mode = advanced, .advanced_allowed = true, .backup = backup},
            locks_.get());
        bus_->set_presence_observer([this](bool arrived, uint16_t pid, const std::string& path) {
            bench_->sources->PushUsbDevice(arrived, 0x11CC, pid, path);
        });
    }
    // The plan, then the run; the events and the log then hold the run only.
    void PlanAndRun() {
        Proc().AggiornaStrumentiCollegati();
        Run();
    }
    void Run() {
        Surface().ClearEvents();
        log_.clear();
        bus_->trace().Clear();
        Proc().OnBnClickedButtonUpdate();
    }
    // The master back from its restart, and the refresh its arrival brings.
    void RefreshAfterRestart() {
        clock_.advance_ms(3000);
        bus_->Tick();
        Proc().AggiornaStrumentiCollegati();
    }
    Lines Messages() const {
        Lines out;
        for (const auto& e : bench_->surface.Events())
            if (e.op == SurfaceOp::AppendMessage) out.push_back(e.text);
        return out;
    }
    size_t Count(const std::wstring& line) const {
        const Lines m = Messages();
        return size_t(std::count(m.begin(), m.end(), line));
    }
    // The lines appear in this order (others may come between them).
    void ExpectInOrder(const Lines& expected) const {
        const Lines m = Messages();
        auto at = m.begin();
        for (const auto& line : expected) {
            at = std::find(at, m.end(), line);
            ASSERT_NE(at, m.end()) << "missing, or out of order: " << vesk::to_utf8(line);
            ++at;
        }
    }
    std::vector<int> OverallPositions() const {
        std::vector<int> out;
        for (const auto& e : bench_->surface.Events())
            if (e.op == SurfaceOp::SetBarPos && e.bar == ProgressBar::Overall) out.push_back(e.value);
        return out;
    }
    // Lock 1 can be taken by another holder.
    bool LockFree() const {
        CVeskSemafori other(LockPlace());
        if (!other.Blocca(1)) return false;
        other.Sblocca(1);
        return true;
    }
    // Every run ends with the lock free, detection on and the cursor back.
    void ExpectReleased() {
        EXPECT_TRUE(bench_->detection_switch.IsOn()) << "detection left off";
        EXPECT_TRUE(LockFree()) << "lock 1 still held";
        EXPECT_EQ(State().wait_cursor, 0);
        EXPECT_EQ(log_.contains("Hardware detection switched DOWN"), log_.contains("Hardware detection switched UP"));
    }
    // An abort: the text in the list and the status, the plan read again
    // (Execute as it says), the bar full.
    void ExpectAborted(const std::wstring& text) {
        EXPECT_EQ(Proc().LastRun().outcome, CUpdateProcedure::RunOutcome::Aborted);
        EXPECT_EQ(Proc().LastRun().text, text);
        EXPECT_EQ(State().status, text);
        EXPECT_EQ(State().colour, StatusColour::Red);
        EXPECT_EQ(State().execute_enabled, Proc().UpdatePending());
        EXPECT_EQ(State().overall.pos, State().overall.upper);
        ExpectReleased();
    }
    CUpdateProcedure& Proc() { return bench_->procedure; }
    RecordingSurface& Surface() { return bench_->surface; }
    const SurfaceState& State() { return bench_->surface.State(); }
    void File(const std::string& name, uint32_t base, uint32_t size, const std::string& version) {
        MakeFirmwareFile(dir_, name, base, size, version);
    }
    INFOIDENT SlaveNow(uint8_t number) {
        INFOIDENT id;
        EXPECT_TRUE(vesk::sim::SlaveIdentityOf(Inst(), number, id));
        return id;
    }
    static std::string Text(const std::wstring& s) { return vesk::to_utf8(s); }

    TempDir dir_;
    TempDir lock_dir_;
    std::string lock_folder_;  // when set: the lock folder instead of lock_dir_
    // The backup every run takes first goes here.
    TempDir state_;
    ScopedEnv state_home_{"XDG_STATE_HOME", state_.path().c_str()};
    std::unique_ptr<CVeskSemafori> locks_;
    std::unique_ptr<ProcedureBench> bench_;
};

}  // namespace vesk::test
