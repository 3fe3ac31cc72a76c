// The doorbell block: rings to the modem, the service of the modem's doorbells with its handlers and
// events, and the modem's doorbell reaching its handler end to end through MSI-X and the line.
#include "pcie_rig.h"

#include "mhccif.h"
#include "pcie_mac.h"

#include <host/host.h>

#include <algorithm>

namespace taluvotest
{
namespace
{

using Writes = std::vector<std::pair<ULONG, ULONG>>;

struct Handler {
    std::atomic<int> calls{0};
    static int Callback(void* arg)
    {
        static_cast<Handler*>(arg)->calls++;
        return 0;
    }
};

class DoorbellTest : public PcieRig
{
  protected:
    // The handshake's handler registered, and the modem's rings kept from raising the doorbell source,
    // so that the test runs the service itself.
    struct mdm_pci_dev* StartServing()
    {
        EXPECT_EQ(STATUS_SUCCESS, Start());
        struct mdm_pci_dev* dev = Dev();
        EXPECT_EQ(0, mdm_pcie_register_doorbell_handler(dev, 2, D2H_HANDSHAKE_BITS, Handler::Callback, &handler_));
        mhccif_mask_set(dev, 0xFFFFFFFF);
        return dev;
    }

    Handler handler_;
};

// Runs the service as the work item does after the doorbell source fired.
void Serve(struct mdm_pci_dev* dev)
{
    mdm_irq_work_set(dev, MDM_WORK_DOORBELL);
    mdm_pcie_doorbell_service(dev);
}

TEST_F(DoorbellTest, RingWritesTheBitThenTheNumber)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    Modem().ClearWrites();
    mhccif_send_doorbell(Dev(), 14);
    EXPECT_EQ((Writes{{MHCCIF_H2D_RING, 0x4000}, {MHCCIF_H2D_NUMBER, 14}}), DoorbellWrites());
    mhccif_send_doorbell(nullptr, 14); // traced only
}

TEST_F(DoorbellTest, PowerAcksSetEventsWithoutHandlers)
{
    struct mdm_pci_dev* dev = StartServing();
    Handler& handler = handler_;
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, true); // the dispatch leaves it masked for the service
    Modem().RingHost(0x1800);
    Modem().ClearWrites();
    Serve(dev);
    EXPECT_EQ(0, handler.calls.load());
    EXPECT_TRUE(KeReadStateEvent(&dev->ev_suspend_ack1));
    EXPECT_TRUE(KeReadStateEvent(&dev->ev_resume_ack1));
    EXPECT_FALSE(KeReadStateEvent(&dev->ev_res_grant));
    EXPECT_EQ((Writes{{MHCCIF_D2H_CLEAR, 0x1800}}), DoorbellWrites());
    EXPECT_EQ((Writes{{MAC_PM_SET, 0xC0},
                      {MAC_MSIX_STATUS, 0x10000000},
                      {MAC_PM_CLEAR, 0x20},
                      {MAC_PM_CLEAR, 0xC0},
                      {MAC_MSIX_UNMASK, 0x10000000}}),
              MacWrites());
    EXPECT_FALSE(mdm_irq_work_test(dev, MDM_WORK_DOORBELL));
}

TEST_F(DoorbellTest, HandshakeBitsCallTheirHandlerAndGrantSetsItsEvent)
{
    struct mdm_pci_dev* dev = StartServing();
    Handler& handler = handler_;
    Modem().RingHost(0x2);
    Serve(dev);
    EXPECT_EQ(1, handler.calls.load());
    Modem().RingHost(0x1);
    Serve(dev);
    EXPECT_EQ(1, handler.calls.load());
    EXPECT_TRUE(KeReadStateEvent(&dev->ev_res_grant));
}

TEST_F(DoorbellTest, AfterExitOrLinkDownTheServiceOnlyUnmasks)
{
    struct mdm_pci_dev* dev = StartServing();
    Handler& handler = handler_;
    Modem().RingHost(0x2);
    for (int link_down : {0, 1}) {
        SCOPED_TRACE(link_down);
        if (link_down) {
            mhccif_init(dev);
            Modem().SetLinkDown(true); // reads all ones, in D0 too
        } else {
            mhccif_exit(dev);
        }
        u32 status = 0;
        EXPECT_EQ(0, mhccif_read_status(dev, &status));
        Modem().ClearWrites();
        Serve(dev);
        EXPECT_EQ(0, handler.calls.load());
        EXPECT_TRUE(DoorbellWrites().empty());
        EXPECT_FALSE(KeReadStateEvent(&dev->ev_res_grant));
        if (!link_down) {
            EXPECT_EQ((Writes{{MAC_PM_SET, 0xC0}, {MAC_MSIX_UNMASK, 0x10000000}}), MacWrites());
        }
    }
    Modem().SetLinkDown(false);
}

TEST_F(DoorbellTest, LegacyClearWritesOnlyTheDoorbellSource)
{
    sim::modem::ModemConfig config;
    config.interrupts = sim::pci::InterruptMode::Line;
    ASSERT_EQ(STATUS_SUCCESS, Start(config));
    struct mdm_pci_dev* dev = Dev();
    mdm_pcie_mac_irq_global(dev->mac, false);
    Modem().RaiseStatus(1u << 25); // another source's pending status survives the clear
    Modem().ClearWrites();
    mhccif_clear_status(dev, 0x1);
    EXPECT_EQ((Writes{{MAC_LEGACY_STATUS, 0x10000000}}), MacWrites());
    EXPECT_EQ(1u << 25, Mac(MAC_LEGACY_STATUS) & (1u << 25));
    mdm_pcie_irq_ack(dev, 1);
    mdm_pcie_mac_irq_global(dev->mac, true);
}

// The modem rings bit 0: source 4's message, the DPC, the work item's service, the grant event.
void ModemDoorbellReachesItsHandler(PcieRig& rig, const sim::modem::ModemConfig& config)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(config));
    struct mdm_pci_dev* dev = PcieRig::Dev();
    Handler handler;
    ASSERT_EQ(0, mdm_pcie_register_doorbell_handler(dev, 2, D2H_HANDSHAKE_BITS, Handler::Callback, &handler));
    mhccif_mask_clear(dev, D2H_PM_BITS | D2H_HANDSHAKE_BITS); // as the handshake leaves them
    KeClearEvent(&dev->ev_res_grant);
    PcieRig::Modem().RingHost(D2H_RESOURCE_GRANT | 0x4);
    ASSERT_TRUE(PcieRig::WaitFor([&] { return handler.calls.load() == 1 && KeReadStateEvent(&dev->ev_res_grant); }));
    EXPECT_TRUE(PcieRig::WaitFor([&] { return PcieRig::Modem().DoorbellRegister(MHCCIF_D2H_STATUS) == 0; }));
    // A second ring after the service unmasked the source arrives too.
    PcieRig::Modem().RingHost(0x8);
    EXPECT_TRUE(PcieRig::WaitFor([&] { return handler.calls.load() == 2; }));
}

TEST_F(DoorbellTest, ModemDoorbellThroughMsix)
{
    ModemDoorbellReachesItsHandler(*this, {});
}

TEST_F(DoorbellTest, ModemDoorbellThroughTheLine)
{
    sim::modem::ModemConfig config;
    config.interrupts = sim::pci::InterruptMode::Line;
    ModemDoorbellReachesItsHandler(*this, config);
}

TEST_F(DoorbellTest, ModemDoorbellThroughOneMessage)
{
    sim::modem::ModemConfig config;
    config.messages = 1;
    ModemDoorbellReachesItsHandler(*this, config);
}

} // namespace
} // namespace taluvotest
