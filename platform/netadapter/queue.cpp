// Packet queues: rings and extensions, one execution-context thread per queue, the checks of every
// advance, the system's side of transmit and receive, and the data path's creation and teardown.
#include "internal.h"

#include <host/verifier.h>

#include <cstdarg>
#include <cstring>
#include <new>
#include <string_view>

struct NETTXQUEUE_INIT {
    netadapter::Adapter* adapter;
    ULONG id;
    netadapter::PacketQueue* created;
};

struct NETRXQUEUE_INIT {
    netadapter::Adapter* adapter;
    ULONG id;
    netadapter::PacketQueue* created;
};

namespace netadapter
{
namespace
{

constexpr ULONG kTxBufferTag = 0x6254784e; // "NxTb"
constexpr UINT32 kDefaultRingSize = 128;
constexpr UINT32 kMaximumRingSize = 1u << 16;
// How long a cancelled queue may keep packets before the driver is reported (host time).
constexpr LONGLONG kDrainBound = 30LL * 10000000;
constexpr LONGLONG kDrainStep = 100LL * 10000; // advances of a cancelled queue with nothing to wake it
constexpr LONGLONG kTransmitPoll = 1LL * 10000;

enum { kPacket = 0, kFragment = 1 };

UINT32 RingSize(SIZE_T hint)
{
    UINT32 size = 4;
    UINT32 wanted = hint == 0 ? kDefaultRingSize : hint > kMaximumRingSize ? kMaximumRingSize : UINT32(hint);
    while (size < wanted)
        size <<= 1;
    return size;
}

template <typename Element> void SetUpRing(NET_RING* ring, std::vector<Element>& storage, UINT32 size)
{
    storage.assign(size, Element{});
    ring->ElementStride = sizeof(Element);
    ring->NumberOfElements = size;
    ring->ElementIndexMask = size - 1;
    ring->Buffer = reinterpret_cast<unsigned char*>(storage.data());
}

void Wait(PKEVENT event, LONGLONG timeout100ns)
{
    LARGE_INTEGER due;
    due.QuadPart = -timeout100ns;
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout100ns < 0 ? nullptr : &due);
}

const char* QueueName(const PacketQueue* q)
{
    return q->receive ? "receive" : "transmit";
}

// Reports a driver's breach of the queue contract; the queue stops moving from then on.
__attribute__((format(printf, 2, 3))) void Violation(PacketQueue* q, const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    q->broken = true;
    host::VerifierReport(host::Check::NetDataPathViolation, "%s queue: %s", QueueName(q), text);
}

bool DriverOwnsNothing(const PacketQueue* q)
{
    return q->rings[kPacket].BeginIndex == q->end[kPacket] && q->rings[kFragment].BeginIndex == q->end[kFragment];
}

// Begin <= Next <= End, modulo the ring, with neither moved backwards since the last check and End
// untouched.
bool IndexesValid(PacketQueue* q, int which)
{
    const NET_RING& ring = q->rings[which];
    const char* name = which == kPacket ? "packet" : "fragment";
    UINT32 mask = ring.ElementIndexMask;
    if ((ring.BeginIndex & ~mask) != 0 || (ring.NextIndex & ~mask) != 0 || ring.EndIndex != q->end[which]) {
        Violation(q, "%s ring indexes out of range or EndIndex changed (begin %u, next %u, end %u)", name,
                  ring.BeginIndex, ring.NextIndex, ring.EndIndex);
        return false;
    }
    UINT32 base = q->seenBegin[which];
    UINT32 owned = (q->end[which] - base) & mask;
    UINT32 begin = (ring.BeginIndex - base) & mask;
    UINT32 next = (ring.NextIndex - base) & mask;
    UINT32 previousNext = (q->seenNext[which] - base) & mask;
    if (begin > next || next > owned || next < previousNext) {
        Violation(q, "%s ring: begin %u next %u end %u after begin %u next %u", name, ring.BeginIndex,
                  ring.NextIndex, ring.EndIndex, base, q->seenNext[which]);
        return false;
    }
    return true;
}

// A received packet's fragments, checked and handed to the sink.
void Deliver(PacketQueue* q, const NET_PACKET& packet, const std::shared_ptr<std::function<void(const UCHAR*, size_t)>>& sink)
{
    Adapter* a = q->adapter;
    NET_RING& fragments = q->rings[kFragment];
    size_t total = 0;
    const UCHAR* single = nullptr;
    for (UINT32 k = 0; k < packet.FragmentCount; k++) {
        UINT32 index = (packet.FragmentIndex + k) & fragments.ElementIndexMask;
        const NET_FRAGMENT& fragment = q->fragments[index];
        auto* buffer = static_cast<const UCHAR*>(q->virtualAddresses[index].VirtualAddress);
        if (buffer == nullptr || fragment.ValidLength > fragment.Capacity ||
            total + fragment.ValidLength > a->rx.MaximumFrameSize) {
            host::VerifierReport(host::Check::NetDataPathViolation,
                                 "receive fragment %u: buffer %p, valid length %u, capacity %u, frame so far %zu",
                                 index, static_cast<const void*>(buffer), unsigned(fragment.ValidLength),
                                 unsigned(fragment.Capacity), total);
            return;
        }
        single = buffer + fragment.Offset;
        if (packet.FragmentCount > 1)
            memcpy(q->frame.data() + total, single, fragment.ValidLength);
        total += fragment.ValidLength;
    }
    a->received++;
    if (sink != nullptr && *sink)
        (*sink)(packet.FragmentCount > 1 ? q->frame.data() : single, total);
}

// What the driver handed back since the last check: checked, then counted as sent (transmit) or
// delivered with its buffers on their way back (receive). True when any index moved.
bool Collect(PacketQueue* q)
{
    if (q->broken || !IndexesValid(q, kPacket) || !IndexesValid(q, kFragment))
        return false;
    Adapter* a = q->adapter;
    NET_RING& packets = q->rings[kPacket];
    NET_RING& fragments = q->rings[kFragment];
    UINT32 packetBase = q->seenBegin[kPacket];
    UINT32 fragmentBase = q->seenBegin[kFragment];
    UINT32 packetsBack = NetRingGetRangeCount(&packets, packetBase, packets.BeginIndex);
    UINT32 fragmentsBack = NetRingGetRangeCount(&fragments, fragmentBase, fragments.BeginIndex);
    bool moved = packetsBack != 0 || fragmentsBack != 0 || packets.NextIndex != q->seenNext[kPacket] ||
                 fragments.NextIndex != q->seenNext[kFragment];
    // Fragments come back with their packets: each returned packet's fragments lie in the returned
    // range, and nothing else does (but for the Ignore packets a cancelled receive queue flushes).
    UINT32 owned = 0;
    for (UINT32 i = 0; i < packetsBack; i++) {
        const NET_PACKET& packet = q->packets[(packetBase + i) & packets.ElementIndexMask];
        if (packet.Ignore)
            continue;
        UINT32 offset = NetRingGetRangeCount(&fragments, fragmentBase, packet.FragmentIndex);
        if (packet.FragmentCount == 0 || offset + packet.FragmentCount > fragmentsBack) {
            Violation(q, "packet %u returned without its fragments %u+%u (fragments returned up to %u)",
                      (packetBase + i) & packets.ElementIndexMask, packet.FragmentIndex, packet.FragmentCount,
                      fragments.BeginIndex);
            return false;
        }
        owned += packet.FragmentCount;
    }
    if (owned != fragmentsBack && !(q->receive && q->cancelled && owned < fragmentsBack)) {
        Violation(q, "%u fragments returned with packets owning %u", fragmentsBack, owned);
        return false;
    }
    if (q->receive) {
        std::shared_ptr<std::function<void(const UCHAR*, size_t)>> sink;
        {
            std::lock_guard<std::mutex> guard(a->state);
            sink = a->sink;
        }
        for (UINT32 i = 0; i < packetsBack; i++) {
            const NET_PACKET& packet = q->packets[(packetBase + i) & packets.ElementIndexMask];
            if (!packet.Ignore)
                Deliver(q, packet, sink);
        }
        bool kick = false;
        {
            std::lock_guard<std::mutex> guard(a->state);
            for (UINT32 i = 0; i < fragmentsBack; i++) {
                UINT32 index = (fragmentBase + i) & fragments.ElementIndexMask;
                void* buffer = q->virtualAddresses[index].VirtualAddress;
                if (buffer == nullptr)
                    continue;
                RxReturn back{buffer, q->returnContexts[index].Handle};
                q->virtualAddresses[index].VirtualAddress = nullptr;
                q->returnContexts[index].Handle = nullptr;
                if (a->holdRx) {
                    a->held.push_back(back);
                } else {
                    a->returning.push_back(back);
                    kick = true;
                }
            }
        }
        if (kick)
            KickWorker(a);
    } else if (packetsBack != 0) {
        UINT32 sent = 0;
        for (UINT32 i = 0; i < packetsBack; i++)
            sent += q->packets[(packetBase + i) & packets.ElementIndexMask].Ignore ? 0 : 1;
        a->sent += sent;
        {
            std::lock_guard<std::mutex> guard(q->os);
            q->room += packetsBack;
        }
        KeSetEvent(&a->changed, IO_NO_INCREMENT, FALSE);
    }
    for (int which : {kPacket, kFragment}) {
        q->seenBegin[which] = q->rings[which].BeginIndex;
        q->seenNext[which] = q->rings[which].NextIndex;
    }
    return moved;
}

// The system's new work, right before an advance (q->os held): staged transmit packets, or every
// receive element the system owns (one kept back, so that a full ring differs from an empty one),
// blank, for the driver to attach its buffers to. True when EndIndex moved.
bool Post(PacketQueue* q)
{
    if (!q->receive) {
        if (q->staged == 0)
            return false;
        for (int which : {kPacket, kFragment}) {
            q->end[which] = NetRingAdvanceIndex(&q->rings[which], q->end[which], q->staged);
            q->rings[which].EndIndex = q->end[which];
        }
        q->staged = 0;
        return true;
    }
    bool moved = false;
    for (int which : {kPacket, kFragment}) {
        NET_RING& ring = q->rings[which];
        UINT32 last = (ring.BeginIndex - 1) & ring.ElementIndexMask;
        for (UINT32 index = q->end[which]; index != last; index = NetRingIncrementIndex(&ring, index)) {
            if (which == kPacket) {
                q->packets[index] = NET_PACKET{};
                q->checksums[index] = NET_PACKET_CHECKSUM{};
            } else {
                q->fragments[index] = NET_FRAGMENT{};
                q->virtualAddresses[index].VirtualAddress = nullptr;
                q->logicalAddresses[index].LogicalAddress = 0;
                q->returnContexts[index].Handle = nullptr;
            }
            moved = true;
        }
        q->end[which] = last;
        ring.EndIndex = last;
    }
    return moved;
}

// The queue's execution context: its callbacks, one at a time. Advances while there is work; with
// none, asks the driver for a notification and sleeps until it comes or the system has new work.
// Once cancelled, advances until the driver owns nothing, then ends (the teardown stops the queue).
void QueueMain(PVOID context)
{
    auto* q = static_cast<PacketQueue*>(context);
    NETPACKETQUEUE handle = q->Handle();
    LONGLONG cancelledAt = 0;
    for (;;) {
        bool cancel;
        bool posted = false;
        {
            std::lock_guard<std::mutex> guard(q->os);
            cancel = q->cancelRequested;
            if (!cancel)
                posted = Post(q);
        }
        if (cancel && !q->cancelled) {
            q->cancelled = true;
            cancelledAt = LONGLONG(KeQueryInterruptTime());
            if (!q->broken) {
                RunCallback(q, "EvtCancel", q->config.EvtCancel, handle);
                Collect(q);
            }
        }
        if (q->broken) {
            if (cancel)
                break;
            Wait(&q->wake, -1);
            continue;
        }
        if (cancel && DriverOwnsNothing(q))
            break;
        RunCallback(q, "EvtAdvance", q->config.EvtAdvance, handle);
        bool moved = Collect(q);
        if (q->broken)
            continue;
        if (cancel) {
            if (DriverOwnsNothing(q))
                break;
            if (LONGLONG(KeQueryInterruptTime()) - cancelledAt > kDrainBound) {
                Violation(q, "the driver kept %u packets %lld s after the queue was cancelled",
                          NetRingGetRangeCount(&q->rings[kPacket], q->rings[kPacket].BeginIndex, q->end[kPacket]),
                          static_cast<long long>(kDrainBound / 10000000));
                break;
            }
        }
        if (moved || posted)
            continue;
        if (!cancel) {
            std::lock_guard<std::mutex> guard(q->os);
            if (q->staged != 0 || q->cancelRequested)
                continue;
        }
        q->armed = true;
        RunCallback(q, "EvtSetNotificationEnabled", q->config.EvtSetNotificationEnabled, handle, BOOLEAN(TRUE));
        Wait(&q->wake, cancel ? kDrainStep : -1);
        q->armed = false;
        RunCallback(q, "EvtSetNotificationEnabled", q->config.EvtSetNotificationEnabled, handle, BOOLEAN(FALSE));
    }
}

template <typename Init>
NTSTATUS CreateQueue(Init* init, PWDF_OBJECT_ATTRIBUTES attributes, const NET_PACKET_QUEUE_CONFIG* config,
                     bool receive, NETPACKETQUEUE* queue, const void* caller)
{
    if (queue != nullptr)
        *queue = nullptr;
    if (init == nullptr || config == nullptr || queue == nullptr || config->Size != sizeof(*config) ||
        config->EvtAdvance == nullptr || config->EvtSetNotificationEnabled == nullptr || config->EvtCancel == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (init->created != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS injected = TakeInjected(receive ? host::net::Call::RxQueueCreate : host::net::Call::TxQueueCreate);
    if (!NT_SUCCESS(injected))
        return injected;
    Adapter* a = init->adapter;
    auto* q = new (std::nothrow) PacketQueue;
    if (q == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    q->adapter = a;
    q->receive = receive;
    q->config = *config;
    UINT32 size = RingSize(receive ? a->rx.FragmentRingNumberOfElementsHint : a->tx.FragmentRingNumberOfElementsHint);
    try {
        SetUpRing(&q->rings[kPacket], q->packets, size);
        SetUpRing(&q->rings[kFragment], q->fragments, size);
        q->checksums.assign(size, NET_PACKET_CHECKSUM{});
        q->virtualAddresses.assign(size, NET_FRAGMENT_VIRTUAL_ADDRESS{});
        q->logicalAddresses.assign(size, NET_FRAGMENT_LOGICAL_ADDRESS{});
        q->returnContexts.assign(size, NET_FRAGMENT_RETURN_CONTEXT{});
        if (receive)
            q->frame.resize(a->rx.MaximumFrameSize);
    } catch (const std::bad_alloc&) {
        delete q;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!receive) {
        // Transmit buffers live in non-paged pool, so a device may read them by their logical address.
        q->txSlot = (a->tx.PayloadBackfill + a->tx.MaximumFrameSize + 7) & ~size_t(7);
        q->txBuffers = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, q->txSlot * size, kTxBufferTag));
        if (q->txBuffers == nullptr) {
            delete q;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        q->room = size - 1;
    }
    q->collection.Rings[NetRingTypePacket] = &q->rings[kPacket];
    q->collection.Rings[NetRingTypeFragment] = &q->rings[kFragment];
    NTSTATUS status = fx::Publish(q, attributes, a, caller, queue);
    if (NT_SUCCESS(status))
        init->created = q;
    return status;
}

PacketQueue* QueueFrom(NETPACKETQUEUE handle, const char* api)
{
    return fx::As<PacketQueue>(handle, fx::Kind::NetPacketQueue, api);
}

void GetExtension(NETPACKETQUEUE handle, const NET_EXTENSION_QUERY* query, NET_EXTENSION* extension, const char* api)
{
    if (extension == nullptr)
        return;
    *extension = NET_EXTENSION{};
    PacketQueue* q = QueueFrom(handle, api);
    if (q == nullptr || query == nullptr || query->Size != sizeof(*query) || query->Name == nullptr ||
        query->Version != 1)
        return;
    std::u16string_view name(query->Name);
    auto offer = [&](NET_EXTENSION_TYPE type, std::u16string_view known, auto& storage) {
        if (query->Type != type || name != known)
            return;
        extension->Base = reinterpret_cast<unsigned char*>(storage.data());
        extension->Stride = sizeof(storage[0]);
        extension->Enabled = TRUE;
    };
    offer(NetExtensionTypeFragment, NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME, q->virtualAddresses);
    offer(NetExtensionTypeFragment, NET_FRAGMENT_EXTENSION_LOGICAL_ADDRESS_NAME, q->logicalAddresses);
    offer(NetExtensionTypePacket, NET_PACKET_EXTENSION_CHECKSUM_NAME, q->checksums);
    if (q->receive)
        offer(NetExtensionTypeFragment, NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_NAME, q->returnContexts);
}

void Notify(NETPACKETQUEUE handle, const char* api)
{
    PacketQueue* q = QueueFrom(handle, api);
    if (q == nullptr)
        return;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        host::VerifierReport(host::Check::InvalidIrql, "%s at IRQL %u", api, KeGetCurrentIrql());
    if (q->armed)
        KeSetEvent(&q->wake, IO_NO_INCREMENT, FALSE);
    else
        q->unarmedNotifies++;
}

NTSTATUS StartThread(PacketQueue* q)
{
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, QueueMain, q);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    ZwClose(thread);
    q->thread = static_cast<PKTHREAD>(object);
    return status;
}

void StopThread(PacketQueue* q)
{
    {
        std::lock_guard<std::mutex> guard(q->os);
        q->cancelRequested = true;
        q->adapter->dropped += q->staged;
        q->staged = 0;
    }
    KeSetEvent(&q->wake, IO_NO_INCREMENT, FALSE);
    if (q->thread != nullptr) {
        KeWaitForSingleObject(q->thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(q->thread);
        q->thread = nullptr;
    }
}

} // namespace

PacketQueue::~PacketQueue()
{
    if (txBuffers != nullptr)
        ExFreePoolWithTag(txBuffers, kTxBufferTag);
}

// A queue deleted while its data path still runs (its adapter deleted by other means than a removal)
// stops the data path first.
void PacketQueue::Dispose()
{
    bool live;
    {
        std::lock_guard<std::mutex> guard(adapter->state);
        live = adapter->txQueue == this || adapter->rxQueue == this;
    }
    if (live) {
        std::lock_guard<HostLock> control(adapter->control);
        TearDownDataPath(adapter, false);
    }
}

// One transmit and one receive queue (id 0 each) through the driver's callbacks, started, each with its
// execution context.
NTSTATUS CreateDataPath(Adapter* a)
{
    NETTXQUEUE_INIT txInit{a, 0, nullptr};
    NETRXQUEUE_INIT rxInit{a, 0, nullptr};
    NETADAPTER handle = a->Handle();
    NTSTATUS status = RunCallback(a, "EvtAdapterCreateTxQueue", a->datapath.EvtAdapterCreateTxQueue, handle, &txInit);
    if (NT_SUCCESS(status) && txInit.created == nullptr)
        status = STATUS_INVALID_DEVICE_STATE;
    if (NT_SUCCESS(status)) {
        status = RunCallback(a, "EvtAdapterCreateRxQueue", a->datapath.EvtAdapterCreateRxQueue, handle, &rxInit);
        if (NT_SUCCESS(status) && rxInit.created == nullptr)
            status = STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
        for (PacketQueue* q : {rxInit.created, txInit.created})
            if (q != nullptr)
                fx::Delete(q);
        std::lock_guard<std::mutex> guard(a->state);
        a->pathStatus = status;
        KeSetEvent(&a->changed, IO_NO_INCREMENT, FALSE);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(a->state);
        a->txQueue = txInit.created;
        a->rxQueue = rxInit.created;
        a->returning.reserve(a->rxQueue->fragments.size());
        a->held.reserve(a->rxQueue->fragments.size());
        a->returnBatch.reserve(a->rxQueue->fragments.size());
    }
    for (PacketQueue* q : {a->txQueue, a->rxQueue})
        RunCallback(q, "EvtStart", q->config.EvtStart, q->Handle());
    for (PacketQueue* q : {a->txQueue, a->rxQueue})
        if (NT_SUCCESS(status))
            status = StartThread(q);
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(a->state);
            a->running = true; // so that the teardown takes what was made apart
        }
        TearDownDataPath(a, true);
        std::lock_guard<std::mutex> guard(a->state);
        a->pathStatus = status;
        return status;
    }
    a->creations++;
    std::lock_guard<std::mutex> guard(a->state);
    a->running = true;
    a->pathStatus = STATUS_SUCCESS;
    KeSetEvent(&a->changed, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

// Cancel, then advances until the driver gave everything back (both queues at once), then stop, then
// (unless the queues are being deleted already) the queue objects deleted.
void TearDownDataPath(Adapter* a, bool deleteQueues)
{
    PacketQueue* tx;
    PacketQueue* rx;
    {
        std::lock_guard<std::mutex> guard(a->state);
        if (!a->running)
            return;
        a->running = false;
        tx = a->txQueue;
        rx = a->rxQueue;
    }
    KeSetEvent(&a->changed, IO_NO_INCREMENT, FALSE);
    for (PacketQueue* q : {tx, rx}) {
        std::lock_guard<std::mutex> guard(q->os);
        q->cancelRequested = true;
        KeSetEvent(&q->wake, IO_NO_INCREMENT, FALSE);
    }
    for (PacketQueue* q : {tx, rx})
        StopThread(q);
    for (PacketQueue* q : {tx, rx})
        RunCallback(q, "EvtStop", q->config.EvtStop, q->Handle());
    {
        std::lock_guard<std::mutex> guard(a->state);
        a->txQueue = nullptr;
        a->rxQueue = nullptr;
    }
    if (deleteQueues)
        for (PacketQueue* q : {rx, tx})
            fx::Delete(q);
}

void KickWorker(Adapter* a)
{
    std::lock_guard<std::mutex> guard(a->state);
    if (a->workQueued)
        return;
    a->workQueued = true;
    KeClearEvent(&a->workIdle);
    host::WorkQueue(&a->work.item);
}

// The class extension's thread of an adapter: the data path's first creation after a start in D0, and
// the receive buffers the system is done with, back to the driver in the order they were let go.
void WorkerRoutine(host::WorkItem* item)
{
    Adapter* a = fx::OwnedWork<Adapter>::From(item);
    bool create;
    {
        std::lock_guard<std::mutex> guard(a->state);
        create = a->createDue;
        a->createDue = false;
    }
    if (create) {
        std::lock_guard<HostLock> control(a->control);
        bool inD0;
        {
            std::lock_guard<std::mutex> guard(a->binding->lock);
            inD0 = a->binding->inD0;
        }
        bool due;
        {
            std::lock_guard<std::mutex> guard(a->state);
            due = a->started && !a->removed && !a->running;
        }
        if (inD0 && due)
            CreateDataPath(a);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(a->state);
            a->returnBatch.swap(a->returning);
            if (a->returnBatch.empty() && !a->createDue) {
                a->workQueued = false;
                KeSetEvent(&a->workIdle, IO_NO_INCREMENT, FALSE);
                return;
            }
        }
        for (const RxReturn& back : a->returnBatch)
            RunCallback(a, "EvtAdapterReturnRxBuffer", a->rx.EvtAdapterReturnRxBuffer, a->Handle(), back.buffer,
                        back.context);
        a->returnBatch.clear();
        std::lock_guard<std::mutex> guard(a->state);
        if (a->rxQueue != nullptr)
            KeSetEvent(&a->rxQueue->wake, IO_NO_INCREMENT, FALSE); // the driver may post again
    }
}

void ReturnAllRxBuffers(Adapter* a)
{
    bool kick;
    {
        std::lock_guard<std::mutex> guard(a->state);
        a->holdRx = false;
        a->returning.insert(a->returning.end(), a->held.begin(), a->held.end());
        a->held.clear();
        kick = !a->returning.empty();
    }
    if (kick)
        KickWorker(a);
    // The worker signals idle under the state lock: taking the lock afterwards waits until it let go,
    // so that the adapter may be freed once this returns.
    for (;;) {
        KeWaitForSingleObject(&a->workIdle, Executive, KernelMode, FALSE, nullptr);
        std::lock_guard<std::mutex> guard(a->state);
        if (!a->workQueued)
            break;
    }
}

} // namespace netadapter

using namespace netadapter;

namespace netcx
{

// Waits (holding a power reference, so a device idling in D3 comes back) until the transmit queue
// runs and has room, then writes the packet behind the backfill of the next free slot.
NTSTATUS Transmit(NETADAPTER handle, const void* data, size_t length)
{
    Adapter* a = AdapterFrom(handle, "netcx::Transmit");
    if (a == nullptr)
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(a->state);
        if (!a->started || a->removed)
            return STATUS_INVALID_DEVICE_STATE;
    }
    if (data == nullptr || length == 0 || length > a->tx.MaximumFrameSize)
        return STATUS_INVALID_PARAMETER;
    WDFDEVICE device = a->device->Handle();
    NTSTATUS status = WdfDeviceStopIdle(device, TRUE);
    if (!NT_SUCCESS(status))
        return status;
    for (;;) {
        bool done = false;
        {
            std::lock_guard<std::mutex> guard(a->state);
            if (a->removed) {
                status = STATUS_INVALID_DEVICE_STATE;
                done = true;
            } else if (a->running) {
                PacketQueue* q = a->txQueue;
                std::lock_guard<std::mutex> queueGuard(q->os);
                if (!q->cancelRequested && q->room != 0) {
                    UINT32 packet = NetRingAdvanceIndex(&q->rings[kPacket], q->end[kPacket], q->staged);
                    UINT32 fragment = NetRingAdvanceIndex(&q->rings[kFragment], q->end[kFragment], q->staged);
                    UCHAR* slot = q->txBuffers + size_t(fragment) * q->txSlot;
                    memcpy(slot + a->tx.PayloadBackfill, data, length);
                    NET_FRAGMENT& f = q->fragments[fragment];
                    f = NET_FRAGMENT{};
                    f.ValidLength = a->tx.PayloadBackfill + length;
                    f.Capacity = q->txSlot;
                    q->virtualAddresses[fragment].VirtualAddress = slot;
                    q->logicalAddresses[fragment].LogicalAddress = UINT64(MmGetPhysicalAddress(slot).QuadPart);
                    NET_PACKET& p = q->packets[packet];
                    p = NET_PACKET{};
                    p.FragmentIndex = fragment;
                    p.FragmentCount = 1;
                    q->checksums[packet] = NET_PACKET_CHECKSUM{};
                    q->staged++;
                    q->room--;
                    KeSetEvent(&q->wake, IO_NO_INCREMENT, FALSE);
                    status = STATUS_SUCCESS;
                    done = true;
                }
            } else if (!NT_SUCCESS(a->pathStatus)) {
                status = a->pathStatus;
                done = true;
            }
        }
        if (done)
            break;
        Wait(&a->changed, kTransmitPoll);
    }
    WdfDeviceResumeIdle(device);
    return status;
}

void SetReceiveSink(NETADAPTER handle, std::function<void(const UCHAR*, size_t)> sink)
{
    Adapter* a = AdapterFrom(handle, "netcx::SetReceiveSink");
    if (a == nullptr)
        return;
    auto shared = sink ? std::make_shared<std::function<void(const UCHAR*, size_t)>>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> guard(a->state);
    a->sink = std::move(shared);
}

} // namespace netcx

extern "C" {

ULONG NetTxQueueInitGetQueueId(NETTXQUEUE_INIT* QueueInit)
{
    return QueueInit == nullptr ? 0 : QueueInit->id;
}

NTSTATUS NetTxQueueCreate(NETTXQUEUE_INIT* QueueInit, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          const NET_PACKET_QUEUE_CONFIG* Configuration, NETPACKETQUEUE* PacketQueue)
{
    return CreateQueue(QueueInit, QueueAttributes, Configuration, false, PacketQueue, _ReturnAddress());
}

const NET_RING_COLLECTION* NetTxQueueGetRingCollection(NETPACKETQUEUE PacketQueue)
{
    auto* q = QueueFrom(PacketQueue, "NetTxQueueGetRingCollection");
    return q == nullptr ? nullptr : &q->collection;
}

void NetTxQueueGetExtension(NETPACKETQUEUE PacketQueue, const NET_EXTENSION_QUERY* Query, NET_EXTENSION* Extension)
{
    GetExtension(PacketQueue, Query, Extension, "NetTxQueueGetExtension");
}

void NetTxQueueNotifyMoreCompletedPacketsAvailable(NETPACKETQUEUE PacketQueue)
{
    Notify(PacketQueue, "NetTxQueueNotifyMoreCompletedPacketsAvailable");
}

ULONG NetRxQueueInitGetQueueId(NETRXQUEUE_INIT* QueueInit)
{
    return QueueInit == nullptr ? 0 : QueueInit->id;
}

NTSTATUS NetRxQueueCreate(NETRXQUEUE_INIT* QueueInit, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          const NET_PACKET_QUEUE_CONFIG* Configuration, NETPACKETQUEUE* PacketQueue)
{
    return CreateQueue(QueueInit, QueueAttributes, Configuration, true, PacketQueue, _ReturnAddress());
}

const NET_RING_COLLECTION* NetRxQueueGetRingCollection(NETPACKETQUEUE PacketQueue)
{
    auto* q = QueueFrom(PacketQueue, "NetRxQueueGetRingCollection");
    return q == nullptr ? nullptr : &q->collection;
}

void NetRxQueueGetExtension(NETPACKETQUEUE PacketQueue, const NET_EXTENSION_QUERY* Query, NET_EXTENSION* Extension)
{
    GetExtension(PacketQueue, Query, Extension, "NetRxQueueGetExtension");
}

void NetRxQueueNotifyMoreReceivedPacketsAvailable(NETPACKETQUEUE PacketQueue)
{
    Notify(PacketQueue, "NetRxQueueNotifyMoreReceivedPacketsAvailable");
}

} // extern "C"
