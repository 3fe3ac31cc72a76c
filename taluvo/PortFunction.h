// A port function: the framework side's handle on one CCCI port of the modem or on one network link,
// with its table of operations. A character port registers one when it is initialised (sio_add); the
// modem-event handling connects it; writers reach it by type and the port's data comes up through it.
#pragma once

#include <wdf.h>

struct sio_device;

// FunctionType values.
#define IPC_FN_FLASH 1
#define IPC_FN_NET_LINK 2
#define IPC_FN_MIPC 3
#define IPC_FN_MBIM 4
#define IPC_FN_MD_LOG 5
#define IPC_FN_AT 6
#define IPC_FN_GNSS 7
#define IPC_FN_TEST_GNSS 8
#define IPC_FN_SAP_LOG 9
#define IPC_FN_ADB 10
#define IPC_FN_META_SAP 11
#define IPC_FN_FULL_RAM_DUMP 12
#define IPC_FN_NPT 13
#define IPC_FN_NMEA 14
#define IPC_FN_META_MD 15

// Kind values.
#define IPC_FN_KIND_SIO 1
#define IPC_FN_KIND_NET_LINK 2

// State values.
#define IPC_FN_STATE_REGISTERED 0
#define IPC_FN_STATE_CONNECTED 1
#define IPC_FN_STATE_OPEN 2

typedef struct _IPC_PORT_FUNCTION IPC_PORT_FUNCTION, *PIPC_PORT_FUNCTION;

// The block writers hand down and receivers get up; callbacks of slots 5 and 7 get a PORT_REFERENCE.
typedef struct _PORT_REQUEST {
    PIPC_PORT_FUNCTION Function;
    WDFREQUEST Request;
    NTSTATUS Status;
    PVOID Buffer;
    ULONG Length;
} PORT_REQUEST, *PPORT_REQUEST;

typedef struct _PORT_REFERENCE {
    PPORT_REQUEST Block;
    UCHAR Reserved;
} PORT_REFERENCE, *PPORT_REFERENCE;

typedef BOOLEAN IPC_PORT_OPEN_CLOSE(PIPC_PORT_FUNCTION Function);
typedef NTSTATUS IPC_PORT_COMPLETION(PPORT_REFERENCE Reference);
typedef NTSTATUS IPC_PORT_READ_COMPLETE(PLIST_ENTRY List, PKSPIN_LOCK Lock, WDFDEVICE Device);
typedef NTSTATUS IPC_PORT_POST_WRITE(PPORT_REQUEST Request);

// The nine operation slots, in slot order.
typedef struct _IPC_PORT_OPS {
    IPC_PORT_OPEN_CLOSE* Open;                  // 0
    IPC_PORT_OPEN_CLOSE* Close;                 // 1
    IPC_PORT_COMPLETION* WriteComplete;         // 2
    IPC_PORT_READ_COMPLETE* MipcReadComplete;   // 3
    IPC_PORT_READ_COMPLETE* MbimReadComplete;   // 4
    IPC_PORT_COMPLETION* Receive;               // 5
    IPC_PORT_POST_WRITE* PostWrite;             // 6
    IPC_PORT_COMPLETION* RequestComplete;       // 7
    IPC_PORT_COMPLETION* RequestCompleteSecond; // 8
} IPC_PORT_OPS;

struct _IPC_PORT_FUNCTION {
    LIST_ENTRY DeviceLink; // in the modem device's port-function list once connected to its peers
    ULONG FunctionType;
    IPC_PORT_OPS Ops;
    WDFDEVICE Device;
    PVOID Sio;
    ULONG State;
    ULONG Kind;      // 1 CCCI character port, 2 network link
    LIST_ENTRY Link; // in SioFunctions or NetLinks of the IPC context
    PVOID ComPeer;
};

// A message read from the MBIM (or MIPC) port, or an answer waiting for the host. Deleting Memory frees
// the entry and its buffer together.
typedef struct _MBIM_MESSAGE_ENTRY {
    PVOID Buffer;
    LIST_ENTRY Link;
    ULONG64 Length;
    WDFMEMORY Memory;
} MBIM_MESSAGE_ENTRY, *PMBIM_MESSAGE_ENTRY;

// The function type of the character port with that minor number; 0 when it has none.
ULONG IpcGetSioFunctionType(USHORT Minor);

// The current device's first registered port function of a type, or none (C linkage here and below:
// tests take these over at link time).
extern "C" PIPC_PORT_FUNCTION IpcGetPortFnContextSio(ULONG Type);

// Slots 0 and 1: open and close under the IPC state's rules and only once the COM peer is linked.
BOOLEAN sio_open(PIPC_PORT_FUNCTION Function);
BOOLEAN sio_close(PIPC_PORT_FUNCTION Function);
// Open or release the port itself through its character-device operations.
BOOLEAN SioOpenDevice(PIPC_PORT_FUNCTION Function);
BOOLEAN SioCloseDevice(PIPC_PORT_FUNCTION Function);
// Slot 6: writes the whole request to the open port, then completes it through slot 7; 0, or
// STATUS_UNSUCCESSFUL (no completion call) when the port is closed or keeps refusing.
NTSTATUS sio_post_write(PPORT_REQUEST Request);
// Finds the request's port function by type on first use and hands the request to its slot 6. Always 0:
// writers learn of a completed write through slot 7 only.
NTSTATUS ProcessPortReq(PPORT_REQUEST Request, ULONG Type);
// The data callback of a registered port: runs in the port's receive path whenever it queued data.
NTSTATUS IpcSioInPoll(struct sio_device* Sio);
// The passive-level work item of the MBIM and MIPC types: one queued message through slot 4 or 3.
NTSTATUS MbimCpMipcReadCompleteAtPassive(PIPC_PORT_FUNCTION Function);

// List membership under the IPC context's ListLock.
void IpcInsertEntryDevice(PIPC_PORT_FUNCTION Function, PLIST_ENTRY List, ULONG Kind);
void IpcRemoveEntryDevice(PIPC_PORT_FUNCTION Function);
// Leaves its list and frees the record (with a network link's session table; a port's record lets go
// of its port first).
extern "C" NTSTATUS IpcReleaseDevice(PIPC_PORT_FUNCTION Function);
// Cancels what waits in an open port's queues, closes it and removes the record; the close's result.
BOOLEAN IpcDeactivateDevice(PIPC_PORT_FUNCTION Function);
// Deactivates every port function on a list of the IPC context (a list never initialised is left
// alone); 0.
extern "C" int IpcDeactivateAllDevices(PLIST_ENTRY List);
