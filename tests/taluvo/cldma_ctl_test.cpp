// CLDMA instance control against the simulated engines, stepped by the test: init, start and stop of
// the instance and of single queues, reset, the exception stages, suspend and resume through the power
// management, and free.
#include "cldma_rig.h"

#include <host/host.h>
#include <host/trace.h>
#include <host/verifier.h>

#include "cldma_ctl.h"
#include "cldma_fixture.h"
#include "host_test.h"
#include "mhccif.h"
#include "pcie_mac.h"
#include "pcie_pm.h"
#include "port_recv.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;
using WriteLog = std::vector<CldmaWrite>;

using cldmatest::Frame;
using cldmatest::Requests;

class CldmaCtl : public CldmaRig
{
  protected:
    void SetUp() override
    {
        CldmaRig::SetUp();
        doubles::SetPortRecvHandler({});
        doubles::PortRecvCalls().clear();
        ASSERT_EQ(0, ccci_hif_init(0, 3));
    }
    void TearDown() override
    {
        Engine(CLDMA_HIF_SAP).SetGone(false);
        CldmaRig::TearDown();
    }

    // Rings of `variant` built and the instance started, its write log cleared.
    static void Started(u8 hif, u8 variant = 0)
    {
        ASSERT_EQ(0, cldma_set_queue_variant(0, hif, variant));
        ASSERT_EQ(0, cldma_start(0, hif));
        Writes(hif);
    }
    static u64 StartAddress(u8 hif, u8 q, bool rx)
    {
        const CldmaBlock block = rx ? CldmaBlock::A : CldmaBlock::B;
        const ULONG offset = (rx ? cldma::kRxStartAddress : cldma::kTxStartAddress) + 8 * q;
        return Engine(hif).Read(block, offset) | (u64)Engine(hif).Read(block, offset + 4) << 32;
    }
    static ULONG RxRunning(u8 hif) { return Engine(hif).Read(CldmaBlock::A, cldma::kRxRunning); }
    static int SourceUnmasks(u32 source)
    {
        int count = 0;
        for (const auto& write : MacWrites())
            count += write == std::make_pair(ULONG{MAC_MSIX_UNMASK}, ULONG{1u << (24 + source)});
        return count;
    }
    static bool SendersWoken(struct cldma_ctrl* ctrl)
    {
        for (u8 q = 0; q < CLDMA_QUEUES; q++)
            if (!KeReadStateEvent(&ctrl->queues[q].wait_event))
                return false;
        return true;
    }
    static void ClearSenderEvents(struct cldma_ctrl* ctrl)
    {
        for (u8 q = 0; q < CLDMA_QUEUES; q++)
            KeClearEvent(&ctrl->queues[q].wait_event);
    }
    // Frames the engine takes into RX queue q.
    static void Feed(u8 hif, u8 q, const std::vector<std::vector<u8>>& frames)
    {
        for (const auto& frame : frames)
            Engine(hif).Receive(q, frame);
        Engine(hif).Drain();
    }
    // TX queue q with descriptors [from, to) handed to the engine but not sent (buffers attached, HWO).
    static void Handed(struct cldma_ctrl* ctrl, u8 q, size_t from, size_t to)
    {
        struct cldma_queue* queue = &ctrl->queues[q];
        std::vector<struct cldma_request*> requests = Requests(*queue->ring);
        for (size_t i = from; i < to; i++) {
            struct sk_buff* skb = bm_alloc_skb(64, true, true, CLDMA_POOL_TAG);
            skb_put(skb, 64);
            requests[i]->skb = skb;
            requests[i]->data_addr = (u64)MmGetPhysicalAddress(skb->data).QuadPart;
            requests[i]->gpd->data_hi = (u32)(requests[i]->data_addr >> 32);
            requests[i]->gpd->data_lo = (u32)requests[i]->data_addr;
            requests[i]->gpd->data_len = 64;
            requests[i]->gpd->flags |= CLDMA_GPD_HWO;
        }
        queue->tx_done = requests[from];
        queue->tx_xmit = requests[to % requests.size()];
        queue->budget -= (s32)(to - from);
    }
};

TEST_F(CldmaCtl, InitRegistersTheEntitiesTheHandlerAndOneSharedBlock)
{
    struct ccci_runtime_block* block = &doubles::Modem().runtime_block;
    ASSERT_NE(nullptr, block->data);
    EXPECT_EQ(2048u, block->length);
    std::vector<u32> keys;
    for (PLIST_ENTRY at = Dev()->pm_entities.Flink; at != &Dev()->pm_entities; at = at->Flink)
        keys.push_back(CONTAINING_RECORD(at, struct mdm_pci_pm_entity, link)->key);
    EXPECT_EQ((std::vector<u32>{1, 2}), keys) << "the MD instance (path 0) first, then the SAP one";

    for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
        SCOPED_TRACE(int(hif));
        struct cldma_ctrl* ctrl = Ctrl(hif);
        auto* entity = static_cast<cldma_pm_entity*>(ctrl->pm_entity);
        ASSERT_NE(nullptr, entity);
        EXPECT_EQ(hif == CLDMA_HIF_SAP ? 2u : 1u, entity->key);
        EXPECT_EQ(ctrl, entity->data);
        EXPECT_EQ(CLDMA_VARIANT_NONE, ctrl->variant);
        EXPECT_EQ(0, ctrl->rings_ready);
        EXPECT_EQ(0, ctrl->irq_enabled);
        struct hif_hw_info* info = ccci_hif_get_hw_info(0, hif);
        EXPECT_EQ(&cldma_isr, info->irq_handler);
        EXPECT_EQ(ctrl, info->irq_arg);
        EXPECT_EQ(&hif_irq_trampoline, Dev()->irq_cb[hif == CLDMA_HIF_SAP ? 1 : 2]);
        for (u8 q = 0; q < CLDMA_QUEUES; q++) {
            EXPECT_NE(nullptr, ctrl->queues[q].tx_timer);
            EXPECT_NE(nullptr, ctrl->queues[CLDMA_QUEUES + q].rx_work);
            EXPECT_EQ(ccci_md_get(0), ctrl->queues[q].md);
        }
    }

    // A second init makes nothing new: no second block, entity, timer or lock, and the rings it finds
    // are released (the tear-down's leak check).
    struct cldma_ctrl* md = Ctrl(CLDMA_HIF_MD);
    void* data = block->data;
    WDFTIMER timer = md->queues[0].tx_timer;
    WDFSPINLOCK lock = md->lock;
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_MD, 1));
    EXPECT_EQ(0, ccci_hif_init(0, 3));
    EXPECT_EQ(data, block->data);
    EXPECT_EQ(timer, md->queues[0].tx_timer);
    EXPECT_EQ(lock, md->lock);
    EXPECT_EQ(0, md->rings_ready);
    EXPECT_EQ(CLDMA_VARIANT_NONE, md->variant);

    EXPECT_EQ(-1, cldma_init(1, CLDMA_HIF_SAP));
    EXPECT_EQ(-1, cldma_init(0, 2));
}

TEST_F(CldmaCtl, StartProgramsTheRingsAndEnablesTheSourceOnce)
{
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_SAP);
    Modem().ClearWrites();
    EXPECT_EQ(0, cldma_start(0, CLDMA_HIF_SAP)); // no rings yet: nothing
    EXPECT_TRUE(Writes(CLDMA_HIF_SAP).empty());
    EXPECT_EQ(0, ctrl->tx_active);

    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    // Where earlier traffic left the queues.
    std::vector<struct cldma_request*> tx2 = Requests(ctrl->tx_rings[2]);
    std::vector<struct cldma_request*> rx5 = Requests(ctrl->rx_rings[5]);
    ctrl->queues[2].tx_done = ctrl->queues[2].tx_xmit = tx2[3];
    ctrl->queues[CLDMA_QUEUES + 5].rx_next = rx5[6];
    ctrl->tx_started = 0x4;
    EXPECT_EQ(0, cldma_start(0, CLDMA_HIF_SAP));
    EXPECT_EQ(tx2[3]->gpd_addr, StartAddress(CLDMA_HIF_SAP, 2, false));
    EXPECT_EQ(rx5[6]->gpd_addr, StartAddress(CLDMA_HIF_SAP, 5, true));
    EXPECT_EQ(Requests(ctrl->tx_rings[0])[0]->gpd_addr, StartAddress(CLDMA_HIF_SAP, 0, false));
    EXPECT_EQ(0xFFu, RxRunning(CLDMA_HIF_SAP));
    EXPECT_EQ(0u, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::B, cldma::kTxMask));
    EXPECT_EQ(0u, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::A, cldma::kRxMask));
    EXPECT_EQ(0xFF, ctrl->tx_active);
    EXPECT_EQ(0xFF, ctrl->rx_active);
    EXPECT_EQ(0, ctrl->tx_started);
    EXPECT_EQ(1, ctrl->irq_enabled);
    EXPECT_EQ(1, SourceUnmasks(1));

    EXPECT_EQ(0, cldma_start(0, CLDMA_HIF_SAP));
    EXPECT_EQ(1, SourceUnmasks(1)) << "a second start leaves the source alone";
    EXPECT_EQ(-1, cldma_start(0, 2));
}

TEST_F(CldmaCtl, StopQuiescesTheInstanceAndWaitsForTheEngine)
{
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_SAP);
    Started(CLDMA_HIF_SAP);
    ClearSenderEvents(ctrl);
    Modem().ClearWrites();
    EXPECT_EQ(0, cldma_stop(0, CLDMA_HIF_SAP));
    const WriteLog writes = Writes(CLDMA_HIF_SAP);
    EXPECT_TRUE(Wrote(writes, {CldmaBlock::B, cldma::kRxStop, 0xFF}));
    EXPECT_TRUE(Wrote(writes, {CldmaBlock::B, cldma::kTxStop, 0xFF}));
    EXPECT_EQ(0u, RxRunning(CLDMA_HIF_SAP));
    EXPECT_EQ(0xFFFFu, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::B, cldma::kTxMask));
    EXPECT_EQ(0xFFFFu, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::A, cldma::kRxMask));
    EXPECT_EQ(0u, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::B, cldma::kRxStatus) & 0xFFFF);
    EXPECT_EQ(0, ctrl->tx_active | ctrl->rx_active | ctrl->tx_started);
    EXPECT_EQ(0, ctrl->irq_enabled);
    EXPECT_TRUE(SendersWoken(ctrl)) << "a blocked sender must see its queue stopped";

    // A queue that never stops: 1000 polls 10 ms apart, then -35.
    Started(CLDMA_HIF_SAP);
    Engine(CLDMA_HIF_SAP).SetStuckStop(CldmaDirection::Rx, 0x2);
    LONGLONG before = host::ClockNow();
    EXPECT_EQ(-35, cldma_stop(0, CLDMA_HIF_SAP));
    EXPECT_GE(host::ClockNow() - before, Milliseconds(10000));
    EXPECT_FALSE(host::TraceFind("CLDMA 0 does not stop: TX 00000000 RX 00000002").empty());
    Engine(CLDMA_HIF_SAP).SetStuckStop(CldmaDirection::Rx, 0);

    // A device that is gone: -35 at once.
    Started(CLDMA_HIF_SAP);
    Engine(CLDMA_HIF_SAP).SetGone(true);
    before = host::ClockNow();
    EXPECT_EQ(-35, cldma_stop(0, CLDMA_HIF_SAP));
    EXPECT_LT(host::ClockNow() - before, Milliseconds(10));
    EXPECT_EQ(-1, cldma_stop(0, 2));
}

TEST_F(CldmaCtl, SingleQueuesStopAndReArm)
{
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_SAP);
    Started(CLDMA_HIF_SAP);
    struct {
        u8 qno;
        int dir;
        int result;
        u16 tx_active;
        u16 rx_active;
        WriteLog writes;
    } const cases[] = {
        {3,
         1,
         0,
         0xF7,
         0xFF,
         {{CldmaBlock::B, cldma::kTxMaskSet, 0x8},
          {CldmaBlock::B, cldma::kTxMaskSet, 0x800},
          {CldmaBlock::B, cldma::kTxStop, 0x8}}},
        {0xFF,
         0,
         0,
         0xF7,
         0x00,
         {{CldmaBlock::A, cldma::kRxMaskSet, 0xFF},
          {CldmaBlock::A, cldma::kRxMaskSet, 0xFF00},
          {CldmaBlock::B, cldma::kRxStop, 0xFF}}},
        {2, 5, 0, 0xF7, 0x00, {}},    // neither direction
        {8, 1, -321, 0xF7, 0x00, {}}, // no such queue
        {254, 0, -321, 0xF7, 0x00, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "qno " << int(c.qno) << " dir " << c.dir);
        ClearSenderEvents(ctrl);
        EXPECT_EQ(c.result, cldma_stop_queue(0, CLDMA_HIF_SAP, c.qno, c.dir));
        EXPECT_EQ(c.tx_active, ctrl->tx_active);
        EXPECT_EQ(c.rx_active, ctrl->rx_active);
        EXPECT_EQ(c.writes, Writes(CLDMA_HIF_SAP));
        if (c.qno == 3) {
            EXPECT_TRUE(KeReadStateEvent(&ctrl->queues[3].wait_event));
        }
    }
    EXPECT_EQ(-1, cldma_stop_queue(0, 2, 0, 0));

    // RX queue 4 took two frames, then stopped; a start re-arms every descriptor from the first.
    struct cldma_queue* rx4 = &ctrl->queues[CLDMA_QUEUES + 4];
    std::vector<struct cldma_request*> requests = Requests(ctrl->rx_rings[4]);
    ASSERT_EQ(0, cldma_start(0, CLDMA_HIF_SAP));
    Feed(CLDMA_HIF_SAP, 4, {Frame(30, 1), Frame(40, 2)});
    ASSERT_EQ(0, requests[1]->gpd->flags & CLDMA_GPD_HWO);
    // The receive work the frames raised runs before the queue is touched from here.
    host::Quiesce();
    rx4->rx_next = requests[2];
    for (u32 state : {MD_STATE_INIT, MD_STATE_STOPPING, MD_STATE_STOPPED, MD_STATE_READY}) {
        SCOPED_TRACE(state);
        doubles::FsmState().md_state = state;
        ASSERT_EQ(0, cldma_stop_queue(0, CLDMA_HIF_SAP, 4, 0));
        Writes(CLDMA_HIF_SAP);
        EXPECT_EQ(0, cldma_start_queue(0, CLDMA_HIF_SAP, 4, 0));
        EXPECT_EQ(requests[0], rx4->rx_next);
        EXPECT_EQ(requests[0], rx4->rx_refill);
        for (const struct cldma_request* request : requests) {
            EXPECT_EQ(CLDMA_GPD_RX_FLAGS, request->gpd->flags);
            EXPECT_EQ(0, request->gpd->data_len);
            EXPECT_EQ(0u, request->skb->len);
        }
        const bool starts = state == MD_STATE_READY;
        EXPECT_EQ(starts, (ctrl->rx_active & 0x10) != 0);
        EXPECT_EQ(starts, (RxRunning(CLDMA_HIF_SAP) & 0x10) != 0);
        const WriteLog writes = Writes(CLDMA_HIF_SAP);
        EXPECT_EQ(starts, Wrote(writes, {CldmaBlock::B, cldma::kRxStart, 0x10}));
        EXPECT_EQ(starts, Wrote(writes, {CldmaBlock::A, cldma::kRxUnmask, 0x1000}));
        if (starts) {
            EXPECT_EQ(requests[0]->gpd_addr, StartAddress(CLDMA_HIF_SAP, 4, true));
        }
    }
    EXPECT_EQ(-321, cldma_start_queue(0, CLDMA_HIF_SAP, 8, 0));
    EXPECT_EQ(0, cldma_start_queue(0, CLDMA_HIF_SAP, 1, 1)); // TX: nothing
    EXPECT_TRUE(Writes(CLDMA_HIF_SAP).empty());

    // Every TX queue and the upper RX queues' bits; the lower RX queues' commands.
    ctrl->tx_active = 0xFF;
    ctrl->rx_active = 0xFF;
    ClearSenderEvents(ctrl);
    EXPECT_EQ(0, cldma_stop_tx_and_rx_low(0, CLDMA_HIF_SAP));
    EXPECT_EQ(0, ctrl->tx_active);
    EXPECT_EQ(0x0F, ctrl->rx_active);
    const WriteLog writes = Writes(CLDMA_HIF_SAP);
    EXPECT_TRUE(Wrote(writes, {CldmaBlock::B, cldma::kTxStop, 0xFF}));
    for (u8 q = 0; q < 4; q++)
        EXPECT_TRUE(Wrote(writes, {CldmaBlock::B, cldma::kRxStop, 1u << q})) << int(q);
    EXPECT_TRUE(SendersWoken(ctrl));
}

TEST_F(CldmaCtl, ResetStopsTheEngineBeforeItsRingsGo)
{
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_SAP);
    Started(CLDMA_HIF_SAP);
    // Frames the engine has not taken yet: had it kept running, it would write them into freed
    // descriptors (a verifier report fails the test).
    for (u8 q = 0; q < CLDMA_QUEUES; q++)
        Engine(CLDMA_HIF_SAP).Receive(q, Frame(100, q));
    ClearSenderEvents(ctrl);
    EXPECT_EQ(0, cldma_reset(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(0u, RxRunning(CLDMA_HIF_SAP));
    Engine(CLDMA_HIF_SAP).Drain();
    EXPECT_EQ(1u, Engine(CLDMA_HIF_SAP).ReceivePending(0));
    EXPECT_EQ(0, ctrl->rings_ready);
    EXPECT_EQ(CLDMA_VARIANT_NONE, ctrl->variant);
    EXPECT_EQ(0, ctrl->rx_active | ctrl->tx_active);
    EXPECT_EQ(0, ctrl->irq_enabled);
    EXPECT_TRUE(SendersWoken(ctrl));
    for (const struct cldma_queue& queue : ctrl->queues) {
        EXPECT_EQ(nullptr, queue.ring);
        EXPECT_EQ(nullptr, queue.tx_done);
    }
    // The next variant builds new rings.
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    EXPECT_EQ(1, ctrl->rings_ready);
    EXPECT_EQ(16, ctrl->queues[0].budget);

    // The pulse: the MD core's reset through the infrastructure block, for the MD instance only.
    for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
        Modem().ClearWrites();
        EXPECT_EQ(0, cldma_reset(0, hif, 1));
        size_t pulses = 0;
        for (const RegisterWrite& w : Modem().Writes())
            pulses += w.bar == kBarWindow && w.offset >= kInfraOffset && w.offset < kInfraOffset + 0x1000;
        EXPECT_EQ(hif == CLDMA_HIF_MD ? 4u : 0u, pulses) << int(hif);
    }
    EXPECT_EQ(0, cldma_reset(0, CLDMA_HIF_SAP, 2)); // nothing
    EXPECT_EQ(-1, cldma_reset(0, 2, 0));
}

TEST_F(CldmaCtl, ExceptionStages)
{
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_MD);
    Started(CLDMA_HIF_MD, 1);
    for (int stage : {1, 2, 4, 6}) {
        EXPECT_EQ(0, cldma_exception_stage(0, CLDMA_HIF_MD, stage)) << stage;
        EXPECT_TRUE(Writes(CLDMA_HIF_MD).empty()) << stage;
    }

    // Stage 0: transmitting ends and the TX rings are emptied.
    Handed(ctrl, 1, 0, 3);
    EXPECT_EQ(0, cldma_exception_stage(0, CLDMA_HIF_MD, 0));
    EXPECT_EQ(0, ctrl->tx_active);
    EXPECT_EQ(0xFF, ctrl->rx_active);
    EXPECT_TRUE(Wrote(Writes(CLDMA_HIF_MD), {CldmaBlock::B, cldma::kTxStop, 0xFF}));
    EXPECT_EQ(16, ctrl->queues[1].budget);
    for (const struct cldma_request* request : Requests(ctrl->tx_rings[1]))
        EXPECT_EQ(nullptr, request->skb);

    // Stage 3: receiving ends, the MD core is pulsed and the RX rings are re-armed.
    Feed(CLDMA_HIF_MD, 6, {Frame(12, 6)});
    Modem().ClearWrites();
    EXPECT_EQ(0, cldma_exception_stage(0, CLDMA_HIF_MD, 3));
    EXPECT_EQ(0, ctrl->rx_active);
    EXPECT_EQ(0u, RxRunning(CLDMA_HIF_MD));
    EXPECT_TRUE(Wrote(Writes(CLDMA_HIF_MD), {CldmaBlock::B, cldma::kRxStop, 0xFF}));
    size_t pulses = 0;
    for (const RegisterWrite& w : Modem().Writes())
        pulses += w.bar == kBarWindow && w.offset >= kInfraOffset && w.offset < kInfraOffset + 0x1000;
    EXPECT_EQ(4u, pulses);
    for (const struct cldma_request* request : Requests(ctrl->rx_rings[6]))
        EXPECT_EQ(CLDMA_GPD_RX_FLAGS, request->gpd->flags);

    // Stage 5: the engine is initialised and the instance started again.
    EXPECT_EQ(0, cldma_exception_stage(0, CLDMA_HIF_MD, 5));
    EXPECT_TRUE(Wrote(Writes(CLDMA_HIF_MD), {CldmaBlock::B, cldma::kTxInit1, 1}));
    EXPECT_EQ(0xFFu, RxRunning(CLDMA_HIF_MD));
    EXPECT_EQ(0xFF, ctrl->tx_active);
    EXPECT_EQ(-1, cldma_exception_stage(1, CLDMA_HIF_MD, 0));
}

TEST_F(CldmaCtl, SuspendAndResumeThroughThePowerManagement)
{
    // The device as the handshake leaves it: sleep enabled, power doorbells unmasked.
    mhccif_mask_clear(Dev(), D2H_HANDSHAKE_BITS);
    mdm_pci_pm_init_late(Dev());
    Started(CLDMA_HIF_SAP);
    Started(CLDMA_HIF_MD, 1);
    struct cldma_ctrl* md = Ctrl(CLDMA_HIF_MD);
    // Traffic before: RX queue 2 took three frames and delivered them; TX queue 3 has two descriptors
    // handed to the engine and not sent yet (the engine was told to stop first).
    const std::vector<std::vector<u8>> before = {Frame(10, 1), Frame(300, 2), Frame(3584, 3)};
    Feed(CLDMA_HIF_MD, 2, before);
    struct cldma_queue* rx2 = &md->queues[CLDMA_QUEUES + 2];
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(rx2, rx2->budget, true));
    ASSERT_EQ(3u, doubles::PortRecvCalls().size());
    std::vector<struct cldma_request*> rx_requests = Requests(md->rx_rings[2]);
    ASSERT_EQ(rx_requests[3], rx2->rx_next);
    std::vector<struct cldma_request*> tx_requests = Requests(md->tx_rings[3]);
    Handed(md, 3, 0, 2);

    Pdev()->Idle = TRUE;
    Pdev()->TargetPowerState = 4;
    Modem().ClearWrites();
    ClearSenderEvents(md);
    ASSERT_EQ(0, mdm_pci_pm_suspend(Pdev()));
    for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
        struct cldma_ctrl* ctrl = Ctrl(hif);
        EXPECT_EQ(0, ctrl->tx_active | ctrl->rx_active | ctrl->tx_started) << int(hif);
        EXPECT_EQ(0, ctrl->irq_enabled) << int(hif);
        EXPECT_EQ(0u, RxRunning(hif)) << int(hif);
    }
    EXPECT_TRUE(SendersWoken(md));
    const auto doorbells = DoorbellWrites();
    EXPECT_EQ(1, std::count(doorbells.begin(), doorbells.end(),
                            std::make_pair(ULONG{MHCCIF_D2H_MASK_SET}, ULONG{D2H_HANDSHAKE_BITS})))
        << "the MD instance masks the doorbells, the SAP one does not";

    // D3: the engines forget their registers.
    Engine(CLDMA_HIF_SAP).LoseConfiguration();
    Engine(CLDMA_HIF_MD).LoseConfiguration();
    Modem().SetMacRegister(MAC_RESUME_STATE, 1);
    Modem().ClearWrites();
    mdm_pci_pm_resume_noirq(Pdev());
    ASSERT_EQ(0, mdm_pci_pm_resume(Pdev()));
    EXPECT_EQ(rx_requests[3]->gpd_addr, StartAddress(CLDMA_HIF_MD, 2, true));
    EXPECT_EQ(tx_requests[0]->gpd_addr, StartAddress(CLDMA_HIF_MD, 3, false))
        << "TX starts at the oldest descriptor still handed to the engine";
    EXPECT_EQ(Requests(md->tx_rings[0])[0]->gpd_addr, StartAddress(CLDMA_HIF_MD, 0, false));
    EXPECT_NE(0u, Engine(CLDMA_HIF_MD).Read(CldmaBlock::B, cldma::kTxConfig)) << "configuration restored";
    for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
        struct cldma_ctrl* ctrl = Ctrl(hif);
        EXPECT_EQ(0xFF, ctrl->tx_active) << int(hif);
        EXPECT_EQ(0xFF, ctrl->rx_active) << int(hif);
        EXPECT_EQ(1, ctrl->irq_enabled) << int(hif);
        EXPECT_EQ(0xFFu, RxRunning(hif)) << int(hif);
        EXPECT_EQ(0u, Engine(hif).Read(CldmaBlock::A, cldma::kRxMask)) << int(hif);
        EXPECT_EQ(0u, Engine(hif).Read(CldmaBlock::B, cldma::kTxMask)) << int(hif);
    }
    const auto cleared = DoorbellWrites();
    EXPECT_EQ(1, std::count(cleared.begin(), cleared.end(),
                            std::make_pair(ULONG{MHCCIF_D2H_MASK_CLEAR}, ULONG{D2H_HANDSHAKE_BITS})));

    // Traffic after: what was handed before the suspend goes out, and receiving goes on in order.
    Engine(CLDMA_HIF_MD).Drain();
    EXPECT_EQ(0, tx_requests[0]->gpd->flags & CLDMA_GPD_HWO);
    EXPECT_EQ(0, tx_requests[1]->gpd->flags & CLDMA_GPD_HWO);
    // The queue's timer may already have collected some of them after the done interrupt.
    cldma_tx_collect(&md->queues[3]);
    EXPECT_EQ(16, cldma_tx_budget(0, CLDMA_HIF_MD, 3));
    doubles::PortRecvCalls().clear();
    const std::vector<std::vector<u8>> after = {Frame(20, 4), Frame(64, 5)};
    Feed(CLDMA_HIF_MD, 2, after);
    EXPECT_EQ(CLDMA_RX_ALL_DONE, cldma_rx_collect(rx2, rx2->budget, true));
    std::vector<std::vector<u8>> delivered;
    for (const doubles::PortRecv& call : doubles::PortRecvCalls())
        delivered.push_back(call.bytes);
    EXPECT_EQ(after, delivered);
}

TEST_F(CldmaCtl, StopAndFillAgreeOnTheActiveBits)
{
    // A fill hands its descriptor to the engine only while the queue is active; the stop clears the
    // bits under the same lock (ThreadSanitizer sees any access outside it).
    Started(CLDMA_HIF_SAP);
    struct cldma_ctrl* ctrl = Ctrl(CLDMA_HIF_SAP);
    struct cldma_queue* queue = &ctrl->queues[0];
    struct sk_buff* skb = bm_alloc_skb(64, true, true, CLDMA_POOL_TAG);
    skb_put(skb, 64);
    volatile LONG done = 0;
    int fills = 0;
    HANDLE filler = hosttest::StartThread([&] {
        while (!ReadAcquire(&done)) {
            WdfSpinLockAcquire(queue->lock);
            struct cldma_request* request = queue->tx_xmit;
            if (cldma_tx_fill(queue, request, skb, 0) == 0) {
                request->gpd->flags &= (u8)~CLDMA_GPD_HWO; // taken back before the engine is kicked
                request->skb = nullptr;
            }
            fills++;
            WdfSpinLockRelease(queue->lock);
        }
    });
    auto filled = [&] {
        WdfSpinLockAcquire(queue->lock);
        const int n = fills;
        WdfSpinLockRelease(queue->lock);
        return n;
    };
    // At least 50 rounds, and on until the filler has had its turn (a loaded machine may start it late).
    for (int i = 0; i < 50 || filled() == 0; i++) {
        EXPECT_EQ(0, cldma_stop(0, CLDMA_HIF_SAP));
        EXPECT_EQ(0, cldma_start(0, CLDMA_HIF_SAP));
    }
    InterlockedExchange(&done, 1);
    hosttest::JoinThread(filler);
    bm_free_skb(skb, CLDMA_POOL_TAG);
    EXPECT_GT(fills, 0);
}

TEST_F(CldmaCtl, FreeLeavesNothingBehind)
{
    Started(CLDMA_HIF_SAP);
    Started(CLDMA_HIF_MD, 1);
    Handed(Ctrl(CLDMA_HIF_SAP), 0, 0, 4);
    ccci_hif_free(0, 3);
    EXPECT_EQ(nullptr, Ctrl(CLDMA_HIF_SAP));
    EXPECT_EQ(nullptr, Ctrl(CLDMA_HIF_MD));
    EXPECT_TRUE(IsListEmpty(&Dev()->pm_entities));
    EXPECT_EQ(nullptr, doubles::Modem().runtime_block.data);
    EXPECT_EQ(0u, doubles::Modem().runtime_block.length);
    // The interrupt dispatch no longer reaches the freed records.
    for (u32 source : {1u, 2u}) {
        EXPECT_EQ(nullptr, Dev()->irq_cb[source]) << source;
        EXPECT_EQ(nullptr, Dev()->irq_cb_arg[source]) << source;
    }
    // The pools are balanced: the tear-down finds no block of any tag left.
}

} // namespace
} // namespace taluvotest
