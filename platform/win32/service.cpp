// The service control manager: services registered under the registry's Services key, each started as
// an executable in a process context of its own. The process's main thread runs the executable's entry,
// which hands itself to the dispatcher; the dispatcher starts the service's main function on a thread
// of its own and calls the registered handler for each control on the dispatching thread, as Windows
// does. Each control is delivered only when the last reported status accepts it (INTERROGATE always).
#include <handleapi.h>
#include <processthreadsapi.h>
#include <synchapi.h>
#include <winsvc.h>

#include <host/loader.h>
#include <host/process.h>
#include <host/registry.h>
#include <host/services.h>

#include "kernel/hive.h"
#include "kernel/iomgr.h"
#include "win32_internal.h"

#include <dlfcn.h>

#include <deque>
#include <map>
#include <mutex>

using host::win32::Fail;

namespace host {
namespace {

struct Control {
    DWORD code = 0;
    HANDLE done = nullptr; // set once the handler has returned
};

struct Service {
    std::u16string name;
    ServiceConfig config;
    std::mutex lock;
    std::shared_ptr<Process> process;
    HANDLE mainThread = nullptr;
    int exitCode = 0;
    // The dispatcher's state while the process runs.
    bool dispatching = false;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = nullptr;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS status{};
    bool reported = false;
    std::vector<SERVICE_STATUS> history;
    std::deque<Control> controls;
    HANDLE controlEvent = nullptr; // auto-reset: controls are queued
};

struct Manager {
    std::mutex lock;
    std::map<std::u16string, std::unique_ptr<Service>> services; // by upper-cased name
};

Manager& M()
{
    static Manager* manager = new Manager;
    return *manager;
}

Service* Find(std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().services.find(io::Upcase(name));
    return it != M().services.end() ? it->second.get() : nullptr;
}

// The service whose process the calling thread belongs to.
Service* OfCurrentProcess()
{
    ULONG id = CurrentProcess().id;
    std::lock_guard<std::mutex> guard(M().lock);
    for (auto& [key, service] : M().services) {
        std::lock_guard<std::mutex> serviceGuard(service->lock);
        if (service->process != nullptr && service->process->id == id)
            return service.get();
    }
    return nullptr;
}

struct MainStart {
    Service* service;
    ServiceEntry entry;
};

DWORD WINAPI ProcessMain(LPVOID context)
{
    std::unique_ptr<MainStart> start(static_cast<MainStart*>(context));
    std::shared_ptr<Process> process;
    {
        std::lock_guard<std::mutex> guard(start->service->lock);
        process = start->service->process;
    }
    SetCurrentProcess(process);
    std::string image = utf::ToUtf8(process->imagePath);
    char* argv[] = {image.data(), nullptr};
    int code = start->entry(1, argv);
    std::lock_guard<std::mutex> guard(start->service->lock);
    start->service->exitCode = code;
    return static_cast<DWORD>(code);
}

DWORD WINAPI ServiceMainThread(LPVOID context)
{
    auto* service = static_cast<Service*>(context);
    if (service->config.onServiceMainThread)
        service->config.onServiceMainThread();
    std::string name = utf::ToUtf8(service->name);
    char* argv[] = {name.data(), nullptr};
    service->serviceMain(1, argv);
    return 0;
}

// The bit of SERVICE_ACCEPT_* a control needs; 0 for one that is always delivered, ~0 for an unknown
// code. User-defined codes (128 to 255) are always delivered.
DWORD AcceptBitFor(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
        return SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_INTERROGATE:
        return 0;
    default:
        return control >= 128 && control <= 255 ? 0 : ~0u;
    }
}

// Calls the handler for every queued control, each outside the service's lock.
void ServeControls(Service* service)
{
    for (;;) {
        Control control;
        LPHANDLER_FUNCTION handler;
        {
            std::lock_guard<std::mutex> guard(service->lock);
            if (service->controls.empty())
                return;
            control = service->controls.front();
            service->controls.pop_front();
            handler = service->handler;
        }
        if (handler != nullptr)
            handler(control.code);
        SetEvent(control.done);
    }
}

} // namespace

void ServiceRegister(std::u16string_view name, const ServiceConfig& config)
{
    std::u16string key = std::u16string(kServicesKey) + u"\\" + std::u16string(name);
    RegistryCreateKey(key);
    RegistrySetDword(key, u"Type", SERVICE_WIN32_OWN_PROCESS);
    RegistrySetString(key, u"ImagePath", config.imagePath);
    std::lock_guard<std::mutex> guard(M().lock);
    auto& slot = M().services[io::Upcase(name)];
    if (slot == nullptr)
        slot = std::make_unique<Service>();
    std::lock_guard<std::mutex> serviceGuard(slot->lock);
    slot->name = name;
    slot->config = config;
}

DWORD ServiceStart(std::u16string_view name)
{
    Service* service = Find(name);
    if (service == nullptr || !RegistryKeyExists(std::u16string(kServicesKey) + u"\\" + std::u16string(name)))
        return ERROR_SERVICE_DOES_NOT_EXIST;
    ServiceEntry entry = service->config.entry;
    if (entry == nullptr) {
        // Mapped once and never unmapped, as the driver loader keeps its images.
        void* library = dlopen(service->config.library.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? dlsym(library, "main") : nullptr;
        if (symbol == nullptr)
            return ERROR_BAD_FORMAT;
        entry = reinterpret_cast<ServiceEntry>(symbol);
    }
    std::lock_guard<std::mutex> guard(service->lock);
    if (service->mainThread != nullptr) {
        if (WaitForSingleObject(service->mainThread, 0) != WAIT_OBJECT_0)
            return ERROR_SERVICE_ALREADY_RUNNING;
        CloseHandle(service->mainThread);
        service->mainThread = nullptr;
    }
    service->process = ProcessCreate(service->config.imagePath);
    service->process->currentDirectory = u"C:\\Windows\\System32";
    service->process->sessionId = 0;
    service->history.clear();
    service->status = SERVICE_STATUS{};
    service->reported = false;
    service->handler = nullptr;
    service->exitCode = 0;
    auto* start = new MainStart{service, entry};
    service->mainThread = CreateThread(nullptr, 0, ProcessMain, start, 0, nullptr);
    if (service->mainThread == nullptr) {
        delete start;
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD ServiceControl(std::u16string_view name, DWORD control)
{
    Service* service = Find(name);
    if (service == nullptr)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD needed = AcceptBitFor(control);
    if (needed == ~0u)
        return ERROR_INVALID_SERVICE_CONTROL;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr)
        return GetLastError();
    {
        std::lock_guard<std::mutex> guard(service->lock);
        if (!service->dispatching || service->handler == nullptr || service->status.dwCurrentState == SERVICE_STOPPED) {
            CloseHandle(done);
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        if ((service->status.dwControlsAccepted & needed) != needed) {
            CloseHandle(done);
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        }
        service->controls.push_back(Control{control, done});
        SetEvent(service->controlEvent);
    }
    WaitForSingleObject(done, INFINITE);
    CloseHandle(done);
    return ERROR_SUCCESS;
}

bool ServiceWaitEnded(std::u16string_view name, DWORD milliseconds, int* exitCode)
{
    Service* service = Find(name);
    HANDLE thread = nullptr;
    if (service != nullptr) {
        std::lock_guard<std::mutex> guard(service->lock);
        thread = service->mainThread;
    }
    if (thread == nullptr || WaitForSingleObject(thread, milliseconds) != WAIT_OBJECT_0)
        return false;
    if (exitCode != nullptr) {
        std::lock_guard<std::mutex> guard(service->lock);
        *exitCode = service->exitCode;
    }
    return true;
}

std::vector<SERVICE_STATUS> ServiceStatusHistory(std::u16string_view name)
{
    Service* service = Find(name);
    if (service == nullptr)
        return {};
    std::lock_guard<std::mutex> guard(service->lock);
    return service->history;
}

std::shared_ptr<Process> ServiceProcess(std::u16string_view name)
{
    Service* service = Find(name);
    if (service == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(service->lock);
    return service->process;
}

} // namespace host

using namespace host;

extern "C" {

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable)
{
    if (lpServiceStartTable == nullptr || lpServiceStartTable[0].lpServiceName == nullptr ||
        lpServiceStartTable[0].lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    Service* service = OfCurrentProcess();
    if (service == nullptr)
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    HANDLE controlEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (controlEvent == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(service->lock);
        if (service->dispatching || !hive::NamesEqual(win32::Wide(lpServiceStartTable[0].lpServiceName), service->name)) {
            CloseHandle(controlEvent);
            return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        }
        service->dispatching = true;
        service->controlEvent = controlEvent;
        service->serviceMain = lpServiceStartTable[0].lpServiceProc;
    }
    HANDLE serviceMain = CreateThread(nullptr, 0, ServiceMainThread, service, 0, nullptr);
    bool mainEnded = serviceMain == nullptr;
    for (;;) {
        HANDLE waits[] = {controlEvent, serviceMain};
        DWORD result = WaitForMultipleObjects(mainEnded ? 1 : 2, waits, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0)
            ServeControls(service);
        else
            mainEnded = true;
        std::lock_guard<std::mutex> guard(service->lock);
        // A main function that returned without a control handler can never be stopped: the
        // dispatcher ends with it rather than serve nothing for ever.
        bool over = mainEnded && (service->status.dwCurrentState == SERVICE_STOPPED || service->handler == nullptr);
        if (over && service->controls.empty()) {
            service->dispatching = false;
            service->controlEvent = nullptr;
            break;
        }
    }
    if (serviceMain != nullptr)
        CloseHandle(serviceMain);
    CloseHandle(controlEvent);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc)
{
    Service* service = OfCurrentProcess();
    if (service == nullptr || lpServiceName == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(service->lock);
    if (!hive::NamesEqual(win32::Wide(lpServiceName), service->name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (service->config.handlerRegistrationError != 0) {
        SetLastError(service->config.handlerRegistrationError);
        service->config.handlerRegistrationError = 0;
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    service->handler = lpHandlerProc;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(service);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    Service* known = nullptr;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        for (auto& [key, service] : M().services)
            if (reinterpret_cast<SERVICE_STATUS_HANDLE>(service.get()) == hServiceStatus)
                known = service.get();
    }
    if (known == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpServiceStatus == nullptr || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED)
        return Fail(ERROR_INVALID_DATA);
    std::lock_guard<std::mutex> guard(known->lock);
    known->status = *lpServiceStatus;
    known->reported = true;
    known->history.push_back(*lpServiceStatus);
    // A dispatcher waiting for the stop looks again.
    if (known->controlEvent != nullptr && lpServiceStatus->dwCurrentState == SERVICE_STOPPED)
        SetEvent(known->controlEvent);
    return TRUE;
}

} // extern "C"
