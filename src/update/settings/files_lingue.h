#pragma once
// The language files ("<name>.xml" in the language folder), their flag
// images and the language the user chose.
#include <memory>
#include <string>
#include <vector>

class CGestoreIniLang;

struct CEntryLingua {
    std::wstring name;  // file name without its last extension
    std::wstring path;  // language folder joined with the file name
    std::wstring flag;  // "<name>.png", else "ND.png", else empty
};

class IFilesLingue {
public:
    virtual ~IFilesLingue() = default;
    // Reads "LANG_SCELTA"; when found it becomes the current and the selected language.
    virtual bool LoadChoice() = 0;
    // Records the selected language and saves the choice file.
    virtual bool SaveChoice() = 0;
    virtual const std::wstring& CurrentLanguage() const = 0;
    virtual const std::wstring& SelectedLanguage() const = 0;
    virtual void SetSelectedLanguage(const std::wstring& name) = 0;
    virtual const std::vector<CEntryLingua>& Languages() const = 0;
};

class CFilesLingue : public IFilesLingue {
public:
    // Both folders end in '/'; the choice file is settings_folder + "applang.ini".
    CFilesLingue(const std::wstring& language_folder, const std::wstring& settings_folder);
    ~CFilesLingue() override;
    CFilesLingue(const CFilesLingue&) = delete;
    CFilesLingue& operator=(const CFilesLingue&) = delete;

    bool LoadChoice() override;
    bool SaveChoice() override;
    const std::wstring& CurrentLanguage() const override { return current_; }
    const std::wstring& SelectedLanguage() const override { return selected_; }
    void SetSelectedLanguage(const std::wstring& name) override { selected_ = name; }
    const std::vector<CEntryLingua>& Languages() const override { return languages_; }

private:
    std::vector<CEntryLingua> languages_;
    std::wstring current_;
    std::wstring selected_;
    std::unique_ptr<CGestoreIniLang> choice_;
};
