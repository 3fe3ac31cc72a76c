#include "front_double.h"

#include "ril_msg.h"
#include "ril_trace.h"

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
    memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
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
