/*
 * Preloaded in front of umockdev's preload by "vesk-sim run". umockdev binds a
 * program's uevent socket in the testbed as "event<fd>", after removing any
 * file of that name: when two programs of one run open their uevent sockets
 * on the same descriptor number, the second takes the name from the first,
 * and the first never hears of a device again (an update running beside a
 * "list" never sees its master come back from its booter). Here a uevent
 * socket is given a descriptor whose name no live program holds, so every
 * program keeps hearing the bus, as each does of the kernel on real hardware.
 *
 * Kept in C and without the sanitizers: it is loaded into every program of
 * the run, shells included, before any sanitizer runtime.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

typedef int (*socket_fn)(int, int, int);

/* Another live program is bound to the testbed's name for this descriptor. */
static int name_held(socket_fn next, const char* testbed, int fd) {
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    const int n = snprintf(sa.sun_path, sizeof sa.sun_path, "%s/event%i", testbed, fd);
    if (n < 0 || (size_t)n >= sizeof sa.sun_path) return 0;
    struct stat st;
    if (stat(sa.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
    /* A name left by a program that has ended refuses the connection. */
    const int probe = next(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return 0;
    const int held = connect(probe, (const struct sockaddr*)&sa, sizeof sa) == 0 || errno == EAGAIN;
    close(probe);
    return held;
}

int socket(int domain, int type, int protocol) {
    static socket_fn next;
    if (!next) next = (socket_fn)dlsym(RTLD_NEXT, "socket");
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    const char* testbed = getenv("UMOCKDEV_DIR");
    if (domain != AF_NETLINK || protocol != NETLINK_KOBJECT_UEVENT || !testbed) return next(domain, type, protocol);
    /* Descriptors whose names are held stay open while the next is taken, so
       each try gets another number; they are closed once one is free. */
    int held[64];
    int count = 0;
    int fd = next(domain, type, protocol);
    while (fd >= 0 && count < 64 && name_held(next, testbed, fd)) {
        held[count++] = fd;
        fd = next(domain, type, protocol);
    }
    const int saved = errno;
    for (int i = 0; i < count; ++i) close(held[i]);
    errno = saved;
    return fd;
}
