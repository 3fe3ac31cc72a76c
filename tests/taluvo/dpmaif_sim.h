// The DPMAIF code under test: an instance record as its creation leaves it for the rings and registers,
// on a framework device with a DMA enabler, its registers in the simulated modem's window (stepped by
// the test) and its exception doorbell wired to the modem's doorbell block.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>

#include <memory>

#include "cldma_sim.h"
#include "device_fixture.h"
#include "dpmaif.h"

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
    }

    void TearDown() override
    {
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

    // The receive queues made and enabled as the instance's creation and start leave them, their rings
    // entered in `params` for the engine.
    void InitReceiveQueues(struct dpmaif_ring_params* params)
    {
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            ASSERT_EQ(0, dpmaif_rxq_init(hif(), q));
            InterlockedExchange(&rxq(q)->enabled, 1);
            rxq(q)->budget = DPMAIF_RX_BUDGET;
            params->bat_dma[q] = hif()->bat.ring_dma;
            params->bat_length[q] = hif()->bat.length;
            params->frag_dma[q] = hif()->frag_bat.ring_dma;
            params->frag_length[q] = hif()->frag_bat.length;
            params->pit_dma[q] = rxq(q)->pit_dma;
            params->pit_length[q] = rxq(q)->pit_length;
        }
    }
    // The same for the transmit queues.
    void InitTransmitQueues(struct dpmaif_ring_params* params)
    {
        for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++) {
            ASSERT_EQ(0, dpmaif_txq_init(hif(), q));
            InterlockedExchange(&hif()->txq[q].enabled, 1);
            params->drb_dma[q] = hif()->txq[q].drb_dma;
            params->drb_length[q] = hif()->txq[q].drb_length;
        }
    }

    Modem& modem() { return window_.modem(); }
    DpmaifEngine& Engine() { return modem().Dpmaif(); }
    struct dpmaif_hif* hif() { return hif_.get(); }
    struct dpmaif_hw_info* hw() { return &hif_->hw; }
    struct dpmaif_rxq* rxq(u8 q = 0) { return &hif_->rxq[q]; }

    cldmasim::ModemWindow window_;
    struct device_node node_ = {};
    struct mdm_pci_dev dev_ = {};
    std::unique_ptr<struct dpmaif_hif> hif_;
    bool rings_ = false;
};

} // namespace dpmaifsim
