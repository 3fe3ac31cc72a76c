// The DPMAIF instance's failure reports and diagnostic dump, shared by the rings and both data paths.
#include "dpmaif.h"

#include "mhccif.h"

volatile LONG dpmaif_exception_raised = 0;

bool dpmaif_exception_is_raised(void)
{
    return ReadNoFence(&dpmaif_exception_raised) != 0;
}

namespace
{

void trace_table(const char* name, const struct dpmaif_bat_table* table)
{
    ccci_info(DATA_TAG, "%s: ring %p (dma %I64X) length %u wr %u rel %u hw read %u", name, table->ring,
              table->ring_dma, table->length, table->wr_idx, table->rel_idx, table->hw_rd_idx);
}

// The PIT entries around a receive queue's read index: 30 before it to 30 after.
void trace_pit(const struct dpmaif_rxq* rxq)
{
    ccci_info(DATA_TAG, "rxq %u: rd %u hw wr %u rel %u expected seq %u to release %u", rxq->index, rxq->rd_idx,
              rxq->hw_wr_idx, rxq->rel_idx, rxq->expected_seq, rxq->to_release);
    if (rxq->pit == NULL || rxq->pit_length == 0)
        return;
    for (u32 i = 0; i < 60; i++) {
        u32 slot = (rxq->rd_idx + rxq->pit_length - 30 + i) % rxq->pit_length;
        const struct dpmaif_pit* pit = &rxq->pit[slot];
        ccci_info(DATA_TAG, "pit %u: %08X %08X %08X %08X", slot, pit->word[0], pit->word[1], pit->word[2],
                  pit->word[3]);
    }
}

void trace_bat_slots(const struct dpmaif_bat_table* table)
{
    trace_table("BAT", table);
    if (table->ring == NULL)
        return;
    for (u32 slot = 0; slot < table->length; slot++) {
        const struct dpmaif_bat_shadow* shadow = &table->shadow[slot];
        ccci_dbg(DATA_TAG, "bat %u: consumed %u entry %08X%08X shadow %p %I64X %u", slot, table->consumed[slot],
                 table->ring[slot].addr_hi, table->ring[slot].addr_lo, shadow->memory, shadow->dma, shadow->room);
    }
}

} // namespace

void dpmaif_raise_exception(struct dpmaif_hif* instance, const char* file, const char* function, int line)
{
    ccci_err(HIF_DPMAIF_TAG, "exception at %s %s:%d", file, function, line);
    if (InterlockedCompareExchange(&dpmaif_exception_raised, 1, 0) != 0 || instance == NULL)
        return;
    for (const struct dpmaif_rxq& rxq : instance->rxq)
        trace_pit(&rxq);
    trace_bat_slots(&instance->bat);
    dpmaif_dump_all(instance, DPMAIF_DUMP_REGS, -1);
    mhccif_ring_doorbell(instance->dev, DPMAIF_EXCEPTION_DOORBELL);
}

void dpmaif_assert_report(struct dpmaif_hif* instance, const char* file, const char* function, int line)
{
    dpmaif_dump_all(instance, DPMAIF_DUMP_REGS, -1);
    ccci_err(HIF_DPMAIF_TAG, "assertion at %s %s:%d", file, function, line);
}

int dpmaif_dump_all(struct dpmaif_hif* instance, u32 flags, int queue)
{
    if (instance == NULL) {
        ccci_err(DATA_TAG, "dump: no instance");
        return 0;
    }
    if (flags & DPMAIF_DUMP_REGS)
        dpmaif_hw_dump_regs(&instance->hw);
    if (queue == -1) {
        trace_table("BAT", &instance->bat);
        trace_table("fragment BAT", &instance->frag_bat);
        for (const struct dpmaif_rxq& rxq : instance->rxq)
            ccci_info(DATA_TAG, "rxq %u: enabled %d pit %p (dma %I64X) length %u rd %u hw wr %u rel %u", rxq.index,
                      rxq.enabled, rxq.pit, rxq.pit_dma, rxq.pit_length, rxq.rd_idx, rxq.hw_wr_idx, rxq.rel_idx);
        for (const struct dpmaif_txq& txq : instance->txq)
            ccci_info(DATA_TAG, "txq %u: enabled %d drb %p (dma %I64X) length %u wr %u hw rd %u rel %u free %d",
                      txq.index, txq.enabled, txq.drb, txq.drb_dma, txq.drb_length, txq.wr_idx, txq.hw_rd_idx,
                      txq.rel_idx, txq.drb_free);
    }
    return 0;
}
