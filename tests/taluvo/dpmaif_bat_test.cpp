// The DPMAIF buffer rings: free space and write-index arithmetic, consumed-slot counting and release,
// the receive buffer cache, the rings' part of stop and start, and the exception report.
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/pool.h>
#include <host/trace.h>

#include <vector>

#include "dpmaif_sim.h"

namespace
{

using namespace sim::modem;
using dpmaifsim::DpmaifTest;

size_t Traced(const char* tag)
{
    return host::TraceFind(tag).size();
}

size_t LiveTagged(ULONG tag)
{
    size_t count = 0;
    for (const host::PoolAllocation& allocation : host::PoolLiveAllocations(host::ImageMain()))
        count += allocation.tag == tag;
    return count;
}

u64 Entry(const struct dpmaif_bat_table& table, u32 slot)
{
    return (u64)table.ring[slot].addr_hi << 32 | table.ring[slot].addr_lo;
}

class DpmaifBatTest : public DpmaifTest
{
  protected:
    void SetUp() override
    {
        DpmaifTest::SetUp();
        SetUpRings();
    }
    struct dpmaif_bat_table& Bat() { return hif()->bat; }
    struct dpmaif_bat_table& Frag() { return hif()->frag_bat; }
    void Place(struct dpmaif_bat_table& table, u16 wr, u16 rel)
    {
        table.wr_idx = wr;
        table.rel_idx = rel;
    }
};

TEST_F(DpmaifBatTest, WriteIndexMovesOnlyWithinTheFreeSpace)
{
    struct Case {
        u16 wr, rel;
        u32 free;
        u32 count;
        int result;
        u16 wr_after;
    };
    const Case cases[] = {
        {0, 0, 8191, 8191, 0, 8191},     // an empty ring takes length - 1
        {0, 0, 8191, 8192, -8, 0},       // never the whole length
        {10, 20, 9, 9, 0, 19},           // w < r: up to r - 1
        {10, 20, 9, 10, -8, 10},
        {8000, 100, 291, 291, 0, 99},    // w >= r: wraps, up to r - 1
        {8000, 100, 291, 292, -8, 8000},
        {8190, 0, 1, 1, 0, 8191},
        {8191, 0, 0, 1, -8, 8191},       // rel = wr + 1 (wrapped): full
        {50, 51, 0, 1, -8, 50},          // rel = wr + 1: full
    };
    for (const Case& c : cases) {
        Place(Bat(), c.wr, c.rel);
        EXPECT_EQ(c.free, dpmaif_bat_free_space(&Bat())) << c.wr << "/" << c.rel;
        EXPECT_EQ(c.result, dpmaif_bat_add_wr(hif(), 0, c.count)) << c.wr << "/" << c.rel << " +" << c.count;
        EXPECT_EQ(c.wr_after, Bat().wr_idx) << c.wr << "/" << c.rel << " +" << c.count;
    }

    // Only an enabled receive queue moves it.
    Place(Bat(), 0, 0);
    InterlockedExchange(&rxq(0)->enabled, 0);
    EXPECT_EQ(-8, dpmaif_bat_add_wr(hif(), 0, 1));
    EXPECT_EQ(-8, dpmaif_bat_add_wr(hif(), 1, 1));
    EXPECT_EQ(0, Bat().wr_idx);
}

TEST_F(DpmaifBatTest, AFillOfTheFreeSpacePassesAndOneMoreChangesNothing)
{
    for (struct dpmaif_bat_table* table : {&Bat(), &Frag()}) {
        Place(*table, 10, 20);
        bool frag = table == &Frag();
        auto fill = [&](u32 count) {
            return frag ? dpmaif_alloc_rx_frag(hif(), table, 0, count, 1, true)
                        : dpmaif_alloc_rx_buf(hif(), table, 0, count, 1, true);
        };
        EXPECT_EQ(-8, fill(10)) << frag;
        EXPECT_EQ(10, table->wr_idx) << frag;
        for (u32 slot = 10; slot < 20; slot++) {
            EXPECT_EQ(0u, Entry(*table, slot)) << frag << " " << slot;
            EXPECT_EQ(nullptr, table->shadow[slot].memory) << frag << " " << slot;
        }
        EXPECT_EQ(0, fill(0)) << frag;
        EXPECT_EQ(0, fill(9)) << frag;
        EXPECT_EQ(19, table->wr_idx) << frag;
        for (u32 slot = 10; slot < 19; slot++) {
            ASSERT_NE(nullptr, table->shadow[slot].memory) << frag << " " << slot;
            EXPECT_EQ(table->shadow[slot].dma, Entry(*table, slot)) << frag << " " << slot;
            EXPECT_EQ(frag ? 0u : (u32)DPMAIF_BAT_BUF_SIZE, table->shadow[slot].room) << frag;
        }
        EXPECT_EQ(0u, Entry(*table, 19)) << frag;
    }
}

TEST_F(DpmaifBatTest, ConsumedSlotsCountFromTheReleaseIndexUpToTheFirstGap)
{
    Place(Bat(), 100, 8190);
    for (u32 bid : {8190u, 8191u, 0u, 1u, 3u})
        dpmaif_set_pkt_bat_mask(rxq(), bid);
    EXPECT_EQ(4u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
    dpmaif_set_frag_bat_mask(rxq(), 1);
    EXPECT_EQ(0u, dpmaif_chk_avail_frag_bat_cnt(rxq()));
    dpmaif_set_frag_bat_mask(rxq(), 0);
    EXPECT_EQ(2u, dpmaif_chk_avail_frag_bat_cnt(rxq()));

    // The engine has read nothing (its read index is 0): a release may end at the ring's end, which
    // wraps the release index, but not go past it.
    host::TraceClear();
    EXPECT_EQ(-1, dpmaif_rel_dl_bat_entry(rxq(), 4));
    EXPECT_GT(Traced(HIF_DPMAIF_TAG), 0u);
    EXPECT_EQ(8190, Bat().rel_idx);
    EXPECT_EQ(2, dpmaif_rel_dl_bat_entry(rxq(), 2));
    EXPECT_EQ(0, Bat().rel_idx);
    EXPECT_EQ(0, Bat().consumed[8190]);
    EXPECT_EQ(0, Bat().consumed[8191]);
    EXPECT_EQ(2u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
}

TEST_F(DpmaifBatTest, ReleasesOutOfRangeAreRefused)
{
    struct Case {
        const char* name;
        u16 wr, rel;
        u32 count;
        bool enabled;
        bool reported;
    };
    const Case cases[] = {
        {"disabled queue", 100, 0, 1, false, false},
        {"nothing to release", 100, 0, 0, true, true},
        {"the whole ring", 100, 0, 8192, true, true},
        {"nothing lent", 5, 5, 1, true, true},
        {"past the engine's read index", 100, 8190, 4, true, true},
    };
    for (const Case& c : cases) {
        Place(Bat(), c.wr, c.rel);
        InterlockedExchange(&rxq()->enabled, c.enabled);
        host::TraceClear();
        EXPECT_EQ(-1, dpmaif_rel_dl_bat_entry(rxq(), c.count)) << c.name;
        EXPECT_EQ(c.reported, Traced(HIF_DPMAIF_TAG) > 0) << c.name;
        EXPECT_EQ(c.rel, Bat().rel_idx) << c.name;
    }
}

TEST_F(DpmaifBatTest, MarkingASlotTwiceReportsAndKeepsItMarked)
{
    dpmaif_set_pkt_bat_mask(rxq(), 7);
    dpmaif_set_frag_bat_mask(rxq(), 7);
    host::TraceClear();
    dpmaif_set_pkt_bat_mask(rxq(), 7);
    EXPECT_GT(Traced(HIF_DPMAIF_TAG), 0u);
    EXPECT_EQ(1, Bat().consumed[7]);
    host::TraceClear();
    dpmaif_set_frag_bat_mask(rxq(), 7);
    EXPECT_GT(Traced(HIF_DPMAIF_TAG), 0u);
    EXPECT_EQ(1, Frag().consumed[7]);
    // A buffer id outside the ring is reported, not written.
    host::TraceClear();
    dpmaif_set_frag_bat_mask(rxq(), DPMAIF_FRAG_LENGTH);
    EXPECT_GT(Traced(HIF_DPMAIF_TAG), 0u);
}

TEST_F(DpmaifBatTest, TheCacheIsFilledOnceAndAnEmptyCacheLendsFreshBuffersThatJoinIt)
{
    struct dpmaif_rx_cache_entry* entry = &hif()->rx_cache.entries[0];
    EXPECT_EQ(8192u, entry->target);
    EXPECT_EQ(8192u, entry->list.qlen);
    EXPECT_EQ(0, hif()->rx_cache.refill_running);

    dpmaif_rx_cache_exit(hif());
    ASSERT_EQ(0, dpmaif_rx_cache_init(hif()));
    entry = &hif()->rx_cache.entries[0];
    EXPECT_EQ(0u, entry->list.qlen);

    struct sk_buff* skb = dpmaif_get_rx_buf(hif(), DPMAIF_BAT_BUF_SIZE);
    ASSERT_NE(nullptr, skb);
    EXPECT_EQ(1u, entry->failed_takes);
    EXPECT_EQ(&entry->list, skb->pool);
    EXPECT_EQ(skb, skb->cache_self);
    EXPECT_EQ((u32)DPMAIF_BAT_BUF_SIZE, skb->cache_room);
    EXPECT_EQ((u64)MmGetPhysicalAddress(skb->data).QuadPart, skb->cache_dma);

    skb_put(skb, 100);
    EXPECT_EQ(1u, skb_chain_recycle(skb));
    EXPECT_EQ(1u, entry->list.qlen);
    EXPECT_EQ(skb, dpmaif_get_rx_buf(hif(), 1500));
    EXPECT_EQ(0u, entry->list.qlen);
    EXPECT_EQ(1u, entry->failed_takes);
    kfree_skb(skb, DPMAIF_POOL_TAG);

    // Larger than the cache's buffers: made fresh, owned by no cache.
    skb = dpmaif_get_rx_buf(hif(), DPMAIF_BAT_BUF_SIZE + 1);
    ASSERT_NE(nullptr, skb);
    EXPECT_EQ(nullptr, skb->pool);
    kfree_skb(skb, DPMAIF_POOL_TAG);
}

TEST_F(DpmaifBatTest, StopAndStartLendTheSameBuffersAgainWithNoMarksLeft)
{
    InterlockedExchange(&rxq(0)->enabled, 1);
    ASSERT_EQ(0, dpmaif_bat_start(hif()));
    EXPECT_EQ(8191, Bat().wr_idx);
    EXPECT_EQ(4813, Frag().wr_idx);
    EXPECT_EQ(1u, hif()->rx_cache.entries[0].list.qlen);
    std::vector<void*> lent;
    for (struct dpmaif_bat_table* table : {&Bat(), &Frag()})
        for (u32 slot = 0; slot < table->length - 1; slot++)
            lent.push_back(table->shadow[slot].memory);

    for (u32 bid = 0; bid < 40; bid++) {
        dpmaif_set_pkt_bat_mask(rxq(), bid);
        dpmaif_set_frag_bat_mask(rxq(), bid);
    }
    dpmaif_bat_stop(hif());
    for (struct dpmaif_bat_table* table : {&Bat(), &Frag()}) {
        EXPECT_EQ(0, table->wr_idx);
        EXPECT_EQ(0, table->rel_idx);
        EXPECT_EQ(0, table->hw_rd_idx);
    }
    EXPECT_EQ(0u, Entry(Bat(), 0));
    EXPECT_EQ(0u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
    EXPECT_EQ(0u, dpmaif_chk_avail_frag_bat_cnt(rxq()));

    // No allocation is needed to lend the rings again.
    host::PoolFailTag(DPMAIF_POOL_TAG, host::kFailAlways);
    EXPECT_EQ(0, dpmaif_bat_start(hif()));
    host::PoolFailTagClear(DPMAIF_POOL_TAG);
    size_t i = 0;
    for (struct dpmaif_bat_table* table : {&Bat(), &Frag()})
        for (u32 slot = 0; slot < table->length - 1; slot++, i++) {
            ASSERT_EQ(lent[i], table->shadow[slot].memory) << slot;
            ASSERT_EQ(table->shadow[slot].dma, Entry(*table, slot)) << slot;
        }

    // Slots the engine hands out again after the restart are marked once, without a report.
    host::TraceClear();
    dpmaif_set_frag_bat_mask(rxq(), 0);
    dpmaif_set_pkt_bat_mask(rxq(), 0);
    EXPECT_EQ(0u, Traced(HIF_DPMAIF_TAG));
}

TEST_F(DpmaifBatTest, AStartThatCannotFillReportsTwo)
{
    dpmaif_rx_cache_exit(hif());
    ASSERT_EQ(0, dpmaif_rx_cache_init(hif()));
    InterlockedExchange(&rxq(0)->enabled, 1);
    host::PoolFailTag(DPMAIF_POOL_TAG, host::kFailAlways);
    EXPECT_EQ(2, dpmaif_bat_start(hif()));
    host::PoolFailTagClear(DPMAIF_POOL_TAG);
    EXPECT_EQ(0, Bat().wr_idx);
}

// The rings started on the engine as the instance's start leaves them, receive queue 0's PIT beside
// them; packets injected into the engine take their buffers.
class DpmaifRefillTest : public DpmaifBatTest
{
  protected:
    void SetUp() override
    {
        DpmaifBatTest::SetUp();
        rxq()->pit_length = DPMAIF_PIT_LENGTH;
        rxq()->pit = static_cast<struct dpmaif_pit*>(dma_alloc_coherent(
            &node_, DPMAIF_PIT_LENGTH * sizeof(struct dpmaif_pit), &rxq()->pit_dma, 0, DPMAIF_POOL_TAG));
        ASSERT_NE(nullptr, rxq()->pit);
        ASSERT_EQ(0, dpmaif_bat_start(hif()));
        struct dpmaif_ring_params params = {};
        for (u32 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            params.bat_dma[q] = Bat().ring_dma;
            params.bat_length[q] = Bat().length;
            params.frag_dma[q] = Frag().ring_dma;
            params.frag_length[q] = Frag().length;
            params.pit_dma[q] = rxq()->pit_dma;
            params.pit_length[q] = rxq()->pit_length;
        }
        dpmaif_hw_start(hw(), &params);
        ASSERT_EQ(0, dpmaif_hw_dl_add_bat_cnt(hw(), 0, Bat().length - 1));
        ASSERT_EQ(0, dpmaif_hw_dl_add_frag_cnt(hw(), 0, Frag().length - 1));
        Engine().SetRxDataOffset(64);
    }
    void TearDown() override
    {
        Engine().Stop();
        if (rxq()->pit != nullptr)
            dma_free_coherent(&node_, DPMAIF_PIT_LENGTH * sizeof(struct dpmaif_pit), rxq()->pit, rxq()->pit_dma, 0,
                              DPMAIF_POOL_TAG);
        DpmaifBatTest::TearDown();
    }
    // `count` packets of `bytes` each on receive queue 0, written by the engine.
    void Receive(u32 count, size_t bytes)
    {
        for (u32 i = 0; i < count; i++)
            Engine().Inject(0, 1, std::vector<UCHAR>(bytes, (UCHAR)i));
        Engine().Drain();
        ASSERT_EQ(0u, Engine().DownlinkPending(0));
    }
    void MarkBat(u32 from, u32 to)
    {
        for (u32 bid = from; bid < to; bid++)
            dpmaif_set_pkt_bat_mask(rxq(), bid);
    }
    void MarkFrag(u32 from, u32 to)
    {
        for (u32 bid = from; bid < to; bid++)
            dpmaif_set_frag_bat_mask(rxq(), bid);
    }
    size_t AddCounts(ULONG value)
    {
        size_t count = 0;
        for (const DpmaifWrite& write : Engine().Writes())
            count += write.Address() == DPMAIF_BAT_ADD && write.value == value;
        return count;
    }
};

TEST_F(DpmaifRefillTest, ConsumedBuffersGoBackInBatchesOfThirtyAndAreLentAgain)
{
    Receive(DPMAIF_BAT_REFILL_MIN, 100);
    EXPECT_EQ(30u, Engine().Bat(false).read);
    Engine().ClearWrites();
    MarkBat(0, DPMAIF_BAT_REFILL_MIN - 1);
    EXPECT_EQ(0, dpmaif_pkt_bat_refill(rxq(), 1));
    EXPECT_EQ(0, Bat().rel_idx);
    EXPECT_TRUE(Engine().Writes().empty());

    MarkBat(DPMAIF_BAT_REFILL_MIN - 1, DPMAIF_BAT_REFILL_MIN);
    EXPECT_EQ(30, dpmaif_pkt_bat_refill(rxq(), 1));
    EXPECT_EQ(30, Bat().rel_idx);
    EXPECT_EQ(29, Bat().wr_idx);
    EXPECT_EQ(1u, AddCounts(0x80000000 | 30));
    EXPECT_EQ(29u, Engine().Bat(false).write);
    EXPECT_EQ(29u, dpmaif_hw_get_bat_wr_idx(hw()));
    EXPECT_EQ(0u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
    EXPECT_FALSE(dpmaif_exception_is_raised());
}

TEST_F(DpmaifRefillTest, FragmentsAreRefilledAndAFailedAddCountLeavesTheWriteIndex)
{
    // Each packet fills its normal buffer past the data offset and spills one fragment.
    Receive(2 * DPMAIF_BAT_REFILL_MIN, DPMAIF_BAT_BUF_SIZE - 64 + 100);
    EXPECT_EQ(60u, Engine().Bat(true).read);
    MarkFrag(0, DPMAIF_BAT_REFILL_MIN);
    Engine().ClearWrites();
    EXPECT_EQ(30, dpmaif_frag_bat_refill(rxq(), 1));
    EXPECT_EQ(1u, AddCounts(0x80010000 | 30));
    EXPECT_EQ(Frag().wr_idx, Engine().Bat(true).write);

    // A count the engine never took does not move the host's write index: host and engine agree.
    MarkFrag(DPMAIF_BAT_REFILL_MIN, 2 * DPMAIF_BAT_REFILL_MIN);
    Engine().SetStuckBusy(DPMAIF_BAT_ADD, true);
    u16 wr = Frag().wr_idx;
    EXPECT_EQ(DPMAIF_ETIMEDOUT, dpmaif_frag_bat_refill(rxq(), 1));
    Engine().SetStuckBusy(DPMAIF_BAT_ADD, false);
    EXPECT_EQ(wr, Frag().wr_idx);
    EXPECT_EQ(Frag().wr_idx, Engine().Bat(true).write);
}

TEST_F(DpmaifRefillTest, AWriteIndexTheEngineDisagreesWithRaisesTheExceptionOnce)
{
    Receive(2 * DPMAIF_BAT_REFILL_MIN, 100);
    Engine().SetBatWriteIndexSkew(1);
    MarkBat(0, DPMAIF_BAT_REFILL_MIN);
    EXPECT_EQ(30, dpmaif_pkt_bat_refill(rxq(), 1));
    EXPECT_TRUE(dpmaif_exception_is_raised());
    MarkBat(DPMAIF_BAT_REFILL_MIN, 2 * DPMAIF_BAT_REFILL_MIN);
    EXPECT_EQ(30, dpmaif_pkt_bat_refill(rxq(), 1));
    modem().Scheduler().Drain();
    EXPECT_EQ((std::vector<ULONG>{DPMAIF_EXCEPTION_DOORBELL}), modem().DoorbellsRung());

    // While the exception stands the refill work leaves the rings alone.
    MarkBat(2 * DPMAIF_BAT_REFILL_MIN, 3 * DPMAIF_BAT_REFILL_MIN);
    WdfWorkItemEnqueue(hif()->bat_refill_work);
    host::Quiesce();
    EXPECT_EQ(60, Bat().rel_idx);
}

class DpmaifBatSetUpTest : public DpmaifTest
{
};

TEST_F(DpmaifBatSetUpTest, AFailedSetUpKeepsNothing)
{
    // The tagged allocations in set-up order: each table's shadow and consumed marks, then the cache.
    for (ULONG skip = 0; skip < 5; skip++) {
        host::PoolFailTag(DPMAIF_POOL_TAG, 1, skip);
        EXPECT_EQ(-1, dpmaif_bat_setup(hif())) << skip;
        host::PoolFailTagClear(DPMAIF_POOL_TAG);
        EXPECT_EQ(0u, LiveTagged(DPMAIF_POOL_TAG)) << skip;
        EXPECT_EQ(nullptr, hif()->bat.ring) << skip;
        EXPECT_EQ(nullptr, hif()->bat_lock) << skip;
        EXPECT_EQ(nullptr, hif()->rx_cache.entries) << skip;
    }
    host::PoolFailTag(DPMAIF_POOL_TAG, 1, 1);
    EXPECT_EQ(-13, dpmaif_bat_init(hif(), &hif()->frag_bat, DPMAIF_BAT_FRAG));
    host::PoolFailTagClear(DPMAIF_POOL_TAG);
    EXPECT_EQ(0u, LiveTagged(DPMAIF_POOL_TAG));
    EXPECT_EQ(0u, hif()->frag_bat.length);
}

TEST_F(DpmaifBatSetUpTest, TheExceptionDumpsAndRingsTheModemOnce)
{
    host::TraceClear();
    DPMAIF_EXCEPTION(hif());
    DPMAIF_EXCEPTION(hif());
    modem().Scheduler().Drain();
    EXPECT_TRUE(dpmaif_exception_is_raised());
    EXPECT_EQ((std::vector<ULONG>{DPMAIF_EXCEPTION_DOORBELL}), modem().DoorbellsRung());
    EXPECT_EQ(2u, Traced(HIF_DPMAIF_TAG));
    EXPECT_FALSE(host::TraceFind("registers at 1022D100").empty());
}

} // namespace
