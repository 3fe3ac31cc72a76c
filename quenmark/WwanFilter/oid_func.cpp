// The OID path through the module (forward, completion, cancel, the filter's own synchronous requests)
// and the working-mode gate that decides, per request, to forward, hold, refuse or answer it.
#include "filter.h"

PENDING_RADIO_STATE_RECORD PENDING_RADIO_STATE = {OID_WWAN_RADIO_STATE, PENDING_RADIO_STATE_IDLE,
                                                  ReplayRadioStateSet, nullptr};

// ---------------------------------------------------------------------------------------------
// Request helpers.
NDIS_OID OidRequestOid(PNDIS_OID_REQUEST Request)
{
    return Request->DATA.QUERY_INFORMATION.Oid; // at the same place in the three forms
}

BOOLEAN OidRequestIsSet(PNDIS_OID_REQUEST Request)
{
    return Request->RequestType == NdisRequestSetInformation || Request->RequestType == NdisRequestMethod;
}

PUCHAR OidRequestBuffer(PNDIS_OID_REQUEST Request, PULONG Length)
{
    switch (Request->RequestType) {
    case NdisRequestSetInformation:
        *Length = Request->DATA.SET_INFORMATION.InformationBufferLength;
        return static_cast<PUCHAR>(Request->DATA.SET_INFORMATION.InformationBuffer);
    case NdisRequestMethod:
        *Length = Request->DATA.METHOD_INFORMATION.InputBufferLength;
        return static_cast<PUCHAR>(Request->DATA.METHOD_INFORMATION.InformationBuffer);
    default:
        *Length = Request->DATA.QUERY_INFORMATION.InformationBufferLength;
        return static_cast<PUCHAR>(Request->DATA.QUERY_INFORMATION.InformationBuffer);
    }
}

namespace
{

// A buffer the gate reads: null unless the request carries at least `Needed` bytes.
const UCHAR* GateBuffer(PNDIS_OID_REQUEST Request, ULONG Needed, PULONG Length = nullptr)
{
    ULONG length;
    const UCHAR* buffer = OidRequestBuffer(Request, &length);
    if (Length != nullptr)
        *Length = length;
    return buffer != nullptr && length >= Needed ? buffer : nullptr;
}

ULONG ReadUlong(const UCHAR* buffer, ULONG offset)
{
    ULONG value;
    NdisMoveMemory(&value, buffer + offset, sizeof(value));
    return value;
}

PNDIS_OID_REQUEST SourceOf(PNDIS_OID_REQUEST Clone)
{
    PNDIS_OID_REQUEST source;
    NdisMoveMemory(&source, Clone->SourceReserved, sizeof(source));
    return source;
}

void ZeroCounts(PNDIS_OID_REQUEST Request)
{
    switch (Request->RequestType) {
    case NdisRequestSetInformation:
        Request->DATA.SET_INFORMATION.BytesRead = 0;
        Request->DATA.SET_INFORMATION.BytesNeeded = 0;
        break;
    case NdisRequestMethod:
        Request->DATA.METHOD_INFORMATION.BytesRead = 0;
        Request->DATA.METHOD_INFORMATION.BytesNeeded = 0;
        Request->DATA.METHOD_INFORMATION.BytesWritten = 0;
        break;
    default:
        Request->DATA.QUERY_INFORMATION.BytesWritten = 0;
        Request->DATA.QUERY_INFORMATION.BytesNeeded = 0;
        break;
    }
}

void CopyCounts(PNDIS_OID_REQUEST Source, PNDIS_OID_REQUEST Clone)
{
    switch (Clone->RequestType) {
    case NdisRequestSetInformation:
        Source->DATA.SET_INFORMATION.BytesRead = Clone->DATA.SET_INFORMATION.BytesRead;
        Source->DATA.SET_INFORMATION.BytesNeeded = Clone->DATA.SET_INFORMATION.BytesNeeded;
        break;
    case NdisRequestMethod:
        Source->DATA.METHOD_INFORMATION.OutputBufferLength = Clone->DATA.METHOD_INFORMATION.OutputBufferLength;
        Source->DATA.METHOD_INFORMATION.BytesWritten = Clone->DATA.METHOD_INFORMATION.BytesWritten;
        Source->DATA.METHOD_INFORMATION.BytesRead = Clone->DATA.METHOD_INFORMATION.BytesRead;
        Source->DATA.METHOD_INFORMATION.BytesNeeded = Clone->DATA.METHOD_INFORMATION.BytesNeeded;
        break;
    default:
        Source->DATA.QUERY_INFORMATION.BytesWritten = Clone->DATA.QUERY_INFORMATION.BytesWritten;
        Source->DATA.QUERY_INFORMATION.BytesNeeded = Clone->DATA.QUERY_INFORMATION.BytesNeeded;
        break;
    }
}

// Clones the request and sends the clone to the miniport. The clone's failure is returned with the
// request's counts zeroed; otherwise the request completes through FilterOidRequestComplete.
NDIS_STATUS Forward(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    PNDIS_OID_REQUEST clone = nullptr;
    NDIS_STATUS status = NdisAllocateCloneOidRequest(Module->FilterHandle, Request, FILTER_REQUEST_TAG, &clone);
    if (status != NDIS_STATUS_SUCCESS) {
        ZeroCounts(Request);
        return status;
    }
    NdisMoveMemory(clone->SourceReserved, &Request, sizeof(Request));
    clone->RequestId = Request->RequestId;
    NdisAcquireSpinLock(&Module->ModuleLock);
    Module->PendingOidRequest = clone;
    NdisReleaseSpinLock(&Module->ModuleLock);
    status = NdisFOidRequest(Module->FilterHandle, clone);
    if (status != NDIS_STATUS_PENDING)
        FilterOidRequestComplete(Module, clone, status);
    return NDIS_STATUS_PENDING;
}

void HoldInSlot(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    FilterParkRequest(&Module->ParkedLock, &Module->ParkedRequest, Request);
}

} // namespace

void FilterParkRequest(PNDIS_SPIN_LOCK Lock, PNDIS_OID_REQUEST* Slot, PNDIS_OID_REQUEST Request)
{
    NdisAcquireSpinLock(Lock);
    FILTER_CHECK(*Slot == nullptr);
    *Slot = Request;
    NdisReleaseSpinLock(Lock);
}

PNDIS_OID_REQUEST FilterTakeParked(PNDIS_SPIN_LOCK Lock, PNDIS_OID_REQUEST* Slot, PVOID RequestId, BOOLEAN MatchId)
{
    NdisAcquireSpinLock(Lock);
    PNDIS_OID_REQUEST request = *Slot;
    if (request != nullptr && MatchId && request->RequestId != RequestId)
        request = nullptr;
    if (request != nullptr)
        *Slot = nullptr;
    NdisReleaseSpinLock(Lock);
    return request;
}

// ---------------------------------------------------------------------------------------------
// The OID path.
NDIS_STATUS FilterOidRequest(NDIS_HANDLE FilterModuleContext, PNDIS_OID_REQUEST Request)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    NDIS_OID oid = OidRequestOid(Request);
    if (module->PocMode == 1) {
        if (OidPocModeDecision(module, Request) == OID_GATE_REFUSE) {
            ParkRequestAsBusy(module, Request);
            return NDIS_STATUS_PENDING;
        }
        return Forward(module, Request);
    }
    if (InterlockedAdd(&module->RadioRegistryBusy, 0) == 1 && IsWwanOid(oid)) {
        HoldInSlot(module, Request);
        return NDIS_STATUS_PENDING;
    }
    if (ReadUCharAcquire(&module->SyncInProgress) == 1 && IsWwanOid(oid)) {
        NdisSetEvent(&module->FirstWwanOidEvent);
        HoldInSlot(module, Request);
        return NDIS_STATUS_PENDING;
    }
    if (module->ModeFlags == MODE_FLAGS_TARGET) {
        UCHAR held = ReadULongAcquire(&module->WorkingMode) == WORKING_MODE_RESTRICTED
                         ? OidInterceptRestrictedMode(module, Request)
                         : OidDispatchPerOidHandler(module, Request);
        if (held != OID_GATE_PASS)
            return NDIS_STATUS_PENDING;
    }
    return Forward(module, Request);
}

NDIS_STATUS ForwardParkedRequest(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    NDIS_STATUS status = Forward(Module, Request);
    if (status != NDIS_STATUS_PENDING)
        NdisFOidRequestComplete(Module->FilterHandle, Request, status);
    return status;
}

void FilterOidRequestComplete(NDIS_HANDLE FilterModuleContext, PNDIS_OID_REQUEST Request, NDIS_STATUS Status)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    PNDIS_OID_REQUEST source = SourceOf(Request);
    if (source == nullptr) {
        FilterInternalOidRequestComplete(module, Request, Status);
        return;
    }
    NdisAcquireSpinLock(&module->ModuleLock);
    FILTER_CHECK(module->PendingOidRequest == Request);
    module->PendingOidRequest = nullptr;
    NdisReleaseSpinLock(&module->ModuleLock);

    CopyCounts(source, Request);
    if (Status != NDIS_STATUS_INDICATION_REQUIRED && InterlockedAdd(&module->TrackerArmed, 0) == 1 &&
        reinterpret_cast<ULONG64>(source->RequestId) == module->TrackerRequestId &&
        LookupExpectedIndication(source) == module->TrackerStatus)
        FilterDisarmTracker(module);
    NdisFreeCloneOidRequest(module->FilterHandle, Request);
    NdisFOidRequestComplete(module->FilterHandle, source, Status);
}

void FilterCancelOidRequest(NDIS_HANDLE FilterModuleContext, PVOID RequestId)
{
    auto* module = static_cast<PFILTER_MODULE_CONTEXT>(FilterModuleContext);
    NdisAcquireSpinLock(&module->ModuleLock);
    PNDIS_OID_REQUEST clone = module->PendingOidRequest;
    bool atMiniport = clone != nullptr && SourceOf(clone)->RequestId == RequestId;
    NdisReleaseSpinLock(&module->ModuleLock);
    if (atMiniport) {
        NdisFCancelOidRequest(module->FilterHandle, RequestId);
        return;
    }
    PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, RequestId, TRUE);
    if (held != nullptr)
        NdisFOidRequestComplete(module->FilterHandle, held, STATUS_CANCELLED);
    held = FilterTakeParked(&module->CacheQueryLock, &module->ParkedCacheQuery, RequestId, TRUE);
    if (held != nullptr)
        NdisFOidRequestComplete(module->FilterHandle, held, STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------------------------
// The filter's own requests.
NDIS_STATUS FilterSendInternalOidRequest(PFILTER_MODULE_CONTEXT Module, NDIS_REQUEST_TYPE RequestType, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         ULONG OutputBufferLength, ULONG MethodId, PULONG BytesProcessed,
                                         ULONG64 RequestId)
{
    if (BytesProcessed != nullptr)
        *BytesProcessed = 0;
    ULONG size = sizeof(INTERNAL_OID_REQUEST) + InformationBufferLength;
    auto* block = static_cast<PINTERNAL_OID_REQUEST>(
        NdisAllocateMemoryWithTagPriority(Module->FilterHandle, size, FILTER_ALLOC_TAG, NormalPoolPriority));
    if (block == nullptr)
        return NDIS_STATUS_RESOURCES;
    NdisZeroMemory(block, size);
    PUCHAR copy = reinterpret_cast<PUCHAR>(block + 1);
    if (InformationBufferLength != 0)
        NdisMoveMemory(copy, InformationBuffer, InformationBufferLength);

    PNDIS_OID_REQUEST request = &block->Request;
    request->Header.Type = NDIS_OBJECT_TYPE_OID_REQUEST;
    request->Header.Revision = NDIS_OID_REQUEST_REVISION_1;
    request->Header.Size = NDIS_SIZEOF_OID_REQUEST_REVISION_1;
    request->RequestType = RequestType;
    request->RequestId = reinterpret_cast<PVOID>(RequestId);
    if (RequestType == NdisRequestMethod) {
        request->DATA.METHOD_INFORMATION.Oid = Oid;
        request->DATA.METHOD_INFORMATION.InformationBuffer = copy;
        request->DATA.METHOD_INFORMATION.InputBufferLength = InformationBufferLength;
        request->DATA.METHOD_INFORMATION.OutputBufferLength = OutputBufferLength;
        request->DATA.METHOD_INFORMATION.MethodId = MethodId;
    } else {
        request->DATA.QUERY_INFORMATION.Oid = Oid;
        request->DATA.QUERY_INFORMATION.InformationBuffer = copy;
        request->DATA.QUERY_INFORMATION.InformationBufferLength = InformationBufferLength;
    }
    NdisInitializeEvent(&block->CompletionEvent);
    block->ReferenceCount = 2; // the sender's and the completion's

    NDIS_STATUS status = NdisFOidRequest(Module->FilterHandle, request);
    bool pending = status == NDIS_STATUS_PENDING;
    bool finished = true;
    if (pending) {
        if (NdisWaitEvent(&block->CompletionEvent, FILTER_INTERNAL_REQUEST_TIMEOUT_MS)) {
            status = block->CompletionStatus;
        } else {
            status = NDIS_STATUS_FAILURE; // the block stays for the late completion
            finished = false;
        }
    }
    if (finished && status == NDIS_STATUS_SUCCESS) {
        ULONG count;
        ULONG limit;
        switch (RequestType) {
        case NdisRequestMethod:
            count = request->DATA.METHOD_INFORMATION.BytesWritten;
            limit = OutputBufferLength;
            break;
        case NdisRequestSetInformation:
            count = request->DATA.SET_INFORMATION.BytesRead;
            limit = InformationBufferLength;
            break;
        default:
            count = request->DATA.QUERY_INFORMATION.BytesWritten;
            limit = InformationBufferLength;
            break;
        }
        if (count > limit)
            count = limit;
        if (BytesProcessed != nullptr)
            *BytesProcessed = count;
        // What the miniport wrote into the block's copy goes back to the caller.
        if (RequestType != NdisRequestSetInformation && InformationBufferLength != 0)
            NdisMoveMemory(InformationBuffer, copy, InformationBufferLength);
    }
    FilterReleaseInternalOidRequest(block);
    if (!pending)
        FilterReleaseInternalOidRequest(block);
    return status;
}

void FilterInternalOidRequestComplete(PFILTER_MODULE_CONTEXT, PNDIS_OID_REQUEST Request, NDIS_STATUS Status)
{
    auto* block = CONTAINING_RECORD(Request, INTERNAL_OID_REQUEST, Request);
    block->CompletionStatus = Status;
    NdisSetEvent(&block->CompletionEvent);
    FilterReleaseInternalOidRequest(block);
}

void FilterReleaseInternalOidRequest(PINTERNAL_OID_REQUEST Request)
{
    if (InterlockedDecrement(&Request->ReferenceCount) == 0)
        NdisFreeMemory(Request, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// The gate.
ULONG ParsePocArgument(const char* Text, ULONG Length)
{
    static constexpr char kPrefix[] = "AT+GTPCTPOC=";
    constexpr ULONG prefixLength = sizeof(kPrefix) - 1;
    for (ULONG at = 0; at + prefixLength <= Length; at++)
        if (memcmp(Text + at, kPrefix, prefixLength) == 0)
            return AtParseDecimal(Text + at + prefixLength, Length - at - prefixLength);
    return 2;
}

namespace
{

bool StartsWithNoCase(const char* text, ULONG length, const char* prefix)
{
    ULONG n = static_cast<ULONG>(strlen(prefix));
    if (length < n)
        return false;
    for (ULONG i = 0; i < n; i++) {
        char a = text[i] >= 'a' && text[i] <= 'z' ? char(text[i] - 'a' + 'A') : text[i];
        char b = prefix[i] >= 'a' && prefix[i] <= 'z' ? char(prefix[i] - 'a' + 'A') : prefix[i];
        if (a != b)
            return false;
    }
    return true;
}

} // namespace

BOOLEAN CheckAtAllowList(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    ULONG length;
    const UCHAR* buffer = GateBuffer(Request, sizeof(NDIS_WWAN_SET_DEVICE_SERVICE_COMMAND), &length);
    if (buffer == nullptr)
        return FALSE; // too short to be read: passes untouched
    NDIS_WWAN_SET_DEVICE_SERVICE_COMMAND command;
    NdisMoveMemory(&command, buffer, sizeof(command));
    // The text is bounded by what the buffer really holds, whatever uDataSize claims.
    ULONG n = command.Command.uDataSize;
    if (n > length - sizeof(command))
        n = length - sizeof(command);
    if (n > 128)
        n = 128;
    char text[129] = {};
    NdisMoveMemory(text, buffer + sizeof(command), n);

    if (IsEqualGUID(command.Command.DeviceServiceGuid, AT_SERVICE_UUID)) {
        if (n == 0)
            return TRUE;
        for (ULONG i = 0; AtAllowList[i][0] != '\0'; i++) {
            if (!StartsWithNoCase(text, n, AtAllowList[i]))
                continue;
            if (!StartsWithNoCase(text, n, "AT+GTPCTPOC="))
                return FALSE;
            if (ParsePocArgument(text, n) > 1)
                return FALSE;
            Module->PocMode = 0;
            return FALSE;
        }
        return TRUE;
    }
    if (IsEqualGUID(command.Command.DeviceServiceGuid, POC_PASS_SERVICE_UUID))
        return FALSE;
    return TRUE;
}

UCHAR OidPocModeDecision(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    NDIS_OID oid = OidRequestOid(Request);
    if (IsModeSwitchOid(Request) && oid != OID_WWAN_RADIO_STATE)
        return OID_GATE_REFUSE;
    if (oid == OID_WWAN_DEVICE_SERVICE_COMMAND && Request->RequestType == NdisRequestSetInformation &&
        CheckAtAllowList(Module, Request))
        return OID_GATE_REFUSE;
    return OID_GATE_PASS;
}

void ParkRequestAsBusy(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    HoldInSlot(Module, Request);
    FilterSignalSwitch(Module, SWITCH_EVT_REJECT_BUSY);
}

UCHAR OidInterceptRestrictedMode(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    NDIS_OID oid = OidRequestOid(Request);
    if (!IsModeSwitchOid(Request)) {
        if (OidRequestIsSet(Request))
            return OID_GATE_PASS;
        POID_CACHE_ENTRY entry = OidCacheFind(Module, oid);
        if (entry == nullptr)
            return OID_GATE_PASS;
        NdisAcquireSpinLock(&Module->CacheLock);
        bool cached = entry->Buffer != nullptr;
        NdisReleaseSpinLock(&Module->CacheLock);
        if (cached) {
            FilterParkRequest(&Module->CacheQueryLock, &Module->ParkedCacheQuery, Request);
            FilterSignalSwitch(Module, SWITCH_EVT_ANSWER_FROM_CACHE);
            return OID_GATE_HELD_FOR_CACHE;
        }
    }
    bool radioSet = oid == OID_WWAN_RADIO_STATE && Request->RequestType == NdisRequestSetInformation;
    ULONG length = 0;
    const UCHAR* radio = radioSet ? GateBuffer(Request, sizeof(NDIS_WWAN_SET_RADIO_STATE), &length) : nullptr;
    if (radioSet && radio == nullptr)
        return OID_GATE_PASS; // a short radio-state set cannot be answered: the miniport judges it
    HoldInSlot(Module, Request);
    if (radioSet) {
        SavePendingRadioState(Module, oid, const_cast<PUCHAR>(radio), length);
        FilterSignalSwitch(Module, SWITCH_EVT_RADIO_STATE_SET);
    } else {
        FilterSignalSwitch(Module, SWITCH_EVT_PARKED_OID);
    }
    return OID_GATE_HELD;
}

void SavePendingRadioState(PFILTER_MODULE_CONTEXT Module, NDIS_OID Oid, PVOID Buffer, ULONG Length)
{
    if (Oid != PENDING_RADIO_STATE.Oid)
        return;
    ULONG size = Length < sizeof(NDIS_WWAN_SET_RADIO_STATE) ? Length : ULONG(sizeof(NDIS_WWAN_SET_RADIO_STATE));
    auto* copy = static_cast<PNDIS_WWAN_SET_RADIO_STATE>(NdisAllocateMemoryWithTagPriority(
        Module->FilterHandle, sizeof(NDIS_WWAN_SET_RADIO_STATE), FILTER_ALLOC_TAG, NormalPoolPriority));
    if (copy != nullptr) {
        NdisZeroMemory(copy, sizeof(*copy));
        NdisMoveMemory(copy, Buffer, size);
    }
    PVOID previous = InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&PENDING_RADIO_STATE.Buffer), copy);
    if (previous != nullptr)
        NdisFreeMemory(previous, 0, 0);
    InterlockedExchange(&PENDING_RADIO_STATE.State, PENDING_RADIO_STATE_ARMED);
}

void ClearPendingRadioState(PFILTER_MODULE_CONTEXT, NDIS_OID Oid)
{
    if (Oid != PENDING_RADIO_STATE.Oid)
        return;
    InterlockedExchange(&PENDING_RADIO_STATE.State, PENDING_RADIO_STATE_IDLE);
    PVOID previous = InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&PENDING_RADIO_STATE.Buffer), nullptr);
    if (previous != nullptr)
        NdisFreeMemory(previous, 0, 0);
}

UCHAR OidDispatchPerOidHandler(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    NDIS_OID oid = OidRequestOid(Request);
    for (ULONG i = 0; i < PerOidHandlerTableRows; i++)
        if (PerOidHandlerTable[i].Oid == oid)
            return PerOidHandlerTable[i].Handler(Module, Request);
    return OID_GATE_PASS;
}

// ---------------------------------------------------------------------------------------------
// The per-OID handlers of the normal mode. Each reads the request's buffer only when the request is long
// enough to hold what it reads; a shorter one passes untouched.
namespace
{

void ReleaseIsdrLock(PFILTER_MODULE_CONTEXT Module)
{
    Module->IsdrChannel = ISDR_CHANNEL_NONE;
    Module->IsdrChannelGroup = 0;
    FilterSignalSwitch(Module, SWITCH_EVT_RELEASE_LOCK);
}

} // namespace

UCHAR OidArmExpectedIndication(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    ULONG expected = LookupExpectedIndication(Request);
    if (expected == TRACKER_STATUS_IDLE)
        return OID_GATE_PASS;
    Module->TrackerStatus = expected;
    Module->TrackerRequestId = reinterpret_cast<ULONG64>(Request->RequestId);
    InterlockedExchange(&Module->TrackerArmed, 1);
    return OID_GATE_PASS;
}

UCHAR OidHandleUiccOpenChannel(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    if (Module->SlotIndex != 1)
        return OID_GATE_PASS;
    const UCHAR* buffer = GateBuffer(Request, sizeof(NDIS_WWAN_SET_UICC_OPEN_CHANNEL));
    if (buffer == nullptr)
        return OID_GATE_PASS;
    ULONG appIdLength = ReadUlong(buffer, offsetof(NDIS_WWAN_SET_UICC_OPEN_CHANNEL, SetUiccOpenChannel.AppIdLength));
    const UCHAR* appId = buffer + offsetof(NDIS_WWAN_SET_UICC_OPEN_CHANNEL, SetUiccOpenChannel.AppId);
    if (appIdLength > sizeof(ISDR_AID) || !NdisEqualMemory(appId, ISDR_AID, sizeof(ISDR_AID)))
        return OID_GATE_PASS;
    HoldInSlot(Module, Request);
    FilterSignalSwitch(Module, SWITCH_EVT_ACQUIRE_LOCK);
    return OID_GATE_HELD;
}

UCHAR OidHandleUiccCloseChannel(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    const UCHAR* buffer = GateBuffer(Request, offsetof(NDIS_WWAN_SET_UICC_CLOSE_CHANNEL, SetUiccCloseChannel.SelectP2Arg));
    if (buffer == nullptr)
        return OID_GATE_PASS;
    ULONG channel = ReadUlong(buffer, offsetof(NDIS_WWAN_SET_UICC_CLOSE_CHANNEL, SetUiccCloseChannel.Channel));
    ULONG group = ReadUlong(buffer, offsetof(NDIS_WWAN_SET_UICC_CLOSE_CHANNEL, SetUiccCloseChannel.ChannelGroup));
    if (Module->LockGranted == 1 && channel == Module->IsdrChannel && group == Module->IsdrChannelGroup)
        ReleaseIsdrLock(Module);
    return OidArmExpectedIndication(Module, Request);
}

UCHAR OidHandleUiccApdu(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    constexpr ULONG command = offsetof(NDIS_WWAN_SET_UICC_APDU, SetUiccApdu.Command);
    // CLA INS P1 P2 Lc, then the data's first two bytes: the ES10c tag.
    const UCHAR* buffer = GateBuffer(Request, command + 7);
    if (buffer == nullptr)
        return OID_GATE_PASS;
    ULONG size = ReadUlong(buffer, offsetof(NDIS_WWAN_SET_UICC_APDU, SetUiccApdu.CommandSize));
    const UCHAR* apdu = buffer + command;
    if (size > 5 && apdu[4] > 5 && apdu[5] == 0xBF && (apdu[6] == 0x31 || apdu[6] == 0x32))
        ReleaseIsdrLock(Module);
    return OidArmExpectedIndication(Module, Request);
}

UCHAR OidHandleSlotMappings(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    constexpr ULONG firstSlot = sizeof(NDIS_WWAN_SET_DEVICE_SLOT_MAPPING_INFO);
    const UCHAR* buffer = GateBuffer(Request, firstSlot + sizeof(ULONG));
    if (buffer == nullptr)
        return OID_GATE_PASS;
    if (OidRequestIsSet(Request) && ReadUlong(buffer, firstSlot) == 0 && Module->LockGranted == 1)
        ReleaseIsdrLock(Module);
    return OidArmExpectedIndication(Module, Request);
}

UCHAR OidHandleDeviceCapsEx(PFILTER_MODULE_CONTEXT Module, PNDIS_OID_REQUEST Request)
{
    HoldInSlot(Module, Request);
    FilterSignalSwitch(Module, SWITCH_EVT_DEVICE_CAPS_EX);
    return OID_GATE_HELD;
}

void FilterDisarmTracker(PFILTER_MODULE_CONTEXT Module)
{
    InterlockedExchange(&Module->TrackerArmed, 0);
    Module->TrackerRequestId = 0;
    Module->TrackerStatus = TRACKER_STATUS_IDLE;
}

// ---------------------------------------------------------------------------------------------
// Publication of the working mode.
void FilterPublishWorkingMode(PFILTER_MODULE_CONTEXT Module, ULONG Mode)
{
    NdisAcquireSpinLock(&Module->PublishLock);
    ULONG value = Module->EsimFlag == 1 && Mode == WORKING_MODE_RESTRICTED ? PUBLISHED_MODE_ESIM : Mode;
    bool changed = value != Module->PublishedMode;
    Module->PublishedMode = value;
    NdisReleaseSpinLock(&Module->PublishLock);
    if (changed)
        FilterCompleteModeIrps(Module, value, STATUS_SUCCESS);
}

void FilterSetWorkingMode(PFILTER_MODULE_CONTEXT Module, ULONG Mode)
{
    FilterPublishWorkingMode(Module, Mode);
    NdisAcquireSpinLock(&Module->PublishLock);
    WriteULongRelease(&Module->WorkingMode, Mode);
    NdisReleaseSpinLock(&Module->PublishLock);
}

// ---------------------------------------------------------------------------------------------
// The fabricated answers.
namespace
{

void IndicateFake(PFILTER_MODULE_CONTEXT Module, NDIS_STATUS StatusCode, PVOID Buffer, ULONG Size, PVOID RequestId,
                  NDIS_HANDLE RequestHandle)
{
    NDIS_STATUS_INDICATION indication;
    NdisZeroMemory(&indication, sizeof(indication));
    indication.Header.Type = NDIS_OBJECT_TYPE_STATUS_INDICATION;
    indication.Header.Revision = NDIS_STATUS_INDICATION_REVISION_1;
    indication.Header.Size = NDIS_SIZEOF_STATUS_INDICATION_REVISION_1;
    indication.SourceHandle = Module->FilterHandle;
    indication.PortNumber = 0;
    indication.Flags = 0;
    indication.StatusCode = StatusCode;
    indication.DestinationHandle = RequestHandle;
    indication.RequestId = RequestId;
    indication.StatusBuffer = Buffer;
    indication.StatusBufferSize = Size;
    NdisFIndicateStatus(Module->FilterHandle, &indication);
}

} // namespace

void IndicateFakeContextState(PFILTER_MODULE_CONTEXT Module, ULONG ConnectionId, PVOID RequestId,
                              NDIS_HANDLE RequestHandle)
{
    NDIS_WWAN_CONTEXT_STATE state;
    NdisZeroMemory(&state, sizeof(state));
    state.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    state.Header.Revision = NDIS_WWAN_CONTEXT_STATE_REVISION_2;
    state.Header.Size = NDIS_SIZEOF_NDIS_WWAN_CONTEXT_STATE_REVISION_2;
    state.uStatus = WWAN_STATUS_FAILURE;
    state.ContextState.ConnectionId = ConnectionId;
    IndicateFake(Module, NDIS_STATUS_WWAN_CONTEXT_STATE, &state, sizeof(state), RequestId, RequestHandle);
}

void IndicateFakeRadioState(PFILTER_MODULE_CONTEXT Module, WWAN_RADIO RadioAction, PVOID RequestId,
                            NDIS_HANDLE RequestHandle)
{
    NDIS_WWAN_RADIO_STATE state;
    NdisZeroMemory(&state, sizeof(state));
    state.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    state.Header.Revision = NDIS_WWAN_RADIO_STATE_REVISION_1;
    state.Header.Size = sizeof(state);
    state.uStatus = WWAN_STATUS_SUCCESS;
    state.RadioState.HwRadioState = WwanRadioOn;
    state.RadioState.SwRadioState = RadioAction;
    POID_CACHE_ENTRY entry = OidCacheFind(Module, OID_WWAN_RADIO_STATE);
    if (entry != nullptr) {
        NdisAcquireSpinLock(&Module->CacheLock);
        if (entry->Buffer != nullptr && entry->Length >= sizeof(NDIS_WWAN_RADIO_STATE))
            state.RadioState.HwRadioState =
                static_cast<const NDIS_WWAN_RADIO_STATE*>(entry->Buffer)->RadioState.HwRadioState;
        NdisReleaseSpinLock(&Module->CacheLock);
    }
    IndicateFake(Module, NDIS_STATUS_WWAN_RADIO_STATE, &state, sizeof(state), RequestId, RequestHandle);
}
