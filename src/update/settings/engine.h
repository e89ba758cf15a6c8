#pragma once
// The process-wide string table: texts are looked up by their English
// wording; a text without a translation is shown as written.
#include <map>
#include <memory>
#include <string>
#include <vector>

class IStrConv;

class CEngine {
public:
    CEngine();
    virtual ~CEngine();
    CEngine(const CEngine&) = delete;
    CEngine& operator=(const CEngine&) = delete;

    // Reads a "resources" file of "string" elements; true when nothing was wrong.
    // Whatever was read stays in the table even when false.
    bool LeggiXML(const std::string& path);
    bool AddString(const std::string& key, const std::string& value);

    std::map<std::wstring, std::wstring> table;
    std::unique_ptr<IStrConv> conv;
    std::string folder;
    std::string language;
    std::string last_path;
    std::vector<std::string> errors;
};

namespace vesk {

// The translation of key, or key itself.
std::wstring Translate(const std::wstring& key);
// The same as characters; valid until the table changes (key itself when absent).
const wchar_t* TranslateC(const wchar_t* key);
// Each returns false when the value is unchanged; otherwise it is stored and,
// once both are set, the table is read again.
bool SetLanguageFolder(const std::string& folder);
bool SetLanguage(const std::string& language);
// Sets both, then reads folder + "/" + language + ".xml"; the reading's result.
bool SetLanguageFolderAndRead(const std::string& folder, const std::string& language);
// Marks a text that is translated later, where it is shown (a table of
// texts, a text handed to a helper that translates it), so that the check of
// the language files finds it.
constexpr const wchar_t* TextToTranslate(const wchar_t* text) { return text; }
// Reads the table again when both are set; false otherwise or on any problem.
bool RereadLanguage();
std::string LanguageFilePath();
std::string LanguageFolder();
std::string LanguageName();
std::vector<std::string> LanguageErrors();
// UTF-8 key and value; an empty value stands for the key; a known key gets the new value.
bool AddString(const std::string& key, const std::string& value);

}  // namespace vesk
