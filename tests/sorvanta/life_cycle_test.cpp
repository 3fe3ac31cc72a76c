// The RIL core's start and stop: the radio table, restarts, failed starts, stops with work still
// queued or a worker that does not end, posts racing the stop; and the modem life-cycle hooks.
#include "decode.h"
#include "host_test.h"
#include "modem_hooks.h"
#include "running_core.h"

#include <host/sync.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string.h>

namespace {

using coretest::RunningCoreTest;
using coretest::Settle;
using coretest::Token;

int PostOneRequest()
{
    return RilCore_post_request(0, 1, 1, 0, nullptr, 0, Token(1));
}

// The front calls RIL_close for a core that never started, and RIL_init at every open.
class LifeCycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        baseline_ = memutil_live_blocks();
        frontdouble::Reset();
    }
    void TearDown() override { coretest::StopAndCheck(baseline_); }
    long baseline_ = 0;
};

TEST_F(LifeCycleTest, StartsAndStopsTwiceWithTheSameTable)
{
    RIL_close(0); // never started: harmless
    EXPECT_EQ(PostOneRequest(), -1);
    EXPECT_EQ(MBIMCore_check_IOReady(), -2);

    RadioCallbacks* first = RIL_init(frontdouble::Env(), 0, 0, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->version, 11u);
    EXPECT_EQ(first->radio_parameters.numofexecutors, 1u);
    EXPECT_EQ(first->radio_parameters.phySlot[0], -1);
    EXPECT_EQ(first->GetRadioState(0), 0);
    EXPECT_EQ(first->IsRequestSupported(1234), 1);
    EXPECT_EQ(first->GetVersionString(), nullptr);
    EXPECT_EQ(g_MbimCoreDb.s_ril_init.load(), 1);
    EXPECT_EQ(MBIMCore_check_IOReady(), 1) << "modem I/O starts awake";
    EXPECT_EQ(PostOneRequest(), 0);
    Settle();
    EXPECT_EQ(frontdouble::Completions().size(), 1u) << "the request was served (not supported)";

    RIL_close(0);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox, nullptr);
    EXPECT_EQ(g_MbimCoreDb.io_mbox, nullptr);
    EXPECT_EQ(g_MbimCoreDb.worker.thread, nullptr);
    EXPECT_EQ(PostOneRequest(), -1);
    EXPECT_EQ(first->radio_parameters.numofexecutors, 1u) << "a stop keeps the executor count";

    RadioCallbacks* second = RIL_init(frontdouble::Env(), 0, 0, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->radio_parameters.numofexecutors, 1u);
    EXPECT_EQ(PostOneRequest(), 0);
    Settle();
    EXPECT_EQ(frontdouble::Completions().size(), 2u);
}

TEST_F(LifeCycleTest, ASecondStartWithoutAStopIsRefusedAndTheCoreRunsOn)
{
    RadioCallbacks* table = RIL_init(frontdouble::Env(), 0, 0, nullptr);
    sys_mbox* mailbox = g_MbimCoreDb.msg_mbox;
    EXPECT_EQ(RIL_init(frontdouble::Env(), 0, 0, nullptr), table);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox, mailbox);
    EXPECT_EQ(table->radio_parameters.numofexecutors, 1u);
    EXPECT_EQ(PostOneRequest(), 0);
}

// A start that fails leaves the core down, and a down core reports no executor, also after an earlier
// successful start (so the front opens nothing that would lose every request).
TEST_F(LifeCycleTest, AFailedStartLeavesTheCoreDownWithNoExecutor)
{
    RIL_init(frontdouble::Env(), 0, 0, nullptr);
    RIL_close(0);
    struct Case {
        const char* what;
        void (*inject)();
    } cases[] = {
        {"mailbox event", [] { host::FailNextCreations(host::Creation::Event, 1); }},
        {"worker thread", [] { host::FailNextCreations(host::Creation::Thread, 1); }},
        {"mailbox memory", [] { memutil_inject_failure(0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.inject();
        RadioCallbacks* table = RIL_init(frontdouble::Env(), 0, 0, nullptr);
        host::FailNextCreations(host::Creation::Event, 0);
        host::FailNextCreations(host::Creation::Thread, 0);
        memutil_inject_failure(-1);
        ASSERT_NE(table, nullptr) << "the table is returned all the same";
        EXPECT_EQ(g_MbimCoreDb.s_ril_init.load(), 0);
        EXPECT_EQ(table->radio_parameters.numofexecutors, 0u);
        EXPECT_EQ(PostOneRequest(), -1);
        EXPECT_FALSE(mdmril_worker_alive());
        EXPECT_EQ(memutil_live_blocks(), baseline_);
        RIL_close(0);
    }
    EXPECT_EQ(RIL_init(frontdouble::Env(), 0, 0, nullptr)->radio_parameters.numofexecutors, 1u)
        << "the next start works";
}

// ---- stops with work left ------------------------------------------------------------------------

using StopTest = RunningCoreTest;

TEST_F(StopTest, AStopFreesQueuedRequestsAndParkedMessagesUnhandled)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    uint8_t answer[16] = {0x80};
    ASSERT_EQ(Mbim_CIDResponseSend(0, answer, sizeof(answer)), 1) << "parked";
    for (uintptr_t t = 10; t < 13; t++)
        Request(1, 1, Token(t));
    ASSERT_EQ(coretest::HostCommand(coretest::MbimMessage(3, 40)), 0);

    HANDLE closer = hosttest::StartThread([] { RIL_close(0); });
    Settle(); // the closer waits for the worker, the worker for the latch
    LONGLONG before = host::ClockNow();
    latch.Release();
    hosttest::JoinThread(closer);

    EXPECT_LT(host::ClockNow() - before, 10000LL * 10000) << "the worker ended at once";
    EXPECT_TRUE(frontdouble::Completions().empty()) << "queued requests are not completed";
    EXPECT_EQ(frontdouble::IoControls().size(), 1u) << "only the latch's command was handed on";
    EXPECT_TRUE(coretest::TheBridge().toHost.empty()) << "parked answers are not sent";
    EXPECT_EQ(coretest::LinesWith("parked messages discarded unsent").size(), 1u);
}

// A worker still inside a hand-off after 10 s is handed the mailboxes; it frees them when it ends.
TEST_F(StopTest, AWorkerThatOutlivesTheStopReleasesTheMailboxesItself)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    Request(1, 1, Token(7));
    LONGLONG before = host::ClockNow();
    RIL_close(0);
    EXPECT_EQ(host::ClockNow() - before, 10000LL * 10000) << "the stop waits 10 s";
    EXPECT_TRUE(mdmril_worker_alive());
    EXPECT_EQ(g_MbimCoreDb.msg_mbox, nullptr);
    EXPECT_EQ(PostOneRequest(), -1);

    RadioCallbacks* restarted = RIL_init(frontdouble::Env(), 0, 0, nullptr);
    EXPECT_EQ(restarted->radio_parameters.numofexecutors, 0u) << "no start while the old worker runs";
    RIL_close(0);

    latch.Release();
    Settle();
    EXPECT_FALSE(mdmril_worker_alive());
    EXPECT_EQ(coretest::CountLines("releasing the mailboxes handed over"), 1u);
    EXPECT_TRUE(frontdouble::Completions().empty());
    EXPECT_EQ(memutil_live_blocks(), baseline_);

    EXPECT_EQ(RIL_init(frontdouble::Env(), 0, 0, nullptr)->radio_parameters.numofexecutors, 1u);
}

// Posts from another thread while the core stops: each either lands in a mailbox that the stop then
// drains, or is refused; none reaches a freed mailbox (the sanitizers watch) and none is leaked.
TEST_F(StopTest, PostsRacingTheStopNeverReachAFreedMailbox)
{
    std::atomic<int> posted{0};
    HANDLE poster = hosttest::StartThread([&posted] {
        EventControlData record = coretest::EventRecord(3);
        for (;;) {
            int a = MBIMCore_post_eventControlInput(0, &record);
            int b = MBIMCore_check_IOReady();
            if (a != 0 && b == -2)
                break;
            posted += a == 0;
        }
    });
    RIL_close(0);
    hosttest::JoinThread(poster);
    EXPECT_EQ(g_MbimCoreDb.msg_mbox, nullptr);
}

// ---- requests the core cannot take ---------------------------------------------------------------

TEST_F(LifeCycleTest, ARequestTheCoreCannotTakeIsCompletedAsFailed)
{
    RadioCallbacks* table = RIL_init(frontdouble::Env(), 0, 0, nullptr);
    RIL_close(0);
    table->SendRequest(0, 1, 1, 0, nullptr, 0, Token(5));
    table->SendRequest(0, 1, 100, 0, nullptr, 0, Token(6)); // the front's own OPEN: never completed here
    std::vector<frontdouble::CompleteCall> calls = frontdouble::Completions();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].token, Token(5));
    EXPECT_EQ(calls[0].error, RIL_E_GENERIC_FAILURE);
    EXPECT_TRUE(calls[0].response.empty());
}

TEST_F(LifeCycleTest, ARequestRefusedByAFullMailboxIsCompletedAsFailed)
{
    coretest::WorkerLatch latch;
    RIL_init(frontdouble::Env(), 0, 0, nullptr);
    coretest::ResetAndRegisterBridge();
    latch.Hold();
    for (int i = 0; i < SYS_MBOX_SIZE; i++)
        ASSERT_EQ(PostOneRequest(), 0);
    RilCore_send_request_toSelf(0, 1, 1, 0, nullptr, 0, Token(99));
    std::vector<frontdouble::CompleteCall> calls = frontdouble::Completions();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].token, Token(99));
    EXPECT_EQ(calls[0].error, RIL_E_GENERIC_FAILURE);
    latch.Release();
    Settle();
    EXPECT_EQ(frontdouble::Completions().size(), 1u + SYS_MBOX_SIZE);
}

// ---- modem life-cycle hooks ----------------------------------------------------------------------

TEST(ModemHooksTest, InitSetsOneExecutorAndTheStartStates)
{
    uint32_t executors = 0;
    EXPECT_EQ(modem_init(&executors), 0);
    EXPECT_EQ(executors, 1u);
    EXPECT_EQ(get_radio_state(0), 0u);
    EXPECT_EQ(get_sim_state(0), 7u);
    set_radio_state(1, 5);
    EXPECT_EQ(get_radio_state(0), 0u) << "only executor 0 exists";
    EXPECT_EQ(get_radio_state(1), 0u);
    EXPECT_EQ(modem_state_sim_ready(0), 0);
    EXPECT_EQ(get_radio_state(0), 10u);
    EXPECT_EQ(get_sim_state(0), 2u);
    modem_shutdown(0);
    EXPECT_EQ(get_radio_state(0), 0u);
}

TEST(DecodeTest, BcdDigitsStopAtTheirEndNibbles)
{
    struct Case {
        std::vector<uint8_t> bytes;
        int8_t length;
        const char* expected;
        int result;
    } cases[] = {
        {{0x12, 0x3A}, 2, "123*", 1}, {{0x21, 0xF3}, 2, "21", 0}, {{0x9C}, 1, "9", 1},
        {{0xB0}, 1, "#0", 1},         {{0x12}, -1, "", 1},        {{0x45, 0xD6}, 2, "45", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        char output[8];
        memset(output, '~', sizeof(output));
        EXPECT_EQ(decode_bcd_digits(c.bytes.data(), c.length, output), c.result);
        size_t n = strlen(c.expected);
        EXPECT_EQ(std::string(output, n), c.expected);
        EXPECT_EQ(output[n], '~') << "nothing written behind the digits, no NUL";
    }
}

} // namespace
