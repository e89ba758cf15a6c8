// Two real vesk-firmup processes: the second start hands over to the first
// (which brings its window forward) and ends without a window of its own.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "app/instance_channel.h"
#include "usb/vesk_semafori.h"

extern char** environ;

namespace {

// A child whose standard output the test reads.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    bool Started() const { return pid_ > 0; }

    // Reads the output until it holds text; false when the child closed it
    // first, or after timeout_ms without any output at all.
    bool ReadUntil(const std::string& text, int timeout_ms = 60000) {
        while (output_.find(text) == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) return false;
            char buf[4096];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) return false;
            output_.append(buf, size_t(n));
        }
        return true;
    }
    // The exit status, once it ended.
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        ReadUntil("\x01");  // the rest of the output
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

TEST(SingleInstance, SecondStartActivatesTheFirstAndEnds) {
    vesk::test::TempDir runtime, home;
    home.write("scenario.json", R"({"instruments": [{"code": 19, "serial": 7, "firmware": "01.07.09"}]})");
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VESK_SIMULATE", home.file("scenario.json").c_str(), 1);
    ::setenv("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0", 1);
    const std::string folder = "UseFolder(" + home.path() + ")AsMain";

    Child first({VESK_FIRMUP, folder});
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(first.ReadUntil("INFO; = No update files for this instrument in " + home.path())) << first.Output();

    const std::string lock_path = CVeskSemafori().LockPath(2);
    const std::string chi = vesk::instance::SocketName(vesk::instance::kChiBlocca, lock_path);
    EXPECT_EQ(vesk::instance::Ask(chi, "CHI_BLOCCA 2"), 2L) << "the first holds the single-instance lock";
    EXPECT_EQ(vesk::instance::Ask(chi, "CHI_BLOCCA 1"), 0L);

    Child second({VESK_FIRMUP, folder});
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(second.Output().find("Please wait..."), std::string::npos) << "no window, no refresh:\n"
                                                                           << second.Output();
    EXPECT_TRUE(first.ReadUntil("window brought forward")) << first.Output();
}

}  // namespace
