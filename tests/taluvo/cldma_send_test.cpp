// The CLDMA send path against the simulated engine stepped by the test: back-pressure for blocking and
// non-blocking senders, the start and resume commands of the kick, an engine that lost its
// configuration, and the engine stopping on an empty descriptor.
#include <host/trace.h>

#include <algorithm>

#include "cldma_fixture.h"
#include "host_test.h"

namespace
{

using namespace cldmatest;

class CldmaSendTest : public CldmaRunningTest
{
  protected:
    void SetUp() override
    {
        CldmaRunningTest::SetUp();
        Engine().SetPeer(&peer_);
    }

    std::vector<CldmaWrite> TxCommands()
    {
        std::vector<CldmaWrite> commands;
        for (const CldmaWrite& write : Engine().Writes())
            if (write.block == CldmaBlock::B && write.offset >= CLDMA_B_TX_START_CMD &&
                write.offset <= CLDMA_B_TX_STOP_CMD)
                commands.push_back(write);
        return commands;
    }
    // TX queue q started, `sent` sent by the engine (not collected), then `unseen` filled where the
    // engine stops before its ownership shows; returns the descriptor of `unseen`.
    struct cldma_request* SendPastTheEngine(u8 q, const std::vector<u8>& sent, const std::vector<u8>& unseen)
    {
        peer_.Sink(q);
        StartTx(q);
        EXPECT_EQ(0, Send(q, sent));
        Engine().Drain();
        Engine().HideTxOwnership(q, 1);
        struct cldma_request* request = Tx(q)->tx_xmit;
        EXPECT_EQ(0, Send(q, unseen));
        Engine().Drain();
        return request;
    }
    // Full-ring sends met while the engine ran; counted under the controller lock.
    u32 BusyCount(u8 q)
    {
        WdfSpinLockAcquire(ctrl_.lock);
        u32 count = Tx(q)->busy_count;
        WdfSpinLockRelease(ctrl_.lock);
        return count;
    }
    s32 InFlight(u8 q) const
    {
        s32 count = 0;
        for (const struct cldma_request* request : Requests(ctrl_.tx_rings[q]))
            count += request->skb != nullptr ? 1 : 0;
        return count;
    }

};

const CldmaWrite kStart2{CldmaBlock::B, CLDMA_B_TX_START_CMD, 1u << 2};
const CldmaWrite kResume2{CldmaBlock::B, CLDMA_B_TX_RESUME_CMD, 1u << 2};

TEST_F(CldmaSendTest, AFullRingRefusesOrBlocksUntilTheTimerCollects)
{
    doubles::Modem().debug_flags = CLDMA_DEBUG_QUEUE_STATE;
    peer_.Sink(2);
    StartTx(2);
    std::vector<std::vector<u8>> frames;
    for (u8 i = 0; i < 16; i++) {
        frames.push_back(Frame(100 + i, i));
        ASSERT_EQ(0, Send(2, frames.back()));
        EXPECT_EQ(16, Tx(2)->budget + InFlight(2));
    }
    // The engine has not run yet: it still counts as running, so no command is added.
    EXPECT_EQ(-16, Send(2, Frame(10, 0)));
    EXPECT_EQ(1u, Tx(2)->busy_count);
    EXPECT_EQ((std::vector<doubles::QueueState>{{CLDMA_HIF_SAP, 2, 1, CLDMA_QUEUE_STATE_FULL}}),
              doubles::QueueStates());

    // A blocking sender waits; the engine's completions, collected by the queue's timer, let it in.
    frames.push_back(Frame(7, 77));
    int blocked = 1;
    HANDLE sender = hosttest::StartThread([&] { blocked = Send(2, frames.back(), true); });
    ASSERT_TRUE(hosttest::WaitUntil([&] { return BusyCount(2) == 2; }, 10'000'000, 10'000));
    EXPECT_EQ(1, blocked);
    Serve();
    hosttest::JoinThread(sender);
    EXPECT_EQ(0, blocked);
    EXPECT_EQ(15, Tx(2)->budget);
    EXPECT_EQ(16, Tx(2)->budget + InFlight(2));
    Settle();
    EXPECT_EQ(frames, peer_.Frames(2));
    EXPECT_EQ(16, Tx(2)->budget);
    const size_t room = (size_t)std::count(doubles::QueueStates().begin(), doubles::QueueStates().end(),
                                           doubles::QueueState{CLDMA_HIF_SAP, 2, 1, CLDMA_QUEUE_STATE_ROOM});
    EXPECT_EQ(17u, room);
    // Drained: the timer re-armed and unmasked the queue's interrupts.
    EXPECT_EQ(0u, cldma_hw_irq_masked(&hw_, 2, false));
    EXPECT_EQ(0u, cldma_hw_irq_mask(&hw_, false) & (0x100u << 2));
}

TEST_F(CldmaSendTest, BlockedSendersWakeToFindTheirQueueGone)
{
    peer_.Sink(3);
    StartTx(3);
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(0, Send(3, Frame(20, (u8)i)));

    struct Case {
        const char* what;
        std::function<void()> take_away;
    };
    const Case cases[] = {
        {"stop",
         [&] {
             WdfSpinLockAcquire(ctrl_.lock);
             ctrl_.tx_active &= (u16)~(1u << 3);
             WdfSpinLockRelease(ctrl_.lock);
             cldma_tx_wake_senders(&ctrl_, 1u << 3);
         }},
        {"ring release", [&] { cldma_free_rings(&ctrl_); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const u32 busy = BusyCount(3);
        int result = 1;
        HANDLE sender = hosttest::StartThread([&] { result = Send(3, Frame(30, 1), true); });
        ASSERT_TRUE(hosttest::WaitUntil([&] { return BusyCount(3) == busy + 1; }, 10'000'000, 10'000));
        c.take_away();
        hosttest::JoinThread(sender);
        EXPECT_EQ(-16, result);
        EXPECT_EQ(-16, Send(3, Frame(30, 2)));
        ctrl_.tx_active |= 1u << 3;
    }
}

TEST_F(CldmaSendTest, TheKickStartsOnceThenResumesOnlyAStoppedQueue)
{
    peer_.Sink(2);
    StartTx(2);
    Engine().ClearWrites();
    ASSERT_EQ(0, Send(2, Frame(5, 1)));
    EXPECT_EQ((std::vector<CldmaWrite>{kStart2}), TxCommands());

    ASSERT_EQ(0, Send(2, Frame(5, 2))); // still running: no command
    EXPECT_EQ((std::vector<CldmaWrite>{kStart2}), TxCommands());

    Engine().Drain(); // sent both, stopped at the empty descriptor
    ASSERT_EQ(0, Send(2, Frame(5, 3)));
    EXPECT_EQ((std::vector<CldmaWrite>{kStart2, kResume2}), TxCommands());
    Engine().Drain();
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(5, 1), Frame(5, 2), Frame(5, 3)}), peer_.Frames(2));

    // Refused before anything is touched: a queue out of range, or one a stop made inactive.
    const s32 budget = Tx(2)->budget;
    struct cldma_request* xmit = Tx(2)->tx_xmit;
    Engine().ClearWrites();
    EXPECT_EQ(-321, Send(8, Frame(5, 4)));
    ctrl_.tx_active = 0;
    EXPECT_EQ(-16, Send(2, Frame(5, 5)));
    EXPECT_EQ(budget, Tx(2)->budget);
    EXPECT_EQ(xmit, Tx(2)->tx_xmit);
    EXPECT_EQ(nullptr, xmit->skb);
    EXPECT_TRUE(Engine().Writes().empty());
    EXPECT_EQ(-22, cldma_send_skb(0, CLDMA_HIF_MD, 2, nullptr, 0, 0));
}

TEST_F(CldmaSendTest, AnEngineThatLostItsConfigurationRestartsAtItsFirstOwnedDescriptor)
{
    // One frame sent and not yet collected, one the engine never saw before it lost its registers.
    struct cldma_request* pending = SendPastTheEngine(4, Frame(40, 1), Frame(40, 2));
    Engine().LoseConfiguration();
    Engine().ClearWrites();
    ASSERT_EQ(0, Send(4, Frame(40, 3)));

    std::vector<CldmaWrite> writes = Engine().Writes();
    const CldmaWrite start_low{CldmaBlock::B, CLDMA_B_TX_START_ADDR + 8 * 4, (ULONG)pending->gpd_addr};
    const CldmaWrite start{CldmaBlock::B, CLDMA_B_TX_START_CMD, 1u << 4};
    auto at = [&](const CldmaWrite& write) { return std::find(writes.begin(), writes.end(), write); };
    EXPECT_NE(writes.end(), at({CldmaBlock::A, CLDMA_A_RX_INIT_954, 4})); // initialised again
    ASSERT_NE(writes.end(), at(start_low));
    EXPECT_LT(at(start_low), at(start));
    Engine().Drain();
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(40, 1), Frame(40, 2), Frame(40, 3)}), peer_.Frames(4));
}

TEST_F(CldmaSendTest, AFullRingOnAStoppedEngineIsResumedEachTimeAndDumpedOnce)
{
    peer_.Sink(2);
    StartTx(2);
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(0, Send(2, Frame(8, (u8)i)));
    Engine().Drain(); // all sent, nothing collected: the ring stays full, the engine stopped
    Engine().ClearWrites();
    host::TraceClear();
    for (int i = 0; i < CLDMA_BUSY_STREAK_DUMP + 1; i++) {
        ASSERT_EQ(-16, Send(2, Frame(8, 0)));
        Engine().Drain();
    }
    EXPECT_EQ(std::vector<CldmaWrite>(CLDMA_BUSY_STREAK_DUMP + 1, kResume2), TxCommands());
    EXPECT_EQ(1u, host::TraceFind("register dump of CLDMA 0").size());
    EXPECT_EQ(1u, host::TraceFind("full 1000 times in a row").size());

    // A stopped queue is not resumed behind its stop.
    ctrl_.tx_active = 0;
    Engine().ClearWrites();
    EXPECT_EQ(-16, Send(2, Frame(8, 0)));
    EXPECT_TRUE(TxCommands().empty());
}

TEST_F(CldmaSendTest, AnEmptyStopBeforeTheLastDescriptorResumesAndElsewhereIsAnErrorInAHandshake)
{
    // The engine stopped at the descriptor just filled, before it saw the ownership: resumed.
    SendPastTheEngine(5, Frame(12, 1), Frame(12, 2));
    ASSERT_EQ(1u, peer_.FrameCount(5));
    Settle();
    EXPECT_EQ((std::vector<std::vector<u8>>{Frame(12, 1), Frame(12, 2)}), peer_.Frames(5));
    EXPECT_TRUE(doubles::Indications().empty());

    // Stopped somewhere else with a descriptor pending: traced, and an error only during a handshake.
    for (bool handshake : {false, true}) {
        SCOPED_TRACE(handshake);
        doubles::Modem().hs_pending = handshake;
        Engine().HideTxOwnership(5, 1);
        ASSERT_EQ(0, Send(5, Frame(12, 3)));
        Engine().Drain();
        Engine().StopTxAt(5, Tx(5)->tx_xmit->gpd_addr);
        host::TraceClear();
        Isr();
        EXPECT_FALSE(host::TraceFind("TX queue 5 stopped at").empty());
        EXPECT_EQ(handshake ? 1 : 0, doubles::Modem().hs_aborts);
        EXPECT_EQ(handshake ? std::vector<std::string>{"WARM_RESET"} : std::vector<std::string>{},
                  doubles::Indications());
        host::Quiesce();
        cldma_clear_rings(0, CLDMA_HIF_SAP, 1);
        StartTx(5);
    }
}

} // namespace
