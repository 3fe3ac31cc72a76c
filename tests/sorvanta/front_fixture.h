// An endpoint of executor 0 with the bridge's callbacks registered and the library's trace captured;
// host messages become requests as the endpoint makes them (created, queued, copied).
#pragma once

#include "bridge_double.h"
#include "front_double.h"
#include "mbim_wire.h"
#include "mbimmessages.h"
#include "mbimservices.h"
#include "trace_capture.h"

#include <memory>
#include <vector>

namespace fronttest {

class FrontTest : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        frontdouble::Reset();
        coretest::ResetAndRegisterBridge();
    }
    void TearDown() override
    {
        frontdouble::Reset();
        TraceTest::TearDown();
    }

    // The request of a host message or first fragment, queued with the message copied into it.
    std::shared_ptr<MbimMessageRequest> Receive(const std::vector<uint8_t>& message)
    {
        std::shared_ptr<MbimMessageRequest> request =
            MbimMessageRequest::Create(&endpoint, message.data(), static_cast<uint32_t>(message.size()));
        if (request) {
            endpoint.PushRequest(request);
            request->CopyInBuffer(message.data(), static_cast<uint32_t>(message.size()));
        }
        return request;
    }

    static std::shared_ptr<MbimCommandRequest> AsCommand(const std::shared_ptr<MbimMessageRequest>& request)
    {
        return std::dynamic_pointer_cast<MbimCommandRequest>(request);
    }

    // The messages the bridge took for the host.
    static std::vector<std::vector<uint8_t>> HostWrites()
    {
        std::vector<std::vector<uint8_t>> writes;
        for (const coretest::Sent& sent : coretest::TheBridge().toHost)
            writes.push_back(sent.bytes);
        return writes;
    }

    MbimServices endpoint{1};
};

} // namespace fronttest
