// The command-line conventions the programs share with their peers: -h and
// --help (also per command), -V and --version, --name=value, the program's own
// options anywhere, "--", and errors on standard error only.
#include <gtest/gtest.h>

#include <string>

#include "../support/temp_dir.h"
#include "run_tool.h"

namespace {

using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;
const std::string kSim = VESK_SIM;

enum class Stream { Out, Err };

struct Case {
    const char* name;
    std::string command;
    int status;
    Stream stream;      // where the text must be
    std::string text;   // empty: that stream must be empty
};

class Options : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("one.json", R"({"instruments": [{"code": 65, "serial": 0, "firmware": "46.03.00",
                                    "net_rebuild_ms": 0, "path": "usb:1-2"}]})");
        dir_.write("none.json", R"({"instruments": []})");
        dir_.mkdir("upd dir/_BOOTER");
        dir_.mkdir("upd dir/_ACCESSORI");
    }
    std::string File(const char* name) { return Quote(dir_.file(name)); }
    vesk::test::TempDir dir_;
};

TEST_F(Options, AsPeersHaveThem) {
    const std::string version = std::string(" ") + VESK_VERSION_TEXT + "\n";
    const std::string one = File("one.json"), folder = File("upd dir");
    const std::string planned = "No update files for this instrument in " + dir_.file("upd dir");
    const Case cases[] = {
        {"-h", kCli + " -h", 0, Stream::Out, "Usage: vesk-firmup-cli [OPTIONS] COMMAND"},
        {"--help", kCli + " --help", 0, Stream::Out, "-V, --version"},
        {"command -h", kCli + " plan -h", 0, Stream::Out, "usage: vesk-firmup-cli plan"},
        {"srec2bin --help", kCli + " srec2bin --help", 0, Stream::Out, "usage: vesk-firmup-cli srec2bin"},
        {"-V", kCli + " -V", 0, Stream::Out, "vesk-firmup-cli" + version},
        {"--version after the command", kCli + " list --version", 0, Stream::Out, "vesk-firmup-cli" + version},
        {"--name=value", kCli + " plan --simulate=" + one + " --folder=" + folder, 0, Stream::Out, planned},
        {"--verbose after the command", kCli + " plan --simulate " + one + " --folder " + folder + " --verbose", 0,
         Stream::Err, "INFO; = Master: Pell DL Logger"},
        {"-- then nothing", kCli + " plan --simulate " + one + " --folder " + folder + " --", 0, Stream::Out, planned},
        {"-- ends the options", kCli + " srec2bin --base 0 --size 16 -- --in --out", 1, Stream::Err, "--in"},
        {"unknown option", kCli + " --frobnicate", 2, Stream::Err, "unknown option --frobnicate"},
        {"unknown option: nothing on stdout", kCli + " --frobnicate", 2, Stream::Out, ""},
        {"no instrument on stderr", kCli + " plan --simulate " + File("none.json") + " --folder " + folder, 3,
         Stream::Err, "No gauge is connected to any USB port"},
        {"no instrument: nothing on stdout", kCli + " plan --simulate " + File("none.json") + " --folder " + folder,
         3, Stream::Out, ""},
        {"list: no instrument on stderr", kCli + " list --simulate " + File("none.json"), 0, Stream::Err,
         "no instruments found"},
        {"sim -h", kSim + " -h", 0, Stream::Out, "usage: vesk-sim COMMAND"},
        {"sim -V", kSim + " -V", 0, Stream::Out, "vesk-sim" + version},
        {"sim run --help", kSim + " run --help", 0, Stream::Out, "usage: vesk-sim run SCENARIO -- COMMAND"},
        {"sim run: command not found", kSim + " run " + one + " -- " + Quote(dir_.file("no such program")), 127,
         Stream::Err, "no such program"},
        {"sim run: command not runnable", kSim + " run " + one + " -- " + one, 126, Stream::Err, "one.json"},
        {"sim check -- SCENARIO", kSim + " check -- " + one, 0, Stream::Out, "1 instrument(s)"},
        {"sim check: -h after the scenario", kSim + " check " + one + " -h", 0, Stream::Out,
         "usage: vesk-sim check SCENARIO"},
        {"sim check: --version after the command", kSim + " check " + one + " --version", 0, Stream::Out,
         "vesk-sim" + version},
        {"sim check: unknown option", kSim + " check --frobnicate " + one, 2, Stream::Err,
         "unknown option --frobnicate"},
        {"sim check: unknown option, nothing on stdout", kSim + " check --frobnicate " + one, 2, Stream::Out, ""},
        {"sim unknown command", kSim + " frobnicate -h", 2, Stream::Err, "unknown command frobnicate"},
        {"sim run: -h before --", kSim + " run " + one + " -h -- true", 0, Stream::Out,
         "usage: vesk-sim run SCENARIO -- COMMAND"},
        {"sim run -- SCENARIO -- COMMAND", kSim + " run -- " + one + " -- echo served", 0, Stream::Out, "served"},
        {"sim run: -h after -- is the command's", kSim + " run " + one + " -- echo -h", 0, Stream::Out, "-h"},
        {"sim make-firmware --name=value",
         kSim + " make-firmware --base=0xFE0000 --size=0x400 --version=01.00.00 --out=" + File("fw.mhx") +
             " && test -s " + File("fw.mhx") + " && echo made",
         0, Stream::Out, "made"},
        {"sim run: --name=value after -- is the command's", kSim + " run " + one + " -- " + kCli +
             " plan --folder=" + folder, 0, Stream::Out, planned},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // One stream of the two (RunTool adds the other outside the parentheses).
        const auto r = RunTool("(" + c.command + (c.stream == Stream::Out ? " 2>/dev/null)" : " 2>&1 >/dev/null)"));
        EXPECT_EQ(r.status, c.status) << r.output;
        if (c.text.empty()) EXPECT_EQ(r.output, "");
        else EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
    }
}

#ifdef VESK_FIRMUP
TEST_F(Options, TheWindowProgram) {
    const Case cases[] = {
        {"-h", std::string(VESK_FIRMUP) + " -h", 0, Stream::Out, "usage: vesk-firmup"},
        {"-V", std::string(VESK_FIRMUP) + " -V", 0, Stream::Out, std::string("vesk-firmup ") + VESK_VERSION_TEXT},
        {"--version", std::string(VESK_FIRMUP) + " --version", 0, Stream::Out,
         std::string("vesk-firmup ") + VESK_VERSION_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = RunTool("env -u DISPLAY -u WAYLAND_DISPLAY " + c.command + " 2>/dev/null");
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
    }
}
#endif

}  // namespace
