// Framework I/O queues: dispatching to the driver (sequential, parallel, manual), power management,
// stop, purge and cancellation of waiting requests.
//
// One thread at a time presents a queue's requests; requests arriving meanwhile are presented by it
// once the current callback returns, so callbacks never nest on one stack. When a power-managed queue
// stops because its device leaves D0, requests the driver owns get EvtIoStop and the device waits until
// each is acknowledged or completed; without EvtIoStop they simply stay with the driver and continue.
#include "fxio.h"

#include <host/verifier.h>

#include <algorithm>
#include <new>

namespace fx
{
namespace
{

void PumpFromWorker(host::WorkItem* item)
{
    Queue* queue = OwnedWork<Queue>::From(item);
    queue->Pump();
    Dereference(queue);
}

bool Drained(const Queue* queue)
{
    for (const Request* request : queue->presented)
        if (!request->stopAcknowledged)
            return false;
    return true;
}

void UpdateDrained(Queue* queue)
{
    if (Drained(queue))
        KeSetEvent(&queue->drained, IO_NO_INCREMENT, FALSE);
    else
        KeClearEvent(&queue->drained);
}

const char* PresentName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_READ:
        return "EvtIoRead";
    case IRP_MJ_WRITE:
        return "EvtIoWrite";
    case IRP_MJ_DEVICE_CONTROL:
        return "EvtIoDeviceControl";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "EvtIoInternalDeviceControl";
    }
    return "EvtIoDefault";
}

// Hands a request to the driver's callback for its type, or EvtIoDefault.
void Present(Queue* queue, Request* request)
{
    const WDF_IO_QUEUE_CONFIG& c = queue->config;
    host::io::Irp* irp = request->irp;
    WDFQUEUE q = queue->Handle();
    WDFREQUEST r = request->Handle();
    {
        CallbackScope scope(queue, PresentName(irp->major), queue->serializer);
        if (irp->major == IRP_MJ_READ && c.EvtIoRead != nullptr)
            c.EvtIoRead(q, r, irp->outputLength);
        else if (irp->major == IRP_MJ_WRITE && c.EvtIoWrite != nullptr)
            c.EvtIoWrite(q, r, irp->inputLength);
        else if (irp->major == IRP_MJ_DEVICE_CONTROL && c.EvtIoDeviceControl != nullptr)
            c.EvtIoDeviceControl(q, r, irp->outputLength, irp->inputLength, irp->ioctl);
        else if (irp->major == IRP_MJ_INTERNAL_DEVICE_CONTROL && c.EvtIoInternalDeviceControl != nullptr)
            c.EvtIoInternalDeviceControl(q, r, irp->outputLength, irp->inputLength, irp->ioctl);
        else if (c.EvtIoDefault != nullptr)
            c.EvtIoDefault(q, r);
        else
            RequestComplete(request, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    RunDeferredDeletions();
}

void SetCancelOnQueue(Queue* queue, Request* request, std::vector<Request*>* cancelledNow)
{
    bool set = host::io::SetCancelRoutine(request->irp, [queue, request](host::io::Irp*) {
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(queue->lock);
            auto it = std::find(queue->waiting.begin(), queue->waiting.end(), request);
            if (it != queue->waiting.end()) {
                queue->waiting.erase(it);
                found = true;
            }
        }
        // Not waiting any more: whoever took it off the list saw the cancellation and handles it.
        if (found)
            queue->Cancelled(request);
    });
    if (!set) {
        auto it = std::find(queue->waiting.begin(), queue->waiting.end(), request);
        if (it != queue->waiting.end())
            queue->waiting.erase(it);
        cancelledNow->push_back(request);
    }
}

// The object whose lock serialises a queue's callbacks, by the scope the queue resolves to.
Object* QueueSerializer(Queue* queue)
{
    for (Object* o = queue; o != nullptr; o = o->parent) {
        if (o->synchronizationScope == WdfSynchronizationScopeNone)
            return nullptr;
        if (o->synchronizationScope == WdfSynchronizationScopeQueue)
            return queue;
        if (o->synchronizationScope == WdfSynchronizationScopeDevice)
            return queue->device;
    }
    return nullptr;
}

} // namespace

void Queue::Cancelled(Request* request)
{
    if (config.EvtIoCanceledOnQueue != nullptr) {
        {
            CallbackScope scope(this, "EvtIoCanceledOnQueue", serializer);
            config.EvtIoCanceledOnQueue(Handle(), request->Handle());
        }
        RunDeferredDeletions();
        return;
    }
    RequestComplete(request, STATUS_CANCELLED, 0);
}

void Queue::Enqueue(Request* request, bool front)
{
    if (!powerManaged && request->powerReference) {
        host::io::NodePowerDereference(device->node);
        request->powerReference = false;
    }
    std::vector<Request*> cancelled;
    bool refused;
    {
        std::lock_guard<std::mutex> guard(lock);
        refused = !accepting;
        request->queue = this;
        if (!refused) {
            if (front)
                waiting.push_front(request);
            else
                waiting.push_back(request);
            SetCancelOnQueue(this, request, &cancelled);
        }
    }
    // The request waits in the queue before it asks for power, so the power-up finds it there.
    if (!refused && powerManaged && !request->powerReference) {
        request->powerReference = true;
        host::io::NodePowerReference(device->node, false);
    }
    // A purged queue refuses what arrives until it is started again.
    if (refused)
        RequestComplete(request, STATUS_CANCELLED, 0);
    for (Request* r : cancelled)
        Cancelled(r);
    Pump();
}

void Queue::Pump()
{
    if (passive && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        Reference(this);
        if (!host::WorkQueue(&pumpWork.item))
            Dereference(this);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pumping) {
            pumpAgain = true;
            return;
        }
        pumping = true;
    }
    for (;;) {
        Request* request = nullptr;
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            bool may = running && (!powerManaged || powered) &&
                       config.DispatchType != WdfIoQueueDispatchManual && !waiting.empty() &&
                       (config.DispatchType != WdfIoQueueDispatchSequential || presented.empty()) &&
                       (config.DispatchType != WdfIoQueueDispatchParallel ||
                        presented.size() < config.Settings.Parallel.NumberOfPresentedRequests);
            if (!may) {
                if (pumpAgain) {
                    pumpAgain = false;
                    continue;
                }
                pumping = false;
                return;
            }
            request = waiting.front();
            waiting.pop_front();
            cancelled = !host::io::ClearCancelRoutine(request->irp);
            if (!cancelled) {
                presented.insert(request);
                UpdateDrained(this);
            }
        }
        if (cancelled)
            Cancelled(request);
        else
            Present(this, request);
    }
}

Request* Queue::Retrieve()
{
    std::vector<Request*> cancelled;
    Request* found = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        while (!waiting.empty() && found == nullptr) {
            Request* request = waiting.front();
            waiting.pop_front();
            if (host::io::ClearCancelRoutine(request->irp)) {
                presented.insert(request);
                UpdateDrained(this);
                found = request;
            } else {
                cancelled.push_back(request);
            }
        }
    }
    for (Request* r : cancelled)
        Cancelled(r);
    return found;
}

void Queue::Done(Request* request)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        presented.erase(request);
        UpdateDrained(this);
    }
    Pump();
}

void Queue::Acknowledge(Request* request, bool requeue)
{
    std::vector<Request*> cancelled;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (presented.count(request) == 0) {
            host::VerifierReport(host::Check::InvalidParameter,
                                 "WdfRequestStopAcknowledge on a request the queue did not present");
            return;
        }
        request->stopAcknowledged = true;
        if (requeue) {
            request->stopAcknowledged = false;
            presented.erase(request);
            waiting.push_front(request);
            SetCancelOnQueue(this, request, &cancelled);
        }
        UpdateDrained(this);
    }
    for (Request* r : cancelled)
        Cancelled(r);
}

void Queue::Stop(bool purge, bool powerStop, bool wait)
{
    std::vector<Request*> cancelled;
    std::vector<Request*> toStop;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (powerStop)
            powered = false;
        else
            running = false;
        if (purge) {
            accepting = false;
            // A request whose cancel routine is already running no longer finds itself waiting and
            // leaves the cancellation to this purge.
            for (Request* request : waiting) {
                host::io::ClearCancelRoutine(request->irp);
                cancelled.push_back(request);
            }
            waiting.clear();
        }
        // A purge reaches every request the driver holds, acknowledged before or not.
        for (Request* request : presented)
            if (purge || !request->stopAcknowledged) {
                request->stopAcknowledged = false;
                Reference(request);
                toStop.push_back(request);
            }
        // Without EvtIoStop the driver keeps its requests through a power change.
        if (powerStop && config.EvtIoStop == nullptr)
            for (Request* request : presented)
                request->stopAcknowledged = true;
        UpdateDrained(this);
    }
    for (Request* request : cancelled)
        Cancelled(request);
    for (Request* request : toStop) {
        std::unique_lock<std::recursive_mutex> hold(request->completion);
        if (!request->completed && config.EvtIoStop != nullptr) {
            ULONG flags = powerStop ? WdfRequestStopActionSuspend : WdfRequestStopActionPurge;
            bool cancelable;
            {
                std::lock_guard<std::mutex> guard(request->irp->lock);
                cancelable = static_cast<bool>(request->irp->cancelRoutine);
            }
            if (cancelable)
                flags |= WdfRequestStopRequestCancelable;
            {
                CallbackScope scope(this, "EvtIoStop", serializer);
                config.EvtIoStop(Handle(), request->Handle(), flags);
            }
            RunDeferredDeletions();
        }
        // A purge cancels what the driver holds cancelable.
        if (purge && !request->completed)
            host::io::Cancel(request->irp);
        hold.unlock();
        Dereference(request);
    }
    if (wait)
        KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, nullptr);
}

void Queue::Start(bool powerStart)
{
    std::vector<Request*> resumed;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (powerStart) {
            powered = true;
        } else {
            running = true;
            accepting = true;
        }
        for (Request* request : presented)
            if (request->stopAcknowledged) {
                request->stopAcknowledged = false;
                Reference(request);
                resumed.push_back(request);
            }
        UpdateDrained(this);
    }
    for (Request* request : resumed) {
        std::unique_lock<std::recursive_mutex> hold(request->completion);
        if (!request->completed && config.EvtIoResume != nullptr) {
            {
                CallbackScope scope(this, "EvtIoResume", serializer);
                config.EvtIoResume(Handle(), request->Handle());
            }
            RunDeferredDeletions();
        }
        hold.unlock();
        Dereference(request);
    }
    Pump();
}

void Queue::Dispose()
{
    Stop(true, false, true);
    std::lock_guard<std::mutex> guard(device->ioLock);
    auto& all = device->queues;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    if (device->defaultQueue == this)
        device->defaultQueue = nullptr;
    for (auto it = device->dispatching.begin(); it != device->dispatching.end();)
        it = it->second == this ? device->dispatching.erase(it) : std::next(it);
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    if (Queue != nullptr)
        *Queue = nullptr;
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax)
        return STATUS_INVALID_PARAMETER;
    if (Config->DispatchType == WdfIoQueueDispatchParallel &&
        Config->Settings.Parallel.NumberOfPresentedRequests == 0)
        return STATUS_INVALID_PARAMETER;
    // A manual queue has no request callbacks (EvtIoCanceledOnQueue aside).
    if (Config->DispatchType == WdfIoQueueDispatchManual &&
        (Config->EvtIoDefault != nullptr || Config->EvtIoRead != nullptr || Config->EvtIoWrite != nullptr ||
         Config->EvtIoDeviceControl != nullptr || Config->EvtIoInternalDeviceControl != nullptr))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(device->ioLock);
        if (Config->DefaultQueue && device->defaultQueue != nullptr)
            return STATUS_INVALID_DEVICE_STATE;
    }
    auto* queue = new (std::nothrow) fx::Queue;
    if (queue == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    queue->device = device;
    queue->config = *Config;
    queue->powerManaged = Config->PowerManaged == WdfUseDefault ? device->PowerManagedByDefault()
                                                                : Config->PowerManaged == WdfTrue;
    queue->pumpWork.owner = queue;
    queue->pumpWork.item.routine = PumpFromWorker;
    WDFQUEUE handle = nullptr;
    NTSTATUS status = Publish(queue, QueueAttributes, device, _ReturnAddress(), &handle);
    if (!NT_SUCCESS(status))
        return status;
    queue->serializer = QueueSerializer(queue);
    queue->passive = ExecutionLevel(queue) == WdfExecutionLevelPassive;
    {
        std::lock_guard<std::mutex> guard(device->ioLock);
        queue->powered = device->queuesPowered;
        device->queues.push_back(queue);
        if (Config->DefaultQueue)
            device->defaultQueue = queue;
    }
    if (Queue != nullptr)
        *Queue = handle;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceConfigureRequestDispatching");
    auto* queue = As<fx::Queue>(Queue, Kind::Queue, "WdfDeviceConfigureRequestDispatching");
    if (device == nullptr || queue == nullptr || queue->device != device)
        return STATUS_INVALID_PARAMETER;
    switch (RequestType) {
    case WdfRequestTypeRead:
    case WdfRequestTypeWrite:
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(device->ioLock);
    if (device->dispatching.count(static_cast<UCHAR>(RequestType)) != 0)
        return STATUS_INVALID_DEVICE_STATE;
    device->dispatching[static_cast<UCHAR>(RequestType)] = queue;
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    auto* queue = As<fx::Queue>(Queue, Kind::Queue, "WdfIoQueueGetDevice");
    return queue == nullptr ? nullptr : queue->device->Handle();
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest)
{
    if (OutRequest == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutRequest = nullptr;
    auto* queue = As<fx::Queue>(Queue, Kind::Queue, "WdfIoQueueRetrieveNextRequest");
    if (queue == nullptr)
        return STATUS_INVALID_PARAMETER;
    fx::Request* request = queue->Retrieve();
    if (request == nullptr)
        return STATUS_NO_MORE_ENTRIES;
    *OutRequest = request->Handle();
    return STATUS_SUCCESS;
}

void WdfIoQueueStart(WDFQUEUE Queue)
{
    if (auto* queue = As<fx::Queue>(Queue, Kind::Queue, "WdfIoQueueStart"))
        queue->Start(false);
}

namespace
{

// Reports the end of an asynchronous stop or purge once the driver-owned requests are done.
struct StopNotice {
    host::WorkItem item;
    fx::Queue* queue;
    PFN_WDF_IO_QUEUE_STATE complete;
    WDFCONTEXT context;
    const char* what;
};

void RunStopNotice(host::WorkItem* item)
{
    auto* notice = reinterpret_cast<StopNotice*>(item);
    fx::Queue* queue = notice->queue;
    KeWaitForSingleObject(&queue->drained, Executive, KernelMode, FALSE, nullptr);
    {
        CallbackScope scope(queue, notice->what, queue->serializer);
        notice->complete(queue->Handle(), notice->context);
    }
    RunDeferredDeletions();
    Dereference(queue);
    delete notice;
}

void StopWith(WDFQUEUE Queue, bool purge, PFN_WDF_IO_QUEUE_STATE complete, WDFCONTEXT context, bool wait,
              const char* api)
{
    auto* queue = As<fx::Queue>(Queue, Kind::Queue, api);
    if (queue == nullptr)
        return;
    if (wait && InOwnCallback(queue)) {
        host::VerifierReport(host::Check::FlushFromOwnCallback, "%s from the queue's own callback", api);
        return;
    }
    queue->Stop(purge, false, wait);
    if (complete == nullptr)
        return;
    auto* notice = new StopNotice{
        {}, queue, complete, context, purge ? "EvtIoQueuePurgeComplete" : "EvtIoQueueStopComplete"};
    notice->item.routine = RunStopNotice;
    notice->item.owner = reinterpret_cast<const void*>(complete);
    Reference(queue);
    host::WorkQueue(&notice->item);
}

} // namespace

void WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context)
{
    StopWith(Queue, false, StopComplete, Context, false, "WdfIoQueueStop");
}

void WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    StopWith(Queue, false, nullptr, nullptr, true, "WdfIoQueueStopSynchronously");
}

void WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context)
{
    StopWith(Queue, true, PurgeComplete, Context, false, "WdfIoQueuePurge");
}

void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue)
{
    StopWith(Queue, true, nullptr, nullptr, true, "WdfIoQueuePurgeSynchronously");
}

} // extern "C"
