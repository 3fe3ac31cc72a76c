// The miniport edge below the filter: its two MBIM translations and its scripted responder, seen from the
// operating system with no filter attached.
#include "host_test.h"
#include "miniport_edge.h"
#include "os_peer.h"

#include <gtest/gtest.h>

#include <host/host.h>
#include <wwan_guids.h>

namespace
{

class MiniportEdgeTest : public ::testing::Test
{
  protected:
    void SetUp() override { os.Attach(edge.Edge()); }
    void TearDown() override { host::Quiesce(); }
    template <typename T> static T Record(const std::vector<UCHAR>& bytes)
    {
        T record{};
        EXPECT_GE(bytes.size(), sizeof(T));
        memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(T)));
        return record;
    }

    peers::FakeMbimHost mbim;
    peers::OsPeer os;
    peers::MiniportEdge edge{&mbim, &os};
};

TEST_F(MiniportEdgeTest, ADeviceServiceCommandBecomesMbimAndItsAnswerAResponseIndication)
{
    std::vector<UCHAR> command = peers::wwanbuf::DeviceServiceCommand(AT_SERVICE_UUID, 1, "AT+CGSN\r\n");
    EXPECT_EQ(NDIS_STATUS_INDICATION_REQUIRED, os.Set(OID_WWAN_DEVICE_SERVICE_COMMAND, command, 5));
    EXPECT_EQ(NDIS_STATUS_INDICATION_REQUIRED,
              os.Send(NdisRequestQueryInformation, OID_WWAN_DEVICE_SERVICE_COMMAND, command, 6));
    std::vector<peers::MbimCommand> sent = mbim.Commands();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(peers::MbimSet, sent[0].type);
    EXPECT_EQ(peers::MbimQuery, sent[1].type);
    EXPECT_NE(sent[0].transactionId, sent[1].transactionId);
    EXPECT_TRUE(IsEqualGUID(AT_SERVICE_UUID, peers::GuidOfMbimServiceId(sent[0].service)));

    const struct {
        ULONG mbim;
        WWAN_STATUS wwan;
    } statuses[] = {{0, WWAN_STATUS_SUCCESS}, {9, 0xC004000A}, {21, WWAN_STATUS_INVALID_PARAMETERS},
                    {0x87430001, WWAN_STATUS_FAILURE}};
    for (const auto& s : statuses)
        EXPECT_EQ(s.wwan, peers::WwanStatusOfMbim(s.mbim)) << s.mbim;

    mbim.Done(sent[1], peers::kMbimStatusSuccess, {'O', 'K'});
    mbim.Done(sent[0], peers::kMbimStatusNoDeviceSupport, {});
    mbim.Done(sent[0], peers::kMbimStatusSuccess, {}); // a second answer to one id is not indicated
    std::vector<peers::OsPeer::Indication> seen = os.Indications();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(6u, seen[0].requestId);
    EXPECT_EQ(os.RequestHandle(), seen[0].destination);
    auto answer = Record<NDIS_WWAN_DEVICE_SERVICE_RESPONSE>(seen[0].buffer);
    EXPECT_EQ(0u, answer.uStatus);
    EXPECT_EQ(2u, answer.Response.uDataSize);
    EXPECT_EQ(std::vector<UCHAR>({'O', 'K'}), std::vector<UCHAR>(seen[0].buffer.begin() + 32, seen[0].buffer.end()));
    EXPECT_EQ(0xC004000Au, Record<NDIS_WWAN_DEVICE_SERVICE_RESPONSE>(seen[1].buffer).uStatus);

    // An indication of a device service is an event with RequestId 0.
    mbim.Indicate(MODEM_EVENT_SERVICE_UUID, 1, {'+', 'X'});
    seen = os.Indications();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(NDIS_STATUS_WWAN_DEVICE_SERVICE_EVENT, seen[2].code);
    EXPECT_EQ(0u, seen[2].requestId);
    auto event = Record<NDIS_WWAN_DEVICE_SERVICE_EVENT>(seen[2].buffer);
    EXPECT_TRUE(IsEqualGUID(MODEM_EVENT_SERVICE_UUID, event.DeviceServiceEvent.DeviceServiceGuid));
    EXPECT_EQ(1u, event.DeviceServiceEvent.EventID);
    EXPECT_EQ(2u, event.DeviceServiceEvent.uDataSize);
}

TEST_F(MiniportEdgeTest, ARadioStateSetBecomesBasicConnectAndComesBackAsRadioState)
{
    EXPECT_EQ(NDIS_STATUS_INDICATION_REQUIRED, os.Set(OID_WWAN_RADIO_STATE, peers::wwanbuf::SetRadioState(WwanRadioOff), 3));
    ASSERT_EQ(1u, mbim.Commands().size());
    peers::MbimCommand command = mbim.Commands()[0];
    EXPECT_TRUE(IsEqualGUID(peers::kMbimBasicConnect, peers::GuidOfMbimServiceId(command.service)));
    EXPECT_EQ(peers::kMbimCidRadioState, command.cid);
    EXPECT_EQ(std::vector<UCHAR>({0, 0, 0, 0}), command.data);
    mbim.Done(command, peers::kMbimStatusSuccess, {1, 0, 0, 0, 0, 0, 0, 0});
    mbim.Indicate(peers::kMbimBasicConnect, peers::kMbimCidRadioState, {1, 0, 0, 0, 1, 0, 0, 0});
    std::vector<peers::OsPeer::Indication> seen = os.Indications();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(3u, seen[0].requestId);
    EXPECT_EQ(0u, seen[1].requestId);
    const WWAN_RADIO expectedSw[] = {WwanRadioOff, WwanRadioOn};
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(NDIS_STATUS_WWAN_RADIO_STATE, seen[i].code);
        auto radio = Record<NDIS_WWAN_RADIO_STATE>(seen[i].buffer);
        EXPECT_EQ(16, radio.Header.Size);
        EXPECT_EQ(WwanRadioOn, radio.RadioState.HwRadioState);
        EXPECT_EQ(expectedSw[i], radio.RadioState.SwRadioState);
    }
}

TEST_F(MiniportEdgeTest, ATranslationThatCannotBeSentFails)
{
    std::vector<UCHAR> overstated = peers::wwanbuf::DeviceServiceCommand(AT_SERVICE_UUID, 1, "AT");
    overstated[24] = 50; // uDataSize beyond the buffer
    EXPECT_EQ(NDIS_STATUS_INVALID_LENGTH, os.Set(OID_WWAN_DEVICE_SERVICE_COMMAND, overstated, 1));
    EXPECT_EQ(NDIS_STATUS_INVALID_LENGTH, os.Set(OID_WWAN_RADIO_STATE, std::vector<UCHAR>(4), 2));
    mbim.sessionOpen = false;
    EXPECT_EQ(NDIS_STATUS_FAILURE, os.Set(OID_WWAN_RADIO_STATE, peers::wwanbuf::SetRadioState(WwanRadioOn), 3));
    EXPECT_TRUE(mbim.Commands().empty());
}

TEST_F(MiniportEdgeTest, TheScriptedResponderAnswersIndicatesAfterwardsAndRecordsCancels)
{
    peers::MiniportEdge::Rule later;
    later.kind = peers::MiniportEdge::Rule::IndicationRequired;
    later.indicationCode = NDIS_STATUS_WWAN_PIN_INFO;
    later.indication = {1, 2, 3};
    edge.Script(OID_WWAN_PIN, later);
    EXPECT_EQ(NDIS_STATUS_INDICATION_REQUIRED, os.Set(OID_WWAN_PIN, std::vector<UCHAR>(8), 11));
    EXPECT_TRUE(os.Indications().empty()); // the answer follows the completion
    host::Quiesce();
    ASSERT_EQ(1u, os.Indications().size());
    EXPECT_EQ(11u, os.Indications()[0].requestId);
    EXPECT_EQ(NDIS_STATUS_WWAN_PIN_INFO, os.Indications()[0].code);

    peers::MiniportEdge::Rule never;
    never.kind = peers::MiniportEdge::Rule::Never;
    edge.Script(OID_WWAN_SMS_READ, never);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_SMS_READ, 64, 12));
    os.Cancel(12);
    EXPECT_EQ(std::vector<ULONG64>{12}, edge.Cancels());
    EXPECT_EQ(NDIS_STATUS_REQUEST_ABORTED, os.CompletionOf(12)->status);
    EXPECT_EQ(NDIS_STATUS_NOT_SUPPORTED, os.Query(OID_WWAN_HOME_PROVIDER, 64, 13));
}

} // namespace
