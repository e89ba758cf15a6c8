// The update run holds logind's inhibitor lock: a mock logind on a bus of the
// test's own (dbus-daemon --session, handed to the tool as its system bus)
// hands out one end of a pipe, and sees the tool close it when it ends.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/mock_logind.h"
#include "../support/temp_dir.h"
#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using vesk::test::MockLogind;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

class Inhibitor : public ::testing::Test {
protected:
    void SetUp() override { vesk::test::MakePellNetFolder(dir_); }
    vesk::test::ToolResult Update(const std::string& bus) {
        dir_.write("net.json", vesk::test::PellNet());
        return RunTool("DBUS_SYSTEM_BUS_ADDRESS=" + Quote(bus) + " XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) +
                       " XDG_STATE_HOME=" + Quote(dir_.file("state")) + " " + kCli +
                       " --verbose update --yes --no-backup --simulate " + Quote(dir_.file("net.json")) +
                       " --folder " + Quote(dir_.file("upd")) + " < /dev/null");
    }
    vesk::test::TempDir dir_;
};

TEST_F(Inhibitor, TakenForTheRunAndReleasedWhenItEnds) {
    MockLogind logind;
    ASSERT_TRUE(logind.ready()) << "no private bus: " << logind.address();
    const auto r = Update(logind.address());
    EXPECT_EQ(r.status, 0) << r.output;
    const auto calls = logind.calls();
    ASSERT_EQ(calls.size(), 1u) << r.output;
    EXPECT_EQ(calls[0].args, MockLogind::UpdateArgs());
    // The tool has ended: its end of the pipe is closed, the lock released.
    EXPECT_TRUE(MockLogind::Released(calls[0]));
    const size_t taken = r.output.find("Inhibitor lock taken");
    const size_t first_write = r.output.find("Start write firmware");
    const size_t released = r.output.find("Inhibitor lock released");
    ASSERT_NE(taken, std::string::npos) << r.output;
    EXPECT_LT(taken, first_write);
    EXPECT_GT(released, r.output.find("Firmup finished"));
}

TEST_F(Inhibitor, WithoutLogindTheRunGoesOnWithOneLogLine) {
    const auto r = Update("unix:path=" + dir_.file("no-bus"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("No inhibitor lock"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Inhibitor lock taken"), std::string::npos) << r.output;
}

}  // namespace
