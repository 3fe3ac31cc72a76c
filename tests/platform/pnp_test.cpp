// The PnP and power manager with the test driver pair: the callback order of each transition, compared
// with tables.
#include "fxstack.h"

#include "host_test.h"

namespace
{

using namespace fxtest;

// WDF_POWER_DEVICE_STATE: 1 D0, 4 D3, 5 D3Final. Power actions: a0 none, a2 sleep, a3 hibernate.
const Calls kStart = {
    "FxLower:DeviceAdd",
    "FxFunc:DeviceAdd",
    "FxLower:PrepareHardware",
    "FxLower:D0Entry 5",
    "FxFunc:PrepareHardware 0",
    "FxFunc:D0Entry 5 a0",
    "FxFunc:D0EntryPostInterruptsEnabled 5 a0",
    "FxFunc:SelfManagedIoInit",
};

const Calls kLeaveFinal = {
    "FxFunc:SelfManagedIoSuspend", "FxFunc:D0ExitPreInterruptsDisabled 5 a0",
    "FxFunc:D0Exit 5 a0",          "FxLower:D0Exit 5",
    "FxFunc:ReleaseHardware",      "FxLower:ReleaseHardware",
};

const Calls kTeardown = {
    "FxFunc:SelfManagedIoFlush", "FxFunc:SelfManagedIoCleanup", "FxFunc:DeviceCleanup",
    "FxLower:DeviceCleanup",     "FxFunc:DriverUnload",         "FxLower:DriverUnload",
};

Calls Join(std::initializer_list<Calls> parts)
{
    Calls all;
    for (auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

using PnpTest = StackTest;

TEST_F(PnpTest, StartsAndRemovesInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_EQ(kStart, Take());
    EXPECT_EQ(host::PnpState::Started, host::PnpQueryState(kInstance));
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kInstance));

    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ(Join({{"FxFunc:QueryRemove"}, kLeaveFinal, kTeardown}), Take());
    EXPECT_EQ(host::PnpState::Removed, host::PnpQueryState(kInstance));
}

TEST_F(PnpTest, SurpriseRemovalTellsTheDriverFirst)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSurpriseRemoveDevice(kInstance));
    EXPECT_EQ(Join({{"FxFunc:SurpriseRemoval"}, kLeaveFinal, kTeardown}), Take());
}

TEST_F(PnpTest, StopAndRestartPreparesTheHardwareAgain)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStopDevice(kInstance));
    EXPECT_EQ(Join({{"FxFunc:QueryStop"}, kLeaveFinal}), Take());
    EXPECT_EQ(host::PnpState::Stopped, host::PnpQueryState(kInstance));

    ASSERT_EQ(STATUS_SUCCESS, host::PnpStartDevice(kInstance));
    EXPECT_EQ((Calls{"FxLower:PrepareHardware", "FxLower:D0Entry 5", "FxFunc:PrepareHardware 0",
                     "FxFunc:D0Entry 5 a0", "FxFunc:D0EntryPostInterruptsEnabled 5 a0",
                     "FxFunc:SelfManagedIoRestart"}),
              Take());
}

TEST_F(PnpTest, FailedPrepareReleasesAndLeavesTheDeviceFailed)
{
    Set(u"FailPrepare", 1);
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, Add());
    EXPECT_EQ((Calls{"FxLower:DeviceAdd", "FxFunc:DeviceAdd", "FxLower:PrepareHardware", "FxLower:D0Entry 5",
                     "FxFunc:PrepareHardware 0", "FxFunc:ReleaseHardware", "FxLower:D0Exit 5",
                     "FxLower:ReleaseHardware"}),
              Take());
    EXPECT_EQ(host::PnpState::Failed, host::PnpQueryState(kInstance));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ((Calls{"FxFunc:DeviceCleanup", "FxLower:DeviceCleanup", "FxFunc:DriverUnload",
                     "FxLower:DriverUnload"}),
              Take());
}

TEST_F(PnpTest, FunctionDriverTalksToItsLowerFilterFromItsPowerCallbacks)
{
    Set(u"ProbeLower", 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Calls calls = Take();
    Calls expected = kStart;
    expected.insert(expected.end() - 1, {"FxLower:Ping", "FxFunc:Probe entry 0 1234 4"});
    EXPECT_EQ(expected, calls);

    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    calls = Take();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ((Calls{"FxFunc:D0ExitPreInterruptsDisabled 5 a0", "FxLower:Ping", "FxFunc:Probe exit 0 1234 4",
                     "FxFunc:D0Exit 5 a0", "FxLower:D0Exit 5"}),
              Calls(calls.begin() + 2, calls.begin() + 7));
}

TEST_F(PnpTest, AFailedDeviceIsRestarted)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    Take();
    EXPECT_EQ(STATUS_SUCCESS, Control(handle, IOCTL_FXFUNC_FAIL_RESTART));
    host::ClockAdvance(0);
    Calls expected = kLeaveFinal;
    expected.insert(expected.end(),
                    {"FxLower:PrepareHardware", "FxLower:D0Entry 5", "FxFunc:PrepareHardware 0",
                     "FxFunc:D0Entry 5 a0", "FxFunc:D0EntryPostInterruptsEnabled 5 a0",
                     "FxFunc:SelfManagedIoRestart"});
    EXPECT_EQ(expected, Take());
    EXPECT_EQ(host::PnpState::Started, host::PnpQueryState(kInstance));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(PnpTest, DisableAndEnableByHardwareId)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpDisable(kHardwareId));
    EXPECT_EQ(host::PnpState::Disabled, host::PnpQueryState(kInstance));
    EXPECT_EQ(nullptr, host::DriverFind(u"FxFunc"));
    EXPECT_TRUE(host::IoInterfaceList(GUID_FXTEST_INTERFACE).empty());
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpEnable(kHardwareId));
    EXPECT_EQ(kStart, Take());
    EXPECT_EQ(1u, host::IoInterfaceList(GUID_FXTEST_INTERFACE).size());
}

TEST_F(PnpTest, StackComesFromTheRegistry)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    std::u16string enumKey = std::u16string(host::kEnumKey) + u"\\" + std::u16string(kInstance);
    auto service = host::RegistryGetValue(enumKey, u"Service");
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(u"FxFunc", std::u16string(reinterpret_cast<const char16_t*>(service->data.data())));
    EXPECT_TRUE(host::RegistryKeyExists(enumKey + u"\\Device Parameters"));
    // A device nothing matches stays on the bus without drivers.
    EXPECT_EQ(STATUS_NOT_FOUND, host::PnpAddDevice({u"TEST\\OTHER\\0", {u"TEST\\OTHER"}, {}}));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Add());
    EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(u"TEST\\OTHER\\0"));
}

// ---- power policy

const Calls kIdleOut = {
    "FxFunc:SelfManagedIoSuspend",
    "FxFunc:D0ExitPreInterruptsDisabled 4 a0",
    "FxFunc:D0Exit 4 a0",
    "FxLower:D0Exit 4",
};

const Calls kBackFromIdle = {
    "FxLower:D0Entry 4",
    "FxFunc:D0Entry 4 a0",
    "FxFunc:D0EntryPostInterruptsEnabled 4 a0",
    "FxFunc:SelfManagedIoRestart",
};

TEST_F(PnpTest, IdlesOutAndComesBackForARequest)
{
    Set(u"IdleMs", 100);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    Take();
    host::ClockAdvance(99 * kMs);
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kInstance));
    host::ClockAdvance(1 * kMs);
    host::ClockAdvance(0); // the idle time-out's work runs
    EXPECT_EQ(PowerDeviceD3, host::PnpQueryPowerState(kInstance));
    EXPECT_EQ(kIdleOut, Take());

    char in[4] = {'p', 'i', 'n', 'g'}, out[4] = {};
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              Control(handle, IOCTL_FXFUNC_ECHO, &returned, in, sizeof(in), out, sizeof(out)));
    EXPECT_EQ(sizeof(in), returned);
    EXPECT_EQ(0, memcmp(in, out, sizeof(in)));
    host::ClockAdvance(0); // the power-up finishes on its worker
    // The request is presented once the queue starts again, in D0.
    Calls calls = Take();
    auto echo = std::find(calls.begin(), calls.end(), "FxFunc:Echo 0");
    ASSERT_NE(calls.end(), echo);
    EXPECT_GT(echo - calls.begin(), 2);
    calls.erase(echo);
    EXPECT_EQ(kBackFromIdle, calls);
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(PnpTest, IdleNowSkipsTheRestOfTheTimeOut)
{
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, host::PnpIdleNow(kInstance));
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_EQ(STATUS_DEVICE_BUSY, host::PnpIdleNow(kInstance)); // no idle policy
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    Set(u"IdleMs", 60000);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    EXPECT_EQ(STATUS_SUCCESS, host::PnpIdleNow(kInstance));
    EXPECT_EQ(kIdleOut, Take());
}

TEST_F(PnpTest, AHeldRequestKeepsTheDeviceInD0)
{
    Set(u"IdleMs", 100);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    // A request the driver holds keeps the device in D0 however long it waits.
    fxtest::Thread pending([handle] { EXPECT_EQ(STATUS_CANCELLED, Control(handle, IOCTL_FXFUNC_PEND)); });
    host::ClockAdvance(1000 * kMs);
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kInstance));
    Take();
    // Removal cancels what the driver holds cancelable.
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    pending.Join();
    Calls calls = Take();
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "FxFunc:EvtRequestCancel"));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(PnpTest, WakeFromIdleIsSignalledToTheArmedDriver)
{
    Set(u"IdleMs", 100);
    Set(u"IdleWake", 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    host::ClockAdvance(100 * kMs);
    host::ClockAdvance(0);
    Calls expected = kIdleOut;
    expected.insert(expected.begin() + 1, "FxFunc:ArmWakeFromS0");
    EXPECT_EQ(expected, Take());

    ASSERT_EQ(STATUS_SUCCESS, host::PnpSignalWake(kInstance));
    expected = kBackFromIdle;
    expected.insert(expected.begin(), "FxFunc:WakeFromS0Triggered");
    expected.insert(expected.end() - 1, "FxFunc:DisarmWakeFromS0");
    EXPECT_EQ(expected, Take());
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kInstance));
}

TEST_F(PnpTest, SystemSleepAndResumeCarryThePowerAction)
{
    Set(u"SxWake", 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemSleeping3));
    EXPECT_EQ((Calls{"FxFunc:SelfManagedIoSuspend", "FxFunc:ArmWakeFromSx",
                     "FxFunc:D0ExitPreInterruptsDisabled 4 a2", "FxFunc:D0Exit 4 a2", "FxLower:D0Exit 4"}),
              Take());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    EXPECT_EQ((Calls{"FxLower:D0Entry 4", "FxFunc:D0Entry 4 a2", "FxFunc:D0EntryPostInterruptsEnabled 4 a2",
                     "FxFunc:DisarmWakeFromSx", "FxFunc:SelfManagedIoRestart"}),
              Take());
}

TEST_F(PnpTest, BusHearsOfPowerChanges)
{
    std::vector<std::pair<DEVICE_POWER_STATE, SYSTEM_POWER_STATE>> seen;
    host::PnpBusDevice device{
        std::u16string(kInstance),
        {std::u16string(kHardwareId)},
        [&seen](DEVICE_POWER_STATE d, SYSTEM_POWER_STATE s) { seen.emplace_back(d, s); }};
    ASSERT_EQ(STATUS_SUCCESS, host::PnpAddDevice(device));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemHibernate));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    EXPECT_EQ(
        (std::vector<std::pair<DEVICE_POWER_STATE, SYSTEM_POWER_STATE>>{{PowerDeviceD0, PowerSystemWorking},
                                                                        {PowerDeviceD3, PowerSystemHibernate},
                                                                        {PowerDeviceD0, PowerSystemWorking},
                                                                        {PowerDeviceD3, PowerSystemWorking}}),
        seen);
}

} // namespace
