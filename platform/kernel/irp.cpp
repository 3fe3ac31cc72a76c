// The request record: frames pushed by each device it passes, completion unwinding them, and
// cancellation through the cancel routine of the device that holds it.
#include "iomgr.h"

#include <host/verifier.h>

namespace host::io
{

Irp::Irp()
{
    irp.Type = 6;
    irp.Size = sizeof(IRP);
    irp.IoStatus.Status = STATUS_PENDING;
}

void Irp::Format(UCHAR newMajor, ULONG newIoctl, const void* input, size_t newInputLength,
                 size_t newOutputLength, LONGLONG newOffset)
{
    major = newMajor;
    irp.MajorFunction = newMajor;
    ioctl = newIoctl;
    inputLength = newInputLength;
    outputLength = newOutputLength;
    offset = newOffset;
    buffer.assign(std::max(newInputLength, newOutputLength), 0);
    if (input != nullptr && newInputLength != 0)
        memcpy(buffer.data(), input, newInputLength);
    irp.AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
    irp.IoStatus.Status = STATUS_PENDING;
    irp.IoStatus.Information = 0;
    irp.Cancel = FALSE;
    irp.PendingReturned = FALSE;
}

void Call(Device* device, Irp* irp, Irp::Completion completion)
{
    {
        std::lock_guard<std::mutex> guard(irp->lock);
        irp->frames.push_back(Irp::Frame{device, std::move(completion)});
    }
    device->dispatching++;
    if (!device->removing) {
        device->handler->Dispatch(device, irp);
    } else {
        bool closing = irp->major == IRP_MJ_CLEANUP || irp->major == IRP_MJ_CLOSE;
        Complete(irp, closing ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
    }
    if (--device->dispatching == 0 && device->removing)
        KeSetEvent(&device->drained, IO_NO_INCREMENT, FALSE);
}

void Complete(Irp* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->irp.IoStatus.Status = status;
    irp->irp.IoStatus.Information = information;
    for (;;) {
        Irp::Frame frame;
        bool last;
        {
            std::lock_guard<std::mutex> guard(irp->lock);
            if (irp->frames.empty()) {
                VerifierReport(Check::RequestCompletedTwice, "request %p completed with no device holding it",
                               static_cast<void*>(irp));
                return;
            }
            irp->cancelRoutine = nullptr;
            frame = std::move(irp->frames.back());
            irp->frames.pop_back();
            last = irp->frames.empty();
        }
        // The sender's routine may free the request: nothing touches it after the last one.
        if (frame.completion && !frame.completion(irp))
            return;
        if (last)
            return;
    }
}

void Cancel(Irp* irp)
{
    std::function<void(Irp*)> routine;
    {
        std::lock_guard<std::mutex> guard(irp->lock);
        if (!irp->plain)
            irp->irp.Cancel = TRUE;
        routine.swap(irp->cancelRoutine);
    }
    if (routine)
        routine(irp);
}

bool SetCancelRoutine(Irp* irp, std::function<void(Irp*)> routine)
{
    std::lock_guard<std::mutex> guard(irp->lock);
    if (irp->irp.Cancel)
        return false;
    irp->cancelRoutine = std::move(routine);
    return true;
}

bool ClearCancelRoutine(Irp* irp)
{
    std::lock_guard<std::mutex> guard(irp->lock);
    bool wasSet = static_cast<bool>(irp->cancelRoutine);
    irp->cancelRoutine = nullptr;
    return wasSet || !irp->irp.Cancel;
}

NTSTATUS CallSynchronously(Device* device, Irp* irp, const LONGLONG* timeout,
                           const std::function<void(Irp*)>& completed)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Call(device, irp, [&done, &completed](Irp* finished) {
        if (completed)
            completed(finished);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return false;
    });
    bool timedOut = false;
    if (timeout != nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = *timeout;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
            timedOut = true;
            Cancel(irp);
        }
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    // A request the time-out cancelled reports the time-out, as the framework's synchronous sends do.
    if (timedOut && irp->irp.IoStatus.Status == STATUS_CANCELLED)
        irp->irp.IoStatus.Status = STATUS_IO_TIMEOUT;
    return irp->irp.IoStatus.Status;
}

} // namespace host::io
