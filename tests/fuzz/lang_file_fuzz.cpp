// libFuzzer target: the language-file reader on arbitrary file contents,
// through the string table's public entry point and through CEngine itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "update/settings/engine.h"
#include "fuzz_file.h"
#include "log/evt_log.h"

namespace {

const wchar_t* const kGauges = L"%d gauges are connected to USB ports. Only one can be connected.";
const wchar_t* const kSlaves = L"To run the Vesk firmup you have to %d slaves ";

std::string g_folder;
std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vesk::set_log_console(nullptr);
    g_folder = vesk::fuzz::TempPath("lang", "");
    ::mkdir(g_folder.c_str(), 0700);
    g_path = g_folder + "/fuzz.xml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::fuzz::WriteFile(g_path, data, size);

    const bool read = vesk::SetLanguageFolderAndRead(g_folder, "fuzz");
    if (read != vesk::LanguageErrors().empty()) std::abort();
    // A text always translates to something.
    if (vesk::Translate(L"Exit").empty()) std::abort();
    // The texts the program formats, with the arguments it gives them:
    // whatever conversions the file puts in their translations, formatting
    // reads what was given and nothing else.
    wchar_t text[160];
    std::swprintf(text, 160, vesk::Translate(kGauges).c_str(), 2);
    std::swprintf(text, 160, vesk::Translate(kSlaves).c_str(), 3);

    CEngine engine;
    const bool clean = engine.LeggiXML(g_path);
    // A clean reading has no problems recorded; every problem is recorded.
    if (clean != engine.errors.empty() || clean != read) std::abort();
    for (const auto& [key, value] : engine.table) {
        // A translation is never empty: an empty one stands for its key.
        if (value.empty() && !key.empty()) std::abort();
    }
    ::unlink(g_path.c_str());
    return 0;
}
