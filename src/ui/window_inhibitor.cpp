#include "ui/window_inhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <atomic>
#include <cstdlib>

#include "log/evt_log.h"

namespace {
const char* kInhibit = "CWindowInhibitor";
// logind answers at once; a bus that does not is not waited for long.
constexpr int kCallTimeoutMs = 2000;

// A connection of its own for each run: the address is read anew each time,
// and the run's thread never shares Qt's cached system bus with another.
QDBusConnection Connect(const QString& name) {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address && *address) return QDBusConnection::connectToBus(QString::fromUtf8(address), name);
    return QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
}
}  // namespace

CWindowInhibitor::CWindowInhibitor() {
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("vesk-inhibitor-%1").arg(++serial);
    {
        QDBusConnection bus = Connect(name);
        if (!bus.isConnected()) {
            VLOG_INFO(kInhibit, "No inhibitor lock (no system bus: %s): the run goes on",
                      bus.lastError().message().toUtf8().constData());
        } else {
            QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                   bus);
            manager.setTimeout(kCallTimeoutMs);
            const QDBusReply<QDBusUnixFileDescriptor> reply =
                manager.call("Inhibit", "shutdown:sleep:idle", "vesk-firmup", "Updating instrument firmware", "block");
            if (reply.isValid() && reply.value().isValid()) fd_ = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            if (fd_ >= 0)
                VLOG_INFO(kInhibit, "Inhibitor lock taken: no shutdown, sleep or idle during the run");
            else
                VLOG_INFO(kInhibit, "No inhibitor lock (%s): the run goes on",
                          reply.isValid() ? "no descriptor" : reply.error().message().toUtf8().constData());
        }
    }
    QDBusConnection::disconnectFromBus(name);
}

CWindowInhibitor::~CWindowInhibitor() {
    if (fd_ < 0) return;
    ::close(fd_);
    VLOG_INFO(kInhibit, "Inhibitor lock released");
}
