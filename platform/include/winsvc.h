// The service side of the service control manager: the dispatcher, the control handler and status
// reports (host/services.h registers, starts and controls services).
#pragma once

#include <windef.h>

#define SERVICE_WIN32_OWN_PROCESS 0x00000010

#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007

#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004

#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005

typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD dwNumServicesArgs, LPSTR* lpServiceArgVectors);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD dwControl);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA, *LPSERVICE_TABLE_ENTRYA;

extern "C" {

// Runs the service's main function (the table's first entry, whose name must be the started
// service's) on a new thread of the process, with the service name as its one argument, and serves
// controls on the calling thread. Returns TRUE once the service has reported SERVICE_STOPPED and its
// main function has returned; ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started
// as a service (or already dispatches), ERROR_INVALID_PARAMETER for an empty table.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable);
// 0 with ERROR_SERVICE_DOES_NOT_EXIST for a name other than the process's service.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc);
// Records the status as given; ERROR_INVALID_HANDLE for an unknown handle, ERROR_INVALID_DATA for a
// state outside 1 to 7.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

} // extern "C"
