// The master's update-file scans: which folder, pattern and catalogue slot
// each family uses, over files in a temporary folder.
#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "device/connection_pell460200.h"
#include "device/connection_strumento_tipo_quarv3.h"
#include "device/connection_strumento_tipo_quarv4.h"
#include "firmware_files/firmup_files_info.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

constexpr uint32_t kSerial = 4711;

class FileDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { info_.Ident().set_ID_logger(kSerial); }
    void Touch(const std::string& name) { dir_.write(name, "S9030000FC\n"); }
    std::wstring Firmware(CConnectionStrumentoBase& c) {
        c.SetDeviceInfo(&info_);
        std::wstring v = L"stale";
        c.CercaFileFirmware(v, dir_.wfolder(), dir_.wfolder() + L"_ACCESSORI/", &catalogue_);
        return v;
    }
    std::wstring Booter(CConnectionStrumentoBase& c) {
        c.SetDeviceInfo(&info_);
        std::wstring v = L"stale";
        c.CercaFileBooter(v, dir_.wfolder() + L"_BOOTER/", &catalogue_);
        return v;
    }
    std::vector<std::wstring> Names(const FirmupFileList* list) {
        std::vector<std::wstring> out;
        if (list)
            for (const auto& e : *list) out.push_back(e.fileName);
        return out;
    }

    TempDir dir_;
    CDeviceInfo info_;
    CFirmupFilesInfo catalogue_;
    vesk::LogCapture log_;
};

TEST_F(FileDiscoveryTest, LastFileIsChosenAndShownWithItsVersion) {
    Touch("Quarv3_010203_fw.mhx");
    Touch("Quarv3_010510_fw.mhx");
    Touch("Quarv4_010600_fw.mhx");
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    EXPECT_EQ(Firmware(c), L"01.05.10");
    ASSERT_NE(catalogue_.GetFw(kSerial), nullptr);
    EXPECT_EQ(catalogue_.GetFw(kSerial)->fileName, L"Quarv3_010510_fw.mhx");
    EXPECT_EQ(catalogue_.GetFw(kSerial)->versionNumber, 10510u);
    EXPECT_EQ(Names(catalogue_.GetFwList(kSerial)),
              (std::vector<std::wstring>{L"Quarv3_010203_fw.mhx", L"Quarv3_010510_fw.mhx"}));
}

TEST_F(FileDiscoveryTest, FirmwareOf9999OrLessIsIgnoredButABooterIsNot) {
    Touch("Quarv3_9999_fw.mhx");
    Touch("_BOOTER/Booter_Quarv3_0211.mhx");
    Touch("_BOOTER/Booter_Quarv3_9999.mhx");
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    EXPECT_EQ(Firmware(c), L"");
    EXPECT_TRUE(Names(catalogue_.GetFwList(kSerial)).empty());
    EXPECT_EQ(Booter(c), L"99.99");
    EXPECT_EQ(Names(catalogue_.GetBooterList(kSerial)),
              (std::vector<std::wstring>{L"Booter_Quarv3_0211.mhx", L"Booter_Quarv3_9999.mhx"}));
    EXPECT_EQ(catalogue_.GetBooter(kSerial)->fileName, L"Booter_Quarv3_9999.mhx");
}

TEST_F(FileDiscoveryTest, PellFirmwareNeedsItsLanguageFile) {
    Touch("Pell_010203_fw.mhx");
    Touch("Pell_010300_fw.mhx");
    Touch("Pell_010300_lng.mhx");
    CConnectionPell460300 c;
    EXPECT_EQ(Firmware(c), L"01.03.00");
    const FirmupFileList* list = catalogue_.GetFwList(kSerial);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(list->front().fileName, L"Pell_010300_fw.mhx");
    EXPECT_EQ(list->front().secondFileName, L"Pell_010300_lng.mhx");
}

TEST_F(FileDiscoveryTest, NonNumericVersionIsLoggedAndIgnored) {
    Touch("Quarv3_abcdef_fw.mhx");
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    EXPECT_EQ(Firmware(c), L"");
    EXPECT_TRUE(log_.contains("Can't read version number from file Quarv3_abcdef_fw.mhx"));
}

TEST_F(FileDiscoveryTest, AccessoryFilesAreScannedPerIndex) {
    Touch("_ACCESSORI/Pell_Config_010000.bin");
    Touch("_ACCESSORI/Pell_Config_020000.bin");
    Touch("_ACCESSORI/Pell_Config_0100.bin");  // 9999 or less
    Touch("_ACCESSORI/Pell_Sensors_030000.bin");
    CConnectionPell460300 c;
    EXPECT_EQ(Firmware(c), L"");  // no firmware in the folder
    EXPECT_EQ(catalogue_.GetAccessorio(0, kSerial)->fileName, L"Pell_Config_020000.bin");
    EXPECT_EQ(Names(catalogue_.GetAccessorioList(0, kSerial)).size(), 2u);
    EXPECT_TRUE(Names(catalogue_.GetAccessorioList(1, kSerial)).empty());
    EXPECT_EQ(catalogue_.GetAccessorio(2, kSerial)->fileName, L"Pell_Sensors_030000.bin");

    // A family without accessory patterns offers none.
    CFirmupFilesInfo other;
    CConnectionPellDL460300 dl;
    dl.SetDeviceInfo(&info_);
    std::wstring v;
    dl.CercaFileFirmware(v, dir_.wfolder(), dir_.wfolder() + L"_ACCESSORI/", &other);
    EXPECT_TRUE(other.GetAccessorio(0, kSerial)->fileName.empty());
    EXPECT_TRUE(Names(other.GetAccessorioList(0, kSerial)).empty());
}

TEST_F(FileDiscoveryTest, FamiliesWithoutAFileKindOfferNothing) {
    Touch("Quarv4_010600_fw.mhx");
    Touch("_BOOTER/Booter_Quarv4_0300.mhx");
    CConnectionQuarv4ComePell like_pell;
    EXPECT_EQ(Firmware(like_pell), L"01.06.00");
    EXPECT_EQ(Booter(like_pell), L"");
    // Every Quarv4 variant takes the one Quarv4 booter file.
    CFirmupFilesInfo fresh;
    CConnectionStrumentoTipoQuarv4 q4(L"Quarv4x");
    q4.SetDeviceInfo(&info_);
    std::wstring v;
    q4.CercaFileBooter(v, dir_.wfolder() + L"_BOOTER/", &fresh);
    EXPECT_EQ(v, L"03.00");
}

TEST_F(FileDiscoveryTest, MissingFolderGivesAnEmptyListAndNoLog) {
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    c.SetDeviceInfo(&info_);
    std::wstring v = L"x";
    c.CercaFileFirmware(v, dir_.wfolder() + L"nowhere/", dir_.wfolder() + L"nowhere/", &catalogue_);
    EXPECT_EQ(v, L"");
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(FileDiscoveryTest, WithoutAUnitNothingIsBound) {
    Touch("Quarv3_010510_fw.mhx");
    Touch("_BOOTER/Booter_Quarv3_0211.mhx");
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    std::wstring v = L"x";
    EXPECT_EQ(c.CercaFileFirmware(v, dir_.wfolder(), dir_.wfolder(), &catalogue_), L"");
    EXPECT_EQ(v, L"");
    EXPECT_EQ(c.CercaFileBooter(v, dir_.wfolder() + L"_BOOTER/", &catalogue_), L"");
    // The slots stay free for the unit that comes.
    EXPECT_TRUE(Names(catalogue_.GetFwList(kSerial)).empty());
    EXPECT_EQ(Firmware(c), L"01.05.10");
}

TEST_F(FileDiscoveryTest, AnotherUnitsCatalogueSlotIsLeftAlone) {
    Touch("Quarv3_010510_fw.mhx");
    CConnectionStrumentoTipoQuarv3 c(L"Quarv3");
    EXPECT_EQ(Firmware(c), L"01.05.10");
    CDeviceInfo other;
    other.Ident().set_ID_logger(kSerial + 1);
    c.SetDeviceInfo(&other);
    std::wstring v;
    c.CercaFileFirmware(v, dir_.wfolder(), dir_.wfolder(), &catalogue_);
    EXPECT_EQ(v, L"");
    EXPECT_EQ(catalogue_.GetFw(kSerial)->fileName, L"Quarv3_010510_fw.mhx");
}

}  // namespace
