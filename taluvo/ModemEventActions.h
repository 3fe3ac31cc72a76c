// What the modem-event handling does through other parts of the driver: idle and wake settings and the
// resets, the COM child bus, the MBIM and MIPC read-complete routines
// and the IPC context's boot-ROM download and log-dump flags.
#pragma once

#include <wdf.h>

#include "MbbDevice.h"
#include "PortFunction.h"

// Idle time-out in milliseconds (idle is allowed only in DeviceState 3) and wake from Sx.
void AssignSettings_S0Idle(WDFDEVICE Device, ULONG IdleTimeoutMs);
void AssignSettings_SxWake(WDFDEVICE Device);
// Platform- and function-level resets of the modem device.
NTSTATUS PLDR(PMBB_DEVICE_CONTEXT Context);
NTSTATUS FLDR(PMBB_DEVICE_CONTEXT Context, BOOLEAN Wait);

// The COM child bus: the interface record of a kind for a port function (negative on failure), and
// the link of a port function to the peer node of its type.
int SetupWwanIFDevice(WDFDEVICE Device, ULONG Kind, ULONG Type);
void ConnectPeers(WDFDEVICE Device, PVOID Node, PIPC_PORT_FUNCTION Function);
// Unlinks the first interface record of the kind from the device's interface list (under DeviceLock).
void RemoveWwanIFDevice(WDFDEVICE Device, ULONG Kind);
// The receive callback of a COM function's port.
IPC_PORT_COMPLETION* WwanComReceiveCallback(ULONG Type);

// Read-complete routines of the MBIM and MIPC ports.
IPC_PORT_READ_COMPLETE MbimCpReadComplete;
IPC_PORT_READ_COMPLETE MipcReadComplete;

// The IPC context's boot-ROM download flag (its setter and the boot-ROM stage's read), and whether a
// modem log dump is under way.
// IpcMDLogDump: the modem log port is open and the state machine is in its exception state (C linkage:
// tests script it at link time).
void IpcSetBromDLFlag(BOOLEAN Set);
BOOLEAN IpcGetBromDLFlag(void);
extern "C" BOOLEAN IpcMDLogDump(void);
