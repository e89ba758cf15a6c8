#include "firmware_files/firmup_files_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "log/evt_log.h"

namespace {

using Info = CFirmupFilesInfo;

// The three folder scans, over files of the given names (each an empty S-record file).
enum Scan { Single, FwLingua, Booter };
FirmupFileList Scanned(const std::vector<const char*>& files, Scan scan, const wchar_t* pattern,
                       const wchar_t* lng_pattern = L"") {
    vesk::test::TempDir dir;
    for (const char* f : files) dir.write(f, "S9030000FC\n");
    FirmupFileList list;
    switch (scan) {
    case Single: Info::ScanSingolo(dir.wpath(), pattern, list, 9); break;
    case FwLingua: Info::ScanFwLingua(dir.wpath(), pattern, lng_pattern, list, 9); break;
    case Booter: Info::ScanBooter(dir.wpath(), pattern, list, 9); break;
    }
    return list;
}

std::vector<std::wstring> Names(const FirmupFileList& list, bool second = false) {
    std::vector<std::wstring> out;
    for (const auto& e : list) out.push_back(second ? e.secondFileName : e.fileName);
    return out;
}

class FirmupFilesInfoTest : public ::testing::Test {
protected:
    void Touch(std::initializer_list<const char*> names) {
        for (const char* n : names) dir_.write(n, "S9030000FC\n");
    }
    vesk::test::TempDir dir_;
    vesk::LogCapture log_;
};

TEST_F(FirmupFilesInfoTest, GetNumVersioneDaFileReadsWhereTheStarIs) {
    struct Case {
        const wchar_t* name;
        const wchar_t* pattern;
        uint32_t version;
    } cases[] = {
        {L"Pell_010507_fw.mhx", L"Pell_*_fw.mhx", 10507},
        {L"Booter_X_0210.mhx", L"Booter_X_*.mhx", 210},
        {L"pell_010507_fw.mhx", L"Pell_*_fw.mhx", 0},  // literal part differs in case
        {L"Pell_abc_fw.mhx", L"Pell_*_fw.mhx", 0},
        // The "*" is the digits and nothing else: text after them is no version.
        {L"Pell_010507_xx.mhx", L"Pell_*_fw.mhx", 0},
        {L"Pell_470000 _fw.mhx", L"Pell_*_fw.mhx", 0},
        {L"Pell_470000_fw.mhx.bak", L"Pell_*_fw.mhx", 0},
        {L"Pell_470000_fw.mh", L"Pell_*_fw.mhx", 0},
        {L"A%n_12_b", L"A%n_*_b", 12},                     // '%' is a literal, never a conversion
        {L"Pell_010507_fw.mhx", L"Pell_fw.mhx", 0},
        // A blank or a sign where the version stands is no version.
        {L"Pell_ 010507_fw.mhx", L"Pell_*_fw.mhx", 0},
        {L"Pell_+010507_fw.mhx", L"Pell_*_fw.mhx", 0},
        {L"Pell_-1_fw.mhx", L"Pell_*_fw.mhx", 0},
        {L"Pell_4294967296_fw.mhx", L"Pell_*_fw.mhx", 0},  // beyond 32 bits
        {L"Pell_4294967295_fw.mhx", L"Pell_*_fw.mhx", 4294967295u},
    };
    for (const auto& c : cases) {
        log_.clear();
        EXPECT_EQ(Info::GetNumVersioneDaFile(c.name, c.pattern), c.version) << c.name;
        EXPECT_EQ(log_.contains("Can't read version number from file "), c.version == 0) << c.name;
    }
    Info::GetNumVersioneDaFile(L"Pell_abc_fw.mhx", L"Pell_*_fw.mhx");
    EXPECT_TRUE(log_.contains("Can't read version number from file Pell_abc_fw.mhx (fmt Pell_%u_fw.mhx)"));
}

TEST_F(FirmupFilesInfoTest, SingleScanListsAndTheLastIsChosen) {
    Touch({"X_010507_fw.mhx", "X_010500_fw.mhx", "X_9999_fw.mhx", "X_abc_fw.mhx", "Y_020000_fw.mhx"});
    dir_.mkdir("X_010600_fw.mhx");  // a folder is never a file
    FirmupFileList list{{7, L"stale", L"", L"", 1}};
    Info::ScanSingolo(dir_.wpath(), L"X_*_fw.mhx", list, 42);
    ASSERT_EQ(Names(list), (std::vector<std::wstring>{L"X_010500_fw.mhx", L"X_010507_fw.mhx"}));
    EXPECT_EQ(list[0].versionText, L"01.05.00");
    EXPECT_EQ(list[1].versionText, L"01.05.07");
    EXPECT_EQ(list[1].versionNumber, 10507u);
    EXPECT_EQ(list[1].serial, 42u);
    FirmupFileEntry selected;
    EXPECT_EQ(Info::ScegliUltimo(list, selected), L"01.05.07");
    EXPECT_EQ(selected.fileName, L"X_010507_fw.mhx");
    FirmupFileList empty;
    EXPECT_EQ(Info::ScegliUltimo(empty, selected), L"");
}

TEST_F(FirmupFilesInfoTest, NameDifferingInCaseIsFoundButGivesVersionZero) {
    Touch({"x_010507_FW.mhx"});
    EXPECT_EQ(Info::ListaFile(dir_.wpath(), L"X_*_fw.mhx"), (std::vector<std::wstring>{L"x_010507_FW.mhx"}));
    FirmupFileList list;
    Info::ScanSingolo(dir_.wpath(), L"X_*_fw.mhx", list, 1);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(log_.contains("Can't read version number from file x_010507_FW.mhx"));
    // Nor is a booter file without a version offered.
    Info::ScanBooter(dir_.wpath(), L"X_*_fw.mhx", list, 1);
    EXPECT_TRUE(list.empty());
}

TEST_F(FirmupFilesInfoTest, ListingIsInCodePointOrder) {
    Touch({"b.mhx", "B.mhx", "a.mhx", "_.mhx", "Z.mhx"});
    EXPECT_EQ(Info::ListaFile(dir_.wpath(), L"*.MHX"),
              (std::vector<std::wstring>{L"B.mhx", L"Z.mhx", L"_.mhx", L"a.mhx", L"b.mhx"}));
    EXPECT_TRUE(Info::ListaFile(dir_.wfolder() + L"missing", L"*.mhx").empty());
}

TEST_F(FirmupFilesInfoTest, FirmwareIsListedOnlyWithItsLanguageFile) {
    Touch({"X_010300_fw.mhx", "X_010507_fw.mhx", "X_010507_lng.mhx", "X_010600_fw.mhx",
           "X_10600_lng.mhx", "X_9999_fw.mhx", "X_009999_lng.mhx"});
    FirmupFileList list;
    Info::ScanFwLingua(dir_.wpath(), L"X_*_fw.mhx", L"X_*_lng.mhx", list, 5);
    ASSERT_EQ(Names(list), (std::vector<std::wstring>{L"X_010507_fw.mhx"}));
    EXPECT_EQ(list[0].secondFileName, L"X_010507_lng.mhx");
    EXPECT_EQ(list[0].versionText, L"01.05.07");
    EXPECT_EQ(list[0].serial, 5u);
}

TEST_F(FirmupFilesInfoTest, BooterScanKeepsEveryVersionAndPassesOverNamesWithoutOne) {
    Touch({"Booter_X_0210.mhx", "Booter_X_0009.mhx", "Booter_X_new.mhx"});
    FirmupFileList list;
    Info::ScanBooter(dir_.wpath(), L"Booter_X_*.mhx", list, 3);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].versionText, L"00.09");
    EXPECT_EQ(list[1].versionNumber, 210u);
    EXPECT_EQ(list[1].versionText, L"02.10");
    EXPECT_TRUE(log_.contains("Can't read version number from file Booter_X_new.mhx"));
}

// Names whose version fields differ in width: the list is in version order,
// so the last entry (the one chosen) is the highest version, and a firmware
// file is paired with the language file of its own version.
TEST_F(FirmupFilesInfoTest, ScansOrderByVersionAndPairEachFirmwareWithItsOwnLanguage) {
    struct Case {
        const char* what;
        std::vector<const char*> files;
        Scan scan;
        const wchar_t* pattern;
        const wchar_t* lng_pattern;
        // "file|language|version text" per entry, in list order.
        std::vector<std::wstring> entries;
    };
    const Case cases[] = {
        {"firmware with language, a seven-digit name",
         {"Pell_0460600_fw.mhx", "Pell_460500_fw.mhx", "Pell_460500_lng.mhx", "Pell_460600_lng.mhx"},
         FwLingua, L"Pell_*_fw.mhx", L"Pell_*_lng.mhx",
         {L"Pell_460500_fw.mhx|Pell_460500_lng.mhx|46.05.00",
          L"Pell_0460600_fw.mhx|Pell_460600_lng.mhx|46.06.00"}},
        {"a language file for only one of two firmware files",
         {"Pell_0460600_fw.mhx", "Pell_460500_fw.mhx", "Pell_460500_lng.mhx"}, FwLingua,
         L"Pell_*_fw.mhx", L"Pell_*_lng.mhx", {L"Pell_460500_fw.mhx|Pell_460500_lng.mhx|46.05.00"}},
        {"single scan", {"X_0010600_fw.mhx", "X_010507_fw.mhx", "X_010600x_fw.mhx"}, Single,
         L"X_*_fw.mhx", L"", {L"X_010507_fw.mhx||01.05.07", L"X_0010600_fw.mhx||01.06.00"}},
        {"equal versions: the plain name is kept", {"X_010507_fw.mhx", "X_0010507_fw.mhx"}, Single,
         L"X_*_fw.mhx", L"", {L"X_010507_fw.mhx||01.05.07"}},
        {"a blank or a sign is no version",
         {"X_ 010507_fw.mhx", "X_+010600_fw.mhx", "X_-10000_fw.mhx", "X_010500_fw.mhx"}, Single,
         L"X_*_fw.mhx", L"", {L"X_010500_fw.mhx||01.05.00"}},
        {"booter files", {"Booter_X_0210.mhx", "Booter_X_00300.mhx", "Booter_X_+0400.mhx"}, Booter,
         L"Booter_X_*.mhx", L"", {L"Booter_X_0210.mhx||02.10", L"Booter_X_00300.mhx||03.00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const FirmupFileList list = Scanned(c.files, c.scan, c.pattern, c.lng_pattern);
        std::vector<std::wstring> got;
        for (const auto& e : list) got.push_back(e.fileName + L"|" + e.secondFileName + L"|" + e.versionText);
        EXPECT_EQ(got, c.entries);
        FirmupFileEntry chosen;
        Info::ScegliUltimo(list, chosen);
        EXPECT_EQ(chosen.fileName + L"|" + chosen.secondFileName + L"|" + chosen.versionText,
                  c.entries.back());
    }
}

TEST_F(FirmupFilesInfoTest, UpdateNeededComparesTheSelectedText) {
    Touch({"X_010500_fw.mhx", "X_010507_fw.mhx", "Booter_X_0210.mhx"});
    struct Case {
        const char* name;
        bool with_files;
        int pick;  // -1 the last entry, otherwise that index
        const wchar_t* installed;
        bool expected;
    } cases[] = {
        {"same", true, -1, L"01.05.07", false},
        {"older installed", true, -1, L"01.05.00", true},
        {"older picked", true, 0, L"01.05.07", true},
        {"no file", false, -1, L"01.05.00", false},
    };
    for (const auto& c : cases) {
        Info info;
        if (c.with_files) {
            Info::ScanSingolo(dir_.wpath(), L"X_*_fw.mhx", *info.GetFwList(9), 9);
            Info::ScanSingolo(dir_.wpath(), L"X_*_fw.mhx", *info.GetFwListSlave(4, 10), 10);
            const auto& list = *info.GetFwList(9);
            *info.GetFw(9) = c.pick < 0 ? list.back() : list[static_cast<size_t>(c.pick)];
            *info.GetFwSlave(4, 10) = *info.GetFw(9);
        }
        EXPECT_EQ(info.FwDaAggiornare(c.installed), c.expected) << c.name;
        EXPECT_EQ(info.FwSlaveDaAggiornare(c.installed, 4), c.expected) << c.name;
        EXPECT_FALSE(info.FwSlaveDaAggiornare(c.installed, 5)) << c.name;
        EXPECT_FALSE(info.FwSlaveDaAggiornare(c.installed, 32)) << c.name;
    }
    Info info;
    Info::ScanBooter(dir_.wpath(), L"Booter_X_*.mhx", *info.GetBooterList(9), 9);
    Info::ScegliUltimo(*info.GetBooterList(9), *info.GetBooter(9));
    EXPECT_FALSE(info.BooterDaAggiornare(L"02.10"));
    EXPECT_TRUE(info.BooterDaAggiornare(L"02.09"));
    Info::ScanBooter(dir_.wpath(), L"Booter_X_*.mhx", *info.GetBooterListSlave(0, 8), 8);
    Info::ScegliUltimo(*info.GetBooterListSlave(0, 8), *info.GetBooterSlave(0, 8));
    EXPECT_TRUE(info.BooterSlaveDaAggiornare(L"01.00", 0));
}

TEST_F(FirmupFilesInfoTest, EntriesAndListsAreBoundToOneSerial) {
    Info info;
    const FirmupFileEntry file{0, L"X_010507_fw.mhx", L"", L"01.05.07", 10507};
    ASSERT_NE(info.GetFw(0xA), nullptr);
    *info.GetFw(0xA) = file;
    info.GetFw(0xA)->serial = 0xA;
    EXPECT_EQ(info.GetFw(0xB), nullptr);
    EXPECT_EQ(info.GetFw(0xA)->fileName, L"X_010507_fw.mhx");

    // An empty list goes to anyone; a filled one only to its serial.
    ASSERT_NE(info.GetFwList(0xB), nullptr);
    info.GetFwList(0xA)->push_back({0xA, L"f", L"", L"01.00.00", 10000});
    EXPECT_EQ(info.GetFwList(0xB), nullptr);
    EXPECT_NE(info.GetFwList(0xA), nullptr);

    // Slave slots and keyed collections follow the same rule per slot and key.
    ASSERT_NE(info.GetBooterSlave(3, 0xC), nullptr);
    EXPECT_EQ(info.GetBooterSlave(3, 0xD), nullptr);
    EXPECT_NE(info.GetBooterSlave(4, 0xD), nullptr);
    EXPECT_EQ(info.GetFwSlave(32, 0xC), nullptr);
    EXPECT_EQ(info.GetFwSlave(-1, 0xC), nullptr);
    ASSERT_NE(info.GetAccessorio(0, 0xA), nullptr);
    EXPECT_EQ(info.GetAccessorio(0, 0xB), nullptr);
    EXPECT_NE(info.GetAccessorio(1, 0xB), nullptr);
    EXPECT_NE(info.GetAccessorio(0, 0xB, 2), nullptr);
    EXPECT_EQ(info.GetAccessorio(0, 0xC, 2), nullptr);
    EXPECT_EQ(info.GetAccessorio(0, 0xC, 40), nullptr);
    info.GetOtherFwList(1, 0xA)->push_back({0xA, L"o", L"", L"01.00.00", 10000});
    EXPECT_EQ(info.GetOtherFwList(1, 0xB), nullptr);
    EXPECT_NE(info.GetOtherBooterList(1, 0xB), nullptr);
    ASSERT_NE(info.GetOtherBooter(1, 0xB), nullptr);
    EXPECT_EQ(info.GetOtherBooter(1, 0xA), nullptr);

    info.Svuota();
    EXPECT_NE(info.GetFw(0xB), nullptr);
    EXPECT_TRUE(info.GetFw(0xB)->fileName.empty());
    EXPECT_TRUE(info.GetFwList(0xB)->empty());
    EXPECT_NE(info.GetBooterSlave(3, 0xD), nullptr);
    EXPECT_NE(info.GetAccessorio(0, 0xB), nullptr);
    EXPECT_NE(info.GetOtherFwList(1, 0xB), nullptr);
}

// What a name must be to be offered: the version's digits where the "*" is
// and nothing else, within what the version's text can show; of two names
// for one version the plain one, and the other is named as passed over.
TEST_F(FirmupFilesInfoTest, VersionNames) {
    struct Case {
        const char* what;
        std::vector<const char*> files;
        Scan scan;
        const wchar_t* pattern;
        std::vector<std::wstring> offered;  // "file|version text[|passed over]"
        const char* log;
    };
    const Case cases[] = {
        {"a blank after the digits", {"Pell_470000 _fw.mhx", "Pell_460500_fw.mhx"}, Single, L"Pell_*_fw.mhx",
         {L"Pell_460500_fw.mhx|46.05.00"}, "Can't read version number from file Pell_470000 _fw.mhx"},
        {"escapes after the digits", {"Pell_470000\x1b]0;x\x07\x1b[2J_fw.mhx", "Pell_460500_fw.mhx"}, Single,
         L"Pell_*_fw.mhx", {L"Pell_460500_fw.mhx|46.05.00"}, "Can't read version number from file Pell_470000"},
        {"beyond what six digits show", {"Pell_4294967295_fw.mhx", "Pell_1000000_fw.mhx", "Pell_999999_fw.mhx"},
         Single, L"Pell_*_fw.mhx", {L"Pell_999999_fw.mhx|99.99.99"},
         "The version 4294967295 of file Pell_4294967295_fw.mhx is beyond 999999: file passed over"},
        {"beyond what a booter's four digits show", {"Booter_X_10000.mhx", "Booter_X_9999.mhx"}, Booter,
         L"Booter_X_*.mhx", {L"Booter_X_9999.mhx|99.99"}, "The version 10000 of file Booter_X_10000.mhx is beyond 9999"},
        {"two names for one version, the plain one sorting first", {"Booter_X_0210.mhx", "Booter_X_210.mhx"},
         Booter, L"Booter_X_*.mhx", {L"Booter_X_0210.mhx|02.10|Booter_X_210.mhx"},
         "Files Booter_X_0210.mhx and Booter_X_210.mhx have one version 02.10: Booter_X_0210.mhx is used"},
        {"two names for one version, the plain one sorting last", {"Pell_0470000_fw.mhx", "Pell_470000_fw.mhx"},
         Single, L"Pell_*_fw.mhx", {L"Pell_470000_fw.mhx|47.00.00|Pell_0470000_fw.mhx"},
         "Files Pell_470000_fw.mhx and Pell_0470000_fw.mhx have one version 47.00.00: Pell_470000_fw.mhx is used"},
        {"no plain name: the shorter", {"X_0010507_fw.mhx", "X_00010507_fw.mhx"}, Single, L"X_*_fw.mhx",
         {L"X_0010507_fw.mhx|01.05.07|X_00010507_fw.mhx"}, "X_0010507_fw.mhx is used"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        const FirmupFileList list = Scanned(c.files, c.scan, c.pattern);
        std::vector<std::wstring> got;
        for (const auto& e : list) {
            std::wstring text = e.fileName + L"|" + e.versionText;
            for (const auto& p : e.passedOver) text += L"|" + p;
            got.push_back(text);
        }
        EXPECT_EQ(got, c.offered);
        EXPECT_TRUE(log_.contains(c.log)) << c.log;
    }
}

// Every folder is listed once while a pass is open: a file that appears
// afterwards is not seen until the next pass; the language file of each
// firmware file is found without listing again.
TEST_F(FirmupFilesInfoTest, APassListsEachFolderOnce) {
    Touch({"X_010507_fw.mhx", "X_010507_lng.mhx"});
    FirmupFileList list;
    {
        const Info::UnPassaggio pass;
        Info::ScanFwLingua(dir_.wpath(), L"X_*_fw.mhx", L"X_*_lng.mhx", list, 1);
        EXPECT_EQ(list.size(), 1u);
        Touch({"X_010600_fw.mhx", "X_010600_lng.mhx"});
        Info::ScanFwLingua(dir_.wpath(), L"X_*_fw.mhx", L"X_*_lng.mhx", list, 1);
        EXPECT_EQ(list.size(), 1u);
    }
    Info::ScanFwLingua(dir_.wpath(), L"X_*_fw.mhx", L"X_*_lng.mhx", list, 1);
    EXPECT_EQ(list.size(), 2u);
}

}  // namespace
