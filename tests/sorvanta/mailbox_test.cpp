// The RIL message mailboxes: the ring, the posting functions, the modem I/O sleep switch and the
// parking and replay of outgoing messages.
#include "core_fixture.h"
#include "modem_driver.h"
#include "os_util.h"
#include "ril_msg.h"
#include "sys_mbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string.h>
#include <vector>

namespace {

using coretest::CoreTest;
using coretest::EventRecord;
using coretest::SignalIo;

void* TokenPtr(int n)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(n));
}

// Posts a request whose token carries `n`.
int PostRequest(int n);

// Every poster of the message mailbox, each expected to give `result`.
void ExpectEveryMessagePoster(int result)
{
    mdm_cb_param param = {};
    uint8_t bytes[8] = {};
    EventControlData record = EventRecord(EventKindHostCommand, 64);
    EXPECT_EQ(PostRequest(1), result);
    EXPECT_EQ(RilCore_post_mdmrspcb(0, 3, nullptr, &param, sizeof(param), 0), result);
    EXPECT_EQ(RilCore_post_mdmindcb(0, nullptr, &param, sizeof(param), nullptr), result);
    EXPECT_EQ(RilCore_post_mdm_paramsrspcb(0, 3, nullptr, 1, 2, 3, nullptr), result);
    EXPECT_EQ(RilCore_post_mdm_paramsindcb(0, nullptr, 1, 2, 3, nullptr), result);
    EXPECT_EQ(RilCore_post_atmsrspcb(0, 3, nullptr, &param, sizeof(param)), result);
    EXPECT_EQ(MBIMCore_post_eventControlInput(0, &record), result);
    EXPECT_EQ(MBIMCore_post_sar_eventControlInput(0, sizeof(bytes), bytes, 1), result);
}

int PostRequest(int n)
{
    return RilCore_post_request(0, 1, 1, 0, nullptr, 0, TokenPtr(n));
}

// The tokens of the requests left in the message mailbox, in fetch order.
std::vector<int> FetchTokens(sys_mbox* mbox)
{
    std::vector<int> tokens;
    tag_T_RIL_MSG* msg = nullptr;
    while (sys_mbox_fetch(mbox, &msg) == 1) {
        tokens.push_back(static_cast<int>(reinterpret_cast<uintptr_t>(msg->req.token)));
        ril_msg_free(&msg);
    }
    return tokens;
}

std::vector<int> Range(int first, int count)
{
    std::vector<int> values;
    for (int i = 0; i < count; i++)
        values.push_back(first + i);
    return values;
}

using MailboxTest = CoreTest;

TEST_F(MailboxTest, RingHolds128AndRefusesThe129thUntilOneIsFetched)
{
    sys_mbox* mbox = g_MbimCoreDb.msg_mbox;
    for (int i = 0; i < SYS_MBOX_SIZE; i++)
        ASSERT_EQ(PostRequest(i), 0) << i;
    long held = memutil_live_blocks();
    EXPECT_EQ(PostRequest(999), -11);
    EXPECT_EQ(memutil_live_blocks(), held) << "a refused post leaves nothing behind";
    EXPECT_EQ(mbox->count, SYS_MBOX_SIZE);
    EXPECT_EQ(mbox->read_index, 0);
    EXPECT_EQ(mbox->write_index, SYS_MBOX_SIZE - 1);

    tag_T_RIL_MSG* first = nullptr;
    ASSERT_EQ(sys_mbox_fetch(mbox, &first), 1);
    EXPECT_EQ(first->req.token, TokenPtr(0));
    ril_msg_free(&first);
    EXPECT_EQ(PostRequest(128), 0);
    EXPECT_EQ(PostRequest(129), -11);
    EXPECT_EQ(FetchTokens(mbox), Range(1, 128));
    EXPECT_EQ(mbox->read_index, -1);
    EXPECT_EQ(mbox->write_index, -1);
    EXPECT_EQ(mbox->count, 0);
}

TEST_F(MailboxTest, OrderSurvivesTheWrapFromSlot127ToSlot0)
{
    sys_mbox* mbox = g_MbimCoreDb.msg_mbox;
    for (int i = 0; i < 120; i++)
        ASSERT_EQ(PostRequest(i), 0);
    EXPECT_EQ(FetchTokens(mbox), Range(0, 120));
    // The ring restarts at slot 0 when it runs empty; fill it past the end without emptying it.
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(PostRequest(i), 0);
    tag_T_RIL_MSG* msg = nullptr;
    for (int i = 0; i < 90; i++) {
        ASSERT_EQ(sys_mbox_fetch(mbox, &msg), 1);
        ril_msg_free(&msg);
    }
    for (int i = 100; i < 140; i++)
        ASSERT_EQ(PostRequest(i), 0);
    EXPECT_LT(mbox->write_index, mbox->read_index) << "the ring wrapped";
    EXPECT_EQ(FetchTokens(mbox), Range(90, 50));
    EXPECT_EQ(mbox->read_index, -1);
}

TEST_F(MailboxTest, PostersRefuseWorkWhileTheCoreIsDown)
{
    coretest::StopCore();
    uint8_t bytes[16] = {};
    for (int pass = 0; pass < 2; pass++) {
        ExpectEveryMessagePoster(-1);
        EXPECT_EQ(MBIMCore_post_Message_IOPending(0, sizeof(bytes), bytes, RIL_OUT_TO_HOST, 0), -1);
        EXPECT_EQ(SignalIo(EventKindModemIoAsleep), -1);
        EXPECT_EQ(MBIMCore_check_IOReady(), -2);
        // Again after a start and a stop.
        coretest::StartCore();
        coretest::StopCore();
    }
    coretest::StartCore();
}

TEST_F(MailboxTest, PostersCopyWhatTheyKeepAndRefuseBadArguments)
{
    mdm_cb_param param = {7, reinterpret_cast<uint8_t*>(0x1234)};
    EXPECT_EQ(RilCore_post_mdm_paramsrspcb(0, 0, nullptr, 1, 2, 3, nullptr), -1) << "context 0 would be ignored";
    EXPECT_EQ(RilCore_post_atmsrspcb(0, 3, nullptr, nullptr, 16), -1);
    EXPECT_EQ(RilCore_post_mdmrspcb(0, 0x1FF, nullptr, &param, sizeof(param), 0), 0);

    uint8_t sar[4] = {1, 2, 3, 4};
    EXPECT_EQ(MBIMCore_post_sar_eventControlInput(0, sizeof(sar), sar, 0), 0) << "a query posts without data";
    EXPECT_EQ(MBIMCore_post_sar_eventControlInput(0, sizeof(sar), sar, 1), 0);
    // A set never reads from a null pointer or takes a negative length as a size.
    EXPECT_EQ(MBIMCore_post_sar_eventControlInput(0, 4, nullptr, 1), -1);
    EXPECT_EQ(MBIMCore_post_sar_eventControlInput(0, -1, sar, 2), -1);

    EventControlData record = EventRecord(EventKindModemMessage, 0x1234);
    EXPECT_EQ(MBIMCore_post_eventControlInput(2, &record), 0);

    tag_T_RIL_MSG* msg = nullptr;
    ASSERT_EQ(sys_mbox_fetch(g_MbimCoreDb.msg_mbox, &msg), 1);
    EXPECT_EQ(msg->msg_type, MDMRSPCB_MSG);
    EXPECT_EQ(msg->rspcb.context_id, 0xFF) << "only the low 8 bits travel";
    ASSERT_NE(msg->rspcb.param, nullptr);
    EXPECT_NE(msg->rspcb.param, static_cast<void*>(&param));
    EXPECT_EQ(memcmp(msg->rspcb.param, &param, sizeof(param)), 0);
    ril_msg_free(&msg);

    ASSERT_EQ(sys_mbox_fetch(g_MbimCoreDb.msg_mbox, &msg), 1);
    EXPECT_EQ(msg->msg_type, EVT_INPUT_SAR_MSG);
    EXPECT_EQ(msg->sar.sar_data, nullptr);
    ril_msg_free(&msg);

    ASSERT_EQ(sys_mbox_fetch(g_MbimCoreDb.msg_mbox, &msg), 1);
    ASSERT_NE(msg->sar.sar_data, nullptr);
    sar[0] = 9;
    EXPECT_EQ(static_cast<uint8_t*>(msg->sar.sar_data)[0], 1) << "the data was copied";
    ril_msg_free(&msg);

    ASSERT_EQ(sys_mbox_fetch(g_MbimCoreDb.msg_mbox, &msg), 1);
    EXPECT_EQ(msg->msg_type, EVT_INPUT_MSG);
    EXPECT_EQ(msg->evt.executor_id, 2);
    EXPECT_EQ(EventControlDataLength(&msg->evt.ev_data), 0x1234);
    ril_msg_free(&msg);
}

TEST_F(MailboxTest, OutOfMemoryPostsNothingAndLeavesNothing)
{
    mdm_cb_param param = {};
    uint8_t bytes[8] = {};
    struct Case {
        const char* name;
        int skip; // allocations that succeed before the failing one
        int (*post)(const mdm_cb_param&, const uint8_t*);
    } cases[] = {
        {"request", 0, [](const mdm_cb_param&, const uint8_t*) { return PostRequest(1); }},
        {"rsp message", 0, [](const mdm_cb_param& p, const uint8_t*) {
             return RilCore_post_mdmrspcb(0, 3, nullptr, &p, sizeof(p), 0);
         }},
        {"rsp copy", 1, [](const mdm_cb_param& p, const uint8_t*) {
             return RilCore_post_mdmrspcb(0, 3, nullptr, &p, sizeof(p), 0);
         }},
        {"ind copy", 1, [](const mdm_cb_param& p, const uint8_t*) {
             return RilCore_post_mdmindcb(0, nullptr, &p, sizeof(p), nullptr);
         }},
        {"at copy", 1, [](const mdm_cb_param& p, const uint8_t*) {
             return RilCore_post_atmsrspcb(0, 3, nullptr, &p, sizeof(p));
         }},
        {"sar copy", 1, [](const mdm_cb_param&, const uint8_t* b) {
             return MBIMCore_post_sar_eventControlInput(0, 8, b, 1);
         }},
        {"pending copy", 1, [](const mdm_cb_param&, const uint8_t* b) {
             return MBIMCore_post_Message_IOPending(0, 8, b, RIL_OUT_TO_MODEM, 5);
         }},
    };
    for (const Case& c : cases) {
        long before = memutil_live_blocks();
        memutil_inject_failure(c.skip);
        EXPECT_EQ(c.post(param, bytes), -1) << c.name;
        memutil_inject_failure(-1);
        EXPECT_EQ(memutil_live_blocks(), before) << c.name;
    }
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 0);
    EXPECT_EQ(g_MbimCoreDb.io_mbox->count, 0);
}

TEST_F(MailboxTest, RefusedPostsOfEveryKindLeaveNothing)
{
    for (int i = 0; i < SYS_MBOX_SIZE; i++)
        ASSERT_EQ(PostRequest(i), 0);
    long held = memutil_live_blocks();
    ExpectEveryMessagePoster(-11);
    EXPECT_EQ(memutil_live_blocks(), held);
}

// Parks a host fragment whose first byte is `n` while modem I/O sleeps.
void Park(uint8_t n)
{
    uint8_t bytes[16] = {n};
    ASSERT_EQ(MBIMCore_post_Message_IOPending(1, sizeof(bytes), bytes, RIL_OUT_TO_HOST, 0), 0);
}

// The first bytes of the parked messages that the I/O mailbox hands out, in order.
std::vector<int> FetchParked()
{
    std::vector<int> firsts;
    tag_T_RIL_MSG* msg = nullptr;
    while (sys_mbox_fetch_IO(g_MbimCoreDb.io_mbox, &msg) == 1) {
        firsts.push_back(msg->pending.outbuf[0]);
        ril_msg_free(&msg);
    }
    return firsts;
}

TEST_F(MailboxTest, AsleepIoMailboxLooksEmptyAndReleasesInParkingOrderOnWake)
{
    sys_mbox* io = g_MbimCoreDb.io_mbox;
    EXPECT_EQ(MBIMCore_check_IOReady(), 1);
    EXPECT_EQ(SignalIo(EventKindModemIoAsleep), 0);
    EXPECT_EQ(SignalIo(EventKindModemIoAsleep), 0) << "sleeping twice changes nothing";
    EXPECT_EQ(MBIMCore_check_IOReady(), 0);
    Park(1);
    Park(2);
    Park(3);
    tag_T_RIL_MSG* msg = nullptr;
    EXPECT_EQ(sys_mbox_empty(io), 1);
    EXPECT_EQ(sys_mbox_fetch(io, &msg), 0);
    EXPECT_EQ(sys_mbox_fetch_IO(io, &msg), 0);
    EXPECT_EQ(io->count, 3);

    EXPECT_EQ(SignalIo(7), -11) << "another kind is refused";
    EXPECT_EQ(MBIMCore_check_IOReady(), 0) << "and changes nothing";

    EXPECT_EQ(SignalIo(EventKindModemIoAwake), 0);
    EXPECT_EQ(Mbim_Event_reset(io->event), 1);
    EXPECT_EQ(SignalIo(EventKindModemIoAwake), 0) << "waking twice changes nothing";
    EXPECT_EQ(Mbim_Event_wait(io->event, 0), 0) << "but sets the event again";
    EXPECT_EQ(MBIMCore_check_IOReady(), 1);
    EXPECT_EQ(sys_mbox_empty(io), 0);
    EXPECT_EQ(FetchParked(), (std::vector<int>{1, 2, 3}));
}

// ---- replay --------------------------------------------------------------------------------------

std::vector<coretest::Sent>& ToModem()
{
    return coretest::TheBridge().toModem;
}

std::vector<coretest::Sent>& ToHost()
{
    return coretest::TheBridge().toHost;
}

class ReplayTest : public coretest::BridgeTest {
protected:
    coretest::ModemDriver modem_; // wakes nothing: its notices are not passed on

    // What the worker does with one parked message.
    static int ReplayOne()
    {
        tag_T_RIL_MSG* msg = nullptr;
        if (sys_mbox_fetch_IO(g_MbimCoreDb.io_mbox, &msg) != 1)
            return -100;
        int result = mbim_send_pending_IO_message(msg->pending.executor_id, msg->pending.out_len, msg->pending.outbuf,
                                                  msg->pending.out_type, msg->pending.transaction_id);
        ril_msg_free(&msg);
        return result;
    }
};

TEST_F(ReplayTest, ParkedRequestsGoToTheModemWithTheirTransactionIdAndAnswersToTheHost)
{
    ASSERT_EQ(SignalIo(EventKindModemIoAsleep), 0);
    uint8_t command[20] = {3, 0, 0, 0, 20};
    EXPECT_EQ(RIL_CIDTransportRequest(1, command, sizeof(command), 0x42), -1);
    uint8_t answer[12] = {0x80, 0, 0, 0, 12};
    EXPECT_EQ(Mbim_CIDResponseSend(1, answer, sizeof(answer)), 1);
    EXPECT_TRUE(ToModem().empty());
    EXPECT_TRUE(ToHost().empty());
    EXPECT_EQ(modem_.AwakeNotices(), 2) << "one wake notification per parked message";

    ASSERT_EQ(SignalIo(EventKindModemIoAwake), 0);
    EXPECT_EQ(ReplayOne(), 1);
    EXPECT_EQ(ReplayOne(), 1);
    ASSERT_EQ(ToModem().size(), 1u);
    EXPECT_EQ(ToModem()[0].context, 1);
    EXPECT_EQ(ToModem()[0].route, 1u);
    EXPECT_EQ(ToModem()[0].subType, 1u);
    EXPECT_EQ(ToModem()[0].length, sizeof(command));
    EXPECT_EQ(ToModem()[0].lengthArgument, static_cast<int>(sizeof(command) + 24));
    EXPECT_EQ(ToModem()[0].bytes[8], 0x42) << "the transaction id is written when the request leaves";
    ASSERT_EQ(ToHost().size(), 1u);
    EXPECT_EQ(ToHost()[0].context, 1);
    EXPECT_EQ(ToHost()[0].bytes, std::vector<uint8_t>(answer, answer + sizeof(answer)));
    EXPECT_EQ(ToHost()[0].lengthArgument, static_cast<int>(sizeof(answer) + 24));
}

TEST_F(ReplayTest, AMessageThatFindsIoAsleepAgainKeepsItsPlaceAtTheHead)
{
    ASSERT_EQ(SignalIo(EventKindModemIoAsleep), 0);
    Park(1);
    Park(2);
    Park(3);
    ASSERT_EQ(SignalIo(EventKindModemIoAwake), 0);
    EXPECT_EQ(ReplayOne(), 1);
    // The worker has taken message 2 when modem I/O falls asleep before its sender looks.
    tag_T_RIL_MSG* msg = nullptr;
    ASSERT_EQ(sys_mbox_fetch_IO(g_MbimCoreDb.io_mbox, &msg), 1);
    ASSERT_EQ(SignalIo(EventKindModemIoAsleep), 0);
    EXPECT_EQ(mbim_send_pending_IO_message(msg->pending.executor_id, msg->pending.out_len, msg->pending.outbuf,
                                           msg->pending.out_type, msg->pending.transaction_id),
              1);
    ril_msg_free(&msg);
    Park(4);
    ASSERT_EQ(SignalIo(EventKindModemIoAwake), 0);
    EXPECT_EQ(FetchParked(), (std::vector<int>{2, 3, 4}));
    ASSERT_EQ(ToHost().size(), 1u);
    EXPECT_EQ(ToHost()[0].bytes[0], 1);
}

// ---- posters against the worker -----------------------------------------------------------------

constexpr int kPosters = 3;
constexpr int kPostsEach = 300;
constexpr int kParked = 200;

std::atomic<int> s_served{0};
HANDLE s_allServed = nullptr;

void Serve(sys_mbox* mbox, bool io)
{
    tag_T_RIL_MSG* msg = nullptr;
    while ((io ? sys_mbox_fetch_IO(mbox, &msg) : sys_mbox_fetch(mbox, &msg)) == 1) {
        ril_msg_free(&msg);
        if (s_served.fetch_add(1) + 1 == kPosters * kPostsEach + kParked)
            Mbim_Event_set(s_allServed);
    }
}

// Serves both mailboxes as the worker does: I/O first, wait on {end, I/O, messages}, reset, fetch.
unsigned WINAPI Worker(void* argument)
{
    auto* record = static_cast<os_thread_rec*>(argument);
    HANDLE handles[] = {record->end_event, g_MbimCoreDb.io_mbox->event, g_MbimCoreDb.msg_mbox->event};
    for (;;) {
        Serve(g_MbimCoreDb.io_mbox, true);
        Serve(g_MbimCoreDb.msg_mbox, false);
        int signalled = Mbim_Event_wait_multiple(handles, 3, INFINITE);
        if (signalled == 0)
            return 0;
        if (signalled > 0)
            Mbim_Event_reset(handles[signalled]);
    }
}

// Posts until the mailbox takes the message; `full` runs before each retry.
template <typename Post>
void PostRetrying(Post post, void (*full)() = nullptr)
{
    int result;
    while ((result = post()) == -11) {
        if (full != nullptr)
            full();
        Mbim_sleep(1);
    }
    ASSERT_EQ(result, 0);
}

void Wake()
{
    SignalIo(EventKindModemIoAwake);
}

unsigned WINAPI RequestPoster(void* argument)
{
    int first = static_cast<int>(reinterpret_cast<uintptr_t>(argument));
    for (int i = 0; i < kPostsEach; i++)
        PostRetrying([&] { return PostRequest(first + i); });
    return 0;
}

// Parks output while flipping modem I/O between asleep and awake.
unsigned WINAPI ParkingPoster(void*)
{
    uint8_t bytes[24] = {};
    for (int i = 0; i < kParked; i++) {
        SignalIo(i % 2 ? EventKindModemIoAwake : EventKindModemIoAsleep);
        // A full I/O mailbox drains only while awake.
        PostRetrying([&] { return MBIMCore_post_Message_IOPending(1, sizeof(bytes), bytes, RIL_OUT_TO_HOST, 0); },
                     Wake);
    }
    SignalIo(EventKindModemIoAwake);
    return 0;
}

TEST_F(MailboxTest, PostersOnManyThreadsAgainstTheWorker)
{
    s_served = 0;
    ASSERT_EQ(Mbim_Event_create(nullptr, nullptr, &s_allServed, OS_EVENT_MANUAL_RESET), 0);
    os_thread_rec worker = {};
    ASSERT_EQ(Mbim_Thread_create_with_event("MailboxTestWorker", nullptr, Worker, 0, &worker), 0);
    HANDLE posters[kPosters + 1] = {};
    for (int p = 0; p < kPosters; p++)
        ASSERT_EQ(Mbim_Thread_create(nullptr, RequestPoster, 0, reinterpret_cast<void*>(uintptr_t(p * 1000)),
                                     &posters[p]),
                  0);
    ASSERT_EQ(Mbim_Thread_create(nullptr, ParkingPoster, 0, nullptr, &posters[kPosters]), 0);
    for (HANDLE poster : posters) {
        EXPECT_EQ(Mbim_Event_wait(poster, INFINITE), 0);
        CloseHandle(poster);
    }
    EXPECT_EQ(Mbim_Event_wait(s_allServed, INFINITE), 0);
    EXPECT_EQ(Mbim_Thread_exit(&worker, 0, INFINITE), 0);
    EXPECT_EQ(s_served.load(), kPosters * kPostsEach + kParked);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox->count, 0);
    EXPECT_EQ(g_MbimCoreDb.io_mbox->count, 0);
    Mbim_Event_delete(&s_allServed);
}

} // namespace
