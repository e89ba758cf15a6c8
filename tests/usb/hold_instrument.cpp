// Another program that holds an instrument, as a vendor tool or a second
// updater would: opens the device path given (claiming its interface), says
// "held" on standard output and keeps it until it is ended by a signal.
#include <unistd.h>

#include <cstdio>

#include "common/str_conv.h"
#include "records/device_info.h"
#include "usb/usb_connection.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DEVICE_PATH\n", argv[0]);
        return 2;
    }
    CDeviceInfo info;
    info.SetDevicePath(vesk::from_utf8(argv[1]));
    CUSBConnection conn;
    if (conn.Apri(info) <= 0) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) ::pause();
}
