// Test support for wine 8.0 (linked only into test programs, never installed). Qt's Windows
// serial code binds each port to an I/O completion port and waits for port events with an
// OVERLAPPED that has no event; wine 8.0 runs such a wait synchronously and never queues
// its completion, so a program blocks in open() until the board speaks. Before main(),
// Qt's serial-port DLL has its imports of CreateIoCompletionPort and WaitCommEvent pointed
// here: the wait gets an event of its own, and its result is posted to the port's
// completion port when it completes, as Windows does.
#include <windows.h>

typedef LONG(NTAPI *SetIoCompletion)(HANDLE port, ULONG_PTR key, ULONG_PTR context, LONG status, ULONG_PTR information);
typedef HANDLE(WINAPI *CreatePort)(HANDLE, HANDLE, ULONG_PTR, DWORD);
typedef BOOL(WINAPI *WaitEvent)(HANDLE, LPDWORD, LPOVERLAPPED);

enum { slots = 256 };
static struct { HANDLE file, port; ULONG_PTR key; } bindings[slots]; // handles are reused: newest wins
static unsigned nextSlot;
static CRITICAL_SECTION lock;
static SetIoCompletion setIoCompletion;
static CreatePort createPort;
static WaitEvent waitEvent;

struct Wait {
    HANDLE port, event, wait;
    ULONG_PTR key;
    OVERLAPPED *overlapped;
    LONG done; // the second of the callback and the registration frees it
};

static HANDLE WINAPI bindPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads)
{
    const HANDLE port = createPort(file, existing, key, threads);
    if (port && file != INVALID_HANDLE_VALUE) {
        EnterCriticalSection(&lock);
        unsigned i = 0;
        while (i < slots && bindings[i].file != file)
            ++i;
        if (i == slots)
            i = nextSlot++ % slots;
        bindings[i].file = file;
        bindings[i].port = port;
        bindings[i].key = key;
        LeaveCriticalSection(&lock);
    }
    return port;
}

// From a pool thread the OVERLAPPED may belong to a port deleted meanwhile: it is only read,
// as the system would, and the completion is dropped by Qt for a port it no longer knows.
static void post(struct Wait *wait)
{
    const OVERLAPPED *overlapped = wait->overlapped;
    setIoCompletion(wait->port, wait->key, (ULONG_PTR)overlapped, (LONG)overlapped->Internal, overlapped->InternalHigh);
}

static void release(struct Wait *wait)
{
    if (InterlockedExchange(&wait->done, 1) == 0)
        return;
    if (wait->wait)
        UnregisterWait(wait->wait);
    CloseHandle(wait->event);
    HeapFree(GetProcessHeap(), 0, wait);
}

static VOID CALLBACK completed(PVOID context, BOOLEAN timedOut)
{
    (void)timedOut;
    post(context);
    release(context);
}

static BOOL WINAPI waitForEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped)
{
    struct Wait *wait = NULL;
    if (overlapped && !overlapped->hEvent) {
        EnterCriticalSection(&lock);
        for (unsigned i = 0; i < slots && !wait; ++i) {
            if (bindings[i].file == file && (wait = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *wait))) {
                wait->port = bindings[i].port;
                wait->key = bindings[i].key;
            }
        }
        LeaveCriticalSection(&lock);
    }
    if (!wait)
        return waitEvent(file, mask, overlapped);
    wait->overlapped = overlapped;
    wait->event = CreateEventW(NULL, TRUE, FALSE, NULL);
    // The low bit keeps the system from queueing a completion of its own.
    overlapped->hEvent = (HANDLE)((ULONG_PTR)wait->event | 1);
    const BOOL result = waitEvent(file, mask, overlapped);
    const DWORD error = GetLastError();
    if (result || error != ERROR_IO_PENDING) {
        if (result)
            post(wait);
        wait->done = 1;
        release(wait);
    } else if (!RegisterWaitForSingleObject(&wait->wait, wait->event, completed, wait, INFINITE, WT_EXECUTEONLYONCE)) {
        WaitForSingleObject(wait->event, INFINITE); // out of resources: late, but not lost
        wait->done = 1;
        completed(wait, FALSE);
    } else {
        release(wait);
    }
    SetLastError(error);
    return result;
}

static void redirect(HMODULE module, ULONG_PTR original, ULONG_PTR replacement)
{
    BYTE *base = (BYTE *)module;
    const IMAGE_NT_HEADERS *headers = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR *library = (const void *)(base + imports.VirtualAddress); library->Name; ++library) {
        for (IMAGE_THUNK_DATA *entry = (void *)(base + library->FirstThunk); entry->u1.Function; ++entry) {
            DWORD protection;
            if (entry->u1.Function != original
                || !VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, PAGE_READWRITE, &protection))
                continue;
            entry->u1.Function = replacement;
            VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, protection, &protection);
        }
    }
}

__attribute__((constructor)) static void install(void)
{
    HMODULE serialPort = GetModuleHandleW(L"Qt5SerialPort.dll");
    if (!serialPort)
        serialPort = GetModuleHandleW(L"Qt6SerialPort.dll");
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!serialPort || !kernel)
        return;
    InitializeCriticalSection(&lock);
    typedef void (*Any)(void); // casts through it say that the types are known to fit
    setIoCompletion = (SetIoCompletion)(Any)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetIoCompletion");
    createPort = (CreatePort)(Any)GetProcAddress(kernel, "CreateIoCompletionPort");
    waitEvent = (WaitEvent)(Any)GetProcAddress(kernel, "WaitCommEvent");
    redirect(serialPort, (ULONG_PTR)createPort, (ULONG_PTR)bindPort);
    redirect(serialPort, (ULONG_PTR)waitEvent, (ULONG_PTR)waitForEvent);
}
