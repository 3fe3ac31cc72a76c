// The scripted operating-system side of mobile broadband (see os_peer.h).
#include "os_peer.h"

#include <cstring>

namespace peers
{
namespace wwanbuf
{
namespace
{

NDIS_OBJECT_HEADER Header(UCHAR revision, USHORT size)
{
    return NDIS_OBJECT_HEADER{NDIS_OBJECT_TYPE_DEFAULT, revision, size};
}

template <typename T> std::vector<UCHAR> Bytes(const T& record, size_t extra = 0)
{
    std::vector<UCHAR> bytes(sizeof(T) + extra);
    memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

} // namespace

std::vector<UCHAR> UiccOpenChannel(const std::vector<UCHAR>& appId, ULONG appIdLength, ULONG channelGroup)
{
    NDIS_WWAN_SET_UICC_OPEN_CHANNEL record{};
    record.Header = Header(1, sizeof(record));
    record.SetUiccOpenChannel.AppIdLength = appIdLength;
    memcpy(record.SetUiccOpenChannel.AppId, appId.data(), std::min<size_t>(appId.size(), WWAN_UICC_APP_ID_MAX_LEN));
    record.SetUiccOpenChannel.ChannelGroup = channelGroup;
    return Bytes(record);
}

std::vector<UCHAR> UiccCloseChannel(ULONG channel, ULONG channelGroup)
{
    NDIS_WWAN_SET_UICC_CLOSE_CHANNEL record{};
    record.Header = Header(1, sizeof(record));
    record.SetUiccCloseChannel.Channel = channel;
    record.SetUiccCloseChannel.ChannelGroup = channelGroup;
    return Bytes(record);
}

std::vector<UCHAR> UiccApdu(ULONG channel, const std::vector<UCHAR>& command)
{
    NDIS_WWAN_SET_UICC_APDU record{};
    record.Header = Header(1, sizeof(record));
    record.SetUiccApdu.Channel = channel;
    record.SetUiccApdu.CommandSize = ULONG(command.size());
    memcpy(record.SetUiccApdu.Command, command.data(), std::min<size_t>(command.size(), WWAN_UICC_APDU_MAX_LEN));
    return Bytes(record);
}

std::vector<UCHAR> SlotMapping(ULONG slot)
{
    NDIS_WWAN_SET_DEVICE_SLOT_MAPPING_INFO record{};
    record.Header = Header(1, sizeof(record) + sizeof(ULONG));
    record.SetDeviceSlotMappingInfo.SlotMapListHeader.ElementType = 14;
    record.SetDeviceSlotMappingInfo.SlotMapListHeader.ElementCount = 1;
    std::vector<UCHAR> bytes = Bytes(record, sizeof(ULONG));
    memcpy(bytes.data() + sizeof(record), &slot, sizeof(slot));
    return bytes;
}

std::vector<UCHAR> Connect(ULONG connectionId)
{
    NDIS_WWAN_SET_CONTEXT_STATE record{};
    record.Header = Header(1, sizeof(record));
    record.SetContextState.ConnectionId = connectionId;
    record.SetContextState.ActivationCommand = 1;
    const char16_t apn[] = u"internet";
    memcpy(record.SetContextState.AccessString, apn, sizeof(apn));
    return Bytes(record);
}

std::vector<UCHAR> SetRadioState(WWAN_RADIO action)
{
    NDIS_WWAN_SET_RADIO_STATE record{};
    record.Header = Header(1, sizeof(record));
    record.RadioAction = action;
    return Bytes(record);
}

std::vector<UCHAR> DeviceServiceCommand(const GUID& service, ULONG commandId, std::string_view text)
{
    NDIS_WWAN_SET_DEVICE_SERVICE_COMMAND record{};
    record.Header = Header(1, sizeof(record));
    record.Command.DeviceServiceGuid = service;
    record.Command.CommandID = commandId;
    record.Command.uDataSize = ULONG(text.size());
    std::vector<UCHAR> bytes = Bytes(record, text.size());
    memcpy(bytes.data() + sizeof(record), text.data(), text.size());
    return bytes;
}

} // namespace wwanbuf

NDIS_STATUS OsPeer::Send(NDIS_REQUEST_TYPE type, NDIS_OID oid, std::vector<UCHAR> buffer, ULONG64 requestId)
{
    auto sent = std::make_unique<Sent>();
    sent->buffer = std::move(buffer);
    NDIS_OID_REQUEST& request = sent->request;
    request.Header = {NDIS_OBJECT_TYPE_OID_REQUEST, NDIS_OID_REQUEST_REVISION_1, NDIS_SIZEOF_OID_REQUEST_REVISION_1};
    request.RequestType = type;
    request.RequestId = reinterpret_cast<PVOID>(requestId);
    request.RequestHandle = RequestHandle();
    ULONG length = ULONG(sent->buffer.size());
    PVOID data = sent->buffer.empty() ? nullptr : sent->buffer.data();
    if (type == NdisRequestMethod) {
        request.DATA.METHOD_INFORMATION.Oid = oid;
        request.DATA.METHOD_INFORMATION.InformationBuffer = data;
        request.DATA.METHOD_INFORMATION.InputBufferLength = length;
        request.DATA.METHOD_INFORMATION.OutputBufferLength = length;
    } else {
        request.DATA.QUERY_INFORMATION.Oid = oid;
        request.DATA.QUERY_INFORMATION.InformationBuffer = data;
        request.DATA.QUERY_INFORMATION.InformationBufferLength = length;
    }
    PNDIS_OID_REQUEST raw = &sent->request;
    {
        std::lock_guard<std::mutex> guard(lock_);
        sent_[requestId] = std::move(sent);
    }
    NDIS_STATUS status = host::ndis::OsOidRequest(edge_, raw);
    if (status != NDIS_STATUS_PENDING) {
        std::lock_guard<std::mutex> guard(lock_);
        completions_.push_back(Record(raw, status));
    }
    return status;
}

void OsPeer::Cancel(ULONG64 requestId)
{
    host::ndis::OsCancelOidRequest(edge_, reinterpret_cast<PVOID>(requestId));
}

NDIS_STATUS OsPeer::SetPower(NDIS_DEVICE_POWER_STATE state)
{
    return host::ndis::BindSetPower(edge_, state);
}

void OsPeer::Remove()
{
    host::ndis::BindDetach(edge_);
}

OsPeer::Completion OsPeer::Record(PNDIS_OID_REQUEST request, NDIS_STATUS status)
{
    Completion completion{reinterpret_cast<ULONG64>(request->RequestId), request->DATA.QUERY_INFORMATION.Oid, status,
                          0, 0, 0};
    switch (request->RequestType) {
    case NdisRequestSetInformation:
        completion.bytesRead = request->DATA.SET_INFORMATION.BytesRead;
        completion.bytesNeeded = request->DATA.SET_INFORMATION.BytesNeeded;
        break;
    case NdisRequestMethod:
        completion.bytesWritten = request->DATA.METHOD_INFORMATION.BytesWritten;
        completion.bytesRead = request->DATA.METHOD_INFORMATION.BytesRead;
        completion.bytesNeeded = request->DATA.METHOD_INFORMATION.BytesNeeded;
        break;
    default:
        completion.bytesWritten = request->DATA.QUERY_INFORMATION.BytesWritten;
        completion.bytesNeeded = request->DATA.QUERY_INFORMATION.BytesNeeded;
        break;
    }
    return completion;
}

void OsPeer::OidRequestComplete(PNDIS_OID_REQUEST request, NDIS_STATUS status)
{
    std::lock_guard<std::mutex> guard(lock_);
    completions_.push_back(Record(request, status));
}

void OsPeer::Status(const NDIS_STATUS_INDICATION& indication)
{
    Indication seen{indication.StatusCode, reinterpret_cast<ULONG64>(indication.RequestId),
                    indication.DestinationHandle, {}};
    if (indication.StatusBuffer != nullptr)
        seen.buffer.assign(static_cast<const UCHAR*>(indication.StatusBuffer),
                           static_cast<const UCHAR*>(indication.StatusBuffer) + indication.StatusBufferSize);
    std::lock_guard<std::mutex> guard(lock_);
    indications_.push_back(std::move(seen));
}

std::vector<OsPeer::Completion> OsPeer::Completions()
{
    std::lock_guard<std::mutex> guard(lock_);
    return completions_;
}

std::optional<OsPeer::Completion> OsPeer::CompletionOf(ULONG64 requestId)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const Completion& completion : completions_)
        if (completion.requestId == requestId)
            return completion;
    return std::nullopt;
}

std::vector<OsPeer::Indication> OsPeer::Indications()
{
    std::lock_guard<std::mutex> guard(lock_);
    return indications_;
}

PNDIS_OID_REQUEST OsPeer::Request(ULONG64 requestId)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sent_.find(requestId);
    return found != sent_.end() ? &found->second->request : nullptr;
}

} // namespace peers
