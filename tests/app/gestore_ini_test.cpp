#include "update/settings/gestore_ini.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "../support/temp_dir.h"
#include "update/settings/gestore_ini_lang.h"
#include "firmware_files/vers_file.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(GestoreIni, MissingFileCreatesFoldersButWritesOnlyOnSave) {
    TempDir dir;
    const std::string path = dir.file("user/ini/settings.ini");
    CGestoreIni ini;
    ASSERT_TRUE(ini.SetFile(W(path)));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("user/ini")));
    EXPECT_FALSE(std::filesystem::exists(path));
    ini.SetSection(L"S", L"0");
    ini.WriteText(L"k", L"v");
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_TRUE(ini.Save());
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(GestoreIni, SectionsAndKeysInTheFile) {
    TempDir dir;
    const std::string path = dir.file("s.ini");
    {
        CGestoreIni ini;
        ASSERT_TRUE(ini.SetFile(W(path)));
        ini.SetSection(L"LINGUE", L"0");
        ini.WriteText(L"a", L"1");
        ini.WriteText(L"b", L"2");   // same, not yet existing section: one element
        ini.WriteText(L"a", L"3");   // overwritten: one "p"
        ini.SetSection(L"LINGUE", L"1");
        ini.WriteText(L"a", L"other");  // a second, separate section
        ASSERT_TRUE(ini.Save());
    }
    const std::string text = vesk::test::read_file(path);
    EXPECT_NE(text.find("<FILE_INI>"), std::string::npos);
    EXPECT_EQ(Count(text, "<e c=\"LINGUE\" i=\"0\">"), 1u);
    EXPECT_EQ(Count(text, "<e c=\"LINGUE\" i=\"1\">"), 1u);
    EXPECT_EQ(Count(text, "n=\"a\""), 2u);

    CGestoreIni again;
    ASSERT_TRUE(again.SetFile(W(path)));
    std::vector<std::wstring> ids;
    again.SectionIds(L"LINGUE", ids);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"0", L"1"}));
    std::wstring value;
    again.SetSection(L"LINGUE", L"0");
    ASSERT_TRUE(again.ReadText(L"a", value));
    EXPECT_EQ(value, L"3");
    ASSERT_TRUE(again.ReadText(L"b", value));
    EXPECT_EQ(value, L"2");
    again.SetSection(L"LINGUE", L"1");
    ASSERT_TRUE(again.ReadText(L"a", value));
    EXPECT_EQ(value, L"other");
}

TEST(GestoreIni, ReadsOfMissingThingsLeaveTheValueAlone) {
    TempDir dir;
    CGestoreIni ini;
    ASSERT_TRUE(ini.SetFile(W(dir.file("s.ini"))));
    std::wstring value = L"untouched";
    EXPECT_FALSE(ini.ReadText(L"k", value));  // no section selected
    ini.SetSection(L"S", L"0");
    ini.WriteText(L"k", L"v");
    ini.SetSection(L"s", L"0");  // names are case-sensitive
    EXPECT_FALSE(ini.ReadText(L"k", value));
    ini.SetSection(L"S", L"0");
    EXPECT_FALSE(ini.ReadText(L"K", value));
    EXPECT_EQ(value, L"untouched");
    int32_t n = 99;
    EXPECT_FALSE(ini.ReadInt(L"absent", n));
    EXPECT_EQ(n, 99);
    // With no section selected, writes do nothing.
    ini.SetSection(L"", L"0");
    ini.WriteText(L"k", L"x");
    ini.SetSection(L"S", L"0");
    ASSERT_TRUE(ini.ReadText(L"k", value));
    EXPECT_EQ(value, L"v");
}

TEST(GestoreIni, TypedValues) {
    TempDir dir;
    const std::string path = dir.file("typed.ini");
    {
        CGestoreIni ini;
        ASSERT_TRUE(ini.SetFile(W(path)));
        ini.SetSection(L"T", L"0");
        ini.WriteBool(L"yes", true);
        ini.WriteBool(L"no", false);
        ini.WriteInt(L"int", -123456);
        ini.WriteInt32(L"int32", 2147483647);
        ini.WriteInt16(L"int16", -32768);
        ini.WriteDouble(L"double", 2.5);
        ini.WriteFloat(L"float", 0.25f);
        ASSERT_TRUE(ini.Save());
    }
    const std::string text = vesk::test::read_file(path);
    EXPECT_NE(text.find("<p n=\"yes\">1</p>"), std::string::npos);
    EXPECT_NE(text.find("<p n=\"no\">0</p>"), std::string::npos);
    EXPECT_NE(text.find("<p n=\"int16\">-32768</p>"), std::string::npos);

    CGestoreIni ini;
    ASSERT_TRUE(ini.SetFile(W(path)));
    ini.SetSection(L"T", L"0");
    bool b = false;
    ASSERT_TRUE(ini.ReadBool(L"yes", b));
    EXPECT_TRUE(b);
    ASSERT_TRUE(ini.ReadBool(L"no", b));
    EXPECT_FALSE(b);
    int32_t i = 0;
    ASSERT_TRUE(ini.ReadInt(L"int", i));
    EXPECT_EQ(i, -123456);
    ASSERT_TRUE(ini.ReadInt32(L"int32", i));
    EXPECT_EQ(i, 2147483647);
    int16_t s = 0;
    ASSERT_TRUE(ini.ReadInt16(L"int16", s));
    EXPECT_EQ(s, -32768);
    ini.WriteInt32(L"wide", 70000);
    ASSERT_TRUE(ini.ReadInt16(L"wide", s));
    EXPECT_EQ(s, static_cast<int16_t>(70000));
    double d = 0;
    ASSERT_TRUE(ini.ReadDouble(L"double", d));
    EXPECT_DOUBLE_EQ(d, 2.5);
    float f = 0;
    ASSERT_TRUE(ini.ReadFloat(L"float", f));
    EXPECT_FLOAT_EQ(f, 0.25f);
}

TEST(GestoreIni, UnreadableFileIsReplaced) {
    const char* contents[] = {"not xml at all", "", "<?xml version=\"1.0\"?><info_version_sw/>"};
    for (const char* content : contents) {
        SCOPED_TRACE(content);
        TempDir dir;
        dir.write("s.ini", content);
        CGestoreIni ini;
        ASSERT_TRUE(ini.SetFile(W(dir.file("s.ini"))));
        EXPECT_FALSE(std::filesystem::exists(dir.file("s.ini")));
        ini.SetSection(L"S", L"0");
        ini.WriteText(L"k", L"v");
        ASSERT_TRUE(ini.Save());
        const std::string text = vesk::test::read_file(dir.file("s.ini"));
        EXPECT_NE(text.find("<FILE_INI>"), std::string::npos);
        EXPECT_NE(text.find("<p n=\"k\">v</p>"), std::string::npos);
    }
}

TEST(GestoreIni, FolderThatCannotBeCreated) {
    TempDir dir;
    dir.write("blocker", "a file where a folder should be");
    CGestoreIni ini;
    ASSERT_TRUE(ini.SetFile(W(dir.file("first.ini"))));
    ini.SetSection(L"S", L"0");
    ini.WriteText(L"k", L"v");

    EXPECT_FALSE(ini.SetFile(W(dir.file("blocker/ini/applang.ini"))));
    EXPECT_EQ(ini.FileName(), L"");
    // The switch saved the first file before failing.
    EXPECT_NE(vesk::test::read_file(dir.file("first.ini")).find("<p n=\"k\">v</p>"),
              std::string::npos);
    // Writes still go to the previous document; save has nowhere to write.
    ini.WriteText(L"k2", L"v2");
    std::wstring value;
    ASSERT_TRUE(ini.ReadText(L"k2", value));
    EXPECT_FALSE(ini.Save());

    CGestoreIni none;
    EXPECT_FALSE(none.SetFile(W(dir.file("blocker/x.ini"))));
    none.SetSection(L"S", L"0");
    none.WriteText(L"k", L"v");
    EXPECT_FALSE(none.ReadText(L"k", value));
    EXPECT_FALSE(none.Save());
}

// Writes larger than a few bytes fail (as on a full disk) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previous_handler_)(int) = nullptr;
};

// Settings and version files are replaced whole: when the save fails at any
// point the old file stays byte for byte, and no temporary file is left.
TEST(SavedFiles, AFailedSaveLeavesTheOldFileWhole) {
    enum Failure { None, NoTemporaryFile, WriteCutShort };
    struct Saver {
        const char* what;
        std::string old_content;
        // Saves new content over path; the result of the save.
        std::function<bool(const std::string& path)> save;
        std::string new_text;
    };
    const Saver savers[] = {
        {"settings file",
         "<?xml version=\"1.0\"?>\n<FILE_INI><e c=\"LINGUE\" i=\"0\"><p n=\"LANG_SCELTA\">Italiano</p>"
         "</e></FILE_INI>\n",
         [](const std::string& path) {
             CGestoreIniLang lang(W(path));
             lang.WriteLanguage(L"Deutsch");
             return lang.Save();
         },
         "Deutsch"},
        {"version file",
         "<?xml version=\"1.0\"?>\n<info_version_sw><e c=\"InfoSW\" i=\"InfoSW.0\"><p n=\"MAJOR\">3</p>"
         "</e></info_version_sw>\n",
         [](const std::string& path) {
             CVersFile v;
             v.SetProductName(L"New product");
             return v.SaveAllXmlNuovo(W(path));
         },
         "New product"},
    };
    struct Case {
        const char* what;
        Failure failure;
    } cases[] = {
        {"saved", None},
        {"temporary file cannot be created", NoTemporaryFile},
        {"write cut short", WriteCutShort},
    };
    for (const auto& saver : savers) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(saver.what) + ": " + c.what);
            TempDir dir;
            // A name so long that no longer name fits beside it in the folder.
            const std::string name = c.failure == NoTemporaryFile ? std::string(250, 'n') + ".ini" : "f.ini";
            const std::string path = dir.file(name);
            dir.write(name, saver.old_content);
            ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
            bool saved = false;
            if (c.failure == WriteCutShort) {
                const FileSizeLimit limit(16);
                saved = saver.save(path);
            } else {
                saved = saver.save(path);
            }
            const std::string now = vesk::test::read_file(path);
            EXPECT_EQ(saved, c.failure == None);
            if (c.failure == None) {
                EXPECT_NE(now.find(saver.new_text), std::string::npos) << now;
            } else {
                EXPECT_EQ(now, saver.old_content);
            }
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            size_t files = 0;
            for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
                ++files;
                EXPECT_EQ(e.path().filename().string(), name);
            }
            EXPECT_EQ(files, 1u);
        }
    }
}

TEST(GestoreIniLang, ChosenLanguageRoundTrip) {
    TempDir dir;
    const std::string path = dir.file("user/ini/applang.ini");
    {
        CGestoreIniLang lang(W(path));
        std::wstring name = L"none";
        EXPECT_FALSE(lang.ReadLanguage(name));
        EXPECT_EQ(name, L"none");
        lang.WriteLanguage(L"Italiano");
        ASSERT_TRUE(lang.Save());
    }
    const std::string text = vesk::test::read_file(path);
    EXPECT_NE(text.find("<e c=\"LINGUE\" i=\"0\">"), std::string::npos);
    EXPECT_NE(text.find("<p n=\"LANG_SCELTA\">Italiano</p>"), std::string::npos);
    CGestoreIniLang again(W(path));
    std::wstring name;
    ASSERT_TRUE(again.ReadLanguage(name));
    EXPECT_EQ(name, L"Italiano");
}

TEST(GestoreIniLang, IniFolderInsideAWritableProgramFolder) {
    TempDir dir;
    EXPECT_EQ(vesk::ini_folder(dir.wfolder()), dir.wfolder() + L"user/ini/");
}

TEST(GestoreIniLang, IniFolderInTheUserConfigurationWhenTheProgramFolderIsNotWritable) {
    TempDir config;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const std::wstring folder = vesk::ini_folder(W(config.file("no/such/program/")));
    if (old) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(folder, config.wpath() + L"/vesk-firmup/user/ini/");
}

}  // namespace
