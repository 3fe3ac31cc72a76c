// Win32 threads on the executive's thread records, sleeps, and the tick and performance counters of the
// host clock.
#include <processthreadsapi.h>
#include <profileapi.h>
#include <synchapi.h>
#include <sysinfoapi.h>

#include <host/executive.h>
#include <host/image.h>
#include <host/process.h>
#include <host/verifier.h>

#include "kernel/executive_internal.h"
#include "win32_internal.h"

#include <system_error>

using namespace host::exec;

namespace host::win32 {
namespace {

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// Set on threads made by CreateThread or _beginthreadex: only they may end themselves early.
thread_local bool t_win32Thread = false;

// Unwinds a Win32 thread to its trampoline.
struct ThreadExit {
    DWORD code;
};

void Trampoline(ThreadRecord* record, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                std::shared_ptr<Process> process)
{
    SetSelf(record);
    SetCurrentProcess(std::move(process));
    t_win32Thread = true;
    KIRQL irql;
    int locks;
    CallbackEnter("Win32 thread", &irql, &locks);
    DWORD code;
    try {
        code = start(parameter);
    } catch (const ThreadExit& exit) {
        code = exit.code;
    }
    CallbackLeave("Win32 thread", irql, locks);
    AbandonMutexesOf(record);
    {
        Lock lock(X().lock);
        record->exitCode = code;
    }
    SetCurrentProcess(nullptr);
    RecordExit(record);
}

HANDLE StartThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, DWORD* threadId)
{
    constexpr DWORD kStackSizeIsReservation = 0x00010000;
    if (start == nullptr || (flags & ~kStackSizeIsReservation) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (InjectedFailure(Creation::Thread))
        return nullptr;
    ThreadRecord* record = RecordCreate(true);
    record->image = ImageFromAddress(reinterpret_cast<const void*>(start));
    HANDLE handle = HandleCreate(record->object, THREAD_ALL_ACCESS);
    try {
        std::thread(Trampoline, record, start, parameter, CurrentProcessShared()).detach();
    } catch (const std::system_error&) {
        HandleClose(handle);
        RecordExit(record);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record->id));
    return handle;
}

[[noreturn]] void EndThread(DWORD code, const char* what)
{
    if (!t_win32Thread) {
        VerifierReport(Check::InvalidParameter, "%s on a thread that CreateThread did not start", what);
        abort();
    }
    throw ThreadExit{code};
}

// The thread record behind a handle (or the pseudo handle of the calling thread), referenced.
DWORD ThreadReference(HANDLE handle, Object** object, ThreadRecord** record)
{
    if (handle == kCurrentThread) {
        *record = &Self();
        *object = (*record)->object;
        ObjectReference(*object);
        return ERROR_SUCCESS;
    }
    NTSTATUS status = HandleReference(handle, ObjectKind::Thread, 0, object, nullptr);
    if (!NT_SUCCESS(status))
        return ErrorFromStatus(status);
    *record = static_cast<PKTHREAD>((*object)->body)->Record;
    return ERROR_SUCCESS;
}

bool ValidPriority(int priority)
{
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
           priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
}

} // namespace

LONGLONG DeadlineAfter(DWORD milliseconds)
{
    return milliseconds == INFINITE ? kInfinite : Now() + LONGLONG{milliseconds} * 10000;
}

} // namespace host::win32

using namespace host::win32;

extern "C" {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId)
{
    UNREFERENCED_PARAMETER(lpThreadAttributes);
    UNREFERENCED_PARAMETER(dwStackSize);
    return StartThread(lpStartAddress, lpParameter, dwCreationFlags, lpThreadId);
}

void ExitThread(DWORD dwExitCode) { EndThread(dwExitCode, "ExitThread"); }

// The C runtime's form: 0 on failure (the runtime's errno is not emulated; GetLastError says why).
uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned(WINAPI* start_address)(void*), void* arglist,
                         unsigned initflag, unsigned* thrdaddr)
{
    UNREFERENCED_PARAMETER(security);
    UNREFERENCED_PARAMETER(stack_size);
    DWORD id = 0;
    HANDLE handle = StartThread(start_address, arglist, initflag, &id);
    if (handle != nullptr && thrdaddr != nullptr)
        *thrdaddr = id;
    return reinterpret_cast<uintptr_t>(handle);
}

void _endthreadex(unsigned retval) { EndThread(retval, "_endthreadex"); }

HANDLE GetCurrentThread(void) { return kCurrentThread; }

DWORD GetCurrentThreadId(void) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(Self().id)); }

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    if (lpExitCode == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    host::Object* object = nullptr;
    ThreadRecord* record = nullptr;
    if (DWORD error = ThreadReference(hThread, &object, &record); error != ERROR_SUCCESS)
        return Fail(error);
    {
        Lock lock(X().lock);
        *lpExitCode = record->exitCode;
    }
    host::ObjectDereference(object);
    return TRUE;
}

// Priorities are recorded as the thread's base increment, not applied.
int GetThreadPriority(HANDLE hThread)
{
    host::Object* object = nullptr;
    ThreadRecord* record = nullptr;
    if (DWORD error = ThreadReference(hThread, &object, &record); error != ERROR_SUCCESS) {
        SetLastError(error);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    int priority;
    {
        Lock lock(X().lock);
        priority = record->baseIncrement;
    }
    host::ObjectDereference(object);
    return priority;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    if (!ValidPriority(nPriority))
        return Fail(ERROR_INVALID_PARAMETER);
    host::Object* object = nullptr;
    ThreadRecord* record = nullptr;
    if (DWORD error = ThreadReference(hThread, &object, &record); error != ERROR_SUCCESS)
        return Fail(error);
    KeSetBasePriorityThread(&record->kthread, nPriority);
    host::ObjectDereference(object);
    return TRUE;
}

HANDLE GetCurrentProcess(void) { return kCurrentProcess; }

DWORD GetCurrentProcessId(void) { return host::CurrentProcess().id; }

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

// Nothing queues user APCs here, so an alertable sleep runs its full time.
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    UNREFERENCED_PARAMETER(bAlertable);
    LARGE_INTEGER interval;
    interval.QuadPart = dwMilliseconds == INFINITE ? INT64_MIN : -LONGLONG{dwMilliseconds} * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
    return 0;
}

// Milliseconds since the host started, as a tick count counts them since boot.
DWORD GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64(void) { return static_cast<ULONGLONG>(Now() / 10000); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr)
        return Fail(ERROR_NOACCESS);
    *lpPerformanceCount = KeQueryPerformanceCounter(nullptr);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    if (lpFrequency == nullptr)
        return Fail(ERROR_NOACCESS);
    KeQueryPerformanceCounter(lpFrequency);
    return TRUE;
}

} // extern "C"
