// Framework timers: a kernel timer whose DPC runs the callback at DISPATCH_LEVEL, or hands it to a
// system worker when the timer's execution level is passive.
#include "fx.h"

#include <host/executive.h>
#include <host/verifier.h>

#include <mutex>
#include <new>

namespace fx
{
namespace
{

void TimerDpc(PKDPC, PVOID context, PVOID, PVOID);
void RunPassive(host::WorkItem* item);

struct Timer : Object {
    explicit Timer(const WDF_TIMER_CONFIG& config) : Object(Kind::Timer), config(config)
    {
        KeInitializeTimerEx(&timer, NotificationTimer);
        KeInitializeDpc(&dpc, TimerDpc, this);
        KeInitializeEvent(&idle, NotificationEvent, TRUE);
        passiveWork.owner = this;
        passiveWork.item.routine = RunPassive;
        passiveWork.item.owner = reinterpret_cast<const void*>(config.EvtTimerFunc);
    }
    void Dispose() override { Stop(true); }
    BOOLEAN Stop(bool wait);
    bool CancelPending();
    void Run();

    WDF_TIMER_CONFIG config{};
    bool passive = false;
    KTIMER timer{};
    KDPC dpc{};
    OwnedWork<Timer> passiveWork{};
    std::mutex lock;
    bool pending = false; // passive callback waiting for a worker
    bool running = false;
    KEVENT idle{}; // signalled when neither pending nor running
};

void Timer::Run()
{
    Reference(this); // a waiting stop returns as soon as the timer is idle: keep it alive until we are done
    {
        std::lock_guard<std::mutex> guard(lock);
        running = true;
        KeClearEvent(&idle);
    }
    {
        CallbackScope scope(this, "EvtTimerFunc", config.AutomaticSerialization);
        config.EvtTimerFunc(reinterpret_cast<WDFTIMER>(ToHandle(this)));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        running = false;
        if (!pending)
            KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
    }
    RunDeferredDeletions();
    Dereference(this);
}

void RunPassive(host::WorkItem* item)
{
    Timer* timer = OwnedWork<Timer>::From(item);
    {
        std::lock_guard<std::mutex> guard(timer->lock);
        timer->pending = false;
    }
    timer->Run();
}

void TimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* timer = static_cast<Timer*>(context);
    if (!timer->passive) {
        timer->Run();
        return;
    }
    std::lock_guard<std::mutex> guard(timer->lock);
    if (timer->pending)
        return; // a passive run is already on its way: expiries coalesce
    timer->pending = true;
    KeClearEvent(&timer->idle);
    host::WorkQueue(&timer->passiveWork.item);
}

// Withdraws an expiry that has not reached the callback yet.
bool Timer::CancelPending()
{
    bool cancelled = KeRemoveQueueDpc(&dpc) != FALSE;
    std::lock_guard<std::mutex> guard(lock);
    if (pending && host::WorkCancel(&passiveWork.item)) {
        pending = false;
        cancelled = true;
    }
    if (!pending && !running)
        KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
    return cancelled;
}

BOOLEAN Timer::Stop(bool wait)
{
    bool wasSet = KeCancelTimer(&timer) != FALSE;
    wasSet = CancelPending() || wasSet;
    if (!wait)
        return wasSet;
    if (InOwnCallback(this)) {
        host::VerifierReport(host::Check::FlushFromOwnCallback,
                             "WdfTimerStop with wait from the timer's own callback");
        return wasSet;
    }
    KeFlushQueuedDpcs(); // an expiry being delivered right now has reached the callback or the worker
    CancelPending();
    KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
    return wasSet;
}

} // namespace
} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer)
{
    if (Timer == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Timer = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) || Config->EvtTimerFunc == nullptr ||
        Attributes == nullptr || Attributes->ParentObject == nullptr || Config->Period > MAXLONG)
        return STATUS_INVALID_PARAMETER;
    WDFTIMER created = nullptr;
    NTSTATUS status =
        Publish(new (std::nothrow) fx::Timer(*Config), Attributes, nullptr, _ReturnAddress(), &created);
    if (!NT_SUCCESS(status))
        return status;
    auto* timer = static_cast<fx::Timer*>(static_cast<WDFOBJECT>(created));
    timer->passive = ExecutionLevel(timer) == WdfExecutionLevelPassive;
    status = CheckSerialization(timer, Config->AutomaticSerialization, timer->passive);
    if (NT_SUCCESS(status))
        *Timer = created;
    return status;
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    auto* timer = As<fx::Timer>(Timer, Kind::Timer, "WdfTimerStart");
    if (timer == nullptr)
        return FALSE;
    LARGE_INTEGER due;
    due.QuadPart = DueTime;
    return KeSetTimerEx(&timer->timer, due, (LONG)timer->config.Period, &timer->dpc);
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    auto* timer = As<fx::Timer>(Timer, Kind::Timer, "WdfTimerStop");
    return timer == nullptr ? FALSE : timer->Stop(Wait != FALSE);
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
{
    auto* timer = As<fx::Timer>(Timer, Kind::Timer, "WdfTimerGetParentObject");
    return timer == nullptr ? nullptr : ToHandle(timer->parent);
}

} // extern "C"
