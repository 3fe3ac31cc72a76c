// The IPC context: its start and clean-up, the power handlers around the bus driver's operations and the
// log-dump handshake (the downlink interrupt mask is tested with the DPMAIF instance).
#include "device_fixture.h"

#include "host_test.h"

#include <host/host.h>
#include <host/trace.h>

#include <atomic>
#include <vector>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "core_start.h"
#include "fsm.h"
#include "deactivations.h"
#include "proxy_flags.h"

namespace
{

std::vector<MODEM_EVENT> g_events;

NTSTATUS RecordEvent(WDFDEVICE, MODEM_EVENT Event)
{
    g_events.push_back(Event);
    return STATUS_SUCCESS;
}

// The bus driver's power operations: each call is recorded by slot, each answers with its result.
struct PmOpsScript {
    std::vector<int> calls; // 0 suspend, 1 resume, 2 resume-no-irq
    int result = 0;
};
PmOpsScript g_pm;

int Record(int slot)
{
    g_pm.calls.push_back(slot);
    return g_pm.result;
}

const struct dev_pm_ops kPmOps = {
    [](IPC_PCI_DEVICE*) { return Record(0); },
    [](IPC_PCI_DEVICE*) { return Record(1); },
    [](IPC_PCI_DEVICE*) { return Record(2); },
};

size_t AerChecks()
{
    return host::TraceFind("modem AER").size();
}

size_t WatchdogExpiries()
{
    return host::TraceFind("modem watchdog expired").size();
}

// A device started through IpcInit whose host interface does not come up (its core refuses to start):
// the context stays on the device as a failed start leaves it.
class IpcContextTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        doubles::Core() = {};
        doubles::Core().init_result = -12;
        doubles::ClearDeactivatedLists();
        g_events.clear();
        g_pm = {};
        start_ = IpcInit(Device());
        ipc_ = GetIpcContext(Device());
        ASSERT_NE(nullptr, ipc_);
    }

    void TearDown() override
    {
        IpcModemWatchdogStop(ipc_);
        host::Quiesce();
        DeviceTest::TearDown();
    }

    // The context with a PCI device record of the test's and the scripted power operations, in D0.
    void WithRecord()
    {
        KeInitializeEvent(&pdev_.ResumeEvent, NotificationEvent, TRUE);
        pdev_.PowerState = IPC_PCI_POWER_D0;
        ipc_->PciDevice = &pdev_;
        ipc_->PmOps = &kPmOps;
        ipc_->EventCallback = RecordEvent;
    }

    NTSTATUS start_ = STATUS_SUCCESS;
    PIPC_CONTEXT ipc_ = nullptr;
    IPC_PCI_DEVICE pdev_ = {};
};

TEST_F(IpcContextTest, AFailedModuleStartLeavesAnInitialisedContextThatCleanUpStillEnds)
{
    EXPECT_EQ(STATUS_UNSUCCESSFUL, start_);
    EXPECT_EQ(1, doubles::Core().inits);
    EXPECT_EQ(Device(), ipc_->Device);
    EXPECT_EQ(Device(), IpcGetCurrentDevice(nullptr));
    EXPECT_EQ(IPC_COLD_BOOT_DONE, ipc_->ColdBootCompleted);
    EXPECT_FALSE(ipc_->HardwarePrepared);
    for (PLIST_ENTRY list : {&ipc_->SioFunctions, &ipc_->NetLinks, &ipc_->HostResponses, &ipc_->ModemMessages})
        EXPECT_TRUE(IsListEmpty(list));
    EXPECT_NE(nullptr, ipc_->ListLock);
    EXPECT_NE(nullptr, ipc_->WatchdogTimer);
    EXPECT_NE(nullptr, ipc_->ReadCompleteLock);
    EXPECT_FALSE(IpcShouldTerminateThreads(nullptr));

    EXPECT_EQ(STATUS_SUCCESS, IpcCleanup(Device()));
    EXPECT_EQ((std::vector<PLIST_ENTRY>{&ipc_->SioFunctions, &ipc_->NetLinks}), doubles::DeactivatedLists());
    EXPECT_TRUE(IpcShouldTerminateThreads(nullptr));
    EXPECT_NE(0, KeReadStateEvent(IpcGetTerminateThreadsEvent()));
}

// A host-interface thread that ends some time after it was told to, or only when the test lets it.
struct SlowThread {
    KEVENT release;
    bool wait_for_release = false;
    std::atomic<bool> ended{false};
};

void SlowThreadRoutine(PVOID argument)
{
    auto* thread = static_cast<SlowThread*>(argument);
    KeWaitForSingleObject(IpcGetTerminateThreadsEvent(), Executive, KernelMode, FALSE, nullptr);
    if (thread->wait_for_release)
        KeWaitForSingleObject(&thread->release, Executive, KernelMode, FALSE, nullptr);
    else
        msleep(500);
    thread->ended = true;
}

TEST_F(IpcContextTest, CleanUpReturnsOnlyOnceTheThreadsHaveEndedOrAfterItsBound)
{
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck ? "stuck" : "slow");
        const UCHAR run = 0;
        IpcShouldTerminateThreads(&run);
        SlowThread slow;
        KeInitializeEvent(&slow.release, NotificationEvent, FALSE);
        slow.wait_for_release = stuck;
        HANDLE handle = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, win_create_thread(&handle, SlowThreadRoutine, &slow));
        size_t stuckTraces = host::TraceFind("threads still running").size();
        LONGLONG before = host::ClockNow();

        EXPECT_EQ(STATUS_SUCCESS, IpcCleanup(Device()));
        EXPECT_EQ(!stuck, slow.ended.load());
        EXPECT_EQ(stuck ? 1u : 0u, host::TraceFind("threads still running").size() - stuckTraces);
        if (stuck) {
            EXPECT_EQ(10000 * 10000LL, host::ClockNow() - before);
        }
        KeSetEvent(&slow.release, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(win_wait_threads_ended(-1000 * 10000LL));
        EXPECT_TRUE(slow.ended.load());
        ZwClose(handle);
    }
}

TEST_F(IpcContextTest, ARestartOfTheSameDeviceStartsFromAClearContextWithItsOldWatchdogStopped)
{
    ipc_->State = IpcModemStateReset; // would ignore every report of the new start
    ipc_->EventDeferred = TRUE;
    ipc_->MbimOpen = TRUE;
    ipc_->MbimOpenDoneSeen = 1;
    ipc_->ColdBootCompleted = IPC_COLD_BOOT_RUNNING;
    ipc_->RguResetDelay = TRUE;
    ipc_->HardwarePrepared = TRUE;
    IpcModemWatchdogStart(ipc_, 1000);
    IpcCleanup(Device());

    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcInit(Device()));
    EXPECT_EQ(ipc_, GetIpcContext(Device()));
    EXPECT_EQ(ULONG(IpcModemStateNone), ipc_->State);
    EXPECT_FALSE(ipc_->EventDeferred);
    EXPECT_FALSE(ipc_->MbimOpen);
    EXPECT_EQ(0, ipc_->MbimOpenDoneSeen);
    EXPECT_EQ(IPC_COLD_BOOT_DONE, ipc_->ColdBootCompleted);
    EXPECT_FALSE(ipc_->RguResetDelay);
    EXPECT_FALSE(ipc_->HardwarePrepared);
    EXPECT_EQ(0, ipc_->WatchdogStarted);
    EXPECT_FALSE(IpcShouldTerminateThreads(nullptr));
    host::ClockAdvance(5000 * 10000LL);
    EXPECT_EQ(0u, WatchdogExpiries());
    // The new timer works.
    IpcModemWatchdogStart(ipc_, 1000);
    host::ClockAdvance(2000 * 10000LL);
    EXPECT_EQ(1u, WatchdogExpiries());
}

TEST_F(IpcContextTest, ColdBootCountsAsCompletedOnlyWhenReportedSo)
{
    // Power lost in a system suspend: the modem boots from cold again.
    for (USHORT value : {IPC_COLD_BOOT_RUNNING, IPC_COLD_BOOT_DONE, IPC_COLD_BOOT_POWER_LOST}) {
        ipc_->ColdBootCompleted = value;
        EXPECT_EQ(value == IPC_COLD_BOOT_DONE, IpcColdBootCompleted(ipc_)) << value;
    }
}

TEST_F(IpcContextTest, PrepareHardwareWithoutADeviceRecordFailsAndReleaseDoesNothing)
{
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcEvtPrepareHardware(Device(), nullptr, nullptr));
    EXPECT_TRUE(ipc_->HardwarePrepared);
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtReleaseHardware(Device()));
}

TEST_F(IpcContextTest, SuspendClearsTheResumeEventForSystemPowerActionsAndChecksAerOnlyAtFinalD3)
{
    struct Case {
        const char* name;
        ULONG target;
        BOOLEAN idle;
        bool reset;
        int result;
        bool resume_cleared;
        bool aer;
    };
    const Case cases[] = {
        {"idle", 4, TRUE, false, 0, false, false},
        {"system", 4, FALSE, false, 0, true, false},
        {"final", IPC_PCI_POWER_D3_FINAL, FALSE, false, 0, true, true},
        {"final during a reset", IPC_PCI_POWER_D3_FINAL, FALSE, true, 0, true, false},
        {"system, refused", 4, FALSE, false, -1, true, false},
        {"idle, refused", 4, TRUE, false, -1, false, false},
    };
    WithRecord();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_pm.calls.clear();
        g_pm.result = c.result;
        KeSetEvent(&pdev_.ResumeEvent, IO_NO_INCREMENT, FALSE);
        pdev_.PowerState = IPC_PCI_POWER_D0;
        Context()->DeviceState = c.reset ? MBB_DEVICE_STATE_PLDR_REQUESTED : MBB_DEVICE_STATE_READY;
        IpcModemWatchdogStart(ipc_, 60000);
        size_t aer = AerChecks();

        NTSTATUS status = IpcEvtSuspendHandler(Device(), c.target, c.idle);
        EXPECT_EQ(std::vector<int>{0}, g_pm.calls);
        EXPECT_EQ(c.target, pdev_.TargetPowerState);
        EXPECT_EQ(c.idle, pdev_.Idle);
        EXPECT_EQ(c.resume_cleared ? 0 : 1, KeReadStateEvent(&pdev_.ResumeEvent) != 0 ? 1 : 0);
        EXPECT_EQ(c.aer ? 1u : 0u, AerChecks() - aer);
        if (c.result == 0) {
            EXPECT_EQ(STATUS_SUCCESS, status);
            EXPECT_EQ(c.target, pdev_.PowerState);
            EXPECT_EQ(0, ipc_->WatchdogStarted);
        } else {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
            EXPECT_EQ(ULONG(IPC_PCI_POWER_D0), pdev_.PowerState);
            EXPECT_EQ(1, ipc_->WatchdogStarted);
            IpcModemWatchdogStop(ipc_);
        }
    }
}

TEST_F(IpcContextTest, ASuccessfulResumeRunsTheDeferredEventOnceAndAFailedOneKeepsIt)
{
    WithRecord();
    ipc_->State = IpcModemStateCdReady;
    ipc_->EventDeferred = TRUE;
    pdev_.PowerState = 4;
    KeClearEvent(&pdev_.ResumeEvent);

    g_pm.result = -1;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcEvtResumeHandler(Device(), 4));
    host::Quiesce();
    EXPECT_TRUE(g_events.empty());
    EXPECT_TRUE(ipc_->EventDeferred);

    g_pm.result = 0;
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtResumeHandler(Device(), 4));
    host::Quiesce();
    EXPECT_EQ(std::vector<MODEM_EVENT>{ModemEventCdReady}, g_events);
    EXPECT_FALSE(ipc_->EventDeferred);
    EXPECT_EQ(4u, pdev_.PreviousPowerState);
    EXPECT_EQ(ULONG(IPC_PCI_POWER_D0), pdev_.PowerState);
    EXPECT_EQ(ULONG(IPC_PCI_POWER_D0), pdev_.TargetPowerState);
    EXPECT_NE(0, KeReadStateEvent(&pdev_.ResumeEvent));

    EXPECT_EQ(STATUS_SUCCESS, IpcEvtResumeHandler(Device(), 4));
    host::Quiesce();
    EXPECT_EQ(1u, g_events.size());

    // Resume without interrupts ignores the operation's answer.
    g_pm.calls.clear();
    g_pm.result = -1;
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtResumeNoIrq(Device()));
    EXPECT_EQ(std::vector<int>{2}, g_pm.calls);
}

TEST_F(IpcContextTest, ALogDumpNeedsTheLogPortOpenAndTheModemInItsException)
{
    struct Case {
        u32 open_flags;
        u32 md_state;
        bool dump;
    };
    const Case cases[] = {
        {1u << 2, MD_STATE_EXCEPTION, true},
        {1u << 2, MD_STATE_READY, false},
        {~(1u << 2), MD_STATE_EXCEPTION, false},
        {0, MD_STATE_EXCEPTION, false},
    };
    for (const Case& c : cases) {
        doubles::SetProxyOpenFlags(c.open_flags);
        doubles::FsmState().md_state = c.md_state;
        EXPECT_EQ(c.dump, IpcMDLogDump() != FALSE) << std::hex << c.open_flags << " " << c.md_state;
    }
    doubles::SetProxyOpenFlags(0);

    doubles::FsmState() = {};
    EXPECT_EQ(STATUS_SUCCESS, IpcSetModemLogDumpDone());
    doubles::FsmState().ioctl_result = -1;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSetModemLogDumpDone());
    ASSERT_EQ(2u, doubles::FsmState().ioctls.size());
    EXPECT_EQ(0u, doubles::FsmState().ioctls[0].md_id);
    EXPECT_EQ(0x20004338u, doubles::FsmState().ioctls[0].code);
    EXPECT_EQ(0u, doubles::FsmState().ioctls[0].argument);
}

TEST(IpcFlags, BootRomDownloadFlagKeepsAnyNonZeroAsSet)
{
    IpcSetBromDLFlag(7);
    EXPECT_EQ(TRUE, IpcGetBromDLFlag());
    IpcSetBromDLFlag(FALSE);
    EXPECT_EQ(FALSE, IpcGetBromDLFlag());
}

} // namespace
