// Registry callbacks: every value set, from the kernel or the Win32 view, is told to each registered
// callback on the writer's thread as RegNtPostSetValueKey, after the write (the hive's observers run
// there without its lock). Only the post-set notification is delivered: nothing here needs the others.
#include "hive.h"

#include <host/registry.h>
#include <host/verifier.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kKeyNameTag = 0x6E4B6D43; // 'CmKn'

struct Callback {
    PEX_CALLBACK_FUNCTION function;
    PVOID context;
    std::u16string altitude;
    LONGLONG cookie;
    // Calls in progress; CmUnRegisterCallback marks the callback removed and waits for them to end (a
    // steady stream of writers cannot starve it: a removed callback takes no new call).
    std::mutex lock;
    std::condition_variable idle;
    int running = 0;
    bool removed = false;
};

// What a notification's Object points at: the key's full name while the callbacks run.
struct KeyObject {
    std::u16string name;
};

struct Registry {
    std::mutex lock;
    std::vector<std::shared_ptr<Callback>> callbacks;
    LONGLONG nextCookie = 1;
    bool observing = false;
};

Registry& R()
{
    static Registry* registry = new Registry; // writers may outlive static teardown
    return *registry;
}

// The key's name as the configuration manager gives it: the control set through its real name.
std::u16string KernelName(std::u16string_view keyPath)
{
    static constexpr std::u16string_view kLink = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet";
    std::u16string name(keyPath);
    if (name.size() >= kLink.size() && host::hive::NamesEqual(std::u16string_view(name).substr(0, kLink.size()), kLink) &&
        (name.size() == kLink.size() || name[kLink.size()] == u'\\'))
        name.replace(kLink.size() - 17, 17, u"ControlSet001");
    return name;
}

void Notify(std::u16string_view keyPath, host::RegistryChange change, std::u16string_view)
{
    if (change != host::RegistryChange::ValueSet)
        return;
    std::vector<std::shared_ptr<Callback>> callbacks;
    {
        std::lock_guard<std::mutex> guard(R().lock);
        callbacks = R().callbacks;
    }
    KeyObject key{KernelName(keyPath)};
    for (const auto& callback : callbacks) {
        {
            std::lock_guard<std::mutex> guard(callback->lock);
            if (callback->removed)
                continue; // unregistered meanwhile: the call does not happen
            callback->running++;
        }
        REG_POST_OPERATION_INFORMATION info{};
        info.Object = &key;
        info.Status = STATUS_SUCCESS;
        callback->function(callback->context, reinterpret_cast<PVOID>(ULONG_PTR(RegNtPostSetValueKey)), &info);
        std::lock_guard<std::mutex> guard(callback->lock);
        if (--callback->running == 0 && callback->removed)
            callback->idle.notify_all();
    }
}

} // namespace

extern "C" {

NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID, PVOID Context,
                              PLARGE_INTEGER Cookie, PVOID)
{
    if (Function == nullptr || Altitude == nullptr || Cookie == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto callback = std::make_shared<Callback>();
    callback->function = Function;
    callback->context = Context;
    callback->altitude.assign(Altitude->Buffer, Altitude->Length / sizeof(WCHAR));
    bool observe = false;
    {
        std::lock_guard<std::mutex> guard(R().lock);
        for (const auto& existing : R().callbacks)
            if (existing->altitude == callback->altitude)
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
        callback->cookie = R().nextCookie++;
        R().callbacks.push_back(callback);
        observe = !R().observing;
        R().observing = true;
    }
    if (observe)
        host::RegistryAddObserver(Notify);
    Cookie->QuadPart = callback->cookie;
    return STATUS_SUCCESS;
}

NTSTATUS CmUnRegisterCallback(LARGE_INTEGER Cookie)
{
    std::shared_ptr<Callback> callback;
    {
        std::lock_guard<std::mutex> guard(R().lock);
        for (auto it = R().callbacks.begin(); it != R().callbacks.end(); ++it)
            if ((*it)->cookie == Cookie.QuadPart) {
                callback = *it;
                R().callbacks.erase(it);
                break;
            }
    }
    if (callback == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> guard(callback->lock);
    callback->removed = true;
    callback->idle.wait(guard, [&] { return callback->running == 0; });
    return STATUS_SUCCESS;
}

NTSTATUS CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER, PVOID Object, PULONG_PTR ObjectID, PCUNICODE_STRING* ObjectName,
                                    ULONG)
{
    if (Object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (ObjectID != nullptr)
        *ObjectID = reinterpret_cast<ULONG_PTR>(Object);
    if (ObjectName == nullptr)
        return STATUS_SUCCESS;
    const std::u16string& name = static_cast<const KeyObject*>(Object)->name;
    size_t bytes = name.size() * sizeof(WCHAR);
    auto* copy = static_cast<UNICODE_STRING*>(
        ExAllocatePool2(POOL_FLAG_PAGED, sizeof(UNICODE_STRING) + bytes, kKeyNameTag));
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    copy->Buffer = reinterpret_cast<PWCH>(copy + 1);
    copy->Length = copy->MaximumLength = static_cast<USHORT>(bytes);
    memcpy(copy->Buffer, name.data(), bytes);
    *ObjectName = copy;
    return STATUS_SUCCESS;
}

void CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName)
{
    if (ObjectName != nullptr)
        ExFreePoolWithTag(const_cast<PUNICODE_STRING>(ObjectName), kKeyNameTag);
}

// Kernel APCs are not emulated: a critical region has nothing to hold off.
void KeEnterCriticalRegion(void) {}
void KeLeaveCriticalRegion(void) {}

} // extern "C"
