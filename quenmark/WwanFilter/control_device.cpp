// The control device "\\.\KvWwanFilter" with its four IOCTLs, and the registry protocol with the
// filter-management service: the callback on its writes and the removal flag.
#include "filter.h"

#include <ntstrsafe.h>

PDEVICE_OBJECT ControlDeviceObject = nullptr;
NDIS_HANDLE ControlDeviceHandle = nullptr;

namespace
{

typedef struct _CONTROL_DEVICE_EXTENSION {
    ULONG Signature;
    NDIS_HANDLE Handle;
} CONTROL_DEVICE_EXTENSION, *PCONTROL_DEVICE_EXTENSION;
static_assert(sizeof(CONTROL_DEVICE_EXTENSION) == 16, "the control device's extension is 16 bytes");

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PFILTER_MODULE_CONTEXT ModuleOfIrp(PIRP Irp)
{
    return static_cast<PFILTER_MODULE_CONTEXT>(Irp->Tail.Overlay.DriverContext[0]);
}

// The IRP's link is self-pointing while it is on no list.
bool OnList(PIRP Irp)
{
    return Irp->Tail.Overlay.ListEntry.Flink != &Irp->Tail.Overlay.ListEntry;
}

NTSTATUS RestartInstance(PIRP Irp, ULONG InputLength)
{
    NdisAcquireSpinLock(&FilterListLock);
    PFILTER_MODULE_CONTEXT module =
        FilterFindModuleByName(static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer), InputLength);
    if (module != nullptr)
        NdisFRestartFilter(module->FilterHandle); // returns at once: the restart runs on NDIS's thread
    NdisReleaseSpinLock(&FilterListLock);
    return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS EnumInstances(PIRP Irp, ULONG OutputLength)
{
    auto* out = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    ULONG total = 0;
    NdisAcquireSpinLock(&FilterListLock);
    for (PLIST_ENTRY link = FilterModuleList.Flink; link != &FilterModuleList; link = link->Flink) {
        auto* module = CONTAINING_RECORD(link, FILTER_MODULE_CONTEXT, FilterModuleLink);
        USHORT length = module->FilterModuleName.Length;
        ULONG at = total;
        total += length + sizeof(USHORT);
        if (total <= OutputLength) {
            NdisMoveMemory(out + at, &length, sizeof(length));
            NdisMoveMemory(out + at + sizeof(length), module->FilterModuleName.Buffer, length);
        }
    }
    NdisReleaseSpinLock(&FilterListLock);
    return CompleteIrp(Irp, total > OutputLength ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS, total);
}

// The mode IOCTLs' common start: with the list lock held, the current module when there is one and the
// output has room for a mode; otherwise the request is completed with the reason and the lock released.
PFILTER_MODULE_CONTEXT LockCurrentModule(PIRP Irp, ULONG OutputLength, NTSTATUS* Status)
{
    NdisAcquireSpinLock(&FilterListLock);
    PFILTER_MODULE_CONTEXT module = CurrentModule;
    if (module != nullptr && OutputLength >= sizeof(ULONG))
        return module;
    NdisReleaseSpinLock(&FilterListLock);
    *Status = CompleteIrp(Irp, module == nullptr ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL, 0);
    return nullptr;
}

NTSTATUS GetWorkingMode(PIRP Irp, ULONG OutputLength)
{
    NTSTATUS status;
    PFILTER_MODULE_CONTEXT module = LockCurrentModule(Irp, OutputLength, &status);
    if (module == nullptr)
        return status;
    NdisDprAcquireSpinLock(&module->PublishLock);
    ULONG mode = module->WorkingMode;
    NdisDprReleaseSpinLock(&module->PublishLock);
    NdisReleaseSpinLock(&FilterListLock);
    NdisMoveMemory(Irp->AssociatedIrp.SystemBuffer, &mode, sizeof(mode));
    return CompleteIrp(Irp, STATUS_SUCCESS, sizeof(mode));
}

// The module is found and the request queued on it under the list lock, which detach takes to clear
// CurrentModule before it flushes the queue: a request is either flushed or never queued.
NTSTATUS WaitModeChange(PIRP Irp, ULONG OutputLength)
{
    NTSTATUS status;
    PFILTER_MODULE_CONTEXT module = LockCurrentModule(Irp, OutputLength, &status);
    if (module == nullptr)
        return status;
    IoMarkIrpPending(Irp);
    Irp->Tail.Overlay.DriverContext[0] = module;
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    // Cancel is set under the cancel spin lock: not set now, a later cancel finds the routine and the
    // request on the list.
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        NdisReleaseSpinLock(&FilterListLock);
        return CompleteIrp(Irp, STATUS_CANCELLED, 0);
    }
    IoSetCancelRoutine(Irp, FilterCancelModeIrp);
    NdisDprAcquireSpinLock(&module->PublishLock);
    InsertTailList(&module->ModeIrpList, &Irp->Tail.Overlay.ListEntry);
    NdisDprReleaseSpinLock(&module->PublishLock);
    IoReleaseCancelSpinLock(cancelIrql);
    NdisReleaseSpinLock(&FilterListLock);
    return STATUS_PENDING;
}

} // namespace

NDIS_STATUS FilterRegisterControlDevice(void)
{
    static PDRIVER_DISPATCH majorFunctions[IRP_MJ_MAXIMUM_FUNCTION + 1];
    NdisZeroMemory(majorFunctions, sizeof(majorFunctions));
    majorFunctions[IRP_MJ_CREATE] = FilterControlDeviceCreateClose;
    majorFunctions[IRP_MJ_CLEANUP] = FilterControlDeviceCreateClose;
    majorFunctions[IRP_MJ_CLOSE] = FilterControlDeviceCreateClose;
    majorFunctions[IRP_MJ_DEVICE_CONTROL] = FilterControlDeviceIoctl;

    NDIS_STRING deviceName;
    NDIS_STRING linkName;
    RtlInitUnicodeString(&deviceName, FILTER_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, FILTER_CONTROL_LINK_NAME);
    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes;
    NdisZeroMemory(&attributes, sizeof(attributes));
    attributes.Header.Type = NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES;
    attributes.Header.Revision = NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.DeviceName = &deviceName;
    attributes.SymbolicName = &linkName;
    attributes.MajorFunctions = majorFunctions;
    attributes.ExtensionSize = sizeof(CONTROL_DEVICE_EXTENSION);
    attributes.DefaultSDDLString = nullptr;
    attributes.DeviceClassGuid = nullptr;
    NDIS_STATUS status =
        NdisRegisterDeviceEx(FilterDriverHandle, &attributes, &ControlDeviceObject, &ControlDeviceHandle);
    if (status == NDIS_STATUS_SUCCESS) {
        auto* extension = static_cast<PCONTROL_DEVICE_EXTENSION>(NdisGetDeviceReservedExtension(ControlDeviceObject));
        extension->Signature = CONTROL_DEVICE_SIGNATURE;
        extension->Handle = FilterDriverHandle;
    } else {
        ControlDeviceObject = nullptr;
        ControlDeviceHandle = nullptr;
    }
    return status;
}

void FilterDeregisterControlDevice(void)
{
    if (ControlDeviceHandle != nullptr)
        NdisDeregisterDeviceEx(ControlDeviceHandle);
    ControlDeviceHandle = nullptr;
    ControlDeviceObject = nullptr;
}

NTSTATUS FilterControlDeviceCreateClose(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS FilterControlDeviceIoctl(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->FileObject == nullptr)
        return CompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FILTER_RESTART_INSTANCE:
        return RestartInstance(Irp, inputLength);
    case IOCTL_FILTER_ENUM_INSTANCES:
        return EnumInstances(Irp, outputLength);
    case IOCTL_FILTER_GET_WORKING_MODE:
        return GetWorkingMode(Irp, outputLength);
    case IOCTL_FILTER_WAIT_MODE_CHANGE:
        return WaitModeChange(Irp, outputLength);
    default:
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
}

void FilterCancelModeIrp(PDEVICE_OBJECT, PIRP Irp)
{
    PFILTER_MODULE_CONTEXT module = ModuleOfIrp(Irp);
    // Counted while the cancel spin lock still holds off detach's flush of this request.
    InterlockedIncrement(&module->CancelsRunning);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    NdisAcquireSpinLock(&module->PublishLock);
    if (OnList(Irp)) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    }
    NdisReleaseSpinLock(&module->PublishLock);
    InterlockedDecrement(&module->CancelsRunning);
    CompleteIrp(Irp, STATUS_CANCELLED, 0);
}

void FilterCompleteModeIrps(PFILTER_MODULE_CONTEXT Module, ULONG Mode, NTSTATUS Status)
{
    // Taken off the module's list under PublishLock and chained through DriverContext[1], so that a
    // cancel routine running meanwhile finds them on no list.
    PIRP chain = nullptr;
    PIRP* tail = &chain;
    NdisAcquireSpinLock(&Module->PublishLock);
    while (!IsListEmpty(&Module->ModeIrpList)) {
        PLIST_ENTRY link = RemoveHeadList(&Module->ModeIrpList);
        InitializeListHead(link);
        PIRP irp = CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry);
        irp->Tail.Overlay.DriverContext[1] = nullptr;
        *tail = irp;
        tail = reinterpret_cast<PIRP*>(&irp->Tail.Overlay.DriverContext[1]);
    }
    NdisReleaseSpinLock(&Module->PublishLock);

    while (chain != nullptr) {
        PIRP irp = chain;
        chain = static_cast<PIRP>(irp->Tail.Overlay.DriverContext[1]);
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        bool ours = !irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
        IoReleaseCancelSpinLock(cancelIrql);
        if (!ours)
            continue; // the cancel routine completes it
        if (Status != STATUS_SUCCESS) {
            CompleteIrp(irp, Status, 0);
        } else if (irp->AssociatedIrp.SystemBuffer == nullptr) {
            CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        } else {
            NdisMoveMemory(irp->AssociatedIrp.SystemBuffer, &Mode, sizeof(Mode));
            CompleteIrp(irp, STATUS_SUCCESS, sizeof(Mode));
        }
    }
}

void FilterCompletePendedModeIrps(PFILTER_MODULE_CONTEXT Module)
{
    FilterCompleteModeIrps(Module, 0, STATUS_DEVICE_NOT_READY);
    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // 1 ms
    while (InterlockedAdd(&Module->CancelsRunning, 0) != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

// The caller holds FilterListLock.
PFILTER_MODULE_CONTEXT FilterFindModuleByName(const UCHAR* Name, ULONG Length)
{
    for (PLIST_ENTRY link = FilterModuleList.Flink; link != &FilterModuleList; link = link->Flink) {
        auto* module = CONTAINING_RECORD(link, FILTER_MODULE_CONTEXT, FilterModuleLink);
        USHORT nameLength = module->FilterModuleName.Length;
        if (nameLength <= Length && (nameLength == 0 || NdisEqualMemory(module->FilterModuleName.Buffer, Name, nameLength)))
            return module;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The registry protocol.
NTSTATUS FilterRegisterRegistryCallback(PFILTER_MODULE_CONTEXT Module)
{
    UNICODE_STRING altitude;
    RtlInitUnicodeString(&altitude, u"NDIS");
    NTSTATUS status = CmRegisterCallbackEx(FilterRegistryCallback, &altitude, FilterDriverObject, Module,
                                           &Module->RegistryCookie, nullptr);
    if (status == STATUS_FLT_INSTANCE_ALTITUDE_COLLISION) {
        Module->RegistryCookie.QuadPart = 0; // another module has the callback
        return STATUS_SUCCESS;
    }
    return status;
}

namespace
{

bool KeyIs(PCUNICODE_STRING KeyName, PCWSTR Format, int ControlSet)
{
    WCHAR path[128];
    if (!NT_SUCCESS(RtlStringCchPrintfW(path, 128, Format, ControlSet)))
        return false;
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, path);
    return RtlEqualUnicodeString(KeyName, &expected, TRUE);
}

} // namespace

NTSTATUS FilterRegistryCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    auto notifyClass = static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(Argument1));
    auto* info = static_cast<PREG_POST_OPERATION_INFORMATION>(Argument2);
    if (notifyClass != RegNtPostSetValueKey || info == nullptr || !NT_SUCCESS(info->Status))
        return STATUS_SUCCESS;
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(CallbackContext);
    PCUNICODE_STRING keyName = nullptr;
    if (!NT_SUCCESS(CmCallbackGetKeyObjectIDEx(&module->RegistryCookie, info->Object, nullptr, &keyName, 0)))
        return STATUS_SUCCESS;
    if (module->PocMode == 0 && module->ModeFlags == MODE_FLAGS_TARGET) {
        for (int set = 1; set <= 5; set++) {
            if (KeyIs(keyName, u"\\Registry\\Machine\\SYSTEM\\ControlSet00%d\\Control\\WwanUpdateConfig\\Brennick\\BrennickCellular", set)) {
                FilterSignalSwitch(module, SWITCH_EVT_RADIO_REGISTRY);
                break;
            }
            if (KeyIs(keyName, u"\\Registry\\Machine\\SYSTEM\\ControlSet00%d\\Control\\WwanUpdateConfig\\Brennick\\BrennickPowerResume", set)) {
                if (ReadULongAcquire(&module->WorkingMode) == WORKING_MODE_RESTRICTED &&
                    ReadUCharAcquire(&module->SyncInProgress) == 0)
                    FilterSignalSwitch(module, SWITCH_EVT_POWER_RESUME);
                break;
            }
        }
    }
    CmCallbackReleaseKeyObjectIDEx(keyName);
    return STATUS_SUCCESS;
}

void FilterWriteUninstallFlag(ULONG Value)
{
    WCHAR parent[] = FILTER_REGISTRY_PARENT_PATH;
    WCHAR key[] = FILTER_REGISTRY_KEY_PATH;
    NTSTATUS status = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, parent);
    if (!NT_SUCCESS(status))
        status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, parent);
    if (NT_SUCCESS(status) && !NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, key)))
        status = RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, key);
    if (NT_SUCCESS(status))
        status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, FILTER_VALUE_UNINSTALL, REG_DWORD, &Value,
                                       sizeof(Value));
    if (!NT_SUCCESS(status))
        DbgPrintEx(DPFLTR_IHVNETWORK_ID, DPFLTR_WARNING_LEVEL, "uninstall flag %lu not written: %08lx\n", Value,
                   ULONG(status));
}
