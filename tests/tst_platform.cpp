// SPDX-License-Identifier: MIT
// What differs per system, each row run on its own system: why a port did not open and
// what kvprobe advises about it, given names, and on Windows the watcher's device
// notifications and the DLL's version resource.

#include <kvdevice/initializer.h>
#include <kvdevice/watcher.h>

#include "common.h"
#include "testsupport.h"

#include <QDir>
#include <QLockFile>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>

#include <dbt.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

using namespace KvDevice;
using namespace TestSupport;

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void openFailure_data();
    void openFailure();
    void resolvedPortName_data();
    void resolvedPortName();
#ifdef Q_OS_WIN
    void windowsSource_data();
    void windowsSource();
    void windowsSourceFollowsThread();
    void versionResource_data();
    void versionResource();
#endif

private:
#ifndef Q_OS_WIN
    QTemporaryDir links;
    int pty = -1; // its far end: what the links lead to
#endif
};

void tst_Platform::openFailure_data()
{
    QTest::addColumn<int>("error"); // QSerialPort::SerialPortError
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("detail"); // a part of it

    const QString file = QCoreApplication::applicationFilePath(), folder = QCoreApplication::applicationDirPath();
    QTest::newRow("no such port") << int(QSerialPort::DeviceNotFoundError) << "COM9" << int(NotFound) << "no such port";
    QTest::newRow("a regular file") << int(QSerialPort::OpenError) << file << int(OpenFailed) << "it is a regular file, not a serial port";
    QTest::newRow("a folder, refused") << int(QSerialPort::PermissionError) << folder << int(OpenFailed) << "it is a folder";
    QTest::newRow("another error: Qt's name of it") << int(QSerialPort::ResourceError) << "COM9" << int(OpenFailed) << "ResourceError";
#ifdef Q_OS_WIN
    // Windows opens serial ports exclusively: "access denied" is another program.
    QTest::newRow("refused: busy") << int(QSerialPort::PermissionError) << "COM3" << int(Busy) << "in use by another program";
#else
    QTest::newRow("refused, no lock file, a device this user may open: busy") << int(QSerialPort::PermissionError) << "/dev/null" << int(Busy) << "in use by another program, which opened it exclusively";
    QTest::newRow("refused, no such device: permission") << int(QSerialPort::PermissionError) << "/dev/kvdevice-no-such-port" << int(PermissionDenied) << "sudo usermod -aG dialout";
    QTest::newRow("refused, a lock file names the holder") << int(QSerialPort::PermissionError) << "/dev/kvdevice-locked" << int(Busy) << "in use by tst_platform (process";
    QTest::newRow("refused, the lock file of a process that ended") << int(QSerialPort::PermissionError) << "/dev/kvdevice-ended" << int(PermissionDenied) << "left by process 4194303, which has ended";
    QTest::newRow("refused, a lock file that names no process") << int(QSerialPort::PermissionError) << "/dev/kvdevice-nobody" << int(PermissionDenied) << "sudo usermod -aG dialout";
    QTest::newRow("refused, the lock file of a process on another machine") << int(QSerialPort::PermissionError) << "/dev/kvdevice-elsewhere" << int(Busy) << "in use by kvold (process 4194303)";
#endif
}

void tst_Platform::openFailure()
{
    QFETCH(int, error);
    QFETCH(QString, name);
    QFETCH(int, outcome);
    QFETCH(QString, detail);

#ifndef Q_OS_WIN
    // This process holds a lock on the port as Qt names it, in the first lock folder Qt uses.
    std::unique_ptr<QLockFile> lock;
    if (name.endsWith(QLatin1String("locked"))) {
        lock = std::make_unique<QLockFile>(QStringLiteral("/var/lock/LCK..kvdevice-locked"));
        if (!lock->tryLock())
            QSKIP("cannot lock in /var/lock", SkipSingle);
    }
    // A lock file as Qt writes one, left behind: process, program, host.
    QFile left(QStringLiteral("/var/lock/LCK..") + name.mid(5));
    const bool elsewhere = name.endsWith(QLatin1String("elsewhere"));
    if (name.endsWith(QLatin1String("ended")) || name.endsWith(QLatin1String("nobody")) || elsewhere) {
        if (!left.open(QIODevice::WriteOnly))
            QSKIP("cannot write in /var/lock", SkipSingle);
        left.write((name.endsWith(QLatin1String("nobody")) ? "-5" : "4194303") + QByteArray("\nkvold\n")
                   + (elsewhere ? QByteArray("kvdevice-other-machine") : QSysInfo::machineHostName().toUtf8()) + '\n');
        left.close();
    }
    const auto removeLeft = qScopeGuard([&left] { left.remove(); });
#endif
    PortReport report;
    report.outcome = Initializer::openFailure(QSerialPort::SerialPortError(error), name, &report.detail);
    QCOMPARE(int(report.outcome), outcome);
    QVERIFY2(report.detail.contains(detail), qPrintable(report.detail));

    // Neither the detail nor kvprobe's advice speaks of the other system; on Linux the
    // advice names other holders only when the detail could not name the holder.
    const QString words = report.detail + Tool::advice(report);
#ifdef Q_OS_WIN
    const QStringList foreign{QStringLiteral("ModemManager"), QStringLiteral("group"), QStringLiteral("lock file"), QStringLiteral("udev"),
                              QStringLiteral("/dev"), QStringLiteral("sudo")};
    const bool othersNamed = false;
#else
    const QStringList foreign{QStringLiteral("Windows"), QStringLiteral("COM"), QStringLiteral("Device Manager")};
    const bool othersNamed = report.outcome == Busy && report.detail.contains(QLatin1String("another program"));
#endif
    for (const QString &word : foreign)
        QVERIFY2(!words.contains(word), qPrintable(words));
    QCOMPARE(words.contains(QLatin1String("ModemManager")), othersNamed);
}

void tst_Platform::resolvedPortName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("resolved");
#ifndef Q_OS_WIN
    // Links are followed one at a time, up to the tty the system lists.
    if (pty < 0) {
        pty = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
    }
    const QString device = QString::fromLocal8Bit(::ptsname(pty));
    const auto link = [this](const QString &name, const QString &target) {
        const QString path = links.filePath(name);
        QFile::remove(path);
        QFile::link(target, path);
        return path;
    };
    QTest::newRow("a link to a link") << link(QStringLiteral("b"), link(QStringLiteral("a"), device)) << device;
    QTest::newRow("a link named as a tty of the system's") << link(QStringLiteral("tty"), device) << device;
    QTest::newRow("a link to a device that is no tty") << link(QStringLiteral("null"), QStringLiteral("/dev/null")) << "/dev/null";
    QTest::newRow("a link to nothing: as given") << link(QStringLiteral("gone"), links.filePath(QStringLiteral("none"))) << links.filePath(QStringLiteral("gone"));
    QTest::newRow("links in a circle: as given") << link(QStringLiteral("loop"), links.filePath(QStringLiteral("loop"))) << links.filePath(QStringLiteral("loop"));
    QTest::newRow("a URL: as given") << "rfc2217://127.0.0.1:7000" << "rfc2217://127.0.0.1:7000";
#else
    QTest::newRow("upper case") << "COM3" << "COM3";
    QTest::newRow("lower case, which Qt would not prefix") << "com3" << "COM3";
    QTest::newRow("the device namespace") << R"(\\.\COM12)" << "COM12";
    QTest::newRow("the device namespace, lower case") << R"(\\.\com12)" << "COM12";
    QTest::newRow("not a COM port: as given") << "COMX" << "COMX";
    QTest::newRow("a path: as given") << R"(C:\boards\a)" << R"(C:\boards\a)";
#endif
}

void tst_Platform::resolvedPortName()
{
    QFETCH(QString, name);
    QFETCH(QString, resolved);
    QCOMPARE(Initializer::resolvedPortName(name), resolved);
#ifdef Q_OS_WIN
    QCOMPARE(PortInfo::forName(name).systemLocation, resolved);
#endif
}

#ifdef Q_OS_WIN

namespace {
// A port in the registry that Qt lists (wine lists only ports named there), without USB data.
const wchar_t serialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t testDevice[] = L"\\Device\\KvTest0";

bool setTestPort(bool present)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, serialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const wchar_t port[] = L"COM42";
    const LSTATUS status = present ? RegSetValueExW(key, testDevice, 0, REG_SZ, reinterpret_cast<const BYTE *>(port), sizeof port)
                                   : RegDeleteValueW(key, testDevice);
    RegCloseKey(key);
    return status == ERROR_SUCCESS || (!present && status == ERROR_FILE_NOT_FOUND);
}
} // namespace

void tst_Platform::windowsSource_data()
{
    QTest::addColumn<bool>("before");          // COM42 there when the watching starts
    QTest::addColumn<bool>("after");           // COM42 there when the notifications come
    QTest::addColumn<QList<int>>("messages");  // WM_DEVICECHANGE's wParam, one message each
    QTest::addColumn<QStringList>("expected"); // the source's log lines, in order

    const QString listing = QStringLiteral("Device change: listing the ports");
    QTest::newRow("arrival") << false << true << QList<int>{DBT_DEVICEARRIVAL} << QStringList{listing, QStringLiteral("Port appeared: COM42")};
    QTest::newRow("removal") << true << false << QList<int>{DBT_DEVICEREMOVECOMPLETE} << QStringList{listing, QStringLiteral("Port gone: COM42")};
    QTest::newRow("three notifications before the event loop runs: one listing")
        << false << true << QList<int>{DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE} << QStringList{listing, QStringLiteral("Port appeared: COM42")};
    QTest::newRow("another kind of change lists nothing") << false << true << QList<int>{DBT_DEVNODES_CHANGED, DBT_DEVICEQUERYREMOVE} << QStringList();
}

void tst_Platform::windowsSource()
{
    QFETCH(bool, before);
    QFETCH(bool, after);
    QFETCH(QList<int>, messages);
    QFETCH(QStringList, expected);

    if (!setTestPort(before))
        QSKIP("the test's port needs write access to HKEY_LOCAL_MACHINE (an administrator, or wine)");
    const auto cleanup = qScopeGuard([] { setTestPort(false); });
    Watcher watcher;
    QVERIFY(watcher.start({Board6100028}));
    QCOMPARE(watcher.activeSource(), Watcher::Windows); // what Automatic means here
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"KvDeviceWatcher", nullptr);
    QVERIFY(window);

    LogCapture log;
    QVERIFY(setTestPort(after));
    for (const int message : messages)
        SendMessageW(window, WM_DEVICECHANGE, WPARAM(message), 0);
    QVERIFY(log.matching(QStringLiteral("Device change")).isEmpty()); // never inside the window procedure
    QTest::qWait(50);
    QStringList lines;
    for (const QString &line : log.messages()) {
        if (line.startsWith(QLatin1String("Device change")) || line.startsWith(QLatin1String("Port ")))
            lines << QString(line).remove(QLatin1Char('"')).simplified();
    }
    QCOMPARE(lines, expected);

    watcher.stop();
    QVERIFY(!FindWindowExW(HWND_MESSAGE, nullptr, L"KvDeviceWatcher", nullptr));
}

void tst_Platform::windowsSourceFollowsThread()
{
    // The window of a watcher moved to another thread is made anew there, and goes with it.
    auto *watcher = new Watcher;
    QVERIFY(watcher->start({Board6100028}));
    QThread thread;
    thread.start();
    DWORD threadId = 0;
    watcher->moveToThread(&thread);
    QMetaObject::invokeMethod(watcher, [] { return GetCurrentThreadId(); }, Qt::BlockingQueuedConnection, &threadId);
    HWND window = nullptr;
    QTRY_VERIFY((window = FindWindowExW(HWND_MESSAGE, nullptr, L"KvDeviceWatcher", nullptr)) && GetWindowThreadProcessId(window, nullptr) == threadId);
    QMetaObject::invokeMethod(watcher, [watcher] { delete watcher; }, Qt::BlockingQueuedConnection);
    QVERIFY(!FindWindowExW(HWND_MESSAGE, nullptr, L"KvDeviceWatcher", nullptr));
    thread.quit();
    QVERIFY(thread.wait());
}

void tst_Platform::versionResource_data()
{
    QTest::addColumn<QString>("file"); // beside this test in the build, or the library this test loaded
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const QString dll = QStringLiteral(KVDEVICE_EXPECTED_DLL);
    QTest::newRow("file version") << dll << "FileVersion" << KVDEVICE_EXPECTED_VERSION;
    QTest::newRow("product version") << dll << "ProductVersion" << KVDEVICE_EXPECTED_VERSION;
    QTest::newRow("product name") << dll << "ProductName" << "kvdevice";
    QTest::newRow("description") << dll << "FileDescription" << KVDEVICE_EXPECTED_DESCRIPTION;
    QTest::newRow("file name: the binary interface's version in it") << dll << "OriginalFilename" << dll;
    QTest::newRow("company") << dll << "CompanyName" << "kvdevice project";
    QTest::newRow("copyright") << dll << "LegalCopyright" << "Copyright (c) kvdevice project; MIT licence";
    QTest::newRow("fixed file version") << dll << "\\" << KVDEVICE_EXPECTED_VERSION;
#ifdef KVDEVICE_KVPROBE_FILE
    const QString kvprobe = QStringLiteral(KVDEVICE_KVPROBE_FILE);
    QTest::newRow("kvprobe: file name") << kvprobe << "OriginalFilename" << "kvprobe.exe";
    QTest::newRow("kvprobe: company") << kvprobe << "CompanyName" << "kvdevice project";
    QTest::newRow("kvprobe: fixed file version") << kvprobe << "\\" << KVDEVICE_EXPECTED_VERSION;
#endif
}

void tst_Platform::versionResource()
{
    QFETCH(QString, file);
    QFETCH(QString, key);
    QFETCH(QString, value);

    wchar_t path[MAX_PATH] = {};
    if (const HMODULE library = GetModuleHandleW(reinterpret_cast<const wchar_t *>(file.utf16())))
        QVERIFY(GetModuleFileNameW(library, path, MAX_PATH));
    else
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/') + file).toWCharArray(path);
    QByteArray data(int(GetFileVersionInfoSizeW(path, nullptr)), '\0');
    QVERIFY2(!data.isEmpty() && GetFileVersionInfoW(path, 0, DWORD(data.size()), data.data()), qPrintable(QString::fromWCharArray(path)));
    void *found = nullptr;
    UINT size = 0;
    const QString query = key == QLatin1String("\\") ? key : QStringLiteral("\\StringFileInfo\\040904b0\\") + key;
    QVERIFY(VerQueryValueW(data.constData(), reinterpret_cast<const wchar_t *>(query.utf16()), &found, &size) && size > 0);
    if (key == QLatin1String("\\")) { // the numbers Explorer compares
        const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(found);
        const QString version = QStringLiteral("%1.%2.%3").arg(HIWORD(fixed->dwFileVersionMS)).arg(LOWORD(fixed->dwFileVersionMS)).arg(HIWORD(fixed->dwFileVersionLS));
        QCOMPARE(version, value);
        QCOMPARE(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        QCOMPARE(fixed->dwFileType, DWORD(file.endsWith(QLatin1String(".exe")) ? VFT_APP : VFT_DLL));
    } else {
        QCOMPARE(QString::fromWCharArray(static_cast<const wchar_t *>(found)), value);
    }
}
#endif

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
