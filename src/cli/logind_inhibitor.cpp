#include "logind_inhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "log/evt_log.h"

namespace vesk::cli {

namespace {
const char* kInhibit = "LogindInhibitor";
// logind answers at once; a bus that does not is not waited for long.
constexpr int kCallTimeoutMs = 2000;
}  // namespace

LogindInhibitor::LogindInhibitor() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!bus) {
        VLOG_INFO(kInhibit, "No inhibitor lock (no system bus: %s): the run goes on",
                  error ? error->message : "unknown");
        if (error) g_error_free(error);
        return;
    }
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "shutdown:sleep:idle", "vesk-firmup", "Updating instrument firmware", "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &fds, nullptr, &error);
    if (reply) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        if (fds) fd_ = g_unix_fd_list_get(fds, index, &error);
        g_variant_unref(reply);
    }
    if (fds) g_object_unref(fds);
    g_object_unref(bus);
    if (fd_ >= 0) {
        VLOG_INFO(kInhibit, "Inhibitor lock taken: no shutdown, sleep or idle during the run");
        return;
    }
    VLOG_INFO(kInhibit, "No inhibitor lock (%s): the run goes on", error ? error->message : "no descriptor");
    if (error) g_error_free(error);
}

LogindInhibitor::~LogindInhibitor() {
    if (fd_ < 0) return;
    ::close(fd_);
    VLOG_INFO(kInhibit, "Inhibitor lock released");
}

}  // namespace vesk::cli
