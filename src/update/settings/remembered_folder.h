#pragma once
// The main folder the user picked with the window's "Folder..." button,
// kept in a settings file of the settings folder ("MAIN_FOLDER" in the
// section "CARTELLE" / "0"). "UseFolder(DIR)AsMain" on the command line
// still wins over it.
#include <optional>
#include <string>

namespace vesk {

// The settings file of the folder choice, in the settings folder (ending in '/').
std::wstring FolderSettingsFile(const std::wstring& ini_folder);
// None when nothing was picked (or the file cannot be read).
std::optional<std::wstring> ReadRememberedFolder(const std::wstring& settings_file);
// False (and one log line) when the file could not be written.
bool RememberFolder(const std::wstring& settings_file, const std::wstring& folder);

}  // namespace vesk
