#include "update/settings/remembered_folder.h"

#include "update/settings/gestore_ini.h"
#include "common/file_system.h"
#include "log/evt_log.h"

namespace vesk {

namespace {
const wchar_t* const kSection = L"CARTELLE";
const wchar_t* const kSectionId = L"0";
const wchar_t* const kKey = L"MAIN_FOLDER";
}  // namespace

std::wstring FolderSettingsFile(const std::wstring& ini_folder) { return ini_folder + L"firmup.ini"; }

std::optional<std::wstring> ReadRememberedFolder(const std::wstring& settings_file) {
    // Nothing is made when nothing was kept.
    if (!FS().IsFile(settings_file)) return std::nullopt;
    CGestoreIni ini;
    if (!ini.SetFile(settings_file)) return std::nullopt;
    ini.SetSection(kSection, kSectionId);
    std::wstring folder;
    if (!ini.ReadText(kKey, folder) || folder.empty()) return std::nullopt;
    return folder;
}

bool RememberFolder(const std::wstring& settings_file, const std::wstring& folder) {
    // The settings file cannot hold them: the next start would read another folder.
    for (wchar_t ch : folder)
        if (ch < 0x20 || ch == 0x7F) {
            VLOG_ERROR("RememberFolder", "The folder picked is not kept: its name holds control characters");
            return false;
        }
    CGestoreIni ini;
    ini.SetFile(settings_file);
    ini.SetSection(kSection, kSectionId);
    ini.WriteText(kKey, folder);
    if (ini.Save()) return true;
    VLOG_ERROR("RememberFolder", "The folder picked is not kept: the settings file cannot be written");
    return false;
}

}  // namespace vesk
