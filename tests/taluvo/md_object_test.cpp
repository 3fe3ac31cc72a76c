// The modem object on a probed simulated modem: its set-up and teardown, the in-place rebuild, the
// accessors and dispatchers without an object or device, the boot doorbells and their stages, the
// exception stages, and the reset interrupt with its reports. The state machine is a stand-in; the
// probe's own calls of the core start go to the core's stand-in, the test calls the real ones.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/image.h>
#include <host/pool.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ccci_bm.h"
#include "ccci_hif.h"
#include "ccci_md_priv.h"
#include "doubles/fsm.h"
#include "doubles/fsm_queue.h"
#include "doubles/modem_events.h"
#include "mhccif.h"
#include "pcie_device.h"
#include "pcie_mac.h"
#include "pcie_rig.h"

extern "C" {
int __real_ccci_init(void);
void __real_ccci_uninit(void);
int __real_ccci_md_init(struct mdm_pci_dev* dev);
int __real_ccci_md_uninit(struct mdm_pci_dev* dev);
int __real_ccci_device_create(const char* name, u32 major, u32 minor, u32 tag);
int __real_ccci_device_destroy(u32 major, u32 minor, u32 tag);
bool __real_ccci_md_rgu_pending(const struct ccci_md* md);
}

namespace
{

using Writes = std::vector<std::pair<ULONG, ULONG>>;
using taluvotest::PcieRig;

bool Contains(const Writes& writes, ULONG offset, ULONG value)
{
    return std::find(writes.begin(), writes.end(), std::make_pair(offset, value)) != writes.end();
}

class ModemObjectTest : public PcieRig
{
  protected:
    void SetUp() override
    {
        PcieRig::SetUp();
        doubles::ResetQueue();
        doubles::FsmState() = {};
        doubles::FsmState().state = FSM_STATE_CREATED;
        doubles::FsmState().md_state = MD_STATE_INIT;
        ASSERT_EQ(STATUS_SUCCESS, Start());
        ASSERT_EQ(0, __real_ccci_init());
    }

    void TearDown() override
    {
        doubles::Queue().hs_abort = true; // ends a handshake work the test started
        if (Dev() != nullptr && Dev()->md != nullptr)
            __real_ccci_md_uninit(Dev());
        host::Quiesce();
        __real_ccci_uninit();
        doubles::ResetQueue();
        PcieRig::TearDown();
    }

    static struct ccci_md* Init()
    {
        EXPECT_EQ(0, __real_ccci_md_init(Dev()));
        return Dev()->md;
    }

    static Writes DoorbellWritesSince(size_t* seen)
    {
        Writes all = DoorbellWrites();
        Writes fresh(all.begin() + (long)std::min(*seen, all.size()), all.end());
        *seen = all.size();
        return fresh;
    }

    // The handshake work of a core ran (each drops its stale abort events first).
    static bool WorkRan(u32 abort_event)
    {
        host::Quiesce();
        const std::vector<u32>& dropped = doubles::Queue().dropped;
        return std::find(dropped.begin(), dropped.end(), abort_event) != dropped.end();
    }
};

TEST_F(ModemObjectTest, InitBuildsTheObjectAndSetsUpTheDoorbellsBeforeTheFirstStart)
{
    bool doorbells_ready = false;
    doubles::Queue().on_cold_boot = [&] {
        // The start unmasks the boot doorbell: the set-up must not come after it and mask it again.
        doorbells_ready = Dev()->db_cb[MD_DB_SLOT] != nullptr && Contains(DoorbellWrites(), MHCCIF_D2H_MASK_SET, MD_DB_ALL);
    };
    struct ccci_md* md = Init();
    ASSERT_NE(nullptr, md);
    EXPECT_TRUE(doorbells_ready);
    EXPECT_EQ(md, ccci_md_get(0));
    EXPECT_EQ(nullptr, ccci_md_get(1));
    EXPECT_EQ(Dev(), ccci_md_get_pcie_dev(md));
    const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
    EXPECT_TRUE(std::equal(std::begin(map), std::end(map), hif_path_map[0]));
    EXPECT_EQ(6u, ccci_md_debug_flags(md));
    EXPECT_EQ(MD_STATE_FLAG_NOT_STARTED, md->state_flags & MD_STATE_FLAG_NOT_STARTED);
    EXPECT_EQ(0xFFFFu, md->info.boot_mark);
    EXPECT_EQ(1u, md->initialised);
    EXPECT_EQ(1, doubles::Queue().inits);
    EXPECT_EQ(1, doubles::Queue().cold_boots);
    EXPECT_EQ(MD_DB_ALL, Dev()->db_mask[MD_DB_SLOT]);
    EXPECT_NE(nullptr, Dev()->pm_notify);
}

// The boot never reached the handshake: the CLDMA rings never come, the wait gives up after 10 s.
TEST_F(ModemObjectTest, UninitStopsTheStateMachineAndFreesEverything)
{
    Init();
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(0, __real_ccci_md_uninit(Dev()));
    EXPECT_EQ(10 * 1000 * 10000ll, host::ClockNow() - start);
    ASSERT_EQ(1u, doubles::Commands().size());
    EXPECT_EQ(FSM_CMD_STOP, doubles::Commands()[0].id);
    EXPECT_EQ(FSM_CMD_FLAG_WAIT, doubles::Commands()[0].flags);
    EXPECT_EQ(1, doubles::Queue().uninits);
    EXPECT_EQ(nullptr, Dev()->md);
    EXPECT_EQ(nullptr, ccci_md_get(0));
    EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, CLDMA_HIF_MD));
    EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, MHCCIF_HIF_ID));
    // The pool check of the tear-down shows the object, md_sys and the HIF records gone.
}

// A CLDMA instance already gone is no reason to leave the state machine running and the object behind.
TEST_F(ModemObjectTest, UninitGoesOnWhenACldmaInstanceIsMissing)
{
    Init();
    ccci_hif_free(0, 1 << 1); // the SAP instance
    EXPECT_EQ(0, __real_ccci_md_uninit(Dev()));
    ASSERT_EQ(1u, doubles::Commands().size());
    EXPECT_EQ(FSM_CMD_STOP, doubles::Commands()[0].id);
    EXPECT_EQ(1, doubles::Queue().uninits);
    EXPECT_EQ(nullptr, Dev()->md);
}

TEST_F(ModemObjectTest, UninitOfAnObjectNeverInitialisedOnlyFreesIt)
{
    struct ccci_md* md = ccci_md_alloc(MD_SYS_SIZE);
    ASSERT_NE(nullptr, md);
    md->pcie_dev = Dev();
    Dev()->md = md;
    EXPECT_EQ(0, __real_ccci_md_uninit(Dev()));
    EXPECT_TRUE(doubles::Commands().empty());
    EXPECT_EQ(0, doubles::Queue().uninits);
    EXPECT_EQ(nullptr, Dev()->md);
}

TEST_F(ModemObjectTest, AFailedPlatformSetUpFreesWhatTheHifAllocationMade)
{
    host::PoolFailTag(MHCCIF_HIF_TAG, host::kFailAlways); // the CLDMA instances come first
    EXPECT_EQ(-1, __real_ccci_md_init(Dev()));
    host::PoolFailTagClear(MHCCIF_HIF_TAG);
    EXPECT_EQ(nullptr, Dev()->md);
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, CLDMA_HIF_MD));
    EXPECT_EQ(0, doubles::Queue().inits);
}

TEST_F(ModemObjectTest, ReinitResetsTheObjectKeepsItsLockAndEndsAPendingHandshake)
{
    struct ccci_md* md = Init();
    WDFSPINLOCK lock = md->sys->lock;
    ASSERT_EQ(0, ccci_md_start(0));
    EXPECT_EQ(0u, md->state_flags & MD_STATE_FLAG_NOT_STARTED);
    md->info.boot_mark = 0x1234;
    md->exception_cleared = 1;
    md->sys->pending_doorbells = MD_DB_EE_ACK0;
    InterlockedExchange(&md->md_hk.pending, 1);
    InterlockedExchange(&md->sap_hk.done, 1);
    InterlockedExchange(&md->rgu_pending, 1);
    InterlockedExchange(&md->rgu_early, 1);

    ASSERT_EQ(0, ccci_md_reinit(Dev()));
    EXPECT_EQ(MD_STATE_FLAG_NOT_STARTED, md->state_flags & MD_STATE_FLAG_NOT_STARTED);
    EXPECT_EQ(0xFFFFu, md->info.boot_mark);
    EXPECT_EQ(0u, md->exception_cleared);
    EXPECT_EQ(0u, md->sys->pending_doorbells);
    EXPECT_EQ(lock, md->sys->lock);
    EXPECT_EQ(1u, md->initialised);
    EXPECT_EQ(1, doubles::Queue().resets);
    EXPECT_FALSE(ccci_md_hs_pending(md));
    EXPECT_FALSE(ccci_md_hk_done(md, CCCI_CORE_SAP));
    EXPECT_FALSE(__real_ccci_md_rgu_pending(md));
    EXPECT_EQ(0, md->rgu_early);
    // Only the MD core's handler was waiting: only it gets its abort event.
    ASSERT_EQ(1u, doubles::FsmState().events.size());
    EXPECT_EQ(FSM_EVENT_MD_HS_ABORT, doubles::FsmState().events[0].id);
    EXPECT_EQ((int)CCCI_BOOT_STATUS_NO_DEVICE, ccci_md_reinit(nullptr));
}

TEST_F(ModemObjectTest, WithoutAnObjectOrDeviceAccessorsAndDispatchersAnswerSafely)
{
    EXPECT_EQ(CCCI_BOOT_STATUS_NO_DEVICE, plt_get_boot_status(nullptr));
    plt_set_boot_status(nullptr, 0x10000000);
    EXPECT_EQ((int)MD_NO_OBJECT, ccci_md_start(0));
    EXPECT_EQ((int)MD_NO_OBJECT, ccci_md_start(1));
    EXPECT_EQ((int)MD_NO_OBJECT, ccci_md_irq_stage(nullptr, CCCI_IRQ_STAGE_START));
    ccci_md_exception_stages(0);
    ccci_md_hif_flags(0, 0x20000, nullptr, 0);
    EXPECT_EQ(nullptr, ccci_md_get_info(0));

    struct ccci_md* md = ccci_md_alloc(0); // no md_sys
    ASSERT_NE(nullptr, md);
    EXPECT_EQ(CCCI_BOOT_STATUS_NO_DEVICE, plt_get_boot_status(md));
    plt_set_boot_status(md, 0x10000000);
    const u32 sentinel[CCCI_HIF_PATHS] = {9, 9, 9, 9};
    std::copy(std::begin(sentinel), std::end(sentinel), hif_path_map[0]);
    struct plt_md_info info = {7, 7};
    EXPECT_EQ(-1, plt_md_setup(Dev(), &info, md));
    EXPECT_TRUE(std::equal(std::begin(sentinel), std::end(sentinel), hif_path_map[0]));
    ccci_md_free(md);
}

TEST_F(ModemObjectTest, DeviceNodesComeAndGoByTheirNumber)
{
    constexpr u32 kTag = 0x74736574; // 'test'
    auto nodes = [] {
        for (const host::PoolLeak& block : host::PoolLeaks(host::ImageMain()))
            if (block.tag == kTag)
                return block.count;
        return decltype(host::PoolLeak::count)(0);
    };
    EXPECT_EQ(0, __real_ccci_device_create("ttyA", 3, 7, kTag));
    EXPECT_EQ(0, __real_ccci_device_create("ttyB", 7, 3, kTag));
    EXPECT_EQ(2u, nodes());
    EXPECT_EQ(0, __real_ccci_device_destroy(7, 3, kTag));
    EXPECT_EQ(1u, nodes());
    EXPECT_EQ(0, __real_ccci_device_destroy(7, 3, kTag)); // gone already: nothing else goes
    EXPECT_EQ(1u, nodes());
    EXPECT_EQ(0, __real_ccci_device_destroy(3, 7, kTag));
    EXPECT_EQ(0u, nodes());
}

// The doorbell handler against the state machine's states; the doorbells stay masked, so only the
// direct call serves them.
TEST_F(ModemObjectTest, DoorbellHandler)
{
    struct ccci_md* md = Init();
    struct Case {
        u32 bits;
        u32 state;
        u32 md_state;
        std::vector<u32> hif_events;
        u32 still_pending;
        int work; // abort event of the core whose work ran, 0 none
    } cases[] = {
        {MD_DB_BOOT, FSM_STATE_CREATED, MD_STATE_INIT, {FSM_HIF_START}, 0, 0},
        {MD_DB_BOOT, FSM_STATE_STARTING, MD_STATE_INIT, {FSM_HIF_START}, 0, 0},
        {MD_DB_BOOT, FSM_STATE_STOPPED, MD_STATE_STOPPED, {FSM_HIF_START}, 0, 0},
        {MD_DB_BOOT, FSM_STATE_HANDSHAKE, MD_STATE_BOOT_HS, {}, 0, 0},
        {MD_DB_EXCEPTION, FSM_STATE_READY, MD_STATE_READY, {FSM_HIF_EXCEPTION}, 0, 0},
        {MD_DB_EXCEPTION, FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION, {}, MD_DB_EXCEPTION, 0},
        {MD_DB_MD_HS, FSM_STATE_HANDSHAKE, MD_STATE_BOOT_HS, {}, 0, FSM_EVENT_MD_HS_ABORT},
        {MD_DB_SAP_HS, FSM_STATE_HANDSHAKE, MD_STATE_CORE_HS, {}, 0, FSM_EVENT_SAP_HS_ABORT},
        {MD_DB_SAP_HS, FSM_STATE_READY, MD_STATE_READY, {}, MD_DB_SAP_HS, 0},
    };
    doubles::Queue().hs_abort = true; // a handshake work that runs ends after its first step
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bits 0x" << std::hex << c.bits << " state " << c.state << " md_state "
                                        << c.md_state);
        doubles::ResetQueue();
        doubles::Queue().hs_abort = true;
        doubles::FsmState().state = c.state;
        doubles::FsmState().md_state = c.md_state;
        md->sys->pending_doorbells = 0;
        Modem().ClearWrites();
        Modem().RingHost(c.bits);
        EXPECT_EQ(0, md_doorbell_handler(md));
        EXPECT_EQ(c.hif_events, doubles::HifEvents());
        EXPECT_EQ(c.still_pending, md->sys->pending_doorbells);
        EXPECT_EQ(c.work == FSM_EVENT_MD_HS_ABORT, WorkRan(FSM_EVENT_MD_HS_ABORT));
        EXPECT_EQ(c.work == FSM_EVENT_SAP_HS_ABORT, WorkRan(FSM_EVENT_SAP_HS_ABORT));
        mhccif_clear_status(Dev(), c.bits);
    }
}

TEST_F(ModemObjectTest, HandshakeStageServesThePendingCoresAndUnmasksTheRest)
{
    struct ccci_md* md = Init();
    doubles::Queue().hs_abort = true;
    size_t seen = DoorbellWrites().size();
    Modem().RingHost(MD_DB_MD_HS);
    ASSERT_EQ(0, ccci_md_irq_stage(md, CCCI_IRQ_STAGE_HANDSHAKE));
    Writes writes = DoorbellWritesSince(&seen);
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_MASK_SET, MD_DB_BOOT));
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_CLEAR, MD_DB_MD_HS));
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_MASK_SET, MD_DB_MD_HS));
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_MASK_CLEAR, MD_DB_SAP_HS));
    EXPECT_EQ(std::make_pair(ULONG(MHCCIF_D2H_MASK_CLEAR), ULONG(0x1E)), writes.back());
    EXPECT_TRUE(WorkRan(FSM_EVENT_MD_HS_ABORT));
    EXPECT_FALSE(WorkRan(FSM_EVENT_SAP_HS_ABORT));

    ASSERT_EQ(0, ccci_md_irq_stage(md, CCCI_IRQ_STAGE_HANDSHAKE));
    writes = DoorbellWritesSince(&seen);
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_MASK_CLEAR, MD_DB_SAP_HS));
    EXPECT_TRUE(Contains(writes, MHCCIF_D2H_MASK_CLEAR, MD_DB_MD_HS));
    EXPECT_EQ(std::make_pair(ULONG(MHCCIF_D2H_MASK_CLEAR), ULONG(0x1E)), writes.back());

    ASSERT_EQ(0, ccci_md_irq_stage(md, CCCI_IRQ_STAGE_START));
    ASSERT_EQ(0, ccci_md_irq_stage(md, CCCI_IRQ_STAGE_READY));
    writes = DoorbellWritesSince(&seen);
    EXPECT_EQ((Writes{{MHCCIF_D2H_MASK_CLEAR, MD_DB_BOOT}, {MHCCIF_D2H_MASK_SET, MD_DB_SAP_HS | MD_DB_MD_HS}}), writes);
}

// An exception announced before the handshake stage is raised, not just noted: the handshake would only
// fail and leave the state machine without a report.
TEST_F(ModemObjectTest, AnExceptionPendingAtTheHandshakeStageIsRaised)
{
    struct ccci_md* md = Init();
    md->sys->pending_doorbells = MD_DB_EXCEPTION | MD_DB_MD_HS;
    ASSERT_EQ(0, ccci_md_irq_stage(md, CCCI_IRQ_STAGE_HANDSHAKE));
    EXPECT_TRUE(doubles::Queue().hs_exception);
    EXPECT_EQ(std::vector<u32>{FSM_HIF_EXCEPTION}, doubles::HifEvents());
    EXPECT_EQ(0u, md->sys->pending_doorbells);
    EXPECT_FALSE(WorkRan(FSM_EVENT_MD_HS_ABORT));
}

// Stage 0 rings doorbell 1 and stage 3 doorbell 2; each acknowledgement that does not come costs 5 s more
// than when it is there, and the stages go on.
TEST_F(ModemObjectTest, ExceptionStagesGoOnWithoutTheModemsAcknowledgements)
{
    struct ccci_md* md = Init();
    constexpr u32 kAllAcks = MD_DB_EE_ACK0 | MD_DB_EE_ACK2 | MD_DB_EE_ACK3;
    LONGLONG acked = 0;
    for (u32 acks : {kAllAcks, 0u, MD_DB_EE_ACK2}) {
        SCOPED_TRACE(acks);
        md->exception_cleared = 0;
        md->sys->pending_doorbells = acks;
        Modem().ClearWrites();
        LONGLONG start = host::ClockNow();
        ccci_md_exception_stages(0);
        LONGLONG took = host::ClockNow() - start;
        if (acks == kAllAcks)
            acked = took;
        int missing = 3 - __builtin_popcount(acks);
        EXPECT_EQ(5 * missing * 1000 * 10000ll, took - acked);
        Writes rings;
        for (const auto& w : DoorbellWrites())
            if (w.first == MHCCIF_H2D_RING)
                rings.push_back(w);
        EXPECT_EQ((Writes{{MHCCIF_H2D_RING, 1u << 1}, {MHCCIF_H2D_RING, 1u << 2}}), rings);
        EXPECT_EQ(1u, md->exception_cleared);
        EXPECT_EQ(0u, md->sys->pending_doorbells);
    }
}

TEST_F(ModemObjectTest, ResetHandlerReportsByTypeAndBootState)
{
    Init();
    struct Case {
        u32 type;
        u32 state;
        u32 dump_ready;
        std::vector<std::string> reports;
        bool aborted;
    } cases[] = {
        {0, FSM_STATE_HANDSHAKE, 0, {"RGU_RESET_DELAY"}, true},
        {0, FSM_STATE_READY, 0, {}, false},
        {1, FSM_STATE_STARTING, 0, {"RGU_RESET_DELAY"}, true},
        {1, FSM_STATE_STARTING, 1, {"RESET"}, false},
        {1, FSM_STATE_READY, 0, {"RESET"}, false},
        {2, FSM_STATE_READY, 0, {"CRASH", "WARM_RESET"}, false},
        {2, FSM_STATE_HANDSHAKE, 0, {"CRASH", "RGU_RESET_DELAY"}, true},
        {3, FSM_STATE_CREATED, 0, {"RGU_RESET_DELAY"}, true},
        {3, FSM_STATE_EXCEPTION, 0, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " state " << c.state << " dump " << c.dump_ready);
        doubles::Indications().clear();
        doubles::Queue().hs_abort = false;
        doubles::Queue().dump_ready = c.dump_ready;
        doubles::FsmState().state = c.state;
        Modem().SetMacRegister(MAC_BOOT_STATUS, (c.type << 26) | 0x4);
        EXPECT_EQ(0, md_reset_handler(Dev()));
        EXPECT_EQ(c.reports, doubles::Indications());
        EXPECT_EQ(c.aborted, doubles::Queue().hs_abort.load());
    }
    doubles::FsmState().exists = false;
    EXPECT_EQ(-1, md_reset_handler(Dev()));
}

// The modem's reset interrupt end to end: served once armed, reported from the timer, and remembered
// until the object is rebuilt.
TEST_F(ModemObjectTest, TheResetInterruptIsReportedAndRememberedUntilTheRebuild)
{
    struct ccci_md* md = Init();
    doubles::FsmState().state = FSM_STATE_READY;
    doubles::Indications().clear();
    Modem().SetBootStatus((2u << 26) | 0x4);
    Modem().AssertReset();
    EXPECT_TRUE(WaitFor([md] { return __real_ccci_md_rgu_pending(md); }));
    host::Quiesce(); // the reset timer has run
    EXPECT_EQ(1u, Modem().ResetAcknowledgements());
    EXPECT_EQ((std::vector<std::string>{"CRASH", "WARM_RESET"}), doubles::Indications());
    EXPECT_TRUE(__real_ccci_md_rgu_pending(md));
    ASSERT_EQ(0, ccci_md_reinit(Dev()));
    EXPECT_FALSE(__real_ccci_md_rgu_pending(md));
}

} // namespace
