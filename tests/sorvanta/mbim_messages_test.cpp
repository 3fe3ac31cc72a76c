// MBIM message requests: answers cut at the max control transfer, reassembly of fragmented commands,
// status translation, handler selection, the refusal of hostile host messages and the three sends.
#include "front_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

namespace {

using fronttest::FrontTest;
using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;

std::vector<uint8_t> Pattern(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::vector<size_t> Sizes(const std::vector<std::vector<uint8_t>>& fragments)
{
    std::vector<size_t> sizes;
    for (const std::vector<uint8_t>& f : fragments)
        sizes.push_back(f.size());
    return sizes;
}

struct FragmentCase {
    uint32_t max_transfer;
    uint32_t payload;
    std::vector<size_t> sizes;
};

// The host's writes joined as one answer with `header`, checked against the case's fragment sizes and
// the payload it should carry.
mbimwire::Answer JoinedAnswer(const std::vector<std::vector<uint8_t>>& writes, uint32_t header, const FragmentCase& c,
                              const std::vector<uint8_t>& payload)
{
    EXPECT_THAT(Sizes(writes), ElementsAreArray(c.sizes));
    mbimwire::Answer answer = mbimwire::Join(writes, header, c.max_transfer);
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(answer.payload, payload);
    return answer;
}

TEST_F(FrontTest, CommandDoneIsCutAtTheMaxControlTransfer)
{
    const FragmentCase cases[] = {
        {512, 1000, {512, 512, 64}}, {512, 0, {48}}, {512, 464, {512}}, {512, 465, {512, 21}},
        {0, 1000, {1048}}, // an OPEN whose low 16 bits are 0: one fragment whatever its size
    };
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "M " << c.max_transfer << " P " << c.payload);
        coretest::TheBridge().toHost.clear();
        endpoint.max_control_transfer = c.max_transfer;
        std::shared_ptr<MbimCommandRequest> command =
            AsCommand(Receive(mbimwire::Command(0x1234, mbimwire::kBasicConnect, 1, 0, {})[0]));
        ASSERT_TRUE(command);
        std::vector<uint8_t> payload = Pattern(c.payload);
        command->AllocateOutBuffer(c.payload);
        command->CopyOutBuffer(payload.data(), c.payload);
        command->SetStatus(5);
        EXPECT_EQ(command->SendFinalResponse(), 1);

        mbimwire::Answer answer = JoinedAnswer(HostWrites(), MBIM_COMMAND_HEADER_SIZE, c, payload);
        EXPECT_EQ(answer.type, MBIM_COMMAND_DONE);
        EXPECT_EQ(answer.transaction_id, 0x1234u);
        EXPECT_EQ(answer.status, 5u);
        EXPECT_EQ(answer.cid, 1u);
        EXPECT_EQ(answer.service[0], 0xA2); // as the command carried it
        // Each fragment went through the host writer with its descriptor.
        for (const coretest::Sent& sent : coretest::TheBridge().toHost) {
            EXPECT_EQ(sent.context, 1);
            EXPECT_EQ(sent.route, TransportRouteBridge);
            EXPECT_EQ(sent.lengthArgument, static_cast<int>(sent.length + TRANSPORT_MESSAGE_OVERHEAD));
        }
        endpoint.requests.clear();
    }
}

TEST_F(FrontTest, IndicationGoesOutUnchangedInFragments)
{
    const FragmentCase cases[] = {
        {512, 1000, {512, 512, 60}}, {512, 0, {44}}, {512, 468, {512}}, {512, 469, {512, 21}}, {0, 1000, {1044}},
    };
    uint8_t wire[16];
    mbim_uuid_to_wire(mbimwire::kBasicConnectExtensions, wire);
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "M " << c.max_transfer << " P " << c.payload);
        coretest::TheBridge().toHost.clear();
        endpoint.max_control_transfer = c.max_transfer;
        std::vector<uint8_t> payload = Pattern(c.payload);
        MbimIndicationStatus indication(&endpoint, mbimwire::kBasicConnectExtensions, payload.data(), payload.size(), 0x21);
        EXPECT_EQ(indication.getIndicationUUIDIndex(), 18);
        ASSERT_EQ(indication.TranslateNotification(), 0);
        EXPECT_EQ(indication.GetInBuffer(), nullptr); // the in buffer became the out buffer
        EXPECT_EQ(indication.SendFinalResponse(), 1);

        mbimwire::Answer answer = JoinedAnswer(HostWrites(), MBIM_INDICATION_HEADER_SIZE, c, payload);
        EXPECT_EQ(answer.type, MBIM_INDICATE_STATUS_MSG);
        EXPECT_EQ(answer.transaction_id, 0u);
        EXPECT_EQ(answer.cid, 0x21u);
        EXPECT_EQ(memcmp(answer.service, wire, sizeof(wire)), 0);
    }
}

TEST_F(FrontTest, SendRefusedMidwayStopsTheAnswer)
{
    coretest::TheBridge().refuseHostWrite = 1;
    std::shared_ptr<MbimCommandRequest> command =
        AsCommand(Receive(mbimwire::Command(2, mbimwire::kBasicConnect, 1, 0, {})[0]));
    command->AllocateOutBuffer(1000);
    EXPECT_EQ(command->SendFinalResponse(), 0);
    EXPECT_EQ(HostWrites().size(), 2u);

    coretest::TheBridge().toHost.clear();
    std::vector<uint8_t> payload = Pattern(1000);
    MbimIndicationStatus indication(&endpoint, mbimwire::kBasicConnect, payload.data(), payload.size(), 3);
    indication.TranslateNotification();
    Clear();
    EXPECT_EQ(indication.SendFinalResponse(), 0);
    EXPECT_EQ(HostWrites().size(), 2u);
    EXPECT_THAT(tracetest::Texts(), Contains("ERROR: MBIM Indication - unable to send fragment: 2"));
}

TEST_F(FrontTest, FragmentedCommandIsReassembledInOrder)
{
    std::vector<uint8_t> payload = Pattern(256); // 80 + 108 + 68
    std::vector<std::vector<uint8_t>> fragments =
        mbimwire::Command(6, mbimwire::kBasicConnectExtensions, 3, 1, payload, 128);
    ASSERT_EQ(fragments.size(), 3u);
    std::shared_ptr<MbimCommandRequest> command = AsCommand(Receive(fragments[0]));
    EXPECT_EQ(command->CopyInBuffer(fragments[1].data(), static_cast<uint32_t>(fragments[1].size())), 1);
    EXPECT_EQ(command->CopyInBuffer(fragments[2].data(), static_cast<uint32_t>(fragments[2].size())), 0);
    EXPECT_EQ(std::vector<uint8_t>(command->GetInBuffer(), command->GetInBuffer() + 256), payload);
    EXPECT_EQ(memcmp(command->GetInBuffer() - MBIM_COMMAND_HEADER_SIZE, fragments[0].data(), MBIM_COMMAND_HEADER_SIZE), 0);
    EXPECT_TRUE(command->IsSet());
    EXPECT_EQ(command->getUUIDIndex(), 18);
    // Complete: a further fragment is refused.
    EXPECT_EQ(command->CopyInBuffer(fragments[2].data(), static_cast<uint32_t>(fragments[2].size())), -1);
}

TEST_F(FrontTest, FragmentsOutOfSequenceOrBeyondThePayloadAreRefused)
{
    std::vector<uint8_t> payload = Pattern(300);
    std::vector<std::vector<uint8_t>> fragments = mbimwire::Command(6, mbimwire::kBasicConnect, 1, 0, payload, 128);
    std::shared_ptr<MbimCommandRequest> skipped = AsCommand(Receive(fragments[0]));
    Clear();
    EXPECT_EQ(skipped->CopyInBuffer(fragments[2].data(), static_cast<uint32_t>(fragments[2].size())), -1);
    EXPECT_THAT(tracetest::Texts(), Contains("MBIM command input fragment out of sequence! Current:=2 Expected:=1"));
    // Refused for good: the missing fragment does not revive it.
    EXPECT_EQ(skipped->CopyInBuffer(fragments[1].data(), static_cast<uint32_t>(fragments[1].size())), -1);

    // More payload than the first fragment declared.
    std::vector<std::vector<uint8_t>> excess = mbimwire::Command(7, mbimwire::kBasicConnect, 1, 0, payload, 128);
    mbim_write_u32(excess[0].data(), MBIM_COMMAND_INFORMATION_LENGTH, 200);
    std::shared_ptr<MbimCommandRequest> overflowing = AsCommand(Receive(excess[0]));
    EXPECT_EQ(overflowing->CopyInBuffer(excess[1].data(), static_cast<uint32_t>(excess[1].size())), 1);
    EXPECT_EQ(overflowing->CopyInBuffer(excess[2].data(), static_cast<uint32_t>(excess[2].size())), -1);

    // A message of another type with the same transaction id is no fragment of it.
    std::shared_ptr<MbimCommandRequest> other = AsCommand(Receive(fragments[0]));
    std::vector<uint8_t> close = mbimwire::Message(MBIM_CLOSE_MSG, 6, {0, 1});
    EXPECT_EQ(other->CopyInBuffer(close.data(), static_cast<uint32_t>(close.size())), -1);
}

TEST_F(FrontTest, ShortPayloadLeavesAZeroTail)
{
    std::vector<uint8_t> payload = Pattern(150); // 80 + 70
    std::vector<std::vector<uint8_t>> fragments = mbimwire::Command(8, mbimwire::kBasicConnect, 1, 0, payload, 128);
    mbim_write_u32(fragments[0].data(), MBIM_COMMAND_INFORMATION_LENGTH, 260);
    std::shared_ptr<MbimCommandRequest> command = AsCommand(Receive(fragments[0]));
    EXPECT_EQ(command->CopyInBuffer(fragments[1].data(), static_cast<uint32_t>(fragments[1].size())), 0);
    std::vector<uint8_t> expected = payload;
    expected.resize(260, 0);
    EXPECT_EQ(std::vector<uint8_t>(command->GetInBuffer(), command->GetInBuffer() + 260), expected);
}

TEST_F(FrontTest, HostileMessagesMakeNoRequest)
{
    auto first = [](uint32_t information_length) {
        std::vector<uint8_t> f = mbimwire::Command(1, mbimwire::kBasicConnect, 1, 0, {})[0];
        mbim_write_u32(f.data(), MBIM_COMMAND_INFORMATION_LENGTH, information_length);
        return f;
    };
    std::vector<uint8_t> continuation = mbimwire::Command(1, mbimwire::kBasicConnect, 1, 0, Pattern(100), 64)[1];
    std::vector<uint8_t> short_first = mbimwire::Message(MBIM_COMMAND_MSG, 1, {1, 0, 0, 0, 0, 0}); // 36 bytes
    std::vector<uint8_t> wrong_length = mbimwire::Open(1, 512);
    mbim_write_u32(wrong_length.data(), MBIM_MESSAGE_LENGTH, 17);
    const std::vector<uint8_t> cases[] = {
        {},
        {1, 0, 0, 0, 11, 0, 0, 0, 1, 0, 0}, // 11 bytes
        wrong_length,
        short_first,
        continuation, // first seen with CurrentFragment 1
        first(0xFFFFFFD0),
        first(0xFFFFFFFF),
        first(0x7FFFFFFF),
        first(MBIM_MAX_COMMAND_INFORMATION + 1),
        mbimwire::Message(0, 1),
        mbimwire::Message(5, 1),
        mbimwire::Message(MBIM_OPEN_DONE, 1, {0}),
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::vector<uint8_t>& m = cases[i];
        EXPECT_EQ(MbimMessageRequest::Create(&endpoint, m.empty() ? nullptr : m.data(), static_cast<uint32_t>(m.size())),
                  nullptr)
            << i;
    }
    EXPECT_TRUE(HostWrites().empty());
    // The cap itself is served.
    std::vector<uint8_t> at_cap = first(MBIM_MAX_COMMAND_INFORMATION);
    EXPECT_NE(MbimMessageRequest::Create(&endpoint, at_cap.data(), static_cast<uint32_t>(at_cap.size())), nullptr);
}

TEST_F(FrontTest, RilErrorsTranslateToMbimStatus)
{
    struct Case {
        int32_t ril_error;
        int force;
        uint32_t status;
        int32_t ril_error_after;
    } cases[] = {
        {0, 0, 0, 0},   {1, 0, 20, 1},  {2, 0, 2, 2},   {3, 0, 5, 3},   {4, 0, 28, 4},   {11, 0, 3, 11},
        {16, 0, 28, 16}, {17, 0, 28, 6}, {40, 0, 28, 6}, {-1, 0, 28, 6}, {0, 1, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ril_error);
        std::shared_ptr<MbimMessageRequest> request = Receive(mbimwire::Open(1, 512));
        request->CreateCIDRequest();
        request->CurrentCIDRequest()->ril_error = c.ril_error;
        request->TranslateStatus(c.force);
        EXPECT_EQ(request->GetStatus(), c.status);
        EXPECT_EQ(request->CurrentCIDRequest()->ril_error, c.ril_error_after);
        // A status once set stays.
        request->CurrentCIDRequest()->ril_error = 2;
        request->SetStatus(9);
        request->TranslateStatus(1);
        EXPECT_EQ(request->GetStatus(), 9u);
    }
    for (uint32_t e = 0; e < RIL_TO_MBIM_STATUS_ROWS; e++)
        EXPECT_EQ(ril_to_mbim_status_table[e].ril_error, e);
}

TEST_F(FrontTest, CommandsFindTheirHandlers)
{
    struct Case {
        GUID service;
        uint32_t cid;
        uint32_t command_type;
        uint32_t payload;
        std::vector<std::string> request_handlers;
        uint32_t status; // after the step
    } cases[] = {
        {mbimwire::kBasicConnect, 1, 0, 0, {"mbim_cid_map_request_generic_empty_data"}, 0},
        {mbimwire::kBasicConnect, 1, 1, 0, {"mbim_cid_handler_UNSUPPORTED"}, 0},
        {mbimwire::kBasicConnectExtensions, 3, 2, 4, {"mbim_cid_map_request_generic_non_empty_data"}, 0},
        {mbimwire::kBasicConnect, 17, 0, 0, {}, MBIM_STATUS_OPERATION_NOT_ALLOWED},
        {mbimwire::kFiveGTools, 9, 0, 0, {}, MBIM_STATUS_OPERATION_NOT_ALLOWED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.service.Data1 << " cid " << c.cid << " type " << c.command_type);
        frontdouble::Reset();
        std::shared_ptr<MbimCommandRequest> command =
            AsCommand(Receive(mbimwire::Command(3, c.service, c.cid, c.command_type, Pattern(c.payload))[0]));
        command->CreateCIDRequest();
        command->RunOnRequest();
        std::vector<std::string> expected = {"mbim_proccess_command_msg"};
        expected.insert(expected.end(), c.request_handlers.begin(), c.request_handlers.end());
        EXPECT_THAT(frontdouble::HandlerCalls(), ElementsAreArray(expected));
        EXPECT_EQ(command->GetStatus(), c.status);
        endpoint.requests.clear();
    }
}

TEST_F(FrontTest, ResponseFallsBackToTheTransparentFormatterAndNeedsAnEntry)
{
    frontdouble::Script().payload = {9, 8, 7};
    std::shared_ptr<MbimCommandRequest> version =
        AsCommand(Receive(mbimwire::Command(3, mbimwire::kBasicConnectExtensions, 15, 0, {1})[0]));
    version->CreateCIDRequest();
    EXPECT_EQ(version->CallResponseHandler(nullptr, 0), 0);
    EXPECT_THAT(frontdouble::HandlerCalls(), ElementsAre("mbim_format_generic_transparent_response"));
    EXPECT_EQ(version->GetTransactionOutLen(), 3u);
    // A formatter that asks for another step keeps the request going.
    frontdouble::Script().response_result = 1;
    EXPECT_EQ(version->OnResponse(nullptr, 0), 1);
    EXPECT_EQ(version->done, 0u);
    frontdouble::Script().response_result = 0;
    EXPECT_EQ(version->OnResponse(nullptr, 0), 0);
    EXPECT_EQ(version->done, 1u);

    std::shared_ptr<MbimCommandRequest> unknown =
        AsCommand(Receive(mbimwire::Command(4, mbimwire::kBasicConnect, 17, 0, {})[0]));
    unknown->CreateCIDRequest();
    EXPECT_EQ(unknown->RunOnResponse(nullptr, 0), -1);
    EXPECT_EQ(unknown->GetStatus(), MBIM_STATUS_OPERATION_NOT_ALLOWED);
    EXPECT_EQ(unknown->done, 1u);
}

TEST_F(FrontTest, OpenDoneGoesWholeThroughTheExecutorsHostWriter)
{
    std::shared_ptr<MbimMessageRequest> open = Receive(mbimwire::Open(12, 4096));
    open->CreateCIDRequest();
    open->RunOnResponse(nullptr, 0);
    EXPECT_EQ(open->SendFinalResponse(), 1);
    ASSERT_EQ(coretest::TheBridge().toHost.size(), 1u);
    const coretest::Sent& sent = coretest::TheBridge().toHost[0];
    EXPECT_EQ(sent.context, 1);
    EXPECT_EQ(sent.route, TransportRouteBridge);
    EXPECT_EQ(sent.subType, 1u);
    EXPECT_EQ(sent.length, 16u);
    EXPECT_EQ(sent.lengthArgument, 40);
    EXPECT_EQ(sent.bytes, mbimwire::Message(MBIM_OPEN_DONE, 12, {0}));

    // Executors without a record, or with none registered, send nothing.
    for (uint32_t handle : {3u, 5u, 2u}) {
        MbimServices other(handle);
        std::vector<uint8_t> message = mbimwire::Open(13, 512);
        std::shared_ptr<MbimMessageRequest> request =
            MbimMessageRequest::Create(&other, message.data(), static_cast<uint32_t>(message.size()));
        request->AllocateOutBuffer(16);
        EXPECT_EQ(request->SendFinalResponse(), 0) << handle;
    }
    // Nothing built, nothing sent: never an answer without its header.
    std::shared_ptr<MbimMessageRequest> bare = Receive(mbimwire::Open(14, 512));
    EXPECT_EQ(bare->SendFinalResponse(), 0);
    EXPECT_EQ(coretest::TheBridge().toHost.size(), 1u);
}

TEST_F(FrontTest, OversizedIndicationIsNeitherBuiltNorSent)
{
    EXPECT_EQ(MbimIndicationStatus::InBufferSize(UINT32_MAX - MBIM_INDICATION_HEADER_SIZE),
              UINT32_MAX);
    EXPECT_EQ(MbimIndicationStatus::InBufferSize(UINT32_MAX - MBIM_INDICATION_HEADER_SIZE + 1), 0u);
    MbimIndicationStatus indication(&endpoint, mbimwire::kBasicConnect, nullptr, 0xFFFFFFF0ull, 1);
    EXPECT_EQ(indication.InSize(), 0u);
    EXPECT_NE(indication.TranslateNotification(), 0);
    EXPECT_EQ(indication.SendFinalResponse(), 0);
    EXPECT_TRUE(HostWrites().empty());
}

} // namespace
