// CLDMA instance control: the controller's life (alloc, init, free), start and stop of the instance
// and of single queues, reset, the engine side of the modem exception stages, and the power hooks.
#include "cldma_ctl.h"

#include "ccci_core.h"
#include "ccci_fsm.h"
#include "ccci_hif.h"
#include "ccci_md.h"
#include "mhccif.h"
#include "pcie_pm.h"

#define CLDMA_STOP_POLLS 1000
#define CLDMA_STOP_POLL_MS 10
#define CLDMA_IRQ_STATUS_ALL 0xFFFFu

namespace
{

int cldma_nop(u8, u8)
{
    return 0;
}

// By slot.
const struct ccci_hif_ops k_cldma_hif_ops = {
    cldma_send_skb,
    NULL,
    cldma_tx_budget,
    cldma_start_queue,
    cldma_stop_queue,
    cldma_dump_status,
    NULL,
    cldma_start,
    cldma_stop,
    cldma_stop_tx_and_rx_low,
    cldma_nop,
    cldma_reset,
    cldma_clear_rings,
    cldma_reset_and_start,
};

struct cldma_ctrl* instance(u8 md_id, u8 hif_id, const char* what)
{
    struct cldma_ctrl* ctrl = cldma_get_ctrl(md_id, hif_id);
    if (ctrl == NULL)
        ccci_err(HIF_TAG, "%s: no CLDMA controller for modem %u HIF %u", what, md_id, hif_id);
    return ctrl;
}

struct hif_hw_info* hw_info(const struct cldma_ctrl* ctrl)
{
    return ccci_hif_get_hw_info(ctrl->md_id, ctrl->hif_id);
}

struct cldma_queue* tx_queue(struct cldma_ctrl* ctrl, u8 q)
{
    return &ctrl->queues[q];
}

struct cldma_queue* rx_queue(struct cldma_ctrl* ctrl, u8 q)
{
    return &ctrl->queues[CLDMA_QUEUES + q];
}

u16 queue_bits(u8 qno)
{
    return (u16)(qno == CLDMA_ALL_QUEUES ? CLDMA_ALL_QUEUES : 1u << qno);
}

// The source is unmasked and masked once per transition of irq_enabled.
void irq_enable(struct cldma_ctrl* ctrl)
{
    struct hif_hw_info* info = hw_info(ctrl);
    if (InterlockedCompareExchange(&ctrl->irq_enabled, 1, 0) == 0 && info != NULL)
        info->enable_irq(info);
}

void irq_disable(struct cldma_ctrl* ctrl)
{
    struct hif_hw_info* info = hw_info(ctrl);
    if (InterlockedCompareExchange(&ctrl->irq_enabled, 0, 1) == 1 && info != NULL)
        info->disable_irq(info);
}

bool rings_ready(struct cldma_ctrl* ctrl)
{
    WdfSpinLockAcquire(ctrl->lock);
    bool ready = ctrl->rings_ready != 0;
    WdfSpinLockRelease(ctrl->lock);
    return ready;
}

// A blocked sender re-checks its queue when woken: after a stop it finds it inactive and gives up.
void wake_tx_senders(struct cldma_ctrl* ctrl, u16 bits)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++)
        if (bits & (1u << q))
            KeSetEvent(&tx_queue(ctrl, q)->wait_event, IO_NO_INCREMENT, FALSE);
}

// Controller lock held: mask the done and empty interrupts of a side's queues and stop them.
void stop_side(struct cldma_ctrl* ctrl, u8 qno, bool rx)
{
    cldma_hw_mask_done(ctrl->hw, qno, rx);
    cldma_hw_mask_empty(ctrl->hw, qno, rx);
    if (rx)
        ctrl->rx_active &= (u16)~queue_bits(qno);
    else
        ctrl->tx_active &= (u16)~queue_bits(qno);
    cldma_hw_stop_queue(ctrl->hw, qno, rx);
}

// Controller lock held: every interrupt masked, the low status bits of both sides cleared.
void mask_and_clear_irqs(struct cldma_ctrl* ctrl)
{
    cldma_hw_mask_all(ctrl->hw, false);
    cldma_hw_mask_all(ctrl->hw, true);
    cldma_hw_clear_irq(ctrl->hw, CLDMA_IRQ_STATUS_ALL, false);
    cldma_hw_clear_irq(ctrl->hw, CLDMA_IRQ_STATUS_ALL, true);
}

// Where each queue starts: read under the queue locks before the controller lock is taken.
struct start_addrs {
    u64 tx[CLDMA_QUEUES];
    u64 rx[CLDMA_QUEUES];
};

// Controller lock held.
void program_start_addrs(struct cldma_ctrl* ctrl, const struct start_addrs* addrs)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        cldma_hw_set_start_addr(ctrl->hw, q, addrs->tx[q], false);
        cldma_hw_set_start_addr(ctrl->hw, q, addrs->rx[q], true);
    }
}

// Stops the queues' deferred handlers (outside the controller lock); -22 when one was never made.
int quiesce_deferred(struct cldma_ctrl* ctrl)
{
    int ret = 0;
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        struct cldma_queue* tx = tx_queue(ctrl, q);
        if (tx->tx_timer == NULL)
            ret = -22;
        else
            WdfTimerStop(tx->tx_timer, passive ? TRUE : FALSE);
        struct cldma_queue* rx = rx_queue(ctrl, q);
        if (rx->rx_work == NULL)
            ret = -22;
        else if (passive)
            WdfWorkItemFlush(rx->rx_work);
        else
            ccci_dbg(HIF_TAG, "workitem is not allowed in IRQL[%d]\n", KeGetCurrentIrql());
    }
    return ret;
}

// Waits for every queue of the engine to report stopped: 0, or -35 (still running, or the device
// reads all ones).
int wait_engine_stopped(struct cldma_ctrl* ctrl)
{
    u32 tx = 0;
    u32 rx = 0;
    for (int poll = 0; poll < CLDMA_STOP_POLLS; poll++) {
        tx = cldma_hw_queue_running(ctrl->hw, CLDMA_ALL_QUEUES, false);
        rx = cldma_hw_queue_running(ctrl->hw, CLDMA_ALL_QUEUES, true);
        if (tx == 0 && rx == 0)
            return 0;
        if (tx == ~0u || rx == ~0u)
            break;
        msleep(CLDMA_STOP_POLL_MS);
    }
    ccci_err(HIF_TAG, "CLDMA %u does not stop: TX %08X RX %08X", ctrl->hif_id, tx, rx);
    return -35;
}

int stop_instance(struct cldma_ctrl* ctrl)
{
    // The senders and the deferred handlers test the active bits and set HWO under this lock.
    WdfSpinLockAcquire(ctrl->lock);
    ctrl->rx_active = 0;
    cldma_hw_stop_queue(ctrl->hw, CLDMA_ALL_QUEUES, true);
    ctrl->tx_active = 0;
    cldma_hw_stop_queue(ctrl->hw, CLDMA_ALL_QUEUES, false);
    ctrl->tx_started = 0;
    irq_disable(ctrl);
    mask_and_clear_irqs(ctrl);
    WdfSpinLockRelease(ctrl->lock);
    wake_tx_senders(ctrl, CLDMA_ALL_QUEUES);
    if (rings_ready(ctrl)) {
        int ret = quiesce_deferred(ctrl);
        if (ret != 0)
            return ret;
    }
    return wait_engine_stopped(ctrl);
}

// Back to no rings. The engine is stopped first: it must not write into the buffers freed here.
void reset_queues(struct cldma_ctrl* ctrl)
{
    (void)stop_instance(ctrl);
    WdfSpinLockAcquire(ctrl->lock);
    ctrl->variant = CLDMA_VARIANT_NONE;
    WdfSpinLockRelease(ctrl->lock);
    cldma_free_rings(ctrl);
    for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++) {
        struct cldma_queue* queue = &ctrl->queues[index];
        WdfSpinLockAcquire(queue->lock);
        cldma_queue_reset(ctrl, queue, index);
        WdfSpinLockRelease(queue->lock);
    }
    ctrl->busy_streak = 0;
}

// Where TX queue q starts again after a suspend: at the oldest descriptor still handed to the engine,
// so that nothing handed before the suspend is skipped; else where the next send goes.
u64 tx_restart_addr(struct cldma_queue* queue)
{
    u64 address = 0;
    WdfSpinLockAcquire(queue->lock);
    if (queue->ring != NULL && queue->tx_xmit != NULL) {
        address = queue->tx_xmit->gpd_addr;
        struct cldma_request* request = queue->tx_done;
        for (s32 n = 0; n < queue->ring->length && request->skb != NULL; n++) {
            KeMemoryBarrier();
            if (request->gpd->flags & CLDMA_GPD_HWO) {
                address = request->gpd_addr;
                break;
            }
            request = cldma_ring_next(queue->ring, request);
        }
    }
    WdfSpinLockRelease(queue->lock);
    return address;
}

// Whether TX queue q still has descriptors handed to the engine and not sent.
bool tx_pending(struct cldma_queue* queue)
{
    WdfSpinLockAcquire(queue->lock);
    struct cldma_request* request = queue->tx_done;
    KeMemoryBarrier();
    bool pending = request != NULL && request->skb != NULL && (request->gpd->flags & CLDMA_GPD_HWO) != 0;
    WdfSpinLockRelease(queue->lock);
    return pending;
}

u64 rx_restart_addr(struct cldma_queue* queue)
{
    WdfSpinLockAcquire(queue->lock);
    u64 address = queue->rx_next != NULL ? queue->rx_next->gpd_addr : 0;
    WdfSpinLockRelease(queue->lock);
    return address;
}

void free_runtime_block(struct ccci_md* md)
{
    struct ccci_runtime_block* block = md != NULL ? ccci_md_runtime_block(md) : NULL;
    if (block == NULL || block->data == NULL)
        return;
    win_free(block->data, CLDMA_POOL_TAG);
    block->data = NULL;
    block->length = 0;
}

int make_deferred(struct cldma_ctrl* ctrl)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        struct cldma_queue* tx = tx_queue(ctrl, q);
        if (tx->tx_timer == NULL &&
            !NT_SUCCESS(win_create_timer_ctx(&tx->tx_timer, cldma_tx_done_timer, true, tx)))
            return -1;
        struct cldma_queue* rx = rx_queue(ctrl, q);
        if (rx->rx_work == NULL && !NT_SUCCESS(workitem_init(&rx->rx_work, cldma_rx_done_work, rx, 0)))
            return -1;
    }
    return 0;
}

void delete_deferred(struct cldma_ctrl* ctrl)
{
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        win_delete_timer(&tx_queue(ctrl, q)->tx_timer);
        workitem_destroy(&rx_queue(ctrl, q)->rx_work);
    }
}

int register_pm_entity(struct cldma_ctrl* ctrl, struct mdm_pci_dev* dev)
{
    if (ctrl->pm_entity != NULL)
        return 0;
    auto* entity = static_cast<cldma_pm_entity*>(win_zalloc(sizeof(cldma_pm_entity), 0, CLDMA_POOL_TAG));
    if (entity == NULL)
        return -1;
    entity->suspend = cldma_suspend;
    entity->suspend_late = cldma_suspend_late;
    entity->resume_early = cldma_resume_early;
    entity->resume = cldma_resume_late;
    entity->key = ctrl->hif_id == CLDMA_HIF_SAP ? PM_KEY_CLDMA_SAP : PM_KEY_CLDMA_MD;
    entity->data = ctrl;
    if (mdm_pci_pm_entity_register(dev, entity) != 0) {
        win_free(entity, CLDMA_POOL_TAG);
        return -1;
    }
    ctrl->pm_entity = entity;
    return 0;
}

void unregister_pm_entity(struct cldma_ctrl* ctrl, struct mdm_pci_dev* dev)
{
    auto* entity = static_cast<cldma_pm_entity*>(ctrl->pm_entity);
    if (entity == NULL)
        return;
    if (dev != NULL)
        mdm_pci_pm_entity_unregister(dev, entity);
    win_free(entity, CLDMA_POOL_TAG);
    ctrl->pm_entity = NULL;
}

} // namespace

struct cldma_hw_instance* cldma_alloc(u8 md, u8 hif, struct mdm_pci_dev* pcie_dev)
{
    if (md != 0 || hif >= CLDMA_HIF_COUNT || pcie_dev == NULL) {
        ccci_err(HIF_TAG, "alloc: no CLDMA instance for modem %u HIF %u", md, hif);
        return NULL;
    }
    auto* ctrl = static_cast<struct cldma_ctrl*>(win_zalloc(sizeof(struct cldma_ctrl), 0, CLDMA_POOL_TAG));
    if (ctrl == NULL) {
        ccci_err(HIF_TAG, "alloc: CLDMA %u controller not allocated", hif);
        return NULL;
    }
    struct cldma_hw_instance* hw = cldma_hw_info_alloc(md, hif, pcie_dev);
    // The glue's PCI device record starts with the generic device record: its DMA enabler owns the
    // descriptors' memory.
    auto* dev = reinterpret_cast<struct device_node*>(pcie_dev->pdev);
    if (hw == NULL || cldma_ctrl_setup(ctrl, pcie_dev->md, md, hif, hw, dev) != 0) {
        ccci_err(HIF_TAG, "alloc: CLDMA %u not set up", hif);
        cldma_hw_info_free(md, hif);
        win_free(ctrl, CLDMA_POOL_TAG);
        return NULL;
    }
    ctrl->ops = &k_cldma_hif_ops;
    ccci_hif_set_ctrl(md, hif, ctrl, &k_cldma_hif_ops);
    return hw;
}

int cldma_init(u8 md_id, u8 hif_id)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "init");
    // The modem object is registered before its engines start, while the device record gets its
    // modem pointer only after that.
    struct hif_hw_info* info = ctrl != NULL ? hw_info(ctrl) : NULL;
    struct ccci_md* md = info != NULL && info->pcie_dev != NULL ? ccci_md_get(md_id) : NULL;
    if (md == NULL) {
        ccci_err(HIF_TAG, "init: CLDMA %u has no modem object", hif_id);
        return -1;
    }
    // A second init starts from no rings too: what the first one built is released, not lost.
    if (rings_ready(ctrl))
        reset_queues(ctrl);
    WdfSpinLockAcquire(ctrl->lock);
    ctrl->md = md;
    ctrl->ops = &k_cldma_hif_ops;
    ctrl->tx_active = ctrl->rx_active = ctrl->tx_started = 0;
    ctrl->rings_ready = 0;
    ctrl->variant = CLDMA_VARIANT_NONE;
    ctrl->busy_streak = 0;
    WdfSpinLockRelease(ctrl->lock);

    if (register_pm_entity(ctrl, info->pcie_dev) != 0) {
        ccci_err(HIF_TAG, "init: CLDMA %u power entity not registered", hif_id);
        return -1;
    }
    // The locks (and the ring lock both instances share) exist from alloc on: init makes none of them,
    // and the deferred objects only once.
    for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++) {
        struct cldma_queue* queue = &ctrl->queues[index];
        WdfSpinLockAcquire(queue->lock);
        cldma_queue_reset(ctrl, queue, index);
        WdfSpinLockRelease(queue->lock);
        InterlockedExchange(&queue->rx_busy, 0);
        KeClearEvent(&queue->wait_event);
    }
    if (make_deferred(ctrl) != 0) {
        ccci_err(HIF_TAG, "init: CLDMA %u timers or work items not created", hif_id);
        return -1;
    }
    struct ccci_runtime_block* block = ccci_md_runtime_block(md);
    if (block != NULL && block->data == NULL) {
        block->data = win_zalloc(CLDMA_RUNTIME_BLOCK_SIZE, 0, CLDMA_POOL_TAG);
        if (block->data == NULL) {
            ccci_err(HIF_TAG, "init: runtime-data block not allocated");
            return -1;
        }
        block->length = CLDMA_RUNTIME_BLOCK_SIZE;
    }
    info->disable_irq(info);
    InterlockedExchange(&ctrl->irq_enabled, 0);
    info->register_irq_handler(info, cldma_isr, ctrl);
    ctrl->busy_streak = 0;
    return 0;
}

int cldma_hw_reinit(u8 md_id, u8 hif_id)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "hw reinit");
    if (ctrl == NULL)
        return -1;
    WdfSpinLockAcquire(ctrl->lock);
    mask_and_clear_irqs(ctrl);
    cldma_hw_init(ctrl->hw);
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

void cldma_free(u8 md, u8 hif)
{
    struct cldma_ctrl* ctrl = cldma_get_ctrl(md, hif);
    if (ctrl == NULL) {
        cldma_hw_info_free(md, hif);
        return;
    }
    (void)stop_instance(ctrl);
    cldma_free_rings(ctrl);
    struct hif_hw_info* info = hw_info(ctrl);
    // Nothing may call into the controller once it is gone: its interrupt handler and deferred
    // handlers go first.
    if (info != NULL) {
        info->irq_handler = NULL;
        info->irq_arg = NULL;
    }
    delete_deferred(ctrl);
    unregister_pm_entity(ctrl, info != NULL ? info->pcie_dev : NULL);
    ccci_hif_set_ctrl(md, hif, NULL, NULL);
    free_runtime_block(ctrl->md);
    cldma_ctrl_teardown(ctrl);
    win_free(ctrl, CLDMA_POOL_TAG);
    cldma_hw_info_free(md, hif);
}

int cldma_start(u8 md_id, u8 hif_id)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "start");
    if (ctrl == NULL)
        return -1;
    struct start_addrs addrs;
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        struct cldma_queue* tx = tx_queue(ctrl, q);
        WdfSpinLockAcquire(tx->lock);
        addrs.tx[q] = tx->tx_done != NULL ? tx->tx_done->gpd_addr : 0;
        WdfSpinLockRelease(tx->lock);
        addrs.rx[q] = rx_restart_addr(rx_queue(ctrl, q));
    }
    WdfSpinLockAcquire(ctrl->lock);
    if (ctrl->rings_ready) {
        irq_enable(ctrl);
        program_start_addrs(ctrl, &addrs);
        cldma_hw_start_queue(ctrl->hw, CLDMA_ALL_QUEUES, true);
        cldma_hw_unmask_all(ctrl->hw);
        KeMemoryBarrier();
        ctrl->tx_active |= CLDMA_ALL_QUEUES;
        ctrl->rx_active |= CLDMA_ALL_QUEUES;
        ctrl->tx_started = 0;
    }
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

int cldma_stop(u8 md_id, u8 hif_id)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "stop");
    return ctrl != NULL ? stop_instance(ctrl) : -1;
}

int cldma_start_queue(u8 md_id, u8 hif_id, u8 qno, int dir)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "start queue");
    if (ctrl == NULL)
        return -1;
    if (qno >= CLDMA_QUEUES)
        return -321;
    if (dir != 0)
        return 0;
    struct cldma_queue* queue = rx_queue(ctrl, qno);
    u64 first = cldma_rx_rearm(ctrl, queue);
    if (first == 0) {
        ccci_err(HIF_TAG, "start queue: CLDMA %u RX queue %u has no ring", hif_id, qno);
        return -1;
    }
    // The modem's state is read outside the lock; a queue re-armed before or after a handshake just
    // waits for the instance start.
    u32 state = ccci_fsm_get_md_state(md_id);
    if (state == MD_STATE_INIT || state == MD_STATE_STOPPING || state == MD_STATE_STOPPED)
        return 0;
    WdfSpinLockAcquire(ctrl->lock);
    cldma_hw_set_start_addr(ctrl->hw, qno, first, true);
    cldma_hw_start_queue(ctrl->hw, qno, true);
    cldma_hw_unmask_done(ctrl->hw, qno, true);
    cldma_hw_unmask_empty(ctrl->hw, qno, true);
    ctrl->rx_active |= queue_bits(qno);
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

int cldma_stop_queue(u8 md_id, u8 hif_id, u8 qno, int dir)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "stop queue");
    if (ctrl == NULL)
        return -1;
    if (qno >= CLDMA_QUEUES && qno != CLDMA_ALL_QUEUES)
        return -321;
    if (dir != 0 && dir != 1)
        return 0;
    WdfSpinLockAcquire(ctrl->lock);
    stop_side(ctrl, qno, dir == 0);
    WdfSpinLockRelease(ctrl->lock);
    if (dir == 1)
        wake_tx_senders(ctrl, queue_bits(qno));
    return 0;
}

int cldma_stop_tx_and_rx_low(u8 md_id, u8 hif_id)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "stop tx and rx low");
    if (ctrl == NULL)
        return -1;
    WdfSpinLockAcquire(ctrl->lock);
    stop_side(ctrl, CLDMA_ALL_QUEUES, false);
    ctrl->rx_active &= 0x0F;
    for (u8 q = 0; q < 4; q++) {
        cldma_hw_stop_queue(ctrl->hw, q, true);
        cldma_hw_mask_done(ctrl->hw, q, true);
        cldma_hw_mask_empty(ctrl->hw, q, true);
    }
    WdfSpinLockRelease(ctrl->lock);
    wake_tx_senders(ctrl, CLDMA_ALL_QUEUES);
    return 0;
}

int cldma_reset(u8 md_id, u8 hif_id, int what)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "reset");
    if (ctrl == NULL)
        return -1;
    if (what == 0) {
        reset_queues(ctrl);
    } else if (what == 1) {
        struct hif_hw_info* info = hw_info(ctrl);
        cldma_md_reset_pulse(ctrl->hw,
                             info != NULL && info->pcie_dev != NULL ? info->pcie_dev->md_reg_va : NULL);
    }
    return 0;
}

int cldma_reset_and_start(u8 md_id, u8 hif_id)
{
    int ret = cldma_reset(md_id, hif_id, 0);
    if (ret != 0)
        return ret;
    cldma_reset(md_id, hif_id, 1);
    return cldma_start(md_id, hif_id);
}

int cldma_exception_stage(u8 md_id, u8 hif_id, int stage)
{
    struct cldma_ctrl* ctrl = instance(md_id, hif_id, "exception stage");
    if (ctrl == NULL)
        return -1;
    switch (stage) {
    case 0:
        cldma_dump_status(md_id, hif_id, 0x80000, 0, 0);
        cldma_stop_queue(md_id, hif_id, CLDMA_ALL_QUEUES, 1);
        cldma_clear_rings(md_id, hif_id, 1);
        break;
    case 3:
        cldma_stop_queue(md_id, hif_id, CLDMA_ALL_QUEUES, 0);
        cldma_stop(md_id, hif_id);
        cldma_reset(md_id, hif_id, 1);
        cldma_clear_rings(md_id, hif_id, 0);
        break;
    case 5:
        cldma_hw_init(ctrl->hw);
        cldma_start(md_id, hif_id);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Power hooks, in the order suspend, suspend_late, resume_early, resume_late.

int cldma_suspend(struct mdm_pci_dev* dev, void* data)
{
    auto* ctrl = static_cast<struct cldma_ctrl*>(data);
    if (ctrl->hif_id == CLDMA_HIF_MD)
        mhccif_mask_set(dev, D2H_HANDSHAKE_BITS);
    WdfSpinLockAcquire(ctrl->lock);
    stop_side(ctrl, CLDMA_ALL_QUEUES, false);
    ctrl->tx_started = 0;
    WdfSpinLockRelease(ctrl->lock);
    wake_tx_senders(ctrl, CLDMA_ALL_QUEUES);
    return 0;
}

int cldma_suspend_late(struct mdm_pci_dev*, void* data)
{
    auto* ctrl = static_cast<struct cldma_ctrl*>(data);
    WdfSpinLockAcquire(ctrl->lock);
    stop_side(ctrl, CLDMA_ALL_QUEUES, true);
    cldma_hw_rearm(ctrl->hw);
    irq_disable(ctrl);
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

int cldma_resume_early(struct mdm_pci_dev*, void* data)
{
    auto* ctrl = static_cast<struct cldma_ctrl*>(data);
    struct start_addrs addrs;
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        addrs.tx[q] = tx_restart_addr(tx_queue(ctrl, q));
        addrs.rx[q] = rx_restart_addr(rx_queue(ctrl, q));
    }
    WdfSpinLockAcquire(ctrl->lock);
    // The engine may have lost its configuration in D3.
    cldma_hw_restore(ctrl->hw);
    if (ctrl->rings_ready) {
        program_start_addrs(ctrl, &addrs);
        irq_enable(ctrl);
        cldma_hw_start_queue(ctrl->hw, CLDMA_ALL_QUEUES, true);
        ctrl->rx_active |= CLDMA_ALL_QUEUES;
        cldma_hw_unmask_done(ctrl->hw, CLDMA_ALL_QUEUES, true);
        cldma_hw_unmask_empty(ctrl->hw, CLDMA_ALL_QUEUES, true);
    }
    WdfSpinLockRelease(ctrl->lock);
    return 0;
}

int cldma_resume_late(struct mdm_pci_dev* dev, void* data)
{
    auto* ctrl = static_cast<struct cldma_ctrl*>(data);
    u16 pending = 0;
    for (u8 q = 0; q < CLDMA_QUEUES; q++)
        if (tx_pending(tx_queue(ctrl, q)))
            pending |= (u16)(1u << q);
    WdfSpinLockAcquire(ctrl->lock);
    ctrl->tx_active |= CLDMA_ALL_QUEUES;
    cldma_hw_unmask_done(ctrl->hw, CLDMA_ALL_QUEUES, false);
    cldma_hw_unmask_empty(ctrl->hw, CLDMA_ALL_QUEUES, false);
    // Descriptors handed before the suspend go out now, not with the next send.
    for (u8 q = 0; q < CLDMA_QUEUES; q++) {
        if (pending & (1u << q)) {
            cldma_hw_start_queue(ctrl->hw, q, false);
            ctrl->tx_started |= (u16)(1u << q);
        }
    }
    WdfSpinLockRelease(ctrl->lock);
    if (ctrl->hif_id == CLDMA_HIF_MD)
        mhccif_mask_clear(dev, D2H_HANDSHAKE_BITS);
    return 0;
}
