// The modem's reports reach the miniport through the IPC context: the IPC states and the events they
// raise on the device, the crash watchdog and the reset paths, a report held while the device is out
// of D0, and the registry's flashing and dump configurations.
#include "system_rig.h"

#include <host/host.h>
#include <host/registry.h>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "MbbDevice.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "PortFunction.h"
#include "Registry.h"
#include "doubles/modem_event_actions.h"
#include "host_test.h"
#include "pcie_mac.h"

namespace systemtest
{
namespace
{

using sim::modem::BootPath;
using sim::modem::BootScript;
using sim::modem::Milliseconds;

constexpr LONGLONG kSecond = Milliseconds(1000);
constexpr ULONG kD3 = 4;

void PutDword(std::u16string_view key, std::u16string_view name, ULONG value)
{
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetValue(key, name, REG_DWORD, &value, sizeof(value)));
}

class EventsTest : public SystemRig
{
  protected:
    void SetUp() override
    {
        SystemRig::SetUp();
        doubles::Actions() = {};
    }

  public:
    IPC_CONTEXT* Ipc() { return GetIpcContext(Driver().device); }
    MBB_DEVICE_CONTEXT* Mbb() { return GetMbbDeviceContext(Driver().device); }

    // Host time passes until the IPC state and the device's state are as given.
    bool Reach(ULONG ipcState, ULONG deviceState, LONGLONG limit = 10 * kSecond)
    {
        return WaitFor([&] { return Ipc()->State == ipcState && Mbb()->DeviceState == deviceState; }, limit);
    }
};

TEST_F(EventsTest, ColdBootEndsReadyWithTheReadyEvent)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_TRUE(Reach(IpcModemStateReady, 3));
    EXPECT_EQ(1, Ipc()->ColdBootCompleted);
    EXPECT_FALSE(Ipc()->EventDeferred);
    ASSERT_FALSE(doubles::Actions().idleTimeouts.empty());
    EXPECT_EQ(5000u, doubles::Actions().idleTimeouts.back()); // idle allowed once ready
    EXPECT_EQ(0, doubles::Actions().pldr);
}

TEST_F(EventsTest, ACrashWithoutDumpConfigurationEndsInAPlatformReset)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_TRUE(Reach(IpcModemStateReady, 3));
    Boot().RaiseException();
    ASSERT_TRUE(WaitFor([] { return doubles::Actions().pldr == 1; }, 10 * kSecond));
    EXPECT_EQ((ULONG)IpcModemStateReset, Ipc()->State);
    // Every later report is ignored.
    Boot().RaiseReset(2);
    EXPECT_FALSE(WaitFor([] { return doubles::Actions().fldr != 0; }, 2 * kSecond));
    EXPECT_EQ((ULONG)IpcModemStateReset, Ipc()->State);
}

TEST_F(EventsTest, ACrashWithAFullRamDumpConfiguredRunsTheWatchdogAndMarksTheNextStart)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_TRUE(Reach(IpcModemStateReady, 3));
    // The dump configuration as the dump IOCTL sets it: the driver key's value and the driver's flags.
    PutDword(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus", 0);
    PutDword(taluvotest::GlueDriverKey(), u"WWANCDConfig", 1);
    ASSERT_TRUE(GetFullRAMDumpConfig(Driver().device));

    Boot().RaiseException();
    ASSERT_TRUE(Reach(IpcModemStateCrash, 4));
    EXPECT_TRUE(WaitFor([&] { return hosttest::RegistryDword(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus") == 1u; }, kSecond));
    EXPECT_EQ(1, ReadAcquire(&Ipc()->WatchdogStarted));
    EXPECT_EQ(0, doubles::Actions().pldr);
}

TEST_F(EventsTest, AReportWhileOutOfD0RunsItsEventAtTheNextResume)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_TRUE(Reach(IpcModemStateReady, 3));
    WDFDEVICE device = Driver().device;
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtSuspendHandler(device, kD3, TRUE));

    // The data path finds the modem gone while the device sleeps: the state changes, the event waits.
    IpcNetlinkIndicate("WARM_RESET", 11);
    EXPECT_EQ((ULONG)IpcModemStateWarmReset, Ipc()->State);
    EXPECT_TRUE(Ipc()->EventDeferred);
    EXPECT_FALSE(WaitFor([] { return doubles::Actions().fldr != 0; }, kSecond));

    Modem().SetMacRegister(MAC_RESUME_STATE, 1); // slept with its context kept
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtResumeNoIrq(device));
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtResumeHandler(device, kD3));
    ASSERT_TRUE(WaitFor([] { return doubles::Actions().fldr == 1; }, 5 * kSecond));
    EXPECT_FALSE(Ipc()->EventDeferred);
    host::Quiesce();
    EXPECT_EQ(1, doubles::Actions().fldr) << "the event runs once";
}

// The boot ROM's download port registers its port function: at ROM ready the event connects it and the
// flashing request is done with there, so the modem then boots to ready without a platform reset.
TEST_F(EventsTest, AFlashingRequestTakesTheBootRomPathAndIsClearedOnceTheDownloadPortIsThere)
{
    PutDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 1);
    BootScript script;
    script.path = BootPath::BootRom;
    ASSERT_EQ(STATUS_SUCCESS, Start(script));
    EXPECT_TRUE(IpcGetBromDLFlag());
    ASSERT_TRUE(Reach(IpcModemStateRomReady, 2));
    PIPC_PORT_FUNCTION flash = IpcGetPortFnContextSio(IPC_FN_FLASH);
    ASSERT_NE(nullptr, flash);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), flash->State);
    EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{4, IPC_FN_FLASH}}), doubles::Actions().setups);
    EXPECT_FALSE(Mbb()->IsFlashing);
    EXPECT_FALSE(IpcGetBromDLFlag());
    EXPECT_EQ(0u, hosttest::RegistryDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus"));

    Boot().FinishDownload();
    ASSERT_TRUE(Reach(IpcModemStateReady, 3, 30 * kSecond));
    EXPECT_EQ(0, doubles::Actions().pldr);
}

} // namespace
} // namespace systemtest
