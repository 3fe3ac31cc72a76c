// The IPC glue's record of the modem device (a framework context of the device), through which the
// framework side starts, stops, powers and talks to the host-interface stack.
#pragma once

#include <wdf.h>

#include "kal.h"

typedef struct _IPC_PORT_FUNCTION IPC_PORT_FUNCTION, *PIPC_PORT_FUNCTION;

// The glue's view of the modem, kept in State.
typedef enum _IPC_MODEM_STATE {
    IpcModemStateNone = 0,
    IpcModemStateNotReady = 1,
    IpcModemStateRomReady = 2,
    IpcModemStateReady = 3,
    IpcModemStateCrash = 4,
    IpcModemStateCdReady = 5,
    IpcModemStateReset = 7,
    IpcModemStateWarmReset = 8,
} IPC_MODEM_STATE;

// What the modem-event handler is told.
typedef enum _MODEM_EVENT {
    ModemEventNotReady = 0,
    ModemEventLinkDown = 1,
    ModemEventRomReady = 2,
    ModemEventReady = 3,
    ModemEventCrash = 4,
    ModemEventCdReady = 5,
    ModemEventMinidump = 6,
    ModemEventPlatformReset = 7,
    ModemEventFunctionReset = 9,
} MODEM_EVENT;

typedef NTSTATUS IPC_EVENT_CALLBACK(WDFDEVICE Device, MODEM_EVENT Event);

typedef struct _IPC_CONTEXT {
    WDFDEVICE Device;
    IPC_PCI_DEVICE* PciDevice;
    ULONG State; // IPC_MODEM_STATE
    USHORT MbimOpenDoneSeen;
    USHORT ColdBootCompleted;
    BOOLEAN RguResetDelay;
    BOOLEAN SsvidResetDelay;
    BOOLEAN MbimOpen;
    BOOLEAN HardwarePrepared;
    IPC_EVENT_CALLBACK* EventCallback;
    const struct dev_pm_ops* PmOps; // suspend, resume, resume-no-irq
    BOOLEAN EventDeferred;
    int (*Probe)(IPC_PCI_DEVICE* PciDevice, const struct pci_device_id* Id);
    void (*Remove)(IPC_PCI_DEVICE* PciDevice);
    LIST_ENTRY SioFunctions;
    LIST_ENTRY NetLinks;
    WDFSPINLOCK ListLock;
    WDFTIMER WatchdogTimer;
    volatile LONG WatchdogStarted;
    PIPC_PORT_FUNCTION LastMbimFunction;
    LIST_ENTRY HostResponses;
    KSPIN_LOCK HostResponseLock;
    WDFWAITLOCK ReadCompleteLock;
    LIST_ENTRY ModemMessages;
    KSPIN_LOCK ModemMessageLock;
} IPC_CONTEXT, *PIPC_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(IPC_CONTEXT, GetIpcContext);

// ColdBootCompleted values. Power lost in a system suspend means the modem boots from cold again, so
// that value counts as "not completed": readers test for IPC_COLD_BOOT_DONE only.
#define IPC_COLD_BOOT_RUNNING 0
#define IPC_COLD_BOOT_DONE 1
#define IPC_COLD_BOOT_POWER_LOST 2
BOOLEAN IpcColdBootCompleted(const IPC_CONTEXT* Context);

// Adds the IPC context to the modem device (an existing one is kept).
NTSTATUS AllocateIpcContext(WDFDEVICE Device);
// Start and stop of the host interface for the one accepted device. Cleanup always returns 0.
NTSTATUS IpcInit(WDFDEVICE Device);
NTSTATUS IpcCleanup(WDFDEVICE Device);
// Hardware and power entry points of the device callbacks: 0 or STATUS_UNSUCCESSFUL (release and
// resume-no-irq always 0).
NTSTATUS IpcEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated);
NTSTATUS IpcEvtReleaseHardware(WDFDEVICE Device);
NTSTATUS IpcEvtSuspendHandler(WDFDEVICE Device, ULONG TargetPowerState, BOOLEAN Idle);
NTSTATUS IpcEvtResumeHandler(WDFDEVICE Device, ULONG PreviousPowerState);
NTSTATUS IpcEvtResumeNoIrq(WDFDEVICE Device);

// Driver-wide flags the framework side hands down: AER-disable-UR (kept; the root port's mask is
// written whatever its value) and the boot-ROM download flag (read by the boot-ROM stage).
void IpcSetAerDisableURFlag(BOOLEAN Set);
// IpcSetBromDLFlag and IpcGetBromDLFlag are declared with the modem-event actions.

// Tells the state machine the modem log dump is done: 0 or STATUS_UNSUCCESSFUL.
NTSTATUS IpcSetModemLogDumpDone(void);
// Rings the doorbell that precedes a function-level reset, then gives the modem 200 ms.
void IpcDisableModemDRM(IPC_PCI_DEVICE* PciDevice);
// TRUE masks the DPMAIF downlink-queue interrupts; FALSE unmasks them and the downlink-done ones and
// re-enables the downlink. Nothing without the current device's PCI device record.
void IpcDpmaifDLQMask(BOOLEAN Mask);

// Called by the bus driver's remove path with its bus-driver record: releases the PCI device record.
void IpcDestroyDevice(struct pci_driver* Driver, ULONG Tag);

// The driver-wide terminate-threads signal that every thread of the host interface polls. NULL reads
// the flag; a pointer sets it to the byte pointed to and sets (non-zero) or clears the event. Returns
// the flag.
BOOLEAN IpcShouldTerminateThreads(const UCHAR* Terminate);
// Not signalled after this; the name is the one the host-interface code calls.
void IpcInitTerminiateThreadsEvent(void);
// For threads that wait on it beside their own event.
PKEVENT IpcGetTerminateThreadsEvent(void);
