// The window's thread while the worker reads and writes: a timer on that
// thread notes how late each of its ticks came, during the first refresh, a
// device-change refresh and a whole update run of the scenario given, at the
// scenario's own time scale. Prints the worst lateness of each phase and of
// all, "max N ms".
//
//   window_latency REFRESH_SCENARIO RUN_SCENARIO FOLDER
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "simulation/simulated_instruments.h"
#include "sim/sim_bus.h"
#include "ui/simulated_devices.h"
#include "ui/vesk_firmware_updater_dlg.h"
#include "usb/vesk_semafori.h"

namespace {

constexpr int kTickMs = 5;

// A timer that should fire every kTickMs: how late the latest tick came.
class LatenessProbe {
public:
    LatenessProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            worst_ = std::max(worst_, now - last_ - kTickMs);
            last_ = now;
        });
        clock_.start();
        timer_.start();
    }
    // Starts a phase: the worst lateness so far is forgotten.
    void Reset() {
        last_ = clock_.elapsed();
        worst_ = 0;
    }
    qint64 Worst() const { return worst_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
};

void Until(CVESKFirmwareUpdaterDlg& w, bool (*done)(CVESKFirmwareUpdaterDlg&)) {
    while (!done(w)) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// With VESK_BENCH_SLOW_MS=N every event that the window's thread took N ms
// or more to deliver is printed on standard error (its type, its receiver),
// so that a worst lateness can be traced to what held the thread.
class TimedApplication : public QApplication {
public:
    TimedApplication(int& argc, char** argv) : QApplication(argc, argv) {
        if (const char* slow = std::getenv("VESK_BENCH_SLOW_MS")) slow_ms_ = std::atoi(slow);
    }
    bool notify(QObject* receiver, QEvent* event) override {
        if (slow_ms_ <= 0) return QApplication::notify(receiver, event);
        QElapsedTimer t;
        t.start();
        const int type = event->type();
        const bool result = QApplication::notify(receiver, event);
        const qint64 ms = t.elapsed();
        if (ms >= slow_ms_)
            std::fprintf(stderr, "slow event: %lld ms, type %d, to %s \"%s\"\n", static_cast<long long>(ms), type,
                         receiver->metaObject()->className(), receiver->objectName().toUtf8().constData());
        return result;
    }

private:
    int slow_ms_ = 0;
};

// One window over a scenario's instruments, its first refresh measured.
struct Window {
    std::unique_ptr<vesk::CSimulatedInstruments> simulated;
    CVeskSemafori locks;
    std::unique_ptr<CVESKFirmwareUpdaterDlg> dialog;

    // probe is reset once the window is shown: its creation is not a refresh.
    bool Open(const char* scenario, const char* folder, LatenessProbe& probe) {
        std::string error;
        simulated = vesk::CSimulatedInstruments::Load(scenario, error);
        if (!simulated) {
            std::fprintf(stderr, "window_latency: %s\n", error.c_str());
            return false;
        }
        const WindowDevices devices =
            SimulatedDevices(simulated->Bus(), simulated->Virtual(), CVESKFirmwareUpdaterDlg::kBusTickMs);
        CVESKFirmwareUpdaterDlg::Options options;
        options.args.main_folder = std::wstring(folder, folder + std::char_traits<char>::length(folder));
        options.args.title = L"window latency";
        options.sources = devices.sources;
        options.locks = &locks;
        options.bus_tick = devices.bus_tick;
        options.track_activation = false;
        dialog = std::make_unique<CVESKFirmwareUpdaterDlg>(options);
        if (!dialog->Create()) return false;
        dialog->show();
        dialog->OnActivateApp(true);
        QCoreApplication::processEvents();
        probe.Reset();
        // The first refresh, 50 ms after creation.
        Until(*dialog, [](CVESKFirmwareUpdaterDlg& w) {
            return w.Procedure().LastRefresh() != CUpdateProcedure::RefreshOutcome::NotRun && !w.WorkerBusy();
        });
        return true;
    }
    ~Window() {
        dialog.reset();
        if (simulated) simulated->Bus().set_presence_observer(nullptr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: window_latency REFRESH_SCENARIO RUN_SCENARIO FOLDER\n");
        return 2;
    }
    TimedApplication app(argc, argv);
    LatenessProbe probe;
    qint64 worst = 0;
    auto phase = [&](const char* name) {
        worst = std::max(worst, probe.Worst());
        std::printf("%s: max %lld ms\n", name, static_cast<long long>(probe.Worst()));
        std::fflush(stdout);
        probe.Reset();
    };

    // The refreshes of the scenario given for them.
    {
        Window w;
        if (!w.Open(argv[1], argv[3], probe)) return 1;
        phase("first refresh");
        w.dialog->OnDevice0101(true, L"");
        Until(*w.dialog, [](CVESKFirmwareUpdaterDlg& d) { return !d.WorkerBusy(); });
        phase("device-change refresh");
    }

    // A whole run of the other, from its first refresh to the window's last.
    Window w;
    if (!w.Open(argv[2], argv[3], probe)) return 1;
    if (!w.dialog->ExecuteButton()->isEnabled()) {
        std::fprintf(stderr, "window_latency: the plan has nothing to write: %s\n",
                     w.dialog->StatusField()->text().toUtf8().constData());
        return 1;
    }
    w.dialog->OnBnClickedButtonUpdate();
    Until(*w.dialog, [](CVESKFirmwareUpdaterDlg& d) { return !d.WorkerBusy(); });
    phase("update run");
    const bool finished = w.dialog->Procedure().LastRun().outcome == CUpdateProcedure::RunOutcome::Finished;
    std::printf("run: %s\nmax %lld ms\n", finished ? "finished" : "did not finish", static_cast<long long>(worst));
    return finished ? 0 : 1;
}
