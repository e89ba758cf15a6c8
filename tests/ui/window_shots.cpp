// Takes the README's pictures of the window, on the display Qt is given
// (the screenshot script runs it under Xvfb): the plan, a run in progress,
// the end of the run with its summary, advanced mode, and the plan on a dark
// theme. The instruments are simulated and the run's waits pass on a
// virtual clock; the window's own timers run in real time.
// usage: vesk_window_shots UPDATE_FOLDER SCENARIO.json OUTPUT_FOLDER
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyleFactory>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "common/clock.h"
#include "sim/sim_bus.h"
#include "sim/sim_scenario.h"
#include "ui/qt_text.h"
#include "ui/run_summary_panel.h"
#include "ui/simulated_devices.h"
#include "ui/vesk_firmware_updater_dlg.h"
#include "usb/backend/usb_backend.h"
#include "usb/vesk_semafori.h"

namespace {

using Dlg = CVESKFirmwareUpdaterDlg;

struct Shots {
    std::string folder, scenario, out, locks;
};

// settle: let pending events (layouts, paints) through first; never in the
// middle of a run, whose queued calls would all go through with them.
bool Save(QWidget& w, const std::string& out, const char* name, bool settle = true) {
    if (settle) QCoreApplication::processEvents();
    const std::string path = out + "/" + name;
    if (!w.grab().save(QString::fromStdString(path), "PNG")) {
        std::fprintf(stderr, "vesk_window_shots: cannot save %s\n", path.c_str());
        return false;
    }
    std::printf("%s\n", path.c_str());
    return true;
}

bool Until(const std::function<bool()>& done) {
    for (int i = 0; i < 2000000 && !done(); ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// Grabs the window once, between two of the worker's calls, when ready() holds.
class GrabDuring : public QObject {
public:
    GrabDuring(Dlg& w, std::function<bool()> ready, std::function<void()> grab)
        : w_(w), ready_(std::move(ready)), grab_(std::move(grab)) {
        w_.installEventFilter(this);
    }
    ~GrabDuring() override { w_.removeEventFilter(this); }
    bool done = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (!done && event->type() == QEvent::MetaCall && ready_()) {
            done = true;
            grab_();
        }
        return false;
    }

private:
    Dlg& w_;
    std::function<bool()> ready_;
    std::function<void()> grab_;
};

// One window over a fresh simulated bus; shoot does the rest.
bool WithWindow(const Shots& s, const std::function<bool(Dlg&)>& shoot) {
    std::ifstream in(s.scenario);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto bus = vesk::sim::BusFromJson(text.str(), &error);
    if (!bus) {
        std::fprintf(stderr, "vesk_window_shots: %s\n", error.c_str());
        return false;
    }
    vesk::usb::ScopedBackend backend(*bus);
    WindowDevices devices = SimulatedDevices(*bus, nullptr, Dlg::kBusTickMs);
    CVeskSemafori locks(CVeskSemafori::Place{s.locks, true, L"shots", L"shots"});
    Dlg::Options options;
    options.args.main_folder = QString::fromStdString(s.folder).toStdWString();
    options.args.advanced = true;
    options.args.title = L"Vesk Firmup";
    options.sources = devices.sources;
    options.locks = &locks;
    options.bus_tick = devices.bus_tick;
    options.track_activation = false;
    bool ok = false;
    {
        Dlg window(options);
        if (!window.Create()) return false;
        window.show();
        // The plan is shown once the status says what Execute would do.
        ok = Until([&] { return window.ExecuteButton()->isEnabled(); }) && shoot(window);
    }
    bus->set_presence_observer(nullptr);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: vesk_window_shots UPDATE_FOLDER SCENARIO.json OUTPUT_FOLDER\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    const QPalette light = QApplication::palette();
    vesk::VirtualClock clock;
    vesk::ScopedClock scoped_clock(clock);
    // The locks in the runtime folder the script made, never in the output
    // folder (the tree's docs/).
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) {
        std::fprintf(stderr, "vesk_window_shots: XDG_RUNTIME_DIR must name a private folder for the locks\n");
        return 2;
    }
    const Shots s{argv[1], argv[2], argv[3], runtime};

    const bool first = WithWindow(s, [&](Dlg& w) {
        if (!Save(w, s.out, "window.png")) return false;
        // While a slave's write is on the wait bar.
        GrabDuring during(
            w,
            [&] {
                const QString wait = w.WaitBar()->text();
                return w.OverallBar()->value() > 0 && (wait.startsWith("Firmware to Display") || wait.startsWith("Booter to"));
            },
            [&] { Save(w, s.out, "window-run.png", false); });
        w.OnBnClickedButtonUpdate();
        if (!Until([&] { return !w.WorkerBusy(); }) || !during.done) return false;
        if (!Save(w, s.out, "window-summary.png")) return false;
        w.RunSummary()->CloseButton()->click();
        return true;
    });
    const bool advanced = first && WithWindow(s, [&](Dlg& w) {
        w.AdvancedButton()->click();
        QTreeWidget* list = w.DeviceList();
        if (list->topLevelItemCount() > 1) list->setCurrentItem(list->topLevelItem(1));
        return Save(w, s.out, "window-advanced.png");
    });
    QPalette dark = light;
    for (const QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
        dark.setColor(g, QPalette::Window, QColor(0x31, 0x36, 0x3b));
        dark.setColor(g, QPalette::WindowText, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(g, QPalette::Base, QColor(0x1b, 0x1e, 0x20));
        dark.setColor(g, QPalette::AlternateBase, QColor(0x23, 0x26, 0x29));
        dark.setColor(g, QPalette::Text, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(g, QPalette::Button, QColor(0x31, 0x36, 0x3b));
        dark.setColor(g, QPalette::ButtonText, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(g, QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
        dark.setColor(g, QPalette::HighlightedText, QColor(0xfc, 0xfc, 0xfc));
    }
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6e, 0x71, 0x75));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6e, 0x71, 0x75));
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x71, 0x75));
    QApplication::setPalette(dark);
    const bool dark_ok = advanced && WithWindow(s, [&](Dlg& w) { return Save(w, s.out, "window-dark.png"); });
    return dark_ok ? 0 : 1;
}
