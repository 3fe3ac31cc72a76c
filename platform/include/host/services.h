// The service control manager's host side: services registered under the registry's Services key, each
// started as an executable in a process context of its own, sent controls, and their status history.
#pragma once

#include <winsvc.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct Process;

// An executable's entry point, as the process's main thread calls it.
using ServiceEntry = int (*)(int argc, char** argv);

struct ServiceConfig {
    // What the service's process answers for its image (GetModuleFileName).
    std::u16string imagePath = u"C:\\Brennick\\Brennick.exe";
    // The shared library whose exported `main` is the executable's entry, or an entry linked into the
    // test itself.
    std::string library;
    ServiceEntry entry = nullptr;
    // Runs on the thread of the service's main function before it is called (tests inject failures
    // of that thread's creations here).
    std::function<void()> onServiceMainThread;
    // The next RegisterServiceCtrlHandlerA of the service fails with this error (0: none).
    DWORD handlerRegistrationError = 0;
};

// Creates or replaces the Services key (Type SERVICE_WIN32_OWN_PROCESS, ImagePath) and the service's
// start configuration.
void ServiceRegister(std::u16string_view name, const ServiceConfig& config);
// Starts the executable in a new process (fresh id, the image path, current directory
// C:\Windows\System32, session 0) whose main thread runs its entry with the image path as argv[0].
// ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_ALREADY_RUNNING while a process runs, ERROR_BAD_FORMAT
// for a library without `main`.
DWORD ServiceStart(std::u16string_view name);
// Sends a control and returns once the handler has returned: ERROR_SERVICE_NOT_ACTIVE when the service
// does not dispatch, ERROR_SERVICE_CANNOT_ACCEPT_CTRL when the last status does not accept it
// (INTERROGATE is always delivered), ERROR_INVALID_SERVICE_CONTROL for an unknown code.
DWORD ServiceControl(std::u16string_view name, DWORD control);
// Waits (a host wait) for the process's main thread to end; false on the time-out.
bool ServiceWaitEnded(std::u16string_view name, DWORD milliseconds, int* exitCode = nullptr);
// Every status reported since the last start, in order.
std::vector<SERVICE_STATUS> ServiceStatusHistory(std::u16string_view name);
// The process of the last start (null before).
std::shared_ptr<Process> ServiceProcess(std::u16string_view name);

} // namespace host
