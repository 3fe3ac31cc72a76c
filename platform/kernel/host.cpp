// Bringing the host up and down, draining deferred work, and the executive's unload checks.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {

bool QuietLocked()
{
    Exec& x = X();
    for (auto& processor : x.processors)
        if (processor->busy || !processor->runs.empty() || !IsListEmpty(&processor->dpcs))
            return false;
    for (auto& worker : x.workers)
        if (worker->busy)
            return false;
    if (!IsListEmpty(&x.work))
        return false;
    return x.timers.empty() || x.timers.begin()->first > NowLocked();
}

void CheckQuiescersLocked()
{
    Exec& x = X();
    if (x.quiescers == 0 || !QuietLocked())
        return;
    for (ThreadRecord* record : x.records)
        if (record->quiescing && record->blocked)
            Wake(*record, STATUS_SUCCESS);
}

} // namespace host::exec

namespace host {

using namespace exec;

void Start(const Config& config)
{
    Exec& x = X();
    static std::once_flag checks;
    std::call_once(checks, [] {
        ImageAddUnloadCheck(ThreadLeakCheck);
        ImageAddUnloadCheck(DpcLeakCheck);
        ImageAddUnloadCheck(TimerLeakCheck);
        ImageAddUnloadCheck(WorkLeakCheck);
    });
    {
        Lock lock(x.lock);
        if (x.started)
            return;
        x.config = config;
        detail::g_verifierOn.store(config.verifier, std::memory_order_relaxed);
        x.config.processors = config.processors == 0 ? 1 : std::min<ULONG>(config.processors, MAXIMUM_PROCESSORS);
        x.mode = config.clock;
        x.scale = config.scale > 0 ? config.scale : 1.0;
        x.now.store(0); // a new boot
        x.realOffset.store(0);
        x.wallBase = std::chrono::steady_clock::now();
        x.stopping = false;
        x.hangReported = false;
        x.started = true;
    }
    SpinLocksStart(config.clock == ClockMode::Virtual, config.verifier);
    TimersReset();
    ClockRegisterThread();
    HostThreadsStart(x.processors, x.config.processors, ProcessorMain);
    HostThreadsStart(x.workers, x.config.workerThreads, WorkerMain);
    if (x.mode == ClockMode::Real)
        TimerThreadStart();
}

void Shutdown()
{
    Exec& x = X();
    {
        Lock lock(x.lock);
        if (!x.started)
            return;
    }
    Quiesce();
    {
        Lock lock(x.lock);
        x.stopping = true;
    }
    HostThreadsStop(x.processors);
    HostThreadsStop(x.workers);
    TimerThreadStop();
    ClockUnregisterThread();
    Lock lock(x.lock);
    x.started = false;
}

bool IsStarted()
{
    Lock lock(X().lock);
    return X().started;
}

const Config& CurrentConfig() { return X().config; }

// Waits, as a blocked thread, until DPCs, work items and due timers have all run. Virtual time moves
// only as far as the draining work itself waits.
void Quiesce()
{
    Exec& x = X();
    ThreadRecord& self = Self();
    Lock lock(x.lock);
    ExpireDueLocked();
    if (QuietLocked())
        return;
    self.quiescing = true;
    self.waitCount = 0;
    x.quiescers++;
    Block(lock, self, kInfinite);
    x.quiescers--;
    self.quiescing = false;
}

} // namespace host
