// The system work queue: registered host threads running work items at PASSIVE_LEVEL. Like the
// executive's worker pool it grows while its threads are all taken by items that block: queued work
// with every worker busy gets another worker, up to kMaxWorkers, so items that wait for long (a
// handshake waiting for the modem) do not starve the others.
#include "executive_internal.h"

#include <host/verifier.h>

#include <algorithm>

namespace host::exec {

namespace {

constexpr size_t kMaxWorkers = 16;

} // namespace

bool GrowWorkersLocked(Exec& x)
{
    if (!x.started || x.stopping || IsListEmpty(&x.work) || x.workers.size() >= kMaxWorkers ||
        !std::all_of(x.workers.begin(), x.workers.end(), [](const auto& worker) { return worker->busy; }))
        return false;
    auto worker = std::make_unique<Worker>();
    worker->index = static_cast<ULONG>(x.workers.size());
    worker->record = RecordCreateLocked(true);
    Worker* raw = worker.get();
    x.workers.push_back(std::move(worker));
    raw->thread = std::thread(WorkerMain, raw);
    return true;
}

void WorkerMain(Worker* worker)
{
    Exec& x = X();
    SetSelf(worker->record);
    Lock lock(x.lock);
    for (;;) {
        if (!IsListEmpty(&x.work)) {
            WorkItem* item = CONTAINING_RECORD(RemoveHeadList(&x.work), WorkItem, link);
            item->queued = false; // the routine may queue its item again, or free it
            worker->busy = true;
            worker->owner = item->owner;
            lock.unlock();
            KIRQL irql;
            int locks;
            CallbackEnter("work item", &irql, &locks);
            item->routine(item);
            CallbackLeave("work item", irql, locks);
            lock.lock();
            worker->busy = false;
            worker->owner = nullptr;
            CheckQuiescersLocked();
        } else if (x.stopping) {
            break;
        } else {
            IdleWait(lock, *worker->record);
        }
    }
    HostThreadExit(lock, worker->record);
}

int WorkLeakCheck(Image* image)
{
    std::vector<const void*> leaked;
    {
        Lock lock(X().lock);
        for (PLIST_ENTRY entry = X().work.Flink; entry != &X().work; entry = entry->Flink) {
            WorkItem* item = CONTAINING_RECORD(entry, WorkItem, link);
            if (ImageFromAddress(item->owner) == image)
                leaked.push_back(item);
        }
        for (auto& worker : X().workers)
            if (worker->busy && ImageFromAddress(worker->owner) == image)
                leaked.push_back(worker->owner);
    }
    for (const void* what : leaked)
        VerifierReport(Check::WorkItemLeak, "image %s unloaded with work %p queued or running", ImageName(image).c_str(),
                       what);
    return static_cast<int>(leaked.size());
}

} // namespace host::exec

namespace host {

bool WorkQueue(WorkItem* item)
{
    if (item == nullptr || item->routine == nullptr) {
        VerifierReport(Check::InvalidParameter, "work item %p queued without a routine", static_cast<void*>(item));
        return false;
    }
    exec::Exec& x = exec::X();
    exec::Lock lock(x.lock);
    if (item->queued)
        return false;
    item->queued = true;
    InsertTailList(&x.work, &item->link);
    for (auto& worker : x.workers)
        if (worker->record != nullptr && worker->record->blocked && worker->record->idle) {
            exec::WakeIdle(worker->record);
            return true;
        }
    // On the virtual clock the pool grows when nothing else can run (see AdvanceIdleLocked), so that
    // what a test queues stays queued while it runs.
    if (x.mode == ClockMode::Real)
        exec::GrowWorkersLocked(x);
    return true;
}

bool WorkCancel(WorkItem* item)
{
    exec::Lock lock(exec::X().lock);
    if (!item->queued)
        return false;
    RemoveEntryList(&item->link);
    item->queued = false;
    return true;
}

} // namespace host
