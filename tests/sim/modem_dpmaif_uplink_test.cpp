// The DPMAIF engine's uplink in step mode: whole packets walked from the announced DRB descriptors,
// the read index published in words, the uplink-done status, the enables, malformed descriptors, the
// frozen read index and the loopback to the downlink.
#include "modem_dpmaif_rig.h"

namespace {

using namespace dpmaiftest;

TEST(DpmaifUplink, AnnouncedPacketsAreTakenWholeAndTheReadIndexMovesInWords)
{
    Rig rig;
    rig.Start();
    const std::vector<UCHAR> bytes = Pattern(100, 4);
    ASSERT_TRUE(rig.Announce(0, rig.Send(0, 9, {bytes})));
    rig.engine.Step();
    const std::vector<DpmaifUplinkPacket> expected = {{0, 9, bytes}};
    EXPECT_EQ(expected, rig.engine.UplinkPackets());
    EXPECT_EQ(8u << 16, rig.R(kDrbReadIndex)) << "two descriptors, eight words";
    EXPECT_EQ(1u, rig.R(kUlStatus));
    EXPECT_TRUE(rig.engine.SourceAsserted(DpmaifEngine::kSource0));
    rig.W(kUlMaskSet, 1);
    EXPECT_FALSE(rig.engine.SourceAsserted(DpmaifEngine::kSource0)) << "masked";

    // Every queue, packets of one to three pieces, round the rings several times.
    rig.engine.ClearUplink();
    std::vector<DpmaifUplinkPacket> sent;
    for (ULONG round = 0; round < 30; round++) {
        for (ULONG q = 0; q < kTxQueues; q++) {
            ULONG descriptors = 0;
            for (ULONG p = 0; p < 3; p++) {
                std::vector<std::vector<UCHAR>> pieces;
                std::vector<UCHAR> whole;
                for (ULONG i = 0; i <= (round + p) % 3; i++) {
                    pieces.push_back(Pattern(1 + (round * 37 + p * 11 + i * 500) % 1600, static_cast<UCHAR>(round + q)));
                    whole.insert(whole.end(), pieces.back().begin(), pieces.back().end());
                }
                descriptors += rig.Send(q, round % 7 + p, pieces);
                sent.push_back({q, round % 7 + p, whole});
            }
            ASSERT_TRUE(rig.Announce(q, descriptors));
        }
        rig.engine.Step();
        for (ULONG q = 0; q < kTxQueues; q++)
            EXPECT_EQ(rig.drbWrite[q], rig.DrbRead(q));
    }
    std::vector<DpmaifUplinkPacket> taken = rig.engine.UplinkPackets();
    auto byQueue = [](const DpmaifUplinkPacket& a, const DpmaifUplinkPacket& b) { return a.queue < b.queue; };
    std::stable_sort(sent.begin(), sent.end(), byQueue);
    std::stable_sort(taken.begin(), taken.end(), byQueue);
    EXPECT_EQ(sent, taken);
    EXPECT_EQ(kUlIdleBit, rig.R(kUlIdle) & kUlIdleBit);
    EXPECT_EQ(0u, rig.engine.UplinkErrors());
}

TEST(DpmaifUplink, APacketWaitsForItsLastDescriptorAndForBothEnableBits)
{
    Rig rig;
    rig.Start();
    const ULONG used = rig.Send(1, 3, {Pattern(10, 1), Pattern(20, 2)});
    ASSERT_TRUE(rig.Announce(1, used - 1));
    rig.engine.Drain();
    EXPECT_EQ(0u, rig.engine.UplinkCount(1));
    EXPECT_EQ(0u, rig.DrbRead(1));
    EXPECT_EQ(0u, rig.R(kUlIdle) & kUlIdleBit) << "a backlog is waiting";

    rig.W(kQueueEnable, rig.R(kQueueEnable) & ~(0x100u << 1)); // run bit off, as at suspend
    ASSERT_TRUE(rig.Announce(1, 1));
    rig.engine.Drain();
    EXPECT_EQ(0u, rig.engine.UplinkCount(1));
    rig.W(kQueueEnable, rig.R(kQueueEnable) | 0x100u << 1);
    rig.engine.Drain();
    EXPECT_EQ(1u, rig.engine.UplinkCount(1));
    EXPECT_EQ(used, rig.DrbRead(1));
    EXPECT_EQ(1u << 1, rig.R(kUlStatus));

    // A frozen read index: nothing moves until it thaws.
    rig.engine.FreezeDrbReadIndex(1, true);
    ASSERT_TRUE(rig.Announce(1, rig.Send(1, 3, {Pattern(5, 3)})));
    rig.engine.Drain();
    EXPECT_EQ(used, rig.DrbRead(1));
    rig.engine.FreezeDrbReadIndex(1, false);
    rig.engine.Drain();
    EXPECT_EQ(used + 2, rig.DrbRead(1));
}

TEST(DpmaifUplink, MalformedDescriptorsCostThePacketAndUndefinedBitsAreIgnored)
{
    Rig rig;
    rig.Start();
    // Stale bits where nothing is defined: message word 1 bits 27, 28, 30, 31, words 2 and 3.
    ULONG used = rig.Send(0, 5, {Pattern(40, 1)});
    UCHAR* message = rig.drbs[0].At(0);
    PutU32(message + 4, U32(message + 4) | 0xD8000000);
    PutU32(message + 8, 0x12345678);
    PutU32(message + 12, 0x9ABCDEF0);
    // A message length that the payload does not match.
    const ULONG bad = rig.Send(0, 6, {Pattern(40, 2)});
    UCHAR* second = rig.drbs[0].At(used * kDrbEntrySize);
    PutU32(second, (U32(second) & 0xFFFF) | 41u << 16);
    // A payload descriptor where a packet should start: skipped alone.
    UCHAR* stray = rig.drbs[0].At((used + bad) * kDrbEntrySize);
    PutU32(stray, 7u << 16);
    rig.drbWrite[0]++;
    const ULONG last = rig.Send(0, 7, {Pattern(8, 3)});
    ASSERT_TRUE(rig.Announce(0, used + bad + 1 + last));
    rig.engine.Drain();

    const std::vector<DpmaifUplinkPacket> expected = {{0, 5, Pattern(40, 1)}, {0, 7, Pattern(8, 3)}};
    EXPECT_EQ(expected, rig.engine.UplinkPackets());
    EXPECT_EQ(2u, rig.engine.UplinkErrors());
    EXPECT_EQ(rig.drbWrite[0], rig.DrbRead(0));
}

TEST(DpmaifUplink, LoopbackSendsEachPacketBackOnItsChannel)
{
    Rig rig;
    rig.Start();
    std::vector<DpmaifUplinkPacket> heard;
    rig.engine.SetUplinkSink([&](const DpmaifUplinkPacket& packet) { heard.push_back(packet); });
    rig.engine.SetLoopback(true);
    ASSERT_TRUE(rig.Announce(0, rig.Send(0, 4, {Pattern(200, 1)})));
    ASSERT_TRUE(rig.Announce(1, rig.Send(1, 6, {Pattern(3, 2), Pattern(4000, 3)})));
    rig.engine.Drain();
    ASSERT_EQ(2u, heard.size());
    std::vector<RxPacket> back = rig.Receive(0);
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ(4u, back[0].channel);
    EXPECT_EQ(Pattern(200, 1), back[0].bytes);
    EXPECT_EQ(6u, back[1].channel);
    EXPECT_EQ(heard[1].bytes, back[1].bytes);
    EXPECT_EQ(5u, back[1].pieces) << "past the normal buffer's room: four fragments";

    rig.engine.SetLoopback(true, 1);
    rig.engine.SetUplinkRecording(false);
    rig.engine.ClearUplink();
    ASSERT_TRUE(rig.Announce(2, rig.Send(2, 8, {Pattern(60, 4)})));
    rig.engine.Drain();
    EXPECT_TRUE(rig.Receive(0).empty());
    ASSERT_EQ(1u, rig.Receive(1).size());
    EXPECT_TRUE(rig.engine.UplinkPackets().empty());
    EXPECT_EQ(1u, rig.engine.UplinkCount(2));
}

} // namespace
