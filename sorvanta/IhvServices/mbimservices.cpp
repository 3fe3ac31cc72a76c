#include "mbimservices.h"

#include "async_ril.h"
#include "ihv_log.h"
#include "ihvframework.h"
#include "mbim_front.h"
#include "mbimmessages.h"
#include "ril_msg.h"
#include "trace_util.h"

#include <algorithm>
#include <string.h>

namespace {

IhvFramework* Framework()
{
    return IhvFramework::GetInstancte();
}

// The request queue log lines share one form.
void LogQueue(const char* form, const std::vector<std::shared_ptr<IhvRequest>>& queue, IhvRequest* request)
{
    IHV_LOG_VERBOSE(form, static_cast<const void*>(&queue), static_cast<int>(queue.size()),
                    static_cast<int>(request->GetCommandId()), static_cast<int>(request->GetTransactionId()));
}

} // namespace

IhvServices::IhvServices(uint32_t modem_context_handle) : modemContextHandle(modem_context_handle)
{
    IHV_LOG_VERBOSE("IhvServices ");
}

IhvServices::~IhvServices()
{
    requests.clear();
    IHV_LOG_VERBOSE("~IhvServices ");
}

void IhvServices::PushRequest(const std::shared_ptr<IhvRequest>& request)
{
    RequestLock lock(Framework());
    requests.push_back(request);
    LogQueue("Push IHV Queue:=%p Size:=%d Command ID:=%d Transaction ID:=%d", requests, request.get());
}

void IhvServices::PopRequest(IhvRequest* request)
{
    std::shared_ptr<IhvRequest> removed; // released after the lock is left
    RequestLock lock(Framework());
    auto found = std::find_if(requests.begin(), requests.end(),
                              [&](const std::shared_ptr<IhvRequest>& queued) { return queued.get() == request; });
    if (found == requests.end())
        return;
    removed = *found;
    requests.erase(found);
    LogQueue("Pop IHV Queue:=%p Size:=%d Command ID:=%d Transaction ID:=%d", requests, request);
}

void IhvServices::PopMarkedRequest(IhvRequest* request)
{
    std::shared_ptr<IhvRequest> removed;
    RequestLock lock(Framework());
    auto found = std::find_if(requests.begin(), requests.end(), [&](const std::shared_ptr<IhvRequest>& queued) {
        return queued.get() == request && queued->marked_for_deletion;
    });
    if (found == requests.end())
        return;
    removed = *found;
    requests.erase(found);
    LogQueue("Pop ----->>IHV Queue:=%p Size:=%d Command ID:=%d Transaction ID:=%d", requests, request);
}

void IhvServices::CleanRequestQueue(IhvRequest* request, int mode)
{
    static const char kName[] = "IhvServices::CleanRequestQueue";
    std::vector<std::shared_ptr<IhvRequest>> removed;
    RequestLock lock(Framework());
    IHV_LOG_VERBOSE("%s++", kName);
    uint32_t transaction = request->GetTransactionId();
    for (auto it = requests.begin(); it != requests.end();) {
        uint32_t queued = (*it)->GetTransactionId();
        bool invalidate = mode == 0 ? queued < transaction : mode == 1 ? queued != transaction : true;
        if (!invalidate || it->get() == request) {
            ++it;
            continue;
        }
        (*it)->invalidated = 1;
        IHV_LOG_INFO("%s : Previous pending transaction before 'open/close'", kName);
        if (mode == 1 || !(*it)->dispatched) {
            removed.push_back(*it);
            it = requests.erase(it);
        } else {
            ++it;
        }
    }
    IHV_LOG_VERBOSE("%s-- : ", kName);
}

void IhvServices::InvalidateRequestMessage()
{
    std::vector<std::shared_ptr<IhvRequest>> removed;
    RequestLock lock(Framework());
    IHV_LOG_INFO("%s", "IhvServices::InvalidateRequestMessage");
    for (auto it = requests.begin(); it != requests.end();) {
        (*it)->invalidated = 1;
        if (!(*it)->dispatched) {
            removed.push_back(*it);
            it = requests.erase(it);
        } else {
            ++it;
        }
    }
}

int IhvServices::CheckPendingResponse(IhvRequest* request)
{
    static const char kName[] = "IhvServices::CheckPendingResponse";
    RequestLock lock(Framework());
    for (const std::shared_ptr<IhvRequest>& queued : requests) {
        if (!queued->done && queued->GetTransactionId() != request->GetTransactionId()) {
            IHV_LOG_VERBOSE("%s-- : Success", kName);
            return 1;
        }
    }
    IHV_LOG_VERBOSE("%s-- : Failure", kName);
    return 0;
}

void IhvServices::CleanUprequests()
{
    std::vector<std::shared_ptr<IhvRequest>> removed;
    {
        RequestLock lock(Framework());
        IHV_LOG_INFO("CleanUprequests>>");
        removed.swap(requests);
    }
    removed.clear();
    // The framework owns the lock, so it goes only once the lock is left.
    IhvFramework::DESTROYInstance();
}

MbimServices::MbimServices(uint32_t modem_context_handle)
    : IhvServices(modem_context_handle), max_control_transfer(MBIM_DEFAULT_MAX_CONTROL_TRANSFER), opened(0)
{
}

MbimServices::~MbimServices() = default;

int MbimServices::MbimIoControl(const void* message, uint32_t size)
{
    IHV_LOG_INFO("MbimIoControl  : bytes in: %d", static_cast<int>(size));
    const auto* bytes = static_cast<const uint8_t*>(message);
    std::shared_ptr<IhvRequest> request = RetrieveIhvMessage(bytes, size);
    if (!request || request->dispatched)
        return 1;
    int copied;
    {
        RequestLock lock(Framework());
        copied = request->CopyInBuffer(bytes, size);
    }
    if (copied == 1) {
        IHV_LOG_INFO("Fragmented MBIM message received");
        return 1;
    }
    if (copied < 0) {
        // The command broke a size or sequence rule for good: nothing more of it will come.
        PopRequest(request.get());
        return 1;
    }
    IHV_LOG_INFO("Complete MBIM message ready to process");
    request->OnRequest();
    request->dispatched = 1;
    // The RIL core never completes the internal OPEN and CLOSE: they leave once handed over, the CLOSE
    // taking the opened state with it, as its answer would have.
    CIDRequest* step = request->CurrentCIDRequest();
    if (request->done && step != nullptr && step->uuid_index == UUID_INDEX_MBIM_MESSAGE) {
        if (step->cid == MBIM_CLOSE_MSG)
            opened = 0;
        PopRequest(request.get());
    }
    if (!opened)
        InvalidateRequestMessage();
    IHV_LOG_INFO("MbimIoControl--");
    return 1;
}

std::shared_ptr<IhvRequest> MbimServices::RetrieveIhvMessage(const uint8_t* message, uint32_t size)
{
    std::shared_ptr<IhvRequest> request = FindFragmentedMessage(message, size);
    return request ? request : AddIhvMessage(message, size);
}

std::shared_ptr<IhvRequest> MbimServices::FindFragmentedMessage(const uint8_t* message, uint32_t size)
{
    if (message == nullptr || size < MBIM_MESSAGE_HEADER_SIZE)
        return nullptr;
    uint32_t transaction = mbim_read_u32(message, MBIM_TRANSACTION_ID);
    RequestLock lock(Framework());
    for (const std::shared_ptr<IhvRequest>& queued : requests) {
        if (queued->GetTransactionId() == transaction && !queued->done && !queued->invalidated) {
            IHV_LOG_INFO("Previous fragmented MBIM message of the same Transaction ID = %d                                              found!",
                         static_cast<int>(transaction));
            return queued;
        }
    }
    return nullptr;
}

std::shared_ptr<IhvRequest> MbimServices::AddIhvMessage(const uint8_t* message, uint32_t size)
{
    std::shared_ptr<IhvRequest> request = CreateServiceTypeMessage(message, size);
    if (request)
        PushRequest(request);
    return request;
}

std::shared_ptr<IhvRequest> MbimServices::CreateServiceTypeMessage(const uint8_t* message, uint32_t size)
{
    return MbimMessageRequest::Create(this, message, size);
}

void MbimServices::HandleFinalResponse(IhvRequest* request)
{
    static const char kName[] = "MbimServices::HandleFinalResponse";
    if (request->GetOutBuffer() == nullptr && request->OutSize() == 0)
        request->AllocateOutBuffer(0);
    if (request->invalidated) {
        if (request->command_id == MBIM_CLOSE_MSG && dynamic_cast<MbimCommandRequest*>(request) == nullptr) {
            IHV_LOG_INFO("rsq - HandleFinalResponse: sending final response for MBIM_CID_CLOSE_MSG!!!");
        } else {
            IHV_LOG_INFO("%s: Checking Request Before final response: Invalidated. release request class", kName);
            PopRequest(request);
            return;
        }
    }
    IHV_LOG_INFO("%s: sending final response", kName);
    request->SendFinalResponse();
    PopRequest(request);
}

void MbimServices::HandleNotification(const void* data, uint32_t length, int id, int uuid_index)
{
    IHV_LOG_INFO("MBIM HandleNotification++ ID=0x%0x, uuid_index=%d", static_cast<unsigned>(id), uuid_index);
    if (!opened) {
        IHV_LOG_INFO("Discarding MBIM notification ID=0x%0x received before MBIM_OPEN", static_cast<unsigned>(id));
        IHV_LOG_INFO("MBIM HandleNotification--");
        return;
    }
    if (uuid_index == 0) {
        // The id comes from the modem: a bad one is dropped, never a reason to stop the process.
        IHV_LOG_ERROR("Unhandled MBIM notification ID=0x%0x , asserting", static_cast<unsigned>(id));
        return;
    }
    GUID uuid = g_command_table_mgr.get_uuid_from_index(uuid_index);
    MbimIndicationStatus indication(this, uuid, data, length, static_cast<uint32_t>(id));
    if (indication.TranslateNotification() != 0)
        IHV_LOG_ERROR("ERROR: Invalid MBIM notification translation... id: 0x%0x", static_cast<unsigned>(id));
    else
        indication.SendFinalResponse();
    IHV_LOG_INFO("MBIM HandleNotification--");
}

// ---- transport -----------------------------------------------------------------------------------

namespace {

CIDTransportDescriptor Descriptor(uint8_t* message, int length)
{
    CIDTransportDescriptor descriptor = {};
    descriptor.Header.Route = TransportRouteBridge;
    descriptor.Header.SubType = 1;
    descriptor.Header.Length = static_cast<ULONG>(length);
    descriptor.Buffer = message;
    return descriptor;
}

int WithOverhead(int length)
{
    return length + static_cast<int>(TRANSPORT_MESSAGE_OVERHEAD);
}

struct HostSendTexts {
    const char* enter;
    const char* asleep;
    const char* ready;
    const char* still_asleep;
    const char* sent;
    const char* parked;
};

// An answer or indication fragment to the host through record 0's writer, or parked while modem I/O
// sleeps. A park that fails is reported as not sent, so the caller stops a multi-fragment answer.
BYTE SendToHost(const HostSendTexts& texts, int executor, uint8_t* buffer, int length)
{
    IHV_LOG_VERBOSE(texts.enter, executor, static_cast<int>(reinterpret_cast<uintptr_t>(buffer)), length);
    if (MBIMCore_check_IOReady() == 0) {
        IHV_LOG_INFO("%s", texts.asleep);
        Mbim_Send_IoctlToDrv();
    }
    if (MBIMCore_check_IOReady() == 0) {
        IHV_LOG_INFO("%s", texts.still_asleep);
        int parked = MBIMCore_post_Message_IOPending(executor, length, buffer, RIL_OUT_TO_HOST, 0);
        IHV_LOG_VERBOSE("%s", texts.parked);
        return parked == 0 ? 1 : 0;
    }
    IHV_LOG_VERBOSE("%s", texts.ready);
    CIDWriteCallback write = g_CallbackRecord[0].WriteCidResponse;
    if (write == nullptr || buffer == nullptr || length <= 0)
        return 0;
    CIDTransportDescriptor descriptor = Descriptor(buffer, length);
    trace_hex_bufs(buffer, nullptr, length, " about to send cid bytes: ");
    BYTE result = write(1, &descriptor, WithOverhead(length));
    IHV_LOG_VERBOSE(texts.sent, static_cast<int>(result), length);
    return result;
}

const HostSendTexts kResponseTexts = {
    "Mbim_CIDResponseSend++  ______________>>    exec: %d, buf= %01d , len= %d",
    "Mbim_CIDResponseSend : Caution! Io asleep cidr, trying to send Ioctl",
    "Mbim_CIDResponseSend : Ok!, io ready",
    "Mbim_CIDResponseSend : io still not ready",
    "Mbim_CIDResponseSend--  ______________<<   res value: %d for cid len: %d",
    "Mbim_CIDResponseSend--  ______________<<   ",
};

const HostSendTexts kNotificationTexts = {
    "Mbim_CIDNotificationSend++  ______________>>    exec: %d, buf= %01d , len= %d",
    "Mbim_CIDNotificationSend : Caution! Io asleep ntf, trying to send Ioctl",
    "Mbim_CIDNotificationSend : Ok!, io ready",
    "Mbim_CIDNotificationSend : io still not ready",
    "Mbim_CIDNotificationSend--  ______________<<   res value: %d for cid len: %d",
    "Mbim_CIDNotificationSend--  ______________<<   ",
};

} // namespace

int RIL_CIDTransportRequest(int executor, uint8_t* message, int size, int transaction_id)
{
    IHV_LOG_VERBOSE("RIL_CIDTransportRequest++  ______________>>    exec: %d, buf= %01x , len= %d, ctx= %d", executor,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(message)), size, transaction_id);
    if (message == nullptr || size < static_cast<int>(MBIM_MESSAGE_HEADER_SIZE))
        return 0;
    if (MBIMCore_check_IOReady() == 0) {
        IHV_LOG_INFO("RIL_CIDTransportRequest : Caution! Io asleep, trying to send Ioctl");
        Mbim_Send_IoctlToDrv();
        if (MBIMCore_check_IOReady() == 0) {
            IHV_LOG_INFO("RIL_CIDTransportRequest : io still not ready!");
            // A park that fails is not "sent": the caller must see the message as lost.
            return MBIMCore_post_Message_IOPending(executor, size, message, RIL_OUT_TO_MODEM, transaction_id) == 0 ? -1
                                                                                                                  : 0;
        }
        IHV_LOG_INFO("RIL_CIDTransportRequest : Ok!, io now ready");
    } else {
        IHV_LOG_VERBOSE("RIL_CIDTransportRequest : Ok!, io ready");
    }
    mbim_write_u32(message, MBIM_TRANSACTION_ID, static_cast<uint32_t>(transaction_id));
    CIDWriteCallback write = g_CallbackRecord[0].WriteVendorRequest;
    if (write == nullptr)
        return 0;
    CIDTransportDescriptor descriptor = Descriptor(message, size);
    trace_hex_bufs(message, nullptr, size, " about to send cid bytes: ");
    BYTE result = write(executor, &descriptor, WithOverhead(size));
    trace_hex_bufs(message, nullptr, size, " after sending cid bytes: ");
    IHV_LOG_VERBOSE("RIL_CIDTransportRequest--  ______________<<   res value: %d for len: %d", static_cast<int>(result), size);
    return result;
}

BYTE Mbim_CIDResponseSend(int executor, uint8_t* buffer, int length)
{
    return SendToHost(kResponseTexts, executor, buffer, length);
}

BYTE Mbim_CIDNotificationSend(int executor, uint8_t* buffer, int length)
{
    return SendToHost(kNotificationTexts, executor, buffer, length);
}

// ---- event entries -------------------------------------------------------------------------------

int MBIM_EventControlInput(int executor, const EventControlData* data)
{
    if (data == nullptr)
        return -1;
    IHV_LOG_INFO("MBIM_EventControlInput++: executor id : %d evData len: %d, bytes= %1X %1X # _ %1X _  %1X %1X _ %1X %1X ",
                 executor, static_cast<int>(EventControlDataLength(data)), data->l, data->v[0], data->v[1], data->v[2],
                 data->v[3], data->v[4], data->v[5]);
    int result = MBIMCore_post_eventControlInput(executor, data);
    IHV_LOG_INFO("MBIM_EventControlInput-- Rcv buf len val: %d", static_cast<int>(EventControlDataLength(data)));
    return result;
}

int MDMVendor_EventControlInput(int executor, const EventControlData* data)
{
    if (data == nullptr)
        return -1;
    int length = EventControlDataLength(data);
    IHV_LOG_INFO("MDMVendor_EventControlInput++ rsp, exi: %d evData len: %d, calclen= %d, bytes= %1X %1X # _ %1X _  %1X %1X _ %1X %1X ",
                 executor, length, length, data->l, data->v[0], data->v[1], data->v[2], data->v[3], data->v[4], data->v[5]);
    if (data->t == EventKindModemIoAwake || data->t == EventKindModemIoAsleep) {
        IHV_LOG_INFO("MDMVendor_EventControlInput : IO event! %s ", data->t == EventKindModemIoAwake ? "Awoke" : "Sleep");
        return MBIMCore_signal_IOeventInput(executor, data);
    }
    return MBIMCore_post_eventControlInput(executor, data);
}

int MBIM_SarEventControlInput(int executor, int length, const void* data, uint8_t command_type)
{
    static const char kName[] = "MBIM_SarEventControlInput";
    if (command_type != 0 && (data == nullptr || length < 0)) {
        IHV_LOG_ERROR("%s: Rcv SAR data is NULL", kName);
        return -1;
    }
    int result = MBIMCore_post_sar_eventControlInput(executor, length, data, command_type);
    IHV_LOG_INFO("%s: return value from MBIMCore_post_sar_eventControlInput = %d", kName, result);
    return result;
}
