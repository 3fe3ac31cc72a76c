// A port function: the framework side's handle on one CCCI port of the modem or on one network link,
// with its table of operations. The operations that connect it are installed by the modem-event
// handling; registration and the port-side operations come with the port functions' own code.
#pragma once

#include <wdf.h>

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
typedef void IPC_PORT_READ_COMPLETE(PLIST_ENTRY List, PKSPIN_LOCK Lock, WDFDEVICE Device);
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

// Deactivates every port function on a list of the IPC context (a list never initialised is left
// alone); 0.
int IpcDeactivateAllDevices(PLIST_ENTRY List);
