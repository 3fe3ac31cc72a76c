// CLDMA engine, data side: queue configuration, GPD rings, ring clearing and receive collection.
#include "cldma.h"
#include "ccci_hif.h"

#include "CurrentDevice.h"
#include "ccci_bm.h"

#define HIF_CLDMA_TAG "HIF_CLDMA"

struct cldma_queue_config cldma_queue_config;

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

void config_defaults(struct cldma_queue_config* config)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        config->tx_buf_size[q] = SKB_3_5K;
        config->rx_buf_size[q] = SKB_3_5K;
        config->rx_ring_len[q] = 16;
        config->tx_ring_len[q] = 16;
        config->rx_delivery[q] = 0;
        for (u8 map = 0; map < 2; map++)
            config->tx_qmap[map][q] = config->rx_qmap[map][q] = q;
    }
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
    config_defaults(config);
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
        if (queue.is_tx)
            KeSetEvent(&queue.wait_event, IO_NO_INCREMENT, FALSE);
    }
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
        KeSetEvent(&queue->wait_event, IO_NO_INCREMENT, FALSE);
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
                WdfSpinLockAcquire(queue->lock);
                queue->rx_next = cldma_ring_next(ring, request);
                queue->rx_refill = cldma_ring_next(ring, queue->rx_refill);
                WdfSpinLockRelease(queue->lock);
                skb_reset_rx(skb);
                gpd_set_length(request->gpd, 0);
                gpd_set_flags(request->gpd, CLDMA_GPD_RX_FLAGS);
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
        // The port layer's room notification comes with the send path.
        WdfSpinLockRelease(queue->lock);
        bm_free_skb(skb, CLDMA_POOL_TAG);
        count++;
        WdfSpinLockAcquire(queue->lock);
    }
    WdfSpinLockRelease(queue->lock);
    if (count != 0)
        KeSetEvent(&queue->wait_event, IO_NO_INCREMENT, FALSE);
    return count;
}
