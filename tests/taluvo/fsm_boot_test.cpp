// The state machine's boot: the start by boot status, the boot-ROM poll, commands accepted or refused
// per state, the handshake to ready and its time-out, waited commands, the power notification and the
// end of the thread at removal.
#include "fsm_fixture.h"

#include "CurrentDevice.h"
#include "IpcPcie.h"
#include "MbbDevice.h"
#include "ModemEventActions.h"
#include "pcie_device.h"

namespace
{

using fsmtest::FsmTest;
using fsmtest::Strings;

// The modem's MD-core work as the state machine sees it: once the handshake started (modem state 2)
// both cores finish and the modem state moves to 3.
void CoresFinish(u32 state, void* data)
{
    if (state != MD_STATE_BOOT_HS)
        return;
    auto* fsm = static_cast<struct md_fsm*>(data);
    doubles::SetHkDone(CCCI_CORE_MD, true);
    doubles::SetHkDone(CCCI_CORE_SAP, true);
    fsm_set_md_state(fsm, MD_STATE_CORE_HS);
    fsm_hs_wake(fsm);
}

class FsmBoot : public FsmTest
{
  protected:
    void SetUp() override
    {
        FsmTest::SetUp();
        notifier_ = {{}, CoresFinish, fsm_};
    }
    void Register()
    {
        notifier_.data = fsm_;
        ASSERT_EQ(0, fsm_register_notifier(0, &notifier_));
    }
    // The thread stays in a handshake that never finishes until the test lets it go.
    void HoldInHandshake()
    {
        Put(FSM_STATE_STARTING, MD_STATE_INIT);
        ASSERT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_HANDSHAKE, 0));
        ASSERT_TRUE(Until([] { return !doubles::MdCalls().empty(); }));
    }
    // Queues `command` from another thread, waited for behind the held one; runs `release` and returns
    // the waiter's result.
    int WaitBehind(u32 command, const std::function<void()>& release)
    {
        int waited = 1;
        HANDLE waiter = hosttest::StartThread([&] { waited = Run(command); });
        Pass(50);
        release();
        hosttest::JoinThread(waiter);
        return waited;
    }
    struct fsm_notifier notifier_;
};

TEST_F(FsmBoot, StartFollowsTheBootStatus)
{
    struct Case {
        const char* name;
        u32 status;
        bool download;
        bool reset_in_progress;
        Strings reports;
        bool poll_armed;
    };
    const Case cases[] = {
        {"dump stage", 0x0103, false, false, {"MDM_COLD_BOOT_COMPLETED", "CD_READY"}, false},
        {"boot ROM, download requested", 0x0041, true, false, {"MDM_COLD_BOOT_COMPLETED", "ROM_READY"}, true},
        {"boot ROM, no download", 0x0041, false, false, {}, true},
        {"unreadable", 0xFFFF, false, false, {"RESET"}, false},
        {"read error", CCCI_BOOT_STATUS_NO_DEVICE, false, false, {"RESET"}, false},
        {"unreadable during a device reset", 0xFFFF, false, true, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        doubles::Indications().clear();
        doubles::MdOpsState().boot_status = c.status;
        IpcSetBromDLFlag(c.download);
        Context()->ResetPending = c.reset_in_progress ? TRUE : FALSE;
        fsmtest::SentFrames().clear();

        bool readable = (c.status & 0xFFFF) != 0xFFFF && c.status != CCCI_BOOT_STATUS_NO_DEVICE;
        EXPECT_EQ(readable ? 0 : -1, Run(FSM_CMD_START));
        EXPECT_EQ(c.reports, Reports());
        EXPECT_EQ(c.poll_armed, fsm_->poll_timer != nullptr);
        EXPECT_EQ(c.status == 0x0103 ? 1u : 0u, fsm_get_dump_ready(0));
        EXPECT_EQ(readable ? FSM_STATE_STARTING : FSM_STATE_CREATED, fsm_get_state(0));
        EXPECT_EQ(readable ? c.status : 0xFFFFu, fsm_->last_status);
        std::vector<std::vector<u8>> sent;
        for (const fsmtest::Sent& frame : fsmtest::SentFrames()) {
            EXPECT_EQ(CLDMA_HIF_SAP, frame.hif);
            sent.push_back(frame.bytes);
        }
        if (c.status == 0x0041 && !c.download) {
            EXPECT_EQ((std::vector<std::vector<u8>>{{0xA0}, {0x0A}, {0x50}, {0x05}, {0xD6}}), sent);
        } else {
            EXPECT_TRUE(sent.empty());
        }
        EXPECT_EQ(c.status == 0x0041, ccci_fsm_brom_stage(nullptr));
        Context()->ResetPending = FALSE;
    }
}

TEST_F(FsmBoot, NormalBootReachesReadyOnce)
{
    Register();
    doubles::MdOpsState().boot_status = 0x2004; // normal stage, boot reason 2
    md_cold_boot(0);
    ASSERT_TRUE(Until([] { return fsm_get_state(0) == FSM_STATE_READY; }));
    // No second ready without a new handshake (the refusal also waits out the ready routine).
    EXPECT_EQ(-1, Run(FSM_CMD_READY));
    EXPECT_EQ((Strings{"MDM_COLD_BOOT_STARTED", "MDM_NOT_READY", "MDM_COLD_BOOT_COMPLETED", "MDM_READY"}),
              Reports());
    EXPECT_EQ(MD_STATE_READY, ccci_fsm_get_md_state(0));
    EXPECT_EQ(2u, fsm_get_public_state(0));
    EXPECT_EQ((Strings{"irq_stage 0", "hw_init 7", "hw_init 8", "start", "irq_stage 1", "irq_stage 2"}),
              doubles::MdCalls());
    EXPECT_EQ((Strings{"state 2", "state 3", "state 4"}), fsmtest::PortCalls());
}

TEST_F(FsmBoot, CommandsAreAcceptedOrRefusedByState)
{
    struct Case {
        u32 state;
        u32 command;
        int result;
        u32 state_after;
    };
    const Case cases[] = {
        {FSM_STATE_CREATED, FSM_CMD_HANDSHAKE, -1, FSM_STATE_CREATED},
        {FSM_STATE_CREATED, FSM_CMD_READY, -1, FSM_STATE_CREATED},
        {FSM_STATE_CREATED, FSM_CMD_EXCEPTION, -1, FSM_STATE_CREATED},
        {FSM_STATE_CREATED, FSM_CMD_STOP, 0, FSM_STATE_STOPPED},
        {FSM_STATE_CREATED, FSM_CMD_HALT, 0, FSM_STATE_STOPPED},
        {FSM_STATE_HANDSHAKE, FSM_CMD_START, -1, FSM_STATE_HANDSHAKE},
        {FSM_STATE_HANDSHAKE, FSM_CMD_HANDSHAKE, -1, FSM_STATE_HANDSHAKE},
        {FSM_STATE_READY, FSM_CMD_START, -1, FSM_STATE_READY},
        {FSM_STATE_READY, FSM_CMD_READY, -1, FSM_STATE_READY},
        {FSM_STATE_EXCEPTION, FSM_CMD_EXCEPTION, -1, FSM_STATE_EXCEPTION},
        {FSM_STATE_EXCEPTION, FSM_CMD_STOP, 0, FSM_STATE_STOPPED},
        {FSM_STATE_STOPPING, FSM_CMD_STOP, -1, FSM_STATE_STOPPING},
        {FSM_STATE_STOPPING, FSM_CMD_HALT, 0, FSM_STATE_STOPPED},
        {FSM_STATE_STOPPED, FSM_CMD_STOP, -1, FSM_STATE_STOPPED},
        {FSM_STATE_STOPPED, FSM_CMD_HALT, -1, FSM_STATE_STOPPED},
        {FSM_STATE_READY, 7, -1, FSM_STATE_READY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " command " << c.command);
        doubles::MdOpsState().calls.clear();
        Put(c.state, MD_STATE_READY);
        EXPECT_EQ(c.result, Run(c.command));
        EXPECT_EQ(c.state_after, fsm_get_state(0));
        bool stopped = c.state_after == FSM_STATE_STOPPED && c.result == 0;
        EXPECT_EQ(stopped ? MD_STATE_STOPPED : MD_STATE_READY, ccci_fsm_get_md_state(0));
    }
    EXPECT_EQ(-106, fsm_queue_command(fsm_, 0, 0));
    EXPECT_EQ(-106, fsm_queue_command(fsm_, 9, FSM_CMD_FLAG_WAIT));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(FsmBoot, StartWithoutModemObjectCompletes)
{
    doubles::Modem().exists = false;
    EXPECT_EQ(-1, Run(FSM_CMD_START));
    EXPECT_EQ(FSM_STATE_CREATED, fsm_get_state(0));
}

TEST_F(FsmBoot, UnknownCommandFlushesTheQueue)
{
    // The thread is held in a handshake while the queue fills.
    HoldInHandshake();
    ASSERT_EQ(0, fsm_queue_command(fsm_, 8, 0));
    EXPECT_EQ(-1, WaitBehind(FSM_CMD_STOP, [this] { fsm_hs_abort(fsm_); }));
    EXPECT_EQ(FSM_STATE_EXCEPTION, fsm_get_state(0));
}

TEST_F(FsmBoot, RepeatedZeroStatusIsRetried200TimesThenGivenUp)
{
    doubles::MdOpsState().boot_status = 0;
    ASSERT_EQ(0, Run(FSM_CMD_START));
    auto starts = [] {
        size_t n = 0;
        for (const std::string& call : doubles::MdCalls())
            n += call == "irq_stage 0";
        return n;
    };
    ASSERT_TRUE(Until([&] { return starts() == 201; }, 60));
    Pass(1000);
    EXPECT_EQ(201u, starts());
    EXPECT_TRUE(Reports().empty());
}

TEST_F(FsmBoot, BootPollGivesUpAfter400RoundsWithoutProgress)
{
    doubles::MdOpsState().boot_status = 0x0011; // boot ROM, sub-stage 1
    ASSERT_EQ(0, Run(FSM_CMD_START));
    EXPECT_EQ((Strings{"disable brom_download"}), fsmtest::PortCalls());
    // 401 rounds of 50 ms, then the poll stops: its count stays cleared.
    ASSERT_TRUE(Until([this] { return ReadAcquire(&fsm_->poll_count) > 400; }, 60));
    ASSERT_TRUE(Until([this] { return ReadAcquire(&fsm_->poll_count) == 0; }, 1));
    Pass(5000);
    EXPECT_EQ(0, ReadAcquire(&fsm_->poll_count));
    WdfTimerStop(fsm_->poll_timer, TRUE); // the last callback has ended
    EXPECT_EQ((Strings{"RESET"}), Reports());
}

TEST_F(FsmBoot, BootPollWaitsOnDownloadAndFollowsProgress)
{
    doubles::MdOpsState().boot_status = 0x0031; // sub-stage 3: downloading
    ASSERT_EQ(0, Run(FSM_CMD_START));
    EXPECT_EQ((std::vector<u32>{0x20000031u}), doubles::MdOpsState().boot_writes);
    Pass(60000);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(0, fsm_->poll_count);

    doubles::SetBootStatus(0x0004);
    ASSERT_TRUE(Until([] { return fsm_get_state(0) == FSM_STATE_HANDSHAKE; }, 10));
    fsm_hs_abort(fsm_); // the handshake is not under test here
}

TEST_F(FsmBoot, HandshakeTimeoutAbortsPendingCoresAndReportsTheCrash)
{
    for (bool dump_config : {false, true}) {
        SCOPED_TRACE(dump_config ? "dump configured" : "no dump configuration");
        Restart();
        doubles::Indications().clear();
        WriteRelease(&DumpFlags, dump_config ? 1 : 0);
        doubles::MdOpsState().hk_pending[CCCI_CORE_MD] = true;
        doubles::MdOpsState().hk_pending[CCCI_CORE_SAP] = false;
        Put(FSM_STATE_STARTING, MD_STATE_INIT);
        EXPECT_EQ(-1, Run(FSM_CMD_HANDSHAKE));
        EXPECT_EQ(FSM_STATE_EXCEPTION, fsm_get_state(0));
        EXPECT_EQ(dump_config ? Strings{} : (Strings{"CRASH", "RESET"}), Reports());
        struct fsm_event* md_abort = fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_MD_HS_ABORT));
        EXPECT_NE(nullptr, md_abort);
        fsm_free_event(md_abort);
        EXPECT_EQ(nullptr, fsm_take_event(fsm_, FSM_EVENT_BIT(FSM_EVENT_SAP_HS_ABORT)));

        // The timer is made once and serves the next handshake.
        WDFTIMER timer = fsm_->hs_timer;
        ASSERT_NE(nullptr, timer);
        fsm_->hs_abort = 0;
        Put(FSM_STATE_STARTING, MD_STATE_INIT);
        EXPECT_EQ(-1, Run(FSM_CMD_HANDSHAKE));
        EXPECT_EQ(timer, fsm_->hs_timer);
    }
}

TEST_F(FsmBoot, ResumedBootWithoutClassExtensionResetsInsteadOfReady)
{
    Register();
    Context()->MbbCxBound = FALSE;
    fsm_->resume_boot = 1;
    Put(FSM_STATE_STARTING, MD_STATE_INIT);
    EXPECT_EQ(0, Run(FSM_CMD_HANDSHAKE));
    EXPECT_EQ((Strings{"RESET"}), Reports());
    EXPECT_EQ(FSM_STATE_HANDSHAKE, fsm_get_state(0));
}

TEST_F(FsmBoot, WaitedCommands)
{
    // Flushed while queued: the waiter is released with -1.
    HoldInHandshake();
    EXPECT_EQ(-1, WaitBehind(FSM_CMD_READY, [this] { fsm_flush(fsm_); }));

    // At dispatch level the caller does not wait.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_STOP, FSM_CMD_FLAG_WAIT));
    KeLowerIrql(old);
    fsm_hs_abort(fsm_);
    ASSERT_TRUE(Until([] { return fsm_get_state(0) == FSM_STATE_STOPPED; }));
}

TEST_F(FsmBoot, PowerNotificationHaltsBeforeSuspend)
{
    struct mdm_pci_dev dev = {};
    EXPECT_EQ((int)0xFFFFFFEA, md_pm_state_callback(0, nullptr));
    Put(FSM_STATE_READY, MD_STATE_READY);
    EXPECT_EQ(0, md_pm_state_callback(0, &dev));
    EXPECT_EQ(FSM_STATE_STOPPED, fsm_get_state(0));
    EXPECT_EQ(MD_STATE_STOPPED, ccci_fsm_get_md_state(0));
    EXPECT_EQ(-1, md_pm_state_callback(0, &dev));
    EXPECT_EQ(0, md_pm_state_callback(7, &dev));
}

TEST_F(FsmBoot, ModemStateMovesToReadyOnlyFromCoreHandshake)
{
    std::vector<u32> heard;
    struct fsm_notifier notifier = {{}, [](u32 state, void* data) { static_cast<std::vector<u32>*>(data)->push_back(state); },
                                    &heard};
    ASSERT_EQ(0, fsm_register_notifier(0, &notifier));
    fsm_set_md_state(fsm_, MD_STATE_BOOT_HS);
    fsm_set_md_state(fsm_, MD_STATE_READY);
    EXPECT_EQ(MD_STATE_BOOT_HS, ccci_fsm_get_md_state(0));
    fsm_set_md_state(fsm_, MD_STATE_CORE_HS);
    fsm_set_md_state(fsm_, MD_STATE_READY);
    EXPECT_EQ((std::vector<u32>{2, 3, 4}), heard);
    EXPECT_EQ(0, fsm_unregister_notifier(0, &notifier));
    fsm_set_md_state(fsm_, MD_STATE_STOPPED);
    EXPECT_EQ(3u, heard.size());
    EXPECT_EQ(-22, fsm_notify_state(0, 9));
    EXPECT_EQ(-22, fsm_register_notifier(1, &notifier));
}

// A notifier unregistered while a walk stands on it: the unregister returns only after the walk has
// moved on, so its owner may free it at once.
TEST_F(FsmBoot, NotifierUnregisteredDuringTheWalk)
{
    static volatile LONG in_callback;
    static volatile LONG walk_done;
    in_callback = 0;
    walk_done = 0;
    auto* slow = new fsm_notifier{{}, [](u32, void*) {
                                      WriteRelease(&in_callback, 1);
                                      msleep(100);
                                  },
                                  nullptr};
    ASSERT_EQ(0, fsm_register_notifier(0, slow));
    HANDLE walker = hosttest::StartThread([this] {
        fsm_set_md_state(fsm_, MD_STATE_BOOT_HS);
        WriteRelease(&walk_done, 1);
    });
    ASSERT_TRUE(Until([] { return ReadAcquire(&in_callback) == 1; }, 1));
    EXPECT_EQ(0, fsm_unregister_notifier(0, slow));
    delete slow;
    hosttest::JoinThread(walker);
    EXPECT_EQ(1, ReadAcquire(&walk_done));
}

// The subsystem vendor id read at start: a change is stored and reported once.
TEST_F(FsmBoot, SubsystemVendorChangeIsReported)
{
    static USHORT ssvid;
    ssvid = 0x1234;
    IPC_PCI_DEVICE pdev = {};
    KeInitializeEvent(&pdev.ResumeEvent, NotificationEvent, TRUE);
    pdev.SubsystemVendorId = 0x14C3;
    pdev.BusInterface.GetBusData = [](PVOID, ULONG space, PVOID buffer, ULONG offset, ULONG length) -> ULONG {
        if (space != PCI_WHICHSPACE_CONFIG || offset != 0x2C || length != 2)
            return 0;
        memcpy(buffer, &ssvid, 2);
        return 2;
    };
    struct mdm_pci_dev dev = {};
    dev.pdev = &pdev;
    doubles::MdOpsState().pcie_dev = &dev;
    doubles::MdOpsState().boot_status = 0x0103;
    EXPECT_EQ(0, Run(FSM_CMD_START));
    EXPECT_EQ((Strings{"SSVID_RESET_DELAY", "MDM_COLD_BOOT_COMPLETED", "CD_READY"}), Reports());
    EXPECT_EQ(0x1234u, pdev.SubsystemVendorId);
    Restart();
    doubles::Indications().clear();
    EXPECT_EQ(0, Run(FSM_CMD_START));
    EXPECT_EQ((Strings{"MDM_COLD_BOOT_COMPLETED", "CD_READY"}), Reports());
    doubles::MdOpsState().pcie_dev = nullptr;
}

// Once the driver's threads must end, the thread still runs what is queued for about 51 ms, then ends.
TEST_F(FsmBoot, TerminatingThreadDrainsThenEnds)
{
    HoldInHandshake();
    ASSERT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_STOP, 0));
    UCHAR terminate = 1;
    IpcShouldTerminateThreads(&terminate);
    ASSERT_TRUE(Until([] { return fsm_get_state(0) == FSM_STATE_STOPPED; }, 1));
    Pass(200);
    Put(FSM_STATE_READY, MD_STATE_READY);
    ASSERT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_STOP, 0));
    Pass(200);
    EXPECT_EQ(FSM_STATE_READY, fsm_get_state(0));
}

// Removal while the thread waits for D0 and while it waits for the handshake: the thread ends and the
// record goes, long before any of the routines' own time-outs.
TEST_F(FsmBoot, RemovalEndsTheThreadWhereverItWaits)
{
    IPC_PCI_DEVICE pdev = {};
    KeInitializeEvent(&pdev.ResumeEvent, NotificationEvent, FALSE);
    struct mdm_pci_dev dev = {};
    dev.pdev = &pdev;
    doubles::MdOpsState().pcie_dev = &dev;
    doubles::MdOpsState().boot_status = 0x0004;
    LARGE_INTEGER before;
    KeQueryTickCount(&before);
    ASSERT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_START, 0));
    Pass(1000);
    EXPECT_TRUE(doubles::MdCalls().empty()); // still waiting for D0
    Restart();

    KeSetEvent(&pdev.ResumeEvent, IO_NO_INCREMENT, FALSE);
    Put(FSM_STATE_STARTING, MD_STATE_INIT);
    doubles::MdOpsState().pcie_dev = nullptr;
    ASSERT_EQ(0, fsm_queue_command(fsm_, FSM_CMD_HANDSHAKE, 0));
    ASSERT_TRUE(Until([] { return !doubles::MdCalls().empty(); }));
    Restart();

    LARGE_INTEGER after;
    KeQueryTickCount(&after);
    EXPECT_LT((after.QuadPart - before.QuadPart) * (LONGLONG)KeQueryTimeIncrement(), 30LL * 10000000);
    EXPECT_TRUE(Reports().empty());
}

} // namespace
