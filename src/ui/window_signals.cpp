#include "ui/window_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "log/evt_log.h"

namespace {

// One pair for the process: a handler may only write to a descriptor.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[2];
constexpr int kSignals[2] = {SIGINT, SIGTERM};

void Handler(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe drops the signal: the window has plenty of them to read already.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

CWindowSignals::CWindowSignals(std::function<void(int)> on_signal, QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        VLOG_ERROR("CWindowSignals", "Signals are not watched: SIGINT and SIGTERM end the program at once");
        return;
    }
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
    for (int i = 0; i < 2; ++i) {
        struct sigaction sa {};
        sa.sa_handler = Handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &sa, &g_previous[i]);
    }
}

CWindowSignals::~CWindowSignals() {
    if (!notifier_) return;
    for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
    delete notifier_;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void CWindowSignals::Drain() {
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) on_signal_(byte);
}
