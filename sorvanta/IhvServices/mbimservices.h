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

    // Queue operations, under the framework's request lock.
    void PushRequest(const std::shared_ptr<IhvRequest>& request);
    // Removes the first request with this transaction id.
    void PopRequest(uint32_t transaction_id);
    // Removes the first request with this transaction id that is marked for deletion.
    void PopMarkedRequest(uint32_t transaction_id);

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
    // The request a host message or fragment belongs to, created and queued for a new transaction id.
    virtual std::shared_ptr<IhvRequest> RetrieveIhvMessage(const uint8_t* message, uint32_t size);

    uint32_t max_control_transfer;
    uint32_t opened;
};

// The largest fragment the endpoint's host takes; the default without an endpoint.
inline uint32_t mbim_max_control_transfer(const MbimServices* endpoint)
{
    return endpoint ? endpoint->max_control_transfer : MBIM_DEFAULT_MAX_CONTROL_TRANSFER;
}
