// The mobile-broadband miniport edge (see miniport_edge.h).
#include "miniport_edge.h"

#include <algorithm>
#include <cstring>

namespace peers
{

// MBIM status n (1 to 21, from busy to invalid parameters) is WWAN status 0xC0040001 + n; any other
// failure is a plain failure.
WWAN_STATUS WwanStatusOfMbim(ULONG mbimStatus)
{
    static constexpr WWAN_STATUS kTable[] = {
        WWAN_STATUS_SUCCESS,
        WWAN_STATUS_BUSY,
        WWAN_STATUS_FAILURE,
        WWAN_STATUS_SIM_NOT_INSERTED,
        WWAN_STATUS_BAD_SIM,
        WWAN_STATUS_PIN_REQUIRED,
        WWAN_STATUS_PIN_DISABLED,
        WWAN_STATUS_NOT_REGISTERED,
        WWAN_STATUS_PROVIDERS_NOT_FOUND,
        WWAN_STATUS_NO_DEVICE_SUPPORT,
        WWAN_STATUS_PROVIDER_NOT_VISIBLE,
        WWAN_STATUS_DATA_CLASS_NOT_AVAILABLE,
        WWAN_STATUS_PACKET_SVC_DETACHED,
        WWAN_STATUS_MAX_ACTIVATED_CONTEXTS,
        WWAN_STATUS_NOT_INITIALIZED,
        WWAN_STATUS_VOICE_CALL_IN_PROGRESS,
        WWAN_STATUS_CONTEXT_NOT_ACTIVATED,
        WWAN_STATUS_SERVICE_NOT_ACTIVATED,
        WWAN_STATUS_INVALID_ACCESS_STRING,
        WWAN_STATUS_INVALID_USER_NAME_PWD,
        WWAN_STATUS_RADIO_POWER_OFF,
        WWAN_STATUS_INVALID_PARAMETERS,
    };
    return mbimStatus < std::size(kTable) ? kTable[mbimStatus] : WWAN_STATUS_FAILURE;
}

MiniportEdge::MiniportEdge(MbimHost* host, host::ndis::Protocol* protocol, host::ndis::EdgeInfo info) : host_(host)
{
    edge_ = host::ndis::EdgeCreate(info, this, protocol);
    if (host_ != nullptr)
        host_->Subscribe(this);
}

MiniportEdge::~MiniportEdge()
{
    if (host_ != nullptr)
        host_->Unsubscribe(this);
    host::ndis::EdgeDelete(edge_);
}

void MiniportEdge::Script(NDIS_OID oid, Rule rule)
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_[oid] = std::move(rule);
}

NDIS_STATUS MiniportEdge::OidRequest(PNDIS_OID_REQUEST request)
{
    NDIS_OID oid = request->DATA.QUERY_INFORMATION.Oid;
    {
        Received received{oid, request->RequestType, reinterpret_cast<ULONG64>(request->RequestId), {}};
        auto* data = static_cast<const UCHAR*>(request->DATA.QUERY_INFORMATION.InformationBuffer);
        if (data != nullptr)
            received.buffer.assign(data, data + request->DATA.QUERY_INFORMATION.InformationBufferLength);
        std::lock_guard<std::mutex> guard(lock_);
        received_.push_back(std::move(received));
    }
    bool set = request->RequestType == NdisRequestSetInformation;
    if (host_ != nullptr && oid == OID_WWAN_DEVICE_SERVICE_COMMAND &&
        (set || request->RequestType == NdisRequestQueryInformation))
        return TranslateDeviceService(request);
    if (host_ != nullptr && oid == OID_WWAN_RADIO_STATE && set)
        return TranslateRadioState(request);
    return Scripted(request);
}

NDIS_STATUS MiniportEdge::TranslateDeviceService(PNDIS_OID_REQUEST request)
{
    ULONG length = request->DATA.SET_INFORMATION.InformationBufferLength;
    auto* buffer = static_cast<const UCHAR*>(request->DATA.SET_INFORMATION.InformationBuffer);
    NDIS_WWAN_SET_DEVICE_SERVICE_COMMAND record;
    if (buffer == nullptr || length < sizeof(record))
        return NDIS_STATUS_INVALID_LENGTH;
    memcpy(&record, buffer, sizeof(record));
    if (record.Command.uDataSize > length - sizeof(record)) {
        request->DATA.SET_INFORMATION.BytesNeeded = ULONG(sizeof(record)) + record.Command.uDataSize;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    MbimCommand command;
    command.transactionId = host_->NextTransactionId();
    command.service = MbimServiceIdOf(record.Command.DeviceServiceGuid);
    command.cid = record.Command.CommandID;
    command.type = request->RequestType == NdisRequestSetInformation ? MbimSet : MbimQuery;
    command.data.assign(buffer + sizeof(record), buffer + sizeof(record) + record.Command.uDataSize);
    {
        std::lock_guard<std::mutex> guard(lock_);
        outstanding_[command.transactionId] = {Translated::DeviceService, reinterpret_cast<ULONG64>(request->RequestId),
                                               request->RequestHandle};
    }
    if (!host_->SendCommand(command)) {
        std::lock_guard<std::mutex> guard(lock_);
        outstanding_.erase(command.transactionId);
        return NDIS_STATUS_FAILURE;
    }
    request->DATA.SET_INFORMATION.BytesRead = length;
    return NDIS_STATUS_INDICATION_REQUIRED;
}

NDIS_STATUS MiniportEdge::TranslateRadioState(PNDIS_OID_REQUEST request)
{
    ULONG length = request->DATA.SET_INFORMATION.InformationBufferLength;
    auto* buffer = static_cast<const UCHAR*>(request->DATA.SET_INFORMATION.InformationBuffer);
    NDIS_WWAN_SET_RADIO_STATE record;
    if (buffer == nullptr || length < sizeof(record))
        return NDIS_STATUS_INVALID_LENGTH;
    memcpy(&record, buffer, sizeof(record));
    MbimCommand command;
    command.transactionId = host_->NextTransactionId();
    command.service = MbimServiceIdOf(kMbimBasicConnect);
    command.cid = kMbimCidRadioState;
    command.type = MbimSet;
    ULONG radio = record.RadioAction;
    command.data.assign(reinterpret_cast<const UCHAR*>(&radio), reinterpret_cast<const UCHAR*>(&radio) + sizeof(radio));
    {
        std::lock_guard<std::mutex> guard(lock_);
        outstanding_[command.transactionId] = {Translated::RadioState, reinterpret_cast<ULONG64>(request->RequestId),
                                               request->RequestHandle};
    }
    if (!host_->SendCommand(command)) {
        std::lock_guard<std::mutex> guard(lock_);
        outstanding_.erase(command.transactionId);
        return NDIS_STATUS_FAILURE;
    }
    request->DATA.SET_INFORMATION.BytesRead = sizeof(record);
    return NDIS_STATUS_INDICATION_REQUIRED;
}

namespace
{

// NDIS_WWAN_RADIO_STATE from an MBIM RADIO_STATE information buffer {HwRadioState, SwRadioState}.
std::vector<UCHAR> RadioStateRecord(WWAN_STATUS status, const std::vector<UCHAR>& data)
{
    NDIS_WWAN_RADIO_STATE record{};
    record.Header = {NDIS_OBJECT_TYPE_DEFAULT, NDIS_WWAN_RADIO_STATE_REVISION_1, sizeof(record)};
    record.uStatus = status;
    if (data.size() >= 2 * sizeof(ULONG))
        memcpy(&record.RadioState, data.data(), sizeof(record.RadioState));
    std::vector<UCHAR> bytes(sizeof(record));
    memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

// The device-service answer or event: the record, then the data.
template <typename T> std::vector<UCHAR> WithData(const T& record, const std::vector<UCHAR>& data)
{
    std::vector<UCHAR> bytes(sizeof(T));
    memcpy(bytes.data(), &record, sizeof(T));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

} // namespace

void MiniportEdge::CommandDone(ULONG transactionId, const MbimServiceId& service, ULONG cid, ULONG status,
                               const std::vector<UCHAR>& data)
{
    Outstanding outstanding;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = outstanding_.find(transactionId);
        if (found == outstanding_.end())
            return; // another client's
        outstanding = found->second;
        outstanding_.erase(found);
    }
    WWAN_STATUS wwanStatus = WwanStatusOfMbim(status);
    if (outstanding.kind == Translated::RadioState) {
        Indicate(NDIS_STATUS_WWAN_RADIO_STATE, RadioStateRecord(wwanStatus, data), outstanding.requestId,
                 outstanding.requestHandle);
        return;
    }
    NDIS_WWAN_DEVICE_SERVICE_RESPONSE record{};
    record.Header = {NDIS_OBJECT_TYPE_DEFAULT, NDIS_WWAN_DEVICE_SERVICE_RESPONSE_REVISION_1, sizeof(record)};
    record.uStatus = wwanStatus;
    record.Response.DeviceServiceGuid = GuidOfMbimServiceId(service);
    record.Response.ResponseID = cid;
    record.Response.uDataSize = ULONG(data.size());
    Indicate(NDIS_STATUS_WWAN_DEVICE_SERVICE_RESPONSE, WithData(record, data), outstanding.requestId,
             outstanding.requestHandle);
}

void MiniportEdge::IndicateStatus(const MbimServiceId& service, ULONG cid, const std::vector<UCHAR>& data)
{
    GUID guid = GuidOfMbimServiceId(service);
    if (IsEqualGUID(guid, kMbimBasicConnect)) {
        if (cid == kMbimCidRadioState)
            Indicate(NDIS_STATUS_WWAN_RADIO_STATE, RadioStateRecord(WWAN_STATUS_SUCCESS, data));
        return; // other basic-connect indications are not translated here
    }
    NDIS_WWAN_DEVICE_SERVICE_EVENT record{};
    record.Header = {NDIS_OBJECT_TYPE_DEFAULT, NDIS_WWAN_DEVICE_SERVICE_EVENT_REVISION_1, sizeof(record)};
    record.DeviceServiceEvent.DeviceServiceGuid = guid;
    record.DeviceServiceEvent.EventID = cid;
    record.DeviceServiceEvent.uDataSize = ULONG(data.size());
    Indicate(NDIS_STATUS_WWAN_DEVICE_SERVICE_EVENT, WithData(record, data));
}

NDIS_STATUS MiniportEdge::Scripted(PNDIS_OID_REQUEST request)
{
    NDIS_OID oid = request->DATA.QUERY_INFORMATION.Oid;
    Rule rule;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = rules_.find(oid);
        if (found == rules_.end())
            return NDIS_STATUS_NOT_SUPPORTED;
        rule = found->second;
        if (rule.kind == Rule::Pend || rule.kind == Rule::Never) {
            pending_[reinterpret_cast<ULONG64>(request->RequestId)] = request;
            return NDIS_STATUS_PENDING;
        }
    }
    Answer(request, rule.bytes, rule.answer);
    if (rule.kind == Rule::IndicationRequired) {
        // The answer follows the completion, from a system worker.
        auto* deferred = new Deferred;
        deferred->edge = this;
        deferred->code = rule.indicationCode;
        deferred->buffer = rule.indication;
        deferred->requestId = reinterpret_cast<ULONG64>(request->RequestId);
        deferred->destination = request->RequestHandle;
        deferred->item.routine = DeliverDeferred;
        deferred->item.owner = reinterpret_cast<const void*>(&DeliverDeferred);
        host::WorkQueue(&deferred->item);
        return NDIS_STATUS_INDICATION_REQUIRED;
    }
    return rule.status;
}

void MiniportEdge::DeliverDeferred(host::WorkItem* item)
{
    auto* deferred = CONTAINING_RECORD(item, Deferred, item);
    deferred->edge->Indicate(deferred->code, deferred->buffer, deferred->requestId, deferred->destination);
    delete deferred;
}

void MiniportEdge::Answer(PNDIS_OID_REQUEST request, ULONG bytes, const std::vector<UCHAR>& answer)
{
    if (request->RequestType == NdisRequestSetInformation)
        request->DATA.SET_INFORMATION.BytesRead = bytes;
    else
        request->DATA.QUERY_INFORMATION.BytesWritten = bytes;
    auto* buffer = static_cast<UCHAR*>(request->DATA.QUERY_INFORMATION.InformationBuffer);
    size_t length = std::min<size_t>(answer.size(), request->DATA.QUERY_INFORMATION.InformationBufferLength);
    if (buffer != nullptr && length != 0)
        memcpy(buffer, answer.data(), length);
}

bool MiniportEdge::CompletePending(ULONG64 requestId, NDIS_STATUS status, ULONG bytes, const std::vector<UCHAR>& answer)
{
    PNDIS_OID_REQUEST request;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = pending_.find(requestId);
        if (found == pending_.end())
            return false;
        request = found->second;
        pending_.erase(found);
    }
    Answer(request, bytes, answer);
    host::ndis::EdgeCompleteOid(edge_, request, status);
    return true;
}

void MiniportEdge::CancelOidRequest(PVOID requestId)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        cancels_.push_back(reinterpret_cast<ULONG64>(requestId));
    }
    CompletePending(reinterpret_cast<ULONG64>(requestId), NDIS_STATUS_REQUEST_ABORTED);
}

void MiniportEdge::Indicate(NDIS_STATUS code, const std::vector<UCHAR>& buffer, ULONG64 requestId,
                            NDIS_HANDLE destination)
{
    std::vector<UCHAR> copy = buffer;
    NDIS_STATUS_INDICATION indication{};
    indication.Header = {NDIS_OBJECT_TYPE_STATUS_INDICATION, NDIS_STATUS_INDICATION_REVISION_1,
                         NDIS_SIZEOF_STATUS_INDICATION_REVISION_1};
    indication.StatusCode = code;
    indication.RequestId = reinterpret_cast<PVOID>(requestId);
    indication.DestinationHandle = destination;
    indication.StatusBuffer = copy.empty() ? nullptr : copy.data();
    indication.StatusBufferSize = ULONG(copy.size());
    host::ndis::EdgeIndicateStatus(edge_, indication);
}

std::vector<MiniportEdge::Received> MiniportEdge::Requests()
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

std::vector<ULONG64> MiniportEdge::Cancels()
{
    std::lock_guard<std::mutex> guard(lock_);
    return cancels_;
}

size_t MiniportEdge::PendingCount()
{
    std::lock_guard<std::mutex> guard(lock_);
    return pending_.size();
}

} // namespace peers
