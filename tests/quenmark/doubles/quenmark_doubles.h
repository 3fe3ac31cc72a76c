// Stand-ins for the filter's worker threads and its status path, for the unit tests: the workers only
// record their wakes (the work bits are the module's own words), and the status path records what
// reaches FilterStatus.
#pragma once

#include "filter.h"

#include <functional>
#include <vector>

namespace quenmarktest
{

// Wakes of a worker since the last Reset.
int Wakes(const WORKER_THREAD* worker);
// Runs on each wake, on the waker's thread (at its IRQL: it must not wait).
void OnWake(std::function<void(PWORKER_THREAD worker)> hook);
// The next start of the named worker fails with `status`.
enum class Worker { Sync, Switch, Confirm };
void FailStart(Worker worker, NTSTATUS status);
// Workers started and not stopped.
int RunningWorkers();

struct SeenIndication {
    NDIS_STATUS code;
    ULONG64 requestId;
    std::vector<UCHAR> buffer;
};
std::vector<SeenIndication> StatusSeen();

// The sleeps the filter asked for, in milliseconds.
std::vector<ULONG> Sleeps();
// Runs after each sleep, on the sleeper's thread.
void OnSleep(std::function<void()> hook);

void Reset();

} // namespace quenmarktest
