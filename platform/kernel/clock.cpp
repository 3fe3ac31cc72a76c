// The host clock: virtual time that jumps when every registered thread is blocked, or scaled wall time;
// the blocking primitive every wait, delay and stall goes through; and the kernel's time queries.
#include "executive_internal.h"

#include <host/verifier.h>

#include <algorithm>

namespace host::exec {

Exec& X()
{
    static Exec* exec = new Exec; // host threads may outlive static teardown
    return *exec;
}

LONGLONG Now()
{
    Exec& x = X();
    if (x.mode == ClockMode::Virtual)
        return x.now.load(std::memory_order_acquire);
    auto elapsed = std::chrono::duration<double, std::ratio<1, 10000000>>(std::chrono::steady_clock::now() - x.wallBase);
    return x.realOffset.load() + static_cast<LONGLONG>(elapsed.count() * x.scale);
}

LONGLONG NowLocked() { return Now(); }

std::chrono::steady_clock::time_point WallTime(LONGLONG deadline)
{
    Exec& x = X();
    double units = static_cast<double>(deadline - x.realOffset.load()) / x.scale;
    units = std::min(units, 1e16); // about 30 years: far enough to mean "never" without overflowing
    return x.wallBase + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double, std::ratio<1, 10000000>>(units));
}

LONGLONG DeadlineFromTimeout(const LARGE_INTEGER* timeout, LONGLONG now)
{
    if (timeout == nullptr)
        return kInfinite;
    LONGLONG value = timeout->QuadPart;
    if (value < 0) {
        if (value == INT64_MIN || -value > kInfinite - 1 - now)
            return kInfinite;
        return now - value;
    }
    if (value == 0)
        return now;
    return std::max<LONGLONG>(value - kBootSystemTime, 0); // absolute system time
}

void Wake(ThreadRecord& record, NTSTATUS result)
{
    if (!record.blocked)
        return;
    Exec& x = X();
    record.blocked = false;
    record.satisfied = true;
    record.result = result;
    if (record.hasDeadline) {
        x.deadlines.erase(record.deadlineIt);
        record.hasDeadline = false;
    }
    if (record.registered)
        x.runnable++;
    x.hangReported = false;
    record.cv.notify_one();
}

void ExpireDueLocked()
{
    Exec& x = X();
    LONGLONG now = NowLocked();
    for (;;) {
        bool timerDue = !x.timers.empty() && x.timers.begin()->first <= now;
        bool waitDue = !x.deadlines.empty() && x.deadlines.begin()->first <= now;
        if (!timerDue && !waitDue)
            return;
        // At equal times the timer goes first, so a wait on it with the same deadline sees it signalled.
        if (timerDue && (!waitDue || x.timers.begin()->first <= x.deadlines.begin()->first))
            ExpireTimerLocked(x.timers.begin()->second);
        else
            Wake(*x.deadlines.begin()->second, STATUS_TIMEOUT);
    }
}

std::string DescribeBlockedLocked()
{
    std::string text;
    for (ThreadRecord* record : X().records) {
        if (!record->registered || !record->blocked || record->idle)
            continue;
        char line[160];
        if (record->spinWait != nullptr)
            snprintf(line, sizeof(line), " thread %p spins on lock %p;", record->id, static_cast<void*>(record->spinWait));
        else if (record->quiescing)
            snprintf(line, sizeof(line), " thread %p waits for deferred work to drain;", record->id);
        else
            snprintf(line, sizeof(line), " thread %p waits on %u object(s) with no time-out;", record->id,
                     record->waitCount);
        text += line;
    }
    return text;
}

void AdvanceIdleLocked(Lock& lock, bool reportHang)
{
    Exec& x = X();
    while (x.runnable == 0) {
        // Work waits behind workers that are all blocked in their items: the pool grows before time
        // moves on.
        if (GrowWorkersLocked(x))
            continue;
        if (x.quiescers > 0 && QuietLocked()) {
            CheckQuiescersLocked();
            continue;
        }
        LONGLONG next = kInfinite;
        if (!x.deadlines.empty())
            next = x.deadlines.begin()->first;
        if (!x.timers.empty())
            next = std::min(next, x.timers.begin()->first);
        if (next == kInfinite) {
            if (!reportHang || x.hangReported)
                return;
            std::string blocked = DescribeBlockedLocked();
            if (blocked.empty())
                return; // only idle host threads: nothing is waiting for anything
            x.hangReported = true;
            lock.unlock();
            VerifierReport(Check::HostHang, "every registered thread is blocked and nothing has a deadline:%s",
                           blocked.c_str());
            lock.lock();
            continue;
        }
        if (next > x.now.load(std::memory_order_relaxed))
            x.now.store(next, std::memory_order_release);
        ExpireDueLocked();
    }
}

void Block(Lock& lock, ThreadRecord& self, LONGLONG deadline)
{
    Exec& x = X();
    self.blocked = true;
    self.satisfied = false;
    if (deadline != kInfinite) {
        self.deadlineIt = x.deadlines.emplace(deadline, &self);
        self.hasDeadline = true;
    }
    if (self.registered)
        x.runnable--;
    if (x.mode == ClockMode::Virtual) {
        while (!self.satisfied) {
            if (x.runnable == 0)
                AdvanceIdleLocked(lock, true);
            if (self.satisfied)
                break;
            self.cv.wait(lock);
        }
        return;
    }
    while (!self.satisfied) {
        if (deadline == kInfinite)
            self.cv.wait(lock);
        else if (NowLocked() >= deadline)
            Wake(self, STATUS_TIMEOUT);
        else
            self.cv.wait_until(lock, WallTime(deadline));
    }
}

void IdleWait(Lock& lock, ThreadRecord& self)
{
    self.idle = true;
    Block(lock, self, kInfinite);
    self.idle = false;
}

void WakeIdle(ThreadRecord* record)
{
    if (record != nullptr && record->blocked && record->idle)
        Wake(*record, STATUS_SUCCESS);
}

void UnregisterLocked(Lock& lock, ThreadRecord& record, bool reportHang)
{
    Exec& x = X();
    if (!record.registered)
        return;
    record.registered = false;
    x.runnable--;
    if (x.mode == ClockMode::Virtual && x.runnable == 0)
        AdvanceIdleLocked(lock, reportHang);
}

} // namespace host::exec

namespace host {

using namespace exec;

LONGLONG ClockNow() { return Now(); }

void ClockAdvance(LONGLONG delta100ns)
{
    if (delta100ns < 0) {
        VerifierReport(Check::InvalidParameter, "ClockAdvance by a negative amount (%lld)", (long long)delta100ns);
        return;
    }
    Exec& x = X();
    if (x.mode == ClockMode::Real) {
        Lock lock(x.lock);
        x.realOffset += delta100ns;
        for (auto& entry : x.deadlines)
            entry.second->cv.notify_one();
        x.timerCv.notify_one();
        return;
    }
    // A timed block to now + delta: the clock gets there only when every other registered thread has
    // blocked, stepping through each deadline on the way.
    ThreadRecord& self = Self();
    Lock lock(x.lock);
    self.waitCount = 0;
    Block(lock, self, x.now.load() + delta100ns);
}

void ClockRegisterThread()
{
    ThreadRecord& self = Self();
    Exec& x = X();
    Lock lock(x.lock);
    if (self.registered)
        return;
    self.registered = true;
    x.runnable++;
}

void ClockUnregisterThread()
{
    ThreadRecord& self = Self();
    Lock lock(X().lock);
    UnregisterLocked(lock, self, false);
}

} // namespace host

using namespace host::exec;

extern "C" {

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kBootSystemTime + Now(); }
void KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }
void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = Now() / kTimeIncrement; }
ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }
ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(Now()); }

ULONGLONG KeQueryInterruptTimePrecise(PULONG64 QpcTimeStamp)
{
    LONGLONG now = Now();
    if (QpcTimeStamp != nullptr)
        *QpcTimeStamp = static_cast<ULONG64>(now);
    return static_cast<ULONGLONG>(now);
}

// The performance counter runs at 10 MHz, so its ticks are the clock's 100 ns units.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER counter;
    counter.QuadPart = Now();
    return counter;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Interval == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (Interval->QuadPart == 0)
        return STATUS_SUCCESS;
    CheckBlockingIrql("KeDelayExecutionThread");
    ThreadRecord& self = Self();
    Lock lock(X().lock);
    LONGLONG deadline = DeadlineFromTimeout(Interval, NowLocked());
    if (deadline <= NowLocked())
        return STATUS_SUCCESS;
    self.waitCount = 0;
    Block(lock, self, deadline);
    return STATUS_SUCCESS;
}

// A stall busy-waits on real hardware; here it is a timed block, so virtual time moves past it. It is
// allowed at any IRQL.
void KeStallExecutionProcessor(ULONG MicroSeconds)
{
    if (MicroSeconds == 0)
        return;
    ThreadRecord& self = Self();
    Lock lock(X().lock);
    self.waitCount = 0;
    Block(lock, self, NowLocked() + static_cast<LONGLONG>(MicroSeconds) * 10);
}

} // extern "C"
