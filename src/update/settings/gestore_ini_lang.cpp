#include "update/settings/gestore_ini_lang.h"

#include "common/exe_path_name.h"

namespace {
const wchar_t* const kSection = L"LINGUE";
const wchar_t* const kSectionId = L"0";
const wchar_t* const kKey = L"LANG_SCELTA";
}  // namespace

CGestoreIniLang::CGestoreIniLang(const std::wstring& path) : ini_(std::make_unique<CGestoreIni>()) {
    ini_->SetFile(path);
}

CGestoreIniLang::~CGestoreIniLang() = default;

bool CGestoreIniLang::Save() { return ini_->Save(); }

bool CGestoreIniLang::ReadLanguage(std::wstring& out) {
    ini_->SetSection(kSection, kSectionId);
    return ini_->ReadText(kKey, out);
}

void CGestoreIniLang::WriteLanguage(const std::wstring& name) {
    ini_->SetSection(kSection, kSectionId);
    ini_->WriteText(kKey, name);
}

namespace vesk {
std::wstring ini_folder(const std::wstring& program_folder) {
    return writable_folder(program_folder, L"user/") + L"ini/";
}
}  // namespace vesk
