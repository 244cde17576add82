// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

/// Ends kvprobe cleanly when the user stops it: SIGINT, SIGTERM or SIGHUP on Unix; Ctrl-C,
/// Ctrl-Break or closing the console on Windows (termination_unix.cpp,
/// termination_win.cpp). `stop` runs from the event loop, never inside the system's
/// handler; it ends the event loop, and what it ran closes its ports as it is destroyed.
/// Create it before those objects, so that it goes after them.
class Termination
{
public:
    explicit Termination(std::function<void()> stop);
    /// Everything is cleaned up: a closing Windows console may end the process now.
    ~Termination();
    Termination(const Termination &) = delete;
    Termination &operator=(const Termination &) = delete;

    /// Whether the user stopped kvprobe.
    bool happened() const;
};
