#include "mbimmessages.h"

#include "ihv_log.h"
#include "mbim_byteorder.h"
#include "mbim_front.h"
#include "mbimcorehandlers.h"
#include "mbimservices.h"

#include <stdlib.h>
#include <string.h>

const mbim_message_table_row mbim_message_table[MBIM_MESSAGE_TABLE_ROWS] = {
    {0, nullptr, nullptr},
    {MBIM_OPEN_MSG, mbim_proccess_open_msg, mbim_format_open_msg_response},
    {MBIM_CLOSE_MSG, mbim_proccess_close_msg, mbim_format_close_msg_response},
    {MBIM_COMMAND_MSG, mbim_proccess_command_msg, mbim_format_command_msg_response},
    {MBIM_HOST_ERROR_MSG, mbim_proccess_host_error_msg, mbim_format_host_error_msg_response},
};

const ril_to_mbim_status_row ril_to_mbim_status_table[RIL_TO_MBIM_STATUS_ROWS] = {
    {0, MBIM_STATUS_SUCCESS},
    {1, 20}, // radio not available: RADIO_POWER_OFF
    {2, MBIM_STATUS_FAILURE},
    {3, 5}, // password incorrect: PIN_REQUIRED
    {4, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {5, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {6, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {7, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {8, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {9, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {10, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {11, 3}, // SIM absent: SIM_NOT_INSERTED
    {12, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {13, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {14, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {15, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    {16, MBIM_STATUS_OPERATION_NOT_ALLOWED},
};

namespace {

// The RIL error of a step that the front cannot hand on.
constexpr int32_t kRilRequestNotSupported = 6;

// Size rule of every host message.
bool HeaderSizeHolds(const uint8_t* message, uint32_t size)
{
    if (message != nullptr && size >= MBIM_MESSAGE_HEADER_SIZE && size == mbim_read_u32(message, MBIM_MESSAGE_LENGTH))
        return true;
    IHV_LOG_ERROR("ERROR: (messageSize >= sizeof(MBIM_MESSAGE_HEADER)) && (messageSize == "
                  "((PMBIM_MESSAGE_HEADER)pBuffer)->MessageLength) failed, size %u",
                  size);
    return false;
}

} // namespace

// ---- host messages -------------------------------------------------------------------------------

std::shared_ptr<MbimMessageRequest> MbimMessageRequest::Create(MbimServices* services, const uint8_t* message,
                                                               uint32_t size)
{
    if (!HeaderSizeHolds(message, size))
        return nullptr;
    uint32_t type = mbim_read_u32(message, MBIM_MESSAGE_TYPE);
    // Only the four host message types have handlers; anything else would be answered without a
    // header, so it gets no request at all.
    if (type < MBIM_OPEN_MSG || type > MBIM_HOST_ERROR_MSG) {
        IHV_LOG_ERROR("ERROR: MBIM message type 0x%x is not a host message, dropped", type);
        return nullptr;
    }
    if (type != MBIM_COMMAND_MSG)
        return std::shared_ptr<MbimMessageRequest>(new MbimMessageRequest(services, message, size));
    // A command's request is created by its first fragment, whose whole header is read below.
    if (size < MBIM_COMMAND_HEADER_SIZE || mbim_read_u32(message, MBIM_CURRENT_FRAGMENT) != 0) {
        IHV_LOG_ERROR("ERROR: MBIM command of %u bytes is not a first fragment, dropped", size);
        return nullptr;
    }
    uint32_t information = mbim_read_u32(message, MBIM_COMMAND_INFORMATION_LENGTH);
    if (information > MBIM_MAX_COMMAND_INFORMATION) {
        IHV_LOG_ERROR("ERROR: MBIM command InformationBufferLength %u above %u, dropped", information,
                      MBIM_MAX_COMMAND_INFORMATION);
        return nullptr;
    }
    return std::shared_ptr<MbimMessageRequest>(new MbimCommandRequest(services, message, size));
}

MbimMessageRequest::MbimMessageRequest(MbimServices* endpoint, const uint8_t* message, uint32_t size)
    : IhvRequest(endpoint, mbim_read_u32(message, MBIM_MESSAGE_TYPE), mbim_read_u32(message, MBIM_TRANSACTION_ID)),
      status(0), message_table_row(&mbim_message_table[0]), row_count(MBIM_MESSAGE_TABLE_ROWS),
      executor(endpoint ? endpoint->modemContextHandle - 1 : UINT32_MAX)
{
    uint32_t type = GetMessageType(message);
    if (type == MBIM_COMMAND_MSG)
        AllocateInBuffer(mbim_read_u32(message, MBIM_COMMAND_INFORMATION_LENGTH) + MBIM_COMMAND_HEADER_SIZE);
    else
        AllocateInBuffer(size);
    SetLookupTable();
}

MbimMessageRequest::~MbimMessageRequest() = default;

uint32_t MbimMessageRequest::GetMessageTransactionId(const uint8_t* message)
{
    return mbim_read_u32(message, MBIM_TRANSACTION_ID);
}

uint32_t MbimMessageRequest::GetMessageType(const uint8_t* message)
{
    return mbim_read_u32(message, MBIM_MESSAGE_TYPE);
}

bool MbimMessageRequest::ValidateMessageSize(const uint8_t* message, uint32_t size)
{
    return HeaderSizeHolds(message, size);
}

uint32_t MbimMessageRequest::GetCommandId()
{
    return m_pInBuffer != nullptr && m_inSize >= MBIM_MESSAGE_HEADER_SIZE ? GetMessageType(m_pInBuffer) : command_id;
}

void MbimMessageRequest::SetLookupTable()
{
    message_table_row = command_id < row_count ? &mbim_message_table[command_id] : nullptr;
}

int MbimMessageRequest::RefuseStep()
{
    if (CIDRequest* step = CurrentCIDRequest())
        step->ril_error = kRilRequestNotSupported;
    return -1;
}

void MbimMessageRequest::CreateCIDRequest()
{
    cid_requests.push_back(std::make_shared<CIDRequest>(static_cast<int32_t>(executor), this));
}

int MbimMessageRequest::RunOnRequest()
{
    int result;
    if (message_table_row == nullptr || message_table_row->on_request == nullptr) {
        IHV_LOG_ERROR("ERROR: MBIM Message CID=%d not supported - null %s callback!", command_id, "on_request");
        result = RefuseStep();
    } else {
        result = message_table_row->on_request(this);
    }
    FinishRequestTranslation(result);
    return result;
}

int MbimMessageRequest::RunOnResponse(const uint8_t* response, uint32_t length)
{
    int result;
    if (message_table_row == nullptr || message_table_row->on_response == nullptr) {
        IHV_LOG_ERROR("ERROR: MBIM Message CID=%d not supported - null %s callback!", command_id, "on_response");
        result = RefuseStep();
    } else {
        result = message_table_row->on_response(this, response, length);
    }
    FinishResponseTranslation(result);
    return result;
}

void MbimMessageRequest::FinishRequestTranslation(int result)
{
    IHV_LOG_INFO("Request CID=%d, TxnID=%d translated with status %d", GetCommandId(), transaction_id, result);
    TranslateStatus(result == -1);
    if (result != 0)
        done = 1;
}

void MbimMessageRequest::FinishResponseTranslation(int result)
{
    IHV_LOG_INFO("->Response CID=%d, TxnID=%d with status %d", GetCommandId(), transaction_id, result);
    TranslateStatus(result == -1);
    if (result != 1)
        done = 1;
}

void MbimMessageRequest::TranslateStatus(int force)
{
    if (status != 0) {
        IHV_LOG_INFO("MBIM Request CID=%d - CID translation Windows-Status: 0x%0x", GetCommandId(), status);
        return;
    }
    CIDRequest* step = CurrentCIDRequest();
    uint32_t error = step ? static_cast<uint32_t>(step->ril_error) : 0;
    IHV_LOG_INFO("MBIM Request CID=%d, TxnId=%d, stat=%d - CID translation Android-Code: 0x%0x", GetCommandId(),
                 transaction_id, status, error);
    if (error >= RIL_TO_MBIM_STATUS_ROWS || ril_to_mbim_status_table[error].ril_error != error) {
        if (step)
            step->ril_error = kRilRequestNotSupported;
        error = kRilRequestNotSupported;
    }
    status = ril_to_mbim_status_table[error].mbim_status;
    if (status == MBIM_STATUS_SUCCESS && force)
        status = MBIM_STATUS_FAILURE;
}

int MbimMessageRequest::SendFinalResponse()
{
    IHV_LOG_INFO("SendFinalResponse: Attempting to send %d bytes response (cid buffer len: %d)",
                 m_outSize + static_cast<uint32_t>(TRANSPORT_MESSAGE_OVERHEAD), m_outSize);
    // Only a built answer goes out: never bytes without an MBIM header.
    if (m_pOutBuffer == nullptr || m_outSize < MBIM_MESSAGE_HEADER_SIZE) {
        IHV_LOG_ERROR("ERROR: SendFinalResponse: no answer built for CID=%d", GetCommandId());
        return 0;
    }
    // Only executors 0 and 1 have callback records, and a record may not be registered.
    CIDWriteCallback write = executor < RIL_EXECUTORS ? g_CallbackRecord[executor].WriteCidResponse : nullptr;
    if (write == nullptr) {
        IHV_LOG_ERROR("ERROR: SendFinalResponse: no host writer for executor %u", executor);
        return 0;
    }
    CIDTransportDescriptor descriptor = {};
    descriptor.Header.Route = TransportRouteBridge;
    descriptor.Header.SubType = 1;
    descriptor.Header.Length = m_outSize;
    descriptor.Buffer = m_pOutBuffer;
    return write(1, &descriptor, static_cast<int>(m_outSize + TRANSPORT_MESSAGE_OVERHEAD));
}

// ---- commands ------------------------------------------------------------------------------------

MbimCommandRequest::MbimCommandRequest(MbimServices* endpoint, const uint8_t* message, uint32_t size)
    : MbimMessageRequest(endpoint, message, size), cid(0), m_pInFragmentedOffset(0), m_pOutFragmentedOffset(0),
      in_fragments_received(0), m_outFragments(0), m_outTotalFragments(0), uuid_index(-1), cid_table_entry(nullptr)
{
    SetCommandCode(message);
    SetCommandLookupTable(message);
    setUUIDIndex(message);
}

MbimCommandRequest::~MbimCommandRequest() = default;

bool MbimCommandRequest::ValidateMessageSize(const uint8_t* message, uint32_t size)
{
    if (message == nullptr || size < MBIM_FRAGMENT_HEADER_SIZE || size != mbim_read_u32(message, MBIM_MESSAGE_LENGTH)) {
        IHV_LOG_ERROR("ERROR: (messageSize >= (sizeof(MBIM_MESSAGE_HEADER) + sizeof(MBIM_FRAGMENT_HEADER))) && "
                      "(messageSize == ((PMBIM_MESSAGE_HEADER)pBuffer)->MessageLength) failed, size %u",
                      size);
        return false;
    }
    // A message of another type that shares the transaction id is not a fragment of this command.
    if (mbim_read_u32(message, MBIM_MESSAGE_TYPE) != MBIM_COMMAND_MSG) {
        IHV_LOG_ERROR("ERROR: message type 0x%x is not a command fragment", mbim_read_u32(message, MBIM_MESSAGE_TYPE));
        return false;
    }
    if (mbim_read_u32(message, MBIM_CURRENT_FRAGMENT) == 0 && size < MBIM_COMMAND_HEADER_SIZE) {
        IHV_LOG_ERROR("ERROR: (messageSize >= sizeof(MBIM_COMMAND_HEADER)) && (messageSize == "
                      "((PMBIM_MESSAGE_HEADER)pBuffer)->MessageLength) failed, size %u",
                      size);
        return false;
    }
    return true;
}

bool MbimCommandRequest::ValidateInFragmentation(const uint8_t* fragment, uint32_t chunk)
{
    IHV_LOG_VERBOSE("%s++", __func__);
    uint32_t current = mbim_read_u32(fragment, MBIM_CURRENT_FRAGMENT);
    if (current != in_fragments_received) {
        IHV_LOG_ERROR("MBIM command input fragment out of sequence! Current:=%d Expected:=%d", current,
                      in_fragments_received);
        return false;
    }
    if (m_pInBuffer == nullptr ||
        static_cast<uint64_t>(m_pInFragmentedOffset) + chunk > GetTransactionInLen()) {
        IHV_LOG_ERROR("ERROR: m_pInFragmentedOffset <= GetTransactionInLen() broken: %u + %u above %u",
                      m_pInFragmentedOffset, chunk, GetTransactionInLen());
        return false;
    }
    return true;
}

int MbimCommandRequest::CopyInBuffer(const void* data, uint32_t length)
{
    const uint8_t* fragment = static_cast<const uint8_t*>(data);
    if (m_inState != InState::Collecting) {
        IHV_LOG_ERROR("ERROR: MBIM command TxnID=%d takes no more fragments", transaction_id);
        return -1;
    }
    // Every rule is checked before anything is copied; a refused command takes nothing more.
    if (!ValidateMessageSize(fragment, length)) {
        m_inState = InState::Refused;
        return -1;
    }
    uint32_t header = mbim_read_u32(fragment, MBIM_CURRENT_FRAGMENT) == 0 ? MBIM_COMMAND_HEADER_SIZE
                                                                           : MBIM_FRAGMENT_HEADER_SIZE;
    uint32_t chunk = length - header;
    if (!ValidateInFragmentation(fragment, chunk)) {
        m_inState = InState::Refused;
        return -1;
    }
    if (in_fragments_received == 0) {
        IHV_LOG_VERBOSE("Copying input buffer to the first MBIM command fragment...");
        BoundedCopy(m_pInBuffer, m_inSize, fragment, MBIM_COMMAND_HEADER_SIZE);
    } else {
        IHV_LOG_VERBOSE("Copying input buffer to the %d MBIM command fragment...", in_fragments_received + 1);
    }
    BoundedCopy(GetInBuffer() + m_pInFragmentedOffset, GetTransactionInLen() - m_pInFragmentedOffset,
                fragment + header, chunk);
    m_pInFragmentedOffset += chunk;
    in_fragments_received++;
    if (mbim_is_last_fragment(fragment)) {
        IHV_LOG_VERBOSE("Copied the last fragment of the MBIM command");
        m_inState = InState::Complete;
        return 0;
    }
    return 1;
}

void MbimCommandRequest::SetCommandCode(const uint8_t* message)
{
    cid = mbim_read_u32(message, MBIM_CID);
    IHV_LOG_VERBOSE("%s--  ,  cid= %d", __func__, cid);
}

void MbimCommandRequest::SetCommandLookupTable(const uint8_t* message)
{
    uint32_t command = mbim_read_u32(message, MBIM_CID);
    cid_table_entry =
        g_command_table_mgr.get_cid_table_entry(mbim_uuid_from_wire(message + MBIM_DEVICE_SERVICE_ID), command);
    IHV_LOG_VERBOSE("%s--  ,  input cid= %d", __func__, command);
}

void MbimCommandRequest::setUUIDIndex(const uint8_t* message)
{
    uuid_index = g_command_table_mgr.find_uuid_index(mbim_uuid_from_wire(message + MBIM_DEVICE_SERVICE_ID));
    IHV_LOG_VERBOSE("%s--  matched uuid index = %d", __func__, uuid_index);
}

bool MbimCommandRequest::IsSet()
{
    return m_pInBuffer != nullptr && m_inSize >= MBIM_COMMAND_HEADER_SIZE &&
           mbim_read_u32(m_pInBuffer, MBIM_COMMAND_TYPE) != 0;
}

cid_request_handler MbimCommandRequest::GetRequestHandler()
{
    if (cid_table_entry == nullptr)
        return nullptr;
    IHV_LOG_VERBOSE("MBIM REQUEST TYPE: X %01X", m_pInBuffer ? mbim_read_u32(m_pInBuffer, MBIM_COMMAND_TYPE) : 0);
    if (IsSet()) {
        if (cid_table_entry->set_handler)
            return cid_table_entry->set_handler;
        IHV_LOG_VERBOSE("Generic set handler is called");
    } else {
        if (cid_table_entry->query_handler)
            return cid_table_entry->query_handler;
        IHV_LOG_VERBOSE("Generic Query handler is called");
    }
    return mbim_cid_map_request_generic;
}

int MbimCommandRequest::CallRequestHandler()
{
    cid_request_handler handler = GetRequestHandler();
    if (handler == nullptr) {
        IHV_LOG_ERROR("ERROR: RIL Command CID=%d not supported - null on_response callback!", cid);
        return RefuseStep();
    }
    return handler(uuid_index, cid, IsSet() ? 1 : 0, this, GetInBuffer(), GetTransactionInLen());
}

int MbimCommandRequest::CallResponseHandler(const uint8_t* response, uint32_t length)
{
    // Requests without an entry are answered with an error before any response; should one get here,
    // it is answered as not supported.
    if (cid_table_entry == nullptr) {
        IHV_LOG_ERROR("ERROR: RIL Command CID=%d not supported - no command table entry", cid);
        return RefuseStep();
    }
    cid_response_handler handler = cid_table_entry->response_handler ? cid_table_entry->response_handler
                                                                     : mbim_format_generic_transparent_response;
    return handler(uuid_index, cid, IsSet() ? 1 : 0, this, response, length);
}

MbimOutPlan MbimCommandRequest::OutPlan()
{
    return {MBIM_COMMAND_HEADER_SIZE, mbim_max_control_transfer(GetServices()), GetTransactionOutLen()};
}

uint8_t* MbimCommandRequest::AllocateOutBuffer(uint32_t size)
{
    Replace(m_pOutBuffer, m_outSize, static_cast<uint64_t>(size) + MBIM_COMMAND_HEADER_SIZE);
    IHV_LOG_VERBOSE("AllocateOutBuffer outTransactionBufferSize %d, GetOutBufferSize %d ", size, m_outSize);
    m_pOutFragmentedOffset = 0;
    m_outFragments = 0;
    SetTotalOutFragments();
    return GetOutBuffer();
}

void MbimCommandRequest::SetTotalOutFragments()
{
    m_outTotalFragments = m_pOutBuffer ? mbim_out_fragment_total(OutPlan()) : 0;
    IHV_LOG_VERBOSE("SetTotalOutFragments : %d %s", m_outTotalFragments, m_outTotalFragments > 1 ? "MULTI! " : "");
}

void MbimCommandRequest::CopyOutBuffer(const void* data, uint32_t length)
{
    BoundedCopy(GetOutBuffer(), GetTransactionOutLen(), data, length);
}

void MbimCommandRequest::PeekOutFragment(uint8_t** out, uint32_t* out_length)
{
    mbim_peek_out_fragment(GetOutBuffer(), OutPlan(), m_pOutFragmentedOffset, m_outFragments, out, out_length);
}

bool MbimCommandRequest::PrepareOutFragment(uint8_t** out, uint32_t* out_length)
{
    // The answer echoes the command's service and CID from its stored header.
    if (m_pOutBuffer == nullptr || m_pInBuffer == nullptr || m_inSize < MBIM_COMMAND_HEADER_SIZE)
        return false;
    MbimFirstHeader fields = {MBIM_COMMAND_DONE, transaction_id, {}, mbim_read_u32(m_pInBuffer, MBIM_CID), status};
    memcpy(fields.service, m_pInBuffer + MBIM_DEVICE_SERVICE_ID, sizeof(fields.service));
    return mbim_prepare_out_fragment(GetOutBuffer(), OutPlan(), fields, m_outTotalFragments, m_pOutFragmentedOffset,
                                     m_outFragments, out, out_length);
}

int MbimCommandRequest::SendFinalResponse()
{
    // An answer without payload (an error, or nothing to report) is the bare COMMAND_DONE header.
    if (m_pOutBuffer == nullptr && AllocateOutBuffer(0) == nullptr)
        return 0;
    while (m_outFragments < m_outTotalFragments) {
        uint8_t* fragment;
        uint32_t length;
        if (!PrepareOutFragment(&fragment, &length))
            return 0;
        if (Mbim_CIDResponseSend(1, fragment, static_cast<int>(length)) == 0)
            return 0;
    }
    IHV_LOG_INFO("response sent successfully");
    return 1;
}

// ---- indications ---------------------------------------------------------------------------------

uint32_t MbimIndicationStatus::InBufferSize(uint64_t length)
{
    return length > UINT32_MAX - MBIM_INDICATION_HEADER_SIZE ? 0
                                                             : static_cast<uint32_t>(length) + MBIM_INDICATION_HEADER_SIZE;
}

MbimIndicationStatus::MbimIndicationStatus(MbimServices* endpoint, const GUID& service, const void* data,
                                           uint64_t length, uint32_t command)
    : IhvRequest(endpoint, command, 0), m_pOutFragmentedOffset(0), m_outFragments(0), m_outTotalFragments(0),
      executor(endpoint ? endpoint->modemContextHandle - 1 : UINT32_MAX), uuid(service), cid_table_entry(nullptr),
      cid(command), uuid_index(-1)
{
    IHV_LOG_VERBOSE("MbimIndicationStatus++ got called, insz= %d , cmdid= %d , guid.data1= %1x, dat2= %1x ",
                    static_cast<uint32_t>(length), command, service.Data1, service.Data2);
    uint32_t size = InBufferSize(length);
    if (size == 0) {
        IHV_LOG_ERROR("ERROR: MBIM indication of %llu bytes refused", static_cast<unsigned long long>(length));
    } else {
        AllocateInBuffer(size);
        CopyInBuffer(data, static_cast<uint32_t>(length));
    }
    SetIndicationLookupTable(service, command);
    setIndicationUUIDIndex(service);
    IHV_LOG_VERBOSE("MbimIndicationStatus-- got called");
}

MbimIndicationStatus::~MbimIndicationStatus()
{
    IHV_LOG_VERBOSE("~MbimIndicationStatus got called");
}

int MbimIndicationStatus::CopyInBuffer(const void* data, uint32_t length)
{
    BoundedCopy(GetInBuffer(), GetTransactionInLen(), data, length);
    return 0;
}

uint8_t* MbimIndicationStatus::AllocateOutBuffer(uint32_t size)
{
    Replace(m_pOutBuffer, m_outSize, static_cast<uint64_t>(size) + MBIM_INDICATION_HEADER_SIZE);
    m_pOutFragmentedOffset = 0;
    m_outFragments = 0;
    CountOutFragments();
    return GetOutBuffer();
}

void MbimIndicationStatus::CopyOutBuffer(const void* data, uint32_t length)
{
    BoundedCopy(GetOutBuffer(), GetTransactionOutLen(), data, length);
}

void MbimIndicationStatus::SetIndicationLookupTable(const GUID& service, uint32_t command)
{
    cid_table_entry = g_command_table_mgr.get_cid_table_entry(service, command);
}

void MbimIndicationStatus::setIndicationUUIDIndex(const GUID& service)
{
    uuid_index = g_command_table_mgr.find_uuid_index(service);
}

cid_notification_handler MbimIndicationStatus::GetNotificationHandler()
{
    return cid_table_entry ? cid_table_entry->notification_handler : nullptr;
}

int MbimIndicationStatus::TranslateNotification()
{
    if (cid_notification_handler handler = GetNotificationHandler())
        return handler(this);
    if (m_pInBuffer == nullptr)
        return -1;
    // The payload already lies behind the header room: the in buffer goes out as it is.
    free(m_pOutBuffer);
    m_pOutBuffer = m_pInBuffer;
    m_outSize = m_inSize;
    m_pInBuffer = nullptr;
    m_inSize = 0;
    m_pOutFragmentedOffset = 0;
    m_outFragments = 0;
    CountOutFragments();
    return 0;
}

MbimOutPlan MbimIndicationStatus::OutPlan()
{
    return {MBIM_INDICATION_HEADER_SIZE, mbim_max_control_transfer(GetServices()), GetTransactionOutLen()};
}

void MbimIndicationStatus::CountOutFragments()
{
    m_outTotalFragments = m_pOutBuffer ? mbim_out_fragment_total(OutPlan()) : 0;
}

void MbimIndicationStatus::PeekOutFragment(uint8_t** out, uint32_t* out_length)
{
    mbim_peek_out_fragment(GetOutBuffer(), OutPlan(), m_pOutFragmentedOffset, m_outFragments, out, out_length);
}

bool MbimIndicationStatus::PrepareOutFragment(uint8_t** out, uint32_t* out_length)
{
    if (m_pOutBuffer == nullptr)
        return false;
    MbimFirstHeader fields = {MBIM_INDICATE_STATUS_MSG, 0, {}, cid, 0};
    mbim_uuid_to_wire(uuid, fields.service);
    return mbim_prepare_out_fragment(GetOutBuffer(), OutPlan(), fields, m_outTotalFragments, m_pOutFragmentedOffset,
                                     m_outFragments, out, out_length);
}

int MbimIndicationStatus::SendFinalResponse()
{
    IHV_LOG_VERBOSE("MbimIndicationStatus::SendFinalResponse");
    if (m_pOutBuffer == nullptr)
        return 0;
    while (m_outFragments < m_outTotalFragments) {
        uint8_t* fragment;
        uint32_t length;
        if (!PrepareOutFragment(&fragment, &length) || Mbim_CIDNotificationSend(1, fragment, static_cast<int>(length)) == 0) {
            IHV_LOG_ERROR("ERROR: MBIM Indication - unable to send fragment: %d", m_outFragments);
            IHV_LOG_INFO("MBIM HandleNotification--");
            return 0;
        }
    }
    return 1;
}
