// The DPMAIF receive path over PIT entries written as the engine writes them: packets built from
// their buffers and delivered in chains per channel, the sequence check, dropped and broken packets,
// and the return of PIT entries to the engine.
#include <gtest/gtest.h>

#include <host/trace.h>

#include <vector>

#include "IpcContext.h"
#include "ccmni_rx.h"
#include "dpmaif_sim.h"

namespace
{

using namespace sim::modem;
using dpmaifsim::DpmaifTest;
using Bytes = std::vector<u8>;

constexpr u32 kDataOffset = 64;

Bytes Payload(size_t length, u8 seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (u8)(seed + i * 7);
    return bytes;
}

class DpmaifRxTest : public DpmaifTest
{
  protected:
    void SetUp() override
    {
        DpmaifTest::SetUp();
        SetUpRings();
        ASSERT_EQ(0, dpmaif_rxq_init(hif(), 0));
        queue_ = true;
        InterlockedExchange(&rxq()->enabled, 1);
        rxq()->budget = DPMAIF_RX_BUDGET;
        ASSERT_EQ(0, dpmaif_bat_start(hif()));
        doubles::ClearRxChains();
    }
    void TearDown() override
    {
        // The refill work the parsing queued uses the queue: it goes first.
        WdfWorkItemFlush(hif()->bat_refill_work);
        if (queue_)
            dpmaif_rxq_exit(hif(), 0);
        doubles::ClearRxChains();
        DpmaifTest::TearDown();
    }

    // Entries as the engine writes them, each with the queue's next sequence number.
    void Put(u32 w0, u32 w1, u32 w2, u32 w3_high, int seq = -1)
    {
        struct dpmaif_pit* pit = &rxq()->pit[written_ % DPMAIF_PIT_LENGTH];
        u32 number = seq >= 0 ? (u32)seq : seq_;
        seq_ = (number + 1) % 251;
        pit->word[0] = w0;
        pit->word[1] = w1;
        pit->word[2] = w2;
        pit->word[3] = number | w3_high;
        written_++;
    }
    void Message(u32 channel, u32 csum = 0, bool drop = false)
    {
        Put(1u | csum << 2 | channel << 16 | (drop ? 1u << 31 : 0), 0, 0, 0);
    }
    // A payload entry for slot `bid` of a ring; its data (when given) is written into the lent buffer.
    void Piece(bool frag, u32 bid, const Bytes& data, bool more, u32 offset, u32 length)
    {
        const struct dpmaif_bat_table& table = frag ? hif()->frag_bat : hif()->bat;
        u64 address = 0;
        if (bid < table.length && table.shadow[bid].memory != nullptr) {
            address = table.shadow[bid].dma + offset;
            u8* buffer = frag ? static_cast<u8*>(table.shadow[bid].memory) : table.shadow[bid].skb->head;
            if (offset + data.size() <= (frag ? DPMAIF_FRAG_BUF_SIZE : DPMAIF_BAT_BUF_SIZE))
                std::copy(data.begin(), data.end(), buffer + offset);
        }
        Put((more ? 2u : 0) | (frag ? 4u : 0) | (bid & 0x1FFFu) << 3 | length << 16, (u32)address,
            (u32)(address >> 32), ((bid >> 13) & 7u) << 8);
    }
    // One packet in the next normal buffer, with its data at kDataOffset.
    void Packet(u32 channel, const Bytes& data, u32 csum = 0, bool drop = false)
    {
        Message(channel, csum, drop);
        Piece(false, bid_++, data, false, kDataOffset, (u32)data.size());
    }
    int Parse(u32 count) { return dpmaif_rx_start(rxq(), count, 0, -20000); }
    u32 CacheCount() { return hif()->rx_cache.entries[0].list.qlen; }

    bool queue_ = false;
    u32 written_ = 0;
    u32 seq_ = 0;
    u32 bid_ = 0;
};

TEST_F(DpmaifRxTest, ConsecutivePacketsOfAChannelAreDeliveredAsOneChainIntact)
{
    const u32 channels[] = {3, 3, 5, 3};
    std::vector<Bytes> sent;
    for (u32 i = 0; i < 4; i++) {
        sent.push_back(Payload(60 + 500 * i, (u8)i));
        Packet(channels[i], sent.back(), i % 4);
    }
    EXPECT_EQ(8, Parse(8));

    std::vector<doubles::RxChain> chains = doubles::RxChains();
    ASSERT_EQ(3u, chains.size());
    EXPECT_EQ(3u, chains[0].channel);
    EXPECT_EQ(2u, chains[0].count);
    EXPECT_EQ((std::vector<Bytes>{sent[0], sent[1]}), chains[0].packets);
    EXPECT_EQ((std::vector<u8>{0, 1}), chains[0].csum);
    EXPECT_EQ(5u, chains[1].channel);
    EXPECT_EQ((std::vector<Bytes>{sent[2]}), chains[1].packets);
    EXPECT_EQ(3u, chains[2].channel);
    EXPECT_EQ((std::vector<Bytes>{sent[3]}), chains[2].packets);
    EXPECT_EQ((std::vector<u8>{3}), chains[2].csum);

    EXPECT_EQ(8, rxq()->rd_idx);
    EXPECT_EQ(8u, rxq()->to_release);
    EXPECT_EQ(4u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
    for (u32 bid = 0; bid < 4; bid++)
        EXPECT_EQ(nullptr, hif()->bat.shadow[bid].skb) << bid;
}

TEST_F(DpmaifRxTest, SequenceNumbersRunFromZeroTo250)
{
    struct Case {
        u32 expected;
        u32 written;
        bool passes;
        u32 expected_after;
    };
    const Case cases[] = {
        {0, 0, true, 1}, {249, 249, true, 250}, {250, 250, true, 0},
        {5, 251, false, 5}, // never a valid number: read again until the reads run out
        {5, 252, false, 5}, // fails at once
        {5, 6, false, 5},
    };
    for (const Case& c : cases) {
        struct dpmaif_pit pit = {};
        pit.word[3] = c.written;
        rxq()->expected_seq = c.expected;
        EXPECT_EQ(c.passes ? 0 : -1, dpmaif_check_pit_seq(rxq(), &pit)) << c.written;
        EXPECT_EQ(c.expected_after, rxq()->expected_seq) << c.written;
    }

    // The 500th failure in a row raises the exception and starts the count again.
    struct dpmaif_pit late = {};
    late.word[3] = 252;
    rxq()->seq_failures = 498;
    EXPECT_EQ(-1, dpmaif_check_pit_seq(rxq(), &late));
    EXPECT_FALSE(dpmaif_exception_is_raised());
    EXPECT_EQ(-1, dpmaif_check_pit_seq(rxq(), &late));
    EXPECT_TRUE(dpmaif_exception_is_raised());
    EXPECT_EQ(0u, rxq()->seq_failures);
}

TEST_F(DpmaifRxTest, AnEntryNotYetWrittenEndsTheRunAfterDeliveringWhatWasComplete)
{
    Packet(1, Payload(100, 1));
    Message(1);
    Put(0, 0, 0, 0, 77); // not written yet: a stale sequence number
    EXPECT_EQ(0, Parse(4));
    ASSERT_EQ(1u, doubles::RxChains().size());
    EXPECT_EQ(3, rxq()->rd_idx);
    EXPECT_EQ(1u, rxq()->assembly.message_seen);
}

TEST_F(DpmaifRxTest, DroppedAndBrokenPacketsAreNotDeliveredAndTheirBuffersGoBack)
{
    u32 cached = CacheCount();
    Packet(2, Payload(100, 1), 0, true);
    EXPECT_EQ(2, Parse(2));
    EXPECT_TRUE(doubles::RxChains().empty());
    EXPECT_EQ(cached + 1, CacheCount());
    EXPECT_EQ(1u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));

    // A fragment before the packet's normal buffer fails; the packet is discarded at its last entry,
    // and the fragment slot still goes back with the others.
    host::TraceClear();
    Message(2);
    Piece(true, 0, Payload(10, 2), false, 0, 10);
    EXPECT_EQ(-7, Parse(2));
    Message(2);
    Piece(true, 1, Payload(10, 2), true, 0, 10);
    Piece(false, bid_++, Payload(100, 3), false, kDataOffset, 100);
    EXPECT_EQ(3, Parse(3));
    EXPECT_TRUE(doubles::RxChains().empty());
    EXPECT_EQ(cached + 2, CacheCount());
    EXPECT_EQ(2u, dpmaif_chk_avail_frag_bat_cnt(rxq()));

    // A second normal buffer in one packet: the packet is dropped and both buffers go back.
    Message(2);
    Piece(false, bid_++, Payload(100, 5), true, kDataOffset, 100);
    Piece(false, bid_++, Payload(100, 6), false, kDataOffset, 100);
    EXPECT_EQ(-7, Parse(3));
    EXPECT_TRUE(doubles::RxChains().empty());
    EXPECT_EQ(cached + 4, CacheCount());
    EXPECT_EQ(4u, dpmaif_chk_avail_pkt_bat_cnt(rxq()));
    EXPECT_FALSE(host::TraceFind(HIF_DPMAIF_TAG).empty());
    EXPECT_FALSE(dpmaif_exception_is_raised());

    // The next packet is whole again.
    Packet(2, Payload(40, 4));
    EXPECT_EQ(2, Parse(2));
    EXPECT_EQ(1u, doubles::RxChains().size());
}

TEST_F(DpmaifRxTest, FragmentPiecesAreCopiedBehindTheLinearData)
{
    Bytes head = Payload(DPMAIF_BAT_BUF_SIZE - kDataOffset, 1);
    Bytes second = Payload(128, 2);
    Bytes third = Payload(50, 3);
    Message(4);
    Piece(false, bid_++, head, true, kDataOffset, (u32)head.size());
    Piece(true, 0, second, true, 0, 128);
    Piece(true, 1, third, false, 0, 50);
    EXPECT_EQ(-7, Parse(4));
    // The linear buffer has no room behind a full normal buffer: the packet is refused, not cut.
    EXPECT_TRUE(doubles::RxChains().empty());
    EXPECT_EQ(2u, dpmaif_chk_avail_frag_bat_cnt(rxq()));

    Bytes small = Payload(1000, 4);
    Message(4);
    Piece(false, bid_++, small, true, kDataOffset, (u32)small.size());
    Piece(true, 2, second, true, 0, 128);
    Piece(true, 3, third, false, 0, 50);
    EXPECT_EQ(4, Parse(4));
    std::vector<doubles::RxChain> chains = doubles::RxChains();
    ASSERT_EQ(1u, chains.size());
    Bytes whole = small;
    whole.insert(whole.end(), second.begin(), second.end());
    whole.insert(whole.end(), third.begin(), third.end());
    EXPECT_EQ(std::vector<Bytes>{whole}, chains[0].packets);
    // The fragment memory stays lent in its slots.
    EXPECT_NE(nullptr, hif()->frag_bat.shadow[2].memory);
    EXPECT_EQ(4u, dpmaif_chk_avail_frag_bat_cnt(rxq()));
}

TEST_F(DpmaifRxTest, WhatTheModemWritesIsCheckedBeforeUse)
{
    struct Case {
        const char* name;
        bool frag;
        u32 bid;
        u32 offset;
        u32 length;
        bool exception;
    };
    const Case cases[] = {
        {"buffer id past the ring", false, 8200, kDataOffset, 10, true},
        {"normal slot not lent", false, 8191, kDataOffset, 10, true},
        {"length past the buffer", false, 0, kDataOffset, DPMAIF_BAT_BUF_SIZE - kDataOffset + 1, true},
        {"address below the buffer", false, 0, (u32)-16, 10, true},
        {"fragment id past the ring", true, DPMAIF_FRAG_LENGTH, 0, 10, false},
        {"fragment past its 128 bytes", true, 0, 100, 29, false},
    };
    for (const Case& c : cases) {
        InterlockedExchange(&dpmaif_exception_raised, 0);
        u32 bid = c.frag ? 0 : bid_;
        Message(1);
        if (c.frag)
            Piece(false, bid_++, Payload(10, 0), true, kDataOffset, 10);
        Piece(c.frag, c.frag ? c.bid : c.bid == 0 ? bid_++ : c.bid, {}, false, c.offset, c.length);
        (void)bid;
        int entries = c.frag ? 3 : 2;
        EXPECT_EQ(-7, Parse(entries)) << c.name;
        EXPECT_EQ(c.exception, dpmaif_exception_is_raised()) << c.name;
        EXPECT_TRUE(doubles::RxChains().empty()) << c.name;
        if (dpmaif_exception_is_raised()) {
            // The run stops where it is: the packet's later entries are not read.
            rxq()->rd_idx = (u16)written_;
            RtlZeroMemory(&rxq()->assembly, sizeof(rxq()->assembly));
        }
    }
    EXPECT_EQ(2u, rxq()->bid_errors);
}

// Buffers put on the push queue behind their 4-byte prefix go out as one chain with the channel of the
// last one, prefixes removed; the thread moves off the processors taking receive interrupts, ends on
// termination, and what is still queued then goes back to the cache.
TEST_F(DpmaifRxTest, ThePushThreadHandsOnWhatIsQueuedAndEndsOnTermination)
{
    const UCHAR run = 0;
    const UCHAR terminate = 1;
    dpmaif_rx_cache_fill(hif()); // every buffer taken below comes from the cache
    const u32 cached = CacheCount();
    auto queue = [&](u8 channel, const Bytes& data) {
        struct sk_buff* skb = dpmaif_get_rx_buf(hif(), DPMAIF_BAT_BUF_SIZE);
        ASSERT_NE(nullptr, skb);
        Bytes prefixed = {0, 0, 0, (u8)(0xE0u | channel)};
        prefixed.insert(prefixed.end(), data.begin(), data.end());
        std::copy(prefixed.begin(), prefixed.end(), skb_put(skb, (u32)prefixed.size()));
        bm_queue_push(&rxq()->push_queue, skb, DPMAIF_POOL_TAG);
    };
    rxq(0)->irq_cpu = 0;
    IpcShouldTerminateThreads(&run);
    HANDLE thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, win_create_thread(&thread, dpmaif_rx_push_thread, rxq()));
    host::ClockAdvance(0);
    EXPECT_TRUE(doubles::RxChains().empty());

    queue(3, Payload(100, 1));
    queue(3, Payload(1500, 2));
    struct sk_buff* runt = dpmaif_get_rx_buf(hif(), DPMAIF_BAT_BUF_SIZE);
    ASSERT_NE(nullptr, runt);
    skb_put(runt, 2);
    bm_queue_push(&rxq()->push_queue, runt, DPMAIF_POOL_TAG);
    queue(7, Payload(60, 3));
    KeSetEvent(&rxq()->push_event, 0, FALSE);
    host::ClockAdvance(0);

    const std::vector<doubles::RxChain> chains = doubles::RxChains();
    ASSERT_EQ(1u, chains.size());
    EXPECT_EQ(7u, chains[0].channel);
    EXPECT_EQ(3u, chains[0].count);
    EXPECT_EQ((std::vector<Bytes>{Payload(100, 1), Payload(1500, 2), Payload(60, 3)}), chains[0].packets);
    KAFFINITY active = 0;
    if (KeQueryActiveProcessorCount(&active) > 1) {
        EXPECT_EQ(1, rxq()->push_cpu);
    }
    EXPECT_EQ(cached, CacheCount()) << "the runt and the delivered buffers are back";

    IpcShouldTerminateThreads(&terminate);
    KeSetEvent(&rxq()->push_event, 0, FALSE);
    EXPECT_TRUE(win_wait_threads_ended(-1000 * 10000LL));
    ZwClose(thread);
    IpcShouldTerminateThreads(&run);

    queue(5, Payload(10, 4));
    dpmaif_rxq_exit(hif(), 0);
    queue_ = false;
    EXPECT_EQ(cached, CacheCount());
}

TEST_F(DpmaifRxTest, PitEntriesGoBackToTheEngineInBatchesOfSixty)
{
    rxq()->hw_wr_idx = 200;
    rxq()->to_release = 59;
    EXPECT_EQ(0, dpmaif_pit_release(rxq(), 0));
    EXPECT_EQ(0, rxq()->rel_idx);
    EXPECT_EQ(59u, rxq()->to_release);
    rxq()->to_release = 60;
    EXPECT_EQ(0, dpmaif_pit_release(rxq(), 0));
    EXPECT_EQ(60, rxq()->rel_idx);
    EXPECT_EQ(0u, rxq()->to_release);
    host::Quiesce();

    EXPECT_EQ(-1, dpmaif_pit_add_rel(rxq(), DPMAIF_PIT_LENGTH));
    InterlockedExchange(&rxq()->enabled, 0);
    EXPECT_EQ(0, dpmaif_pit_add_rel(rxq(), 60));
    EXPECT_EQ(60, rxq()->rel_idx);
}

// Both receive queues with the rings started on the engine, as the instance's start leaves them.
class DpmaifRxEngineTest : public DpmaifTest
{
  protected:
    void SetUp() override
    {
        DpmaifTest::SetUp();
        SetUpRings();
        InitReceiveQueues();
        queues_ = true;
        ASSERT_EQ(0, dpmaif_bat_start(hif()));
        StartEngine();
        ASSERT_EQ(0, dpmaif_hw_dl_add_bat_cnt(hw(), 0, hif()->bat.length - 1));
        ASSERT_EQ(0, dpmaif_hw_dl_add_frag_cnt(hw(), 0, hif()->frag_bat.length - 1));
        doubles::ClearRxChains();
    }
    void TearDown() override
    {
        Engine().Stop();
        if (queues_) {
            WdfWorkItemFlush(hif()->bat_refill_work);
            for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
                dpmaif_rxq_exit(hif(), q);
        }
        doubles::ClearRxChains();
        DpmaifTest::TearDown();
    }
    size_t PitAddCounts(u8 q, u32 count)
    {
        size_t found = 0;
        for (const DpmaifWrite& write : Engine().Writes())
            found += write.Address() == DPMAIF_PIT_ADD && write.value == (0x80000000u | (u32)q << 20 | count);
        return found;
    }
    bool queues_ = false;
};

TEST_F(DpmaifRxEngineTest, PacketsOfMixedSizesArriveInOrderPerChannelAndThePitGoesBack)
{
    const u32 channels[] = {0, 0, 2, 7, 7, 7};
    const size_t sizes[] = {20, 1500, 3000, 64, 999, 3400};
    // Data at the very start of each lent buffer: nothing may be written in front of it.
    Engine().SetRxDataOffset(0);
    std::vector<std::vector<Bytes>> sent(8);
    for (u32 i = 0; i < 36; i++) {
        Bytes bytes = Payload(sizes[i % 6], (u8)i);
        sent[channels[i % 6]].push_back(bytes);
        Engine().Inject(0, channels[i % 6], bytes);
    }
    Engine().Drain();
    Engine().ClearWrites();
    EXPECT_EQ(1, dpmaif_rx_run(hif(), 0, rxq()->budget, false));
    std::vector<std::vector<Bytes>> received(8);
    for (const doubles::RxChain& chain : doubles::RxChains()) {
        EXPECT_EQ(chain.count, chain.packets.size());
        for (const Bytes& packet : chain.packets)
            received[chain.channel].push_back(packet);
    }
    EXPECT_EQ(sent, received);
    EXPECT_EQ(18u, doubles::RxChains().size());
    // 72 entries: returned in one batch at the end of the run.
    EXPECT_EQ(1u, PitAddCounts(0, 72));
    EXPECT_EQ(0u, rxq()->to_release);
    EXPECT_EQ(72, rxq()->rel_idx);
}

TEST_F(DpmaifRxEngineTest, ARunTakesAtMostItsBudgetAndAnEmptyRunRearmsTheDoneInterrupt)
{
    for (u32 i = 0; i < 10; i++)
        Engine().Inject(1, 3, Payload(100, (u8)i));
    Engine().Drain();
    EXPECT_EQ(0, dpmaif_rx_run(hif(), 1, 5, false));
    EXPECT_EQ(5, rxq(1)->rd_idx);
    EXPECT_EQ(1, dpmaif_rx_run(hif(), 1, 100, false));
    EXPECT_EQ(20, rxq(1)->rd_idx);
    u32 delivered = 0;
    for (const doubles::RxChain& chain : doubles::RxChains())
        delivered += chain.count;
    EXPECT_EQ(10u, delivered);

    // The runner unmasks the queue's done interrupt once the PIT is empty.
    ASSERT_EQ(0, dpmaif_hw_dl_done_mask(hw(), 1));
    Engine().ClearWrites();
    dpmaif_rxq_tasklet(rxq(1)->tasklet);
    EXPECT_EQ(0u, Engine().Peek(DPMAIF_DL_MASK_STATE) & 0x200u);
}

} // namespace
