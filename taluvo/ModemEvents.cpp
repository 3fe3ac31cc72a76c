// Modem events: the host interface's reports become IPC states, each state change runs its event in a
// framework work item at passive level, and the event handler connects the port functions, sets the
// idle time-out, records the flash and dump status and requests resets.
#include "ModemEvents.h"

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ModemEventActions.h"
#include "QueueCallback.h"
#include "Registry.h"
#include "Trace.h"

#include <string.h>

namespace
{

constexpr ULONG kIdleLongMs = 7200000;
constexpr ULONG kIdleReadyMs = 5000;
constexpr ULONG kCrashWatchdogMs = 10000;

enum class Report {
    NotReady,
    RomReady,
    Ready,
    Reset,
    WarmReset,
    Crash,
    CdReady,
    ColdBootStarted,
    ColdBootCompleted,
    RguResetDelay,
    SsvidResetDelay,
    Minidump,
    Unknown,
};

struct REPORT_TEXT {
    const char* Text;
    Report Kind;
};

const REPORT_TEXT kReports[] = {
    {"MDM_NOT_READY", Report::NotReady},
    {"ROM_READY", Report::RomReady},
    {"MDM_READY", Report::Ready},
    {"RESET", Report::Reset},
    {"WARM_RESET", Report::WarmReset},
    {"CRASH", Report::Crash},
    {"CD_READY", Report::CdReady},
    {"MDM_COLD_BOOT_STARTED", Report::ColdBootStarted},
    {"MDM_COLD_BOOT_COMPLETED", Report::ColdBootCompleted},
    {"RGU_RESET_DELAY", Report::RguResetDelay},
    {"SSVID_RESET_DELAY", Report::SsvidResetDelay},
    {"MINIDUMP", Report::Minidump},
};

// The length counts the terminating zero; only a report of exactly a known string's length can match,
// so the comparison never reads past the shorter of the two.
Report Match(const char* Text, int Length)
{
    for (const REPORT_TEXT& known : kReports) {
        size_t size = strlen(known.Text) + 1;
        if ((size_t)Length == size && memcmp(Text, known.Text, size) == 0)
            return known.Kind;
    }
    return Report::Unknown;
}

// A state change: the state it sets, whether the idle time-out goes long first, and whether the
// watchdog stops.
struct STATE_CHANGE {
    Report Kind;
    ULONG State;
    bool LongIdle;
    bool StopWatchdog;
};

const STATE_CHANGE kStateChanges[] = {
    {Report::NotReady, IpcModemStateNotReady, false, true},
    {Report::RomReady, IpcModemStateRomReady, true, false},
    {Report::Ready, IpcModemStateReady, false, true},
    {Report::Reset, IpcModemStateReset, true, true},
    {Report::WarmReset, IpcModemStateWarmReset, true, true},
    {Report::Crash, IpcModemStateCrash, true, true},
    {Report::CdReady, IpcModemStateCdReady, true, true},
};

// A report that arrived above passive level, run again from a work item.
struct QUEUED_REPORT {
    int Length;
    char Text[60];
};

PIPC_CONTEXT CurrentIpcContext()
{
    WDFDEVICE device = IpcGetCurrentDevice(NULL);
    return device == NULL ? NULL : GetIpcContext(device);
}

void RunQueuedReport(PVOID Argument)
{
    auto* report = static_cast<QUEUED_REPORT*>(Argument);
    IpcNetlinkIndicate(report->Text, report->Length);
}

// The idle update and the event handler need passive level: a report from higher up is queued whole.
void QueueReport(PIPC_CONTEXT Context, const char* Text, int Length)
{
    QUEUED_REPORT report = {};
    if ((size_t)Length > sizeof(report.Text)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "report of %d bytes above passive level dropped", Length);
        return;
    }
    report.Length = Length;
    memcpy(report.Text, Text, (size_t)Length);
    NTSTATUS status = QueueCallback(Context->Device, RunQueuedReport, &report, sizeof(report), FALSE, 0);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "report not queued: %!STATUS!", status);
}

NTSTATUS RaiseEvent(PIPC_CONTEXT Context, MODEM_EVENT Event)
{
    if (Context->EventCallback == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "no event handler for event %d", Event);
        return STATUS_UNSUCCESSFUL;
    }
    return Context->EventCallback(Context->Device, Event);
}

void RunOrDefer(PIPC_CONTEXT Context)
{
    if (Context->PciDevice != NULL && ReadULongAcquire(&Context->PciDevice->PowerState) == IPC_PCI_POWER_D0) {
        IpcNetLinkExecute(Context);
        Context->EventDeferred = FALSE;
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "device not in D0: state %u deferred",
                    ReadULongAcquire(&Context->State));
        Context->EventDeferred = TRUE;
    }
}

void ChangeState(PIPC_CONTEXT Context, const STATE_CHANGE& Change)
{
    if (Change.LongIdle)
        AssignSettings_S0Idle(Context->Device, kIdleLongMs);
    WriteULongRelease(&Context->State, Change.State);
    if (Change.StopWatchdog)
        IpcModemWatchdogStop(Context);
    RunOrDefer(Context);
}

void HandleReport(PIPC_CONTEXT Context, Report Kind, const char* Text)
{
    for (const STATE_CHANGE& change : kStateChanges) {
        if (change.Kind != Kind)
            continue;
        if (ReadULongAcquire(&Context->State) != change.State) {
            ChangeState(Context, change);
        } else if (Kind == Report::Ready) {
            // Ready again: the ready event connects only what is not connected yet, so it runs again
            // rather than one that would take the device back to ROM ready.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "ready again");
            RaiseEvent(Context, ModemEventReady);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "%s again", Text);
        }
        return;
    }
    switch (Kind) {
    case Report::ColdBootStarted:
        if (ReadULongAcquire(&Context->State) == IpcModemStateReady)
            AssignSettings_S0Idle(Context->Device, kIdleLongMs);
        Context->MbimOpenDoneSeen = 0;
        Context->ColdBootCompleted = IPC_COLD_BOOT_RUNNING;
        break;
    case Report::ColdBootCompleted:
        AssignSettings_S0Idle(Context->Device, kIdleReadyMs);
        Context->ColdBootCompleted = IPC_COLD_BOOT_DONE;
        break;
    case Report::RguResetDelay:
        Context->RguResetDelay = TRUE;
        break;
    case Report::SsvidResetDelay:
        Context->SsvidResetDelay = TRUE;
        break;
    case Report::Minidump:
        RaiseEvent(Context, ModemEventMinidump);
        break;
    default:
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "unknown report");
        break;
    }
}

PIPC_CONTEXT ContextOf(PVOID Argument)
{
    return static_cast<PIPC_CONTEXT>(Argument);
}

// The port-function types event 3 connects, in order.
const ULONG kReadyFunctions[] = {IPC_FN_MBIM, IPC_FN_AT,       IPC_FN_MD_LOG, IPC_FN_SAP_LOG,
                                 IPC_FN_ADB,  IPC_FN_META_SAP, IPC_FN_GNSS,   IPC_FN_TEST_GNSS,
                                 IPC_FN_NPT,  IPC_FN_META_MD};

// The interface kind of the COM child bus for a port-function type; 0 for none.
ULONG InterfaceKind(ULONG Type)
{
    static const ULONG kinds[] = {0, 4, 0, 2, 3, 8, 7, 6, 13, 9, 10, 11, 5, 12, 0, 14};
    return Type < ARRAYSIZE(kinds) ? kinds[Type] : 0;
}

// The COM function of a port-function type, or -1.
int ComFunction(ULONG Type)
{
    switch (Type) {
    case IPC_FN_FLASH:
        return WwanComFlash;
    case IPC_FN_MD_LOG:
        return WwanComMdLog;
    case IPC_FN_AT:
        return WwanComAt;
    case IPC_FN_GNSS:
        return WwanComGnss;
    case IPC_FN_TEST_GNSS:
        return WwanComTestGnss;
    case IPC_FN_SAP_LOG:
        return WwanComSapLog;
    case IPC_FN_ADB:
        return WwanComAdb;
    case IPC_FN_META_SAP:
        return WwanComMetaSap;
    case IPC_FN_FULL_RAM_DUMP:
        return WwanComFullRamDump;
    case IPC_FN_NPT:
        return WwanComNpt;
    case IPC_FN_META_MD:
        return WwanComMetaMd;
    default:
        return -1;
    }
}

// Connects the port function of a type when it is registered and not connected yet.
void AddRegisteredFunction(ULONG Type)
{
    PIPC_PORT_FUNCTION function = IpcGetPortFnContextSio(Type);
    if (function == NULL) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "no port function of type %u", Type);
        return;
    }
    if (function->State >= IPC_FN_STATE_CONNECTED) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "type %u already in state %u", Type, function->State);
        return;
    }
    IpcFunctionAdd(function);
}

// Guard: a ready modem in use becomes `State`, so that no later report is acted on before the reset.
void Guard(PIPC_CONTEXT Ipc, PMBB_DEVICE_CONTEXT Context, ULONG State)
{
    if (Ipc != NULL && Context->IpcInUse && ReadULongAcquire(&Ipc->State) == IpcModemStateReady)
        WriteULongRelease(&Ipc->State, State);
}

NTSTATUS ReadyEvent(PIPC_CONTEXT Ipc, PMBB_DEVICE_CONTEXT Context)
{
    WDFDEVICE device = Context->Device;
    if (Context->IsDumping) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "ready after a dump: reset");
        Context->IsDumping = FALSE;
        SetRAMDumpStatus(0);
        Guard(Ipc, Context, IpcModemStateReset);
        PLDR(Context);
        return STATUS_SUCCESS;
    }
    if (Context->IsFlashing) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "ready after flashing: reset");
        Context->IsFlashing = FALSE;
        ClearFlashingStatus();
        IpcSetBromDLFlag(FALSE);
        Guard(Ipc, Context, IpcModemStateReset);
        PLDR(Context);
        return STATUS_SUCCESS;
    }
    // COM children are plugged only in the ready state.
    Context->DeviceState = MBB_DEVICE_STATE_READY;
    for (ULONG type : kReadyFunctions)
        AddRegisteredFunction(type);
    PIPC_PORT_FUNCTION link = RetrieveIpcLinkFnContext(Ipc->ListLock, &Ipc->NetLinks, IPC_FN_NET_LINK);
    if (link != NULL && link->State == IPC_FN_STATE_REGISTERED)
        IpcFunctionAdd(link);
    AssignSettings_S0Idle(device, kIdleReadyMs);
    AssignSettings_SxWake(device);
    return STATUS_SUCCESS;
}

} // namespace

void IpcNetlinkIndicate(const char* Text, int Length)
{
    if (Text == NULL || Length <= 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "empty report");
        return;
    }
    PIPC_CONTEXT context = CurrentIpcContext();
    if (context == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "report without an IPC context");
        return;
    }
    if (ReadULongAcquire(&context->State) == IpcModemStateReset) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "in reset: report ignored");
        return;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        QueueReport(context, Text, Length);
        return;
    }
    Report kind = Match(Text, Length);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "report %.*s in state %u", Length, Text,
                ReadULongAcquire(&context->State));
    HandleReport(context, kind, Text);
}

void IpcNetLinkExecute(PIPC_CONTEXT Context)
{
    WORKER_ROUTINE* routine;
    switch (ReadULongAcquire(&Context->State)) {
    case IpcModemStateNotReady:
        routine = IpcNetlinkNotReady;
        break;
    case IpcModemStateRomReady:
        routine = IpcNetlinkRomReady;
        break;
    case IpcModemStateReady:
        routine = IpcNetlinkModemReady;
        break;
    case IpcModemStateCrash:
        routine = IpcNetlinkCrash;
        break;
    case IpcModemStateCdReady:
        routine = IpcNetlinkCDReady;
        break;
    case IpcModemStateReset:
        routine = IpcNetlinkReset;
        break;
    case IpcModemStateWarmReset:
        routine = IpcNetlinkWarmReset;
        break;
    default:
        routine = IpcNetlinkLinkDown;
        break;
    }
    NTSTATUS status = QueueCallback(Context->Device, routine, Context, 8, TRUE, 0);
    if (!NT_SUCCESS(status))
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "event lost: %!STATUS!", status);
}

void IpcNetlinkNotReady(PVOID Argument)
{
    IpcModemWatchdogStop(ContextOf(Argument));
    RaiseEvent(ContextOf(Argument), ModemEventNotReady);
}

void IpcNetlinkRomReady(PVOID Argument)
{
    RaiseEvent(ContextOf(Argument), ModemEventRomReady);
}

void IpcNetlinkModemReady(PVOID Argument)
{
    RaiseEvent(ContextOf(Argument), ModemEventReady);
}

void IpcNetlinkCrash(PVOID Argument)
{
    IpcModemWatchdogStart(ContextOf(Argument), kCrashWatchdogMs);
    RaiseEvent(ContextOf(Argument), ModemEventCrash);
}

void IpcNetlinkCDReady(PVOID Argument)
{
    IpcModemWatchdogStop(ContextOf(Argument));
    RaiseEvent(ContextOf(Argument), ModemEventCdReady);
}

void IpcNetlinkReset(PVOID Argument)
{
    IpcModemWatchdogStop(ContextOf(Argument));
    RaiseEvent(ContextOf(Argument), ModemEventPlatformReset);
}

void IpcNetlinkWarmReset(PVOID Argument)
{
    IpcModemWatchdogStop(ContextOf(Argument));
    RaiseEvent(ContextOf(Argument), ModemEventFunctionReset);
}

void IpcNetlinkLinkDown(PVOID Argument)
{
    PIPC_CONTEXT context = ContextOf(Argument);
    IpcModemWatchdogStop(context);
    if (context->SioFunctions.Flink != NULL)
        for (PLIST_ENTRY entry = context->SioFunctions.Flink; entry != &context->SioFunctions;
             entry = entry->Flink)
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "port function type %u",
                        CONTAINING_RECORD(entry, IPC_PORT_FUNCTION, Link)->FunctionType);
    RaiseEvent(context, ModemEventLinkDown);
}

NTSTATUS IpcEvtModemState(WDFDEVICE Device, MODEM_EVENT Event)
{
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Device);
    PIPC_CONTEXT ipc = GetIpcContext(Device);
    switch (Event) {
    case ModemEventNotReady:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemNotReadyState");
        context->DeviceState = MBB_DEVICE_STATE_STARTED;
        AssignSettings_S0Idle(Device, kIdleLongMs);
        return STATUS_SUCCESS;
    case ModemEventLinkDown:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemLinkDownState");
        AssignSettings_S0Idle(Device, kIdleLongMs);
        Guard(ipc, context, IpcModemStateReset);
        PLDR(context);
        return STATUS_SUCCESS;
    case ModemEventRomReady: {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemRomReadyState");
        PIPC_PORT_FUNCTION flash = IpcGetPortFnContextSio(IPC_FN_FLASH);
        if (flash != NULL && flash->State == IPC_FN_STATE_REGISTERED)
            IpcFunctionAdd(flash);
        context->DeviceState = MBB_DEVICE_STATE_ROM_READY;
        AssignSettings_S0Idle(Device, kIdleLongMs);
        AssignSettings_SxWake(Device);
        if (flash != NULL && context->IsFlashing) {
            ClearFlashingStatus();
            context->IsFlashing = FALSE;
            IpcSetBromDLFlag(FALSE);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "ClearFlashStatusAndSetBRomDLFlag");
        }
        return STATUS_SUCCESS;
    }
    case ModemEventReady:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemReadyState");
        return ReadyEvent(ipc, context);
    case ModemEventCrash:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemCrashState");
        context->DeviceState = MBB_DEVICE_STATE_CRASH;
        AssignSettings_S0Idle(Device, kIdleLongMs);
        // The next device add starts in dump mode.
        if (GetFullRAMDumpConfig(Device) && !IpcMDLogDump())
            SetRAMDumpStatus(1);
        return STATUS_SUCCESS;
    case ModemEventCdReady: {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtModemCDReadyState");
        PIPC_PORT_FUNCTION dump = IpcGetPortFnContextSio(IPC_FN_FULL_RAM_DUMP);
        if (dump != NULL && dump->State == IPC_FN_STATE_REGISTERED)
            IpcFunctionAdd(dump);
        AssignSettings_S0Idle(Device, kIdleLongMs);
        context->DeviceState = MBB_DEVICE_STATE_CD_READY;
        context->IsDumping = FALSE;
        SetRAMDumpStatus(0);
        return STATUS_SUCCESS;
    }
    case ModemEventMinidump:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "IpcEvtSetMinidumpReg");
        SetMiniDumpStatus(1);
        return STATUS_SUCCESS;
    case ModemEventPlatformReset:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "platform reset");
        Guard(ipc, context, IpcModemStateReset);
        return PLDR(context);
    case ModemEventFunctionReset:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "function reset");
        Guard(ipc, context, IpcModemStateWarmReset);
        return FLDR(context, TRUE);
    default:
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "event %d not handled", Event);
        return STATUS_UNSUCCESSFUL;
    }
}

void IpcFunctionAdd(PIPC_PORT_FUNCTION Function)
{
    ULONG type = Function->FunctionType;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "connect port function type %u", type);
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Function->Device);
    int com = ComFunction(type);
    ULONG kind = InterfaceKind(type);
    if (com >= 0 && context->Functions[com].Connected) {
        // Its child exists from an earlier start: only the peer link is made again.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "type %u already connected", type);
    } else if (kind != 0) {
        Function->Ops.WriteComplete = PortCompleteRequest;
        Function->Ops.RequestComplete = PortCompleteRequest;
        Function->Ops.RequestCompleteSecond = PortCompleteRequestCb;
        int status = SetupWwanIFDevice(Function->Device, kind, type);
        if (status < 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IPC, "interface of kind %u: %d", kind, status);
            goto connected;
        }
        if (type == IPC_FN_MIPC)
            Function->Ops.MipcReadComplete = MipcReadComplete;
        else if (type == IPC_FN_MBIM)
            Function->Ops.MbimReadComplete = MbimCpReadComplete;
        else if (com >= 0) {
            Function->Ops.Receive = WwanComReceiveCallback(type);
            context->Functions[com].Connected = TRUE;
        }
    }
    ConnectPeers(Function->Device, NULL, Function);
connected:
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "type %u connected", type);
    // One opened meanwhile stays open.
    if (Function->State < IPC_FN_STATE_CONNECTED)
        Function->State = IPC_FN_STATE_CONNECTED;
}

NTSTATUS IpcFunctionRemove(PIPC_PORT_FUNCTION Function)
{
    if (Function == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "no port function to remove");
        return STATUS_SUCCESS;
    }
    if (Function->Ops.Close != NULL)
        Function->Ops.Close(Function);
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(Function->Device);
    WdfSpinLockAcquire(context->DeviceLock);
    if (Function->DeviceLink.Flink != NULL && Function->DeviceLink.Blink != NULL) {
        RemoveEntryList(&Function->DeviceLink);
        Function->DeviceLink.Flink = Function->DeviceLink.Blink = NULL;
    }
    WdfSpinLockRelease(context->DeviceLock);
    switch (Function->FunctionType) {
    case IPC_FN_MBIM:
    case IPC_FN_FLASH:
    case IPC_FN_FULL_RAM_DUMP:
        RemoveWwanIFDevice(Function->Device, InterfaceKind(Function->FunctionType));
        break;
    default:
        break;
    }
    if (Function->FunctionType == IPC_FN_FLASH)
        context->Functions[WwanComFlash].PortOpened = FALSE;
    return IpcReleaseDevice(Function);
}

PIPC_PORT_FUNCTION RetrieveIpcLinkFnContext(WDFSPINLOCK Lock, PLIST_ENTRY List, LONG Type)
{
    PIPC_PORT_FUNCTION found = NULL;
    WdfSpinLockAcquire(Lock);
    if (List->Flink == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "list never initialised");
    } else {
        for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink) {
            PIPC_PORT_FUNCTION function = CONTAINING_RECORD(entry, IPC_PORT_FUNCTION, Link);
            if (function->FunctionType == (ULONG)Type) {
                found = function;
                break;
            }
        }
    }
    WdfSpinLockRelease(Lock);
    return found;
}

NTSTATUS PortCompleteRequest(PPORT_REFERENCE Reference)
{
    if (Reference == NULL || Reference->Block == NULL || Reference->Block->Request == NULL)
        return STATUS_UNSUCCESSFUL;
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_IPC, "request %p completed: %!STATUS!, %u bytes",
                Reference->Block->Request, Reference->Block->Status, Reference->Block->Length);
    return STATUS_SUCCESS;
}

NTSTATUS PortCompleteRequestCb(PPORT_REFERENCE)
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_IPC, "second completion");
    return STATUS_SUCCESS;
}

NTSTATUS IpcModemWatchdogInit(PIPC_CONTEXT Context)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, EvtIpcModemInitWatchdog);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    return WdfTimerCreate(&config, &attributes, &Context->WatchdogTimer);
}

void IpcModemWatchdogStart(PIPC_CONTEXT Context, ULONG Milliseconds)
{
    if (Context == NULL)
        return;
    if (InterlockedCompareExchange(&Context->WatchdogStarted, 1, 0) == 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "watchdog %u ms", Milliseconds);
        WdfTimerStart(Context->WatchdogTimer, WDF_REL_TIMEOUT_IN_MS(Milliseconds));
    }
}

void IpcModemWatchdogStop(PIPC_CONTEXT Context)
{
    if (Context == NULL)
        return;
    if (InterlockedCompareExchange(&Context->WatchdogStarted, 0, 1) == 1) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_IPC, "watchdog stopped");
        WdfTimerStop(Context->WatchdogTimer, FALSE);
    }
}

void EvtIpcModemInitWatchdog(WDFTIMER Timer)
{
    // Expiry only traces; the flag stays set, so a new start waits for a stop.
    PIPC_CONTEXT context = GetIpcContext(WdfTimerGetParentObject(Timer));
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_IPC, "modem watchdog expired in state %u",
                context == NULL ? 0 : ReadULongAcquire(&context->State));
}
