// A function driver for the framework tests. Its behaviour is set by DWORD values under its service's
// Parameters key: FailPrepare, ProbeLower (synchronous pings to the lower filter from the D0
// callbacks), IdleMs (an S0 idle time-out), IdleWake (idle can wake), SxWake and LeakPool (an
// allocation it never frees). Its callbacks are traced as "cb <name> <arguments>".
#include <wdf.h>

#include "fxtest.h"

namespace
{

#define TRACE(...) DbgPrint(__VA_ARGS__)

struct Settings {
    ULONG failPrepare = 0;
    ULONG probeLower = 0;
    ULONG idleMs = 0;
    ULONG idleWake = 0;
    ULONG sxWake = 0;
    ULONG leakPool = 0;
};
Settings g_settings;

struct DeviceContext {
    WDFQUEUE parked;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)

void Trace(const char* name, WDFDEVICE device, int state)
{
    TRACE("cb %s %d a%d", name, state, (int)WdfDeviceGetSystemPowerAction(device));
}

void Trace(const char* name)
{
    TRACE("cb %s", name);
}

// Pings the lower filter through the default target and traces its answer.
void ProbeLower(WDFDEVICE device, const char* when)
{
    if (!g_settings.probeLower)
        return;
    ULONG answer = 0;
    WDF_MEMORY_DESCRIPTOR output;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, &answer, sizeof(answer));
    ULONG_PTR returned = 0;
    NTSTATUS status = WdfIoTargetSendIoctlSynchronously(
        WdfDeviceGetIoTarget(device), nullptr, IOCTL_FXLOWER_PING, nullptr, &output, nullptr, &returned);
    TRACE("cb Probe %s %x %x %u", when, (unsigned)status, answer, (unsigned)returned);
}

NTSTATUS PrepareHardware(WDFDEVICE, WDFCMRESLIST Raw, WDFCMRESLIST)
{
    TRACE("cb PrepareHardware %u", WdfCmResourceListGetCount(Raw));
    return g_settings.failPrepare ? STATUS_DEVICE_CONFIGURATION_ERROR : STATUS_SUCCESS;
}

NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST)
{
    Trace("ReleaseHardware");
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    Trace("D0Entry", Device, PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS D0EntryPost(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    Trace("D0EntryPostInterruptsEnabled", Device, PreviousState);
    ProbeLower(Device, "entry");
    return STATUS_SUCCESS;
}

NTSTATUS D0ExitPre(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    Trace("D0ExitPreInterruptsDisabled", Device, TargetState);
    ProbeLower(Device, "exit");
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    Trace("D0Exit", Device, TargetState);
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoInit(WDFDEVICE)
{
    Trace("SelfManagedIoInit");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoSuspend(WDFDEVICE)
{
    Trace("SelfManagedIoSuspend");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoRestart(WDFDEVICE)
{
    Trace("SelfManagedIoRestart");
    return STATUS_SUCCESS;
}

void SelfManagedIoFlush(WDFDEVICE)
{
    Trace("SelfManagedIoFlush");
}

void SelfManagedIoCleanup(WDFDEVICE)
{
    Trace("SelfManagedIoCleanup");
}

void SurpriseRemoval(WDFDEVICE)
{
    Trace("SurpriseRemoval");
}

NTSTATUS QueryStop(WDFDEVICE)
{
    Trace("QueryStop");
    return STATUS_SUCCESS;
}

NTSTATUS QueryRemove(WDFDEVICE)
{
    Trace("QueryRemove");
    return STATUS_SUCCESS;
}

NTSTATUS ArmWakeFromS0(WDFDEVICE)
{
    Trace("ArmWakeFromS0");
    return STATUS_SUCCESS;
}

void DisarmWakeFromS0(WDFDEVICE)
{
    Trace("DisarmWakeFromS0");
}

void WakeFromS0Triggered(WDFDEVICE)
{
    Trace("WakeFromS0Triggered");
}

NTSTATUS ArmWakeFromSx(WDFDEVICE)
{
    Trace("ArmWakeFromSx");
    return STATUS_SUCCESS;
}

void DisarmWakeFromSx(WDFDEVICE)
{
    Trace("DisarmWakeFromSx");
}

void FileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT)
{
    Trace("FileCreate");
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void FileCleanup(WDFFILEOBJECT)
{
    Trace("FileCleanup");
}

void FileClose(WDFFILEOBJECT)
{
    Trace("FileClose");
}

void DeviceCleanup(WDFOBJECT)
{
    Trace("DeviceCleanup");
}

void CancelPending(WDFREQUEST Request)
{
    Trace("EvtRequestCancel");
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

void IoStop(WDFQUEUE, WDFREQUEST Request, ULONG ActionFlags)
{
    TRACE("cb IoStop %x", (unsigned)ActionFlags);
    WdfRequestStopAcknowledge(Request, FALSE);
}

NTSTATUS SendTimed(WDFDEVICE device)
{
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    NTSTATUS status = WdfIoTargetSendIoctlSynchronously(
        WdfDeviceGetIoTarget(device), nullptr, IOCTL_FXLOWER_HOLD, nullptr, nullptr, &options, nullptr);
    TRACE("cb SendTimed %x", (unsigned)status);
    return status;
}

void IoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                     ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    switch (IoControlCode) {
    case IOCTL_FXFUNC_ECHO: {
        PVOID input = nullptr;
        PVOID output = nullptr;
        size_t length = 0;
        NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &input, &length);
        if (NT_SUCCESS(status))
            status = WdfRequestRetrieveOutputBuffer(Request, InputBufferLength, &output, nullptr);
        if (NT_SUCCESS(status))
            RtlMoveMemory(output, input, length);
        TRACE("cb Echo %x", (unsigned)status);
        WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? length : 0);
        return;
    }
    case IOCTL_FXFUNC_PEND:
        Trace("Pend");
        if (!NT_SUCCESS(WdfRequestMarkCancelableEx(Request, CancelPending)))
            WdfRequestComplete(Request, STATUS_CANCELLED);
        return;
    case IOCTL_FXFUNC_SEND_TIMED:
        WdfRequestComplete(Request, SendTimed(device));
        return;
    case IOCTL_FXFUNC_STATUS:
        WdfRequestComplete(Request, FXFUNC_INFO_STATUS);
        return;
    case IOCTL_FXFUNC_PARK: {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, GetDeviceContext(device)->parked);
        Trace("Park");
        if (!NT_SUCCESS(status))
            WdfRequestComplete(Request, status);
        return;
    }
    case IOCTL_FXFUNC_PURGE:
        WdfIoQueuePurgeSynchronously(GetDeviceContext(device)->parked);
        WdfIoQueueStart(GetDeviceContext(device)->parked);
        Trace("Purged");
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case IOCTL_FXFUNC_COMPLETE_TWICE:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case IOCTL_FXFUNC_FAIL_RESTART:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfDeviceSetFailed(device, WdfDeviceFailedAttemptRestart);
        return;
    case IOCTL_FXFUNC_COMPLETE_WITH: {
        FXFUNC_COMPLETION* completion = nullptr;
        PVOID output = nullptr;
        NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(*completion),
                                                        reinterpret_cast<PVOID*>(&completion), nullptr);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
            return;
        }
        // Buffered input and output share one buffer: read the input before filling the output.
        FXFUNC_COMPLETION wanted = *completion;
        ULONG information = wanted.information;
        if (information != 0 &&
            NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, information, &output, nullptr)))
            RtlFillMemory(output, information, FXFUNC_FILL);
        WdfRequestCompleteWithInformation(Request, wanted.status, information);
        return;
    }
    case IOCTL_FXFUNC_PASS_DOWN:
        FxTestPassDown(Request, device);
        return;
    default:
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
}

void IoRead(WDFQUEUE, WDFREQUEST Request, size_t Length)
{
    PVOID buffer = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Length, &buffer, nullptr);
    if (NT_SUCCESS(status))
        RtlFillMemory(buffer, Length, FXFUNC_FILL);
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? Length : 0);
}

void IoWrite(WDFQUEUE, WDFREQUEST Request, size_t Length)
{
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, Length);
}

void ReadSettings(WDFDRIVER driver)
{
    FxTestReadSettings(driver, {{u"FailPrepare", &g_settings.failPrepare},
                                {u"ProbeLower", &g_settings.probeLower},
                                {u"IdleMs", &g_settings.idleMs},
                                {u"IdleWake", &g_settings.idleWake},
                                {u"SxWake", &g_settings.sxWake},
                                {u"LeakPool", &g_settings.leakPool}});
}

NTSTATUS DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    Trace("DeviceAdd");
    ReadSettings(Driver);
    if (g_settings.leakPool)
        ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, FXFUNC_LEAK_TAG);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0EntryPostInterruptsEnabled = D0EntryPost;
    pnp.EvtDeviceD0ExitPreInterruptsDisabled = D0ExitPre;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSelfManagedIoInit = SelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoSuspend = SelfManagedIoSuspend;
    pnp.EvtDeviceSelfManagedIoRestart = SelfManagedIoRestart;
    pnp.EvtDeviceSelfManagedIoFlush = SelfManagedIoFlush;
    pnp.EvtDeviceSelfManagedIoCleanup = SelfManagedIoCleanup;
    pnp.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    pnp.EvtDeviceQueryStop = QueryStop;
    pnp.EvtDeviceQueryRemove = QueryRemove;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_POWER_POLICY_EVENT_CALLBACKS policy;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&policy);
    policy.EvtDeviceArmWakeFromS0 = ArmWakeFromS0;
    policy.EvtDeviceDisarmWakeFromS0 = DisarmWakeFromS0;
    policy.EvtDeviceWakeFromS0Triggered = WakeFromS0Triggered;
    policy.EvtDeviceArmWakeFromSx = ArmWakeFromSx;
    policy.EvtDeviceDisarmWakeFromSx = DisarmWakeFromSx;
    WdfDeviceInitSetPowerPolicyEventCallbacks(DeviceInit, &policy);
    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, FileCreate, FileClose, FileCleanup);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &files, WDF_NO_OBJECT_ATTRIBUTES);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_UNKNOWN);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
    attributes.EvtCleanupCallback = DeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = IoDeviceControl;
    config.EvtIoRead = IoRead;
    config.EvtIoWrite = IoWrite;
    config.EvtIoStop = IoStop;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (NT_SUCCESS(status)) {
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        config.PowerManaged = WdfFalse;
        status =
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &GetDeviceContext(device)->parked);
    }
    if (NT_SUCCESS(status))
        status = WdfDeviceCreateDeviceInterface(device, &GUID_FXTEST_INTERFACE, nullptr);
    if (NT_SUCCESS(status) && g_settings.idleMs != 0) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, g_settings.idleWake ? IdleCanWakeFromS0
                                                                              : IdleCannotWakeFromS0);
        idle.IdleTimeout = g_settings.idleMs;
        status = WdfDeviceAssignS0IdleSettings(device, &idle);
    }
    if (NT_SUCCESS(status) && g_settings.sxWake != 0) {
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
        status = WdfDeviceAssignSxWakeSettings(device, &wake);
    }
    return status;
}

void DriverUnload(WDFDRIVER)
{
    Trace("DriverUnload");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, DeviceAdd, DriverUnload);
}
