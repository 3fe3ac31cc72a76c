// The simulated modem boots against the modem host interface: cold boot to ready, the boot-ROM and dump
// stages, an exception, a warm reset, and handshakes that get no good answer.
#include "system_rig.h"

#include <algorithm>

#include <host/registry.h>

#include "Registry.h"
#include "doubles/modem_events.h"
#include "ccci_fsm.h"
#include "ccci_port.h"
#include "sim/modem/ccci.h"

namespace systemtest
{
namespace
{

using sim::modem::BootFault;
using sim::modem::BootPath;
using sim::modem::BootScript;
using sim::modem::Milliseconds;
namespace ccci = sim::modem::ccci;

constexpr LONGLONG kSecond = Milliseconds(1000);

class BootTest : public SystemRig
{
  public:
    static bool PortEnabled(const char* name)
    {
        struct ccci_port* port = ccci_port_get_by_name(0, name);
        return port != nullptr && port->enabled != 0;
    }

    // The character ports of both cores that are not enabled (the modem's enumeration enables them all).
    static std::vector<std::string> DisabledCharPorts()
    {
        std::vector<std::string> disabled;
        for (const ccci::Port& port : ccci::kPorts)
            if (port.kind == ccci::PortKind::Char && !PortEnabled(std::string(port.name).c_str()))
                disabled.emplace_back(port.name);
        return disabled;
    }

    void BootToReady()
    {
        ASSERT_EQ(STATUS_SUCCESS, Start());
        ASSERT_TRUE(WaitReport("MDM_READY", 10 * kSecond));
    }
};

TEST_F(BootTest, ColdBootReachesReadyWithThePortsTheModemEnumerated)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    EXPECT_EQ(0, Driver().probe);
    ASSERT_TRUE(WaitReport("MDM_READY", 10 * kSecond));

    EXPECT_EQ((std::vector<std::string>{"MDM_COLD_BOOT_STARTED", "MDM_NOT_READY", "MDM_COLD_BOOT_COMPLETED",
                                        "MDM_READY"}),
              Reports());
    EXPECT_EQ((u32)FSM_STATE_READY, fsm_get_state(0));
    EXPECT_EQ((u32)MD_STATE_READY, ccci_fsm_get_md_state(0));
    EXPECT_TRUE(Boot().HandshakeDone(ccci::Core::Md));
    EXPECT_TRUE(Boot().HandshakeDone(ccci::Core::Sap));
    EXPECT_EQ(std::vector<std::string>{}, DisabledCharPorts());

    // Ready is reported once per handshake: doorbells after it start nothing new.
    Modem().RingHost(sim::modem::boot::kDoorbellReady | sim::modem::boot::kDoorbellMdHandshake);
    EXPECT_FALSE(WaitReport("MDM_READY", 2 * kSecond, 2));
    EXPECT_EQ((u32)FSM_STATE_READY, fsm_get_state(0));
}

TEST_F(BootTest, BootRomStageSendsTheDownloadHandshakeThenBootsNormally)
{
    BootScript script;
    script.path = BootPath::BootRom;
    ASSERT_EQ(STATUS_SUCCESS, Start(script));
    ASSERT_TRUE(WaitReport("MDM_READY", 30 * kSecond));
    EXPECT_EQ((std::vector<UCHAR>{0xA0, 0x0A, 0x50, 0x05, 0xD6}), Boot().DownloadBytes());
    std::vector<std::string> reports = Reports();
    EXPECT_EQ(reports.end(), std::find(reports.begin(), reports.end(), "ROM_READY"));
}

TEST_F(BootTest, BootRomStageWithADownloadRequestedReportsRomReadyAndBootsOnceItIsDone)
{
    BootScript script;
    script.path = BootPath::BootRom;
    // A flashing request in the registry: the device's start asks the modem host interface for the
    // download.
    ULONG requested = 1;
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetValue(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", REG_DWORD,
                                                     &requested, sizeof(requested)));
    ASSERT_EQ(STATUS_SUCCESS, Start(script));
    ASSERT_TRUE(WaitReport("ROM_READY", 10 * kSecond));
    std::vector<std::string> reports = Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ("MDM_COLD_BOOT_COMPLETED", reports[reports.size() - 2]);
    EXPECT_TRUE(PortEnabled("brom_download"));
    EXPECT_TRUE(Boot().DownloadBytes().empty()) << "the flashing tool talks to the boot ROM, not the driver";
    EXPECT_EQ((u32)FSM_STATE_STARTING, fsm_get_state(0));

    // The poll sees the modem leave the boot ROM once the download is done.
    Boot().FinishDownload();
    ASSERT_TRUE(WaitReport("MDM_READY", 30 * kSecond));
    EXPECT_EQ(std::vector<std::string>{}, DisabledCharPorts());
}

TEST_F(BootTest, DumpStageReportsDumpReadyAndServesTheDumpPort)
{
    BootScript script;
    script.path = BootPath::Dump;
    ASSERT_EQ(STATUS_SUCCESS, Start(script));
    ASSERT_TRUE(WaitReport("CD_READY", 10 * kSecond));
    std::vector<std::string> reports = Reports();
    EXPECT_EQ("MDM_COLD_BOOT_COMPLETED", reports[reports.size() - 2]);
    EXPECT_EQ(1u, fsm_get_dump_ready(0));
    EXPECT_TRUE(PortEnabled("ttyDUMP"));
}

TEST_F(BootTest, ExceptionInReadyRunsTheExceptionPass)
{
    BootToReady();
    Boot().RaiseException(std::vector<UCHAR>(100, 0x5A));
    ASSERT_TRUE(WaitFor([&] { return Boot().ExceptionPassDone(); }, 60 * kSecond));
    EXPECT_TRUE(WaitReport("CRASH", kSecond));
    EXPECT_EQ((u32)MD_STATE_EXCEPTION, ccci_fsm_get_md_state(0));
    EXPECT_TRUE(WaitFor([] { return PortEnabled("ttyCMdLog") && PortEnabled("ttyCMdMeta"); }, 10 * kSecond));
}

TEST_F(BootTest, WarmResetIsReportedAndTheModemBootsBackToReady)
{
    BootToReady();
    const size_t before = Reports().size();

    Boot().RaiseReset(2);
    ASSERT_TRUE(WaitReport("WARM_RESET", 5 * kSecond));
    std::vector<std::string> reports = Reports();
    EXPECT_EQ((std::vector<std::string>{"CRASH", "WARM_RESET"}),
              std::vector<std::string>(reports.begin() + before, reports.end()));
    EXPECT_EQ(1u, Boot().ResetAcknowledgements());

    // The miniport answers a warm reset with a reset of the function: the device goes and comes back,
    // and the rebooted modem is brought up as at a cold boot.
    ASSERT_EQ(STATUS_SUCCESS, Replug());
    ASSERT_TRUE(WaitReport("MDM_READY", 30 * kSecond, 2));
    EXPECT_EQ((u32)FSM_STATE_READY, fsm_get_state(0));
    EXPECT_EQ(std::vector<std::string>{}, DisabledCharPorts());
}

TEST_F(BootTest, AHandshakeWithoutAGoodAnswerTimesOutAsAnException)
{
    for (BootFault fault : {BootFault::Silent, BootFault::WrongAnswer, BootFault::ShortAnswer}) {
        SCOPED_TRACE(static_cast<int>(fault));
        BootScript script;
        script.fault = fault;
        ASSERT_EQ(STATUS_SUCCESS, Start(script));
        ASSERT_TRUE(WaitReport("RESET", 120 * kSecond));
        std::vector<std::string> reports = Reports();
        ASSERT_GE(reports.size(), 2u);
        EXPECT_EQ("CRASH", reports[reports.size() - 2]);
        EXPECT_EQ(reports.end(), std::find(reports.begin(), reports.end(), "MDM_READY"));
        EXPECT_EQ((u32)FSM_STATE_EXCEPTION, fsm_get_state(0));
        Stop();
        doubles::Indications().clear();
    }
}

} // namespace
} // namespace systemtest
