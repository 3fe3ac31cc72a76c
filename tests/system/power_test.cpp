// The modem device leaves D0 and comes back through the IPC glue's power handlers, with the simulated
// modem answering the suspend and resume handshakes; the doorbell that precedes a function reset.
#include "system_rig.h"

#include <host/host.h>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccci_fsm.h"
#include "doubles/modem_events.h"
#include "mhccif.h"
#include "pcie_mac.h"

namespace systemtest
{
namespace
{

using sim::modem::Milliseconds;

constexpr LONGLONG kSecond = Milliseconds(1000);
constexpr ULONG kD3 = 4;

class PowerTest : public SystemRig
{
  public:
    void BootToReady()
    {
        ASSERT_EQ(STATUS_SUCCESS, Start());
        ASSERT_TRUE(WaitReport("MDM_READY", 10 * kSecond));
        Modem().ClearDoorbellsRung();
    }
};

TEST_F(PowerTest, AnIdlePeriodSuspendsAndResumesTheModemWhichStaysReady)
{
    BootToReady();
    WDFDEVICE device = Driver().device;
    IPC_PCI_DEVICE* pdev = Driver().Pdev();

    ASSERT_EQ(STATUS_SUCCESS, IpcEvtSuspendHandler(device, kD3, TRUE));
    EXPECT_EQ(kD3, pdev->PowerState);
    EXPECT_NE(0, KeReadStateEvent(&pdev->ResumeEvent)) << "an idle device stays resumable";
    EXPECT_EQ((std::vector<ULONG>{H2D_SUSPEND1, H2D_SUSPEND2}), Modem().DoorbellsRung());

    Modem().ClearDoorbellsRung();
    Modem().SetMacRegister(MAC_RESUME_STATE, 1); // slept with its context kept: a full resume
    EXPECT_EQ(STATUS_SUCCESS, IpcEvtResumeNoIrq(device));
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtResumeHandler(device, kD3));
    EXPECT_EQ(ULONG(IPC_PCI_POWER_D0), pdev->PowerState);
    EXPECT_EQ(kD3, pdev->PreviousPowerState);
    EXPECT_EQ((std::vector<ULONG>{H2D_RESUME1, H2D_RESUME2}), Modem().DoorbellsRung());
    EXPECT_EQ((u32)MD_STATE_READY, ccci_fsm_get_md_state(0));

    // The host interface still serves the modem: its exception is handled as before the idle period.
    Boot().RaiseException(std::vector<UCHAR>(100, 0x5A));
    EXPECT_TRUE(WaitReport("CRASH", 60 * kSecond));
}

TEST_F(PowerTest, ASystemSuspendLosesTheModemsColdBoot)
{
    BootToReady();
    WDFDEVICE device = Driver().device;
    IPC_PCI_DEVICE* pdev = Driver().Pdev();
    const size_t before = Reports().size();

    ASSERT_EQ(STATUS_SUCCESS, IpcEvtSuspendHandler(device, kD3, FALSE));
    EXPECT_EQ(kD3, pdev->PowerState);
    EXPECT_EQ(0, KeReadStateEvent(&pdev->ResumeEvent));
    EXPECT_FALSE(IpcColdBootCompleted(GetIpcContext(device)));
    std::vector<std::string> reports = Reports();
    EXPECT_EQ(std::vector<std::string>{"MDM_NOT_READY"}, std::vector<std::string>(reports.begin() + before, reports.end()));
}

TEST_F(PowerTest, TheDoorbellBeforeAFunctionResetReachesTheModemWhichGetsTimeToActOnIt)
{
    BootToReady();
    const LONGLONG before = host::ClockNow();
    IpcDisableModemDRM(Driver().Pdev());
    EXPECT_EQ(std::vector<ULONG>{14}, Modem().DoorbellsRung());
    EXPECT_GE(host::ClockNow() - before, Milliseconds(200));
}

} // namespace
} // namespace systemtest
