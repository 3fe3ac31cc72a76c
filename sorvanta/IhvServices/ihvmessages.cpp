#include "ihvmessages.h"

#include "ihv_log.h"
#include "command_table.h"
#include "ihvframework.h"
#include "mbimservices.h"

#include <stdlib.h>
#include <string.h>

BaseRequest::BaseRequest() : m_pInBuffer(nullptr), m_inSize(0), m_pOutBuffer(nullptr), m_outSize(0)
{
    IHV_LOG_VERBOSE("BaseRequest");
}

BaseRequest::~BaseRequest()
{
    free(m_pOutBuffer);
    free(m_pInBuffer);
    IHV_LOG_VERBOSE("~BaseRequest called");
}

void BaseRequest::Replace(uint8_t*& buffer, uint32_t& buffer_size, uint64_t size)
{
    free(buffer);
    buffer = nullptr;
    buffer_size = 0;
    if (size > UINT32_MAX) {
        IHV_LOG_ERROR("ERROR: buffer of %llu bytes refused", static_cast<unsigned long long>(size));
        return;
    }
    // One byte at least, so that an empty buffer is still a buffer.
    buffer = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
    if (buffer != nullptr)
        buffer_size = static_cast<uint32_t>(size);
}

void BaseRequest::BoundedCopy(uint8_t* destination, uint32_t room, const void* data, uint32_t length)
{
    if (length != 0)
        memcpy_s(destination, room, data, length);
}

uint8_t* BaseRequest::AllocateInBuffer(uint32_t size)
{
    Replace(m_pInBuffer, m_inSize, size);
    return GetInBuffer();
}

int BaseRequest::CopyInBuffer(const void* data, uint32_t length)
{
    BoundedCopy(m_pInBuffer, m_inSize, data, length);
    return 0;
}

uint8_t* BaseRequest::AllocateOutBuffer(uint32_t size)
{
    Replace(m_pOutBuffer, m_outSize, size);
    return GetOutBuffer();
}

void BaseRequest::CopyOutBuffer(const void* data, uint32_t length)
{
    BoundedCopy(m_pOutBuffer, m_outSize, data, length);
}

CIDRequest::CIDRequest(int32_t stack, IhvRequest* owner)
    : stack_id(stack), parent(owner), uuid_index(0), cid(0), is_set(0), ril_error(0)
{
    IHV_LOG_VERBOSE("CIDRequest__");
}

CIDRequest::~CIDRequest()
{
    IHV_LOG_VERBOSE("~CIDRequest__ called");
}

IhvRequest::IhvRequest(MbimServices* endpoint, uint32_t command, uint32_t transaction)
    : services(endpoint), dispatched(0), invalidated(0), marked_for_deletion(0), done(0), command_id(command),
      transaction_id(transaction), cid_requests(1)
{
    IHV_LOG_VERBOSE("IhvRequest__");
}

IhvRequest::~IhvRequest()
{
    cid_requests.clear();
    IHV_LOG_VERBOSE("~IhvRequest__ done");
}

int IhvRequest::OnResponse(const uint8_t* response, uint32_t length)
{
    RunOnResponse(response, length);
    return done ? 0 : 1;
}

void IhvRequest::OnRequest()
{
    static const char kName[] = "IhvRequest::OnRequest";
    IHV_LOG_VERBOSE("%s++", kName);
    CreateCIDRequest();
    RunOnRequest();

    CIDRequest* step = CurrentCIDRequest();
    MbimServices* endpoint = GetServices();
    uint32_t command = GetCommandId();
    // The endpoint may release this request below: nothing of it is touched after that.
    if (HasError()) {
        endpoint->HandleFinalResponse(this);
        IHV_LOG_INFO("OnRequest IHV-ERROR CID:=%d", command);
        IHV_LOG_VERBOSE("%s--", kName);
        return;
    }
    if (done) {
        if (marked_for_deletion) {
            IHV_LOG_INFO("%s: Request is marked for deletion . release request class", kName);
            endpoint->PopMarkedRequest(this);
            return;
        }
        if (invalidated) {
            IHV_LOG_INFO("%s: Request is invalidated. release request class", kName);
            endpoint->PopRequest(this);
            return;
        }
        RunOnResponse(nullptr, 0);
        endpoint->HandleFinalResponse(this);
        IHV_LOG_INFO("OnRequest IHV-INTERNAL CID:=%d", command);
        IHV_LOG_VERBOSE("%s--", kName);
        return;
    }

    IHV_LOG_INFO("OnRequest RIL-UTA");
    if (step == nullptr || step->stack_id == -1) {
        // A step without an executor cannot be completed by the RIL core: answer it as failed now
        // rather than leave the request queued for ever.
        IHV_LOG_ERROR("ERROR: %s: TRUE == GET_TOKEN_INSTANCE(token, &stack_id) failed", kName);
        if (step != nullptr)
            step->ril_error = 2;
        TranslateStatus(1);
        RunOnResponse(nullptr, 0);
        endpoint->HandleFinalResponse(this);
        IHV_LOG_VERBOSE("%s--", kName);
        return;
    }
    if (step->uuid_index == UUID_INDEX_MBIM_MESSAGE && step->cid == 1) {
        endpoint->opened = 1;
        invalidated = 0;
    }
    // The RIL core never completes the internal OPEN and CLOSE: they are done once handed over, and the
    // endpoint releases them.
    if (step->uuid_index == UUID_INDEX_MBIM_MESSAGE)
        done = 1;
    IhvFramework::SendRequestToRil(step->stack_id, static_cast<int>(step->cid), step->uuid_index,
                                   static_cast<uint8_t>(step->is_set & 0xFF), step->GetInBuffer(),
                                   step->GetTransactionInLen(), step);
    IHV_LOG_VERBOSE("%s--", kName);
}
