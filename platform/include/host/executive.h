// System work queue: host worker threads that run routines at PASSIVE_LEVEL. Framework work items
// and the I/O manager's work items are built on it.
#pragma once

#include <wdm.h>

#include <functional>

namespace host {

struct WorkItem {
    void (*routine)(WorkItem* item) = nullptr;
    const void* owner = nullptr; // code address the item is attributed to (its image)
    // Host bookkeeping.
    LIST_ENTRY link{};
    bool queued = false;
};

// Queues the item for a worker thread; false when it is already queued.
bool WorkQueue(WorkItem* item);
// Removes a queued item; false when it is not queued (running or done).
bool WorkCancel(WorkItem* item);

// Runs `run` on emulated processor `index`'s thread at DISPATCH_LEVEL, ahead of its queued DPCs (the
// hook interrupt delivery uses to run an ISR there). False when there is no such processor.
bool ProcessorRun(ULONG index, std::function<void()> run);

// Runs `routine` as a host callback: IRQL and held spin locks are checked when it returns.
// `what` names the callback in reports.
void CallbackEnter(const char* what, KIRQL* irqlAtEntry, int* locksAtEntry);
void CallbackLeave(const char* what, KIRQL irqlAtEntry, int locksAtEntry);

} // namespace host
