// SPDX-License-Identifier: MIT
// Standard input on Windows: neither a console nor a pipe is something the event loop can
// wait for, so a thread reads it and posts what it read to the event loop, until the
// monitor goes. A console gives UTF-16 text (ReadConsoleW: its input code page is no
// concern), taken as the sentences' Latin-1; a pipe gives bytes as they are.

#include "monitor.h"

#include <QPointer>

#include <memory>
#include <mutex>
#include <thread>

#include <windows.h>

namespace {
// Shared by the monitor and its reader, which may still wait in a read when kvprobe ends.
struct Input
{
    std::mutex lock;
    QPointer<Monitor> monitor; // null once the monitor has gone: nothing is posted then
    QObject relay;             // what posts go through, in the monitor's thread
};
std::shared_ptr<Input> input;

// Posts `deliver` to the monitor's event loop while the monitor lives; false when it has gone.
template <typename Deliver>
bool post(const std::shared_ptr<Input> &shared, Deliver deliver)
{
    const std::lock_guard<std::mutex> guard(shared->lock);
    if (!shared->monitor)
        return false;
    QMetaObject::invokeMethod(&shared->relay, [monitor = shared->monitor, deliver] { if (monitor) deliver(monitor.data()); },
                              Qt::QueuedConnection);
    return true;
}
} // namespace

void Monitor::startInput()
{
    input = std::make_shared<Input>();
    input->monitor = this;
    std::thread([shared = input] {
        const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        const bool console = GetConsoleMode(handle, &mode);
        for (;;) {
            wchar_t text[512];
            char chunk[512];
            DWORD count = 0;
            if (!(console ? ReadConsoleW(handle, text, 512, &count, nullptr) : ReadFile(handle, chunk, sizeof chunk, &count, nullptr))) {
                if (GetLastError() == ERROR_OPERATION_ABORTED) // Ctrl-C
                    continue;
                break; // a pipe's writer is gone
            }
            QByteArray bytes = console ? QString::fromWCharArray(text, int(count)).toLatin1() : QByteArray(chunk, int(count));
            const int endOfText = bytes.indexOf('\x1a'); // a console's Ctrl-Z
            if (endOfText >= 0)
                bytes.truncate(endOfText);
            if (!bytes.isEmpty() && !post(shared, [bytes](Monitor *monitor) { monitor->received(bytes); }))
                return;
            if (count == 0 || endOfText >= 0)
                break;
        }
        post(shared, [](Monitor *monitor) { monitor->inputEnded(); });
    }).detach();
}

void Monitor::stopInput()
{
    if (!input)
        return;
    const std::lock_guard<std::mutex> guard(input->lock);
    input->monitor = nullptr;
}
