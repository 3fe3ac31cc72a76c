// The modem device's queues and what user mode may ask of it through its device interface.
#include "DeviceIoctl.h"

#include <wwan_bridge.h>

#include "Driver.h"
#include "IpcContext.h"
#include "ModemEventActions.h"
#include "Registry.h"
#include "Trace.h"
#include "TraceDump.h"

namespace
{

// How the dump codes set the driver-key switches and DumpFlags.
struct DUMP_SWITCH {
    ULONG Code;
    LONG MiniConfig; // -1: left alone
    LONG CdConfig;
};

const DUMP_SWITCH kDumpSwitches[] = {
    {IOCTL_MBB_FULL_DUMP_OFF, -1, 0},
    {IOCTL_MBB_DUMPS_ON, 1, 1},
    {IOCTL_MBB_MINIDUMP_ONLY, 1, 0},
    {IOCTL_MBB_DUMPS_OFF, 0, 0},
};

void SetDumpFlag(LONG Bit, LONG On)
{
    if (On)
        InterlockedOr(&DumpFlags, Bit);
    else
        InterlockedAnd(&DumpFlags, ~Bit);
}

// A missing value is not created; the write's result does not change the request's.
void ApplyDumpSwitch(WDFDEVICE Device, const DUMP_SWITCH& Switch)
{
    if (Switch.MiniConfig >= 0) {
        WriteDriverKeyULong(Device, u"WWANMiniConfig", (ULONG)Switch.MiniConfig);
        SetDumpFlag(MBB_DUMP_FLAG_MINI, Switch.MiniConfig);
    }
    WriteDriverKeyULong(Device, u"WWANCDConfig", (ULONG)Switch.CdConfig);
    SetDumpFlag(MBB_DUMP_FLAG_FULL_RAM, Switch.CdConfig);
}

const DUMP_SWITCH* FindDumpSwitch(ULONG Code)
{
    for (const DUMP_SWITCH& entry : kDumpSwitches)
        if (entry.Code == Code)
            return &entry;
    return NULL;
}

NTSTATUS FunctionReset(WDFDEVICE Device, PMBB_DEVICE_CONTEXT Context)
{
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    // The final reset state ignores every report: a warm reset must not reopen it.
    if (ipc != NULL && ReadULongAcquire(&ipc->State) != IpcModemStateReset)
        WriteULongRelease(&ipc->State, IpcModemStateWarmReset);
    return FLDR(Context, TRUE);
}

NTSTATUS PlatformReset(WDFDEVICE Device, PMBB_DEVICE_CONTEXT Context)
{
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    if (Context->IpcInUse && ipc != NULL && ReadULongAcquire(&ipc->State) == IpcModemStateReady)
        WriteULongRelease(&ipc->State, IpcModemStateReset);
    return PLDR(Context);
}

void TraceStatsQuery(WDFREQUEST Request)
{
    PVOID buffer;
    size_t length;
    if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 1, &buffer, &length)))
        TraceHexDump("Ndis Qry Stats", static_cast<const UCHAR*>(buffer), (ULONG)length, 0, 0);
}

NTSTATUS Dispatch(WDFDEVICE Device, WDFREQUEST Request, ULONG Code)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    switch (Code) {
    case IOCTL_MBB_NDIS_QUERY_GLOBAL_STATS:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "NDIS statistics query");
        TraceStatsQuery(Request);
        return STATUS_INVALID_DEVICE_REQUEST;
    case IOCTL_MBB_FUNCTION_RESET:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "function-level reset requested");
        return FunctionReset(Device, context);
    case IOCTL_MBB_PLATFORM_RESET:
    case IOCTL_MBB_DUMP_PLATFORM_RESET:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "platform-level reset requested");
        return PlatformReset(Device, context);
    case IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "modem I/O asleep");
        return STATUS_SUCCESS;
    case IOCTL_MBB_LOG_DUMP_DONE:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "modem log dump done");
        return IpcSetModemLogDumpDone();
    case IOCTL_MBB_TRACE_IN:
    case IOCTL_MBB_TRACE_OUT:
    case IOCTL_MBB_TRACE:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "trace code 0x%x", Code);
        return STATUS_SUCCESS;
    default:
        break;
    }
    const DUMP_SWITCH* dumpSwitch = FindDumpSwitch(Code);
    if (dumpSwitch == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DEVICE, "unknown code 0x%x", Code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ApplyDumpSwitch(Device, *dumpSwitch);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "dump switches 0x%x: flags 0x%x", Code,
                (ULONG)ReadAcquire(&DumpFlags));
    return STATUS_SUCCESS;
}

NTSTATUS CreateQueue(WDFDEVICE Device, WDF_IO_QUEUE_CONFIG* Config, WDF_REQUEST_TYPE Type, WDFQUEUE* Queue,
                     const char* Name)
{
    Config->EvtIoStop = MbbDeviceEvtIoStop;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, QUEUE_CONTEXT);
    NTSTATUS status = WdfIoQueueCreate(Device, Config, &attributes, Queue);
    if (NT_SUCCESS(status)) {
        GetQueueContext(*Queue)->DeviceContext = GetMbbDeviceContext(Device);
        status = WdfDeviceConfigureRequestDispatching(Device, *Queue, Type);
    }
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "%s not created: %!STATUS!", Name, status);
    return status;
}

} // namespace

NTSTATUS MbbDeviceQueueInitialize(WDFDEVICE Device)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = MbbDeviceEvtIoDeviceControl;
    config.EvtIoCanceledOnQueue = MbbDeviceEvtIoCanceledOnQueue;
    NTSTATUS status =
        CreateQueue(Device, &config, WdfRequestTypeDeviceControl, &context->IoctlQueue, "IoctlQueue");
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoRead = MbbDeviceEvtIoRead;
    status = CreateQueue(Device, &config, WdfRequestTypeRead, &context->ReadQueue, "ReadQueue");
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = MbbDeviceEvtIoWrite;
    return CreateQueue(Device, &config, WdfRequestTypeWrite, &context->WriteQueue, "WriteQueue");
}

void MbbDeviceEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                 size_t InputBufferLength, ULONG IoControlCode)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "queue %p request %p out %zu in %zu code 0x%x", Queue,
                Request, OutputBufferLength, InputBufferLength, IoControlCode);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (OutputBufferLength != 0 && InputBufferLength != 0)
        status = Dispatch(WdfIoQueueGetDevice(Queue), Request, IoControlCode);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "code 0x%x: %!STATUS!", IoControlCode, status);
    WdfRequestComplete(Request, status);
}

void MbbDeviceEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "read queue %p request %p length %zu", Queue, Request,
                Length);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void MbbDeviceEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "write queue %p request %p length %zu", Queue, Request,
                Length);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void MbbDeviceEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "stop queue %p request %p flags 0x%x", Queue, Request,
                ActionFlags);
}

void MbbDeviceEvtIoCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "cancelled on queue %p request %p", Queue, Request);
}
