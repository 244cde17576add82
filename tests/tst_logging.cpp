// The logging layer: levels and categories as Qt sees them, quiet by default, and a
// disabled line that costs no formatting.

#include "logging/logger.h"

#include <QtTest>

namespace {

struct Captured
{
    QtMsgType type;
    QByteArray category;
    QString message;
    QByteArray function;
    int line;
    bool hasFile;
};
QList<Captured> captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    captured.append({type, context.category, message, context.function, context.line, context.file != nullptr});
}

int evaluations = 0;
QString counted()
{
    ++evaluations;
    return QStringLiteral("value");
}

} // namespace

Q_DECLARE_METATYPE(Logger::LogLevel)

class tst_Logging : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        captured.clear();
        evaluations = 0;
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(capture);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        QLoggingCategory::setFilterRules(QString());
    }

    void levelsAndCategories_data();
    void levelsAndCategories();
    void quietByDefault_data();
    void quietByDefault();
    void disabledLineIsNotFormatted();
    void recordCarriesItsPlace();
    void printfForm();
};

void tst_Logging::levelsAndCategories_data()
{
    QTest::addColumn<Logger::LogLevel>("level");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("qtCategory");

    QTest::newRow("trace") << Logger::Trace << QByteArray() << int(QtDebugMsg) << QByteArray("kvdevice");
    QTest::newRow("debug") << Logger::Debug << QByteArray() << int(QtDebugMsg) << QByteArray("kvdevice");
    QTest::newRow("info") << Logger::Info << QByteArray() << int(QtInfoMsg) << QByteArray("kvdevice");
    QTest::newRow("warning") << Logger::Warning << QByteArray() << int(QtWarningMsg) << QByteArray("kvdevice");
    QTest::newRow("error") << Logger::Error << QByteArray() << int(QtCriticalMsg) << QByteArray("kvdevice");
    QTest::newRow("fatal does not abort") << Logger::Fatal << QByteArray() << int(QtCriticalMsg) << QByteArray("kvdevice");
    QTest::newRow("communication") << Logger::Trace << QByteArray("Communication") << int(QtDebugMsg)
                                   << QByteArray("kvdevice.communication");
    QTest::newRow("raw communication") << Logger::Warning << QByteArray("RawCommunication") << int(QtWarningMsg)
                                       << QByteArray("kvdevice.rawcommunication");
}

void tst_Logging::levelsAndCategories()
{
    QFETCH(Logger::LogLevel, level);
    QFETCH(QByteArray, category);
    QFETCH(int, type);
    QFETCH(QByteArray, qtCategory);

    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*.debug=true"));
    const char *name = category.isEmpty() ? nullptr : category.constData();
    CuteMessageLogger(loggerInstance(), level, __FILE__, __LINE__, Q_FUNC_INFO, name).write()
        << "text" << QStringLiteral("quoted") << 7;
    QCOMPARE(captured.size(), 1);
    QCOMPARE(int(captured.first().type), type);
    QCOMPARE(captured.first().category, qtCategory);
    QCOMPARE(captured.first().message, QStringLiteral("text \"quoted\" 7"));
}

void tst_Logging::quietByDefault_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("no rules: info and above") << QString()
        << QStringList{QStringLiteral("info"), QStringLiteral("warning"), QStringLiteral("error"),
                       QStringLiteral("raw info")};
    QTest::newRow("debug for one category") << QStringLiteral("kvdevice.rawcommunication.debug=true")
        << QStringList{QStringLiteral("info"), QStringLiteral("warning"), QStringLiteral("error"),
                       QStringLiteral("raw trace"), QStringLiteral("raw info")};
    QTest::newRow("all of kvdevice") << QStringLiteral("kvdevice*.debug=true")
        << QStringList{QStringLiteral("trace"), QStringLiteral("info"), QStringLiteral("warning"), QStringLiteral("error"),
                       QStringLiteral("raw trace"), QStringLiteral("raw info")};
    QTest::newRow("silenced") << QStringLiteral("kvdevice*=false") << QStringList();
}

void tst_Logging::quietByDefault()
{
    QFETCH(QString, rules);
    QFETCH(QStringList, expected);

    QLoggingCategory::setFilterRules(rules);
    KVLOG(Trace).write() << "trace";
    KVLOG(Info).write() << "info";
    KVLOG(Warning).write() << "warning";
    KVLOG(Error).write() << "error";
    KVLOG_CAT(Trace, "RawCommunication").write() << "raw trace";
    KVLOG_CAT(Info, "RawCommunication").write() << "raw info";
    QStringList seen;
    for (const Captured &line : qAsConst(captured))
        seen << line.message;
    QCOMPARE(seen, expected);
}

void tst_Logging::disabledLineIsNotFormatted()
{
    KVLOG_CAT(Trace, "Communication").write() << "-> " << counted();
    QCOMPARE(evaluations, 0);
    QVERIFY(captured.isEmpty());

    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice.communication.debug=true"));
    KVLOG_CAT(Trace, "Communication").write() << "-> " << counted();
    QCOMPARE(evaluations, 1);
    QCOMPARE(captured.size(), 1);
}

void tst_Logging::recordCarriesItsPlace()
{
    KVLOG(Warning).write() << "here";
    const int line = __LINE__ - 1;
    QCOMPARE(captured.size(), 1);
    QVERIFY(captured.first().hasFile);
    QCOMPARE(captured.first().line, line);
    QVERIFY2(captured.first().function.contains("tst_Logging::recordCarriesItsPlace"), captured.first().function);
}

void tst_Logging::printfForm()
{
    KVLOG(Error).write("%s %d", "count", 3);
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice.debug=true"));
    KVLOG(Trace).write("IO Data Ready");
    QCOMPARE(captured.size(), 2);
    QCOMPARE(captured.at(0).message, QStringLiteral("count 3"));
    QCOMPARE(captured.at(1).message, QStringLiteral("IO Data Ready"));
    QCOMPARE(int(captured.at(1).type), int(QtDebugMsg));
}

QTEST_GUILESS_MAIN(tst_Logging)
#include "tst_logging.moc"
