// The DPMAIF receive path: the PIT of a receive queue read in order, each packet built from its
// normal buffer (and any fragment pieces, copied behind it), grouped into chains per channel for the
// ccmni layer, and the PIT entries returned to the engine in batches.
#include "dpmaif.h"
#include "IpcContext.h"

#include <initializer_list>

#define DPMAIF_SEQ_COUNT 251u
#define DPMAIF_SEQ_READS 101
#define DPMAIF_SEQ_FAILURE_LIMIT 500u
#define DPMAIF_PIT_RELEASE_MIN 60u
#define DPMAIF_PIT_RELEASE_EVERY 128u
#define DPMAIF_PUSH_PREFIX 4u

namespace
{

// Entry fields. The engine writes the entry before it moves the write index, with a barrier between.
u32 word(const struct dpmaif_pit* pit, int i)
{
    return ReadNoFence(reinterpret_cast<const volatile LONG*>(&pit->word[i]));
}
bool is_message(u32 w0) { return (w0 & 1u) != 0; }
bool continues(u32 w0) { return (w0 & 2u) != 0; }
bool is_frag(u32 w0) { return (w0 & 4u) != 0; }
u32 buffer_id(u32 w0, u32 w3) { return (w3 & 0x700u) << 5 | ((w0 >> 3) & 0x1FFFu); }
u32 data_length(u32 w0) { return w0 >> 16; }

// Where the entry's data starts in its lent buffer; false when it does not lie wholly inside.
bool data_offset(u32 address_lo, u32 buffer_lo, u32 extra, u32 length, u32 room, u32* offset)
{
    *offset = address_lo + extra - buffer_lo;
    return *offset < room && length <= room - *offset;
}

void raise_once(struct dpmaif_rxq* rxq)
{
    if (!dpmaif_exception_is_raised())
        DPMAIF_EXCEPTION(rxq->instance);
}

// Gives a packet's buffer back to the cache it came from (or frees it).
void discard(struct sk_buff* skb)
{
    if (skb == NULL)
        return;
    if (skb->pool != NULL)
        skb_chain_recycle(skb);
    else
        kfree_skb(skb, DPMAIF_POOL_TAG);
}

} // namespace

int dpmaif_check_pit_seq(struct dpmaif_rxq* rxq, const struct dpmaif_pit* pit)
{
    if (pit == NULL) {
        DPMAIF_ASSERT(rxq->instance);
        return -1;
    }
    for (int read = 0; read < DPMAIF_SEQ_READS; read++) {
        u32 seq = word(pit, 3) & 0xFFu;
        if (seq > DPMAIF_SEQ_COUNT)
            break;
        if (seq == rxq->expected_seq) {
            rxq->expected_seq = (rxq->expected_seq + 1) % DPMAIF_SEQ_COUNT;
            rxq->seq_failures = 0;
            return 0;
        }
        udelay(20);
    }
    ccci_warn(DATA_TAG, "rxq %u: entry %u sequence %u, expected %u", rxq->index, rxq->rd_idx, word(pit, 3) & 0xFFu,
              rxq->expected_seq);
    if (++rxq->seq_failures >= DPMAIF_SEQ_FAILURE_LIMIT) {
        raise_once(rxq);
        rxq->seq_failures = 0;
    }
    return -1;
}

int dpmaif_rx_set_data_to_skb(struct dpmaif_rxq* rxq, const struct dpmaif_pit* pit, struct dpmaif_rx_assembly* assembly)
{
    u32 w0 = word(pit, 0);
    u32 bid = buffer_id(w0, word(pit, 3));
    struct dpmaif_bat_shadow* shadow = &rxq->bat->shadow[bid];
    struct sk_buff* skb = shadow->skb;
    u32 offset;
    // The engine's address and length are checked before any pointer moves.
    if (!data_offset(word(pit, 1), (u32)shadow->dma, 0, data_length(w0), shadow->room, &offset)) {
        ccci_err(DATA_TAG, "rxq %u: entry %u: %u bytes at %08X outside buffer %u (%I64X, room %u)", rxq->index,
                 rxq->rd_idx, data_length(w0), word(pit, 1), bid, shadow->dma, shadow->room);
        raise_once(rxq);
        return -7;
    }
    skb->len = 0;
    skb->data_len = 0;
    skb->nr_frags = 0;
    skb->data = skb->head;
    skb->tail = 0;
    skb_reserve(skb, offset);
    skb_put(skb, data_length(w0));
    assembly->skb = skb;
    RtlZeroMemory(shadow, sizeof(*shadow));
    return 0;
}

int bat_cur_bid_check(struct dpmaif_rxq* rxq, u32, const struct dpmaif_pit* pit, struct dpmaif_rx_assembly* assembly)
{
    u32 bid = buffer_id(word(pit, 0), word(pit, 3));
    if (bid >= rxq->bat->length || rxq->bat->shadow[bid].skb == NULL) {
        ccci_err(DATA_TAG, "rxq %u: entry %u names buffer %u, which is not lent", rxq->index, rxq->rd_idx, bid);
        rxq->bid_errors++;
        raise_once(rxq);
        return -7;
    }
    int result = dpmaif_rx_set_data_to_skb(rxq, pit, assembly);
    if (result == 0)
        dpmaif_set_pkt_bat_mask(rxq, bid);
    return result;
}

// A fragment piece is copied behind the packet's linear data, so the packet stays one linear buffer
// and the fragment slot keeps its memory to be lent again. A piece that does not fit is an error.
int dpmaif_rx_frag(struct dpmaif_rxq* rxq, u32, const struct dpmaif_pit* pit, struct dpmaif_rx_assembly* assembly)
{
    u32 w0 = word(pit, 0);
    u32 bid = buffer_id(w0, word(pit, 3));
    if (bid >= rxq->frag_bat->length)
        return -7;
    struct dpmaif_bat_shadow* shadow = &rxq->frag_bat->shadow[bid];
    if (shadow->memory == NULL) {
        rxq->bid_errors++;
        return -7;
    }
    u32 offset;
    u32 length = data_length(w0);
    struct sk_buff* skb = assembly->skb;
    bool inside = data_offset(word(pit, 1), (u32)shadow->dma, shadow->room, length, shadow->size, &offset);
    bool fits = skb->end - skb->tail >= length;
    if (inside && fits)
        RtlCopyMemory(skb_put(skb, length), static_cast<u8*>(shadow->memory) + offset, length);
    else
        ccci_err(DATA_TAG, "rxq %u: fragment %u of %u bytes at %08X %s", rxq->index, bid, length, word(pit, 1),
                 inside ? "does not fit the packet" : "outside its buffer");
    dpmaif_set_frag_bat_mask(rxq, bid);
    return inside && fits ? 0 : -7;
}

int dpmaif_rx_skb_done(struct dpmaif_rxq* rxq, struct dpmaif_rx_assembly* assembly)
{
    struct sk_buff* skb = assembly->skb;
    if (assembly->drop) {
        discard(skb);
        assembly->skb = NULL;
        return 0;
    }
    skb->csum_state = (u8)assembly->csum;
    skb->chain_next = NULL;
    struct dpmaif_rx_history* history = &rxq->instance->rx_history[rxq->index];
    struct dpmaif_rx_record* record = &history->records[history->next];
    RtlZeroMemory(record, sizeof(*record));
    record->channel = assembly->channel;
    RtlCopyMemory(record->data, skb->data, skb->len < sizeof(record->data) ? skb->len : sizeof(record->data));
    record->tick = KeQueryInterruptTime();
    history->next = (history->next + 1) % DPMAIF_HISTORY;
    return 0;
}

int dpmaif_pit_add_rel(struct dpmaif_rxq* rxq, u32 count)
{
    if (!ReadNoFence(&rxq->enabled))
        return 0;
    if (count >= rxq->pit_length) {
        ccci_err(DATA_TAG, "rxq %u: release of %u PIT entries", rxq->index, count);
        return -1;
    }
    u32 r = rxq->rel_idx;
    u32 h = rxq->hw_wr_idx;
    u32 next = r + count;
    if ((r < h && next > h) || (r > h && next >= rxq->pit_length && next - rxq->pit_length > h))
        ccci_warn(DATA_TAG, "rxq %u: PIT release %u + %u passes the write index %u", rxq->index, r, count, h);
    // Entries the engine did not take back stay to be released, and are offered again.
    int result = dpmaif_hw_dl_add_pit_cnt(&rxq->instance->hw, rxq->index, count);
    if (result != 0)
        return result;
    rxq->rel_idx = (u16)(next % rxq->pit_length);
    return 0;
}

int dpmaif_pit_release(struct dpmaif_rxq* rxq, u32)
{
    WdfWorkItemEnqueue(rxq->instance->bat_refill_work);
    if (rxq->to_release < DPMAIF_PIT_RELEASE_MIN)
        return 0;
    int result = dpmaif_pit_add_rel(rxq, rxq->to_release);
    if (result != 0) {
        ccci_err(DATA_TAG, "rxq %u: %u PIT entries not returned: %d", rxq->index, rxq->to_release, result);
        return result;
    }
    rxq->to_release = 0;
    return 0;
}

namespace
{

// Consecutive packets of one channel, handed to the ccmni layer in one call.
struct rx_chain {
    struct sk_buff* first;
    struct sk_buff* last;
    u32 channel;
    u32 count;
};

void deliver(struct dpmaif_rxq* rxq, struct rx_chain* chain)
{
    if (chain->count == 0)
        return;
    ccmni_rx_callback(rxq->instance->ccmni, chain->channel, chain->first, 0, chain->count);
    *chain = {};
}

// Links the packet behind the chain, which then goes with its channel.
void append(struct rx_chain* chain, u32 channel, struct sk_buff* skb)
{
    skb->chain_next = NULL;
    if (chain->count == 0)
        chain->first = skb;
    else
        chain->last->chain_next = skb;
    chain->last = skb;
    chain->channel = channel;
    chain->count++;
}

void collect(struct dpmaif_rxq* rxq, struct rx_chain* chain, u32 channel, struct sk_buff* skb)
{
    if (chain->count != 0 && chain->channel != channel)
        deliver(rxq, chain);
    append(chain, channel, skb);
}

// One payload entry into the assembly: 0 or the entry's error.
int take_payload(struct dpmaif_rxq* rxq, const struct dpmaif_pit* pit, struct dpmaif_rx_assembly* assembly)
{
    if (!is_frag(word(pit, 0))) {
        // A second normal buffer in one packet breaks it; the first one would otherwise be lost.
        struct sk_buff* earlier = assembly->skb;
        int result = bat_cur_bid_check(rxq, 0, pit, assembly);
        if (earlier == NULL)
            return result;
        ccci_err(DATA_TAG, "rxq %u: entry %u: second normal buffer in one packet", rxq->index, rxq->rd_idx);
        discard(earlier);
        if (assembly->skb == earlier)
            assembly->skb = NULL;
        return -7;
    }
    if (assembly->skb == NULL) {
        ccci_err(DATA_TAG, "rxq %u: entry %u: fragment before the packet's buffer", rxq->index, rxq->rd_idx);
        DPMAIF_ASSERT(rxq->instance);
        // The slot was used all the same: it goes back with the others.
        u32 bid = buffer_id(word(pit, 0), word(pit, 3));
        if (bid < rxq->frag_bat->length && rxq->frag_bat->shadow[bid].memory != NULL)
            dpmaif_set_frag_bat_mask(rxq, bid);
        return -7;
    }
    return dpmaif_rx_frag(rxq, 0, pit, assembly);
}

} // namespace

int dpmaif_rx_start(struct dpmaif_rxq* rxq, u32 count, u32, LONGLONG)
{
    struct dpmaif_rx_assembly* assembly = &rxq->assembly;
    struct rx_chain chain = {};
    int payload_result = 0;
    int release_result = 0;
    bool out_of_sequence = false;
    u32 read = 0;
    for (; read < count; read++) {
        const struct dpmaif_pit* pit = &rxq->pit[rxq->rd_idx];
        out_of_sequence = dpmaif_check_pit_seq(rxq, pit) != 0;
        if (out_of_sequence)
            break;
        u32 w0 = word(pit, 0);
        if (is_message(w0)) {
            if (assembly->message_seen)
                DPMAIF_ASSERT(rxq->instance);
            assembly->message_seen = 1;
            assembly->channel = (w0 >> 16) & 0xFFu;
            assembly->csum = (w0 >> 2) & 0x3u;
            assembly->drop = w0 >> 31;
        } else {
            payload_result = take_payload(rxq, pit, assembly);
            if (payload_result < 0) {
                assembly->error = 1;
                if (dpmaif_exception_is_raised()) {
                    deliver(rxq, &chain);
                    return payload_result;
                }
            }
            if (!continues(w0)) {
                struct sk_buff* skb = assembly->skb;
                bool deliverable = skb != NULL && !assembly->error && !assembly->drop;
                if (assembly->error || skb == NULL)
                    discard(skb);
                else
                    dpmaif_rx_skb_done(rxq, assembly);
                if (deliverable)
                    collect(rxq, &chain, assembly->channel, skb);
                RtlZeroMemory(assembly, sizeof(*assembly));
            }
        }
        rxq->to_release++;
        rxq->rd_idx = (u16)((rxq->rd_idx + 1) % rxq->pit_length);
        if (read != 0 && read % DPMAIF_PIT_RELEASE_EVERY == 0) {
            release_result = dpmaif_pit_release(rxq, 0);
            if (release_result < 0) {
                read++;
                break;
            }
        }
    }
    deliver(rxq, &chain);
    if (release_result >= 0)
        release_result = dpmaif_pit_release(rxq, 0);
    if (payload_result < 0)
        return payload_result;
    if (release_result < 0)
        return release_result;
    // An entry not yet written: a later run reads it again.
    return out_of_sequence ? 0 : (int)read;
}

int dpmaif_rx_run(struct dpmaif_hif* instance, u8 q, u32 budget, bool take_all)
{
    struct dpmaif_rxq* rxq = &instance->rxq[q];
    while (ReadNoFence(&rxq->enabled)) {
        u32 hw_wr = dpmaif_hw_get_pit_wr_idx(&instance->hw, q);
        if (hw_wr >= rxq->pit_length) {
            ccci_err(DATA_TAG, "rxq %u: PIT write index %u outside the ring of %u", q, hw_wr, rxq->pit_length);
            raise_once(rxq);
            return 1;
        }
        rxq->hw_wr_idx = (u16)hw_wr;
        u32 available = hw_wr >= rxq->rd_idx ? hw_wr - rxq->rd_idx : hw_wr + rxq->pit_length - rxq->rd_idx;
        if (available == 0) {
            instance->rx_empty_runs++;
            return 1;
        }
        u32 n = available > budget && !take_all ? budget : available;
        if (dpmaif_exception_is_raised())
            return 1;
        int c = dpmaif_rx_start(rxq, n, take_all, -20000);
        if (dpmaif_exception_is_raised())
            return 1;
        if (c < -10)
            return 2;
        if (c <= -5)
            return 3;
        if (c < 0)
            return 2;
        if ((u32)c < available)
            return 0;
    }
    return 1;
}

namespace
{

void rx_runner(struct dpmaif_rxq* rxq, bool tasklet)
{
    struct dpmaif_hif* instance = rxq->instance;
    InterlockedExchange(&rxq->running, 1);
    if (tasklet)
        instance->rx_tasklet_runs++;
    if (!ReadNoFence(&rxq->enabled)) {
        InterlockedExchange(&rxq->running, 0);
        ccci_warn(DATA_TAG, "rxq %u run while disabled", rxq->index);
        return;
    }
    instance->rx_last_run[rxq->index] = KeQueryInterruptTime();
    int result = dpmaif_rx_run(instance, rxq->index, rxq->budget, false);
    if (!dpmaif_exception_is_raised()) {
        if (result == 0)
            WdfDpcEnqueue(rxq->tasklet);
        else if (result == 3)
            DPMAIF_ASSERT(instance);
        if (result == 2 || result == 3)
            WdfWorkItemEnqueue(rxq->work);
        dpmaif_hw_dl_status_refresh(&instance->hw);
        // The done interrupt stays masked until a run has found the PIT empty.
        if (result == 1)
            dpmaif_hw_dl_done_unmask(&instance->hw, rxq->index);
    }
    InterlockedExchange(&rxq->running, 0);
}

} // namespace

void dpmaif_rxq_tasklet(WDFDPC Dpc)
{
    rx_runner(static_cast<struct dpmaif_rxq*>(WdfObjectGet_WWAN_OBJ_CONTEXT(Dpc)->data), true);
}

void dpmaif_rxq_work(WDFWORKITEM WorkItem)
{
    rx_runner(static_cast<struct dpmaif_rxq*>(WdfObjectGet_WWAN_OBJ_CONTEXT(WorkItem)->data), false);
}

namespace
{

void rx_done_irq(struct dpmaif_hif* instance, u32 value)
{
    int q = kal_ffs(value) - 1;
    if (q < 0 || q >= DPMAIF_RXQ_NUM) {
        ccci_err(DATA_TAG, "receive done for %08X", value);
        return;
    }
    rx_runner(&instance->rxq[q], true);
    instance->rxq[q].irq_cpu = (s32)KeGetCurrentProcessorNumber();
}

} // namespace

void dpmaif_irq_cb(struct dpmaif_irq_rec* rec)
{
    struct dpmaif_hif* instance = rec->instance;
    struct dpmaif_irq_status status = {};
    if (drv_dpmaif_hw_get_interrupt_status(&instance->hw, &status, rec->queue) < 0)
        return;
    mdm_pcie_irq_ack(instance->dev, rec->source);
    for (u32 i = 0; i < status.count; i++) {
        u32 value = status.value[i];
        switch (status.type[i]) {
        case DPMAIF_IRQ_UL_DONE:
            for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++)
                if ((value & (1u << q)) != 0 && instance->txq[q].done_timer != NULL)
                    WdfTimerStart(instance->txq[q].done_timer, 0);
            break;
        case DPMAIF_IRQ_UL_GROUP5:
        case DPMAIF_IRQ_DL_CAUSE6:
            ccci_err(DATA_TAG, "interrupt %u value %08X", status.type[i], value);
            DPMAIF_ASSERT(instance);
            break;
        case DPMAIF_IRQ_DL_EVENT_Q0:
        case DPMAIF_IRQ_DL_EVENT_Q1:
            dpmaif_hw_dl_event_unmask(&instance->hw, status.type[i] == DPMAIF_IRQ_DL_EVENT_Q0 ? 0 : 1);
            break;
        case DPMAIF_IRQ_DL_DONE_Q0:
        case DPMAIF_IRQ_DL_DONE_Q1:
        case DPMAIF_IRQ_DL_DONE:
            rx_done_irq(instance, value);
            break;
        case DPMAIF_IRQ_DL_CAUSE1:
            instance->irq_errors++;
            DPMAIF_ASSERT(instance);
            break;
        case DPMAIF_IRQ_DL_CAUSE2:
            dpmaif_hw_dl_cause_unmask2(&instance->hw);
            break;
        case DPMAIF_IRQ_DL_CAUSE3:
            dpmaif_hw_dl_cause_unmask3(&instance->hw);
            break;
        default:
            ccci_info(DATA_TAG, "interrupt %u value %08X", status.type[i], value);
            break;
        }
    }
}

int dpmaif_irq_wrapper(void* arg)
{
    auto* rec = static_cast<struct dpmaif_irq_rec*>(arg);
    struct dpmaif_hif* instance = rec->instance;
    if (!dpmaif_is_started(instance)) {
        dpmaif_hw_trace_status(&instance->hw);
        return 1;
    }
    mdm_pcie_irq_mask(instance->dev, rec->source, true);
    dpmaif_irq_cb(rec);
    // An idle gating that masked the sources meanwhile keeps them masked.
    if (ReadNoFence(&instance->dl_irq_enabled))
        mdm_pcie_irq_mask(instance->dev, rec->source, false);
    return 1;
}

int dpmaif_rxq_init(struct dpmaif_hif* instance, u8 q)
{
    struct dpmaif_rxq* rxq = &instance->rxq[q];
    RtlZeroMemory(rxq, sizeof(*rxq));
    rxq->index = q;
    rxq->instance = instance;
    rxq->irq_cpu = rxq->push_cpu = -1;
    rxq->pit_length = DPMAIF_PIT_LENGTH;
    // The exit below signals it, also on a failed set-up.
    KeInitializeEvent(&rxq->push_event, SynchronizationEvent, FALSE);
    rxq->pit = static_cast<struct dpmaif_pit*>(dma_alloc_coherent(
        instance->dma_dev, rxq->pit_length * sizeof(struct dpmaif_pit), &rxq->pit_dma, 0, DPMAIF_POOL_TAG));
    if (rxq->pit == NULL || !NT_SUCCESS(workitem_init(&rxq->work, dpmaif_rxq_work, rxq, 0)) ||
        !NT_SUCCESS(_tasklet_init(&rxq->tasklet, dpmaif_rxq_tasklet, rxq, 0))) {
        ccci_err(DATA_TAG, "rxq %u not set up", q);
        dpmaif_rxq_exit(instance, q);
        return -1;
    }
    bm_queue_init(&rxq->push_queue, DPMAIF_BAT_BUF_SIZE, 0xFFFFFFFFu, false, DPMAIF_POOL_TAG);
    rxq->bat = &instance->bat;
    rxq->frag_bat = &instance->frag_bat;
    InterlockedIncrement(&rxq->bat->users);
    InterlockedIncrement(&rxq->frag_bat->users);
    return 0;
}

void dpmaif_rxq_exit(struct dpmaif_hif* instance, u8 q)
{
    struct dpmaif_rxq* rxq = &instance->rxq[q];
    tasklet_kill(&rxq->tasklet);
    workitem_destroy(&rxq->work);
    discard(rxq->assembly.skb);
    rxq->assembly.skb = NULL;
    if (rxq->push_queue.list.lock != NULL) {
        // Receive buffers: back to the cache they came from.
        for (struct sk_buff* skb = bm_queue_pop(&rxq->push_queue); skb != NULL; skb = bm_queue_pop(&rxq->push_queue)) {
            skb->chain_next = NULL;
            discard(skb);
        }
        skb_queue_head_release(&rxq->push_queue.list);
    }
    if (rxq->pit != NULL)
        dma_free_coherent(instance->dma_dev, rxq->pit_length * sizeof(struct dpmaif_pit), rxq->pit, rxq->pit_dma, 0,
                          DPMAIF_POOL_TAG);
    rxq->pit = NULL;
    for (struct dpmaif_bat_table* table : {rxq->bat, rxq->frag_bat})
        if (table != NULL)
            InterlockedDecrement(&table->users);
    rxq->bat = rxq->frag_bat = NULL;
}

void dpmaif_rxq_reset(struct dpmaif_rxq* rxq)
{
    dpmaif_flush_work(rxq->work);
    InterlockedExchange(&rxq->enabled, 0);
    if (rxq->rd_idx != rxq->hw_wr_idx)
        ccci_info(DATA_TAG, "rxq %u stops with entries pending: rd %u hw wr %u", rxq->index, rxq->rd_idx,
                  rxq->hw_wr_idx);
    RtlZeroMemory(rxq->pit, rxq->pit_length * sizeof(struct dpmaif_pit));
    rxq->rd_idx = rxq->hw_wr_idx = rxq->rel_idx = 0;
    rxq->expected_seq = rxq->to_release = rxq->seq_failures = 0;
    discard(rxq->assembly.skb);
    RtlZeroMemory(&rxq->assembly, sizeof(rxq->assembly));
}

namespace
{

// The lowest-numbered active processor that takes neither receive queue's interrupts; the current one
// when every active processor does.
ULONG push_processor(const struct dpmaif_hif* instance, KAFFINITY active)
{
    for (ULONG cpu = 0; cpu < sizeof(KAFFINITY) * 8; cpu++) {
        if ((active & ((KAFFINITY)1 << cpu)) == 0)
            continue;
        bool taken = false;
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
            taken = taken || instance->rxq[q].irq_cpu == (s32)cpu;
        if (!taken)
            return cpu;
    }
    return KeGetCurrentProcessorNumber();
}

} // namespace

void dpmaif_rx_push_thread(PVOID context)
{
    struct dpmaif_rxq* rxq = static_cast<struct dpmaif_rxq*>(context);
    bool bound = false;
    KAFFINITY previous = 0;
    for (;;) {
        if (skb_queue_empty(&rxq->push_queue.list)) {
            dpmaif_flow_ctrl_notify(rxq->instance, DPMAIF_FLOW_RX_WAIT, DPMAIF_FLOW_RX, rxq->index);
            (void)win_wait_interruptible(&rxq->push_event);
        }
        if (IpcShouldTerminateThreads(NULL))
            break;
        if (skb_queue_empty(&rxq->push_queue.list))
            continue;
        if (rxq->push_cpu == -1 || rxq->push_cpu == rxq->irq_cpu) {
            KAFFINITY active = 0;
            (void)KeQueryActiveProcessorCount(&active);
            ULONG cpu = push_processor(rxq->instance, active);
            KAFFINITY old = KeSetSystemAffinityThreadEx(active & ((KAFFINITY)1 << cpu));
            if (!bound)
                previous = old;
            bound = true;
            rxq->push_cpu = (s32)cpu;
        }
        struct rx_chain chain = {};
        for (struct sk_buff* skb = bm_queue_pop(&rxq->push_queue); skb != NULL;
             skb = bm_queue_pop(&rxq->push_queue)) {
            if (skb->len < DPMAIF_PUSH_PREFIX) {
                ccci_err(DATA_TAG, "rxq %u: %u-byte buffer without its prefix dropped", rxq->index, skb->len);
                skb->chain_next = NULL;
                discard(skb);
                continue;
            }
            u32 channel = skb->data[3] & 0x1Fu;
            skb_pull(skb, DPMAIF_PUSH_PREFIX);
            append(&chain, channel, skb); // the chain goes with the channel of its last buffer
        }
        deliver(rxq, &chain);
    }
    if (bound)
        KeRevertToUserAffinityThreadEx(previous);
    ccci_info(DATA_TAG, "rxq %u push thread ends", rxq->index);
}
