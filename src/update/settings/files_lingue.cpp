#include "update/settings/files_lingue.h"

#include <new>

#include "update/settings/gestore_ini_lang.h"
#include "common/file_system.h"
#include "common/path_file.h"

CFilesLingue::CFilesLingue(const std::wstring& language_folder,
                           const std::wstring& settings_folder) {
    FS fs;
    CPathFile pf;
    std::vector<std::wstring> files;
    fs.ListFiles(language_folder, files, L"*.xml");
    for (const auto& file : files) {
        // The listing ignores case, but the string table opens "<name>.xml":
        // on a case-sensitive file system any other spelling would not be found.
        if (pf.Extension(file) != L"xml") continue;
        CEntryLingua entry;
        entry.name = pf.Title(file);
        entry.path = pf.Join(language_folder, file);
        const std::wstring own = pf.Join(language_folder, entry.name + L".png");
        const std::wstring fallback = pf.Join(language_folder, L"ND.png");
        if (fs.IsFile(own)) {
            entry.flag = own;
        } else if (fs.IsFile(fallback)) {
            entry.flag = fallback;
        }
        languages_.push_back(std::move(entry));
    }

    std::wstring chosen = L"English";
    bool has_english = false;
    for (const auto& l : languages_) has_english = has_english || l.name == L"English";
    if (!has_english && !languages_.empty()) chosen = languages_.front().name;
    current_ = selected_ = chosen;

    choice_.reset(new (std::nothrow) CGestoreIniLang(settings_folder + L"applang.ini"));
    if (choice_) LoadChoice();
}

CFilesLingue::~CFilesLingue() = default;

bool CFilesLingue::LoadChoice() {
    std::wstring name;
    if (!choice_ || !choice_->ReadLanguage(name)) return false;
    current_ = selected_ = name;
    return true;
}

bool CFilesLingue::SaveChoice() {
    if (!choice_) return false;
    choice_->WriteLanguage(selected_);
    return choice_->Save();
}
