// SPDX-License-Identifier: MIT
#include "boardconfig.h"

#include "boardprotocol.h"

bool splitOptions(const QString &text, QList<BoardOption> *options, QString *error)
{
    BoardOption current;
    bool any = false;
    for (int i = 0; i < text.size(); ++i) {
        QChar c = text.at(i);
        bool literal = false;
        if (c == QLatin1Char('\\')) {
            if (++i == text.size()) {
                *error = QStringLiteral("a backslash ends the options; write \\\\ for a backslash");
                return false;
            }
            c = text.at(i);
            literal = true;
        }
        if (!literal && c == QLatin1Char(',')) {
            options->append(current);
            current = BoardOption();
            any = false;
            continue;
        }
        if (!literal && c == QLatin1Char('=') && !current.hasValue) {
            current.hasValue = true;
            continue;
        }
        (current.hasValue ? current.value : current.key) += c;
        any = true;
    }
    if (any || current.hasValue || !options->isEmpty())
        options->append(current);
    return true;
}

namespace {

bool toNumber(const BoardOption &option, int min, int max, int *result, QString *error)
{
    bool ok = false;
    const int value = option.value.toInt(&ok);
    if (!option.hasValue || !ok || value < min || value > max) {
        *error = QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                     .arg(option.key).arg(min).arg(max).arg(option.value);
        return false;
    }
    *result = value;
    return true;
}

// Characters that would change the framing of the answer built from the field.
bool validFieldText(const QString &value)
{
    for (const QChar c : value) {
        if (c.unicode() > 0xff || c < QLatin1Char(' ') || c == QLatin1Char(',') || c == QLatin1Char('*')
            || c == QLatin1Char('$') || c == QLatin1Char('!'))
            return false;
    }
    return true;
}

} // namespace

QStringList BoardConfig::typeNames()
{
    return {QStringLiteral("board6100028"), QStringLiteral("board6100027"), QStringLiteral("info"),
            QStringLiteral("silent")};
}

bool BoardConfig::parse(const QString &text, BoardConfig *config, QString *error)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    const QString type = colon < 0 ? text : text.left(colon);
    // The short names or the library's type names (InfoDevice for info), in any case.
    const QStringList longNames = {QStringLiteral("Board6100028"), QStringLiteral("Board6100027"), QStringLiteral("InfoDevice"), QStringLiteral("silent")};
    int kind = -1;
    for (int i = 0; i < longNames.size(); ++i) {
        if (type.compare(typeNames().at(i), Qt::CaseInsensitive) == 0 || type.compare(longNames.at(i), Qt::CaseInsensitive) == 0)
            kind = i;
    }
    if (kind < 0) {
        *error = QStringLiteral("unknown board type \"%1\"; valid types: %2 (or Board6100028, Board6100027, InfoDevice)")
                     .arg(type, typeNames().join(QStringLiteral(", ")));
        return false;
    }
    *config = BoardConfig();
    config->kind = Kind(kind);
    config->typeName = typeNames().at(kind);

    if (config->kind == Board6100028 || config->kind == Board6100027) {
        const bool is27 = config->kind == Board6100027;
        using namespace KvDevice::InitField;
        config->fields = {{HwVersion, is27 ? QStringLiteral("HW2-6100027") : QStringLiteral("HW2-6100028")},
                          {V1, is27 ? 2 : 3},
                          {V2, is27 ? 1 : 2},
                          {V3, is27 ? 0 : 3}};
    } else if (config->kind == Info) {
        const QStringList names = KvDevice::InitField::InfoAnswer;
        const QStringList values = {KvDevice::InfoSubcommand, QStringLiteral("KVINFO"), QStringLiteral("INFO"),
                                    QStringLiteral("0001"),  QStringLiteral("A"),      QStringLiteral("1.0.0"),
                                    QStringLiteral("HW1-INFO"), QStringLiteral("APP")};
        for (int i = 0; i < names.size(); ++i)
            config->fields.insert(names.at(i), values.at(i));
    }

    QList<BoardOption> options;
    if (colon >= 0 && !splitOptions(text.mid(colon + 1), &options, error))
        return false;

    const QStringList flags = {QStringLiteral("noise"), QStringLiteral("close"), QStringLiteral("stale"), QStringLiteral("flood"),
                               QStringLiteral("number")};
    for (const BoardOption &option : qAsConst(options)) {
        const QString &key = option.key;
        if (key.isEmpty()) {
            *error = QStringLiteral("empty option in \"%1\"").arg(text);
            return false;
        }
        if (key == QLatin1String("link")) {
            if (option.value.isEmpty()) {
                *error = QStringLiteral("link needs a path: link=PATH");
                return false;
            }
            config->link = option.value;
            continue;
        }
        if (key == QLatin1String("plug") || key == QLatin1String("unplug")) {
            if (!toNumber(option, key == QLatin1String("plug") ? 0 : 1, 3600000, key == QLatin1String("plug") ? &config->plugMs : &config->unplugMs, error))
                return false;
            continue;
        }
        if (config->kind == Silent && key != QLatin1String("chatter") && key != QLatin1String("flood")) {
            *error = QStringLiteral("a silent board takes only link, plug, unplug, chatter and flood, not \"%1\"").arg(key);
            return false;
        }
        if (flags.contains(key)) {
            if (option.hasValue) {
                *error = QStringLiteral("%1 takes no value").arg(key);
                return false;
            }
            if (key == QLatin1String("number"))
                config->numbered = true;
            else if (key == QLatin1String("noise"))
                config->noise = true;
            else if (key == QLatin1String("stale"))
                config->stale = true;
            else if (key == QLatin1String("flood"))
                config->flood = true;
            else
                config->closeOnQuery = true;
        } else if (key == QLatin1String("delay")) {
            // One delay, or one per answer in turn: delay=50/3000/50/1500.
            config->delays.clear();
            for (const QString &part : option.value.split(QLatin1Char('/'))) {
                int ms = 0;
                if (!toNumber({key, part, option.hasValue}, 0, 60000, &ms, error))
                    return false;
                config->delays << ms;
            }
            config->delayMs = config->delays.first();
        } else if (key == QLatin1String("badsum")) {
            config->badChecksum = true;
            if (option.hasValue && !toNumber(option, 1, 1000000, &config->badAnswers, error))
                return false;
        } else if (key == QLatin1String("ignore")) {
            if (!toNumber(option, 0, 1000000, &config->ignore, error))
                return false;
        } else if (key == QLatin1String("chatter")) {
            if (!toNumber(option, 1, 60000, &config->chatterMs, error))
                return false;
        } else if (key == QLatin1String("answers")) {
            if (!toNumber(option, 0, 1000000, &config->answers, error))
                return false;
        } else if (key == QLatin1String("bytewise")) {
            config->bytePauseMs = 2;
            if (option.hasValue && !toNumber(option, 0, 1000, &config->bytePauseMs, error))
                return false;
        } else if (config->fields.contains(key)) {
            if (!option.hasValue) {
                *error = QStringLiteral("%1 needs a value: %1=VALUE").arg(key);
                return false;
            }
            if (key.startsWith(QLatin1Char('v')) && key.size() == 2) {
                int number = 0;
                if (!toNumber(option, -999999, 999999, &number, error))
                    return false;
                config->fields.insert(key, number);
            } else {
                if (!validFieldText(option.value)) {
                    *error = QStringLiteral("%1=\"%2\": a field value cannot hold , * $ ! or control characters")
                                 .arg(key, option.value);
                    return false;
                }
                config->fields.insert(key, option.value);
            }
        } else {
            QStringList valid = config->fields.keys();
            valid.sort();
            valid = QStringList{QStringLiteral("link"), QStringLiteral("plug"), QStringLiteral("unplug"), QStringLiteral("delay"), QStringLiteral("ignore"),
                                QStringLiteral("answers"), QStringLiteral("bytewise"), QStringLiteral("chatter"), QStringLiteral("badsum")}
                    + flags + valid;
            *error = QStringLiteral("unknown option \"%1\" for %2; valid: %3").arg(key, type, valid.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}
