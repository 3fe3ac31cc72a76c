// Device objects and their stacks, object names (device names, symbolic links, device interfaces) and
// system work items on device objects.
#include "iomgr.h"

#include <host/executive.h>
#include <host/verifier.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

namespace host::io
{
namespace
{

struct Interface {
    GUID guid;
    Device* pdo;
    std::u16string reference;
    std::u16string link; // the one path component the interface is known by
    bool enabled = false;
};

// Guards the stacks' links, names, interfaces and open counts. Never held across a driver call.
struct Names {
    std::mutex lock;
    std::map<std::u16string, Device*> devices; // \Device\ names, upper-cased
    std::map<std::u16string, Device*> links;   // symbolic links, upper-cased, without their prefix
    std::vector<Interface> interfaces;
    ULONG autoName = 0;
};

Names& N()
{
    static Names* names = new Names;
    return *names;
}

std::atomic<InterfaceWatcher> g_watcher{nullptr};

std::u16string PathOf(const Interface& i)
{
    return u"\\??\\" + i.link + (i.reference.empty() ? u"" : u"\\" + i.reference);
}

// Tells the watcher of an interface's change; never called under the names' lock.
void Announce(const Interface& i, bool arrived)
{
    if (InterfaceWatcher watcher = g_watcher.load())
        watcher(i.guid, PathOf(i), arrived);
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && Upcase(text.substr(0, prefix.size())) == Upcase(prefix);
}

// Splits a name into its namespace (device or link), its first component and the rest.
bool SplitName(std::u16string_view name, bool* isDevice, std::u16string_view* component,
               std::u16string_view* rest)
{
    static constexpr std::u16string_view kLinkPrefixes[] = {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\",
                                                            u"\\\\?\\", u"\\\\.\\"};
    *isDevice = StartsWith(name, u"\\Device\\");
    if (*isDevice) {
        name.remove_prefix(8);
    } else {
        bool found = false;
        for (auto prefix : kLinkPrefixes)
            if (StartsWith(name, prefix)) {
                name.remove_prefix(prefix.size());
                found = true;
                break;
            }
        if (!found)
            return false;
    }
    size_t slash = name.find(u'\\');
    *component = name.substr(0, slash);
    *rest = slash == std::u16string_view::npos ? std::u16string_view() : name.substr(slash);
    return !component->empty();
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + strlen(text));
}

} // namespace

std::u16string Upcase(std::u16string_view text)
{
    std::u16string upper(text);
    for (auto& c : upper)
        c = RtlUpcaseUnicodeChar(c);
    return upper;
}

UNICODE_STRING Counted(std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = text.data();
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    return counted;
}

std::u16string Text(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr)
        return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string RegistryText(const std::vector<UCHAR>& data)
{
    std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / sizeof(char16_t));
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return text;
}

Device* Device::From(PDEVICE_OBJECT object)
{
    return reinterpret_cast<Device*>(object); // the DEVICE_OBJECT is the first member
}

NTSTATUS DeviceCreate(PDRIVER_OBJECT driver, std::u16string_view name, ULONG type, ULONG characteristics,
                      bool exclusive, DeviceHandler* handler, Device** device)
{
    *device = nullptr;
    if (!name.empty() && !StartsWith(name, u"\\Device\\"))
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    auto* created = new (std::nothrow) Device;
    if (created == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    created->object.Type = 3;
    created->object.Size = sizeof(DEVICE_OBJECT);
    created->object.ReferenceCount = 1;
    created->object.DriverObject = driver;
    created->object.DeviceType = type;
    created->object.Characteristics = characteristics;
    created->object.Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    created->object.StackSize = 1;
    created->driver = driver;
    created->exclusive = exclusive;
    created->handler = handler;
    created->name = name;
    KeInitializeEvent(&created->drained, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(N().lock);
    if (!name.empty()) {
        std::u16string key = Upcase(name.substr(8));
        if (key.empty() || key.find(u'\\') != std::u16string::npos) {
            delete created;
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (N().devices.count(key) != 0) {
            delete created;
            return STATUS_OBJECT_NAME_COLLISION;
        }
        N().devices[key] = created;
    }
    if (driver != nullptr) {
        created->object.NextDevice = driver->DeviceObject;
        driver->DeviceObject = &created->object;
    }
    *device = created;
    return STATUS_SUCCESS;
}

void DeviceAttach(Device* device, Device* lower)
{
    std::lock_guard<std::mutex> guard(N().lock);
    while (lower->upper != nullptr)
        lower = lower->upper;
    device->lower = lower;
    device->node = lower->node;
    lower->upper = device;
    lower->object.AttachedDevice = &device->object;
    device->object.StackSize = static_cast<CCHAR>(lower->object.StackSize + 1);
}

Device* DeviceTop(Device* device)
{
    std::lock_guard<std::mutex> guard(N().lock);
    while (device->upper != nullptr)
        device = device->upper;
    return device;
}

std::vector<Device*> DeviceStack(Device* bottom)
{
    std::vector<Device*> stack;
    std::lock_guard<std::mutex> guard(N().lock);
    for (Device* d = bottom; d != nullptr; d = d->upper)
        stack.push_back(d);
    return stack;
}

void LinksRemove(Device* device)
{
    std::vector<Interface> withdrawn;
    {
        std::lock_guard<std::mutex> guard(N().lock);
        for (auto it = N().links.begin(); it != N().links.end();)
            it = it->second == device ? N().links.erase(it) : std::next(it);
        for (auto it = N().devices.begin(); it != N().devices.end();)
            it = it->second == device ? N().devices.erase(it) : std::next(it);
        auto& interfaces = N().interfaces;
        for (auto& i : interfaces)
            if (i.pdo == device && i.enabled)
                withdrawn.push_back(i);
        interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                        [device](const Interface& i) { return i.pdo == device; }),
                         interfaces.end());
    }
    for (auto& i : withdrawn)
        Announce(i, false);
}

void DeviceDelete(Device* device)
{
    LinksRemove(device);
    {
        std::lock_guard<std::mutex> guard(N().lock);
        if (device->upper != nullptr) {
            device->upper->lower = device->lower;
        }
        if (device->lower != nullptr) {
            device->lower->upper = device->upper;
            device->lower->object.AttachedDevice =
                device->upper == nullptr ? nullptr : &device->upper->object;
        }
        if (device->driver != nullptr)
            for (PDEVICE_OBJECT* link = &device->driver->DeviceObject; *link != nullptr;
                 link = &(*link)->NextDevice)
                if (*link == &device->object) {
                    *link = device->object.NextDevice;
                    break;
                }
        device->upper = device->lower = nullptr;
        if (device->opens != 0) {
            device->deleted = true;
            return;
        }
    }
    delete device;
}

void DeviceRundown(Device* device)
{
    device->removing = true;
    if (device->dispatching != 0)
        KeWaitForSingleObject(&device->drained, Executive, KernelMode, FALSE, nullptr);
}

bool DeviceOpen(Device* device)
{
    std::lock_guard<std::mutex> guard(N().lock);
    if (device->deleted || (device->exclusive && device->opens != 0))
        return false;
    device->opens++;
    return true;
}

void DeviceClosed(Device* device)
{
    {
        std::lock_guard<std::mutex> guard(N().lock);
        if (--device->opens != 0 || !device->deleted)
            return;
    }
    delete device;
}

NTSTATUS LinkCreate(std::u16string_view link, Device* device)
{
    bool isDevice;
    std::u16string_view component, rest;
    if (!SplitName(link, &isDevice, &component, &rest) || isDevice || !rest.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(N().lock);
    auto key = Upcase(component);
    if (N().links.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    N().links[key] = device;
    return STATUS_SUCCESS;
}

Device* Resolve(std::u16string_view name, std::u16string* remainder)
{
    bool isDevice;
    std::u16string_view component, rest;
    if (!SplitName(name, &isDevice, &component, &rest))
        return nullptr;
    std::lock_guard<std::mutex> guard(N().lock);
    auto& table = isDevice ? N().devices : N().links;
    auto it = table.find(Upcase(component));
    if (it == table.end())
        return nullptr;
    if (remainder != nullptr)
        *remainder = rest;
    return it->second;
}

NTSTATUS InterfaceRegister(Device* pdo, const GUID& guid, std::u16string_view reference, std::u16string* path)
{
    if (!reference.empty() && reference.find(u'\\') != std::u16string_view::npos)
        return STATUS_INVALID_PARAMETER;
    std::u16string link = NodeInstanceId(NodeOf(pdo));
    std::replace(link.begin(), link.end(), u'\\', u'#');
    link += u"#" + GuidText(guid);
    std::lock_guard<std::mutex> guard(N().lock);
    for (auto& i : N().interfaces)
        if (i.pdo == pdo && i.guid == guid && Upcase(i.reference) == Upcase(reference)) {
            *path = PathOf(i);
            return STATUS_SUCCESS;
        }
    N().interfaces.push_back(Interface{guid, pdo, std::u16string(reference), link, false});
    *path = PathOf(N().interfaces.back());
    return STATUS_SUCCESS;
}

// Enabling an interface makes its link resolve to the PDO (the stack's top is opened, with the
// reference string as the file name); disabling withdraws the link.
NTSTATUS InterfaceSetState(std::u16string_view path, bool enabled)
{
    Interface changed;
    {
        std::lock_guard<std::mutex> guard(N().lock);
        auto it = std::find_if(N().interfaces.begin(), N().interfaces.end(),
                               [&](const Interface& i) { return Upcase(PathOf(i)) == Upcase(path); });
        if (it == N().interfaces.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (it->enabled == enabled)
            return STATUS_SUCCESS;
        it->enabled = enabled;
        bool anyEnabled = false;
        for (auto& other : N().interfaces)
            anyEnabled = anyEnabled || (other.link == it->link && other.enabled);
        if (anyEnabled)
            N().links[Upcase(it->link)] = it->pdo;
        else
            N().links.erase(Upcase(it->link));
        changed = *it;
    }
    Announce(changed, enabled);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> InterfaceList(const GUID& guid, bool enabledOnly)
{
    std::vector<std::u16string> list;
    std::lock_guard<std::mutex> guard(N().lock);
    for (auto& i : N().interfaces)
        if (i.guid == guid && (i.enabled || !enabledOnly))
            list.push_back(PathOf(i));
    return list;
}

void InterfaceWatch(InterfaceWatcher watcher)
{
    g_watcher = watcher;
}

} // namespace host::io

// ---------------------------------------------------------------------------------------------
// System work items on a device object.
struct _IO_WORKITEM {
    host::WorkItem item;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
};

namespace
{

void RunIoWorkItem(host::WorkItem* item)
{
    auto* work = reinterpret_cast<PIO_WORKITEM>(item);
    work->routine(work->device, work->context);
}

} // namespace

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "IoAllocateWorkItem without a device object");
        return nullptr;
    }
    auto* work = new (std::nothrow) _IO_WORKITEM{};
    if (work != nullptr)
        work->device = DeviceObject;
    return work;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    if (IoWorkItem == nullptr || WorkerRoutine == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "IoQueueWorkItem without an item or a routine");
        return;
    }
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->item.routine = RunIoWorkItem;
    IoWorkItem->item.owner = reinterpret_cast<const void*>(WorkerRoutine);
    host::WorkQueue(&IoWorkItem->item);
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    delete IoWorkItem;
}

} // extern "C"
