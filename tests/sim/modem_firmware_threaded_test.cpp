// The firmware behind both engines running on their own threads: a host thread per core writes, the
// firmware answers from the engines' threads, and the host waits for the answers on the host clock.
#include <gtest/gtest.h>

#include "host_test.h"
#include "modem_firmware_rig.h"

namespace {

using namespace fwtest;

constexpr LONGLONG kPatience = 10'000'000; // 1 s of host time: far beyond what the engines need

TEST(ModemFirmwareThreaded, MbimRoundTripAndEchoOnBothCores)
{
    FirmwareRig rig(ExecutionMode::Threaded);
    // The answer: the request with its transaction id's top bit set.
    rig.firmware.SetMbimHandler([&](const std::vector<UCHAR>& message) {
        std::vector<UCHAR> answer = message;
        StoreU32(answer.data() + 8, LoadU32(answer.data() + 8) | 0x80000000);
        rig.firmware.SendMbim(answer);
    });

    std::vector<UCHAR> request = cldmatest::Pattern(4000, 5);
    StoreU32(request.data(), 3);
    StoreU32(request.data() + 4, static_cast<ULONG>(request.size()));
    StoreU32(request.data() + 8, 17);
    std::vector<Received> mbim, gnss;
    const Port& gnssPort = *PortByName("ccci_sap_gnss");
    const auto nmea = cldmatest::Pattern(300, 1);

    const std::vector<UCHAR> first(request.begin(), request.begin() + kMbimChunk);
    const std::vector<UCHAR> rest(request.begin() + kMbimChunk, request.end());
    const std::vector<std::vector<UCHAR>> mbimFrames = {rig.Numbered(DataFrame(kMbimHostTx, first)),
                                                        rig.Numbered(DataFrame(kMbimHostTx, rest))};
    const std::vector<std::vector<UCHAR>> gnssFrames = {rig.Numbered(DataFrame(gnssPort.hostTx, nmea)),
                                                        rig.Numbered(DataFrame(gnssPort.hostTx, nmea))};
    HANDLE threads[] = {
        hosttest::StartThread([&] {
            rig.Send(Core::Md, PortByHostTx(kMbimHostTx)->txq, mbimFrames);
            mbim = rig.TakeWhenFilled(Core::Md, PortByHostRx(kMbimHostRx)->rxq, 2, kPatience);
        }),
        hosttest::StartThread([&] {
            rig.Send(Core::Sap, gnssPort.txq, gnssFrames);
            gnss = rig.TakeWhenFilled(Core::Sap, gnssPort.rxq, 2, kPatience);
        }),
    };
    for (HANDLE thread : threads)
        hosttest::JoinThread(thread);

    ASSERT_EQ(2u, mbim.size());
    std::vector<UCHAR> answer = mbim[0].data();
    auto tail = mbim[1].data();
    answer.insert(answer.end(), tail.begin(), tail.end());
    EXPECT_EQ(request.size(), answer.size());
    EXPECT_EQ(0x80000011u, LoadU32(answer.data() + 8));
    EXPECT_TRUE(std::equal(request.begin() + 12, request.end(), answer.begin() + 12));
    EXPECT_EQ(0x8001, mbim[1].header().seq);

    ASSERT_EQ(2u, gnss.size());
    EXPECT_EQ(nmea, gnss[1].data());
    EXPECT_EQ(gnssPort.hostRx, gnss[1].header().channel);
    EXPECT_TRUE(rig.firmware.WaitFrames(kMbimHostTx, 2, kPatience));
    EXPECT_TRUE(rig.firmware.Gaps().empty());
}

} // namespace
