// The plan's rules that need no instrument: the Action text, the row texts,
// the choice tables, the slave admission texts and the update-needed checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/str_conv.h"
#include "records/device_info.h"
#include "update/device_row.h"
#include "update/downgrade_info.h"
#include "update/update_checks.h"
#include "update/update_procedure.h"

namespace {

FirmupFileEntry Entry(uint32_t serial, uint32_t version) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%02u.%02u.%02u", version / 10000, version % 10000 / 100, version % 100);
    return {serial, L"X_" + std::to_wstring(version) + L"_fw.mhx", L"", text, version};
}

// An identity of serial 7 running firmware major.minor.build (hex digits as
// printed), or its booter.
INFOIDENT Running(uint8_t major, uint8_t minor, uint8_t build, bool in_booter = false) {
    INFOIDENT id;
    id.set_loggerCode(19);
    id.set_ID_logger(7);
    id.SetFirmwareVersion(major, minor, build);
    id.set_firmInEsec(in_booter ? INFOIDENT::kBooterRunning : 1);
    return id;
}

TEST(ActionText, FromKindModeVersionsAndTheInstalledTable) {
    const INFOIDENT v10500 = Running(0x01, 0x05, 0x00);
    const INFOIDENT booter = Running(0x01, 0x05, 0x00, true);
    const INFOIDENT zero = Running(0x00, 0x00, 0x00);
    struct Case {
        const char* name;
        int kind;
        const INFOIDENT* ident;
        uint32_t chosen;
        bool advanced;
        bool installed;
        std::wstring action;
    } cases[] = {
        {"to be removed", kRowSlaveToRemove, &v10500, 10600, false, false, L"to be removed"},
        {"to be removed without files", kRowSlaveToRemove, &v10500, 0, true, true, L"to be removed"},
        {"nothing chosen", kRowMaster, &v10500, 0, false, false, L""},
        {"in booter", kRowMaster, &booter, 10500, false, false, L"in booter:will get 01.05.00"},
        {"firmware 0", kRowSlave, &zero, 10600, true, true, L"in booter:will get 01.06.00"},
        {"older", kRowMaster, &v10500, 10600, false, false, L"will get 01.06.00"},
        {"older, advanced", kRowMaster, &v10500, 10600, true, false, L"will get 01.06.00"},
        {"older, advanced, installed", kRowMaster, &v10500, 10600, true, true, L"installed  1.05.00"},
        {"older, normal, installed", kRowMaster, &v10500, 10600, false, true, L"will get 01.06.00"},
        {"same", kRowSlave, &v10500, 10500, false, false, L"will not be modified"},
        {"same, advanced", kRowSlave, &v10500, 10500, true, false, L"will not be modified"},
        {"same, advanced, installed", kRowSlave, &v10500, 10500, true, true, L"installed  1.05.00"},
        {"newer", kRowMaster, &v10500, 10400, false, false, L"will not be modified"},
        {"newer, advanced", kRowMaster, &v10500, 10400, true, false, L"will get 01.04.00"},
        {"newer, advanced, installed", kRowMaster, &v10500, 10400, true, true, L"installed  1.05.00"},
        // The key's own firmware says nothing about the gauges it carries files for.
        {"other gauge", kRowOtherGauge, &v10500, 10400, false, false, L"will get 01.04.00"},
        {"other gauge, advanced", kRowOtherGauge, &v10500, 20000, true, false, L"will get 02.00.00"},
        {"other gauge, nothing", kRowOtherGauge, &v10500, 0, false, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRowData row;
        row.kind = c.kind;
        row.identity = c.ident;
        if (c.chosen) row.chosen = Entry(7, c.chosen);
        row.other_kind = c.kind == kRowOtherGauge ? 0 : CDowngradeInfo::kOwnFirmware;
        CDowngradeInfo installed;
        if (c.installed) installed.Insert(Entry(7, 10400), row.other_kind);
        EXPECT_EQ(ActionText(row, c.advanced, installed), c.action);
    }
}

TEST(DeviceRow, ColumnTexts) {
    const INFOIDENT master = Running(0x01, 0x07, 0x09);
    INFOIDENT slave = Running(0x02, 0x00, 0x00, true);
    slave.set_loggerCode(2006);
    slave.set_ID_logger(71);
    slave.set_verBooter(0x05010000);
    FirmupFileEntry selected = Entry(7, 10709);
    const FirmupFileList list{Entry(7, 10600), Entry(7, 10709)};
    struct Case {
        const char* name;
        int kind;
        const INFOIDENT* ident;
        int row_index;
        int other_kind;
        DeviceRowTexts columns;
        uint32_t serial;
    } cases[] = {
        {"master", kRowMaster, &master, 0, -1,
         {L"M", L"Quarv3 Logger 19", L"7", L"00.00", L" 1.07.09", L"01.07.09", L"will not be modified"}, 7},
        {"slave in booter", kRowSlave, &slave, 3, -1,
         {L"3", L"Display Unit *BOOTER*", L"71", L"01.05", L" 2.00.00", L"01.07.09", L"in booter:will get 01.07.09"},
         71},
        {"other gauge", kRowOtherGauge, &master, 2, 1,
         {L"2", L"    Karvo", L"", L"", L"", L"01.07.09", L"will get 01.07.09"}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRowData row;
        row.kind = c.kind;
        row.identity = c.ident;
        row.entry = &selected;
        row.list = &list;
        row.chosen = selected;
        row.row_index = c.row_index;
        row.other_kind = c.other_kind;
        const DeviceRowView v = MakeRowView(row, false, CDowngradeInfo{});
        EXPECT_EQ(v.columns, c.columns);
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.serial, c.serial);
        EXPECT_EQ(v.versions, (std::vector<std::wstring>{L"01.06.00", L"01.07.09"}));
    }
}

TEST(DeviceRow, OtherGaugeNames) {
    const std::pair<int, std::wstring> cases[] = {
        {0, L"    Dovo 4"}, {1, L"    Karvo"}, {2, L"    GPS Module"}, {3, L"    Tessan"},
        {4, L"    Channel Expansion"}, {5, L""}, {-1, L""},
    };
    for (const auto& [kind, name] : cases) EXPECT_EQ(OtherGaugeName(kind), name) << kind;
}

TEST(CDowngradeInfo, ByUnitAndOtherGaugeKind) {
    CDowngradeInfo t;
    EXPECT_TRUE(t.Empty());
    t.Insert(Entry(7, 10400));
    t.Insert(Entry(7, 10300));  // replaces
    t.Insert(Entry(7, 20000), 0);
    t.Insert(Entry(8, 10500));
    EXPECT_EQ(t.Size(), 3u);
    FirmupFileEntry out = Entry(99, 99999);
    ASSERT_TRUE(t.Lookup(7, out));
    EXPECT_EQ(out.versionNumber, 10300u);
    ASSERT_TRUE(t.Lookup(7, out, 0));
    EXPECT_EQ(out.versionNumber, 20000u) << "the other gauge's pick is not the key's";
    EXPECT_FALSE(t.Lookup(7, out, 1));
    EXPECT_EQ(out.versionNumber, 20000u) << "untouched when absent";
    t.Erase(7);
    EXPECT_FALSE(t.Contains(7));
    EXPECT_TRUE(t.Contains(7, 0));
    EXPECT_TRUE(t.Contains(8));
}

TEST(UpdateChecks, CompareTheZeroPaddedFirmwareText) {
    struct Case {
        uint8_t major, minor, build;
        std::wstring text;
        bool due;
    } cases[] = {
        {0x01, 0x05, 0x07, L"01.05.07", false},
        {0x01, 0x05, 0x00, L"01.05.00", true},
        {0x43, 0x04, 0x01, L"43.04.01", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(vesk::to_utf8(c.text));
        const INFOIDENT id = Running(c.major, c.minor, c.build);
        EXPECT_EQ(vesk::update::CatalogueFirmwareText(id), c.text);
        CFirmupFilesInfo cat;
        *cat.GetFw(7) = Entry(7, 10507);
        cat.GetFwList(7)->push_back(Entry(7, 10507));
        *cat.GetFwSlave(3, 7) = Entry(7, 10507);
        cat.GetFwListSlave(3, 7)->push_back(Entry(7, 10507));
        EXPECT_EQ(vesk::update::FwDaAggiornare(cat, id), c.due);
        EXPECT_EQ(vesk::update::FwSlaveDaAggiornare(cat, id, 3), c.due);
        EXPECT_FALSE(vesk::update::FwSlaveDaAggiornare(cat, id, 4)) << "no file for that slot";
    }
    // The display text would make an up-to-date unit look due.
    CFirmupFilesInfo cat;
    *cat.GetFw(7) = Entry(7, 10507);
    cat.GetFwList(7)->push_back(Entry(7, 10507));
    EXPECT_TRUE(cat.FwDaAggiornare(Running(0x01, 0x05, 0x07).FirmwareVersionText()));
}

TEST(UpdateChecks, BooterTextIsAlreadyZeroPadded) {
    INFOIDENT id = Running(0x01, 0x00, 0x00);
    id.set_verBooter(0x10020000);  // "02.10"
    CFirmupFilesInfo cat;
    const FirmupFileEntry booter{7, L"Booter_Quarv3_0210.mhx", L"", L"02.10", 210};
    *cat.GetBooter(7) = booter;
    cat.GetBooterList(7)->push_back(booter);
    EXPECT_FALSE(vesk::update::BooterDaAggiornare(cat, id));
    id.set_verBooter(0x09020000);
    EXPECT_TRUE(vesk::update::BooterDaAggiornare(cat, id));
}

// A master with slaves in net slots 0, 1 and 3.
CDeviceInfo ThreeSlaves() {
    CDeviceInfo info;
    info.Ident().set_loggerCode(65);
    const uint32_t codes[] = {2006, 2017, 0, 2016};
    for (size_t slot = 0; slot < 4; ++slot) {
        if (!codes[slot]) continue;
        info.NetTable().SetEntry(slot, {uint16_t(codes[slot]), uint32_t(70 + slot), 0});
        info.SlaveIdent(slot).set_loggerCode(codes[slot]);
        info.SlaveIdent(slot).set_ID_logger(uint32_t(70 + slot));
    }
    return info;
}

TEST(PlanAdmission, TooManySlaves) {
    const std::wstring powercycle =
        L"\r\nthen powercycle the data system and again execute this Vesk firmup software.";
    struct Case {
        int max;
        bool refused;
        std::wstring text;
    } cases[] = {
        {1, true, L"To run the Vesk firmup you have to remove 2 slaves" + powercycle},
        {2, true, L"To run the Vesk firmup you have to remove 1 slave" + powercycle},
        {3, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.max);
        CDeviceInfo info = ThreeSlaves();
        info.SetMaxSlaves(c.max);
        std::wstring text;
        EXPECT_EQ(vesk::update::PlanAdmissionRefusal(info, text), c.refused);
        EXPECT_EQ(text, c.text);
    }
}

TEST(PlanAdmission, RulesInTheirOrder) {
    struct Case {
        const char* name;
        std::vector<uint8_t> non_updatable;
        bool conflict;
        int max;
        std::wstring text;
    } cases[] = {
        {"slaves to remove first", {0, 3}, true, 1,
         L"To run the Vesk firmup you have to remove your Display Unit, Camera Unit, "
         L"\r\nthen powercycle the data system and again execute this Vesk firmup software."
         L"\r\nRemoved units must be updated separately connecting them directly to your PC (USB)."},
        {"then conflicts", {}, true, 1,
         L"To run the Vesk firmup you have to SEPARATELY UPDATE your Display Unit, "
         L"\r\nso you need to execute this Vesk firmup software with each single device connected to the "
         L"Pell DL Logger."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDeviceInfo info = ThreeSlaves();
        for (const uint8_t slot : c.non_updatable) info.AddNonUpdatableSlave(slot);
        if (c.conflict) {
            // A 21.01 booter next to an 02.08 one: the first such slave is named, alone.
            info.SlaveIdent(0).set_verBooter(0x21010000);
            info.SlaveIdent(1).set_verBooter(0x08020000);
        }
        info.SetMaxSlaves(c.max);
        std::wstring text;
        EXPECT_TRUE(vesk::update::PlanAdmissionRefusal(info, text));
        EXPECT_EQ(text, c.text);
    }
}

}  // namespace
