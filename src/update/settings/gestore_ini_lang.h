#pragma once
// "applang.ini": the language the user chose, as "LANG_SCELTA" in the
// section "LINGUE" / "0".
#include <memory>
#include <string>

#include "update/settings/gestore_ini.h"

class IGestoreIniLang {
public:
    virtual ~IGestoreIniLang() = default;
    virtual bool Save() = 0;
    virtual bool ReadLanguage(std::wstring& out) = 0;
    virtual void WriteLanguage(const std::wstring& name) = 0;
};

class CGestoreIniLang : public IGestoreIniLang {
public:
    // Opens (or prepares) the file at path; a failure leaves an object whose
    // reads find nothing and whose Save writes nothing.
    explicit CGestoreIniLang(const std::wstring& path);
    ~CGestoreIniLang() override;

    bool Save() override;
    bool ReadLanguage(std::wstring& out) override;
    void WriteLanguage(const std::wstring& name) override;

private:
    std::unique_ptr<CGestoreIni> ini_;
};

namespace vesk {
// "user/ini/" of a program folder (ending in '/'): inside the program folder
// when that is writable, otherwise in the per-user configuration folder.
std::wstring ini_folder(const std::wstring& program_folder);
}  // namespace vesk
