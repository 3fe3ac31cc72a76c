// The buffer manager: routing by size, refill thresholds, blocking and non-blocking allocation,
// bounded queues and their statistics, system allocation retries and release at exit.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/image.h>
#include <host/pool.h>
#include <host/trace.h>
#include <host/verifier.h>

#include <vector>

#include "ccci_bm.h"
#include "device_fixture.h"
#include "host_test.h"

namespace
{

constexpr u32 kTag = host::PoolTag("pORT");
constexpr LONGLONG kMs = 10000;

u32 Count(const struct bm_queue& queue)
{
    return queue.list.qlen;
}

class BufferManagerTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        host::VerifierSetStrict(true); // every release passes the allocation's tag
        ASSERT_EQ(0, ccci_bm_init());
    }
    void TearDown() override
    {
        host::Quiesce();
        for (auto& [skb, tag] : taken_)
            bm_free_skb(skb, tag);
        ccci_bm_exit();
        host::VerifierSetStrict(false);
        DeviceTest::TearDown();
    }
    // Pops `n` buffers of a pool, kept until tear-down.
    void Take(struct bm_queue& pool, u32 tag, u32 n)
    {
        for (u32 i = 0; i < n; i++) {
            struct sk_buff* skb = bm_queue_pop(&pool);
            ASSERT_NE(nullptr, skb);
            taken_.push_back({skb, tag});
        }
    }
    std::vector<std::pair<struct sk_buff*, u32>> taken_;
};

TEST_F(BufferManagerTest, PoolsStartFullWithTheirMagics)
{
    struct Case {
        const struct bm_queue& pool;
        u32 capacity;
    };
    const Case cases[] = {{skb_pool_64k, 50}, {skb_pool_3_5k, 256}, {skb_pool_16, 64}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.capacity, Count(c.pool));
        EXPECT_EQ(c.capacity, c.pool.capacity);
        EXPECT_EQ(BM_HEAD_MAGIC, c.pool.head_magic);
        EXPECT_EQ(BM_TAIL_MAGIC, c.pool.tail_magic);
        EXPECT_EQ(1, c.pool.prefilled);
        EXPECT_NE(nullptr, c.pool.refill_work);
    }
}

TEST_F(BufferManagerTest, SizeChoosesThePool)
{
    struct Case {
        int size;
        struct bm_queue* pool; // nullptr: none from either path
    };
    const Case cases[] = {
        {0, nullptr},           {1, &skb_pool_16},      {16, &skb_pool_16},
        {17, &skb_pool_3_5k},   {3584, &skb_pool_3_5k}, {3585, &skb_pool_64k},
        {64528, &skb_pool_64k}, {64529, nullptr},       {-1, nullptr},
    };
    for (const Case& c : cases) {
        u32 before[] = {Count(skb_pool_64k), Count(skb_pool_3_5k), Count(skb_pool_16)};
        struct sk_buff* skb = bm_alloc_skb(c.size, true, false, kTag);
        u32 after[] = {Count(skb_pool_64k), Count(skb_pool_3_5k), Count(skb_pool_16)};
        if (c.pool == nullptr) {
            EXPECT_EQ(nullptr, skb) << c.size;
            EXPECT_EQ(nullptr, bm_alloc_skb(c.size, false, false, kTag)) << c.size;
            EXPECT_EQ(0, memcmp(before, after, sizeof(before))) << c.size;
            continue;
        }
        ASSERT_NE(nullptr, skb) << c.size;
        u32 index = c.pool == &skb_pool_64k ? 0 : c.pool == &skb_pool_3_5k ? 1 : 2;
        for (u32 i = 0; i < 3; i++)
            EXPECT_EQ(before[i] - (i == index ? 1 : 0), after[i]) << c.size << " pool " << i;
        const u32 tags[] = {BM_POOL_64K_TAG, BM_POOL_3_5K_TAG, BM_POOL_16_TAG};
        bm_free_skb(skb, tags[index]);
    }
}

TEST_F(BufferManagerTest, SystemAllocationBySizeClass)
{
    const std::pair<int, u64> cases[] = {
        {1, 64},      {16, 64},      {17, 1536},     {1516, 1536}, {1517, 3584},
        {3584, 3584}, {3585, 64576}, {64528, 64576}, {0, 0},       {-5, 0},
    };
    for (auto [size, end] : cases) {
        struct sk_buff* skb = bm_alloc_sized(size, kTag);
        if (end == 0) {
            EXPECT_EQ(nullptr, skb) << size;
            continue;
        }
        ASSERT_NE(nullptr, skb) << size;
        EXPECT_EQ(end, skb->end) << size;
        bm_free_skb(skb, kTag);
    }
    bm_free_skb(nullptr, kTag);
}

TEST_F(BufferManagerTest, APopBelowAThirdRefillsThePoolToItsCapacity)
{
    struct Case {
        struct bm_queue& pool;
        u32 tag;
        u32 capacity;
        u32 lowestWithoutRefill;
    };
    const Case cases[] = {
        {skb_pool_3_5k, BM_POOL_3_5K_TAG, 256, 85},
        {skb_pool_16, BM_POOL_16_TAG, 64, 21},
        {skb_pool_64k, BM_POOL_64K_TAG, 50, 16},
    };
    for (const Case& c : cases) {
        Take(c.pool, c.tag, c.capacity - c.lowestWithoutRefill);
        host::Quiesce();
        EXPECT_EQ(c.lowestWithoutRefill, Count(c.pool)) << c.capacity;
        EXPECT_EQ(c.capacity - c.lowestWithoutRefill, c.pool.peak_deficit) << c.capacity;
        Take(c.pool, c.tag, 1);
        host::Quiesce();
        EXPECT_EQ(c.capacity, Count(c.pool)) << c.capacity;
    }
}

TEST_F(BufferManagerTest, AnEmptyPoolFailsAtOnceOrWaitsForTheRefill)
{
    // While the system has nothing to give, each refill stops at its first failure.
    host::PoolFailTag(BM_POOL_16_TAG, host::kFailAlways);
    Take(skb_pool_16, BM_POOL_16_TAG, 64);
    host::Quiesce();
    EXPECT_EQ(0u, Count(skb_pool_16));
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(nullptr, bm_alloc_skb(8, true, false, kTag));
    EXPECT_EQ(start, host::ClockNow());
    EXPECT_FALSE(host::TraceFind("CCCI_BM: refill of the 16-byte pool stopped at 0 buffers").empty());

    host::PoolFailTagClear(BM_POOL_16_TAG);
    struct sk_buff* skb = bm_alloc_skb(8, true, true, kTag);
    ASSERT_NE(nullptr, skb);
    EXPECT_EQ(BM_POOL_RETRY_MS * kMs, host::ClockNow() - start);
    taken_.push_back({skb, BM_POOL_16_TAG});
    host::Quiesce();
    EXPECT_EQ(63u, Count(skb_pool_16));
}

TEST_F(BufferManagerTest, FreedBuffersAreReleasedWhateverTheirData)
{
    // A buffer whose data happens to look like a recycling mark is released like any other.
    Take(skb_pool_3_5k, BM_POOL_3_5K_TAG, 1);
    struct sk_buff* skb = taken_.back().first;
    taken_.pop_back();
    const u32 mark[] = {0xFECDBA89, 1, 0};
    memcpy(skb->head + 52, mark, sizeof(mark));
    skb->end = 4096;
    u32 counts[] = {Count(skb_pool_64k), Count(skb_pool_3_5k), Count(skb_pool_16)};
    u8* head = skb->head;
    bm_free_skb(skb, BM_POOL_3_5K_TAG);
    u32 after[] = {Count(skb_pool_64k), Count(skb_pool_3_5k), Count(skb_pool_16)};
    EXPECT_EQ(0, memcmp(counts, after, sizeof(counts)));
    for (const auto& a : host::PoolLiveAllocations(host::ImageMain()))
        EXPECT_NE(head, a.address);
}

TEST_F(BufferManagerTest, BoundedQueueKeepsItsStatistics)
{
    struct bm_queue queue = {};
    bm_queue_init(&queue, 16, 2, false, kTag);
    EXPECT_EQ(0, queue.prefilled);
    EXPECT_EQ(0u, Count(queue));
    for (int i = 0; i < 3; i++)
        bm_queue_push(&queue, bm_alloc_sized(16, kTag), kTag); // the third is released
    EXPECT_EQ(2u, Count(queue));
    EXPECT_EQ(2u, queue.push_count);
    EXPECT_EQ(2u, queue.peak_queued);
    for (int i = 0; i < 3; i++) {
        struct sk_buff* skb = bm_queue_pop(&queue);
        EXPECT_EQ(i < 2, skb != nullptr);
        if (skb != nullptr)
            bm_free_skb(skb, kTag);
    }
    EXPECT_EQ(3u, queue.pop_count);
    EXPECT_EQ(2u, queue.peak_deficit);
    EXPECT_EQ(2u, queue.peak_queued);
    skb_queue_head_release(&queue.list);
}

TEST_F(BufferManagerTest, NonBlockingSystemAllocationTries21Times)
{
    struct Case {
        bool blocking;
        ULONG failures;
        bool got;
    };
    const Case cases[] = {{false, 20, true}, {false, 21, false}, {true, 1, false}, {true, 0, true}};
    for (const Case& c : cases) {
        host::PoolFailTag(kTag, c.failures);
        struct sk_buff* skb = bm_alloc_skb(100, false, c.blocking, kTag);
        EXPECT_EQ(c.got, skb != nullptr) << c.blocking << " " << c.failures;
        host::PoolFailTagClear(kTag);
        if (skb != nullptr)
            bm_free_skb(skb, kTag);
    }
    // Of 22 failures the non-blocking call uses 21, a blocking call the last one.
    host::PoolFailTag(kTag, 22);
    EXPECT_EQ(nullptr, bm_alloc_skb(100, false, false, kTag));
    EXPECT_EQ(nullptr, bm_alloc_skb(100, false, true, kTag));
    struct sk_buff* skb = bm_alloc_skb(100, false, true, kTag);
    EXPECT_NE(nullptr, skb);
    bm_free_skb(skb, kTag);
    host::PoolFailTagClear(kTag);
}

TEST_F(BufferManagerTest, InitSkipsWhatCannotBeAllocated)
{
    ccci_bm_exit();
    host::PoolFailTag(BM_POOL_16_TAG, 3);
    ASSERT_EQ(0, ccci_bm_init());
    host::PoolFailTagClear(BM_POOL_16_TAG);
    EXPECT_EQ(61u, Count(skb_pool_16));
    EXPECT_EQ(50u, Count(skb_pool_64k));
}

TEST_F(BufferManagerTest, ExitAbovePassiveSkipsTheWorkItemsButReleasesTheBuffers)
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ccci_bm_exit();
    KeLowerIrql(irql);
    EXPECT_EQ(3u, host::TraceFind("workitem is not allowed in IRQL[2]").size());
    EXPECT_EQ(0u, Count(skb_pool_64k) + Count(skb_pool_3_5k) + Count(skb_pool_16));
    EXPECT_NE(nullptr, skb_pool_16.refill_work); // left to go with the device
    EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
}

} // namespace
