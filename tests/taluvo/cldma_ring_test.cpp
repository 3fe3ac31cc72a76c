// The CLDMA engine's rings: building per queue variant, freeing, clearing, write room, and receive
// collection against the simulated engine stepped by the test.
#include <host/dma.h>
#include <host/pool.h>
#include <host/trace.h>

#include "cldma_fixture.h"
#include "host_test.h"

namespace
{

using namespace cldmatest;

using CldmaRingTest = CldmaTest;

TEST_F(CldmaRingTest, EachVariantBuildsClosedRingsOfItsSizes)
{
    struct Case {
        u8 variant;
        s32 tx_len0;
        u32 rx_buf0;
        u32 rx_buf7;
        u32 delivery0;
    };
    const Case cases[] = {
        {0, 16, SKB_3_5K, SKB_3_5K, 0},
        {1, 16, SKB_3_5K, SKB_64K, 0},
        {2, 64, 2048, SKB_3_5K, 1},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, c.variant)) << int(c.variant);
        EXPECT_EQ(c.variant, ctrl_.variant);
        EXPECT_EQ(1, ctrl_.rings_ready);
        for (u8 index = 0; index < CLDMA_QUEUE_COUNT; index++) {
            const struct cldma_queue& queue = ctrl_.queues[index];
            const bool tx = index < CLDMA_QUEUES;
            const u8 q = index % CLDMA_QUEUES;
            const struct cldma_ring& ring = tx ? ctrl_.tx_rings[q] : ctrl_.rx_rings[q];
            const s32 length = tx && q == 0 ? c.tx_len0 : 16;
            std::vector<struct cldma_request*> requests = Requests(ring);
            ASSERT_EQ((size_t)length, requests.size()) << int(c.variant) << " queue " << int(index);
            EXPECT_EQ(length, ring.length);
            EXPECT_EQ(&ring, queue.ring);
            EXPECT_EQ(requests[0], queue.tx_done);
            EXPECT_EQ(requests[0], tx ? queue.tx_xmit : queue.rx_refill);
            EXPECT_EQ(length, queue.budget);
            const u32 buf_size = q == 0 || (q == 1 && c.variant == 2) ? c.rx_buf0 : q == 7 ? c.rx_buf7 : SKB_3_5K;
            for (size_t i = 0; i < requests.size(); i++) {
                const struct cldma_request* request = requests[i];
                EXPECT_EQ(requests[(i + 1) % requests.size()]->gpd_addr, Next(request->gpd));
                EXPECT_TRUE(host::DmaCheck(request->gpd_addr, sizeof(struct cldma_gpd)));
                if (tx) {
                    EXPECT_EQ(CLDMA_GPD_TX_FLAGS, request->gpd->flags);
                    EXPECT_EQ(nullptr, request->skb);
                } else {
                    EXPECT_EQ(CLDMA_GPD_RX_FLAGS, request->gpd->flags);
                    EXPECT_EQ(buf_size, request->gpd->allow_len);
                    ASSERT_NE(nullptr, request->skb);
                    EXPECT_EQ(request->data_addr, Data(request->gpd));
                    EXPECT_EQ((u64)(ULONG_PTR)request->skb->data, request->data_addr);
                }
            }
            if (!tx) {
                EXPECT_EQ(buf_size, ring.buf_size);
                EXPECT_EQ(q < 2 ? c.delivery0 : 0u, queue.rx_delivery);
            }
        }
    }
}

std::vector<u64> DescriptorAddresses(const struct cldma_ctrl& ctrl)
{
    std::vector<u64> addresses;
    for (const struct cldma_ring* rings : {ctrl.tx_rings, ctrl.rx_rings})
        for (u8 q = 0; q < CLDMA_QUEUES; q++)
            for (const struct cldma_request* request : Requests(rings[q]))
                addresses.push_back(request->gpd_addr);
    return addresses;
}

TEST_F(CldmaRingTest, OnlyANewBuildableVariantRebuildsAndFreedDescriptorsGoBack)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(256u, DescriptorAddresses(ctrl_).size());
    struct cldma_request* first = ctrl_.queues[0].tx_done;

    // The same variant, or one that names no rings: nothing changes.
    EXPECT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(-1, cldma_set_queue_variant(0, CLDMA_HIF_SAP, CLDMA_VARIANT_NONE));
    EXPECT_EQ(-1, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 4));
    EXPECT_EQ(0, ctrl_.variant);
    EXPECT_EQ(first, ctrl_.queues[0].tx_done);
    EXPECT_EQ(-1, cldma_set_queue_variant(0, 2, 0));
    EXPECT_EQ(-1, cldma_set_queue_variant(1, CLDMA_HIF_SAP, 0));

    // A new variant rebuilds all 16 rings.
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 2));
    std::vector<u64> built = DescriptorAddresses(ctrl_);
    EXPECT_EQ(256u + 48u, built.size());
    EXPECT_EQ(64, ctrl_.queues[0].budget);

    // Freed rings give their descriptors back and leave no pointer into them.
    cldma_free_rings(&ctrl_);
    EXPECT_EQ(0, ctrl_.rings_ready);
    {
        hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
        for (u64 address : built)
            EXPECT_FALSE(host::DmaCheck(address, sizeof(struct cldma_gpd)));
    }
    for (const struct cldma_queue& queue : ctrl_.queues) {
        EXPECT_EQ(nullptr, queue.tx_done);
        EXPECT_EQ(nullptr, queue.tx_xmit);
        EXPECT_EQ(nullptr, queue.rx_refill);
        EXPECT_EQ(0, queue.budget);
    }
    EXPECT_EQ(0, cldma_build_rings(&ctrl_));
    EXPECT_EQ(-1, cldma_build_rings(&ctrl_));
}

TEST_F(CldmaRingTest, ABuildThatRunsOutOfRequestsClosesTheShorterRing)
{
    ctrl_.variant = 0;
    host::PoolFailTag(CLDMA_POOL_TAG, 1, 16 * 3 + 5); // the sixth request of TX ring 3
    ASSERT_EQ(0, cldma_build_rings(&ctrl_));
    host::PoolFailTagClear(CLDMA_POOL_TAG);
    std::vector<struct cldma_request*> requests = Requests(ctrl_.tx_rings[3]);
    ASSERT_EQ(5u, requests.size());
    EXPECT_EQ(5, ctrl_.tx_rings[3].length);
    EXPECT_EQ(5, ctrl_.queues[3].budget);
    EXPECT_EQ(requests[0]->gpd_addr, Next(requests.back()->gpd));
    EXPECT_EQ(16u, Requests(ctrl_.tx_rings[4]).size());
    EXPECT_FALSE(host::TraceFind("HIF_CLDMA: request 5 of a ring of 16 not allocated").empty());
}

TEST_F(CldmaRingTest, WriteRoomAndBudgetCheckTheQueue)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 2));
    EXPECT_EQ(64, cldma_tx_budget(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(-321, cldma_tx_budget(0, CLDMA_HIF_SAP, 8));
    EXPECT_EQ(-1, cldma_tx_budget(0, CLDMA_HIF_MD, 0));
    EXPECT_EQ(16, cldma_write_room(0, CLDMA_HIF_SAP, 1));
    EXPECT_EQ(0, cldma_write_room(0, CLDMA_HIF_SAP, 0xFF)); // the exception queue during a crash
    doubles::SetBromStage(true);
    EXPECT_EQ(1, cldma_write_room(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(0, cldma_write_room(0, CLDMA_HIF_SAP, 1));
}

TEST_F(CldmaRingTest, ClearingRingsReturnsThemToTheirStart)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    // TX queue 2 with three descriptors handed over, one of them collected; a sender waits.
    struct cldma_queue* tx = &ctrl_.queues[2];
    std::vector<struct cldma_request*> sent = Requests(ctrl_.tx_rings[2]);
    for (int i = 0; i < 3; i++) {
        sent[i]->skb = bm_alloc_skb(100, true, true, CLDMA_POOL_TAG);
        sent[i]->gpd->flags |= CLDMA_GPD_HWO;
        sent[i]->gpd->data_len = 100;
    }
    tx->tx_done = sent[1];
    tx->tx_xmit = sent[3];
    tx->budget = 13;
    KeClearEvent(&tx->wait_event);

    // RX queue 1 with two descriptors done.
    StartRx(1);
    Feed(1, {Frame(10, 1), Frame(20, 2)});
    std::vector<struct cldma_request*> received = Requests(ctrl_.rx_rings[1]);
    ASSERT_EQ(0, received[1]->gpd->flags & CLDMA_GPD_HWO);
    ASSERT_EQ(20, received[1]->gpd->data_len);

    EXPECT_EQ(0, cldma_clear_rings(0, CLDMA_HIF_SAP, 1));
    EXPECT_EQ(sent[0], tx->tx_done);
    EXPECT_EQ(sent[0], tx->tx_xmit);
    EXPECT_EQ(16, tx->budget);
    EXPECT_NE(0, KeReadStateEvent(&tx->wait_event));
    for (const struct cldma_request* request : sent) {
        EXPECT_EQ(0, request->gpd->flags & CLDMA_GPD_HWO);
        EXPECT_EQ(nullptr, request->skb);
        EXPECT_EQ(0u, Data(request->gpd));
        EXPECT_EQ(0, request->gpd->data_len);
    }

    EXPECT_EQ(0, cldma_clear_rings(0, CLDMA_HIF_SAP, 0));
    for (const struct cldma_request* request : received) {
        EXPECT_EQ(CLDMA_GPD_RX_FLAGS, request->gpd->flags);
        EXPECT_EQ(0, request->gpd->data_len);
        EXPECT_EQ(Data(request->gpd), (u64)(ULONG_PTR)request->skb->data);
    }
    EXPECT_EQ(received[0], Rx(1)->rx_next);
    EXPECT_EQ(received[0], Rx(1)->rx_refill);
    EXPECT_EQ(-1, cldma_clear_rings(0, 3, 0));
}

TEST_F(CldmaRingTest, CollectionDeliversInOrderAndReArms)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(4);
    const std::vector<std::vector<u8>> frames = {Frame(10, 1), Frame(3584, 2), Frame(1, 3)};
    Feed(4, frames);
    std::vector<struct cldma_request*> requests = Requests(ctrl_.rx_rings[4]);
    std::vector<struct sk_buff*> first_buffers = {requests[0]->skb, requests[1]->skb, requests[2]->skb};

    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(4), Rx(4)->budget, true));
    EXPECT_EQ(frames, Delivered());
    for (const doubles::PortRecv& call : doubles::PortRecvCalls())
        EXPECT_EQ(-1, call.qno);
    EXPECT_EQ(requests[3], Rx(4)->rx_next);
    EXPECT_EQ(requests[3], Rx(4)->rx_refill);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(CLDMA_GPD_RX_FLAGS, requests[i]->gpd->flags);
        EXPECT_EQ(0, requests[i]->gpd->data_len);
        EXPECT_NE(first_buffers[i], requests[i]->skb);
        EXPECT_EQ(Data(requests[i]->gpd), (u64)(ULONG_PTR)requests[i]->skb->data);
    }
    EXPECT_EQ(0, Rx(4)->rx_busy);
    EXPECT_EQ(3u, ctrl_.rx_counters[CLDMA_QUEUES + 4]);

    // The ring goes round: 20 more frames, one interrupt's worth, in one run.
    std::vector<std::vector<u8>> more;
    for (int i = 0; i < 20; i++)
        more.push_back(Frame(50 + i, (u8)i));
    doubles::PortRecvCalls().clear();
    for (const auto& frame : more)
        Engine().Receive(4, frame);
    for (int round = 0; round < 4 && doubles::PortRecvCalls().size() < more.size(); round++) {
        Engine().Drain();
        cldma_rx_collect(Rx(4), Rx(4)->budget, true);
    }
    EXPECT_EQ(more, Delivered());
}

TEST_F(CldmaRingTest, BusyPortGetsTheSameBufferAgainAndReleasedOnesAreReplaced)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(0);
    Feed(0, {Frame(5, 1), Frame(6, 2), Frame(7, 3)});
    std::vector<struct cldma_request*> requests = Requests(ctrl_.rx_rings[0]);
    struct sk_buff* second = requests[1]->skb;
    struct sk_buff* third = requests[2]->skb;
    std::vector<std::vector<u8>> taken;
    ScriptPort({{2, CLDMA_RX_BUSY}, {4, CLDMA_RX_RELEASED}}, &taken);

    EXPECT_EQ(CLDMA_RX_MORE, cldma_rx_collect(Rx(0), 16, true));
    EXPECT_EQ(requests[1], Rx(0)->rx_next);
    EXPECT_EQ(second, requests[1]->skb); // kept in its descriptor
    EXPECT_EQ(0, Rx(0)->rx_busy);

    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(0), 16, true));
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(5, 1), Frame(6, 2), Frame(6, 2), Frame(7, 3)}), Delivered());
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(5, 1), Frame(6, 2)}), taken); // the third was released
    EXPECT_NE(second, requests[1]->skb);
    EXPECT_NE(third, requests[2]->skb);
    EXPECT_NE(nullptr, requests[2]->skb);
    EXPECT_EQ(requests[3], Rx(0)->rx_next);
}

TEST_F(CldmaRingTest, BootRomQueuesDeliverToTheirOwnerPort)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 2));
    StartRx(1);
    Feed(1, {Frame(2048, 9)});
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(1), 16, true));
    ASSERT_EQ(1u, doubles::PortRecvCalls().size());
    EXPECT_EQ(1, doubles::PortRecvCalls()[0].qno);
    EXPECT_EQ(Frame(2048, 9), doubles::PortRecvCalls()[0].bytes);
}

TEST_F(CldmaRingTest, AnOversizeLengthIsNeverDeliveredAndTheDescriptorIsReArmed)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(2);
    Engine().Receive(2, Frame(64, 1), (USHORT)(SKB_3_5K + 1));
    Engine().Receive(2, Frame(64, 2));
    Engine().Drain();
    std::vector<struct cldma_request*> requests = Requests(ctrl_.rx_rings[2]);
    struct sk_buff* kept = requests[0]->skb;

    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(2), 16, true));
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(64, 2)}), Delivered());
    EXPECT_EQ(kept, requests[0]->skb);
    EXPECT_EQ(CLDMA_GPD_RX_FLAGS, requests[0]->gpd->flags);
    EXPECT_EQ(0, requests[0]->gpd->data_len);
    EXPECT_EQ(0u, kept->len);
    EXPECT_FALSE(host::TraceFind("bytes reported for a 3584-byte buffer").empty());
}

TEST_F(CldmaRingTest, AGoneDeviceEndsCollectionWithTheQueueFree)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(3);
    Engine().SetGone(true);
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(3), 16, true));
    EXPECT_EQ(0, Rx(3)->rx_busy);
    EXPECT_TRUE(Delivered().empty());
}

TEST_F(CldmaRingTest, EndOfPassResumesAStoppedQueueOnlyWhileActive)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(5);
    cldma_hw_stop_queue(&hw_, 5, true);
    Engine().Drain();
    ASSERT_EQ(0u, cldma_hw_queue_running(&hw_, 5, true));

    // Inactive: the pass ends without a command.
    ctrl_.rx_active = 0;
    Engine().ClearWrites();
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(5), 16, true));
    EXPECT_TRUE(Engine().Writes().empty());

    ctrl_.rx_active = 1u << 5;
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(5), 16, true));
    EXPECT_EQ((std::vector<CldmaWrite>{{CldmaBlock::B, CLDMA_B_RX_RESUME_CMD, 1u << 5}}), Engine().Writes());

    // A budget used up with a completion pending leaves more to do.
    Feed(5, {Frame(8, 1), Frame(8, 2)});
    EXPECT_EQ(CLDMA_RX_MORE, cldma_rx_collect(Rx(5), 1, false));
    EXPECT_EQ(1u, Delivered().size());
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(5), 16, false));
    EXPECT_EQ(2u, Delivered().size());
}

TEST_F(CldmaRingTest, AFailedReplacementNeverDeliversTheBufferAgain)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    StartRx(6);
    Feed(6, {Frame(30, 1), Frame(31, 2)});
    struct cldma_request* first = Requests(ctrl_.rx_rings[6])[0];

    // The pool runs dry (and stays so) while the collection does not wait for it.
    skb_pool_3_5k.prefilled = 0;
    std::vector<struct sk_buff*> held;
    for (struct sk_buff* skb; (skb = bm_queue_pop(&skb_pool_3_5k)) != nullptr;)
        held.push_back(skb);
    EXPECT_EQ(CLDMA_RX_MORE, cldma_rx_collect(Rx(6), 16, false));
    EXPECT_EQ(1u, Delivered().size());
    EXPECT_EQ(nullptr, first->skb);
    EXPECT_EQ(first, Rx(6)->rx_next);
    for (struct sk_buff* skb : held)
        bm_queue_push(&skb_pool_3_5k, skb, BM_POOL_3_5K_TAG);
    skb_pool_3_5k.prefilled = 1;

    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(6), 16, false));
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(30, 1), Frame(31, 2)}), Delivered());
    ASSERT_NE(nullptr, first->skb);
    EXPECT_EQ(CLDMA_GPD_RX_FLAGS, first->gpd->flags);
    EXPECT_EQ(Data(first->gpd), (u64)(ULONG_PTR)first->skb->data);
}

TEST_F(CldmaRingTest, FilledDescriptorsGoToTheEngineOnlyWhileActiveAndAreCollectedWhenDone)
{
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    CldmaScriptedPeer peer(Engine());
    Engine().SetPeer(&peer);
    peer.Sink(1);
    struct cldma_queue* queue = &ctrl_.queues[1];
    std::vector<struct cldma_request*> requests = Requests(ctrl_.tx_rings[1]);
    auto fill = [&](const std::vector<u8>& bytes, u8 directive) {
        struct sk_buff* skb = bm_alloc_skb(SKB_3_5K, true, true, CLDMA_POOL_TAG);
        std::copy(bytes.begin(), bytes.end(), skb_put(skb, (u32)bytes.size()));
        WdfSpinLockAcquire(queue->lock);
        int result = cldma_tx_fill(queue, queue->tx_xmit, skb, directive);
        if (result == 0) {
            queue->budget--;
            queue->tx_xmit = cldma_ring_next(queue->ring, queue->tx_xmit);
        }
        WdfSpinLockRelease(queue->lock);
        if (result != 0)
            bm_free_skb(skb, CLDMA_POOL_TAG);
        return result;
    };

    // Inactive: nothing is handed over or attached.
    EXPECT_EQ(-16, fill(Frame(20, 1), 0));
    EXPECT_EQ(CLDMA_GPD_TX_FLAGS, requests[0]->gpd->flags);
    EXPECT_EQ(nullptr, requests[0]->skb);
    EXPECT_EQ(0u, Data(requests[0]->gpd));

    ctrl_.tx_active = 1u << 1;
    const std::vector<std::vector<u8>> frames = {Frame(40, 1), Frame(41, 2), Frame(42, 3)};
    EXPECT_EQ(0, fill(frames[0], 0));
    EXPECT_EQ(0, fill(frames[1], CLDMA_IOC_OVERRIDE)); // no completion interrupt for this one
    EXPECT_EQ(0, fill(frames[2], 0));
    EXPECT_EQ(CLDMA_GPD_IOC | CLDMA_GPD_HWO, requests[0]->gpd->flags);
    EXPECT_EQ(CLDMA_GPD_HWO, requests[1]->gpd->flags);
    EXPECT_EQ(CLDMA_GPD_HANDED, requests[2]->gpd->host_state);
    EXPECT_EQ(42, requests[2]->gpd->data_len);
    EXPECT_EQ(13, queue->budget);

    KeClearEvent(&queue->wait_event);
    EXPECT_EQ(0, cldma_tx_collect(queue)); // the engine has not run
    EXPECT_EQ(0, KeReadStateEvent(&queue->wait_event));

    cldma_hw_set_start_addr(&hw_, 1, requests[0]->gpd_addr, false);
    cldma_hw_start_queue(&hw_, 1, false);
    Engine().Drain();
    EXPECT_EQ(frames, peer.Frames(1));
    EXPECT_EQ(3, cldma_tx_collect(queue));
    EXPECT_NE(0, KeReadStateEvent(&queue->wait_event));
    EXPECT_EQ(16, queue->budget);
    EXPECT_EQ(requests[3], queue->tx_done);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(nullptr, requests[i]->skb);
        EXPECT_EQ(CLDMA_GPD_COLLECTED, requests[i]->gpd->host_state);
        EXPECT_EQ(CLDMA_GPD_IOC, requests[i]->gpd->flags); // the directive's change undone
    }
    Engine().SetPeer(nullptr);
}

} // namespace
