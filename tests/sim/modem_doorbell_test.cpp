// The modem's doorbells in both directions: the host's doorbells pending until the modem takes them and
// heard by the modem's handler; the modem's latched while masked, raising MAC source 4 while unmasked,
// and reaching a driver's service chain through a message and through the line.
#include <gtest/gtest.h>

#include <wdm.h>

#include "modem_host.h"

namespace {

using namespace modemtest;
using namespace sim::modem::doorbell;

constexpr ULONG kSource4 = 1u << 28;

TEST(ModemDoorbell, HostDoorbellIsPendingUntilTheModemTakesIt)
{
    Board board(Config(InterruptMode::Message, kMaxMessages, sim::pci::ExecutionMode::Step));
    Host host(board);
    host.ProgramTranslation();
    std::vector<ULONG> heard;
    board.modem.SetDoorbellHandler([&](ULONG doorbell) { heard.push_back(doorbell); });

    host.Doorbell(kRing, 1u << 14 | 1u << 13);
    host.Doorbell(kNumber, 14);
    EXPECT_EQ(0x6000u, host.Doorbell(kPending));
    EXPECT_EQ(14u, host.Doorbell(kNumber));
    EXPECT_TRUE(heard.empty());
    board.modem.Scheduler().Step();
    EXPECT_EQ(0u, host.Doorbell(kPending));
    EXPECT_EQ((std::vector<ULONG>{13, 14}), heard);
    EXPECT_EQ((std::vector<ULONG>{13, 14}), board.modem.DoorbellsRung());
    EXPECT_EQ(0u, host.Mac(mac::kMsixStatus)) << "the host's doorbells raise nothing on its side";
}

TEST(ModemDoorbell, ModemDoorbellLatchesWhileMaskedAndHoldsSourceFourWhileUnmasked)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    board.modem.RingHost(0x2);
    EXPECT_EQ(0x2u, host.Doorbell(kStatus));
    EXPECT_EQ(0u, host.Mac(mac::kMsixStatus)) << "masked at power-on";
    host.Doorbell(kMaskClear, 0x1803E);
    EXPECT_EQ(kSource4, host.Mac(mac::kMsixStatus));
    host.Mac(mac::kMsixStatus, kSource4);
    EXPECT_EQ(kSource4, host.Mac(mac::kMsixStatus)) << "held while the doorbell is set";
    host.Doorbell(kStatusClear, 0x2);
    EXPECT_EQ(0u, host.Doorbell(kStatus));
    EXPECT_EQ(0u, host.Mac(mac::kMsixStatus));
    board.modem.RingHost(0x1800);
    EXPECT_EQ(0x1800u, host.Doorbell(kStatus));
    EXPECT_EQ(0u, host.Mac(mac::kMsixStatus)) << "bits 11 and 12 still masked";
    host.Doorbell(kMaskSet, 0x2);
    host.Doorbell(kMaskClear, 0x800);
    EXPECT_EQ(kSource4, host.Mac(mac::kMsixStatus));
    EXPECT_EQ(~0x1883Cu, host.Doorbell(kMaskRead));
}

// A driver's chain in small: the service routine masks what it serves (a message: source 4; the line:
// the MAC's output) and defers; the deferred routine reads and clears the doorbells, acknowledges source
// 4 and unmasks.
struct Chain {
    static void Service(Host& host, ULONG)
    {
        Chain& chain = *current;
        host.Mac(chain.message ? mac::kMsixMask : mac::kOutputDisable, chain.message ? kSource4 : 1);
        KeInsertQueueDpc(&chain.dpc, &host, nullptr);
    }

    static void Deferred(PKDPC, PVOID context, PVOID argument, PVOID)
    {
        auto& chain = *static_cast<Chain*>(context);
        auto& host = *static_cast<Host*>(argument);
        ULONG status = host.Doorbell(kStatus);
        chain.seen.push_back(status);
        host.Doorbell(kStatusClear, status);
        if (chain.message) {
            host.Mac(mac::kMsixStatus, kSource4);
            host.Mac(mac::kMsixUnmask, kSource4);
        } else {
            host.Mac(mac::kLegacyStatus, kSource4);
            host.Mac(mac::kOutputDisable, 0);
        }
    }

    explicit Chain(bool message) : message(message)
    {
        KeInitializeDpc(&dpc, Deferred, this);
        current = this;
    }

    static inline Chain* current = nullptr;
    bool message;
    KDPC dpc{};
    std::vector<ULONG> seen;
};

TEST(ModemDoorbell, ModemDoorbellReachesTheDriversChainThroughAMessageAndThroughTheLine)
{
    for (InterruptMode mode : {InterruptMode::Message, InterruptMode::Line}) {
        const bool message = mode == InterruptMode::Message;
        SCOPED_TRACE(message ? "message 28" : "line");
        Board board(Config(mode));
        Host host(board);
        host.ProgramTranslation();
        if (!message)
            host.Mac(mac::kLegacyEnable, 0xFF77FFFF);
        host.Doorbell(kMaskClear, 0x7801);
        Chain chain(message);
        host.Connect(Chain::Service);
        const ULONG vector = message ? 28 : 0;

        board.modem.RingHost(1u << kResourceGrant);
        host::ClockAdvance(0);
        EXPECT_EQ(1, host.Runs(vector));
        EXPECT_EQ((std::vector<ULONG>{0x1}), chain.seen);

        // Rung while masked: latched, and served once unmasked.
        board.modem.RingHost(0x2);
        host::ClockAdvance(0);
        EXPECT_EQ(1, host.Runs(vector));
        host.Doorbell(kMaskClear, 0x2);
        host::ClockAdvance(0);
        EXPECT_EQ(2, host.Runs(vector));
        board.modem.RingHost(1u << kSuspendAck1 | 1u << kResumeAck1);
        host::ClockAdvance(0);
        EXPECT_EQ(3, host.Runs(vector));
        EXPECT_EQ((std::vector<ULONG>{0x1, 0x2, 0x1800}), chain.seen);
        EXPECT_EQ(host.Runs(vector), host.TotalRuns());
        EXPECT_EQ(0u, host.Mac(mac::kMsixStatus));
    }
}

} // namespace
