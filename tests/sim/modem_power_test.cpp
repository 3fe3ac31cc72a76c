// The modem's power responder: the resource grant that follows the host's request, the answer to
// doorbell 3, the suspend and resume handshakes with their messages, and the slow and silent modem the
// host's time-outs are for.
#include <gtest/gtest.h>

#include <wdm.h>

#include "modem_host.h"

namespace {

using namespace modemtest;
using namespace sim::modem::doorbell;

// Polls the grant as the driver does: every 100 us for at most 10 ms. The time it took, or -1. (A
// deadline the test shares with the modem may be seen either side of the modem's action, so checks are
// made past the modem's delays, not at them.)
LONGLONG PollGrant(Host& host)
{
    for (LONGLONG waited = Us(100); waited <= Milliseconds(10); waited += Us(100)) {
        host::ClockAdvance(Us(100));
        if ((host.Mac(mac::kGrant) & mac::kGrantValue) == mac::kGrantValue)
            return waited;
    }
    return -1;
}

void Ring(Host& host, ULONG doorbell)
{
    host.Doorbell(kRing, 1u << doorbell);
    host.Doorbell(kNumber, doorbell);
}

TEST(ModemPower, GrantFollowsEitherRequestAndGoesWhenBothDrop)
{
    struct Request {
        const char* name;
        ULONG setOffset, setValue, dropOffset, dropValue;
    };
    const Request requests[] = {
        {"0xE50 bit 1", mac::kPowerSet, mac::kPowerResourceBit, mac::kPowerClear, mac::kPowerResourceBit},
        {"0x348 bit 7", mac::kResourceRequest, mac::kResourceRequestBit, mac::kResourceRequest, 0},
    };
    Board board;
    Host host(board);
    for (const Request& r : requests) {
        SCOPED_TRACE(r.name);
        host.Mac(r.setOffset, r.setValue);
        EXPECT_EQ(0u, host.Mac(mac::kGrant)) << "not at once";
        LONGLONG waited = PollGrant(host);
        EXPECT_GT(waited, 0);
        EXPECT_LE(waited, board.modem.Config().timing.grant + Us(100)) << "by the first poll after the delay";
        host.Mac(r.dropOffset, r.dropValue);
        EXPECT_EQ(0u, host.Mac(mac::kGrant));
    }
    // Both held: dropping one keeps the grant.
    host.Mac(mac::kPowerSet, mac::kPowerResourceBit);
    host.Mac(mac::kResourceRequest, mac::kResourceRequestBit);
    ASSERT_GT(PollGrant(host), 0);
    host.Mac(mac::kPowerClear, mac::kPowerResourceBit);
    host::ClockAdvance(Milliseconds(5));
    EXPECT_EQ(mac::kGrantValue, host.Mac(mac::kGrant));
}

TEST(ModemPower, DoorbellThreeIsAnsweredWithDoorbellZeroOnceGranted)
{
    Board board(Config(InterruptMode::Message, kMaxMessages, sim::pci::ExecutionMode::Step));
    Host host(board);
    host.ProgramTranslation();
    host.Mac(mac::kResourceRequest, mac::kResourceRequestBit);
    Ring(host, kResourceRequest);
    board.modem.Scheduler().Step();
    EXPECT_EQ(0u, host.Doorbell(kPending)) << "taken";
    EXPECT_EQ(0u, host.Doorbell(kStatus)) << "not granted yet";
    host::ClockAdvance(board.modem.Config().timing.grant);
    board.modem.Scheduler().Step();
    EXPECT_EQ(mac::kGrantValue, host.Mac(mac::kGrant));
    EXPECT_EQ(1u << kResourceGrant, host.Doorbell(kStatus));

    // Granted already: answered as soon as it is taken.
    host.Doorbell(kStatusClear, 1u << kResourceGrant);
    Ring(host, kResourceRequest);
    board.modem.Scheduler().Step();
    EXPECT_EQ(1u << kResourceGrant, host.Doorbell(kStatus));
    EXPECT_EQ((std::vector<ULONG>{kResourceRequest, kResourceRequest}), board.modem.DoorbellsRung());
}

// The host's sequences: a suspend (grant, message, doorbells 9 and 11, both acknowledgements, release),
// then a resume (grant, message, doorbells 10 and 12, both acknowledgements).
TEST(ModemPower, SuspendAndResumeHandshakesComplete)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    host.Doorbell(kMaskClear, 0x7801);
    const LONGLONG answer = board.modem.Config().timing.answer;
    struct Phase {
        ULONG message, first, second, ack1, ack2;
    };
    const Phase phases[] = {
        {0x53550001, kSuspend1, kSuspend2, kSuspendAck1, kSuspendAck2},
        {0x52450002, kResume1, kResume2, kResumeAck1, kResumeAck2},
    };
    for (const Phase& p : phases) {
        SCOPED_TRACE(testing::Message() << std::hex << p.message);
        host.Mac(mac::kPowerSet, mac::kPowerResourceBit);
        ASSERT_GT(PollGrant(host), 0);
        host.Doorbell(kMessage, p.message);
        Ring(host, p.first);
        Ring(host, p.second);
        host::ClockAdvance(answer - 1);
        EXPECT_EQ(0u, host.Doorbell(kStatus)) << "not before the answer delay";
        host::ClockAdvance(2);
        EXPECT_EQ(1u << p.ack1 | 1u << p.ack2, host.Doorbell(kStatus));
        EXPECT_EQ(0x10000000u, host.Mac(mac::kMsixStatus) & 0x10000000) << "source 4";
        host.Doorbell(kStatusClear, 1u << p.ack1 | 1u << p.ack2);
        host.Mac(mac::kPowerClear, mac::kPowerResourceBit);
        EXPECT_EQ(0u, host.Mac(mac::kGrant));
    }
}

TEST(ModemPower, PowerDoorbellWithoutItsMessageIsNotAcknowledged)
{
    struct Case {
        ULONG message, doorbell;
    };
    const Case cases[] = {{0x52450001, kSuspend1}, {0x52450001, kSuspend2}, {0x53550001, kResume1},
                          {0x53550001, kResume2},  {0, kSuspend1},          {0x12345678, kResume2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.message << " " << std::dec << c.doorbell);
        Board board;
        Host host(board);
        host.ProgramTranslation();
        host.Doorbell(kMessage, c.message);
        Ring(host, c.doorbell);
        host::ClockAdvance(Milliseconds(100));
        EXPECT_EQ(0u, host.Doorbell(kStatus));
        EXPECT_EQ(0u, host.Doorbell(kPending)) << "taken all the same";
    }
}

TEST(ModemPower, SlowModemAnswersPastTheHostsWaitsAndASilentOneNever)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    const Timing& timing = board.modem.Config().timing;

    board.modem.SetPowerMode(PowerMode::Slow);
    host.Mac(mac::kPowerSet, mac::kPowerResourceBit);
    EXPECT_EQ(-1, PollGrant(host)) << "past the 10 ms poll";
    host::ClockAdvance(timing.slowGrant);
    EXPECT_EQ(mac::kGrantValue, host.Mac(mac::kGrant));
    host.Doorbell(kMessage, 0x53550001);
    Ring(host, kSuspend1);
    host::ClockAdvance(Milliseconds(1500));
    EXPECT_EQ(0u, host.Doorbell(kStatus)) << "past the 1500 ms wait";
    host::ClockAdvance(timing.slowAnswer);
    EXPECT_EQ(1u << kSuspendAck1, host.Doorbell(kStatus));
    host.Mac(mac::kPowerClear, mac::kPowerResourceBit);
    host.Doorbell(kStatusClear, ~0u);

    board.modem.SetPowerMode(PowerMode::Silent);
    board.modem.ClearDoorbellsRung();
    host.Mac(mac::kResourceRequest, mac::kResourceRequestBit);
    Ring(host, kResourceRequest);
    Ring(host, kSuspend2);
    host::ClockAdvance(Milliseconds(5000));
    EXPECT_EQ(0u, host.Mac(mac::kGrant));
    EXPECT_EQ(0u, host.Doorbell(kStatus));
    EXPECT_EQ(1u << kResourceRequest | 1u << kSuspend2, host.Doorbell(kPending)) << "never taken";
    EXPECT_EQ((std::vector<ULONG>{kResourceRequest, kSuspend2}), board.modem.DoorbellsRung()) << "seen all the same";

    // Awake again: the request still up is granted.
    board.modem.SetPowerMode(PowerMode::Normal);
    EXPECT_GT(PollGrant(host), 0);
}

} // namespace
