// The service control manager: a service's own process, the dispatcher's life, controls gated by the
// accepted controls, the status history and the errors of the service-side calls.
#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <host/loader.h>
#include <host/process.h>
#include <host/registry.h>
#include <host/services.h>
#include <host_test.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr char16_t kName[] = u"TestSvc";

// What the test service saw and did; its main function reports START_PENDING, waits for `go`, reports
// RUNNING (accepting STOP) and stops when its handler gets STOP.
struct Seen {
    std::mutex lock;
    std::vector<DWORD> controls;
    DWORD processId = 0;
    std::string modulePath;
    std::string currentDirectory;
    DWORD wrongNameError = 0;
    BOOL dispatcherResult = FALSE;
};
Seen g_seen;
HANDLE g_go = nullptr;
HANDLE g_stop = nullptr;
std::atomic<SERVICE_STATUS_HANDLE> g_handle{nullptr};

void Report(DWORD state, DWORD accepted)
{
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, 0, 0};
    EXPECT_TRUE(SetServiceStatus(g_handle, &status));
}

void WINAPI Handler(DWORD control)
{
    {
        std::lock_guard<std::mutex> guard(g_seen.lock);
        g_seen.controls.push_back(control);
    }
    if (control == SERVICE_CONTROL_STOP)
        SetEvent(g_stop);
}

void WINAPI TestServiceMain(DWORD argc, LPSTR* argv)
{
    EXPECT_EQ(1u, argc);
    EXPECT_STREQ("TestSvc", argv[0]);
    {
        std::lock_guard<std::mutex> guard(g_seen.lock);
        g_seen.wrongNameError = RegisterServiceCtrlHandlerA("Other", Handler) == nullptr ? GetLastError() : 0;
        char text[MAX_PATH];
        GetModuleFileNameA(nullptr, text, MAX_PATH);
        g_seen.modulePath = text;
        GetCurrentDirectoryA(MAX_PATH, text);
        g_seen.currentDirectory = text;
        g_seen.processId = GetCurrentProcessId();
    }
    g_handle = RegisterServiceCtrlHandlerA("testsvc", Handler);
    if (g_handle.load() == nullptr)
        return;
    Report(SERVICE_START_PENDING, 0);
    WaitForSingleObject(g_go, INFINITE);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitForSingleObject(g_stop, INFINITE);
    Report(SERVICE_STOPPED, 0);
}

int TestServiceEntry(int, char**)
{
    const SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("TestSvc"), TestServiceMain}, {nullptr, nullptr}};
    BOOL result = StartServiceCtrlDispatcherA(table);
    std::lock_guard<std::mutex> guard(g_seen.lock);
    g_seen.dispatcherResult = result;
    return 7;
}

class Win32Service : public testing::Test {
protected:
    void SetUp() override
    {
        g_go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        config_.imagePath = u"C:\\Svc\\TestSvc.exe";
        config_.entry = TestServiceEntry;
    }
    void TearDown() override
    {
        CloseHandle(g_go);
        CloseHandle(g_stop);
    }

    // Host time passes until the service's last report is `state`.
    static bool ReachState(DWORD state)
    {
        return hosttest::WaitUntil(
            [&] {
                auto history = host::ServiceStatusHistory(kName);
                return !history.empty() && history.back().dwCurrentState == state;
            },
            10'000'000, 10'000);
    }

    host::ServiceConfig config_;
};

TEST_F(Win32Service, RunsInAProcessOfItsOwnUntilItStops)
{
    host::ServiceRegister(kName, config_);
    auto type = host::RegistryGetValue(std::u16string(host::kServicesKey) + u"\\TestSvc", u"Type");
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceStart(kName));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), host::ServiceStart(kName));
    ASSERT_TRUE(ReachState(SERVICE_START_PENDING));

    // Nothing but INTERROGATE gets through while the service accepts nothing.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), host::ServiceControl(kName, SERVICE_CONTROL_STOP));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceControl(kName, SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), host::ServiceControl(kName, 77));
    SetEvent(g_go);
    ASSERT_TRUE(ReachState(SERVICE_RUNNING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
              host::ServiceControl(kName, SERVICE_CONTROL_SHUTDOWN));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceControl(kName, SERVICE_CONTROL_STOP));

    int exitCode = 0;
    ASSERT_TRUE(host::ServiceWaitEnded(kName, 10'000, &exitCode));
    EXPECT_EQ(7, exitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), host::ServiceControl(kName, SERVICE_CONTROL_INTERROGATE));
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : host::ServiceStatusHistory(kName))
        states.push_back(status.dwCurrentState);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}), states);

    std::lock_guard<std::mutex> guard(g_seen.lock);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}), g_seen.controls);
    EXPECT_TRUE(g_seen.dispatcherResult);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), g_seen.wrongNameError);
    EXPECT_EQ("C:\\Svc\\TestSvc.exe", g_seen.modulePath);
    EXPECT_EQ("C:\\Windows\\System32", g_seen.currentDirectory);
    EXPECT_EQ(host::ServiceProcess(kName)->id, g_seen.processId);
    EXPECT_NE(GetCurrentProcessId(), g_seen.processId);
    EXPECT_EQ(0u, host::ServiceProcess(kName)->sessionId);
}

TEST_F(Win32Service, AFailedHandlerRegistrationEndsTheDispatcherWithTheMainFunction)
{
    config_.handlerRegistrationError = ERROR_NOT_ENOUGH_MEMORY;
    host::ServiceRegister(kName, config_);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), host::ServiceStart(kName));
    ASSERT_TRUE(host::ServiceWaitEnded(kName, 10'000));
    EXPECT_TRUE(host::ServiceStatusHistory(kName).empty());
    std::lock_guard<std::mutex> guard(g_seen.lock);
    EXPECT_TRUE(g_seen.dispatcherResult);
}

TEST_F(Win32Service, OnlyAProcessStartedAsTheServiceDispatches)
{
    const SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("TestSvc"), TestServiceMain}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), GetLastError());
    EXPECT_EQ(nullptr, RegisterServiceCtrlHandlerA("TestSvc", Handler));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    SERVICE_STATUS status{};
    EXPECT_FALSE(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(&status), &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), host::ServiceStart(u"Missing"));
    config_.entry = nullptr;
    config_.library = "/nonexistent/service.so";
    host::ServiceRegister(kName, config_);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), host::ServiceStart(kName));
}

} // namespace
