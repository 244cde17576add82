// Test support for wine (a Linux library preloaded into wine, never installed): a pseudo-
// terminal mapped as a COM port refuses the modem-line requests of wine's serial code, and
// wine's wait for port events gives up. This answers them for pty slaves: DSR, CTS and CD
// on, DTR and RTS as last set (both low on a newly opened port, as a Windows driver may
// leave them), and EIO once the far end has closed, as a pulled cable, which ends wine's
// wait. The ptys named in KVTEST_NEEDS_DTR (paths, ':'-separated) play boards that send
// nothing while DTR is low: their input stays hidden until a program raises DTR.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum { maxFds = 4096 };
static struct {
    dev_t device; // the pty the descriptor had when its lines were last touched
    int lines;
} modem[maxFds];

static int ptySlave(int fd, dev_t *device)
{
    struct stat info;
    if (fd < 0 || fd >= maxFds || fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return 0;
    *device = info.st_rdev;
    return major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143; // Unix98 ptys
}

static int needsDtr(dev_t device)
{
    const char *list = getenv("KVTEST_NEEDS_DTR");
    while (list && *list) {
        const size_t length = strcspn(list, ":");
        char path[4096];
        struct stat info;
        if (length < sizeof path) {
            memcpy(path, list, length);
            path[length] = 0;
            if (stat(path, &info) == 0 && info.st_rdev == device)
                return 1;
        }
        list += length + (list[length] == ':');
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*next)(int, unsigned long, void *);
    if (!next)
        *(void **)&next = dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    int *value = va_arg(args, int *);
    va_end(args);
    dev_t device;
    if ((request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCINQ)
        || !ptySlave(fd, &device))
        return next(fd, request, value);
    if (modem[fd].device != device) {
        modem[fd].device = device;
        modem[fd].lines = 0;
    }
    const int lines = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCINQ:
        if (!(modem[fd].lines & TIOCM_DTR) && needsDtr(device)) {
            *value = 0;
            return 0;
        }
        return next(fd, request, value);
    case TIOCMGET: {
        struct pollfd hangup = {fd, 0, 0};
        if (poll(&hangup, 1, 0) == 1 && (hangup.revents & POLLHUP)) {
            errno = EIO;
            return -1;
        }
        *value = modem[fd].lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        return 0;
    }
    case TIOCMSET:
        modem[fd].lines = *value & lines;
        return 0;
    case TIOCMBIS:
        modem[fd].lines |= *value & lines;
        return 0;
    default: // TIOCMBIC
        modem[fd].lines &= ~*value;
        return 0;
    }
}

int close(int fd)
{
    static int (*next)(int);
    if (!next)
        *(void **)&next = dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < maxFds)
        modem[fd].device = 0; // a port opened again starts with its lines low
    return next(fd);
}
