// Standard input on Windows: neither a console nor a pipe is something the event loop can
// wait for, so a thread reads it and posts what it read to the event loop.

#include "monitor.h"

#include <QPointer>

#include <thread>

#include <windows.h>

void Monitor::startInput()
{
    // The reader may still wait in ReadFile when kvprobe ends: what it posts to must
    // outlive the monitor, so the relay is never deleted.
    auto *relay = new QObject;
    const QPointer<Monitor> monitor(this);
    std::thread([relay, monitor] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char chunk[512];
        for (;;) {
            DWORD count = 0;
            if (!ReadFile(input, chunk, sizeof chunk, &count, nullptr)) {
                if (GetLastError() == ERROR_OPERATION_ABORTED) // Ctrl-C at a console
                    continue;
                break; // a pipe's writer is gone
            }
            QByteArray bytes(chunk, int(count));
            const int endOfText = bytes.indexOf('\x1a'); // a console's Ctrl-Z
            if (endOfText >= 0)
                bytes.truncate(endOfText);
            if (!bytes.isEmpty())
                QMetaObject::invokeMethod(relay, [monitor, bytes] { if (monitor) monitor->received(bytes); }, Qt::QueuedConnection);
            if (count == 0 || endOfText >= 0)
                break;
        }
        QMetaObject::invokeMethod(relay, [monitor] { if (monitor) monitor->inputEnded(); }, Qt::QueuedConnection);
    }).detach();
}
