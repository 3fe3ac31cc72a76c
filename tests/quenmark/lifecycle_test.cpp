// Registration, attach with its undo, restart and pause, power events, pre-detach at removal and detach.
#include "filter_fixture.h"
#include "host_test.h"

#include <host/host.h>
#include <host/io.h>
#include <host/loader.h>
#include <host/pool.h>

using namespace quenmarktest;

namespace
{

constexpr ULONG64 kOsId = 0x1001;

class LifecycleTest : public FilterTest
{
};

TEST_F(LifecycleTest, AttachAcceptsOnlyEthernetWanAndWirelessWanAndLeavesNothingBehindOtherwise)
{
    const struct {
        NDIS_MEDIUM medium;
        NDIS_STATUS expected;
    } cases[] = {
        {NdisMedium802_3, NDIS_STATUS_SUCCESS}, {NdisMediumWan, NDIS_STATUS_SUCCESS},
        {NdisMediumWirelessWan, NDIS_STATUS_SUCCESS}, {NdisMedium802_5, NDIS_STATUS_INVALID_PARAMETER},
        {NdisMediumNative802_11, NDIS_STATUS_INVALID_PARAMETER}, {NdisMediumIP, NDIS_STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.medium);
        EXPECT_EQ(c.expected, Attach(c.medium));
        bool attached = c.expected == NDIS_STATUS_SUCCESS;
        EXPECT_EQ(attached, module != nullptr);
        EXPECT_EQ(attached ? 3 : 0, RunningWorkers());
        EXPECT_EQ(attached ? host::ndis::ModuleState::Paused : host::ndis::ModuleState::None,
                  host::ndis::BindState(edge->Edge()));
        edge.reset();
        EXPECT_EQ(0u, FilterAllocations());
        EXPECT_EQ(0, RunningWorkers());
    }
}

TEST_F(LifecycleTest, AnAttachedModuleIsPausedRestrictedPublishedTwoAndWaitsForTheFirstWwanOid)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    EXPECT_EQ(ULONG(FILTER_STATE_PAUSED), module->State);
    EXPECT_EQ(ULONG(WORKING_MODE_RESTRICTED), module->WorkingMode);
    EXPECT_EQ(2u, module->PublishedMode);
    EXPECT_EQ(ULONG(MODE_FLAGS_TARGET), module->ModeFlags);
    EXPECT_EQ(1, module->SyncInProgress);
    EXPECT_EQ(ISDR_CHANNEL_NONE, module->IsdrChannel);
    EXPECT_EQ(2u, module->SlotIndex);
    EXPECT_EQ(ULONG64(OID_CACHE_ENTRIES), module->OidCacheCount);
    EXPECT_EQ(LONG(SYNC_EVT_QUERY_PCIOT), module->SyncBits);
    EXPECT_EQ(1, Wakes(&module->SyncWorker));
    EXPECT_TRUE(mbim.Commands().empty()); // nothing is asked of the modem yet
    EXPECT_EQ(0, KeReadStateEvent(&module->FirstWwanOidEvent.Event));

    // A non-WWAN OID passes; the first WWAN OID is held and releases the sync.
    peers::MiniportEdge::Rule rule;
    rule.bytes = 4;
    edge->Script(OID_GEN_LINK_SPEED, rule);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_LINK_SPEED, 8, kOsId));
    ASSERT_TRUE(os.CompletionOf(kOsId));
    EXPECT_EQ(NDIS_STATUS_SUCCESS, os.CompletionOf(kOsId)->status);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS, 64, kOsId + 1));
    EXPECT_EQ(os.Request(kOsId + 1), module->ParkedRequest);
    EXPECT_NE(0, KeReadStateEvent(&module->FirstWwanOidEvent.Event));
    EXPECT_FALSE(os.CompletionOf(kOsId + 1));
}

TEST_F(LifecycleTest, EachFailingAttachStepIsUndone)
{
    const struct {
        const char* step;
        std::function<void()> arm;
        NDIS_STATUS expected;
    } cases[] = {
        {"context", [] { host::PoolFailTag(FILTER_ALLOC_TAG, 1); }, NDIS_STATUS_RESOURCES},
        {"cache", [] { host::PoolFailTag(FILTER_ALLOC_TAG, 1, 1); }, NDIS_STATUS_RESOURCES},
        {"sync worker", [] { FailStart(Worker::Sync, STATUS_INSUFFICIENT_RESOURCES); }, STATUS_INSUFFICIENT_RESOURCES},
        {"switch worker", [] { FailStart(Worker::Switch, STATUS_UNSUCCESSFUL); }, STATUS_UNSUCCESSFUL},
        {"confirm worker", [] { FailStart(Worker::Confirm, STATUS_NO_MEMORY); }, STATUS_NO_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        c.arm();
        EXPECT_EQ(c.expected, Attach());
        host::PoolFailTagClear(FILTER_ALLOC_TAG);
        EXPECT_EQ(nullptr, module);
        EXPECT_EQ(0u, FilterAllocations());
        EXPECT_EQ(0, RunningWorkers());
        edge.reset();
    }
    // The registry callback was registered and dropped again: a later module gets its own.
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    EXPECT_NE(0, module->RegistryCookie.QuadPart);
}

TEST_F(LifecycleTest, RestartRunsThePausedModuleAndPauseStopsIt)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    EXPECT_EQ(NDIS_STATUS_SUCCESS, host::ndis::BindRestart(edge->Edge()));
    EXPECT_EQ(ULONG(FILTER_STATE_RUNNING), module->State);
    EXPECT_EQ(host::ndis::ModuleState::Running, host::ndis::BindState(edge->Edge()));
    EXPECT_EQ(NDIS_STATUS_SUCCESS, host::ndis::BindPause(edge->Edge()));
    EXPECT_EQ(ULONG(FILTER_STATE_PAUSED), module->State);
    EXPECT_EQ(NDIS_STATUS_INVALID_PARAMETER, FilterSetOptions(nullptr, driver));
    EXPECT_EQ(NDIS_STATUS_SUCCESS, FilterSetOptions(FilterDriverHandle, driver));
}

TEST_F(LifecycleTest, PowerEventsFollowTheResyncRules)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    // The very first event never resyncs, even D0 after nothing.
    Settle(WORKING_MODE_NORMAL);
    module->SyncBits = 0;
    EXPECT_EQ(NDIS_STATUS_SUCCESS, os.SetPower(NdisDeviceStateD0));
    EXPECT_EQ(0, module->SyncInProgress);
    EXPECT_EQ(0, module->FirstPowerEvent);

    // D3 publishes the restricted mode; D0 after it resyncs.
    EXPECT_EQ(NDIS_STATUS_SUCCESS, os.SetPower(NdisDeviceStateD3));
    EXPECT_EQ(ULONG(WORKING_MODE_RESTRICTED), module->WorkingMode);
    EXPECT_EQ(2u, module->PublishedMode);
    EXPECT_EQ(0, module->SyncInProgress);
    EXPECT_EQ(NDIS_STATUS_SUCCESS, os.SetPower(NdisDeviceStateD0));
    EXPECT_EQ(1, module->SyncInProgress);
    EXPECT_EQ(LONG(SYNC_EVT_QUERY_PCIOT), module->SyncBits);

    // D0 after D2 while a sync runs, or with the modem not a target, does not start another one.
    const struct {
        UCHAR syncing;
        ULONG flags;
    } cases[] = {{1, MODE_FLAGS_TARGET}, {0, MODE_FLAG_PCIOT}};
    for (const auto& c : cases) {
        module->SyncBits = 0;
        module->SyncInProgress = c.syncing;
        module->ModeFlags = c.flags;
        os.SetPower(NdisDeviceStateD2);
        os.SetPower(NdisDeviceStateD0);
        EXPECT_EQ(0, module->SyncBits);
        EXPECT_EQ(ULONG(NdisDeviceStateD0), module->LastPowerState);
    }
}

TEST_F(LifecycleTest, RemovalTellsTheModemAndWaitsForTheNormalModeAtMostThirtyPolls)
{
    const struct {
        const char* name;
        ULONG modeAtPoll; // the poll after which the modem reports the normal mode (0: never)
        size_t polls;
    } cases[] = {{"already normal", 1, 1}, {"after five polls", 5, 5}, {"never", 0, 30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        if (driver == nullptr) {
            ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(kService, &driver));
        }
        ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
        Settle(WORKING_MODE_RESTRICTED);
        // A held OS request is cancelled first.
        ULONG64 id = kOsId + c.polls;
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_CONNECT, peers::wwanbuf::Connect(1), id));
        PFILTER_MODULE_CONTEXT removed = module;
        if (c.modeAtPoll == 1)
            WriteULongRelease(&removed->WorkingMode, WORKING_MODE_NORMAL);
        OnSleep([&, removed] {
            if (Sleeps().size() == c.modeAtPoll)
                WriteULongRelease(&removed->WorkingMode, WORKING_MODE_NORMAL);
        });
        LONGLONG start = host::ClockNow();
        EXPECT_EQ(0, host::DriverUnload(kService));
        driver = nullptr;
        EXPECT_EQ(c.polls, Sleeps().size());
        EXPECT_EQ(LONGLONG(c.polls) * 10'000'000, host::ClockNow() - start);
        ASSERT_TRUE(os.CompletionOf(id));
        EXPECT_EQ(STATUS_CANCELLED, os.CompletionOf(id)->status);
        EXPECT_EQ(1u, hosttest::RegistryDword(FILTER_REGISTRY_KEY_PATH, FILTER_VALUE_UNINSTALL).value_or(9));
        edge.reset();
    }
}

TEST_F(LifecycleTest, APlainDetachCancelsWhatTheModuleStillHolds)
{
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "held for an answer from the cache" : "held for the switch");
        ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
        Settle(WORKING_MODE_RESTRICTED);
        ULONG64 id = kOsId + (cached ? 1 : 0);
        if (cached) {
            NDIS_WWAN_RADIO_STATE radio{};
            NDIS_STATUS_INDICATION indication{};
            indication.StatusCode = NDIS_STATUS_WWAN_RADIO_STATE;
            indication.StatusBuffer = &radio;
            indication.StatusBufferSize = sizeof(radio);
            ASSERT_TRUE(OidCacheStore(module, &indication));
            EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_RADIO_STATE, sizeof(radio), id));
            EXPECT_NE(nullptr, module->ParkedCacheQuery);
        } else {
            EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_PIN, std::vector<UCHAR>(64), id));
            EXPECT_NE(nullptr, module->ParkedRequest);
        }
        os.Remove(); // the emulation reports a module that detaches still holding an OS request
        EXPECT_EQ(host::ndis::ModuleState::None, host::ndis::BindState(edge->Edge()));
        ASSERT_TRUE(os.CompletionOf(id));
        EXPECT_EQ(STATUS_CANCELLED, os.CompletionOf(id)->status);
        EXPECT_EQ(nullptr, CurrentModule);
        edge.reset();
    }
}

TEST_F(LifecycleTest, TheDataPathPassThroughsCountWhatIsOutstanding)
{
    ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
    NET_BUFFER_LIST lists[3] = {};
    lists[0].Next = &lists[1];
    lists[1].Next = &lists[2];
    FilterSendNetBufferLists(module, lists, 0, 0);
    FilterSendNetBufferListsComplete(module, &lists[1], 0);
    EXPECT_EQ(1, module->OutstandingSends);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    FilterReceiveNetBufferLists(module, lists, 0, 3, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
    EXPECT_EQ(3, module->OutstandingRcvs);
    FilterReturnNetBufferLists(module, lists, NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(0, module->OutstandingRcvs);
    host::ndis::DataPathCounts counts = host::ndis::EdgeDataPath(edge->Edge());
    EXPECT_EQ(1u, counts.sends);
    EXPECT_EQ(1u, counts.sendCompletes);
    EXPECT_EQ(1u, counts.receives);
    EXPECT_EQ(1u, counts.returns);
}

} // namespace
