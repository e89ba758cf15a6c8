#pragma once
// systemd-logind's inhibitor lock for the length of an update run: the
// desktop neither suspends nor shuts down in the middle of a write. Without
// logind (no system bus, no login1 service) the run goes on: one log line says
// so. The lock is logind's file descriptor; closing it releases the lock.
namespace vesk::cli {

class LogindInhibitor {
public:
    // Asks logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set).
    LogindInhibitor();
    ~LogindInhibitor();
    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace vesk::cli
