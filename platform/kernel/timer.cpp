// Kernel timers on the host clock: fired by the thread that moves virtual time, or by a timer thread in
// real mode. Expiry signals the timer and queues its DPC.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {
namespace {

constexpr LONGLONG kUnitsPerMs = 10000;

// Removes the timer from the queue (lock held); true when it was set.
bool Remove(PKTIMER timer)
{
    Exec& x = X();
    auto it = x.timerIndex.find(timer);
    if (it == x.timerIndex.end())
        return false;
    x.timers.erase(it->second);
    x.timerIndex.erase(it);
    timer->Inserted = FALSE;
    return true;
}

void Insert(PKTIMER timer, LONGLONG due)
{
    Exec& x = X();
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Inserted = TRUE;
    x.timerIndex[timer] = x.timers.emplace(due, timer);
}

BOOLEAN Set(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc, PVOID owner)
{
    if (period < 0) {
        host::VerifierReport(Check::InvalidParameter, "timer %p set with a negative period", static_cast<void*>(timer));
        return FALSE;
    }
    Exec& x = X();
    Lock lock(x.lock);
    bool wasSet = Remove(timer);
    LONGLONG now = NowLocked();
    SetSignalState(&timer->Header, 0);
    timer->Period = static_cast<ULONG>(period);
    timer->Dpc = dpc;
    timer->Owner = owner;
    Insert(timer, DeadlineFromTimeout(&dueTime, now));
    if (static_cast<LONGLONG>(timer->DueTime.QuadPart) <= now)
        ExpireDueLocked(); // a due time in the past fires at once
    else if (x.mode == ClockMode::Real)
        x.timerCv.notify_one();
    return wasSet ? TRUE : FALSE;
}

void TimerMain()
{
    Exec& x = X();
    Lock lock(x.lock);
    while (!x.timerStop) {
        ExpireDueLocked();
        if (x.timers.empty())
            x.timerCv.wait(lock);
        else
            x.timerCv.wait_until(lock, WallTime(x.timers.begin()->first));
    }
}

} // namespace

void ExpireTimerLocked(PKTIMER timer)
{
    LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart);
    Remove(timer);
    SetSignalState(&timer->Header, 1);
    SignalLocked(&timer->Header);
    if (timer->Period != 0) {
        LONGLONG now = NowLocked();
        LONGLONG period = static_cast<LONGLONG>(timer->Period) * kUnitsPerMs;
        LONGLONG next = due + period;
        Insert(timer, next > now ? next : now + period);
    }
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = kBootSystemTime + due;
        DpcQueueLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                       reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(systemTime.HighPart))));
    }
}

void TimersReset()
{
    Exec& x = X();
    Lock lock(x.lock);
    x.timers.clear();
    x.timerIndex.clear();
}

void TimerThreadStart()
{
    Exec& x = X();
    {
        Lock lock(x.lock);
        x.timerStop = false;
    }
    x.timerThread = std::thread(TimerMain);
}

void TimerThreadStop()
{
    Exec& x = X();
    if (!x.timerThread.joinable())
        return;
    {
        Lock lock(x.lock);
        x.timerStop = true;
        x.timerCv.notify_one();
    }
    x.timerThread.join();
}

int TimerLeakCheck(Image* image)
{
    std::vector<PKTIMER> leaked;
    {
        Lock lock(X().lock);
        for (auto& entry : X().timers)
            if (ImageFromAddress(entry.second->Owner) == image)
                leaked.push_back(entry.second);
    }
    for (PKTIMER timer : leaked)
        VerifierReport(Check::TimerLeak, "image %s unloaded with its timer %p still set", ImageName(image).c_str(),
                       static_cast<void*>(timer));
    return static_cast<int>(leaked.size());
}

} // namespace host::exec

using namespace host::exec;

extern "C" {

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Lock lock(X().lock);
    Remove(Timer); // memory reused for a new timer must not stay queued
    UCHAR type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    if (HasWaitersLocked(&Timer->Header)) {
        Timer->Header.Type = type; // the waiters stay linked so that their waits still end cleanly
        SetSignalState(&Timer->Header, 0);
    } else {
        HeaderInitialize(&Timer->Header, type, 0);
    }
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->Inserted = FALSE;
    Timer->Owner = nullptr;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

// The owner recorded is the setter's return address, so a leak names the image that set the timer.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return Set(Timer, DueTime, 0, Dpc, __builtin_return_address(0));
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    return Set(Timer, DueTime, Period, Dpc, __builtin_return_address(0));
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    Lock lock(X().lock);
    return Remove(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return SignalState(&Timer->Header) != 0 ? TRUE : FALSE; }

} // extern "C"
