// Both CLDMA engines on their own threads, each echoing transmitted frames back into a receive ring
// while a host thread per engine waits for the interrupt and checks what arrived.
#include <gtest/gtest.h>

#include <host/host.h>

#include <random>

#include "host_test.h"
#include "modem_cldma_rig.h"

namespace {

using namespace cldmatest;

constexpr ULONG kFrames = 16;
constexpr USHORT kBufferSize = 3584;
constexpr LONGLONG kPatience = 10'000'000; // 1 s of host time: far beyond what the engine needs

// Rounds of kFrames frames of mixed sizes through transmit queue q, echoed to receive queue q. The rings
// have one descriptor more than is used, so that the current addresses tell when a round is through.
void EchoRounds(Rig& rig, ULONG rounds, unsigned seed)
{
    Ring tx(kFrames + 1, kBufferSize), rx(kFrames + 1, kBufferSize);
    std::mt19937 random(seed);
    std::uniform_int_distribution<SIZE_T> size(0, kBufferSize);
    for (ULONG round = 0; round < rounds; round++) {
        const ULONG q = round % kCldmaQueues;
        rig.peer.Echo(q, q);
        std::vector<std::vector<UCHAR>> sent;
        for (ULONG i = 0; i < kFrames; i++) {
            sent.push_back(Pattern(size(random), static_cast<UCHAR>(round * kFrames + i)));
            tx.Fill(i, sent.back(), i % 4 == 3 ? kArmed : kGpdHwo);
            rx.Arm(i);
        }
        rig.Start(CldmaDirection::Rx, q, rx.Address(0));
        rig.Start(CldmaDirection::Tx, q, tx.Address(0));
        for (;;) {
            rig.B(kTxStatus, 0xFFFFFFFF);
            rig.B(kRxStatus, 0xFFFFFFFF);
            if (rig.Current(CldmaDirection::Rx, q) == rx.Address(kFrames) && rig.B(kTxRunning) == 0)
                break;
            // A bit set between the two clears keeps the level up: no new assertion would come.
            if (!rig.engine.InterruptAsserted()) {
                ASSERT_TRUE(rig.sink.WaitRaised(kPatience)) << "round " << round << " stalled";
            }
        }
        for (ULONG i = 0; i < kFrames; i++) {
            EXPECT_EQ(kGpdIoc, rx.Flags(i));
            EXPECT_EQ(sent[i], rx.Received(i)) << "round " << round << " frame " << i;
        }
        EXPECT_EQ(tx.Address(kFrames), rig.Current(CldmaDirection::Tx, q)) << "stopped at the unused descriptor";
        rig.B(kTxStop, 0xFF);
        rig.B(kRxStop, 0xFF);
    }
    EXPECT_EQ(0u, rig.engine.ReceivePending(0));
}

TEST(CldmaThreaded, BothEnginesEchoMixedFramesInOrder)
{
    constexpr ULONG kRounds = 24;
    Rig sap(ExecutionMode::Threaded, kSourceCldmaSap);
    Rig md(ExecutionMode::Threaded, kSourceCldmaMd);
    HANDLE threads[] = {hosttest::StartThread([&] { EchoRounds(sap, kRounds, 1); }),
                        hosttest::StartThread([&] { EchoRounds(md, kRounds, 2); })};
    for (HANDLE thread : threads)
        hosttest::JoinThread(thread);
    for (ULONG q = 0; q < kCldmaQueues; q++) {
        EXPECT_EQ(kRounds / kCldmaQueues * kFrames, sap.peer.FrameCount(q));
        EXPECT_EQ(kRounds / kCldmaQueues * kFrames, md.peer.FrameCount(q));
    }
    for (const auto& level : sap.sink.Levels())
        EXPECT_EQ(kSourceCldmaSap, level.first);
    for (const auto& level : md.sink.Levels())
        EXPECT_EQ(kSourceCldmaMd, level.first);
}

} // namespace
