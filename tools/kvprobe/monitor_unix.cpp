// SPDX-License-Identifier: MIT
// Standard input on Unix: the event loop waits for it.

#include "monitor.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

void Monitor::startInput()
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(input, &QSocketNotifier::activated, this, [this, input] {
        char chunk[512];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count > 0) {
            received(QByteArray(chunk, int(count)));
            return;
        }
        input->setEnabled(false);
        inputEnded();
    });
}

void Monitor::stopInput()
{
    // The notifier is the monitor's child: it goes with it.
}
