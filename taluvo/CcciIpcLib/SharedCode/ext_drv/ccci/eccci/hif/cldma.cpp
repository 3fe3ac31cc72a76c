// CLDMA engine, data side: queue configuration, GPD rings, ring clearing, the send path with its
// back-pressure, transmit and receive collection, the interrupt handler and its deferred handlers, and
// the diagnostic dump.
#include "cldma.h"

#include "ccci_hif.h"

#include "CurrentDevice.h"
#include "ccci_bm.h"
#include "ccci_fsm.h"
#include "ccci_md.h"
#include "pcie_pm.h"

#define HIF_CLDMA_TAG "HIF_CLDMA"

namespace
{

constexpr struct cldma_queue_config default_queue_config()
{
    struct cldma_queue_config config = {};
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        config.tx_buf_size[q] = SKB_3_5K;
        config.rx_buf_size[q] = SKB_3_5K;
        config.rx_ring_len[q] = 16;
        config.tx_ring_len[q] = 16;
        config.rx_delivery[q] = 0;
        for (u8 map = 0; map < 2; map++)
            config.tx_qmap[map][q] = config.rx_qmap[map][q] = q;
    }
    return config;
}

} // namespace

// The write limits are asked before any ring is built: the defaults hold from the start.
constinit struct cldma_queue_config cldma_queue_config = default_queue_config();

namespace
{

// Serialises ring building of both instances, which share cldma_queue_config. Taken at passive level
// only; a waiter sleeps.
volatile LONG g_ring_lock;

void ring_lock()
{
    while (InterlockedCompareExchange(&g_ring_lock, 1, 0) != 0)
        msleep(1);
}

void ring_unlock()
{
    InterlockedExchange(&g_ring_lock, 0);
}

struct cldma_ctrl* queue_ctrl(struct cldma_queue* queue)
{
    u32 index = queue->qno + (queue->is_tx ? 0u : CLDMA_QUEUES);
    return CONTAINING_RECORD(queue - index, struct cldma_ctrl, queues);
}

// Descriptor stores, each followed by a full barrier: the engine may look at any time.
void gpd_set_flags(struct cldma_gpd* gpd, u8 flags)
{
    gpd->flags = flags;
    KeMemoryBarrier();
}

void gpd_set_next(struct cldma_gpd* gpd, u64 address)
{
    gpd->next_hi = (u32)(address >> 32);
    KeMemoryBarrier();
    gpd->next_lo = (u32)address;
    KeMemoryBarrier();
}

void gpd_set_data(struct cldma_gpd* gpd, u64 address)
{
    gpd->data_hi = (u32)(address >> 32);
    KeMemoryBarrier();
    gpd->data_lo = (u32)address;
    KeMemoryBarrier();
}

void gpd_set_length(struct cldma_gpd* gpd, u16 length)
{
    gpd->data_len = length;
    KeMemoryBarrier();
}

u64 skb_data_addr(const struct sk_buff* skb)
{
    return (u64)MmGetPhysicalAddress(skb->data).QuadPart;
}

// Gives an RX descriptor a buffer and hands it to the engine; the flags go last.
void rx_arm(struct cldma_request* request, struct sk_buff* skb, u32 buf_size)
{
    request->skb = skb;
    request->data_addr = skb_data_addr(skb);
    gpd_set_data(request->gpd, request->data_addr);
    request->gpd->allow_len = (u16)buf_size;
    gpd_set_length(request->gpd, 0);
    gpd_set_flags(request->gpd, CLDMA_GPD_RX_FLAGS);
}

void skb_reset_rx(struct sk_buff* skb)
{
    skb->len = 0;
    skb_set_tail_pointer(skb, 0);
}

// Puts back the IOC bit a directive changed for the buffer now leaving the descriptor.
void tx_restore_ioc(struct cldma_request* request)
{
    if ((request->ioc_override & CLDMA_IOC_OVERRIDE) == 0)
        return;
    u8 flags = (u8)(request->gpd->flags & ~CLDMA_GPD_IOC);
    gpd_set_flags(request->gpd, (u8)(flags | ((request->ioc_override & 1) ? CLDMA_GPD_IOC : 0)));
    request->ioc_override = 0;
}

int build_ring(struct cldma_ctrl* ctrl, struct cldma_ring* ring, bool rx)
{
    InitializeListHead(&ring->requests);
    struct cldma_request* previous = NULL;
    s32 made = 0;
    for (; made < ring->length; made++) {
        auto* request = (struct cldma_request*)win_zalloc(sizeof(struct cldma_request), 0, CLDMA_POOL_TAG);
        if (request == NULL) {
            ccci_err(HIF_CLDMA_TAG, "request %d of a ring of %d not allocated", made, ring->length);
            break;
        }
        InitializeListHead(&request->bd_list);
        request->gpd = (struct cldma_gpd*)dma_alloc_coherent(ctrl->dev, sizeof(struct cldma_gpd), &request->gpd_addr,
                                                             0, CLDMA_POOL_TAG);
        if (request->gpd == NULL) {
            ccci_err(HIF_CLDMA_TAG, "descriptor %d of a ring of %d not allocated", made, ring->length);
            win_free(request, CLDMA_POOL_TAG);
            break;
        }
        if (rx) {
            struct sk_buff* skb = bm_alloc_skb((int)ring->buf_size, true, true, CLDMA_POOL_TAG);
            if (skb == NULL) {
                ccci_err(HIF_CLDMA_TAG, "receive buffer %d of %u bytes not allocated", made, ring->buf_size);
                dma_free_coherent(ctrl->dev, sizeof(struct cldma_gpd), request->gpd, request->gpd_addr, 0,
                                  CLDMA_POOL_TAG);
                win_free(request, CLDMA_POOL_TAG);
                break;
            }
            rx_arm(request, skb, ring->buf_size);
        } else {
            gpd_set_flags(request->gpd, CLDMA_GPD_TX_FLAGS);
        }
        if (previous != NULL)
            gpd_set_next(previous->gpd, request->gpd_addr);
        InsertTailList(&ring->requests, &request->link);
        previous = request;
    }
    if (previous != NULL)
        gpd_set_next(previous->gpd, cldma_ring_first(ring)->gpd_addr);
    ring->length = made;
    return 0;
}

void free_ring(struct cldma_ctrl* ctrl, struct cldma_ring* ring)
{
    while (!IsListEmpty(&ring->requests)) {
        struct cldma_request* request = CONTAINING_RECORD(RemoveHeadList(&ring->requests), struct cldma_request, link);
        if (request->skb != NULL)
            bm_free_skb(request->skb, CLDMA_POOL_TAG);
        dma_free_coherent(ctrl->dev, sizeof(struct cldma_gpd), request->gpd, request->gpd_addr, 0, CLDMA_POOL_TAG);
        win_free(request, CLDMA_POOL_TAG);
    }
    ring->length = 0;
}

bool valid_ids(u8 md_id, u8 hif_id)
{
    return md_id == 0 && hif_id < CLDMA_HIF_COUNT;
}

struct cldma_ctrl* ctrl_of(u8 md_id, u8 hif_id, const char* what)
{
    struct cldma_ctrl* ctrl = cldma_get_ctrl(md_id, hif_id);
    if (ctrl == NULL)
        ccci_err(HIF_CLDMA_TAG, "%s: no controller for modem %u HIF %u", what, md_id, hif_id);
    return ctrl;
}

bool rings_present(struct cldma_ctrl* ctrl)
{
    WdfSpinLockAcquire(ctrl->lock);
    bool ready = ctrl->rings_ready != 0;
    WdfSpinLockRelease(ctrl->lock);
    return ready;
}

} // namespace

int cldma_apply_queue_variant(u8 variant)
{
    if (variant > CLDMA_VARIANT_MAX) {
        ccci_err(HIF_CLDMA_TAG, "queue variant %u refused", variant);
        return -1;
    }
    struct cldma_queue_config* config = &cldma_queue_config;
    *config = default_queue_config();
    if (variant == 1) {
        config->rx_buf_size[7] = SKB_64K; // the modem log
    } else if (variant == 2) {
        // The boot-ROM stage: download and dump ports on queues 0 and 1.
        for (u8 q = 0; q < 2; q++) {
            config->tx_buf_size[q] = 2048;
            config->rx_buf_size[q] = 2048;
            config->rx_delivery[q] = 1;
        }
        config->tx_ring_len[0] = 64;
    }
    return 0;
}

struct cldma_ctrl* cldma_get_ctrl(u8 md_id, u8 hif_id)
{
    return valid_ids(md_id, hif_id) ? static_cast<struct cldma_ctrl*>(ccci_hif_get_ctrl(md_id, hif_id)) : NULL;
}

struct cldma_request* cldma_ring_first(const struct cldma_ring* ring)
{
    if (ring->requests.Flink == NULL || IsListEmpty(&ring->requests))
        return NULL;
    return CONTAINING_RECORD(ring->requests.Flink, struct cldma_request, link);
}

struct cldma_request* cldma_ring_next(const struct cldma_ring* ring, const struct cldma_request* request)
{
    PLIST_ENTRY next = request->link.Flink;
    if (next == &ring->requests)
        next = next->Flink;
    return CONTAINING_RECORD(next, struct cldma_request, link);
}

void cldma_queue_reset(struct cldma_ctrl* ctrl, struct cldma_queue* queue, u8 index)
{
    queue->qno = index % CLDMA_QUEUES;
    queue->is_tx = index < CLDMA_QUEUES ? 1 : 0;
    queue->md = ctrl->md;
    queue->hif_id = ctrl->hif_id;
    queue->ring = NULL;
    queue->tx_done = NULL;
    queue->tx_xmit = NULL;
    queue->rx_refill = NULL;
    queue->budget = 0;
    queue->busy_count = 0;
}

int cldma_ctrl_setup(struct cldma_ctrl* ctrl, struct ccci_md* md, u8 md_id, u8 hif_id,
                     struct cldma_hw_instance* hw, struct device_node* dev)
{
    ctrl->md = md;
    ctrl->md_id = md_id;
    ctrl->hif_id = hif_id;
    ctrl->hw = hw;
    ctrl->dev = dev;
    ctrl->variant = CLDMA_VARIANT_NONE;
    ctrl->rings_ready = 0;
    ctrl->tx_active = ctrl->rx_active = ctrl->tx_started = 0;
    ctrl->busy_streak = 0;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = IpcGetCurrentDevice(NULL);
    NTSTATUS status = WdfSpinLockCreate(&attributes, &ctrl->lock);
    for (u8 index = 0; NT_SUCCESS(status) && index < CLDMA_QUEUE_COUNT; index++) {
        struct cldma_queue* queue = &ctrl->queues[index];
        cldma_queue_reset(ctrl, queue, index);
        KeInitializeEvent(&queue->wait_event, NotificationEvent, FALSE);
        status = WdfSpinLockCreate(&attributes, &queue->lock);
    }
    if (!NT_SUCCESS(status)) {
        ccci_err(HIF_CLDMA_TAG, "locks of CLDMA %u not created: %!STATUS!", hif_id, status);
        cldma_ctrl_teardown(ctrl);
        return -1;
    }
    return 0;
}

void cldma_ctrl_teardown(struct cldma_ctrl* ctrl)
{
    for (struct cldma_queue& queue : ctrl->queues) {
        if (queue.lock != NULL)
            WdfObjectDelete(queue.lock);
        queue.lock = NULL;
    }
    if (ctrl->lock != NULL)
        WdfObjectDelete(ctrl->lock);
    ctrl->lock = NULL;
}

int cldma_build_rings(struct cldma_ctrl* ctrl)
{
    if (rings_present(ctrl)) {
        ccci_err(HIF_CLDMA_TAG, "CLDMA %u already has rings", ctrl->hif_id);
        return -1;
    }
    RtlZeroMemory(ctrl->rx_counters, sizeof(ctrl->rx_counters));
    RtlZeroMemory(ctrl->tx_counters, sizeof(ctrl->tx_counters));
    ctrl->irq_time = 0;
    RtlZeroMemory(ctrl->rx_irq_time, sizeof(ctrl->rx_irq_time));
    RtlZeroMemory(ctrl->rx_work_time, sizeof(ctrl->rx_work_time));

    ring_lock();
    cldma_apply_queue_variant(ctrl->variant);
    const struct cldma_queue_config* config = &cldma_queue_config;
    for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++) {
        bool tx = index < CLDMA_QUEUES;
        u8 q = index % CLDMA_QUEUES;
        struct cldma_ring* ring = tx ? &ctrl->tx_rings[q] : &ctrl->rx_rings[q];
        ring->type = 0;
        ring->length = tx ? config->tx_ring_len[q] : config->rx_ring_len[q];
        ring->buf_size = tx ? 0 : config->rx_buf_size[q];
        ring->tx_fill = tx ? cldma_tx_fill : NULL;
        ring->tx_collect = tx ? cldma_tx_collect : NULL;
        ring->rx_collect = tx ? NULL : cldma_rx_collect;
        build_ring(ctrl, ring, !tx);
    }
    for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++) {
        struct cldma_queue* queue = &ctrl->queues[index];
        bool tx = index < CLDMA_QUEUES;
        u8 q = index % CLDMA_QUEUES;
        struct cldma_ring* ring = tx ? &ctrl->tx_rings[q] : &ctrl->rx_rings[q];
        WdfSpinLockAcquire(queue->lock);
        queue->ring = ring;
        queue->tx_done = cldma_ring_first(ring); // rx_next for an RX queue
        if (tx)
            queue->tx_xmit = queue->tx_done;
        else
            queue->rx_refill = queue->rx_next;
        queue->budget = ring->length;
        if (!tx)
            queue->rx_delivery = config->rx_delivery[q];
        WdfSpinLockRelease(queue->lock);
    }
    ring_unlock();

    WdfSpinLockAcquire(ctrl->lock);
    ctrl->rings_ready = 1;
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

void cldma_free_rings(struct cldma_ctrl* ctrl)
{
    WdfSpinLockAcquire(ctrl->lock);
    bool ready = ctrl->rings_ready != 0;
    ctrl->rings_ready = 0;
    WdfSpinLockRelease(ctrl->lock);
    if (!ready)
        return;
    // No pointer into the rings outlives them, and a blocked sender wakes to find the queue gone.
    for (struct cldma_queue& queue : ctrl->queues) {
        WdfSpinLockAcquire(queue.lock);
        queue.tx_done = NULL;
        queue.tx_xmit = NULL;
        queue.rx_refill = NULL;
        queue.budget = 0;
        WdfSpinLockRelease(queue.lock);
    }
    cldma_tx_wake_senders(ctrl, CLDMA_ALL_QUEUES);
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        free_ring(ctrl, &ctrl->tx_rings[q]);
        free_ring(ctrl, &ctrl->rx_rings[q]);
    }
}

int cldma_set_queue_variant(u8 md_id, u8 hif_id, u8 variant)
{
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "queue variant");
    if (ctrl == NULL)
        return -1;
    if (variant == ctrl->variant)
        return 0;
    // 255 names "no rings" and cannot be built: refusing it keeps the rings that exist.
    if (variant > CLDMA_VARIANT_MAX) {
        ccci_err(HIF_CLDMA_TAG, "queue variant %u refused", variant);
        return -1;
    }
    ctrl->variant = variant;
    cldma_free_rings(ctrl);
    return cldma_build_rings(ctrl);
}

u64 cldma_rx_rearm(struct cldma_ctrl* ctrl, struct cldma_queue* queue)
{
    u64 first_addr = 0;
    WdfSpinLockAcquire(queue->lock);
    if (queue->ring != NULL && cldma_ring_first(queue->ring) != NULL) {
        queue->rx_next = queue->rx_refill = cldma_ring_first(queue->ring);
        first_addr = queue->rx_next->gpd_addr;
        ctrl->rx_counters[CLDMA_QUEUES + queue->qno] = 0;
        for (PLIST_ENTRY entry = queue->ring->requests.Flink; entry != &queue->ring->requests; entry = entry->Flink) {
            struct cldma_request* request = CONTAINING_RECORD(entry, struct cldma_request, link);
            gpd_set_length(request->gpd, 0);
            // Only a descriptor with a buffer goes back to the engine.
            if (request->skb != NULL) {
                skb_reset_rx(request->skb);
                gpd_set_flags(request->gpd, CLDMA_GPD_RX_FLAGS);
            }
        }
    }
    WdfSpinLockRelease(queue->lock);
    return first_addr;
}

namespace
{

void clear_tx_rings(struct cldma_ctrl* ctrl)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        struct cldma_queue* queue = &ctrl->queues[q];
        struct sk_buff* released = NULL;
        WdfSpinLockAcquire(queue->lock);
        if (queue->ring != NULL) {
            queue->tx_done = queue->tx_xmit = cldma_ring_first(queue->ring);
            queue->budget = queue->ring->length;
            ctrl->tx_counters[q] = 0;
            for (PLIST_ENTRY entry = queue->ring->requests.Flink; entry != &queue->ring->requests;
                 entry = entry->Flink) {
                struct cldma_request* request = CONTAINING_RECORD(entry, struct cldma_request, link);
                gpd_set_flags(request->gpd, (u8)(request->gpd->flags & ~CLDMA_GPD_HWO));
                gpd_set_data(request->gpd, 0);
                gpd_set_length(request->gpd, 0);
                request->data_addr = 0;
                if (request->skb != NULL) {
                    request->skb->next = released;
                    released = request->skb;
                    request->skb = NULL;
                }
            }
        }
        WdfSpinLockRelease(queue->lock);
        while (released != NULL) {
            struct sk_buff* skb = released;
            released = skb->next;
            skb->next = NULL;
            bm_free_skb(skb, CLDMA_POOL_TAG);
        }
        cldma_tx_wake_senders(ctrl, (u16)(1u << q));
    }
}

void clear_rx_rings(struct cldma_ctrl* ctrl)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++)
        cldma_rx_rearm(ctrl, &ctrl->queues[CLDMA_QUEUES + q]);
}

// Gives every RX descriptor left without a buffer a new one; false when the pools had none.
bool refill_rx_rings(struct cldma_ctrl* ctrl)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        struct cldma_queue* queue = &ctrl->queues[CLDMA_QUEUES + q];
        struct cldma_ring* ring = queue->ring;
        if (ring == NULL)
            continue;
        for (PLIST_ENTRY entry = ring->requests.Flink; entry != &ring->requests; entry = entry->Flink) {
            struct cldma_request* request = CONTAINING_RECORD(entry, struct cldma_request, link);
            if (request->skb != NULL)
                continue;
            struct sk_buff* skb = bm_alloc_skb((int)ring->buf_size, true, true, CLDMA_POOL_TAG);
            if (skb == NULL) {
                ccci_err(HIF_CLDMA_TAG, "no receive buffer to refill RX queue %u", q);
                return false;
            }
            WdfSpinLockAcquire(queue->lock);
            rx_arm(request, skb, ring->buf_size);
            WdfSpinLockRelease(queue->lock);
        }
    }
    return true;
}

} // namespace

int cldma_clear_rings(u8 md_id, u8 hif_id, int dir)
{
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "clear rings");
    if (ctrl == NULL)
        return -1;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        for (int i = 0; i < 50 && !rings_present(ctrl); i++)
            msleep(200);
    if (!rings_present(ctrl)) {
        ccci_err(HIF_CLDMA_TAG, "CLDMA %u has no rings to clear", hif_id);
        return 0;
    }
    if (dir == 1) {
        clear_tx_rings(ctrl);
    } else if (dir == 0) {
        clear_rx_rings(ctrl);
        refill_rx_rings(ctrl);
    }
    return 0;
}

s32 cldma_tx_budget(u8 md_id, u8 hif_id, u8 qno)
{
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "tx budget");
    if (ctrl == NULL)
        return -1;
    if (qno >= CLDMA_QUEUES)
        return -321;
    struct cldma_queue* queue = &ctrl->queues[qno];
    WdfSpinLockAcquire(queue->lock);
    s32 budget = queue->budget;
    WdfSpinLockRelease(queue->lock);
    return budget;
}

s32 cldma_write_room(u8 md_id, u8 hif_id, u8 qno)
{
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "write room");
    if (ctrl == NULL)
        return -1;
    // During a crash the exception queue number (0xFF) arrives here: no room rather than a stray read.
    if (qno >= CLDMA_QUEUES)
        return 0;
    s32 budget = cldma_tx_budget(md_id, hif_id, qno);
    if (ccci_fsm_brom_stage(ctrl->md))
        return budget >= 64 ? 1 : 0;
    return budget;
}

// ---------------------------------------------------------------------------------------------
// Receive collection.

namespace
{

enum class rx_pass { next, end, end_budget_used };

// Claims the queue's collection, waiting a little for another one to end.
bool rx_claim(struct cldma_queue* queue)
{
    for (int retry = 0; InterlockedCompareExchange(&queue->rx_busy, 1, 0) != 0; retry++) {
        if (retry >= CLDMA_RX_BUSY_RETRIES) {
            ccci_err(HIF_CLDMA_TAG, "RX queue %u stays busy", queue->qno);
            return false;
        }
        msleep(1);
    }
    return true;
}

// End of a pass: resumes a stopped queue and looks for completions that arrived meanwhile.
int rx_end_of_pass(struct cldma_ctrl* ctrl, struct cldma_queue* queue, bool budget_used, bool* again)
{
    *again = false;
    const struct cldma_hw_instance* hw = ctrl->hw;
    u32 done = 1u << queue->qno;
    WdfSpinLockAcquire(ctrl->lock);
    int result = CLDMA_RX_ALL_DONE;
    if ((ctrl->rx_active & done) != 0) {
        if (!cldma_hw_queue_running(hw, queue->qno, true))
            cldma_hw_resume_queue(hw, queue->qno, true);
        bool pending = cldma_hw_irq_status(hw, done, true) != 0;
        if (pending) {
            cldma_hw_clear_irq(hw, done, true);
            if (budget_used)
                result = CLDMA_RX_MORE;
            else
                *again = true;
        }
    }
    WdfSpinLockRelease(ctrl->lock);
    return result;
}

// The request at rx_refill gets `skb` and goes back to the engine; both pointers move on.
void rx_refill_and_advance(struct cldma_queue* queue, struct sk_buff* skb)
{
    WdfSpinLockAcquire(queue->lock);
    queue->rx_next = cldma_ring_next(queue->ring, queue->rx_next);
    rx_arm(queue->rx_refill, skb, queue->ring->buf_size);
    queue->rx_refill = cldma_ring_next(queue->ring, queue->rx_refill);
    WdfSpinLockRelease(queue->lock);
}

// Waits (briefly) for a descriptor the engine may have finished; true when it is done.
bool rx_wait_done(struct cldma_ctrl* ctrl, struct cldma_queue* queue, struct cldma_request* request, bool* gone)
{
    *gone = false;
    for (int poll = 0; poll <= CLDMA_RX_HWO_POLLS; poll++) {
        KeMemoryBarrier();
        if ((request->gpd->flags & CLDMA_GPD_HWO) == 0)
            return true;
        u64 current = cldma_hw_current_addr(ctrl->hw, queue->qno, true);
        if (current == ~0ULL) {
            ccci_err(HIF_CLDMA_TAG, "RX queue %u: device gone", queue->qno);
            *gone = true;
            return false;
        }
        if (current == request->gpd_addr)
            return false; // the engine works on it
        if (poll < CLDMA_RX_HWO_POLLS)
            udelay(1); // done past it, the ownership clear is not visible yet
    }
    return false;
}

int rx_deliver(struct cldma_queue* queue, struct sk_buff* skb)
{
    if (queue->rx_delivery == 1)
        return ccci_port_recv_queue_skb(queue->md, queue->hif_id, queue->qno, skb);
    return ccci_port_recv_skb(queue->md, queue->hif_id, skb);
}

} // namespace

int cldma_rx_collect(struct cldma_queue* queue, int budget, bool blocking)
{
    struct cldma_ctrl* ctrl = queue_ctrl(queue);
    if (!rx_claim(queue))
        return CLDMA_RX_MORE;
    int result = CLDMA_RX_ALL_DONE;
    int count = 0;
    for (;;) {
        WdfSpinLockAcquire(queue->lock);
        struct cldma_request* request = queue->rx_next;
        struct cldma_ring* ring = queue->ring;
        WdfSpinLockRelease(queue->lock);
        if (request == NULL || ring == NULL) {
            ccci_err(HIF_CLDMA_TAG, "RX queue %u has no ring", queue->qno);
            result = CLDMA_RX_ALL_DONE;
            break;
        }
        bool budget_used = false;
        bool gone = false;
        if (!rx_wait_done(ctrl, queue, request, &gone)) {
            if (gone) {
                result = CLDMA_RX_ALL_DONE;
                break;
            }
        } else {
            struct sk_buff* skb = request->skb;
            u16 received = request->gpd->data_len;
            bool deliver = true;
            if (skb != NULL && received > ring->buf_size) {
                // The device's length cannot be trusted past the buffer: re-arm it as it is.
                ccci_err(HIF_CLDMA_TAG, "RX queue %u: %u bytes reported for a %u-byte buffer", queue->qno,
                         received, ring->buf_size);
                // Whatever else the device wrote into the descriptor, it gets the host's buffer back.
                WdfSpinLockAcquire(queue->lock);
                queue->rx_next = cldma_ring_next(ring, request);
                queue->rx_refill = cldma_ring_next(ring, queue->rx_refill);
                skb_reset_rx(skb);
                rx_arm(request, skb, ring->buf_size);
                WdfSpinLockRelease(queue->lock);
                deliver = false;
            } else if (skb != NULL && (skb->head == NULL || skb->dataref == 0)) {
                ccci_err(HIF_CLDMA_TAG, "RX queue %u: buffer without data memory replaced", queue->qno);
                WdfSpinLockAcquire(queue->lock);
                request->skb = NULL;
                WdfSpinLockRelease(queue->lock);
                bm_free_skb(skb, CLDMA_POOL_TAG);
                skb = NULL;
            }
            if (deliver && skb != NULL) {
                request->data_addr = 0;
                skb_reset_rx(skb);
                skb_put(skb, received);
                int r = rx_deliver(queue, skb);
                if (r < 0 && r != CLDMA_RX_RELEASED) {
                    ccci_dbg(HIF_CLDMA_TAG, "RX queue %u: port busy (%d), buffer kept", queue->qno, r);
                    msleep(10);
                    result = CLDMA_RX_MORE;
                    break;
                }
                // The port layer owns the buffer now: it never goes up again.
                WdfSpinLockAcquire(queue->lock);
                request->skb = NULL;
                gpd_set_data(request->gpd, 0);
                WdfSpinLockRelease(queue->lock);
            }
            if (deliver) {
                struct sk_buff* fresh = bm_alloc_skb((int)ring->buf_size, true, blocking, CLDMA_POOL_TAG);
                if (fresh == NULL) {
                    ccci_err(HIF_CLDMA_TAG, "RX queue %u: no replacement buffer", queue->qno);
                    msleep(10);
                    result = CLDMA_RX_MORE;
                    break;
                }
                rx_refill_and_advance(queue, fresh);
            }
            ctrl->rx_counters[CLDMA_QUEUES + queue->qno]++;
            count++;
            if (count < budget || blocking)
                continue;
            budget_used = true;
        }
        bool again = false;
        result = rx_end_of_pass(ctrl, queue, budget_used, &again);
        if (!again)
            break;
    }
    InterlockedExchange(&queue->rx_busy, 0);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Transmit descriptors.

namespace
{

// Tells the port layer that the TX queue filled up or has room again, when the modem asks for it.
void tx_queue_state(struct cldma_queue* queue, int state)
{
    if (ccci_md_debug_flags(queue->md) & CLDMA_DEBUG_QUEUE_STATE)
        ccci_port_queue_state_notify(ccci_md_get_id(queue->md), queue->hif_id, queue->qno, 1, state);
}

// The host state is stored as a 16-bit value at offset 1, which also clears offset 2.
void gpd_set_host_state(struct cldma_gpd* gpd, u8 state)
{
    gpd->host_state = state;
    gpd->allow_len &= 0xFF00;
    KeMemoryBarrier();
}

} // namespace

int cldma_tx_fill(struct cldma_queue* queue, struct cldma_request* request, struct sk_buff* skb, u8 directive)
{
    struct cldma_ctrl* ctrl = queue_ctrl(queue);
    struct cldma_gpd* gpd = request->gpd;
    if (directive & CLDMA_IOC_OVERRIDE) {
        request->ioc_override = (u8)(((gpd->flags & CLDMA_GPD_IOC) ? 1 : 0) | CLDMA_IOC_OVERRIDE);
        gpd_set_flags(gpd, (u8)((gpd->flags & ~CLDMA_GPD_IOC) | ((directive & 1) ? CLDMA_GPD_IOC : 0)));
    }
    request->data_addr = skb_data_addr(skb);
    gpd_set_data(gpd, request->data_addr);
    gpd_set_length(gpd, (u16)skb->len);
    gpd_set_host_state(gpd, CLDMA_GPD_HANDED);

    WdfSpinLockAcquire(ctrl->lock);
    bool active = (ctrl->tx_active & (1u << queue->qno)) != 0;
    if (active)
        gpd_set_flags(gpd, (u8)(gpd->flags | CLDMA_GPD_HWO));
    WdfSpinLockRelease(ctrl->lock);
    if (!active) {
        // A stopped queue must not report the buffer as sent: undo the fill.
        tx_restore_ioc(request);
        request->data_addr = 0;
        gpd_set_data(gpd, 0);
        gpd_set_length(gpd, 0);
        return -16;
    }
    request->skb = skb;
    return 0;
}

int cldma_tx_collect(struct cldma_queue* queue)
{
    int count = 0;
    WdfSpinLockAcquire(queue->lock);
    for (;;) {
        struct cldma_request* request = queue->tx_done;
        if (request == NULL || request->skb == NULL)
            break;
        KeMemoryBarrier();
        if (request->gpd->flags & CLDMA_GPD_HWO)
            break;
        tx_restore_ioc(request);
        gpd_set_host_state(request->gpd, CLDMA_GPD_COLLECTED);
        queue->budget++;
        struct sk_buff* skb = request->skb;
        request->skb = NULL;
        queue->tx_done = cldma_ring_next(queue->ring, request);
        WdfSpinLockRelease(queue->lock);
        tx_queue_state(queue, CLDMA_QUEUE_STATE_ROOM);
        bm_free_skb(skb, CLDMA_POOL_TAG);
        count++;
        WdfSpinLockAcquire(queue->lock);
    }
    WdfSpinLockRelease(queue->lock);
    if (count != 0)
        KeSetEvent(&queue->wait_event, IO_NO_INCREMENT, FALSE);
    return count;
}

// ---------------------------------------------------------------------------------------------
// Send path, transmit completion and the interrupt handler.

namespace
{

struct mdm_pci_dev* pcie_dev_of(const struct cldma_ctrl* ctrl)
{
    struct hif_hw_info* info = ccci_hif_get_hw_info(ctrl->md_id, ctrl->hif_id);
    return info != NULL ? info->pcie_dev : NULL;
}

// The PCIe sleep lock around register accesses: requested on entry, its grant waited for before the
// first access, released on every exit. Without a PCIe device there is nothing to hold; above passive
// level (an interrupt-time dump) the registers are read as they are.
class sleep_lock
{
  public:
    sleep_lock(const struct cldma_ctrl* ctrl, bool take)
        : dev_(take ? pcie_dev_of(ctrl) : NULL),
          user_(ctrl->hif_id == CLDMA_HIF_MD ? PM_KEY_CLDMA_MD : PM_KEY_CLDMA_SAP)
    {
        if (dev_ != NULL)
            pending_ = __mdm_dev_pci_resource_lock(dev_, user_) == 1;
    }
    ~sleep_lock()
    {
        if (dev_ != NULL)
            mdm_dev_pci_resource_release(dev_, user_);
    }
    sleep_lock(const sleep_lock&) = delete;
    sleep_lock& operator=(const sleep_lock&) = delete;

    void wait_grant()
    {
        if (pending_)
            mdm_dev_pci_resource_wait(dev_, user_);
        pending_ = false;
    }

  private:
    struct mdm_pci_dev* dev_;
    u32 user_;
    bool pending_ = false;
};

u64 tick_count()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (u64)ticks.QuadPart;
}

// The sender's per-buffer IOC directive, from the mark a pool buffer carries just before its data.
u8 tx_directive(const struct sk_buff* skb)
{
    if (skb->head == NULL || skb->data != skb->head + BM_MARK_END)
        return 0;
    struct bm_buffer_mark mark;
    RtlCopyMemory(&mark, skb->data - sizeof(mark), sizeof(mark));
    return mark.magic == BM_MARK_MAGIC ? mark.flags : 0;
}

// Whether TX queue q takes buffers now. Asked on every pass of a sender: stop, suspend, reset and ring
// release wake blocked senders, which must then find the queue gone.
bool tx_usable(struct cldma_ctrl* ctrl, u8 q)
{
    WdfSpinLockAcquire(ctrl->lock);
    bool usable = ctrl->rings_ready != 0 && (ctrl->tx_active & (1u << q)) != 0;
    WdfSpinLockRelease(ctrl->lock);
    return usable;
}

// A sender met a full ring. An engine that runs will complete descriptors; one that stopped with
// descriptors it owns moves only when resumed, so it is resumed each time (while the queue is active).
void tx_ring_full(struct cldma_ctrl* ctrl, struct cldma_queue* queue)
{
    const struct cldma_hw_instance* hw = ctrl->hw;
    u8 q = queue->qno;
    WdfSpinLockAcquire(ctrl->lock);
    bool running = cldma_hw_queue_running(hw, q, false) != 0;
    bool dump = false;
    if (running) {
        queue->busy_count++;
        ctrl->busy_streak = 0;
    } else {
        dump = ++ctrl->busy_streak == CLDMA_BUSY_STREAK_DUMP;
    }
    WdfSpinLockRelease(ctrl->lock);
    if (running)
        return;
    if (dump) {
        ccci_err(HIF_CLDMA_TAG, "CLDMA %u TX queue %u full %d times in a row with the engine stopped", ctrl->hif_id,
                 q, CLDMA_BUSY_STREAK_DUMP);
        cldma_dump_status(ctrl->md_id, ctrl->hif_id, CLDMA_DUMP_FLAG, 0, q);
    }
    WdfSpinLockAcquire(ctrl->lock);
    if (ctrl->tx_active & (1u << q))
        cldma_hw_resume_queue(hw, q, false);
    WdfSpinLockRelease(ctrl->lock);
}

struct cldma_request* ring_prev(const struct cldma_ring* ring, const struct cldma_request* request)
{
    PLIST_ENTRY previous = request->link.Blink;
    if (previous == &ring->requests)
        previous = previous->Blink;
    return CONTAINING_RECORD(previous, struct cldma_request, link);
}

// A transfer error on the control path: the state machine abandons its handshake and the miniport
// resets the device.
void transfer_error(struct cldma_ctrl* ctrl, u32 qno)
{
    cldma_dump_status(ctrl->md_id, ctrl->hif_id, CLDMA_DUMP_FLAG, 0, qno);
    md_hs_abort(ctrl->md);
    fsm_report("WARM_RESET");
}

} // namespace

u64 cldma_tx_restart_addr(const struct cldma_queue* queue)
{
    const struct cldma_request* request = queue->tx_done;
    if (request == NULL || queue->ring == NULL)
        return 0;
    for (s32 in_flight = queue->ring->length - queue->budget; in_flight > 0; in_flight--) {
        KeMemoryBarrier();
        if (request->gpd->flags & CLDMA_GPD_HWO)
            return request->gpd_addr;
        request = cldma_ring_next(queue->ring, request);
    }
    return queue->tx_xmit != NULL ? queue->tx_xmit->gpd_addr : 0;
}

void cldma_tx_kick(struct cldma_ctrl* ctrl, struct cldma_queue* queue)
{
    const struct cldma_hw_instance* hw = ctrl->hw;
    u8 q = queue->qno;
    u16 bit = (u16)(1u << q);
    // Stop and suspend own a queue they made inactive: no command may restart it behind them.
    if ((ctrl->tx_active & bit) == 0)
        return;
    if (cldma_hw_tx_start_addr_lost(hw, q)) {
        ccci_err(HIF_CLDMA_TAG, "CLDMA %u lost its configuration; TX queue %u starts again", ctrl->hif_id, q);
        cldma_hw_init(hw);
        cldma_hw_set_start_addr(hw, q, cldma_tx_restart_addr(queue), false);
        ctrl->tx_started &= (u16)~bit;
    }
    if (cldma_hw_queue_running(hw, q, false))
        return;
    if (ctrl->tx_started & bit)
        cldma_hw_resume_queue(hw, q, false);
    else
        cldma_hw_start_queue(hw, q, false);
    ctrl->tx_started |= bit;
}

void cldma_tx_wake_senders(struct cldma_ctrl* ctrl, u16 queues)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++)
        if (queues & (1u << q))
            KeSetEvent(&ctrl->queues[q].wait_event, IO_NO_INCREMENT, FALSE);
}

int cldma_send_skb(u8 md_id, u8 hif_id, u8 qno, struct sk_buff* skb, int from_pool, int blocking)
{
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "send");
    if (ctrl == NULL || skb == NULL)
        return -22;
    sleep_lock sleep(ctrl, true);
    if (qno >= CLDMA_QUEUES)
        return -321;
    u8 directive = from_pool ? tx_directive(skb) : 0;
    struct cldma_queue* queue = &ctrl->queues[qno];
    for (;;) {
        if (!tx_usable(ctrl, qno))
            return -16;
        WdfSpinLockAcquire(queue->lock);
        struct cldma_request* request = queue->tx_xmit;
        if (queue->budget > 0 && request != NULL && request->skb == NULL) {
            // A queue stopped since the check refuses the fill, which leaves the ring as it was.
            int filled = cldma_tx_fill(queue, request, skb, directive);
            if (filled == 0) {
                queue->budget--;
                queue->tx_xmit = cldma_ring_next(queue->ring, request);
            }
            WdfSpinLockRelease(queue->lock);
            if (filled != 0)
                return -16;
            sleep.wait_grant();
            WdfSpinLockAcquire(queue->lock);
            WdfSpinLockAcquire(ctrl->lock);
            ctrl->busy_streak = 0;
            cldma_tx_kick(ctrl, queue);
            WdfSpinLockRelease(ctrl->lock);
            WdfSpinLockRelease(queue->lock);
            return 0;
        }
        WdfSpinLockRelease(queue->lock);
        sleep.wait_grant();
        tx_queue_state(queue, CLDMA_QUEUE_STATE_FULL);
        tx_ring_full(ctrl, queue);
        if (!blocking)
            return -16;
        if (win_wait_interruptible(&queue->wait_event) != 0)
            return -4;
    }
}

void cldma_tx_empty(struct cldma_queue* queue)
{
    struct cldma_ctrl* ctrl = queue_ctrl(queue);
    u8 q = queue->qno;
    bool stray = false;
    u64 current = 0;
    u64 last_addr = 0;
    WdfSpinLockAcquire(queue->lock);
    struct cldma_request* last = queue->tx_xmit != NULL ? ring_prev(queue->ring, queue->tx_xmit) : NULL;
    KeMemoryBarrier();
    bool pending = last != NULL && (last->gpd->flags & CLDMA_GPD_HWO) != 0 && last->skb != NULL;
    WdfSpinLockAcquire(ctrl->lock);
    if (pending && (ctrl->tx_active & (1u << q)) != 0) {
        current = cldma_hw_current_addr(ctrl->hw, q, false);
        last_addr = last->gpd_addr;
        if (current == last_addr)
            cldma_hw_resume_queue(ctrl->hw, q, false); // it stopped before the new descriptor reached it
        else
            stray = true;
    }
    WdfSpinLockRelease(ctrl->lock);
    WdfSpinLockRelease(queue->lock);
    if (!stray)
        return;
    ccci_err(HIF_CLDMA_TAG, "CLDMA %u TX queue %u stopped at %llX, its last descriptor is %llX", ctrl->hif_id, q,
             current, last_addr);
    if (ccci_md_hs_pending(ctrl->md))
        transfer_error(ctrl, q);
}

namespace
{

struct cldma_queue* deferred_queue(WDFOBJECT object)
{
    PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(object);
    return context != NULL ? static_cast<struct cldma_queue*>(context->data) : NULL;
}

// A queue's deferred handler runs only while its modem object and the rings exist.
bool deferred_ready(struct cldma_queue* queue, const char* what)
{
    if (queue != NULL && queue->md != NULL && rings_present(queue_ctrl(queue)))
        return true;
    ccci_err(HIF_CLDMA_TAG, "%s: no modem or no rings", what);
    return false;
}

} // namespace

void cldma_tx_done_timer(WDFTIMER timer)
{
    struct cldma_queue* queue = deferred_queue(timer);
    if (!deferred_ready(queue, "TX done"))
        return;
    struct cldma_ctrl* ctrl = queue_ctrl(queue);
    const struct cldma_hw_instance* hw = ctrl->hw;
    u8 q = queue->qno;
    if (cldma_tx_collect(queue) != 0) {
        WdfSpinLockAcquire(ctrl->lock);
        ctrl->busy_streak = 0;
        WdfSpinLockRelease(ctrl->lock);
    }
    u32 status = cldma_hw_irq_status(hw, ~0u, false);
    if (status == ~0u) {
        ccci_err(HIF_CLDMA_TAG, "CLDMA %u TX queue %u: device gone", ctrl->hif_id, q);
        return;
    }
    u32 done = 1u << q;
    u32 empty = 0x100u << q;
    if (status & empty) {
        cldma_hw_clear_irq(hw, empty, false);
        cldma_tx_empty(queue);
    }
    if (status & done) {
        // More completions: collect again, the queue's interrupts still masked.
        cldma_hw_clear_irq(hw, done, false);
        WdfTimerStart(timer, 0);
        return;
    }
    WdfSpinLockAcquire(ctrl->lock);
    if (ctrl->tx_active & done) {
        cldma_hw_rearm(hw);
        cldma_hw_unmask_done(hw, q, false);
        cldma_hw_unmask_empty(hw, q, false);
    }
    WdfSpinLockRelease(ctrl->lock);
}

void cldma_rx_done_work(WDFWORKITEM work)
{
    struct cldma_queue* queue = deferred_queue(work);
    if (!deferred_ready(queue, "RX done"))
        return;
    struct cldma_ctrl* ctrl = queue_ctrl(queue);
    const struct cldma_hw_instance* hw = ctrl->hw;
    u8 q = queue->qno;
    ctrl->rx_work_time[q] = tick_count();
    int result = cldma_rx_collect(queue, queue->budget, true);
    // A queue stopped meanwhile keeps its interrupts masked: its start unmasks them.
    WdfSpinLockAcquire(ctrl->lock);
    bool active = (ctrl->rx_active & (1u << q)) != 0;
    if (active && result == CLDMA_RX_ALL_DONE) {
        cldma_hw_rearm(hw);
        cldma_hw_unmask_done(hw, q, true);
        cldma_hw_unmask_empty(hw, q, true);
    }
    WdfSpinLockRelease(ctrl->lock);
    if (active && result != CLDMA_RX_ALL_DONE)
        WdfWorkItemEnqueue(work);
}

int cldma_isr(void* arg)
{
    struct cldma_ctrl* ctrl = static_cast<struct cldma_ctrl*>(arg);
    const struct cldma_hw_instance* hw = ctrl->hw;
    ctrl->irq_time = tick_count();
    u32 tx = cldma_hw_irq_status(hw, ~0u, false) & ~cldma_hw_irq_mask(hw, false);
    u32 rx = cldma_hw_irq_status(hw, ~0u, true) & ~cldma_hw_irq_mask(hw, true);
    if (tx == 0 && rx == 0) {
        ccci_dbg(HIF_CLDMA_TAG, "CLDMA %u interrupt with nothing pending", ctrl->hif_id);
        return 0;
    }
    int result = 0;
    if (tx != 0) {
        if (tx & CLDMA_IRQ_DONE_ALL) {
            WdfSpinLockAcquire(ctrl->lock);
            ctrl->busy_streak = 0;
            WdfSpinLockRelease(ctrl->lock);
        }
        if (tx & CLDMA_IRQ_ERRORS) {
            u32 error0, error1;
            cldma_hw_clear_errors(hw, false, &error0, &error1);
            ccci_err(HIF_CLDMA_TAG, "CLDMA %u transmit error: status %08X errors %08X %08X", ctrl->hif_id, tx, error0,
                     error1);
            transfer_error(ctrl, 0);
        }
        cldma_hw_clear_irq(hw, tx, false);
        for (u8 q = 0; q < CLDMA_QUEUES; q++) {
            struct cldma_queue* queue = &ctrl->queues[q];
            if ((tx & (1u << q)) && queue->tx_timer != NULL) {
                cldma_hw_mask_done(hw, q, false);
                cldma_hw_mask_empty(hw, q, false);
                result = WdfTimerStart(queue->tx_timer, 0) ? 1 : 0;
            }
            if (tx & (0x100u << q))
                cldma_tx_empty(queue);
        }
    }
    if (rx != 0) {
        if (rx & CLDMA_IRQ_ERRORS) {
            u32 error0, error1;
            cldma_hw_clear_errors(hw, true, &error0, &error1);
            ccci_err(HIF_CLDMA_TAG, "CLDMA %u receive error: status %08X errors %08X %08X mask %08X running %08X",
                     ctrl->hif_id, rx, error0, error1, cldma_hw_irq_mask(hw, true),
                     cldma_hw_queue_running(hw, CLDMA_ALL_QUEUES, true));
        }
        cldma_hw_clear_irq(hw, rx, true);
        for (u8 q = 0; q < CLDMA_QUEUES; q++) {
            struct cldma_queue* queue = &ctrl->queues[CLDMA_QUEUES + q];
            if ((rx & ((1u << q) | (0x100u << q))) == 0 || queue->rx_work == NULL)
                continue;
            ctrl->rx_irq_time[q] = tick_count();
            cldma_hw_mask_done(hw, q, true);
            cldma_hw_mask_empty(hw, q, true);
            WdfWorkItemEnqueue(queue->rx_work);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Diagnostics.

namespace
{

u64 request_addr(const struct cldma_request* request)
{
    return request != NULL ? request->gpd_addr : 0;
}

void dump_queue(struct cldma_ctrl* ctrl, struct cldma_queue* queue)
{
    const char* side = queue->is_tx ? "TX" : "RX";
    u32 counter = queue->is_tx ? ctrl->tx_counters[queue->qno] : ctrl->rx_counters[CLDMA_QUEUES + queue->qno];
    WdfSpinLockAcquire(queue->lock);
    const struct cldma_ring* ring = queue->ring;
    ccci_info(HIF_CLDMA_TAG, "CLDMA %u %s queue %u: done/next %llX xmit/refill %llX budget %d busy %u counter %u",
              ctrl->hif_id, side, queue->qno, request_addr(queue->tx_done),
              request_addr(queue->is_tx ? queue->tx_xmit : queue->rx_refill), queue->budget, queue->busy_count,
              counter);
    int index = 0;
    for (PLIST_ENTRY entry = ring != NULL ? ring->requests.Flink : NULL; entry != NULL && entry != &ring->requests;
         entry = entry->Flink, index++) {
        const struct cldma_request* request = CONTAINING_RECORD(entry, struct cldma_request, link);
        const struct cldma_gpd* gpd = request->gpd;
        // A receive buffer starts with the CCCI header of the frame it holds (or held).
        u32 header[4] = {};
        if (!queue->is_tx && request->skb != NULL && request->skb->data != NULL)
            RtlCopyMemory(header, request->skb->data, sizeof(header));
        ccci_info(HIF_CLDMA_TAG,
                  "  %s%u[%d] %llX: flags %02X state %02X allow %u next %08X%08X data %08X%08X len %u "
                  "header %08X %08X %08X %08X",
                  side, queue->qno, index, request->gpd_addr, gpd->flags, gpd->host_state, gpd->allow_len,
                  gpd->next_hi, gpd->next_lo, gpd->data_hi, gpd->data_lo, gpd->data_len, header[0], header[1],
                  header[2], header[3]);
    }
    WdfSpinLockRelease(queue->lock);
}

} // namespace

int cldma_dump_status(u8 md_id, u8 hif_id, u32 flags, u32 ignored, u32 qno)
{
    UNREFERENCED_PARAMETER(ignored);
    struct cldma_ctrl* ctrl = ctrl_of(md_id, hif_id, "dump");
    if (ctrl == NULL)
        return -1;
    if ((flags & CLDMA_DUMP_FLAG) == 0 || !rings_present(ctrl))
        return 0;
    if (qno != CLDMA_DUMP_ALL_QUEUES && qno >= CLDMA_QUEUES) {
        ccci_err(HIF_CLDMA_TAG, "dump of CLDMA %u queue %u refused", hif_id, qno);
        return 0;
    }
    {
        sleep_lock sleep(ctrl, KeGetCurrentIrql() == PASSIVE_LEVEL);
        sleep.wait_grant();
        cldma_reg_dump(ctrl->hw);
    }
    for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++)
        if (qno == CLDMA_DUMP_ALL_QUEUES || index % CLDMA_QUEUES == qno)
            dump_queue(ctrl, &ctrl->queues[index]);
    return 0;
}

int cldma_tx_max_size(u8 md_id, u8 hif_id, u8 qno)
{
    if (!valid_ids(md_id, hif_id)) {
        ccci_err(HIF_CLDMA_TAG, "tx max size: no CLDMA for modem %u HIF %u", md_id, hif_id);
        return -1;
    }
    // A port's exception queue number (0xFF) names no ring: the default limit, not a stray read.
    if (qno >= CLDMA_QUEUES)
        return SKB_3_5K;
    return (int)cldma_queue_config.tx_buf_size[qno];
}
