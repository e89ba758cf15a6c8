// The language files shipped with the program: every text the program
// translates is in them, and the Italian one keeps what the program glues
// together (spaces at the ends, line breaks, printf conversions).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "update/settings/engine.h"
#include "common/str_conv.h"

namespace {

std::map<std::wstring, std::wstring> Read(const std::string& language) {
    CEngine engine;
    EXPECT_TRUE(engine.LeggiXML(VESK_SOURCE_DIR "/language/" + language + ".xml")) << language;
    EXPECT_TRUE(engine.errors.empty()) << language;
    return engine.table;
}

// The wide literals handed to Translate(...) or Tr(...) anywhere in src/, and
// those marked with TextToTranslate(...) where a table or a helper translates
// them later (the run's write and search messages, the dialogs' captions).
std::set<std::wstring> TranslatedLiterals() {
    std::set<std::wstring> out;
    const std::regex call(R"((^|[^A-Za-z_])(Translate|Tr|TextToTranslate)\()");
    for (const auto& e : std::filesystem::recursive_directory_iterator(VESK_SOURCE_DIR "/src")) {
        const std::string ext = e.path().extension().string();
        if (ext != ".cpp" && ext != ".h") continue;
        std::ifstream in(e.path());
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            size_t p = size_t(it->position() + it->length());
            for (int depth = 1; p < text.size() && depth > 0; ++p) {
                if (text[p] == '(') ++depth;
                if (text[p] == ')') --depth;
                if (text[p] != 'L' || p + 1 >= text.size() || text[p + 1] != '"') continue;
                std::string lit;
                for (p += 2; p < text.size() && text[p] != '"'; ++p) {
                    if (text[p] != '\\') {
                        lit += text[p];
                        continue;
                    }
                    const char c = text[++p];
                    lit += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
                }
                out.insert(vesk::from_utf8(lit));
            }
        }
    }
    return out;
}

size_t Count(const std::wstring& s, const std::wstring& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::wstring::npos; p = s.find(what, p + what.size())) ++n;
    return n;
}

TEST(LanguageFiles, EveryTranslatedTextIsInBothFiles) {
    const auto english = Read("English");
    const auto italiano = Read("Italiano");
    const auto used = TranslatedLiterals();
    ASSERT_GT(used.size(), 20u) << "the scan found the program's texts";
    for (const std::wstring& key : used) {
        EXPECT_TRUE(english.count(key)) << "English.xml lacks: " << vesk::to_utf8(key);
        EXPECT_TRUE(italiano.count(key)) << "Italiano.xml lacks: " << vesk::to_utf8(key);
    }
}

TEST(LanguageFiles, ItalianKeepsWhatTheProgramGluesTogether) {
    const auto english = Read("English");
    const auto italiano = Read("Italiano");
    EXPECT_EQ(english.size(), italiano.size());
    for (const auto& [key, text] : english) {
        const std::string k = vesk::to_utf8(key);
        EXPECT_EQ(text, key) << "English is the program's own text: " << k;
        const auto it = italiano.find(key);
        ASSERT_NE(it, italiano.end()) << k;
        const std::wstring& it_text = it->second;
        ASSERT_FALSE(it_text.empty()) << k;
        EXPECT_EQ(key.front() == L' ', it_text.front() == L' ') << k;
        EXPECT_EQ(key.back() == L' ', it_text.back() == L' ') << k;
        for (const wchar_t* piece : {L"\r\n", L"%d", L"%s", L"%u"})
            EXPECT_EQ(Count(key, piece), Count(it_text, piece)) << k;
    }
}

}  // namespace
