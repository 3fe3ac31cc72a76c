// Framework requests: buffers and parameters, completion (exactly once), cancellation, stop
// acknowledgement and forwarding between queues. A received request's object is deleted when it is
// completed; the verifier recognises its handle if it is completed again.
#include "fxio.h"

#include <host/verifier.h>

#include <new>
#include <unordered_set>

namespace fx
{
namespace
{

// Handles of received requests already completed (and deleted), forgotten when the address is reused.
struct CompletedSet {
    std::mutex lock;
    std::unordered_set<const void*> handles;
};

CompletedSet& Completed()
{
    static CompletedSet* set = new CompletedSet;
    return *set;
}

void ForgetCompleted(const void* handle)
{
    std::lock_guard<std::mutex> guard(Completed().lock);
    Completed().handles.erase(handle);
}

// Validates a request handle; a handle completed before is reported as a second completion.
Request* Live(WDFREQUEST handle, const char* api)
{
    {
        std::lock_guard<std::mutex> guard(Completed().lock);
        if (Completed().handles.count(handle) != 0) {
            host::VerifierReport(host::Check::RequestCompletedTwice, "%s: request %p was already completed",
                                 api, static_cast<void*>(handle));
            return nullptr;
        }
    }
    return As<Request>(handle, Kind::Request, api);
}

void RunCancel(Request* request)
{
    Object* scopeObject = request->queue != nullptr ? static_cast<Object*>(request->queue) : request;
    Object* serializer = request->queue != nullptr ? request->queue->serializer : nullptr;
    {
        CallbackScope scope(scopeObject, "EvtRequestCancel", serializer);
        request->cancel(request->Handle());
    }
    RunDeferredDeletions();
}

bool SetCancel(Request* request, PFN_WDF_REQUEST_CANCEL cancel)
{
    request->cancel = cancel;
    return host::io::SetCancelRoutine(request->irp, [request](host::io::Irp*) { RunCancel(request); });
}

// The request's buffer in one direction: input for writes and control requests, output for reads and
// control requests.
NTSTATUS Buffer(Request* request, bool input, size_t minimum, PVOID* buffer, size_t* length)
{
    host::io::Irp* irp = request->irp;
    size_t size;
    switch (irp->major) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        size = input ? irp->inputLength : irp->outputLength;
        break;
    case IRP_MJ_READ:
        if (input)
            return STATUS_INVALID_DEVICE_REQUEST;
        size = irp->outputLength;
        break;
    case IRP_MJ_WRITE:
        if (!input)
            return STATUS_INVALID_DEVICE_REQUEST;
        size = irp->inputLength;
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (size == 0 || size < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    *buffer = irp->buffer.data();
    if (length != nullptr)
        *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS RetrieveBuffer(WDFREQUEST Request, bool input, size_t minimum, PVOID* Buffer, size_t* Length,
                        const char* api)
{
    if (Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Buffer = nullptr;
    if (Length != nullptr)
        *Length = 0;
    fx::Request* request = Live(Request, api);
    if (request == nullptr)
        return STATUS_INVALID_PARAMETER;
    return fx::Buffer(request, input, minimum, Buffer, Length);
}

NTSTATUS RetrieveMemory(WDFREQUEST Request, bool input, WDFMEMORY* Memory, const char* api)
{
    if (Memory == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Memory = nullptr;
    fx::Request* request = Live(Request, api);
    if (request == nullptr)
        return STATUS_INVALID_PARAMETER;
    Object*& memory = input ? request->inputMemory : request->outputMemory;
    if (memory == nullptr) {
        PVOID buffer = nullptr;
        size_t length = 0;
        NTSTATUS status = fx::Buffer(request, input, 1, &buffer, &length);
        if (!NT_SUCCESS(status))
            return status;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Request;
        WDFMEMORY created = nullptr;
        status = WdfMemoryCreatePreallocated(&attributes, buffer, length, &created);
        if (!NT_SUCCESS(status))
            return status;
        memory = static_cast<Object*>(static_cast<WDFOBJECT>(created));
    }
    *Memory = reinterpret_cast<WDFMEMORY>(ToHandle(memory));
    return STATUS_SUCCESS;
}

} // namespace

void RequestTimedOut(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* request = static_cast<Request*>(context);
    request->sentTo->CancelOne(request->irp);
    Dereference(request);
}

Request::Request() : Object(Kind::Request)
{
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&timerDpc, RequestTimedOut, this);
}

Request::~Request()
{
    if (timerSet)
        KeCancelTimer(&timer);
}

bool Request::MarkCompleted()
{
    std::lock_guard<std::recursive_mutex> guard(completion);
    return !completed.exchange(true);
}

void Request::Release()
{
    if (queue != nullptr)
        queue->Done(this);
    if (powerReference) {
        powerReference = false;
        host::io::NodePowerDereference(queue->device->node);
    }
}

Request* RequestCreateForIrp(Device* device, host::io::Irp* irp, const void* caller)
{
    auto* request = new (std::nothrow) Request;
    if (request == nullptr)
        return nullptr;
    request->irp = irp;
    request->device = device;
    WDF_OBJECT_ATTRIBUTES attributes;
    if (device->hasRequestAttributes) {
        attributes = device->requestAttributes;
        attributes.ParentObject = nullptr;
    }
    WDFREQUEST handle = nullptr;
    if (!NT_SUCCESS(
            Publish(request, device->hasRequestAttributes ? &attributes : nullptr, device, caller, &handle)))
        return nullptr;
    ForgetCompleted(handle);
    return request;
}

void RequestComplete(Request* request, NTSTATUS status, ULONG_PTR information)
{
    if (request->device == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter,
                             "WdfRequestComplete on request %p, which the driver created",
                             static_cast<void*>(request));
        return;
    }
    if (!request->MarkCompleted()) {
        host::VerifierReport(host::Check::RequestCompletedTwice, "request %p completed twice",
                             static_cast<void*>(request));
        return;
    }
    host::io::Irp* irp = request->irp;
    request->Release();
    {
        std::lock_guard<std::mutex> guard(Completed().lock);
        Completed().handles.insert(ToHandle(request));
    }
    Delete(request);
    host::io::Complete(irp, status, information);
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request)
{
    if (Request == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Request = nullptr;
    fx::Object* parent = DriverOfCaller(_ReturnAddress());
    if (IoTarget != nullptr) {
        auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfRequestCreate");
        if (target == nullptr)
            return STATUS_INVALID_PARAMETER;
        parent = target->device;
    }
    auto* request = new (std::nothrow) fx::Request;
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    request->ownIrp.reset(new (std::nothrow) host::io::Irp);
    if (request->ownIrp == nullptr) {
        delete request;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->irp = request->ownIrp.get();
    request->irp->irp.IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = Publish(request, RequestAttributes, parent, _ReturnAddress(), Request);
    if (NT_SUCCESS(status))
        ForgetCompleted(*Request);
    return status;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    auto* request = Live(Request, "WdfRequestReuse");
    if (request == nullptr || ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS))
        return STATUS_INVALID_PARAMETER;
    if (request->device != nullptr || !request->irp->frames.empty())
        return STATUS_INVALID_DEVICE_REQUEST; // only an idle request the driver created
    host::io::Irp* irp = request->irp;
    irp->Format(0, 0, nullptr, 0, 0);
    irp->irp.IoStatus.Status = ReuseParams->Status;
    request->format = {};
    request->completionParams = {};
    request->sentTo = nullptr;
    return STATUS_SUCCESS;
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    if (auto* request = Live(Request, "WdfRequestComplete"))
        RequestComplete(request, Status, request->information);
}

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    if (auto* request = Live(Request, "WdfRequestCompleteWithInformation"))
        RequestComplete(request, Status, Information);
}

void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    if (auto* request = Live(Request, "WdfRequestSetInformation"))
        request->information = Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestGetInformation");
    if (request == nullptr)
        return 0;
    return request->device != nullptr ? request->information : request->irp->irp.IoStatus.Information;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestGetStatus");
    return request == nullptr ? STATUS_INVALID_PARAMETER : request->irp->irp.IoStatus.Status;
}

void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    auto* request = Live(Request, "WdfRequestGetParameters");
    if (request == nullptr || Parameters == nullptr)
        return;
    host::io::Irp* irp = request->irp;
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    Parameters->Type = static_cast<WDF_REQUEST_TYPE>(irp->major);
    switch (irp->major) {
    case IRP_MJ_READ:
        Parameters->Parameters.Read.Length = irp->outputLength;
        Parameters->Parameters.Read.DeviceOffset = irp->offset;
        break;
    case IRP_MJ_WRITE:
        Parameters->Parameters.Write.Length = irp->inputLength;
        Parameters->Parameters.Write.DeviceOffset = irp->offset;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        Parameters->Parameters.DeviceIoControl.IoControlCode = irp->ioctl;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = irp->inputLength;
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = irp->outputLength;
        break;
    }
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length)
{
    return RetrieveBuffer(Request, true, MinimumRequiredLength, Buffer, Length,
                          "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length)
{
    return RetrieveBuffer(Request, false, MinimumRequiredSize, Buffer, Length,
                          "WdfRequestRetrieveOutputBuffer");
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return RetrieveMemory(Request, true, Memory, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return RetrieveMemory(Request, false, Memory, "WdfRequestRetrieveOutputMemory");
}

// On a request already cancelled the cancel routine runs at once.
void WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    auto* request = Live(Request, "WdfRequestMarkCancelable");
    if (request == nullptr || EvtRequestCancel == nullptr)
        return;
    if (!SetCancel(request, EvtRequestCancel))
        RunCancel(request);
}

// On a request already cancelled nothing is set: STATUS_CANCELLED, and the caller completes it.
NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    auto* request = Live(Request, "WdfRequestMarkCancelableEx");
    if (request == nullptr || EvtRequestCancel == nullptr)
        return STATUS_INVALID_PARAMETER;
    return SetCancel(request, EvtRequestCancel) ? STATUS_SUCCESS : STATUS_CANCELLED;
}

// STATUS_CANCELLED when the cancel routine has run or is running: it owns the completion then.
NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestUnmarkCancelable");
    if (request == nullptr)
        return STATUS_INVALID_PARAMETER;
    return host::io::ClearCancelRoutine(request->irp) ? STATUS_SUCCESS : STATUS_CANCELLED;
}

BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestIsCanceled");
    return request != nullptr && request->irp->irp.Cancel;
}

void WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    auto* request = Live(Request, "WdfRequestStopAcknowledge");
    if (request == nullptr || request->queue == nullptr)
        return;
    request->queue->Acknowledge(request, Requeue != FALSE);
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    auto* request = Live(Request, "WdfRequestForwardToIoQueue");
    auto* destination = As<fx::Queue>(DestinationQueue, Kind::Queue, "WdfRequestForwardToIoQueue");
    if (request == nullptr || destination == nullptr)
        return STATUS_INVALID_PARAMETER;
    fx::Queue* source = request->queue;
    if (source == nullptr || source == destination || source->device != destination->device)
        return STATUS_INVALID_DEVICE_REQUEST;
    {
        std::lock_guard<std::mutex> guard(source->lock);
        if (source->presented.count(request) == 0)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    destination->Enqueue(request);
    source->Done(request);
    return STATUS_SUCCESS;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestGetIoQueue");
    return request == nullptr || request->queue == nullptr ? nullptr : request->queue->Handle();
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestGetFileObject");
    if (request == nullptr || request->device == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(request->device->ioLock);
    auto it = request->device->files.find(request->irp->file);
    return it == request->device->files.end() ? nullptr
                                              : reinterpret_cast<WDFFILEOBJECT>(ToHandle(it->second));
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestGetRequestorMode");
    return request == nullptr ? KPROCESSOR_MODE(KernelMode) : request->irp->irp.RequestorMode;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request)
{
    auto* request = Live(Request, "WdfRequestWdmGetIrp");
    return request == nullptr ? nullptr : &request->irp->irp;
}

} // extern "C"
