// libFuzzer target: the settings reader on arbitrary file contents, through
// the settings file the program keeps ("applang.ini"). A file that is not a
// settings file is deleted; otherwise its sections survive a write and a save,
// and the written language reads back.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/settings/gestore_ini.h"
#include "update/settings/gestore_ini_lang.h"
#include "common/clock.h"
#include "common/str_conv.h"
#include "fuzz_file.h"
#include "log/evt_log.h"

namespace {

std::string g_path;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    // Preparing a settings file whose folder is missing waits a little after
    // creating folders: on a virtual clock that costs nothing.
    static vesk::VirtualClock clock;
    static vesk::ScopedClock scope(clock);
    g_path = vesk::fuzz::TempPath("settings", "-applang.ini");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::fuzz::WriteFile(g_path, data, size);
    const std::wstring path = vesk::from_utf8(g_path);
    std::wstring chosen;
    bool had_choice = false;
    {
        CGestoreIniLang lang(path);
        had_choice = lang.ReadLanguage(chosen);
    }
    CGestoreIni ini;
    if (!ini.SetFile(path)) std::abort();
    const bool kept = Exists(g_path);
    std::vector<std::wstring> ids;
    ini.SectionIds(L"LINGUE", ids);
    // Only a settings file is kept, and only a kept file can hold a choice.
    if (had_choice && !kept) std::abort();
    for (const auto& id : ids) {
        ini.SetSection(L"LINGUE", id);
        std::wstring text;
        int32_t number = 0;
        double real = 0;
        bool flag = false;
        ini.ReadText(L"LANG_SCELTA", text);
        ini.ReadInt(L"LANG_SCELTA", number);
        ini.ReadDouble(L"LANG_SCELTA", real);
        ini.ReadBool(L"LANG_SCELTA", flag);
    }
    ini.SetSection(L"LINGUE", L"0");
    ini.WriteText(L"LANG_SCELTA", L"Fuzz");
    std::vector<std::wstring> before;
    ini.SectionIds(L"LINGUE", before);
    if (!ini.Save()) std::abort();

    CGestoreIniLang reread(path);
    std::wstring name;
    if (!reread.ReadLanguage(name) || name != L"Fuzz") std::abort();
    CGestoreIni check;
    if (!check.SetFile(path)) std::abort();
    std::vector<std::wstring> after;
    check.SectionIds(L"LINGUE", after);
    if (after != before) std::abort();
    ::unlink(g_path.c_str());
    return 0;
}
