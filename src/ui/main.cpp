// vesk-firmup: the updater's window.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "update/backup.h"
#include "simulation/simulated_instruments.h"
#include "common/clock.h"
#include "update/settings/start_options.h"
#include "update/settings/engine.h"
#include "app/vesk_firmware_updater_app.h"
#include "sim/sim_bus.h"
#include "ui/qt_app_toolkit.h"
#include "ui/simulated_devices.h"
#include "ui/window_look.h"

namespace {

constexpr const char* kUsage =
    "usage: vesk-firmup [--simulate FILE] [Autostart] [Debug_mode] [UseFolder(DIR)AsMain] [ADVANCED] [Rehearse]\n"
    "       vesk-firmup -h|--help | -V|--version\n";

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// A platform that needs a display server, and none is named.
bool NoDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0 && std::strncmp(platform, "wayland", 7) != 0)
        return false;
    return !Set("DISPLAY") && !Set("WAYLAND_DISPLAY");
}

QtMessageHandler g_default_handler = nullptr;

// Qt ends the process when it cannot open its platform: say so and exit 1.
void Messages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "vesk-firmup: cannot open the window: %s\n", message.toLocal8Bit().constData());
        std::_Exit(1);
    }
    if (g_default_handler) g_default_handler(type, context, message);
    else std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenario = vesk::ScenarioFromEnvironment();
    // --simulate FILE is this program's own; the rest is the command line of the options.
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::printf("vesk-firmup %s\n", VESK_VERSION);
            return 0;
        }
        if (std::strncmp(argv[i], "--simulate=", 11) == 0) {
            scenario = argv[i] + 11;
            continue;
        }
        if (std::strcmp(argv[i], "--simulate") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vesk-firmup: --simulate needs a scenario file\n%s", kUsage);
                return 2;
            }
            scenario = argv[++i];
            continue;
        }
        args.push_back(argv[i]);
    }
    if (NoDisplay()) {
        std::fprintf(stderr, "vesk-firmup: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set)\n");
        return 1;
    }
    int qt_argc = int(args.size());
    args.push_back(nullptr);
    g_default_handler = qInstallMessageHandler(Messages);
    QApplication qapp(qt_argc, args.data());
    QGuiApplication::setDesktopFileName("com.vesk.firmup");
    QApplication::setWindowIcon(vesk::ui::ProgramIcon());

    // Under vesk-sim run the program's waits keep pace with the served instruments.
    const auto scaled_clock = vesk::ClockFromEnvironment();
    std::optional<vesk::ScopedClock> scoped_clock;
    if (scaled_clock) scoped_clock.emplace(*scaled_clock);

    std::unique_ptr<vesk::CSimulatedInstruments> simulated;
    WindowDevices devices;
    if (!scenario.empty()) {
        std::string error;
        simulated = vesk::CSimulatedInstruments::Load(scenario, error);
        if (!simulated) {
            std::fprintf(stderr, "vesk-firmup: %s\n", error.c_str());
            return 1;
        }
        devices = SimulatedDevices(simulated->Bus(), simulated->Virtual(), CVESKFirmwareUpdaterDlg::kBusTickMs);
        vesk::update::SetSimulatedBackups(true);
    }

    CQtAppToolkit toolkit;
    CVESKFirmwareUpdaterApp* app_ptr = nullptr;
    CVESKFirmwareUpdaterApp app(toolkit, [&](const MainDialogArgs& a) -> std::unique_ptr<IMainDialog> {
        // The language is loaded by now: Qt's own texts follow it.
        vesk::ui::LoadQtTranslations(vesk::LanguageName());
        CVESKFirmwareUpdaterDlg::Options options;
        options.args = a;
        options.sources = devices.sources;
        options.locks = app_ptr->Locks();
        options.bus_tick = devices.bus_tick;
        return std::make_unique<CQtMainDialog>(std::move(options), toolkit);
    });
    app_ptr = &app;
    const int status = app.InitInstance(vesk::JoinCommandLine(qt_argc, args.data()));
    if (simulated) simulated->Bus().set_presence_observer(nullptr);
    return status;
}
