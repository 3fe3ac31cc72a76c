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
