#pragma once
// A mock systemd-logind: dbus-daemon on a bus of the test's own, and logind's
// Manager.Inhibit served on it from a thread of its own. Each call hands out
// one end of a pipe, so the test sees the caller close it when the lock goes.
#include <fcntl.h>
// Qt's "signals" keyword is a field name in GIO's headers.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#pragma pop_macro("signals")
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vesk::test {

inline const char* kLogindIntrospection = R"(<node><interface name="org.freedesktop.login1.Manager">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="h" direction="out"/></method></interface></node>)";

// dbus-daemon and logind's Manager.Inhibit served on it from a thread of its own.
class MockLogind {
public:
    MockLogind() {
        std::istringstream in(Started());
        std::getline(in, address_);
        in >> daemon_pid_;
        if (address_.empty() || daemon_pid_ <= 0) return;
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            Serve();
            served_.set_value();
            g_main_loop_run(loop_);
            if (connection_) g_object_unref(connection_);
            g_main_context_pop_thread_default(context_);
        });
        // Until the name is owned, or serving it failed.
        served_.get_future().wait();
    }
    ~MockLogind() {
        if (loop_) {
            g_main_loop_quit(loop_);
            thread_.join();
            g_main_loop_unref(loop_);
            g_main_context_unref(context_);
        }
        if (daemon_pid_ > 0) ::kill(daemon_pid_, SIGTERM);
        for (int fd : kept_) ::close(fd);
    }
    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }

    struct Call {
        std::vector<std::string> args;
        int read_end = -1;  // the other end of what the caller got
    };
    // What the updater asks of Inhibit.
    static std::vector<std::string> UpdateArgs() {
        return {"shutdown:sleep:idle", "vesk-firmup", "Updating instrument firmware", "block"};
    }
    // The caller has closed its end of the call's pipe: the lock is released.
    static bool Released(const Call& call) {
        pollfd p{call.read_end, POLLIN, 0};
        char byte;
        return ::poll(&p, 1, 0) == 1 && ::read(call.read_end, &byte, 1) == 0;
    }
    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    // The daemon's address and pid, as it printed them.
    static std::string Started() {
        std::string out;
        if (FILE* p = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r")) {
            char buf[512];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
            ::pclose(p);
        }
        return out;
    }
    void Serve() {
        GError* error = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (!connection_) return;
        GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kLogindIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {&MockLogind::OnCall, nullptr, nullptr, {}};
        g_dbus_connection_register_object(connection_, "/org/freedesktop/login1", info->interfaces[0], &vtable, this,
                                          nullptr, nullptr);
        g_dbus_node_info_unref(info);
        GVariant* r = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.login1", 0u),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (r) g_variant_unref(r);
        ready_ = r != nullptr;
    }
    static void OnCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params,
                       GDBusMethodInvocation* invocation, gpointer self) {
        auto* me = static_cast<MockLogind*>(self);
        Call call;
        const gchar *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        g_variant_get(params, "(&s&s&s&s)", &what, &who, &why, &mode);
        call.args = {what, who, why, mode};
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return g_dbus_method_invocation_return_dbus_error(invocation, "x.Fail", "pipe");
        call.read_end = ends[0];
        GUnixFDList* fds = g_unix_fd_list_new_from_array(&ends[1], 1);  // takes the write end
        g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), fds);
        g_object_unref(fds);
        std::lock_guard<std::mutex> lock(me->mutex_);
        me->calls_.push_back(call);
        me->kept_.push_back(ends[0]);
    }

    std::string address_;
    int daemon_pid_ = -1;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::promise<void> served_;
    std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<int> kept_;
};

}  // namespace vesk::test
