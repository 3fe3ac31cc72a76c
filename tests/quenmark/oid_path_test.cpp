// The OID path through the module: forwarding with the counts copied back, clone failure, cancel, and the
// filter's own synchronous requests with their time-out.
#include "filter_fixture.h"
#include "host_test.h"

#include <host/host.h>
#include <host/pool.h>

#include <wwan_guids.h>

using namespace quenmarktest;

namespace
{

constexpr ULONG64 kOsId = 0x2001;
constexpr ULONG64 kAtId = 0x4000000000000001;

class OidPathTest : public FilterTest
{
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
        Settle(WORKING_MODE_NORMAL);
    }
};

TEST_F(OidPathTest, AForwardedRequestCompletesOnceWithTheMiniportsCounts)
{
    const struct {
        const char* name;
        peers::MiniportEdge::Rule::Kind kind;
    } cases[] = {{"synchronous", peers::MiniportEdge::Rule::Complete}, {"asynchronous", peers::MiniportEdge::Rule::Pend}};
    ULONG64 id = kOsId;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peers::MiniportEdge::Rule rule;
        rule.kind = c.kind;
        rule.bytes = 6;
        rule.status = NDIS_STATUS_SUCCESS;
        edge->Script(OID_GEN_VENDOR_ID, rule);
        edge->Script(OID_GEN_CURRENT_LOOKAHEAD, rule);
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_VENDOR_ID, 8, ++id));
        if (c.kind == peers::MiniportEdge::Rule::Pend) {
            EXPECT_TRUE(edge->CompletePending(id, NDIS_STATUS_SUCCESS, 6));
        }
        ASSERT_TRUE(os.CompletionOf(id));
        EXPECT_EQ(6u, os.CompletionOf(id)->bytesWritten);
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_GEN_CURRENT_LOOKAHEAD, std::vector<UCHAR>(4), ++id));
        if (c.kind == peers::MiniportEdge::Rule::Pend) {
            EXPECT_TRUE(edge->CompletePending(id, NDIS_STATUS_SUCCESS, 4));
        }
        ASSERT_TRUE(os.CompletionOf(id));
        EXPECT_GE(os.CompletionOf(id)->bytesRead, 4u);
        EXPECT_EQ(nullptr, module->PendingOidRequest);
    }
    EXPECT_EQ(4u, os.Completions().size()); // each exactly once
    // Without a rule the miniport does not support the OID.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_MAC_OPTIONS, 4, ++id));
    EXPECT_EQ(NDIS_STATUS_NOT_SUPPORTED, os.CompletionOf(id)->status);
}

TEST_F(OidPathTest, AFailedCloneZeroesTheCountsAndReturnsTheFailure)
{
    NDIS_OID_REQUEST* request = nullptr;
    host::PoolFailTag(FILTER_REQUEST_TAG, 1);
    EXPECT_EQ(NDIS_STATUS_RESOURCES, os.Set(OID_GEN_CURRENT_LOOKAHEAD, std::vector<UCHAR>(4), kOsId));
    host::PoolFailTagClear(FILTER_REQUEST_TAG);
    request = os.Request(kOsId);
    EXPECT_EQ(0u, request->DATA.SET_INFORMATION.BytesRead);
    EXPECT_EQ(0u, request->DATA.SET_INFORMATION.BytesNeeded);
    EXPECT_TRUE(edge->Requests().empty());
    // A held request that a worker forwards later is completed with the failure instead.
    host::PoolFailTag(FILTER_REQUEST_TAG, 1);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS_EX, 32, kOsId + 1));
    PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE);
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(NDIS_STATUS_RESOURCES, ForwardParkedRequest(module, held));
    host::PoolFailTagClear(FILTER_REQUEST_TAG);
    EXPECT_EQ(NDIS_STATUS_RESOURCES, os.CompletionOf(kOsId + 1)->status);
}

TEST_F(OidPathTest, CancelReachesTheMiniportForAForwardedRequestAndEndsAHeldOne)
{
    peers::MiniportEdge::Rule never;
    never.kind = peers::MiniportEdge::Rule::Never;
    edge->Script(OID_GEN_LINK_SPEED, never);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_LINK_SPEED, 8, kOsId));
    os.Cancel(kOsId);
    EXPECT_EQ(std::vector<ULONG64>{kOsId}, edge->Cancels());
    EXPECT_EQ(NDIS_STATUS_REQUEST_ABORTED, os.CompletionOf(kOsId)->status);

    // DEVICE_CAPS_EX is held in the normal mode; a cancel of another id leaves it, its own ends it.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS_EX, 32, kOsId + 1));
    os.Cancel(kOsId + 7);
    EXPECT_FALSE(os.CompletionOf(kOsId + 1));
    os.Cancel(kOsId + 1);
    EXPECT_EQ(STATUS_CANCELLED, os.CompletionOf(kOsId + 1)->status);
    EXPECT_EQ(nullptr, module->ParkedRequest);
    EXPECT_EQ(1u, edge->Cancels().size());
}

TEST_F(OidPathTest, ALaterOsRequestWaitsForTheHeldOne)
{
    peers::MiniportEdge::Rule rule;
    edge->Script(OID_GEN_LINK_SPEED, rule);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS_EX, 32, kOsId));
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_LINK_SPEED, 8, kOsId + 1));
    EXPECT_TRUE(edge->Requests().empty());
    PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE);
    NdisFOidRequestComplete(module->FilterHandle, held, STATUS_DEVICE_BUSY);
    EXPECT_EQ(STATUS_DEVICE_BUSY, os.CompletionOf(kOsId)->status);
    EXPECT_EQ(NDIS_STATUS_SUCCESS, os.CompletionOf(kOsId + 1)->status);
}

TEST_F(OidPathTest, AnInternalRequestAnsweredAtOnceReturnsItsStatusAndLeavesNothing)
{
    std::vector<UCHAR> text = peers::wwanbuf::DeviceServiceCommand(AT_SERVICE_UUID, 1, "AT+GTPCTH2M=0,0,0\r\n");
    ULONG bytes = 99;
    size_t before = FilterAllocations();
    EXPECT_EQ(NDIS_STATUS_INDICATION_REQUIRED,
              FilterSendInternalOidRequest(module, NdisRequestSetInformation, OID_WWAN_DEVICE_SERVICE_COMMAND,
                                           text.data(), ULONG(text.size()), 0, 0, &bytes, kAtId));
    EXPECT_EQ(0u, bytes); // counted only on success
    EXPECT_EQ(before, FilterAllocations());

    // The command reaches the MBIM host in MBIM byte order; its answer comes back as a response
    // indication with the request's id: a modem without the AT service answers "no device support".
    ASSERT_EQ(1u, mbim.Commands().size());
    peers::MbimCommand command = mbim.Commands()[0];
    const UCHAR serviceBytes[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAB, 0xCA, 0x4B, 0x11,
                                    0xA4, 0xE2, 0xF2, 0xFC, 0x87, 0xF9, 0x44, 0x88};
    EXPECT_EQ(0, memcmp(serviceBytes, command.service.bytes, 16));
    EXPECT_EQ(1u, command.cid);
    EXPECT_EQ(peers::MbimSet, command.type);
    EXPECT_EQ(std::string("AT+GTPCTH2M=0,0,0\r\n"), std::string(command.data.begin(), command.data.end()));
    mbim.Done(command, peers::kMbimStatusNoDeviceSupport, {});
    std::vector<SeenIndication> seen = StatusSeen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(NDIS_STATUS_WWAN_DEVICE_SERVICE_RESPONSE, seen[0].code);
    EXPECT_EQ(kAtId, seen[0].requestId);
    NDIS_WWAN_DEVICE_SERVICE_RESPONSE response;
    ASSERT_EQ(sizeof(response), seen[0].buffer.size());
    memcpy(&response, seen[0].buffer.data(), sizeof(response));
    EXPECT_EQ(0xC004000Au, response.uStatus);
    EXPECT_TRUE(IsEqualGUID(AT_SERVICE_UUID, response.Response.DeviceServiceGuid));
    EXPECT_EQ(1u, response.Response.ResponseID);
}

TEST_F(OidPathTest, AnInternalQueryGetsTheMiniportsAnswerAndCount)
{
    peers::MiniportEdge::Rule rule;
    rule.bytes = 4;
    rule.answer = {0x44, 0x33, 0x22, 0x11};
    edge->Script(OID_GEN_LINK_SPEED, rule);
    ULONG value = 0;
    ULONG bytes = 0;
    EXPECT_EQ(NDIS_STATUS_SUCCESS, FilterSendInternalOidRequest(module, NdisRequestQueryInformation, OID_GEN_LINK_SPEED,
                                                                &value, 2, 0, 0, &bytes, 7));
    EXPECT_EQ(2u, bytes); // capped at the buffer
    EXPECT_EQ(0x3344u, value);
    EXPECT_EQ(NDIS_STATUS_RESOURCES, [&] {
        host::PoolFailTag(FILTER_ALLOC_TAG, 1);
        NDIS_STATUS status = FilterSendInternalOidRequest(module, NdisRequestQueryInformation, OID_GEN_LINK_SPEED,
                                                          &value, 4, 0, 0, &bytes, 8);
        host::PoolFailTagClear(FILTER_ALLOC_TAG);
        return status;
    }());
}

TEST_F(OidPathTest, AnInternalRequestNeverAnsweredFailsAfterThirtyFiveSecondsAndItsLateAnswerHarmsNothing)
{
    peers::MiniportEdge::Rule never;
    never.kind = peers::MiniportEdge::Rule::Pend;
    edge->Script(OID_GEN_VENDOR_ID, never);
    size_t before = FilterAllocations();
    auto* buffer = new ULONG(0xAAAAAAAA);
    ULONG bytes = 5;
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(NDIS_STATUS_FAILURE, FilterSendInternalOidRequest(module, NdisRequestQueryInformation, OID_GEN_VENDOR_ID,
                                                                buffer, sizeof(*buffer), 0, 0, &bytes, 9));
    EXPECT_EQ(350'000'000, host::ClockNow() - start);
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(before + 1, FilterAllocations()); // the block waits for its completion
    delete buffer;                              // the caller is done with its buffer

    // The miniport writes its answer into the request's buffer and completes it: that is the block's own
    // copy, so nothing reaches the caller's freed buffer (ASan would report it).
    ASSERT_EQ(1u, edge->PendingCount());
    EXPECT_TRUE(edge->CompletePending(9, NDIS_STATUS_SUCCESS, 4, {1, 2, 3, 4}));
    EXPECT_EQ(before, FilterAllocations());
}

TEST_F(OidPathTest, CompletionsFromOtherThreadsReachTheOsOnce)
{
    peers::MiniportEdge::Rule pend;
    pend.kind = peers::MiniportEdge::Rule::Pend;
    edge->Script(OID_GEN_XMIT_OK, pend);
    constexpr int kRequests = 16;
    for (int i = 0; i < kRequests; i++)
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_GEN_XMIT_OK, 8, kOsId + i));
    // One request at a time reaches the miniport; each completion, on its own thread, lets the next go.
    for (int i = 0; i < kRequests; i++) {
        ASSERT_EQ(1u, edge->PendingCount());
        HANDLE completer = hosttest::StartThread([&, i] { edge->CompletePending(kOsId + i, NDIS_STATUS_SUCCESS, 8); });
        hosttest::JoinThread(completer);
    }
    EXPECT_EQ(size_t(kRequests), os.Completions().size());
    for (int i = 0; i < kRequests; i++)
        EXPECT_EQ(8u, os.CompletionOf(kOsId + i)->bytesWritten);
}

} // namespace
