// The DPMAIF engine's downlink in step mode: packets written into lent buffers and described in the
// PIT in order, with fragments, sequence numbers and the downlink-done status; the engine waits for
// buffers and PIT space; the generator; the downlink faults.
#include "modem_dpmaif_rig.h"

namespace {

using namespace dpmaiftest;

TEST(DpmaifDownlink, MixedPacketsOnBothQueuesArriveInOrderWithEveryByteIntact)
{
    // Sizes around the normal buffer's room (3584 - 64) and past it into fragments; enough rounds that
    // both BATs, both PITs and the sequence numbers (0..250) wrap.
    const SIZE_T sizes[] = {0, 1, 100, 1500, 3520, 3521, 3520 + 128, 3520 + 129, 4000};
    Rig rig;
    rig.Start();
    std::array<std::vector<RxPacket>, kRxQueues> sent;
    ULONG n = 0;
    for (ULONG round = 0; round < 40; round++) {
        for (ULONG i = 0; i < 8; i++, n++) {
            const ULONG q = n % 3 == 0 ? 1 : 0;
            const SIZE_T size = sizes[n % std::size(sizes)];
            const ULONG fragments = size > 3520 ? static_cast<ULONG>((size - 3520 + 127) / 128) : 0;
            sent[q].push_back({n % 5, Pattern(size, static_cast<UCHAR>(n)), n % 4, 1 + fragments});
            rig.engine.Inject(q, n % 5, sent[q].back().bytes, {.checksum = n % 4});
        }
        rig.engine.Step();
        EXPECT_TRUE(rig.engine.SourceAsserted(DpmaifEngine::kSource0));
        rig.W(kDlStatus, 0xFFFFFFFF);
        EXPECT_FALSE(rig.engine.SourceAsserted(DpmaifEngine::kSource0));
        for (ULONG q = 0; q < kRxQueues; q++)
            for (const RxPacket& packet : rig.Receive(q)) {
                ASSERT_FALSE(sent[q].empty());
                const RxPacket& expected = sent[q].front();
                EXPECT_EQ(expected.channel, packet.channel);
                EXPECT_EQ(expected.checksum, packet.checksum);
                EXPECT_EQ(expected.pieces, packet.pieces);
                EXPECT_EQ(expected.bytes, packet.bytes) << "queue " << q << " size " << expected.bytes.size();
                sent[q].erase(sent[q].begin());
            }
    }
    EXPECT_TRUE(sent[0].empty());
    EXPECT_TRUE(sent[1].empty());
    EXPECT_GT(rig.engine.DownlinkWritten(0) * 2, ULONG64(kSequenceCount));
    EXPECT_EQ(rig.R(kDlAccepted), rig.R(kDlWritten)) << "drained";
    EXPECT_EQ(0u, rig.engine.DmaErrors());
}

TEST(DpmaifDownlink, EntriesCarryTheDocumentedBits)
{
    Rig rig;
    rig.Start();
    rig.engine.SetRxDataOffset(0);
    rig.engine.Inject(1, 0x2A, Pattern(3600, 1), {.drop = true, .checksum = 2});
    rig.engine.Drain();
    ASSERT_EQ(3u, rig.R(kPitWriteIndex + 32));
    const PitEntry message = rig.Entry(1, 0), normal = rig.Entry(1, 1), fragment = rig.Entry(1, 2);
    EXPECT_EQ(1u | 2u << 2 | 0x2Au << 16 | 0x80000000u, message.w[0]);
    EXPECT_EQ(0u, message.w[3]);
    EXPECT_EQ(2u | 0u << 3 | 3584u << 16, normal.w[0]) << "continuation, normal buffer 0, all of it";
    EXPECT_EQ(rig.bat.Buffer(0), normal.Address()) << "data offset 0";
    EXPECT_EQ(1u, normal.w[3]);
    EXPECT_EQ(4u | 16u << 16, fragment.w[0]) << "last, fragment buffer 0, the rest";
    EXPECT_EQ(rig.frag.Buffer(0), fragment.Address());
    EXPECT_EQ(2u, fragment.w[3]);
    EXPECT_EQ(1u, rig.R(kBatReadIndex));
    EXPECT_EQ(1u, rig.R(kFragReadIndex));
    EXPECT_EQ(DlDoneStatus(1), rig.R(kDlStatus));
    EXPECT_TRUE(rig.engine.SourceAsserted(DpmaifEngine::kSource1));
    EXPECT_FALSE(rig.engine.SourceAsserted(DpmaifEngine::kSource0));

    // A buffer id above 13 bits is split between words 0 and 3; a chosen cut leaves fragments.
    rig.engine.SetRxDataOffset(64);
    rig.engine.Inject(1, 1, Pattern(320, 2), {.normalBytes = 44, .badBufferId = 0xABCD});
    rig.engine.Drain();
    const PitEntry split = rig.Entry(1, 4);
    EXPECT_EQ(0xABCDu, split.Bid());
    EXPECT_EQ(0x5u, split.w[3] >> 8);
    EXPECT_EQ(44u, split.Length());
    EXPECT_EQ(rig.bat.Buffer(1) + 64, split.Address());
    EXPECT_EQ(128u, rig.Entry(1, 5).Length());
    EXPECT_EQ(128u, rig.Entry(1, 6).Length());
    EXPECT_EQ(0u, rig.Entry(1, 7).More());
    EXPECT_EQ(320u - 44 - 256, rig.Entry(1, 7).Length());
}

TEST(DpmaifDownlink, NothingIsTakenWithoutLentBuffersOrPitSpace)
{
    Rig rig;
    rig.Start();
    for (ULONG i = 0; i < Rig::kBatEntries; i++)
        rig.engine.Inject(0, 1, Pattern(10, static_cast<UCHAR>(i)));
    rig.engine.Drain();
    EXPECT_EQ(Rig::kBatEntries - 1, rig.engine.DownlinkWritten(0)) << "read = write: no buffer left";
    EXPECT_EQ(1u, rig.engine.DownlinkPending(0));
    EXPECT_EQ(rig.R(kBatWriteIndex), rig.R(kBatReadIndex));

    // Buffers back but the PIT entries kept: 126 of 127 entries used, a packet needs two.
    ASSERT_TRUE(rig.Command(kBatAddCount, kBusy | (Rig::kBatEntries - 1)));
    rig.engine.Drain();
    EXPECT_EQ(1u, rig.engine.DownlinkPending(0));
    EXPECT_EQ(1u, rig.engine.Pit(0).read);
    ASSERT_TRUE(rig.Command(kPitAddCount, 0x80000000 | 126));
    rig.engine.Drain();
    EXPECT_EQ(0u, rig.engine.DownlinkPending(0));

    // Starvation holds everything whatever the rings hold.
    rig.engine.SetStarvation(true, false);
    rig.engine.Inject(0, 1, Pattern(10, 0));
    rig.engine.Drain();
    EXPECT_EQ(1u, rig.engine.DownlinkPending(0));
    rig.engine.SetStarvation(false, true);
    rig.engine.Drain();
    EXPECT_EQ(1u, rig.engine.DownlinkPending(0));
    rig.engine.SetStarvation(false, false);
    rig.engine.Drain();
    EXPECT_EQ(0u, rig.engine.DownlinkPending(0));

    // A disabled BAT or an uninitialised PIT takes nothing either.
    Rig cold;
    cold.engine.Inject(0, 1, Pattern(10, 0));
    cold.engine.Drain();
    EXPECT_EQ(1u, cold.engine.DownlinkPending(0));
}

TEST(DpmaifDownlink, SequenceAndOrderFaults)
{
    Rig rig;
    rig.Start();
    rig.engine.SkipSequence(0, 5);
    rig.engine.Inject(0, 1, Pattern(10, 0));
    rig.engine.Drain();
    EXPECT_EQ(5u, rig.Entry(0, 0).Seq());
    EXPECT_EQ(6u, rig.Entry(0, 1).Seq()) << "the numbering goes on from the gap";

    // A late number: wrong when the write index moves, right once the engine's late write lands.
    rig.engine.SetLateSequence(0, 1000);
    rig.engine.Inject(0, 1, Pattern(10, 0));
    rig.engine.Step();
    EXPECT_EQ(4u, rig.R(kPitWriteIndex));
    EXPECT_NE(7u, rig.Entry(0, 2).Seq());
    rig.engine.Drain();
    EXPECT_EQ(7u, rig.Entry(0, 2).Seq());

    // A fragment before its normal entry; a reported length past the buffer.
    rig.engine.Inject(0, 1, Pattern(3600, 0), {.reportedLength = 0xFFFF, .fragmentFirst = true});
    rig.engine.Drain();
    EXPECT_TRUE(rig.Entry(0, 5).Fragment());
    EXPECT_TRUE(rig.Entry(0, 5).More());
    EXPECT_FALSE(rig.Entry(0, 6).Fragment());
    EXPECT_EQ(0xFFFFu, rig.Entry(0, 6).Length());
    EXPECT_FALSE(rig.Entry(0, 6).More());
}

TEST(DpmaifDownlink, GeneratorFillsWhatTheHostLendsAndStopsAtItsCount)
{
    Rig rig;
    rig.Start();
    rig.engine.StartGenerator({.queue = 1, .channels = {2, 3}, .sizes = {100, 4000, 7}, .count = 150});
    EXPECT_EQ(2u + 6 + 2 + 2 + 6, rig.engine.RunNow(5)) << "five packets on demand (a 4000-byte one has 6 entries)";
    ULONG64 n = 0;
    for (int round = 0; round < 20 && n < 150; round++) {
        rig.engine.Drain();
        for (const RxPacket& packet : rig.Receive(1)) {
            const SIZE_T size = std::array<SIZE_T, 3>{100, 4000, 7}[n % 3];
            EXPECT_EQ(n % 2 == 0 ? 2u : 3u, packet.channel);
            EXPECT_EQ(DpmaifEngine::GeneratedPayload(n, size), packet.bytes) << n;
            n++;
        }
    }
    EXPECT_EQ(150u, n);
    rig.engine.Drain();
    EXPECT_EQ(150u, rig.engine.DownlinkWritten(1));
}

} // namespace
