// The boot firmware on a threaded modem: its steps on the modem's scheduler thread, the host's frames
// heard on the engines' threads, and the host on the test's thread waiting on the host clock.
#include <gtest/gtest.h>

#include "modem_boot_rig.h"

namespace {

using namespace boottest;

constexpr LONGLONG kPatience = Milliseconds(1000); // far beyond the script's steps

TEST(ModemBootThreaded, BootHandshakeExceptionResetAndStop)
{
    BootRig rig({}, ExecutionMode::Threaded);
    BootFirmware& boot = rig.Boot();
    auto doorbells = [&](ULONG bits) { return [&rig, bits] { return (rig.Doorbells() & bits) == bits; }; };

    boot.PowerOn();
    ASSERT_TRUE(boot.Wait([&] { return boot.Status() == kStatusNormal; }, kPatience));
    EXPECT_EQ(kHandshakeDoorbells, rig.Doorbells());
    for (Core core : {Core::Md, Core::Sap}) {
        rig.rings.SendFrame(BootRig::FeatureSet(core));
        rig.rings.SendFrame(BootRig::RuntimeReply(core));
    }
    ASSERT_TRUE(boot.Wait([&] { return boot.HandshakeDone(Core::Md) && boot.HandshakeDone(Core::Sap); }, kPatience));
    EXPECT_TRUE(rig.hw.firmware.HostFeatures(Core::Sap));

    rig.ClearDoorbells();
    boot.RaiseException(cldmatest::Pattern(64, 1));
    rig.host.Doorbell(doorbell::kRing, 1u << kHostExceptionStage0);
    ASSERT_TRUE(boot.Wait(doorbells(kDoorbellException | ExceptionStageAck(0)), kPatience));
    rig.rings.SendControl(kCtrlHostTx, kCtrlExceptionAnnounce, kExceptionMagic);
    ASSERT_TRUE(boot.Wait([&] { return boot.ExceptionEchoed(); }, kPatience));
    ASSERT_TRUE(boot.Wait(doorbells(ExceptionStageAck(2)), kPatience));
    rig.host.Doorbell(doorbell::kRing, 1u << kHostExceptionStage3);
    ASSERT_TRUE(boot.Wait([&] { return boot.ExceptionPassDone(); }, kPatience));
    EXPECT_TRUE(doorbells(ExceptionStageAck(3))());

    boot.RaiseReset(2);
    rig.host.Window(kRguOffset, rig.host.Window(kRguOffset));
    ASSERT_TRUE(boot.Wait([&] { return boot.ResetAcknowledgements() == 1; }, kPatience));
    ASSERT_TRUE(boot.Wait([&] { return !boot.HandshakeDone(Core::Md) && boot.Status() == (ResetType(2) | kStatusNormal); },
                          kPatience));

    rig.host.Doorbell(doorbell::kRing, 1u << kHostStop);
    EXPECT_TRUE(boot.Wait([&] { return boot.StopSeen(); }, kPatience));
    EXPECT_FALSE(boot.Wait([] { return false; }, kPatience)) << "a wait that never holds ends at its time-out";
}

} // namespace
