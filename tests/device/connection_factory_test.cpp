// The connection factory: the type code table, deletion, the listing of the
// masters on USB and the catalogue filled for a master, its slaves and the
// data key's other gauges.
#include <gtest/gtest.h>

#include <memory>
#include <typeindex>
#include <typeinfo>

#include "../support/firmware_files.h"
#include "../support/sim_fixture.h"
#include "device/connection_data_key.h"
#include "device/connection_memory_key.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_dovo.h"
#include "device/connection_strumento_tipo_pell.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "firmware_files/firmup_files_info.h"

namespace {

using vesk::test::MakeFirmwareFile;
using vesk::test::TempDir;

// Deletes through the factory at the end of a scope.
struct Conn {
    IConnectionStrumento* p = nullptr;
    ~Conn() {
        if (p) IConnectionStrumento::DeleteConnectionToStrumento(p);
    }
};

CDeviceInfo Master(uint32_t code, uint8_t major = 0x10, uint8_t minor = 0, uint8_t build = 0) {
    CDeviceInfo info;
    info.Ident().set_loggerCode(code);
    info.Ident().SetFirmwareVersion(major, minor, build);
    return info;
}

TEST(ConnectionFactory, TypeCodesChooseTheirClassAndFamily) {
    struct Case {
        uint32_t code;
        uint8_t major, minor, build;
        std::type_index cls;
        const wchar_t* fw_pattern;  // null: not checked
        bool updates;               // GetIAggiornaFW gives an interface
    };
    using NoCan = CConnectionStrumentoQuarvNoCAN;
    using Dovo = CConnectionStrumentoTipoDovo;
    const Case cases[] = {
        {1, 0x10, 0, 0, typeid(NoCan), L"", false},
        {52, 0x10, 0, 0, typeid(NoCan), L"", false},
        {10301, 0x10, 0, 0, typeid(NoCan), L"", false},
        {19, 0x10, 0, 0, typeid(CConnectionStrumentoTipoQuarv3), L"Quarv3_*_fw.mhx", true},
        {21, 0x10, 0, 0, typeid(Dovo), L"", false},
        {20001, 0x10, 0, 0, typeid(Dovo), L"", false},
        {61, 0x43, 0x02, 0x10, typeid(CConnectionStrumentoTipoQuarv4vecchio), L"Quarv4_*_fw.mhx", true},
        {61, 0x43, 0x02, 0x25, typeid(CConnectionStrumentoTipoQuarv4), nullptr, true},
        {61, 0x43, 0x03, 0x00, typeid(CConnectionStrumentoTipoQuarv4), L"Quarv4_*_fw.mhx", true},
        {61, 0x43, 0x04, 0x00, typeid(CConnectionStrumentoTipoQuarv4), nullptr, true},
        {61, 0x43, 0x04, 0x01, typeid(CConnectionQuarv4ComePell), L"Quarv4_*_fw.mhx", true},
        {61, 0x50, 0x00, 0x00, typeid(CConnectionQuarv4ComePell), nullptr, true},
        {62, 0x45, 0x01, 0x06, typeid(CConnectionStrumentoTipoQuarv4vecchio), L"Brevik_*_fw.mhx", true},
        {62, 0x45, 0x01, 0x07, typeid(CConnectionStrumentoTipoQuarv4), L"Brevik_*_fw.mhx", true},
        {63, 0x10, 0, 0, typeid(CConnectionStrumentoTipoQuarv4), L"Tolmar_*_fw.mhx", true},
        {71, 0x10, 0, 0, typeid(CConnectionStrumentoTipoQuarv4), L"Ostra_*_fw.mhx", true},
        {64, 0x46, 0x02, 0x99, typeid(CConnectionStrumentoTipoPell), nullptr, true},
        {64, 0x46, 0x03, 0x00, typeid(CConnectionPell460300), nullptr, true},
        {65, 0x46, 0x02, 0x00, typeid(CConnectionStrumentoTipoPellDL), nullptr, true},
        {65, 0x46, 0x03, 0x00, typeid(CConnectionPellDL460300), nullptr, true},
        {111, 0x10, 0, 0, typeid(CConnectionDataKey), L"DataKEY_*_fw.mot", true},
        {112, 0x10, 0, 0, typeid(CConnectionMemoryKey), L"MemoryKey_*_fw.mot", true},
        {311, 0x14, 0x86, 0x81, typeid(CConnectionStrumentoTipoQuarv3vecchio), L"Trivo_*_fw.mhx", true},
        {10235, 0x14, 0x86, 0x82, typeid(CConnectionStrumentoTipoQuarv3), L"Trivo_*_fw.mhx", true},
        {317, 0x29, 0x05, 0x01, typeid(CConnectionStrumentoTipoQuarv3vecchio), L"TrivoQM_*_fw.mhx", true},
        {318, 0x29, 0x05, 0x02, typeid(CConnectionStrumentoTipoQuarv3), L"TrivoQM_*_fw.mhx", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " fw " + std::to_string(c.major) + "." +
                     std::to_string(c.minor) + " b" + std::to_string(c.build));
        vesk::LogCapture log;
        CDeviceInfo info = Master(c.code, c.major, c.minor, c.build);
        Conn conn{IConnectionStrumento::CreateConnectionToStrumento(&info, L"")};
        ASSERT_TRUE(conn.p);
        EXPECT_EQ(std::type_index(typeid(*conn.p)), c.cls);
        EXPECT_FALSE(conn.p->IsOpen());
        EXPECT_EQ(conn.p->GetIAggiornaFW() != nullptr, c.updates);
        if (c.fw_pattern) {
            EXPECT_EQ(dynamic_cast<CConnectionStrumentoBase&>(*conn.p).FirmwareFile().pattern,
                      c.fw_pattern);
        }
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST(ConnectionFactory, SilentAndUnmanagedCodesGiveNoConnection) {
    const uint32_t silent[] = {18, 58, 59, 60, 70, 101, 105, 108, 321, 398, 399, 2002, 2003,
                               2006, 2008, 2010, 2016, 2019, 2021, 2025, 20018, 20020};
    for (uint32_t code : silent) {
        SCOPED_TRACE(code);
        vesk::LogCapture log;
        CDeviceInfo info = Master(code);
        EXPECT_EQ(IConnectionStrumento::CreateConnectionToStrumento(&info, L""), nullptr);
        EXPECT_TRUE(log.lines().empty());
    }
    for (uint32_t code : {0u, 8u, 300u, 2004u, 2005u, 2007u, 2009u, 2020u, 10234u, 99999u}) {
        SCOPED_TRACE(code);
        vesk::LogCapture log;
        CDeviceInfo info = Master(code);
        EXPECT_EQ(IConnectionStrumento::CreateConnectionToStrumento(&info, L""), nullptr);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.contains("IConnectionStrumento::CreateConnectionToStrumento"));
        EXPECT_TRUE(log.contains("Unmanaged device code (" + std::to_string(code) + ") passed here!"));
    }
}

TEST(ConnectionFactory, NullInfoAndDoubleDeleteAreRefusedWithTheirLines) {
    vesk::LogCapture log;
    EXPECT_EQ(IConnectionStrumento::CreateConnectionToStrumento(nullptr, L"x"), nullptr);
    EXPECT_TRUE(log.contains("No device info passed here!"));
    log.clear();
    IConnectionStrumento* none = nullptr;
    IConnectionStrumento::DeleteConnectionToStrumento(none);
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("IConnectionStrumento::DeleteConnectionToStrumento"));
    EXPECT_TRUE(log.contains("Asked to delete a connection already deleted elsewhere !"));
    EXPECT_EQ(IConnectionStrumento::GetNomeStrumento(111), GetNomeStrumento(111));
}

class FactoryOnBus : public vesk::test::SimFixture {
protected:
    TempDir dir_;
};

TEST_F(FactoryOnBus, DeletingAnOpenConnectionClosesItFirst) {
    LoadOne(R"("code": 61)");
    CDeviceInfo info = Info();
    info.Ident().set_loggerCode(61);
    IConnectionStrumento* conn = IConnectionStrumento::CreateConnectionToStrumento(&info, L"");
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->Connetti(&info));
    IConnectionStrumento::DeleteConnectionToStrumento(conn);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(log_.contains("Asked to delete a connection potentially communicating with a device !"));
    // Closed: the instrument opens again.
    CUSBConnection again;
    EXPECT_GT(again.Apri(info), 0);
}

TEST_F(FactoryOnBus, ListingReadsEachMastersNetAndSkipsTheOnesItCannotServe) {
    Load(vesk::test::SimScenarioJson(
        {R"({"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
             "slaves": [{"number": 2, "code": 2017, "serial": 77, "firmware": "11.00.00"}]})",
         R"({"code": 2009, "serial": 11, "firmware": "01.00.00"})",
         R"({"code": 2016, "serial": 12, "firmware": "01.00.00"})"}));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].NetTable().SlaveCode(1), 2017u);
    EXPECT_EQ(list[0].SlaveIdent(1).ID_logger(), 77u);
    EXPECT_FALSE(list[0].GetDisplayName().empty());
    EXPECT_TRUE(list[1].GetDisplayName().empty());
    EXPECT_TRUE(log_.contains("Unable to create a connection object"));
    EXPECT_TRUE(log_.contains("Unmanaged device code (2009) passed here!"));
    // Every connection was closed again.
    for (const auto& info : list) {
        CUSBConnection c;
        EXPECT_GT(c.Apri(info), 0);
    }
    bus_->set_listing_fails(true);
    log_.clear();
    EXPECT_FALSE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    EXPECT_TRUE(log_.contains("Bad answer from IUSBConnection"));
}

TEST_F(FactoryOnBus, ListingReportsAMasterWhoseNetCannotBeRead) {
    Load(vesk::test::SimScenarioJson({R"({"code": 65, "serial": 10, "firmware": "46.03.00",
        "faults": [{"kind": "stall", "request": "quarv3", "command": 27}]})"}));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(log_.contains("Unable to get net table from device"));
    CUSBConnection c;
    EXPECT_GT(c.Apri(list[0]), 0);
}

TEST_F(FactoryOnBus, InfoFirmupFillsTheCatalogueForMasterAndSlaves) {
    Load(vesk::test::SimScenarioJson(
        {R"({"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
             "slaves": [{"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00"},
                        {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00"},
                        {"number": 3, "code": 2016, "serial": 73, "firmware": "72.00.00"},
                        {"number": 5, "code": 2009, "serial": 75, "firmware": "01.00.00"}]})"}));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    MakeFirmwareFile(dir_, "Pell_460400_fw.mhx", 0xFC0000, 0x100, "46.04.00");
    MakeFirmwareFile(dir_, "Pell_460400_lng.mhx", 0xFC0000, 0x100, "46.04.00");
    MakeFirmwareFile(dir_, "Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x100, "01.05.10");
    MakeFirmwareFile(dir_, "Slv_GPS_020000_fw.mot", 0xE0000, 0x100, "02.00.00");
    dir_.mkdir("_BOOTER");
    dir_.mkdir("_ACCESSORI");
    MakeFirmwareFile(dir_, "_BOOTER/Booter_Slv_Lambda_0105.mhx", 0xFFC000, 0x100, "01.05");
    CDeviceInfo& info = list[0];
    CFirmupFilesInfo cat;
    bus_->trace().Clear();
    ASSERT_TRUE(IConnectionStrumento::GetInfoFirmup(dir_.wpath() + L"/_ACCESSORI",
                                                    dir_.wpath() + L"/_BOOTER", info, cat,
                                                    dir_.wpath()));
    EXPECT_EQ(cat.GetFw(10)->fileName, L"Pell_460400_fw.mhx");
    EXPECT_EQ(cat.GetFw(10)->secondFileName, L"Pell_460400_lng.mhx");
    EXPECT_EQ(cat.GetFwSlave(0, 71)->versionText, L"01.05.10");
    EXPECT_EQ(cat.GetBooterSlave(0, 71)->versionText, L"01.05");
    EXPECT_EQ(cat.GetFwSlave(1, 72)->versionText, L"02.00.00");
    EXPECT_EQ(cat.GetFwSlave(2, 73)->fileName, L"");
    std::vector<uint8_t> not_updated;
    EXPECT_TRUE(info.GetNonUpdatableSlaves(not_updated));
    EXPECT_EQ(not_updated, std::vector<uint8_t>{2});
    EXPECT_EQ(info.GetSlaveUpdate(), 5);
    EXPECT_FALSE(info.GetOtherGaugeStorage());
    EXPECT_TRUE(log_.contains("Unmanaged slave code 2009"));
    // A second search lists the camera once.
    ASSERT_TRUE(IConnectionStrumento::GetInfoFirmup(L"", L"", info, cat, dir_.wpath()));
    EXPECT_TRUE(info.GetNonUpdatableSlaves(not_updated));
    EXPECT_EQ(not_updated.size(), 1u);
}

TEST_F(FactoryOnBus, InfoFirmupLeavesSlavesAloneWhenTheMasterCannotUpdateThem) {
    Load(vesk::test::SimScenarioJson(
        {R"({"code": 64, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
             "slaves": [{"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00"},
                        {"number": 2, "code": 2016, "serial": 72, "firmware": "72.00.00"}]})"}));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    MakeFirmwareFile(dir_, "Slv_Lambda_010510_fw.mhx", 0xFF0000, 0x100, "01.05.10");
    CFirmupFilesInfo cat;
    ASSERT_TRUE(IConnectionStrumento::GetInfoFirmup(L"", L"", list[0], cat, dir_.wpath()));
    EXPECT_EQ(list[0].GetSlaveUpdate(), 0);
    EXPECT_EQ(cat.GetFwSlave(0, 71)->fileName, L"");
    std::vector<uint8_t> not_updated;
    EXPECT_FALSE(list[0].GetNonUpdatableSlaves(not_updated));
}

TEST_F(FactoryOnBus, InfoFirmupOfADataKeySearchesEveryOtherGauge) {
    Load(vesk::test::SimScenarioJson({R"({"code": 111, "serial": 20, "firmware": "01.00.00"})"}));
    for (const char* n : {"DataKEY_010100_fw.mot", "Dovo4_020000_fw.mot", "Dovo4_020000_lng.mot",
                          "Slv_Lambda_010203_fw.mhx"})
        MakeFirmwareFile(dir_, n, 0xE0000, 0x100);
    MakeFirmwareFile(dir_, "_BOOTER/Booter_Keys_0201.mot", 0xFC000, 0x100, "02.01");
    CDeviceInfo info = Info();
    info.Ident().set_loggerCode(111);
    info.Ident().set_ID_logger(20);
    CFirmupFilesInfo cat;
    ASSERT_TRUE(IConnectionStrumento::GetInfoFirmup(L"", dir_.wpath() + L"/_BOOTER", info, cat,
                                                    dir_.wpath()));
    EXPECT_TRUE(info.GetOtherGaugeStorage());
    EXPECT_EQ(info.GetSlaveUpdate(), 0);
    EXPECT_EQ(cat.GetFw(20)->versionText, L"01.01.00");
    EXPECT_EQ(cat.GetBooter(20)->versionText, L"02.01");
    EXPECT_EQ(cat.GetOtherFw(0, 20)->secondFileName, L"Dovo4_020000_lng.mot");
    EXPECT_EQ(cat.GetOtherFw(3, 20)->versionText, L"01.02.03");
    EXPECT_EQ(cat.GetOtherFw(1, 20)->fileName, L"");
}

TEST_F(FactoryOnBus, DataLoggerMasterUpdatesItsSlavesThroughItsInterface) {
    Load(vesk::test::SimScenarioJson(
        {R"({"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
             "slaves": [{"number": 1, "code": 2017, "serial": 71, "firmware": "01.00.00", "in_booter": true},
                        {"number": 2, "code": 112, "serial": 72, "firmware": "01.00.00", "in_booter": true}]})"}));
    std::vector<CDeviceInfo> list;
    ASSERT_TRUE(IConnectionStrumento::GetListaDeviceCollegati(list, false));
    Conn conn{IConnectionStrumento::CreateConnectionToStrumento(&list[0], L"")};
    ASSERT_TRUE(conn.p && conn.p->Connetti(&list[0]));
    IAggiornaFW* fw = conn.p->GetIAggiornaFW();
    ASSERT_TRUE(fw);
    const auto gps = MakeFirmwareFile(dir_, "Slv_GPS_020000_fw.mot", 0xE0000, 0x200, "02.00.00");
    const auto key = MakeFirmwareFile(dir_, "MemoryKey_020000_fw.mot", 0xE0000, 0x200, "02.00.00");
    bus_->trace().Clear();
    EXPECT_FALSE(fw->AggiornaFwFileSlave(1, key));  // a memory key is not updated: nothing sent
    EXPECT_TRUE(Transfers().empty());
    EXPECT_FALSE(fw->AggiornaFwFileSlave(5, gps));  // empty net entry
    EXPECT_TRUE(Transfers().empty());
    ASSERT_TRUE(fw->AggiornaFwFileSlave(0, gps));
    ASSERT_FALSE(Memory().empty());
    EXPECT_EQ(Memory().front().command(), 53);
    EXPECT_EQ(Memory().front().address(), 0x70000u);
    EXPECT_FALSE(fw->AggiornaLngFileSlave(0, gps));  // a GPS receiver has no language
    ASSERT_TRUE(conn.p->GotoFirmwareSlave(1));
    ASSERT_TRUE(conn.p->LeggiIdentSlave(1, list[0]));
    EXPECT_EQ(list[0].SlaveIdent(0).FirmwareVersionText(), L" 2.00.00");
    std::wstring v;
    CFirmupFilesInfo cat;
    EXPECT_EQ(fw->CercaFileFirmwareSlave(v, 0, dir_.wpath(), L"", &cat), L"02.00.00");
    EXPECT_EQ(fw->CercaFileBooterSlave(v, 7, dir_.wpath(), &cat), L"");
    conn.p->Chiudi();
}

TEST_F(FactoryOnBus, InfoFirmupFailures) {
    struct Case {
        const char* name;
        uint32_t code;
        bool plugged;
        const char* log;
    };
    const Case cases[] = {
        {"no connection class", 2009, true, "Unable to create a connection object"},
        {"cannot connect", 65, false, "Unable to connect to device"},
        {"identify only", 21, true, "Unable get firmup interface for device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOne(R"("code": )" + std::to_string(c.code));
        if (!c.plugged) bus_->Unplug("usb:1-1");
        log_.clear();
        CDeviceInfo info = Info();
        info.Ident().set_loggerCode(c.code);
        info.Ident().set_ID_logger(1234);
        CFirmupFilesInfo cat;
        EXPECT_FALSE(IConnectionStrumento::GetInfoFirmup(L"", L"", info, cat, dir_.wpath()));
        EXPECT_TRUE(log_.contains(c.log)) << c.log;
        if (c.plugged) {
            CUSBConnection again;
            EXPECT_GT(again.Apri(info), 0);  // left closed
        }
    }
}

}  // namespace
