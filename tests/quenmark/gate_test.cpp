// The working-mode gate: POC mode, the restricted mode's interception, the normal mode's per-OID
// handlers, the fabricated answers, the tracker and the published mode.
#include "filter_fixture.h"

#include <wwan_guids.h>

using namespace quenmarktest;

namespace
{

constexpr ULONG64 kOsId = 0x3001;

std::vector<UCHAR> AtCommand(std::string_view text)
{
    return peers::wwanbuf::DeviceServiceCommand(AT_SERVICE_UUID, 1, text);
}

class GateTest : public FilterTest
{
  protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(NDIS_STATUS_SUCCESS, Attach());
        peers::MiniportEdge::Rule accepted;
        accepted.status = NDIS_STATUS_INDICATION_REQUIRED;
        for (NDIS_OID oid : {OID_WWAN_CONNECT, OID_WWAN_UICC_OPEN_CHANNEL, OID_WWAN_UICC_CLOSE_CHANNEL, OID_WWAN_UICC_APDU,
                             OID_WWAN_SYS_SLOTMAPPINGS, OID_WWAN_PIN, OID_WWAN_DEVICE_CAPS, OID_WWAN_RADIO_STATE})
            edge->Script(oid, accepted);
    }
    // Did the request reach the miniport?
    bool Forwarded(ULONG64 id)
    {
        for (const auto& received : edge->Requests())
            if (received.requestId == id)
                return true;
        return false;
    }
    void CacheRadioState(WWAN_RADIO hw)
    {
        NDIS_WWAN_RADIO_STATE radio{};
        radio.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(radio)};
        radio.RadioState.HwRadioState = hw;
        NDIS_STATUS_INDICATION indication{};
        indication.StatusCode = NDIS_STATUS_WWAN_RADIO_STATE;
        indication.StatusBuffer = &radio;
        indication.StatusBufferSize = sizeof(radio);
        ASSERT_TRUE(OidCacheStore(module, &indication));
    }
    ULONG64 id = kOsId;
};

TEST_F(GateTest, PocModeRefusesWhatNeedsTheModemAndLetsItsOwnCommandsPass)
{
    Settle(WORKING_MODE_NORMAL);
    module->PocMode = 1;
    const struct {
        const char* name;
        NDIS_OID oid;
        std::vector<UCHAR> buffer;
        bool passes;
        ULONG pocAfter;
    } cases[] = {
        {"radio-state set", OID_WWAN_RADIO_STATE, peers::wwanbuf::SetRadioState(WwanRadioOn), true, 1},
        {"connect", OID_WWAN_CONNECT, peers::wwanbuf::Connect(1), false, 1},
        {"lower-case at+csim", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand("at+csim=10,\"00A4040C\"\r\n"), true, 1},
        {"AT+CMGS", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand("AT+CMGS=20\r\n"), false, 1},
        {"no data", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand(""), false, 1},
        {"AT+GTPCTPOC=2", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand("AT+GTPCTPOC=2\r\n"), true, 1},
        {"AT+GTPCTPOC?", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand("AT+GTPCTPOC?\r\n"), true, 1},
        {"POC pass service", OID_WWAN_DEVICE_SERVICE_COMMAND,
         peers::wwanbuf::DeviceServiceCommand(MBIM_COM_PLUG_SERVICE, 1, "x"), true, 1},
        {"other service", OID_WWAN_DEVICE_SERVICE_COMMAND,
         peers::wwanbuf::DeviceServiceCommand(MBIM_REVAD_OEM_CUST_SERVICE, 1, "x"), false, 1},
        {"AT+GTPCTPOC=1 ends POC mode", OID_WWAN_DEVICE_SERVICE_COMMAND, AtCommand("AT+GTPCTPOC=1\r\n"), true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        module->SwitchBits = 0;
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(c.oid, c.buffer, ++id));
        EXPECT_EQ(c.passes, Forwarded(id));
        EXPECT_EQ(c.passes ? 0 : LONG(SWITCH_EVT_REJECT_BUSY), module->SwitchBits);
        EXPECT_EQ(c.pocAfter, module->PocMode);
        if (!c.passes) {
            // The mode-switch worker completes it busy; here the test does.
            PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE);
            ASSERT_EQ(os.Request(id), held);
            NdisFOidRequestComplete(module->FilterHandle, held, STATUS_DEVICE_BUSY);
        }
    }
}

TEST_F(GateTest, TheAllowListReadsNoMoreThanTheRequestHolds)
{
    // Texts are bounded by min(uDataSize, length - 28, 128): a size that claims more than the buffer holds
    // reads only what is there, and a buffer shorter than the record passes untouched.
    Settle(WORKING_MODE_NORMAL);
    module->PocMode = 1;
    std::vector<UCHAR> claims = AtCommand("AT+CSIM");
    NDIS_WWAN_SET_DEVICE_SERVICE_COMMAND record;
    memcpy(&record, claims.data(), sizeof(record));
    record.Command.uDataSize = 100000;
    memcpy(claims.data(), &record, sizeof(record));
    std::vector<UCHAR> exact(claims.begin(), claims.end()); // heap-exact: ASan sees any read past it
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_DEVICE_SERVICE_COMMAND, exact, ++id));
    EXPECT_TRUE(Forwarded(id));

    std::vector<UCHAR> longText = AtCommand("AT+CSIM=" + std::string(300, '0'));
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_DEVICE_SERVICE_COMMAND, longText, ++id));
    EXPECT_TRUE(Forwarded(id));

    std::vector<UCHAR> shortRecord(20, 0xFF);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_DEVICE_SERVICE_COMMAND, shortRecord, ++id));
    EXPECT_TRUE(Forwarded(id));
}

TEST_F(GateTest, ParsePocArgumentReadsTheNumberAfterThePrefix)
{
    const struct {
        const char* text;
        ULONG expected;
    } cases[] = {
        {"AT+GTPCTPOC=1\r\n", 1}, {"AT+GTPCTPOC= 0\r\n", 0}, {"xxAT+GTPCTPOC=12", 12},
        {"at+gtpctpoc=1", 2}, // the prefix is case-sensitive here
        {"AT+GTPCTPOC?", 2},  {"AT+GTPCTPOC=", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, ParsePocArgument(c.text, ULONG(strlen(c.text)))) << c.text;
}

TEST_F(GateTest, TheRestrictedModeHoldsGatedRequestsAndAnswersWhatItCan)
{
    Settle(WORKING_MODE_RESTRICTED);
    // A gated set is held for the switch.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_PIN, std::vector<UCHAR>(64), ++id));
    EXPECT_FALSE(Forwarded(id));
    EXPECT_EQ(os.Request(id), module->ParkedRequest);
    EXPECT_EQ(LONG(SWITCH_EVT_PARKED_OID), module->SwitchBits);
    NdisFOidRequestComplete(module->FilterHandle,
                            FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE), STATUS_DEVICE_BUSY);

    // A radio-state set is saved for the fabricated answer and never reaches the miniport.
    module->SwitchBits = 0;
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_RADIO_STATE, peers::wwanbuf::SetRadioState(WwanRadioOff), ++id));
    EXPECT_FALSE(Forwarded(id));
    EXPECT_EQ(LONG(SWITCH_EVT_RADIO_STATE_SET), module->SwitchBits);
    EXPECT_EQ(LONG(PENDING_RADIO_STATE_ARMED), PENDING_RADIO_STATE.State);
    ASSERT_NE(nullptr, PENDING_RADIO_STATE.Buffer);
    EXPECT_EQ(WwanRadioOff, PENDING_RADIO_STATE.Buffer->RadioAction);
    NdisFOidRequestComplete(module->FilterHandle,
                            FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE),
                            NDIS_STATUS_INDICATION_REQUIRED);
    ClearPendingRadioState(module, OID_WWAN_RADIO_STATE);
    EXPECT_EQ(nullptr, PENDING_RADIO_STATE.Buffer);

    // A query with a cached answer is held for the cache; without one, for the switch.
    module->SwitchBits = 0;
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_RADIO_STATE, 16, ++id));
    EXPECT_EQ(os.Request(id), module->ParkedRequest);
    EXPECT_EQ(LONG(SWITCH_EVT_PARKED_OID), module->SwitchBits);
    NdisFOidRequestComplete(module->FilterHandle,
                            FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE), STATUS_DEVICE_BUSY);
    CacheRadioState(WwanRadioOn);
    module->SwitchBits = 0;
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_RADIO_STATE, 16, ++id));
    EXPECT_EQ(os.Request(id), module->ParkedCacheQuery);
    EXPECT_EQ(LONG(SWITCH_EVT_ANSWER_FROM_CACHE), module->SwitchBits);
    NdisFOidRequestComplete(module->FilterHandle,
                            FilterTakeParked(&module->CacheQueryLock, &module->ParkedCacheQuery, nullptr, FALSE),
                            NDIS_STATUS_SUCCESS);

    // An OID in none of the tables passes; a short radio-state set passes untouched.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS, 64, ++id));
    EXPECT_TRUE(Forwarded(id));
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_RADIO_STATE, std::vector<UCHAR>(6), ++id));
    EXPECT_TRUE(Forwarded(id));
}

TEST_F(GateTest, WwanOidsAreHeldWhileASyncOrARadioRegistryEventRunsWhateverTheFlags)
{
    const struct {
        const char* name;
        UCHAR syncing;
        LONG radioBusy;
        ULONG flags;
        NDIS_OID oid;
        bool held;
    } cases[] = {
        {"sync, WWAN", 1, 0, MODE_FLAGS_TARGET, OID_WWAN_DEVICE_CAPS, true},
        {"sync, not a target", 1, 0, MODE_FLAG_PCIOT, OID_WWAN_DEVICE_CAPS, true},
        {"sync, driver caps is not WWAN", 1, 0, MODE_FLAGS_TARGET, OID_WWAN_DRIVER_CAPS, false},
        {"radio registry event", 0, 1, MODE_FLAGS_TARGET, OID_WWAN_DEVICE_CAPS, true},
        {"neither, not a target", 0, 0, MODE_FLAG_SERVICE_MODE, OID_WWAN_CONNECT, false},
    };
    peers::MiniportEdge::Rule rule;
    edge->Script(OID_WWAN_DRIVER_CAPS, rule);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settle(WORKING_MODE_RESTRICTED);
        module->SyncInProgress = c.syncing;
        module->RadioRegistryBusy = c.radioBusy;
        module->ModeFlags = c.flags;
        std::vector<UCHAR> buffer(sizeof(NDIS_WWAN_SET_CONTEXT_STATE));
        os.Send(c.oid == OID_WWAN_CONNECT ? NdisRequestSetInformation : NdisRequestQueryInformation, c.oid, buffer,
                ++id);
        EXPECT_EQ(!c.held, Forwarded(id));
        PNDIS_OID_REQUEST held = FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE);
        EXPECT_EQ(c.held, held != nullptr);
        if (held != nullptr)
            NdisFOidRequestComplete(module->FilterHandle, held, STATUS_DEVICE_BUSY);
    }
}

TEST_F(GateTest, TheIsdrLockFollowsOpenCloseApduAndSlotMapping)
{
    Settle(WORKING_MODE_NORMAL);
    const std::vector<UCHAR> isdr(ISDR_AID, ISDR_AID + sizeof(ISDR_AID));
    const std::vector<UCHAR> other = {0xA0, 0x00, 0x00, 0x00, 0x87, 0x10, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x89};
    // Slot 2 (at attach): an ISD-R open passes.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_UICC_OPEN_CHANNEL, peers::wwanbuf::UiccOpenChannel(isdr, 16, 1), ++id));
    EXPECT_TRUE(Forwarded(id));
    module->SlotIndex = 1;
    // Another application, or an id longer than 16 bytes, passes without the lock and without the tracker.
    module->TrackerArmed = 0;
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_UICC_OPEN_CHANNEL, peers::wwanbuf::UiccOpenChannel(other, 16, 1), ++id));
    EXPECT_TRUE(Forwarded(id));
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_UICC_OPEN_CHANNEL, peers::wwanbuf::UiccOpenChannel(isdr, 17, 1), ++id));
    EXPECT_TRUE(Forwarded(id));
    EXPECT_EQ(0, module->TrackerArmed);
    // The ISD-R open on slot 1 is held for the lock.
    module->SwitchBits = 0;
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_UICC_OPEN_CHANNEL, peers::wwanbuf::UiccOpenChannel(isdr, 16, 1), ++id));
    EXPECT_FALSE(Forwarded(id));
    EXPECT_EQ(LONG(SWITCH_EVT_ACQUIRE_LOCK), module->SwitchBits);
    NdisFOidRequestComplete(module->FilterHandle,
                            FilterTakeParked(&module->ParkedLock, &module->ParkedRequest, nullptr, FALSE), STATUS_DEVICE_BUSY);

    const struct {
        const char* name;
        UCHAR lockGranted;
        NDIS_OID oid;
        std::vector<UCHAR> buffer;
        bool releases;
    } cases[] = {
        {"close of the ISD-R channel", 1, OID_WWAN_UICC_CLOSE_CHANNEL, peers::wwanbuf::UiccCloseChannel(3, 1), true},
        {"close of another channel", 1, OID_WWAN_UICC_CLOSE_CHANNEL, peers::wwanbuf::UiccCloseChannel(4, 1), false},
        {"close without the lock", 0, OID_WWAN_UICC_CLOSE_CHANNEL, peers::wwanbuf::UiccCloseChannel(3, 1), false},
        {"enable profile, lock held", 1, OID_WWAN_UICC_APDU,
         peers::wwanbuf::UiccApdu(3, {0x81, 0xE2, 0x91, 0x00, 0x06, 0xBF, 0x31, 0x03, 0x80, 0x01, 0xFF}), true},
        {"disable profile, no lock", 0, OID_WWAN_UICC_APDU,
         peers::wwanbuf::UiccApdu(3, {0x81, 0xE2, 0x91, 0x00, 0x06, 0xBF, 0x32, 0x03, 0x80, 0x01, 0xFF}), true},
        {"other ES10 command", 1, OID_WWAN_UICC_APDU,
         peers::wwanbuf::UiccApdu(3, {0x81, 0xE2, 0x91, 0x00, 0x06, 0xBF, 0x2D, 0x03, 0x80, 0x01, 0xFF}), false},
        {"short Lc", 1, OID_WWAN_UICC_APDU, peers::wwanbuf::UiccApdu(3, {0x81, 0xE2, 0x91, 0x00, 0x05, 0xBF, 0x31}), false},
        {"slot 0 with the lock", 1, OID_WWAN_SYS_SLOTMAPPINGS, peers::wwanbuf::SlotMapping(0), true},
        {"slot 0 without the lock", 0, OID_WWAN_SYS_SLOTMAPPINGS, peers::wwanbuf::SlotMapping(0), false},
        {"slot 1 with the lock", 1, OID_WWAN_SYS_SLOTMAPPINGS, peers::wwanbuf::SlotMapping(1), false},
        {"short close", 1, OID_WWAN_UICC_CLOSE_CHANNEL, std::vector<UCHAR>(8), false},
        {"short APDU", 1, OID_WWAN_UICC_APDU, std::vector<UCHAR>(30), false},
        {"short slot map", 1, OID_WWAN_SYS_SLOTMAPPINGS, std::vector<UCHAR>(12), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        module->LockGranted = c.lockGranted;
        module->IsdrChannel = 3;
        module->IsdrChannelGroup = 1;
        module->SwitchBits = 0;
        EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(c.oid, c.buffer, ++id));
        EXPECT_TRUE(Forwarded(id));
        EXPECT_EQ(c.releases ? LONG(SWITCH_EVT_RELEASE_LOCK) : 0, module->SwitchBits);
        EXPECT_EQ(c.releases ? ISDR_CHANNEL_NONE : 3u, module->IsdrChannel);
    }
}

TEST_F(GateTest, TheTrackerArmsOnASetAndDisarmsOnAFinalCompletion)
{
    Settle(WORKING_MODE_NORMAL);
    // Answered with "indication required": the tracker stays armed for the indication.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_CONNECT, peers::wwanbuf::Connect(2), ++id));
    EXPECT_EQ(1, module->TrackerArmed);
    EXPECT_EQ(ULONG(NDIS_STATUS_WWAN_CONTEXT_STATE), module->TrackerStatus);
    EXPECT_EQ(id, module->TrackerRequestId);
    // A query does not arm it; a final status disarms it.
    peers::MiniportEdge::Rule failed;
    failed.status = NDIS_STATUS_FAILURE;
    edge->Script(OID_WWAN_PIN, failed);
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Set(OID_WWAN_PIN, std::vector<UCHAR>(64), ++id));
    EXPECT_EQ(0, module->TrackerArmed);
    EXPECT_EQ(TRACKER_STATUS_IDLE, module->TrackerStatus);
    // DEVICE_CAPS_EX is always held in the normal mode.
    EXPECT_EQ(NDIS_STATUS_PENDING, os.Query(OID_WWAN_DEVICE_CAPS_EX, 32, ++id));
    EXPECT_EQ(LONG(SWITCH_EVT_DEVICE_CAPS_EX), module->SwitchBits & SWITCH_EVT_DEVICE_CAPS_EX);
    EXPECT_FALSE(Forwarded(id));
}

TEST_F(GateTest, TheFabricatedAnswersCarryTheRequestsIdsAndTheirFixedFields)
{
    Settle(WORKING_MODE_RESTRICTED);
    IndicateFakeRadioState(module, WwanRadioOff, reinterpret_cast<PVOID>(0x77), os.RequestHandle());
    CacheRadioState(WwanRadioOff);
    IndicateFakeRadioState(module, WwanRadioOn, reinterpret_cast<PVOID>(0x78), os.RequestHandle());
    IndicateFakeContextState(module, 5, reinterpret_cast<PVOID>(0x79), os.RequestHandle());
    std::vector<peers::OsPeer::Indication> seen = os.Indications();
    ASSERT_EQ(3u, seen.size());
    const struct {
        WWAN_RADIO hw;
        WWAN_RADIO sw;
    } radios[] = {{WwanRadioOn, WwanRadioOff}, {WwanRadioOff, WwanRadioOn}};
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(NDIS_STATUS_WWAN_RADIO_STATE, seen[i].code);
        EXPECT_EQ(0x77u + i, seen[i].requestId);
        EXPECT_EQ(os.RequestHandle(), seen[i].destination);
        NDIS_WWAN_RADIO_STATE radio;
        ASSERT_EQ(16u, seen[i].buffer.size());
        memcpy(&radio, seen[i].buffer.data(), sizeof(radio));
        EXPECT_EQ(0x80, radio.Header.Type);
        EXPECT_EQ(1, radio.Header.Revision);
        EXPECT_EQ(0u, radio.uStatus);
        EXPECT_EQ(radios[i].hw, radio.RadioState.HwRadioState);
        EXPECT_EQ(radios[i].sw, radio.RadioState.SwRadioState);
    }
    EXPECT_EQ(NDIS_STATUS_WWAN_CONTEXT_STATE, seen[2].code);
    EXPECT_EQ(0x79u, seen[2].requestId);
    NDIS_WWAN_CONTEXT_STATE context;
    ASSERT_EQ(264u, seen[2].buffer.size());
    memcpy(&context, seen[2].buffer.data(), sizeof(context));
    EXPECT_EQ(2, context.Header.Revision);
    EXPECT_EQ(264, context.Header.Size);
    EXPECT_EQ(0xC0040003u, context.uStatus);
    EXPECT_EQ(5u, context.ContextState.ConnectionId);
}

TEST_F(GateTest, PublicationShowsTheEsimFlagAndWakesOnlyOnAChange)
{
    Settle(WORKING_MODE_NORMAL);
    const struct {
        UCHAR esim;
        ULONG mode;
        ULONG published;
    } cases[] = {{0, 4, 4}, {1, 2, 1}, {1, 4, 4}, {0, 2, 2}};
    for (const auto& c : cases) {
        module->EsimFlag = c.esim;
        FilterSetWorkingMode(module, c.mode);
        EXPECT_EQ(c.published, module->PublishedMode);
        EXPECT_EQ(c.mode, module->WorkingMode);
    }
}

} // namespace
