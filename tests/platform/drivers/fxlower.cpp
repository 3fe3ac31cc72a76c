// A lower filter for the framework tests: it answers pings, holds requests until they are cancelled, and
// passes everything else on. Its callbacks are traced as "cb <name> <argument>".
#include <wdf.h>

#include "fxtest.h"

namespace
{

#define TRACE(...) DbgPrint(__VA_ARGS__)

void CancelHeld(WDFREQUEST Request)
{
    TRACE("cb EvtRequestCancel lower");
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

void IoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                     ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    switch (IoControlCode) {
    case IOCTL_FXLOWER_PING: {
        PVOID buffer = nullptr;
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &buffer, nullptr);
        if (NT_SUCCESS(status))
            *static_cast<ULONG*>(buffer) = FXLOWER_PING_ANSWER;
        TRACE("cb Ping");
        WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
        return;
    }
    case IOCTL_FXLOWER_HOLD:
        TRACE("cb Hold");
        if (!NT_SUCCESS(WdfRequestMarkCancelableEx(Request, CancelHeld)))
            WdfRequestComplete(Request, STATUS_CANCELLED);
        return;
    default:
        TRACE("cb PassDown %x", IoControlCode);
        FxTestPassDown(Request, WdfIoQueueGetDevice(Queue));
        return;
    }
}

NTSTATUS PrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST)
{
    TRACE("cb PrepareHardware");
    return STATUS_SUCCESS;
}

NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST)
{
    TRACE("cb ReleaseHardware");
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE PreviousState)
{
    TRACE("cb D0Entry %d", PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE TargetState)
{
    TRACE("cb D0Exit %d", TargetState);
    return STATUS_SUCCESS;
}

void Cleanup(WDFOBJECT)
{
    TRACE("cb DeviceCleanup");
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    TRACE("cb DeviceAdd");
    WdfFdoInitSetFilter(DeviceInit);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = Cleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = IoDeviceControl;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
}

void DriverUnload(WDFDRIVER)
{
    TRACE("cb DriverUnload");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, DeviceAdd, DriverUnload);
}
