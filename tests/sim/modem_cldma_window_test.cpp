// The CLDMA engines inside the modem: reached through the translated window, their DMA through the
// translation's outbound entries, their interrupts through the MAC, their state lost with the power.
#include "modem_cldma_rig.h"
#include "modem_host.h"

#include "host_test.h"

namespace {

using namespace modemtest;
using cldmatest::Ring;

TEST(ModemCldmaWindow, AFrameSentThroughTheWindowReachesThePeerAndRaisesSourceOne)
{
    Board board(Config(InterruptMode::Message));
    Host host(board);
    host.ProgramTranslation();
    host.Connect();
    CldmaScriptedPeer peer(board.modem.CldmaSap());
    board.modem.CldmaSap().SetPeer(&peer);
    peer.Sink(0);

    Ring ring(2, 64);
    const std::vector<UCHAR> frame = cldmatest::Pattern(40, 3);
    ring.Fill(0, frame);
    host.Window(kCldmaSapB + cldma::kTxStartAddress, static_cast<ULONG>(ring.Address(0)));
    host.Window(kCldmaSapB + cldma::kTxStartAddress + 4, static_cast<ULONG>(ring.Address(0) >> 32));
    host.Window(kCldmaSapB + cldma::kTxUnmask, cldma::DoneBit(0));
    host.Window(kCldmaSapB + cldma::kTxStart, 1);

    hosttest::WaitUntil([&] { return host.Runs(kSourceBitBase + kSourceCldmaSap) > 0; }, Milliseconds(10), Us(100));
    ASSERT_EQ(1u, peer.FrameCount(0));
    EXPECT_EQ(frame, peer.Frames(0)[0]);
    EXPECT_EQ(0, ring.Flags(0) & cldma::kGpdHwo);
    EXPECT_NE(0u, host.Mac(mac::kMsixStatus) & (1u << (kSourceBitBase + kSourceCldmaSap)));
    EXPECT_EQ(0, host.Runs(kSourceBitBase + kSourceCldmaMd));
    board.modem.CldmaSap().SetPeer(nullptr);
}

TEST(ModemCldmaWindow, EnginesAreUnreachableBeforeTranslationAndLoseTheirStateWithThePower)
{
    Board board(Config(InterruptMode::Message));
    Host host(board);
    EXPECT_EQ(MAXULONG, host.Window(kCldmaMdA + cldma::kRxStartAddress));
    host.ProgramTranslation();
    host.Window(kCldmaMdA + cldma::kRxStartAddress, 0x1000);
    host.Window(kCldmaSapB + cldma::kTxStartAddress, 0x2000);
    EXPECT_EQ(0x1000u, board.modem.CldmaMd().Read(CldmaBlock::A, cldma::kRxStartAddress));
    EXPECT_EQ(0x2000u, board.modem.CldmaSap().Read(CldmaBlock::B, cldma::kTxStartAddress));

    board.function.SetPowerState(sim::pci::PowerState::D3Cold);
    board.function.SetPowerState(sim::pci::PowerState::D0);
    EXPECT_EQ(0u, board.modem.CldmaMd().Read(CldmaBlock::A, cldma::kRxStartAddress));
    EXPECT_EQ(0u, board.modem.CldmaSap().Read(CldmaBlock::B, cldma::kTxStartAddress));
}

} // namespace
