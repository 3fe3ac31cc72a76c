// User-mode access to devices: DeviceIoControl and the transfers on device files (over the I/O manager's
// user-mode entry, host/io.h), and the configuration manager's interface lists and notifications.
#include <cfgmgr32.h>
#include <ioapiset.h>
#include <synchapi.h>

#include <host/io.h>
#include <host/utf.h>

#include "file_system.h"
#include "kernel/iomgr.h"
#include "win32_internal.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host::files
{
namespace
{

// How a synchronous device request ends for its Win32 caller: success, or FALSE with the status's
// error. A warning (a buffer overflow) still reports the bytes the driver returned; an error none. An
// OVERLAPPED receives the status and count and its event is set, as for a request that completed at once.
BOOL FinishDeviceRequest(NTSTATUS status, ULONG_PTR information, LPDWORD transferred, LPOVERLAPPED overlapped)
{
    if (status == STATUS_OBJECT_TYPE_MISMATCH)
        status = STATUS_INVALID_HANDLE; // neither a file on a device nor anything else that takes requests
    ULONG_PTR moved = NT_ERROR(status) ? 0 : information;
    if (transferred != nullptr)
        *transferred = static_cast<DWORD>(moved);
    if (overlapped != nullptr) {
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
        overlapped->InternalHigh = moved;
        if (overlapped->hEvent != nullptr)
            SetEvent(overlapped->hEvent);
    }
    if (NT_SUCCESS(status)) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return win32::Fail(win32::ErrorFromStatus(status));
}

} // namespace

BOOL DeviceTransfer(HANDLE handle, void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped,
                    bool write)
{
    if (!TransferArgumentsValid(buffer, count, transferred, overlapped))
        return win32::Fail(ERROR_INVALID_PARAMETER);
    ULONG_PTR information = 0;
    NTSTATUS status =
        write ? IoWrite(handle, buffer, count, &information) : IoRead(handle, buffer, count, &information);
    return FinishDeviceRequest(status, information, transferred, overlapped);
}

BOOL DeviceControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                   DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped)
{
    // A synchronous call needs somewhere to report the count.
    if (returned == nullptr && overlapped == nullptr)
        return win32::Fail(ERROR_INVALID_PARAMETER);
    ULONG_PTR information = 0;
    NTSTATUS status = IoDeviceControl(handle, code, input, inputLength, output, outputLength, &information);
    return FinishDeviceRequest(status, information, returned, overlapped);
}

} // namespace host::files

namespace
{

using host::utf::ToUtf16;
using host::utf::ToUtf8;

// --- Interface lists -------------------------------------------------------------------------------

// The interfaces of `guid` as user-mode paths, limited to one device instance when `device` is not
// empty. `present` keeps the enabled ones only.
std::vector<std::u16string> Interfaces(const GUID& guid, std::u16string_view device, bool present)
{
    std::vector<std::u16string> paths = host::io::InterfaceList(guid, present);
    // The path names the instance with '#' for '\' between its \\?\ prefix and the #{class} that follows.
    std::u16string prefix = host::io::Upcase(device);
    std::replace(prefix.begin(), prefix.end(), u'\\', u'#');
    prefix += u"#{";
    std::vector<std::u16string> list;
    for (auto& path : paths) {
        path.replace(0, 4, u"\\\\?\\");
        if (device.empty() || host::io::Upcase(path).compare(4, prefix.size(), prefix) == 0)
            list.push_back(std::move(path));
    }
    return list;
}

// The list as the caller's character type: each path terminated, then one more terminator.
template <class C> std::basic_string<C> Flatten(const std::vector<std::u16string>& paths)
{
    std::basic_string<C> list;
    for (auto& path : paths) {
        list += host::win32::Native<C>(path);
        list.push_back(C(0));
    }
    list.push_back(C(0));
    return list;
}

constexpr ULONG kListFlags = CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES;

// The list a call asks for, once its arguments passed. Only the local machine (a null handle) is
// served; remote access is refused as on current Windows.
template <class C>
CONFIGRET Collect(LPGUID guid, const C* deviceId, ULONG flags, HMACHINE machine, std::basic_string<C>* list)
{
    if (guid == nullptr)
        return CR_INVALID_POINTER;
    if ((flags & ~kListFlags) != 0)
        return CR_INVALID_FLAG;
    if (machine != nullptr)
        return CR_ACCESS_DENIED;
    bool present = (flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) == 0;
    *list = Flatten<C>(Interfaces(*guid, host::win32::Wide(deviceId), present));
    return CR_SUCCESS;
}

template <class C> CONFIGRET ListSize(PULONG length, LPGUID guid, C* deviceId, ULONG flags, HMACHINE machine)
{
    if (length == nullptr)
        return CR_INVALID_POINTER;
    *length = 0;
    std::basic_string<C> list;
    CONFIGRET result = Collect<C>(guid, deviceId, flags, machine, &list);
    if (result == CR_SUCCESS)
        *length = static_cast<ULONG>(list.size());
    return result;
}

// The list is read again: when it grew since the caller sized its buffer, CR_BUFFER_SMALL.
template <class C>
CONFIGRET List(LPGUID guid, C* deviceId, C* buffer, ULONG length, ULONG flags, HMACHINE machine)
{
    if (buffer == nullptr || length == 0)
        return CR_INVALID_POINTER;
    std::basic_string<C> list;
    CONFIGRET result = Collect<C>(guid, deviceId, flags, machine, &list);
    if (result != CR_SUCCESS)
        return result;
    if (list.size() > length)
        return CR_BUFFER_SMALL;
    std::copy(list.begin(), list.end(), buffer);
    return CR_SUCCESS;
}

// --- Notifications ---------------------------------------------------------------------------------

struct Registration {
    bool allClasses = false;
    GUID guid{};
    PVOID context = nullptr;
    PCM_NOTIFY_CALLBACK callback = nullptr;
    // Guarded by the notifier's lock.
    bool active = true;
    bool running = false;
    std::thread::id runningOn;
    KEVENT idle{}; // signalled while no callback of this registration runs

    bool Wants(const GUID& changed) const { return allClasses || guid == changed; }
};

struct Change {
    std::vector<std::shared_ptr<Registration>> targets; // registered when the change happened
    GUID guid;
    std::u16string link;
    bool arrived;
};

// One dispatcher thread at a time delivers the changes in order; it runs while there are changes to
// deliver and ends when the queue is empty.
struct Notifier {
    std::mutex lock;
    std::vector<std::shared_ptr<Registration>> registrations;
    std::deque<Change> queue;
    bool dispatching = false;
};

Notifier& Notes()
{
    static auto* notifier = new Notifier;
    return *notifier;
}

void Deliver(Registration& registration, const Change& change)
{
    size_t size = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) +
                  (change.link.size() + 1) * sizeof(WCHAR);
    std::vector<ULONG> storage((size + sizeof(ULONG) - 1) / sizeof(ULONG)); // aligned for the record
    auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(storage.data());
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->u.DeviceInterface.ClassGuid = change.guid;
    std::copy(change.link.begin(), change.link.end(), data->u.DeviceInterface.SymbolicLink);
    data->u.DeviceInterface.SymbolicLink[change.link.size()] = 0;
    registration.callback(reinterpret_cast<HCMNOTIFICATION>(&registration), registration.context,
                          change.arrived ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
                                         : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                          data, static_cast<DWORD>(size));
}

void Dispatcher(PVOID)
{
    Notifier& n = Notes();
    std::unique_lock<std::mutex> guard(n.lock);
    while (!n.queue.empty()) {
        Change change = std::move(n.queue.front());
        n.queue.pop_front();
        for (auto& target : change.targets) {
            if (!target->active)
                continue;
            target->running = true;
            target->runningOn = std::this_thread::get_id();
            KeClearEvent(&target->idle);
            guard.unlock();
            Deliver(*target, change);
            guard.lock();
            target->running = false;
            KeSetEvent(&target->idle, IO_NO_INCREMENT, FALSE);
        }
    }
    n.dispatching = false;
}

// The I/O manager's watcher: queues the change for the registrations that want it, never calling them
// here, inside the PnP operation.
void InterfaceChanged(const GUID& guid, const std::u16string& path, bool arrived)
{
    Notifier& n = Notes();
    std::lock_guard<std::mutex> guard(n.lock);
    Change change{{}, guid, u"\\\\?\\" + path.substr(4), arrived};
    for (auto& registration : n.registrations)
        if (registration->Wants(guid))
            change.targets.push_back(registration);
    if (change.targets.empty())
        return;
    n.queue.push_back(std::move(change));
    if (n.dispatching)
        return;
    HANDLE thread = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Dispatcher,
                                         nullptr))) {
        n.queue.clear(); // no thread to deliver them: the changes are lost, as on a system out of resources
        return;
    }
    n.dispatching = true;
    ZwClose(thread);
}

} // namespace

extern "C" {

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped)
{
    return host::files::DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                      nOutBufferSize, lpBytesReturned, lpOverlapped);
}

CONFIGRET CM_Get_Device_Interface_List_Size_ExA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                DEVINSTID_A pDeviceID, ULONG ulFlags, HMACHINE hMachine)
{
    return ListSize(pulLen, InterfaceClassGuid, pDeviceID, ulFlags, hMachine);
}

CONFIGRET CM_Get_Device_Interface_List_Size_ExW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                DEVINSTID_W pDeviceID, ULONG ulFlags, HMACHINE hMachine)
{
    return ListSize(pulLen, InterfaceClassGuid, pDeviceID, ulFlags, hMachine);
}

CONFIGRET CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                             ULONG ulFlags)
{
    return ListSize(pulLen, InterfaceClassGuid, pDeviceID, ulFlags, nullptr);
}

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags)
{
    return ListSize(pulLen, InterfaceClassGuid, pDeviceID, ulFlags, nullptr);
}

CONFIGRET CM_Get_Device_Interface_List_ExA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                           ULONG BufferLen, ULONG ulFlags, HMACHINE hMachine)
{
    return List(InterfaceClassGuid, pDeviceID, Buffer, BufferLen, ulFlags, hMachine);
}

CONFIGRET CM_Get_Device_Interface_List_ExW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                           ULONG BufferLen, ULONG ulFlags, HMACHINE hMachine)
{
    return List(InterfaceClassGuid, pDeviceID, Buffer, BufferLen, ulFlags, hMachine);
}

CONFIGRET CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags)
{
    return List(InterfaceClassGuid, pDeviceID, Buffer, BufferLen, ulFlags, nullptr);
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags)
{
    return List(InterfaceClassGuid, pDeviceID, Buffer, BufferLen, ulFlags, nullptr);
}

// Only interface notifications are served: of one class, or of every class with
// CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES.
CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext, PCM_NOTIFY_CALLBACK pCallback,
                                   PHCMNOTIFICATION pNotifyContext)
{
    if (pFilter == nullptr || pCallback == nullptr || pNotifyContext == nullptr)
        return CR_INVALID_POINTER;
    *pNotifyContext = nullptr;
    if (pFilter->cbSize != sizeof(CM_NOTIFY_FILTER) || pFilter->Reserved != 0 ||
        pFilter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
        return CR_INVALID_DATA;
    if ((pFilter->Flags & ~ULONG(CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES)) != 0)
        return CR_INVALID_FLAG;
    auto registration = std::make_shared<Registration>();
    registration->allClasses = (pFilter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0;
    registration->guid = pFilter->u.DeviceInterface.ClassGuid;
    registration->context = pContext;
    registration->callback = pCallback;
    KeInitializeEvent(&registration->idle, NotificationEvent, TRUE);
    host::io::InterfaceWatch(InterfaceChanged);
    Notifier& n = Notes();
    std::lock_guard<std::mutex> guard(n.lock);
    n.registrations.push_back(registration);
    *pNotifyContext = reinterpret_cast<HCMNOTIFICATION>(registration.get());
    return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext)
{
    if (NotifyContext == nullptr)
        return CR_INVALID_POINTER;
    Notifier& n = Notes();
    std::shared_ptr<Registration> registration;
    bool wait = false;
    {
        std::lock_guard<std::mutex> guard(n.lock);
        auto it = std::find_if(n.registrations.begin(), n.registrations.end(), [&](const auto& r) {
            return reinterpret_cast<HCMNOTIFICATION>(r.get()) == NotifyContext;
        });
        if (it == n.registrations.end())
            return CR_INVALID_DATA;
        registration = *it;
        n.registrations.erase(it);
        registration->active = false;
        wait = registration->running && registration->runningOn != std::this_thread::get_id();
    }
    if (wait)
        KeWaitForSingleObject(&registration->idle, Executive, KernelMode, FALSE, nullptr);
    return CR_SUCCESS;
}

} // extern "C"
