// The endpoint of one modem context handle: its queue of host requests and, for MBIM, the largest
// fragment the host takes and whether the host's MBIM OPEN stands.
#pragma once

#include "ihvmessages.h"

#include <memory>
#include <stdint.h>
#include <vector>

class IhvServices {
public:
    explicit IhvServices(uint32_t modem_context_handle);
    virtual ~IhvServices();
    IhvServices(const IhvServices&) = delete;
    IhvServices& operator=(const IhvServices&) = delete;

    // Sends the final answer of a request and removes it from the queue.
    virtual void HandleFinalResponse(IhvRequest* request) = 0;
    // Builds, sends and deletes one indication.
    virtual void HandleNotification(const void* data, uint32_t length, int id, int uuid_index) = 0;

    // Queue operations; each takes and leaves the framework's request lock. Removal is by identity:
    // two queued requests may share a transaction id (an invalidated one still at the RIL core and a
    // new one), and removing the other one would free a token the core still holds.
    void PushRequest(const std::shared_ptr<IhvRequest>& request);
    void PopRequest(IhvRequest* request);
    // Removes the request when it is marked for deletion.
    void PopMarkedRequest(IhvRequest* request);
    // Mode 0 (OPEN): invalidates the requests with a smaller transaction id; mode 1 (CLOSE): those
    // with another transaction id, which also leave the queue (the RIL core's queues were emptied, so
    // their completions never come); other modes: every request. A request still collecting
    // fragments leaves the queue when it is invalidated.
    void CleanRequestQueue(IhvRequest* request, int mode);
    void InvalidateRequestMessage();
    // 1 when a request other than this one (another transaction id) is not done yet.
    int CheckPendingResponse(IhvRequest* request);
    // Empties the queue, then releases the framework singleton (the lock is left before).
    void CleanUprequests();

    std::vector<std::shared_ptr<IhvRequest>> requests; // arrival order
    uint32_t modemContextHandle;                       // the executor of its requests is this - 1
};

// Before any OPEN.
#define MBIM_DEFAULT_MAX_CONTROL_TRANSFER 512

class MbimServices : public IhvServices {
public:
    explicit MbimServices(uint32_t modem_context_handle);
    ~MbimServices() override;

    void HandleFinalResponse(IhvRequest* request) override;
    void HandleNotification(const void* data, uint32_t length, int id, int uuid_index) override;
    // One host message or fragment: reassembled under the request lock, dispatched outside it; 1.
    int MbimIoControl(const void* message, uint32_t size);
    // The request a host message or fragment belongs to, created and queued for a new transaction id;
    // none when the message is refused.
    virtual std::shared_ptr<IhvRequest> RetrieveIhvMessage(const uint8_t* message, uint32_t size);
    std::shared_ptr<IhvRequest> FindFragmentedMessage(const uint8_t* message, uint32_t size);
    std::shared_ptr<IhvRequest> AddIhvMessage(const uint8_t* message, uint32_t size);
    std::shared_ptr<IhvRequest> CreateServiceTypeMessage(const uint8_t* message, uint32_t size);

    uint32_t max_control_transfer;
    uint32_t opened;
};

// The largest fragment the endpoint's host takes; the default without an endpoint.
inline uint32_t mbim_max_control_transfer(const MbimServices* endpoint)
{
    return endpoint ? endpoint->max_control_transfer : MBIM_DEFAULT_MAX_CONTROL_TRANSFER;
}
