// AT answers and unsolicited AT results through the RIL worker, and the one-shot timer task.
#include "at_tunnel.h"
#include "ril_ctxt.h"
#include "running_core.h"

#include <host/sync.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using coretest::CountLines;
using coretest::Settle;
using coretest::Token;

using AtTunnelTest = coretest::RunningCoreTest;

// The caller's text lives in a block of exactly its length, freed as soon as the post returns: the
// worker must neither write its NUL there nor read it later (the sanitizers watch).
void Answer(int context_id, const std::string& text)
{
    std::unique_ptr<char[]> block(new char[text.size()]);
    memcpy(block.get(), text.data(), text.size());
    ATEncapsulatedRspCb(0, context_id, block.get(), static_cast<uint32_t>(text.size()));
}

TEST_F(AtTunnelTest, AnAnswerCompletesItsRequestWithTheText)
{
    struct Case {
        std::string text;
        const char* fewChars; // null: no such line
    } cases[] = {{"A", nullptr}, {"OK\r", "resp few chars: OK"}, {"+CSQ: 9", "resp few chars: +CSQ"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        frontdouble::Reset();
        Clear();
        int id = mdmril_get_free_ctxt_id(Token(0x42));
        Answer(id, c.text);
        Settle();
        std::vector<frontdouble::CompleteCall> calls = frontdouble::Completions();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].token, Token(0x42));
        EXPECT_EQ(calls[0].error, RIL_E_SUCCESS);
        EXPECT_EQ(std::string(calls[0].response.begin(), calls[0].response.end()), c.text);
        EXPECT_EQ(CountLines("resp few chars"), c.fewChars ? 1u : 0u);
        EXPECT_EQ(CountLines("resp few bytes"), c.fewChars ? 1u : 0u);
        if (c.fewChars != nullptr) {
            EXPECT_EQ(CountLines(c.fewChars), 1u);
        }
        EXPECT_EQ(rilreq_state_info[id].entry_in_use, 0);
    }
}

TEST_F(AtTunnelTest, AnAnswerWithoutTextFailsItsRequest)
{
    int id = mdmril_get_free_ctxt_id(Token(0x43));
    ATEncapsulatedRspCb(0, id, nullptr, 0);
    Settle();
    std::vector<frontdouble::CompleteCall> calls = frontdouble::Completions();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].error, RIL_E_GENERIC_FAILURE);
    EXPECT_EQ(calls[0].response, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST_F(AtTunnelTest, AnAnswerForAReleasedContextIsDropped)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    int id = mdmril_get_free_ctxt_id(Token(0x44));
    Answer(id, "OK");
    ril_free_context_and_return(id);
    latch.Release();
    Settle();
    EXPECT_TRUE(frontdouble::Completions().empty());
    EXPECT_EQ(CountLines("mdmril_rspcb_handler-- invalidating ctxt id"), 1u);
}

// Unsolicited results need no context: each one in flight is served and none leaves the core.
TEST_F(AtTunnelTest, UnsolicitedResultsAreTracedAndGoNowhere)
{
    coretest::WorkerLatch latch;
    latch.Hold();
    EXPECT_EQ(ATEncapsulatedNtfCb(0, "RING", 4), 0);
    EXPECT_EQ(ATEncapsulatedNtfCb(0, "+CREG: 1", 8), 0);
    EXPECT_EQ(rilreq_state_info[0].entry_in_use, 0) << "the caller's thread leaves the table alone";
    latch.Release();
    Settle();
    EXPECT_EQ(CountLines("RilATEncapsulatedNtfCb: AT URC received"), 2u);
    EXPECT_EQ(CountLines("Sent AT URC to MBIM_CID_RVAD_ATTUNNEL"), 2u);
    EXPECT_TRUE(frontdouble::Unsolicited().empty());
    EXPECT_TRUE(frontdouble::Completions().empty());
}

TEST(AtTunnelDownTest, PostsFailCleanlyWhileTheCoreIsDown)
{
    long baseline = memutil_live_blocks();
    EXPECT_EQ(ATEncapsulatedNtfCb(0, "RING", 4), -1);
    ATEncapsulatedRspCb(0, 3, "OK", 2);
    EXPECT_EQ(memutil_live_blocks(), baseline);
}

// ---- timer task ----------------------------------------------------------------------------------

using TimerTaskTest = tracetest::TraceTest;

TEST_F(TimerTaskTest, OneSleepPerArmAndAZeroPeriodEndsTheTask)
{
    ASSERT_EQ(CreateTimerTask(), 0);
    Settle();
    LONGLONG start = host::ClockNow();
    MdmRilSetTimer(20, 0);
    Settle(); // the task sleeps its period
    host::ClockAdvance(20 * 10000);
    Settle();
    EXPECT_EQ(host::ClockNow() - start, 20 * 10000);
    EXPECT_EQ(CountLines("TimerCallbackHandler++"), 1u);

    MdmRilSetTimer(0, 0);
    Settle();
    EXPECT_EQ(coretest::CountExactLines("TimerTask--\n"), 1u) << "a zero period ends the task";
    LONGLONG beforeRemove = host::ClockNow();
    RemoveTimerTask();
    EXPECT_EQ(host::ClockNow(), beforeRemove);
    EXPECT_EQ(CountLines("TimerCallbackHandler++"), 1u);
}

TEST_F(TimerTaskTest, RemovingARunningTaskEndsIt)
{
    ASSERT_EQ(CreateTimerTask(), 0);
    RemoveTimerTask();
    EXPECT_EQ(coretest::CountExactLines("TimerTask--\n"), 1u);
    EXPECT_EQ(CountLines("RemoveTimerTask--: Timer Thread terminated"), 1u);
}

TEST_F(TimerTaskTest, ACreationThatFailsLeavesNothing)
{
    host::FailNextCreations(host::Creation::Event, 1);
    EXPECT_EQ(CreateTimerTask(), -1);
    host::FailNextCreations(host::Creation::Thread, 1);
    EXPECT_EQ(CreateTimerTask(), -1);
    EXPECT_EQ(CountLines("CreateTimerTask--: Event Create failed"), 1u);
    EXPECT_EQ(CountLines("CreateTimerTask--: Event Thread failed"), 1u);
    RemoveTimerTask(); // nothing to end
}

} // namespace
