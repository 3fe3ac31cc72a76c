// The DPMAIF transmit path against the simulated engine in step mode: chains queued, written as DRB
// descriptors by the push side, walked by the engine, released and completed; the refusals, the
// engine's bad read indexes and stalls, and what stop and teardown do with what is still held.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "IpcContext.h"
#include "dpmaif_sim.h"
#include "modem_events.h"

namespace
{

using namespace dpmaifsim;
using namespace sim::modem::dpmaif;

std::vector<UCHAR> Bytes(size_t n, UCHAR seed)
{
    std::vector<UCHAR> bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = static_cast<UCHAR>(seed + i * 7);
    return bytes;
}

class DpmaifTxTest : public DpmaifTest
{
  protected:
    void SetUp() override
    {
        DpmaifTest::SetUp();
        InitTransmitQueues();
        KeInitializeEvent(&hif()->tx_push_event, NotificationEvent, FALSE);
        hif()->state = DPMAIF_STATE_STARTED;
        StartEngine();
        doubles::Indications().clear();
    }
    void TearDown() override
    {
        Engine().Stop();
        for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++)
            dpmaif_txq_exit(hif(), q);
        DpmaifTest::TearDown();
    }

    size_t WarmResets()
    {
        size_t n = 0;
        for (const std::string& text : doubles::Indications())
            n += text.find("WARM_RESET") != std::string::npos;
        return n;
    }
    ULONG UlMask() { return Engine().Read(kUlMask); }
};

TEST_F(DpmaifTxTest, MixedPacketsOnBothQueuesReachTheEngineIntactAndComeBackCompleted)
{
    std::vector<DpmaifUplinkPacket> expected[2];
    size_t packets = 0;
    for (u32 round = 0; round < 12; round++) {
        for (u8 q = 0; q < 2; q++) {
            std::vector<std::vector<UCHAR>> payloads;
            for (u32 p = 0; p <= (round + q) % 3; p++)
                payloads.push_back(Bytes(1 + (round * 331 + p * 97 + q * 13) % 1600, static_cast<UCHAR>(round + q)));
            const u32 channel = 3 + q * 4 + round % 2;
            ASSERT_EQ(0, Send(q, channel, payloads));
            for (const std::vector<UCHAR>& payload : payloads)
                expected[q].push_back({q, channel, payload});
            packets += payloads.size();
        }
    }
    Engine().ClearWrites();
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    EXPECT_EQ(0u, txq(0)->pending_count);
    EXPECT_EQ(0u, txq(1)->pending_count);
    // Queue 1 is served first.
    for (const DpmaifWrite& write : Engine().Writes())
        if ((write.Address() & ~4u) == kDrbAddCount) {
            EXPECT_EQ(kDrbAddCount + 4, write.Address());
            break;
        }

    Engine().Drain();
    std::vector<DpmaifUplinkPacket> taken[2];
    for (const DpmaifUplinkPacket& packet : Engine().UplinkPackets())
        taken[packet.queue].push_back(packet);
    EXPECT_EQ(expected[0], taken[0]);
    EXPECT_EQ(expected[1], taken[1]);
    EXPECT_EQ(0u, Engine().UplinkErrors());

    for (u8 q = 0; q < 2; q++) {
        dpmaif_hw_ul_mask(hw(), 1u << q); // as the status decode leaves it
        dpmaif_tx_done(txq(q)->done_timer);
        EXPECT_EQ(DPMAIF_DRB_LENGTH, txq(q)->drb_free);
        EXPECT_EQ(txq(q)->wr_idx, txq(q)->rel_idx);
        EXPECT_EQ(0u, UlMask() & (1u << q)) << "done interrupt unmasked again";
    }
    EXPECT_EQ(packets, CompletedPackets());
    for (struct sk_buff* chain : Completed())
        for (struct sk_buff* skb = chain; skb != nullptr; skb = skb->chain_next)
            EXPECT_NE(0, skb->tx_flags & DPMAIF_TX_HEADER_REMOVED);
}

TEST_F(DpmaifTxTest, ThePushThreadServesWhatIsSentAndEndsOnTermination)
{
    const UCHAR run = 0;
    const UCHAR terminate = 1;
    IpcShouldTerminateThreads(&run);
    HANDLE thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, win_create_thread(&thread, dpmaif_tx_hw_push_thread, hif()));
    for (u32 i = 0; i < 20; i++) {
        ASSERT_EQ(0, Send(static_cast<u8>(i % 2), 1 + i % 2, {Bytes(60 + i * 50, static_cast<UCHAR>(i))}));
        if (i % 4 == 0)
            host::ClockAdvance(0);
    }
    host::ClockAdvance(0);
    Engine().Drain();
    EXPECT_EQ(20u, Engine().UplinkPackets().size());
    for (u8 q = 0; q < 2; q++)
        dpmaif_tx_done(txq(q)->done_timer);
    EXPECT_EQ(20u, CompletedPackets());

    IpcShouldTerminateThreads(&terminate);
    KeSetEvent(&hif()->tx_push_event, 0, FALSE);
    EXPECT_TRUE(win_wait_threads_ended(-1000 * 10000LL));
    ZwClose(thread);
    IpcShouldTerminateThreads(&run);
}

TEST_F(DpmaifTxTest, DescriptorsAreWrittenWholeAndWrapAtTheRingEnd)
{
    // Leftovers of an earlier use must not show through.
    memset(txq(1)->drb, 0xFF, 4 * sizeof(struct dpmaif_drb));
    const std::vector<UCHAR> payload = Bytes(100, 1);
    ASSERT_EQ(0, Send(1, 9, {payload}));
    ASSERT_EQ(2, dpmaif_tx_fill(txq(1)));
    const struct dpmaif_drb* drb = txq(1)->drb;
    const u64 address = static_cast<u64>(MmGetPhysicalAddress(txq(1)->shadow[1].skb->data).QuadPart);
    EXPECT_EQ(0x1u | 0x4u | 100u << 16, drb[0].word[0]);
    EXPECT_EQ(0x20000000u | 9u << 16, drb[0].word[1]);
    EXPECT_EQ(0u, drb[0].word[2]);
    EXPECT_EQ(0u, drb[0].word[3]);
    EXPECT_EQ(100u << 16, drb[1].word[0]);
    EXPECT_EQ(static_cast<u32>(address), drb[1].word[1]);
    EXPECT_EQ(static_cast<u32>(address >> 32), drb[1].word[2]);
    EXPECT_EQ(0u, drb[1].word[3]);
    EXPECT_EQ(0xFFFFFFFFu, drb[2].word[0]) << "nothing past the packet";

    // Three packets from slot 6140 end at slot 2; the engine is told 24 words.
    struct dpmaif_txq* q0 = txq(0);
    q0->wr_idx = q0->rel_idx = q0->hw_rd_idx = 6140;
    ASSERT_EQ(0, Send(0, 4, {Bytes(10, 2), Bytes(20, 3), Bytes(30, 4)}));
    Engine().ClearWrites();
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    EXPECT_EQ(2u, q0->wr_idx);
    EXPECT_EQ(DPMAIF_DRB_LENGTH - 6, q0->drb_free);
    const std::vector<DpmaifWrite> writes = Engine().Writes();
    const bool told = std::any_of(writes.begin(), writes.end(), [](const DpmaifWrite& w) {
        return w.Address() == kDrbAddCount && (w.value & 0xFFFFu) == 24;
    });
    EXPECT_TRUE(told);
}

TEST_F(DpmaifTxTest, RefusedChainsGoBackThroughTheRequest)
{
    struct ccmni_tx_request request = {};
    KeClearEvent(&hif()->tx_push_event);
    EXPECT_EQ(-321, Send(5, 1, {Bytes(10, 1)}, &request));
    EXPECT_EQ(owned_.back(), request.returned);
    EXPECT_FALSE(KeReadStateEvent(&hif()->tx_push_event)) << "no wake-up for a bad queue";

    // A request announcing other packets than the chain holds.
    request = {};
    request.fragments = 1;
    EXPECT_EQ(-16, Send(0, 1, {Bytes(10, 1)}, &request));
    EXPECT_EQ(owned_.back(), request.returned);
    // A packet too short to hold its header.
    struct sk_buff* runt = alloc_skb(64, 0);
    owned_.push_back(runt);
    skb_put(runt, 8);
    request = {};
    request.packets = 1;
    EXPECT_EQ(-16, dpmaif_tx_send_skb(0, hif(), 0, runt, 0, &request));

    txq(0)->pending_count = txq(0)->pending_max;
    request = {};
    EXPECT_EQ(-16, Send(0, 1, {Bytes(10, 1)}, &request));
    EXPECT_EQ(owned_.back(), request.returned);
    txq(0)->pending_count = 0;
    request = {};
    EXPECT_EQ(0, Send(0, 1, {Bytes(10, 1)}, &request));
    EXPECT_EQ(nullptr, request.returned);
    EXPECT_TRUE(KeReadStateEvent(&hif()->tx_push_event));
}

TEST_F(DpmaifTxTest, AReleaseEndingInsideAPacketCompletesOnlyFinishedPackets)
{
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1), Bytes(20, 2)}));
    ASSERT_EQ(4, dpmaif_tx_fill(txq(0)));
    EXPECT_EQ(3u, dpmaif_release_tx_buffer(hif(), 0, 3));
    ASSERT_EQ(1u, CompletedPackets());
    EXPECT_EQ(owned_[0], Completed()[0]);
    EXPECT_EQ(1u, txq(0)->last_channel);
    EXPECT_EQ(1u, dpmaif_release_tx_buffer(hif(), 0, 1));
    EXPECT_EQ(2u, CompletedPackets());
    EXPECT_EQ(DPMAIF_DRB_LENGTH, txq(0)->drb_free);

    // A last piece without its packet is released all the same: the done timer must not come back to it.
    ASSERT_EQ(0, Send(1, 1, {Bytes(10, 1)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    txq(1)->shadow[1].skb = nullptr;
    Engine().Drain();
    dpmaif_hw_ul_mask(hw(), 2);
    dpmaif_tx_done(txq(1)->done_timer);
    EXPECT_EQ(2u, txq(1)->rel_idx);
    EXPECT_EQ(DPMAIF_DRB_LENGTH, txq(1)->drb_free);
    EXPECT_EQ(0u, UlMask() & 2u);
    EXPECT_EQ(2u, CompletedPackets());
}

TEST_F(DpmaifTxTest, AnInvalidReadIndexRaisesOneWarmResetAndLeavesTheInterruptMasked)
{
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    Engine().SetDrbReadIndexInvalid(0, true);
    dpmaif_hw_ul_mask(hw(), 1);
    EXPECT_EQ(DPMAIF_DRB_RD_INVALID, dpmaif_tx_update_rd(hif(), 0)) << "checked before the division";
    EXPECT_EQ(3, dpmaif_tx_release(hif(), 0, 0));
    dpmaif_tx_done(txq(0)->done_timer);
    EXPECT_EQ(1u, WarmResets());
    EXPECT_EQ(1u, UlMask() & 1u);
    EXPECT_EQ(0u, CompletedPackets());
}

TEST_F(DpmaifTxTest, AFailedAddCountStopsTellingTheEngine)
{
    Engine().SetStuckBusy(kDrbAddCount, true);
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    EXPECT_EQ(1u, WarmResets());
    EXPECT_EQ(1u, hif()->tx_stalled);

    Engine().SetStuckBusy(kDrbAddCount, false);
    Engine().ClearWrites();
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 2)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    EXPECT_EQ(4u, txq(0)->wr_idx) << "written";
    for (const DpmaifWrite& write : Engine().Writes())
        EXPECT_NE(kDrbAddCount, write.Address()) << "but not announced";
}

TEST_F(DpmaifTxTest, AQueueWhoseReadIndexStandsStillForTenSecondsIsAStall)
{
    // Queue 0 is stuck while queue 1 keeps moving: each queue is watched on its own.
    Engine().FreezeDrbReadIndex(0, true);
    auto serve = [this] {
        ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1)}));
        ASSERT_EQ(0, Send(1, 2, {Bytes(10, 1)}));
        EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
        Engine().Drain();
        dpmaif_tx_update_rd(hif(), 0);
        dpmaif_tx_update_rd(hif(), 1);
    };
    serve();
    host::ClockAdvance(5 * 10000000ll);
    serve();
    EXPECT_EQ(0u, WarmResets()) << "5 s";
    host::ClockAdvance(5 * 10000000ll);
    serve();
    EXPECT_EQ(1u, WarmResets()) << "10 s";
    EXPECT_EQ(1u, hif()->tx_stalled);
    EXPECT_NE(txq(1)->wr_idx, 0u);
    EXPECT_EQ(txq(1)->wr_idx, txq(1)->hw_rd_idx) << "queue 1 kept moving";
}

TEST_F(DpmaifTxTest, StopCompletesWhatTheRingAndTheListsStillHold)
{
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1), Bytes(20, 2)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    ASSERT_EQ(0, Send(0, 1, {Bytes(30, 3)}));
    ASSERT_EQ(0, Send(1, 2, {Bytes(40, 4)}));

    dpmaif_tx_stop(hif());
    EXPECT_EQ(4u, CompletedPackets()) << "two held by the ring, two chains pending";
    for (u8 q = 0; q < 2; q++) {
        EXPECT_EQ(0u, txq(q)->pending_count);
        EXPECT_EQ(0u, txq(q)->wr_idx);
        EXPECT_EQ(DPMAIF_DRB_LENGTH, txq(q)->drb_free);
        EXPECT_EQ(0, txq(q)->filling);
    }

    // A fill after the stop drops the chain, completes it and leaves `filling` clear.
    hif()->state = DPMAIF_STATE_STOPPED;
    InterlockedExchange(&txq(0)->enabled, 1);
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 5)}));
    EXPECT_EQ(0, dpmaif_tx_fill(txq(0)));
    EXPECT_EQ(0, txq(0)->filling);
    EXPECT_EQ(5u, CompletedPackets());
    EXPECT_EQ(0u, txq(0)->pending_count);

    // Teardown completes what is still pending.
    ASSERT_EQ(0, Send(1, 2, {Bytes(10, 6)}));
    dpmaif_txq_exit(hif(), 1);
    EXPECT_EQ(6u, CompletedPackets());
    ASSERT_EQ(0, dpmaif_txq_init(hif(), 1));
}

TEST_F(DpmaifTxTest, DuringADeviceResetThePushSideEndsAndStopOnlyLetsGo)
{
    ASSERT_EQ(0, Send(0, 1, {Bytes(10, 1)}));
    EXPECT_FALSE(dpmaif_tx_push_serve(hif()));
    ASSERT_EQ(0, Send(0, 1, {Bytes(20, 2)}));
    const ULONG state = Context()->DeviceState;
    Context()->DeviceState = MBB_DEVICE_STATE_PLDR_REQUESTED;
    EXPECT_TRUE(dpmaif_tx_push_serve(hif())) << "the thread ends";
    EXPECT_EQ(1u, txq(0)->pending_count) << "nothing written";
    dpmaif_tx_stop(hif());
    Context()->DeviceState = state;
    EXPECT_EQ(0u, CompletedPackets());
    EXPECT_EQ(0u, txq(0)->pending_count);
    EXPECT_EQ(nullptr, txq(0)->shadow[1].skb);
}

} // namespace
