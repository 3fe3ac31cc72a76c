// ModemPeer: the modem driver's user-mode interface and its power notices, as a framework driver for
// tests (see sim/peers/modem_peer.h for what it does and how its mode is set).
#define MODEM_PEER_DRIVER
#include <wdf.h>

#include "sim/peers/modem_peer.h"

namespace
{

struct DeviceContext {
    // Set when an awake notice went down since the last IOCTL_MODEM_PEER_NOTIFY (interlocked: the
    // parallel queue and the power callbacks use it).
    LONG awakeSent;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetContext)

ULONG ReadMode(WDFDEVICE device)
{
    ULONG mode = ModemPeerSucceed;
    WDFKEY key;
    if (!NT_SUCCESS(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                             WDF_NO_OBJECT_ATTRIBUTES, &key)))
        return mode;
    UNICODE_STRING name = RTL_CONSTANT_STRING(MODEM_PEER_MODE_VALUE);
    if (!NT_SUCCESS(WdfRegistryQueryULong(key, &name, &mode)))
        mode = ModemPeerSucceed;
    WdfRegistryClose(key);
    return mode;
}

// A notice to the lower device, synchronously and without buffers; its status is only traced.
void Notify(WDFDEVICE device, ULONG code)
{
    NTSTATUS status = WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device), nullptr, code, nullptr,
                                                        nullptr, nullptr, nullptr);
    DbgPrint("ModemPeer: notice %x: %x", (unsigned)code, (unsigned)status);
}

NTSTATUS D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE)
{
    if (ReadMode(Device) == ModemPeerWake) {
        Notify(Device, IOCTL_IHV_MODEM_AWAKE);
        InterlockedExchange(&GetContext(Device)->awakeSent, 1);
    }
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE)
{
    if (ReadMode(Device) == ModemPeerWake)
        Notify(Device, IOCTL_IHV_MODEM_SLEEP);
    return STATUS_SUCCESS;
}

void FileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT)
{
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

NTSTATUS Notice(WDFDEVICE device)
{
    DbgPrint("ModemPeer: modem I/O asleep notice");
    switch (ReadMode(device)) {
    case ModemPeerFail:
        return STATUS_UNSUCCESSFUL;
    case ModemPeerWake:
        if (InterlockedExchange(&GetContext(device)->awakeSent, 0) == 0)
            Notify(device, IOCTL_IHV_MODEM_AWAKE);
        return STATUS_SUCCESS;
    default:
        return STATUS_SUCCESS;
    }
}

void IoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                     ULONG IoControlCode)
{
    if (OutputBufferLength == 0 || InputBufferLength == 0) {
        WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    NTSTATUS status = IoControlCode == IOCTL_MODEM_PEER_NOTIFY ? Notice(WdfIoQueueGetDevice(Queue))
                                                               : STATUS_INVALID_DEVICE_REQUEST;
    WdfRequestComplete(Request, status);
}

void IoReadWrite(WDFQUEUE, WDFREQUEST Request, size_t)
{
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, FileCreate, nullptr, nullptr);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &files, WDF_NO_OBJECT_ATTRIBUTES);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_UNKNOWN);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfTrue;
    config.EvtIoDeviceControl = IoDeviceControl;
    config.EvtIoRead = IoReadWrite;
    config.EvtIoWrite = IoReadWrite;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING reference = RTL_CONSTANT_STRING(MODEM_PEER_REFERENCE);
    status = WdfDeviceCreateDeviceInterface(device, &GUID_MODEM_PEER_INTERFACE, &reference);
    if (!NT_SUCCESS(status))
        DbgPrint("ModemPeer: interface not registered: %x", (unsigned)status);

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
    idle.IdleTimeout = MODEM_PEER_IDLE_MS;
    return WdfDeviceAssignS0IdleSettings(device, &idle);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}
