// The DPMAIF engine's register file: commands applied before their busy bits read clear, latched ring
// parameters, write-1-to-clear status, mask state with set and clear, interrupt levels, the write log
// and the register faults.
#include "modem_dpmaif_rig.h"

namespace {

using namespace dpmaiftest;

TEST(DpmaifRegisters, StartLatchesEveryRingAndTheAddCountsLandBeforeBusyClears)
{
    Rig rig;
    rig.Start();
    for (bool fragment : {false, true}) {
        DpmaifEngine::Ring ring = rig.engine.Bat(fragment);
        BatTable& table = fragment ? rig.frag : rig.bat;
        EXPECT_EQ(table.ring.Address(), ring.base);
        EXPECT_EQ(table.length, ring.length);
        EXPECT_EQ(0u, ring.read);
        EXPECT_EQ(table.length - 1, ring.write) << "the add-count moved the write index";
    }
    EXPECT_EQ(Rig::kBatEntries - 1, rig.R(kBatWriteIndex));
    EXPECT_EQ(0u, rig.R(kBatReadIndex));
    EXPECT_EQ(0u, rig.R(kFragReadIndex));
    EXPECT_TRUE(rig.engine.BatEnabled());
    for (ULONG q = 0; q < kRxQueues; q++) {
        DpmaifEngine::Ring pit = rig.engine.Pit(q);
        EXPECT_EQ(rig.pits[q].Address(), pit.base);
        EXPECT_EQ(Rig::kPitEntries, pit.length);
        EXPECT_EQ(Rig::kPitEntries - 1, pit.read) << "PIT space: the whole ring minus one";
        EXPECT_EQ(0u, rig.R(kPitWriteIndex + 32 * q));
    }
    for (ULONG q = 0; q < kTxQueues; q++) {
        DpmaifEngine::Ring drb = rig.engine.Drb(q);
        EXPECT_EQ(rig.drbs[q].Address(), drb.base);
        EXPECT_EQ(Rig::kDrbEntries, drb.length);
        EXPECT_EQ(0u, rig.R(kDrbReadIndex + 4 * q));
    }
    for (ULONG busy : {kBatCommand, kBatAddCount, kPitCommand, kPitAddCount, kDrbAddCount + 16})
        EXPECT_EQ(0u, rig.R(busy) & kBusy) << std::hex << busy;
    EXPECT_EQ(0u, rig.R(kUlCommit) & 1);

    // The enable is applied by a command with bit 0 clear; the add-count wraps at the ring's length.
    rig.W(kBatConfig, rig.R(kBatConfig) & ~0x10000u);
    ASSERT_TRUE(rig.Command(kBatCommand, kBusy));
    EXPECT_FALSE(rig.engine.BatEnabled());
    ASSERT_TRUE(rig.Command(kBatAddCount, kBusy | 3));
    EXPECT_EQ(2u, rig.R(kBatWriteIndex));
}

TEST(DpmaifRegisters, MaskStateStatusAndIdleBehaveAsTheSetUpExpects)
{
    Rig rig;
    EXPECT_EQ(0u, rig.R(kDlMask)) << "the downlink mask state starts clear";
    EXPECT_EQ(0u, rig.R(kUlMask));

    // The set-up's waits: after these writes each condition must end at once.
    rig.W(kUlUnmask, 0x000F000F);
    rig.W(kUlMaskSet, 0xFFF0FFF0);
    EXPECT_NE(0x000F000Fu, rig.R(kUlMask) & 0x000F000F);
    EXPECT_EQ(0xFFF0FFF0u, rig.R(kUlMask));
    rig.W(kDlMaskSet, 0xFFFFF0FF);
    EXPECT_NE(0xF00u, rig.R(kDlMask) & 0xF00);
    rig.W(kDlMaskSet, DlDoneMask(0));
    rig.W(kDlUnmask, 0xFFFFF0FF);
    EXPECT_EQ(DlDoneMask(0), rig.R(kDlMask));
    EXPECT_EQ(0u, rig.R(kDlMaskSet)) << "set and clear registers hold nothing";

    // Write 1 to clear; the companion register keeps what is written.
    rig.engine.RaiseStatus(0x2104, 0x41);
    rig.W(kDlStatus, 0x2004);
    rig.W(kUlStatus, 0x40);
    EXPECT_EQ(0x100u, rig.R(kDlStatus));
    EXPECT_EQ(0x1u, rig.R(kUlStatus));
    rig.W(0x1022D460, rig.R(0x1022D460));
    EXPECT_EQ(0x100u, rig.R(kDlStatus));

    EXPECT_EQ(kUlIdleBit, rig.R(kUlIdle) & kUlIdleBit);
    EXPECT_EQ(kDlIdleBit, rig.R(kDlIdle) & kDlIdleBit);
    EXPECT_EQ(rig.R(kDlAccepted) & kIndexBits, rig.R(kDlWritten) & kIndexBits);
    rig.engine.Inject(0, 1, Pattern(10, 1)); // nothing programmed: it waits
    EXPECT_NE(rig.R(kDlAccepted) & kIndexBits, rig.R(kDlWritten) & kIndexBits);
}

TEST(DpmaifRegisters, InterruptLevelsFollowStatusAndMasks)
{
    struct Case {
        ULONG dlStatus, ulStatus, dlMask, ulMask;
        bool source0, source5;
    };
    const Case cases[] = {
        {DlDoneStatus(0), 0, 0, 0, true, false},
        {DlDoneStatus(0), 0, DlDoneMask(0), 0, false, false},
        {DlEventStatus(0), 0, DlDoneMask(0), 0, true, false},
        {DlEventStatus(0), 0, DlEventMask(0), 0, false, false},
        {DlDoneStatus(1), 0, 0, 0, false, true},
        {DlDoneStatus(1), 0, DlDoneMask(1), 0, false, false},
        {DlEventStatus(1), 0, DlDoneMask(1), 0, false, true},
        {0, 1u << 4, 0, 0, true, false},
        {0, 1u << 4, 0, 0xFFF0FFF0, false, false},
        {0, 1u << 3, 0, 0xFFF0FFF0, true, false},
        {DlDoneStatus(0) | DlDoneStatus(1), 0, 0xF00, 0, false, false},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.W(kDlMaskSet, c.dlMask);
        rig.W(kUlMaskSet, c.ulMask);
        rig.engine.RaiseStatus(c.dlStatus, c.ulStatus);
        EXPECT_EQ(c.source0, rig.engine.SourceAsserted(DpmaifEngine::kSource0)) << std::hex << c.dlStatus << " " << c.ulStatus;
        EXPECT_EQ(c.source5, rig.engine.SourceAsserted(DpmaifEngine::kSource1)) << std::hex << c.dlStatus << " " << c.ulStatus;
        // Clearing the mask raises what was held; acknowledging drops it. The sink heard each change.
        rig.W(kDlUnmask, 0xFFFFFFFF);
        rig.W(kUlUnmask, 0xFFFFFFFF);
        rig.W(kDlStatus, 0xFFFFFFFF);
        rig.W(kUlStatus, 0xFFFFFFFF);
        EXPECT_FALSE(rig.engine.SourceAsserted(DpmaifEngine::kSource0));
        EXPECT_FALSE(rig.engine.SourceAsserted(DpmaifEngine::kSource1));
        std::map<ULONG, bool> last;
        for (auto [source, level] : rig.sink.Levels()) {
            EXPECT_TRUE(source == DpmaifEngine::kSource0 || source == DpmaifEngine::kSource1);
            EXPECT_NE(last.count(source) ? last[source] : false, level) << "a change each time";
            last[source] = level;
        }
    }
}

TEST(DpmaifRegisters, PlainRegistersReadBackAndEveryWriteIsLogged)
{
    Rig rig;
    const ULONG parameters = 64 | 28 << 8 | 124u << 24;
    rig.W(0x1022DC08, parameters);
    rig.W(0x10001150, 4);
    rig.W(kDlStatus, 0xFFFFFFFF);
    rig.engine.Block(DpmaifBlock::Control).Write(0x1C, 0x101);
    EXPECT_EQ(parameters, rig.R(0x1022DC08));
    EXPECT_EQ(parameters, rig.engine.Block(DpmaifBlock::Engine).Read(0x1C08));
    EXPECT_EQ(4u, rig.R(0x10001150));
    EXPECT_EQ(0u, rig.R(0x1022E910)) << "unknown registers read 0";
    EXPECT_EQ(0u, rig.R(0x1022C000));
    rig.W(0x20000000, 1); // outside every block: neither kept nor logged

    const std::vector<DpmaifWrite> expected = {
        {DpmaifBlock::Engine, 0x1C08, parameters},
        {DpmaifBlock::Outside, 0x10, 4},
        {DpmaifBlock::Engine, 0x1450, 0xFFFFFFFF},
        {DpmaifBlock::Control, 0x1C, 0x101},
    };
    EXPECT_EQ(expected, rig.engine.Writes());
    EXPECT_EQ(kQueueEnable, rig.engine.Writes().back().Address());
    rig.engine.ClearWrites();
    EXPECT_TRUE(rig.engine.Writes().empty());
}

TEST(DpmaifRegisters, AccessCountsTellReadsWritesIndexMovesAndInterruptRises)
{
    Rig rig;
    rig.R(kDlMask);
    rig.engine.Block(DpmaifBlock::Engine).Read(kBatReadIndex - kEngineBase);
    rig.R(0x20000000); // outside every block: not the engine's
    rig.W(0x20000000, 1);
    for (ULONG address : {kPitAddCount, kBatAddCount, kDrbAddCount + 8, kDrbAddCount + 2, kBatCommand, kDlStatus})
        rig.W(address, 0);
    DpmaifEngine::Counts counts = rig.engine.AccessCounts();
    EXPECT_EQ(2u, counts.reads);
    EXPECT_EQ(6u, counts.writes);
    EXPECT_EQ(4u, counts.ringIndexWrites) << "the add-counts, by word";
    EXPECT_EQ(0u, counts.interrupts);

    // A rise counts once however long the source stays asserted; a masked status raises nothing.
    rig.engine.RaiseStatus(DlDoneStatus(0), 0);
    rig.engine.RaiseStatus(DlDoneStatus(0), 0);
    rig.W(kDlStatus, DlDoneStatus(0));
    rig.W(kDlMaskSet, DlDoneMask(1));
    rig.engine.RaiseStatus(DlDoneStatus(1), 0);
    rig.engine.RaiseStatus(0, 1);
    EXPECT_EQ(2u, rig.engine.AccessCounts().interrupts);
}

TEST(DpmaifRegisters, InjectedRegisterFaults)
{
    Rig rig;
    rig.Start();

    // A stuck busy bit: the command never lands and the driver's wait times out before writing.
    rig.engine.SetStuckBusy(kBatAddCount, true);
    EXPECT_FALSE(rig.Command(kBatAddCount, kBusy | 1));
    rig.W(kBatAddCount, kBusy | 1);
    EXPECT_EQ(Rig::kBatEntries - 1, rig.engine.Bat(false).write);
    rig.engine.SetStuckBusy(kBatAddCount, false);
    rig.engine.SetStuckBusy(kUlCommit, true);
    EXPECT_FALSE(rig.Command(kUlCommit, 1, 1));
    rig.engine.SetStuckBusy(kUlCommit, false);

    // A write index read back off the real one; a DRB read index reading invalid.
    rig.engine.SetBatWriteIndexSkew(-1);
    EXPECT_EQ(Rig::kBatEntries - 2, rig.R(kBatWriteIndex));
    rig.engine.SetBatWriteIndexSkew(1);
    EXPECT_EQ(0u, rig.R(kBatWriteIndex)) << "wraps at the length";
    rig.engine.SetDrbReadIndexInvalid(1, true);
    EXPECT_EQ(0xFFFFu, rig.R(kDrbReadIndex + 4) >> 16);
    EXPECT_EQ(0u, rig.R(kDrbReadIndex));

    // Gone: everything reads all ones; power loss forgets the configuration.
    rig.engine.SetGone(true);
    EXPECT_EQ(0xFFFFFFFFu, rig.R(kBatWriteIndex));
    rig.engine.SetGone(false);
    rig.engine.LoseConfiguration();
    EXPECT_EQ(0u, rig.engine.Bat(false).length);
    EXPECT_EQ(0u, rig.R(kQueueEnable));
    EXPECT_FALSE(rig.engine.BatEnabled());
}

} // namespace
