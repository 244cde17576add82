// SPDX-License-Identifier: MIT
#include "logging/logger.h"

#include <cstdarg>
#include <cstring>

namespace {
// Debug output (Trace, Debug) stays off until a host enables it.
Q_LOGGING_CATEGORY(lcLibrary, "kvdevice", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCommunication, "kvdevice.communication", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRawCommunication, "kvdevice.rawcommunication", QtInfoMsg)
} // namespace

const QLoggingCategory &Logger::category(const char *name)
{
    if (!name)
        return lcLibrary();
    if (std::strcmp(name, "Communication") == 0)
        return lcCommunication();
    if (std::strcmp(name, "RawCommunication") == 0)
        return lcRawCommunication();
    return lcLibrary();
}

QtMsgType Logger::messageType(LogLevel level)
{
    switch (level) {
    case Trace:
    case Debug:
        return QtDebugMsg;
    case Info:
        return QtInfoMsg;
    case Warning:
        return QtWarningMsg;
    case Error:
    case Fatal: // never QtFatalMsg: a library must not abort its host
        return QtCriticalMsg;
    }
    return QtCriticalMsg;
}

Logger *loggerInstance()
{
    static Logger instance;
    return &instance;
}

static QDebug stream(const QMessageLogger &logger, QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return logger.debug();
    case QtInfoMsg:
        return logger.info();
    case QtWarningMsg:
        return logger.warning();
    default:
        return logger.critical();
    }
}

QDebug CuteMessageLogger::write() const
{
    Q_UNUSED(logger)
    const QMessageLogger context(file, line, function, Logger::category(categoryName).categoryName());
    return stream(context, Logger::messageType(level));
}

void CuteMessageLogger::write(const char *format, ...) const
{
    va_list args;
    va_start(args, format);
    const QString text = QString::vasprintf(format, args);
    va_end(args);
    write().noquote() << text;
}
