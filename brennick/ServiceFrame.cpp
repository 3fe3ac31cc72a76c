#include "ServiceFrame.h"

#include "Log.h"
#include "StateWork.h"

#include <atomic>
#include <mutex>

namespace
{

// The status record, its checkpoint counter and handle: written by the service main thread and by the
// control handler on the dispatcher's thread, so one lock keeps each report whole and in order.
std::mutex g_statusLock;
SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
DWORD g_checkPoint = 1;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
// Created by the service main thread, set by the handler.
std::atomic<HANDLE> g_serviceStopEvent{nullptr};

void ReportLocked(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    // The handler's second report may come after the main thread's last one.
    if (g_status.dwCurrentState == SERVICE_STOPPED)
        return;
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = win32ExitCode;
    g_status.dwServiceSpecificExitCode = 0;
    g_status.dwWaitHint = waitHint;
    g_status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? SERVICE_ACCEPT_SHUTDOWN : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : g_checkPoint++;
    SetServiceStatus(g_statusHandle, &g_status);
}

} // namespace

BOOL DispatchService()
{
    const SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table);
}

void ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    std::lock_guard<std::mutex> guard(g_statusLock);
    ReportLocked(state, win32ExitCode, waitHint);
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(kServiceName, SvcCtrlHandler);
    if (handle == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(g_statusLock);
        g_statusHandle = handle;
    }
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint);
    ServiceInit();
}

void ServiceInit()
{
    HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
        return;
    }
    g_serviceStopEvent = stopEvent;
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    // The service runs on even without its worker.
    CServiceStart().StartWork();
    WaitForSingleObject(stopEvent, INFINITE);
    CServiceStart().StopWork();
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
}

void WINAPI SvcCtrlHandler(DWORD control)
{
    CLog::GetInstance()->WriteLog(2, "[Infomation][SvcCtrlHandler] Receive dwCtrl(%d) Cmd\n", control);
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN)
        return;
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
    CLog::GetInstance()->WriteLog(2, "[Infomation][SvcCtrlHandler] Receive Stop Cmd\n");
    SetEvent(g_serviceStopEvent.load());
    std::lock_guard<std::mutex> guard(g_statusLock);
    ReportLocked(g_status.dwCurrentState, NO_ERROR, 0);
}

bool CServiceStart::StartWork()
{
    CLog::GetInstance()->WriteLog(2, "[Information][CServiceStart::StartWork] Service start, StartWork Enter  >> ");
    CStateWork* work = CStateWork::GetInstance();
    bool started = work->InitWork() == 1;
    if (started)
        work->StartThread();
    else
        CLog::GetInstance()->WriteLog(0, "[Error][CServiceStart::StartWork] InitWork Fail.");
    CLog::GetInstance()->WriteLog(2, "[Information][CServiceStart::StartWork] StartWork(%s) Done.<<  ",
                                  started ? "true" : "false");
    return started;
}

void CServiceStart::StopWork()
{
    CStateWork::GetInstance()->StopWork();
    CLog::GetInstance()->WriteLog(2, "[Infomation][CServiceStart::StopWork] Stop work success.\r\n\r\n");
}
