// The RIL worker: what each event record, request and reply turns into, the order in which it serves
// the two mailboxes, and a wait that keeps failing.
#include "core_fixture.h"
#include "host_test.h"
#include "ril_ctxt.h"
#include "running_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using coretest::CountLines;
using coretest::HostCommand;
using coretest::LinesWith;
using coretest::MbimMessage;
using coretest::ModemMessage;
using coretest::Settle;
using coretest::Token;

using WorkerTest = coretest::RunningCoreTest;

constexpr uint32_t kOpen = 1, kClose = 2, kCommand = 3, kHostError = 4;
constexpr uint32_t kOpenDone = 0x80000001, kCommandDone = 0x80000003, kIndicateStatus = 0x80000007;

std::string RouteLine(const char* routine, int length, int tid, int route)
{
    return std::string(routine) + ": stand-in, executor 0, len " + std::to_string(length) + ", tid " +
           std::to_string(tid) + ", route " + std::to_string(route);
}

// Each host-side record reads its message with the buffer's capacity offered and hands the message
// length on; kind 5 also routes CLOSE and other messages to the reply routing with the element length.
TEST_F(WorkerTest, HostRecordsReachTheFrontWithTheMessageLength)
{
    struct Case {
        const char* what;
        uint32_t type;
        ULONG route;
        bool toFront;
        const char* routing; // the reply routing's line, or null
    } cases[] = {
        {"command", kCommand, TransportRouteBridge, true, nullptr},
        {"open, also to the modem", kOpen, TransportRouteBoth, true, nullptr},
        {"close, also to the modem", kClose, TransportRouteBoth, true,
         "MBIMMdm_closemsg_route: stand-in, executor 0, len 76, route 2"},
        {"command, also to the modem", kCommand, TransportRouteBoth, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frontdouble::Reset();
        coretest::ResetAndRegisterBridge();
        Clear();
        std::vector<uint8_t> message = MbimMessage(c.type, 52, 9);
        ASSERT_EQ(HostCommand(message, c.route), 0);
        Settle();

        std::vector<frontdouble::IoControlCall> calls = frontdouble::IoControls();
        ASSERT_EQ(calls.size(), c.toFront ? 1u : 0u);
        if (c.toFront) {
            EXPECT_EQ(calls[0].executor, 0);
            EXPECT_EQ(calls[0].bytes, message) << "52 bytes: the MessageLength, not the element's 76";
        }
        ASSERT_EQ(coretest::TheBridge().reads.size(), 1u);
        EXPECT_EQ(coretest::TheBridge().reads[0].offered, 65536u) << "the buffer's capacity bounds the copy";
        EXPECT_EQ(coretest::TheBridge().reads[0].route, c.route);
        if (c.routing != nullptr) {
            EXPECT_EQ(CountLines(c.routing), 1u);
        }
        bool otherToRouting = c.type == kCommand && c.route == TransportRouteBoth;
        EXPECT_EQ(CountLines(RouteLine("MBIMMdm_rspcb_handler", 76, 0, 2)), otherToRouting ? 1u : 0u);
        EXPECT_TRUE(frontdouble::Completions().empty()) << "nothing completes the front's OPEN or CLOSE here";
    }
}

TEST_F(WorkerTest, AReadThatDeliversNothingOrTooMuchIsDropped)
{
    for (UCHAR kind : {EventKindHostCommand, EventKindHostCommandAlsoToModem, EventKindModemMessageCopy}) {
        EventControlData record = coretest::EventRecord(kind, 76);
        ASSERT_EQ(MBIMCore_post_eventControlInput(0, &record), 0);
    }
    Settle();
    EXPECT_EQ(CountLines("Zero Len cid!"), 3u);

    // 70,000 bytes are announced modulo 65,536; the bridge does not copy past the bound offered.
    ASSERT_EQ(HostCommand(MbimMessage(kCommand, 70000)), 0);
    Settle();
    EXPECT_EQ(CountLines("delivered length 70000 exceeds the buffer's 65536, dropped"), 1u);
    EXPECT_TRUE(frontdouble::IoControls().empty());
    EXPECT_EQ(CountLines("MBIMMdm_rspcb_handler"), 0u);
}

TEST_F(WorkerTest, ModemRecordsReachTheReplyRoutingOrAreTraced)
{
    struct Case {
        uint32_t type;
        ULONG route;
        std::string expected;
    } cases[] = {
        {kCommandDone, TransportRouteBridge, RouteLine("MBIMMdm_rspcb_handler", 64, 0x21, 1)},
        {kIndicateStatus, TransportRouteBridge, RouteLine("MBIMMdm_rspcb_handler", 64, 0x21, 1)},
        {kOpenDone, TransportRouteBridge, "processNonPassthrough_RspFromModem : MBIM_MESSAGE_TYPE_OPEN"},
        {kHostError, TransportRouteBridge, "MBIM_MESSAGE_TYPE_HOST_ERROR - MBB ErrorCode=0"},
        {kOpenDone, TransportRouteBoth, RouteLine("MBIMMdm_rspcb_handler", 64, 0x21, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        Clear();
        ASSERT_EQ(ModemMessage(MbimMessage(c.type, 40, 0x21), c.route), 0);
        Settle();
        EXPECT_EQ(CountLines(c.expected), 1u);
        EXPECT_EQ(CountLines("stand-in"), c.expected.find("stand-in") != std::string::npos ? 1u : 0u);
    }
    EXPECT_TRUE(frontdouble::IoControls().empty());
}

TEST_F(WorkerTest, PowerAndUnknownKindsFromTheHostSideAreOnlyTraced)
{
    for (UCHAR kind : {UCHAR{EventKindModemIoAwake}, UCHAR{EventKindModemIoAsleep}, UCHAR{3}}) {
        EventControlData record = coretest::EventRecord(kind);
        ASSERT_EQ(MBIM_EventControlInput(1, &record), 0);
    }
    Settle();
    EXPECT_EQ(CountLines("Handle_Event_Input :  Awake21 Normal mode"), 1u);
    EXPECT_EQ(CountLines("Handle_Event_Input :  sleep21!"), 1u);
    EXPECT_EQ(CountLines("Caution!! Unknown event 3 !!"), 1u);
    EXPECT_EQ(MBIMCore_check_IOReady(), 1) << "the host-side records do not switch the I/O state";
    EXPECT_TRUE(coretest::TheBridge().reads.empty());
}

TEST_F(WorkerTest, RequestsReachTheirHandlersOrAreAnsweredAsNotSupported)
{
    struct Case {
        int uuid_index, ReqID;
        const char* line; // null: nothing traced
        bool completed;
    } cases[] = {
        {1, 1, "ril_request_DEVICE_CAPS_handler: stand-in", true},
        {1, 16, "ril_request_DEVICE_SERVICES_handler: stand-in", true},
        {18, 3, "ril_request_MS_LTE_ATTACH_CONFIG_handler_for_mbim_mdm: stand-in", true},
        {18, 15, "ril_request_VERSION_handler: stand-in", true},
        {22, 4, "ril_request_mbim_sar_external_handler_for_mbim_mdm: stand-in", true},
        {23, 3, "ril_request_mbim_DEVICEMODE_handler_for_mbim_mdm: stand-in", true},
        {23, 50, "ril_request_mbim_RVAD_BASE_STATIONS_INFO_handler: stand-in", true},
        {22, 5, "on_request_handler: Unsupported request ID=5, UUID_INDEX = 22", true},
        {100, 1, "on_request_handler : open msg serv", false},
        {100, 2, "on_request_handler : close msg serv", false},
        {100, 4, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.uuid_index << "/" << c.ReqID);
        frontdouble::Reset();
        coretest::ResetAndRegisterBridge();
        Clear();
        Request(c.uuid_index, c.ReqID, Token(0x77));
        Settle();
        if (c.line != nullptr) {
            EXPECT_EQ(CountLines(c.line), 1u);
        }
        EXPECT_EQ(CountLines("stand-in") + CountLines("Unsupported") + CountLines("msg serv"),
                  c.line ? 1u : 0u);
        std::vector<frontdouble::CompleteCall> calls = frontdouble::Completions();
        ASSERT_EQ(calls.size(), c.completed ? 1u : 0u);
        if (c.completed) {
            EXPECT_EQ(calls[0].token, Token(0x77));
            EXPECT_EQ(calls[0].error, RIL_E_REQUEST_NOT_SUPPORTED);
        }
    }
}

// ---- scheduling ----------------------------------------------------------------------------------

// With modem I/O awake, every parked message goes out before the next request is served.
TEST_F(WorkerTest, ParkedMessagesReplayInOrderBeforeTheNextRequest)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    for (uint8_t n = 1; n <= 3; n++) {
        uint8_t answer[16] = {n};
        ASSERT_EQ(Mbim_CIDResponseSend(0, answer, sizeof(answer)), 1);
    }
    Request(1, 1, Token(1));
    ASSERT_EQ(coretest::PowerEvent(true), 0);
    Clear();
    latch.Release();
    Settle();

    std::vector<uint8_t> order;
    for (const coretest::Sent& sent : coretest::TheBridge().toHost)
        order.push_back(sent.bytes[0]);
    EXPECT_EQ(order, (std::vector<uint8_t>{1, 2, 3}));
    std::vector<std::string> texts = tracetest::Texts();
    size_t lastReplay = 0, request = 0;
    for (size_t i = 0; i < texts.size(); i++) {
        if (texts[i].find("Sending pnd CID RSP") != std::string::npos)
            lastReplay = i;
        if (texts[i].find("ril_request_DEVICE_CAPS_handler: stand-in") != std::string::npos)
            request = i;
    }
    EXPECT_GT(request, lastReplay);
}

// While asleep, requests are still served; a park wakes the worker once and it waits again.
TEST_F(WorkerTest, WhileAsleepRequestsAreServedAndAParkDoesNotSpinTheWorker)
{
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    Settle();
    Clear();
    uint8_t answer[16] = {};
    ASSERT_EQ(Mbim_CIDResponseSend(0, answer, sizeof(answer)), 1);
    Settle();
    EXPECT_EQ(CountLines("***O Awake! event received!!"), 1u);
    EXPECT_EQ(CountLines("sys_mbox_fetch_IO : Mail Box --> **IO Asleep** !!"), 1u);

    Request(1, 16, Token(2));
    Settle();
    EXPECT_EQ(frontdouble::Completions().size(), 1u);
    EXPECT_TRUE(coretest::TheBridge().toHost.empty());
    EXPECT_EQ(g_MbimCoreDb.io_mbox->count, 1);
}

// A host CLOSE cleans the queues from inside the dispatch: what was queued behind it goes unhandled.
TEST_F(WorkerTest, ACloseInsideTheDispatchFreesTheMessagesBehindIt)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    frontdouble::OnIoControl([](const std::vector<uint8_t>& message) {
        uint32_t type = 0;
        memcpy(&type, message.data(), sizeof(type));
        if (type == kClose)
            clean_message_queue();
    });
    ASSERT_EQ(HostCommand(MbimMessage(kClose, 16)), 0);
    Request(1, 1, Token(3));
    Request(1, 16, Token(4));
    latch.Release();
    Settle();
    EXPECT_TRUE(frontdouble::Completions().empty());
    EXPECT_EQ(frontdouble::IoControls().size(), 2u);
}

// ---- replies -------------------------------------------------------------------------------------

int s_replies = 0;

void Reply(int, int context_id, void* param, void*)
{
    s_replies++;
    auto* record = static_cast<mdm_cb_param*>(param);
    MEMUTIL_FREE(record->buffer);
    ril_free_context_and_return(context_id);
}

int PostReply(int context_id)
{
    mdm_cb_param param = {40, static_cast<uint8_t*>(MEMUTIL_ALLOC(40))};
    int result = RilCore_post_mdmrspcb(0, context_id, Reply, &param, sizeof(param), 0);
    if (result != 0)
        MEMUTIL_FREE(param.buffer);
    return result;
}

TEST_F(WorkerTest, AReplyRunsOnlyWhileItsContextIsInUse)
{
    s_replies = 0;
    int live = mdmril_get_free_ctxt_id(Token(8));
    ASSERT_EQ(live, 3);
    ASSERT_EQ(PostReply(live), 0);
    ASSERT_EQ(PostReply(live), 0) << "its context is released by the first";
    ASSERT_EQ(PostReply(200), 0);
    Settle();
    EXPECT_EQ(s_replies, 1);
    EXPECT_EQ(CountLines("rilreq_state_info[3].entry_in_use is FALSE"), 1u);
    EXPECT_EQ(CountLines("rilreq_state_info[200].entry_in_use is FALSE"), 1u);
}

// A wait on a mailbox whose event is gone fails at once; the worker paces itself and still ends.
TEST(WorkerLoopTest, AFailingWaitDoesNotSpin)
{
    coretest::StartCore();
    host::EtwReset();
    host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 5);
    ril_etw_register();
    HANDLE ioEvent = g_MbimCoreDb.io_mbox->event;
    g_MbimCoreDb.io_mbox->event = nullptr;
    os_thread_rec record = {nullptr, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE worker = hosttest::StartThread([&record] { mbimcore_handler(&record); });
    Sleep(1000);
    SetEvent(record.end_event);
    hosttest::JoinThread(worker);
    size_t failures = coretest::CountLines("wait_on_multiple_object : Error");
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 11u) << "one failed wait per pause of 100 ms";
    CloseHandle(record.end_event);
    g_MbimCoreDb.io_mbox->event = ioEvent;
    ril_etw_unregister();
    host::EtwReset();
    coretest::StopCore();
}

} // namespace
