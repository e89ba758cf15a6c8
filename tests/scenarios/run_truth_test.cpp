// What a run writes and what it calls verified: every identity field follows
// the images written, another instrument found on the way is never written,
// a unit the plan leaves alone is left alone, and every image the plan shows
// is checked after the run. Versions before and after differ in every byte,
// so a field that does not follow the image is seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/run_scenario.h"
#include "../support/trace_reads.h"
#include "../support/update_scenarios.h"
#include "common/str_conv.h"
#include "sim/sim_flash.h"
#include "sim/sim_net.h"
#include "update/stop_request.h"

namespace {

using Outcome = CUpdateProcedure::RunOutcome;
using vesk::test::Lines;
using vesk::test::PellDL;
using vesk::test::Slave;

class RunTruth : public vesk::test::RunScenarioFixture {
protected:
    const CUpdateProcedure::UnitCheck& Unit(int row_index) {
        const auto& units = Proc().LastRun().units;
        const auto it = std::find_if(units.begin(), units.end(),
                                     [&](const auto& u) { return u.row_index == row_index; });
        EXPECT_NE(it, units.end()) << "no unit " << row_index;
        return *it;
    }
    const CUpdateProcedure::ImageCheck& ImageOf(int row_index, const std::wstring& image) {
        const CUpdateProcedure::ImageCheck* i = Unit(row_index).Image(image);
        EXPECT_NE(i, nullptr) << "unit " << row_index << " has no " << Text(image);
        static const CUpdateProcedure::ImageCheck none;
        return i ? *i : none;
    }
    const DeviceRowView& Row(int row_index) {
        for (const DeviceRowView& r : State().rows)
            if (r.row_index == row_index && r.kind != kRowOtherGauge) return r;
        ADD_FAILURE() << "no row " << row_index;
        static const DeviceRowView none;
        return none;
    }
    std::vector<std::wstring> Writes(int row_index) {
        std::vector<std::wstring> out;
        for (const DeviceRowView& r : State().rows)
            if (r.row_index == row_index && r.kind != kRowOtherGauge)
                for (const PlannedImage& w : r.writes)
                    out.push_back(w.image + L" " + (w.from.empty() ? L"" : w.from + L" -> ") + w.version);
        return out;
    }
};

// ---- identity fields after a write

TEST_F(RunTruth, EveryFieldOfTheMasterFollowsItsImages) {
    File("Tolmar_441522_fw.mhx", 0xFE0000, 0x400, "44.15.22");
    File("_BOOTER/Booter_Quarv4_0211.mhx", 0xDF0000, 0x2000, "02.11");
    Start(R"({"instruments": [{"code": 63, "serial": 6, "firmware": "43.04.01", "booter": "01.00",
              "tipoFamBoot": 2, "infofwupd_flags": 1}]})");
    PlanAndRun();
    ASSERT_TRUE(Proc().LastRun().Completed()) << Text(Proc().LastRun().text);
    RefreshAfterRestart();
    EXPECT_EQ(Proc().DeviceInfo()->Ident().FirmwareVersionText(), L"44.15.22");
    EXPECT_EQ(Proc().DeviceInfo()->Ident().BooterVersionText(), L"02.11");
    EXPECT_TRUE(Proc().VerificaUnita());
    EXPECT_EQ(ImageOf(0, L"firmware").after, L"44.15.22");
    EXPECT_EQ(ImageOf(0, L"booter").before, L"01.00");
    EXPECT_EQ(ImageOf(0, L"booter").after, L"02.11");
    EXPECT_TRUE(ImageOf(0, L"booter").verified);
}

// The master reads a slave's build byte from the slave's memory: it must be
// the new firmware's, also where that byte lies outside the firmware region.
TEST_F(RunTruth, EveryFieldOfEachSlaveFollowsItsImages) {
    File("Slv_Lambda_021324_fw.mhx", 0xFF0000, 0x400, "02.13.24");
    File("_BOOTER/Booter_Slv_Lambda_0211.mhx", 0xFFC000, 0x4000, "02.11");
    File("Slv_GPS_122334_fw.mot", 0xE0000, 0x400, "12.23.34");
    File("_BOOTER/Booter_Dovo4eGPS0304_0415.mot", 0xFC000, 0x1000, "04.15");
    Start(PellDL(Slave(1, 2006, 71, R"(, "firmware": "01.02.03", "booter": "01.00", "tipoFamBoot": 2)") + ", " +
                 Slave(2, 2017, 74, R"(, "firmware": "11.22.33", "booter": "03.04", "tipoFamBoot": 2)")));
    PlanAndRun();
    ASSERT_TRUE(Proc().LastRun().Completed()) << Text(Proc().LastRun().text);
    RefreshAfterRestart();
    const CDeviceInfo& info = *Proc().DeviceInfo();
    EXPECT_EQ(info.SlaveIdent(0).FirmwareVersionText(), L" 2.13.24");
    EXPECT_EQ(info.SlaveIdent(0).BooterVersionText(), L"02.11");
    EXPECT_EQ(info.SlaveIdent(1).FirmwareVersionText(), L"12.23.34");
    EXPECT_EQ(info.SlaveIdent(1).BooterVersionText(), L"04.15");
    EXPECT_TRUE(Proc().VerificaUnita());
    for (int row : {1, 2})
        for (const wchar_t* image : {L"firmware", L"booter"})
            EXPECT_TRUE(ImageOf(row, image).verified) << row << " " << Text(image);
}

// ---- the unit written is the unit planned

// The master does not come back; another instrument is on USB by then. The
// run's fallback finds it and must send it nothing.
TEST_F(RunTruth, AnotherInstrumentFoundByTheFallbackIsNotWritten) {
    File("Pell_471421_fw.mhx", 0xFC0000, 0x400, "47.14.21");
    File("Pell_471421_lng.mhx", 0xFC0000, 0x400, "47.14.21");
    Start(R"({"instruments": [
        {"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
         "faults": [{"kind": "never_returns", "when": "once"}]},
        {"code": 65, "serial": 11, "firmware": "46.03.00", "net_rebuild_ms": 0}]})");
    const std::string master = "usb:1-1", other = "usb:1-2";
    ASSERT_TRUE(bus_->Unplug(other));
    Proc().AggiornaStrumentiCollegati();
    ASSERT_EQ(Proc().LastRefresh(), CUpdateProcedure::RefreshOutcome::Planned);
    // Plugged in while the master is away.
    bus_->set_presence_observer([&](bool arrived, uint16_t, const std::string& path) {
        if (!arrived && path == master) {
            bus_->Plug(other);
        }
    });
    Run();
    EXPECT_EQ(Proc().LastRun().outcome, Outcome::Aborted);
    EXPECT_EQ(Proc().LastRun().text.rfind(L"The instrument found is not the one being updated", 0), 0u)
        << Text(Proc().LastRun().text);
    EXPECT_NE(Proc().LastRun().text.find(L"11"), std::wstring::npos) << "names the unit found";
    EXPECT_TRUE(log_.contains("ERROR = The instrument found is not the one being updated"));
    for (const auto& e : bus_->trace().entries()) {
        if (e.path != other || e.kind != vesk::sim::TraceKind::Control) continue;
        EXPECT_FALSE(vesk::test::ChangesTheInstrument(vesk::sim::SimTrace::Format(e))) << vesk::sim::SimTrace::Format(e);
    }
    vesk::sim::SimInstrument* found = bus_->Find(other);
    ASSERT_NE(found, nullptr);
    EXPECT_FALSE(found->in_booter());
    EXPECT_EQ(found->identity().FirmwareVersionText(), L"46.03.00");
    EXPECT_EQ(State().colour, StatusColour::Red);
    ExpectReleased();
}

// ---- a unit the plan leaves alone is left alone

// Serial 0 is a real serial: the slave keeps its newer firmware, and the
// result calls it verified because it still runs what it had.
TEST_F(RunTruth, SlaveWithSerialZeroKeepsItsNewerFirmware) {
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10");
    Start(PellDL(Slave(1, 2006, 0, R"(, "firmware": "01.07.00")") + ", " + Slave(2, 2006, 72)));
    Proc().AggiornaStrumentiCollegati();
    EXPECT_EQ(Row(1).columns[kColumnAction], L"will not be modified");
    EXPECT_TRUE(Writes(1).empty());
    Run();
    EXPECT_EQ(Count(L"Start write firmware for slave Display Unit - 0"), 0u);
    EXPECT_EQ(SlaveNow(1).FirmwareVersionText(), L" 1.07.00");
    EXPECT_EQ(SlaveNow(2).FirmwareVersionText(), L" 1.05.10");
    RefreshAfterRestart();
    EXPECT_TRUE(Proc().VerificaUnita());
    EXPECT_FALSE(ImageOf(1, L"firmware").written);
}

// ---- every image the plan shows, and each one checked

TEST_F(RunTruth, PlanShowsTheBootersAndOtherImagesOfEachUnit) {
    vesk::test::ThreeSlavesDueFiles(dir_);
    File("Pell_460500_fw.mhx", 0xFC0000, 0x400, "46.05.00");
    File("Pell_460500_lng.mhx", 0xFC0000, 0x400, "46.05.00");
    Start(vesk::test::ThreeSlavesDue());
    Proc().AggiornaStrumentiCollegati();
    EXPECT_EQ(Writes(0), (std::vector<std::wstring>{L"firmware 46.03.00 -> 46.05.00", L"language 46.05.00"}));
    EXPECT_EQ(Writes(1), (std::vector<std::wstring>{L"firmware 01.00.00 -> 01.05.10"}));
    // Its row says "will not be modified": the booter is what the run writes.
    EXPECT_EQ(Row(2).columns[kColumnAction], L"will not be modified");
    EXPECT_EQ(Writes(2), (std::vector<std::wstring>{L"booter 01.00 -> 01.02"}));
    EXPECT_EQ(Writes(4), (std::vector<std::wstring>{L"firmware in booter -> 02.00.00"}));
}

TEST_F(RunTruth, BooterThatNeverTakesIsNotVerified) {
    File("_BOOTER/Booter_Slv_Lambda_0211.mhx", 0xFFC000, 0x4000, "02.11");
    Start(PellDL(Slave(1, 2006, 71, R"(, "booter": "01.00", "booter_never_takes": true)")));
    PlanAndRun();
    RefreshAfterRestart();
    EXPECT_FALSE(Proc().VerificaUnita());
    const auto& booter = ImageOf(1, L"booter");
    EXPECT_TRUE(booter.planned);
    EXPECT_EQ(booter.expected, L"02.11");
    EXPECT_EQ(booter.after, L"01.00");
    EXPECT_FALSE(booter.verified);
    EXPECT_TRUE(ImageOf(1, L"firmware").verified) << "its firmware was left as it was";
    EXPECT_FALSE(Unit(1).verified);
}

// A master booter its new firmware does not update (its record says so, or
// reads as flags 0): the plan shows it on that condition, the run leaves it,
// and the result checks that it stayed.
TEST_F(RunTruth, MasterBooterTheFirmwareRefusesStaysAsItWas) {
    File("_BOOTER/Booter_Quarv4_0211.mhx", 0xDF0000, 0x2000, "02.11");
    File("Tolmar_441522_fw.mhx", 0xFE0000, 0x400, "44.15.22");
    Start(R"({"instruments": [{"code": 63, "serial": 6, "firmware": "43.04.01", "booter": "01.00", "tipoFamBoot": 2}]})");
    Proc().AggiornaStrumentiCollegati();
    ASSERT_EQ(Row(0).writes.size(), 2u);
    EXPECT_TRUE(Row(0).writes[1].conditional);
    Run();
    ExpectInOrder({L"Firmware doesn't support booter update Tolmar Logger - 6"});
    RefreshAfterRestart();
    EXPECT_TRUE(Proc().VerificaUnita());
    EXPECT_TRUE(ImageOf(0, L"firmware").verified);
    EXPECT_TRUE(ImageOf(0, L"booter").refused);
    EXPECT_EQ(ImageOf(0, L"booter").after, L"01.00");
    EXPECT_TRUE(ImageOf(0, L"booter").verified);
}

// ---- other steps that ended wrong

// A failed master firmware write leaves the old firmware: no language of the
// new one is written onto it.
TEST_F(RunTruth, NoLanguageAfterAFailedFirmwareWrite) {
    dir_.write("Pell_471421_fw.mhx", "S3 not an S-record\n");
    File("Pell_471421_lng.mhx", 0xFC0000, 0x400, "47.14.21");
    Start(PellDL(""));
    PlanAndRun();
    EXPECT_EQ(Count(L"Start write languages Pell DL Logger - 10"), 0u);
    ExpectInOrder({L"Languages not written: the firmware write failed Pell DL Logger - 10"});
    const auto& language = Inst().flash()->language;
    EXPECT_EQ(std::count(language.begin(), language.end(), 0xFF), long(language.size())) << "the area is untouched";
    EXPECT_TRUE(log_.contains("ERROR = Master languages not written after a failed firmware write"));
    RefreshAfterRestart();
    EXPECT_FALSE(Proc().VerificaUnita());
    EXPECT_FALSE(ImageOf(0, L"language").written);
    EXPECT_FALSE(ImageOf(0, L"language").verified);
}

// A slave in its booter whose firmware bytes still read as the file's
// version: the plan says it gets the file, so the run writes it.
TEST_F(RunTruth, SlaveInItsBooterIsWritten) {
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10");
    Start(PellDL(Slave(1, 2006, 71, R"(, "firmware": "01.05.10", "in_booter": true)")));
    Proc().AggiornaStrumentiCollegati();
    EXPECT_EQ(Row(1).columns[kColumnAction], L"in booter:will get 01.05.10");
    Run();
    ExpectInOrder({L"Start write firmware for slave Display Unit - 71", L"Finished write firmware for slave Display Unit - 71"});
    EXPECT_FALSE(SlaveNow(1).IsInBooterOrZero());
    RefreshAfterRestart();
    EXPECT_TRUE(Proc().VerificaUnita());
    EXPECT_TRUE(ImageOf(1, L"firmware").written);
}

// The wake after "No slave whose firmware has to be updated" cannot reconnect:
// a slave may be left in its booter, so the run ends red, never "Firmup finished".
TEST_F(RunTruth, WakeThatCannotReconnectEndsRed) {
    const std::string scenario = PellDL(Slave(1, 2006, 71, R"(, "in_booter": true)"));
    // Where the wake's reconnection opens the master, counted from the start.
    Start(scenario);
    Proc().AggiornaStrumentiCollegati();
    auto opens = [&] {
        size_t n = 0;
        for (const auto& e : bus_->trace().entries()) n += e.kind == vesk::sim::TraceKind::Open;
        return n;
    };
    const size_t before_run = opens();
    Run();
    ASSERT_TRUE(Proc().LastRun().Completed());
    size_t n = before_run, wake_open = 0;
    bool woken = false;
    for (const auto& e : bus_->trace().entries()) {
        if (e.kind == vesk::sim::TraceKind::Control && e.request == 0x0E && e.byte(0) == 54) woken = true;
        if (e.kind != vesk::sim::TraceKind::Open) continue;
        ++n;
        if (woken && wake_open == 0) wake_open = n;
    }
    ASSERT_NE(wake_open, 0u);
    // Every attempt of that reconnection fails, each open tried again after
    // its fault; the closing's open succeeds.
    std::string faults;
    for (int i = 0; i < 10 * (1 + CUSBConnection::kTransientRetries); ++i)
        faults += std::string(i ? ", " : "") + R"({"kind": "stall", "request": "open", "when": "at", "n": )" +
                  std::to_string(wake_open) + "}";
    Start(PellDL(Slave(1, 2006, 71, R"(, "in_booter": true)"), R"(, "faults": [)" + faults + "]"));
    PlanAndRun();
    ExpectInOrder({L"No slave whose firmware has to be updated Pell DL Logger - 10",
                   L"--> Sending slave to firmware Display Unit - 71", L"Not reconnected Pell DL Logger - 10"});
    const auto& run = Proc().LastRun();
    EXPECT_EQ(run.outcome, Outcome::Finished);
    EXPECT_FALSE(run.Completed());
    EXPECT_EQ(run.errors, (std::vector<std::wstring>{L"Not reconnected"}));
    EXPECT_EQ(State().colour, StatusColour::Red);
    EXPECT_NE(State().status, L"Firmup finished");
}

// After an abort the list shows where the master really is: in its booter.
TEST_F(RunTruth, AbortShowsTheMasterWhereItIs) {
    File("Pell_471421_fw.mhx", 0xFC0000, 0x400, "47.14.21");
    File("Pell_471421_lng.mhx", 0xFC0000, 0x400, "47.14.21");
    Start(PellDL("", R"(, "faults": [{"kind": "stall", "request": "booter", "command": 4, "when": "from", "n": 2}])"));
    PlanAndRun();
    ASSERT_EQ(Proc().LastRun().outcome, Outcome::Aborted) << Text(Proc().LastRun().text);
    EXPECT_EQ(Proc().LastRun().text, L"Device failed go to firmware");
    EXPECT_EQ(Proc().LastRefresh(), CUpdateProcedure::RefreshOutcome::Planned);
    ASSERT_FALSE(State().rows.empty());
    EXPECT_NE(State().rows.at(0).columns[kColumnDevice].find(L"*BOOTER*"), std::wstring::npos)
        << Text(State().rows.at(0).columns[kColumnDevice]);
    EXPECT_EQ(State().status, L"Device failed go to firmware");
    EXPECT_EQ(State().colour, StatusColour::Red);
    EXPECT_FALSE(Proc().VerificaUnita());
    EXPECT_TRUE(Unit(0).found);
    EXPECT_EQ(Unit(0).after, L"in booter");
}

// A master in its booter answers none of the backup's requests: none is tried.
TEST_F(RunTruth, NoBackupFromAMasterInItsBooter) {
    File("Pell_471421_fw.mhx", 0xFC0000, 0x400, "47.14.21");
    File("Pell_471421_lng.mhx", 0xFC0000, 0x400, "47.14.21");
    Start(PellDL("", R"(, "in_booter": true)"));
    PlanAndRun();
    ExpectInOrder({L"Backup skipped: the master is in its booter Pell DL Logger - 10"});
    EXPECT_EQ(Proc().LastRun().backup.skipped, "the master is in its booter");
    EXPECT_TRUE(Proc().LastRun().backup.folder.empty());
    EXPECT_TRUE(Proc().LastRun().Completed()) << Text(Proc().LastRun().text);
}

// The backup's own folder replaced by a link into the update folder: the
// backup is refused, and nothing is written into the update folder.
TEST_F(RunTruth, BackupFolderLinkedIntoTheUpdateFolderIsNotFollowed) {
    File("Pell_471421_fw.mhx", 0xFE0000, 0x400, "47.14.21");
    File("Pell_471421_lng.mhx", 0xFC0000, 0x400, "47.14.21");
    std::filesystem::create_directories(state_.file("vesk-firmup"));
    std::filesystem::create_directory_symlink(dir_.path(), state_.file("vesk-firmup/backups"));
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path()))
            names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto before = listing();
    Start(PellDL(""));
    PlanAndRun();
    EXPECT_EQ(listing(), before);
    EXPECT_TRUE(Proc().LastRun().backup.folder.empty());
}

// A stop asked for before the run wrote anything (Ctrl-C while it waited for
// the net) ends it before its backup: refused, no mode switch, no write.
TEST_F(RunTruth, StopBeforeAnyWriteEndsTheRunBeforeItsBackup) {
    File("Tolmar_441522_fw.mhx", 0xFE0000, 0x400, "44.15.22");
    Start(R"({"instruments": [{"code": 63, "serial": 6, "firmware": "43.04.01", "infofwupd_flags": 1}]})");
    Proc().AggiornaStrumentiCollegati();
    ASSERT_TRUE(Proc().UpdatePending());
    vesk::update::RequestStop(2);
    Run();
    vesk::update::ClearStopRequest();
    EXPECT_EQ(Proc().LastRun().outcome, Outcome::Refused) << Text(Proc().LastRun().text);
    EXPECT_EQ(Proc().LastRun().text, L"Stopped before anything was written");
    EXPECT_TRUE(Proc().LastRun().backup.folder.empty()) << Text(Proc().LastRun().backup.folder);
    EXPECT_FALSE(std::filesystem::exists(state_.file("vesk-firmup/backups")));
    for (const auto& e : bus_->trace().entries())
        EXPECT_FALSE(vesk::test::ChangesTheInstrument(vesk::sim::SimTrace::Format(e))) << vesk::sim::SimTrace::Format(e);
    EXPECT_FALSE(Inst().in_booter());
    ExpectReleased();
}

// A stop asked for while the first slave goes to its booter sends no other
// slave there: the recovery wakes the one that went, and the run ends with
// every slave in its firmware.
TEST_F(RunTruth, StopWhileSlavesGoToTheirBootersSendsNoOtherThere) {
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x400, "01.05.10");
    Start(PellDL(Slave(1, 2006, 0) + ", " + Slave(2, 2006, 72) + ", " + Slave(3, 2006, 73) + ", " +
                 Slave(4, 2006, 74)));
    Proc().AggiornaStrumentiCollegati();
    ASSERT_TRUE(Proc().UpdatePending());
    int sent = 0;
    Surface().SetObserver([&](const SurfaceEvent& e) {
        if (e.op == SurfaceOp::AppendMessage && e.text.find(L"Sending slave to booter") != std::wstring::npos &&
            ++sent == 1)
            vesk::update::RequestStop(15);
    });
    Run();
    Surface().SetObserver(nullptr);
    vesk::update::ClearStopRequest();
    EXPECT_EQ(sent, 1);
    EXPECT_NE(Proc().LastRun().outcome, Outcome::Finished) << Text(Proc().LastRun().text);
    for (uint8_t n : {1, 2, 3, 4}) EXPECT_FALSE(SlaveNow(n).IsInBooterOrZero()) << "slave " << int(n);
    EXPECT_FALSE(Inst().in_booter());
    ExpectReleased();
}

}  // namespace
