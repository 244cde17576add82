// SPDX-License-Identifier: MIT
// The watcher on Windows: the system's device-change notifications for serial ports, each
// answered by one listing of the ports.

#include "device/portsources.h"

#include "logging/logger.h"

#include <QEvent>

#include <windows.h>

#include <dbt.h>

namespace KvDevice {

namespace {

// The device interfaces of serial ports (GUID_DEVINTERFACE_COMPORT) and of modems
// (GUID_DEVINTERFACE_MODEM), under which some USB serial drivers register their ports;
// not every MinGW's headers define them.
constexpr GUID portInterfaces[] = {{0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}},
                                   {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}}};
constexpr wchar_t windowClass[] = L"KvDeviceWatcher";

/// A message-only window on the watcher's thread, registered for both port interfaces:
/// Qt's event dispatcher delivers its messages, so it needs no thread and no timer. The
/// window belongs to the thread that made it: when the watcher moves to another thread
/// (the source moves with it), it is made anew there.
class WindowsSource : public ListingSource
{
public:
    using ListingSource::ListingSource;
    ~WindowsSource() override { closeWindow(); }
    bool start() override;

protected:
    QList<QPair<PortInfo, bool>> list() override { return systemPorts(); }
    bool event(QEvent *event) override;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    /// Why the last call failed, as the system says it, in errorString(); false.
    bool fail(const QString &what);
    void closeWindow();
    void schedule();

    HMODULE module = nullptr;
    HWND window = nullptr;
    QList<HDEVNOTIFY> notifications;
    bool scheduled = false;
};

bool WindowsSource::fail(const QString &what)
{
    const DWORD code = GetLastError(); // before anything else may change it
    setErrorString(QStringLiteral("%1: %2 (error %3)").arg(what, qt_error_string(int(code))).arg(code));
    closeWindow();
    return false;
}

bool WindowsSource::start()
{
    // The class belongs to this library's module, wherever the host loaded it from.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, windowClass, &module))
        return fail(QStringLiteral("cannot find the library's module"));
    WNDCLASSEXW windowType = {};
    windowType.cbSize = sizeof windowType;
    windowType.lpfnWndProc = windowProcedure;
    windowType.hInstance = module;
    windowType.lpszClassName = windowClass;
    if (!RegisterClassExW(&windowType) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return fail(QStringLiteral("cannot register a window class for device notifications"));
    window = CreateWindowExW(0, windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (!window)
        return fail(QStringLiteral("cannot create a window for device notifications"));
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    for (const GUID &portInterface : portInterfaces) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = portInterface;
        if (HDEVNOTIFY notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
            notifications << notification;
        else
            return fail(QStringLiteral("cannot register for device notifications"));
    }
    return true;
}

void WindowsSource::closeWindow()
{
    for (HDEVNOTIFY notification : qAsConst(notifications))
        UnregisterDeviceNotification(notification);
    notifications.clear();
    if (window) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0); // whatever comes now finds no source
        DestroyWindow(window);
        window = nullptr;
    }
    UnregisterClassW(windowClass, module); // fails, as it should, while another watcher's window lives
}

bool WindowsSource::event(QEvent *event)
{
    // Sent in the old thread right before the move: the window goes there, and is made
    // anew from the new thread's event loop, which then lists what changed meanwhile.
    if (event->type() == QEvent::ThreadChange && window) {
        closeWindow();
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (start())
                    compare();
                else
                    KVLOG(Error).write() << "Device notifications lost after a thread change: " << errorString();
            },
            Qt::QueuedConnection);
    }
    return ListingSource::event(event);
}

LRESULT CALLBACK WindowsSource::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        if (auto *source = reinterpret_cast<WindowsSource *>(GetWindowLongPtrW(window, GWLP_USERDATA)))
            source->schedule();
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void WindowsSource::schedule()
{
    // A notification is a hint, and one device sends several: the window procedure must
    // return quickly, and one listing from the event loop answers all that came before it.
    if (scheduled)
        return;
    scheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            scheduled = false;
            KVLOG(Debug).write() << "Device change: listing the ports";
            compare();
        },
        Qt::QueuedConnection);
}

} // namespace

bool PollingSource::ttysChanged()
{
    return true;
}

Watcher::Source SystemSource::automatic()
{
    return Watcher::Windows;
}

std::unique_ptr<PortEventSource> SystemSource::create(Watcher::Source source, QString *error)
{
    if (source != Watcher::Windows) {
        *error = QStringLiteral("the udev source exists on Linux only; watch by polling");
        return nullptr;
    }
    return std::make_unique<WindowsSource>();
}

} // namespace KvDevice
