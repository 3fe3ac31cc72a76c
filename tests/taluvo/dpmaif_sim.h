// The DPMAIF code under test: an instance record as its creation leaves it for the rings and registers,
// on a framework device with a DMA enabler, its registers in the simulated modem's window (stepped by
// the test) and its exception doorbell wired to the modem's doorbell block.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>

#include <memory>
#include <vector>

#include "cldma_sim.h"
#include "device_fixture.h"
#include "dpmaif.h"
#include "tx_completions.h"

namespace dpmaifsim
{

using namespace sim::modem;

class DpmaifTest : public taluvotest::DeviceTest
{
  protected:
    explicit DpmaifTest(sim::pci::ExecutionMode mode = sim::pci::ExecutionMode::Step) : window_(mode) {}
    bool WithDmaEnabler() const override { return true; }

    void SetUp() override
    {
        DeviceTest::SetUp();
        node_.dma_enabler = DmaEnabler();
        hif_ = std::make_unique<struct dpmaif_hif>();
        hif_->dma_dev = &node_;
        ASSERT_EQ(0, dpmaif_hw_set_base(&hif_->hw, window_.Window(), kModemWindowBase));
        dev_.mhccif_base = const_cast<u8*>(window_.Window()) + kMhccifOffset;
        hif_->dev = &dev_;
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            struct dpmaif_rxq* rxq = &hif_->rxq[q];
            rxq->index = q;
            rxq->instance = hif_.get();
            rxq->bat = &hif_->bat;
            rxq->frag_bat = &hif_->frag_bat;
        }
        InterlockedExchange(&dpmaif_exception_raised, 0);
        completed_ = doubles::TxCompletions().size();
    }

    // After the test's own teardown, which has let go of the queues holding them.
    void TearDown() override
    {
        for (struct sk_buff* skb : owned_)
            kfree_skb(skb, 0);
        if (rings_)
            dpmaif_bat_teardown(hif_.get());
        host::Quiesce();
        hif_.reset();
        DeviceTest::TearDown();
    }

    // The rings and the cache, as the instance's creation makes them; receive queue 0 enabled.
    void SetUpRings()
    {
        ASSERT_EQ(0, dpmaif_bat_setup(hif_.get()));
        rings_ = true;
        InterlockedExchange(&hif_->rxq[0].enabled, 1);
    }

    // The receive queues made and enabled as the instance's creation and start leave them.
    void InitReceiveQueues()
    {
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            ASSERT_EQ(0, dpmaif_rxq_init(hif(), q));
            InterlockedExchange(&rxq(q)->enabled, 1);
            rxq(q)->budget = DPMAIF_RX_BUDGET;
        }
    }
    // The same for the transmit queues.
    void InitTransmitQueues()
    {
        for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++) {
            ASSERT_EQ(0, dpmaif_txq_init(hif(), q));
            InterlockedExchange(&hif()->txq[q].enabled, 1);
        }
    }
    // The engine started on the rings made so far.
    void StartEngine()
    {
        struct dpmaif_ring_params params = {};
        dpmaif_ring_params_of(hif(), &params);
        dpmaif_hw_start(hw(), &params);
    }

    // A packet with its ccmni header (channel in byte 0) in front of the payload; freed at teardown.
    struct sk_buff* Packet(u32 channel, const std::vector<u8>& payload)
    {
        struct sk_buff* skb = alloc_skb(static_cast<u32>(payload.size()) + DPMAIF_TX_HEADER_SIZE, 0);
        EXPECT_NE(nullptr, skb);
        u8* header = skb_put(skb, DPMAIF_TX_HEADER_SIZE);
        memset(header, 0, DPMAIF_TX_HEADER_SIZE);
        header[0] = static_cast<u8>(channel);
        memcpy(skb_put(skb, static_cast<u32>(payload.size())), payload.data(), payload.size());
        owned_.push_back(skb);
        return skb;
    }
    // Queues a chain of packets of one channel: the send's result.
    int Send(u8 q, u32 channel, const std::vector<std::vector<u8>>& payloads,
             struct ccmni_tx_request* request = nullptr)
    {
        struct ccmni_tx_request local = {};
        request = request != nullptr ? request : &local;
        struct sk_buff* first = nullptr;
        struct sk_buff** tail = &first;
        for (const std::vector<u8>& payload : payloads) {
            *tail = Packet(channel, payload);
            tail = &(*tail)->chain_next;
        }
        request->packets = static_cast<u32>(payloads.size());
        return dpmaif_tx_send_skb(0, hif(), q, first, 0, request);
    }
    // Chains completed since the test began, and the packets in them.
    std::vector<struct sk_buff*> Completed()
    {
        std::vector<struct sk_buff*> all = doubles::TxCompletions();
        return {all.begin() + static_cast<long>(completed_), all.end()};
    }
    size_t CompletedPackets()
    {
        size_t n = 0;
        for (struct sk_buff* chain : Completed())
            for (struct sk_buff* skb = chain; skb != nullptr; skb = skb->chain_next)
                n++;
        return n;
    }

    Modem& modem() { return window_.modem(); }
    DpmaifEngine& Engine() { return modem().Dpmaif(); }
    struct dpmaif_hif* hif() { return hif_.get(); }
    struct dpmaif_hw_info* hw() { return &hif_->hw; }
    struct dpmaif_rxq* rxq(u8 q = 0) { return &hif_->rxq[q]; }
    struct dpmaif_txq* txq(u8 q) { return &hif_->txq[q]; }

    cldmasim::ModemWindow window_;
    struct device_node node_ = {};
    struct mdm_pci_dev dev_ = {};
    std::unique_ptr<struct dpmaif_hif> hif_;
    bool rings_ = false;
    std::vector<struct sk_buff*> owned_;
    size_t completed_ = 0;
};

} // namespace dpmaifsim
