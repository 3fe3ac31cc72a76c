// The chip's bus driver on the simulated modem: probe and its refusals, remove, and the interrupt
// chain from a raised status bit to the source's callback in the MSI-X and the line modes.
#include "pcie_rig.h"

#include "pcie_mac.h"

#include <host/host.h>

#include <algorithm>

namespace taluvotest
{
namespace
{

using sim::modem::ModemConfig;
using sim::pci::InterruptMode;

ModemConfig Messages(ULONG count)
{
    ModemConfig config;
    config.messages = count;
    return config;
}

ModemConfig Line()
{
    ModemConfig config;
    config.interrupts = InterruptMode::Line;
    return config;
}

bool Wrote(const std::vector<std::pair<ULONG, ULONG>>& writes, ULONG offset, ULONG value)
{
    return std::find(writes.begin(), writes.end(), std::make_pair(offset, value)) != writes.end();
}

struct Counter {
    std::atomic<int> calls{0};
    static int Callback(void* arg)
    {
        static_cast<Counter*>(arg)->calls++;
        return 0;
    }
};

using ProbeTest = PcieRig;

TEST_F(ProbeTest, ThirtyTwoMessagesSetUpTheDevice)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    struct mdm_pci_dev* dev = Dev();
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(32, dev->irq_count);
    EXPECT_EQ(1u, Pdev()->MessageSignalled);
    EXPECT_EQ(dev->bar2_base + 0x1000, dev->md_reg_va);
    EXPECT_EQ(1u, dev->probe_done);
    EXPECT_EQ(1u, dev->sleep_caps);
    EXPECT_EQ(0u, dev->msix_subset);
    EXPECT_EQ(dev, mdm_pci_current());
    const auto writes = MacWrites();
    EXPECT_TRUE(Wrote(writes, MAC_MSIX_UNMASK, 0x10000000));
    // Port 0 table 0 maps the modem window: 4 MiB (code 21) at the window's bus address.
    EXPECT_EQ(static_cast<ULONG>(dev->bar_pa[1]) | 0x2B, Mac(MAC_ATR));
    EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
    EXPECT_EQ(0u, Mac(MAC_MSIX_VECTOR_COUNT));
    EXPECT_EQ(1, doubles::Core().md_inits);
}

TEST_F(ProbeTest, FewerMessagesProgramTheVectorCount)
{
    ASSERT_EQ(STATUS_SUCCESS, Start(Messages(4)));
    EXPECT_EQ(4, Dev()->irq_count);
    EXPECT_EQ(1u, Dev()->msix_subset);
    EXPECT_EQ(5u, Mac(MAC_MSIX_VECTOR_COUNT));
}

TEST_F(ProbeTest, DeviceIdDecidesSleepCaps)
{
    for (u32 device : {0x4D70u, 0x4D75u, 0x4D76u}) {
        SCOPED_TRACE(device);
        pci_device_id id = mdm_pcie_bus_driver()->id_table[0];
        id.device = device;
        ASSERT_EQ(STATUS_SUCCESS, Start({}, &id));
        EXPECT_EQ(device == 0x4D76u ? 0u : 1u, Dev()->sleep_caps);
        Stop();
    }
}

TEST_F(ProbeTest, BadResourcesFailAndLeaveNoLinks)
{
    for (ULONG windows : {2u, 4u}) {
        SCOPED_TRACE(windows);
        ModemConfig config;
        config.windows = windows;
        EXPECT_NE(STATUS_SUCCESS, Start(config));
        EXPECT_EQ(-1, ProbeResult());
        EXPECT_EQ(nullptr, Pdev()->MdmDevice);
        EXPECT_EQ(nullptr, Pdev()->MdmDeviceLink);
        EXPECT_EQ(nullptr, mdm_pci_current());
        Stop();
    }
}

TEST_F(ProbeTest, ModemObjectFailureUndoesTheProbe)
{
    doubles::Core().md_init_result = -1;
    EXPECT_NE(STATUS_SUCCESS, Start());
    EXPECT_EQ(-1, ProbeResult());
    EXPECT_EQ(nullptr, Pdev()->MdmDevice);
    EXPECT_EQ(nullptr, mdm_pci_current());
    // Release-hardware's remove finds nothing, and the pool check of the tear-down finds nothing left.
}

TEST_F(ProbeTest, OneLineEnablesTheLegacySources)
{
    ASSERT_EQ(STATUS_SUCCESS, Start(Line()));
    EXPECT_EQ(1, Dev()->irq_count);
    EXPECT_EQ(0u, Pdev()->MessageSignalled);
    EXPECT_EQ(MAC_LEGACY_ALL_SOURCES, Mac(MAC_LEGACY_ENABLE));
}

TEST_F(ProbeTest, RegistryRefusesBadEntries)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    struct mdm_pci_dev* dev = Dev();
    Counter counter;
    EXPECT_EQ(-1, mdm_pcie_register_irq_callback(dev, 8, Counter::Callback, &counter));
    EXPECT_EQ(-1, mdm_pcie_register_irq_callback(nullptr, 1, Counter::Callback, &counter));
    EXPECT_EQ(nullptr, dev->irq_cb[1]);
    // No callback clears the source's, argument included.
    ASSERT_EQ(0, mdm_pcie_register_irq_callback(dev, 1, Counter::Callback, &counter));
    EXPECT_EQ(0, mdm_pcie_register_irq_callback(dev, 1, nullptr, &counter));
    EXPECT_EQ(nullptr, dev->irq_cb[1]);
    EXPECT_EQ(nullptr, dev->irq_cb_arg[1]);
    EXPECT_EQ(-1, mdm_pcie_register_doorbell_handler(dev, 4, 0x2, Counter::Callback, &counter));
    EXPECT_EQ(-1, mdm_pcie_register_doorbell_handler(dev, 2, 0, Counter::Callback, &counter));
    EXPECT_EQ(-1, mdm_pcie_register_doorbell_handler(dev, 2, 0x2, nullptr, &counter));
    EXPECT_EQ(0, mdm_pcie_register_doorbell_handler(dev, 2, 0x1803E, Counter::Callback, &counter));
    EXPECT_EQ(-1, mdm_pcie_register_doorbell_handler(dev, 3, 0x20, Counter::Callback, &counter));
    EXPECT_EQ(0u, dev->db_mask[3]);
    EXPECT_EQ(-1, mdm_pcie_register_pm_notify(dev, nullptr, nullptr));
    EXPECT_EQ(-1, mdm_pcie_irq_mask(dev, 8, true));
    EXPECT_EQ(-1, mdm_pcie_irq_ack(dev, 9));
}

TEST_F(ProbeTest, MessageReachesItsSourceCallbackMasked)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    struct mdm_pci_dev* dev = Dev();
    Counter counter;
    ASSERT_EQ(0, mdm_pcie_register_irq_callback(dev, 1, Counter::Callback, &counter));
    mdm_pcie_irq_mask(dev, 1, false);
    Modem().ClearWrites();
    Modem().RaiseStatus(1u << 25);
    ASSERT_TRUE(WaitFor([&] { return counter.calls.load() == 1; }));
    EXPECT_TRUE(Wrote(MacWrites(), MAC_MSIX_MASK, 1u << 25));
    EXPECT_EQ(1, counter.calls.load());
}

TEST_F(ProbeTest, SourceWithoutCallbackStaysMasked)
{
    // Served once, then left masked with its status pending: unmasking it again would storm. Source 7
    // is enabled by the legacy enable word and has no owner.
    for (bool line : {false, true}) {
        SCOPED_TRACE(line);
        ASSERT_EQ(STATUS_SUCCESS, Start(line ? Line() : ModemConfig{}));
        const ULONG mask = line ? MAC_LEGACY_MASK : MAC_MSIX_MASK;
        const ULONG unmask = line ? MAC_LEGACY_UNMASK : MAC_MSIX_UNMASK;
        for (u32 source : {3u, 7u})
            mdm_pcie_irq_mask(Dev(), source, false);
        Modem().ClearWrites();
        Modem().RaiseStatus((1u << 27) | (1u << 31));
        ASSERT_TRUE(WaitFor([&] {
            const auto writes = MacWrites();
            return Wrote(writes, mask, 1u << 27) && Wrote(writes, mask, 1u << 31);
        }));
        host::ClockAdvance(sim::modem::Milliseconds(10));
        const auto writes = MacWrites();
        EXPECT_FALSE(Wrote(writes, unmask, 1u << 27));
        EXPECT_FALSE(Wrote(writes, unmask, 1u << 31));
        EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
        Stop();
    }
}

TEST_F(ProbeTest, SubsetVectorServesItsCongruentBits)
{
    ASSERT_EQ(STATUS_SUCCESS, Start(Messages(4)));
    struct mdm_pci_dev* dev = Dev();
    Counter low, high;
    // Sources 1 (bit 25) and 5 (bit 29) are both on vector 1; source 2 (bit 26) on vector 2.
    mdm_pcie_register_irq_callback(dev, 1, Counter::Callback, &low);
    mdm_pcie_register_irq_callback(dev, 5, Counter::Callback, &high);
    Counter other;
    mdm_pcie_register_irq_callback(dev, 2, Counter::Callback, &other);
    for (u32 source : {1u, 2u, 5u})
        mdm_pcie_irq_mask(dev, source, false);
    Modem().RaiseStatus((1u << 25) | (1u << 29) | (1u << 26));
    ASSERT_TRUE(WaitFor([&] { return low.calls == 1 && high.calls == 1 && other.calls == 1; }));
    EXPECT_EQ(0u, Modem().LostMessages());
}

TEST_F(ProbeTest, GroupIsServedOnceByTheWorkItem)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    struct mdm_pci_dev* dev = Dev();
    mdm_pcie_mac_irq_mask(dev, MDM_IRQ_SRC_GROUP0, false);
    Modem().ClearWrites();
    Modem().RaiseStatus(1u << 17);
    ASSERT_TRUE(WaitFor([&] { return Wrote(MacWrites(), MAC_MSIX_UNMASK, 0xF0000); }));
    const auto writes = MacWrites();
    EXPECT_TRUE(Wrote(writes, MAC_MSIX_MASK, 1u << 17));
    EXPECT_TRUE(Wrote(writes, MAC_MSIX_STATUS, 0xF0000));
    EXPECT_EQ(0u, Mac(MAC_MSIX_STATUS) & 0xF0000);
    EXPECT_EQ(0, ReadNoFence64(&dev->irq_work_bits));
}

TEST_F(ProbeTest, LowBitsAreAckedAndRecorded)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    Modem().RaiseStatus(0x5);
    // The interrupt path writes the bits under the interrupt lock.
    ASSERT_TRUE(WaitFor([&] {
        WdfSpinLockAcquire(Dev()->irq_lock);
        const u32 bits = Dev()->low_status_bits;
        WdfSpinLockRelease(Dev()->irq_lock);
        return bits == 0x5;
    }));
    EXPECT_EQ(0u, Mac(MAC_MSIX_STATUS) & 0xFF);
}

TEST_F(ProbeTest, LineInterruptDoesNotStorm)
{
    ASSERT_EQ(STATUS_SUCCESS, Start(Line()));
    struct mdm_pci_dev* dev = Dev();
    Counter counter;
    mdm_pcie_register_irq_callback(dev, 0, Counter::Callback, &counter);
    mdm_pcie_irq_mask(dev, 0, false);
    Modem().ClearWrites();
    Modem().RaiseStatus(1u << 24);
    ASSERT_TRUE(WaitFor([&] { return counter.calls.load() == 1; }));
    const auto writes = MacWrites();
    // The ISR gates the output before its DPC runs; the handler opens it again.
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(std::make_pair(ULONG{MAC_IRQ_OUTPUT}, 1u), writes.front());
    EXPECT_EQ(0u, Mac(MAC_IRQ_OUTPUT) & 1);
    EXPECT_TRUE(Wrote(writes, MAC_LEGACY_MASK, 1u << 24));
}

TEST_F(ProbeTest, LineHandlerWithLowOnlyRegisterAcksLowBits)
{
    ASSERT_EQ(STATUS_SUCCESS, Start(Line()));
    struct mdm_pci_dev* dev = Dev();
    Counter counter;
    mdm_pcie_register_irq_callback(dev, 0, Counter::Callback, &counter);
    Modem().SetMacRegister(MAC_LEGACY_ONLY_LOW, 1);
    mdm_pcie_mac_irq_global(dev->mac, false);
    Modem().RaiseStatus((1u << 24) | 0x3);
    EXPECT_TRUE(mdm_pcie_irq_handler(0, dev));
    EXPECT_EQ(0, counter.calls.load());
    EXPECT_EQ(0x3u, dev->low_status_bits);
    Modem().SetMacRegister(MAC_LEGACY_ONLY_LOW, 0);
    mdm_pcie_irq_mask(dev, 0, true);
    mdm_pcie_irq_ack(dev, 0);
}

TEST_F(ProbeTest, RemoveAtDispatchDoesNotFlush)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    IPC_PCI_DEVICE* pdev = Pdev();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    mdm_pci_remove(pdev);
    KeLowerIrql(old);
    EXPECT_EQ(nullptr, pdev->MdmDevice);
    EXPECT_EQ(nullptr, mdm_pci_current());
}

} // namespace
} // namespace taluvotest
