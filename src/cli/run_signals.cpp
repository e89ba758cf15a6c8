#include "run_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "log/evt_log.h"
#include "update/stop_request.h"

namespace vesk::cli {

namespace {

const char* kSignals = "Signals";
constexpr auto kAtOnceWithin = std::chrono::seconds(5);
constexpr int kAtOnceCount = 3;

std::atomic<bool> g_running{false};
std::atomic<bool> g_bench{false};
std::atomic<bool> g_stoppable_wait{false};
int g_wake[2] = {-1, -1};
std::atomic<bool> g_bar{false};
std::atomic<bool> g_terminal_gone{false};

sigset_t Watched() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Straight to the descriptor: the main thread may be in the middle of a
// buffered line.
void Say(const std::string& text) {
    std::string out = g_bar.load() ? "\r\033[K" : "";
    out += text + "\n";
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
}

std::string UnitText() {
    const uint32_t unit = vesk::update::UnitWritten();
    return unit == 0 ? std::string("the instrument") : "unit " + std::to_string(unit);
}

// The default action, as if nobody had watched: the process ends by the signal.
[[noreturn]] void EndBy(int sig) {
    if (g_bar.load() && !g_terminal_gone.load()) (void)!::write(STDERR_FILENO, "\r\033[K", 4);
    ::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

// Output to a terminal that is gone would fail or stop the process: it goes
// nowhere from now on. Files and pipes keep theirs.
void DropTerminal() {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (::isatty(fd)) ::dup2(null_fd, fd);
    ::close(null_fd);
    g_terminal_gone.store(true);
}

void Watch() {
    const sigset_t set = Watched();
    std::chrono::steady_clock::time_point first{};
    int count = 0;
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) != 0) continue;
        const bool between_runs = !g_running.load();
        if (between_runs && !g_bench.load() && !g_stoppable_wait.load()) {
            VLOG_INFO(kSignals, "Signal %d: ending", sig);
            EndBy(sig);
        }
        if (sig == SIGHUP) {
            VLOG_INFO(kSignals, "The terminal went away (SIGHUP): the run goes on, its output only in the log");
            DropTerminal();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (count == 0 || now - first > kAtOnceWithin) {
            first = now;
            count = 0;
        }
        ++count;
        if (count >= kAtOnceCount) {
            // Every slave goes to its booter before the first is written: any may be left there.
            const std::string text = !vesk::update::UnitMayBeInBooter() ? std::string("Stopped at once")
                                     : vesk::update::WritingASlave()
                                         ? "Stopped at once: the slaves may be left in their booter (" + UnitText() +
                                               " was being written); the next update recovers them"
                                         : "Stopped at once: " + UnitText() + " is left in its booter";
            VLOG_ERROR(kSignals, "Signal %d: %s", sig, text.c_str());
            Say(text);
            ::_exit(128 + sig);
        }
        if (!vesk::update::StopRequested()) {
            vesk::update::RequestStop(sig);
            if (g_wake[1] >= 0) (void)!::write(g_wake[1], "s", 1);
            const std::string text = between_runs ? std::string("Stopping: no instrument is being written")
                                                  : "Stopping after " + UnitText() +
                                                        " is back in its firmware; press Ctrl-C twice more to stop at once";
            VLOG_INFO(kSignals, "Signal %d: %s", sig, text.c_str());
            Say(text);
        } else {
            VLOG_INFO(kSignals, "Signal %d: the run is stopping already", sig);
            Say("Stopping already; press Ctrl-C once more to stop at once");
        }
    }
}

}  // namespace

void WatchSignals() {
    const sigset_t set = Watched();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    std::thread(Watch).detach();
}

void SetRunGoingOn(bool going_on) { g_running.store(going_on); }
void SetBenchGoingOn(bool going_on) { g_bench.store(going_on); }
void SetStoppableWait(bool going_on) { g_stoppable_wait.store(going_on); }
int StopWakeFd() { return g_wake[0]; }
void SetBarShown(bool shown) { g_bar.store(shown); }

int StoppedRunStatus() {
    const int reason = vesk::update::StopReason();
    return reason > 0 ? 128 + reason : -1;
}

}  // namespace vesk::cli
