// Waits on caller-owned notification events, and delays on the host clock.
#include "kal.h"

namespace
{

NTSTATUS wait_single(PKEVENT event, LONGLONG* timeout)
{
    LARGE_INTEGER due;
    PLARGE_INTEGER due_ptr = NULL;
    if (timeout != NULL) {
        due.QuadPart = *timeout;
        due_ptr = &due;
    }
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, due_ptr);
}

} // namespace

bool win_wait_event_interruptible_timeout(PKEVENT event, bool skip, LONGLONG timeout)
{
    if (skip)
        return true;
    NTSTATUS status = wait_single(event, &timeout);
    KeClearEvent(event);
    return status == STATUS_SUCCESS;
}

int win_wait_interruptible(PKEVENT event)
{
    NTSTATUS status = wait_single(event, NULL);
    KeClearEvent(event);
    return status == STATUS_SUCCESS ? 0 : 1;
}

int win_wait_once(PKEVENT event, LONGLONG timeout)
{
    return wait_single(event, &timeout) == STATUS_SUCCESS ? 0 : 1;
}

bool win_wait_any_event(ULONG count, PKEVENT* events, int* index)
{
    *index = -1;
    if (count == 0 || count > THREAD_WAIT_OBJECTS) {
        ccci_err(KAL_TAG, "wait on %u events refused: at most %d without a wait-block array", count,
                 THREAD_WAIT_OBJECTS);
        return true;
    }
    NTSTATUS status = KeWaitForMultipleObjects(count, reinterpret_cast<PVOID*>(events), WaitAny, Executive,
                                               KernelMode, FALSE, NULL, NULL);
    *index = (int)(status & 0x3F);
    return status < 0;
}

void msleep(u32 ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void udelay(u32 us)
{
    KeStallExecutionProcessor(us);
}
