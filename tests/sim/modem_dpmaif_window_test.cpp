// The DPMAIF engine inside the modem: its three register blocks reached through the translated window,
// its DMA through the translation's outbound entries, its two interrupt sources through the MAC, its
// state lost with the power.
#include "modem_dpmaif_rig.h"
#include "modem_host.h"

namespace {

using namespace modemtest;
using dpmaiftest::BatTable;
using dpmaiftest::Memory;
using dpmaiftest::PitEntry;
using dpmaiftest::U32;
namespace reg = sim::modem::dpmaif;

ULONG Bit(ULONG source) { return 1u << (kSourceBitBase + source); }

struct WindowRig {
    WindowRig() : board(Config(InterruptMode::Message, kMaxMessages, sim::pci::ExecutionMode::Step)), host(board) {}

    ULONG R(ULONG address) { return host.Window(address - kModemWindowBase); }
    void W(ULONG address, ULONG value) { host.Window(address - kModemWindowBase, value); }

    Board board;
    Host host;
};

TEST(ModemDpmaifWindow, BlocksAnswerAtTheirModemAddressesAndForgetWithThePower)
{
    WindowRig rig;
    EXPECT_EQ(MAXULONG, rig.R(0x1022DC08)) << "no translation yet";
    rig.host.ProgramTranslation();
    rig.W(0x1022DC08, 0x7C001C40);
    rig.W(0x10001154, 4);
    rig.W(reg::kQueueEnable, 0x1F1F);
    DpmaifEngine& engine = rig.board.modem.Dpmaif();
    EXPECT_EQ(0x7C001C40u, engine.Peek(0x1022DC08));
    EXPECT_EQ(4u, rig.R(0x10001154));
    EXPECT_EQ(0x1F1Fu, rig.R(reg::kQueueEnable));
    const std::vector<DpmaifWrite> expected = {
        {DpmaifBlock::Engine, 0x1C08, 0x7C001C40},
        {DpmaifBlock::Outside, 0x14, 4},
        {DpmaifBlock::Control, 0x1C, 0x1F1F},
    };
    EXPECT_EQ(expected, engine.Writes());

    rig.board.function.SetPowerState(sim::pci::PowerState::D3Cold);
    rig.board.function.SetPowerState(sim::pci::PowerState::D0);
    EXPECT_EQ(0u, engine.Peek(0x1022DC08));
    EXPECT_EQ(0u, engine.Peek(reg::kQueueEnable));
}

TEST(ModemDpmaifWindow, SourcesZeroAndFiveReachTheMacAndFollowTheMasks)
{
    WindowRig rig;
    rig.host.ProgramTranslation();
    DpmaifEngine& engine = rig.board.modem.Dpmaif();
    engine.RaiseStatus(reg::DlDoneStatus(1), 0);
    EXPECT_EQ(Bit(kSourceDpmaif5), rig.host.Mac(mac::kMsixStatus) & (Bit(kSourceDpmaif0) | Bit(kSourceDpmaif5)));
    engine.RaiseStatus(0, 1);
    EXPECT_NE(0u, rig.host.Mac(mac::kMsixStatus) & Bit(kSourceDpmaif0));

    // Masked in the engine, the level drops; the host then clears the MAC's bits for good.
    rig.W(reg::kDlMaskSet, reg::DlDoneMask(1));
    rig.W(reg::kUlMaskSet, 1);
    rig.host.Mac(mac::kMsixStatus, Bit(kSourceDpmaif0) | Bit(kSourceDpmaif5));
    EXPECT_EQ(0u, rig.host.Mac(mac::kMsixStatus) & (Bit(kSourceDpmaif0) | Bit(kSourceDpmaif5)));
    rig.W(reg::kUlUnmask, 1);
    EXPECT_NE(0u, rig.host.Mac(mac::kMsixStatus) & Bit(kSourceDpmaif0));
}

TEST(ModemDpmaifWindow, ADownlinkPacketCrossesTheModemsDma)
{
    WindowRig rig;
    rig.host.ProgramTranslation();
    BatTable bat(4, reg::kNormalSize);
    Memory pit(8 * reg::kPitEntrySize);
    rig.W(reg::kBatBaseLow, static_cast<ULONG>(bat.ring.Address()));
    rig.W(reg::kBatBaseHigh, static_cast<ULONG>(bat.ring.Address() >> 32));
    rig.W(reg::kBatConfig, 4);
    rig.W(reg::kBatCommand, 0x80000001);
    rig.W(reg::kBatConfig, 0x10004);
    rig.W(reg::kBatCommand, reg::kBusy);
    rig.W(reg::kBatAddCount, reg::kBusy | 3);
    rig.W(reg::kPitBaseLow, static_cast<ULONG>(pit.Address()));
    rig.W(reg::kPitBaseHigh, static_cast<ULONG>(pit.Address() >> 32));
    rig.W(reg::kPitLength, 8);
    rig.W(reg::kPitCommand, 0x80010001);

    DpmaifEngine& engine = rig.board.modem.Dpmaif();
    const std::vector<UCHAR> bytes = cldmatest::Pattern(300, 9);
    engine.Inject(1, 7, bytes);
    engine.Drain();
    ASSERT_EQ(2u, rig.R(reg::kPitWriteIndex + 32));
    PitEntry payload{{U32(pit.At(16)), U32(pit.At(20)), U32(pit.At(24)), U32(pit.At(28))}};
    EXPECT_EQ(7u, (U32(pit.At(0)) >> 16) & 0xFF);
    ASSERT_EQ(300u, payload.Length());
    const UCHAR* data = reinterpret_cast<const UCHAR*>(payload.Address());
    EXPECT_EQ(bytes, std::vector<UCHAR>(data, data + 300));
    EXPECT_NE(0u, rig.host.Mac(mac::kMsixStatus) & Bit(kSourceDpmaif5));
}

} // namespace
