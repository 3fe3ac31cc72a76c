// The service frame: the dispatcher's table, the service main function, the control handler and the
// status reports, and the thin front that starts and stops the worker.
#pragma once

#include <windows.h>
#include <winsvc.h>

constexpr const char* kServiceName = "Brennick";
// The wait hint of the start report.
constexpr DWORD kStartWaitHint = 3000;

// Hands the process's main thread to the service control dispatcher (the executable's entry does only
// this); the dispatcher's result.
BOOL DispatchService();

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI SvcCtrlHandler(DWORD control);
// Reports `state` by the service's rules for controls accepted and checkpoints. Nothing is reported
// after SERVICE_STOPPED.
void ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);
// ServiceMain from the creation of the stop event to the last report.
void ServiceInit();

class CServiceStart
{
  public:
    CServiceStart() = default;
    ~CServiceStart() = default;

    bool StartWork();
    void StopWork();
};
