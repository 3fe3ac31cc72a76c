// The filter's workers and status path as the unit tests see them (see quenmark_doubles.h).
#include "quenmark_doubles.h"

#include <map>
#include <mutex>

namespace quenmarktest
{
namespace
{

struct State {
    std::mutex lock;
    std::map<const WORKER_THREAD*, int> wakes;
    std::function<void(PWORKER_THREAD)> onWake;
    std::map<Worker, NTSTATUS> failures;
    int running = 0;
    std::vector<SeenIndication> seen;
    std::vector<ULONG> sleeps;
    std::function<void()> onSleep;
};

State& S()
{
    static State* state = new State;
    return *state;
}

NTSTATUS Start(Worker which, PWORKER_THREAD worker, PFILTER_MODULE_CONTEXT module)
{
    std::lock_guard<std::mutex> guard(S().lock);
    auto failure = S().failures.find(which);
    if (failure != S().failures.end()) {
        NTSTATUS status = failure->second;
        S().failures.erase(failure);
        return status;
    }
    worker->Running = 1;
    worker->RoutineContext = module;
    S().running++;
    return STATUS_SUCCESS;
}

void Stop(PWORKER_THREAD worker)
{
    std::lock_guard<std::mutex> guard(S().lock);
    if (worker->Running) {
        worker->Running = 0;
        S().running--;
    }
}

} // namespace

int Wakes(const WORKER_THREAD* worker)
{
    std::lock_guard<std::mutex> guard(S().lock);
    auto found = S().wakes.find(worker);
    return found != S().wakes.end() ? found->second : 0;
}

void OnWake(std::function<void(PWORKER_THREAD)> hook)
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().onWake = std::move(hook);
}

void FailStart(Worker worker, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().failures[worker] = status;
}

int RunningWorkers()
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().running;
}

std::vector<SeenIndication> StatusSeen()
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().seen;
}

std::vector<ULONG> Sleeps()
{
    std::lock_guard<std::mutex> guard(S().lock);
    return S().sleeps;
}

void OnSleep(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().onSleep = std::move(hook);
}

void Reset()
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().wakes.clear();
    S().onWake = nullptr;
    S().failures.clear();
    S().seen.clear();
    S().sleeps.clear();
    S().onSleep = nullptr;
}

} // namespace quenmarktest

using namespace quenmarktest;

void WorkerThreadWake(PWORKER_THREAD Worker)
{
    std::function<void(PWORKER_THREAD)> hook;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().wakes[Worker]++;
        hook = S().onWake;
    }
    if (hook)
        hook(Worker);
}

NTSTATUS ModeSyncThreadStart(PFILTER_MODULE_CONTEXT Module)
{
    return Start(Worker::Sync, &Module->SyncWorker, Module);
}

void ModeSyncThreadStop(PFILTER_MODULE_CONTEXT Module)
{
    Stop(&Module->SyncWorker);
}

NTSTATUS ModeSwitchThreadStart(PFILTER_MODULE_CONTEXT Module)
{
    return Start(Worker::Switch, &Module->SwitchWorker, Module);
}

void ModeSwitchThreadStop(PFILTER_MODULE_CONTEXT Module)
{
    Stop(&Module->SwitchWorker);
}

NTSTATUS ConfirmThreadStart(PFILTER_MODULE_CONTEXT Module)
{
    return Start(Worker::Confirm, &Module->ConfirmWorker, Module);
}

void ConfirmThreadStop(PFILTER_MODULE_CONTEXT Module)
{
    Stop(&Module->ConfirmWorker);
}

void SleepMilliseconds(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(Milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().sleeps.push_back(Milliseconds);
        hook = S().onSleep;
    }
    if (hook)
        hook();
}

void ReplayRadioStateSet(PFILTER_MODULE_CONTEXT, PPENDING_RADIO_STATE_RECORD) {}

void OidProcessStatusIndication(PFILTER_MODULE_CONTEXT, PNDIS_STATUS_INDICATION Indication)
{
    SeenIndication seen{Indication->StatusCode, reinterpret_cast<ULONG64>(Indication->RequestId), {}};
    if (Indication->StatusBuffer != nullptr)
        seen.buffer.assign(static_cast<const UCHAR*>(Indication->StatusBuffer),
                           static_cast<const UCHAR*>(Indication->StatusBuffer) + Indication->StatusBufferSize);
    std::lock_guard<std::mutex> guard(S().lock);
    S().seen.push_back(std::move(seen));
}
