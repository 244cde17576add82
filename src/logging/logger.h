// SPDX-License-Identifier: MIT
#pragma once

// The library's logging calls. Every record goes to Qt's message output with its source
// place, under the categories "kvdevice", "kvdevice.communication" and
// "kvdevice.rawcommunication", so hosts filter with QT_LOGGING_RULES and capture with
// qInstallMessageHandler. A record whose category and level are off is never formatted:
// the KVLOG macros test that before the message and its values are evaluated.

#include <QDebug>
#include <QLoggingCategory>

class Logger
{
public:
    enum LogLevel { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, Fatal = 5 };

    /// The Qt category behind a record's category name (null: the library's own).
    static const QLoggingCategory &category(const char *name);
    static QtMsgType messageType(LogLevel level);

    bool isEnabled(LogLevel level, const char *categoryName) const
    {
        return category(categoryName).isEnabled(messageType(level));
    }
};

/// The process-wide logger.
Logger *loggerInstance();

/// One log record, filled at the call site.
class CuteMessageLogger
{
public:
    CuteMessageLogger(Logger *logger, Logger::LogLevel level, const char *file, int line, const char *function,
                      const char *category = nullptr)
        : logger(logger)
        , level(level)
        , file(file)
        , line(line)
        , function(function)
        , categoryName(category)
    {
    }

    /// printf-style text.
    void write(const char *format, ...) const
#if defined(Q_CC_GNU) || defined(Q_CC_CLANG)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    /// A stream; the record is written when the stream is destroyed.
    QDebug write() const;

private:
    Logger *logger;
    Logger::LogLevel level;
    const char *file;
    int line;
    const char *function;
    const char *categoryName;
};

#define KVLOG_CAT(level, category)                                                             \
    if (!loggerInstance()->isEnabled(Logger::level, category)) {                              \
    } else                                                                                     \
        CuteMessageLogger(loggerInstance(), Logger::level, __FILE__, __LINE__, Q_FUNC_INFO, category)
#define KVLOG(level) KVLOG_CAT(level, nullptr)
