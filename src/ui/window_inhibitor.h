#pragma once
// systemd-logind's inhibitor lock for the length of an update run, over Qt
// D-Bus: the desktop neither suspends nor shuts down in the middle of a
// write. Without logind (no system bus, no login1 service) the run goes on
// and one log line says so. The lock is logind's file descriptor; closing it
// releases the lock.
class CWindowInhibitor {
public:
    // Asks logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set); any thread.
    CWindowInhibitor();
    ~CWindowInhibitor();
    CWindowInhibitor(const CWindowInhibitor&) = delete;
    CWindowInhibitor& operator=(const CWindowInhibitor&) = delete;

    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
