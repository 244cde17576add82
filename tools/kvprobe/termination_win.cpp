// SPDX-License-Identifier: MIT
// Console events on Windows. The system calls the handler on a thread of its own: it asks
// the event loop to stop, and for a closing console waits until kvprobe has cleaned up,
// since Windows ends the process as soon as the handler returns. A second Ctrl-C or
// Ctrl-Break goes to the system's handler, which ends kvprobe at once, as on Unix.

#include "termination.h"

#include "common.h"

#include <QCoreApplication>

#include <atomic>

#include <windows.h>

namespace {
std::function<void()> stopRequested;
std::atomic<bool> stopped{false};
HANDLE cleanedUp = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (stopped.exchange(true) && event != CTRL_CLOSE_EVENT)
        return FALSE; // the second: should cleaning up hang, the system ends the process
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { stopRequested(); }, Qt::QueuedConnection);
    // Windows gives a closing console five seconds.
    if (event == CTRL_CLOSE_EVENT && cleanedUp)
        WaitForSingleObject(cleanedUp, 4500);
    return TRUE;
}
} // namespace

Termination::Termination(std::function<void()> stop)
{
    stopRequested = std::move(stop);
    cleanedUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        Tool::printError(QStringLiteral("kvprobe: Ctrl-C will end kvprobe without closing its ports: %1").arg(qt_error_string(int(GetLastError()))));
}

Termination::~Termination()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    if (cleanedUp) {
        SetEvent(cleanedUp); // a closing console's handler may end the process now
        CloseHandle(cleanedUp);
        cleanedUp = nullptr;
    }
}

bool Termination::happened() const
{
    return stopped;
}
