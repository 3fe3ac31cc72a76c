// Registration with NDIS, the module's life cycle from attach to detach, power and pre-detach events, the
// status hand-off and the unregistered data-path pass-throughs.
#include "filter.h"

PDRIVER_OBJECT FilterDriverObject = nullptr;
NDIS_HANDLE FilterDriverHandle = nullptr;
LIST_ENTRY FilterModuleList;
NDIS_SPIN_LOCK FilterListLock;
PFILTER_MODULE_CONTEXT CurrentModule = nullptr;
UCHAR Unloading = 0;

void FilterCheckFailed(const char* expression, const char* file, int line)
{
    DbgPrintEx(DPFLTR_IHVNETWORK_ID, DPFLTR_ERROR_LEVEL, "check failed: %s at %s:%d\n", expression, file, line);
}

void FilterSignalSync(PFILTER_MODULE_CONTEXT Module, LONG Bits)
{
    InterlockedOr(&Module->SyncBits, Bits);
    WorkerThreadWake(&Module->SyncWorker);
}

void FilterSignalSwitch(PFILTER_MODULE_CONTEXT Module, LONG Bits)
{
    InterlockedOr(&Module->SwitchBits, Bits);
    WorkerThreadWake(&Module->SwitchWorker);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    FilterDriverObject = DriverObject;

    NDIS_FILTER_DRIVER_CHARACTERISTICS chars;
    NdisZeroMemory(&chars, sizeof(chars));
    chars.Header.Type = NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS;
    chars.Header.Revision = NDIS_FILTER_CHARACTERISTICS_REVISION_3;
    chars.Header.Size = NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_3;
    chars.MajorNdisVersion = NDIS_FILTER_MAJOR_VERSION;
    chars.MinorNdisVersion = NDIS_FILTER_MINOR_VERSION;
    chars.MajorDriverVersion = FILTER_MAJOR_DRIVER_VERSION;
    chars.MinorDriverVersion = FILTER_MINOR_DRIVER_VERSION;
    chars.Flags = 0;
    RtlInitUnicodeString(&chars.FriendlyName, FILTER_FRIENDLY_NAME);
    RtlInitUnicodeString(&chars.UniqueName, FILTER_UNIQUE_NAME);
    RtlInitUnicodeString(&chars.ServiceName, FILTER_SERVICE_NAME);
    chars.SetOptionsHandler = FilterSetOptions;
    chars.AttachHandler = FilterAttach;
    chars.DetachHandler = FilterDetach;
    chars.RestartHandler = FilterRestart;
    chars.PauseHandler = FilterPause;
    chars.OidRequestHandler = FilterOidRequest;
    chars.OidRequestCompleteHandler = FilterOidRequestComplete;
    chars.CancelOidRequestHandler = FilterCancelOidRequest;
    chars.NetPnPEventHandler = FilterNetPnPEvent;
    chars.StatusHandler = FilterStatus;

    DriverObject->DriverUnload = FilterUnload;
    InitializeListHead(&FilterModuleList);
    NdisAllocateSpinLock(&FilterListLock);

    NDIS_STATUS status = NdisFRegisterFilterDriver(DriverObject, DriverObject, &chars, &FilterDriverHandle);
    if (status != NDIS_STATUS_SUCCESS) {
        WPP_CLEANUP(DriverObject);
        return status;
    }
    status = FilterRegisterControlDevice();
    if (status != NDIS_STATUS_SUCCESS && status != STATUS_OBJECT_NAME_COLLISION) {
        NdisFDeregisterFilterDriver(FilterDriverHandle);
        FilterDriverHandle = nullptr;
        WPP_CLEANUP(DriverObject);
        return status;
    }
    FilterWriteUninstallFlag(0);
    Unloading = 0;
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT DriverObject)
{
    Unloading = 1;
    FilterDeregisterControlDevice();
    NdisFDeregisterFilterDriver(FilterDriverHandle);
    FilterDriverHandle = nullptr;
    FilterWriteUninstallFlag(1);
    NdisFreeSpinLock(&FilterListLock);
    WPP_CLEANUP(DriverObject);
    Unloading = 0;
}

NDIS_STATUS FilterSetOptions(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext)
{
    if (NdisDriverHandle != FilterDriverHandle || DriverContext != static_cast<NDIS_HANDLE>(FilterDriverObject))
        return NDIS_STATUS_INVALID_PARAMETER;
    return NDIS_STATUS_SUCCESS;
}

namespace
{

void CopyName(PNDIS_STRING target, PUCHAR* cursor, PCNDIS_STRING source)
{
    target->Buffer = reinterpret_cast<PWCH>(*cursor);
    target->Length = target->MaximumLength = source != nullptr ? source->Length : 0;
    if (target->Length != 0)
        NdisMoveMemory(target->Buffer, source->Buffer, target->Length);
    *cursor += target->Length;
}

USHORT NameLength(PCNDIS_STRING name)
{
    return name != nullptr ? name->Length : 0;
}

void StopWorkers(PFILTER_MODULE_CONTEXT Module)
{
    if (Module->SyncWorkerStarted) {
        ModeSyncThreadStop(Module);
        Module->SyncWorkerStarted = 0;
    }
    if (Module->SwitchWorkerStarted) {
        ModeSwitchThreadStop(Module);
        Module->SwitchWorkerStarted = 0;
    }
    if (Module->ConfirmWorkerStarted) {
        ConfirmThreadStop(Module);
        Module->ConfirmWorkerStarted = 0;
    }
}

// Undoes what attach set up, in the reverse order (the cache goes once the workers stopped).
void ReleaseModule(PFILTER_MODULE_CONTEXT Module)
{
    StopWorkers(Module);
    OidCacheDestroy(Module);
    if (Module->RegistryCookie.QuadPart != 0) {
        CmUnRegisterCallback(Module->RegistryCookie);
        Module->RegistryCookie.QuadPart = 0;
    }
    NdisFreeMemory(Module, 0, 0);
}

} // namespace

NDIS_STATUS FilterAttach(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterDriverContext,
                         PNDIS_FILTER_ATTACH_PARAMETERS AttachParameters)
{
    if (FilterDriverContext != static_cast<NDIS_HANDLE>(FilterDriverObject))
        return NDIS_STATUS_INVALID_PARAMETER;
    NDIS_MEDIUM medium = AttachParameters->MiniportMediaType;
    if (medium != NdisMedium802_3 && medium != NdisMediumWan && medium != NdisMediumWirelessWan)
        return NDIS_STATUS_INVALID_PARAMETER;

    ULONG size = sizeof(FILTER_MODULE_CONTEXT) + NameLength(AttachParameters->FilterModuleGuidName) +
                 NameLength(AttachParameters->BaseMiniportInstanceName) + NameLength(AttachParameters->BaseMiniportName);
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(
        NdisAllocateMemoryWithTagPriority(NdisFilterHandle, size, FILTER_ALLOC_TAG, NormalPoolPriority));
    if (module == nullptr)
        return NDIS_STATUS_RESOURCES;
    NdisZeroMemory(module, size);
    PUCHAR cursor = reinterpret_cast<PUCHAR>(module + 1);
    CopyName(&module->FilterModuleName, &cursor, AttachParameters->FilterModuleGuidName);
    CopyName(&module->MiniportFriendlyName, &cursor, AttachParameters->BaseMiniportInstanceName);
    CopyName(&module->MiniportName, &cursor, AttachParameters->BaseMiniportName);
    module->MiniportIfIndex = AttachParameters->BaseMiniportIfIndex;

    module->TrackSends = 1;
    module->TrackReceives = 1;
    module->IsdrChannel = ISDR_CHANNEL_NONE;
    module->WorkingSubMode = WORKING_SUBMODE_NONE;
    module->TrackerStatus = TRACKER_STATUS_IDLE;
    module->FilterHandle = NdisFilterHandle;
    module->ModeFlags = MODE_FLAGS_TARGET;
    module->WorkingMode = WORKING_MODE_RESTRICTED;
    module->SyncInProgress = 1;
    module->InitialSyncPending = 1;
    module->FirstPowerEvent = 1;
    module->SlotIndex = 2;
    module->PocMode = 0;
    module->PocFailureCount = 0;
    module->PocQueryExhausted = 0;
    module->EsimFlag = 0;
    InitializeListHead(&module->ModeIrpList);
    module->PublishedMode = WORKING_MODE_RESTRICTED;
    NdisAllocateSpinLock(&module->ModuleLock);
    NdisAllocateSpinLock(&module->PublishLock);
    NdisAllocateSpinLock(&module->CacheQueryLock);
    NdisAllocateSpinLock(&module->ParkedLock);
    NdisAllocateSpinLock(&module->CacheLock);
    NdisInitializeEvent(&module->SwitchDoneEvent);
    NdisInitializeEvent(&module->SyncResponseEvent);
    NdisInitializeEvent(&module->FirstWwanOidEvent);
    NdisInitializeEvent(&module->SwitchResponseEvent);
    NdisInitializeEvent(&module->ConfirmResponseEvent);
    NdisInitializeEvent(&module->LockReleasedEvent);

    NDIS_STATUS status = OidCacheCreate(module);
    if (status == NDIS_STATUS_SUCCESS) {
        status = ModeSyncThreadStart(module);
        module->SyncWorkerStarted = status == NDIS_STATUS_SUCCESS;
    }
    if (status == NDIS_STATUS_SUCCESS) {
        status = ModeSwitchThreadStart(module);
        module->SwitchWorkerStarted = status == NDIS_STATUS_SUCCESS;
    }
    if (status == NDIS_STATUS_SUCCESS) {
        status = ConfirmThreadStart(module);
        module->ConfirmWorkerStarted = status == NDIS_STATUS_SUCCESS;
    }
    if (status == NDIS_STATUS_SUCCESS)
        status = FilterRegisterRegistryCallback(module);
    if (status == NDIS_STATUS_SUCCESS) {
        NDIS_FILTER_ATTRIBUTES attributes;
        NdisZeroMemory(&attributes, sizeof(attributes));
        attributes.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES;
        attributes.Header.Revision = NDIS_FILTER_ATTRIBUTES_REVISION_1;
        attributes.Header.Size = NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1;
        attributes.Flags = 0;
        status = NdisFSetAttributes(NdisFilterHandle, module, &attributes);
    }
    if (status != NDIS_STATUS_SUCCESS) {
        ReleaseModule(module);
        return status;
    }

    module->State = FILTER_STATE_PAUSED;
    NdisAcquireSpinLock(&FilterListLock);
    InsertHeadList(&FilterModuleList, &module->FilterModuleLink);
    CurrentModule = module;
    NdisReleaseSpinLock(&FilterListLock);
    FilterSignalSync(module, SYNC_EVT_QUERY_PCIOT);
    return NDIS_STATUS_SUCCESS;
}

void FilterDetach(NDIS_HANDLE FilterModuleContext)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    FILTER_CHECK(module->State == FILTER_STATE_PAUSED);

    // The mode IOCTLs find CurrentModule and queue on it under this lock, so once it is cleared here no
    // request can join the module's queue, which is flushed next.
    NdisAcquireSpinLock(&FilterListLock);
    RemoveEntryList(&module->FilterModuleLink);
    CurrentModule = nullptr;
    NdisReleaseSpinLock(&FilterListLock);
    FilterCompletePendedModeIrps(module);
    StopWorkers(module);
    // With the workers stopped nothing serves the held requests any more: they end here, not with the
    // module's memory.
    PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE);
    if (held != nullptr)
        NdisFOidRequestComplete(module->FilterHandle, held, STATUS_CANCELLED);
    held = FilterTakeParked(&module->CacheQueryLock, &module->ParkedCacheQuery, nullptr, FALSE);
    if (held != nullptr)
        NdisFOidRequestComplete(module->FilterHandle, held, STATUS_CANCELLED);
    ReleaseModule(module);
}

NDIS_STATUS FilterRestart(NDIS_HANDLE FilterModuleContext, PNDIS_FILTER_RESTART_PARAMETERS RestartParameters)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    FILTER_CHECK(module->State == FILTER_STATE_PAUSED);

    NDIS_CONFIGURATION_OBJECT config;
    NdisZeroMemory(&config, sizeof(config));
    config.Header.Type = NDIS_OBJECT_TYPE_CONFIGURATION_OBJECT;
    config.Header.Revision = NDIS_CONFIGURATION_OBJECT_REVISION_1;
    config.Header.Size = NDIS_SIZEOF_CONFIGURATION_OBJECT_REVISION_1;
    config.NdisHandle = FilterDriverHandle;
    config.Flags = 0;
    NDIS_HANDLE configuration = nullptr;
    if (NdisOpenConfigurationEx(&config, &configuration) == NDIS_STATUS_SUCCESS)
        NdisCloseConfiguration(configuration);

    PNDIS_RESTART_ATTRIBUTES attributes = RestartParameters->RestartAttributes;
    if (attributes != nullptr) {
        auto* general = reinterpret_cast<PNDIS_RESTART_GENERAL_ATTRIBUTES>(attributes->Data);
        general->LookaheadSize = 128;
    }
    module->State = FILTER_STATE_RUNNING;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FilterPause(NDIS_HANDLE FilterModuleContext, PNDIS_FILTER_PAUSE_PARAMETERS)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    FILTER_CHECK(module->State == FILTER_STATE_RUNNING);
    NdisAcquireSpinLock(&module->ModuleLock);
    module->State = FILTER_STATE_PAUSING;
    NdisReleaseSpinLock(&module->ModuleLock);
    NdisAcquireSpinLock(&module->ModuleLock);
    module->State = FILTER_STATE_PAUSED;
    NdisReleaseSpinLock(&module->ModuleLock);
    return NDIS_STATUS_SUCCESS;
}

void FilterStatus(NDIS_HANDLE FilterModuleContext, PNDIS_STATUS_INDICATION StatusIndication)
{
    OidProcessStatusIndication(static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext), StatusIndication);
}

namespace
{

void HandleSetPower(PFILTER_MODULE_CONTEXT Module, PNET_PNP_EVENT Event)
{
    if (Event->Buffer == nullptr || Event->BufferLength < sizeof(NDIS_DEVICE_POWER_STATE))
        return;
    ULONG state = *static_cast<const NDIS_DEVICE_POWER_STATE*>(Event->Buffer);
    if (state == NdisDeviceStateD0) {
        if ((Module->LastPowerState == NdisDeviceStateD3 || Module->LastPowerState == NdisDeviceStateD2) &&
            Module->FirstPowerEvent == 0 && Module->SyncInProgress == 0 && Module->ModeFlags == MODE_FLAGS_TARGET) {
            Module->SyncInProgress = 1;
            FilterSetWorkingMode(Module, WORKING_MODE_RESTRICTED);
            FilterSignalSync(Module, SYNC_EVT_QUERY_PCIOT);
        }
    } else if (state == NdisDeviceStateD2 || state == NdisDeviceStateD3) {
        FilterSetWorkingMode(Module, WORKING_MODE_RESTRICTED);
    }
    Module->FirstPowerEvent = 0;
    Module->LastPowerState = state;
}

// The driver is being removed: the modem is told, and the module stays until the modem is back in its
// normal mode or 30 polls have passed.
void HandlePreDetach(PFILTER_MODULE_CONTEXT Module)
{
    if (Module->ModeFlags != MODE_FLAGS_TARGET || Unloading != 1)
        return;
    PNDIS_OID_REQUEST held = FilterTakeParked(&Module->ParkedLock, &Module->ParkedRequest, nullptr, FALSE);
    if (held != nullptr)
        NdisFOidRequestComplete(Module->FilterHandle, held, STATUS_CANCELLED);
    FilterSignalSwitch(Module, SWITCH_EVT_UNINSTALL);
    for (ULONG poll = 0; poll < FILTER_PREDETACH_POLLS; poll++) {
        SleepMilliseconds(FILTER_PREDETACH_POLL_MS);
        if (ReadULongAcquire(&Module->WorkingMode) == WORKING_MODE_NORMAL)
            break;
    }
}

} // namespace

NDIS_STATUS FilterNetPnPEvent(NDIS_HANDLE FilterModuleContext, PNET_PNP_EVENT_NOTIFICATION NetPnPEventNotification)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    switch (NetPnPEventNotification->NetPnPEvent.NetEvent) {
    case NetEventSetPower:
        HandleSetPower(module, &NetPnPEventNotification->NetPnPEvent);
        break;
    case NetEventFilterPreDetach:
        HandlePreDetach(module);
        break;
    default:
        break;
    }
    return NdisFNetPnPEvent(module->FilterHandle, NetPnPEventNotification);
}

// ---------------------------------------------------------------------------------------------
// Data-path pass-throughs: not in the handler set, so NDIS never calls them; kept with their counting.
namespace
{

ULONG ListCount(PNET_BUFFER_LIST lists)
{
    ULONG count = 0;
    for (; lists != nullptr; lists = lists->Next)
        count++;
    return count;
}

void CountLists(PFILTER_MODULE_CONTEXT Module, LONG* counter, LONG delta, BOOLEAN atDispatch)
{
    if (atDispatch)
        NdisDprAcquireSpinLock(&Module->ModuleLock);
    else
        NdisAcquireSpinLock(&Module->ModuleLock);
    *counter += delta;
    if (atDispatch)
        NdisDprReleaseSpinLock(&Module->ModuleLock);
    else
        NdisReleaseSpinLock(&Module->ModuleLock);
}

} // namespace

void FilterSendNetBufferLists(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                              NDIS_PORT_NUMBER PortNumber, ULONG SendFlags)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    if (module->TrackSends)
        CountLists(module, &module->OutstandingSends, LONG(ListCount(NetBufferLists)),
                   (SendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) != 0);
    NdisFSendNetBufferLists(module->FilterHandle, NetBufferLists, PortNumber, SendFlags);
}

void FilterSendNetBufferListsComplete(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                      ULONG SendCompleteFlags)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    if (module->TrackSends)
        CountLists(module, &module->OutstandingSends, -LONG(ListCount(NetBufferLists)),
                   (SendCompleteFlags & NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL) != 0);
    NdisFSendNetBufferListsComplete(module->FilterHandle, NetBufferLists, SendCompleteFlags);
}

void FilterReceiveNetBufferLists(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists,
                                 NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists, ULONG ReceiveFlags)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    if (module->TrackReceives)
        CountLists(module, &module->OutstandingRcvs, LONG(NumberOfNetBufferLists),
                   (ReceiveFlags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0);
    NdisFIndicateReceiveNetBufferLists(module->FilterHandle, NetBufferLists, PortNumber, NumberOfNetBufferLists,
                                       ReceiveFlags);
}

void FilterReturnNetBufferLists(NDIS_HANDLE FilterModuleContext, PNET_BUFFER_LIST NetBufferLists, ULONG ReturnFlags)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    if (module->TrackReceives)
        CountLists(module, &module->OutstandingRcvs, -LONG(ListCount(NetBufferLists)),
                   (ReturnFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL) != 0);
    NdisFReturnNetBufferLists(module->FilterHandle, NetBufferLists, ReturnFlags);
}
