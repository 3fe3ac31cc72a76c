// The service frame under the service control manager: the status reports of a start and a stop with
// their checkpoints and accepted controls, the start-up failures, and the controls it only logs.
#include "ServiceFrame.h"
#include "StateWork.h"
#include "service_fixture.h"

#include <host/services.h>
#include <host/sync.h>

namespace brennicktest {
namespace {

struct Report {
    DWORD state;
    DWORD checkPoint;
    DWORD waitHint;
    DWORD accepted;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << "{state " << report.state << ", checkpoint " << report.checkPoint << ", hint "
               << report.waitHint << ", accepts " << report.accepted << "}";
}

const Report kStartPending{SERVICE_START_PENDING, 1, 3000, SERVICE_ACCEPT_SHUTDOWN};
const Report kRunning{SERVICE_RUNNING, 0, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN};
const Report kStopPending2{SERVICE_STOP_PENDING, 2, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN};
const Report kStopPending3{SERVICE_STOP_PENDING, 3, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN};
const Report kStopped{SERVICE_STOPPED, 0, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN};

std::vector<Report> Reports()
{
    std::vector<Report> reports;
    for (const SERVICE_STATUS& status : host::ServiceStatusHistory(u"Brennick")) {
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
        EXPECT_EQ(0u, status.dwWin32ExitCode);
        EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
        reports.push_back(Report{status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint,
                                 status.dwControlsAccepted});
    }
    return reports;
}

int ServiceEntry(int, char**)
{
    DispatchService();
    return 0;
}

// A start, the controls sent once the service runs, and the reports that follow.
struct FrameCase {
    const char* name;
    std::function<void()> onServiceMainThread;
    DWORD handlerRegistrationError;
    std::vector<DWORD> controls;
    std::vector<Report> reports;
    const char* line; // a line the case must leave in the log (or null)
};

void PrintTo(const FrameCase& frameCase, std::ostream* out) { *out << frameCase.name; }

class Frame : public ServiceFiles, public testing::WithParamInterface<FrameCase>
{
  protected:
    void SetUp() override
    {
        ServiceFiles::SetUp();
        host::SetCurrentProcess(nullptr); // the service runs in a process of its own
    }
};

TEST_P(Frame, ReportsByTheRules)
{
    host::ServiceConfig config;
    config.imagePath = kImagePath;
    config.entry = ServiceEntry;
    config.onServiceMainThread = GetParam().onServiceMainThread;
    config.handlerRegistrationError = GetParam().handlerRegistrationError;
    host::ServiceRegister(u"Brennick", config);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceStart(u"Brennick"));
    Settle([] {
        auto reports = Reports();
        return !reports.empty() && reports.back().state != SERVICE_START_PENDING;
    });
    for (DWORD control : GetParam().controls)
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceControl(u"Brennick", control));
    ASSERT_TRUE(host::ServiceWaitEnded(u"Brennick", 60'000));
    EXPECT_EQ(GetParam().reports, Reports());
    if (GetParam().line != nullptr) {
        EXPECT_TRUE(LogHas(GetParam().line));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Frame,
    testing::Values(
        FrameCase{"Stop",
                  nullptr,
                  0,
                  {SERVICE_CONTROL_STOP},
                  {kStartPending, kRunning, kStopPending2, kStopPending3, kStopped},
                  "[Infomation][CServiceStart::StopWork] Stop work success.\r\n\r\n"},
        FrameCase{"Shutdown",
                  nullptr,
                  0,
                  {SERVICE_CONTROL_SHUTDOWN},
                  {kStartPending, kRunning, kStopPending2, kStopPending3, kStopped},
                  "[Infomation][SvcCtrlHandler] Receive Stop Cmd\n"},
        FrameCase{"InterrogateIsOnlyLogged",
                  nullptr,
                  0,
                  {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP},
                  {kStartPending, kRunning, kStopPending2, kStopPending3, kStopped},
                  "[Infomation][SvcCtrlHandler] Receive dwCtrl(4) Cmd\n"},
        FrameCase{"StopEventNotCreated",
                  [] { host::FailNextCreations(host::Creation::Event, 1); },
                  0,
                  {},
                  {kStartPending, {SERVICE_STOPPED, 0, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN}},
                  nullptr},
        FrameCase{"HandlerNotRegistered", nullptr, ERROR_NOT_ENOUGH_MEMORY, {}, {}, nullptr},
        // The worker's third event fails: no worker thread, and the service still stops on request.
        FrameCase{"WorkerNotStarted",
                  [] { host::FailNextCreations(host::Creation::Event, 1, ERROR_NOT_ENOUGH_MEMORY, 3); },
                  0,
                  {SERVICE_CONTROL_STOP},
                  {kStartPending, kRunning, kStopPending2, kStopPending3, kStopped},
                  "[Fail][CStateWork::InitWork] Create REG_CHANGE_NOTIFY_EVENT Event Fail."}),
    [](const testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

// The handler's second report can come after the main thread reported SERVICE_STOPPED: it is dropped.
TEST_F(Frame, NoReportFollowsStopped)
{
    host::ServiceConfig config;
    config.imagePath = kImagePath;
    config.entry = ServiceEntry;
    host::ServiceRegister(u"Brennick", config);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceStart(u"Brennick"));
    ASSERT_TRUE(Settle([] { return Reports().size() == 2; }));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceControl(u"Brennick", SERVICE_CONTROL_STOP));
    ASSERT_TRUE(host::ServiceWaitEnded(u"Brennick", 60'000));
    host::SetCurrentProcess(host::ServiceProcess(u"Brennick"));
    SvcCtrlHandler(SERVICE_CONTROL_STOP);
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    EXPECT_EQ(kStopped, Reports().back());
    EXPECT_EQ(5u, Reports().size());
}

} // namespace
} // namespace brennicktest
