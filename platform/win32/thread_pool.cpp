// Timer queues. Each timer runs on a Win32 thread of its own that waits on the host clock, so virtual
// time reaches its due times like any other wait; deleting a timer cancels that wait.
#include <handleapi.h>
#include <processthreadsapi.h>
#include <synchapi.h>
#include <threadpoollegacyapiset.h>

#include "win32_internal.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace host::win32 {
namespace {

struct QueueTimer;

struct TimerQueue : Object {
    TimerQueue() : Object(ObjectKind::Other) {}
    std::mutex lock;
    std::vector<QueueTimer*> timers;
};

struct QueueTimer : Object {
    QueueTimer() : Object(ObjectKind::Other) {}
    WAITORTIMERCALLBACK callback = nullptr;
    PVOID parameter = nullptr;
    DWORD due = 0;
    DWORD period = 0;
    HANDLE cancel = nullptr;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    std::atomic<bool> running{false};
    TimerQueue* queue = nullptr;
    HANDLE handle = nullptr; // the creator's handle, closed when the timer is deleted
};

TimerQueue& DefaultQueue()
{
    static TimerQueue* queue = new TimerQueue;
    return *queue;
}

template <class T>
T* Resolve(HANDLE handle)
{
    Object* object = nullptr;
    if (!NT_SUCCESS(HandleReference(handle, ObjectKind::Other, 0, &object, nullptr)))
        return nullptr;
    auto* typed = dynamic_cast<T*>(object);
    ObjectDereference(object); // the handle keeps it alive while its owner uses it
    return typed;
}

DWORD WINAPI TimerMain(LPVOID context)
{
    auto* timer = static_cast<QueueTimer*>(context);
    for (DWORD wait = timer->due; WaitForSingleObject(timer->cancel, wait) == WAIT_TIMEOUT; wait = timer->period) {
        timer->running = true;
        timer->callback(timer->parameter, TRUE);
        timer->running = false;
        if (timer->period == 0)
            break;
    }
    return 0;
}

// Cancels the timer and ends it as `completion` asks; the timer is gone afterwards either way.
BOOL Delete(HANDLE handle, QueueTimer* timer, HANDLE completion)
{
    SetEvent(timer->cancel);
    bool ownThread = GetCurrentThreadId() == timer->threadId;
    BOOL result = TRUE;
    if (completion == nullptr || ownThread) {
        if (timer->running) {
            SetLastError(ERROR_IO_PENDING);
            result = FALSE;
        }
    } else {
        // INVALID_HANDLE_VALUE waits for a running callback; an event is set once it has ended.
        WaitForSingleObject(timer->thread, INFINITE);
        if (completion != INVALID_HANDLE_VALUE)
            SetEvent(completion);
    }
    {
        std::lock_guard<std::mutex> guard(timer->queue->lock);
        std::erase(timer->queue->timers, timer);
    }
    CloseHandle(timer->thread);
    CloseHandle(timer->cancel);
    HandleClose(handle);
    return result;
}

} // namespace
} // namespace host::win32

using namespace host::win32;

extern "C" {

HANDLE CreateTimerQueue(void)
{
    auto* queue = new TimerQueue;
    HANDLE handle = host::HandleCreate(queue, 0);
    host::ObjectDereference(queue);
    return handle;
}

BOOL CreateTimerQueueTimer(PHANDLE phNewTimer, HANDLE TimerQueue, WAITORTIMERCALLBACK Callback, PVOID Parameter,
                           DWORD DueTime, DWORD Period, ULONG Flags)
{
    if (phNewTimer == nullptr || Callback == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    struct TimerQueue* queue = TimerQueue == nullptr ? &DefaultQueue() : Resolve<struct TimerQueue>(TimerQueue);
    if (queue == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    auto* timer = new QueueTimer;
    timer->callback = Callback;
    timer->parameter = Parameter;
    timer->due = DueTime;
    timer->period = (Flags & WT_EXECUTEONLYONCE) ? 0 : Period;
    timer->queue = queue;
    timer->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (timer->cancel != nullptr)
        timer->thread = CreateThread(nullptr, 0, TimerMain, timer, 0, &timer->threadId);
    if (timer->thread == nullptr) {
        DWORD error = GetLastError();
        if (timer->cancel != nullptr)
            CloseHandle(timer->cancel);
        host::ObjectDereference(timer);
        return Fail(error);
    }
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->timers.push_back(timer);
    }
    timer->handle = host::HandleCreate(timer, 0);
    *phNewTimer = timer->handle;
    host::ObjectDereference(timer);
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE TimerQueue, HANDLE Timer, HANDLE CompletionEvent)
{
    QueueTimer* timer = Resolve<QueueTimer>(Timer);
    struct TimerQueue* queue = TimerQueue == nullptr ? &DefaultQueue() : Resolve<struct TimerQueue>(TimerQueue);
    if (timer == nullptr || queue == nullptr || timer->queue != queue)
        return Fail(ERROR_INVALID_PARAMETER);
    return Delete(Timer, timer, CompletionEvent);
}

BOOL DeleteTimerQueueEx(HANDLE TimerQueue, HANDLE CompletionEvent)
{
    struct TimerQueue* queue = Resolve<struct TimerQueue>(TimerQueue);
    if (queue == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    std::vector<QueueTimer*> timers;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        timers = queue->timers;
    }
    BOOL result = TRUE;
    for (QueueTimer* timer : timers) {
        host::ObjectReference(timer);
        result &= Delete(timer->handle, timer, CompletionEvent);
        host::ObjectDereference(timer);
    }
    host::HandleClose(TimerQueue);
    return result;
}

} // extern "C"
