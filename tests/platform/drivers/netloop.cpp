// The loop-back data path: the transmit advance copies each packet's payload (behind the backfill)
// into a free receive buffer and queues it; the receive advance attaches the queued buffers to the
// packets the system posted. A packet with no free receive buffer waits in the transmit ring until a
// buffer comes back, so that nothing is lost while the system holds buffers.
#include "netloop.h"

#include <host/interlocked.h>
#include <wdm.h>

namespace
{

constexpr ULONG kBufferTag = 0x704c744e; // "NtLp"

struct NETLOOP_ADAPTER {
    KSPIN_LOCK Lock; // guards the lists and the queue handles
    UCHAR* Buffers;  // NETLOOP_RX_BUFFERS buffers of NETLOOP_MAXIMUM_FRAME bytes
    ULONG Free[NETLOOP_RX_BUFFERS];
    ULONG FreeCount;
    struct {
        ULONG Buffer;
        ULONG Length;
    } Ready[NETLOOP_RX_BUFFERS]; // looped packets waiting for the receive queue, in order
    ULONG ReadyHead;
    ULONG ReadyCount;
    NETPACKETQUEUE TxQueue;
    NETPACKETQUEUE RxQueue;
    LONG TxNotify;
    LONG RxNotify;
    LONG TxCancelled;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NETLOOP_ADAPTER, NetLoopGetAdapter)

struct NETLOOP_QUEUE {
    NETLOOP_ADAPTER* Adapter;
    const NET_RING_COLLECTION* Rings;
    NET_EXTENSION VirtualAddress;
    NET_EXTENSION ReturnContext;
    BOOLEAN Receive;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NETLOOP_QUEUE, NetLoopGetQueue)

// The queue whose notification is wanted, or NULL (lock held).
NETPACKETQUEUE TakeNotify(LONG* flag, NETPACKETQUEUE queue)
{
    return queue != nullptr && InterlockedExchange(flag, 0) != 0 ? queue : nullptr;
}

// The queue's rings, with every element the system posted taken (NextIndex moved to EndIndex).
void TakePosted(NETLOOP_QUEUE* q, NET_RING** packets, NET_RING** fragments)
{
    *packets = NetRingCollectionGetPacketRing(q->Rings);
    *fragments = NetRingCollectionGetFragmentRing(q->Rings);
    (*packets)->NextIndex = (*packets)->EndIndex;
    (*fragments)->NextIndex = (*fragments)->EndIndex;
}

void TxAdvance(NETPACKETQUEUE queue)
{
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    NETLOOP_ADAPTER* a = q->Adapter;
    NET_RING* packets;
    NET_RING* fragments;
    TakePosted(q, &packets, &fragments);
    BOOLEAN looped = FALSE;
    BOOLEAN cancelled = ReadAcquire(&a->TxCancelled) != 0;
    while (packets->BeginIndex != packets->NextIndex) {
        NET_PACKET* packet = NetRingGetPacketAtIndex(packets, packets->BeginIndex);
        if (!packet->Ignore) {
            NET_FRAGMENT* fragment = NetRingGetFragmentAtIndex(fragments, packet->FragmentIndex);
            auto* base =
                static_cast<UCHAR*>(NetExtensionGetFragmentVirtualAddress(&q->VirtualAddress, packet->FragmentIndex)
                                        ->VirtualAddress);
            ULONG length = ULONG(fragment->ValidLength) - NETLOOP_BACKFILL;
            KIRQL irql;
            KeAcquireSpinLock(&a->Lock, &irql);
            if (!cancelled && fragment->ValidLength > NETLOOP_BACKFILL && length <= NETLOOP_MAXIMUM_FRAME) {
                if (a->FreeCount == 0) {
                    KeReleaseSpinLock(&a->Lock, irql);
                    break;
                }
                ULONG buffer = a->Free[--a->FreeCount];
                RtlCopyMemory(a->Buffers + size_t(buffer) * NETLOOP_MAXIMUM_FRAME,
                              base + fragment->Offset + NETLOOP_BACKFILL, length);
                ULONG tail = (a->ReadyHead + a->ReadyCount) % NETLOOP_RX_BUFFERS;
                a->Ready[tail].Buffer = buffer;
                a->Ready[tail].Length = length;
                a->ReadyCount++;
                looped = TRUE;
            }
            KeReleaseSpinLock(&a->Lock, irql);
            fragments->BeginIndex = NetRingAdvanceIndex(fragments, packet->FragmentIndex, packet->FragmentCount);
        }
        packets->BeginIndex = NetRingIncrementIndex(packets, packets->BeginIndex);
    }
    if (looped) {
        KIRQL irql;
        KeAcquireSpinLock(&a->Lock, &irql);
        if (NETPACKETQUEUE rx = TakeNotify(&a->RxNotify, a->RxQueue))
            NetRxQueueNotifyMoreReceivedPacketsAvailable(rx);
        KeReleaseSpinLock(&a->Lock, irql);
    }
}

void RxAdvance(NETPACKETQUEUE queue)
{
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    NETLOOP_ADAPTER* a = q->Adapter;
    NET_RING* packets;
    NET_RING* fragments;
    TakePosted(q, &packets, &fragments);
    KIRQL irql;
    KeAcquireSpinLock(&a->Lock, &irql);
    while (a->ReadyCount != 0 && packets->BeginIndex != packets->NextIndex &&
           fragments->BeginIndex != fragments->NextIndex) {
        ULONG buffer = a->Ready[a->ReadyHead].Buffer;
        ULONG length = a->Ready[a->ReadyHead].Length;
        a->ReadyHead = (a->ReadyHead + 1) % NETLOOP_RX_BUFFERS;
        a->ReadyCount--;
        UINT32 index = fragments->BeginIndex;
        NET_PACKET* packet = NetRingGetPacketAtIndex(packets, packets->BeginIndex);
        RtlZeroMemory(packet, sizeof(*packet));
        packet->FragmentIndex = index;
        packet->FragmentCount = 1;
        NET_FRAGMENT* fragment = NetRingGetFragmentAtIndex(fragments, index);
        fragment->ValidLength = length;
        fragment->Capacity = NETLOOP_MAXIMUM_FRAME;
        fragment->Offset = 0;
        NetExtensionGetFragmentVirtualAddress(&q->VirtualAddress, index)->VirtualAddress =
            a->Buffers + size_t(buffer) * NETLOOP_MAXIMUM_FRAME;
        NetExtensionGetFragmentReturnContext(&q->ReturnContext, index)->Handle =
            reinterpret_cast<NET_FRAGMENT_RETURN_CONTEXT_HANDLE>(ULONG_PTR(buffer) + 1);
        packets->BeginIndex = NetRingIncrementIndex(packets, packets->BeginIndex);
        fragments->BeginIndex = NetRingIncrementIndex(fragments, fragments->BeginIndex);
    }
    KeReleaseSpinLock(&a->Lock, irql);
}

void SetNotification(NETPACKETQUEUE queue, BOOLEAN enabled)
{
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    InterlockedExchange(q->Receive ? &q->Adapter->RxNotify : &q->Adapter->TxNotify, enabled ? 1 : 0);
}

// Packets still in the transmit ring are given back without being looped.
void TxCancel(NETPACKETQUEUE queue)
{
    DbgPrint("cb TxCancel");
    InterlockedExchange(&NetLoopGetQueue(queue)->Adapter->TxCancelled, 1);
}

// Packets waiting for the receive queue are dropped; every posted packet goes back as Ignore, with its
// fragment.
void RxCancel(NETPACKETQUEUE queue)
{
    DbgPrint("cb RxCancel");
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    NETLOOP_ADAPTER* a = q->Adapter;
    KIRQL irql;
    KeAcquireSpinLock(&a->Lock, &irql);
    for (; a->ReadyCount != 0; a->ReadyCount--) {
        a->Free[a->FreeCount++] = a->Ready[a->ReadyHead].Buffer;
        a->ReadyHead = (a->ReadyHead + 1) % NETLOOP_RX_BUFFERS;
    }
    KeReleaseSpinLock(&a->Lock, irql);
    NET_RING* packets;
    NET_RING* fragments;
    TakePosted(q, &packets, &fragments);
    for (UINT32 i = packets->BeginIndex; i != packets->EndIndex; i = NetRingIncrementIndex(packets, i))
        NetRingGetPacketAtIndex(packets, i)->Ignore = 1;
    packets->BeginIndex = packets->EndIndex;
    fragments->BeginIndex = fragments->EndIndex;
}

void Start(NETPACKETQUEUE queue)
{
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    if (!q->Receive)
        InterlockedExchange(&q->Adapter->TxCancelled, 0);
    DbgPrint("cb %sStart", q->Receive ? "Rx" : "Tx");
}

void Stop(NETPACKETQUEUE queue)
{
    DbgPrint("cb %sStop", NetLoopGetQueue(queue)->Receive ? "Rx" : "Tx");
}

void QueueDestroy(WDFOBJECT object)
{
    NETLOOP_QUEUE* q = NetLoopGetQueue(object);
    DbgPrint("cb %sDestroy", q->Receive ? "Rx" : "Tx");
    KIRQL irql;
    KeAcquireSpinLock(&q->Adapter->Lock, &irql);
    (q->Receive ? q->Adapter->RxQueue : q->Adapter->TxQueue) = nullptr;
    KeReleaseSpinLock(&q->Adapter->Lock, irql);
}

template <typename Init, typename Create, typename GetRings, typename GetExtension>
NTSTATUS CreateQueue(NETADAPTER adapter, Init* init, BOOLEAN receive, Create create, GetRings getRings,
                     GetExtension getExtension)
{
    NETLOOP_ADAPTER* a = NetLoopGetAdapter(adapter);
    NET_PACKET_QUEUE_CONFIG config;
    NET_PACKET_QUEUE_CONFIG_INIT(&config, receive ? RxAdvance : TxAdvance, SetNotification,
                                 receive ? RxCancel : TxCancel);
    config.EvtStart = Start;
    config.EvtStop = Stop;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NETLOOP_QUEUE);
    attributes.EvtDestroyCallback = QueueDestroy;
    NETPACKETQUEUE queue = nullptr;
    NTSTATUS status = create(init, &attributes, &config, &queue);
    DbgPrint("cb Create%sQueue %x", receive ? "Rx" : "Tx", (unsigned)status);
    if (!NT_SUCCESS(status))
        return status;
    NETLOOP_QUEUE* q = NetLoopGetQueue(queue);
    q->Adapter = a;
    q->Receive = receive;
    q->Rings = getRings(queue);
    NET_EXTENSION_QUERY query;
    NET_EXTENSION_QUERY_INIT(&query, NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME,
                             NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_VERSION_1, NetExtensionTypeFragment);
    getExtension(queue, &query, &q->VirtualAddress);
    NET_EXTENSION_QUERY_INIT(&query, NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_NAME,
                             NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_VERSION_1, NetExtensionTypeFragment);
    getExtension(queue, &query, &q->ReturnContext);
    KIRQL irql;
    KeAcquireSpinLock(&a->Lock, &irql);
    (receive ? a->RxQueue : a->TxQueue) = queue;
    KeReleaseSpinLock(&a->Lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS CreateTxQueue(NETADAPTER adapter, NETTXQUEUE_INIT* init)
{
    return CreateQueue(adapter, init, FALSE, NetTxQueueCreate, NetTxQueueGetRingCollection, NetTxQueueGetExtension);
}

NTSTATUS CreateRxQueue(NETADAPTER adapter, NETRXQUEUE_INIT* init)
{
    return CreateQueue(adapter, init, TRUE, NetRxQueueCreate, NetRxQueueGetRingCollection, NetRxQueueGetExtension);
}

// A buffer back from the system: free again, and a transmit packet waiting for one may go on.
void ReturnRxBuffer(NETADAPTER adapter, PVOID, NET_FRAGMENT_RETURN_CONTEXT_HANDLE context)
{
    NETLOOP_ADAPTER* a = NetLoopGetAdapter(adapter);
    ULONG buffer = ULONG(reinterpret_cast<ULONG_PTR>(context) - 1);
    DbgPrint("cb ReturnRxBuffer %lu", buffer);
    KIRQL irql;
    KeAcquireSpinLock(&a->Lock, &irql);
    a->Free[a->FreeCount++] = buffer;
    if (NETPACKETQUEUE tx = TakeNotify(&a->TxNotify, a->TxQueue))
        NetTxQueueNotifyMoreCompletedPacketsAvailable(tx);
    KeReleaseSpinLock(&a->Lock, irql);
}

void AdapterContextCleanup(WDFOBJECT adapter)
{
    NETLOOP_ADAPTER* a = NetLoopGetAdapter(adapter);
    if (a->Buffers != nullptr)
        ExFreePoolWithTag(a->Buffers, kBufferTag);
    a->Buffers = nullptr;
}

} // namespace

NTSTATUS NetLoopConfigureAdapterInit(NETADAPTER_INIT* AdapterInit)
{
    if (AdapterInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    NET_ADAPTER_DATAPATH_CALLBACKS datapath;
    NET_ADAPTER_DATAPATH_CALLBACKS_INIT(&datapath, CreateTxQueue, CreateRxQueue);
    NetAdapterInitSetDatapathCallbacks(AdapterInit, &datapath);
    return STATUS_SUCCESS;
}

NTSTATUS NetLoopStartAdapter(NETADAPTER Adapter)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NETLOOP_ADAPTER);
    attributes.EvtCleanupCallback = AdapterContextCleanup;
    NETLOOP_ADAPTER* a = nullptr;
    NTSTATUS status = WdfObjectAllocateContext(Adapter, &attributes, reinterpret_cast<PVOID*>(&a));
    if (!NT_SUCCESS(status))
        return status;
    KeInitializeSpinLock(&a->Lock);
    a->Buffers = static_cast<UCHAR*>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, size_t(NETLOOP_RX_BUFFERS) * NETLOOP_MAXIMUM_FRAME, kBufferTag));
    if (a->Buffers == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < NETLOOP_RX_BUFFERS; i++)
        a->Free[i] = NETLOOP_RX_BUFFERS - 1 - i;
    a->FreeCount = NETLOOP_RX_BUFFERS;

    NET_ADAPTER_LINK_LAYER_CAPABILITIES link;
    NET_ADAPTER_LINK_LAYER_CAPABILITIES_INIT(&link, 10000000000ULL, 10000000000ULL);
    status = NetAdapterSetLinkLayerCapabilities(Adapter, &link);
    if (NT_SUCCESS(status))
        status = NetAdapterSetLinkLayerMtuSize(Adapter, 1500);
    NET_ADAPTER_TX_CAPABILITIES tx;
    NET_ADAPTER_TX_CAPABILITIES_INIT(&tx, 1);
    tx.PayloadBackfill = NETLOOP_BACKFILL;
    tx.MaximumFrameSize = NETLOOP_MAXIMUM_FRAME;
    tx.MaximumNumberOfFragments = 1;
    tx.FragmentRingNumberOfElementsHint = NETLOOP_RING_HINT;
    NET_ADAPTER_RX_CAPABILITIES rx;
    NET_ADAPTER_RX_CAPABILITIES_INIT_DRIVER_MANAGED(&rx, ReturnRxBuffer, NETLOOP_MAXIMUM_FRAME, 1);
    rx.FragmentRingNumberOfElementsHint = NETLOOP_RING_HINT;
    if (NT_SUCCESS(status))
        status = NetAdapterSetDataPathCapabilities(Adapter, &tx, &rx);
    NET_ADAPTER_WAKE_BITMAP_CAPABILITIES bitmap;
    NET_ADAPTER_WAKE_BITMAP_CAPABILITIES_INIT(&bitmap);
    bitmap.BitmapPattern = TRUE;
    bitmap.MaximumPatternCount = 4;
    bitmap.MaximumPatternSize = 128;
    if (NT_SUCCESS(status))
        status = NetAdapterWakeSetBitmapCapabilities(Adapter, &bitmap);
    NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES media;
    NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES_INIT(&media);
    media.MediaConnect = TRUE;
    media.MediaDisconnect = TRUE;
    if (NT_SUCCESS(status))
        status = NetAdapterWakeSetMediaChangeCapabilities(Adapter, &media);
    NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES filter;
    NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES_INIT(&filter);
    filter.PacketFilterMatch = TRUE;
    if (NT_SUCCESS(status))
        status = NetAdapterWakeSetPacketFilterCapabilities(Adapter, &filter);
    if (NT_SUCCESS(status))
        status = NetAdapterStart(Adapter);
    return status;
}
