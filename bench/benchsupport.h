// SPDX-License-Identifier: MIT
#pragma once

// Helpers shared by the benchmark programs: clocks, CPU time, percentiles and the result
// lines that scripts/dev.sh collects into its table.
//
// A result line goes to stdout as "NAME VALUE UNIT [GOAL]", GOAL being "<X" or ">X" in
// UNIT; everything else a program says goes to stderr.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <termios.h>

#include <pty.h>
#include <sys/resource.h>
#include <sys/statfs.h>

namespace Bench {

inline double seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

/// Wall-clock time in seconds, monotonic.
inline double now() { return seconds(CLOCK_MONOTONIC); }
/// CPU time of the whole process (every thread) in seconds.
inline double cpuNow() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }

/// Peak resident set size of the process so far, in KiB.
inline long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/// Resident set size now, in KiB.
inline long rssKiB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

/// The p-th percentile (0..100) by nearest rank.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

/// The file system of QSerialPort's lock folder: each open writes a lock file there and
/// syncs it, which costs milliseconds on a disk and nothing on tmpfs.
inline const char *lockDirFs()
{
    struct statfs fs{};
    if (statfs("/run/lock", &fs) != 0)
        return "none";
    switch (fs.f_type) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext4";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794c7630: return "overlay";
    default: return "other";
    }
}

/// A pseudo-terminal in raw mode, its slave's path in `name` (256 bytes); false, with the
/// reason on stderr under `program`'s name, when the system gives none.
inline bool rawPty(const char *program, int *master, int *slave, char *name)
{
    if (::openpty(master, slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "%s: openpty: %s\n", program, std::strerror(errno));
        return false;
    }
    termios raw{};
    ::tcgetattr(*slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(*slave, TCSANOW, &raw);
    return true;
}

inline void result(const char *name, double value, const char *unit, const char *goal = nullptr)
{
    std::printf("%s %.6g %s%s%s\n", name, value, unit, goal ? " " : "", goal ? goal : "");
    std::fflush(stdout);
}

} // namespace Bench
