// The DPMAIF transmit path: chains of the ccmni layer queued per transmit queue, written into the
// queue's DRB ring by the push thread under the PCIe resource lock, and released once the engine has
// read them, the packets going back to the network adapter.
#include "dpmaif.h"

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "ccci_fsm.h"
#include "ccmni.h"
#include "pcie_pm.h"

#include <initializer_list>

#define DPMAIF_TX_FILL_ROUNDS 5
#define DPMAIF_TX_SAMPLE_EVERY 5
#define DPMAIF_TX_STALL_ROUNDS 1000000u
#define DPMAIF_TX_STALL_TIME (10ull * 10000000ull) // 10 s in 100 ns units
#define DPMAIF_TX_STOP_POLLS 1000000
#define DPMAIF_TX_RETRY_US 10

#define DRB_SHADOW_SLOT 0x1FFFu
#define DRB_SHADOW_MESSAGE 0x2000u
#define DRB_SHADOW_FRAGMENT 0x4000u
#define DRB_SHADOW_LAST 0x8000u

namespace
{

// The transmit flow-control notices, when the ccmni layer asked for them.
void tx_flow_ctrl(struct dpmaif_hif* instance, u32 kind, u8 q)
{
    if (instance->ccmni != NULL && (instance->ccmni->capabilities & CCMNI_CAP_FLOW_CTRL) != 0)
        dpmaif_flow_ctrl_notify(instance, kind, DPMAIF_FLOW_TX, q);
}

// Descriptor word 0: bit 0 message, bit 2 more descriptors of this packet follow, bits 16-31 length.
#define DRB_W0_MESSAGE 0x1u
#define DRB_W0_MORE 0x4u
#define DRB_W1_MESSAGE_FIXED 0x20000000u

u16 ring_next(const struct dpmaif_txq* txq, u32 idx, u32 step)
{
    idx += step;
    return (u16)(idx >= txq->drb_length ? idx - txq->drb_length : idx);
}

u32 ring_distance(const struct dpmaif_txq* txq, u32 from, u32 to)
{
    return to >= from ? to - from : txq->drb_length - from + to;
}

// Whole words: bits a slot held from an earlier use never show through.
void write_drb(struct dpmaif_drb* drb, u32 w0, u32 w1, u32 w2)
{
    drb->word[0] = w0;
    drb->word[1] = w1;
    drb->word[2] = w2;
    drb->word[3] = 0;
}

u32 descriptors_of(const struct sk_buff* skb)
{
    return 2u + skb->nr_frags;
}

// Completes a chain (linked through chain_next) as dropped.
void complete_chain(struct sk_buff* first)
{
    if (first != NULL)
        WwanTx_IndicateCompletions(first);
}

// Takes the first pending chain off the list; none when the list is empty.
struct dpmaif_tx_cb* pending_pop(struct dpmaif_txq* txq)
{
    struct dpmaif_tx_cb* cb = NULL;
    WdfSpinLockAcquire(txq->list_lock);
    if (!IsListEmpty(&txq->pending)) {
        cb = CONTAINING_RECORD(RemoveHeadList(&txq->pending), struct dpmaif_tx_cb, links);
        txq->pending_count--;
    }
    WdfSpinLockRelease(txq->list_lock);
    return cb;
}

struct dpmaif_tx_cb* pending_peek(struct dpmaif_txq* txq)
{
    struct dpmaif_tx_cb* cb = NULL;
    WdfSpinLockAcquire(txq->list_lock);
    if (!IsListEmpty(&txq->pending))
        cb = CONTAINING_RECORD(txq->pending.Flink, struct dpmaif_tx_cb, links);
    WdfSpinLockRelease(txq->list_lock);
    return cb;
}

bool has_pending(struct dpmaif_txq* txq)
{
    return txq->list_lock != NULL && pending_peek(txq) != NULL;
}

bool any_pending(struct dpmaif_hif* instance)
{
    for (struct dpmaif_txq& txq : instance->txq)
        if (has_pending(&txq))
            return true;
    return false;
}

bool started(const struct dpmaif_hif* instance)
{
    return dpmaif_is_started(instance);
}

// Chains still waiting go back to the adapter as dropped (as the ring's packets, only let go during a
// device reset, which reclaims the adapter's packets itself).
void drop_pending(struct dpmaif_txq* txq, bool complete)
{
    if (txq->list_lock == NULL)
        return;
    for (struct dpmaif_tx_cb* cb = pending_pop(txq); cb != NULL; cb = pending_pop(txq)) {
        ccci_info(DATA_TAG, "txq %u: pending chain of %u packets dropped", txq->index, cb->request.packets);
        if (complete)
            complete_chain(cb->skb);
    }
}

// Packets whose last piece the ring still holds: completed, or only let go during a device reset.
void drop_held(struct dpmaif_txq* txq, bool complete)
{
    if (txq->shadow == NULL)
        return;
    struct sk_buff* first = NULL;
    struct sk_buff** tail = &first;
    for (u32 slot = 0; slot < txq->drb_length; slot++) {
        struct dpmaif_drb_shadow* shadow = &txq->shadow[slot];
        if (complete && shadow->skb != NULL && (shadow->flags & DRB_SHADOW_LAST) != 0) {
            shadow->skb->chain_next = NULL;
            *tail = shadow->skb;
            tail = &shadow->skb->chain_next;
        }
        shadow->skb = NULL;
    }
    complete_chain(first);
}

// The stall watch of the push thread for one queue; true when the engine stopped reading.
bool stalled(struct dpmaif_hif* instance, struct dpmaif_txq* txq)
{
    struct dpmaif_tx_watch* watch = &instance->tx_watch[txq->index];
    WdfSpinLockAcquire(txq->drb_lock);
    const u16 hw_rd = txq->hw_rd_idx;
    const u16 wr = txq->wr_idx;
    WdfSpinLockRelease(txq->drb_lock);
    if (hw_rd != watch->hw_rd_idx) {
        watch->hw_rd_idx = hw_rd;
        watch->rounds = 0;
        return false;
    }
    const ULONGLONG now = KeQueryInterruptTime();
    if (watch->rounds++ == 0) {
        watch->since = now;
        watch->wr_idx = wr;
    }
    if (watch->rounds < DPMAIF_TX_STALL_ROUNDS && (wr == watch->wr_idx || now - watch->since < DPMAIF_TX_STALL_TIME))
        return false;
    ccci_err(DATA_TAG, "txq %u: engine stalled at %u for %llu ms", txq->index, hw_rd,
             (unsigned long long)((now - watch->since) / 10000));
    return true;
}

// Picks the queue to serve: 1 and 0 in turn, the other one when the pick has nothing; none ends the pass.
struct dpmaif_txq* pick_queue(struct dpmaif_hif* instance)
{
    const u8 first = (instance->tx_round_robin++ & 1) == 0 ? 1 : 0;
    struct dpmaif_txq* txq = &instance->txq[first];
    if (!txq->enabled)
        return NULL;
    if (has_pending(txq))
        return txq;
    txq = &instance->txq[first ^ 1];
    return txq->enabled && has_pending(txq) ? txq : NULL;
}

void tell_hardware(struct dpmaif_hif* instance, struct dpmaif_txq* txq, int n)
{
    if (!instance->tx_lock_waited) {
        mdm_dev_pci_resource_wait(instance->dev, instance->lock_user);
        instance->tx_lock_waited = 1;
    }
    if (dpmaif_hw_ul_add_drb_cnt(&instance->hw, txq->index, (u32)n * 4u) == 0)
        return;
    ccci_err(DATA_TAG, "txq %u: add count of %d descriptors failed", txq->index, n);
    if (ccci_fsm_get_md_state(0) == MD_STATE_READY)
        DPMAIF_ASSERT(instance);
    instance->tx_stalled = 1;
    fsm_report("WARM_RESET");
}

} // namespace

struct dpmaif_tx_cb* dpmaif_tx_cb_of(struct sk_buff* skb)
{
    return reinterpret_cast<struct dpmaif_tx_cb*>(&skb->csum_state);
}

int dpmaif_txq_init(struct dpmaif_hif* instance, u8 q)
{
    struct dpmaif_txq* txq = &instance->txq[q];
    RtlZeroMemory(txq, sizeof(*txq));
    txq->index = q;
    txq->instance = instance;
    txq->pending_max = DPMAIF_TX_PENDING_MAX;
    txq->drb_length = DPMAIF_DRB_LENGTH;
    InterlockedExchange(&txq->drb_free, DPMAIF_DRB_LENGTH);
    InitializeListHead(&txq->pending);
    KeInitializeEvent(&txq->event, NotificationEvent, FALSE);
    txq->drb = static_cast<struct dpmaif_drb*>(dma_alloc_coherent(
        instance->dma_dev, txq->drb_length * sizeof(struct dpmaif_drb), &txq->drb_dma, 0, DPMAIF_POOL_TAG));
    txq->shadow = static_cast<struct dpmaif_drb_shadow*>(
        win_zalloc(txq->drb_length * sizeof(struct dpmaif_drb_shadow), 0, DPMAIF_POOL_TAG));
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = IpcGetCurrentDevice(NULL);
    if (txq->drb == NULL || txq->shadow == NULL || !NT_SUCCESS(WdfSpinLockCreate(&attributes, &txq->drb_lock)) ||
        !NT_SUCCESS(WdfSpinLockCreate(&attributes, &txq->list_lock)) ||
        !NT_SUCCESS(win_create_timer_ctx(&txq->done_timer, dpmaif_tx_done, true, txq))) {
        ccci_err(DATA_TAG, "txq %u not set up", q);
        dpmaif_txq_exit(instance, q);
        return -1;
    }
    return 0;
}

void dpmaif_txq_exit(struct dpmaif_hif* instance, u8 q)
{
    struct dpmaif_txq* txq = &instance->txq[q];
    InterlockedExchange(&txq->enabled, 0);
    if (txq->done_timer != NULL)
        win_delete_timer(&txq->done_timer);
    const bool complete = !Mbb_IsResetInProgress();
    drop_pending(txq, complete);
    drop_held(txq, complete);
    if (txq->shadow != NULL)
        win_free(txq->shadow, DPMAIF_POOL_TAG);
    if (txq->drb != NULL)
        dma_free_coherent(instance->dma_dev, txq->drb_length * sizeof(struct dpmaif_drb), txq->drb, txq->drb_dma, 0,
                          DPMAIF_POOL_TAG);
    for (WDFSPINLOCK* lock : {&txq->drb_lock, &txq->list_lock})
        if (*lock != NULL)
            WdfObjectDelete(*lock);
    RtlZeroMemory(txq, sizeof(*txq));
}

void dpmaif_tx_disable(struct dpmaif_hif* instance)
{
    for (struct dpmaif_txq& txq : instance->txq) {
        InterlockedExchange(&txq.enabled, 0);
        int poll = 0;
        for (; poll < DPMAIF_TX_STOP_POLLS && ReadNoFence(&txq.filling) != 0; poll++)
            KeStallExecutionProcessor(1);
        if (poll == DPMAIF_TX_STOP_POLLS)
            ccci_err(DATA_TAG, "txq %u still filling", txq.index);
    }
}

void dpmaif_tx_stop(struct dpmaif_hif* instance)
{
    dpmaif_tx_disable(instance);
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    const bool reset = Mbb_IsResetInProgress() != FALSE;
    for (struct dpmaif_txq& txq : instance->txq) {
        if (txq.done_timer != NULL)
            WdfTimerStop(txq.done_timer, passive ? TRUE : FALSE);
        drop_pending(&txq, !reset);
        drop_held(&txq, !reset);
        if (txq.drb != NULL)
            RtlZeroMemory(txq.drb, txq.drb_length * sizeof(struct dpmaif_drb));
        if (txq.shadow != NULL)
            RtlZeroMemory(txq.shadow, txq.drb_length * sizeof(struct dpmaif_drb_shadow));
        txq.wr_idx = txq.hw_rd_idx = txq.rel_idx = 0;
        InterlockedExchange(&txq.drb_free, (LONG)txq.drb_length);
        RtlZeroMemory(&instance->tx_watch[txq.index], sizeof(instance->tx_watch[txq.index]));
    }
}

u32 dpmaif_tx_free_drb(struct dpmaif_txq* txq)
{
    u32 w = txq->wr_idx;
    u32 r = txq->rel_idx;
    return w < r ? r - w - 1 : txq->drb_length - 1 - w + r;
}

int dpmaif_tx_send_skb(u8 hif_id, struct dpmaif_hif* instance, u8 q, struct sk_buff* skb, int spare,
                       struct ccmni_tx_request* request)
{
    UNREFERENCED_PARAMETER(hif_id);
    UNREFERENCED_PARAMETER(spare);
    if (request != NULL)
        request->returned = skb;
    if (instance == NULL) {
        DPMAIF_ASSERT(instance);
        return -309;
    }
    if (q >= DPMAIF_TXQ_NUM) {
        DPMAIF_ASSERT(instance);
        return -321;
    }
    struct dpmaif_txq* txq = &instance->txq[q];
    // The ring is written from the chain itself: every packet must carry its header, and the chain
    // must need what the request announces.
    u32 needed = 0;
    u32 packets = 0;
    bool bad = skb == NULL || request == NULL || txq->list_lock == NULL;
    for (struct sk_buff* p = skb; !bad && p != NULL; p = p->chain_next) {
        needed += descriptors_of(p);
        packets++;
        bad = p->len < DPMAIF_TX_HEADER_SIZE || p->len - DPMAIF_TX_HEADER_SIZE > 0xFFFFu ||
              skb_headlen(p) < DPMAIF_TX_HEADER_SIZE || p->nr_frags > MAX_SKB_FRAGS;
    }
    if (!bad)
        bad = packets != request->packets || needed != 2 * request->packets + request->fragments ||
              needed >= txq->drb_length;
    if (bad) {
        ccci_err(DATA_TAG, "txq %u: bad chain refused", q);
        KeSetEvent(&instance->tx_push_event, 0, FALSE);
        return -16;
    }

    bool room = true;
    if ((u32)(InterlockedIncrement(&txq->send_count) - 1) % DPMAIF_TX_SAMPLE_EVERY == 0) {
        WdfSpinLockAcquire(txq->drb_lock);
        room = dpmaif_tx_free_drb(txq) != 0;
        WdfSpinLockRelease(txq->drb_lock);
    }
    int result = -16;
    WdfSpinLockAcquire(txq->list_lock);
    const u32 pending = txq->pending_count;
    if (room && pending < txq->pending_max) {
        struct dpmaif_tx_cb* cb = dpmaif_tx_cb_of(skb);
        cb->queue = q;
        cb->needed = needed;
        cb->skb = skb;
        cb->request = *request;
        InsertTailList(&txq->pending, &cb->links);
        txq->pending_count++;
        request->returned = NULL;
        result = 0;
    }
    WdfSpinLockRelease(txq->list_lock);
    if (result != 0) {
        ccci_info(DATA_TAG, "txq %u full: %u chains pending", q, pending);
        tx_flow_ctrl(instance, DPMAIF_FLOW_TX_FULL, q);
    }
    KeSetEvent(&instance->tx_push_event, 0, FALSE);
    return result;
}

void dpmaif_tx_set_drb_skb(struct dpmaif_hif* instance, u8 q, u16 slot, struct sk_buff* skb, bool message,
                           bool fragment, bool last, u64 address, u16 length)
{
    struct dpmaif_drb_shadow* shadow = &instance->txq[q].shadow[slot];
    shadow->skb = skb;
    shadow->dma = address;
    shadow->length = length;
    shadow->flags = (u16)((slot & DRB_SHADOW_SLOT) | (message ? DRB_SHADOW_MESSAGE : 0) |
                          (fragment ? DRB_SHADOW_FRAGMENT : 0) | (last ? DRB_SHADOW_LAST : 0));
}

int dpmaif_tx_fill_drb(struct dpmaif_hif* instance, struct dpmaif_tx_cb* cb, struct ccmni_tx_request* request)
{
    struct dpmaif_txq* txq = &instance->txq[cb->queue];
    InterlockedExchange(&txq->filling, 1);
    if (!txq->enabled || !started(instance)) {
        request->returned = cb->skb;
        InterlockedExchange(&txq->filling, 0);
        return -322;
    }
    struct sk_buff* skb = cb->skb;
    while (skb != NULL) {
        // The completion path links finished packets through chain_next: take the next one first.
        struct sk_buff* next = skb->chain_next;
        u8 header[DPMAIF_TX_HEADER_SIZE];
        RtlCopyMemory(header, skb->data, sizeof(header));
        skb_pull(skb, DPMAIF_TX_HEADER_SIZE);
        skb->tx_flags |= DPMAIF_TX_HEADER_REMOVED;
        const u32 pieces = 1u + skb->nr_frags;

        WdfSpinLockAcquire(txq->drb_lock);
        u16 slot = txq->wr_idx;
        txq->wr_idx = ring_next(txq, slot, pieces + 1);
        write_drb(&txq->drb[slot], DRB_W0_MESSAGE | DRB_W0_MORE | skb->len << 16,
                  DRB_W1_MESSAGE_FIXED | (u32)header[0] << 16, 0);
        dpmaif_tx_set_drb_skb(instance, cb->queue, slot, skb, true, false, false, 0, 0);
        WdfSpinLockRelease(txq->drb_lock);

        for (u32 j = 0; j < pieces; j++) {
            slot = ring_next(txq, slot, 1);
            void* data = j == 0 ? skb->data
                                : static_cast<u8*>(skb->frags[j - 1].page) + skb->frags[j - 1].page_offset;
            const u32 length = j == 0 ? skb_headlen(skb) : skb_frag_size(&skb->frags[j - 1]);
            const u64 address = (u64)MmGetPhysicalAddress(data).QuadPart;
            const bool last = j + 1 == pieces;
            WdfSpinLockAcquire(txq->drb_lock);
            write_drb(&txq->drb[slot], (last ? 0 : DRB_W0_MORE) | length << 16, (u32)address, (u32)(address >> 32));
            dpmaif_tx_set_drb_skb(instance, cb->queue, slot, skb, false, j > 0, last, address, (u16)length);
            WdfSpinLockRelease(txq->drb_lock);
        }
        skb = next;
    }
    InterlockedAdd(&txq->drb_free, -(LONG)(request->fragments + 2 * request->packets));
    InterlockedExchange(&txq->filling, 0);
    return 0;
}

int dpmaif_tx_fill(struct dpmaif_txq* txq)
{
    struct dpmaif_hif* instance = txq->instance;
    WdfSpinLockAcquire(txq->drb_lock);
    u32 free = dpmaif_tx_free_drb(txq);
    WdfSpinLockRelease(txq->drb_lock);
    int result = 0;
    bool room_found = false;
    for (int round = 0; round < DPMAIF_TX_FILL_ROUNDS; round++) {
        struct dpmaif_tx_cb* cb = pending_peek(txq);
        if (cb == NULL)
            break;
        if (cb->needed > free) {
            WdfSpinLockAcquire(txq->drb_lock);
            free = dpmaif_tx_free_drb(txq);
            WdfSpinLockRelease(txq->drb_lock);
            continue;
        }
        room_found = true;
        // Only the push thread takes chains off the list, so the one looked at is still first.
        cb = pending_pop(txq);
        if (dpmaif_tx_fill_drb(instance, cb, &cb->request) != 0) {
            ccci_err(DATA_TAG, "txq %u: chain not written, dropped", txq->index);
            complete_chain(cb->skb);
            break;
        }
        free -= cb->needed;
        result += (int)cb->needed;
    }
    if (result == 0) {
        if (!room_found && pending_peek(txq) != NULL) {
            txq->busy = 1;
            return -11;
        }
        return 0;
    }
    txq->busy = 0;
    return result;
}

bool dpmaif_tx_push_serve(struct dpmaif_hif* instance)
{
    // Only a lock still on its way to being granted is waited for, before the first announcement.
    instance->tx_lock_waited = __mdm_dev_pci_resource_lock(instance->dev, instance->lock_user) != 1;
    instance->tx_round_robin = 0;
    bool end = false;
    while (any_pending(instance) && !IpcShouldTerminateThreads(NULL) && started(instance)) {
        struct dpmaif_txq* txq = pick_queue(instance);
        if (txq == NULL)
            continue;
        if (Mbb_IsResetInProgress()) {
            // Ends with the lock given back: a held lock would keep the link awake after the reset.
            end = true;
            break;
        }
        if (stalled(instance, txq)) {
            instance->tx_stalled = 1;
            fsm_report("WARM_RESET");
        }
        const int n = dpmaif_tx_fill(txq);
        if (n > 0) {
            if (!instance->tx_stalled)
                tell_hardware(instance, txq, n);
            continue;
        }
        bool waiting_room = true;
        for (struct dpmaif_txq& other : instance->txq)
            if (has_pending(&other) && !other.busy)
                waiting_room = false;
        if (waiting_room)
            KeStallExecutionProcessor(DPMAIF_TX_RETRY_US);
    }
    mdm_dev_pci_resource_release(instance->dev, instance->lock_user);
    return end || IpcShouldTerminateThreads(NULL);
}

void dpmaif_tx_hw_push_thread(PVOID context)
{
    struct dpmaif_hif* instance = static_cast<struct dpmaif_hif*>(context);
    KeSetBasePriorityThread(KeGetCurrentThread(), 16);
    KeSetPriorityThread(KeGetCurrentThread(), 16);
    for (;;) {
        if (!any_pending(instance) || !started(instance))
            (void)win_wait_interruptible(&instance->tx_push_event);
        KeClearEvent(&instance->tx_push_event);
        if (IpcShouldTerminateThreads(NULL))
            break;
        if (!any_pending(instance) || !started(instance))
            continue;
        if (dpmaif_tx_push_serve(instance))
            break;
    }
    ccci_info(DATA_TAG, "transmit push thread ends");
}

u32 dpmaif_tx_update_rd(struct dpmaif_hif* instance, u8 q)
{
    struct dpmaif_txq* txq = &instance->txq[q];
    if (!txq->enabled)
        return 0;
    // The invalid mark is checked on the raw field: in slots it would read as an index past the ring.
    const u32 raw = dpmaif_hw_get_drb_rd_idx(&instance->hw, q);
    if (raw == DPMAIF_DRB_RD_INVALID) {
        ccci_err(DATA_TAG, "txq %u: read index invalid", q);
        return DPMAIF_DRB_RD_INVALID;
    }
    const u32 index = raw / 4;
    if (index >= txq->drb_length) {
        ccci_err(DATA_TAG, "txq %u: read index %u out of range", q, index);
        return 0;
    }
    WdfSpinLockAcquire(txq->drb_lock);
    const u32 count = ring_distance(txq, txq->hw_rd_idx, index);
    txq->hw_rd_idx = (u16)index;
    WdfSpinLockRelease(txq->drb_lock);
    return count;
}

u32 dpmaif_release_tx_buffer(struct dpmaif_hif* instance, u8 q, u32 count)
{
    struct dpmaif_txq* txq = &instance->txq[q];
    struct sk_buff* first = NULL;
    struct sk_buff** tail = &first;
    u32 released = 0;
    bool more = false;
    for (; released < count; released++) {
        const u16 slot = txq->rel_idx;
        struct dpmaif_drb* drb = &txq->drb[slot];
        struct dpmaif_drb_shadow* shadow = &txq->shadow[slot];
        const u32 w0 = drb->word[0];
        more = (w0 & DRB_W0_MORE) != 0;
        if ((w0 & 3u) != 0) {
            txq->last_channel = reinterpret_cast<const u8*>(drb)[6];
        } else if (!more) {
            if (shadow->skb != NULL) {
                shadow->skb->chain_next = NULL;
                *tail = shadow->skb;
                tail = &shadow->skb->chain_next;
            } else {
                // Released all the same: stopping here would bring the done timer back to this slot for ever.
                ccci_err(DATA_TAG, "txq %u: last piece at %u without a packet", q, slot);
                DPMAIF_ASSERT(instance);
            }
        }
        shadow->skb = NULL;
        WdfSpinLockAcquire(txq->drb_lock);
        txq->rel_idx = ring_next(txq, slot, 1);
        WdfSpinLockRelease(txq->drb_lock);
        if ((u32)InterlockedIncrement(&txq->drb_free) > txq->drb_length / 8)
            tx_flow_ctrl(instance, DPMAIF_FLOW_TX_RESUME, q);
    }
    if (released != 0 && more)
        ccci_info(DATA_TAG, "txq %u: release ends inside a packet at %u", q, txq->rel_idx);
    complete_chain(first);
    return released;
}

int dpmaif_tx_release(struct dpmaif_hif* instance, u8 q, u32 budget)
{
    if (dpmaif_tx_update_rd(instance, q) == DPMAIF_DRB_RD_INVALID)
        return 3;
    struct dpmaif_txq* txq = &instance->txq[q];
    WdfSpinLockAcquire(txq->drb_lock);
    const u32 gap = ring_distance(txq, txq->rel_idx, txq->hw_rd_idx);
    WdfSpinLockRelease(txq->drb_lock);
    const u32 limit = budget != 0 && budget < gap ? budget : gap;
    if (limit == 0)
        return 1;
    return dpmaif_release_tx_buffer(instance, q, limit) >= gap ? 1 : 0;
}

void dpmaif_tx_done(WDFTIMER timer)
{
    PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(timer);
    struct dpmaif_txq* txq = context != NULL ? static_cast<struct dpmaif_txq*>(context->data) : NULL;
    if (txq == NULL || txq->instance == NULL)
        return;
    struct dpmaif_hif* instance = txq->instance;
    const int r = dpmaif_tx_release(instance, txq->index, txq->drb_length);
    if (r == 3) {
        DPMAIF_ASSERT(instance);
        fsm_report("WARM_RESET");
        return;
    }
    if (r == 0 ||
        (dpmaif_hw_ul_done_ack(&instance->hw, txq->index) != 0 && dpmaif_tx_update_rd(instance, txq->index) != 0)) {
        WdfTimerStart(txq->done_timer, 0);
        dpmaif_hw_dl_status_refresh(&instance->hw);
        return;
    }
    dpmaif_hw_dl_status_refresh(&instance->hw);
    dpmaif_hw_ul_unmask(&instance->hw, txq->index);
}
