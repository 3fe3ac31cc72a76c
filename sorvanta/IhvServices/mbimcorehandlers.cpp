#include "mbimcorehandlers.h"

#include "async_ril.h"
#include "ihv_log.h"
#include "mbimmessages.h"
#include "mbimservices.h"
#include "os_util.h"

#include <string.h>

namespace {

uint8_t s_modemState = 0;

// What OPEN and HOST_ERROR read at byte 12 (MaxControlTransfer, ErrorStatusCode).
#define MBIM_MESSAGE_FIRST_FIELD 12

bool HoldsFirstField(MbimMessageRequest* request)
{
    return request->InSize() >= MBIM_MESSAGE_FIRST_FIELD + sizeof(uint32_t);
}

// A message too short for its one field is dropped without an answer.
int DropShort(MbimMessageRequest* request, const char* name)
{
    IHV_LOG_ERROR("ERROR: %s: message of %u bytes has no field at byte 12, dropped", name, request->InSize());
    request->marked_for_deletion = 1;
    return 1;
}

void SetStep(MbimMessageRequest* request, int32_t uuid_index, uint32_t cid, uint8_t is_set)
{
    CIDRequest* step = request->CurrentCIDRequest();
    step->uuid_index = uuid_index;
    step->cid = cid;
    step->is_set = is_set;
}

void CopyToStep(MbimMessageRequest* request, const uint8_t* data, uint32_t length)
{
    CIDRequest* step = request->CurrentCIDRequest();
    step->AllocateInBuffer(length);
    if (data != nullptr && length != 0)
        step->CopyInBuffer(data, length);
}

// OPEN_DONE or CLOSE_DONE.
void DoneMessage(MbimMessageRequest* request, uint32_t type, uint32_t status)
{
    uint8_t* answer = request->AllocateOutBuffer(16);
    if (answer == nullptr)
        return;
    mbim_write_u32(answer, MBIM_MESSAGE_TYPE, type);
    mbim_write_u32(answer, MBIM_MESSAGE_LENGTH, 16);
    mbim_write_u32(answer, MBIM_TRANSACTION_ID, request->GetTransactionId());
    mbim_write_u32(answer, MBIM_MESSAGE_FIRST_FIELD, status);
}

// A failed RIL step: a 4-byte response is the MBIM status; otherwise the table translates the RIL error.
// True when the rule applied.
bool FailedStep(const char* name, MbimCommandRequest* request, const uint8_t* response, uint32_t length)
{
    if (!request->CurrentCIDRequest()->HasError())
        return false;
    if (response != nullptr && length == sizeof(uint32_t)) {
        uint32_t status;
        memcpy(&status, response, sizeof(status));
        request->SetStatus(status);
        IHV_LOG_ERROR("%s--: failure with mbb_status %d", name, static_cast<int>(status));
    } else {
        IHV_LOG_ERROR("%s--: generic failure", name);
    }
    return true;
}

void Transparent(MbimCommandRequest* request, const uint8_t* response, uint32_t length)
{
    if (response == nullptr || length == 0)
        return;
    request->AllocateOutBuffer(length);
    request->CopyOutBuffer(response, length);
}

enum class Prologue { Finished, Set };

// The shared start of the formatters that treat a set apart: a failed step and a query are finished
// here (the query as the transparent formatter), a set is left to the caller.
Prologue SetApart(const char* name, uint8_t is_set, MbimCommandRequest* request, const uint8_t* response,
                  uint32_t length, int* result)
{
    *result = FailedStep(name, request, response, length) ? -1 : 0;
    if (*result != 0)
        return Prologue::Finished;
    if (!is_set) {
        Transparent(request, response, length);
        return Prologue::Finished;
    }
    return Prologue::Set;
}

// MS_LTE_ATTACH_CONFIG set data: Operation, ElementCount, then three offset/size pairs from byte 8.
#define LTE_ATTACH_PAIRS 3
#define LTE_ATTACH_PAIRS_OFFSET 8
#define LTE_ATTACH_SET_MIN (LTE_ATTACH_PAIRS_OFFSET + LTE_ATTACH_PAIRS * 8 - 4)

} // namespace

int mbim_proccess_open_msg(MbimMessageRequest* request)
{
    IHV_LOG_INFO("%s++", __func__);
    if (!HoldsFirstField(request))
        return DropShort(request, __func__);
    uint8_t* message = request->GetInBuffer();
    if (MbimServices* endpoint = request->GetServices())
        endpoint->max_control_transfer = mbim_read_u32(message, MBIM_MESSAGE_FIRST_FIELD) & 0xFFFF;
    if (MbimServices* endpoint = request->GetServices())
        endpoint->CleanRequestQueue(request, 0);
    CopyToStep(request, message, request->InSize());
    SetStep(request, UUID_INDEX_MBIM_MESSAGE, MBIM_OPEN_MSG, 1);
    IHV_LOG_INFO("%s--: sending MBIM open request to MDMRIL", __func__);
    return 0;
}

int mbim_format_open_msg_response(MbimMessageRequest* request, const uint8_t*, uint32_t)
{
    DoneMessage(request, MBIM_OPEN_DONE, request->GetStatus());
    IHV_LOG_INFO("%s:mbbstatus %d", __func__, static_cast<int>(request->GetStatus()));
    if (request->GetStatus() == MBIM_STATUS_SUCCESS) {
        if (MbimServices* endpoint = request->GetServices())
            endpoint->opened = 1;
        IHV_LOG_INFO("%s:SetMbimOpen", __func__);
    } else {
        IHV_LOG_INFO("%s:mbim open failed", __func__);
    }
    return 0;
}

int mbim_proccess_close_msg(MbimMessageRequest* request)
{
    IHV_LOG_INFO("%s++", __func__);
    clean_message_queue();
    IHV_LOG_INFO("%s: all queues cleaned up", __func__);
    if (MbimServices* endpoint = request->GetServices())
        endpoint->CleanRequestQueue(request, 1);
    IHV_LOG_INFO("%s: all internal data basecleaned up", __func__);
    SetStep(request, UUID_INDEX_MBIM_MESSAGE, MBIM_CLOSE_MSG, 1);
    return 0;
}

int mbim_format_close_msg_response(MbimMessageRequest* request, const uint8_t*, uint32_t)
{
    IHV_LOG_INFO("%s++", __func__);
    if (MbimServices* endpoint = request->GetServices())
        endpoint->opened = 0;
    DoneMessage(request, MBIM_CLOSE_DONE, MBIM_STATUS_SUCCESS);
    return 0;
}

int mbim_proccess_command_msg(MbimMessageRequest* request)
{
    IHV_LOG_VERBOSE("%s:", __func__);
    return static_cast<MbimCommandRequest*>(request)->CallRequestHandler();
}

int mbim_format_command_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length)
{
    IHV_LOG_VERBOSE("%s:", __func__);
    return static_cast<MbimCommandRequest*>(request)->CallResponseHandler(response, length);
}

int mbim_proccess_host_error_msg(MbimMessageRequest* request)
{
    if (!HoldsFirstField(request))
        return DropShort(request, __func__);
    request->marked_for_deletion = 1;
    IHV_LOG_ERROR("%s: HOST ERROR CODE: 0x%0x", __func__, mbim_read_u32(request->GetInBuffer(), MBIM_MESSAGE_FIRST_FIELD));
    return 1;
}

int mbim_format_host_error_msg_response(MbimMessageRequest*, const uint8_t*, uint32_t)
{
    IHV_LOG_INFO("%s:", __func__);
    return 0;
}

int mbim_cid_map_request_generic(int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request,
                                 uint8_t* payload, uint32_t length)
{
    IHV_LOG_VERBOSE("%s:", __func__);
    CopyToStep(request, payload, payload != nullptr ? length : 0);
    SetStep(request, uuid_index, cid, is_set);
    return 0;
}

int mbim_cid_map_request_generic_empty_data(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                            MbimCommandRequest* request, uint8_t*, uint32_t length)
{
    IHV_LOG_VERBOSE("%s:", __func__);
    if (length != 0) {
        request->SetStatus(MBIM_STATUS_INVALID_PARAMETERS);
        return -1;
    }
    SetStep(request, uuid_index, cid, is_set);
    return 0;
}

int mbim_cid_map_request_generic_non_empty_data(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                                MbimCommandRequest* request, uint8_t* payload, uint32_t length)
{
    IHV_LOG_VERBOSE("%s:", __func__);
    if (length == 0 || payload == nullptr) {
        request->SetStatus(MBIM_STATUS_INVALID_PARAMETERS);
        return -1;
    }
    return mbim_cid_map_request_generic(uuid_index, cid, is_set, request, payload, length);
}

int mbim_cid_handler_UNSUPPORTED(int32_t, uint32_t, uint8_t, MbimCommandRequest* request, uint8_t*, uint32_t)
{
    IHV_LOG_ERROR("ERROR: %s:UNSUPPORTED CID or INVALID Operation ", __func__);
    request->SetStatus(MBIM_STATUS_NO_DEVICE_SUPPORT);
    return -1;
}

int mbim_cid_handler_UNSUPPORTED_resp(int32_t, uint32_t, uint8_t, MbimCommandRequest*, const uint8_t*, uint32_t)
{
    IHV_LOG_ERROR("ERROR: %s:UNSUPPORTED CID or INVALID Operation ", __func__);
    return -1;
}

int mbim_format_generic_transparent_response(int32_t, uint32_t, uint8_t, MbimCommandRequest* request,
                                             const uint8_t* response, uint32_t length)
{
    if (FailedStep(__func__, request, response, length))
        return -1;
    if (response != nullptr && length > 0) {
        Transparent(request, response, length);
        IHV_LOG_INFO("mbim_format_generic_transparent_response sending mbim responce ");
    }
    return 0;
}

int mbim_format_MS_LTE_ATTACH_CONFIG_response(int32_t, uint32_t, uint8_t is_set, MbimCommandRequest* request,
                                              const uint8_t* response, uint32_t length)
{
    int result;
    if (SetApart(__func__, is_set, request, response, length, &result) == Prologue::Finished)
        return result;
    const uint8_t* payload = request->GetInBuffer();
    uint32_t size = request->GetTransactionInLen();
    // The answer rewrites the three offsets, so they must be inside the payload.
    if (payload == nullptr || size < LTE_ATTACH_SET_MIN + sizeof(uint32_t)) {
        IHV_LOG_ERROR("ERROR: %s--: set payload of %u bytes holds no three contexts", __func__, size);
        request->SetStatus(MBIM_STATUS_INVALID_PARAMETERS);
        return -1;
    }
    uint8_t* out = request->AllocateOutBuffer(size - 4);
    if (out == nullptr)
        return -1;
    request->CopyOutBuffer(payload + 4, size - 4);
    for (uint32_t pair = 0; pair < LTE_ATTACH_PAIRS; pair++) {
        uint32_t at = LTE_ATTACH_PAIRS_OFFSET + pair * 8 - 4;
        mbim_write_u32(out, at, mbim_read_u32(out, at) - 4);
    }
    return 0;
}

int mbim_format_MBIM_SAR_ANTT_PROFILE_response(int32_t, uint32_t, uint8_t is_set, MbimCommandRequest* request,
                                               const uint8_t* response, uint32_t length)
{
    IHV_LOG_INFO("%s, %d len resp,  %d is_set:", __func__, static_cast<int>(length), static_cast<int>(is_set));
    if (FailedStep(__func__, request, response, length))
        return -1;
    if (is_set) {
        IHV_LOG_INFO("%s, No reponse for SAR_SET cmd :", __func__);
        return 0;
    }
    Transparent(request, response, length);
    return 0;
}

int mbim_format_generic_input_loopback_response(int32_t, uint32_t, uint8_t is_set, MbimCommandRequest* request,
                                                const uint8_t* response, uint32_t length)
{
    int result;
    if (SetApart(__func__, is_set, request, response, length, &result) == Prologue::Finished)
        return result;
    // The payload is copied out first: the out buffer may replace what the in buffer points into.
    uint32_t size = request->GetTransactionInLen();
    std::vector<uint8_t> echo(request->GetInBuffer(), request->GetInBuffer() + (request->GetInBuffer() ? size : 0));
    request->AllocateOutBuffer(static_cast<uint32_t>(echo.size()));
    request->CopyOutBuffer(echo.data(), static_cast<uint32_t>(echo.size()));
    return 0;
}

int mbim_format_cid_generic_status_transparent_response(int32_t, uint32_t, uint8_t, MbimCommandRequest* request,
                                                        const uint8_t* response, uint32_t length)
{
    if (response == nullptr || length == 0) {
        IHV_LOG_ERROR("ERROR: %s--: response NULL or responseLen is 0", __func__);
        request->SetStatus(MBIM_STATUS_FAILURE);
        return -1;
    }
    if (length > sizeof(uint32_t))
        Transparent(request, response + sizeof(uint32_t), length - sizeof(uint32_t));
    uint32_t status = 0;
    memcpy(&status, response, length < sizeof(status) ? length : sizeof(status));
    if (status == 0) {
        IHV_LOG_INFO("%s--, %d len resp:", __func__, static_cast<int>(length));
        return 0;
    }
    IHV_LOG_ERROR("err! mbb status: %x", status);
    request->SetStatus(status);
    return -1;
}

void mbim_cid_map_generic_cid_rsp_handler(void)
{
    IHV_LOG_VERBOSE("%s++", __func__);
    IHV_LOG_VERBOSE("%s--", __func__);
}

void reset_modem_state(void)
{
    IHV_LOG_VERBOSE("%s++", __func__);
    s_modemState = 0;
    IHV_LOG_VERBOSE("%s--", __func__);
}

void mbim_wait_pending_response(MbimMessageRequest* request)
{
    MbimServices* endpoint = request->GetServices();
    for (int tries = 0; endpoint != nullptr && tries < MBIM_PENDING_WAIT_TRIES; tries++) {
        if (!endpoint->CheckPendingResponse(request))
            return;
        Mbim_sleep(MBIM_PENDING_WAIT_MS);
    }
}
