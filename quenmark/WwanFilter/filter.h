// The mobile-broadband NDIS lightweight filter: one FILTER_MODULE_CONTEXT per attached module, the
// driver's globals, and the routines that the filter's sources share.
#pragma once

#include <ndis.h>
#include <ndiswwan.h>
#include <wpp.h>

#include <filter_registry.h>
#include <wwan_guids.h>

// ---------------------------------------------------------------------------------------------
// Identity and constants.
#define FILTER_FRIENDLY_NAME u"Vostrel Taluvo Filter Driver"
#define FILTER_UNIQUE_NAME u"{0E4A3FC6-F62B-4637-9A54-6E792F4EFF94}"
#define FILTER_SERVICE_NAME u"Quenmark"
#define FILTER_MAJOR_DRIVER_VERSION 1
#define FILTER_MINOR_DRIVER_VERSION 0

#define FILTER_ALLOC_TAG 0x746C6946u   // 'Filt'
#define FILTER_REQUEST_TAG 0x646E5446u // 'FTnd'

#define FILTER_INTERNAL_REQUEST_TIMEOUT_MS 35000
#define FILTER_PREDETACH_POLLS 30
#define FILTER_PREDETACH_POLL_MS 1000

// The commands that pass in POC mode without being AT commands.
#define POC_PASS_SERVICE_UUID MBIM_COM_PLUG_SERVICE

// Module states.
#define FILTER_STATE_PAUSING 2
#define FILTER_STATE_PAUSED 3
#define FILTER_STATE_RUNNING 4

#define WORKING_MODE_RESTRICTED 2
#define WORKING_MODE_NORMAL 4
#define PUBLISHED_MODE_ESIM 1

#define MODE_FLAG_PCIOT 0x1
#define MODE_FLAG_SERVICE_MODE 0x2
#define MODE_FLAGS_TARGET (MODE_FLAG_PCIOT | MODE_FLAG_SERVICE_MODE)

// Work of the mode-sync worker.
#define SYNC_EVT_SET_READY 0x1
#define SYNC_EVT_QUERY_PCIOT 0x2
#define SYNC_EVT_QUERY_SERVICE_MODE 0x4
#define SYNC_EVT_QUERY_WORKING_MODE 0x8
#define SYNC_EVT_QUERY_POC 0x10
// Work of the mode-switch worker.
#define SWITCH_EVT_PARKED_OID 0x001
#define SWITCH_EVT_ANSWER_FROM_CACHE 0x002
#define SWITCH_EVT_UNINSTALL 0x004
#define SWITCH_EVT_SYNC_DONE 0x008
#define SWITCH_EVT_RADIO_REGISTRY 0x010
#define SWITCH_EVT_ACQUIRE_LOCK 0x020
#define SWITCH_EVT_RELEASE_LOCK 0x040
#define SWITCH_EVT_RADIO_STATE_SET 0x080
#define SWITCH_EVT_DEVICE_CAPS_EX 0x100
#define SWITCH_EVT_ENDUSER_NOTIFY 0x200
#define SWITCH_EVT_REJECT_BUSY 0x400
#define SWITCH_EVT_POWER_RESUME 0x800
// Work of the confirm worker.
#define CONFIRM_EVT_DISABLE 0x1
#define CONFIRM_EVT_ENABLE 0x2

#define TRACKER_STATUS_IDLE 0xFFFFFFFFu
#define ISDR_CHANNEL_NONE 0xFFFFFFFFu
#define WORKING_SUBMODE_NONE 0xFFFFFFFFu

// Gate results.
#define OID_GATE_PASS 0
#define OID_GATE_HELD 1
#define OID_GATE_HELD_FOR_CACHE 2
#define OID_GATE_REFUSE 3

// Control device.
#define FILTER_CONTROL_DEVICE_NAME u"\\Device\\KvWwanFilter"
#define FILTER_CONTROL_LINK_NAME u"\\DosDevices\\KvWwanFilter"
#define CONTROL_DEVICE_SIGNATURE 0x46544452u // 'FTDR'
#define IOCTL_FILTER_RESTART_INSTANCE CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FILTER_ENUM_INSTANCES CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FILTER_GET_WORKING_MODE CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FILTER_WAIT_MODE_CHANGE CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Checks of what NDIS and the filter's own tables guarantee: reported with the file and line, and the
// system goes on.
void FilterCheckFailed(const char* expression, const char* file, int line);
#define FILTER_CHECK(e) ((e) ? (void)0 : FilterCheckFailed(#e, __FILE__, __LINE__))

// ---------------------------------------------------------------------------------------------
// Records.
typedef void WORKER_ROUTINE(PVOID Context);

typedef struct _WORKER_THREAD {
    KEVENT StartedEvent;
    KEVENT WakeEvent;
    PKTHREAD Thread;
    PKTHREAD CurrentThread;
    UCHAR StopRequested;
    UCHAR Running;
    WORKER_ROUTINE* Routine;
    PVOID RoutineContext;
} WORKER_THREAD, *PWORKER_THREAD;

typedef struct _OID_CACHE_ENTRY {
    ULONG Oid;
    ULONG StatusCode;
    ULONG Length;
    PVOID Buffer;
} OID_CACHE_ENTRY, *POID_CACHE_ENTRY;

typedef struct _FILTER_MODULE_CONTEXT {
    LIST_ENTRY FilterModuleLink;
    NDIS_HANDLE FilterHandle;
    NDIS_STRING FilterModuleName;
    NDIS_STRING MiniportFriendlyName;
    NDIS_STRING MiniportName;
    NET_IFINDEX MiniportIfIndex;
    NDIS_SPIN_LOCK ModuleLock;
    ULONG State;
    UCHAR TrackSends;
    UCHAR TrackReceives;
    LONG OutstandingSends;
    LONG OutstandingRcvs;
    PNDIS_OID_REQUEST PendingOidRequest;
    LONG SyncBits;
    WORKER_THREAD SyncWorker;
    UCHAR SyncWorkerStarted;
    NDIS_EVENT SyncResponseEvent;
    LONG SwitchBits;
    WORKER_THREAD SwitchWorker;
    UCHAR SwitchWorkerStarted;
    NDIS_EVENT SwitchResponseEvent;
    LONG ConfirmBits;
    WORKER_THREAD ConfirmWorker;
    UCHAR ConfirmWorkerStarted;
    NDIS_EVENT ConfirmResponseEvent;
    ULONG WorkingMode;
    ULONG ModeFlags;
    NDIS_EVENT FirstWwanOidEvent;
    UCHAR SyncInProgress;
    UCHAR FirstPowerEvent;
    NDIS_SPIN_LOCK ParkedLock;
    PNDIS_OID_REQUEST ParkedRequest;
    UCHAR WaitingForSwitch;
    NDIS_EVENT SwitchDoneEvent;
    NDIS_SPIN_LOCK CacheQueryLock;
    PNDIS_OID_REQUEST ParkedCacheQuery;
    NDIS_SPIN_LOCK CacheLock;
    POID_CACHE_ENTRY OidCache;
    ULONG64 OidCacheCount;
    UCHAR InitialSyncPending;
    LARGE_INTEGER RegistryCookie;
    UCHAR ReadyFlag;
    UCHAR LockGranted;
    NDIS_EVENT LockReleasedEvent;
    ULONG IsdrChannel;
    ULONG IsdrChannelGroup;
    ULONG64 IsdrOpenRequestId;
    ULONG SlotIndex;
    ULONG LastPowerState;
    ULONG WorkingSubMode;
    LONG RadioRegistryBusy;
    ULONG RadioTarget;
    ULONG PocMode;
    ULONG PocStatus;
    LONG TrackerArmed;
    ULONG TrackerStatus;
    ULONG64 TrackerRequestId;
    ULONG ApduIndicationCount;
    ULONG PocFailureCount;
    UCHAR PocQueryExhausted;
    NDIS_SPIN_LOCK PublishLock;
    UCHAR EsimFlag;
    ULONG PublishedMode;
    LIST_ENTRY ModeIrpList;
    // Cancel routines of this module's mode requests that are running: detach waits for them before it
    // frees the module they unlink from.
    LONG CancelsRunning;
    // The three name buffers follow the record.
} FILTER_MODULE_CONTEXT, *PFILTER_MODULE_CONTEXT;

// A request of the filter's own, waited for by its sender. The information buffer is a copy that the
// block owns, so a completion after the sender gave up writes into the block, not the sender's memory.
typedef struct _INTERNAL_OID_REQUEST {
    NDIS_OID_REQUEST Request;
    NDIS_EVENT CompletionEvent;
    NDIS_STATUS CompletionStatus;
    LONG ReferenceCount;
} INTERNAL_OID_REQUEST, *PINTERNAL_OID_REQUEST;

typedef void REPLAY_RADIO_STATE_ROUTINE(PFILTER_MODULE_CONTEXT Module, struct _PENDING_RADIO_STATE_RECORD* Record);

#define PENDING_RADIO_STATE_IDLE 0xFFu
#define PENDING_RADIO_STATE_ARMED 1u

typedef struct _PENDING_RADIO_STATE_RECORD {
    ULONG Oid;
    LONG State;
    REPLAY_RADIO_STATE_ROUTINE* Replay;
    PNDIS_WWAN_SET_RADIO_STATE Buffer;
} PENDING_RADIO_STATE_RECORD, *PPENDING_RADIO_STATE_RECORD;

// ---------------------------------------------------------------------------------------------
// Driver globals.
extern PDRIVER_OBJECT FilterDriverObject;
extern NDIS_HANDLE FilterDriverHandle;
extern LIST_ENTRY FilterModuleList;
extern NDIS_SPIN_LOCK FilterListLock;
extern PFILTER_MODULE_CONTEXT CurrentModule;
extern PDEVICE_OBJECT ControlDeviceObject;
extern NDIS_HANDLE ControlDeviceHandle;
extern UCHAR Unloading;
extern PENDING_RADIO_STATE_RECORD PENDING_RADIO_STATE;

// ---------------------------------------------------------------------------------------------
// Registration and life cycle (filter.cpp).
DRIVER_UNLOAD FilterUnload;
FILTER_SET_OPTIONS FilterSetOptions;
FILTER_ATTACH FilterAttach;
FILTER_DETACH FilterDetach;
FILTER_RESTART FilterRestart;
FILTER_PAUSE FilterPause;
FILTER_STATUS FilterStatus;
FILTER_NET_PNP_EVENT FilterNetPnPEvent;
FILTER_SEND_NET_BUFFER_LISTS FilterSendNetBufferLists;
FILTER_SEND_NET_BUFFER_LISTS_COMPLETE FilterSendNetBufferListsComplete;
FILTER_RECEIVE_NET_BUFFER_LISTS FilterReceiveNetBufferLists;
FILTER_RETURN_NET_BUFFER_LISTS FilterReturnNetBufferLists;
// Sets work bits of a worker and wakes it.
void FilterSignalSync(PFILTER_MODULE_CONTEXT Module, LONG Bits);
void FilterSignalSwitch(PFILTER_MODULE_CONTEXT Module, LONG Bits);

// OID path (oid_func.cpp).
FILTER_OID_REQUEST FilterOidRequest;
FILTER_OID_REQUEST_COMPLETE FilterOidRequestComplete;
FILTER_CANCEL_OID_REQUEST FilterCancelOidRequest;
NDIS_STATUS FilterSendInternalOidRequest(PFILTER_MODULE_CONTEXT Module, NDIS_REQUEST_TYPE RequestType, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         ULONG OutputBufferLength, ULONG MethodId, PULONG BytesProcessed,
                                         ULONG64 RequestId);
void FilterInternalOidRequestComplete(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request, NDIS_STATUS Status);
void FilterReleaseInternalOidRequest(PINTERNAL_OID_REQUEST Request);
NDIS_STATUS ForwardParkedRequest(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
// Takes a held request out of its slot (under the slot's lock); null when the slot is empty or, with a
// RequestId given, holds another request.
PNDIS_OID_REQUEST FilterTakeParked(PNDIS_SPIN_LOCK Lock, PNDIS_OID_REQUEST* Slot, PVOID RequestId, BOOLEAN MatchId);
void FilterParkRequest(PNDIS_SPIN_LOCK Lock, PNDIS_OID_REQUEST* Slot, PNDIS_OID_REQUEST Request);

// Working modes and the gate (oid_func.cpp).
UCHAR OidPocModeDecision(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
BOOLEAN CheckAtAllowList(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
ULONG ParsePocArgument(const char* Text, ULONG Length);
void ParkRequestAsBusy(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
UCHAR OidInterceptRestrictedMode(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
void SavePendingRadioState(PFILTER_MODULE_CONTEXT Module, NDIS_OID Oid, PVOID Buffer, ULONG Length);
void ClearPendingRadioState(PFILTER_MODULE_CONTEXT Module, NDIS_OID Oid);
UCHAR OidDispatchPerOidHandler(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
typedef UCHAR OID_HANDLER(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request);
OID_HANDLER OidArmExpectedIndication;
OID_HANDLER OidHandleUiccOpenChannel;
OID_HANDLER OidHandleUiccCloseChannel;
OID_HANDLER OidHandleUiccApdu;
OID_HANDLER OidHandleSlotMappings;
OID_HANDLER OidHandleDeviceCapsEx;
void FilterPublishWorkingMode(PFILTER_MODULE_CONTEXT Module, ULONG Mode);
// Publishes `Mode` and then makes it the working mode, as every change of the working mode does.
void FilterSetWorkingMode(PFILTER_MODULE_CONTEXT Module, ULONG Mode);
void FilterDisarmTracker(PFILTER_MODULE_CONTEXT Module);
// The two fabricated answers, indicated to the operating system.
void IndicateFakeContextState(PFILTER_MODULE_CONTEXT Module, ULONG ConnectionId, PVOID RequestId,
                              NDIS_HANDLE RequestHandle);
void IndicateFakeRadioState(PFILTER_MODULE_CONTEXT Module, WWAN_RADIO RadioAction, PVOID RequestId,
                            NDIS_HANDLE RequestHandle);
// The request's information buffer and its length, whatever its type.
PUCHAR OidRequestBuffer(PNDIS_OID_REQUEST Request, PULONG Length);
NDIS_OID OidRequestOid(PNDIS_OID_REQUEST Request);
BOOLEAN OidRequestIsSet(PNDIS_OID_REQUEST Request);

// Tables (mode_switch_oid_tables.cpp).
typedef struct _MODE_SWITCH_OID_ENTRY {
    ULONG Oid;
    UCHAR GateOnSet;
    UCHAR GateOnQuery;
    USHORT Reserved;
    ULONG Valid;
    ULONG Group;
} MODE_SWITCH_OID_ENTRY;
typedef struct _MODE_SWITCH_GROUP {
    ULONG Found;
    ULONG Group;
} MODE_SWITCH_GROUP;
typedef struct _EXPECTED_INDICATION_ENTRY {
    ULONG Oid;
    ULONG Status;
} EXPECTED_INDICATION_ENTRY;
typedef struct _PER_OID_HANDLER_ENTRY {
    ULONG Oid;
    OID_HANDLER* Handler;
} PER_OID_HANDLER_ENTRY;
extern const MODE_SWITCH_OID_ENTRY ModeSwitchOidTable[];
extern const ULONG64 ModeSwitchOidTableRows;
extern const ULONG64 ModeSwitchOidTableRowSize;
extern const EXPECTED_INDICATION_ENTRY ExpectedIndicationTable[];
extern const ULONG ExpectedIndicationTableRows;
extern const PER_OID_HANDLER_ENTRY PerOidHandlerTable[];
extern const ULONG PerOidHandlerTableRows;
extern const char* const AtAllowList[];
extern const UCHAR ISDR_AID[16];
UCHAR IsModeSwitchOid(PNDIS_OID_REQUEST Request);
MODE_SWITCH_GROUP LookupModeSwitchGroup(NDIS_OID Oid);
ULONG LookupExpectedIndication(PNDIS_OID_REQUEST Request);

// OID cache and name tables (cache_oid_tables.cpp).
typedef struct _OID_CACHE_TEMPLATE_ENTRY {
    ULONG Oid;
    ULONG Status;
} OID_CACHE_TEMPLATE_ENTRY;
#define OID_CACHE_ENTRIES 40
extern const OID_CACHE_TEMPLATE_ENTRY OidCacheTemplate[OID_CACHE_ENTRIES];
NDIS_STATUS OidCacheCreate(PFILTER_MODULE_CONTEXT Module);
void OidCacheDestroy(PFILTER_MODULE_CONTEXT Module);
POID_CACHE_ENTRY OidCacheFind(PFILTER_MODULE_CONTEXT Module, NDIS_OID Oid);
BOOLEAN OidCacheStore(PFILTER_MODULE_CONTEXT Module, PNDIS_STATUS_INDICATION Indication);
BOOLEAN IsWwanOid(NDIS_OID Oid);
BOOLEAN IsSuppressedIndication(NDIS_STATUS Status);
const char* GetOidName(NDIS_OID Oid);
const char* GetStatusName(NDIS_STATUS Status);
const char* GetStatusOidName(NDIS_STATUS Status);
const char* GetRequestTypeName(NDIS_REQUEST_TYPE Type);
const char* GetStatusCodeName(NDIS_STATUS Status);

// Control device and registry protocol (control_device.cpp).
NDIS_STATUS FilterRegisterControlDevice(void);
void FilterDeregisterControlDevice(void);
DRIVER_DISPATCH FilterControlDeviceCreateClose;
DRIVER_DISPATCH FilterControlDeviceIoctl;
DRIVER_CANCEL FilterCancelModeIrp;
void FilterCompletePendedModeIrps(PFILTER_MODULE_CONTEXT Module);
void FilterCompleteModeIrps(PFILTER_MODULE_CONTEXT Module, ULONG Mode, NTSTATUS Status);
PFILTER_MODULE_CONTEXT FilterFindModuleByName(const UCHAR* Name, ULONG Length);
NTSTATUS FilterRegisterRegistryCallback(PFILTER_MODULE_CONTEXT Module);
EX_CALLBACK_FUNCTION FilterRegistryCallback;
void FilterWriteUninstallFlag(ULONG Value);

// ---------------------------------------------------------------------------------------------
// Routines of the workers, the AT commands and the status path that the code above calls.
void WorkerThreadWake(PWORKER_THREAD Worker);
NTSTATUS ModeSyncThreadStart(PFILTER_MODULE_CONTEXT Module);
void ModeSyncThreadStop(PFILTER_MODULE_CONTEXT Module);
NTSTATUS ModeSwitchThreadStart(PFILTER_MODULE_CONTEXT Module);
void ModeSwitchThreadStop(PFILTER_MODULE_CONTEXT Module);
NTSTATUS ConfirmThreadStart(PFILTER_MODULE_CONTEXT Module);
void ConfirmThreadStop(PFILTER_MODULE_CONTEXT Module);
void SleepMilliseconds(ULONG Milliseconds);
// The number in the first `Length` characters: blanks skipped anywhere, any other non-digit ends it.
ULONG AtParseDecimal(const char* Text, ULONG Length);
REPLAY_RADIO_STATE_ROUTINE ReplayRadioStateSet;
void OidProcessStatusIndication(PFILTER_MODULE_CONTEXT Module, PNDIS_STATUS_INDICATION Indication);
