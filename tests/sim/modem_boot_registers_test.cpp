// The registers the host's boot code touches: the boot status with the host's mark, the MAC window read
// whole without side effects, the host doorbells' pending state, the reset unit's interrupt register
// with MAC source 6, and the subsystem vendor id in configuration space.
#include <gtest/gtest.h>

#include "modem_host.h"

namespace {

using namespace modemtest;
using sim::pci::ExecutionMode;

constexpr ULONG kSource6 = 1u << 30;

TEST(ModemBootRegisters, BootStatusHostWritesOnlyItsMarkAndTheModemNeverTouchesIt)
{
    Board board;
    Host host(board);
    board.modem.SetBootStatus(3u << 26 | 0x0041); // reset type 3, boot ROM
    host.Mac(mac::kBootStatus, 0x2FFFFFFF);
    EXPECT_EQ(0x2C000041u, host.Mac(mac::kBootStatus));
    board.modem.SetBootStatus(0x0004, 0xFFFF);
    EXPECT_EQ(0x2C000004u, host.Mac(mac::kBootStatus)) << "the low half alone";
    board.modem.SetBootStatus(0xFFFFFFFF);
    EXPECT_EQ(0x2FFFFFFFu, host.Mac(mac::kBootStatus)) << "the mark stays the host's";
    board.modem.SetLinkDown(true);
    EXPECT_EQ(0xFFFFFFFFu, host.Mac(mac::kBootStatus));
    EXPECT_EQ(0x2FFFFFFFu, board.modem.MacRegister(mac::kBootStatus));
}

// A register dump reads every word of the MAC's window: nothing it reads may change.
TEST(ModemBootRegisters, WholeMacWindowReadsWithoutSideEffects)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    host.Mac(mac::kPowerSet, mac::kPowerResourceBit);
    host::ClockAdvance(Milliseconds(2));
    board.modem.RaiseStatus(0x3);
    board.modem.RingHost(0x20);
    board.modem.AssertReset();
    board.modem.SetBootStatus(0x0103);
    board.modem.ClearWrites();

    auto dump = [&] {
        std::vector<ULONG> words;
        for (ULONG offset = 0; offset < kMacWindowSize; offset += 4)
            words.push_back(host.Mac(offset));
        return words;
    };
    const auto first = dump();
    EXPECT_EQ(first, dump());
    EXPECT_TRUE(board.modem.Writes().empty());
    EXPECT_EQ(0x3u | kSource6, board.modem.MacRegister(mac::kMsixStatus) & (0x3 | kSource6));
    EXPECT_EQ(mac::kGrantValue, first[mac::kGrant / 4]);
    EXPECT_EQ(0x0103u, first[mac::kBootStatus / 4]);
    EXPECT_EQ(0x20u, host.Doorbell(doorbell::kStatus));
    EXPECT_EQ(kRguResetPending, host.Window(kRguOffset));
}

// The host's doorbells show as pending until the modem takes them, bits 15 and 16 never; the stop
// doorbell 13 is taken like the others.
TEST(ModemBootRegisters, HostDoorbellsPendingUntilTakenAndBits15And16ReadClear)
{
    Board board(Config(InterruptMode::Message, kMaxMessages, ExecutionMode::Step));
    Host host(board);
    host.ProgramTranslation();
    std::vector<ULONG> heard;
    board.modem.SetDoorbellHandler([&](ULONG doorbell) { heard.push_back(doorbell); });
    host.Doorbell(doorbell::kRing, 1u << 1 | 1u << 2 | 1u << 13 | 1u << 15 | 1u << 16);
    EXPECT_EQ(1u << 1 | 1u << 2 | 1u << 13, host.Doorbell(doorbell::kPending));
    board.modem.Scheduler().Step();
    EXPECT_EQ(0u, host.Doorbell(doorbell::kPending));
    EXPECT_EQ((std::vector<ULONG>{1, 2, 13, 15, 16}), heard);
}

// The reset interrupt holds source 6 until the host writes the reset unit's register back; a write of
// anything else, or of the value while nothing waits, acknowledges nothing.
TEST(ModemBootRegisters, ResetInterruptHeldUntilTheHostWritesTheRegisterBack)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    int heard = 0;
    board.modem.SetResetHandler([&] { heard++; });
    EXPECT_EQ(0u, host.Window(kRguOffset));
    host.Window(kRguOffset, kRguResetPending);
    EXPECT_EQ(0u, board.modem.ResetAcknowledgements()) << "nothing waited";

    board.modem.AssertReset();
    EXPECT_EQ(kSource6, host.Mac(mac::kMsixStatus) & kSource6);
    host.Mac(mac::kMsixStatus, kSource6);
    EXPECT_EQ(kSource6, host.Mac(mac::kMsixStatus) & kSource6) << "held while the reset waits";
    const ULONG value = host.Window(kRguOffset);
    EXPECT_EQ(kRguResetPending, value);
    host.Window(kRguOffset, 0);
    EXPECT_EQ(kRguResetPending, host.Window(kRguOffset));
    host.Window(kRguOffset, value);
    EXPECT_EQ(0u, host.Window(kRguOffset));
    host.Mac(mac::kMsixStatus, kSource6);
    EXPECT_EQ(0u, host.Mac(mac::kMsixStatus) & kSource6);
    EXPECT_EQ(1u, board.modem.ResetAcknowledgements());
    EXPECT_EQ(1, heard);

    board.modem.AssertReset();
    board.function.SetPowerState(sim::pci::PowerState::D3Cold);
    board.function.SetPowerState(sim::pci::PowerState::D0);
    host.ProgramTranslation();
    EXPECT_EQ(0u, host.Window(kRguOffset)) << "gone with the power";
}

TEST(ModemBootRegisters, SubsystemVendorIdAtOffset0x2CSettableAndKeptThroughResets)
{
    auto ssvid = [](Board& board) {
        USHORT value = 0;
        EXPECT_EQ(2u, board.function.ReadConfig(sim::pci::reg::kSubsystemVendor, &value, 2));
        return value;
    };
    Board board;
    EXPECT_EQ(kVendorId, ssvid(board));
    EXPECT_EQ(kDeviceId, board.function.PeekConfig(sim::pci::reg::kDevice, 2));
    board.modem.SetSubsystemVendorId(0x17AA);
    EXPECT_EQ(0x17AA, ssvid(board));
    ASSERT_EQ(STATUS_SUCCESS, board.function.FunctionLevelReset({}));
    EXPECT_EQ(0x17AA, ssvid(board));
    board.function.SetPowerState(sim::pci::PowerState::D3Cold);
    board.function.SetPowerState(sim::pci::PowerState::D0);
    EXPECT_EQ(0x17AA, ssvid(board));

    ModemConfig config;
    config.subsystemVendorId = 0x1CF8;
    Board other(config);
    EXPECT_EQ(0x1CF8, ssvid(other));
}

} // namespace
