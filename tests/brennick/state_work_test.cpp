// The worker: the poll for a readable interface and the installation check after it, the order in which
// its events are served, the answer to the filter's removal, the resume key, the radio states it
// writes and its start-up failures.
#include "MbnEvents.h"
#include "StateWork.h"
#include "service_fixture.h"

#include <host/host.h>
#include <host/power_broadcast.h>
#include <host/sync.h>

namespace brennicktest {
namespace {

class WorkerTest : public ServiceFiles
{
  protected:
    void TearDown() override
    {
        if (started_)
            work_->StopWork();
        ServiceFiles::TearDown();
    }

    // The worker with its events, its thread not started.
    void Build()
    {
        work_ = CStateWork::GetInstance();
        ASSERT_EQ(1, work_->InitWork());
    }
    void Run()
    {
        work_->StartThread();
        started_ = true;
    }
    void Start()
    {
        Build();
        Run();
    }
    static bool Checked(size_t times = 1)
    {
        return Settle([&] { return DoubleCalls(kInstallationCheckCall) >= times; });
    }

    CStateWork* work_ = nullptr;
    bool started_ = false;
};

// The poll's ticks run into failing reads until one succeeds; the check still runs once, after it.
class PollUntilReadable : public WorkerTest, public testing::WithParamInterface<ULONG>
{
};

TEST_P(PollUntilReadable, WritesTheRadioStateThenChecksOnce)
{
    AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    host::MbnFailGetInterfaces(GetParam(), E_FAIL);
    Start();
    ASSERT_TRUE(Checked());
    EXPECT_EQ(1u, FilterSubkeyValue(u"BrennickCellular"));
    EXPECT_EQ(GetParam(), LogCount("SetInitRadioState Fail(80004005)\n"));
    EXPECT_EQ(nullptr, work_->m_timer);
    EXPECT_EQ(nullptr, work_->m_timerQueue);
    EXPECT_EQ(1u, work_->m_timerCreated);
    Pass(10'000);
    EXPECT_EQ(1u, DoubleCalls(kInstallationCheckCall));
    EXPECT_EQ(GetParam() + 1, LogCount("[Infomation][CStateWork::Work] Triger MBB_INTERFACE_MONITOR_EVENT Event"));
}

INSTANTIATE_TEST_SUITE_P(Failures, PollUntilReadable, testing::Values(0u, 3u));

TEST_F(WorkerTest, WithoutAnInterfaceTheTimerPollsEvery1500Ms)
{
    Start();
    Pass(4'400);
    EXPECT_EQ(3u, LogCount("GetInterfaces Fail\n")); // at 0, 1500 and 3000 ms
    EXPECT_EQ(0u, DoubleCalls(kInstallationCheckCall));
    host::MbnAddInterface(u"{IF-1}", MBN_RADIO_OFF, MBN_RADIO_ON);
    ASSERT_TRUE(Checked());
    EXPECT_EQ(0u, FilterSubkeyValue(u"BrennickCellular"));
}

// A tick that comes while the radio is read would run the whole check a second time.
TEST_F(WorkerTest, ASignalDuringTheFirstReadDoesNotRepeatTheCheck)
{
    AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    Build();
    host::MbnOnGetInterfaces([this] { SetEvent(work_->m_mbbInterfaceMonitorEvent); });
    Run();
    ASSERT_TRUE(Checked());
    host::MbnOnGetInterfaces(nullptr);
    Pass(5'000);
    EXPECT_EQ(1u, DoubleCalls(kInstallationCheckCall));
}

TEST_F(WorkerTest, StopWinsOverEveryOtherEvent)
{
    Build();
    SetEvent(work_->m_regChangeNotifyEvent);
    SetEvent(work_->m_pwrResumeMonitorEvent);
    SetEvent(work_->m_stopEvent);
    Run();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(work_->m_thread, INFINITE));
    started_ = false;
    EXPECT_TRUE(LogHas("[Infomation][CStateWork::Work] Exit Success"));
    EXPECT_FALSE(LogHas("[Infomation][CStateWork::Work] Triger Reg Change Notify Event"));
    EXPECT_FALSE(LogHas("[Infomation][CStateWork::Work] Triger PWR_RESUME_MONITOR_EVENT Event"));
}

TEST_F(WorkerTest, TheInterfaceEventComesBeforeTheResumeEvent)
{
    AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    Build();
    SetEvent(work_->m_pwrResumeMonitorEvent);
    SetEvent(work_->m_mbbInterfaceMonitorEvent);
    Run();
    ASSERT_TRUE(Settle([] { return FilterSubkeyValue(u"BrennickPowerResume").has_value(); }));
    auto messages = LogMessages();
    auto interface = std::find(messages.begin(), messages.end(),
                               "[Infomation][CStateWork::Work] Triger MBB_INTERFACE_MONITOR_EVENT Event");
    auto resume = std::find(messages.begin(), messages.end(),
                            "[Infomation][CStateWork::Work] Triger PWR_RESUME_MONITOR_EVENT Event");
    ASSERT_NE(messages.end(), resume);
    EXPECT_LT(interface, resume);
    EXPECT_EQ(1u, DoubleCalls(kInstallationCheckCall));
}

TEST_F(WorkerTest, EveryChangeWhileUninstallReadsOneWarnsAndDisablesAgain)
{
    AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    Start();
    ASSERT_TRUE(Checked());
    Pass(100);
    // 0, as the filter writes at load: the key is read again (the start's own radio-state write may still
    // be on its way and read it once more), nothing more.
    const std::string regBranch = "[Infomation][CStateWork::Work] Triger Reg Change Notify Event";
    size_t before = LogCount(regBranch);
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(kFilterKernelKey, u"QuenmarkUninstall", 0));
    ASSERT_TRUE(Settle([&] { return LogCount(regBranch) >= before + 1; }));
    Pass(100);
    EXPECT_EQ(0u, DoubleCalls(kWarningCall));

    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(kFilterKernelKey, u"QuenmarkUninstall", 1));
    ASSERT_TRUE(Settle([] { return DoubleCalls(kDisableCall) == 1; }));
    EXPECT_EQ(1, g_uninstallHandled.load());
    EXPECT_EQ((std::vector<std::string>{std::string(kInstallationCheckCall), std::string(kWarningCall),
                                        std::string(kDisableCall)}),
              DoubleCallSequence());
    // Any later change under the key, here the radio sink's write, answers the removal again.
    host::MbnSetRadioState(u"{IF-1}", MBN_RADIO_OFF, MBN_RADIO_OFF);
    ASSERT_TRUE(Settle([] { return DoubleCalls(kDisableCall) == 2; }));
    EXPECT_EQ(2u, DoubleCalls(kWarningCall));
}

TEST_F(WorkerTest, AFilterKeyMissingAtTheStartIsNeverWatched)
{
    host::RegistryDeleteTree(kFilterKernelKey);
    AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    Start();
    ASSERT_TRUE(Checked());
    EXPECT_TRUE(LogHas("Error in RegOpenKeyEx (2).\n"));
    EXPECT_FALSE(FilterSubkeyValue(u"BrennickCellular").has_value());
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(kFilterKernelKey, u"QuenmarkUninstall", 1));
    Pass(5'000);
    EXPECT_FALSE(LogHas("[Infomation][CStateWork::Work] Triger Reg Change Notify Event"));
    EXPECT_EQ(0u, DoubleCalls(kWarningCall));
}

// What the power callback hears before the worker runs, and whether BrennickPowerResume is written.
struct ResumeCase {
    const char* name;
    std::vector<ULONG> types;
    bool interfacePresent;
    bool written;
};

void PrintTo(const ResumeCase& resumeCase, std::ostream* out) { *out << resumeCase.name; }

class Resume : public WorkerTest, public testing::WithParamInterface<ResumeCase>
{
};

TEST_P(Resume, WritesTheKeyOnlyAfterAResumeWithAnInterface)
{
    if (GetParam().interfacePresent)
        AddInterfaceBeforeStart(u"{IF-1}", MBN_RADIO_ON);
    Build();
    for (ULONG type : GetParam().types)
        host::PowerBroadcastSuspendResume(type);
    Run();
    // The longest way: 20 reads of the interface list, 1500 ms apart.
    Settle([] { return LogHas("[Infomation][CStateWork::Work] CheckMbbInterfaceExist result(0)"); }, 35'000);
    Pass(31'000);
    EXPECT_EQ(GetParam().written, FilterSubkeyValue(u"BrennickPowerResume") == std::optional<ULONG>(1));
    EXPECT_EQ(GetParam().written, LogHas("[Infomation][CStateWork::Work] set power resume key"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, Resume,
    testing::Values(ResumeCase{"ResumeWithInterface", {PBT_APMRESUMESUSPEND}, true, true},
                    ResumeCase{"SuspendWithdrawsTheResume", {PBT_APMRESUMESUSPEND, PBT_APMSUSPEND}, true, false},
                    ResumeCase{"AutomaticResumeAlone", {PBT_APMRESUMEAUTOMATIC}, true, false},
                    ResumeCase{"NoInterfaceWithinTwentyTries", {PBT_APMRESUMESUSPEND}, false, false}),
    [](const testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

// SetInitRadioState over a list of interfaces: its result and what BrennickCellular holds after it.
struct RadioCase {
    const char* name;
    std::vector<std::pair<const char16_t*, MBN_RADIO>> interfaces;
    const char16_t* failing;
    host::MbnInterfaceFailures failures;
    HRESULT result;
    std::optional<ULONG> cellular;
};

void PrintTo(const RadioCase& radioCase, std::ostream* out) { *out << radioCase.name; }

class InitRadioState : public WorkerTest, public testing::WithParamInterface<RadioCase>
{
};

TEST_P(InitRadioState, WritesEachReadSoftwareState)
{
    host::MbnSetNoInterfaceResult(S_OK);
    for (const auto& [id, software] : GetParam().interfaces)
        AddInterfaceBeforeStart(id, software);
    if (GetParam().failing != nullptr)
        host::MbnSetInterfaceFailures(GetParam().failing, GetParam().failures);
    Build();
    work_->m_timerCreated = 1;
    EXPECT_EQ(GetParam().result, work_->SetInitRadioState());
    EXPECT_EQ(GetParam().cellular, FilterSubkeyValue(u"BrennickCellular"));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, InitRadioState,
    testing::Values(RadioCase{"EmptyList", {}, nullptr, {}, S_OK, std::nullopt},
                    RadioCase{"TheLastInterfaceDecides",
                              {{u"{A}", MBN_RADIO_ON}, {u"{B}", MBN_RADIO_OFF}},
                              nullptr,
                              {},
                              S_OK,
                              0u},
                    RadioCase{"RadioQueryFailureStopsAfterTheFirst",
                              {{u"{A}", MBN_RADIO_ON}, {u"{B}", MBN_RADIO_OFF}},
                              u"{B}",
                              {E_NOINTERFACE, S_OK, S_OK},
                              E_NOINTERFACE,
                              1u},
                    // A state that could not be read is no wish: the earlier interface's stays.
                    RadioCase{"UnreadSoftwareStateIsNotWritten",
                              {{u"{A}", MBN_RADIO_ON}, {u"{B}", MBN_RADIO_OFF}},
                              u"{B}",
                              {S_OK, E_ACCESSDENIED, S_OK},
                              S_OK,
                              1u},
                    RadioCase{"UnreadStateOfTheOnlyInterface",
                              {{u"{A}", MBN_RADIO_ON}},
                              u"{A}",
                              {S_OK, E_ACCESSDENIED, E_ACCESSDENIED},
                              S_OK,
                              std::nullopt}),
    [](const testing::TestParamInfo<RadioCase>& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, RetryingReadsGiveUpAfterTwentyTries)
{
    Build();
    work_->m_timerCreated = 0;
    LONGLONG before = host::ClockNow();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), work_->SetInitRadioState());
    EXPECT_EQ(20 * 1500 * kMs, host::ClockNow() - before);
    EXPECT_TRUE(LogHas("GetInterfaces Retry(19) Fail\n"));
    EXPECT_EQ(1u, LogCount("GetInterfaces Fail\n"));
    host::MbnAddInterface(u"{A}", MBN_RADIO_ON, MBN_RADIO_OFF);
    EXPECT_EQ(S_OK, work_->CheckMbbInterfaceExist());
    EXPECT_TRUE(LogHas("GetInterfaces success(0)\n"));
}

TEST_F(WorkerTest, InitWorkStopsAtTheFirstEventItCannotCreate)
{
    work_ = CStateWork::GetInstance();
    host::FailNextCreations(host::Creation::Event, 1, ERROR_NOT_ENOUGH_MEMORY, 2);
    EXPECT_EQ(0, work_->InitWork());
    EXPECT_EQ(nullptr, work_->m_thread);
    EXPECT_NE(nullptr, work_->m_stopEvent);
    EXPECT_EQ(nullptr, work_->m_regChangeNotifyEvent);
    auto messages = LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("[Fail][CStateWork::InitWork] Create REG_CHANGE_NOTIFY_EVENT Event Fail.", messages.back());
    // Stopping a worker without a thread returns at once.
    work_->StopWork();
}

TEST_F(WorkerTest, StopUnadvisesBothSinksAndDeletesTheTimer)
{
    Start();
    ASSERT_TRUE(Settle([] { return LogHas("GetInterfaces Fail\n"); }));
    EXPECT_EQ(1u, host::MbnAdvisedSinks(IID_IMbnInterfaceManagerEvents));
    EXPECT_EQ(1u, host::MbnAdvisedSinks(IID_IMbnRadioEvents));
    work_->StopWork();
    started_ = false;
    EXPECT_EQ(0u, host::MbnAdvisedSinks(IID_IMbnInterfaceManagerEvents));
    EXPECT_EQ(0u, host::MbnAdvisedSinks(IID_IMbnRadioEvents));
    EXPECT_EQ(nullptr, work_->m_timerQueue);
    EXPECT_TRUE(LogHas("[Infomation][CStateWork::Work] Exit Success"));
}

} // namespace
} // namespace brennicktest
