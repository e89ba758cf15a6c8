// The refresh of the update plan against simulated instruments and folders of
// update files, on the virtual clock and the recording surface.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../support/firmware_files.h"
#include "../support/procedure_bench.h"
#include "../support/sim_fixture.h"
#include "../support/temp_dir.h"
#include "update/update_checks.h"

namespace {

using Outcome = CUpdateProcedure::RefreshOutcome;

const std::wstring kClick = L"Click 'Execute' button to proceed and firmup your system";
const std::wstring kUpToDate = L"Your system is up to date";
const std::wstring kPowercycle = L"\r\nthen powercycle the data system and again execute this Vesk firmup software.";

class PlanScenario : public vesk::test::SimFixture {
protected:
    // The bus of scenario, and a procedure planning from the test's folder.
    void Start(const std::string& scenario, bool advanced = false) {
        Load(scenario);
        bench_ = std::make_unique<vesk::test::ProcedureBench>(CUpdateProcedure::Settings{
            .main_folder = dir_.wpath(), .advanced_mode = advanced, .advanced_allowed = true});
        // Plugs and unplugs reach detection as udev's events would; pushed
        // while detection is off, they are lost.
        bus_->set_presence_observer([this](bool arrived, uint16_t pid, const std::string& path) {
            pushes_.push_back(bench_->sources->PushUsbDevice(arrived, 0x11CC, pid, path));
        });
    }
    void TearDown() override {
        if (bus_) bus_->set_presence_observer(nullptr);
    }
    // One refresh; detection is on again whatever it found.
    void Refresh() {
        Proc().AggiornaStrumentiCollegati();
        EXPECT_TRUE(bench_->detection_switch.IsOn()) << "detection left off";
    }
    void File(const std::string& name, uint32_t base, const std::string& version) {
        vesk::test::MakeFirmwareFile(dir_, name, base, 0x100, version);
    }
    CUpdateProcedure& Proc() { return bench_->procedure; }
    RecordingSurface& Surface() { return bench_->surface; }
    const SurfaceState& State() { return bench_->surface.State(); }
    std::vector<std::wstring> Column(DeviceColumn c) {
        std::vector<std::wstring> out;
        for (const auto& r : State().rows) out.push_back(r.columns[c]);
        return out;
    }
    void ExpectStatus(const std::wstring& text, StatusColour colour, bool execute, bool advanced_button) {
        EXPECT_EQ(State().status, text);
        EXPECT_EQ(Proc().StatusText(), text);
        EXPECT_EQ(State().colour, colour);
        EXPECT_EQ(State().execute_enabled, execute);
        EXPECT_EQ(State().advanced_enabled, advanced_button);
        ASSERT_FALSE(State().messages.empty());
        EXPECT_EQ(State().messages.back(), text) << "each status goes to the message list";
    }

    vesk::test::TempDir dir_;
    std::unique_ptr<vesk::test::ProcedureBench> bench_;
    std::vector<bool> pushes_;
};

// A Pell DL master (slave updates through it) with the given slaves.
std::string PellDL(const std::string& slaves, const std::string& extra = "") {
    return R"({"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0)" + extra +
           R"(, "slaves": [)" + slaves + "]}]}";
}

std::string Slave(int number, int code, int serial, const std::string& extra = "") {
    return R"({"number": )" + std::to_string(number) + R"(, "code": )" + std::to_string(code) +
           R"(, "serial": )" + std::to_string(serial) + R"(, "firmware": "01.00.00")" + extra + "}";
}

const char* kQuarv3 = R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "booter": "02.10"}]})";

TEST_F(PlanScenario, NothingConnected) {
    Start(R"({"instruments": []})");
    Refresh();
    EXPECT_EQ(Proc().LastRefresh(), Outcome::NoInstrument);
    ExpectStatus(L"No gauge is connected to any USB port", StatusColour::Normal, false, false);
    EXPECT_TRUE(State().rows.empty());
    EXPECT_EQ(State().messages.front(), L"Please wait...");
    EXPECT_EQ(Surface().EventsOf(SurfaceOp::Layout).size(), 1u);
    EXPECT_FALSE(Proc().RefreshPending());
}

TEST_F(PlanScenario, NothingConnectedWhileTheMasterRestarts) {
    Start(R"({"instruments": []})");
    Proc().SetRefreshPending();
    Proc().AttendiRiavvio();
    Refresh();
    ExpectStatus(L"Please wait...", StatusColour::Normal, false, false);
    EXPECT_FALSE(Proc().RefreshPending());
    // Ten seconds later the restart is over.
    ASSERT_EQ(Surface().RestartTimerMs(), 10000u);
    Surface().FireRestartTimer();
    Refresh();
    ExpectStatus(L"No gauge is connected to any USB port", StatusColour::Normal, false, false);
}

TEST_F(PlanScenario, OneInstrumentEndsTheRestartWait) {
    Start(kQuarv3);
    Proc().AttendiRiavvio();
    Refresh();
    EXPECT_FALSE(Proc().RestartPending());
    ExpectStatus(L"No update files for this instrument in " + dir_.wpath(), StatusColour::Normal, false, false);
}

TEST_F(PlanScenario, TwoInstruments) {
    Start(vesk::test::SimScenarioJson({vesk::test::SimInstrumentJson("", "1"), vesk::test::SimInstrumentJson("", "2")}));
    Refresh();
    EXPECT_EQ(Proc().LastRefresh(), Outcome::SeveralInstruments);
    ExpectStatus(L"2 gauges are connected to USB ports. Only one can be connected.", StatusColour::Red, false, false);
    EXPECT_TRUE(State().rows.empty());
}

TEST_F(PlanScenario, MasterWithoutFiles) {
    Start(kQuarv3);
    Refresh();
    EXPECT_EQ(Proc().LastRefresh(), Outcome::Planned);
    // Listed all the same, so the user sees it was read and where files were looked for.
    ASSERT_EQ(State().rows.size(), 1u);
    EXPECT_EQ(State().rows[0].columns[kColumnAvailable], L"none");
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"no update file");
    ExpectStatus(L"No update files for this instrument in " + dir_.wpath(), StatusColour::Normal, false, false);
    EXPECT_FALSE(Proc().UpdatePending());
    EXPECT_TRUE(log_.contains("CVESKFirmwareUpdaterDlg::AggiornaStrumentiCollegati"));
    EXPECT_TRUE(log_.contains("INFO = Master: Quarv3 Logger 19 with firmware  1.07.09 and booter 02.10"));
}

TEST_F(PlanScenario, MasterInBooterIsDueForAnyVersion) {
    File("Quarv3_010500_fw.mhx", 0xFE0000, "01.05.00");
    Start(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09", "in_booter": true,
              "tipoFamBoot": 5}]})");
    Refresh();
    ASSERT_EQ(State().rows.size(), 1u);
    EXPECT_EQ(State().rows[0].columns,
              (DeviceRowTexts{L"M", L"Quarv3 Logger 19 *BOOTER*", L"7", L"00.00", L" 1.07.09", L"01.05.00",
                              L"in booter:will get 01.05.00"}));
    EXPECT_TRUE(Proc().UpdatePending());
    ExpectStatus(kClick, StatusColour::Normal, true, true);
}

TEST_F(PlanScenario, MasterOnTheVersionOfTheNewestFile) {
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    File("Quarv3_010709_fw.mhx", 0xFE0000, "01.07.09");
    Start(kQuarv3);
    Refresh();
    ASSERT_EQ(State().rows.size(), 1u);
    EXPECT_EQ(State().rows[0].columns,
              (DeviceRowTexts{L"M", L"Quarv3 Logger 19", L"7", L"02.10", L" 1.07.09", L"01.07.09",
                              L"will not be modified"}));
    EXPECT_EQ(State().rows[0].versions, (std::vector<std::wstring>{L"01.06.00", L"01.07.09"}));
    EXPECT_FALSE(Proc().UpdatePending());
    EXPECT_TRUE(Proc().VersionsSelectable());
    ExpectStatus(kUpToDate, StatusColour::Normal, false, true);
    // The run's check agrees with the plan; the display text would not.
    const INFOIDENT& master = Proc().DeviceInfo()->Ident();
    EXPECT_FALSE(vesk::update::FwDaAggiornare(Proc().Catalogue(), master));
    EXPECT_TRUE(Proc().Catalogue().FwDaAggiornare(master.FirmwareVersionText()));
}

TEST_F(PlanScenario, MasterWithThreeSlaves) {
    File("Pell_460500_fw.mhx", 0xFC0000, "46.05.00");
    File("Pell_460500_lng.mhx", 0xFC0000, "46.05.00");
    File("Slv_Lambda_010203_fw.mhx", 0xFF0000, "01.02.03");
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10");
    File("Slv_GPS_020000_fw.mot", 0xE0000, "02.00.00");
    Start(PellDL(Slave(1, 2006, 71) + ", " + Slave(2, 2017, 72, R"(, "in_booter": true)") + ", " +
                 Slave(4, 2006, 74, R"(, "firmware": "01.05.10")")));
    Refresh();
    EXPECT_EQ(Column(kColumnRow), (std::vector<std::wstring>{L"M", L"1", L"2", L"4"}));
    EXPECT_EQ(Column(kColumnDevice), (std::vector<std::wstring>{L"Pell DL Logger", L"Display Unit",
                                                               L"GPS Receiver 2017 *BOOTER*", L"Display Unit"}));
    EXPECT_EQ(Column(kColumnAction), (std::vector<std::wstring>{L"will get 46.05.00", L"will get 01.05.10",
                                                               L"in booter:will get 02.00.00", L"will not be modified"}));
    for (const auto& r : State().rows) EXPECT_EQ(r.kind, r.row_index == 0 ? kRowMaster : kRowSlave);
    EXPECT_TRUE(Proc().UpdatePending());
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    for (const char* line : {"INFO = Slave: Display Unit with firmware  1.00.00 and booter 00.00",
                             "INFO = Slave: GPS Receiver 2017 with firmware  1.00.00 and booter 00.00",
                             "INFO = Slave: Display Unit with firmware  1.05.10 and booter 00.00"})
        EXPECT_TRUE(log_.contains(line)) << line;
}

TEST_F(PlanScenario, SlaveAdmissionMessages) {
    const std::string six = Slave(1, 2006, 71) + ", " + Slave(2, 2006, 72) + ", " + Slave(3, 2006, 73) + ", " +
                            Slave(4, 2006, 74) + ", " + Slave(5, 2006, 75) + ", " + Slave(6, 2006, 76);
    struct Case {
        const char* name;
        std::string scenario;
        std::wstring status;
    } cases[] = {
        {"a camera cannot be updated", PellDL(Slave(1, 2006, 71) + ", " + Slave(3, 2016, 73)),
         L"To run the Vesk firmup you have to remove your Camera Unit, " + kPowercycle +
             L"\r\nRemoved units must be updated separately connecting them directly to your PC (USB)."},
        {"booters that conflict", PellDL(Slave(1, 2006, 71, R"(, "booter": "01.21")") + ", " +
                                         Slave(2, 2006, 72, R"(, "booter": "01.21")")),
         L"To run the Vesk firmup you have to SEPARATELY UPDATE your Display Unit, "
         L"\r\nso you need to execute this Vesk firmup software with each single device connected to the "
         L"Pell DL Logger."},
        {"one slave too many", PellDL(six), L"To run the Vesk firmup you have to remove 1 slave" + kPowercycle},
        {"two slaves too many", PellDL(six + ", " + Slave(7, 2006, 77)),
         L"To run the Vesk firmup you have to remove 2 slaves" + kPowercycle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        File("Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10");
        File("Slv_Lambda_010203_fw.mhx", 0xFF0000, "01.02.03");
        Start(c.scenario);
        Refresh();
        ExpectStatus(c.status, StatusColour::Red, false, false);
        EXPECT_TRUE(Proc().UpdatePending()) << "refused although something is due";
        EXPECT_FALSE(State().rows.empty());
    }
}

TEST_F(PlanScenario, SlaveToBeRemovedHasItsRow) {
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10");
    Start(PellDL(Slave(1, 2006, 71) + ", " + Slave(3, 2016, 73)));
    Refresh();
    ASSERT_EQ(State().rows.size(), 2u);
    const DeviceRowView& camera = State().rows[1];
    EXPECT_EQ(camera.kind, kRowSlaveToRemove);
    EXPECT_EQ(camera.columns, (DeviceRowTexts{L"3", L"Camera Unit", L"73", L"00.00", L" 1.00.00", L"", L"to be removed"}));
    EXPECT_TRUE(camera.versions.empty());
}

TEST_F(PlanScenario, AdvancedModeWithAnOlderVersionAndTheInstalledTable) {
    File("Quarv3_010400_fw.mhx", 0xFE0000, "01.04.00");
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    Start(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.05.00"}]})", true);
    Refresh();
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    EXPECT_TRUE(State().versions_visible);
    // Row 0 with its versions, newest on top, the chosen one selected.
    Proc().OnDeviceRowSelected(0);
    EXPECT_EQ(State().versions, (std::vector<std::wstring>{L"01.06.00", L"01.04.00"}));
    EXPECT_EQ(State().selected_version, 0);

    Proc().OnVersionClicked(1);  // 01.04.00
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    FirmupFileEntry picked;
    ASSERT_TRUE(Proc().Scelte().Lookup(7, picked));
    EXPECT_EQ(picked.fileName, L"Quarv3_010400_fw.mhx");

    // The next refresh keeps the pick.
    Refresh();
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");
    EXPECT_EQ(State().rows[0].columns[kColumnAvailable], L"01.06.00");
    EXPECT_TRUE(Proc().UpdatePending());
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    EXPECT_EQ(State().selected_version, 1);

    // A run wrote it: the plan says so and offers nothing more.
    Proc().Installati().Insert(picked);
    Refresh();
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"installed  1.05.00");
    ExpectStatus(L"Firmup finished", StatusColour::Normal, false, true);

    // Picking it again means writing it again.
    Proc().OnVersionClicked(1);
    EXPECT_FALSE(Proc().Installati().Contains(7));
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");

    // Normal mode writes the newest file again, whatever was picked.
    Proc().OnNormalAdvanced();
    EXPECT_FALSE(Proc().AdvancedMode());
    EXPECT_EQ(State().advanced_caption, L"Advanced");
    EXPECT_FALSE(State().versions_visible);
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.06.00");
    EXPECT_EQ(Proc().RememberedRow(), 0);
    EXPECT_EQ(Proc().SelectedRow(), -1);
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    Proc().OnNormalAdvanced();
    EXPECT_EQ(State().advanced_caption, L"Normal");
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");
    EXPECT_EQ(State().selected_version, 1);
}

// A slave whose firmware is current but whose booter is older than its file:
// the run's booter stage writes it, so the plan says there is something to do.
TEST_F(PlanScenario, SlaveWithOnlyItsBooterDue) {
    struct Case {
        const char* name;
        const char* booter;  // the slave's; the file offers 01.02
        bool advanced;
        bool due;
    } cases[] = {
        {"older booter", "01.00", false, true},
        {"older booter, advanced mode", "01.00", true, true},
        {"same booter", "01.02", false, false},
        {"newer booter", "02.07", false, false},
    };
    dir_.mkdir("_BOOTER");
    File("Slv_Lambda_010510_fw.mhx", 0xFF0000, "01.05.10");
    File("_BOOTER/Booter_Slv_Lambda_0102.mhx", 0xFFC000, "01.02");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Serial 0 is a real serial.
        Start(PellDL(Slave(1, 2006, 0, std::string(R"(, "firmware": "01.05.10", "booter": ")") + c.booter + "\"")), c.advanced);
        Refresh();
        ASSERT_EQ(State().rows.size(), 1u);
        EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will not be modified");
        EXPECT_EQ(Proc().UpdatePending(), c.due);
        ExpectStatus(c.due ? kClick : kUpToDate, StatusColour::Normal, c.due, false);
        EXPECT_EQ(Proc().QualcosaVaAggiornato(), c.due) << "the advanced-mode toggle's rule";
        const auto& writes = State().rows[0].writes;
        ASSERT_EQ(writes.size(), c.due ? 1u : 0u);
        if (c.due) {
            EXPECT_EQ(writes[0].image, L"booter");
        }
    }
}

TEST_F(PlanScenario, AdvancedModeNothingDueWithoutAPick) {
    File("Quarv3_010400_fw.mhx", 0xFE0000, "01.04.00");
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    Start(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.06.00"}]})", true);
    Refresh();
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will not be modified");
    ExpectStatus(kUpToDate, StatusColour::Normal, false, true);
    // An older version picked: advanced mode writes it.
    Proc().OnDeviceRowSelected(0);
    Proc().OnVersionClicked(1);
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    // Back to the newest: nothing to do.
    Proc().OnVersionClicked(0);
    ExpectStatus(kUpToDate, StatusColour::Normal, false, true);
}

TEST_F(PlanScenario, DataKeyShowsTheOtherGaugesItCarries) {
    for (const char* n : {"DataKEY_010100_fw.mot", "Dovo4_020000_fw.mot", "Dovo4_020000_lng.mot",
                          "Dovo4_020100_fw.mot", "Dovo4_020100_lng.mot", "Slv_Lambda_010203_fw.mhx"})
        File(n, 0xE0000, "01.00.00");
    // The key runs a newer firmware of its own than any file.
    Start(R"({"instruments": [{"code": 111, "serial": 20, "firmware": "03.00.00"}]})");
    Refresh();
    EXPECT_EQ(Column(kColumnRow), (std::vector<std::wstring>{L"M", L"1", L"4"}));
    EXPECT_EQ(Column(kColumnDevice), (std::vector<std::wstring>{L"Data Key", L"    Dovo 4", L"    Tessan"}));
    EXPECT_EQ(Column(kColumnId), (std::vector<std::wstring>{L"20", L"", L""}));
    EXPECT_EQ(Column(kColumnFirmware), (std::vector<std::wstring>{L" 3.00.00", L"", L""}));
    EXPECT_EQ(Column(kColumnAvailable), (std::vector<std::wstring>{L"01.01.00", L"02.01.00", L"01.02.03"}));
    EXPECT_EQ(Column(kColumnAction),
              (std::vector<std::wstring>{L"will not be modified", L"will get 02.01.00", L"will get 01.02.03"}));
    EXPECT_EQ(State().rows[1].kind, kRowOtherGauge);
    EXPECT_EQ(State().rows[1].serial, 20u);
    EXPECT_EQ(State().rows[1].versions, (std::vector<std::wstring>{L"02.00.00", L"02.01.00"}));
    // Every carried file is loaded by a run.
    EXPECT_TRUE(Proc().UpdatePending());
    EXPECT_TRUE(Proc().QualcosaVaAggiornato());
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    for (const char* name : {"Dovo 4", "Karvo", "GPS Module", "Tessan", "Channel Expansion"})
        EXPECT_TRUE(log_.contains(std::string("INFO = Caricabile:     ") + name)) << name;
}

TEST_F(PlanScenario, DataKeyInAdvancedModeKeepsOtherGaugePicksApart) {
    for (const char* n : {"DataKEY_010100_fw.mot", "DataKEY_020000_fw.mot", "Dovo4_020000_fw.mot",
                          "Dovo4_020000_lng.mot", "Dovo4_020100_fw.mot", "Dovo4_020100_lng.mot"})
        File(n, 0xE0000, "01.00.00");
    Start(R"({"instruments": [{"code": 111, "serial": 20, "firmware": "02.00.00"}]})", true);
    Refresh();
    // Nothing due: the key is on its newest file and no other version was picked.
    EXPECT_FALSE(Proc().UpdatePending());
    ExpectStatus(kUpToDate, StatusColour::Normal, false, true);

    Proc().OnDeviceRowSelected(1);  // Dovo 4
    EXPECT_EQ(State().versions, (std::vector<std::wstring>{L"02.01.00", L"02.00.00"}));
    Proc().OnVersionClicked(1);
    EXPECT_TRUE(Proc().Scelte().Contains(20, 0));
    EXPECT_FALSE(Proc().Scelte().Contains(20)) << "the key's own choice is untouched";

    Refresh();
    EXPECT_EQ(Column(kColumnAction),
              (std::vector<std::wstring>{L"will not be modified", L"will get 02.00.00"}));
    EXPECT_TRUE(Proc().UpdatePending()) << "another version than the newest was picked";
    ExpectStatus(kClick, StatusColour::Normal, true, true);
    EXPECT_EQ(Proc().SelectedRow(), 1);
    EXPECT_EQ(State().selected_version, 1);
}

TEST_F(PlanScenario, RequestedChoicesGoIntoTheChoiceTable) {
    File("Quarv3_010400_fw.mhx", 0xFE0000, "01.04.00");
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    Start(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.05.00"}]})", true);
    Proc().RequestChoices({{7, L"01.04.00"}, {7, L"01.05.00"}, {8, L"01.04.00"}});
    Refresh();
    EXPECT_EQ(State().rows[0].columns[kColumnAction], L"will get 01.04.00");
    const auto& unmatched = Proc().UnmatchedChoices();
    ASSERT_EQ(unmatched.size(), 2u);
    EXPECT_EQ(unmatched[0].choice.version, L"01.05.00");
    EXPECT_TRUE(unmatched[0].serial_known);
    EXPECT_EQ(unmatched[1].choice.serial, 8u);
    EXPECT_FALSE(unmatched[1].serial_known);
    // Applied once.
    Refresh();
    EXPECT_TRUE(Proc().UnmatchedChoices().empty());
}

TEST_F(PlanScenario, InstrumentThatStopsAnsweringDuringTheRefresh) {
    File("Quarv3_010600_fw.mhx", 0xFE0000, "01.06.00");
    // Gone once the listing has read its identity.
    Start(R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.05.00",
              "faults": [{"kind": "unplug_after", "requests": 6}]}]})");
    Refresh();
    EXPECT_EQ(Proc().LastRefresh(), Outcome::NotIdentified);
    EXPECT_TRUE(State().rows.empty());
    ExpectStatus(kUpToDate, StatusColour::Normal, false, false);
    EXPECT_TRUE(log_.contains("IConnectionStrumento::GetInfoFirmup")) << "its log line";
    EXPECT_LT(clock_.elapsed_ms(), 30000u);
    // The unplug came while detection was off: it does not start another refresh.
    ASSERT_FALSE(pushes_.empty());
    for (const bool accepted : pushes_) EXPECT_FALSE(accepted);
}

}  // namespace
