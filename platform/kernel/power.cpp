// Power-setting callbacks: a driver registers for a setting and hears its value once at registration
// (no data while the host never set one), then on every change the host makes, on the thread making it.
#include <host/executive.h>
#include <host/pnp.h>
#include <host/verifier.h>

#include <wdm.h>

#include <list>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace
{

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return memcmp(&a, &b, sizeof(GUID)) < 0; }
};

struct Registration {
    GUID setting;
    PPOWER_SETTING_CALLBACK callback;
    PVOID context;
    int running = 0; // calls in progress; unregistration waits for them
};

struct Settings {
    std::mutex lock;
    std::map<GUID, std::vector<UCHAR>, GuidLess> values;
    std::list<Registration> registrations;
    KEVENT idle; // set while no callback runs
    Settings() { KeInitializeEvent(&idle, NotificationEvent, TRUE); }
};

Settings& S()
{
    static Settings* settings = new Settings;
    return *settings;
}

void Call(Registration* registration, std::vector<UCHAR> value)
{
    KIRQL irql;
    int locks;
    host::CallbackEnter("power setting callback", &irql, &locks);
    registration->callback(&registration->setting, value.empty() ? nullptr : value.data(),
                           static_cast<ULONG>(value.size()), registration->context);
    host::CallbackLeave("power setting callback", irql, locks);
    std::lock_guard<std::mutex> guard(S().lock);
    if (--registration->running == 0)
        KeSetEvent(&S().idle, IO_NO_INCREMENT, FALSE);
}

// Marks the registration busy (lock held) so it outlives the call.
std::vector<UCHAR> Begin(Registration* registration)
{
    registration->running++;
    KeClearEvent(&S().idle);
    auto it = S().values.find(registration->setting);
    return it == S().values.end() ? std::vector<UCHAR>() : it->second;
}

} // namespace

namespace host
{

void PnpSetPowerSetting(const GUID& setting, const void* value, ULONG length)
{
    std::vector<std::pair<Registration*, std::vector<UCHAR>>> calls;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto& stored = S().values[setting];
        stored.assign(static_cast<const UCHAR*>(value), static_cast<const UCHAR*>(value) + length);
        for (auto& registration : S().registrations)
            if (registration.setting == setting)
                calls.emplace_back(&registration, Begin(&registration));
    }
    for (auto& [registration, data] : calls)
        Call(registration, std::move(data));
}

} // namespace host

extern "C" {

NTSTATUS PoRegisterPowerSettingCallback(PDEVICE_OBJECT DeviceObject, LPCGUID SettingGuid,
                                        PPOWER_SETTING_CALLBACK Callback, PVOID Context, PVOID* Handle)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (SettingGuid == nullptr || Callback == nullptr || Handle == nullptr)
        return STATUS_INVALID_PARAMETER;
    Registration* registration;
    std::vector<UCHAR> value;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().registrations.push_back(Registration{*SettingGuid, Callback, Context});
        registration = &S().registrations.back();
        value = Begin(registration);
    }
    *Handle = registration;
    Call(registration, std::move(value));
    return STATUS_SUCCESS;
}

NTSTATUS PoUnregisterPowerSettingCallback(PVOID Handle)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(S().lock);
            auto it = S().registrations.begin();
            while (it != S().registrations.end() && &*it != Handle)
                ++it;
            if (it == S().registrations.end()) {
                host::VerifierReport(host::Check::InvalidParameter,
                                     "PoUnregisterPowerSettingCallback(%p): not registered", Handle);
                return STATUS_INVALID_PARAMETER;
            }
            if (it->running == 0) {
                S().registrations.erase(it);
                return STATUS_SUCCESS;
            }
        }
        KeWaitForSingleObject(&S().idle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
