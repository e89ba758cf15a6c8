// The start-up options of the command line and the main folder they choose.
#include <gtest/gtest.h>

#include <string>

#include "update/settings/start_options.h"

namespace {

TEST(StartOptions, MatchedAnywhereInTheCommandLine) {
    const std::wstring program = L"/opt/vesk/";
    struct Case {
        std::wstring line;
        std::wstring folder;
        bool autostart, debug, advanced;
        bool rehearse = false;
    } cases[] = {
        {L"/opt/vesk/vesk-firmup", program, false, false, false},
        {L"/opt/vesk/vesk-firmup Autostart Debug_mode ADVANCED", program, true, true, true},
        {L"/opt/vesk/vesk-firmup Autostart Rehearse", program, true, false, false, true},
        {L"/opt/vesk/vesk-firmup rehearse", program, false, false, false, false},
        {L"/opt/vesk/vesk-firmup xAutostartDebug_modey", program, true, true, false},
        {L"/opt/vesk/vesk-firmup autostart advanced", program, false, false, false},
        {L"/opt/vesk/vesk-firmup UseFolder(/media/fw/)AsMain", L"/media/fw/", false, false, false},
        {L"/opt/vesk/vesk-firmup UseFolder(/my files)AsMain ADVANCED", L"/my files", false, false, true},
        // Up to the first ")AsMain" after the opening, verbatim.
        {L"x UseFolder(a)AsMain)AsMain", L"a", false, false, false},
        {L"x UseFolder(C:\\fw)AsMainAutostart", L"C:\\fw", true, false, false},
        {L"x UseFolder()AsMain", program, false, false, false},
        {L"x UseFolder(/fw", program, false, false, false},
        {L"x )AsMain UseFolder(/fw", program, false, false, false},
    };
    for (const Case& c : cases) {
        const vesk::StartOptions o = vesk::ParseStartOptions(c.line, program);
        EXPECT_EQ(o.main_folder, c.folder) << std::string(c.line.begin(), c.line.end());
        EXPECT_EQ(o.autostart, c.autostart);
        EXPECT_EQ(o.debug_mode, c.debug);
        EXPECT_EQ(o.advanced, c.advanced);
        EXPECT_EQ(o.rehearse, c.rehearse);
    }
}

TEST(StartOptions, JoinCommandLine) {
    const char* argv[] = {"/opt/vesk/vesk-firmup", "UseFolder(/a", "b)AsMain", "Autostart"};
    const std::wstring line = vesk::JoinCommandLine(4, argv);
    EXPECT_EQ(line, L"/opt/vesk/vesk-firmup UseFolder(/a b)AsMain Autostart");
    EXPECT_EQ(vesk::ParseStartOptions(line, L"/").main_folder, L"/a b");
}

}  // namespace
