// SPDX-License-Identifier: MIT
#include <kvdevice/exception.h>

namespace Nmea {

Exception::Exception(const QString &message)
    : text(message)
    , local8Bit(message.toLocal8Bit())
{
}

Exception::~Exception() = default;

const char *Exception::what() const noexcept
{
    return local8Bit.constData();
}

QString Exception::message() const
{
    return text;
}

} // namespace Nmea
