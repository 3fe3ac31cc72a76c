// One CLDMA controller against the simulated SAP engine, stepped by the test: a framework device with a
// DMA enabler, the buffer pools, the controller set up and registered with the HIF dispatch, and the
// port layer's receive entries recording. Fixtures that run the deferred handlers make the queues'
// timers and work items as the instance's init does.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>

#include <algorithm>
#include <map>

#include <vector>

#include "brom_stage.h"
#include "ccci_bm.h"
#include "ccci_hif.h"
#include "cldma.h"
#include "cldma_sim.h"
#include "device_fixture.h"
#include "fsm.h"
#include "modem_object.h"
#include "modem_events.h"
#include "port_queue_state.h"
#include "port_recv.h"

namespace cldmatest
{

using namespace sim::modem;

inline std::vector<u8> Frame(size_t length, u8 seed)
{
    std::vector<u8> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (u8)(seed + i * 3);
    return bytes;
}

inline std::vector<struct cldma_request*> Requests(const struct cldma_ring& ring)
{
    std::vector<struct cldma_request*> requests;
    for (PLIST_ENTRY entry = ring.requests.Flink; entry != &ring.requests; entry = entry->Flink)
        requests.push_back(CONTAINING_RECORD(entry, struct cldma_request, link));
    return requests;
}

inline u64 Next(const struct cldma_gpd* gpd)
{
    return (u64)gpd->next_hi << 32 | gpd->next_lo;
}

inline u64 Data(const struct cldma_gpd* gpd)
{
    return (u64)gpd->data_hi << 32 | gpd->data_lo;
}

class CldmaTest : public taluvotest::DeviceTest
{
  protected:
    bool WithDmaEnabler() const override { return true; }
    // The queues' timers and work items, made with the controller.
    virtual bool WithDeferred() const { return false; }

    void SetUp() override
    {
        DeviceTest::SetUp();
        ASSERT_EQ(0, ccci_bm_init());
        node_.dma_enabler = DmaEnabler();
        hw_ = window_.Hw(CLDMA_HIF_SAP);
        ASSERT_EQ(0, cldma_ctrl_setup(&ctrl_, Md(), 0, CLDMA_HIF_SAP, &hw_, &node_));
        ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, &ctrl_, nullptr);
        if (WithDeferred()) {
            for (u8 q = 0; q < CLDMA_QUEUES; q++) {
                ASSERT_EQ(STATUS_SUCCESS, win_create_timer_ctx(&Tx(q)->tx_timer, cldma_tx_done_timer, false, Tx(q)));
                ASSERT_EQ(STATUS_SUCCESS, workitem_init(&Rx(q)->rx_work, cldma_rx_done_work, Rx(q), 0));
            }
        }
        doubles::SetPortRecvHandler({});
        doubles::PortRecvCalls().clear();
        doubles::QueueStates().clear();
        doubles::Indications().clear();
        doubles::FsmState() = {};
        doubles::Modem() = {};
        doubles::SetBromStage(false);
    }
    void TearDown() override
    {
        Engine().SetPeer(nullptr);
        for (u8 q = 0; q < CLDMA_QUEUES; q++) {
            win_delete_timer(&Tx(q)->tx_timer);
            workitem_destroy(&Rx(q)->rx_work);
        }
        doubles::SetPortRecvHandler({});
        cldma_free_rings(&ctrl_);
        ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, nullptr, nullptr);
        cldma_ctrl_teardown(&ctrl_);
        host::Quiesce();
        ccci_bm_exit();
        DeviceTest::TearDown();
    }

    // The modem object is only passed through to the state machine and the port layer.
    static struct ccci_md* Md()
    {
        static int md;
        return reinterpret_cast<struct ccci_md*>(&md);
    }

    CldmaEngine& Engine() { return window_.Engine(CLDMA_HIF_SAP); }
    struct cldma_queue* Tx(u8 q) { return &ctrl_.queues[q]; }
    struct cldma_queue* Rx(u8 q) { return &ctrl_.queues[CLDMA_QUEUES + q]; }

    // RX queue q as the instance start leaves it: at its first descriptor, running, interrupts unmasked.
    void StartRx(u8 q)
    {
        cldma_hw_set_start_addr(&hw_, q, cldma_ring_first(&ctrl_.rx_rings[q])->gpd_addr, true);
        cldma_hw_start_queue(&hw_, q, true);
        cldma_hw_unmask_done(&hw_, q, true);
        cldma_hw_unmask_empty(&hw_, q, true);
        ctrl_.rx_active |= (u16)(1u << q);
    }
    // TX queue q as the instance start leaves it: its start address at tx_done, active, not started yet.
    void StartTx(u8 q)
    {
        cldma_hw_set_start_addr(&hw_, q, Tx(q)->tx_done->gpd_addr, false);
        cldma_hw_unmask_done(&hw_, q, false);
        cldma_hw_unmask_empty(&hw_, q, false);
        ctrl_.tx_active |= (u16)(1u << q);
        ctrl_.tx_started &= (u16)~(1u << q);
    }
    // Frames for RX queue q, taken by the engine into the ring.
    void Feed(u8 q, const std::vector<std::vector<u8>>& frames)
    {
        for (const auto& frame : frames)
            Engine().Receive(q, frame);
        Engine().Drain();
    }
    std::vector<std::vector<u8>> Delivered() const
    {
        std::vector<std::vector<u8>> frames;
        for (const doubles::PortRecv& call : doubles::PortRecvCalls())
            frames.push_back(call.bytes);
        return frames;
    }

    // The port layer answers offer n (counted from 1) with answers[n], busy or released (the buffer
    // freed), and takes every other buffer, recording its bytes in `taken`.
    static void ScriptPort(std::map<int, int> answers, std::vector<std::vector<u8>>* taken)
    {
        doubles::SetPortRecvHandler(
            [answers, taken, offers = 0](const doubles::PortRecv& call, struct sk_buff* skb) mutable {
                auto found = answers.find(++offers);
                if (found != answers.end() && found->second == CLDMA_RX_BUSY)
                    return CLDMA_RX_BUSY;
                if (found != answers.end()) {
                    bm_free_skb(skb, CLDMA_POOL_TAG);
                    return CLDMA_RX_RELEASED;
                }
                taken->push_back(call.bytes);
                return doubles::PortRecvTake(skb);
            });
    }

    // A buffer of the pools holding `bytes`; released by the engine's completion or by the caller.
    static struct sk_buff* Buffer(const std::vector<u8>& bytes)
    {
        struct sk_buff* skb = bm_alloc_skb(SKB_3_5K, true, true, CLDMA_POOL_TAG);
        std::copy(bytes.begin(), bytes.end(), skb_put(skb, (u32)bytes.size()));
        return skb;
    }
    // Sends `bytes` on TX queue q; the buffer goes back to the pool when refused.
    static int Send(u8 q, const std::vector<u8>& bytes, bool blocking = false)
    {
        struct sk_buff* skb = Buffer(bytes);
        int result = cldma_send_skb(0, CLDMA_HIF_SAP, q, skb, 1, blocking ? 1 : 0);
        if (result != 0)
            bm_free_skb(skb, CLDMA_POOL_TAG);
        return result;
    }
    // The interrupt as the dispatch delivers it: at dispatch level.
    int Isr()
    {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        int result = cldma_isr(&ctrl_);
        KeLowerIrql(irql);
        return result;
    }
    // The engine runs, its interrupt is served and the deferred handlers finish: once, or (Settle) until
    // nothing moves any more.
    bool Serve()
    {
        bool ran = Engine().Drain() != 0;
        bool asserted = Engine().InterruptAsserted();
        if (asserted)
            Isr();
        host::Quiesce();
        return ran || asserted;
    }
    void Settle()
    {
        for (int round = 0; round < 100; round++)
            if (!Serve())
                return;
        ADD_FAILURE() << "the engine never settled";
    }

    cldmasim::ModemWindow window_;
    struct device_node node_ = {};
    cldma_hw_instance hw_ = {};
    struct cldma_ctrl ctrl_ = {};
    CldmaScriptedPeer peer_{Engine()};
};

// The controller with rings of the default variant and its queues' timers and work items.
class CldmaRunningTest : public CldmaTest
{
  protected:
    bool WithDeferred() const override { return true; }

    void SetUp() override
    {
        CldmaTest::SetUp();
        ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    }
};

} // namespace cldmatest
