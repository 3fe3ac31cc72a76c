// Power management against the simulated modem's power responder: the resource lock and its grant,
// idle suspend and the kinds of resume with their handshakes, the system power paths, and the power
// entities.
#include "pcie_rig.h"

#include "doubles/modem_events.h"

#include "mhccif.h"
#include "pcie_mac.h"
#include "pcie_pm.h"

#include <host/host.h>

#include <algorithm>
#include <string>

namespace taluvotest
{
namespace
{

using Writes = std::vector<std::pair<ULONG, ULONG>>;
using sim::modem::Milliseconds;

bool Wrote(const Writes& writes, ULONG offset, ULONG value)
{
    return std::find(writes.begin(), writes.end(), std::make_pair(offset, value)) != writes.end();
}

// Power entities that log their steps ("1:suspend") and fail the steps they are told to.
struct Entities {
    static inline std::vector<std::string> log;
    struct Recorder {
        mdm_pci_pm_entity entity{};
        std::string fail;
    };
    Recorder records[2];

    static int Step(struct mdm_pci_dev*, void* data, const char* name)
    {
        auto* r = static_cast<Recorder*>(data);
        log.push_back(std::to_string(r->entity.key) + ":" + name);
        return r->fail == name ? -5 : 0;
    }
    static int Suspend(struct mdm_pci_dev* dev, void* data) { return Step(dev, data, "suspend"); }
    static int SuspendLate(struct mdm_pci_dev* dev, void* data) { return Step(dev, data, "suspend_late"); }
    static int ResumeEarly(struct mdm_pci_dev* dev, void* data) { return Step(dev, data, "resume_early"); }
    static int Resume(struct mdm_pci_dev* dev, void* data) { return Step(dev, data, "resume"); }

    void Register(struct mdm_pci_dev* dev)
    {
        log.clear();
        for (u32 n = 0; n < 2; n++) {
            mdm_pci_pm_entity& e = records[n].entity;
            e = {};
            e.key = n + 1;
            e.data = &records[n];
            e.suspend = Suspend;
            e.suspend_late = SuspendLate;
            e.resume_early = ResumeEarly;
            e.resume = Resume;
            ASSERT_EQ(0, mdm_pci_pm_entity_register(dev, &e));
        }
    }
    void Unregister(struct mdm_pci_dev* dev)
    {
        for (Recorder& r : records)
            mdm_pci_pm_entity_unregister(dev, &r.entity);
    }
};

struct Notices {
    static inline std::vector<int> calls;
    static void Notify(int resumed, void*) { calls.push_back(resumed); }
};

class PmTest : public PcieRig
{
  protected:
    // The device as the handshake leaves it: sleep enabled, power doorbells unmasked.
    void StartReady(const sim::modem::ModemConfig& config = {})
    {
        ASSERT_EQ(STATUS_SUCCESS, Start(config));
        dev_ = Dev();
        mhccif_mask_clear(dev_, D2H_HANDSHAKE_BITS);
        mdm_pci_pm_init_late(dev_);
        Notices::calls.clear();
        mdm_pcie_register_pm_notify(dev_, Notices::Notify, nullptr);
        // Let the modem drop the grant the probe asked for.
        host::ClockAdvance(Milliseconds(5));
        Modem().ClearWrites();
        Modem().ClearDoorbellsRung();
    }
    void TearDown() override
    {
        if (dev_ != nullptr)
            entities_.Unregister(dev_);
        PcieRig::TearDown();
    }

    struct mdm_pci_dev* dev_ = nullptr;
    Entities entities_;
};

TEST_F(PmTest, LockWithoutSleepCapsDoesNothing)
{
    pci_device_id id = mdm_pcie_bus_driver()->id_table[0];
    id.device = 0x1234;
    ASSERT_EQ(STATUS_SUCCESS, Start({}, &id));
    Modem().ClearWrites();
    EXPECT_EQ(0, __mdm_dev_pci_resource_lock(Dev(), 1));
    EXPECT_EQ(0, mdm_dev_pci_resource_release(Dev(), 1));
    EXPECT_EQ(0, Dev()->res_lock_count);
    EXPECT_TRUE(MacWrites().empty());
}

TEST_F(PmTest, LockWhileSleepIsInactiveOnlyCounts)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    Modem().ClearWrites();
    EXPECT_EQ(0, __mdm_dev_pci_resource_lock(Dev(), 1));
    EXPECT_EQ(1, Dev()->res_lock_count);
    EXPECT_TRUE(KeReadStateEvent(&Dev()->ev_res_grant));
    EXPECT_TRUE(MacWrites().empty());
    EXPECT_EQ(0, mdm_dev_pci_resource_release(Dev(), 1));
    EXPECT_EQ(0, Dev()->res_lock_count);
}

TEST_F(PmTest, FirstLockAsksTheModemAndTheGrantEndsTheWait)
{
    StartReady();
    ASSERT_NE(MAC_RES_GRANTED, Mac(MAC_RES_GRANT) & MAC_RES_GRANTED);
    EXPECT_EQ(1, __mdm_dev_pci_resource_lock(dev_, 1));
    EXPECT_EQ(MAC_RES_LOCK_REQUEST, Mac(MAC_RES_LOCK) & MAC_RES_LOCK_REQUEST);
    EXPECT_TRUE(Wrote(DoorbellWrites(), MHCCIF_H2D_NUMBER, H2D_RESOURCE_REQUEST));
    // A second holder before the grant waits too; the wait ends with the modem's doorbell 0.
    EXPECT_EQ(1, __mdm_dev_pci_resource_lock(dev_, 2));
    mdm_dev_pci_resource_wait(dev_, 1);
    EXPECT_TRUE(KeReadStateEvent(&dev_->ev_res_grant));
    // Once granted, a nested lock does not wait and rings nothing.
    Modem().ClearWrites();
    EXPECT_EQ(0, __mdm_dev_pci_resource_lock(dev_, 3));
    EXPECT_TRUE(DoorbellWrites().empty());
    for (u32 user : {1u, 2u, 3u})
        mdm_dev_pci_resource_release(dev_, user);
    EXPECT_EQ(0, dev_->res_lock_count);
}

TEST_F(PmTest, LastReleaseDropsTheRequestAfterTheDelay)
{
    StartReady();
    ASSERT_EQ(1, __mdm_dev_pci_resource_lock(dev_, 1));
    mdm_dev_pci_resource_wait(dev_, 1);
    mdm_dev_pci_resource_release(dev_, 1);
    host::ClockAdvance(Milliseconds(50));
    EXPECT_EQ(MAC_RES_LOCK_REQUEST, Mac(MAC_RES_LOCK) & MAC_RES_LOCK_REQUEST);
    // A relock within the delay finds the grant still shown: no doorbell, and the bit stays.
    Modem().ClearWrites();
    EXPECT_EQ(1, __mdm_dev_pci_resource_lock(dev_, 1));
    EXPECT_TRUE(KeReadStateEvent(&dev_->ev_res_grant));
    EXPECT_TRUE(DoorbellWrites().empty());
    mdm_dev_pci_resource_release(dev_, 1);
    host::ClockAdvance(Milliseconds(99));
    EXPECT_EQ(MAC_RES_LOCK_REQUEST, Mac(MAC_RES_LOCK) & MAC_RES_LOCK_REQUEST);
    host::ClockAdvance(Milliseconds(2));
    EXPECT_EQ(0u, Mac(MAC_RES_LOCK) & MAC_RES_LOCK_REQUEST);
}

TEST_F(PmTest, GrantWait)
{
    StartReady();
    mac_write(dev_->mac, MAC_PM_SET, 0x2);
    EXPECT_EQ(0, mdm_pci_wait_resource_grant(dev_));
    mac_write(dev_->mac, MAC_PM_CLEAR, 0x2);
    host::ClockAdvance(Milliseconds(5));
    Modem().SetPowerMode(sim::modem::PowerMode::Silent);
    const LONGLONG before = host::ClockNow();
    EXPECT_EQ(-138, mdm_pci_wait_resource_grant(dev_));
    EXPECT_GE(host::ClockNow() - before, Milliseconds(10));
}

TEST_F(PmTest, IdleSuspendHandshake)
{
    StartReady();
    entities_.Register(dev_);
    Pdev()->Idle = TRUE;
    Pdev()->TargetPowerState = 4;
    EXPECT_EQ(0, mdm_pci_pm_suspend(Pdev()));
    EXPECT_EQ((std::vector<std::string>{"1:suspend", "2:suspend", "1:suspend_late", "2:suspend_late"}),
              Entities::log);
    EXPECT_EQ(0x53550001u, Modem().DoorbellRegister(MHCCIF_PM_MESSAGE));
    EXPECT_EQ((std::vector<ULONG>{H2D_SUSPEND1, H2D_SUSPEND2}), Modem().DoorbellsRung());
    EXPECT_TRUE(KeReadStateEvent(&dev_->ev_suspend_ack1));
    EXPECT_TRUE(KeReadStateEvent(&dev_->ev_suspend_ack2));
    EXPECT_EQ(0, dev_->lock_allowed);
    EXPECT_EQ(0, dev_->d3_done);
    EXPECT_EQ(0u, Mac(MAC_RES_LOCK) & MAC_RES_LOCK_REQUEST);
    const Writes writes = MacWrites();
    EXPECT_TRUE(Wrote(writes, MAC_MSIX_MASK, 1u << 30));
    EXPECT_FALSE(Wrote(writes, MAC_MSIX_UNMASK, 1u << 30));
    EXPECT_EQ(std::make_pair(ULONG{MAC_PM_CLEAR}, 2u), writes.back());
    // While suspended the lock only counts.
    EXPECT_EQ(0, __mdm_dev_pci_resource_lock(dev_, 1));
    mdm_dev_pci_resource_release(dev_, 1);
}

TEST_F(PmTest, IdleSuspendRefusals)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    Modem().ClearWrites();
    EXPECT_EQ(-14, mdm_pci_pm_suspend_idle(Dev())); // sleep not enabled yet
    EXPECT_TRUE(MacWrites().empty());
    Stop();

    StartReady();
    entities_.Register(dev_);
    entities_.records[1].fail = "suspend";
    EXPECT_EQ(-5, mdm_pci_pm_suspend_idle(dev_));
    EXPECT_EQ((std::vector<std::string>{"1:suspend", "2:suspend", "1:resume"}), Entities::log);
    EXPECT_EQ(1, dev_->lock_allowed);
    EXPECT_TRUE(Wrote(MacWrites(), MAC_MSIX_UNMASK, 1u << 30));
    EXPECT_TRUE(DoorbellWrites().empty());

    // A pending modem reset skips the handshake, not the late steps.
    entities_.records[1].fail.clear();
    doubles::Core().rgu_pending = true;
    static int modem_object;
    dev_->md = reinterpret_cast<struct ccci_md*>(&modem_object); // opaque: the double answers for it
    Entities::log.clear();
    EXPECT_EQ(0, mdm_pci_pm_suspend_idle(dev_));
    EXPECT_TRUE(DoorbellWrites().empty());
    EXPECT_EQ("2:suspend_late", Entities::log.back());
}

TEST_F(PmTest, SilentModemTimesTheHandshakeOut)
{
    StartReady();
    entities_.Register(dev_);
    Modem().SetPowerMode(sim::modem::PowerMode::Silent);
    const LONGLONG before = host::ClockNow();
    EXPECT_EQ(0, mdm_pci_pm_suspend_idle(dev_));
    // Two 1500 ms waits, each timing out, and the sequence still ends with the late steps.
    EXPECT_GE(host::ClockNow() - before, Milliseconds(3000));
    EXPECT_EQ("2:suspend_late", Entities::log.back());
    EXPECT_FALSE(KeReadStateEvent(&dev_->ev_suspend_ack1));
}

struct ResumeCase {
    ULONG state;
    bool handshake;
    bool restore;
    int sleep_enable;
};

class ResumeTest : public PmTest, public testing::WithParamInterface<ResumeCase>
{
};

TEST_P(ResumeTest, ResumeStateDecidesTheResume)
{
    const ResumeCase c = GetParam();
    StartReady();
    entities_.Register(dev_);
    Pdev()->Idle = TRUE;
    Pdev()->TargetPowerState = 4;
    ASSERT_EQ(0, mdm_pci_pm_suspend(Pdev()));
    Modem().SetMacRegister(MAC_RESUME_STATE, c.state);
    Modem().ClearWrites();
    Modem().ClearDoorbellsRung();
    Entities::log.clear();
    mdm_pci_pm_resume_noirq(Pdev());
    EXPECT_EQ(0, mdm_pci_pm_resume(Pdev()));
    EXPECT_EQ(c.sleep_enable, dev_->sleep_enable);
    EXPECT_EQ(1, dev_->lock_allowed); // back to 1 on every way out
    const Writes writes = MacWrites();
    EXPECT_EQ(c.restore, Wrote(writes, MAC_MSIX_MASK, 0xFF000000u));
    if (c.handshake) {
        EXPECT_EQ((std::vector<ULONG>{H2D_RESUME1, H2D_RESUME2}), Modem().DoorbellsRung());
        EXPECT_EQ(0x52450002u, Modem().DoorbellRegister(MHCCIF_PM_MESSAGE));
        EXPECT_EQ((std::vector<std::string>{"1:resume_early", "2:resume_early", "1:resume", "2:resume"}),
                  Entities::log);
    } else {
        for (const auto& [offset, value] : DoorbellWrites())
            EXPECT_NE(ULONG{MHCCIF_H2D_RING}, offset) << value;
        EXPECT_TRUE(Entities::log.empty());
    }
    if (c.state >= 1 && c.state <= 5) {
        EXPECT_EQ(1, dev_->d3_done);
        EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
        EXPECT_TRUE(doubles::Indications().empty());
    } else {
        EXPECT_EQ((std::vector<std::string>{"CRASH", "WARM_RESET"}), doubles::Indications());
        EXPECT_EQ(std::vector<int>{0}, Notices::calls);
        EXPECT_EQ(1, doubles::Core().rgu_clears);
    }
}

INSTANTIATE_TEST_SUITE_P(States, ResumeTest,
                         testing::Values(ResumeCase{1, true, false, 1}, ResumeCase{2, true, false, 1},
                                         ResumeCase{3, false, false, 0}, ResumeCase{4, true, true, 1},
                                         ResumeCase{5, false, true, 0}, ResumeCase{0, false, false, 0}));

TEST_F(PmTest, SystemPowerPaths)
{
    StartReady();
    IPC_PCI_DEVICE* pdev = Pdev();
    pdev->PowerState = 4;
    EXPECT_EQ(0, mdm_pci_pm_suspend(pdev));
    EXPECT_TRUE(Notices::calls.empty());
    pdev->PowerState = IPC_PCI_POWER_D0;
    pdev->Idle = FALSE;
    pdev->TargetPowerState = 4;
    EXPECT_EQ(0, mdm_pci_pm_suspend(pdev));
    EXPECT_EQ(std::vector<int>{0}, Notices::calls);
    EXPECT_EQ(IPC_COLD_BOOT_POWER_LOST, pdev->IpcContext->ColdBootCompleted);
    EXPECT_FALSE(IpcColdBootCompleted(pdev->IpcContext));
    EXPECT_EQ(std::vector<std::string>{"MDM_NOT_READY"}, doubles::Indications());

    // Power loss clears the translation; the cold resume programs it again.
    pdev->PreviousPowerState = IPC_PCI_POWER_D3_FINAL;
    EXPECT_EQ(0, mdm_pci_pm_resume(pdev));
    EXPECT_EQ(1, dev_->sleep_enable);
    pdev->PreviousPowerState = 4;
    mac_write(dev_->mac, MAC_ATR, 0);
    doubles::Indications().clear();
    mdm_pci_pm_resume_noirq(pdev);
    EXPECT_EQ(0, mdm_pci_pm_resume(pdev));
    EXPECT_EQ((std::vector<std::string>{"MDM_COLD_BOOT_STARTED", "MDM_NOT_READY"}), doubles::Indications());
    EXPECT_EQ(static_cast<ULONG>(dev_->bar_pa[1]) | 0x2B, Mac(MAC_ATR));
    EXPECT_EQ(0, dev_->sleep_enable);
    EXPECT_EQ(1, dev_->lock_allowed);
    EXPECT_EQ((std::vector<int>{0, 1}), Notices::calls);
    EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
}

TEST_F(PmTest, ColdResumeWithOneMessageKeepsTheDoorbells)
{
    sim::modem::ModemConfig config;
    config.messages = 1;
    StartReady(config);
    IPC_PCI_DEVICE* pdev = Pdev();
    pdev->Idle = FALSE;
    pdev->TargetPowerState = 4;
    ASSERT_EQ(0, mdm_pci_pm_suspend(pdev));
    mdm_pci_pm_resume_noirq(pdev);
    ASSERT_EQ(0, mdm_pci_pm_resume(pdev));
    EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
    KeClearEvent(&dev_->ev_res_grant);
    Modem().RingHost(D2H_RESOURCE_GRANT);
    EXPECT_TRUE(WaitFor([&] { return KeReadStateEvent(&dev_->ev_res_grant) != 0; }));
}

TEST_F(PmTest, EntityKeysAreUnique)
{
    StartReady();
    entities_.Register(dev_);
    mdm_pci_pm_entity twin = {};
    twin.key = 2;
    EXPECT_EQ(-114, mdm_pci_pm_entity_register(dev_, &twin));
    // Unregistering a record that is not the registered one leaves the list alone.
    EXPECT_EQ(-114, mdm_pci_pm_entity_unregister(dev_, &twin));
    EXPECT_EQ(0, mdm_pci_pm_entity_unregister(dev_, &entities_.records[1].entity));
    EXPECT_EQ(-114, mdm_pci_pm_entity_unregister(dev_, &entities_.records[1].entity));
    EXPECT_EQ(0, mdm_pci_pm_entity_register(dev_, &twin));
    EXPECT_EQ(0, mdm_pci_pm_entity_unregister(dev_, &twin));
}

} // namespace
} // namespace taluvotest
