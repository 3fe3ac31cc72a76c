// The DPMAIF instance on the probed modem (its engine stepped by the test): creation and teardown with
// the interrupt registry and the power entities, start and stop on the modem's states, the exception
// raised once, the downlink interrupt gating, and suspend and resume.
#include "pcie_rig.h"

#include "tx_completions.h"

#include <host/image.h>
#include <host/pool.h>

#include <functional>
#include <vector>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "ccmni.h"
#include "dpmaif.h"
#include "mhccif.h"
#include "pcie_pm.h"
#include "sim/modem/mac.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;

constexpr ULONG kDpmaifSources = 1u << 24 | 1u << 29; // sources 0 and 5
constexpr ULONG kThreadTag = host::PoolTag("KATh");

size_t LiveDpmaifBlocks()
{
    size_t n = 0;
    for (const host::PoolAllocation& a : host::PoolLiveAllocations(host::ImageMain()))
        n += a.tag == DPMAIF_POOL_TAG;
    return n;
}

class DpmaifHifTest : public PcieRig
{
  protected:
    void SetUp() override
    {
        PcieRig::SetUp();
        ModemConfig config;
        config.execution = sim::pci::ExecutionMode::Step;
        ASSERT_EQ(STATUS_SUCCESS, Start(config));
        ctl_.dev = Dev();
        ctl_.capabilities = CCMNI_CAPABILITIES;
        Dev()->ccmni = &ctl_;
        // The idle path finds the device record through the current device's IPC context.
        WDFDEVICE device = IpcGetCurrentDevice(NULL);
        if (GetIpcContext(device) == nullptr) {
            ASSERT_EQ(STATUS_SUCCESS, AllocateIpcContext(device));
        }
        GetIpcContext(device)->PciDevice = Pdev();
    }
    void TearDown() override
    {
        GetIpcContext(IpcGetCurrentDevice(NULL))->PciDevice = nullptr;
        if (ctl_.dpmaif != nullptr)
            dpmaif_hif_exit(0, &ctl_);
        // Teardown ends the push threads through the driver-wide flag.
        const UCHAR run = 0;
        IpcShouldTerminateThreads(&run);
        Dev()->ccmni = nullptr;
        for (struct sk_buff* skb : owned_)
            kfree_skb(skb, 0);
        PcieRig::TearDown();
    }

    struct dpmaif_hif* Create()
    {
        EXPECT_EQ(0, dpmaif_hif_init(0, &ctl_));
        return ctl_.dpmaif;
    }

    bool SourcesUnmasked() { return (Mac(mac::kMsixEnabled) & kDpmaifSources) == kDpmaifSources; }
    bool SourcesMasked() { return (Mac(mac::kMsixEnabled) & kDpmaifSources) == 0; }
    DpmaifEngine& Engine() { return Modem().Dpmaif(); }

    // The registered power entity of key 3, or none.
    struct mdm_pci_pm_entity* Entity()
    {
        for (LIST_ENTRY* e = Dev()->pm_entities.Flink; e != &Dev()->pm_entities; e = e->Flink) {
            auto* entity = CONTAINING_RECORD(e, struct mdm_pci_pm_entity, link);
            if (entity->key == PM_KEY_DPMAIF)
                return entity;
        }
        return nullptr;
    }

    // Nothing of an instance is left: no pool, no hooks into the device record, no thread.
    void ExpectNothingLeft()
    {
        EXPECT_EQ(nullptr, ctl_.dpmaif);
        EXPECT_EQ(0u, LiveDpmaifBlocks());
        for (u32 source : {MDM_IRQ_SRC_DPMAIF0, MDM_IRQ_SRC_DPMAIF1}) {
            EXPECT_EQ(nullptr, Dev()->irq_cb[source]) << source;
            EXPECT_EQ(nullptr, Dev()->irq_cb_arg[source]) << source;
        }
        EXPECT_TRUE(SourcesMasked());
        EXPECT_EQ(nullptr, Entity());
        EXPECT_TRUE(win_wait_threads_ended(0));
    }

    // A chain of `count` packets of `size` bytes behind their ccmni header, sent on queue q.
    int Send(struct dpmaif_hif* hif, u8 q, u32 count, u32 size)
    {
        struct sk_buff* first = nullptr;
        struct sk_buff** tail = &first;
        for (u32 i = 0; i < count; i++) {
            struct sk_buff* skb = alloc_skb(size + DPMAIF_TX_HEADER_SIZE, 0);
            memset(skb_put(skb, size + DPMAIF_TX_HEADER_SIZE), (int)i, size + DPMAIF_TX_HEADER_SIZE);
            owned_.push_back(skb);
            *tail = skb;
            tail = &skb->chain_next;
        }
        struct ccmni_tx_request request = {};
        request.packets = count;
        return dpmaif_tx_send_skb(0, hif, q, first, 0, &request);
    }

    struct ccmni_ctl_block ctl_ = {};
    std::vector<struct sk_buff*> owned_;
};

TEST_F(DpmaifHifTest, CreationHooksTheSourcesAndThePowerEntityWithEverythingMasked)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    EXPECT_EQ(1u, hif->initialised);
    EXPECT_EQ(0u, hif->state);
    EXPECT_EQ(0u, hif->work_mode);
    EXPECT_EQ(Dev(), hif->dev);
    EXPECT_EQ(&ctl_, hif->ccmni);
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        const u32 source = q == 0 ? MDM_IRQ_SRC_DPMAIF0 : MDM_IRQ_SRC_DPMAIF1;
        EXPECT_EQ(&dpmaif_irq_wrapper, Dev()->irq_cb[source]);
        EXPECT_EQ(&hif->irq_rec[q], Dev()->irq_cb_arg[source]);
        EXPECT_EQ(source, hif->irq_rec[q].source);
        EXPECT_EQ(q, hif->irq_rec[q].queue);
        EXPECT_NE(nullptr, hif->rxq[q].push_thread);
    }
    EXPECT_NE(nullptr, hif->tx_push_thread);
    EXPECT_EQ(0, hif->dl_irq_enabled);
    EXPECT_TRUE(SourcesMasked());
    ASSERT_NE(nullptr, Entity());
    EXPECT_EQ(hif, Entity()->data);
    EXPECT_EQ(2u, hif->lock_user);
}

TEST_F(DpmaifHifTest, WithoutTaskletsNoReceivePushThreadIsStarted)
{
    ctl_.capabilities = CCMNI_CAPABILITIES | CCMNI_CAP_NO_TASKLETS;
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    EXPECT_EQ(1u, hif->work_mode);
    for (const struct dpmaif_rxq& rxq : hif->rxq)
        EXPECT_EQ(nullptr, rxq.push_thread);
    dpmaif_hif_exit(0, &ctl_);
    ExpectNothingLeft();
}

TEST_F(DpmaifHifTest, LifeCycleFollowsTheModemStates)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    enum Act { kStart, kStop, kState };
    struct Case {
        Act act;
        u32 md_state;
        int result;
        u32 state;
        bool queues; // receive and transmit queues enabled
    };
    const Case cases[] = {
        {kStart, 0, 0, DPMAIF_STATE_STARTED, true},
        {kStart, 0, -1, DPMAIF_STATE_STARTED, true},
        {kState, MD_STATE_STOPPING, 0, DPMAIF_STATE_STARTED, true}, // the engine only
        {kState, MD_STATE_READY, 0, DPMAIF_STATE_STARTED, true},
        {kState, MD_STATE_STOPPED, 0, DPMAIF_STATE_STOPPED, false},
        {kStop, 0, -1, DPMAIF_STATE_STOPPED, false},
        {kState, MD_STATE_STOPPED, -1, DPMAIF_STATE_STOPPED, false},
        {kState, MD_STATE_BOOT_HS, 0, DPMAIF_STATE_STARTED, true},
        {kState, MD_STATE_EXCEPTION, 0, DPMAIF_STATE_STOPPED, false},
        {kStart, 0, 0, DPMAIF_STATE_STARTED, true},
        {kStop, 0, 0, DPMAIF_STATE_STOPPED, false},
    };
    std::vector<struct sk_buff*> lent;
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        const bool was_started = hif->state == DPMAIF_STATE_STARTED;
        int result = c.act == kStart  ? dpmaif_hif_start(0, hif)
                     : c.act == kStop ? dpmaif_hif_stop(0, hif)
                                      : dpmaif_hif_md_state(0, hif, c.md_state);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.state, hif->state);
        for (const struct dpmaif_rxq& rxq : hif->rxq)
            EXPECT_EQ(c.queues, rxq.enabled != 0);
        for (const struct dpmaif_txq& txq : hif->txq)
            EXPECT_EQ(c.queues, txq.enabled != 0);
        EXPECT_EQ(c.state == DPMAIF_STATE_STARTED, SourcesUnmasked());
        if (c.act == kState && c.md_state == MD_STATE_STOPPING) {
            EXPECT_EQ(0u, Engine().Peek(DPMAIF_QUEUE_ENABLE) & 0xF00);
            EXPECT_FALSE(Engine().BatEnabled());
        }
        if (c.state == DPMAIF_STATE_STARTED && !was_started) {
            // Every start lends the same buffers again and tells the engine of all of them.
            EXPECT_EQ(hif->bat.length - 1, hif->bat.wr_idx);
            EXPECT_EQ(hif->bat.length - 1, Engine().Bat(false).write);
            EXPECT_EQ(hif->frag_bat.length - 1, Engine().Bat(true).write);
            std::vector<struct sk_buff*> now;
            for (u32 slot = 0; slot < hif->bat.length - 1; slot++)
                now.push_back(hif->bat.shadow[slot].skb);
            if (lent.empty())
                lent = now;
            EXPECT_EQ(lent, now);
        }
        if (c.state == DPMAIF_STATE_STOPPED) {
            EXPECT_EQ(0, hif->bat.wr_idx);
            EXPECT_EQ(0, hif->frag_bat.wr_idx);
        }
    }
}

TEST_F(DpmaifHifTest, AFailedFillRollsBackSoThatTheNextStartSucceeds)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    // Fragment buffers run out part-way through the first fill.
    host::PoolFailTag(DPMAIF_POOL_TAG, host::kFailAlways, 100);
    EXPECT_EQ(2, dpmaif_hif_start(0, hif));
    host::PoolFailTagClear(DPMAIF_POOL_TAG);
    EXPECT_NE(DPMAIF_STATE_STARTED, hif->state);
    for (const struct dpmaif_rxq& rxq : hif->rxq)
        EXPECT_EQ(0, rxq.enabled);
    EXPECT_EQ(0, hif->bat.wr_idx);
    EXPECT_EQ(0, hif->frag_bat.wr_idx);
    EXPECT_TRUE(SourcesMasked());

    EXPECT_EQ(0, dpmaif_hif_start(0, hif));
    EXPECT_EQ(0, dpmaif_hif_stop(0, hif));
    host::PoolFailTag(DPMAIF_POOL_TAG, host::kFailAlways, 10);
    EXPECT_EQ(0, dpmaif_hif_start(0, hif)) << "the stop kept every buffer for the next start";
    host::PoolFailTagClear(DPMAIF_POOL_TAG);
}

TEST_F(DpmaifHifTest, TheExceptionIsRaisedOnceUntilTheNextInstance)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    ASSERT_EQ(0, dpmaif_hif_start(0, hif));
    Modem().ClearWrites();
    DPMAIF_EXCEPTION(hif);
    DPMAIF_EXCEPTION(hif);
    EXPECT_TRUE(dpmaif_exception_is_raised());
    size_t rings = 0;
    for (const auto& w : DoorbellWrites())
        rings += w == std::make_pair(ULONG(MHCCIF_H2D_NUMBER), ULONG(DPMAIF_EXCEPTION_DOORBELL));
    EXPECT_EQ(1u, rings);
    // The runners leave the hardware alone: a packet waiting in the engine stays unread.
    Engine().Inject(0, 1, std::vector<UCHAR>(100, 7));
    Engine().Drain();
    EXPECT_EQ(1, dpmaif_rx_run(hif, 0, DPMAIF_RX_BUDGET, false));
    EXPECT_EQ(0, hif->rxq[0].rd_idx);

    dpmaif_hif_exit(0, &ctl_);
    const UCHAR run = 0;
    IpcShouldTerminateThreads(&run);
    ASSERT_NE(nullptr, Create());
    EXPECT_FALSE(dpmaif_exception_is_raised());
}

TEST_F(DpmaifHifTest, DownlinkGatingStaysBalanced)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    dpmaif_unmask_dl_irqs(hif);
    EXPECT_TRUE(SourcesUnmasked());
    Modem().ClearWrites();
    dpmaif_mask_dl_irqs(hif);
    const size_t writes = MacWrites().size();
    dpmaif_mask_dl_irqs(hif);
    EXPECT_TRUE(SourcesMasked());
    EXPECT_EQ(writes, MacWrites().size()) << "the second mask changes nothing";
    dpmaif_unmask_dl_irqs(hif);
    EXPECT_TRUE(SourcesUnmasked());
    dpmaif_unmask_dl_irqs(hif);
    dpmaif_mask_dl_irqs(hif);
    EXPECT_TRUE(SourcesMasked());
}

TEST_F(DpmaifHifTest, IdleMaskFindsTheInstanceThroughTheDeviceRecord)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
        dpmaif_hw_dl_done_mask(&hif->hw, q);

    // Without the ccmni record nothing is touched.
    Dev()->ccmni = nullptr;
    IpcDpmaifDLQMask(FALSE);
    EXPECT_TRUE(SourcesMasked());
    Dev()->ccmni = &ctl_;

    IpcDpmaifDLQMask(FALSE);
    EXPECT_TRUE(SourcesUnmasked());
    EXPECT_EQ(0u, Engine().Peek(DPMAIF_DL_MASK_STATE) & 0x300) << "downlink done unmasked in the engine";
    EXPECT_EQ(0xF00u, Engine().Peek(DPMAIF_QUEUE_ENABLE) & 0xF00);
    IpcDpmaifDLQMask(TRUE);
    EXPECT_TRUE(SourcesMasked());
}

TEST_F(DpmaifHifTest, SuspendQuiescesAndResumeReenablesTheQueues)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    ASSERT_EQ(0, dpmaif_hif_start(0, hif));
    dpmaif_hw_dl_enable(&hif->hw);
    struct mdm_pci_pm_entity* entity = Entity();
    ASSERT_NE(nullptr, entity);

    EXPECT_EQ(0, entity->suspend(Dev(), entity->data));
    EXPECT_EQ(0, entity->suspend_late(Dev(), entity->data));
    EXPECT_EQ(DPMAIF_STATE_STARTED, hif->state);
    for (const struct dpmaif_rxq& rxq : hif->rxq)
        EXPECT_EQ(0, rxq.enabled);
    for (const struct dpmaif_txq& txq : hif->txq)
        EXPECT_EQ(0, txq.enabled);
    EXPECT_TRUE(SourcesMasked());
    EXPECT_EQ(0u, Engine().Peek(DPMAIF_QUEUE_ENABLE) & 0xF00);
    EXPECT_FALSE(Engine().BatEnabled());

    EXPECT_EQ(0, entity->resume_early(Dev(), entity->data));
    EXPECT_EQ(0, entity->resume(Dev(), entity->data));
    for (const struct dpmaif_rxq& rxq : hif->rxq)
        EXPECT_EQ(1, rxq.enabled);
    for (const struct dpmaif_txq& txq : hif->txq)
        EXPECT_EQ(1, txq.enabled);
    IpcDpmaifDLQMask(FALSE);
    EXPECT_TRUE(SourcesUnmasked());
    EXPECT_TRUE(Engine().BatEnabled());

    // The push thread serves again: a packet reaches the engine.
    ASSERT_EQ(0, Send(hif, 0, 1, 60));
    EXPECT_TRUE(WaitFor([&] {
        Engine().Drain();
        return Engine().UplinkCount(0) == 1;
    }));

    // A stop while suspended keeps the queues disabled at resume.
    EXPECT_EQ(0, entity->suspend(Dev(), entity->data));
    EXPECT_EQ(0, dpmaif_hif_stop(0, hif));
    EXPECT_EQ(0, entity->resume(Dev(), entity->data));
    for (const struct dpmaif_rxq& rxq : hif->rxq)
        EXPECT_EQ(0, rxq.enabled);
}

TEST_F(DpmaifHifTest, TeardownOfANeverStartedInstanceLeavesNothing)
{
    ASSERT_NE(nullptr, Create());
    dpmaif_hif_exit(0, &ctl_);
    ExpectNothingLeft();
}

TEST_F(DpmaifHifTest, TeardownCompletesHeldAndPendingPacketsAndEndsEveryThread)
{
    struct dpmaif_hif* hif = Create();
    ASSERT_NE(nullptr, hif);
    ASSERT_EQ(0, dpmaif_hif_start(0, hif));
    const size_t before = doubles::TxCompletions().size();
    // Written into the ring, the engine never reads it: the ring's shadow holds both packets.
    ASSERT_EQ(0, Send(hif, 0, 2, 100));
    ASSERT_TRUE(WaitFor([&] { return ReadNoFence(&hif->txq[0].drb_free) == DPMAIF_DRB_LENGTH - 4; }));
    ASSERT_EQ(0, Send(hif, 1, 1, 100));
    const std::vector<HANDLE> threads = {hif->tx_push_thread, hif->rxq[0].push_thread,
                                         hif->rxq[1].push_thread};

    dpmaif_hif_exit(0, &ctl_);
    ExpectNothingLeft();
    for (HANDLE thread : threads) {
        PVOID object = nullptr;
        EXPECT_FALSE(NT_SUCCESS(
            ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr)))
            << "thread handle left open";
    }
    size_t completed = 0;
    const std::vector<struct sk_buff*> chains = doubles::TxCompletions();
    for (size_t i = before; i < chains.size(); i++)
        for (struct sk_buff* skb = chains[i]; skb != nullptr; skb = skb->chain_next)
            completed++;
    EXPECT_EQ(3u, completed);
}

// Creation failing at each step: nothing stays registered or allocated, and a thread already started
// is waited for.
TEST_F(DpmaifHifTest, FailedCreationLeavesNothingBehind)
{
    struct Case {
        ULONG tag;
        ULONG skip;
    };
    const Case cases[] = {
        {DPMAIF_POOL_TAG, 0}, // the record
        {DPMAIF_POOL_TAG, 1}, // the normal ring
        {kThreadTag, 0},      // the transmit push thread
        {kThreadTag, 1},      // a receive push thread, the transmit one running
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skip);
        host::PoolFailTag(c.tag, 1, c.skip);
        EXPECT_EQ(-1, dpmaif_hif_init(0, &ctl_));
        host::PoolFailTagClear(c.tag);
        ExpectNothingLeft();
        const UCHAR run = 0;
        IpcShouldTerminateThreads(&run);
    }
    // Nothing of the failures is in the way of an instance.
    ASSERT_NE(nullptr, Create());
    EXPECT_NE(nullptr, Entity());
}

TEST_F(DpmaifHifTest, RefusalsWithoutRecords)
{
    EXPECT_EQ(-1, dpmaif_hif_init(0, nullptr));
    struct ccmni_ctl_block no_device = {};
    EXPECT_EQ(-1, dpmaif_hif_init(0, &no_device));
    EXPECT_EQ(nullptr, no_device.dpmaif);
    EXPECT_EQ(-1, dpmaif_hif_start(0, nullptr));
    EXPECT_EQ(-1, dpmaif_hif_stop(0, nullptr));
    EXPECT_EQ(-1, dpmaif_hif_md_state(0, nullptr, MD_STATE_BOOT_HS));
    dpmaif_hif_exit(0, nullptr);
    dpmaif_hif_exit(0, &no_device);
    dpmaif_mask_dl_irqs(nullptr);
    dpmaif_unmask_dl_irqs(nullptr);
    dpmaif_flow_ctrl_notify(nullptr, DPMAIF_FLOW_TX_FULL, DPMAIF_FLOW_TX, 0);
    ExpectNothingLeft();
}

} // namespace
} // namespace taluvotest
