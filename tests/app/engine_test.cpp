#include "update/settings/engine.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "common/str_conv.h"

#include "../support/temp_dir.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

std::string Resources(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<resources>\n" + body + "</resources>\n";
}

// The string table is process-wide: each test starts from a known file.
class Engine : public ::testing::Test {
protected:
    bool Load(const std::string& language, const std::string& content) {
        dir.write("language/" + language + ".xml", content);
        return vesk::SetLanguageFolderAndRead(dir.file("language"), language);
    }
    TempDir dir;
};

TEST_F(Engine, TranslatesKnownKeysOnly) {
    ASSERT_TRUE(Load("Italiano", Resources("<string name=\"Exit\">Esci</string>\n"
                                           "<string name=\"Open &amp; go\">Apri e vai \u00e8</string>\n"
                                           "<!-- a comment -->\n"
                                           "<string name=\"Same\"></string>\n"
                                           "<string name=\"Twice\">first</string>\n"
                                           "<string name=\"Twice\">second</string>\n")));
    EXPECT_EQ(vesk::Translate(L"Exit"), L"Esci");
    EXPECT_EQ(vesk::Translate(L"exit"), L"exit");  // case-sensitive keys
    EXPECT_EQ(vesk::Translate(L"EXIT"), L"EXIT");
    EXPECT_EQ(vesk::Translate(L"Open & go"), L"Apri e vai \u00e8");
    EXPECT_EQ(vesk::Translate(L"Same"), L"Same");
    EXPECT_EQ(vesk::Translate(L"Twice"), L"second");  // the later one wins
    EXPECT_EQ(vesk::Translate(L"Unknown text"), L"Unknown text");
    EXPECT_STREQ(vesk::TranslateC(L"Exit"), L"Esci");
    const wchar_t* key = L"Unknown";
    EXPECT_EQ(vesk::TranslateC(key), key);
    EXPECT_TRUE(vesk::LanguageErrors().empty());
    EXPECT_EQ(vesk::LanguageFilePath(), dir.file("language") + "/Italiano.xml");
    EXPECT_EQ(vesk::LanguageName(), "Italiano");
    EXPECT_EQ(vesk::LanguageFolder(), dir.file("language"));
}

TEST_F(Engine, WholeFileProblems) {
    struct Case {
        const char* what;
        std::string content;
        bool write;
        std::string log;
    };
    const Case cases[] = {
        {"missing file", "", false, "Unable to parse file %s"},
        {"not xml", "nonsense", true, "Unable to parse file %s"},
        {"empty", "", true, "Unable to parse file %s"},
        {"invalid utf-8", Resources("<string name=\"a\">\xC3\x28</string>"), true,
         "Unable to parse file %s"},
        {"wrong root", "<?xml version=\"1.0\"?><strings><string name=\"a\">b</string></strings>",
         true, "Bad root in file %s (root node is not 'resources')"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Load("Base", Resources("<string name=\"Exit\">Esci</string>")));
        const std::string lang = std::string("L") + std::to_string(&c - cases);
        if (c.write) dir.write("language/" + lang + ".xml", c.content);
        vesk::LogCapture log;
        EXPECT_FALSE(vesk::SetLanguageFolderAndRead(dir.file("language"), lang));
        std::string expected = c.log;
        expected.replace(expected.find("%s"), 2, dir.file("language") + "/" + lang + ".xml");
        EXPECT_TRUE(log.contains(expected)) << expected;
        EXPECT_TRUE(log.contains("CEngine::LeggiXML"));
        EXPECT_EQ(vesk::LanguageErrors().size(), 1u);
        EXPECT_EQ(vesk::Translate(L"Exit"), L"Exit");  // the old table is gone
    }
}

TEST_F(Engine, BadStringsAreLoggedAndTheRestIsRead) {
    vesk::LogCapture log;
    EXPECT_FALSE(Load("Mixed", Resources("<string name=\"A\">a</string>\n"
                                         "<other name=\"B\">b</other>\n"
                                         "<string>c</string>\n"
                                         "<string key=\"D\" name=\"D\">d</string>\n"
                                         "<string name=\"E\">e</string>\n")));
    EXPECT_EQ(vesk::Translate(L"A"), L"a");
    EXPECT_EQ(vesk::Translate(L"B"), L"B");
    EXPECT_EQ(vesk::Translate(L"D"), L"D");
    EXPECT_EQ(vesk::Translate(L"E"), L"e");
    EXPECT_TRUE(log.contains("Wrong node name (other) at line 4"));
    EXPECT_TRUE(log.contains("Can't find properties attribute at line 5"));
    EXPECT_TRUE(log.contains("Wrong properties attribute name (key) at line 6"));
    EXPECT_EQ(vesk::LanguageErrors().size(), 3u);
}

TEST_F(Engine, RecordedLanguageWithoutFileLeavesTextsInEnglish) {
    ASSERT_TRUE(Load("Italiano", Resources("<string name=\"Exit\">Esci</string>")));
    vesk::LogCapture log;
    EXPECT_TRUE(vesk::SetLanguage("Klingon"));
    EXPECT_TRUE(log.contains("Unable to parse file " + dir.file("language") + "/Klingon.xml"));
    EXPECT_EQ(vesk::Translate(L"Exit"), L"Exit");
    EXPECT_FALSE(vesk::SetLanguage("Klingon"));  // unchanged
}

TEST_F(Engine, SettersRereadOnlyWhenSomethingChanges) {
    ASSERT_TRUE(Load("Italiano", Resources("<string name=\"Exit\">Esci</string>")));
    dir.write("language/Italiano.xml", Resources("<string name=\"Exit\">Uscita</string>"));
    EXPECT_FALSE(vesk::SetLanguage("Italiano"));
    EXPECT_FALSE(vesk::SetLanguageFolder(dir.file("language")));
    EXPECT_EQ(vesk::Translate(L"Exit"), L"Esci");
    EXPECT_TRUE(vesk::RereadLanguage());
    EXPECT_EQ(vesk::Translate(L"Exit"), L"Uscita");

    TempDir other;
    other.write("Italiano.xml", Resources("<string name=\"Exit\">Fine</string>"));
    EXPECT_TRUE(vesk::SetLanguageFolder(other.path()));
    EXPECT_EQ(vesk::Translate(L"Exit"), L"Fine");
}

TEST_F(Engine, AddString) {
    ASSERT_TRUE(Load("Empty", Resources("")));
    EXPECT_TRUE(vesk::AddString("Cancel", "Annulla \xC3\xA8"));
    EXPECT_EQ(vesk::Translate(L"Cancel"), L"Annulla \u00e8");
    EXPECT_TRUE(vesk::AddString("Cancel", "Annulla"));
    EXPECT_EQ(vesk::Translate(L"Cancel"), L"Annulla");
    EXPECT_TRUE(vesk::AddString("Keep", ""));
    EXPECT_EQ(vesk::Translate(L"Keep"), L"Keep");
}

}  // namespace

namespace {

// A translation is used as a format where its key is one: one that reads
// other arguments than the key would crash whoever formats with it.
TEST_F(Engine, TranslationsWithOtherConversionsThanTheirKeyAreNotUsed) {
    vesk::LogCapture log;
    const std::string gauges = "%d gauges are connected to USB ports. Only one can be connected.";
    struct Case {
        const char* key;
        const char* translation;
        bool used;
    } cases[] = {
        {"%d gauges are connected to USB ports. Only one can be connected.", "%s%s%s%s strumenti", false},
        {"To run the Vesk firmup you have to %d slaves ", "Togli %d slave %d volte ", false},  // added
        {"Exception: %s", "Eccezione", false},                                               // dropped
        {"Swapped %d of %ls", "%ls: %d", false},
        {"Position %d", "Posizione %n", false},
        {"Width %5d and %%", "Larghezza %-3d e %%", true},
        {"Plain text", "Testo 100%", true},
        {"Plain too", "Testo %s", false},  // reads an argument its key does not give
    };
    std::string body;
    for (const auto& k : cases) body += "<string name=\"" + std::string(k.key) + "\">" + k.translation + "</string>\n";
    Load("Hostile", Resources(body));
    for (const auto& k : cases) {
        const std::wstring key = vesk::from_utf8(k.key);
        EXPECT_EQ(vesk::Translate(key), k.used ? vesk::from_utf8(k.translation) : key) << k.key;
        const bool logged = log.contains("The translation of \"" + std::string(k.key) + "\" in " +
                                         dir.file("language") + "/Hostile.xml has other conversions");
        EXPECT_EQ(logged, !k.used) << k.key;
    }
    // As the plan formats it: no crash, the number in its place.
    wchar_t text[160];
    std::swprintf(text, 160, vesk::Translate(vesk::from_utf8(gauges)).c_str(), 2);
    EXPECT_EQ(std::wstring(text), L"2 gauges are connected to USB ports. Only one can be connected.");
}

}  // namespace
