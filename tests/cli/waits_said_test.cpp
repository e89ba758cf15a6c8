// The long waits said on the terminal: what each is for and a countdown in
// whole seconds on the bar's line, driven by the (here virtual) clock; nothing
// of it in JSON or through a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using vesk::test::LineDraws;
using vesk::test::Quote;
using vesk::test::RunTool;

// The draws that end in text, with the bar before it cut off.
std::vector<std::string> DrawsEndingIn(const std::vector<std::string>& draws, const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& d : draws)
        if (const size_t at = d.find(text); at != std::string::npos) out.push_back(d.substr(at));
    return out;
}

class WaitsSaid : public ::testing::Test {
protected:
    void SetUp() override {
        vesk::test::MakePellNetFolder(dir_);
        dir_.write("net.json", vesk::test::PellNet());
    }
    std::string Cli(const std::string& args) const {
        return "XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" + Quote(dir_.file("state")) +
               " " + VESK_CLI + " " + args + " --simulate " + Quote(dir_.file("net.json"));
    }
    // The command on a pseudo-terminal 80 columns wide: its typescript.
    std::string OnTerminal(const std::string& args, int expected_status = 0) const {
        const std::string typescript = dir_.file("typescript");
        const auto r = RunTool("script -qec " + Quote("stty cols 80 rows 30; " + Cli(args)) + " " +
                               Quote(typescript) + " >/dev/null");
        EXPECT_EQ(r.status, expected_status) << r.output;
        return vesk::test::read_file(typescript);
    }
    vesk::test::TempDir dir_;
};

TEST_F(WaitsSaid, TheNetRebuildCountsDownOnATerminalAndNowhereElse) {
    const std::vector<std::string> countdown = {
        "Waiting for the net to rebuild: 8 s", "Waiting for the net to rebuild: 7 s",
        "Waiting for the net to rebuild: 6 s", "Waiting for the net to rebuild: 5 s",
        "Waiting for the net to rebuild: 4 s", "Waiting for the net to rebuild: 3 s",
        "Waiting for the net to rebuild: 2 s", "Waiting for the net to rebuild: 1 s"};
    struct Case {
        const char* args;
        bool said;
    };
    const Case cases[] = {
        {"list", true},
        {"plan --folder upd", true},
        {"list --json", false},
        {"plan --json --folder upd", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string args = c.args;
        if (const size_t at = args.find("upd"); at != std::string::npos) args.replace(at, 3, Quote(dir_.file("upd")));
        const std::string typescript = OnTerminal(args);
        const std::vector<std::string> said = DrawsEndingIn(LineDraws(typescript), "Waiting for");
        if (!c.said) {
            EXPECT_TRUE(said.empty()) << typescript;
            continue;
        }
        // Every second once, in order; then the line is cleared for what follows.
        EXPECT_EQ(said, countdown) << typescript;
        const size_t last = typescript.rfind("Waiting for");
        EXPECT_NE(typescript.find("\r\033[K", last), std::string::npos) << typescript;
        EXPECT_NE(typescript.find("Pell DL Logger"), std::string::npos) << typescript;
    }
    // Through a pipe: the output alone.
    const auto piped = RunTool(Cli("list"));
    EXPECT_EQ(piped.status, 0) << piped.output;
    EXPECT_EQ(piped.output.find("Waiting"), std::string::npos) << piped.output;
    EXPECT_EQ(piped.output.find('\033'), std::string::npos) << piped.output;
}

TEST_F(WaitsSaid, AnUpdateSaysItsReconnectionsOnTheBarAndNamesThemInJson) {
    const std::string folder = " --folder " + Quote(dir_.file("upd"));
    const std::string typescript = OnTerminal("update --yes --no-backup" + folder);
    const std::vector<std::string> draws = LineDraws(typescript);
    // The master's reconnection after its switch to the booter: 4.4 s.
    const std::vector<std::string> reconnection = DrawsEndingIn(draws, "Waiting for Pell DL Logger 10: ");
    ASSERT_FALSE(reconnection.empty()) << typescript;
    EXPECT_EQ(reconnection.front(), "Waiting for Pell DL Logger 10: 5 s");
    for (const char* second : {"4 s", "3 s", "2 s", "1 s"})
        EXPECT_NE(std::find(reconnection.begin(), reconnection.end(), std::string("Waiting for Pell DL Logger 10: ") + second),
                  reconnection.end())
            << second << "\n" << typescript;
    // On the bar's line, after the bar.
    bool on_bar = false;
    for (const std::string& d : draws)
        on_bar = on_bar || (d.rfind("[", 0) == 0 && d.find("  Waiting for Pell DL Logger 10: ") != std::string::npos);
    EXPECT_TRUE(on_bar) << typescript;
    // Every draw fits 80 columns.
    for (const std::string& d : draws) EXPECT_LT(d.size(), 80u) << d;

    const auto json = RunTool(Cli("update --yes --no-backup --json" + folder) + " 2>/dev/null");
    EXPECT_EQ(json.status, 0) << json.output;
    bool named = false;
    for (const nlohmann::json& e : vesk::test::JsonEvents(json.output)) {
        if (e["event"] != "wait") continue;
        ASSERT_TRUE(e.contains("what")) << e;
        named = named || (e["what"] == "Pell DL Logger 10" && e["ms"] == 4400);
    }
    EXPECT_TRUE(named) << json.output;
    EXPECT_EQ(json.output.find("Waiting for"), std::string::npos);
}

}  // namespace
