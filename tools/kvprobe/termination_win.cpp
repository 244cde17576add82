// Console events on Windows. The system calls the handler on a thread of its own: it asks
// the event loop to stop, and for a closing console waits until kvprobe has cleaned up,
// since Windows ends the process as soon as the handler returns.

#include "termination.h"

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
    if (!stopped.exchange(true)) {
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { stopRequested(); }, Qt::QueuedConnection);
    }
    // Windows gives a closing console five seconds.
    if (event == CTRL_CLOSE_EVENT)
        WaitForSingleObject(cleanedUp, 4500);
    return TRUE;
}
} // namespace

Termination::Termination(std::function<void()> stop)
{
    stopRequested = std::move(stop);
    cleanedUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

Termination::~Termination()
{
    SetEvent(cleanedUp);
}

bool Termination::happened() const
{
    return stopped;
}
