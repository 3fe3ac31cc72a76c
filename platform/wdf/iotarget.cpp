// Framework I/O targets: the default (next-lower) target of each device and remote targets opened by
// name; sending requests synchronously (with time-outs) and asynchronously; stop, purge, close and the
// removal of a remote target's device.
#include "fxio.h"

#include <host/verifier.h>

#include <new>

namespace fx
{
namespace
{

PKTHREAD CurrentThread()
{
    return KeGetCurrentThread();
}

// Resolves a memory descriptor to a range of bytes.
NTSTATUS Describe(PWDF_MEMORY_DESCRIPTOR descriptor, void** buffer, size_t* length)
{
    *buffer = nullptr;
    *length = 0;
    if (descriptor == nullptr)
        return STATUS_SUCCESS;
    switch (descriptor->Type) {
    case WdfMemoryDescriptorTypeBuffer:
        *buffer = descriptor->u.BufferType.Buffer;
        *length = descriptor->u.BufferType.Length;
        return *buffer == nullptr && *length != 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    case WdfMemoryDescriptorTypeHandle: {
        size_t size = 0;
        auto* base = static_cast<UCHAR*>(WdfMemoryGetBuffer(descriptor->u.HandleType.Memory, &size));
        if (base == nullptr)
            return STATUS_INVALID_PARAMETER;
        size_t offset = 0;
        size_t span = size;
        if (PWDFMEMORY_OFFSET o = descriptor->u.HandleType.Offsets) {
            if (o->BufferOffset > size || (o->BufferLength != 0 && o->BufferLength > size - o->BufferOffset))
                return STATUS_INVALID_PARAMETER;
            offset = o->BufferOffset;
            span = o->BufferLength != 0 ? o->BufferLength : size - offset;
        }
        *buffer = base + offset;
        *length = span;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS DescribeMemory(WDFMEMORY memory, PWDFMEMORY_OFFSET offsets, void** buffer, size_t* length)
{
    if (memory == nullptr) {
        *buffer = nullptr;
        *length = 0;
        return STATUS_SUCCESS;
    }
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&descriptor, memory, offsets);
    return Describe(&descriptor, buffer, length);
}

// Applies a pending format to the request's record: the input is read now.
NTSTATUS ApplyFormat(Request* request)
{
    Request::Format& f = request->format;
    if (!f.pending)
        return STATUS_SUCCESS;
    void* input = nullptr;
    void* output = nullptr;
    size_t inputLength = 0, outputLength = 0;
    NTSTATUS status =
        DescribeMemory(f.input, f.hasInputOffset ? &f.inputOffset : nullptr, &input, &inputLength);
    if (NT_SUCCESS(status))
        status =
            DescribeMemory(f.output, f.hasOutputOffset ? &f.outputOffset : nullptr, &output, &outputLength);
    if (!NT_SUCCESS(status))
        return status;
    request->irp->Format(f.major, f.ioctl, input, inputLength, outputLength, f.offset);
    return STATUS_SUCCESS;
}

// Copies what came back into the output memory the format named.
void CopyBack(Request* request)
{
    Request::Format& f = request->format;
    if (!f.pending || f.output == nullptr)
        return;
    void* output = nullptr;
    size_t length = 0;
    if (!NT_SUCCESS(
            DescribeMemory(f.output, f.hasOutputOffset ? &f.outputOffset : nullptr, &output, &length)))
        return;
    host::io::Irp* irp = request->irp;
    size_t returned =
        std::min<size_t>(std::min<size_t>(irp->irp.IoStatus.Information, length), irp->buffer.size());
    if (returned != 0 && irp->major != IRP_MJ_WRITE)
        memcpy(output, irp->buffer.data(), returned);
}

// Sends and waits; `sent` tells whether the target took the request at all.
NTSTATUS SendSynchronously(IoTarget* target, host::io::Irp* irp, PWDF_REQUEST_SEND_OPTIONS options,
                           bool* sent = nullptr)
{
    bool ignoreState =
        options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    NTSTATUS status;
    bool taken = target->BeginSend(irp, ignoreState, &status);
    if (sent != nullptr)
        *sent = taken;
    if (!taken) {
        irp->irp.IoStatus.Status = status;
        return status;
    }
    const LONGLONG* timeout = options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0
                                  ? &options->Timeout
                                  : nullptr;
    return host::io::CallSynchronously(target->Destination(), irp, timeout,
                                       [target](host::io::Irp* done) { target->EndSend(done); });
}

// A synchronous send of a new request built from descriptors (or of the request the caller passes).
NTSTATUS SendFormatted(WDFIOTARGET IoTarget, WDFREQUEST Request, UCHAR major, ULONG ioctl,
                       PWDF_MEMORY_DESCRIPTOR input, PWDF_MEMORY_DESCRIPTOR output, LONGLONG offset,
                       PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR information, const char* api)
{
    if (information != nullptr)
        *information = 0;
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, api);
    if (target == nullptr)
        return STATUS_INVALID_PARAMETER;
    void* in = nullptr;
    void* out = nullptr;
    size_t inLength = 0, outLength = 0;
    NTSTATUS status = Describe(input, &in, &inLength);
    if (NT_SUCCESS(status))
        status = Describe(output, &out, &outLength);
    if (!NT_SUCCESS(status))
        return status;
    host::io::Irp local;
    host::io::Irp* irp = &local;
    if (Request != nullptr) {
        auto* request = As<fx::Request>(Request, Kind::Request, api);
        if (request == nullptr)
            return STATUS_INVALID_PARAMETER;
        irp = request->irp;
    }
    irp->Format(major, ioctl, in, inLength, outLength, offset);
    status = SendSynchronously(target, irp, options);
    ULONG_PTR returned = irp->irp.IoStatus.Information;
    if (!NT_ERROR(status) && out != nullptr) {
        size_t copied = std::min<size_t>(returned, outLength);
        if (copied != 0)
            memcpy(out, irp->buffer.data(), copied);
    }
    if (information != nullptr)
        *information = returned;
    return status;
}

NTSTATUS FormatFor(WDFIOTARGET IoTarget, WDFREQUEST Request, UCHAR major, ULONG ioctl, WDFMEMORY input,
                   PWDFMEMORY_OFFSET inputOffset, WDFMEMORY output, PWDFMEMORY_OFFSET outputOffset,
                   PLONGLONG deviceOffset, const char* api)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, api);
    auto* request = As<fx::Request>(Request, Kind::Request, api);
    if (target == nullptr || request == nullptr)
        return STATUS_INVALID_PARAMETER;
    Request::Format& f = request->format;
    f = {};
    f.pending = true;
    f.major = major;
    f.ioctl = ioctl;
    f.input = input;
    f.output = output;
    if (inputOffset != nullptr) {
        f.inputOffset = *inputOffset;
        f.hasInputOffset = true;
    }
    if (outputOffset != nullptr) {
        f.outputOffset = *outputOffset;
        f.hasOutputOffset = true;
    }
    f.offset = deviceOffset != nullptr ? *deviceOffset : 0;
    void* buffer;
    size_t length;
    NTSTATUS status = DescribeMemory(input, inputOffset, &buffer, &length);
    if (NT_SUCCESS(status))
        status = DescribeMemory(output, outputOffset, &buffer, &length);
    if (!NT_SUCCESS(status))
        f = {};
    return status;
}

// The completion of an asynchronous send: the driver's routine, or on for a received request without one.
bool Completed(Request* request, IoTarget* target, bool forget)
{
    target->EndSend(request->irp);
    if (forget)
        return true;
    // A time-out that has not fired goes with its reference; one that fired drops its own.
    if (request->timerSet) {
        request->timerSet = false;
        if (KeCancelTimer(&request->timer))
            Dereference(request);
    }
    CopyBack(request);
    request->completionParams.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    request->completionParams.Type = static_cast<WDF_REQUEST_TYPE>(request->irp->major);
    request->completionParams.IoStatus = request->irp->irp.IoStatus;
    if (request->completionRoutine != nullptr) {
        Object* serializer = request->queue != nullptr ? request->queue->serializer : nullptr;
        {
            CallbackScope scope(request, "EvtRequestCompletionRoutine", serializer);
            request->completionRoutine(request->Handle(), target->Handle(), &request->completionParams,
                                       request->completionContext);
        }
        RunDeferredDeletions();
        return false;
    }
    if (request->device != nullptr) {
        // Nobody to hand it back to: the received request completes on up the stack.
        request->MarkCompleted();
        request->Release();
        Delete(request);
        return true;
    }
    return false;
}

} // namespace

host::io::Device* IoTarget::Destination()
{
    std::lock_guard<std::mutex> guard(lock);
    if (isDefault)
        return device->wdm->lower;
    return file != nullptr ? file->device : nullptr;
}

bool IoTarget::BeginSend(host::io::Irp* irp, bool ignoreState, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(lock);
    bool open = isDefault ? device->wdm->lower != nullptr : file != nullptr;
    if (!open || (state != WdfIoTargetStarted && !ignoreState)) {
        *status = STATUS_INVALID_DEVICE_STATE;
        return false;
    }
    sent.insert(irp);
    KeClearEvent(&drained);
    return true;
}

void IoTarget::EndSend(host::io::Irp* irp)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            // A canceller on another thread may still be touching this request: wait for it.
            bool foreign = false;
            auto range = cancelling.equal_range(irp);
            for (auto it = range.first; it != range.second; ++it)
                foreign = foreign || it->second != CurrentThread();
            if (!foreign) {
                sent.erase(irp);
                if (sent.empty())
                    KeSetEvent(&drained, IO_NO_INCREMENT, FALSE);
                return;
            }
        }
        KeWaitForSingleObject(&cancelDone, Executive, KernelMode, FALSE, nullptr);
    }
}

void IoTarget::CancelOne(host::io::Irp* irp)
{
    std::multimap<host::io::Irp*, PKTHREAD>::iterator mine;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (sent.count(irp) == 0)
            return;
        mine = cancelling.emplace(irp, CurrentThread());
        KeClearEvent(&cancelDone);
    }
    host::io::Cancel(irp);
    std::lock_guard<std::mutex> guard(lock);
    cancelling.erase(mine);
    if (cancelling.empty())
        KeSetEvent(&cancelDone, IO_NO_INCREMENT, FALSE);
}

void IoTarget::CancelSent(bool wait)
{
    std::vector<host::io::Irp*> pending;
    {
        std::lock_guard<std::mutex> guard(lock);
        pending.assign(sent.begin(), sent.end());
    }
    for (host::io::Irp* irp : pending)
        CancelOne(irp);
    if (wait)
        KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, nullptr);
}

void IoTarget::Close(WDF_IO_TARGET_STATE closed)
{
    CancelSent(true);
    host::io::File* closing = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        closing = file;
        file = nullptr;
        state = closed;
    }
    if (closing != nullptr)
        host::io::FileClose(closing);
    if (closed != WdfIoTargetClosedForQueryRemove && watched != nullptr) {
        host::io::NodeRemoveListener(watched, this);
        watched = nullptr;
    }
}

void IoTarget::Dispose()
{
    if (isDefault)
        CancelSent(true);
    else
        Close(WdfIoTargetDeleted);
}

// Without the driver's callbacks a target closes for the query, reopens when the removal is cancelled
// and closes when it completes.
NTSTATUS IoTarget::QueryRemove()
{
    if (open.EvtIoTargetQueryRemove == nullptr) {
        Close(WdfIoTargetClosedForQueryRemove);
        return STATUS_SUCCESS;
    }
    NTSTATUS status;
    {
        CallbackScope scope(this, "EvtIoTargetQueryRemove", false);
        status = open.EvtIoTargetQueryRemove(Handle());
    }
    RunDeferredDeletions();
    return status;
}

void IoTarget::RemoveCanceled()
{
    if (open.EvtIoTargetRemoveCanceled == nullptr) {
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&params);
        WdfIoTargetOpen(Handle(), &params);
        return;
    }
    {
        CallbackScope scope(this, "EvtIoTargetRemoveCanceled", false);
        open.EvtIoTargetRemoveCanceled(Handle());
    }
    RunDeferredDeletions();
}

void IoTarget::RemoveComplete()
{
    if (open.EvtIoTargetRemoveComplete == nullptr) {
        Close(WdfIoTargetClosed);
    } else {
        {
            CallbackScope scope(this, "EvtIoTargetRemoveComplete", false);
            open.EvtIoTargetRemoveComplete(Handle());
        }
        RunDeferredDeletions();
    }
    if (watched != nullptr) {
        host::io::NodeRemoveListener(watched, this);
        watched = nullptr;
    }
}

IoTarget* IoTargetCreateDefault(Device* device)
{
    auto* target = new (std::nothrow) IoTarget;
    if (target == nullptr)
        return nullptr;
    target->device = device;
    target->isDefault = true;
    WDFIOTARGET handle = nullptr;
    return NT_SUCCESS(Publish(target, nullptr, device, nullptr, &handle)) ? target : nullptr;
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes, WDFIOTARGET* IoTarget)
{
    if (IoTarget == nullptr)
        return STATUS_INVALID_PARAMETER;
    *IoTarget = nullptr;
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfIoTargetCreate");
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* target = new (std::nothrow) fx::IoTarget;
    if (target == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    target->device = device;
    target->state = WdfIoTargetClosed;
    return Publish(target, IoTargetAttributes, device, _ReturnAddress(), IoTarget);
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetOpen");
    if (target == nullptr || target->isDefault || OpenParams == nullptr ||
        OpenParams->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS))
        return STATUS_INVALID_PARAMETER;
    if (OpenParams->Type == WdfIoTargetOpenByName) {
        if (OpenParams->TargetDeviceName.Buffer == nullptr)
            return STATUS_INVALID_PARAMETER;
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->file != nullptr)
            return STATUS_INVALID_DEVICE_STATE;
        target->open = *OpenParams;
        target->name = host::io::Text(&OpenParams->TargetDeviceName);
        target->open.TargetDeviceName = UNICODE_STRING{};
    } else if (OpenParams->Type != WdfIoTargetOpenReopen || target->name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    host::io::File* file = nullptr;
    NTSTATUS status = host::io::FileOpen(target->name, KernelMode, &file);
    if (!NT_SUCCESS(status))
        return status;
    host::io::Node* node = host::io::NodeOf(file->device);
    {
        std::lock_guard<std::mutex> guard(target->lock);
        target->file = file;
        target->state = WdfIoTargetStarted;
    }
    if (node != nullptr && target->watched == nullptr) {
        target->watched = node;
        host::io::NodeAddListener(node, target);
    }
    return STATUS_SUCCESS;
}

void WdfIoTargetCloseForQueryRemove(WDFIOTARGET IoTarget)
{
    if (auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetCloseForQueryRemove"))
        target->Close(WdfIoTargetClosedForQueryRemove);
}

void WdfIoTargetClose(WDFIOTARGET IoTarget)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetClose");
    if (target != nullptr && !target->isDefault)
        target->Close(WdfIoTargetClosed);
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetStart");
    if (target == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(target->lock);
    if (!target->isDefault && target->file == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    target->state = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetStop");
    if (target == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->state == WdfIoTargetStarted)
            target->state = WdfIoTargetStopped;
    }
    if (Action == WdfIoTargetCancelSentIo)
        target->CancelSent(true);
    else if (Action == WdfIoTargetWaitForSentIoToComplete)
        KeWaitForSingleObject(&target->drained, Executive, KernelMode, FALSE, nullptr);
}

void WdfIoTargetPurge(WDFIOTARGET IoTarget, WDF_IO_TARGET_PURGE_IO_ACTION Action)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetPurge");
    if (target == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->state == WdfIoTargetStarted || target->state == WdfIoTargetStopped)
            target->state = WdfIoTargetPurged;
    }
    target->CancelSent(Action == WdfIoTargetPurgeIoAndWait);
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetGetState");
    if (target == nullptr)
        return WdfIoTargetStateUndefined;
    std::lock_guard<std::mutex> guard(target->lock);
    return target->state;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetGetDevice");
    return target == nullptr ? nullptr : target->device->Handle();
}

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget)
{
    auto* target = As<fx::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    host::io::Device* destination = target == nullptr ? nullptr : target->Destination();
    return destination == nullptr ? nullptr : &destination->object;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    auto* request = As<fx::Request>(Request, Kind::Request, "WdfRequestSend");
    auto* target = As<fx::IoTarget>(Target, Kind::IoTarget, "WdfRequestSend");
    if (request == nullptr || target == nullptr)
        return FALSE;
    if (Options != nullptr && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        request->irp->irp.IoStatus.Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    NTSTATUS status = ApplyFormat(request);
    if (!NT_SUCCESS(status)) {
        request->irp->irp.IoStatus.Status = status;
        return FALSE;
    }
    request->sentTo = target;
    ULONG flags = Options != nullptr ? Options->Flags : 0;
    if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) {
        bool sent = false;
        SendSynchronously(target, request->irp, Options, &sent);
        if (sent)
            CopyBack(request);
        return sent ? TRUE : FALSE;
    }
    bool forget = (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0;
    if (!target->BeginSend(request->irp, (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0,
                           &status)) {
        request->irp->irp.IoStatus.Status = status;
        return FALSE;
    }
    host::io::Irp* irp = request->irp;
    host::io::Device* destination = target->Destination();
    if (forget) {
        // The framework lets go of the request: it completes up the stack by itself.
        request->MarkCompleted();
        request->Release();
        Delete(request);
        host::io::Call(destination, irp, [target](host::io::Irp* done) {
            target->EndSend(done);
            return true;
        });
        return TRUE;
    }
    // An asynchronous time-out cancels the request; it completes with the status its holder gives it.
    if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && Options->Timeout != 0) {
        Reference(request);
        request->timerSet = true;
        LARGE_INTEGER due;
        due.QuadPart = Options->Timeout;
        KeSetTimer(&request->timer, due, &request->timerDpc);
    }
    host::io::Call(destination, irp,
                   [request, target](host::io::Irp*) { return Completed(request, target, false); });
    return TRUE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request)
{
    auto* request = As<fx::Request>(Request, Kind::Request, "WdfRequestCancelSentRequest");
    if (request == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(request->irp->lock);
        if (request->irp->frames.empty())
            return FALSE;
    }
    host::io::Cancel(request->irp);
    return TRUE;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext)
{
    if (auto* request = As<fx::Request>(Request, Kind::Request, "WdfRequestSetCompletionRoutine")) {
        request->completionRoutine = CompletionRoutine;
        request->completionContext = CompletionContext;
    }
}

void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request)
{
    if (auto* request = As<fx::Request>(Request, Kind::Request, "WdfRequestFormatRequestUsingCurrentType"))
        request->format = {};
}

void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    auto* request = As<fx::Request>(Request, Kind::Request, "WdfRequestGetCompletionParams");
    if (request != nullptr && Params != nullptr)
        *Params = request->completionParams;
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset)
{
    return FormatFor(IoTarget, Request, IRP_MJ_DEVICE_CONTROL, IoctlCode, InputBuffer, InputBufferOffset,
                     OutputBuffer, OutputBufferOffset, nullptr, "WdfIoTargetFormatRequestForIoctl");
}

NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                  WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                  WDFMEMORY OutputBuffer,
                                                  PWDFMEMORY_OFFSET OutputBufferOffset)
{
    return FormatFor(IoTarget, Request, IRP_MJ_INTERNAL_DEVICE_CONTROL, IoctlCode, InputBuffer,
                     InputBufferOffset, OutputBuffer, OutputBufferOffset, nullptr,
                     "WdfIoTargetFormatRequestForInternalIoctl");
}

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset, PLONGLONG DeviceOffset)
{
    return FormatFor(IoTarget, Request, IRP_MJ_READ, 0, nullptr, nullptr, OutputBuffer, OutputBufferOffset,
                     DeviceOffset, "WdfIoTargetFormatRequestForRead");
}

NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset, PLONGLONG DeviceOffset)
{
    return FormatFor(IoTarget, Request, IRP_MJ_WRITE, 0, InputBuffer, InputBufferOffset, nullptr, nullptr,
                     DeviceOffset, "WdfIoTargetFormatRequestForWrite");
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned)
{
    return SendFormatted(IoTarget, Request, IRP_MJ_DEVICE_CONTROL, IoctlCode, InputBuffer, OutputBuffer, 0,
                         RequestOptions, BytesReturned, "WdfIoTargetSendIoctlSynchronously");
}

NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                   PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                   PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                   PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                   PULONG_PTR BytesReturned)
{
    return SendFormatted(IoTarget, Request, IRP_MJ_INTERNAL_DEVICE_CONTROL, IoctlCode, InputBuffer,
                         OutputBuffer, 0, RequestOptions, BytesReturned,
                         "WdfIoTargetSendInternalIoctlSynchronously");
}

NTSTATUS WdfIoTargetSendReadSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          PWDF_MEMORY_DESCRIPTOR OutputBuffer, PLONGLONG DeviceOffset,
                                          PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesRead)
{
    return SendFormatted(IoTarget, Request, IRP_MJ_READ, 0, nullptr, OutputBuffer,
                         DeviceOffset != nullptr ? *DeviceOffset : 0, RequestOptions, BytesRead,
                         "WdfIoTargetSendReadSynchronously");
}

NTSTATUS WdfIoTargetSendWriteSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer, PLONGLONG DeviceOffset,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesWritten)
{
    return SendFormatted(IoTarget, Request, IRP_MJ_WRITE, 0, InputBuffer, nullptr,
                         DeviceOffset != nullptr ? *DeviceOffset : 0, RequestOptions, BytesWritten,
                         "WdfIoTargetSendWriteSynchronously");
}

} // extern "C"
