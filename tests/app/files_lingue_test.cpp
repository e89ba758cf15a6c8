#include "update/settings/files_lingue.h"

#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "update/settings/gestore_ini_lang.h"

namespace {

using vesk::test::TempDir;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

const std::string kLang = "<?xml version=\"1.0\"?><resources/>";

struct Folders {
    TempDir dir;
    std::wstring lang() const { return W(dir.file("language/")); }
    std::wstring ini() const { return W(dir.file("user/ini/")); }
};

TEST(FilesLingue, DefaultLanguageChoice) {
    struct Case {
        const char* what;
        std::vector<std::string> files;
        std::wstring current;
    };
    const Case cases[] = {
        {"English present", {"Deutsch.xml", "English.xml", "Italiano.xml"}, L"English"},
        {"no English: first in listing order", {"Italiano.xml", "Deutsch.xml"}, L"Deutsch"},
        {"English in another case is not English", {"english.xml", "Zulu.xml"}, L"Zulu"},
        {"no files", {}, L"English"},
        {"only lower-case .xml is a language file", {"Zulu.xml"}, L"Zulu"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folders f;
        f.dir.mkdir("language");
        for (const auto& name : c.files) f.dir.write("language/" + name, kLang);
        f.dir.write("language/readme.txt", "not a language");
        f.dir.write("language/Aaa.XML", kLang);
        CFilesLingue lingue(f.lang(), f.ini());
        EXPECT_EQ(lingue.CurrentLanguage(), c.current);
        EXPECT_EQ(lingue.SelectedLanguage(), c.current);
        EXPECT_EQ(lingue.Languages().size(), c.files.size());
        EXPECT_FALSE(lingue.LoadChoice());
    }
}

TEST(FilesLingue, EntriesAndFlags) {
    Folders f;
    f.dir.write("language/English.xml", kLang);
    f.dir.write("language/English.png", "png");
    f.dir.write("language/Italiano.xml", kLang);
    CFilesLingue without_nd(f.lang(), f.ini());
    ASSERT_EQ(without_nd.Languages().size(), 2u);
    const auto& en = without_nd.Languages()[0];
    EXPECT_EQ(en.name, L"English");
    EXPECT_EQ(en.path, W(f.dir.file("language/English.xml")));
    EXPECT_EQ(en.flag, W(f.dir.file("language/English.png")));
    EXPECT_EQ(without_nd.Languages()[1].flag, L"");

    f.dir.write("language/ND.png", "png");
    CFilesLingue with_nd(f.lang(), f.ini());
    EXPECT_EQ(with_nd.Languages()[0].flag, W(f.dir.file("language/English.png")));
    EXPECT_EQ(with_nd.Languages()[1].name, L"Italiano");
    EXPECT_EQ(with_nd.Languages()[1].flag, W(f.dir.file("language/ND.png")));
}

TEST(FilesLingue, RecordedChoiceWinsEvenWithoutItsFile) {
    Folders f;
    f.dir.write("language/English.xml", kLang);
    {
        CGestoreIniLang ini(f.ini() + L"applang.ini");
        ini.WriteLanguage(L"Klingon");
        ASSERT_TRUE(ini.Save());
    }
    CFilesLingue lingue(f.lang(), f.ini());
    EXPECT_EQ(lingue.CurrentLanguage(), L"Klingon");
    EXPECT_EQ(lingue.SelectedLanguage(), L"Klingon");
}

TEST(FilesLingue, SavedChoiceIsReadByTheNextStart) {
    Folders f;
    f.dir.write("language/English.xml", kLang);
    f.dir.write("language/Italiano.xml", kLang);
    {
        CFilesLingue lingue(f.lang(), f.ini());
        EXPECT_EQ(lingue.CurrentLanguage(), L"English");
        lingue.SetSelectedLanguage(L"Italiano");
        EXPECT_EQ(lingue.CurrentLanguage(), L"English");
        ASSERT_TRUE(lingue.SaveChoice());
    }
    CFilesLingue next(f.lang(), f.ini());
    EXPECT_EQ(next.CurrentLanguage(), L"Italiano");
}

TEST(FilesLingue, SettingsFolderThatCannotBeCreated) {
    Folders f;
    f.dir.write("language/English.xml", kLang);
    f.dir.write("user", "a file where the folder should be");
    CFilesLingue lingue(f.lang(), f.ini());
    EXPECT_EQ(lingue.CurrentLanguage(), L"English");
    EXPECT_FALSE(lingue.LoadChoice());
    lingue.SetSelectedLanguage(L"Italiano");
    EXPECT_FALSE(lingue.SaveChoice());
}

}  // namespace
