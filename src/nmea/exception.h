// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QByteArray>
#include <QString>

#include <exception>

namespace Nmea {

/// The sentence engine's only error type: a fixed English text saying what was wrong
/// with a sentence or a table. Thrown by value, caught by reference.
class KVDEVICE_EXPORT Exception : public std::exception
{
public:
    /// An exception saying `message`.
    explicit Exception(const QString &message);
    ~Exception() override;

    /// The message in the local 8-bit encoding; valid for as long as this exception lives.
    const char *what() const noexcept override;

    /// The message as given, for log lines and user interfaces.
    QString message() const;

private:
    QString text;
    QByteArray local8Bit; // what() hands out a pointer into this
};

} // namespace Nmea
