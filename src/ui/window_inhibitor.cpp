#include "ui/window_inhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <cstdlib>

#include "log/evt_log.h"

namespace {
const char* kInhibit = "CWindowInhibitor";
// logind answers at once; a bus that does not is not waited for long.
constexpr int kCallTimeoutMs = 2000;

// One connection per bus address, kept for the process (Qt ends it at exit):
// the address is read anew for each run.
QDBusConnection Connect() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address && *address) {
        const QString at = QString::fromUtf8(address);
        return QDBusConnection::connectToBus(at, QStringLiteral("vesk-inhibitor ") + at);
    }
    return QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("vesk-inhibitor"));
}
}  // namespace

CWindowInhibitor::CWindowInhibitor() {
    {
        QDBusConnection bus = Connect();
        if (!bus.isConnected()) {
            VLOG_INFO(kInhibit, "No inhibitor lock (no system bus: %s): the run goes on",
                      bus.lastError().message().toUtf8().constData());
        } else {
            // A plain call: no introspection of the service first.
            QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                               "org.freedesktop.login1.Manager", "Inhibit");
            call << QStringLiteral("shutdown:sleep:idle") << QStringLiteral("vesk-firmup")
                 << QStringLiteral("Updating instrument firmware") << QStringLiteral("block");
            const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
            if (reply.isValid() && reply.value().isValid()) fd_ = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            if (fd_ >= 0)
                VLOG_INFO(kInhibit, "Inhibitor lock taken: no shutdown, sleep or idle during the run");
            else
                VLOG_INFO(kInhibit, "No inhibitor lock (%s): the run goes on",
                          reply.isValid() ? "no descriptor" : reply.error().message().toUtf8().constData());
        }
    }
}

CWindowInhibitor::~CWindowInhibitor() {
    if (fd_ < 0) return;
    ::close(fd_);
    VLOG_INFO(kInhibit, "Inhibitor lock released");
}
