// SPDX-License-Identifier: MIT
#include <kvdevice/parserabstract.h>

namespace Nmea {

quint8 calculateChecksum(const QString &text, int length)
{
    // Positions past the end of the text add nothing to an XOR.
    const int count = length == 0 ? text.size() : qBound(0, length, text.size());
    return Detail::checksum(QStringView(text).left(count));
}

} // namespace Nmea
