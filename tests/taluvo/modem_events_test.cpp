// Modem events: reports to IPC states and events, deferral outside D0, the watchdog, and what each
// event does to the device, the port functions and the registry.
#include "device_fixture.h"

#include "host_test.h"

#include <host/host.h>
#include <host/registry.h>
#include <host/trace.h>

#include <string.h>

#include <optional>
#include <thread>

#include "Driver.h"
#include "IpcPcie.h"
#include "ModemEvents.h"
#include "Registry.h"
#include "log_dump.h"
#include "modem_event_actions.h"
#include "port_registry.h"

namespace
{

using doubles::Actions;

constexpr ULONG kLong = 7200000;

struct RaisedEvent {
    MODEM_EVENT event;
    std::thread::id thread;
};
std::vector<RaisedEvent> g_events;

NTSTATUS RecordEvent(WDFDEVICE, MODEM_EVENT Event)
{
    g_events.push_back({Event, std::this_thread::get_id()});
    return STATUS_SUCCESS;
}

std::vector<MODEM_EVENT> Events()
{
    std::vector<MODEM_EVENT> events;
    for (const RaisedEvent& raised : g_events)
        events.push_back(raised.event);
    return events;
}

void Report(const char* text)
{
    IpcNetlinkIndicate(text, int(strlen(text) + 1));
}

std::optional<ULONG> Status(std::u16string_view key, std::u16string_view name)
{
    std::optional<host::RegistryValue> value = host::RegistryGetValue(key, name);
    if (!value || value->data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG result;
    memcpy(&result, value->data.data(), sizeof(result));
    return result;
}

class ModemEventsTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        Actions() = {};
        doubles::Ports() = {};
        IpcSetBromDLFlag(TRUE);
        g_events.clear();
        ipc_ = AddIpcContext();
        pci_.PowerState = IPC_PCI_POWER_D0;
        ipc_->PciDevice = &pci_;
        ipc_->EventCallback = RecordEvent;
        for (const char16_t* key : {MBB_FLASH_SERVICE_KEY, MBB_DUMP_SERVICE_KEY, MBB_TOOL_SERVICE_KEY})
            ASSERT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(key));
    }

    void TearDown() override
    {
        IpcModemWatchdogStop(ipc_);
        DeviceTest::TearDown();
    }

    // A registered port function of a type, found by IpcGetPortFnContextSio.
    PIPC_PORT_FUNCTION Register(ULONG type)
    {
        functions_.emplace_back(std::make_unique<IPC_PORT_FUNCTION>());
        PIPC_PORT_FUNCTION function = functions_.back().get();
        *function = IPC_PORT_FUNCTION{};
        function->FunctionType = type;
        function->Device = Device();
        function->Kind = 1;
        doubles::Ports().functions[type] = function;
        return function;
    }

    void InD0(bool d0) { pci_.PowerState = d0 ? IPC_PCI_POWER_D0 : 4; }
    bool WatchdogStarted() { return ReadAcquire(&ipc_->WatchdogStarted) != 0; }
    size_t Expiries() { return host::TraceFind("modem watchdog expired").size(); }

    PIPC_CONTEXT ipc_ = nullptr;
    IPC_PCI_DEVICE pci_ = {};
    std::vector<std::unique_ptr<IPC_PORT_FUNCTION>> functions_;
};

// ---- reports

TEST_F(ModemEventsTest, EachReportSetsItsStateAndRaisesItsEvent)
{
    struct Case {
        const char* report;
        ULONG state;
        MODEM_EVENT event;
        std::vector<ULONG> idle;
        bool watchdog; // running after the event
    };
    const Case cases[] = {
        {"MDM_NOT_READY", 1, ModemEventNotReady, {}, false},
        {"ROM_READY", 2, ModemEventRomReady, {kLong}, true}, // a running watchdog is left alone
        {"MDM_READY", 3, ModemEventReady, {}, false},
        {"CRASH", 4, ModemEventCrash, {kLong}, true},
        {"CD_READY", 5, ModemEventCdReady, {kLong}, false},
        {"WARM_RESET", 8, ModemEventFunctionReset, {kLong}, false},
        {"RESET", 7, ModemEventPlatformReset, {kLong}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        ipc_->State = IpcModemStateNone;
        IpcModemWatchdogStart(ipc_, 60000);
        Actions().idleTimeouts.clear();
        g_events.clear();
        Report(c.report);
        host::Quiesce();
        EXPECT_EQ(c.state, ipc_->State);
        EXPECT_EQ(std::vector<MODEM_EVENT>{c.event}, Events());
        EXPECT_EQ(c.idle, Actions().idleTimeouts);
        EXPECT_EQ(c.watchdog, WatchdogStarted());
        EXPECT_FALSE(ipc_->EventDeferred);
        IpcModemWatchdogStop(ipc_);
    }
}

TEST_F(ModemEventsTest, OnlyTheExactStringMatches)
{
    IpcNetlinkIndicate("MDM_READY", 4);        // a prefix
    IpcNetlinkIndicate("MDM_READY\0tail", 15); // longer than the string
    IpcNetlinkIndicate("MDM_NOT_READY", 10);   // would read past "MDM_READY" if compared over it
    IpcNetlinkIndicate(nullptr, 10);
    IpcNetlinkIndicate("CRASH", 0);
    Report("SOMETHING_ELSE");
    host::Quiesce();
    EXPECT_EQ(IpcModemStateNone, ipc_->State);
    EXPECT_TRUE(Events().empty());
}

TEST_F(ModemEventsTest, FlagReportsChangeNoState)
{
    ipc_->State = IpcModemStateReady;
    ipc_->MbimOpenDoneSeen = 1;
    ipc_->ColdBootCompleted = 1;
    Report("MDM_COLD_BOOT_STARTED");
    EXPECT_EQ((std::vector<ULONG>{kLong}), Actions().idleTimeouts);
    EXPECT_EQ(0, ipc_->MbimOpenDoneSeen);
    EXPECT_EQ(0, ipc_->ColdBootCompleted);

    // In ROM ready the idle time-out stays, the flags still clear.
    ipc_->State = IpcModemStateRomReady;
    ipc_->MbimOpenDoneSeen = 1;
    ipc_->ColdBootCompleted = 1;
    Report("MDM_COLD_BOOT_STARTED");
    EXPECT_EQ(1u, Actions().idleTimeouts.size());
    EXPECT_EQ(0, ipc_->MbimOpenDoneSeen);
    EXPECT_EQ(0, ipc_->ColdBootCompleted);

    Report("MDM_COLD_BOOT_COMPLETED");
    EXPECT_EQ((std::vector<ULONG>{kLong, 5000}), Actions().idleTimeouts);
    EXPECT_EQ(1, ipc_->ColdBootCompleted);
    Report("RGU_RESET_DELAY");
    Report("SSVID_RESET_DELAY");
    EXPECT_TRUE(ipc_->RguResetDelay);
    EXPECT_TRUE(ipc_->SsvidResetDelay);
    host::Quiesce();
    EXPECT_EQ(IpcModemStateRomReady, ipc_->State);
    EXPECT_TRUE(Events().empty());
}

TEST_F(ModemEventsTest, AfterResetEveryReportIsIgnored)
{
    Report("RESET");
    host::Quiesce();
    g_events.clear();
    for (const char* report : {"RGU_RESET_DELAY", "MDM_READY", "MINIDUMP", "MDM_COLD_BOOT_COMPLETED"})
        Report(report);
    host::Quiesce();
    EXPECT_EQ(IpcModemStateReset, ipc_->State);
    EXPECT_FALSE(ipc_->RguResetDelay);
    EXPECT_EQ(0, ipc_->ColdBootCompleted);
    EXPECT_TRUE(Events().empty());
}

TEST_F(ModemEventsTest, RomReadyTwiceRaisesOneEvent)
{
    Report("ROM_READY");
    Report("ROM_READY");
    host::Quiesce();
    EXPECT_EQ(std::vector<MODEM_EVENT>{ModemEventRomReady}, Events());
}

// Ready again keeps the device ready: the ready event runs again, at once, never the ROM-ready one.
TEST_F(ModemEventsTest, ReadyAgainRunsTheReadyEventOnTheReportingThread)
{
    Report("MDM_READY");
    host::Quiesce();
    g_events.clear();
    Report("MDM_READY");
    ASSERT_EQ(std::vector<MODEM_EVENT>{ModemEventReady}, Events());
    EXPECT_EQ(std::this_thread::get_id(), g_events[0].thread);
    host::Quiesce();
    EXPECT_EQ(1u, g_events.size());
}

TEST_F(ModemEventsTest, MinidumpRunsAtOnceInAnyPowerState)
{
    InD0(false);
    Report("MINIDUMP");
    ASSERT_EQ(std::vector<MODEM_EVENT>{ModemEventMinidump}, Events());
    EXPECT_EQ(std::this_thread::get_id(), g_events[0].thread);
    EXPECT_FALSE(ipc_->EventDeferred);

    ipc_->EventCallback = IpcEvtModemState;
    Report("MINIDUMP");
    EXPECT_EQ(1u, Status(MBB_TOOL_SERVICE_KEY, u"MiniDumpStatus"));
}

TEST_F(ModemEventsTest, OutsideD0OnlyTheLatestStateRunsAtTheNextResume)
{
    InD0(false);
    Report("MDM_NOT_READY");
    Report("MDM_READY");
    host::Quiesce();
    EXPECT_EQ(IpcModemStateReady, ipc_->State);
    EXPECT_TRUE(ipc_->EventDeferred);
    EXPECT_TRUE(Events().empty());

    // What a successful resume does with a deferred event.
    InD0(true);
    IpcNetLinkExecute(ipc_);
    host::Quiesce();
    EXPECT_EQ(std::vector<MODEM_EVENT>{ModemEventReady}, Events());
}

TEST_F(ModemEventsTest, AReportAtDispatchLevelIsHandledWholeAtPassiveLevel)
{
    ipc_->State = IpcModemStateReady;
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    Report("WARM_RESET");
    KeLowerIrql(previous);
    host::Quiesce();
    // Handled inline, the idle update would have run at DISPATCH_LEVEL.
    EXPECT_EQ(IpcModemStateWarmReset, ipc_->State);
    EXPECT_EQ(std::vector<KIRQL>{PASSIVE_LEVEL}, Actions().idleIrqls);
    EXPECT_EQ(std::vector<MODEM_EVENT>{ModemEventFunctionReset}, Events());
}

TEST_F(ModemEventsTest, WithoutAHandlerEventsOnlyTrace)
{
    ipc_->EventCallback = nullptr;
    Report("MDM_READY");
    Report("MINIDUMP");
    host::Quiesce();
    EXPECT_EQ(IpcModemStateReady, ipc_->State);
}

// ---- the watchdog

TEST_F(ModemEventsTest, WatchdogStartsOnceAndAfterExpiryOnlyAfterAStop)
{
    host::TraceClear();
    IpcModemWatchdogStart(ipc_, 1000);
    IpcModemWatchdogStart(ipc_, 1000);
    host::ClockAdvance(3000 * 10000LL);
    EXPECT_EQ(1u, Expiries());

    IpcModemWatchdogStart(ipc_, 1000); // the expired one still counts as started
    host::ClockAdvance(3000 * 10000LL);
    EXPECT_EQ(1u, Expiries());

    IpcModemWatchdogStop(ipc_);
    IpcModemWatchdogStart(ipc_, 1000);
    host::ClockAdvance(3000 * 10000LL);
    EXPECT_EQ(2u, Expiries());

    IpcModemWatchdogStart(nullptr, 1000);
    IpcModemWatchdogStop(nullptr);
}

TEST_F(ModemEventsTest, CrashThenCoreDumpReadyStopsTheWatchdogAndPlugsTheDumpChild)
{
    ipc_->EventCallback = IpcEvtModemState;
    PIPC_PORT_FUNCTION dump = Register(IPC_FN_FULL_RAM_DUMP);
    Context()->IsDumping = TRUE;
    Report("CRASH");
    host::Quiesce();
    EXPECT_TRUE(WatchdogStarted());
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_CRASH), Context()->DeviceState);

    host::TraceClear();
    Report("MDM_COLD_BOOT_COMPLETED");
    Report("CD_READY");
    host::Quiesce();
    EXPECT_FALSE(WatchdogStarted());
    host::ClockAdvance(20000 * 10000LL);
    EXPECT_EQ(0u, Expiries());
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{5, IPC_FN_FULL_RAM_DUMP}}), Actions().setups);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), dump->State);
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_CD_READY), Context()->DeviceState);
    EXPECT_FALSE(Context()->IsDumping);
    EXPECT_EQ(0u, Status(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus"));
}

TEST_F(ModemEventsTest, CrashThenResetStopsTheWatchdogAndRequestsAPlatformReset)
{
    ipc_->EventCallback = IpcEvtModemState;
    Report("CRASH");
    host::Quiesce();
    ASSERT_TRUE(WatchdogStarted());
    Report("RESET");
    host::Quiesce();
    EXPECT_FALSE(WatchdogStarted());
    EXPECT_EQ(1, Actions().pldr);
    Report("MDM_READY");
    host::Quiesce();
    EXPECT_EQ(IpcModemStateReset, ipc_->State);
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_CRASH), Context()->DeviceState);
}

// ---- the event handler

class ModemEventHandlerTest : public ModemEventsTest
{
  protected:
    void SetUp() override
    {
        ModemEventsTest::SetUp();
        ipc_->EventCallback = IpcEvtModemState;
    }
};

TEST_F(ModemEventHandlerTest, ReadyConnectsEveryRegisteredFunctionAndTheNetworkLink)
{
    for (ULONG type : {IPC_FN_AT, IPC_FN_MBIM, IPC_FN_GNSS, IPC_FN_FLASH})
        Register(type);
    Register(IPC_FN_MD_LOG)->State = IPC_FN_STATE_OPEN;
    IPC_PORT_FUNCTION link = {};
    link.FunctionType = IPC_FN_NET_LINK;
    link.Device = Device();
    InsertTailList(&ipc_->NetLinks, &link.Link);

    EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventReady));
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_READY), Context()->DeviceState);
    // In the event's order; the flash function, the open modem log and the link get no child.
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{3, IPC_FN_MBIM}, {7, IPC_FN_AT}, {6, IPC_FN_GNSS}}),
              Actions().setups);
    EXPECT_EQ((std::vector<ULONG>{IPC_FN_MBIM, IPC_FN_AT, IPC_FN_GNSS, IPC_FN_NET_LINK}), Actions().peers);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), link.State);
    EXPECT_EQ(ULONG(IPC_FN_STATE_OPEN), doubles::Ports().functions[IPC_FN_MD_LOG]->State);
    EXPECT_EQ(ULONG(IPC_FN_STATE_REGISTERED), doubles::Ports().functions[IPC_FN_FLASH]->State);
    PIPC_PORT_FUNCTION mbim = doubles::Ports().functions[IPC_FN_MBIM];
    EXPECT_EQ(MbimCpReadComplete, mbim->Ops.MbimReadComplete);
    EXPECT_EQ(PortCompleteRequest, mbim->Ops.RequestComplete);
    EXPECT_EQ(PortCompleteRequestCb, mbim->Ops.RequestCompleteSecond);
    EXPECT_NE(nullptr, doubles::Ports().functions[IPC_FN_AT]->Ops.Receive);
    EXPECT_TRUE(Context()->Functions[WwanComAt].Connected);
    EXPECT_EQ((std::vector<ULONG>{5000}), Actions().idleTimeouts);
    EXPECT_EQ(1, Actions().sxWake);

    // Again: nothing is connected twice.
    Actions().setups.clear();
    Actions().peers.clear();
    IpcEvtModemState(Device(), ModemEventReady);
    EXPECT_TRUE(Actions().setups.empty());
    EXPECT_TRUE(Actions().peers.empty());
}

TEST_F(ModemEventHandlerTest, ReadyWithAnExistingChildOnlyLinksThePeers)
{
    PIPC_PORT_FUNCTION at = Register(IPC_FN_AT);
    Context()->Functions[WwanComAt].Connected = TRUE;
    IpcEvtModemState(Device(), ModemEventReady);
    EXPECT_TRUE(Actions().setups.empty());
    EXPECT_EQ(std::vector<ULONG>{IPC_FN_AT}, Actions().peers);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), at->State);
}

TEST_F(ModemEventHandlerTest, AFailedInterfaceLeavesTheFunctionUnlinked)
{
    PIPC_PORT_FUNCTION npt = Register(IPC_FN_NPT);
    Actions().setupResult = -12;
    IpcEvtModemState(Device(), ModemEventReady);
    EXPECT_TRUE(Actions().peers.empty());
    EXPECT_FALSE(Context()->Functions[WwanComNpt].Connected);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), npt->State);
}

TEST_F(ModemEventHandlerTest, ReadyAfterFlashingOrDumpingResetsInsteadOfConnecting)
{
    struct Case {
        const char* what;
        BOOLEAN flashing;
        BOOLEAN dumping;
    };
    for (const Case& c : {Case{"flashing", TRUE, FALSE}, Case{"dumping", FALSE, TRUE}}) {
        SCOPED_TRACE(c.what);
        Actions() = {};
        doubles::Ports() = {};
        IpcSetBromDLFlag(TRUE);
        Register(IPC_FN_AT);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 1));
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus", 1));
        Context()->DeviceState = MBB_DEVICE_STATE_STARTED;
        Context()->IsFlashing = c.flashing;
        Context()->IsDumping = c.dumping;
        Context()->IpcInUse = TRUE;
        ipc_->State = IpcModemStateReady;

        EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventReady));
        EXPECT_TRUE(Actions().setups.empty());
        EXPECT_EQ(ULONG(MBB_DEVICE_STATE_STARTED), Context()->DeviceState);
        EXPECT_EQ(1, Actions().pldr);
        EXPECT_EQ(IpcModemStateReset, ipc_->State);
        EXPECT_FALSE(Context()->IsFlashing);
        EXPECT_FALSE(Context()->IsDumping);
        EXPECT_EQ(c.flashing ? 0u : 1u, Status(MBB_FLASH_SERVICE_KEY, u"FlashingStatus"));
        EXPECT_EQ(c.dumping ? 0u : 1u, Status(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus"));
        EXPECT_EQ(!c.flashing, IpcGetBromDLFlag());
    }
}

TEST_F(ModemEventHandlerTest, RomReadyPlugsTheFlashChildAndClearsTheFlashingRequest)
{
    PIPC_PORT_FUNCTION flash = Register(IPC_FN_FLASH);
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 1));
    Context()->IsFlashing = TRUE;
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventRomReady));
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{4, IPC_FN_FLASH}}), Actions().setups);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), flash->State);
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_ROM_READY), Context()->DeviceState);
    EXPECT_EQ((std::vector<ULONG>{kLong}), Actions().idleTimeouts);
    EXPECT_FALSE(Context()->IsFlashing);
    EXPECT_EQ(0u, Status(MBB_FLASH_SERVICE_KEY, u"FlashingStatus"));
    EXPECT_FALSE(IpcGetBromDLFlag());
}

TEST_F(ModemEventHandlerTest, CrashSetsTheDumpRequestOnlyWhenConfiguredAndNoLogDump)
{
    struct Case {
        ULONG config;
        BOOLEAN logDump;
        ULONG status;
    };
    const Case cases[] = {{1, FALSE, 1}, {1, TRUE, 0}, {2, FALSE, 0}};
    std::optional<host::RegistryValue> driver =
        host::RegistryGetValue(std::u16string(host::kEnumKey) + u"\\TEST\\TALUVO\\0", u"Driver");
    ASSERT_TRUE(driver.has_value());
    std::u16string key(reinterpret_cast<const char16_t*>(driver->data.data()));
    key = std::u16string(host::kClassKey) + u"\\" + key;
    for (const Case& c : cases) {
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus", 0));
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(key, u"WWANCDConfig", c.config));
        doubles::SetLogDump(c.logDump);
        EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventCrash));
        EXPECT_EQ(ULONG(MBB_DEVICE_STATE_CRASH), Context()->DeviceState);
        EXPECT_EQ(c.status, Status(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus"));
    }
}

TEST_F(ModemEventHandlerTest, ResetEventsGuardTheStateAndReturnTheResetStatus)
{
    Context()->IpcInUse = TRUE;
    Actions().resetStatus = STATUS_DEVICE_BUSY;
    ipc_->State = IpcModemStateReady;
    EXPECT_EQ(STATUS_DEVICE_BUSY, IpcEvtModemState(Device(), ModemEventFunctionReset));
    EXPECT_EQ(IpcModemStateWarmReset, ipc_->State);
    EXPECT_EQ(1, Actions().fldr);
    ipc_->State = IpcModemStateReady;
    EXPECT_EQ(STATUS_DEVICE_BUSY, IpcEvtModemState(Device(), ModemEventPlatformReset));
    EXPECT_EQ(IpcModemStateReset, ipc_->State);
    // Link down requests the reset but does not report it.
    ipc_->State = IpcModemStateCrash;
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventLinkDown));
    EXPECT_EQ(IpcModemStateCrash, ipc_->State);
    EXPECT_EQ(2, Actions().pldr);
}

TEST_F(ModemEventHandlerTest, UnhandledEventsFailAndChangeNothing)
{
    Context()->DeviceState = MBB_DEVICE_STATE_READY;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcEvtModemState(Device(), MODEM_EVENT(8)));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcEvtModemState(Device(), MODEM_EVENT(10)));
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_READY), Context()->DeviceState);
    EXPECT_TRUE(Actions().idleTimeouts.empty());
    EXPECT_EQ(0, Actions().pldr + Actions().fldr);
}

TEST_F(ModemEventHandlerTest, NotReadyGoesBackToStarted)
{
    Context()->DeviceState = MBB_DEVICE_STATE_READY;
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtModemState(Device(), ModemEventNotReady));
    EXPECT_EQ(ULONG(MBB_DEVICE_STATE_STARTED), Context()->DeviceState);
    EXPECT_EQ((std::vector<ULONG>{kLong}), Actions().idleTimeouts);
}

// ---- port functions

int g_closes;
BOOLEAN CountClose(PIPC_PORT_FUNCTION)
{
    g_closes++;
    return TRUE;
}

TEST_F(ModemEventHandlerTest, RemovingTheFlashFunctionUnlinksItsInterfaceAndClearsPortOpened)
{
    g_closes = 0;
    PIPC_PORT_FUNCTION flash = Register(IPC_FN_FLASH);
    flash->Ops.Close = CountClose;
    LIST_ENTRY list;
    InitializeListHead(&list);
    InsertTailList(&list, &flash->DeviceLink);
    Context()->Functions[WwanComFlash].PortOpened = TRUE;

    EXPECT_EQ(STATUS_SUCCESS, IpcFunctionRemove(flash));
    EXPECT_EQ(1, g_closes);
    EXPECT_TRUE(IsListEmpty(&list));
    EXPECT_EQ(std::vector<ULONG>{4}, Actions().removedInterfaces);
    EXPECT_FALSE(Context()->Functions[WwanComFlash].PortOpened);
    EXPECT_EQ(std::vector<ULONG>{IPC_FN_FLASH}, doubles::Ports().released);

    // Functions without an interface record of their own, and none at all.
    EXPECT_EQ(STATUS_SUCCESS, IpcFunctionRemove(Register(IPC_FN_AT)));
    EXPECT_EQ(STATUS_SUCCESS, IpcFunctionRemove(nullptr));
    EXPECT_EQ(std::vector<ULONG>{4}, Actions().removedInterfaces);
}

TEST_F(ModemEventHandlerTest, LinkLookupTakesTheFirstOfItsType)
{
    IPC_PORT_FUNCTION first = {}, second = {}, other = {};
    first.FunctionType = second.FunctionType = IPC_FN_NET_LINK;
    other.FunctionType = IPC_FN_AT;
    InsertTailList(&ipc_->NetLinks, &other.Link);
    InsertTailList(&ipc_->NetLinks, &first.Link);
    InsertTailList(&ipc_->NetLinks, &second.Link);
    EXPECT_EQ(&first, RetrieveIpcLinkFnContext(ipc_->ListLock, &ipc_->NetLinks, IPC_FN_NET_LINK));
    EXPECT_EQ(nullptr, RetrieveIpcLinkFnContext(ipc_->ListLock, &ipc_->NetLinks, IPC_FN_MBIM));
    LIST_ENTRY never = {};
    EXPECT_EQ(nullptr, RetrieveIpcLinkFnContext(ipc_->ListLock, &never, IPC_FN_NET_LINK));
}

TEST(PortCompletionTest, ACompletionWithoutARequestFails)
{
    PORT_REQUEST block = {};
    PORT_REFERENCE reference = {&block, 0};
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortCompleteRequest(nullptr));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortCompleteRequest(&reference));
    block.Request = reinterpret_cast<WDFREQUEST>(&block);
    EXPECT_EQ(STATUS_SUCCESS, PortCompleteRequest(&reference));
    EXPECT_EQ(STATUS_SUCCESS, PortCompleteRequestCb(&reference));
}

} // namespace
