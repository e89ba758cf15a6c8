#pragma once
// The start-up options of the command line and the main folder they choose.
#include <string>

namespace vesk {

struct StartOptions {
    // The folder of the update files: the program folder, or the one of "UseFolder(...)AsMain".
    std::wstring main_folder;
    bool autostart = false;   // "Autostart"
    bool debug_mode = false;  // "Debug_mode"
    bool advanced = false;    // "ADVANCED"
    bool rehearse = false;    // "Rehearse": every run first on a simulated copy of the instrument
};

// Each option counts when its text occurs anywhere in command_line (the
// program path and arguments joined with spaces), letter case included.
// "UseFolder(" path ")AsMain" takes the text up to the first ")AsMain" after
// it, verbatim; it is ignored without ")AsMain" or with an empty path.
StartOptions ParseStartOptions(const std::wstring& command_line, const std::wstring& program_folder);

// The program path and arguments as one line, joined with spaces.
std::wstring JoinCommandLine(int argc, const char* const* argv);

}  // namespace vesk
