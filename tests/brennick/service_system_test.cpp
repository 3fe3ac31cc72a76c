// The service as the system runs it: its image started by the service control manager in a process of
// its own, following the mobile-broadband interfaces, a system sleep and the filter's removal through
// the filter key, until it is stopped.
#include "service_fixture.h"

#include <host/pnp.h>
#include <host/services.h>

namespace brennicktest {
namespace {

class BrennickSystemTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        CreateDirectoryA("C:\\Brennick", nullptr);
        // The filter's load wrote its removal flag as 0.
        host::RegistrySetDword(kFilterKernelKey, u"QuenmarkUninstall", 0);
        host::ServiceConfig config;
        config.imagePath = kImagePath;
        config.library = BRENNICK_IMAGE;
        host::ServiceRegister(u"Brennick", config);
    }

    host::FilesTemporarySandbox sandbox_;
};

// Whether `expected` appear in the log in this order (other lines between them).
::testing::AssertionResult LogInOrder(const std::vector<std::string>& expected)
{
    auto messages = LogMessages();
    auto at = messages.begin();
    for (const std::string& line : expected) {
        at = std::find(at, messages.end(), line);
        if (at == messages.end())
            return ::testing::AssertionFailure() << "missing or out of order: \"" << line << "\"";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(BrennickSystemTest, FollowsInterfacesSleepAndTheFilterRemovalUntilStopped)
{
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceStart(u"Brennick"));

    // No interface: the worker polls.
    ASSERT_TRUE(Settle([] { return LogCount("GetInterfaces Fail\n") >= 2; }));
    EXPECT_EQ(0u, DoubleCalls(kInstallationCheckCall));

    host::MbnAddInterface(u"{5C0E1A2B-0001-4D00-8000-00000000CAFE}", MBN_RADIO_ON, MBN_RADIO_OFF);
    ASSERT_TRUE(Settle([] { return DoubleCalls(kInstallationCheckCall) == 1; }));
    EXPECT_EQ(1u, FilterSubkeyValue(u"BrennickCellular"));
    Pass(6'000);
    EXPECT_EQ(1u, DoubleCalls(kInstallationCheckCall)); // the timer is gone

    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemSleeping3));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    ASSERT_TRUE(Settle([] { return FilterSubkeyValue(u"BrennickPowerResume") == std::optional<ULONG>(1); }));

    // The filter's unload writes its removal flag through the kernel's view of the registry.
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(kFilterKernelKey, u"QuenmarkUninstall", 1));
    ASSERT_TRUE(Settle([] { return DoubleCalls(kDisableCall) == 1; }));
    EXPECT_EQ(1u, DoubleCalls(kWarningCall));
    // Every later change under the key while the flag reads 1 answers again.
    host::MbnSetRadioState(u"{5C0E1A2B-0001-4D00-8000-00000000CAFE}", MBN_RADIO_OFF, MBN_RADIO_OFF);
    ASSERT_TRUE(Settle([] { return DoubleCalls(kDisableCall) == 2; }));
    EXPECT_EQ(0u, FilterSubkeyValue(u"BrennickCellular"));

    // While the removal is handled an arrival is only logged; the removal of the interface clears that.
    host::MbnAddInterface(u"{5C0E1A2B-0002-4D00-8000-00000000CAFE}", MBN_RADIO_ON, MBN_RADIO_OFF);
    ASSERT_TRUE(Settle([] { return host::MbnEventsDelivered(); }));
    EXPECT_EQ(1u, LogCount("Retry TriggerMbbInterfaceMonitorEvent")); // the first interface's arrival
    host::MbnRemoveInterface(u"{5C0E1A2B-0002-4D00-8000-00000000CAFE}");
    host::MbnAddInterface(u"{5C0E1A2B-0002-4D00-8000-00000000CAFE}", MBN_RADIO_ON, MBN_RADIO_OFF);
    ASSERT_TRUE(Settle([] { return DoubleCalls(kInstallationCheckCall) == 2; }));
    EXPECT_EQ(2u, LogCount("Retry TriggerMbbInterfaceMonitorEvent"));

    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceControl(u"Brennick", SERVICE_CONTROL_STOP));
    ASSERT_TRUE(host::ServiceWaitEnded(u"Brennick", 60'000));
    std::vector<std::pair<DWORD, DWORD>> states;
    for (const SERVICE_STATUS& status : host::ServiceStatusHistory(u"Brennick"))
        states.emplace_back(status.dwCurrentState, status.dwCheckPoint);
    EXPECT_EQ((std::vector<std::pair<DWORD, DWORD>>{{SERVICE_START_PENDING, 1},
                                                    {SERVICE_RUNNING, 0},
                                                    {SERVICE_STOP_PENDING, 2},
                                                    {SERVICE_STOP_PENDING, 3},
                                                    {SERVICE_STOPPED, 0}}),
              states);
    SERVICE_STATUS start = host::ServiceStatusHistory(u"Brennick").front();
    EXPECT_EQ(3000u, start.dwWaitHint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_SHUTDOWN), start.dwControlsAccepted);

    EXPECT_TRUE(LogInOrder({
        "[Information][CServiceStart::StartWork] Service start, StartWork Enter  >> ",
        "m_runPath:C:\\Brennick\\",
        "[Infomation][CStateWork::Work] Triger Service Start Event.",
        "RegisterMbnInterfaceMonitorEvent success",
        "RegisterRadioStateCallback Success(0)",
        "[Infomation][CStateWork::CreateMbbInterfaceTimer] CreateMbbInterfaceTimer",
        "begin wait for event",
        "GetInterfaces Fail\n",
        "OnInterfaceArrival:{5C0E1A2B-0001-4D00-8000-00000000CAFE}",
        "CMbnRadioEvents::INIT softRadio(1)---hardRadio(0)\n",
        "RegSetValueEx REG_RADIO_STATE_KEY 0",
        "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMSUSPEND(4)",
        "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMRESUMEAUTOMATIC(18)",
        "[Infomation][CStateWork::PowerEventCallback] Enter PBT_APMRESUMESUSPEND(7)",
        "[Infomation][CStateWork::Work] set power resume key",
        "RegSetValueEx BrennickPowerResume 0",
        "CMbnRadioEvents::software radio:0---hardware radio:0",
        "[Infomation][SvcCtrlHandler] Receive dwCtrl(1) Cmd\n",
        "[Infomation][SvcCtrlHandler] Receive Stop Cmd\n",
        "[Infomation][CStateWork::Work] Triger Service Stop Event",
        "[Infomation][CStateWork::Work] Exit Success",
        "[Infomation][CServiceStart::StopWork] Stop work success.\r\n\r\n",
    }));
    // Each line carries the service's own process id.
    std::string log = ziptest::ReadFileText(kLogPath);
    EXPECT_EQ(std::to_string(host::ServiceProcess(u"Brennick")->id) + " ", log.substr(0, log.find(' ') + 1));
}

} // namespace
} // namespace brennicktest
