// The request classes: the three endings of a translation step, the OPEN's mark on the endpoint, the
// header room of the accessors, the bounded copies and a step without an executor.
#include "front_fixture.h"
#include "host_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using fronttest::FrontTest;
using frontdouble::EndpointCall;
using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;

std::vector<uint8_t> Query(uint32_t transaction_id, const GUID& service, uint32_t cid,
                           std::vector<uint8_t> payload = {})
{
    return mbimwire::Command(transaction_id, service, cid, 0, payload)[0];
}

std::vector<std::pair<EndpointCall::Kind, uint32_t>> Calls()
{
    std::vector<std::pair<EndpointCall::Kind, uint32_t>> calls;
    for (const EndpointCall& call : frontdouble::EndpointCalls())
        if (call.kind != EndpointCall::Push)
            calls.push_back({call.kind, call.transaction_id});
    return calls;
}

TEST_F(FrontTest, OnRequestAnswersReleasesOrHandsTheStepOn)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> message;
        frontdouble::HandlerScript script;
        bool invalidate; // as a queue clean-up would, before the step
        const char* log;
        std::vector<std::pair<EndpointCall::Kind, uint32_t>> calls;
        size_t queued;
        bool toRil;
    } cases[] = {
        {"status set", Query(7, mbimwire::kBasicConnect, 2), {-1, MBIM_STATUS_NO_DEVICE_SUPPORT, {}, 0}, false,
         "OnRequest IHV-ERROR CID:=2", {{EndpointCall::FinalResponse, 7}, {EndpointCall::Pop, 7}}, 0, false},
        {"handler finished", Query(8, mbimwire::kBasicConnect, 1), {1, 0, {}, 0}, false,
         "OnRequest IHV-INTERNAL CID:=1", {{EndpointCall::FinalResponse, 8}, {EndpointCall::Pop, 8}}, 0, false},
        {"host error", mbimwire::Message(MBIM_HOST_ERROR_MSG, 9, {5}), {}, false,
         "IhvRequest::OnRequest: Request is marked for deletion . release request class",
         {{EndpointCall::PopMarked, 9}}, 0, false},
        {"invalidated and finished", Query(10, mbimwire::kBasicConnect, 1), {1, 0, {}, 0}, true,
         "IhvRequest::OnRequest: Request is invalidated. release request class", {{EndpointCall::Pop, 10}}, 0,
         false},
        {"ril step", Query(11, mbimwire::kBasicConnect, 1), {}, false, "OnRequest RIL-UTA", {}, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        frontdouble::Reset();
        Clear();
        frontdouble::Script() = c.script;
        std::shared_ptr<MbimMessageRequest> request = Receive(c.message);
        ASSERT_TRUE(request);
        request->invalidated = c.invalidate;
        request->OnRequest();

        EXPECT_THAT(tracetest::Texts(), Contains(c.log));
        EXPECT_THAT(Calls(), ElementsAreArray(c.calls));
        EXPECT_EQ(endpoint.requests.size(), c.queued);
        std::vector<frontdouble::RilStep> steps = frontdouble::RilSteps();
        ASSERT_EQ(steps.size(), c.toRil ? 1u : 0u);
        if (c.toRil) {
            // The first step is the list's second entry, and its address is the token.
            ASSERT_EQ(request->cid_requests.size(), 2u);
            EXPECT_EQ(request->cid_requests[0], nullptr);
            EXPECT_EQ(steps[0].token, request->cid_requests[1].get());
            EXPECT_EQ(steps[0].stack_id, 0);
            EXPECT_EQ(steps[0].req_id, 1);
            EXPECT_EQ(steps[0].uuid_index, 1);
            EXPECT_EQ(steps[0].is_set, 0);
            EXPECT_TRUE(steps[0].data.empty());
            EXPECT_FALSE(request->done);
        }
        endpoint.requests.clear();
    }
}

TEST_F(FrontTest, StepCarriesItsDataAndSetFlagToTheRil)
{
    std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
    std::shared_ptr<MbimMessageRequest> request =
        Receive(mbimwire::Command(3, mbimwire::kFiveGTools, 4, 1, payload)[0]);
    request->OnRequest();
    std::vector<frontdouble::RilStep> steps = frontdouble::RilSteps();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].uuid_index, 22);
    EXPECT_EQ(steps[0].req_id, 4);
    EXPECT_EQ(steps[0].is_set, 1);
    EXPECT_EQ(steps[0].data, payload);
    EXPECT_THAT(frontdouble::HandlerCalls(),
                ElementsAre("mbim_proccess_command_msg", "mbim_cid_map_request_generic_non_empty_data"));
}

TEST_F(FrontTest, OpenMarksTheEndpointOpenedWhenHandedOnAndIsDoneThere)
{
    std::shared_ptr<MbimMessageRequest> open = Receive(mbimwire::Open(4, 4096));
    open->invalidated = 1;
    ASSERT_EQ(endpoint.opened, 0u);
    ASSERT_EQ(endpoint.max_control_transfer, 512u);
    open->OnRequest();

    std::vector<frontdouble::RilStep> steps = frontdouble::RilSteps();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].uuid_index, UUID_INDEX_MBIM_MESSAGE);
    EXPECT_EQ(steps[0].req_id, 1);
    EXPECT_EQ(endpoint.opened, 1u);
    EXPECT_EQ(open->invalidated, 0u);
    // The RIL core never completes it: it is done, for the endpoint to release.
    EXPECT_EQ(open->done, 1u);
    EXPECT_EQ(frontdouble::EndpointCalls().size(), 1u); // the push only
}

TEST_F(FrontTest, StepWithoutExecutorIsAnsweredAsFailedNotSent)
{
    MbimServices orphan(0); // executor -1
    std::vector<uint8_t> message = Query(5, mbimwire::kBasicConnect, 1);
    std::shared_ptr<MbimMessageRequest> request =
        MbimMessageRequest::Create(&orphan, message.data(), static_cast<uint32_t>(message.size()));
    orphan.PushRequest(request);
    request->CopyInBuffer(message.data(), static_cast<uint32_t>(message.size()));
    request->OnRequest();

    EXPECT_TRUE(frontdouble::RilSteps().empty());
    EXPECT_EQ(request->GetStatus(), MBIM_STATUS_FAILURE);
    EXPECT_THAT(Calls(), ElementsAre(std::make_pair(EndpointCall::FinalResponse, 5u), std::make_pair(EndpointCall::Pop, 5u)));
    EXPECT_TRUE(orphan.requests.empty());
}

TEST_F(FrontTest, AccessorsSkipTheHeaderRoom)
{
    std::vector<uint8_t> payload(10, 0xAB);
    std::shared_ptr<MbimCommandRequest> command =
        AsCommand(Receive(mbimwire::Command(1, mbimwire::kBasicConnect, 1, 0, payload)[0]));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->InSize(), 58u);
    EXPECT_EQ(command->GetTransactionInLen(), 10u);
    EXPECT_EQ(std::vector<uint8_t>(command->GetInBuffer(), command->GetInBuffer() + 10), payload);
    uint8_t* out = command->AllocateOutBuffer(6);
    EXPECT_EQ(command->OutSize(), 54u);
    EXPECT_EQ(command->GetTransactionOutLen(), 6u);
    EXPECT_EQ(command->GetOutBuffer(), out);

    std::vector<uint8_t> data = {1, 2, 3};
    MbimIndicationStatus indication(&endpoint, mbimwire::kBasicConnect, data.data(), data.size(), 9);
    EXPECT_EQ(indication.InSize(), 47u);
    EXPECT_EQ(indication.GetTransactionInLen(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(indication.GetInBuffer(), indication.GetInBuffer() + 3), data);

    // A buffer shorter than its header room holds no payload.
    command->AllocateInBuffer(20);
    EXPECT_EQ(command->GetTransactionInLen(), 0u);
    indication.AllocateOutBuffer(0);
    EXPECT_EQ(indication.GetTransactionOutLen(), 0u);
}

TEST_F(FrontTest, OversizedCopyZeroesTheBufferAndCopiesNothing)
{
    CIDRequest step(0, nullptr);
    std::vector<uint8_t> big(9, 0x55);
    step.AllocateInBuffer(8);
    step.AllocateOutBuffer(8);
    memset(step.GetInBuffer(), 0x11, 8);
    memset(step.GetOutBuffer(), 0x22, 8);
    {
        hosttest::ExpectReport report(host::Check::InvalidParameter);
        EXPECT_EQ(step.CopyInBuffer(big.data(), 9), 0);
        step.CopyOutBuffer(big.data(), 9);
        EXPECT_EQ(report.Count(), 2);
    }
    EXPECT_EQ(std::vector<uint8_t>(step.GetInBuffer(), step.GetInBuffer() + 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(std::vector<uint8_t>(step.GetOutBuffer(), step.GetOutBuffer() + 8), std::vector<uint8_t>(8, 0));
    // A fitting copy copies; an empty one copies nothing and reports nothing.
    EXPECT_EQ(step.CopyInBuffer(big.data(), 8), 0);
    EXPECT_EQ(step.GetInBuffer()[7], 0x55);
    EXPECT_EQ(step.CopyInBuffer(nullptr, 0), 0);
}

} // namespace
