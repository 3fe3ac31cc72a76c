#include "IpcContext.h"

namespace
{

// Driver-wide: a new start of any device clears it again.
volatile UCHAR g_terminate_threads; // read by every thread of the host interface
KEVENT g_terminate_threads_event;

} // namespace

BOOLEAN IpcShouldTerminateThreads(const UCHAR* Terminate)
{
    if (Terminate != NULL) {
        WriteUCharRelease(&g_terminate_threads, *Terminate);
        if (*Terminate != 0)
            KeSetEvent(&g_terminate_threads_event, IO_NO_INCREMENT, FALSE);
        else
            KeClearEvent(&g_terminate_threads_event);
    }
    return ReadUCharAcquire(&g_terminate_threads) != 0;
}

void IpcInitTerminiateThreadsEvent(void)
{
    KeInitializeEvent(&g_terminate_threads_event, NotificationEvent, FALSE);
}

PKEVENT IpcGetTerminateThreadsEvent(void)
{
    return &g_terminate_threads_event;
}
