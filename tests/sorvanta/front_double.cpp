#include "front_double.h"

#include "ihvframework.h"
#include "mbimcorehandlers.h"
#include "mbimmessages.h"
#include "mbimservices.h"
#include "ril_msg.h"
#include "ril_trace.h"

#include <algorithm>

#include <mutex>
#include <string.h>

CallbackRecord g_CallbackRecord[RIL_EXECUTORS];

namespace frontdouble {
namespace {

std::mutex s_lock;
std::vector<IoControlCall> s_ioControls;
std::vector<CompleteCall> s_completions;
std::vector<UnsolicitedCall> s_unsolicited;
std::function<void(const std::vector<uint8_t>&)> s_onIoControl;
std::vector<RilStep> s_rilSteps;
std::vector<EndpointCall> s_endpointCalls;
HandlerScript s_script;
std::vector<std::string> s_handlerCalls;

std::vector<uint8_t> Bytes(const void* data, size_t length)
{
    auto* p = static_cast<const uint8_t*>(data);
    return data ? std::vector<uint8_t>(p, p + length) : std::vector<uint8_t>();
}

void RequestComplete(void* token, int error, const void* response, size_t length)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_completions.push_back({token, error, Bytes(response, length)});
}

int UnsolicitedResponse(int stack, int id, int uuid_index, const void* data, size_t length)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_unsolicited.push_back({stack, id, uuid_index, Bytes(data, length)});
    return 0;
}

void RequestTimedCallback(RIL_TimedCallback, void*, const ril_timeval*)
{
}

const RilEnv s_env = {RequestComplete, UnsolicitedResponse, RequestTimedCallback};

template <typename T>
std::vector<T> Copy(const std::vector<T>& calls)
{
    std::lock_guard<std::mutex> guard(s_lock);
    return calls;
}

} // namespace

std::vector<IoControlCall> IoControls()
{
    return Copy(s_ioControls);
}

std::vector<CompleteCall> Completions()
{
    return Copy(s_completions);
}

std::vector<UnsolicitedCall> Unsolicited()
{
    return Copy(s_unsolicited);
}

void OnIoControl(std::function<void(const std::vector<uint8_t>&)> action)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_onIoControl = std::move(action);
}

const RilEnv* Env()
{
    return &s_env;
}

void Reset()
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_ioControls.clear();
    s_completions.clear();
    s_unsolicited.clear();
    s_onIoControl = nullptr;
    s_rilSteps.clear();
    s_endpointCalls.clear();
    s_script = HandlerScript();
    s_handlerCalls.clear();
    memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
}

std::vector<RilStep> RilSteps()
{
    return Copy(s_rilSteps);
}

std::vector<EndpointCall> EndpointCalls()
{
    return Copy(s_endpointCalls);
}

HandlerScript& Script()
{
    return s_script;
}

std::vector<std::string> HandlerCalls()
{
    return Copy(s_handlerCalls);
}

} // namespace frontdouble

// ---- the front's entries -------------------------------------------------------------------------

namespace {

// Asks the I/O state, wakes the driver once while asleep and asks again: true when modem I/O is awake
// (the core not running counts as awake).
bool AwakeAfterWake()
{
    if (MBIMCore_check_IOReady() != 0)
        return true;
    Mbim_Send_IoctlToDrv();
    return MBIMCore_check_IOReady() != 0;
}

CIDTransportDescriptor Descriptor(uint8_t* message, int length)
{
    CIDTransportDescriptor descriptor = {};
    descriptor.Header.Route = TransportRouteBridge;
    descriptor.Header.SubType = 1;
    descriptor.Header.Length = static_cast<ULONG>(length);
    descriptor.Buffer = message;
    return descriptor;
}

// A host fragment: sent through record 0's host writer, or parked; a park that fails reports "not sent".
BYTE SendToHost(int executor, uint8_t* buffer, int length)
{
    if (!AwakeAfterWake())
        return MBIMCore_post_Message_IOPending(executor, length, buffer, RIL_OUT_TO_HOST, 0) == 0 ? 1 : 0;
    CIDWriteCallback write = g_CallbackRecord[0].WriteCidResponse;
    if (write == nullptr)
        return 0;
    CIDTransportDescriptor descriptor = Descriptor(buffer, length);
    return write(1, &descriptor, length + static_cast<int>(TRANSPORT_MESSAGE_OVERHEAD));
}

int RegisterTriple(uint32_t executor, CIDReadCallback read, CIDWriteCallback write, CIDSpareCallback spare,
                   bool vendor)
{
    if (executor >= RIL_EXECUTORS || read == nullptr || write == nullptr || spare == nullptr)
        return -11;
    CallbackRecord& record = g_CallbackRecord[executor];
    if (vendor) {
        record.ReadVendorResponse = read;
        record.WriteVendorRequest = write;
        record.VendorSpare = spare;
    } else {
        record.ReadCidRequest = read;
        record.WriteCidResponse = write;
        record.DriverSpare = spare;
    }
    return 0;
}

} // namespace

int MBIM_DriverCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                 CIDSpareCallback spare)
{
    return RegisterTriple(executor, read, write, spare, false);
}

int MBIM_MDMVendorCallbacksRegister(uint32_t executor, CIDReadCallback read, CIDWriteCallback write,
                                    CIDSpareCallback spare)
{
    return RegisterTriple(executor, read, write, spare, true);
}

int MBIM_EventControlInput(int executor, const EventControlData* data)
{
    return MBIMCore_post_eventControlInput(executor, data);
}

int MDMVendor_EventControlInput(int executor, const EventControlData* data)
{
    if (data != nullptr && (data->t == EventKindModemIoAwake || data->t == EventKindModemIoAsleep))
        return MBIMCore_signal_IOeventInput(executor, data);
    return MBIMCore_post_eventControlInput(executor, data);
}

int MBIM_SarEventControlInput(int executor, int length, const void* data, uint8_t command_type)
{
    if (command_type != 0 && (data == nullptr || length < 0)) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: Rcv SAR data is NULL", __func__);
        return -1;
    }
    return MBIMCore_post_sar_eventControlInput(executor, length, data, command_type);
}

void MBIM_IOControl(int executor, const void* buffer, int length)
{
    std::vector<uint8_t> message = frontdouble::Bytes(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    std::function<void(const std::vector<uint8_t>&)> action;
    {
        std::lock_guard<std::mutex> guard(frontdouble::s_lock);
        frontdouble::s_ioControls.push_back({executor, message});
        action = frontdouble::s_onIoControl;
    }
    if (action)
        action(message);
}

int RIL_CIDTransportRequest(int executor, uint8_t* message, int size, int transaction_id)
{
    if (!AwakeAfterWake()) {
        MBIMCore_post_Message_IOPending(executor, size, message, RIL_OUT_TO_MODEM, transaction_id);
        return -1;
    }
    // TransactionId follows MessageType and MessageLength.
    if (message != nullptr && size >= 12)
        memcpy(message + 8, &transaction_id, sizeof(transaction_id));
    CIDWriteCallback write = g_CallbackRecord[0].WriteVendorRequest;
    if (write == nullptr)
        return 0;
    CIDTransportDescriptor descriptor = Descriptor(message, size);
    return write(executor, &descriptor, size + static_cast<int>(TRANSPORT_MESSAGE_OVERHEAD));
}

BYTE Mbim_CIDResponseSend(int executor, uint8_t* buffer, int length)
{
    return SendToHost(executor, buffer, length);
}

BYTE Mbim_CIDNotificationSend(int executor, uint8_t* buffer, int length)
{
    return SendToHost(executor, buffer, length);
}

// ---- the request classes' next layer -------------------------------------------------------------

namespace {

void RecordEndpoint(frontdouble::EndpointCall::Kind kind, uint32_t transaction_id)
{
    std::lock_guard<std::mutex> guard(frontdouble::s_lock);
    frontdouble::s_endpointCalls.push_back({kind, transaction_id});
}

void RecordHandler(const char* name)
{
    std::lock_guard<std::mutex> guard(frontdouble::s_lock);
    frontdouble::s_handlerCalls.push_back(name);
}

// Removes the first queued request that `matches`.
template <typename Match>
void Remove(std::vector<std::shared_ptr<IhvRequest>>& queue, Match matches)
{
    auto found = std::find_if(queue.begin(), queue.end(), matches);
    if (found != queue.end())
        queue.erase(found);
}

// The step a CID request handler prepares: the script's status, or the ids and a copy of the payload.
int ScriptedRequest(const char* name, int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request,
                    const uint8_t* payload, uint32_t length)
{
    RecordHandler(name);
    const frontdouble::HandlerScript& script = frontdouble::s_script;
    if (script.status != 0)
        request->SetStatus(script.status);
    CIDRequest* step = request->CurrentCIDRequest();
    step->uuid_index = uuid_index;
    step->cid = cid;
    step->is_set = is_set;
    if (length != 0) {
        step->AllocateInBuffer(length);
        step->CopyInBuffer(payload, length);
    }
    return script.request_result;
}

int ScriptedResponse(const char* name, MbimCommandRequest* request)
{
    RecordHandler(name);
    const frontdouble::HandlerScript& script = frontdouble::s_script;
    if (!script.payload.empty()) {
        request->AllocateOutBuffer(static_cast<uint32_t>(script.payload.size()));
        request->CopyOutBuffer(script.payload.data(), static_cast<uint32_t>(script.payload.size()));
    }
    return script.response_result;
}

int InternalStep(const char* name, MbimMessageRequest* request, uint32_t cid)
{
    RecordHandler(name);
    CIDRequest* step = request->CurrentCIDRequest();
    step->uuid_index = UUID_INDEX_MBIM_MESSAGE;
    step->cid = cid;
    step->is_set = 1;
    return frontdouble::s_script.request_result;
}

// OPEN_DONE or CLOSE_DONE: 16 bytes with the request's status.
int DoneMessage(const char* name, MbimMessageRequest* request, uint32_t type)
{
    RecordHandler(name);
    uint8_t* answer = request->AllocateOutBuffer(16);
    uint32_t fields[4] = {type, 16, request->GetTransactionId(), request->GetStatus()};
    memcpy(answer, fields, sizeof(fields));
    return 0;
}

} // namespace

IhvServices::IhvServices(uint32_t modem_context_handle) : modemContextHandle(modem_context_handle)
{
}

IhvServices::~IhvServices() = default;

MbimServices::MbimServices(uint32_t modem_context_handle)
    : IhvServices(modem_context_handle), max_control_transfer(MBIM_DEFAULT_MAX_CONTROL_TRANSFER), opened(0)
{
}

MbimServices::~MbimServices() = default;

void IhvServices::PushRequest(const std::shared_ptr<IhvRequest>& request)
{
    RecordEndpoint(frontdouble::EndpointCall::Push, request->GetTransactionId());
    requests.push_back(request);
}

void IhvServices::PopRequest(IhvRequest* request)
{
    RecordEndpoint(frontdouble::EndpointCall::Pop, request->GetTransactionId());
    Remove(requests, [&](const std::shared_ptr<IhvRequest>& r) { return r.get() == request; });
}

void IhvServices::PopMarkedRequest(IhvRequest* request)
{
    RecordEndpoint(frontdouble::EndpointCall::PopMarked, request->GetTransactionId());
    Remove(requests, [&](const std::shared_ptr<IhvRequest>& r) { return r.get() == request && r->marked_for_deletion; });
}

void MbimServices::HandleFinalResponse(IhvRequest* request)
{
    RecordEndpoint(frontdouble::EndpointCall::FinalResponse, request->GetTransactionId());
    PopRequest(request);
}

void MbimServices::HandleNotification(const void*, uint32_t, int, int)
{
}

std::shared_ptr<IhvRequest> MbimServices::RetrieveIhvMessage(const uint8_t*, uint32_t)
{
    return nullptr;
}

void IhvFramework::SendRequestToRil(int stack_id, int req_id, int uuid_index, uint8_t is_set, void* data,
                                    uint32_t data_len, void* token)
{
    std::lock_guard<std::mutex> guard(frontdouble::s_lock);
    frontdouble::s_rilSteps.push_back({stack_id, req_id, uuid_index, is_set, frontdouble::Bytes(data, data_len), token});
}

int mbim_proccess_open_msg(MbimMessageRequest* request)
{
    return InternalStep(__func__, request, 1);
}

int mbim_proccess_close_msg(MbimMessageRequest* request)
{
    return InternalStep(__func__, request, 2);
}

int mbim_proccess_command_msg(MbimMessageRequest* request)
{
    RecordHandler(__func__);
    return static_cast<MbimCommandRequest*>(request)->CallRequestHandler();
}

int mbim_proccess_host_error_msg(MbimMessageRequest* request)
{
    RecordHandler(__func__);
    request->marked_for_deletion = 1;
    return 1;
}

int mbim_format_open_msg_response(MbimMessageRequest* request, const uint8_t*, uint32_t)
{
    return DoneMessage(__func__, request, MBIM_OPEN_DONE);
}

int mbim_format_close_msg_response(MbimMessageRequest* request, const uint8_t*, uint32_t)
{
    return DoneMessage(__func__, request, MBIM_CLOSE_DONE);
}

int mbim_format_command_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length)
{
    RecordHandler(__func__);
    return static_cast<MbimCommandRequest*>(request)->CallResponseHandler(response, length);
}

int mbim_format_host_error_msg_response(MbimMessageRequest*, const uint8_t*, uint32_t)
{
    RecordHandler(__func__);
    return 0;
}

#define SCRIPTED_REQUEST_HANDLER(name)                                                                      \
    int name(int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request, uint8_t* payload, \
             uint32_t length)                                                                              \
    {                                                                                                      \
        return ScriptedRequest(#name, uuid_index, cid, is_set, request, payload, length);                  \
    }
SCRIPTED_REQUEST_HANDLER(mbim_cid_map_request_generic)
SCRIPTED_REQUEST_HANDLER(mbim_cid_map_request_generic_empty_data)
SCRIPTED_REQUEST_HANDLER(mbim_cid_map_request_generic_non_empty_data)
SCRIPTED_REQUEST_HANDLER(mbim_cid_handler_UNSUPPORTED)

#define SCRIPTED_FORMATTER(name)                                                                            \
    int name(int32_t, uint32_t, uint8_t, MbimCommandRequest* request, const uint8_t*, uint32_t)            \
    {                                                                                                      \
        return ScriptedResponse(#name, request);                                                           \
    }
SCRIPTED_FORMATTER(mbim_format_generic_transparent_response)
SCRIPTED_FORMATTER(mbim_format_MS_LTE_ATTACH_CONFIG_response)
SCRIPTED_FORMATTER(mbim_format_MBIM_SAR_ANTT_PROFILE_response)
SCRIPTED_FORMATTER(mbim_cid_handler_UNSUPPORTED_resp)
