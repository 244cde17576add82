// The logging layer: levels and categories as Qt sees them, quiet by default, and a
// disabled line that costs no formatting.

#include "logging/logger.h"

#include <QtTest>

namespace {

QStringList captured; // "QtMsgType category: message"
int evaluations = 0;

QString counted()
{
    ++evaluations;
    return QStringLiteral("value");
}

} // namespace

class tst_Logging : public QObject
{
    Q_OBJECT

private slots:
    void rules_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no rules: info and above") << QString() << QStringList{QStringLiteral("4 kvdevice.rawcommunication: raw info"), QStringLiteral("2 kvdevice: fatal, no abort"), QStringLiteral("1 kvdevice: printf 7")};
        QTest::newRow("debug for one category") << QStringLiteral("kvdevice.communication.debug=true") << QStringList{QStringLiteral("0 kvdevice.communication: trace value"), QStringLiteral("4 kvdevice.rawcommunication: raw info"), QStringLiteral("2 kvdevice: fatal, no abort"), QStringLiteral("1 kvdevice: printf 7")};
        QTest::newRow("silenced") << QStringLiteral("kvdevice*=false") << QStringList();
    }
    void rules()
    {
        QFETCH(QString, rules);
        QFETCH(QStringList, expected);

        captured.clear();
        evaluations = 0;
        QLoggingCategory::setFilterRules(rules);
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            // Every record carries its place in the source.
            if (!QByteArray(context.function).contains("tst_Logging::rules") || context.line < logLine || context.line > logLine + 3)
                captured << QStringLiteral("misplaced");
            captured << QStringLiteral("%1 %2: %3").arg(int(type)).arg(QString::fromLatin1(context.category), QString(message).remove(QLatin1Char('"')));
        });
        logLine = __LINE__ + 1;
        KVLOG_CAT(Trace, "Communication").write() << "trace" << counted();
        KVLOG_CAT(Info, "RawCommunication").write() << "raw info";
        KVLOG(Fatal).write() << "fatal, no abort";
        KVLOG(Warning).write("%s %d", "printf", 7);
        qInstallMessageHandler(nullptr);
        QLoggingCategory::setFilterRules(QString());
        QCOMPARE(captured, expected);
        QCOMPARE(evaluations, int(expected.filter(QStringLiteral("value")).size())); // a disabled line formats nothing
    }

private:
    static inline int logLine = 0;
};

QTEST_GUILESS_MAIN(tst_Logging)
#include "tst_logging.moc"
