// SPDX-License-Identifier: MIT
// Test support for wine (a Linux library preloaded into wine, never installed): a pseudo-
// terminal mapped as a COM port refuses the modem-line requests of wine's serial code, and
// wine's wait for port events gives up. This answers them for pty slaves: DSR, CTS and CD
// on, DTR and RTS as last set (both low on a port newly opened, as a Windows driver may
// leave them), and EIO once the far end has closed, as a pulled cable, which ends wine's
// wait. The pty that KVTEST_NEEDS_DTR names plays a board that sends nothing while DTR is
// low: its input stays hidden until a program raises DTR.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

enum { maxFds = 4096 };
static struct {
    dev_t device; // the pty the descriptor had when its lines were last set
    int lines;
} modem[maxFds];

int ioctl(int fd, unsigned long request, ...)
{
    static int (*next)(int, unsigned long, void *);
    if (!next)
        *(void **)&next = dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    int *value = va_arg(args, int *);
    va_end(args);
    struct stat port, gated;
    if ((request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCINQ)
        || fd < 0 || fd >= maxFds || fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode) || major(port.st_rdev) < 136
        || major(port.st_rdev) > 143) // Unix98 pty slaves only
        return next(fd, request, value);
    if (modem[fd].device != port.st_rdev)
        modem[fd].device = port.st_rdev, modem[fd].lines = 0;
    const char *needsDtr = getenv("KVTEST_NEEDS_DTR");
    struct pollfd hangup = {fd, 0, 0};
    switch (request) {
    case TIOCINQ:
        if (!(modem[fd].lines & TIOCM_DTR) && needsDtr && stat(needsDtr, &gated) == 0 && gated.st_rdev == port.st_rdev)
            return *value = 0;
        return next(fd, request, value);
    case TIOCMGET:
        if (poll(&hangup, 1, 0) == 1 && (hangup.revents & POLLHUP)) {
            errno = EIO;
            return -1;
        }
        *value = modem[fd].lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        return 0;
    default: { // TIOCMSET, TIOCMBIS, TIOCMBIC
        const int given = *value & (TIOCM_DTR | TIOCM_RTS), lines = modem[fd].lines;
        modem[fd].lines = request == TIOCMSET ? given : request == TIOCMBIS ? lines | given : lines & ~given;
        return 0;
    }
    }
}
