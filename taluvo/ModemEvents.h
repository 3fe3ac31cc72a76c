// Modem events: the host interface's reports ("MDM_NOT_READY", "CRASH", ...; the length counts the
// terminating zero), the work-item routines and handler of the events they raise, the connection and
// removal of port functions, and the IPC watchdog.
#pragma once

#include <wdf.h>

#include "IpcContext.h"
#include "PortFunction.h"

// C linkage: tests that record the reports instead wrap the symbol at link time.
extern "C" void IpcNetlinkIndicate(const char* Text, int Length);

// Queues the work-item routine of the current State.
void IpcNetLinkExecute(PIPC_CONTEXT Context);
// Work-item routines: the argument is the IPC context.
void IpcNetlinkNotReady(PVOID Argument);
void IpcNetlinkRomReady(PVOID Argument);
void IpcNetlinkModemReady(PVOID Argument);
void IpcNetlinkCrash(PVOID Argument);
void IpcNetlinkCDReady(PVOID Argument);
void IpcNetlinkReset(PVOID Argument);
void IpcNetlinkWarmReset(PVOID Argument);
void IpcNetlinkLinkDown(PVOID Argument);

// The modem-event handler, installed as EventCallback of the IPC context.
IPC_EVENT_CALLBACK IpcEvtModemState;

// Connects a registered port function to its child device and peers; disconnects and releases one.
void IpcFunctionAdd(PIPC_PORT_FUNCTION Function);
NTSTATUS IpcFunctionRemove(PIPC_PORT_FUNCTION Function);
// The first port function of a type on a list of the IPC context, under its lock.
PIPC_PORT_FUNCTION RetrieveIpcLinkFnContext(WDFSPINLOCK Lock, PLIST_ENTRY List, LONG Type);
// Write-completion routines that connected port functions receive.
IPC_PORT_COMPLETION PortCompleteRequest;
IPC_PORT_COMPLETION PortCompleteRequestCb;

// The watchdog timer of the IPC context (parented to its device); start and stop are each effective
// once until the other has run.
NTSTATUS IpcModemWatchdogInit(PIPC_CONTEXT Context);
void IpcModemWatchdogStart(PIPC_CONTEXT Context, ULONG Milliseconds);
void IpcModemWatchdogStop(PIPC_CONTEXT Context);
EVT_WDF_TIMER EvtIpcModemInitWatchdog;
