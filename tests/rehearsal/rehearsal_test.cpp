// A capture of the connected (simulated) instruments, and rehearsals of an
// update on a simulated copy of them before the real run.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/procedure_bench.h"
#include "../support/temp_dir.h"
#include "../support/trace_reads.h"
#include "../support/update_bench.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "device/connection_strumento.h"
#include "log/evt_log.h"
#include "rehearsal/capture.h"
#include "rehearsal/rehearsal.h"
#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"
#include "usb/backend/usb_backend.h"
#include "usb/vesk_semafori.h"

namespace {

using vesk::rehearsal::Capture;
using vesk::sim::Scenario;
using vesk::sim::SimInstrumentConfig;
using vesk::sim::SimSlaveConfig;
using RunOutcome = CUpdateProcedure::RunOutcome;

// A Pell DL master with three slaves: the master's firmware and language,
// slave 1's firmware and slave 2's booter are due; slave 4 is up to date.
const std::string kMasterAndThreeSlaves = R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00",
  "net_rebuild_ms": 0, "infofwupd_flags": 1, "product_id": 258, "path": "usb:2-3.1", "slaves": [
    {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"},
    {"number": 2, "code": 2006, "serial": 72, "firmware": "01.05.10", "booter": "01.00"},
    {"number": 4, "code": 2006, "serial": 74, "firmware": "01.05.10", "booter": "01.02", "tipoFamBoot": 3}]}]})";

using vesk::test::kPellNetFiles;
using vesk::test::UpdateFile;

class RehearsalTest : public ::testing::Test {
protected:
    void TearDown() override {
        bench_.reset();
        backend_.reset();
        bus_.reset();
    }

    void Folder(bool stamped) { vesk::test::MakePellNetFolder(dir_, "", stamped); }
    void Connect(const std::string& scenario) {
        std::string error;
        bus_ = vesk::sim::BusFromJson(scenario, &error);
        ASSERT_TRUE(bus_) << error;
        backend_.emplace(*bus_);
    }
    // The real procedure with its plan read.
    CUpdateProcedure& Planned(CUpdateProcedure::BeforeWriting gate = {}) {
        bench_ = std::make_unique<vesk::test::ProcedureBench>(
            CUpdateProcedure::Settings{.main_folder = dir_.wpath(), .before_writing = std::move(gate)}, &locks_);
        bench_->procedure.AggiornaStrumentiCollegati();
        EXPECT_EQ(bench_->procedure.LastRefresh(), CUpdateProcedure::RefreshOutcome::Planned)
            << vesk::to_utf8(bench_->procedure.StatusText());
        return bench_->procedure;
    }
    std::vector<std::string> Changes() const {
        std::string text;
        for (const auto& line : bus_->trace().lines()) text += line + "\n";
        return vesk::test::ChangingLines(text);
    }

    vesk::VirtualClock clock_{5000};
    vesk::ScopedClock scoped_clock_{clock_};
    vesk::LogCapture log_;
    vesk::test::TempDir dir_;
    vesk::test::TempDir lock_dir_;
    CVeskSemafori locks_{CVeskSemafori::Place{lock_dir_.path(), false, L"test", L"tester"}};
    std::unique_ptr<vesk::sim::SimBus> bus_;
    std::optional<vesk::usb::ScopedBackend> backend_;
    std::unique_ptr<vesk::test::ProcedureBench> bench_;
};

void ExpectSameIdentity(const vesk::sim::SimIdentityConfig& got, const vesk::sim::SimIdentityConfig& want) {
    EXPECT_EQ(got.code, want.code);
    EXPECT_EQ(got.serial, want.serial);
    EXPECT_EQ(std::vector<int>({got.fw_major, got.fw_minor, got.fw_build}),
              std::vector<int>({want.fw_major, want.fw_minor, want.fw_build}));
    EXPECT_EQ(std::vector<int>({got.boot_major, got.boot_minor}), std::vector<int>({want.boot_major, want.boot_minor}));
    EXPECT_EQ(got.in_booter, want.in_booter);
    EXPECT_EQ(got.tipoFamBoot, want.tipoFamBoot);
}

// What a capture holds against the scenario the instruments were made from.
void ExpectCaptured(const Scenario& got, const Scenario& want, const std::vector<uint8_t>& flags) {
    ASSERT_EQ(got.instruments.size(), want.instruments.size());
    for (size_t i = 0; i < want.instruments.size(); ++i) {
        SCOPED_TRACE("instrument " + std::to_string(i));
        const SimInstrumentConfig& g = got.instruments[i];
        const SimInstrumentConfig& w = want.instruments[i];
        ExpectSameIdentity(g, w);
        EXPECT_EQ(g.d11, w.d11);
        EXPECT_EQ(g.product_id, w.product_id);
        if (!w.path.empty()) {
            EXPECT_EQ(g.path, w.path);
        }
        EXPECT_EQ(g.net.infofwupd_fails, w.net.infofwupd_fails);
        if (!w.net.infofwupd_fails) {
            EXPECT_EQ(g.net.infofwupd_flags, std::optional<uint8_t>(flags[i]));
        }
        ASSERT_EQ(g.net.slaves.size(), w.net.slaves.size());
        for (size_t s = 0; s < w.net.slaves.size(); ++s) {
            const SimSlaveConfig& gs = g.net.slaves[s];
            const SimSlaveConfig& ws = w.net.slaves[s];
            SCOPED_TRACE("slave " + std::to_string(ws.number));
            EXPECT_EQ(gs.number, ws.number);
            EXPECT_EQ(gs.unreadable, ws.unreadable);
            if (ws.unreadable) {
                EXPECT_EQ(gs.code, ws.code);
                EXPECT_EQ(gs.serial, ws.serial);
                continue;
            }
            ExpectSameIdentity(gs, ws);
            EXPECT_EQ(gs.net_code, ws.net_code);
        }
    }
}

// What the listing shows of every instrument on the carrier now installed.
std::vector<std::wstring> Listing() {
    std::vector<CDeviceInfo> list;
    EXPECT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    std::vector<std::wstring> out;
    for (CDeviceInfo& info : list) {
        auto line = [](const INFOIDENT& id) {
            return std::to_wstring(id.loggerCode()) + L" " + id.GetSerialText() + L" " + id.FirmwareVersionText() +
                   L" " + id.BooterVersionText() + (id.IsInBooter() ? L" booter" : L"");
        };
        out.push_back(info.GetDevicePath() + L" " + line(info.Ident()) + L" [" + info.GetDisplayName() + L"]");
        for (size_t s = 0; s < 31; ++s)
            if (info.NetTable().SlaveCode(s) != 0) out.push_back(L"  " + std::to_wstring(s + 1) + L" " + line(info.SlaveIdent(s)));
    }
    return out;
}

TEST_F(RehearsalTest, CaptureReadsWhatIsConnectedAndChangesNothing) {
    struct Case {
        const char* name;
        std::string scenario;
        std::vector<uint8_t> flags;  // the capability flags the run would read
    } cases[] = {
        {"a master and three slaves", kMasterAndThreeSlaves, {1}},
        {"a Quarv3 in its booter on a D11 chip, its record refused",
         R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "booter": "02.10", "in_booter": true,
             "tipoFamBoot": 2, "chip": "D11", "infofwupd_flags": "fails"}]})",
         {0}},
        {"a Pell DL in its booter on a D12 chip, which reports its type and serial as zero",
         R"({"instruments": [{"code": 65, "serial": 12, "firmware": "46.03.00", "in_booter": true, "tipoFamBoot": 2,
             "net_rebuild_ms": 0}]})",
         {0}},
        {"a slave the net lists under another code, one that does not answer, no record",
         R"({"instruments": [{"code": 65, "serial": 11, "firmware": "46.03.00", "net_rebuild_ms": 0, "slaves": [
             {"number": 3, "code": 2006, "serial": 73, "firmware": "01.00.00", "net_code": 2017},
             {"number": 5, "code": 2006, "serial": 75, "firmware": "01.00.00", "unreadable": true}]}]})",
         {0}},
        {"two instruments",
         R"({"instruments": [{"code": 19, "serial": 1, "firmware": "01.00.00"},
                             {"code": 65, "serial": 2, "firmware": "46.05.00", "net_rebuild_ms": 0}]})",
         {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(c.scenario);
        Scenario want;
        std::string error;
        ASSERT_TRUE(vesk::sim::ParseScenario(c.scenario, "want", &want, &error)) << error;
        const std::vector<std::wstring> listed = Listing();
        bus_->trace().Clear();

        Capture capture;
        std::wstring why;
        ASSERT_TRUE(vesk::rehearsal::CaptureConnected(capture, why)) << vesk::to_utf8(why);
        EXPECT_EQ(Changes(), std::vector<std::string>{});
        EXPECT_FALSE(bus_->trace().lines().empty());
        for (const auto& line : bus_->trace().lines())
            EXPECT_EQ(line.find("C4=1"), std::string::npos) << "the net is read as it stands: " << line;
        ExpectCaptured(capture.scenario, want, c.flags);
        EXPECT_FALSE(capture.notes.empty());

        // The file reads back as the same instruments, and lists the same.
        Scenario back;
        ASSERT_TRUE(vesk::sim::ParseScenario(vesk::rehearsal::CaptureJson(capture.scenario), "back", &back, &error))
            << error;
        ExpectCaptured(back, want, c.flags);
        backend_.reset();
        auto copy = vesk::sim::MakeBus(back);
        {
            vesk::usb::ScopedBackend copied(*copy);
            EXPECT_EQ(Listing(), listed);
        }
        TearDown();
    }
}

TEST_F(RehearsalTest, AGoodFolderPassesAndTheRealCarrierAndClockAreBack) {
    for (const bool stamped : {true, false}) {
        SCOPED_TRACE(stamped ? "stamped files" : "files without a stamp, as real ones");
        Folder(stamped);
        Connect(kMasterAndThreeSlaves);
        CUpdateProcedure& real = Planned();
        // The capture alone, on the real clock, as the rehearsal will make it.
        uint64_t now = clock_.now_ms();
        Capture alone;
        std::wstring error;
        ASSERT_TRUE(vesk::rehearsal::CaptureConnected(alone, error));
        const uint64_t capture_ms = clock_.now_ms() - now;
        bus_->trace().Clear();
        vesk::usb::IUsbBackend* carrier = &vesk::usb::process_backend();
        now = clock_.now_ms();

        vesk::rehearsal::QuietSurface surface;
        const vesk::rehearsal::Result r = vesk::rehearsal::Rehearse(real, surface);
        EXPECT_TRUE(r.passed) << vesk::to_utf8(r.status) << "\n"
                              << (r.problems.empty() ? "" : vesk::to_utf8(r.problems.front()));
        EXPECT_EQ(r.run.outcome, RunOutcome::Finished);
        ASSERT_EQ(r.run.units.size(), 4u);
        const std::vector<std::wstring> expected = {L"46.05.00", L"01.05.10", L"", L""};
        for (size_t i = 0; i < r.run.units.size(); ++i) {
            EXPECT_TRUE(r.run.units[i].verified) << i;
            EXPECT_EQ(r.run.units[i].expected, expected[i]) << i;
        }
        EXPECT_TRUE(r.problems.empty());
        EXPECT_TRUE(r.run.backup.folder.empty() && r.run.backup.saved.empty()) << "a copy takes no backup";
        EXPECT_NE(std::find(r.messages.begin(), r.messages.end(), L"Start firmup booter slave Display Unit - 72"),
                  r.messages.end());
        // The summary says what the copy could not know.
        const auto lines = vesk::rehearsal::SummaryLines(r);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            L"    re-enumeration delay after a mode switch or restart: 3000 ms"),
                  lines.end());
        EXPECT_EQ(lines.back(), L"Rehearsal passed: every unit would end as planned.");

        EXPECT_EQ(&vesk::usb::process_backend(), carrier);
        EXPECT_EQ(&vesk::process_clock(), &clock_);
        EXPECT_EQ(clock_.now_ms() - now, capture_ms) << "the rest of the rehearsal's time is its own";
        EXPECT_EQ(Changes(), std::vector<std::string>{});
        EXPECT_EQ(real.LastRun().outcome, RunOutcome::NotRun);
        EXPECT_EQ(bus_->Find("usb:2-3.1")->identity().FirmwareVersionText(), L"46.03.00");
        TearDown();
    }
}

TEST_F(RehearsalTest, AFileThatWouldNotEndAsPlannedFailsTheRehearsal) {
    struct Case {
        const char* name;
        const char* file;  // replaced in the good folder
        std::string text;
        std::vector<std::wstring> problems;  // among the rehearsal's
    } cases[] = {
        {"a master firmware that does not load", "Pell_460500_fw.mhx", "",
         {L"M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00", L"Error: Error writing master firmware"}},
        {"a master firmware whose records lie outside its region", "Pell_460500_fw.mhx", "outside",
         {L"M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00"}},
        {"a slave firmware whose records lie outside its region", "Slv_Lambda_010510_fw.mhx", "outside",
         {L"1 Display Unit 71 would report 01.00.00 instead of 01.05.10", L"Error: Error in writing slave firmware"}},
        {"a firmware whose stamp is not the version of its name", "Pell_460500_fw.mhx", "46.04.00",
         {L"M Pell DL Logger 10 would report 46.04.00 instead of 46.05.00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder(true);
        const std::string name = c.file;
        const UpdateFile& good = name == kPellNetFiles[0].name ? kPellNetFiles[0] : kPellNetFiles[2];
        if (c.text.empty()) {
            vesk::test::BreakFirstRecord(dir_, name);
        } else if (c.text == "outside") {
            vesk::test::MakeFirmwareFile(dir_, name, 0x100000, good.size, good.version);
        } else {
            vesk::test::MakeFirmwareFile(dir_, name, good.base, good.size, c.text);
        }
        Connect(kMasterAndThreeSlaves);
        CUpdateProcedure& real = Planned();
        bus_->trace().Clear();
        vesk::rehearsal::QuietSurface surface;
        const vesk::rehearsal::Result r = vesk::rehearsal::Rehearse(real, surface);
        EXPECT_FALSE(r.passed);
        for (const auto& p : c.problems)
            EXPECT_NE(std::find(r.problems.begin(), r.problems.end(), p), r.problems.end()) << vesk::to_utf8(p);
        EXPECT_EQ(vesk::rehearsal::SummaryLines(r).back().substr(0, 2), L"  ");
        EXPECT_EQ(vesk::rehearsal::FailureText(r).rfind(L"Rehearsal failed: nothing was written", 0), 0u);
        EXPECT_EQ(Changes(), std::vector<std::string>{});
        TearDown();
    }
}

TEST_F(RehearsalTest, AnInstrumentGoneSinceThePlanFailsTheRehearsal) {
    Folder(true);
    Connect(kMasterAndThreeSlaves);
    CUpdateProcedure& real = Planned();
    bus_->Unplug("usb:2-3.1");
    vesk::rehearsal::QuietSurface surface;
    const vesk::rehearsal::Result r = vesk::rehearsal::Rehearse(real, surface);
    EXPECT_FALSE(r.passed);
    ASSERT_FALSE(r.problems.empty());
    EXPECT_EQ(r.problems.front(), L"The simulated copy could not be planned: No gauge is connected to any USB port");
}

// The procedure's own check before writing: the window's Rehearse option.
TEST_F(RehearsalTest, TheGateStopsARunBeforeAnyWriteOrLetsItGoOn) {
    for (const bool good : {false, true}) {
        SCOPED_TRACE(good ? "a good folder" : "a firmware that does not load");
        Folder(true);
        if (!good) vesk::test::BreakFirstRecord(dir_, "Pell_460500_fw.mhx");
        Connect(kMasterAndThreeSlaves);
        CUpdateProcedure& real = Planned(vesk::rehearsal::RehearsalGate());
        bus_->trace().Clear();
        real.OnBnClickedButtonUpdate();
        const auto& messages = bench_->surface.State().messages;
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            L"Rehearsing the update on a simulated copy of the connected instrument"),
                  messages.end());
        EXPECT_EQ(locks_.StoBloccando(1), 0) << "the USB lock is released";
        if (good) {
            EXPECT_EQ(real.LastRun().outcome, RunOutcome::Finished);
            EXPECT_FALSE(Changes().empty()) << "the real run wrote";
            EXPECT_EQ(bus_->Find("usb:2-3.1")->identity().FirmwareVersionText(), L"46.05.00");
        } else {
            EXPECT_EQ(real.LastRun().outcome, RunOutcome::Refused);
            EXPECT_EQ(real.StatusText(), L"Rehearsal failed: nothing was written to the connected instrument. "
                                         L"M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00");
            EXPECT_EQ(real.GetStatusColour(), StatusColour::Red);
            EXPECT_EQ(Changes(), std::vector<std::string>{});
            EXPECT_NE(std::find(messages.begin(), messages.end(),
                                L"  M Pell DL Logger 10 would report 46.03.00 instead of 46.05.00"),
                      messages.end());
        }
        TearDown();
    }
}

}  // namespace
