// Plain (non-framework) device objects: requests go straight to a table of dispatch routines, with the
// stack location, the cancel routine and the cancel spin lock as such drivers use them. NDIS control
// devices are built on them.
#include "iomgr.h"

#include <host/executive.h>
#include <host/verifier.h>

namespace host::io
{
namespace
{

KSPIN_LOCK gCancelLock = 0;

struct PlainDevice : DeviceHandler {
    PDRIVER_DISPATCH table[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::vector<UCHAR> extension;

    void Dispatch(Device* device, Irp* irp) override
    {
        PDRIVER_DISPATCH routine = irp->major <= IRP_MJ_MAXIMUM_FUNCTION ? table[irp->major] : nullptr;
        if (routine == nullptr) {
            Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return;
        }
        irp->plain = true;
        irp->stack = {};
        irp->stack.MajorFunction = irp->major;
        irp->stack.Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(irp->outputLength);
        irp->stack.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(irp->inputLength);
        irp->stack.Parameters.DeviceIoControl.IoControlCode = irp->ioctl;
        irp->stack.DeviceObject = &device->object;
        irp->stack.FileObject = reinterpret_cast<struct _FILE_OBJECT*>(irp->file);
        irp->irp.Tail.Overlay.CurrentStackLocation = &irp->stack;
        irp->irp.CancelRoutine = nullptr;
        SetCancelRoutine(irp, [](Irp* cancelled) { IoCancelIrp(&cancelled->irp); });
        KIRQL irql;
        int locks;
        CallbackEnter("dispatch routine", &irql, &locks);
        routine(&device->object, &irp->irp);
        CallbackLeave("dispatch routine", irql, locks);
    }
    NTSTATUS EnterD0(DEVICE_POWER_STATE, bool) override { return STATUS_SUCCESS; }
    void LeaveD0(DEVICE_POWER_STATE, bool) override {}
    void Removed() override {}
};

} // namespace

// The host record's public part is its first member.
Irp* IrpFrom(PIRP irp)
{
    return reinterpret_cast<Irp*>(irp);
}

NTSTATUS PlainDeviceCreate(PDRIVER_OBJECT driver, std::u16string_view name, std::u16string_view link, ULONG type,
                           const PDRIVER_DISPATCH* table, ULONG extensionSize, Device** device)
{
    auto* handler = new PlainDevice;
    std::copy(table, table + IRP_MJ_MAXIMUM_FUNCTION + 1, handler->table);
    handler->extension.assign(extensionSize, 0);
    NTSTATUS status = DeviceCreate(driver, name, type, 0, false, handler, device);
    if (!NT_SUCCESS(status)) {
        delete handler;
        return status;
    }
    (*device)->object.DeviceExtension = handler->extension.empty() ? nullptr : handler->extension.data();
    (*device)->object.Flags &= ~DO_DEVICE_INITIALIZING;
    if (!link.empty()) {
        status = LinkCreate(link, *device);
        if (!NT_SUCCESS(status)) {
            PlainDeviceDelete(*device);
            *device = nullptr;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void PlainDeviceDelete(Device* device)
{
    auto* handler = static_cast<PlainDevice*>(device->handler);
    DeviceRundown(device);
    device->object.DeviceExtension = nullptr;
    DeviceDelete(device);
    delete handler;
}

} // namespace host::io

using host::io::IrpFrom;

extern "C" {

void IoCompleteRequest(PIRP Irp, CCHAR)
{
    // A cancel on another thread may be exchanging the routine (finding it gone) right now.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        host::VerifierReport(host::Check::InvalidParameter, "request %p completed with its cancel routine set",
                             static_cast<void*>(Irp));
    host::io::Complete(IrpFrom(Irp), Irp->IoStatus.Status, Irp->IoStatus.Information);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

void IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&host::io::gCancelLock, Irql);
}

void IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&host::io::gCancelLock, Irql);
}

// As the I/O manager cancels: under the cancel spin lock the request is marked and its cancel routine
// taken; the routine is entered holding the lock (and releases it), else the lock is released here.
BOOLEAN IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IrpFrom(Irp)->stack.DeviceObject, Irp);
    return TRUE;
}

} // extern "C"
