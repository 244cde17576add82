// SPDX-License-Identifier: MIT
#include "transport/portaddress.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace KvDevice {

namespace {
const QRegularExpression &urlPattern()
{
    // scheme "://" [ "[" v6 "]" | host ] [ ":" port ] [ rest ]
    static const QRegularExpression pattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://(\\[[^\\]/?#]*\\]?|[^:/?#\\[]*)(?::([^/?#]*))?(.*)$"));
    return pattern;
}

bool fail(QString *error, const QString &name, const QString &why)
{
    if (error)
        *error = name + QStringLiteral(": ") + why;
    return false;
}

bool validHostName(const QString &host)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]*[A-Za-z0-9_])?$"));
    const QStringList labels = host.split(QLatin1Char('.'));
    for (const QString &part : labels) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return !host.isEmpty() && host.size() <= 253;
}
} // namespace

bool PortAddress::isUrl(const QString &name)
{
    return urlPattern().match(name).hasMatch();
}

bool PortAddress::parse(const QString &name, PortAddress *address, QString *error)
{
    PortAddress result;
    result.name = name;
    const QRegularExpressionMatch url = urlPattern().match(name);
    if (!url.hasMatch()) {
        *address = result;
        return true;
    }

    const QString scheme = url.captured(1).toLower();
    if (scheme == QLatin1String("rfc2217"))
        result.kind = Rfc2217;
    else if (scheme == QLatin1String("socket"))
        result.kind = RawTcp;
    else
        return fail(error, name, QStringLiteral("unknown scheme \"%1\": use rfc2217://HOST:PORT or socket://HOST:PORT").arg(url.captured(1)));
    const QString usage = QStringLiteral(": write %1://HOST:PORT").arg(scheme);

    QString host = url.captured(2);
    if (!host.startsWith(QLatin1Char('[')) && url.captured(3).contains(QLatin1Char(':')))
        return fail(error, name, QStringLiteral("an IPv6 address goes in brackets: %1://[ADDRESS]:PORT").arg(scheme));
    if (host.startsWith(QLatin1Char('['))) {
        if (!host.endsWith(QLatin1Char(']')))
            return fail(error, name, QStringLiteral("the IPv6 address has no closing \"]\""));
        host = host.mid(1, host.size() - 2);
        // QUrl checks an address in brackets as QHostAddress does, without Qt Network.
        if (!host.contains(QLatin1Char(':')) || !QUrl(QStringLiteral("x://[%1]/").arg(host)).isValid())
            return fail(error, name, QStringLiteral("\"%1\" is no IPv6 address").arg(host));
    } else if (host.isEmpty()) {
        return fail(error, name, QStringLiteral("no host") + usage);
    } else if (!validHostName(host)) {
        return fail(error, name, QStringLiteral("\"%1\" is no host name or address").arg(host));
    }
    result.host = host;

    QString rest = url.captured(4);
    if (url.captured(3).isEmpty())
        return fail(error, name, QStringLiteral("no TCP port") + usage);
    bool ok = false;
    const uint port = url.captured(3).toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return fail(error, name, QStringLiteral("the TCP port \"%1\" is not a number from 1 to 65535").arg(url.captured(3)));
    result.tcpPort = quint16(port);

    if (rest.startsWith(QLatin1Char('/')) && (rest.size() == 1 || rest.at(1) == QLatin1Char('?')))
        rest.remove(0, 1); // "host:port/" and "host:port/?..." are written often enough
    if (!rest.isEmpty() && !rest.startsWith(QLatin1Char('?')))
        return fail(error, name, QStringLiteral("unexpected \"%1\" after the port").arg(rest));
    const QUrlQuery query(rest.mid(1));
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const auto &item : items) {
        if (item.first == QLatin1String("timeout")) {
            const int ms = item.second.toInt(&ok);
            if (!ok || ms < 1)
                return fail(error, name, QStringLiteral("timeout=%1: give milliseconds, 1 or more").arg(item.second));
            result.connectTimeoutMs = ms;
        } else {
            return fail(error, name, QStringLiteral("unknown parameter \"%1\" (known: timeout)").arg(item.first));
        }
    }
    *address = result;
    return true;
}

} // namespace KvDevice
