// The request class tree: a host message or an outgoing indication lives as an IhvRequest while it is
// translated; each translation step is a CIDRequest handed to the RIL core, whose raw pointer is the
// core's completion token and lives as long as its parent's list holds it.
#pragma once

#include <memory>
#include <stdint.h>
#include <vector>

class MbimServices;

class BaseRequest {
public:
    BaseRequest();
    virtual ~BaseRequest();
    BaseRequest(const BaseRequest&) = delete;
    BaseRequest& operator=(const BaseRequest&) = delete;

    // `size` zeroed bytes replace the in buffer; the payload start, null when the allocation failed.
    virtual uint8_t* AllocateInBuffer(uint32_t size);
    // A bounded copy to the start of the in buffer; 0.
    virtual int CopyInBuffer(const void* data, uint32_t length);
    virtual uint8_t* AllocateOutBuffer(uint32_t size);
    virtual void CopyOutBuffer(const void* data, uint32_t length);
    virtual uint8_t* GetInBuffer() = 0;
    virtual uint32_t GetTransactionInLen() = 0;
    virtual uint8_t* GetOutBuffer() = 0;
    virtual uint32_t GetTransactionOutLen() = 0;
    virtual bool HasError() = 0;

    uint32_t InSize() const { return m_inSize; }
    uint32_t OutSize() const { return m_outSize; }

protected:
    // Copies `length` bytes when they fit in `room`; otherwise the runtime zeroes the room, copies
    // nothing and reports the invalid parameter. A zero length copies nothing.
    static void BoundedCopy(uint8_t* destination, uint32_t room, const void* data, uint32_t length);
    // The bytes of a buffer behind `header` bytes of header room (none when the buffer is shorter).
    static uint32_t BehindHeader(uint32_t size, uint32_t header) { return size < header ? 0 : size - header; }
    static uint8_t* AtHeader(uint8_t* buffer, uint32_t header) { return buffer ? buffer + header : nullptr; }
    // Replaces the buffer by `size` zeroed bytes (none, size 0, when the allocation fails).
    static void Replace(uint8_t*& buffer, uint32_t& buffer_size, uint64_t size);

    uint8_t* m_pInBuffer;
    uint32_t m_inSize;
    uint8_t* m_pOutBuffer;
    uint32_t m_outSize;
};

class IhvRequest;

class CIDRequest : public BaseRequest {
public:
    CIDRequest(int32_t stack_id, IhvRequest* parent);
    ~CIDRequest() override;

    uint8_t* GetInBuffer() override { return m_pInBuffer; }
    uint32_t GetTransactionInLen() override { return m_inSize; }
    uint8_t* GetOutBuffer() override { return m_pOutBuffer; }
    uint32_t GetTransactionOutLen() override { return m_outSize; }
    bool HasError() override { return ril_error != 0; }

    int32_t stack_id;
    IhvRequest* parent;
    int32_t uuid_index;
    uint32_t cid; // the RIL request id
    uint32_t is_set;
    int32_t ril_error;
};

class IhvRequest : public BaseRequest {
public:
    IhvRequest(MbimServices* services, uint32_t command_id, uint32_t transaction_id);
    ~IhvRequest() override;

    virtual uint32_t GetTransactionId() { return transaction_id; }
    virtual MbimServices* GetServices() { return services; }
    virtual uint32_t GetCommandId() = 0;
    virtual void TranslateStatus(int force) = 0;
    // 1 (or the transport's nonzero result) when the answer went out.
    virtual int SendFinalResponse() = 0;
    virtual int RunOnRequest() = 0;
    virtual int RunOnResponse(const uint8_t* response, uint32_t length) = 0;
    virtual void CreateCIDRequest() = 0;

    // One translation step: answered, released or handed to the RIL core. The endpoint may release the
    // request inside, so the caller holds a reference of its own.
    void OnRequest();
    // 1 while another step is needed, 0 once the request is done.
    int OnResponse(const uint8_t* response, uint32_t length);

    // The current step: the list's last entry (the list starts with one empty entry).
    CIDRequest* CurrentCIDRequest() const { return cid_requests.back().get(); }

    MbimServices* services;
    uint32_t dispatched;
    uint32_t invalidated;
    uint32_t marked_for_deletion;
    uint32_t done;
    uint32_t command_id;
    uint32_t transaction_id;
    std::vector<std::shared_ptr<CIDRequest>> cid_requests;
};
