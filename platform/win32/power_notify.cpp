// Suspend/resume notification by callback. A broadcast runs every registered callback on a system
// thread of its own, each in the process that registered it (the callback is that process's code), and
// returns once they have all returned; unregistering waits for a broadcast in progress, so a callback
// never runs after its registration is gone.
#include <handleapi.h>
#include <powerbase.h>
#include <processthreadsapi.h>
#include <synchapi.h>

#include <host/power_broadcast.h>
#include <host/process.h>

#include "win32_internal.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace host {
namespace {

struct Registration {
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS subscription{};
    std::shared_ptr<Process> process;
};

struct Registrations {
    // Held for a whole broadcast, so unregistering waits for the callbacks in flight.
    std::mutex lock;
    std::vector<std::unique_ptr<Registration>> list;
};

Registrations& R()
{
    static Registrations* registrations = new Registrations;
    return *registrations;
}

struct Broadcast {
    ULONG type;
};

DWORD WINAPI BroadcastThread(LPVOID context)
{
    ULONG type = static_cast<Broadcast*>(context)->type;
    for (const auto& registration : R().list) {
        SetCurrentProcess(registration->process);
        registration->subscription.Callback(registration->subscription.Context, type, nullptr);
    }
    return 0;
}

} // namespace

void PowerBroadcastSuspendResume(ULONG type)
{
    std::lock_guard<std::mutex> guard(R().lock);
    if (R().list.empty())
        return;
    Broadcast broadcast{type};
    HANDLE thread = CreateThread(nullptr, 0, BroadcastThread, &broadcast, 0, nullptr);
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

} // namespace host

using namespace host;

extern "C" {

DWORD PowerRegisterSuspendResumeNotification(DWORD Flags, HANDLE Recipient, PHPOWERNOTIFY RegistrationHandle)
{
    auto* subscription = static_cast<DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS*>(Recipient);
    if (Flags != DEVICE_NOTIFY_CALLBACK || subscription == nullptr || subscription->Callback == nullptr ||
        RegistrationHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    auto registration = std::make_unique<Registration>();
    registration->subscription = *subscription;
    registration->process = CurrentProcessShared();
    std::lock_guard<std::mutex> guard(R().lock);
    *RegistrationHandle = registration.get();
    R().list.push_back(std::move(registration));
    return ERROR_SUCCESS;
}

DWORD PowerUnregisterSuspendResumeNotification(HPOWERNOTIFY RegistrationHandle)
{
    std::lock_guard<std::mutex> guard(R().lock);
    auto it = std::find_if(R().list.begin(), R().list.end(),
                           [&](const auto& registration) { return registration.get() == RegistrationHandle; });
    if (it == R().list.end())
        return ERROR_INVALID_HANDLE;
    R().list.erase(it);
    return ERROR_SUCCESS;
}

} // extern "C"
