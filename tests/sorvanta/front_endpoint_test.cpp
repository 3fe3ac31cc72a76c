// The endpoint, its request queue and the core handlers, driven by host messages and by completions of
// the tokens the front handed to a scripted radio table.
#include "front_fixture_real.h"
#include "mbimcorehandlers.h"
#include "mbimmessages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace realfront;
using mbimwire::Command;

namespace {

std::vector<uint8_t> Words(const std::vector<uint32_t>& words)
{
    std::vector<uint8_t> bytes(words.size() * 4);
    memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

} // namespace

using EndpointTest = FrontTest;

TEST_F(EndpointTest, OpenTakesLow16BitsOfMaxTransferAndLeavesOnceHandedOverWithoutAnswer)
{
    std::vector<uint8_t> open = mbimwire::Open(3, 0x00012000);
    Send(open);
    EXPECT_EQ(endpoint->max_control_transfer, 0x2000u);
    EXPECT_EQ(endpoint->opened, 1u);
    ASSERT_EQ(Steps().size(), 1u);
    EXPECT_EQ(Steps()[0].uuid_index, 100);
    EXPECT_EQ(Steps()[0].req_id, 1);
    EXPECT_EQ(Steps()[0].is_set, 1);
    EXPECT_EQ(Steps()[0].data, open) << "the core gets a copy of the whole OPEN";
    EXPECT_TRUE(endpoint->requests.empty());
    EXPECT_TRUE(HostWrites().empty()) << "the modem's OPEN_DONE answers the host, not the library";
}

TEST_F(EndpointTest, OpenInvalidatesOnlyOlderTransactionsWhoseCompletionsAreDropped)
{
    OpenEndpoint(1);
    for (uint32_t tid : {5u, 12u})
        SendAll(Command(tid, mbimwire::kBasicConnect, 1, 0, {}));
    ASSERT_EQ(Steps().size(), 3u);
    void* older = Steps()[1].token;
    void* newer = Steps()[2].token;
    Send(mbimwire::Open(9, 4096));
    ASSERT_EQ(endpoint->requests.size(), 2u);
    EXPECT_EQ(endpoint->requests[0]->invalidated, 1u);
    EXPECT_EQ(endpoint->requests[1]->invalidated, 0u);

    Complete(older, 0, {1, 2, 3, 4});
    EXPECT_TRUE(HostWrites().empty());
    Complete(newer, 0, {1, 2, 3, 4});
    mbimwire::Answer answer = OneAnswer();
    ASSERT_EQ(answer.error, "");
    EXPECT_EQ(answer.transaction_id, 12u);
    EXPECT_EQ(answer.status, 0u);
    EXPECT_EQ(answer.payload, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_TRUE(endpoint->requests.empty());
}

TEST_F(EndpointTest, CloseRemovesOtherRequestsClosesAndLateCompletionsAreDropped)
{
    OpenEndpoint(1);
    SendAll(Command(5, mbimwire::kBasicConnect, 1, 0, {}));
    void* pending = Steps().back().token;
    Send(mbimwire::Message(MBIM_CLOSE_MSG, 6));
    EXPECT_EQ(endpoint->opened, 0u);
    EXPECT_TRUE(endpoint->requests.empty()) << "the core's queues were emptied: nothing waits for them";
    EXPECT_EQ(Steps().back().uuid_index, 100);
    EXPECT_EQ(Steps().back().req_id, 2);
    EXPECT_TRUE(Steps().back().data.empty());

    Complete(pending, 0, {1}); // its request is gone: the token is not followed
    endpoint->HandleNotification("x", 1, 1, 1);
    EXPECT_TRUE(HostWrites().empty());
}

TEST_F(EndpointTest, ShortOpenAndHostErrorAreDroppedUnreadAndHostErrorIsNeverAnswered)
{
    for (uint32_t type : {MBIM_OPEN_MSG, MBIM_HOST_ERROR_MSG}) {
        for (uint32_t size = 12; size <= 16; size++) {
            std::vector<uint8_t> message = mbimwire::Message(type, 2, {0x2000});
            message.resize(size);
            mbim_write_u32(message.data(), MBIM_MESSAGE_LENGTH, size);
            // A heap copy of exactly `size` bytes, so a read past it shows under the address checker.
            std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
            memcpy(exact.get(), message.data(), size);
            endpoint->MbimIoControl(exact.get(), size);
            EXPECT_TRUE(endpoint->requests.empty()) << type << " of " << size;
        }
    }
    EXPECT_EQ(endpoint->max_control_transfer, 0x2000u) << "only the full OPEN took effect";
    EXPECT_EQ(Steps().size(), 1u);
    EXPECT_TRUE(HostWrites().empty());
}

struct Outcome {
    const char* name;
    GUID service;
    uint32_t cid, command_type;
    std::vector<uint8_t> payload;
    bool completes;
    int ril_error;
    std::vector<uint8_t> response;
    uint32_t status;
    std::vector<uint8_t> answer;
};

TEST_F(EndpointTest, CommandOutcomes)
{
    // MS_LTE_ATTACH_CONFIG set: Operation, ElementCount 3, three offset/size pairs, 4 bytes of data.
    std::vector<uint8_t> lte = Words({1, 3, 32, 1, 33, 1, 34, 1});
    lte.insert(lte.end(), {0xA, 0xB, 0xC, 0xD});
    std::vector<uint8_t> lte_answer = Words({3, 28, 1, 29, 1, 30, 1});
    lte_answer.insert(lte_answer.end(), {0xA, 0xB, 0xC, 0xD});
    const Outcome outcomes[] = {
        {"caps query with payload", mbimwire::kBasicConnect, 1, 0, {1}, false, 0, {}, 21, {}},
        {"lte set without payload", mbimwire::kBasicConnectExtensions, 3, 1, {}, false, 0, {}, 21, {}},
        {"listed, unserved", mbimwire::kBasicConnect, 2, 0, {}, false, 0, {}, 9, {}},
        {"not listed", mbimwire::kBasicConnect, 17, 0, {}, false, 0, {}, 28, {}},
        {"ril failure, 4-byte status", mbimwire::kBasicConnect, 1, 0, {}, true, 2, Words({3}), 3, {}},
        {"ril failure, other response", mbimwire::kBasicConnect, 1, 0, {}, true, 2, Words({3, 4}), 2, {}},
        {"ril success, transparent", mbimwire::kBasicConnect, 1, 0, {}, true, 0, {7, 8}, 0, {7, 8}},
        {"lte set", mbimwire::kBasicConnectExtensions, 3, 1, lte, true, 0, {}, 0, lte_answer},
        {"lte set too short for its pairs", mbimwire::kBasicConnectExtensions, 3, 1, {1, 2, 3}, true, 0, {}, 21, {}},
        {"sar set", mbimwire::kFiveGTools, 4, 1, {1, 2, 3, 4}, true, 0, {9, 9}, 0, {}},
    };
    OpenEndpoint(1);
    uint32_t tid = 10;
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE(o.name);
        coretest::TheBridge().toHost.clear();
        size_t steps = Steps().size();
        SendAll(Command(++tid, o.service, o.cid, o.command_type, o.payload));
        if (o.completes) {
            ASSERT_EQ(Steps().size(), steps + 1);
            Complete(Steps().back().token, o.ril_error, o.response);
        } else {
            EXPECT_EQ(Steps().size(), steps) << "answered without the RIL core";
        }
        mbimwire::Answer answer = OneAnswer();
        ASSERT_EQ(answer.error, "");
        EXPECT_EQ(answer.type, MBIM_COMMAND_DONE);
        EXPECT_EQ(answer.transaction_id, tid);
        EXPECT_EQ(answer.status, o.status);
        EXPECT_EQ(answer.payload, o.answer);
        EXPECT_TRUE(endpoint->requests.empty());
    }
}

TEST_F(EndpointTest, LteSetsOfEveryShortLengthAreRefusedSafely)
{
    OpenEndpoint(100);
    for (uint32_t size = 1; size < 28; size++) {
        coretest::TheBridge().toHost.clear();
        SendAll(Command(size, mbimwire::kBasicConnectExtensions, 3, 1, std::vector<uint8_t>(size, 0xEE)));
        Complete(Steps().back().token, 0);
        EXPECT_EQ(OneAnswer().status, 21u) << size;
    }
}

TEST_F(EndpointTest, FragmentsOfOneTransactionMakeOneRequestAnsweredOnceAfterTheLast)
{
    OpenEndpoint(1, 64);
    std::vector<uint8_t> payload(70, 0x5A);
    std::vector<std::vector<uint8_t>> fragments = Command(7, mbimwire::kBasicConnect, 1, 0, payload, 64);
    ASSERT_EQ(fragments.size(), 3u);
    Send(fragments[0]);
    Send(fragments[1]);
    EXPECT_EQ(endpoint->requests.size(), 1u);
    EXPECT_EQ(Steps().size(), 1u) << "nothing dispatched before the last fragment";
    Send(fragments[2]);
    // The query must be empty: answered at once with 21, one answer.
    EXPECT_EQ(OneAnswer().status, 21u);
    EXPECT_EQ(HostWrites().size(), 1u);
}

TEST_F(EndpointTest, AMessageWithTheTransactionOfADispatchedRequestIsIgnored)
{
    OpenEndpoint(1);
    std::vector<uint8_t> command = Command(7, mbimwire::kBasicConnect, 1, 0, {})[0];
    Send(command);
    Send(command);
    EXPECT_EQ(Steps().size(), 2u);
    EXPECT_EQ(endpoint->requests.size(), 1u);
    Complete(Steps().back().token, 0);
    EXPECT_EQ(HostWrites().size(), 1u);
}

TEST_F(EndpointTest, BeforeOpenRilBoundCommandsAreReleasedUnansweredAndHandlerFailuresAnsweredAtOnce)
{
    SendAll(Command(4, mbimwire::kBasicConnect, 1, 0, {}));
    ASSERT_EQ(Steps().size(), 1u);
    ASSERT_EQ(endpoint->requests.size(), 1u);
    EXPECT_EQ(endpoint->requests[0]->invalidated, 1u);
    Complete(Steps()[0].token, 0, {1});
    EXPECT_TRUE(endpoint->requests.empty());
    EXPECT_TRUE(HostWrites().empty());

    SendAll(Command(5, mbimwire::kBasicConnect, 2, 0, {}));
    EXPECT_EQ(OneAnswer().status, 9u);
}

TEST_F(EndpointTest, AnsweringOneOfTwoRequestsSharingATransactionLeavesTheOther)
{
    OpenEndpoint(1);
    SendAll(Command(7, mbimwire::kBasicConnect, 1, 0, {}));
    void* stale = Steps().back().token;
    Send(mbimwire::Open(8, 4096)); // invalidates 7
    SendAll(Command(7, mbimwire::kBasicConnect, 1, 0, {}));
    void* fresh = Steps().back().token;
    ASSERT_NE(stale, fresh);
    ASSERT_EQ(endpoint->requests.size(), 2u);
    Complete(fresh, 0);
    EXPECT_EQ(HostWrites().size(), 1u);
    ASSERT_EQ(endpoint->requests.size(), 1u);
    EXPECT_EQ(endpoint->requests[0]->invalidated, 1u) << "the stale one still waits for its token";
    Complete(stale, 0);
    EXPECT_TRUE(endpoint->requests.empty());
    EXPECT_EQ(HostWrites().size(), 1u);
}

TEST_F(EndpointTest, CleanRequestQueueModes)
{
    OpenEndpoint(1);
    for (uint32_t tid : {5u, 9u, 12u})
        SendAll(Command(tid, mbimwire::kBasicConnect, 1, 0, {}));
    std::vector<uint8_t> open = mbimwire::Open(9, 4096);
    auto reference = MbimMessageRequest::Create(endpoint.get(), open.data(), static_cast<uint32_t>(open.size()));
    auto flags = [&] {
        std::vector<uint32_t> tids;
        for (auto& request : endpoint->requests)
            tids.push_back(request->GetTransactionId() * 10 + request->invalidated);
        return tids;
    };
    endpoint->CleanRequestQueue(reference.get(), 0);
    EXPECT_EQ(flags(), (std::vector<uint32_t>{51, 90, 120})) << "OPEN: only older transactions";
    endpoint->CleanRequestQueue(reference.get(), 1);
    EXPECT_EQ(flags(), (std::vector<uint32_t>{90})) << "CLOSE: every other transaction, removed";
    endpoint->CleanRequestQueue(reference.get(), 7);
    EXPECT_EQ(flags(), (std::vector<uint32_t>{91})) << "any other mode: everything";
    for (const Step& step : Steps())
        Complete(step.token, 0);
    EXPECT_TRUE(endpoint->requests.empty());
    EXPECT_TRUE(HostWrites().empty());
}

TEST_F(EndpointTest, PendingWaitSleepsAtMostSixTimesOnTheHostClock)
{
    OpenEndpoint(1);
    SendAll(Command(5, mbimwire::kBasicConnect, 1, 0, {}));
    std::vector<uint8_t> open = mbimwire::Open(9, 4096);
    auto other = MbimMessageRequest::Create(endpoint.get(), open.data(), static_cast<uint32_t>(open.size()));
    EXPECT_EQ(endpoint->CheckPendingResponse(other.get()), 1);
    mbim_wait_pending_response(other.get()); // the virtual clock advances six seconds
    Complete(Steps().back().token, 0);
    EXPECT_EQ(endpoint->CheckPendingResponse(other.get()), 0);
}

TEST_F(EndpointTest, NotificationsBeforeOpenOrWithoutServiceAreNotSentAndOthersAreFragmented)
{
    std::vector<uint8_t> payload(100, 0x33);
    endpoint->HandleNotification(payload.data(), 100, 4, 22);
    EXPECT_TRUE(HostWrites().empty()) << "before OPEN";
    OpenEndpoint(1, 64);
    endpoint->HandleNotification(payload.data(), 100, 4, 0);
    EXPECT_TRUE(HostWrites().empty()) << "no service: dropped, and the process goes on";

    endpoint->HandleNotification(payload.data(), 100, 4, 22);
    mbimwire::Answer indication = mbimwire::Join(HostWrites(), MBIM_INDICATION_HEADER_SIZE, 64);
    ASSERT_EQ(indication.error, "");
    EXPECT_GT(HostWrites().size(), 1u);
    EXPECT_EQ(indication.type, MBIM_INDICATE_STATUS_MSG);
    EXPECT_EQ(indication.transaction_id, 0u);
    uint8_t wire[16];
    mbim_uuid_to_wire(mbimwire::kFiveGTools, wire);
    EXPECT_EQ(memcmp(indication.service, wire, 16), 0);
    EXPECT_EQ(indication.cid, 4u);
    EXPECT_EQ(indication.payload, payload);
}
