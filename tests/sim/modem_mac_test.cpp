// The modem's PCIe MAC seen from the host: one status word and one mask word through two register sets,
// message delivery by status bit modulo the vector count, the level-triggered line, the address
// translation that opens the modem window and carries the modem's DMA, power loss, link down and the
// write log.
#include <gtest/gtest.h>

#include <host/dma.h>
#include <wdm.h>

#include "host_test.h"
#include "modem_host.h"

namespace {

using namespace modemtest;
using namespace sim::modem::mac;

constexpr ULONG kDoorbellBit = 1u << 28;

TEST(ModemMac, StatusIsOneWordClearedByWritingOnesAtEitherAddress)
{
    Board board;
    Host host(board);
    board.modem.RaiseStatus(0x30000081);
    EXPECT_EQ(0x30000081u, host.Mac(kLegacyStatus));
    EXPECT_EQ(0x30000081u, host.Mac(kMsixStatus));

    host.Mac(kLegacyStatus, 0x00000001);
    EXPECT_EQ(0x30000080u, host.Mac(kMsixStatus)) << "only the written bit";
    host.Mac(kMsixStatus, 0x10000000);
    EXPECT_EQ(0x20000080u, host.Mac(kLegacyStatus));
    host.Mac(kLowStatusClear, 0xFFFFFFFF);
    EXPECT_EQ(0x20000000u, host.Mac(kLegacyStatus)) << "0x3CC reaches bits 0-7 only";

    // A source's level holds its bit: clearing it while the level is up leaves it set.
    board.modem.SetSourceLevel(kSourceCldmaSap, true);
    host.Mac(kMsixStatus, 0x22000000);
    EXPECT_EQ(0x02000000u, host.Mac(kMsixStatus));
    board.modem.SetSourceLevel(kSourceCldmaSap, false);
    EXPECT_EQ(0u, host.Mac(kMsixStatus));
}

TEST(ModemMac, MaskIsOneWordSetAndClearedThroughEitherRegisterSet)
{
    Board board;
    Host host(board);
    EXPECT_EQ(0xFFFFFFFFu, host.Mac(kMsixEnabled)) << "nothing masked at power-on";
    struct Step {
        ULONG offset, value, enabled;
    };
    const Step steps[] = {
        {kLegacyMask, 0x10000000, 0xEFFFFFFF},
        {kMsixMask, 0x000F0000, 0xEFF0FFFF},
        {kMsixUnmask, 0x10000000, 0xFFF0FFFF},
        {kLegacyUnmask, 0x00030000, 0xFFF3FFFF},
        {kMsixMask, 0xFF000000, 0x00F3FFFF},
    };
    for (const Step& step : steps) {
        host.Mac(step.offset, step.value);
        EXPECT_EQ(step.enabled, host.Mac(kMsixEnabled)) << std::hex << step.offset << " <- " << step.value;
    }
}

TEST(ModemMac, MessageIsTheStatusBitModuloTheVectorCount)
{
    struct Case {
        ULONG messages;  // granted to the function
        ULONG countCode; // written to 0x3EC; 0: 32 vectors
        ULONG bit;
        int message; // -1: lost
    };
    const Case cases[] = {
        {32, 0, 25, 25}, {32, 0, 28, 28}, {4, 5, 25, 1}, {4, 5, 29, 1}, {8, 7, 28, 4},
        {16, 9, 16, 0},  {2, 3, 31, 1},   {4, 0, 25, -1}, {4, 0, 3, 3}, {1, 0, 28, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.messages << " messages, code " << c.countCode << ", bit " << c.bit);
        Board board(Config(InterruptMode::Message, c.messages));
        Host host(board);
        host.Connect();
        host.Mac(kVectorCount, c.countCode);
        EXPECT_EQ(c.countCode, host.Mac(kVectorCount));
        board.modem.RaiseStatus(1u << c.bit);
        host::ClockAdvance(0);
        EXPECT_EQ(c.message < 0 ? 0 : 1, host.TotalRuns());
        if (c.message >= 0) {
            EXPECT_EQ(1, host.Runs(c.message));
        }
        EXPECT_EQ(c.message < 0 ? 1u : 0u, board.modem.LostMessages());
    }
}

TEST(ModemMac, MessageWaitsOnTheTableEntryTheMaskAndTheOutputDisable)
{
    Board board;
    Host host(board);
    host.Connect();
    int expected = 0;
    auto sent = [&](const char* what) {
        host::ClockAdvance(0);
        EXPECT_EQ(expected, host.Runs(28)) << what;
    };

    // The table entry masked: the message waits in its pending bit.
    ASSERT_EQ(STATUS_SUCCESS, board.function.MaskTableEntry(28));
    board.modem.RaiseStatus(kDoorbellBit);
    sent("entry masked");
    EXPECT_TRUE(board.function.TableEntryPending(28));
    ASSERT_EQ(STATUS_SUCCESS, board.function.UnmaskTableEntry(28));
    ++expected;
    sent("entry unmasked");

    // The source masked at the MAC: nothing is sent until it is unmasked with its bit still set.
    host.Mac(kMsixStatus, kDoorbellBit);
    host.Mac(kMsixMask, kDoorbellBit);
    board.modem.RaiseStatus(kDoorbellBit);
    sent("source masked");
    EXPECT_FALSE(board.function.TableEntryPending(28));
    host.Mac(kMsixUnmask, kDoorbellBit);
    ++expected;
    sent("source unmasked");
    board.modem.RaiseStatus(kDoorbellBit);
    sent("a bit already pending sends nothing more");

    // Output disabled: what became pending meanwhile is sent when it is enabled again.
    host.Mac(kMsixStatus, kDoorbellBit);
    host.Mac(kOutputDisable, 1);
    board.modem.RaiseStatus(kDoorbellBit);
    sent("output disabled");
    host.Mac(kOutputDisable, 0);
    ++expected;
    sent("output enabled");

    // A bit cleared while its source holds the level is the source's next event.
    board.modem.SetSourceLevel(kSourceCldmaMd, true);
    host::ClockAdvance(0);
    EXPECT_EQ(1, host.Runs(26));
    host.Mac(kMsixStatus, 1u << 26);
    host::ClockAdvance(0);
    EXPECT_EQ(2, host.Runs(26)) << "cleared while the level is up";
}

// The line's service routine silences the MAC's output before it returns, as a sound driver does; the
// test then plays the deferred routine.
TEST(ModemMac, LineIsAssertedWhileStatusAndEnableAndNotMask)
{
    Board board(Config(InterruptMode::Line));
    Host host(board);
    host.Connect([](Host& h, ULONG) { h.Mac(kOutputDisable, 1); });
    auto runs = [&] {
        host::ClockAdvance(0);
        return host.Runs(0);
    };

    board.modem.RaiseStatus(kDoorbellBit);
    EXPECT_EQ(0, runs()) << "not enabled";
    host.Mac(kLegacyEnable, 0xFF77FFFF);
    EXPECT_EQ(1, runs()) << "enabled: once, the routine silenced the output";
    host.Mac(kOutputDisable, 0);
    EXPECT_EQ(2, runs()) << "output enabled with the bit still set";
    host.Mac(kLegacyStatus, kDoorbellBit);
    host.Mac(kOutputDisable, 0);
    EXPECT_EQ(2, runs()) << "cleared";
    board.modem.RaiseStatus(1u << 19);
    EXPECT_EQ(2, runs()) << "bit 19 is not enabled";
    host.Mac(kLegacyMask, kDoorbellBit);
    board.modem.RaiseStatus(kDoorbellBit);
    EXPECT_EQ(2, runs()) << "masked";
    host.Mac(kLegacyUnmask, kDoorbellBit);
    EXPECT_EQ(3, runs()) << "unmasked";
}

TEST(ModemMac, LineLeftAssertedByItsServiceRoutineStorms)
{
    Board board(Config(InterruptMode::Line));
    Host host(board);
    host.Mac(kLegacyEnable, 0xFF77FFFF);
    host.Connect();
    {
        hosttest::ExpectReport storm(host::Check::InterruptStorm);
        board.modem.RaiseStatus(kDoorbellBit);
        host::ClockAdvance(0);
    }
    EXPECT_EQ(static_cast<int>(host::kInterruptStormLimit), host.Runs(0));
}

TEST(ModemMac, TranslationOpensTheModemWindowAndCarriesTheModemsDma)
{
    Board board;
    Host host(board);
    const ULONG64 bar2 = board.function.BarAddress(kBarWindow);
    const ULONG pending = kMhccifOffset + doorbell::kPending;
    EXPECT_EQ(0xFFFFFFFFu, host.Window(pending)) << "closed until port 0 is programmed";

    host.ProgramTranslation();
    EXPECT_EQ(0u, host.Window(pending));
    EXPECT_EQ(0u, host.Window(kInfraOffset)) << "nothing mapped there";
    host.Doorbell(doorbell::kMaskClear, 0x1);
    EXPECT_EQ(0xFFFFFFFEu, board.modem.DoorbellRegister(doorbell::kMaskRead));

    // The entry decides what the window shows: 16 KiB of the window moved to the doorbell block.
    host.Translate(0, 0, bar2, kModemWindowBase + kMhccifOffset, 13);
    EXPECT_EQ(0xFFFFFFFEu, host.Window(doorbell::kMaskRead));
    EXPECT_EQ(0xFFFFFFFFu, host.Window(0x4000)) << "past the 16 KiB entry";
    host.Mac(AtrEntry(0, 0), 0);
    EXPECT_EQ(0xFFFFFFFFu, host.Window(doorbell::kMaskRead)) << "entry disabled";

    // The modem's DMA passes only through an outbound entry.
    ULONG* buffer = static_cast<ULONG*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, 0x6D646F4D));
    ASSERT_NE(nullptr, buffer);
    const ULONG value = 0x5A5A1234;
    const auto address = reinterpret_cast<ULONG64>(buffer);
    EXPECT_TRUE(board.modem.DmaWrite(address, &value, 4)) << "through the transparent entries";
    EXPECT_EQ(value, buffer[0]);
    for (ULONG port : {2u, 3u, 4u})
        host.Mac(AtrEntry(port, 0), 0);
    EXPECT_FALSE(board.modem.DmaWrite(address, &value, 4));
    host.Translate(1, 3, 0x20000000, address & ~0xFFFull, 11); // 4 KiB of modem addresses at 0x20000000
    ULONG read = 0;
    EXPECT_TRUE(board.modem.DmaRead(0x20000000 + (address & 0xFFF), &read, 4));
    EXPECT_EQ(value, read);
    EXPECT_FALSE(board.modem.DmaRead(0x20001000, &read, 4)) << "past the entry";
    ExFreePoolWithTag(buffer, 0x6D646F4D);
}

// The contract with the engines' blocks: mapped at a window offset, reached at offsets from their own
// start, raising their sources through the MAC.
TEST(ModemMac, WindowReachesTheBlocksMappedInItAndTheirSourcesReachTheHost)
{
    struct Block : RegisterBlock {
        ULONG Read(ULONG64 offset) override { return 0xB10C0000 | static_cast<ULONG>(offset); }
        void Write(ULONG64 offset, ULONG value) override { writes.push_back({kBarWindow, offset, value}); }
        std::vector<RegisterWrite> writes;
    };
    Block sap, md;
    Board board;
    board.modem.MapBlock(kCldmaSapB, 0x1000, sap);
    board.modem.MapBlock(kCldmaMdA, 0x1000, md);
    Host host(board);
    host.ProgramTranslation();
    host.Connect();

    EXPECT_EQ(0xB10C0084u, host.Window(kCldmaSapB + 0x84));
    EXPECT_EQ(0xB10C0FFCu, host.Window(kCldmaMdA + 0xFFC));
    EXPECT_EQ(0u, host.Window(kCldmaMdA + 0x1000)) << "past the block";
    host.Window(kCldmaSapB + 0x810, 0x3);
    EXPECT_EQ((std::vector<RegisterWrite>{{kBarWindow, 0x810, 0x3}}), sap.writes);
    EXPECT_TRUE(md.writes.empty());

    InterruptSink& sink = board.modem;
    sink.SetSourceLevel(kSourceCldmaSap, true);
    host::ClockAdvance(0);
    EXPECT_EQ(1, host.Runs(kSourceBitBase + kSourceCldmaSap));
    EXPECT_EQ(1u << 25, host.Mac(kMsixStatus));
    sink.SetSourceLevel(kSourceCldmaSap, false);
    EXPECT_EQ(0u, host.Mac(kMsixStatus));
}

TEST(ModemMac, PowerLossClearsWhatTheHostProgrammedAndKeepsWhatTheModemShows)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    host.Mac(kMsixMask, 0xFF000000);
    host.Mac(kLegacyEnable, 0xFF77FFFF);
    host.Mac(kVectorCount, 5);
    host.Mac(kOutputDisable, 1);
    host.Mac(kPowerSet, kPowerResourceBit);
    host.Doorbell(doorbell::kMaskClear, 0x7801);
    board.modem.RaiseStatus(0x1);
    board.modem.SetMacRegister(kResumeState, 3);
    board.modem.SetMacRegister(kLinkStatus, 0x30F0);
    board.modem.SetMacRegister(kBootStatus, 0x11);
    host::ClockAdvance(Milliseconds(2));
    ASSERT_EQ(kGrantValue, host.Mac(kGrant));
    int heard = 0;
    board.modem.OnPowerLoss([&] { heard++; });

    board.function.SetPowerState(sim::pci::PowerState::D3Cold);
    EXPECT_EQ(1, heard) << "the blocks hear of it";
    board.function.SetPowerState(sim::pci::PowerState::D0);
    EXPECT_EQ(0xFFFFFFFFu, host.Window(kMhccifOffset)) << "translation gone";
    for (ULONG offset : {AtrEntry(0, 0), AtrEntry(2, 0), kLegacyEnable, kVectorCount, kOutputDisable, kMsixStatus,
                         kGrant, kPowerSet, kBootStatus})
        EXPECT_EQ(0u, host.Mac(offset)) << std::hex << offset;
    EXPECT_EQ(0xFFFFFFFFu, host.Mac(kMsixEnabled)) << "masks gone";
    EXPECT_EQ(0xFFFFFFFFu, board.modem.DoorbellRegister(doorbell::kMaskRead)) << "doorbells masked again";
    EXPECT_EQ(3u, host.Mac(kResumeState));
    EXPECT_EQ(0x30F0u, host.Mac(kLinkStatus));
}

TEST(ModemMac, LinkDownReadsAllOnesAndLosesWrites)
{
    Board board;
    Host host(board);
    host.ProgramTranslation();
    host.Mac(kLegacyEnable, 0xFF77FFFF);
    board.modem.SetLinkDown(true);
    EXPECT_EQ(0xFFFFFFFFu, host.Mac(kLegacyEnable));
    EXPECT_EQ(0xFFFFFFFFu, host.Doorbell(doorbell::kStatus));
    host.Mac(kLegacyEnable, 0);
    board.modem.SetLinkDown(false);
    EXPECT_EQ(0xFF77FFFFu, host.Mac(kLegacyEnable));
    EXPECT_EQ(0u, host.Doorbell(doorbell::kStatus));
}

TEST(ModemMac, WriteLogKeepsTheMostRecentWritesInOrder)
{
    ModemConfig config;
    config.writeLogCapacity = 3;
    Board board(config);
    Host host(board);
    host.Mac(kLegacyEnable, 1);
    host.Mac(kMsixMask, 2);
    EXPECT_EQ((std::vector<RegisterWrite>{{kBarMac, kLegacyEnable, 1}, {kBarMac, kMsixMask, 2}}), board.modem.Writes());
    host.Window(kMhccifOffset + doorbell::kRing, 0x4000); // logged though the window is closed
    host.Window(kMhccifOffset + doorbell::kNumber, 14);
    EXPECT_EQ((std::vector<RegisterWrite>{{kBarMac, kMsixMask, 2},
                                          {kBarWindow, kMhccifOffset + doorbell::kRing, 0x4000},
                                          {kBarWindow, kMhccifOffset + doorbell::kNumber, 14}}),
              board.modem.Writes());
    board.modem.ClearWrites();
    EXPECT_TRUE(board.modem.Writes().empty());
}

} // namespace
