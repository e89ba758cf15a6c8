#include "run_command.h"

#include <glib-unix.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/terminal_text.h"
#include "common/clock.h"
#include "common/exe_path_name.h"
#include "sim/sim_scenario.h"
#include "sim/umockdev/umockdev_bus.h"

namespace vesk::sim {

const char kRunUsage[] = "usage: vesk-sim run SCENARIO -- COMMAND [ARGS]\n";

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
// How often the served devices follow the bus: departures and due returns
// reach the testbed at most this late.
constexpr guint kSyncIntervalMs = 2;

struct Child {
    GMainLoop* loop = nullptr;
    GPid pid = 0;
    int status = 0;
    bool done = false;
};

void OnChildExit(GPid, gint status, gpointer data) {
    auto* child = static_cast<Child*>(data);
    child->status = status;
    child->done = true;
    g_main_loop_quit(child->loop);
}

gboolean ForwardSignal(gpointer data, int signal) {
    auto* child = static_cast<Child*>(data);
    if (!child->done) ::kill(child->pid, signal);
    return G_SOURCE_CONTINUE;
}
gboolean ForwardInt(gpointer data) { return ForwardSignal(data, SIGINT); }
gboolean ForwardTerm(gpointer data) { return ForwardSignal(data, SIGTERM); }
// A closed terminal: the command decides what it means; the devices stay
// served until it ends (the instrument does not go away with the terminal).
gboolean ForwardHup(gpointer data) { return ForwardSignal(data, SIGHUP); }

gboolean SyncDevices(gpointer served) {
    static_cast<UmockdevBus*>(served)->Sync();
    return G_SOURCE_CONTINUE;
}

bool Preloaded() {
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "libumockdev-preload");
}

// The library built beside vesk-sim that keeps each program's uevent socket
// its own (event_socket_preload.c); empty when it is not there.
std::string OwnPreload() {
    const std::string folder = CExePathName().FolderA();
    if (folder.empty()) return {};
    const std::string path = folder + "libvesk-sim-preload.so";
    return ::access(path.c_str(), R_OK) == 0 ? path : std::string();
}

// This environment with umockdev's preload (and ours in front of it) in front
// of whatever was preloaded, less the variables named in drop, plus those in add.
std::vector<std::string> Environment(const std::vector<std::string>& drop, const std::vector<std::string>& add) {
    std::vector<std::string> env;
    const std::string own = OwnPreload();
    std::string preload = (own.empty() ? "" : own + ":") + VESK_UMOCKDEV_PRELOAD;
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const std::string name = kv.substr(0, kv.find('='));
        const std::string value = kv.substr(std::min(kv.size(), name.size() + 1));
        if (name == "LD_PRELOAD") preload = Preloaded() ? value : preload + ":" + value;
        else if (name == "ASAN_OPTIONS") asan = value.find(asan) == std::string::npos ? value + ":" + asan : value;
        else if (std::find(drop.begin(), drop.end(), name) == drop.end()) env.push_back(kv);
    }
    env.push_back("LD_PRELOAD=" + preload);
    // A sanitized program would refuse to start with another library preloaded first.
    env.push_back("ASAN_OPTIONS=" + asan);
    env.insert(env.end(), add.begin(), add.end());
    return env;
}

// The command's environment: the preload pointed at this testbed.
std::vector<std::string> ChildEnvironment(const std::string& testbed_dir, double time_scale) {
    std::vector<std::string> add = {"UMOCKDEV_DIR=" + testbed_dir};
    // The program's waits keep pace with the instruments (vesk::ClockFromEnvironment).
    if (time_scale > 0) {
        char scale[32];
        std::snprintf(scale, sizeof scale, "%.17g", time_scale);
        add.push_back(std::string("VESK_TIME_SCALE=") + scale);
    }
    return Environment({"UMOCKDEV_DIR", "VESK_TIME_SCALE"}, add);
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (auto& t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

int Serve(SimBus& bus, double time_scale, std::vector<std::string> command) {
    std::unique_ptr<UMockdevTestbed, decltype(&g_object_unref)> testbed(umockdev_testbed_new(), &g_object_unref);
    char* dir = umockdev_testbed_get_root_dir(testbed.get());
    std::vector<std::string> env = ChildEnvironment(dir, time_scale);
    g_free(dir);
    // The served devices go before the testbed; the command is gone by then.
    UmockdevBus served(testbed.get(), bus);
    std::string error;
    if (!served.Start(&error)) {
        vesk::TermPrint(stderr, "vesk-sim run: %s\n", error.c_str());
        return kExitFailed;
    }
    Child child;
    GError* spawn_error = nullptr;
    auto argv = Pointers(command);
    auto envp = Pointers(env);
    if (!g_spawn_async(nullptr, argv.data(), envp.data(),
                       GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN),
                       nullptr, nullptr, &child.pid, &spawn_error)) {
        vesk::TermPrint(stderr, "vesk-sim run: %s\n", spawn_error->message);
        // As shells and env report a command that cannot be run: 127 not found, 126 found but not runnable.
        const bool missing = spawn_error->domain == G_SPAWN_ERROR && spawn_error->code == G_SPAWN_ERROR_NOENT;
        g_error_free(spawn_error);
        return missing ? kExitNotFound : kExitCannotRun;
    }
    child.loop = g_main_loop_new(nullptr, FALSE);
    // The child watch ends by itself when the command has ended.
    g_child_watch_add(child.pid, &OnChildExit, &child);
    const guint sources[] = {
        g_timeout_add(kSyncIntervalMs, &SyncDevices, &served),
        g_unix_signal_add(SIGINT, &ForwardInt, &child),
        g_unix_signal_add(SIGTERM, &ForwardTerm, &child),
        g_unix_signal_add(SIGHUP, &ForwardHup, &child),
    };
    g_main_loop_run(child.loop);
    for (guint s : sources) g_source_remove(s);
    g_main_loop_unref(child.loop);
    g_spawn_close_pid(child.pid);
    if (WIFEXITED(child.status)) return WEXITSTATUS(child.status);
    if (WIFSIGNALED(child.status)) return 128 + WTERMSIG(child.status);
    return kExitFailed;
}

}  // namespace

int RunServed(const std::vector<std::string>& args) {
    if (args.size() < 3 || args[1] != "--") {
        vesk::TermPrint(stderr, "vesk-sim run: a scenario, \"--\" and a command are needed\n%s", vesk::TermLines{kRunUsage});
        return kExitUsage;
    }
    if (VESK_UMOCKDEV_PRELOAD[0] == '/' && ::access(VESK_UMOCKDEV_PRELOAD, R_OK) != 0) {
        vesk::TermPrint(stderr, "vesk-sim run: umockdev's preload library %s is missing (Debian package umockdev)\n",
                     VESK_UMOCKDEV_PRELOAD);
        return kExitFailed;
    }
    if (!Preloaded()) {
        // The testbed's uevents are read back through udev from its own sysfs,
        // so this process runs under the preload as well: start again with it.
        std::vector<std::string> argv = {"vesk-sim", "run"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = Environment({}, {});
        auto a = Pointers(argv);
        auto e = Pointers(env);
        ::execve("/proc/self/exe", a.data(), e.data());
        vesk::TermPrint(stderr, "vesk-sim run: cannot start again under umockdev's preload: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    Scenario scenario;
    std::string error;
    if (!LoadScenarioFile(args[0], &scenario, &error)) {
        vesk::TermPrint(stderr, "vesk-sim run: %s\n", error.c_str());
        return kExitFailed;
    }
    // The command waits in real time, so the instruments do too; a scenario
    // made for the virtual clock runs at real speed.
    vesk::ScaledClock clock(scenario.time_scale > 0 ? scenario.time_scale : 1.0);
    vesk::ScopedClock scoped_clock(clock);
    auto bus = MakeBus(scenario);
    // Served for as long as the command runs: only the trace_file keeps the trace.
    bus->trace().KeepInMemory(false);
    return Serve(*bus, scenario.time_scale, std::vector<std::string>(args.begin() + 2, args.end()));
}

}  // namespace vesk::sim
