// NDIS 6.83 as a lightweight filter driver uses it: registration, the filter module's life cycle, OID
// requests and status indications through the module, a control device, and the support routines
// (events, spin locks, memory). The binding engine and the two edges of a module are in host/ndis.h.
#pragma once

#include <wdm.h>

extern "C" {

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef ULONG NDIS_PORT_NUMBER;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;
typedef const UNICODE_STRING* PCNDIS_STRING;
typedef ULONG NET_IFINDEX;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)STATUS_PENDING)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)
#define NDIS_STATUS_INVALID_PARAMETER ((NDIS_STATUS)STATUS_INVALID_PARAMETER)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)STATUS_NOT_SUPPORTED)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC0000240L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INDICATION_REQUIRED ((NDIS_STATUS)0x40230001L)

// Status indications that are not mobile-broadband ones (trace names only).
#define NDIS_STATUS_LINK_STATE ((NDIS_STATUS)0x40010017L)
#define NDIS_STATUS_PACKET_FILTER ((NDIS_STATUS)0x40010018L)
#define NDIS_STATUS_TASK_OFFLOAD_CURRENT_CONFIG ((NDIS_STATUS)0x40020001L)
#define NDIS_STATUS_PM_WAKE_REASON ((NDIS_STATUS)0x40030003L)

typedef struct _NDIS_OBJECT_HEADER {
    UCHAR Type;
    UCHAR Revision;
    USHORT Size;
} NDIS_OBJECT_HEADER, *PNDIS_OBJECT_HEADER;

#define NDIS_OBJECT_TYPE_DEFAULT 0x80
#define NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES 0x85
#define NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS 0x8B
#define NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES 0x8D
#define NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS 0x8E
#define NDIS_OBJECT_TYPE_FILTER_PAUSE_PARAMETERS 0x8F
#define NDIS_OBJECT_TYPE_FILTER_RESTART_PARAMETERS 0x90
#define NDIS_OBJECT_TYPE_OID_REQUEST 0x96
#define NDIS_OBJECT_TYPE_STATUS_INDICATION 0x98
#define NDIS_OBJECT_TYPE_CONFIGURATION_OBJECT 0xA3
#define NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES 0x9F

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
    NdisMediumLocalTalk = 4,
    NdisMediumDix = 5,
    NdisMediumArcnetRaw = 6,
    NdisMediumArcnet878_2 = 7,
    NdisMediumAtm = 8,
    NdisMediumWirelessWan = 9,
    NdisMediumIrda = 10,
    NdisMediumNative802_11 = 16,
    NdisMediumIP = 19,
} NDIS_MEDIUM;

typedef enum _NDIS_DEVICE_POWER_STATE {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0 = 1,
    NdisDeviceStateD1 = 2,
    NdisDeviceStateD2 = 3,
    NdisDeviceStateD3 = 4,
} NDIS_DEVICE_POWER_STATE;

// ---------------------------------------------------------------------------------------------
// Support routines.
typedef struct _NDIS_EVENT {
    KEVENT Event;
} NDIS_EVENT, *PNDIS_EVENT;
void NdisInitializeEvent(PNDIS_EVENT Event);
void NdisSetEvent(PNDIS_EVENT Event);
void NdisResetEvent(PNDIS_EVENT Event);
// Milliseconds, 0 for no limit; TRUE when the event was signalled.
BOOLEAN NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait);

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;
void NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);

typedef enum _EX_POOL_PRIORITY { LowPoolPriority = 0, NormalPoolPriority = 16, HighPoolPriority = 32 } EX_POOL_PRIORITY;
// Non-paged pool with the tag; not zero-filled.
PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE NdisHandle, UINT Length, ULONG Tag, EX_POOL_PRIORITY Priority);
void NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
#define NdisZeroMemory(Destination, Length) RtlZeroMemory(Destination, Length)
#define NdisMoveMemory(Destination, Source, Length) RtlCopyMemory(Destination, Source, Length)
#define NdisEqualMemory(Source1, Source2, Length) RtlEqualMemory(Source1, Source2, Length)

#define NDIS_RELEASE_MAJOR_VERSION 6
#define NDIS_FILTER_MAJOR_VERSION 6
#define NDIS_FILTER_MINOR_VERSION 83

// ---------------------------------------------------------------------------------------------
// OID requests.
typedef enum _NDIS_REQUEST_TYPE {
    NdisRequestQueryInformation = 0,
    NdisRequestSetInformation = 1,
    NdisRequestQueryStatistics = 2,
    NdisRequestMethod = 12,
} NDIS_REQUEST_TYPE;

#define NDIS_OID_REQUEST_REVISION_1 1
#define NDIS_SIZEOF_OID_REQUEST_REVISION_1 248

typedef struct _NDIS_OID_REQUEST {
    NDIS_OBJECT_HEADER Header;
    NDIS_REQUEST_TYPE RequestType;
    NDIS_PORT_NUMBER PortNumber;
    UINT Timeout;
    PVOID RequestId;
    NDIS_HANDLE RequestHandle;
    union _REQUEST_DATA {
        struct _QUERY {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesWritten;
            UINT BytesNeeded;
        } QUERY_INFORMATION;
        struct _SET {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesRead;
            UINT BytesNeeded;
        } SET_INFORMATION;
        struct _METHOD {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            ULONG InputBufferLength;
            ULONG OutputBufferLength;
            ULONG MethodId;
            UINT BytesWritten;
            UINT BytesRead;
            UINT BytesNeeded;
        } METHOD_INFORMATION;
    } DATA;
    UCHAR NdisReserved[16 * sizeof(PVOID)];
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR SourceReserved[2 * sizeof(PVOID)];
    UCHAR SupportedRevision;
    UCHAR Reserved1;
    USHORT Reserved2;
    ULONG Flags;
    ULONG Reserved3;
} NDIS_OID_REQUEST, *PNDIS_OID_REQUEST;
static_assert(sizeof(NDIS_OID_REQUEST) == NDIS_SIZEOF_OID_REQUEST_REVISION_1, "NDIS_OID_REQUEST revision 1 is 248 bytes");

// ---------------------------------------------------------------------------------------------
// Status indications.
#define NDIS_STATUS_INDICATION_REVISION_1 1
#define NDIS_SIZEOF_STATUS_INDICATION_REVISION_1 112

typedef struct _NDIS_STATUS_INDICATION {
    NDIS_OBJECT_HEADER Header;
    NDIS_HANDLE SourceHandle;
    NDIS_PORT_NUMBER PortNumber;
    NDIS_STATUS StatusCode;
    ULONG Flags;
    NDIS_HANDLE DestinationHandle;
    PVOID RequestId;
    PVOID StatusBuffer;
    ULONG StatusBufferSize;
    GUID Guid;
    PVOID NdisReserved[4];
} NDIS_STATUS_INDICATION, *PNDIS_STATUS_INDICATION;
static_assert(sizeof(NDIS_STATUS_INDICATION) == NDIS_SIZEOF_STATUS_INDICATION_REVISION_1, "NDIS_STATUS_INDICATION is 112 bytes");

// ---------------------------------------------------------------------------------------------
// Plug and play events through a filter.
typedef enum _NET_PNP_EVENT_CODE {
    NetEventSetPower = 0,
    NetEventQueryPower = 1,
    NetEventQueryRemoveDevice = 2,
    NetEventCancelRemoveDevice = 3,
    NetEventReconfigure = 4,
    NetEventBindList = 5,
    NetEventBindsComplete = 6,
    NetEventPnPCapabilities = 7,
    NetEventPause = 8,
    NetEventRestart = 9,
    NetEventPortActivation = 10,
    NetEventPortDeactivation = 11,
    NetEventIMReEnableDevice = 12,
    NetEventNDKEnable = 13,
    NetEventNDKDisable = 14,
    NetEventFilterPreDetach = 15,
} NET_PNP_EVENT_CODE;

typedef struct _NET_PNP_EVENT {
    NET_PNP_EVENT_CODE NetEvent;
    PVOID Buffer;
    ULONG BufferLength;
    ULONG_PTR NdisReserved[4];
    ULONG_PTR TransportReserved[4];
    ULONG_PTR TdiReserved[4];
    ULONG_PTR TdiClientReserved[4];
} NET_PNP_EVENT, *PNET_PNP_EVENT;

typedef struct _NET_PNP_EVENT_NOTIFICATION {
    NDIS_OBJECT_HEADER Header;
    NDIS_PORT_NUMBER PortNumber;
    NET_PNP_EVENT NetPnPEvent;
} NET_PNP_EVENT_NOTIFICATION, *PNET_PNP_EVENT_NOTIFICATION;

// ---------------------------------------------------------------------------------------------
// The filter module's life cycle.
typedef struct _NDIS_FILTER_ATTACH_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NET_IFINDEX IfIndex;
    ULONG64 NetLuid;
    PNDIS_STRING FilterModuleGuidName;
    NET_IFINDEX BaseMiniportIfIndex;
    PNDIS_STRING BaseMiniportInstanceName;
    PNDIS_STRING BaseMiniportName;
    NDIS_MEDIUM MiniportMediaType;
} NDIS_FILTER_ATTACH_PARAMETERS, *PNDIS_FILTER_ATTACH_PARAMETERS;

typedef struct _NDIS_FILTER_PAUSE_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
    ULONG PauseReason;
} NDIS_FILTER_PAUSE_PARAMETERS, *PNDIS_FILTER_PAUSE_PARAMETERS;

typedef struct _NDIS_RESTART_GENERAL_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG MtuSize;
    ULONG64 MaxXmitLinkSpeed;
    ULONG64 MaxRcvLinkSpeed;
    ULONG LookaheadSize;
} NDIS_RESTART_GENERAL_ATTRIBUTES, *PNDIS_RESTART_GENERAL_ATTRIBUTES;

typedef struct _NDIS_RESTART_ATTRIBUTES {
    struct _NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    ULONG DataLength;
    UCHAR Data[1]; // NDIS_RESTART_GENERAL_ATTRIBUTES for OID_GEN_MINIPORT_RESTART_ATTRIBUTES
} NDIS_RESTART_ATTRIBUTES, *PNDIS_RESTART_ATTRIBUTES;

typedef struct _NDIS_FILTER_RESTART_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NDIS_MEDIUM MiniportMediaType;
    PNDIS_RESTART_ATTRIBUTES RestartAttributes;
} NDIS_FILTER_RESTART_PARAMETERS, *PNDIS_FILTER_RESTART_PARAMETERS;

#define NDIS_FILTER_ATTRIBUTES_REVISION_1 1
#define NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1 8
typedef struct _NDIS_FILTER_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
} NDIS_FILTER_ATTRIBUTES, *PNDIS_FILTER_ATTRIBUTES;
static_assert(sizeof(NDIS_FILTER_ATTRIBUTES) == NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1, "filter attributes are 8 bytes");

typedef struct _NET_BUFFER_LIST {
    struct _NET_BUFFER_LIST* Next;
} NET_BUFFER_LIST, *PNET_BUFFER_LIST;

typedef NDIS_STATUS FILTER_SET_OPTIONS(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext);
typedef NDIS_STATUS FILTER_SET_MODULE_OPTIONS(NDIS_HANDLE FilterModuleContext);
typedef NDIS_STATUS FILTER_ATTACH(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterDriverContext,
                                  PNDIS_FILTER_ATTACH_PARAMETERS AttachParameters);
typedef void FILTER_DETACH(NDIS_HANDLE FilterModuleContext);
typedef NDIS_STATUS FILTER_RESTART(NDIS_HANDLE FilterModuleContext, PNDIS_FILTER_RESTART_PARAMETERS RestartParameters);
typedef NDIS_STATUS FILTER_PAUSE(NDIS_HANDLE FilterModuleContext, PNDIS_FILTER_PAUSE_PARAMETERS PauseParameters);
typedef void FILTER_SEND_NET_BUFFER_LISTS(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                          NDIS_PORT_NUMBER PortNumber, ULONG SendFlags);
typedef void FILTER_SEND_NET_BUFFER_LISTS_COMPLETE(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                                   ULONG SendCompleteFlags);
typedef void FILTER_CANCEL_SEND_NET_BUFFER_LISTS(NDIS_HANDLE FilterModuleContext, PVOID CancelId);
typedef void FILTER_RECEIVE_NET_BUFFER_LISTS(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                             NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists,
                                             ULONG ReceiveFlags);
typedef void FILTER_RETURN_NET_BUFFER_LISTS(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                            ULONG ReturnFlags);
typedef NDIS_STATUS FILTER_OID_REQUEST(NDIS_HANDLE FilterModuleContext, PNDIS_OID_REQUEST OidRequest);
typedef void FILTER_OID_REQUEST_COMPLETE(NDIS_HANDLE FilterModuleContext, PNDIS_OID_REQUEST OidRequest,
                                         NDIS_STATUS Status);
typedef void FILTER_CANCEL_OID_REQUEST(NDIS_HANDLE FilterModuleContext, PVOID RequestId);
typedef void FILTER_DEVICE_PNP_EVENT_NOTIFY(NDIS_HANDLE FilterModuleContext, PVOID NetDevicePnPEvent);
typedef NDIS_STATUS FILTER_NET_PNP_EVENT(NDIS_HANDLE FilterModuleContext,
                                         PNET_PNP_EVENT_NOTIFICATION NetPnPEventNotification);
typedef void FILTER_STATUS(NDIS_HANDLE FilterModuleContext, PNDIS_STATUS_INDICATION StatusIndication);

#define NDIS_FILTER_CHARACTERISTICS_REVISION_3 3
#define NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_3 240

typedef struct _NDIS_FILTER_DRIVER_CHARACTERISTICS {
    NDIS_OBJECT_HEADER Header;
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UCHAR MajorDriverVersion;
    UCHAR MinorDriverVersion;
    ULONG Flags;
    NDIS_STRING FriendlyName;
    NDIS_STRING UniqueName;
    NDIS_STRING ServiceName;
    FILTER_SET_OPTIONS* SetOptionsHandler;
    FILTER_SET_MODULE_OPTIONS* SetFilterModuleOptionsHandler;
    FILTER_ATTACH* AttachHandler;
    FILTER_DETACH* DetachHandler;
    FILTER_RESTART* RestartHandler;
    FILTER_PAUSE* PauseHandler;
    FILTER_SEND_NET_BUFFER_LISTS* SendNetBufferListsHandler;
    FILTER_SEND_NET_BUFFER_LISTS_COMPLETE* SendNetBufferListsCompleteHandler;
    FILTER_CANCEL_SEND_NET_BUFFER_LISTS* CancelSendNetBufferListsHandler;
    FILTER_RECEIVE_NET_BUFFER_LISTS* ReceiveNetBufferListsHandler;
    FILTER_RETURN_NET_BUFFER_LISTS* ReturnNetBufferListsHandler;
    FILTER_OID_REQUEST* OidRequestHandler;
    FILTER_OID_REQUEST_COMPLETE* OidRequestCompleteHandler;
    FILTER_CANCEL_OID_REQUEST* CancelOidRequestHandler;
    FILTER_DEVICE_PNP_EVENT_NOTIFY* DevicePnPEventNotifyHandler;
    FILTER_NET_PNP_EVENT* NetPnPEventHandler;
    FILTER_STATUS* StatusHandler;
    PVOID DirectOidRequestHandler;
    PVOID DirectOidRequestCompleteHandler;
    PVOID CancelDirectOidRequestHandler;
    PVOID SynchronousOidRequestHandler;
    PVOID SynchronousOidRequestCompleteHandler;
} NDIS_FILTER_DRIVER_CHARACTERISTICS, *PNDIS_FILTER_DRIVER_CHARACTERISTICS;
static_assert(sizeof(NDIS_FILTER_DRIVER_CHARACTERISTICS) == NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_3,
              "filter characteristics revision 3 are 240 bytes");

// Header checked (type, revision 3, size 240); a second driver of the same UniqueName is refused.
NDIS_STATUS NdisFRegisterFilterDriver(PDRIVER_OBJECT DriverObject, NDIS_HANDLE FilterDriverContext,
                                      PNDIS_FILTER_DRIVER_CHARACTERISTICS FilterDriverCharacteristics,
                                      PNDIS_HANDLE NdisFilterDriverHandle);
// Synchronous: each module gets the pre-detach event, a pause when running, and its detach.
void NdisFDeregisterFilterDriver(NDIS_HANDLE NdisFilterDriverHandle);
// Only inside the attach handler.
NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterModuleContext,
                               PNDIS_FILTER_ATTRIBUTES FilterAttributes);
// Pauses and restarts the module on the binding engine's thread; returns at once.
NDIS_STATUS NdisFRestartFilter(NDIS_HANDLE NdisFilterHandle);
NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE NdisFilterHandle, PNET_PNP_EVENT_NOTIFICATION NetPnPEventNotification);

NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE SourceHandle, PNDIS_OID_REQUEST OidRequest, UINT PoolTag,
                                        PNDIS_OID_REQUEST* CloneOidRequest);
void NdisFreeCloneOidRequest(NDIS_HANDLE SourceHandle, PNDIS_OID_REQUEST Request);
// NDIS_STATUS_PENDING: the module's OidRequestComplete handler runs later, on any thread.
NDIS_STATUS NdisFOidRequest(NDIS_HANDLE NdisFilterHandle, PNDIS_OID_REQUEST OidRequest);
void NdisFOidRequestComplete(NDIS_HANDLE NdisFilterHandle, PNDIS_OID_REQUEST OidRequest, NDIS_STATUS Status);
void NdisFCancelOidRequest(NDIS_HANDLE NdisFilterHandle, PVOID RequestId);
void NdisFIndicateStatus(NDIS_HANDLE NdisFilterHandle, PNDIS_STATUS_INDICATION StatusIndication);

void NdisFSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST NetBufferList,
                             NDIS_PORT_NUMBER PortNumber, ULONG SendFlags);
void NdisFSendNetBufferListsComplete(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST NetBufferList,
                                     ULONG SendCompleteFlags);
void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST NetBufferLists,
                                        NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists,
                                        ULONG ReceiveFlags);
void NdisFReturnNetBufferLists(NDIS_HANDLE NdisFilterHandle, PNET_BUFFER_LIST NetBufferLists, ULONG ReturnFlags);
#define NDIS_SEND_FLAGS_DISPATCH_LEVEL 0x00000001
#define NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL 0x00000001
#define NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL 0x00000001
#define NDIS_RETURN_FLAGS_DISPATCH_LEVEL 0x00000001

// ---------------------------------------------------------------------------------------------
// Configuration.
typedef struct _NDIS_CONFIGURATION_OBJECT {
    NDIS_OBJECT_HEADER Header;
    NDIS_HANDLE NdisHandle;
    ULONG Flags;
} NDIS_CONFIGURATION_OBJECT, *PNDIS_CONFIGURATION_OBJECT;
#define NDIS_CONFIGURATION_OBJECT_REVISION_1 1
#define NDIS_SIZEOF_CONFIGURATION_OBJECT_REVISION_1 24
static_assert(sizeof(NDIS_CONFIGURATION_OBJECT) == NDIS_SIZEOF_CONFIGURATION_OBJECT_REVISION_1, "configuration object is 24 bytes");
NDIS_STATUS NdisOpenConfigurationEx(PNDIS_CONFIGURATION_OBJECT ConfigObject, PNDIS_HANDLE ConfigurationHandle);
void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// ---------------------------------------------------------------------------------------------
// Control devices: plain device objects whose requests go to the given major-function table.
#define NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 1
#define NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 56
typedef struct _NDIS_DEVICE_OBJECT_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    PNDIS_STRING DeviceName;
    PNDIS_STRING SymbolicName;
    PDRIVER_DISPATCH* MajorFunctions; // IRP_MJ_MAXIMUM_FUNCTION + 1 entries
    ULONG ExtensionSize;
    PCUNICODE_STRING DefaultSDDLString;
    LPCGUID DeviceClassGuid;
} NDIS_DEVICE_OBJECT_ATTRIBUTES, *PNDIS_DEVICE_OBJECT_ATTRIBUTES;
static_assert(sizeof(NDIS_DEVICE_OBJECT_ATTRIBUTES) == NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1,
              "device object attributes are 56 bytes");
// STATUS_OBJECT_NAME_COLLISION for a device name already taken.
NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisObjectHandle, PNDIS_DEVICE_OBJECT_ATTRIBUTES DeviceObjectAttributes,
                                 PDEVICE_OBJECT* pDeviceObject, PNDIS_HANDLE NdisDeviceHandle);
void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle);
PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT DeviceObject);

#define FILE_DEVICE_PHYSICAL_NETCARD 0x00000017

} // extern "C"

#include <ntddndis.h>
