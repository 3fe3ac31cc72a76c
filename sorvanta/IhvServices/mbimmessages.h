// MBIM requests: host messages (OPEN, CLOSE, HOST_ERROR; COMMAND with its reassembly) and outgoing
// indications, with the message-type table, the RIL-error to MBIM-status table, the status
// translation and the answers built and sent in fragments of at most the endpoint's max control transfer.
#pragma once

#include "command_table.h"
#include "ihvmessages.h"
#include "mbim_fragment.h"

#include <windows.h>

#include <memory>
#include <stdint.h>

class MbimMessageRequest;

struct mbim_message_table_row {
    uint64_t message_type;
    int (*on_request)(MbimMessageRequest* request);
    int (*on_response)(MbimMessageRequest* request, const uint8_t* response, uint32_t length);
};

#define MBIM_MESSAGE_TABLE_ROWS 5
extern const mbim_message_table_row mbim_message_table[MBIM_MESSAGE_TABLE_ROWS];

struct ril_to_mbim_status_row {
    uint32_t ril_error;
    uint32_t mbim_status;
};

#define RIL_TO_MBIM_STATUS_ROWS 17
extern const ril_to_mbim_status_row ril_to_mbim_status_table[RIL_TO_MBIM_STATUS_ROWS];

enum : uint32_t {
    MBIM_STATUS_SUCCESS = 0,
    MBIM_STATUS_FAILURE = 2,
    MBIM_STATUS_NO_DEVICE_SUPPORT = 9,
    MBIM_STATUS_INVALID_PARAMETERS = 21,
    MBIM_STATUS_OPERATION_NOT_ALLOWED = 28,
};

class MbimMessageRequest : public IhvRequest {
public:
    // The request for a host message, or none when the message breaks a size, type or sequence rule
    // (then nothing of it has been read beyond what the rule checked). COMMAND gives an
    // MbimCommandRequest. The message bytes are copied later, by CopyInBuffer.
    static std::shared_ptr<MbimMessageRequest> Create(MbimServices* services, const uint8_t* message, uint32_t size);
    ~MbimMessageRequest() override;

    uint8_t* GetInBuffer() override { return m_pInBuffer; }
    uint32_t GetTransactionInLen() override { return m_inSize; }
    uint8_t* GetOutBuffer() override { return m_pOutBuffer; }
    uint32_t GetTransactionOutLen() override { return m_outSize; }
    bool HasError() override { return status != 0; }
    uint32_t GetCommandId() override;
    void TranslateStatus(int force) override;
    int SendFinalResponse() override;
    int RunOnRequest() override;
    int RunOnResponse(const uint8_t* response, uint32_t length) override;
    void CreateCIDRequest() override;

    virtual uint32_t GetMessageTransactionId(const uint8_t* message);
    virtual uint32_t GetStatus() { return status; }
    virtual void SetStatus(uint32_t value) { status = value; }
    virtual void SetLookupTable();
    // size >= 12 and size == MessageLength.
    virtual bool ValidateMessageSize(const uint8_t* message, uint32_t size);
    virtual uint32_t GetMessageType(const uint8_t* message);

    void FinishRequestTranslation(int result);
    void FinishResponseTranslation(int result);

    uint32_t status;
    const mbim_message_table_row* message_table_row;
    uint32_t row_count;
    uint32_t executor;

protected:
    // For a message that passed Create's checks.
    MbimMessageRequest(MbimServices* services, const uint8_t* message, uint32_t size);
    // The current step cannot go on: RIL error "request not supported" (status 28); -1.
    int RefuseStep();
};

class MbimCommandRequest : public MbimMessageRequest {
public:
    ~MbimCommandRequest() override;

    // Reassembly: 1 while fragments are missing, 0 once the command is complete, -1 when the fragment
    // breaks a size or sequence rule (the request is then refused for good).
    int CopyInBuffer(const void* data, uint32_t length) override;
    uint8_t* AllocateOutBuffer(uint32_t size) override;
    void CopyOutBuffer(const void* data, uint32_t length) override;
    uint8_t* GetInBuffer() override { return AtHeader(m_pInBuffer, MBIM_COMMAND_HEADER_SIZE); }
    uint32_t GetTransactionInLen() override { return BehindHeader(m_inSize, MBIM_COMMAND_HEADER_SIZE); }
    uint8_t* GetOutBuffer() override { return AtHeader(m_pOutBuffer, MBIM_COMMAND_HEADER_SIZE); }
    uint32_t GetTransactionOutLen() override { return BehindHeader(m_outSize, MBIM_COMMAND_HEADER_SIZE); }
    uint32_t GetCommandId() override { return cid; }
    int SendFinalResponse() override;
    // A command fragment: size >= 20, size == MessageLength, MessageType COMMAND, and 48 bytes for
    // fragment 0.
    bool ValidateMessageSize(const uint8_t* message, uint32_t size) override;

    virtual void setUUIDIndex(const uint8_t* message);
    virtual void SetCommandCode(const uint8_t* message);
    virtual bool IsSet();
    virtual int32_t getUUIDIndex() { return uuid_index; }
    virtual void SetCommandLookupTable(const uint8_t* message);
    virtual const ::cid_table_entry* GetCommandLookupTable() { return cid_table_entry; }

    // The fragment is the next one expected and its chunk fits the payload room left.
    bool ValidateInFragmentation(const uint8_t* fragment, uint32_t chunk);
    cid_request_handler GetRequestHandler();
    int CallRequestHandler();
    int CallResponseHandler(const uint8_t* response, uint32_t length);
    // The next COMMAND_DONE fragment, its header written in place; false once all are out.
    bool PrepareOutFragment(uint8_t** out, uint32_t* out_length);
    // The next fragment's start and length, without moving on.
    void PeekOutFragment(uint8_t** out, uint32_t* out_length);
    // Counts the out fragments of the current out buffer.
    void SetTotalOutFragments();

    uint32_t cid;
    uint32_t m_pInFragmentedOffset;
    uint32_t m_pOutFragmentedOffset;
    uint32_t in_fragments_received;
    uint32_t m_outFragments;
    uint32_t m_outTotalFragments;
    int32_t uuid_index;
    const ::cid_table_entry* cid_table_entry;

private:
    friend class MbimMessageRequest;
    MbimCommandRequest(MbimServices* services, const uint8_t* message, uint32_t size);
    MbimOutPlan OutPlan();

    enum class InState { Collecting, Complete, Refused };
    InState m_inState = InState::Collecting;
};

class MbimIndicationStatus : public IhvRequest {
public:
    // `uuid` in GUID order. A length whose buffer would not fit 32 bits leaves the indication empty:
    // it then translates to an error and sends nothing.
    MbimIndicationStatus(MbimServices* services, const GUID& uuid, const void* data, uint64_t length, uint32_t cid);
    ~MbimIndicationStatus() override;

    // A bounded copy behind the 44-byte header room; 0.
    int CopyInBuffer(const void* data, uint32_t length) override;
    uint8_t* AllocateOutBuffer(uint32_t size) override;
    void CopyOutBuffer(const void* data, uint32_t length) override;
    uint8_t* GetInBuffer() override { return AtHeader(m_pInBuffer, MBIM_INDICATION_HEADER_SIZE); }
    uint32_t GetTransactionInLen() override { return BehindHeader(m_inSize, MBIM_INDICATION_HEADER_SIZE); }
    uint8_t* GetOutBuffer() override { return AtHeader(m_pOutBuffer, MBIM_INDICATION_HEADER_SIZE); }
    uint32_t GetTransactionOutLen() override { return BehindHeader(m_outSize, MBIM_INDICATION_HEADER_SIZE); }
    bool HasError() override { return false; }
    uint32_t GetCommandId() override { return cid; }
    void TranslateStatus(int) override {}
    int SendFinalResponse() override;
    int RunOnRequest() override { return 0; }
    int RunOnResponse(const uint8_t*, uint32_t) override { return 0; }
    void CreateCIDRequest() override {}

    virtual const ::cid_table_entry* GetIndicationLookupTable() { return cid_table_entry; }
    virtual void SetIndicationLookupTable(const GUID& uuid, uint32_t cid);
    virtual void setIndicationUUIDIndex(const GUID& uuid);
    virtual int32_t getIndicationUUIDIndex() { return uuid_index; }

    // 0 when ready to send: the entry's notification handler's result, else the payload goes out as it
    // came (the in buffer becomes the out buffer).
    int TranslateNotification();
    cid_notification_handler GetNotificationHandler();
    bool PrepareOutFragment(uint8_t** out, uint32_t* out_length);
    void PeekOutFragment(uint8_t** out, uint32_t* out_length);
    void CountOutFragments();
    // The in buffer an indication of `length` payload bytes needs; 0 when it would not fit 32 bits.
    static uint32_t InBufferSize(uint64_t length);

    uint32_t m_pOutFragmentedOffset;
    uint32_t m_outFragments;
    uint32_t m_outTotalFragments;
    uint32_t executor;
    GUID uuid;
    const ::cid_table_entry* cid_table_entry;
    uint32_t cid;
    int32_t uuid_index;

private:
    MbimOutPlan OutPlan();
};
