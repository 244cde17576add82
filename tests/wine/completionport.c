// SPDX-License-Identifier: MIT
// Test support for wine 8.0 (linked only into test programs, never installed). Qt's Windows
// serial code binds each port to an I/O completion port and waits for port events with an
// OVERLAPPED that has no event; wine 8.0 runs such a wait synchronously and never queues
// its completion, so a program blocks in open() until the board speaks. Before main(),
// Qt's serial-port DLL has its imports of CreateIoCompletionPort, WaitCommEvent and CancelIo
// pointed here: the wait runs with an OVERLAPPED and an event of its own, and when it
// completes its result is copied to Qt's and posted to the port's completion port, as
// Windows does, unless Qt cancelled the port's I/O meanwhile (wine tells a cancelled wait
// late, when the port may be gone).
#include <windows.h>

typedef LONG(NTAPI *SetIoCompletion)(HANDLE port, ULONG_PTR key, ULONG_PTR context, LONG status, ULONG_PTR information);
typedef HANDLE(WINAPI *CreatePort)(HANDLE, HANDLE, ULONG_PTR, DWORD);
typedef BOOL(WINAPI *WaitEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI *Cancel)(HANDLE);
static SetIoCompletion setIoCompletion;
static CreatePort createPort;
static WaitEvent waitEvent;
static Cancel cancelIo;

enum { slots = 256 };
// Handles are reused: the newest binding wins. Its generation changes when Qt cancels the
// handle's I/O or binds it anew: a wait of an older generation is Qt's no more.
static struct { HANDLE file, port; ULONG_PTR key; LONG generation; } bindings[slots];
static unsigned nextSlot;
static CRITICAL_SECTION lock; // over the bindings

struct Wait {
    OVERLAPPED own; // what the system writes to: ours until the wait is over
    DWORD events;
    HANDLE file, port, wait;
    ULONG_PTR key;
    OVERLAPPED *overlapped; // Qt's, and
    DWORD *mask;            // Qt's, while its binding's generation is the same
    unsigned slot;
    LONG generation;
    LONG owners; // the registration and the callback: the last one frees it
};

static HANDLE WINAPI bindPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads)
{
    const HANDLE port = createPort(file, existing, key, threads);
    EnterCriticalSection(&lock);
    unsigned i = 0;
    while (i < slots && bindings[i].file != file)
        ++i;
    if (port && file != INVALID_HANDLE_VALUE) {
        i = i < slots ? i : nextSlot++ % slots;
        bindings[i].file = file, bindings[i].port = port, bindings[i].key = key, ++bindings[i].generation;
    }
    LeaveCriticalSection(&lock);
    return port;
}

static void release(struct Wait *wait)
{
    if (InterlockedDecrement(&wait->owners) > 0)
        return;
    if (wait->wait)
        UnregisterWait(wait->wait);
    CloseHandle(wait->own.hEvent);
    HeapFree(GetProcessHeap(), 0, wait);
}

// Hands the result to Qt, unless Qt cancelled the port's I/O meanwhile.
static VOID CALLBACK completed(PVOID context, BOOLEAN timedOut)
{
    struct Wait *wait = context;
    (void)timedOut;
    EnterCriticalSection(&lock);
    if (bindings[wait->slot].file == wait->file && bindings[wait->slot].generation == wait->generation) {
        *wait->mask = wait->events;
        wait->overlapped->Internal = wait->own.Internal;
        wait->overlapped->InternalHigh = wait->own.InternalHigh;
        setIoCompletion(wait->port, wait->key, (ULONG_PTR)wait->overlapped, (LONG)wait->own.Internal, wait->own.InternalHigh);
    }
    LeaveCriticalSection(&lock);
    release(wait);
}

static BOOL WINAPI waitForEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped)
{
    struct Wait *wait = NULL;
    EnterCriticalSection(&lock);
    for (unsigned i = 0; i < slots && overlapped && !overlapped->hEvent && !wait; ++i) {
        if (bindings[i].file == file && (wait = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *wait)))
            wait->file = file, wait->port = bindings[i].port, wait->key = bindings[i].key, wait->slot = i, wait->generation = bindings[i].generation;
    }
    LeaveCriticalSection(&lock);
    if (!wait)
        return waitEvent(file, mask, overlapped);
    wait->overlapped = overlapped, wait->mask = mask, wait->owners = 2;
    wait->own.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    const HANDLE event = wait->own.hEvent;
    wait->own.hEvent = (HANDLE)((ULONG_PTR)event | 1); // the low bit: no completion queued by the system
    const BOOL done = waitEvent(file, &wait->events, &wait->own);
    const DWORD error = GetLastError();
    wait->own.hEvent = event;
    // Done at once or later, its event is set: the callback delivers either (Qt waits for
    // the completion in both cases, as Windows queues one in both).
    EnterCriticalSection(&lock);
    if (!done && error != ERROR_IO_PENDING)
        wait->owners = 1;
    else if (!RegisterWaitForSingleObject(&wait->wait, event, completed, wait, INFINITE, WT_EXECUTEONLYONCE))
        abort();
    LeaveCriticalSection(&lock);
    release(wait);
    SetLastError(error);
    return done;
}

static BOOL WINAPI cancelPort(HANDLE file)
{
    EnterCriticalSection(&lock);
    for (unsigned i = 0; i < slots; ++i)
        bindings[i].generation += bindings[i].file == file;
    LeaveCriticalSection(&lock);
    return cancelIo(file);
}

static void redirect(HMODULE module, ULONG_PTR original, ULONG_PTR replacement)
{
    BYTE *base = (BYTE *)module;
    const IMAGE_NT_HEADERS *headers = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR *library = (const void *)(base + imports.VirtualAddress); library->Name; ++library) {
        for (IMAGE_THUNK_DATA *entry = (void *)(base + library->FirstThunk); entry->u1.Function; ++entry) {
            DWORD protection;
            if (entry->u1.Function == original && VirtualProtect(&entry->u1.Function, sizeof original, PAGE_READWRITE, &protection)) {
                entry->u1.Function = replacement;
                VirtualProtect(&entry->u1.Function, sizeof original, protection, &protection);
            }
        }
    }
}

__attribute__((constructor)) static void install(void)
{
    typedef void (*Any)(void); // casts through it say that the types are known to fit
    const HMODULE serialPort = GetModuleHandleW(L"Qt5SerialPort.dll"), kernel = GetModuleHandleW(L"kernel32.dll");
    if (!serialPort || !kernel)
        return;
    InitializeCriticalSection(&lock);
    setIoCompletion = (SetIoCompletion)(Any)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetIoCompletion");
    createPort = (CreatePort)(Any)GetProcAddress(kernel, "CreateIoCompletionPort");
    waitEvent = (WaitEvent)(Any)GetProcAddress(kernel, "WaitCommEvent");
    cancelIo = (Cancel)(Any)GetProcAddress(kernel, "CancelIo");
    redirect(serialPort, (ULONG_PTR)createPort, (ULONG_PTR)bindPort);
    redirect(serialPort, (ULONG_PTR)waitEvent, (ULONG_PTR)waitForEvent);
    redirect(serialPort, (ULONG_PTR)cancelIo, (ULONG_PTR)cancelPort);
}
