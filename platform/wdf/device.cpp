// Framework devices: WDFDEVICE_INIT and WdfDeviceCreate, the PnP and power callbacks in the order the
// framework calls them, file objects, names, interfaces and device properties.
#include "fxio.h"

#include <host/verifier.h>

#include <algorithm>
#include <new>

struct WDFDEVICE_INIT : fx::DeviceConfig {
    fx::Driver* driver = nullptr;
    host::io::Device* pdo = nullptr;
    bool filter = false;
    bool exclusive = false;
    ULONG deviceType = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    std::u16string name;
    WDF_TRI_STATE powerPolicyOwner = WdfUseDefault;
    fx::Device* created = nullptr;
};

namespace fx
{
namespace
{

// Runs a PnP or power callback of the driver. These are not serialised with the queues' callbacks.
template <typename Callback, typename... Args>
NTSTATUS Run(Device* device, const char* what, Callback callback, Args... args)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (callback == nullptr)
        return status;
    {
        CallbackScope scope(device, what, false);
        if constexpr (std::is_void_v<decltype(callback(args...))>)
            callback(args...);
        else
            status = callback(args...);
    }
    RunDeferredDeletions();
    return status;
}

NTSTATUS FxAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    Driver* driver = DriverFromObject(driverObject);
    if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.pdo = host::io::Device::From(physicalDeviceObject);
    PWDFDEVICE_INIT pointer = &init;
    NTSTATUS status = STATUS_SUCCESS;
    {
        CallbackScope scope(driver, "EvtDriverDeviceAdd", false);
        status = driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(ToHandle(driver)), pointer);
    }
    RunDeferredDeletions();
    // A device created before the callback failed goes with the failure.
    if (!NT_SUCCESS(status) && init.created != nullptr)
        init.created->Removed();
    return status;
}

WDF_POWER_DEVICE_STATE FxState(DEVICE_POWER_STATE state, bool final)
{
    if (final)
        return WdfPowerDeviceD3Final;
    return static_cast<WDF_POWER_DEVICE_STATE>(state);
}

void SetInterfaces(Device* device, bool started)
{
    device->started = started;
    for (auto& i : device->interfaces)
        host::io::InterfaceSetState(i.path, started && i.enabled);
}

NTSTATUS CopyProperty(const void* data, ULONG size, ULONG length, PVOID buffer, PULONG result)
{
    if (result == nullptr)
        return STATUS_INVALID_PARAMETER;
    *result = size;
    if (length < size || buffer == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(buffer, data, size);
    return STATUS_SUCCESS;
}

NTSTATUS QueryProperty(host::io::Node* node, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                       PULONG result)
{
    std::u16string text;
    switch (property) {
    case DevicePropertyHardwareID:
        for (auto& id : host::io::NodeHardwareIds(node)) {
            text += id;
            text.push_back(0);
        }
        break;
    case DevicePropertyDriverKeyName: {
        std::u16string key = host::io::NodeDriverKey(node);
        size_t classes = key.rfind(u'\\', key.rfind(u'\\') - 1);
        text = key.substr(classes + 1);
        break;
    }
    case DevicePropertyClassGuid: {
        std::u16string key = host::io::NodeDriverKey(node);
        size_t last = key.rfind(u'\\');
        size_t classes = key.rfind(u'\\', last - 1);
        text = key.substr(classes + 1, last - classes - 1);
        break;
    }
    case DevicePropertyEnumeratorName: {
        std::u16string id = host::io::NodeInstanceId(node);
        text = id.substr(0, id.find(u'\\'));
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
    text.push_back(0);
    return CopyProperty(text.data(), static_cast<ULONG>(text.size() * sizeof(WCHAR)), length, buffer, result);
}

FileObject* FileOf(Device* device, host::io::File* file)
{
    std::lock_guard<std::mutex> guard(device->ioLock);
    auto it = device->files.find(file);
    return it == device->files.end() ? nullptr : it->second;
}

} // namespace

ClassExtensions& DeviceInitExtensions(PWDFDEVICE_INIT init)
{
    return init->extensions;
}

void DriverInstallAddDevice(PDRIVER_OBJECT driverObject)
{
    if (driverObject->DriverExtension != nullptr)
        driverObject->DriverExtension->AddDevice = FxAddDevice;
}

Queue* Device::QueueFor(UCHAR major)
{
    std::lock_guard<std::mutex> guard(ioLock);
    auto it = dispatching.find(major);
    return it != dispatching.end() ? it->second : defaultQueue;
}

void Device::Forward(host::io::Irp* irp)
{
    if (wdm->lower == nullptr) {
        host::io::Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    host::io::Call(wdm->lower, irp, nullptr);
}

void Device::Dispatch(host::io::Device*, host::io::Irp* irp)
{
    switch (irp->major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        DispatchFile(irp);
        return;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        break;
    default:
        if (filter)
            Forward(irp);
        else
            host::io::Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    Queue* queue = QueueFor(irp->major);
    // A filter passes on what it has no queue for; a function driver refuses it.
    if (queue == nullptr) {
        if (filter)
            Forward(irp);
        else
            host::io::Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    Request* request =
        RequestCreateForIrp(this, irp, reinterpret_cast<const void*>(driver->config.EvtDriverDeviceAdd));
    if (request == nullptr) {
        host::io::Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    queue->Enqueue(request);
}

// Creates go to EvtDeviceFileCreate with a new file object, cleanups and closes to the file's
// callbacks. Without a create callback, a filter passes the request on and a function driver
// completes it with success.
void Device::DispatchFile(host::io::Irp* irp)
{
    if (irp->major == IRP_MJ_CREATE) {
        FileObject* fileObject = nullptr;
        if (hasFileConfig) {
            fileObject = new (std::nothrow) FileObject;
            if (fileObject == nullptr) {
                host::io::Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
                return;
            }
            fileObject->device = this;
            fileObject->file = irp->file;
            if (irp->file != nullptr)
                fileObject->name = host::io::Counted(irp->file->name);
            WDFFILEOBJECT handle = nullptr;
            NTSTATUS status =
                Publish(fileObject, hasFileAttributes ? &fileAttributes : nullptr, this,
                        reinterpret_cast<const void*>(driver->config.EvtDriverDeviceAdd), &handle);
            if (!NT_SUCCESS(status)) {
                host::io::Complete(irp, status, 0);
                return;
            }
            std::lock_guard<std::mutex> guard(ioLock);
            files[irp->file] = fileObject;
        }
        if (!hasFileConfig || fileConfig.EvtDeviceFileCreate == nullptr) {
            if (filter)
                Forward(irp);
            else
                host::io::Complete(irp, STATUS_SUCCESS, 0);
            return;
        }
        Request* request =
            RequestCreateForIrp(this, irp, reinterpret_cast<const void*>(fileConfig.EvtDeviceFileCreate));
        if (request == nullptr) {
            host::io::Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            return;
        }
        Object* serializer = SynchronizationOwner(fileObject);
        {
            CallbackScope scope(this, "EvtDeviceFileCreate", serializer);
            fileConfig.EvtDeviceFileCreate(Handle(), request->Handle(),
                                           reinterpret_cast<WDFFILEOBJECT>(ToHandle(fileObject)));
        }
        RunDeferredDeletions();
        return;
    }
    FileObject* fileObject = FileOf(this, irp->file);
    if (fileObject != nullptr) {
        auto callback = irp->major == IRP_MJ_CLEANUP ? fileConfig.EvtFileCleanup : fileConfig.EvtFileClose;
        if (callback != nullptr) {
            CallbackScope scope(fileObject, irp->major == IRP_MJ_CLEANUP ? "EvtFileCleanup" : "EvtFileClose",
                                true);
            callback(reinterpret_cast<WDFFILEOBJECT>(ToHandle(fileObject)));
        }
        RunDeferredDeletions();
        if (irp->major == IRP_MJ_CLOSE) {
            {
                std::lock_guard<std::mutex> guard(ioLock);
                files.erase(irp->file);
            }
            Delete(fileObject);
        }
    }
    if (filter)
        Forward(irp);
    else
        host::io::Complete(irp, STATUS_SUCCESS, 0);
}

std::vector<Queue*> Device::PowerQueues(bool powered)
{
    std::lock_guard<std::mutex> guard(ioLock);
    queuesPowered = powered;
    return queues;
}

NTSTATUS Device::PrepareHardware()
{
    auto makeList = [this](bool translated) -> Object* {
        auto* list = new (std::nothrow) ResourceList;
        WDFOBJECT handle = nullptr;
        if (list == nullptr || !NT_SUCCESS(Publish(list, nullptr, this, nullptr, &handle)))
            return nullptr;
        const std::vector<UCHAR>& image = host::io::NodeResources(node, translated);
        const size_t header = offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
        if (image.size() < header)
            return list;
        CM_RESOURCE_LIST head;
        memcpy(&head, image.data(), header);
        size_t count = head.Count == 0 ? 0 : head.List[0].PartialResourceList.Count;
        count = std::min(count, (image.size() - header) / sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        list->descriptors.resize(count);
        memcpy(list->descriptors.data(), image.data() + header,
               count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        return list;
    };
    rawResources = makeList(false);
    translatedResources = makeList(true);
    if (rawResources == nullptr || translatedResources == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    InterruptsAssign(this);
    preparing = true;
    NTSTATUS status = Run(this, "EvtDevicePrepareHardware", pnp.EvtDevicePrepareHardware, Handle(),
                          reinterpret_cast<WDFCMRESLIST>(ToHandle(rawResources)),
                          reinterpret_cast<WDFCMRESLIST>(ToHandle(translatedResources)));
    preparing = false;
    return status;
}

NTSTATUS Device::EnterD0(DEVICE_POWER_STATE previous, bool first)
{
    WDF_POWER_DEVICE_STATE from = first ? WdfPowerDeviceD3Final : FxState(previous, false);
    NTSTATUS status = Run(this, "EvtDeviceD0Entry", pnp.EvtDeviceD0Entry, Handle(), from);
    if (!NT_SUCCESS(status))
        return status;
    status = InterruptsConnect(this);
    if (NT_SUCCESS(status)) {
        status = Run(this, "EvtDeviceD0EntryPostInterruptsEnabled", pnp.EvtDeviceD0EntryPostInterruptsEnabled,
                     Handle(), from);
        if (NT_SUCCESS(status) && !DmaEnablersEnter(this))
            status = STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(status))
            InterruptsDisconnect(this);
    }
    if (!NT_SUCCESS(status)) {
        Run(this, "EvtDeviceD0Exit", pnp.EvtDeviceD0Exit, Handle(), WdfPowerDeviceD3Final);
        return status;
    }
    // Wake is disarmed and the power-managed queues start.
    if (armedS0) {
        armedS0 = false;
        Run(this, "EvtDeviceDisarmWakeFromS0", policy.EvtDeviceDisarmWakeFromS0, Handle());
    }
    if (armedSx) {
        armedSx = false;
        Run(this, "EvtDeviceDisarmWakeFromSx", policy.EvtDeviceDisarmWakeFromSx, Handle());
    }
    for (Queue* queue : PowerQueues(true))
        if (queue->powerManaged)
            queue->Start(true);
    if (!selfManagedIoInitialised) {
        selfManagedIoInitialised = true;
        status = Run(this, "EvtDeviceSelfManagedIoInit", pnp.EvtDeviceSelfManagedIoInit, Handle());
    } else {
        status = Run(this, "EvtDeviceSelfManagedIoRestart", pnp.EvtDeviceSelfManagedIoRestart, Handle());
    }
    if (first)
        SetInterfaces(this, true);
    if (NT_SUCCESS(status))
        for (auto& extension : extensions)
            extension->D0Entered(this);
    return status;
}

void Device::LeaveD0(DEVICE_POWER_STATE target, bool final)
{
    WDF_POWER_DEVICE_STATE to = FxState(target, final);
    for (auto& extension : extensions)
        extension->D0Leaving(this, to);
    for (Queue* queue : PowerQueues(false))
        if (queue->powerManaged)
            queue->Stop(false, true, true);
    if (selfManagedIoInitialised)
        Run(this, "EvtDeviceSelfManagedIoSuspend", pnp.EvtDeviceSelfManagedIoSuspend, Handle());
    if (final)
        SetInterfaces(this, false);
    if (!final && powerPolicyOwner) {
        POWER_ACTION action = host::io::NodePowerAction(node);
        if (action == PowerActionNone && idleCanWake) {
            armedS0 = true;
            Run(this, "EvtDeviceArmWakeFromS0", policy.EvtDeviceArmWakeFromS0, Handle());
        } else if (action != PowerActionNone && sxWakeEnabled) {
            armedSx = true;
            if (policy.EvtDeviceArmWakeFromSxWithReason != nullptr)
                Run(this, "EvtDeviceArmWakeFromSxWithReason", policy.EvtDeviceArmWakeFromSxWithReason,
                    Handle(), BOOLEAN(TRUE), BOOLEAN(FALSE));
            else
                Run(this, "EvtDeviceArmWakeFromSx", policy.EvtDeviceArmWakeFromSx, Handle());
        }
    }
    DmaEnablersLeave(this);
    Run(this, "EvtDeviceD0ExitPreInterruptsDisabled", pnp.EvtDeviceD0ExitPreInterruptsDisabled, Handle(), to);
    InterruptsDisconnect(this);
    Run(this, "EvtDeviceD0Exit", pnp.EvtDeviceD0Exit, Handle(), to);
}

void Device::ReleaseHardware()
{
    Run(this, "EvtDeviceReleaseHardware", pnp.EvtDeviceReleaseHardware, Handle(),
        reinterpret_cast<WDFCMRESLIST>(ToHandle(translatedResources)));
    InterruptsRelease(this);
    for (Object** list : {&rawResources, &translatedResources})
        if (*list != nullptr) {
            Delete(*list);
            *list = nullptr;
        }
}

NTSTATUS Device::QueryStop()
{
    return Run(this, "EvtDeviceQueryStop", pnp.EvtDeviceQueryStop, Handle());
}

NTSTATUS Device::QueryRemove()
{
    return Run(this, "EvtDeviceQueryRemove", pnp.EvtDeviceQueryRemove, Handle());
}

void Device::SurpriseRemoved()
{
    Run(this, "EvtDeviceSurpriseRemoval", pnp.EvtDeviceSurpriseRemoval, Handle());
}

void Device::WakeTriggered()
{
    if (armedS0)
        Run(this, "EvtDeviceWakeFromS0Triggered", policy.EvtDeviceWakeFromS0Triggered, Handle());
}

// Removal: self-managed I/O flushed and cleaned up, the queues purged, the requests on their way in
// run down, then the device deleted with its children (newest first, what was sent cancelled) and its
// device object freed.
void Device::Removed()
{
    for (auto& extension : extensions)
        extension->Removing(this);
    if (selfManagedIoInitialised) {
        Run(this, "EvtDeviceSelfManagedIoFlush", pnp.EvtDeviceSelfManagedIoFlush, Handle());
        Run(this, "EvtDeviceSelfManagedIoCleanup", pnp.EvtDeviceSelfManagedIoCleanup, Handle());
    }
    for (Queue* queue : PowerQueues(false))
        queue->Stop(true, false, true);
    host::io::DeviceRundown(wdm);
    host::io::Device* object = wdm;
    Reference(this);
    Delete(this);
    Dereference(this);
    host::io::DeviceDelete(object);
}

} // namespace fx

using namespace fx;

extern "C" {

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    if (DeviceInit != nullptr && PnpPowerEventCallbacks != nullptr &&
        PnpPowerEventCallbacks->Size == sizeof(WDF_PNPPOWER_EVENT_CALLBACKS))
        DeviceInit->pnp = *PnpPowerEventCallbacks;
}

void WdfDeviceInitSetPowerPolicyEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                               PWDF_POWER_POLICY_EVENT_CALLBACKS PowerPolicyEventCallbacks)
{
    if (DeviceInit != nullptr && PowerPolicyEventCallbacks != nullptr &&
        PowerPolicyEventCallbacks->Size == sizeof(WDF_POWER_POLICY_EVENT_CALLBACKS))
        DeviceInit->policy = *PowerPolicyEventCallbacks;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    if (DeviceInit == nullptr || FileObjectConfig == nullptr ||
        FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG))
        return;
    DeviceInit->hasFileConfig = true;
    DeviceInit->fileConfig = *FileObjectConfig;
    DeviceInit->hasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes != nullptr)
        DeviceInit->fileAttributes = *FileObjectAttributes;
}

void WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    UNREFERENCED_PARAMETER(DeviceInit);
    UNREFERENCED_PARAMETER(IoType); // every request carries a system buffer here
}

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, ULONG DeviceType)
{
    if (DeviceInit != nullptr)
        DeviceInit->deviceType = DeviceType;
}

void WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                     BOOLEAN OrInValues)
{
    if (DeviceInit != nullptr)
        DeviceInit->characteristics =
            OrInValues ? DeviceInit->characteristics | DeviceCharacteristics : DeviceCharacteristics;
}

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    if (DeviceInit != nullptr)
        DeviceInit->exclusive = IsExclusive != FALSE;
}

void WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner)
{
    if (DeviceInit != nullptr)
        DeviceInit->powerPolicyOwner = IsPowerPolicyOwner ? WdfTrue : WdfFalse;
}

void WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    if (DeviceInit == nullptr || RequestAttributes == nullptr)
        return;
    DeviceInit->hasRequestAttributes = true;
    DeviceInit->requestAttributes = *RequestAttributes;
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    if (DeviceInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DeviceName == nullptr) {
        DeviceInit->name.clear();
        return STATUS_SUCCESS;
    }
    if (DeviceName->Buffer == nullptr || DeviceName->Length == 0 || DeviceName->Length % sizeof(WCHAR) != 0)
        return STATUS_INVALID_PARAMETER;
    DeviceInit->name = host::io::Text(DeviceName);
    return STATUS_SUCCESS;
}

void WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit)
{
    if (DeviceInit != nullptr)
        DeviceInit->filter = true;
}

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes)
{
    // The child list itself comes with the child bus; its configuration is accepted now.
    UNREFERENCED_PARAMETER(DeviceInit);
    UNREFERENCED_PARAMETER(Config);
    UNREFERENCED_PARAMETER(DefaultChildListAttributes);
}

NTSTATUS WdfFdoInitQueryProperty(PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    if (DeviceInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    return QueryProperty(host::io::NodeOf(DeviceInit->pdo), DeviceProperty, BufferLength, PropertyBuffer,
                         ResultLength);
}

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit)
{
    return DeviceInit == nullptr ? nullptr : &DeviceInit->pdo->object;
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData)
{
    UNREFERENCED_PARAMETER(InterfaceSpecificData);
    auto* device = As<fx::Device>(Fdo, Kind::Device, "WdfFdoQueryForInterface");
    if (device == nullptr || InterfaceType == nullptr || Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        host::VerifierReport(host::Check::InvalidIrql, "WdfFdoQueryForInterface at IRQL %u",
                             KeGetCurrentIrql());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return host::io::NodeQueryInterface(device->node, *InterfaceType, Size, Version, Interface);
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device)
{
    if (Device != nullptr)
        *Device = nullptr;
    if (DeviceInit == nullptr || *DeviceInit == nullptr || Device == nullptr)
        return STATUS_INVALID_PARAMETER;
    PWDFDEVICE_INIT init = *DeviceInit;
    if (init->created != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    auto* device = new (std::nothrow) fx::Device;
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    device->driver = init->driver;
    device->filter = init->filter;
    device->powerPolicyOwner =
        init->powerPolicyOwner == WdfUseDefault ? !init->filter : init->powerPolicyOwner == WdfTrue;
    static_cast<fx::DeviceConfig&>(*device) = *init;
    host::io::Device* wdm = nullptr;
    NTSTATUS status = host::io::DeviceCreate(init->driver->driverObject, init->name, init->deviceType,
                                             init->characteristics, init->exclusive, device, &wdm);
    if (!NT_SUCCESS(status)) {
        delete device;
        return status;
    }
    device->wdm = wdm;
    WDFDEVICE handle = nullptr;
    status = Publish(device, DeviceAttributes, init->driver, _ReturnAddress(), &handle);
    if (!NT_SUCCESS(status)) {
        host::io::DeviceDelete(wdm);
        return status;
    }
    host::io::DeviceAttach(wdm, init->pdo);
    device->node = host::io::NodeOf(wdm);
    wdm->object.Flags &= ~DO_DEVICE_INITIALIZING;
    device->defaultTarget = IoTargetCreateDefault(device);
    init->created = device;
    for (auto& extension : device->extensions)
        extension->Created(device);
    *Device = handle;
    *DeviceInit = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                PVOID PropertyBuffer, PULONG ResultLength)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceQueryProperty");
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    return QueryProperty(device->node, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceCreateSymbolicLink");
    if (device == nullptr || SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (device->wdm->name.empty())
        return STATUS_INVALID_DEVICE_REQUEST; // a link needs a named device to point at
    return host::io::LinkCreate(host::io::Text(SymbolicLinkName), device->wdm);
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr || InterfaceClassGUID == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string reference = host::io::Text(ReferenceString);
    std::u16string path;
    NTSTATUS status =
        host::io::InterfaceRegister(host::io::NodePdo(device->node), *InterfaceClassGUID, reference, &path);
    if (!NT_SUCCESS(status))
        return status;
    device->interfaces.push_back(fx::Device::Interface{*InterfaceClassGUID, reference, path, true});
    if (device->started)
        host::io::InterfaceSetState(path, true);
    return STATUS_SUCCESS;
}

void WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString, BOOLEAN IsInterfaceEnabled)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceSetDeviceInterfaceState");
    if (device == nullptr || InterfaceClassGUID == nullptr)
        return;
    std::u16string reference = host::io::Text(ReferenceString);
    for (auto& i : device->interfaces)
        if (i.guid == *InterfaceClassGUID && i.reference == reference) {
            i.enabled = IsInterfaceEnabled != FALSE;
            if (device->started)
                host::io::InterfaceSetState(i.path, i.enabled);
        }
}

NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                PCUNICODE_STRING ReferenceString, WDFSTRING String)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceRetrieveDeviceInterfaceString");
    if (device == nullptr || InterfaceClassGUID == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string reference = host::io::Text(ReferenceString);
    for (auto& i : device->interfaces)
        if (i.guid == *InterfaceClassGUID && i.reference == reference) {
            UNICODE_STRING text = host::io::Counted(i.path);
            return StringAssign(String, &text);
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void WdfDeviceSetFailed(WDFDEVICE Device, WDF_DEVICE_FAILED_ACTION FailedAction)
{
    if (auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceSetFailed"))
        host::io::NodeSetFailed(device->node, FailedAction == WdfDeviceFailedAttemptRestart);
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceWdmGetDeviceObject");
    return device == nullptr ? nullptr : &device->wdm->object;
}

PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceWdmGetPhysicalDevice");
    return device == nullptr ? nullptr : &host::io::NodePdo(device->node)->object;
}

PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceWdmGetAttachedDevice");
    return device == nullptr || device->wdm->lower == nullptr ? nullptr : &device->wdm->lower->object;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceGetDriver");
    return device == nullptr ? nullptr : reinterpret_cast<WDFDRIVER>(ToHandle(device->driver));
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceGetIoTarget");
    return device == nullptr || device->defaultTarget == nullptr ? nullptr : device->defaultTarget->Handle();
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceGetDefaultQueue");
    if (device == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(device->ioLock);
    return device->defaultQueue == nullptr ? nullptr : device->defaultQueue->Handle();
}

WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject == nullptr)
        return nullptr;
    auto* handler = dynamic_cast<fx::Device*>(host::io::Device::From(DeviceObject)->handler);
    return handler == nullptr ? nullptr : handler->Handle();
}

NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceAssignS0IdleSettings");
    if (device == nullptr || Settings == nullptr ||
        Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS))
        return STATUS_INVALID_PARAMETER;
    if (!device->powerPolicyOwner)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Settings->IdleCaps == IdleCapsInvalid || Settings->DxState == PowerDeviceD0)
        return STATUS_INVALID_PARAMETER;
    host::io::IdlePolicy policy;
    policy.enabled = Settings->Enabled != WdfFalse;
    policy.timeoutMs = Settings->IdleTimeout == IdleTimeoutDefaultValue ? 5000 : Settings->IdleTimeout;
    device->idleCanWake = Settings->IdleCaps != IdleCannotWakeFromS0;
    host::io::NodeSetIdlePolicy(device->node, policy);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceAssignSxWakeSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceAssignSxWakeSettings");
    if (device == nullptr || Settings == nullptr ||
        Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS))
        return STATUS_INVALID_PARAMETER;
    if (!device->powerPolicyOwner)
        return STATUS_INVALID_DEVICE_REQUEST;
    device->sxWakeEnabled = Settings->Enabled != WdfFalse;
    return STATUS_SUCCESS;
}

void WdfDeviceSetPowerCapabilities(WDFDEVICE Device, PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities)
{
    // Recorded by the bus on Windows; the emulated bus needs none of it.
    As<fx::Device>(Device, Kind::Device, "WdfDeviceSetPowerCapabilities");
    UNREFERENCED_PARAMETER(PowerCapabilities);
}

POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceGetSystemPowerAction");
    return device == nullptr ? PowerActionNone : host::io::NodePowerAction(device->node);
}

NTSTATUS WdfDeviceStopIdleActual(WDFDEVICE Device, BOOLEAN WaitForD0, PVOID Tag, LONG Line, PCSTR File)
{
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceStopIdle");
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    bool inD0 = host::io::NodePowerReference(device->node, WaitForD0 != FALSE);
    if (!inD0 && WaitForD0) {
        // A failed stop-idle takes no reference: its caller does not resume idle.
        host::io::NodePowerDereference(device->node);
        return STATUS_POWER_STATE_INVALID;
    }
    return inD0 ? STATUS_SUCCESS : STATUS_PENDING;
}

void WdfDeviceResumeIdleActual(WDFDEVICE Device, PVOID Tag, LONG Line, PCSTR File)
{
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    if (auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceResumeIdle"))
        host::io::NodePowerDereference(device->node);
}

ULONG WdfCmResourceListGetCount(WDFCMRESLIST List)
{
    auto* list = As<ResourceList>(List, Kind::ResourceList, "WdfCmResourceListGetCount");
    return list == nullptr ? 0 : static_cast<ULONG>(list->descriptors.size());
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index)
{
    auto* list = As<ResourceList>(List, Kind::ResourceList, "WdfCmResourceListGetDescriptor");
    return list == nullptr || Index >= list->descriptors.size() ? nullptr : &list->descriptors[Index];
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    auto* file = As<fx::FileObject>(FileObject, Kind::FileObject, "WdfFileObjectGetDevice");
    return file == nullptr ? nullptr : file->device->Handle();
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject)
{
    auto* file = As<fx::FileObject>(FileObject, Kind::FileObject, "WdfFileObjectGetFileName");
    return file == nullptr || file->name.Length == 0 ? nullptr : &file->name;
}

} // extern "C"
