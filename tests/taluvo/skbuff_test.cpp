// Socket buffers: allocation and release by size, the reference counts, pointer operations, fragments,
// adapter packets, the IPv6 extension-header walk, recycling into a pool, and queues.
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/pool.h>
#include <host/verifier.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "host_test.h"
#include "skbuff.h"
#include "tx_completions.h"

namespace
{

constexpr u32 kTag = host::PoolTag("skbT");

// The live allocation that starts at `address`, if any.
const host::PoolAllocation* Live(const std::vector<host::PoolAllocation>& live, const void* address)
{
    for (const auto& a : live)
        if (a.address == address)
            return &a;
    return nullptr;
}

bool IsLive(const void* address)
{
    auto live = host::PoolLiveAllocations(host::ImageMain());
    return Live(live, address) != nullptr;
}

// Every release must pass the allocation's tag back.
class SkbTest : public ::testing::Test
{
  protected:
    void SetUp() override { host::VerifierSetStrict(true); }
    void TearDown() override
    {
        EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
        host::VerifierSetStrict(false);
    }
};

TEST_F(SkbTest, DataUpTo4096BytesIsPoolMemoryAndLargerIsContiguous)
{
    struct Case {
        u32 size;
        u64 end;
        host::PoolKind kind;
    };
    const Case cases[] = {
        {0, 0, host::PoolKind::NonPaged},
        {1, 64, host::PoolKind::NonPaged},
        {4096, 4096, host::PoolKind::NonPaged},
        {4097, 4160, host::PoolKind::Contiguous},
    };
    for (const Case& c : cases) {
        struct sk_buff* skb = alloc_skb(c.size, kTag);
        ASSERT_NE(nullptr, skb) << c.size;
        EXPECT_EQ(c.end, skb->end) << c.size;
        EXPECT_EQ(c.end, skb->buf_size) << c.size;
        EXPECT_EQ(skb->head, skb->data);
        EXPECT_EQ(0u, skb->tail);
        EXPECT_EQ(1, skb->users);
        EXPECT_EQ(1, skb->dataref);
        EXPECT_EQ(0u, skb->owner_marker);
        auto live = host::PoolLiveAllocations(host::ImageMain());
        const host::PoolAllocation* data = Live(live, skb->head);
        ASSERT_NE(nullptr, data) << c.size;
        EXPECT_EQ(c.kind, data->kind) << c.size;
        kfree_skb(skb, kTag);
        EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty()) << c.size;
    }
}

TEST_F(SkbTest, FailedAllocationsLeaveNothing)
{
    host::PoolFailTag(kTag, 1); // the record
    EXPECT_EQ(nullptr, alloc_skb(100, kTag));
    host::PoolFailTag(kTag, 1, 1); // the data buffer
    EXPECT_EQ(nullptr, alloc_skb(100, kTag));
    host::PoolFailTagClear(kTag);
    host::PoolFailThread(1); // contiguous data
    EXPECT_EQ(nullptr, alloc_skb(8000, kTag));
    host::PoolFailThreadClear();
}

TEST_F(SkbTest, ReleaseWaitsForTheLastUserBeforeFreeingTheData)
{
    struct sk_buff* skb = alloc_skb(100, kTag);
    u8* data = skb->head;
    InterlockedIncrement(&skb->users); // a second holder
    kfree_skb(skb, kTag);
    EXPECT_TRUE(IsLive(skb));
    EXPECT_TRUE(IsLive(data));
    EXPECT_EQ(data, skb->head);
    data[99] = 1; // still the holder's to touch
    kfree_skb(skb, kTag);
    EXPECT_FALSE(IsLive(data));
    EXPECT_FALSE(IsLive(skb));
    kfree_skb(nullptr, kTag);
}

TEST_F(SkbTest, AnAdapterPacketGoesToTheCompletionPathAndNothingIsFreed)
{
    struct sk_buff* skb = alloc_skb(64, kTag);
    struct sk_buff* other = alloc_skb(64, kTag);
    skb->owner_marker = SKB_ADAPTER_PACKET_MARKER;
    skb->chain_next = other;
    kfree_skb(skb, kTag);
    EXPECT_EQ(std::vector<struct sk_buff*>{skb}, doubles::TxCompletions());
    EXPECT_EQ(nullptr, skb->chain_next);
    EXPECT_TRUE(IsLive(skb));
    EXPECT_TRUE(IsLive(skb->head));
    EXPECT_EQ(1, skb->users);
    skb->owner_marker = 0;
    kfree_skb(skb, kTag);
    kfree_skb(other, kTag);
}

TEST_F(SkbTest, ContiguousRecordsAreReleasedWithoutCounting)
{
    struct sk_buff* skb = alloc_skb(8192, kTag);
    InterlockedIncrement(&skb->users);
    kfree_skb_contiguous(skb, kTag);
}

TEST_F(SkbTest, PointerOperations)
{
    struct Case {
        const char* what;
        std::function<u8*(struct sk_buff*)> op;
        long returned; // offset from head, or -1 for no pointer returned
        long data;
        u64 tail;
        u32 len;
    };
    // From data at 32, tail at 132 and 100 bytes.
    const Case cases[] = {
        {"put 10", [](struct sk_buff* s) { return skb_put(s, 10); }, 132, 32, 142, 110},
        {"push 16", [](struct sk_buff* s) { return skb_push(s, 16); }, 16, 16, 132, 116},
        {"pull 20", [](struct sk_buff* s) { return skb_pull(s, 20); }, 52, 52, 132, 80},
        {"reserve 8",
         [](struct sk_buff* s) {
             skb_reserve(s, 8);
             return (u8*)nullptr;
         },
         -1, 40, 140, 100},
        {"trim 16", [](struct sk_buff* s) { return skb_trim(s, 16); }, 32, 32, 132, 16},
        {"tail at 50",
         [](struct sk_buff* s) {
             skb_set_tail_pointer(s, 50);
             return (u8*)nullptr;
         },
         -1, 32, 82, 100},
    };
    for (const Case& c : cases) {
        struct sk_buff* skb = alloc_skb(256, kTag);
        skb_reserve(skb, 32);
        EXPECT_EQ(skb->head + 32, skb_put(skb, 100));
        u8* returned = c.op(skb);
        if (c.returned >= 0) {
            EXPECT_EQ(skb->head + c.returned, returned) << c.what;
        }
        EXPECT_EQ(skb->head + c.data, skb->data) << c.what;
        EXPECT_EQ(c.tail, skb->tail) << c.what;
        EXPECT_EQ(c.len, skb->len) << c.what;
        EXPECT_EQ(c.len, skb_headlen(skb)) << c.what;
        kfree_skb(skb, kTag);
    }
}

TEST_F(SkbTest, ReceiveFragmentsUseSlotsUpTo16)
{
    struct sk_buff* skb = alloc_skb(128, kTag);
    skb_put(skb, 100);
    int page;
    skb_add_rx_frag(skb, 16, &page, 8, 30, 64);
    EXPECT_EQ(17, skb->nr_frags);
    EXPECT_EQ(&page, skb->frags[16].page);
    EXPECT_EQ(8u, skb->frags[16].page_offset);
    EXPECT_EQ(30u, skb_frag_size(&skb->frags[16]));
    EXPECT_EQ(130u, skb->len);
    EXPECT_EQ(30u, skb->data_len);
    EXPECT_EQ(64u, skb->truesize);
    EXPECT_EQ(100u, skb_headlen(skb));

    std::vector<u8> before(reinterpret_cast<u8*>(skb), reinterpret_cast<u8*>(skb + 1));
    skb_add_rx_frag(skb, 17, &page, 0, 10, 10);
    skb_add_rx_frag(skb, -1, &page, 0, 10, 10);
    EXPECT_EQ(0, memcmp(before.data(), skb, sizeof(*skb)));
    kfree_skb(skb, kTag);
}

TEST_F(SkbTest, Ipv6ExtensionHeaders)
{
    struct Case {
        const char* what;
        std::vector<u8> headers; // from offset 40 of the packet
        u8 next;                 // next header at the start
        u32 headlen;             // head data (0: just the headers)
        int offset;
        u8 upper;
    };
    const Case cases[] = {
        {"upper layer at once", {}, 6, 0, 40, 6},
        {"no next header", {}, 59, 0, -1, 0},
        {"routing, length 2", {6, 2, 0, 0, 0, 0, 0, 0}, 43, 40 + 24, 64, 6},
        {"authentication, length 4", {17, 4, 0, 0}, 51, 40 + 24, 64, 17},
        {"fragment", {6, 0, 0, 0, 0, 0, 0, 0}, 44, 0, 48, 6},
        {"one byte before the end", {6}, 0, 0, -1, 0},
        {"hop-by-hop, routing, TCP", {43, 0, 0, 0, 0, 0, 0, 0, 6, 1}, 0, 40 + 24, 64, 6},
        {"advanced past the head data", {0, 3}, 0, 48, -1, 0},
    };
    for (const Case& c : cases) {
        struct sk_buff* skb = alloc_skb(64, kTag);
        std::copy(c.headers.begin(), c.headers.end(), skb->data + 40);
        skb->len = c.headlen != 0 ? c.headlen : 40 + (u32)c.headers.size();
        u8 next = c.next;
        u16 fragment = 0xFFFF;
        int offset = skb_skip_ipv6_exthdr(skb, 40, &next, &fragment);
        EXPECT_EQ(c.offset < 0 ? SKB_NO_UPPER_HEADER : c.offset, offset) << c.what;
        if (offset >= 0) {
            EXPECT_EQ(c.upper, next) << c.what;
        }
        EXPECT_EQ(0, fragment) << c.what;
        kfree_skb(skb, kTag);
    }
}

// ---- queues and pools: their locks belong to the modem device

class SkbQueueTest : public taluvotest::DeviceTest
{
  protected:
    void TearDown() override
    {
        skb_queue_head_release(&queue_);
        DeviceTest::TearDown();
    }
    struct sk_buff_head queue_ {
    };
};

TEST_F(SkbQueueTest, FifoWithCount)
{
    skb_queue_head_init(&queue_);
    EXPECT_TRUE(skb_queue_empty(&queue_));
    EXPECT_EQ(nullptr, skb_peek(&queue_));
    EXPECT_EQ(nullptr, skb_dequeue(&queue_));
    EXPECT_EQ(0u, queue_.qlen);
    struct sk_buff* skbs[3];
    for (auto*& skb : skbs) {
        skb = alloc_skb(16, kTag);
        skb_queue_tail(&queue_, skb);
    }
    EXPECT_EQ(3u, queue_.qlen);
    EXPECT_EQ(skbs[0], skb_peek(&queue_));
    for (int i = 0; i < 3; i++) {
        struct sk_buff* skb = i % 2 ? __skb_dequeue(&queue_) : skb_dequeue(&queue_);
        EXPECT_EQ(skbs[i], skb);
        EXPECT_EQ(nullptr, skb->next);
        EXPECT_EQ(nullptr, skb->prev);
        EXPECT_EQ(2u - i, queue_.qlen);
        kfree_skb(skb, kTag);
    }
    EXPECT_TRUE(skb_queue_empty(&queue_));
}

TEST_F(SkbQueueTest, AQueueNeverInitialisedTakesAndGivesNothing)
{
    struct sk_buff* skb = alloc_skb(16, kTag);
    skb_queue_tail(&queue_, skb);
    EXPECT_EQ(nullptr, skb->next);
    EXPECT_EQ(0u, queue_.qlen);
    EXPECT_EQ(nullptr, skb_dequeue(&queue_));
    kfree_skb(skb, kTag);
}

TEST_F(SkbQueueTest, ProducersAndConsumersKeepTheCount)
{
    skb_queue_head_init(&queue_);
    constexpr int kPerProducer = 300;
    constexpr int kProducers = 2;
    std::atomic<int> consumed{0};
    std::vector<HANDLE> threads;
    for (int p = 0; p < kProducers; p++)
        threads.push_back(hosttest::StartThread([this] {
            for (int i = 0; i < kPerProducer; i++)
                skb_queue_tail(&queue_, alloc_skb(16, kTag));
        }));
    for (int c = 0; c < 2; c++)
        threads.push_back(hosttest::StartThread([this, &consumed] {
            while (consumed.load() < kPerProducer * kProducers) {
                struct sk_buff* skb = skb_dequeue(&queue_);
                if (skb == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                kfree_skb(skb, kTag);
                consumed++;
            }
        }));
    for (HANDLE thread : threads)
        hosttest::JoinThread(thread);
    EXPECT_EQ(kPerProducer * kProducers, consumed.load());
    EXPECT_EQ(0u, queue_.qlen);
    EXPECT_TRUE(skb_queue_empty(&queue_));
}

TEST_F(SkbQueueTest, RecyclingPutsPooledBuffersOfAChainBack)
{
    skb_queue_head_init(&queue_); // the pool's free list
    struct sk_buff* chain[3];
    for (auto*& skb : chain) {
        skb = alloc_skb(512, kTag);
        skb_reserve(skb, 64);
        skb_put(skb, 100);
        skb->end = 7;
    }
    chain[0]->pool = chain[2]->pool = &queue_;
    chain[0]->chain_next = chain[1];
    chain[1]->chain_next = chain[2];
    EXPECT_EQ(3u, skb_chain_recycle(chain[0]));
    EXPECT_EQ(2u, queue_.qlen);
    PLIST_ENTRY list = reinterpret_cast<PLIST_ENTRY>(&queue_);
    EXPECT_EQ(&chain[0]->pool_link, list->Flink);
    EXPECT_EQ(&chain[2]->pool_link, list->Flink->Flink);
    EXPECT_EQ(list, list->Flink->Flink->Flink);
    for (struct sk_buff* skb : {chain[0], chain[2]}) {
        EXPECT_EQ(skb->head, skb->data);
        EXPECT_EQ(0u, skb->tail);
        EXPECT_EQ(512u, skb->end);
        EXPECT_EQ(nullptr, skb->chain_next);
    }
    EXPECT_EQ(7u, chain[1]->end); // not pooled: untouched
    chain[1]->end = 512;
    for (struct sk_buff* skb : chain)
        kfree_skb(skb, kTag);
}

} // namespace
