// The network-adapter class extension: adapters of a framework device, their configuration and
// capabilities, their packet queues with the rings the driver and the system share, and wake sources.
#pragma once

#include <wdf.h>

extern "C" {

// Both are framework objects: contexts, WdfObjectDelete and parenting work on them. An adapter is a
// child of its device, a configuration a child of its adapter.
typedef struct NETADAPTER__* NETADAPTER;
typedef struct NETCONFIGURATION__* NETCONFIGURATION;
typedef struct NETADAPTER_INIT NETADAPTER_INIT;

// What the adapter is created for; freed by the driver with NetAdapterInitFree after NetAdapterCreate,
// whatever its result. NULL when it cannot be allocated.
NETADAPTER_INIT* NetAdapterInitAllocate(WDFDEVICE Device);
void NetAdapterInitFree(NETADAPTER_INIT* AdapterInit);
NTSTATUS NetAdapterCreate(NETADAPTER_INIT* AdapterInit, PWDF_OBJECT_ATTRIBUTES AdapterAttributes,
                          NETADAPTER* Adapter);

typedef enum _NET_CONFIGURATION_QUERY_ULONG_FLAGS {
    NET_CONFIGURATION_QUERY_ULONG_NO_FLAGS = 0,
    NET_CONFIGURATION_QUERY_ULONG_MAY_BE_STORED_AS_HEX_STRING = 1,
} NET_CONFIGURATION_QUERY_ULONG_FLAGS;

// The adapter's configuration is its device's driver (software) key, where the standard adapter
// keywords live.
NTSTATUS NetAdapterOpenConfiguration(NETADAPTER Adapter, PWDF_OBJECT_ATTRIBUTES ConfigurationAttributes,
                                     NETCONFIGURATION* Configuration);
NTSTATUS NetConfigurationQueryUlong(NETCONFIGURATION Configuration, NET_CONFIGURATION_QUERY_ULONG_FLAGS Flags,
                                    PCUNICODE_STRING ValueName, PULONG Value);
void NetConfigurationClose(NETCONFIGURATION Configuration);

// --- Device initialisation --------------------------------------------------------------------------

typedef struct NETWAKESOURCE__* NETWAKESOURCE;

// Binds the device to the class extension: called on the device init before WdfDeviceCreate.
NTSTATUS NetDeviceInitConfig(PWDFDEVICE_INIT DeviceInit);

// Offered each bitmap pattern the system wants to arm, before it is added to the wake-source list:
// a failure keeps the pattern out of the list.
typedef NTSTATUS EVT_NET_DEVICE_PREVIEW_BITMAP_PATTERN(WDFDEVICE Device, NETWAKESOURCE BitmapPattern);
typedef EVT_NET_DEVICE_PREVIEW_BITMAP_PATTERN* PFN_NET_DEVICE_PREVIEW_BITMAP_PATTERN;

typedef struct _NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS {
    ULONG Size;
    PFN_NET_DEVICE_PREVIEW_BITMAP_PATTERN EvtDevicePreviewBitmapPattern;
} NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS;

inline void NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS_INIT(NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS* Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(*Callbacks));
    Callbacks->Size = sizeof(*Callbacks);
}

// After NetDeviceInitConfig, before WdfDeviceCreate.
NTSTATUS NetDeviceInitSetPowerPolicyEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                   const NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS* Callbacks);

// --- Rings ------------------------------------------------------------------------------------------

// The OS owns [EndIndex, BeginIndex) of a ring, the driver [BeginIndex, EndIndex): [NextIndex,
// EndIndex) is new to the driver, which hands elements back by moving BeginIndex. Indexes wrap with
// ElementIndexMask (NumberOfElements is a power of two).
typedef struct _NET_RING {
    USHORT OSReserved1;
    USHORT ElementStride;
    UINT32 NumberOfElements;
    UINT32 ElementIndexMask;
    UINT32 EndIndex;
    UINT32 OSReserved0;
    UINT32 BeginIndex;
    UINT32 NextIndex;
    void* Scratch; // the driver's
    unsigned char* Buffer;
} NET_RING;

typedef enum _NET_RING_TYPE {
    NetRingTypePacket = 0,
    NetRingTypeFragment = 1,
} NET_RING_TYPE;

typedef struct _NET_RING_COLLECTION {
    NET_RING* Rings[2];
} NET_RING_COLLECTION;

typedef struct _NET_PACKET_LAYOUT {
    UINT8 Layer2Type : 4;
    UINT8 Layer3Type : 4;
    UINT8 Layer4Type : 4; // NetPacketLayer4Type*
    UINT8 Reserved0 : 4;
    UINT8 Layer2HeaderLength;
    UINT8 Layer3HeaderLength;
    UINT8 Layer4HeaderLength;
} NET_PACKET_LAYOUT;

#define NetPacketLayer4TypeTcp 1
#define NetPacketLayer4TypeUdp 2

typedef struct _NET_PACKET {
    UINT32 FragmentIndex;
    UINT16 FragmentCount;
    NET_PACKET_LAYOUT Layout;
    UINT8 Ignore : 1;  // carries no data; owns no fragments
    UINT8 Scratch : 1; // the driver's
    UINT8 Reserved1 : 6;
    UINT32 Reserved2;
} NET_PACKET;

typedef struct _NET_FRAGMENT {
    UINT64 ValidLength : 26;
    UINT64 Capacity : 26;
    UINT64 Offset : 10;
} NET_FRAGMENT;

inline NET_RING* NetRingCollectionGetPacketRing(const NET_RING_COLLECTION* Rings)
{
    return Rings->Rings[NetRingTypePacket];
}

inline NET_RING* NetRingCollectionGetFragmentRing(const NET_RING_COLLECTION* Rings)
{
    return Rings->Rings[NetRingTypeFragment];
}

inline NET_PACKET* NetRingGetPacketAtIndex(NET_RING* Ring, UINT32 Index)
{
    return reinterpret_cast<NET_PACKET*>(Ring->Buffer + size_t(Index) * Ring->ElementStride);
}

inline NET_FRAGMENT* NetRingGetFragmentAtIndex(NET_RING* Ring, UINT32 Index)
{
    return reinterpret_cast<NET_FRAGMENT*>(Ring->Buffer + size_t(Index) * Ring->ElementStride);
}

inline UINT32 NetRingIncrementIndex(const NET_RING* Ring, UINT32 Index)
{
    return (Index + 1) & Ring->ElementIndexMask;
}

inline UINT32 NetRingAdvanceIndex(const NET_RING* Ring, UINT32 Index, UINT32 Count)
{
    return (Index + Count) & Ring->ElementIndexMask;
}

inline UINT32 NetRingGetRangeCount(const NET_RING* Ring, UINT32 StartIndex, UINT32 EndIndex)
{
    return (EndIndex - StartIndex) & Ring->ElementIndexMask;
}

// --- Extensions -------------------------------------------------------------------------------------

typedef enum _NET_EXTENSION_TYPE {
    NetExtensionTypePacket = 1,
    NetExtensionTypeFragment = 2,
} NET_EXTENSION_TYPE;

typedef struct _NET_EXTENSION_QUERY {
    ULONG Size;
    PCWSTR Name;
    ULONG Version;
    NET_EXTENSION_TYPE Type;
} NET_EXTENSION_QUERY;

inline void NET_EXTENSION_QUERY_INIT(NET_EXTENSION_QUERY* Query, PCWSTR Name, ULONG Version,
                                     NET_EXTENSION_TYPE Type)
{
    RtlZeroMemory(Query, sizeof(*Query));
    Query->Size = sizeof(*Query);
    Query->Name = Name;
    Query->Version = Version;
    Query->Type = Type;
}

// One element per ring element, at Base + index * Stride; Enabled is FALSE for an extension the
// queue does not have (an unknown name or version), and then Base is NULL.
typedef struct _NET_EXTENSION {
    unsigned char* Base;
    SIZE_T Stride;
    BOOLEAN Enabled;
} NET_EXTENSION;

#define NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME u"ms_fragment_virtualaddress"
#define NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_VERSION_1 1U
#define NET_FRAGMENT_EXTENSION_LOGICAL_ADDRESS_NAME u"ms_fragment_logicaladdress"
#define NET_FRAGMENT_EXTENSION_LOGICAL_ADDRESS_VERSION_1 1U
#define NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_NAME u"ms_fragment_returncontext"
#define NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_VERSION_1 1U
#define NET_PACKET_EXTENSION_CHECKSUM_NAME u"ms_packet_checksum"
#define NET_PACKET_EXTENSION_CHECKSUM_VERSION_1 1U

typedef struct _NET_FRAGMENT_VIRTUAL_ADDRESS {
    void* VirtualAddress;
} NET_FRAGMENT_VIRTUAL_ADDRESS;

typedef struct _NET_FRAGMENT_LOGICAL_ADDRESS {
    UINT64 LogicalAddress;
} NET_FRAGMENT_LOGICAL_ADDRESS;

typedef PVOID NET_FRAGMENT_RETURN_CONTEXT_HANDLE;
typedef struct _NET_FRAGMENT_RETURN_CONTEXT {
    NET_FRAGMENT_RETURN_CONTEXT_HANDLE Handle;
} NET_FRAGMENT_RETURN_CONTEXT;

typedef struct _NET_PACKET_CHECKSUM {
    UINT8 Layer2 : 2;
    UINT8 Layer3 : 2;
    UINT8 Layer4 : 2;
    UINT8 Reserved : 2;
} NET_PACKET_CHECKSUM;

inline NET_FRAGMENT_VIRTUAL_ADDRESS* NetExtensionGetFragmentVirtualAddress(const NET_EXTENSION* Extension,
                                                                            UINT32 Index)
{
    return reinterpret_cast<NET_FRAGMENT_VIRTUAL_ADDRESS*>(Extension->Base + Index * Extension->Stride);
}

inline NET_FRAGMENT_LOGICAL_ADDRESS* NetExtensionGetFragmentLogicalAddress(const NET_EXTENSION* Extension,
                                                                            UINT32 Index)
{
    return reinterpret_cast<NET_FRAGMENT_LOGICAL_ADDRESS*>(Extension->Base + Index * Extension->Stride);
}

inline NET_FRAGMENT_RETURN_CONTEXT* NetExtensionGetFragmentReturnContext(const NET_EXTENSION* Extension,
                                                                          UINT32 Index)
{
    return reinterpret_cast<NET_FRAGMENT_RETURN_CONTEXT*>(Extension->Base + Index * Extension->Stride);
}

inline NET_PACKET_CHECKSUM* NetExtensionGetPacketChecksum(const NET_EXTENSION* Extension, UINT32 Index)
{
    return reinterpret_cast<NET_PACKET_CHECKSUM*>(Extension->Base + Index * Extension->Stride);
}

// --- Packet queues ----------------------------------------------------------------------------------

// A packet queue is a framework object, a child of its adapter: its destroy callback runs when the
// class extension deletes it after the data path stopped.
typedef struct NETPACKETQUEUE__* NETPACKETQUEUE;
typedef struct NETTXQUEUE_INIT NETTXQUEUE_INIT;
typedef struct NETRXQUEUE_INIT NETRXQUEUE_INIT;

typedef void EVT_PACKET_QUEUE_ADVANCE(NETPACKETQUEUE PacketQueue);
typedef void EVT_PACKET_QUEUE_SET_NOTIFICATION_ENABLED(NETPACKETQUEUE PacketQueue, BOOLEAN NotificationEnabled);
typedef void EVT_PACKET_QUEUE_CANCEL(NETPACKETQUEUE PacketQueue);
typedef void EVT_PACKET_QUEUE_START(NETPACKETQUEUE PacketQueue);
typedef void EVT_PACKET_QUEUE_STOP(NETPACKETQUEUE PacketQueue);
typedef EVT_PACKET_QUEUE_ADVANCE* PFN_PACKET_QUEUE_ADVANCE;
typedef EVT_PACKET_QUEUE_SET_NOTIFICATION_ENABLED* PFN_PACKET_QUEUE_SET_NOTIFICATION_ENABLED;
typedef EVT_PACKET_QUEUE_CANCEL* PFN_PACKET_QUEUE_CANCEL;
typedef EVT_PACKET_QUEUE_START* PFN_PACKET_QUEUE_START;
typedef EVT_PACKET_QUEUE_STOP* PFN_PACKET_QUEUE_STOP;

typedef struct _NET_PACKET_QUEUE_CONFIG {
    ULONG Size;
    PFN_PACKET_QUEUE_ADVANCE EvtAdvance;
    PFN_PACKET_QUEUE_SET_NOTIFICATION_ENABLED EvtSetNotificationEnabled;
    PFN_PACKET_QUEUE_CANCEL EvtCancel;
    PFN_PACKET_QUEUE_START EvtStart;
    PFN_PACKET_QUEUE_STOP EvtStop;
} NET_PACKET_QUEUE_CONFIG;

inline void NET_PACKET_QUEUE_CONFIG_INIT(NET_PACKET_QUEUE_CONFIG* Config, PFN_PACKET_QUEUE_ADVANCE Advance,
                                         PFN_PACKET_QUEUE_SET_NOTIFICATION_ENABLED SetNotificationEnabled,
                                         PFN_PACKET_QUEUE_CANCEL Cancel)
{
    RtlZeroMemory(Config, sizeof(*Config));
    Config->Size = sizeof(*Config);
    Config->EvtAdvance = Advance;
    Config->EvtSetNotificationEnabled = SetNotificationEnabled;
    Config->EvtCancel = Cancel;
}

// Only inside the adapter's create-queue callbacks; advance, set-notification and cancel are required.
ULONG NetTxQueueInitGetQueueId(NETTXQUEUE_INIT* QueueInit);
NTSTATUS NetTxQueueCreate(NETTXQUEUE_INIT* QueueInit, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          const NET_PACKET_QUEUE_CONFIG* Configuration, NETPACKETQUEUE* PacketQueue);
const NET_RING_COLLECTION* NetTxQueueGetRingCollection(NETPACKETQUEUE PacketQueue);
void NetTxQueueGetExtension(NETPACKETQUEUE PacketQueue, const NET_EXTENSION_QUERY* Query,
                            NET_EXTENSION* Extension);
// At IRQL <= DISPATCH_LEVEL from any thread: ends the queue's wait for work when notification is on.
void NetTxQueueNotifyMoreCompletedPacketsAvailable(NETPACKETQUEUE PacketQueue);

ULONG NetRxQueueInitGetQueueId(NETRXQUEUE_INIT* QueueInit);
NTSTATUS NetRxQueueCreate(NETRXQUEUE_INIT* QueueInit, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          const NET_PACKET_QUEUE_CONFIG* Configuration, NETPACKETQUEUE* PacketQueue);
const NET_RING_COLLECTION* NetRxQueueGetRingCollection(NETPACKETQUEUE PacketQueue);
void NetRxQueueGetExtension(NETPACKETQUEUE PacketQueue, const NET_EXTENSION_QUERY* Query,
                            NET_EXTENSION* Extension);
void NetRxQueueNotifyMoreReceivedPacketsAvailable(NETPACKETQUEUE PacketQueue);

// --- Adapter capabilities and start -----------------------------------------------------------------

typedef NTSTATUS EVT_NET_ADAPTER_CREATE_TXQUEUE(NETADAPTER Adapter, NETTXQUEUE_INIT* TxQueueInit);
typedef NTSTATUS EVT_NET_ADAPTER_CREATE_RXQUEUE(NETADAPTER Adapter, NETRXQUEUE_INIT* RxQueueInit);
typedef EVT_NET_ADAPTER_CREATE_TXQUEUE* PFN_NET_ADAPTER_CREATE_TXQUEUE;
typedef EVT_NET_ADAPTER_CREATE_RXQUEUE* PFN_NET_ADAPTER_CREATE_RXQUEUE;

typedef struct _NET_ADAPTER_DATAPATH_CALLBACKS {
    ULONG Size;
    PFN_NET_ADAPTER_CREATE_TXQUEUE EvtAdapterCreateTxQueue;
    PFN_NET_ADAPTER_CREATE_RXQUEUE EvtAdapterCreateRxQueue;
} NET_ADAPTER_DATAPATH_CALLBACKS;

inline void NET_ADAPTER_DATAPATH_CALLBACKS_INIT(NET_ADAPTER_DATAPATH_CALLBACKS* Callbacks,
                                                PFN_NET_ADAPTER_CREATE_TXQUEUE CreateTxQueue,
                                                PFN_NET_ADAPTER_CREATE_RXQUEUE CreateRxQueue)
{
    RtlZeroMemory(Callbacks, sizeof(*Callbacks));
    Callbacks->Size = sizeof(*Callbacks);
    Callbacks->EvtAdapterCreateTxQueue = CreateTxQueue;
    Callbacks->EvtAdapterCreateRxQueue = CreateRxQueue;
}

void NetAdapterInitSetDatapathCallbacks(NETADAPTER_INIT* AdapterInit,
                                        const NET_ADAPTER_DATAPATH_CALLBACKS* DatapathCallbacks);

// Link speeds in bits per second.
typedef struct _NET_ADAPTER_LINK_LAYER_CAPABILITIES {
    ULONG Size;
    ULONG64 TxLinkSpeed;
    ULONG64 RxLinkSpeed;
} NET_ADAPTER_LINK_LAYER_CAPABILITIES;

inline void NET_ADAPTER_LINK_LAYER_CAPABILITIES_INIT(NET_ADAPTER_LINK_LAYER_CAPABILITIES* Capabilities,
                                                     ULONG64 TxLinkSpeed, ULONG64 RxLinkSpeed)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
    Capabilities->TxLinkSpeed = TxLinkSpeed;
    Capabilities->RxLinkSpeed = RxLinkSpeed;
}

// The setters below are called before NetAdapterStart; each reports its failure.
NTSTATUS NetAdapterSetLinkLayerCapabilities(NETADAPTER Adapter,
                                            const NET_ADAPTER_LINK_LAYER_CAPABILITIES* LinkLayerCapabilities);
NTSTATUS NetAdapterSetLinkLayerMtuSize(NETADAPTER Adapter, ULONG MtuSize);

typedef enum _NET_MEMORY_MAPPING_REQUIREMENT {
    NetMemoryMappingRequirementNone = 0,
    NetMemoryMappingRequirementDmaMapped = 1,
} NET_MEMORY_MAPPING_REQUIREMENT;

typedef ULONG NODE_REQUIREMENT;
#define MM_ANY_NODE_OK 0x80000000

typedef struct _NET_ADAPTER_DMA_CAPABILITIES {
    ULONG Size;
    WDFDMAENABLER DmaEnabler;
    PHYSICAL_ADDRESS MaximumPhysicalAddress; // 0: no limit
    WDF_TRI_STATE CacheEnabled;
    NODE_REQUIREMENT PreferredNode;
} NET_ADAPTER_DMA_CAPABILITIES;

inline void NET_ADAPTER_DMA_CAPABILITIES_INIT(NET_ADAPTER_DMA_CAPABILITIES* Capabilities, WDFDMAENABLER DmaEnabler)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
    Capabilities->DmaEnabler = DmaEnabler;
    Capabilities->CacheEnabled = WdfUseDefault;
    Capabilities->PreferredNode = MM_ANY_NODE_OK;
}

// Each transmitted packet comes in at most MaximumNumberOfFragments fragments; the first starts with
// PayloadBackfill bytes of room that the driver may use in front of the payload.
typedef struct _NET_ADAPTER_TX_CAPABILITIES {
    ULONG Size;
    NET_MEMORY_MAPPING_REQUIREMENT MappingRequirement;
    const NET_ADAPTER_DMA_CAPABILITIES* DmaCapabilities;
    SIZE_T PayloadBackfill;
    SIZE_T MaximumNumberOfQueues;
    SIZE_T FragmentRingNumberOfElementsHint;
    SIZE_T MaximumFrameSize;
    SIZE_T MaximumNumberOfFragments;
} NET_ADAPTER_TX_CAPABILITIES;

inline void NET_ADAPTER_TX_CAPABILITIES_INIT(NET_ADAPTER_TX_CAPABILITIES* Capabilities,
                                             SIZE_T MaximumNumberOfQueues)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
    Capabilities->MappingRequirement = NetMemoryMappingRequirementNone;
    Capabilities->MaximumNumberOfQueues = MaximumNumberOfQueues;
}

inline void NET_ADAPTER_TX_CAPABILITIES_INIT_FOR_DMA(NET_ADAPTER_TX_CAPABILITIES* Capabilities,
                                                     const NET_ADAPTER_DMA_CAPABILITIES* DmaCapabilities,
                                                     SIZE_T MaximumNumberOfQueues)
{
    NET_ADAPTER_TX_CAPABILITIES_INIT(Capabilities, MaximumNumberOfQueues);
    Capabilities->MappingRequirement = NetMemoryMappingRequirementDmaMapped;
    Capabilities->DmaCapabilities = DmaCapabilities;
}

typedef enum _NET_RX_FRAGMENT_BUFFER_ALLOCATION_MODE {
    NetRxFragmentBufferAllocationModeSystem = 0,
    NetRxFragmentBufferAllocationModeDriver = 1,
} NET_RX_FRAGMENT_BUFFER_ALLOCATION_MODE;

typedef enum _NET_RX_FRAGMENT_BUFFER_ATTACHMENT_MODE {
    NetRxFragmentBufferAttachmentModeSystem = 0,
    NetRxFragmentBufferAttachmentModeDriver = 1,
} NET_RX_FRAGMENT_BUFFER_ATTACHMENT_MODE;

// A receive buffer the driver attached comes back to it here, later, once the system is done with it.
typedef void EVT_NET_ADAPTER_RETURN_RX_BUFFER(NETADAPTER Adapter, PVOID RxBufferVirtualAddress,
                                              NET_FRAGMENT_RETURN_CONTEXT_HANDLE RxReturnContext);
typedef EVT_NET_ADAPTER_RETURN_RX_BUFFER* PFN_NET_ADAPTER_RETURN_RX_BUFFER;

typedef struct _NET_ADAPTER_RX_CAPABILITIES {
    ULONG Size;
    NET_RX_FRAGMENT_BUFFER_ALLOCATION_MODE AllocationMode;
    NET_RX_FRAGMENT_BUFFER_ATTACHMENT_MODE AttachmentMode;
    PFN_NET_ADAPTER_RETURN_RX_BUFFER EvtAdapterReturnRxBuffer;
    SIZE_T MaximumFrameSize;
    SIZE_T MaximumNumberOfQueues;
    SIZE_T FragmentRingNumberOfElementsHint;
} NET_ADAPTER_RX_CAPABILITIES;

inline void NET_ADAPTER_RX_CAPABILITIES_INIT_DRIVER_MANAGED(NET_ADAPTER_RX_CAPABILITIES* Capabilities,
                                                            PFN_NET_ADAPTER_RETURN_RX_BUFFER ReturnRxBuffer,
                                                            SIZE_T MaximumFrameSize,
                                                            SIZE_T MaximumNumberOfQueues)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
    Capabilities->AllocationMode = NetRxFragmentBufferAllocationModeDriver;
    Capabilities->AttachmentMode = NetRxFragmentBufferAttachmentModeDriver;
    Capabilities->EvtAdapterReturnRxBuffer = ReturnRxBuffer;
    Capabilities->MaximumFrameSize = MaximumFrameSize;
    Capabilities->MaximumNumberOfQueues = MaximumNumberOfQueues;
}

// Only driver-allocated, driver-attached receive buffers are served here.
NTSTATUS NetAdapterSetDataPathCapabilities(NETADAPTER Adapter, const NET_ADAPTER_TX_CAPABILITIES* TxCapabilities,
                                           const NET_ADAPTER_RX_CAPABILITIES* RxCapabilities);

typedef struct _NET_ADAPTER_WAKE_BITMAP_CAPABILITIES {
    ULONG Size;
    BOOLEAN BitmapPattern;
    ULONG64 MaximumPatternCount;
    ULONG64 MaximumPatternSize;
} NET_ADAPTER_WAKE_BITMAP_CAPABILITIES;

inline void NET_ADAPTER_WAKE_BITMAP_CAPABILITIES_INIT(NET_ADAPTER_WAKE_BITMAP_CAPABILITIES* Capabilities)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
}

typedef struct _NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES {
    ULONG Size;
    BOOLEAN MediaConnect;
    BOOLEAN MediaDisconnect;
} NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES;

inline void NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES_INIT(NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES* Capabilities)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
}

typedef struct _NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES {
    ULONG Size;
    BOOLEAN PacketFilterMatch;
} NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES;

inline void
NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES_INIT(NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES* Capabilities)
{
    RtlZeroMemory(Capabilities, sizeof(*Capabilities));
    Capabilities->Size = sizeof(*Capabilities);
}

NTSTATUS NetAdapterWakeSetBitmapCapabilities(NETADAPTER Adapter,
                                             const NET_ADAPTER_WAKE_BITMAP_CAPABILITIES* BitmapCapabilities);
NTSTATUS NetAdapterWakeSetMediaChangeCapabilities(NETADAPTER Adapter,
                                                  const NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES* Capabilities);
NTSTATUS NetAdapterWakeSetPacketFilterCapabilities(NETADAPTER Adapter,
                                                   const NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES* Capabilities);

// Refused (STATUS_INVALID_DEVICE_STATE) without datapath callbacks or data-path capabilities, and for
// an adapter already started. The queues are created afterwards, on the class extension's thread.
NTSTATUS NetAdapterStart(NETADAPTER Adapter);

// --- Wake sources -----------------------------------------------------------------------------------

typedef enum _NET_WAKE_SOURCE_TYPE {
    NetWakeSourceTypeBitmapPattern = 1,
    NetWakeSourceTypeMagicPacket = 2,
    NetWakeSourceTypeMediaChange = 3,
    NetWakeSourceTypePacketFilterMatch = 4,
} NET_WAKE_SOURCE_TYPE;

typedef struct _NET_WAKE_SOURCE_LIST {
    ULONG Size;
    void* Reserved[2];
} NET_WAKE_SOURCE_LIST;

inline void NET_WAKE_SOURCE_LIST_INIT(NET_WAKE_SOURCE_LIST* List)
{
    RtlZeroMemory(List, sizeof(*List));
    List->Size = sizeof(*List);
}

typedef struct _NET_WAKE_SOURCE_BITMAP_PARAMETERS {
    ULONG Size;
    ULONG Id;
    const UCHAR* Pattern;
    SIZE_T PatternSize;
    const UCHAR* Mask;
    SIZE_T MaskSize;
} NET_WAKE_SOURCE_BITMAP_PARAMETERS;

inline void NET_WAKE_SOURCE_BITMAP_PARAMETERS_INIT(NET_WAKE_SOURCE_BITMAP_PARAMETERS* Parameters)
{
    RtlZeroMemory(Parameters, sizeof(*Parameters));
    Parameters->Size = sizeof(*Parameters);
}

// The wake sources armed on the device's adapters: valid from the moment the system arms them (before
// the device leaves D0 for idle or sleep, so inside the arm-for-wake callbacks) until the device is
// back in D0.
void NetDeviceGetWakeSourceList(WDFDEVICE Device, NET_WAKE_SOURCE_LIST* List);
SIZE_T NetWakeSourceListGetCount(const NET_WAKE_SOURCE_LIST* List);
NETWAKESOURCE NetWakeSourceListGetElement(const NET_WAKE_SOURCE_LIST* List, SIZE_T Index);
NET_WAKE_SOURCE_TYPE NetWakeSourceGetType(NETWAKESOURCE WakeSource);
NETADAPTER NetWakeSourceGetAdapter(NETWAKESOURCE WakeSource);
void NetWakeSourceGetBitmapParameters(NETWAKESOURCE WakeSource, NET_WAKE_SOURCE_BITMAP_PARAMETERS* Parameters);

} // extern "C"
