#include "IpcContext.h"

#include "CurrentDevice.h"
#include "IpcPcie.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "Trace.h"
#include "ccci_fsm.h"
#include "ccci_port.h"
#include "ccmni.h"
#include "dpmaif.h"
#include "mhccif.h"
#include "pcie_device.h"

namespace
{

// Driver-wide: a new start of any device clears it again.
volatile UCHAR g_terminate_threads; // read by every thread of the host interface
KEVENT g_terminate_threads_event;

volatile BOOLEAN g_aer_disable_ur;
volatile BOOLEAN g_brom_download;

constexpr u32 kLogDumpDone = 0x20004338;
constexpr u32 kLogPortOpenBit = 2;
constexpr u32 kDrmDoorbell = 14;
constexpr u32 kDrmSettleMs = 200;
// How long the module's end waits for the host interface's threads: past it a thread is stuck, and a
// clean-up that never returns would hang the device's removal.
constexpr LONGLONG kThreadsEndWait = -10LL * 1000 * 1000 * 10;

PIPC_CONTEXT ContextOf(WDFDEVICE Device)
{
    return Device != NULL ? GetIpcContext(Device) : NULL;
}

// A restart of the same device object finds the context of the previous start: nothing of it may
// survive (a kept State of 7 would ignore every report), and its timer must not fire into the new one.
void ResetIpcContext(PIPC_CONTEXT Context)
{
    if (Context->WatchdogTimer != NULL) {
        WdfTimerStop(Context->WatchdogTimer, TRUE);
        WdfObjectDelete(Context->WatchdogTimer);
    }
    if (Context->ListLock != NULL)
        WdfObjectDelete(Context->ListLock);
    if (Context->ReadCompleteLock != NULL)
        WdfObjectDelete(Context->ReadCompleteLock);
    RtlZeroMemory(Context, sizeof(*Context));
}

int CallPmOp(PIPC_CONTEXT Context, int (*const dev_pm_ops::*Slot)(IPC_PCI_DEVICE*))
{
    if (Context->PmOps == NULL || Context->PmOps->*Slot == NULL || Context->PciDevice == NULL)
        return -1;
    return (Context->PmOps->*Slot)(Context->PciDevice);
}

// The glue's answer to a result of the host interface: any non-zero result is a failure.
NTSTATUS StatusOf(int Result, const char* What)
{
    if (Result == 0)
        return STATUS_SUCCESS;
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "%s failed: %d", What, Result);
    return STATUS_UNSUCCESSFUL;
}

} // namespace

BOOLEAN IpcColdBootCompleted(const IPC_CONTEXT* Context)
{
    return Context->ColdBootCompleted == IPC_COLD_BOOT_DONE;
}

NTSTATUS AllocateIpcContext(WDFDEVICE Device)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, IPC_CONTEXT);
    NTSTATUS status = WdfObjectAllocateContext(Device, &attributes, NULL);
    if (status == STATUS_OBJECT_NAME_EXISTS)
        return STATUS_SUCCESS;
    return status;
}

NTSTATUS IpcInit(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IPC glue v1.0.31 X5(MRV1.26) built %s %s", __DATE__, __TIME__);
    NTSTATUS status = AllocateIpcContext(Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "IPC context not allocated: %!STATUS!", status);
        return status;
    }
    PIPC_CONTEXT context = GetIpcContext(Device);
    ResetIpcContext(context);
    context->Device = IpcGetCurrentDevice(Device);
    context->ColdBootCompleted = IPC_COLD_BOOT_DONE;
    InitializeListHead(&context->SioFunctions);
    InitializeListHead(&context->NetLinks);
    InitializeListHead(&context->HostResponses);
    InitializeListHead(&context->ModemMessages);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    status = WdfSpinLockCreate(&attributes, &context->ListLock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "list lock not created: %!STATUS!", status);
        return status;
    }
    KeInitializeSpinLock(&context->HostResponseLock);
    KeInitializeSpinLock(&context->ModemMessageLock);
    WdfWaitLockCreate(&attributes, &context->ReadCompleteLock);
    status = IpcModemWatchdogInit(context);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "watchdog timer not created: %!STATUS!", status);

    IpcInitTerminiateThreadsEvent();
    const UCHAR run = 0;
    IpcShouldTerminateThreads(&run);
    return StatusOf(mdm_pcie_module_init(), "host interface start");
}

NTSTATUS IpcCleanup(WDFDEVICE Device)
{
    PIPC_CONTEXT context = ContextOf(Device);
    if (context == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "clean-up without IPC context");
        return STATUS_SUCCESS;
    }
    IpcDeactivateAllDevices(&context->SioFunctions);
    IpcDeactivateAllDevices(&context->NetLinks);
    const UCHAR terminate = 1;
    IpcShouldTerminateThreads(&terminate);
    mdm_pcie_module_exit();
    // A next start clears the terminate flag: threads of this one must be gone by then.
    if (!win_wait_threads_ended(kThreadsEndWait))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "host interface threads still running after clean-up");
    return STATUS_SUCCESS;
}

NTSTATUS IpcEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated)
{
    PIPC_CONTEXT context = GetIpcContext(Device);
    context->HardwarePrepared = TRUE;
    IPC_PCI_DEVICE* pdev = context->PciDevice;
    if (pdev == NULL || context->Probe == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "no PCI device record to probe");
        return STATUS_UNSUCCESSFUL;
    }
    pdev->RawResources = Raw;
    pdev->TranslatedResources = Translated;
    return StatusOf(context->Probe(pdev, pdev->IdTable), "probe");
}

NTSTATUS IpcEvtReleaseHardware(WDFDEVICE Device)
{
    PIPC_CONTEXT context = ContextOf(Device);
    if (context != NULL && context->Remove != NULL && context->PciDevice != NULL)
        context->Remove(context->PciDevice);
    return STATUS_SUCCESS;
}

NTSTATUS IpcEvtSuspendHandler(WDFDEVICE Device, ULONG TargetPowerState, BOOLEAN Idle)
{
    PIPC_CONTEXT context = GetIpcContext(Device);
    IPC_PCI_DEVICE* pdev = context->PciDevice;
    if (pdev == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "suspend without PCI device record");
        return STATUS_UNSUCCESSFUL;
    }
    pdev->TargetPowerState = TargetPowerState;
    pdev->Idle = Idle;
    if (!Idle)
        KeClearEvent(&pdev->ResumeEvent);
    if (TargetPowerState == IPC_PCI_POWER_D3_FINAL && !Mbb_IsResetInProgress())
        PcieAerCapCheck(pdev);
    NTSTATUS status = StatusOf(CallPmOp(context, &dev_pm_ops::suspend), "suspend");
    if (!NT_SUCCESS(status))
        return status;
    pdev->PowerState = pdev->TargetPowerState;
    IpcModemWatchdogStop(context);
    return STATUS_SUCCESS;
}

NTSTATUS IpcEvtResumeHandler(WDFDEVICE Device, ULONG PreviousPowerState)
{
    PIPC_CONTEXT context = GetIpcContext(Device);
    IPC_PCI_DEVICE* pdev = context->PciDevice;
    if (pdev == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "resume without PCI device record");
        return STATUS_UNSUCCESSFUL;
    }
    KeSetEvent(&pdev->ResumeEvent, IO_NO_INCREMENT, FALSE);
    pdev->PreviousPowerState = PreviousPowerState;
    pdev->PowerState = IPC_PCI_POWER_D0;
    pdev->TargetPowerState = IPC_PCI_POWER_D0;
    NTSTATUS status = StatusOf(CallPmOp(context, &dev_pm_ops::resume), "resume");
    if (!NT_SUCCESS(status))
        return status;
    if (context->EventDeferred) {
        IpcNetLinkExecute(context);
        context->EventDeferred = FALSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IpcEvtResumeNoIrq(WDFDEVICE Device)
{
    PIPC_CONTEXT context = ContextOf(Device);
    if (context != NULL)
        CallPmOp(context, &dev_pm_ops::resume_noirq);
    return STATUS_SUCCESS;
}

BOOLEAN IpcShouldTerminateThreads(const UCHAR* Terminate)
{
    if (Terminate != NULL) {
        WriteUCharRelease(&g_terminate_threads, *Terminate);
        if (*Terminate != 0)
            KeSetEvent(&g_terminate_threads_event, IO_NO_INCREMENT, FALSE);
        else
            KeClearEvent(&g_terminate_threads_event);
    }
    return ReadUCharAcquire(&g_terminate_threads) != 0;
}

void IpcInitTerminiateThreadsEvent(void)
{
    KeInitializeEvent(&g_terminate_threads_event, NotificationEvent, FALSE);
}

PKEVENT IpcGetTerminateThreadsEvent(void)
{
    return &g_terminate_threads_event;
}

void IpcSetAerDisableURFlag(BOOLEAN Set)
{
    WriteUCharRelease(reinterpret_cast<volatile UCHAR*>(&g_aer_disable_ur), Set ? TRUE : FALSE);
}

void IpcSetBromDLFlag(BOOLEAN Set)
{
    WriteUCharRelease(reinterpret_cast<volatile UCHAR*>(&g_brom_download), Set ? TRUE : FALSE);
}

BOOLEAN IpcGetBromDLFlag(void)
{
    return ReadUCharAcquire(reinterpret_cast<volatile UCHAR*>(&g_brom_download));
}

NTSTATUS IpcSetModemLogDumpDone(void)
{
    return StatusOf(ccci_fsm_ioctl(0, kLogDumpDone, 0), "log dump done");
}

BOOLEAN IpcMDLogDump(void)
{
    return ccci_port_proxy_test_flag(0, kLogPortOpenBit) != 0 && ccci_fsm_get_md_state(0) == MD_STATE_EXCEPTION;
}

void IpcDisableModemDRM(IPC_PCI_DEVICE* PciDevice)
{
    mhccif_send_doorbell(PciDevice != NULL ? PciDevice->MdmDevice : NULL, kDrmDoorbell);
    msleep(kDrmSettleMs);
}

void IpcDpmaifDLQMask(BOOLEAN Mask)
{
    PIPC_CONTEXT context = ContextOf(IpcGetCurrentDevice(NULL));
    if (context == NULL || context->PciDevice == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "DL queue %s without PCI device record", Mask ? "mask" : "unmask");
        return;
    }
    struct mdm_pci_dev* dev = context->PciDevice->MdmDevice;
    struct dpmaif_hif* instance = dev != NULL && dev->ccmni != NULL ? dev->ccmni->dpmaif : NULL;
    if (instance == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "DL queue %s without DPMAIF", Mask ? "mask" : "unmask");
        return;
    }
    if (Mask) {
        dpmaif_mask_dl_irqs(instance);
        return;
    }
    dpmaif_unmask_dl_irqs(instance);
    dpmaif_unmask_dl_done_irqs(instance);
    dpmaif_hw_dl_enable(&instance->hw);
}

void IpcDestroyDevice(struct pci_driver* Driver, ULONG Tag)
{
    IPC_PCI_DEVICE* pdev = Driver->dev;
    if (pdev == NULL)
        return;
    if (pdev->IpcContext != NULL && pdev->IpcContext->PciDevice == pdev)
        pdev->IpcContext->PciDevice = NULL;
    Driver->dev = NULL;
    PcieDeleteDevice(pdev, Tag);
}
