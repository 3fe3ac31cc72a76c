// Win32 processes and threads. Threads are the executive's threads: registered with the host clock,
// waitable through their handles, running at PASSIVE_LEVEL in the process of the thread that made them.
//
// _beginthreadex and _endthreadex (the C runtime's <process.h> on Windows) are declared here as well: the
// C runtime's thread start is the Win32 thread start with the runtime's types.
#pragma once

#include <windef.h>

#include <cstdint>

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define STILL_ACTIVE 259L

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

extern "C" {

// dwCreationFlags: only 0 is supported (no caller suspends a new thread); STACK_SIZE_PARAM_IS_A_RESERVATION
// is accepted and ignored.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                    LPDWORD lpThreadId);
// Ends a thread made by CreateThread or _beginthreadex: unwinds its stack to the thread start.
[[noreturn]] void ExitThread(DWORD dwExitCode);
HANDLE GetCurrentThread(void);
DWORD GetCurrentThreadId(void);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
int GetThreadPriority(HANDLE hThread);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);

HANDLE GetCurrentProcess(void);
DWORD GetCurrentProcessId(void);

uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned(WINAPI* start_address)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr);
[[noreturn]] void _endthreadex(unsigned retval);

} // extern "C"
