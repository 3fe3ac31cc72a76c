// Framework work items on the host's system worker threads. An item is queued at most once, never
// runs concurrently with itself, and an enqueue while it runs makes it run once more afterwards.
#include "fx.h"

#include <host/executive.h>
#include <host/verifier.h>

#include <mutex>
#include <new>

namespace fx
{
namespace
{

void RunWorkItem(host::WorkItem* item);

struct WorkItem : Object {
    explicit WorkItem(const WDF_WORKITEM_CONFIG& config) : Object(Kind::WorkItem), config(config)
    {
        work.owner = this;
        work.item.routine = RunWorkItem;
        work.item.owner = reinterpret_cast<const void*>(config.EvtWorkItemFunc);
        KeInitializeEvent(&idle, NotificationEvent, TRUE);
    }
    void Dispose() override;
    void Flush();

    WDF_WORKITEM_CONFIG config{};
    OwnedWork<WorkItem> work{};
    std::mutex lock;
    bool queued = false; // waiting for a worker (or to run again after the current run)
    bool running = false;
    KEVENT idle{}; // signalled when neither queued nor running
};

void Submit(WorkItem* work)
{
    host::WorkQueue(&work->work.item);
}

void RunWorkItem(host::WorkItem* item)
{
    WorkItem* work = OwnedWork<WorkItem>::From(item);
    Reference(work); // a flush returns as soon as the item is idle: keep it alive until we are done
    {
        std::lock_guard<std::mutex> guard(work->lock);
        work->queued = false;
        work->running = true;
    }
    {
        CallbackScope scope(work, "EvtWorkItemFunc", work->config.AutomaticSerialization);
        work->config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(ToHandle(work)));
    }
    {
        std::lock_guard<std::mutex> guard(work->lock);
        work->running = false;
        if (work->queued)
            Submit(work);
        else
            KeSetEvent(&work->idle, IO_NO_INCREMENT, FALSE);
    }
    RunDeferredDeletions();
    Dereference(work);
}

void WorkItem::Flush()
{
    if (InOwnCallback(this)) {
        host::VerifierReport(host::Check::FlushFromOwnCallback,
                             "WdfWorkItemFlush from the item's own callback");
        return;
    }
    KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
}

void WorkItem::Dispose()
{
    Flush();
}

} // namespace
} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem)
{
    if (WorkItem == nullptr)
        return STATUS_INVALID_PARAMETER;
    *WorkItem = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == nullptr || Attributes == nullptr || Attributes->ParentObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        return STATUS_INVALID_DEVICE_REQUEST;
    WDFWORKITEM created = nullptr;
    NTSTATUS status =
        Publish(new (std::nothrow) fx::WorkItem(*Config), Attributes, nullptr, _ReturnAddress(), &created);
    if (NT_SUCCESS(status)) // work items run at PASSIVE_LEVEL
        status = CheckSerialization(static_cast<Object*>(static_cast<WDFOBJECT>(created)),
                                    Config->AutomaticSerialization, true);
    if (NT_SUCCESS(status))
        *WorkItem = created;
    return status;
}

void WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    auto* work = As<fx::WorkItem>(WorkItem, Kind::WorkItem, "WdfWorkItemEnqueue");
    if (work == nullptr)
        return;
    std::lock_guard<std::mutex> guard(work->lock);
    if (work->queued)
        return;
    work->queued = true;
    KeClearEvent(&work->idle);
    if (!work->running)
        Submit(work);
}

void WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    if (auto* work = As<fx::WorkItem>(WorkItem, Kind::WorkItem, "WdfWorkItemFlush"))
        work->Flush();
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    auto* work = As<fx::WorkItem>(WorkItem, Kind::WorkItem, "WdfWorkItemGetParentObject");
    return work == nullptr ? nullptr : ToHandle(work->parent);
}

} // extern "C"
