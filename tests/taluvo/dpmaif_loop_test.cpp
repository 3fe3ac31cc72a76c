// Both DPMAIF data paths against the engine running on its own threads: packets of mixed sizes sent
// on several channels through both transmit queues come back through the engine on both receive
// queues while the host serves, receives and refills concurrently. Each arrives once, in order per
// channel and intact; every send is completed and the rings and buffers are balanced afterwards.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "ccmni_rx.h"
#include "dpmaif_sim.h"

namespace
{

using namespace dpmaifsim;
using Bytes = std::vector<u8>;

constexpr u32 kPackets = 20000;
constexpr u32 kChainsPerRound = 16;
constexpr u32 kSizes[] = {1, 60, 576, 1500, 2047, 3400};
constexpr u32 kChannels[] = {0, 3, 5, 7, 12};
constexpr u32 kMaxRounds = 2000000;

// A packet names its channel and its place in that channel's sequence.
Bytes LoopPayload(u32 n, u32 channel, u32 seq)
{
    Bytes bytes(kSizes[(n * 7 + channel) % 6] + 8);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (u8)(n * 13 + i * 7);
    bytes[0] = (u8)channel;
    bytes[1] = (u8)seq;
    bytes[2] = (u8)(seq >> 8);
    return bytes;
}

class DpmaifLoopTest : public DpmaifTest
{
  protected:
    DpmaifLoopTest() : DpmaifTest(sim::pci::ExecutionMode::Threaded) {}

    void SetUp() override
    {
        DpmaifTest::SetUp();
        SetUpRings();
        InitReceiveQueues();
        InitTransmitQueues();
        queues_ = true;
        KeInitializeEvent(&hif()->tx_push_event, NotificationEvent, FALSE);
        hif()->state = DPMAIF_STATE_STARTED;
        ASSERT_EQ(0, dpmaif_bat_start(hif()));
        StartEngine();
        ASSERT_EQ(0, dpmaif_hw_dl_add_bat_cnt(hw(), 0, hif()->bat.length - 1));
        ASSERT_EQ(0, dpmaif_hw_dl_add_frag_cnt(hw(), 0, hif()->frag_bat.length - 1));
        doubles::ClearRxChains();
        // Loopback that spreads the channels over both receive queues.
        Engine().SetUplinkSink([this](const sim::modem::DpmaifUplinkPacket& packet) {
            Engine().Inject(packet.channel % 2, packet.channel, packet.bytes);
        });
    }
    void TearDown() override
    {
        Engine().SetUplinkSink({});
        Engine().Stop();
        if (queues_) {
            WdfWorkItemFlush(hif()->bat_refill_work);
            for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
                dpmaif_rxq_exit(hif(), q);
            for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++)
                dpmaif_txq_exit(hif(), q);
        }
        doubles::ClearRxChains();
        DpmaifTest::TearDown();
    }

    bool queues_ = false;
};

TEST_F(DpmaifLoopTest, PacketsComeBackOncePerChannelInOrderAndTheRingsBalance)
{
    struct Chain {
        u32 channel;
        std::vector<Bytes> payloads;
    };
    std::map<u32, std::vector<Bytes>> sent;
    std::vector<Chain> chains;
    for (u32 n = 0; n < kPackets;) {
        Chain chain = {kChannels[n % 5], {}};
        for (u32 k = 0; k <= n % 3 && n < kPackets; k++, n++) {
            chain.payloads.push_back(LoopPayload(n, chain.channel, (u32)sent[chain.channel].size()));
            sent[chain.channel].push_back(chain.payloads.back());
        }
        chains.push_back(std::move(chain));
    }

    // The host side on this thread, the engine on its own: send a few chains, serve, complete,
    // receive. More packets than the rings hold, so every ring wraps and the BAT is refilled.
    size_t next = 0;
    u32 rounds = 0;
    for (; rounds < kMaxRounds && (doubles::RxPacketCount() < kPackets || CompletedPackets() < kPackets);
         rounds++) {
        for (u32 k = 0; k < kChainsPerRound && next < chains.size(); k++, next++) {
            // A channel keeps to one transmit queue, so its order is the queue's order. A full queue
            // refuses the chain (-16): it goes again next round.
            const Chain& chain = chains[next];
            const int result = Send((u8)(chain.channel % 2), chain.channel, chain.payloads);
            ASSERT_TRUE(result == 0 || result == -16) << result;
            if (result != 0)
                break;
        }
        (void)dpmaif_tx_push_serve(hif());
        // As the uplink-done decode does: the queues' done timers release what the engine read.
        for (u8 q = 0; q < 2; q++)
            WdfTimerStart(txq(q)->done_timer, 0);
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
            (void)dpmaif_rx_run(hif(), q, DPMAIF_RX_BUDGET, false);
        std::this_thread::yield();
    }
    ASSERT_LT(rounds, kMaxRounds) << doubles::RxPacketCount() << " received, " << CompletedPackets()
                                  << " completed";

    std::map<u32, std::vector<Bytes>> received;
    for (const doubles::RxChain& chain : doubles::RxChains()) {
        EXPECT_EQ(chain.count, chain.packets.size());
        for (const Bytes& packet : chain.packets)
            received[chain.channel].push_back(packet);
    }
    EXPECT_EQ(sent, received);
    EXPECT_EQ(0u, Engine().UplinkErrors());
    EXPECT_FALSE(dpmaif_exception_is_raised());

    // Transmit rings empty again; every PIT entry read; the BAT lent out in full with fewer than a
    // batch of slots waiting to go back.
    for (u8 q = 0; q < 2; q++) {
        WdfTimerStop(txq(q)->done_timer, TRUE);
        EXPECT_EQ(DPMAIF_DRB_LENGTH, txq(q)->drb_free);
        EXPECT_EQ(txq(q)->wr_idx, txq(q)->rel_idx);
        EXPECT_EQ(0u, txq(q)->pending_count);
    }
    WdfWorkItemFlush(hif()->bat_refill_work);
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        EXPECT_EQ(1, dpmaif_rx_run(hif(), q, DPMAIF_RX_BUDGET, false));
        EXPECT_EQ(rxq(q)->rd_idx, rxq(q)->hw_wr_idx);
    }
    const struct dpmaif_bat_table& bat = hif()->bat;
    EXPECT_EQ(bat.length - 1, (bat.wr_idx + bat.length - bat.rel_idx) % bat.length);
    u32 consumed = 0;
    for (u32 slot = 0; slot < bat.length; slot++)
        consumed += bat.consumed[slot] != 0;
    EXPECT_LT(consumed, (u32)DPMAIF_BAT_REFILL_MIN);
    for (u32 i = 0; i < bat.length - 1 - consumed; i++) {
        const u32 slot = (bat.rel_idx + consumed + i) % bat.length;
        ASSERT_NE(nullptr, bat.shadow[slot].skb) << "slot " << slot << " lent without a buffer";
    }
}

} // namespace
