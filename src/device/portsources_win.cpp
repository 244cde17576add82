// The watcher on Windows: the system's device-change notifications for COM ports, each
// answered by one listing of the ports.

#include "device/portsources.h"

#include "logging/logger.h"

#include <windows.h>

#include <dbt.h>

namespace KvDevice {

namespace {

// GUID_DEVINTERFACE_COMPORT, which not every MinGW's headers define.
constexpr GUID comPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr wchar_t windowClass[] = L"KvDeviceWatcher";

/// A message-only window on the Qt thread, registered for the COM port interface class:
/// Qt's event dispatcher delivers its messages, so it needs no thread and no timer.
class WindowsSource : public ListingSource
{
public:
    using ListingSource::ListingSource;
    ~WindowsSource() override;
    bool start() override;

protected:
    QList<QPair<PortInfo, bool>> list() override { return systemPorts(); }

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void schedule();

    HINSTANCE module = nullptr;
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
    bool scheduled = false;
};

WindowsSource::~WindowsSource()
{
    if (notification)
        UnregisterDeviceNotification(notification);
    if (window)
        DestroyWindow(window);
    UnregisterClassW(windowClass, module); // fails, as it should, while another watcher's window lives
}

bool WindowsSource::start()
{
    // The class belongs to this library's module, wherever the host loaded it from.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, windowClass, &module);
    WNDCLASSEXW windowType = {};
    windowType.cbSize = sizeof windowType;
    windowType.lpfnWndProc = windowProcedure;
    windowType.hInstance = module;
    windowType.lpszClassName = windowClass;
    if (!RegisterClassExW(&windowType) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        KVLOG(Error).write() << "Cannot register a window class for device notifications: error" << GetLastError();
        return false;
    }
    window = CreateWindowExW(0, windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (!window) {
        KVLOG(Error).write() << "Cannot create a window for device notifications: error" << GetLastError();
        return false;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = comPortInterface;
    notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!notification) {
        KVLOG(Error).write() << "Cannot register for device notifications: error" << GetLastError();
        return false;
    }
    return true;
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
