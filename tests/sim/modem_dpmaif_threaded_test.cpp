// The DPMAIF engine on its own thread: a host thread sends packets of mixed sizes on two transmit queues
// while the engine loops them back to receive queue 1 and generates traffic on receive queue 0; the host
// reads both PITs, lends the buffers again and waits for the interrupt when it has nothing to do.
#include <gtest/gtest.h>

#include <host/host.h>

#include "host_test.h"
#include "modem_dpmaif_rig.h"

namespace {

using namespace dpmaiftest;

constexpr LONGLONG kPatience = 10'000'000; // 1 s of host time: far beyond what the engine needs

TEST(DpmaifThreaded, LoopedAndGeneratedPacketsArriveInOrderAndTheRingsBalance)
{
    constexpr ULONG kLooped = 400;
    constexpr ULONG kGenerated = 300;
    constexpr ULONG kChannels = 6;
    const SIZE_T sizes[] = {1, 60, 1500, 3520, 3600, 5000};
    Rig rig(ExecutionMode::Threaded);
    rig.Start();
    rig.engine.SetLoopback(true, 1);
    rig.engine.StartGenerator({.queue = 0, .channels = {kChannels}, .sizes = {64, 1500, 4000}, .count = kGenerated});

    std::array<std::vector<std::vector<UCHAR>>, kChannels> sent, looped;
    ULONG next = 0, generated = 0, received = 0;
    HANDLE host = hosttest::StartThread([&] {
        while (received < kLooped || generated < kGenerated) {
            rig.W(kDlStatus, 0xFFFFFFFF);
            rig.W(kUlStatus, 0xFFFFFFFF);
            bool progress = false;
            while (next < kLooped) {
                const ULONG q = next % 2, channel = next % kChannels;
                const SIZE_T size = sizes[next % std::size(sizes)];
                std::vector<std::vector<UCHAR>> pieces{Pattern(size / 2, static_cast<UCHAR>(next)),
                                                       Pattern(size - size / 2, static_cast<UCHAR>(next + 1))};
                const ULONG used = (rig.drbWrite[q] + Rig::kDrbEntries - rig.DrbRead(q)) % Rig::kDrbEntries;
                if (used + 3 > Rig::kDrbEntries - 1)
                    break;
                ASSERT_TRUE(rig.Announce(q, rig.Send(q, channel, pieces)));
                pieces[0].insert(pieces[0].end(), pieces[1].begin(), pieces[1].end());
                sent[channel].push_back(pieces[0]);
                next++;
                progress = true;
            }
            for (const RxPacket& packet : rig.Receive(0)) {
                EXPECT_EQ(kChannels, packet.channel);
                EXPECT_EQ(DpmaifEngine::GeneratedPayload(generated, std::array<SIZE_T, 3>{64, 1500, 4000}[generated % 3]),
                          packet.bytes);
                generated++;
                progress = true;
            }
            for (RxPacket& packet : rig.Receive(1)) {
                ASSERT_LT(packet.channel, kChannels);
                looped[packet.channel].push_back(std::move(packet.bytes));
                received++;
                progress = true;
            }
            if (!progress && !rig.engine.SourceAsserted(DpmaifEngine::kSource0) &&
                !rig.engine.SourceAsserted(DpmaifEngine::kSource1)) {
                ASSERT_TRUE(rig.sink.WaitRaised(kPatience)) << received << " looped, " << generated << " generated";
            }
        }
    });
    hosttest::JoinThread(host);

    for (ULONG channel = 0; channel < kChannels; channel++)
        EXPECT_EQ(sent[channel], looped[channel]) << "channel " << channel;
    EXPECT_EQ(kLooped / 2, rig.engine.UplinkCount(0));
    EXPECT_EQ(kLooped / 2, rig.engine.UplinkCount(1));
    for (ULONG q = 0; q < 2; q++) {
        EXPECT_EQ(rig.drbWrite[q], rig.DrbRead(q));
        EXPECT_EQ(Rig::kPitEntries - 1, rig.engine.Pit(q).read) << "every PIT entry given back";
        EXPECT_EQ(rig.pitRead[q], rig.R(kPitWriteIndex + 32 * q));
    }
    for (bool fragment : {false, true}) {
        DpmaifEngine::Ring bat = rig.engine.Bat(fragment);
        EXPECT_EQ(bat.length - 1, (bat.write + bat.length - bat.read) % bat.length) << "every buffer lent again";
    }
    EXPECT_EQ(0u, rig.engine.DmaErrors());
    EXPECT_EQ(0u, rig.engine.UplinkErrors());
}

} // namespace
