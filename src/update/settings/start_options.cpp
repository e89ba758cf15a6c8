#include "update/settings/start_options.h"

#include "common/str_conv.h"

namespace vesk {

StartOptions ParseStartOptions(const std::wstring& command_line, const std::wstring& program_folder) {
    StartOptions o;
    o.main_folder = program_folder;
    auto has = [&](const wchar_t* option) { return command_line.find(option) != std::wstring::npos; };
    o.autostart = has(L"Autostart");
    o.debug_mode = has(L"Debug_mode");
    o.advanced = has(L"ADVANCED");
    o.rehearse = has(L"Rehearse");
    static const std::wstring kOpen = L"UseFolder(", kClose = L")AsMain";
    if (const size_t open = command_line.find(kOpen); open != std::wstring::npos) {
        const size_t start = open + kOpen.size();
        const size_t close = command_line.find(kClose, start);
        if (close != std::wstring::npos && close > start) o.main_folder = command_line.substr(start, close - start);
    }
    return o;
}

std::wstring JoinCommandLine(int argc, const char* const* argv) {
    std::wstring line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += L' ';
        line += from_utf8(argv[i] ? argv[i] : "");
    }
    return line;
}

}  // namespace vesk
