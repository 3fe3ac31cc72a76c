// Timer queues: timers whose callbacks run on host threads, timed by the host clock.
#pragma once

#include <windef.h>

typedef void(CALLBACK* WAITORTIMERCALLBACK)(PVOID lpParameter, BOOLEAN TimerOrWaitFired);

#define WT_EXECUTEDEFAULT 0x00000000
#define WT_EXECUTEONLYONCE 0x00000008

extern "C" {

HANDLE CreateTimerQueue(void);
// Due time and period in milliseconds; a period of 0 fires once.
BOOL CreateTimerQueueTimer(PHANDLE phNewTimer, HANDLE TimerQueue, WAITORTIMERCALLBACK Callback, PVOID Parameter,
                           DWORD DueTime, DWORD Period, ULONG Flags);
// CompletionEvent: INVALID_HANDLE_VALUE waits for a running callback; NULL does not (FALSE with
// ERROR_IO_PENDING while one runs); an event handle is set once no callback runs any more.
BOOL DeleteTimerQueueTimer(HANDLE TimerQueue, HANDLE Timer, HANDLE CompletionEvent);
BOOL DeleteTimerQueueEx(HANDLE TimerQueue, HANDLE CompletionEvent);

} // extern "C"
