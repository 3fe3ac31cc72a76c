// The modem device: add, PnP and power callbacks.
#include "Device.h"

#include <wdmguid.h>
#include <wwan_bridge.h>
#include <wwan_guids.h>

#include "CurrentDevice.h"
#include "DeviceIoctl.h"
#include "Driver.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "Registry.h"
#include "Trace.h"

namespace
{

// PCI Express link-state power management.
const GUID kPcieAspmSetting = {0xEE12F906, 0xD277, 0x404B, {0xB6, 0xDA, 0xE5, 0xFA, 0x1A, 0x57, 0x6D, 0xF5}};

constexpr ULONG kSettleAfterReleaseMs = 700;
// A bridge that never answers must not hold a power transition.
constexpr ULONG kBridgeIoctlTimeoutSec = 5;
constexpr ULONG kRequestCreateTries = 10;
// A function-level reset's completion that never comes must not hold release-hardware.
constexpr ULONG kResetCompleteWaitSec = 60;

void SleepMs(ULONG Ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = WDF_REL_TIMEOUT_IN_MS(Ms);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The device is counted once: add counts it, prepare counts it again after a release took it out,
// release and cleanup take it out only while it is counted.
void CountIn(PMBB_DEVICE_CONTEXT Context)
{
    if (!Context->Counted && g_DriverContextMbb != NULL) {
        MbbDeviceCountAdd(g_DriverContextMbb);
        Context->Counted = TRUE;
    }
}

void CountOut(PMBB_DEVICE_CONTEXT Context)
{
    if (Context->Counted && g_DriverContextMbb != NULL)
        MbbDeviceCountRelease(g_DriverContextMbb);
    Context->Counted = FALSE;
}

ULONG DeviceCount(void)
{
    return g_DriverContextMbb != NULL ? (ULONG)ReadAcquire(&g_DriverContextMbb->DeviceCount) : 0;
}

BOOLEAN CurrentResetPending(void)
{
    return Mbb_IsResetPending();
}

// A failure of subsystem 1 in the device's callbacks: its final state, then a platform-level reset.
void RequestPlatformReset(PMBB_DEVICE_CONTEXT Context)
{
    PIPC_CONTEXT ipc = GetIpcContext(Context->Device);
    if (Context->IpcInUse && ipc != NULL && ReadULongAcquire(&ipc->State) == IpcModemStateReady)
        WriteULongRelease(&ipc->State, IpcModemStateReset);
    PLDR(Context);
}

// Tells the bridge that modem I/O wakes or sleeps; the results are only traced.
void SendBridgeIoctl(PMBB_DEVICE_CONTEXT Context, ULONG Code, ULONG Tries)
{
    if (Context->IhvTarget == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "no bridge target for 0x%x", Code);
        return;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    WDFREQUEST request = NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < Tries && !NT_SUCCESS(status); i++)
        status = WdfRequestCreate(&attributes, Context->IhvTarget, &request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "request for 0x%x not created: %!STATUS!", Code, status);
        return;
    }
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, 0, STATUS_SUCCESS);
    WdfRequestReuse(request, &reuse);
    status = WdfIoTargetFormatRequestForIoctl(Context->IhvTarget, request, Code, NULL, NULL, NULL, NULL);
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(kBridgeIoctlTimeoutSec));
        WdfRequestSend(request, Context->IhvTarget, &options);
        status = WdfRequestGetStatus(request);
        if (status == STATUS_IO_TIMEOUT || status == STATUS_CANCELLED)
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "bridge did not answer 0x%x in time", Code);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "bridge 0x%x: %!STATUS!", Code, status);
    // One request per transition would pile up until the device goes.
    WdfObjectDelete(request);
}

void RegisterPnpPowerCallbacks(PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = Mbb_EvtDevicePrepareHardware;
    callbacks.EvtDeviceReleaseHardware = Mbb_EvtDeviceReleaseHardware;
    callbacks.EvtDeviceD0Entry = Mbb_EvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = Mbb_EvtDeviceD0Exit;
    callbacks.EvtDeviceD0EntryPostInterruptsEnabled = Mbb_EvtDeviceD0EntryPostInterruptsEnabled;
    callbacks.EvtDeviceD0ExitPreInterruptsDisabled = Mbb_EvtDeviceD0ExitPreInterruptsDisabled;
    callbacks.EvtDeviceSurpriseRemoval = Mbb_EvtDeviceSurpriseRemoval;
    callbacks.EvtDeviceSelfManagedIoInit = Mbb_EvtDeviceSelfManagedIoInit;
    callbacks.EvtDeviceSelfManagedIoCleanup = Mbb_EvtDeviceSelfManagedIoCleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
}

void RegisterPowerPolicyCallbacks(PWDFDEVICE_INIT DeviceInit)
{
    WDF_POWER_POLICY_EVENT_CALLBACKS callbacks;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceArmWakeFromS0 = Mbb_ArmDeviceForWake;
    callbacks.EvtDeviceArmWakeFromSx = Mbb_ArmDeviceForWake;
    callbacks.EvtDeviceDisarmWakeFromS0 = Mbb_EvtDeviceDisarmWake;
    callbacks.EvtDeviceDisarmWakeFromSx = Mbb_EvtDeviceDisarmWake;
    callbacks.EvtDeviceWakeFromS0Triggered = Mbb_EvtDeviceWakeTriggered;
    callbacks.EvtDeviceWakeFromSxTriggered = Mbb_EvtDeviceWakeTriggered;
    WdfDeviceInitSetPowerPolicyEventCallbacks(DeviceInit, &callbacks);
}

void ConfigureChildList(PWDFDEVICE_INIT DeviceInit)
{
    WDF_CHILD_LIST_CONFIG config;
    RtlZeroMemory(&config, sizeof(config));
    config.Size = sizeof(config);
    config.IdentificationDescriptionSize = sizeof(WWAN_CHILD_ID_DESCRIPTION);
    config.EvtChildListCreateDevice = reinterpret_cast<PVOID>(Wwan_EvtDeviceListCreatePdo);
    config.EvtChildListScanForChildren = reinterpret_cast<PVOID>(Bus_EvtChildListScanForChildren);
    config.EvtChildListDeviceReenumerated = reinterpret_cast<PVOID>(Bus_EvtChildListDeviceReenumerated);
    WdfFdoInitSetDefaultChildListConfig(DeviceInit, &config, WDF_NO_OBJECT_ATTRIBUTES);
}

void ConfigureFileObjects(PWDFDEVICE_INIT DeviceInit)
{
    WDF_FILEOBJECT_CONFIG config;
    WDF_FILEOBJECT_CONFIG_INIT(&config, MbbDeviceEvtCreateFile, MbbDeviceEvtCloseFile, NULL);
    config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &config, WDF_NO_OBJECT_ATTRIBUTES);
}

void QueryResetInterfaces(PMBB_DEVICE_CONTEXT Context)
{
    NTSTATUS status = WdfFdoQueryForInterface(Context->Device, &GUID_DEVICE_RESET_INTERFACE_STANDARD,
                                              reinterpret_cast<PINTERFACE>(&Context->ResetInterface),
                                              sizeof(Context->ResetInterface), 1, NULL);
    if (NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "reset types 0x%I64x",
                    (ULONG64)Context->ResetInterface.SupportedResetTypes);
    else
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "no device-reset interface: %!STATUS!", status);
    status = WdfFdoQueryForInterface(Context->Device, &GUID_REENUMERATE_SELF_INTERFACE_STANDARD,
                                     reinterpret_cast<PINTERFACE>(&Context->ReenumerateInterface),
                                     sizeof(Context->ReenumerateInterface), 1, NULL);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "no re-enumerate interface: %!STATUS!", status);
}

NTSTATUS InitializeMbbCx(WDFDEVICE Device)
{
    MBB_DEVICE_CONFIG config;
    MBB_DEVICE_CONFIG_INIT(&config, EvtMbbDeviceSendMbimFragment, EvtMbbDeviceReceiveMbimFragment,
                           EvtMbbDeviceSendServiceSessionData, EvtMbbDeviceCreateAdapter);
    return MbbDeviceInitialize(Device, &config);
}

NTSTATUS CreateDeviceLocks(PMBB_DEVICE_CONTEXT Context)
{
    InitializeListHead(&Context->InterfaceList);
    InitializeListHead(&Context->PortFunctionList);
    InitializeListHead(&Context->PeerList);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    return WdfSpinLockCreate(&attributes, &Context->DeviceLock);
}

// Everything after the device exists; the status of the MBIM port lock decides the add.
NTSTATUS FinishDeviceAdd(WDFDEVICE Device, BOOLEAN Flashing, BOOLEAN Dumping)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    context->Device = Device;
    DriverConfigProperties_Read(context);
    SetCapabilities_Power(Device);
    BOOLEAN aer = GetWWANAerDisableUR(Device);
    AssignSettings_S0Idle(Device, MBB_IDLE_TIMEOUT_AT_ADD_MS);
    AssignSettings_SxWake(Device);
    context->AspmPolicyEnabled = 1;
    QueryResetInterfaces(context);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    WdfSpinLockCreate(&attributes, &context->ResetLock);
    KeInitializeEvent(&context->ResetCompleteEvent, NotificationEvent, FALSE);

    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"GUID_DEVINTERFACE_WWAN_NETADAPTER");
    NTSTATUS status = WdfDeviceCreateDeviceInterface(Device, &GUID_DEVINTERFACE_WWAN_MODEM, &reference);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "device interface not registered: %!STATUS!", status);
    status = MbbDeviceQueueInitialize(Device);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "queues not initialised: %!STATUS!", status);

    if (!Flashing && !Dumping) {
        status = InitializeMbbCx(Device);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "MbbDeviceInitialize failed: %!STATUS!", status);
            return status;
        }
        context->MbbCxBound = TRUE;
    }
    status = CreateDeviceLocks(context);
    if (!NT_SUCCESS(status))
        return status;
    CidTableInit(context);
    status = WdfWaitLockCreate(&attributes, &context->MbimPortLock);

    context->IsFlashing = Flashing;
    context->IsDumping = Dumping;
    context->AerDisableUR = aer;
    context->IpcInUse = FALSE;
    IpcSetAerDisableURFlag(aer);
    GetFullRAMDumpConfig(Device);
    GetMiniDumpConfig(Device);
    IpcSetBromDLFlag(context->IsFlashing);
    ReadFeatureConfiguration(Device);
    SwitchFriendlyName(Device);
    return status;
}

// Returns the device, or NULL with the status of the step that refused it.
WDFDEVICE CreateDevice(PWDFDEVICE_INIT DeviceInit, BOOLEAN* Flashing, BOOLEAN* Dumping, NTSTATUS* Status)
{
    *Status = NetDeviceInitConfig(DeviceInit);
    if (!NT_SUCCESS(*Status))
        return NULL;
    *Flashing = IsFlashingRequested();
    *Dumping = IsRAMDumpRequested();
    if (!*Flashing && !*Dumping) {
        *Status = MbbDeviceInitConfig(DeviceInit);
        if (!NT_SUCCESS(*Status))
            return NULL;
    }
    RegisterPnpPowerCallbacks(DeviceInit);
    RegisterPowerPolicyCallbacks(DeviceInit);
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS netPolicy;
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS_INIT(&netPolicy);
    netPolicy.EvtDevicePreviewBitmapPattern = EvtDevicePreviewBitmapPattern;
    NetDeviceInitSetPowerPolicyEventCallbacks(DeviceInit, &netPolicy);
    ConfigureChildList(DeviceInit);
    ConfigureFileObjects(DeviceInit);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, MBB_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = Mbb_EvtDeviceContextCleanup;
    WDFDEVICE device = NULL;
    *Status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    return NT_SUCCESS(*Status) ? device : NULL;
}

// Failure path of prepare-hardware.
NTSTATUS PrepareFailed(PMBB_DEVICE_CONTEXT Context, NTSTATUS Status)
{
    RequestPlatformReset(Context);
    return Status;
}

BOOLEAN SettlesAfterRelease(WDFDEVICE Device)
{
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    if (ipc == NULL || ipc->PciDevice == NULL)
        return TRUE;
    ULONG vendor = ipc->PciDevice->SubsystemVendorId;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "subsystem vendor 0x%x", vendor);
    return vendor != MBB_SUBSYSTEM_VENDOR_MAIN && vendor != MBB_SUBSYSTEM_VENDOR_SECOND;
}

IPC_PCI_DEVICE* PciDeviceOf(WDFDEVICE Device)
{
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    return ipc != NULL ? ipc->PciDevice : NULL;
}

void ApplyLinkPowerSettings(PMBB_DEVICE_CONTEXT Context, BOOLEAN Aspm)
{
    IPC_PCI_DEVICE* pdev = PciDeviceOf(Context->Device);
    if (pdev == NULL)
        return;
    if (Aspm)
        IpcAspmCheckEnable(pdev);
    IpcLtrCheckEnable(pdev);
}

} // namespace

NTSTATUS Mbb_EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    g_DriverContextMbb = GetDriverContextMbb(Driver);
    g_DriverContextMbb->Driver = Driver;
    ULONG count = MbbDeviceCountAdd(g_DriverContextMbb);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "device add: %u modem device(s)", count);
    BOOLEAN flashing = FALSE;
    BOOLEAN dumping = FALSE;
    NTSTATUS status;
    WDFDEVICE device = CreateDevice(DeviceInit, &flashing, &dumping, &status);
    if (device == NULL) {
        // No device will be released or cleaned up: take the count back.
        MbbDeviceCountRelease(g_DriverContextMbb);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "device add failed: %!STATUS!", status);
        return status;
    }
    GetMbbDeviceContext(device)->Counted = TRUE;
    status = FinishDeviceAdd(device, flashing, dumping);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "device add: %!STATUS!", status);
    return status;
}

NTSTATUS Mbb_EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    // A restart after a stop comes back here with the device taken out of the count.
    if (context->IpcInUse)
        CountIn(context);
    ULONG count = DeviceCount();
    if (count != 1) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "%u modem devices: only one is served", count);
        return PrepareFailed(context, STATUS_UNSUCCESSFUL);
    }
    context->IpcInUse = TRUE;
    SetMbimParameters(context);
    NTSTATUS status = GetIhvIoTarget(Device);
    if (!NT_SUCCESS(status))
        return status;
    status = IpcInit(Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "IpcInit failed: %!STATUS!", status);
        return PrepareFailed(context, status);
    }
    context->DeviceState = MBB_DEVICE_STATE_STARTED;
    GetIpcContext(Device)->EventCallback = IpcEvtModemState;
    if (!CurrentResetPending()) {
        status = IpcEvtPrepareHardware(Device, Raw, Translated);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "IpcEvtPrepareHardware failed: %!STATUS!", status);
            return PrepareFailed(context, status);
        }
    }
    IpcSmbiosCheck();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "device started");
    return STATUS_SUCCESS;
}

NTSTATUS Mbb_EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "release hardware: in use %u, counted %u",
                context->IpcInUse, context->Counted);
    // A device that never took the glue (a refused second modem) has nothing to release; its cleanup
    // takes it out of the count.
    if (DeviceCount() == 0 || !context->IpcInUse)
        return STATUS_SUCCESS;
    DisconnectPeers(Device);
    if (context->CidThread != NULL) {
        WdfIoTargetPurge(context->IhvTarget, WdfIoTargetPurgeIo);
        if (!context->CidThreadStop)
            CidprocessingThread_Cancel(context);
    }
    BOOLEAN settle = SettlesAfterRelease(Device);
    NTSTATUS result = STATUS_SUCCESS;
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    if (ipc != NULL && ipc->HardwarePrepared) {
        result = IpcEvtReleaseHardware(Device);
        if (!NT_SUCCESS(result))
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "IpcEvtReleaseHardware failed: %!STATUS!", result);
    }
    CountOut(context);
    IpcCleanup(Device);
    context->MbimPortOpened = 0; // the next start opens the MBIM port again
    if (CurrentResetPending()) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = WDF_REL_TIMEOUT_IN_SEC(kResetCompleteWaitSec);
        if (KeWaitForSingleObject(&context->ResetCompleteEvent, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT)
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "function-level reset did not complete in time");
    }
    if (settle)
        SleepMs(kSettleAfterReleaseMs);
    return result;
}

NTSTATUS Mbb_EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE Previous)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "D0 entry from %u", Previous);
    if (context->DeviceState == MBB_DEVICE_STATE_READY)
        ApplyLinkPowerSettings(context, context->AspmPolicyEnabled != 0);
    if (Previous == WdfPowerDeviceD3) {
        POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
        if (action == PowerActionSleep || action == PowerActionHibernate)
            IpcEvtResumeNoIrq(Device);
        else if (action == PowerActionNone)
            // The downlink stays masked until the receive queue starts.
            IpcDpmaifDLQMask(TRUE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Mbb_EvtDeviceD0EntryPostInterruptsEnabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE Previous)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    context->PreviousPowerState = Previous;
    ULONG state = context->DeviceState;
    BOOLEAN resetting = state >= MBB_DEVICE_STATE_PLDR_REQUESTED && state <= MBB_DEVICE_STATE_FLDR_REQUESTED;
    if (!resetting && !CurrentResetPending()) {
        NTSTATUS status = IpcEvtResumeHandler(Device, Previous);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "resume failed: %!STATUS!", status);
            RequestPlatformReset(context);
        }
    }
    SendBridgeIoctl(context, IOCTL_IHV_MODEM_AWAKE, kRequestCreateTries);
    return STATUS_SUCCESS;
}

NTSTATUS Mbb_EvtDeviceD0ExitPreInterruptsDisabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE Target)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    SendBridgeIoctl(context, IOCTL_IHV_MODEM_SLEEP, 1);
    POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
    context->IsPowerPolicyIdle = Target != WdfPowerDeviceD3Final && action == PowerActionNone;
    NTSTATUS status = IpcEvtSuspendHandler(Device, Target, context->IsPowerPolicyIdle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "suspend failed: %!STATUS!", status);
        RequestPlatformReset(context);
    }
    return status;
}

NTSTATUS Mbb_EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE Target)
{
    POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "D0 exit to %u%s", Target,
                action == PowerActionHibernate ? " -->Hiber" : action == PowerActionNone ? " -->S0Idle" : "");
    if (Target == WdfPowerDeviceD3Final)
        DisconnectPeers(Device);
    return STATUS_SUCCESS;
}

NTSTATUS Mbb_EvtDeviceSelfManagedIoInit(WDFDEVICE Device)
{
    return RegisterPowerSettingCallback(Device);
}

void Mbb_EvtDeviceSelfManagedIoCleanup(WDFDEVICE Device)
{
    UnregisterPowerSettingCallback(Device);
}

void Mbb_EvtDeviceSurpriseRemoval(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "surprise removal of %p", Device);
}

void Mbb_EvtDeviceContextCleanup(WDFOBJECT Object)
{
    WDFDEVICE device = static_cast<WDFDEVICE>(Object);
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(device);
    if (context->IpcInUse) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "device context cleanup");
        CountOut(context);
    } else {
        CountOut(context);
        // The reset runs on this device; the running modem, if any, stays current.
        WDFDEVICE previous = IpcGetCurrentDevice(NULL);
        IpcGetCurrentDevice(device);
        FLDR(context, TRUE);
        IpcGetCurrentDevice(previous != device ? previous : NULL);
        SleepMs(kSettleAfterReleaseMs);
    }
    IpcForgetCurrentDevice(device);
}

void MbbDeviceEvtCreateFile(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT File)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "create %p on %p", File, Device);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void MbbDeviceEvtCloseFile(WDFFILEOBJECT File)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "close %p", File);
}

void SetCapabilities_Power(WDFDEVICE Device)
{
    WDF_DEVICE_POWER_CAPABILITIES caps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&caps);
    caps.DeviceD1 = WdfFalse;
    caps.DeviceD2 = WdfFalse;
    caps.WakeFromD0 = WdfTrue;
    caps.WakeFromD1 = WdfFalse;
    caps.WakeFromD2 = WdfFalse;
    caps.WakeFromD3 = WdfTrue;
    // The working state keeps the device in D0; every sleep state puts it in D3.
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (ULONG s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++)
        caps.DeviceState[s] = PowerDeviceD3;
    caps.DeviceWake = PowerDeviceD3;
    caps.SystemWake = PowerSystemWorking;
    WdfDeviceSetPowerCapabilities(Device, &caps);
}

NTSTATUS GetIhvIoTarget(WDFDEVICE Device)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    context->IhvTarget = WdfDeviceGetIoTarget(Device);
    if (context->IhvTarget == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "no bridge target");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void SetMbimParameters(PMBB_DEVICE_CONTEXT Context)
{
    if (Context->IsFlashing || Context->IsDumping)
        return;
    MBB_DEVICE_MBIM_PARAMETERS parameters = {sizeof(parameters), 0, 0, 2048};
    NTSTATUS status = MbbDeviceSetMbimParameters(Context->Device, &parameters);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "MBIM parameters: %!STATUS!", status);
    MBB_DEVICE_WAKE_CAPABILITIES wake;
    MBB_DEVICE_WAKE_CAPABILITIES_INIT(&wake);
    wake.PacketState = TRUE;
    wake.RegisterState = TRUE;
    wake.SmsReceive = TRUE;
    wake.UiccChange = TRUE;
    wake.UssdReceive = TRUE;
    status = MbbDeviceSetWakeCapabilities(Context->Device, &wake);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "wake capabilities: %!STATUS!", status);
}

NTSTATUS RegisterPowerSettingCallback(WDFDEVICE Device)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    NTSTATUS status = PoRegisterPowerSettingCallback(WdfDeviceWdmGetDeviceObject(Device), &kPcieAspmSetting,
                                                     PcieAspmPowerSettingCallback, context,
                                                     &context->PowerSettingHandle);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "power setting not registered: %!STATUS!", status);
    return status;
}

void UnregisterPowerSettingCallback(WDFDEVICE Device)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    if (context->PowerSettingHandle != NULL) {
        PoUnregisterPowerSettingCallback(context->PowerSettingHandle);
        context->PowerSettingHandle = NULL;
    }
}

NTSTATUS PcieAspmPowerSettingCallback(LPCGUID Setting, PVOID Value, ULONG Length, PVOID Context)
{
    PMBB_DEVICE_CONTEXT context = static_cast<PMBB_DEVICE_CONTEXT>(Context);
    if (Value == NULL || context == NULL || Length != sizeof(ULONG) || DeviceCount() == 0)
        return STATUS_INVALID_PARAMETER;
    BOOLEAN ready = context->DeviceState == MBB_DEVICE_STATE_READY;
    if (IsEqualGUID(*Setting, kPcieAspmSetting)) {
        ULONG value = *static_cast<const ULONG*>(Value);
        context->AspmPolicyEnabled = value != 0;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "link-state power setting %u", value);
        if (value != 0) {
            if (!ready)
                return STATUS_SUCCESS;
            IPC_PCI_DEVICE* pdev = PciDeviceOf(context->Device);
            if (pdev != NULL)
                IpcAspmCheckEnable(pdev);
        }
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "other power setting");
    }
    if (ready)
        ApplyLinkPowerSettings(context, FALSE);
    return STATUS_SUCCESS;
}
