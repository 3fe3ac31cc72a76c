// The CLDMA interrupt handler and the receive work item against the simulated engine stepped by the
// test: error bits, masking until the ring is drained, delivery through the port layer's contract, the
// diagnostic dump, and a randomised soak of both directions.
#include <host/trace.h>

#include <map>
#include <mutex>
#include <random>

#include "cldma_fixture.h"
#include "host_test.h"

namespace
{

using namespace cldmatest;

class CldmaIsrTest : public CldmaRunningTest
{
  protected:
    std::vector<CldmaWrite> WritesTo(CldmaBlock block, std::initializer_list<ULONG> offsets)
    {
        std::vector<CldmaWrite> picked;
        for (const CldmaWrite& write : Engine().Writes())
            if (write.block == block && std::find(offsets.begin(), offsets.end(), write.offset) != offsets.end())
                picked.push_back(write);
        return picked;
    }
    static size_t TraceCount(const char* text) { return host::TraceFind(text).size(); }
};

TEST_F(CldmaIsrTest, ErrorBitsAreClearedAndOnlyATransmitErrorResetsTheModem)
{
    EXPECT_EQ(0, Isr()); // nothing pending
    EXPECT_TRUE(Engine().Writes().empty());

    struct Case {
        CldmaDirection direction;
        ULONG error0_offset;
        bool reset;
    };
    const Case cases[] = {
        {CldmaDirection::Rx, CLDMA_B_RX_ERROR0, false},
        {CldmaDirection::Tx, CLDMA_B_TX_ERROR0, true},
    };
    for (const Case& c : cases) {
        const bool rx = c.direction == CldmaDirection::Rx;
        SCOPED_TRACE(rx ? "RX" : "TX");
        Engine().ClearWrites();
        Engine().RaiseErrors(c.direction, 1u << 18, 0x4, 0x8);
        ASSERT_TRUE(Engine().InterruptAsserted());
        Isr();
        EXPECT_EQ((std::vector<CldmaWrite>{{CldmaBlock::B, c.error0_offset, 0x4}, {CldmaBlock::B, c.error0_offset + 4, 0x8}}),
                  WritesTo(CldmaBlock::B, {c.error0_offset, c.error0_offset + 4}));
        EXPECT_EQ(0u, cldma_hw_irq_status(&hw_, ~0u, rx));
        EXPECT_FALSE(Engine().InterruptAsserted());
        EXPECT_EQ(c.reset ? 1 : 0, doubles::Modem().hs_aborts);
        EXPECT_EQ(c.reset ? std::vector<std::string>{"WARM_RESET"} : std::vector<std::string>{},
                  doubles::Indications());
    }
    EXPECT_EQ(1u, TraceCount("receive error"));
}

TEST_F(CldmaIsrTest, OneInterruptCollectsTheWholeRingThenUnmasks)
{
    StartRx(3);
    std::vector<std::vector<u8>> frames;
    for (u8 i = 0; i < 16; i++)
        frames.push_back(Frame(60 + i, i));
    Feed(3, frames);
    Engine().ClearWrites();

    // The handler masks the queue and leaves the rest to the work item, which unmasks it when drained.
    Isr();
    host::Quiesce();
    EXPECT_EQ(frames, Delivered());
    EXPECT_EQ((std::vector<CldmaWrite>{{CldmaBlock::A, CLDMA_A_RX_MASK_SET, 1u << 3},
                                       {CldmaBlock::A, CLDMA_A_RX_MASK_SET, 0x100u << 3},
                                       {CldmaBlock::A, CLDMA_A_RX_UNMASK, 1u << 3},
                                       {CldmaBlock::A, CLDMA_A_RX_UNMASK, 0x100u << 3}}),
              WritesTo(CldmaBlock::A, {CLDMA_A_RX_MASK_SET, CLDMA_A_RX_UNMASK}));
    EXPECT_EQ(1u, WritesTo(CldmaBlock::B, {CLDMA_B_REARM}).size());
    EXPECT_EQ(0u, cldma_hw_irq_mask(&hw_, true) & 0x808u);
}

TEST_F(CldmaIsrTest, TheWorkItemOffersABusyBufferAgainUntilTakenAndReplacesReleasedOnes)
{
    StartRx(1);
    const std::vector<std::vector<u8>> frames = {Frame(10, 1), Frame(11, 2), Frame(12, 3), Frame(13, 4)};
    Feed(1, frames);
    std::vector<std::vector<u8>> taken;
    ScriptPort({{2, CLDMA_RX_BUSY}, {3, CLDMA_RX_BUSY}, {5, CLDMA_RX_RELEASED}}, &taken);
    Settle();
    EXPECT_EQ((std::vector<std::vector<u8>>{frames[0], frames[1], frames[1], frames[1], frames[2], frames[3]}),
              Delivered());
    EXPECT_EQ((std::vector<std::vector<u8>>{frames[0], frames[1], frames[3]}), taken);
    EXPECT_EQ(0u, cldma_hw_irq_masked(&hw_, 1, true));
    // Every descriptor armed again with a buffer of its own.
    for (const struct cldma_request* request : Requests(ctrl_.rx_rings[1])) {
        EXPECT_EQ(CLDMA_GPD_RX_FLAGS, request->gpd->flags);
        ASSERT_NE(nullptr, request->skb);
        EXPECT_EQ(Data(request->gpd), (u64)(ULONG_PTR)request->skb->data);
    }
}

TEST_F(CldmaIsrTest, AQueueStoppedDuringTheWorkStaysMasked)
{
    StartRx(2);
    for (int answer : {0, CLDMA_RX_BUSY}) {
        SCOPED_TRACE(answer);
        Feed(2, {Frame(9, 1), Frame(9, 2)});
        // The port's handling of the first frame coincides with a stop of the queue.
        doubles::SetPortRecvHandler([&](const doubles::PortRecv&, struct sk_buff* skb) {
            WdfSpinLockAcquire(ctrl_.lock);
            ctrl_.rx_active &= (u16)~(1u << 2);
            WdfSpinLockRelease(ctrl_.lock);
            return answer == 0 ? doubles::PortRecvTake(skb) : answer;
        });
        Engine().ClearWrites();
        Isr();
        host::Quiesce(); // a busy answer is not retried on a stopped queue
        EXPECT_TRUE(WritesTo(CldmaBlock::A, {CLDMA_A_RX_UNMASK}).empty());
        EXPECT_NE(0u, cldma_hw_irq_masked(&hw_, 2, true));
        ctrl_.rx_active |= 1u << 2;
        cldma_hw_unmask_done(&hw_, 2, true);
        cldma_hw_unmask_empty(&hw_, 2, true);
    }
}

TEST_F(CldmaIsrTest, ABufferWithoutDataMemoryIsReplacedNotRetriedForever)
{
    StartRx(4);
    Feed(4, {Frame(20, 1), Frame(21, 2)});
    struct cldma_request* first = Requests(ctrl_.rx_rings[4])[0];
    struct sk_buff* original = first->skb;
    auto* hollow = static_cast<struct sk_buff*>(win_zalloc(sizeof(struct sk_buff), 0, CLDMA_POOL_TAG));
    hollow->users = 1;
    first->skb = hollow;

    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(Rx(4), 16, true));
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(21, 2)}), Delivered());
    ASSERT_NE(nullptr, first->skb);
    EXPECT_NE(hollow, first->skb);
    EXPECT_EQ(CLDMA_GPD_RX_FLAGS, first->gpd->flags);
    EXPECT_EQ(Data(first->gpd), (u64)(ULONG_PTR)first->skb->data);
    EXPECT_EQ(1u, TraceCount("buffer without data memory replaced"));
    bm_free_skb(original, CLDMA_POOL_TAG);
}

TEST_F(CldmaIsrTest, TheDumpWritesRegistersQueuesAndDescriptorsAsAsked)
{
    const size_t kRegisterLines = 1 + 2 * (34 + 13 + 26 + 30 + 14);
    struct Case {
        u32 flags;
        u32 qno;
        size_t queue_lines;
        size_t request_lines;
    };
    const Case cases[] = {
        {CLDMA_DUMP_FLAG, CLDMA_DUMP_ALL_QUEUES, 16, 256},
        {CLDMA_DUMP_FLAG | 1, 3, 2, 32},
        {0x40000, CLDMA_DUMP_ALL_QUEUES, 0, 0},
        {CLDMA_DUMP_FLAG, 8, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << c.qno);
        host::TraceClear();
        EXPECT_EQ(0, cldma_dump_status(0, CLDMA_HIF_SAP, c.flags, 0, c.qno));
        const bool dumped = c.queue_lines != 0;
        EXPECT_EQ(dumped ? kRegisterLines : 0, TraceCount("DRV_CLDMA: "));
        EXPECT_EQ(c.queue_lines, TraceCount(" queue ") - (c.qno == 8 ? 1 : 0));
        EXPECT_EQ(c.request_lines, TraceCount("HIF_CLDMA:   "));
    }
    EXPECT_EQ(-1, cldma_dump_status(0, CLDMA_HIF_MD, CLDMA_DUMP_FLAG, 0, 0));
    cldma_free_rings(&ctrl_);
    host::TraceClear();
    EXPECT_EQ(0, cldma_dump_status(0, CLDMA_HIF_SAP, CLDMA_DUMP_FLAG, 0, CLDMA_DUMP_ALL_QUEUES));
    EXPECT_EQ(0u, TraceCount("CLDMA"));
}

// Frames echoed by the peer from TX queue q to RX queue q; the first bytes say which queue and which
// frame, so every delivery can be checked for order and uniqueness.
TEST_F(CldmaIsrTest, SoakBothDirectionsWithBusyPortsDeliversEveryFrameOnceInOrder)
{
    constexpr u8 kQueues = 4;
    constexpr int kFrames = 1500;
    std::mt19937 random(7);
    for (u8 q = 0; q < kQueues; q++) {
        peer_.Echo(q, q);
        StartTx(q);
        StartRx(q);
    }
    Engine().SetPeer(&peer_);
    // The queues' work items may run side by side.
    std::mutex lock;
    std::mt19937 busy(11);
    std::map<u8, std::vector<int>> taken;
    doubles::SetPortRecvHandler([&](const doubles::PortRecv& call, struct sk_buff* skb) {
        std::lock_guard<std::mutex> hold(lock);
        if (busy() % 5 == 0)
            return CLDMA_RX_BUSY;
        taken[call.bytes[0]].push_back(call.bytes[1] | call.bytes[2] << 8);
        return doubles::PortRecvTake(skb);
    });
    std::map<u8, int> sent;
    for (int n = 0; n < kFrames;) {
        const u8 q = (u8)(random() % kQueues);
        std::vector<u8> frame = Frame(3 + random() % 3000, (u8)n);
        frame[0] = q;
        frame[1] = (u8)sent[q];
        frame[2] = (u8)(sent[q] >> 8);
        if (Send(q, frame) == 0) {
            sent[q]++;
            n++;
        }
        if (random() % 8 == 0)
            Serve();
    }
    Settle();
    for (u8 q = 0; q < kQueues; q++) {
        std::vector<int> expected(sent[q]);
        for (int i = 0; i < sent[q]; i++)
            expected[i] = i;
        EXPECT_EQ(expected, taken[q]) << "queue " << int(q);
        EXPECT_EQ(16, Tx(q)->budget);
    }
}

} // namespace
