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
