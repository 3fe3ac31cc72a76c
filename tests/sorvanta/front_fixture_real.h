// The real front with a scripted radio table: every step the front hands to the RIL core is recorded
// with its token, and the test completes tokens when it likes. The bridge double takes what the front
// sends; the RIL core does not run, so modem I/O counts as awake.
#pragma once

#include "bridge_double.h"
#include "ihvframework.h"
#include "mbim_wire.h"
#include "mbimservices.h"
#include "memutil.h"
#include "trace_capture.h"

#include <string.h>

#include <memory>
#include <vector>

namespace realfront {

struct Step {
    int stack_id, req_id, uuid_index;
    uint8_t is_set;
    std::vector<uint8_t> data;
    void* token;
};

inline std::vector<Step>& Steps()
{
    static std::vector<Step> steps;
    return steps;
}

inline void RecordStep(int stack_id, int req_id, int uuid_index, uint8_t is_set, void* data, uint64_t length, void* token)
{
    auto* bytes = static_cast<uint8_t*>(data);
    Steps().push_back({stack_id, req_id, uuid_index, is_set,
                       bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>(), token});
}

class FrontTest : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        baseline_ = memutil_live_blocks();
        Steps().clear();
        coretest::ResetAndRegisterBridge();
        framework = IhvFramework::GetInstancte();
        radio.SendRequest = RecordStep;
        radio.radio_parameters.numofexecutors = 1;
        radio.radio_parameters.phySlot[0] = 2;
        framework->s_radio_cb = &radio;
        endpoint = std::static_pointer_cast<MbimServices>(framework->CreateServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM));
    }
    void TearDown() override
    {
        endpoint.reset();
        IhvFramework::DESTROYInstance();
        memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
        EXPECT_EQ(memutil_live_blocks(), baseline_) << "blocks leaked";
        TraceTest::TearDown();
    }

    void Send(const std::vector<uint8_t>& message)
    {
        endpoint->MbimIoControl(message.data(), static_cast<uint32_t>(message.size()));
    }
    void SendAll(const std::vector<std::vector<uint8_t>>& fragments)
    {
        for (const std::vector<uint8_t>& fragment : fragments)
            Send(fragment);
    }
    void OpenEndpoint(uint32_t transaction_id = 1, uint32_t max_transfer = 4096)
    {
        Send(mbimwire::Open(transaction_id, max_transfer));
    }
    static void Complete(void* token, int error, const std::vector<uint8_t>& response = {})
    {
        IhvFramework::emu_RILCore_RequestComplete_toCIDFMK(token, error, response.empty() ? nullptr : response.data(),
                                                           response.size());
    }
    static std::vector<std::vector<uint8_t>> HostWrites()
    {
        std::vector<std::vector<uint8_t>> writes;
        for (const coretest::Sent& sent : coretest::TheBridge().toHost)
            writes.push_back(sent.bytes);
        return writes;
    }
    // The one COMMAND_DONE the host got, rejoined.
    mbimwire::Answer OneAnswer()
    {
        return mbimwire::Join(HostWrites(), MBIM_COMMAND_HEADER_SIZE, endpoint->max_control_transfer);
    }

    RadioCallbacks radio = {};
    IhvFramework* framework = nullptr;
    std::shared_ptr<MbimServices> endpoint;
    long baseline_ = 0;
};

} // namespace realfront
