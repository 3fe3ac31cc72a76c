// The DPMAIF instance as a whole: its creation and teardown with the ccmni layer, start and stop on the
// modem's states, suspend and resume inside the PCIe power sequences, and the gating of its two
// downlink interrupt sources.
#include "dpmaif.h"

#include "IpcContext.h"
#include "ccci_fsm.h"
#include "ccmni.h"
#include "pcie_pm.h"

#define DPMAIF_RUNNING_POLLS 1000000

namespace
{

const u8 kIrqSources[DPMAIF_RXQ_NUM] = {MDM_IRQ_SRC_DPMAIF0, MDM_IRQ_SRC_DPMAIF1};

int pm_step_nop(struct mdm_pci_dev*, void*)
{
    return 0;
}

void set_state(struct dpmaif_hif* instance, u32 state)
{
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&instance->state), (LONG)state);
}

bool uses_tasklets(const struct dpmaif_hif* instance)
{
    return instance->work_mode == 0;
}

void irq_sources_mask(struct dpmaif_hif* instance, bool mask)
{
    for (u8 source : instance->irq_source)
        if (mdm_pcie_irq_mask(instance->dev, source, mask) != 0)
            ccci_err(DATA_TAG, "source %u not %s", source, mask ? "masked" : "unmasked");
}

// Each source masked, its callback registered, acknowledged and unmasked; the last registration's
// result.
int hook_irqs(struct dpmaif_hif* instance)
{
    int result = 0;
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        instance->irq_source[q] = kIrqSources[q];
        instance->irq_rec[q] = {instance, kIrqSources[q], q};
    }
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        const u8 source = instance->irq_source[q];
        mdm_pcie_irq_mask(instance->dev, source, true);
        result =
            mdm_pcie_register_irq_callback(instance->dev, source, dpmaif_irq_wrapper, &instance->irq_rec[q]);
        if (result != 0)
            ccci_err(DATA_TAG, "source %u: callback not registered: %d", source, result);
        mdm_pcie_irq_ack(instance->dev, source);
        mdm_pcie_irq_mask(instance->dev, source, false);
    }
    return result;
}

// The registry slots point into the record: they are cleared, sources masked, and a dispatch already
// under way is waited for, before the record can go.
void unhook_irqs(struct dpmaif_hif* instance)
{
    for (u8 source : instance->irq_source) {
        mdm_pcie_irq_mask(instance->dev, source, true);
        mdm_pcie_register_irq_callback(instance->dev, source, NULL, NULL);
    }
    InterlockedExchange(&instance->dl_irq_enabled, 0);
    KeFlushQueuedDpcs();
}

void pm_register(struct dpmaif_hif* instance)
{
    struct mdm_pci_pm_entity* entity = &instance->pm_entity;
    *entity = {.link = {},
               .suspend = dpmaif_suspend,
               .suspend_late = pm_step_nop,
               .resume_early = pm_step_nop,
               .resume = dpmaif_resume,
               .key = PM_KEY_DPMAIF,
               .data = instance};
    if (mdm_pci_pm_entity_register(instance->dev, entity) != 0) {
        ccci_err(DATA_TAG, "power entity not registered");
        entity->data = NULL;
    }
}

void pm_unregister(struct dpmaif_hif* instance)
{
    if (instance->pm_entity.data != NULL)
        mdm_pci_pm_entity_unregister(instance->dev, &instance->pm_entity);
    instance->pm_entity.data = NULL;
}

// Disables a receive queue and waits until neither its tasklet nor its work item can still be inside
// the ring: a run already under way ends on `enabled`, and one it hands over to sees it at once.
void rxq_quiesce(struct dpmaif_rxq* rxq)
{
    InterlockedExchange(&rxq->enabled, 0);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        // The work item may hand over to the tasklet: cancelled again after the flush.
        if (rxq->tasklet != NULL)
            WdfDpcCancel(rxq->tasklet, TRUE);
        dpmaif_flush_work(rxq->work);
        if (rxq->tasklet != NULL)
            WdfDpcCancel(rxq->tasklet, TRUE);
    } else {
        dpmaif_flush_work(rxq->work);
    }
    int poll = 0;
    for (; poll < DPMAIF_RUNNING_POLLS && ReadNoFence(&rxq->running) != 0; poll++)
        KeStallExecutionProcessor(1);
    if (poll == DPMAIF_RUNNING_POLLS)
        ccci_err(DATA_TAG, "rxq %u still running", rxq->index);
}

NTSTATUS start_thread(HANDLE* thread, PKSTART_ROUTINE routine, PVOID context, const char* name)
{
    NTSTATUS status = win_create_thread(thread, routine, context);
    if (!NT_SUCCESS(status)) {
        ccci_err(DATA_TAG, "%s not started: %08X", name, status);
        *thread = NULL;
    }
    return status;
}

// Waits for the thread to end, then closes its handle.
void join_thread(HANDLE* thread)
{
    if (*thread == NULL)
        return;
    PVOID object = NULL;
    if (NT_SUCCESS(
            ObReferenceObjectByHandle(*thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, NULL))) {
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(object);
    }
    ZwClose(*thread);
    *thread = NULL;
}

// Ends the threads and releases what creation made, in an order that leaves nothing pointing into
// the record; also the clean-up of a creation that failed part-way.
void release_resources(struct dpmaif_hif* instance)
{
    // The push threads end only on the driver-wide flag; a creation that failed before any thread
    // started leaves it alone.
    bool threads = instance->tx_push_thread != NULL;
    for (const struct dpmaif_rxq& rxq : instance->rxq)
        threads = threads || rxq.push_thread != NULL;
    if (threads) {
        const UCHAR terminate = 1;
        IpcShouldTerminateThreads(&terminate);
    }
    KeSetEvent(&instance->tx_push_event, 0, FALSE);
    for (struct dpmaif_rxq& rxq : instance->rxq)
        if (rxq.instance != NULL)
            KeSetEvent(&rxq.push_event, 0, FALSE);
    join_thread(&instance->tx_push_thread);
    for (struct dpmaif_rxq& rxq : instance->rxq)
        join_thread(&rxq.push_thread);
    unhook_irqs(instance);
    dpmaif_flush_work(instance->bat_refill_work);
    for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++)
        dpmaif_txq_exit(instance, q);
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
        if (instance->rxq[q].instance != NULL)
            dpmaif_rxq_exit(instance, q);
    dpmaif_bat_teardown(instance);
}

void free_instance(struct dpmaif_hif* instance, struct ccmni_ctl_block* ccmni)
{
    ccmni->dpmaif = NULL;
    win_free(instance, DPMAIF_POOL_TAG);
}

// What the instance runs on: rings, queues and threads; false on the first that fails.
bool make_resources(struct dpmaif_hif* instance)
{
    if (dpmaif_bat_setup(instance) != 0)
        return false;
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
        if (dpmaif_rxq_init(instance, q) != 0)
            return false;
    for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++)
        if (dpmaif_txq_init(instance, q) != 0)
            return false;
    if (!NT_SUCCESS(start_thread(&instance->tx_push_thread, dpmaif_tx_hw_push_thread, instance,
                                 "transmit push thread")))
        return false;
    if (!uses_tasklets(instance))
        return true;
    for (struct dpmaif_rxq& rxq : instance->rxq)
        if (!NT_SUCCESS(start_thread(&rxq.push_thread, dpmaif_rx_push_thread, &rxq, "receive push thread")))
            return false;
    return true;
}

} // namespace

bool dpmaif_is_started(const struct dpmaif_hif* instance)
{
    return (u32)ReadNoFence(reinterpret_cast<const volatile LONG*>(&instance->state)) == DPMAIF_STATE_STARTED;
}

void dpmaif_ring_params_of(const struct dpmaif_hif* instance, struct dpmaif_ring_params* params)
{
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        params->bat_dma[q] = instance->bat.ring_dma;
        params->bat_length[q] = instance->bat.length;
        params->frag_dma[q] = instance->frag_bat.ring_dma;
        params->frag_length[q] = instance->frag_bat.length;
        params->pit_dma[q] = instance->rxq[q].pit_dma;
        params->pit_length[q] = instance->rxq[q].pit_length;
    }
    for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        params->drb_dma[q] = instance->txq[q].drb_dma;
        params->drb_length[q] = instance->txq[q].drb_length;
    }
}

void dpmaif_flush_work(WDFWORKITEM work)
{
    if (work == NULL)
        return;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ccci_err(DATA_TAG, "workitem is not allowed in IRQL[%d]\n", KeGetCurrentIrql());
        return;
    }
    WdfWorkItemFlush(work);
}

int dpmaif_hif_init(u8 hif_id, struct ccmni_ctl_block* ccmni)
{
    if (ccmni == NULL) {
        ccci_err(DATA_TAG, "init: no ccmni record");
        return -1;
    }
    struct mdm_pci_dev* dev = ccmni->dev;
    if (dev == NULL || dev->bar2_base == NULL) {
        ccci_err(DATA_TAG, "init: no PCIe device or register window");
        return -1;
    }
    auto* instance =
        static_cast<struct dpmaif_hif*>(win_zalloc(sizeof(struct dpmaif_hif), 0, DPMAIF_POOL_TAG));
    if (instance == NULL) {
        ccci_err(DATA_TAG, "init: instance not allocated");
        return -1;
    }
    ccmni->dpmaif = instance;
    instance->initialised = 0;
    instance->ccmni = ccmni;
    instance->dev = dev;
    instance->hif_id = hif_id;
    instance->work_mode = (ccmni->capabilities & CCMNI_CAP_NO_TASKLETS) != 0 ? 1 : 0;
    InterlockedExchange(&dpmaif_exception_raised, 0);

    instance->dma_dev = reinterpret_cast<struct device_node*>(dev->pdev);
    instance->window_modem_addr = dev->atr_base;
    instance->window_va = dev->bar2_base;
    instance->hw.md = dev->md;
    dpmaif_hw_set_base(&instance->hw, instance->window_va, instance->window_modem_addr);

    KeInitializeEvent(&instance->tx_push_event, SynchronizationEvent, FALSE);
    instance->lock_user = DPMAIF_LOCK_USER;
    pm_register(instance);
    if (hook_irqs(instance) != 0) {
        ccci_err(DATA_TAG, "init: interrupt callbacks not registered");
        unhook_irqs(instance);
        pm_unregister(instance);
        free_instance(instance, ccmni);
        return -1;
    }
    InterlockedExchange(&instance->dl_irq_enabled, 1);
    dpmaif_mask_dl_irqs(instance);

    if (!make_resources(instance)) {
        ccci_err(DATA_TAG, "init: resources not set up");
        pm_unregister(instance);
        release_resources(instance);
        free_instance(instance, ccmni);
        return -1;
    }
    instance->initialised = 1;
    return 0;
}

void dpmaif_hif_exit(u8 hif_id, struct ccmni_ctl_block* ccmni)
{
    struct dpmaif_hif* instance = ccmni != NULL ? ccmni->dpmaif : NULL;
    if (instance == NULL) {
        ccci_err(DATA_TAG, "exit: no instance");
        return;
    }
    if (instance->initialised) {
        if (instance->state != DPMAIF_STATE_STOPPED)
            dpmaif_hif_stop(hif_id, instance);
        pm_unregister(instance);
        release_resources(instance);
        instance->initialised = 0;
    }
    free_instance(instance, ccmni);
}

int dpmaif_hif_start(u8, struct dpmaif_hif* instance)
{
    if (instance == NULL || !instance->initialised || dpmaif_is_started(instance)) {
        ccci_err(DATA_TAG, "start refused (%s)",
                 instance == NULL         ? "no instance"
                 : !instance->initialised ? "not initialised"
                                          : "already started");
        return -1;
    }
    for (struct dpmaif_rxq& rxq : instance->rxq) {
        // The index is the creation's (the push thread reads it).
        InterlockedExchange(&rxq.enabled, 1);
        rxq.bid_errors = 0;
        rxq.budget = (u16)(instance->bat.length - 1);
    }
    if (dpmaif_bat_start(instance) != 0) {
        // Back to where the stop left it, so that a later start can fill the rings again.
        ccci_err(DATA_TAG, "start: rings not filled");
        for (struct dpmaif_rxq& rxq : instance->rxq)
            InterlockedExchange(&rxq.enabled, 0);
        dpmaif_bat_stop(instance);
        return 2;
    }
    for (struct dpmaif_txq& txq : instance->txq)
        InterlockedExchange(&txq.enabled, 1);
    struct dpmaif_ring_params params = {};
    dpmaif_ring_params_of(instance, &params);
    dpmaif_hw_start(&instance->hw, &params);
    dpmaif_hw_dl_add_bat_cnt(&instance->hw, 0, instance->bat.length - 1);
    dpmaif_hw_dl_add_frag_cnt(&instance->hw, 0, instance->frag_bat.length - 1);
    dpmaif_hw_dl_status_clear(&instance->hw);
    dpmaif_hw_ul_status_clear(&instance->hw);
    set_state(instance, DPMAIF_STATE_STARTED);
    dpmaif_unmask_dl_irqs(instance);
    KeSetEvent(&instance->tx_push_event, 0, FALSE);
    return 0;
}

int dpmaif_hif_stop(u8, struct dpmaif_hif* instance)
{
    if (instance == NULL)
        return -1;
    if (!instance->initialised || instance->state == DPMAIF_STATE_STOPPED) {
        ccci_err(DATA_TAG, "stop refused (%s)",
                 !instance->initialised ? "not initialised" : "already stopped");
        return -1;
    }
    dpmaif_mask_dl_irqs(instance);
    set_state(instance, DPMAIF_STATE_STOPPED);
    // Receive runners first leave the rings alone; then nothing can move the indexes the resets zero.
    for (struct dpmaif_rxq& rxq : instance->rxq)
        rxq_quiesce(&rxq);
    dpmaif_flush_work(instance->rx_cache.refill_work);
    dpmaif_tx_stop(instance);
    dpmaif_bat_stop(instance);
    for (struct dpmaif_rxq& rxq : instance->rxq)
        dpmaif_rxq_reset(&rxq);
    return 0;
}

int dpmaif_hif_md_state(u8 hif_id, struct dpmaif_hif* instance, u32 md_state)
{
    if (instance == NULL) {
        ccci_err(DATA_TAG, "modem state %u: no instance", md_state);
        return -1;
    }
    switch (md_state) {
    case MD_STATE_BOOT_HS:
        return dpmaif_hif_start(hif_id, instance);
    case MD_STATE_EXCEPTION:
        dpmaif_dump_all(instance, DPMAIF_DUMP_REGS, -1);
        return dpmaif_hif_stop(hif_id, instance);
    case MD_STATE_STOPPING:
        dpmaif_hw_ul_stop(&instance->hw);
        dpmaif_hw_dl_stop(&instance->hw);
        return 0;
    case MD_STATE_STOPPED:
        return dpmaif_hif_stop(hif_id, instance);
    default:
        return 0;
    }
}

int dpmaif_suspend(struct mdm_pci_dev*, void* data)
{
    auto* instance = static_cast<struct dpmaif_hif*>(data);
    if (instance == NULL)
        return 0;
    dpmaif_tx_disable(instance);
    dpmaif_hw_ul_stop(&instance->hw);
    dpmaif_hw_dl_stop(&instance->hw);
    dpmaif_mask_dl_irqs(instance);
    for (struct dpmaif_rxq& rxq : instance->rxq)
        rxq_quiesce(&rxq);
    return 0;
}

int dpmaif_resume(struct mdm_pci_dev*, void* data)
{
    auto* instance = static_cast<struct dpmaif_hif*>(data);
    // A stop while suspended keeps the queues of the stopped instance disabled.
    if (instance == NULL || !dpmaif_is_started(instance))
        return 0;
    for (struct dpmaif_txq& txq : instance->txq)
        InterlockedExchange(&txq.enabled, 1);
    for (struct dpmaif_rxq& rxq : instance->rxq)
        InterlockedExchange(&rxq.enabled, 1);
    KeSetEvent(&instance->tx_push_event, 0, FALSE);
    return 0;
}

void dpmaif_mask_dl_irqs(struct dpmaif_hif* instance)
{
    if (instance != NULL && InterlockedCompareExchange(&instance->dl_irq_enabled, 0, 1) == 1)
        irq_sources_mask(instance, true);
}

void dpmaif_unmask_dl_irqs(struct dpmaif_hif* instance)
{
    if (instance != NULL && InterlockedCompareExchange(&instance->dl_irq_enabled, 1, 0) == 0)
        irq_sources_mask(instance, false);
}

void dpmaif_unmask_dl_done_irqs(struct dpmaif_hif* instance)
{
    if (instance == NULL)
        return;
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
        dpmaif_hw_dl_done_unmask(&instance->hw, q);
}

void dpmaif_flow_ctrl_notify(struct dpmaif_hif* instance, u32 kind, u32 direction, u32 queue)
{
    // Verbose: the transmit notices come once per released slot while the ring has room.
    ccci_dbg(DATA_TAG, "flow control: %s queue %u kind %u", direction == DPMAIF_FLOW_RX ? "RX" : "TX", queue, kind);
    ccmni_queue_state_hook(instance != NULL ? instance->ccmni : NULL);
}
