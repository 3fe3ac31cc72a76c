// The MAC's register operations against the simulated MAC: translation entries, interrupt masks and
// status in both modes, the vector count and the MSI-X table masks.
#include "pcie_rig.h"

#include "pcie_mac.h"

namespace taluvotest
{
namespace
{

using MacTest = PcieRig;

ULONG Atr(ULONG port, ULONG table, ULONG word)
{
    return PcieRig::Mac(MAC_ATR + (port * 8 + table) * 32 + word);
}

TEST_F(MacTest, TranslationEntries)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    u8* mac = Dev()->mac;
    struct Case {
        u64 src, trsl, size;
        u32 transparent;
        int result;
        u32 word0;
    };
    const Case cases[] = {
        {0x400000, 0x10000000, 0x400000, 0, 0, 0x400000 | 0x2B},
        {0, 0x200000000ull, 1ull << 33, 0, 0, (32u << 1) | 1},
        {0x2000, 0, 0x4000, 0, -1, 0},
        {0x4000, 0x2000, 0x4000, 0, -1, 0},
        {0x4000, 0, 0x3000, 0, -1, 0}, // not a power of two
        {0x4000, 0, 0, 0, -1, 0},
        {0, 0, 0, 1, 0, 0x7F},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        mdm_pcie_mac_atr_disable_table(mac, 1, 3);
        Modem().ClearWrites();
        struct atr_cfg cfg = {};
        cfg.src_addr = c.src;
        cfg.trsl_addr = c.trsl;
        cfg.size = c.size;
        cfg.port = 1;
        cfg.table = 3;
        cfg.trsl_id = 4;
        cfg.transparent = c.transparent;
        EXPECT_EQ(c.result, mdm_pcie_mac_atr_set(mac, &cfg));
        EXPECT_EQ(c.word0, Atr(1, 3, 0));
        const auto writes = MacWrites();
        if (c.result == 0) {
            ASSERT_EQ(5u, writes.size());
            EXPECT_EQ(MAC_ATR + (8 + 3) * 32u, writes.back().first); // word 0 last
            EXPECT_EQ(4u, Atr(1, 3, 0x10));
        } else {
            EXPECT_TRUE(writes.empty());
        }
    }
}

TEST_F(MacTest, TranslationInitMapsTheWindowAndTheDmaPorts)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    EXPECT_EQ(static_cast<ULONG>(Dev()->bar_pa[1]) | 0x2B, Atr(0, 0, 0));
    EXPECT_EQ(0x10000000u, Atr(0, 0, 8));
    EXPECT_EQ(4u, Atr(0, 0, 0x10));
    for (ULONG port : {2u, 3u, 4u})
        EXPECT_EQ(0x7Fu, Atr(port, 0, 0));
    EXPECT_EQ(0u, Atr(1, 0, 0));
    EXPECT_EQ(0u, Atr(5, 0, 0));
    EXPECT_EQ(MDM_ATR_BASE, Dev()->atr_base);
}

TEST_F(MacTest, MaskWritesTheSourceBitsOfTheMode)
{
    struct Case {
        u32 source;
        u32 bits;
    };
    const Case cases[] = {{0, 0x01000000}, {4, 0x10000000}, {7, 0x80000000}, {8, 0xF0000}, {9, 0xF00000}};
    for (bool line : {false, true}) {
        sim::modem::ModemConfig config;
        if (line)
            config.interrupts = sim::pci::InterruptMode::Line;
        ASSERT_EQ(STATUS_SUCCESS, Start(config));
        for (const Case& c : cases) {
            for (bool mask : {true, false}) {
                SCOPED_TRACE(testing::Message() << line << " " << c.source << " " << mask);
                Modem().ClearWrites();
                mdm_pcie_mac_irq_mask(Dev(), c.source, mask);
                const ULONG reg = line ? (mask ? MAC_LEGACY_MASK : MAC_LEGACY_UNMASK)
                                       : (mask ? MAC_MSIX_MASK : MAC_MSIX_UNMASK);
                EXPECT_EQ((std::vector<std::pair<ULONG, ULONG>>{{reg, c.bits}}), MacWrites());
            }
        }
        Modem().ClearWrites();
        mdm_pcie_mac_irq_mask(Dev(), 10, true);
        EXPECT_TRUE(MacWrites().empty());
        Stop();
    }
}

TEST_F(MacTest, LegacyStatusDecode)
{
    ASSERT_EQ(STATUS_SUCCESS, Start({}));
    u8* mac = Dev()->mac;
    mdm_pcie_mac_irq_global(mac, false);
    mdm_pcie_mac_legacy_enable(mac, false);
    u32 sources = 0xDEAD;
    EXPECT_EQ(0, mdm_pcie_mac_irq_status(mac, &sources));
    Modem().RaiseStatus(0x10000000);
    EXPECT_EQ(1, mdm_pcie_mac_irq_status(mac, &sources));
    EXPECT_EQ(1u << 4, sources);
    Modem().RaiseStatus((1u << 19) | (1u << 23));
    EXPECT_EQ(1, mdm_pcie_mac_irq_status(mac, &sources));
    EXPECT_EQ(1u << 4, sources); // 19 and 23 are not enabled
    Modem().RaiseStatus((1u << 16) | (1u << 20));
    EXPECT_EQ(1, mdm_pcie_mac_irq_status(mac, &sources));
    EXPECT_EQ((1u << 4) | 0x100u | 0x200u, sources);
    EXPECT_EQ(MAC_LEGACY_ALL_SOURCES, mdm_pcie_mac_legacy_enable(mac, true));
    EXPECT_EQ(0u, Mac(MAC_LEGACY_ENABLE));
    mdm_pcie_mac_legacy_enable(mac, false);
}

TEST_F(MacTest, StatusClearAndGroupControlInBothModes)
{
    for (bool line : {false, true}) {
        sim::modem::ModemConfig config;
        if (line)
            config.interrupts = sim::pci::InterruptMode::Line;
        ASSERT_EQ(STATUS_SUCCESS, Start(config));
        struct mdm_pci_dev* dev = Dev();
        mdm_pcie_mac_irq_global(dev->mac, false);
        Modem().RaiseStatus(0x30000 | 0x500000 | 0x3);
        EXPECT_EQ(0x3u, mdm_pcie_mac_group_ctrl(dev, 8, 0));
        EXPECT_EQ(0x5u, mdm_pcie_mac_group_ctrl(dev, 9, 0));
        EXPECT_EQ(0u, mdm_pcie_mac_group_ctrl(dev, 8, 2));
        EXPECT_EQ(0u, mdm_pcie_mac_group_ctrl(dev, 7, 0));
        Modem().ClearWrites();
        mdm_pcie_mac_group_ctrl(dev, 8, 1);
        // Only the group's bits are written: the other pending bits survive the clear.
        EXPECT_EQ(0u, mdm_pcie_mac_group_ctrl(dev, 8, 0));
        EXPECT_EQ(0x5u, mdm_pcie_mac_group_ctrl(dev, 9, 0));
        mdm_pcie_mac_irq_status_clear(dev, 1);
        EXPECT_EQ(0x1u, Mac(MAC_MSIX_STATUS) & 0xFF);
        const auto writes = MacWrites();
        if (line)
            EXPECT_EQ(writes, (std::vector<std::pair<ULONG, ULONG>>{{MAC_LEGACY_STATUS, 0xF0000},
                                                                   {MAC_LEGACY_LOW_CLEAR, 0x2},
                                                                   {MAC_LEGACY_STATUS, 0x2}}));
        else
            EXPECT_EQ(writes, (std::vector<std::pair<ULONG, ULONG>>{{MAC_MSIX_STATUS, 0xF0000}, {MAC_MSIX_STATUS, 0x2}}));
        mdm_pcie_mac_group_ctrl(dev, 9, 1);
        mdm_pcie_mac_irq_status_clear(dev, 0);
        Stop();
    }
}

TEST_F(MacTest, VectorCountCodes)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    u8* mac = Dev()->mac;
    u32 previous = Mac(MAC_MSIX_VECTOR_COUNT);
    for (auto [count, code] : {std::pair{2u, 3u}, {4u, 5u}, {8u, 7u}, {16u, 9u}, {0u, 0u}}) {
        EXPECT_EQ(previous, mdm_pcie_mac_msix_vector_count_set(mac, count));
        EXPECT_EQ(code, Mac(MAC_MSIX_VECTOR_COUNT));
        previous = code;
    }
}

struct FakeMsix {
    static inline std::vector<std::pair<bool, ULONG>> calls;
    static NTSTATUS Mask(PVOID, ULONG entry)
    {
        calls.emplace_back(true, entry);
        return STATUS_UNSUCCESSFUL;
    }
    static NTSTATUS Unmask(PVOID, ULONG entry)
    {
        calls.emplace_back(false, entry);
        return STATUS_SUCCESS;
    }
};

TEST_F(MacTest, TableMaskGoesThroughTheInterface)
{
    IPC_PCI_DEVICE pdev = {};
    int context = 0;
    pdev.MsixTableInterface.Context = &context;
    pdev.MsixTableInterface.MaskTableEntry = FakeMsix::Mask;
    pdev.MsixTableInterface.UnmaskTableEntry = FakeMsix::Unmask;
    FakeMsix::calls.clear();
    mdm_pci_mac_msix_desc_mask_irq(&pdev, 7, true); // the failure is traced only
    mdm_pci_mac_msix_desc_mask_irq(&pdev, 7, false);
    EXPECT_EQ((std::vector<std::pair<bool, ULONG>>{{true, 7}, {false, 7}}), FakeMsix::calls);
}

} // namespace
} // namespace taluvotest
