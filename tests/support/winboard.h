#pragma once

// Boards for the Windows build of the suites, which runs under wine: kvboard-sim plays
// them on the Linux side as the test asks through its control port (KVTEST_BOARDS names
// that COM port), each on a pty that wine maps as a COM port of its own.

#include <QByteArrayList>
#include <QObject>
#include <QString>

namespace TestSupport {

/// The Board of the Linux suites, played by kvboard-sim --control.
class Board : public QObject
{
    Q_OBJECT
public:
    explicit Board(const QString &options = QStringLiteral("silent"));
    ~Board() override;

    QString path() const { return port; }
    bool isOpen() const;
    /// 1 while a program (this test, under wine) holds the board's port open, else 0.
    int portsOpen() const;
    void send(const QByteArray &bytes);
    void close();
    /// Lets what every board heard so far reach `lines`.
    static void settle();

    QByteArrayList lines;

signals:
    void heard(const QByteArray &line);

private:
    QString link; // kvboard-sim's name of the board
    QString port;
};

} // namespace TestSupport
