// The modem's PCI function as the bus presents it: identity, memory windows, interrupts, and the
// capabilities the driver walks on the function and on the root port above it.
#include <gtest/gtest.h>

#include <wdm.h>

#include "modem_host.h"

namespace {

using namespace modemtest;

constexpr UCHAR kCapMsi = 0x05, kCapPciExpress = 0x10, kCapMsix = 0x11;
constexpr USHORT kExtAer = 0x01, kExtLtr = 0x18, kExtL1ss = 0x1E;

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Descriptors(const sim::pci::Function& function)
{
    std::vector<UCHAR> list = function.TranslatedResources();
    CM_RESOURCE_LIST header;
    memcpy(&header, list.data(), sizeof(header));
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out(header.List[0].PartialResourceList.Count);
    memcpy(out.data(), list.data() + offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors),
           out.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    return out;
}

TEST(ModemFunction, IdentityAndTheCapabilitiesOfTheModemAndItsRootPort)
{
    Board board;
    sim::pci::Function& f = board.function;
    EXPECT_EQ(0x4D7514C3u, f.PeekConfig(0x00, 4));
    EXPECT_EQ(kClassCode, f.PeekConfig(0x09, 3));

    UCHAR msix = f.CapabilityOffset(kCapMsix);
    ASSERT_NE(0, msix);
    EXPECT_EQ(0x8000u | (kMaxMessages - 1), f.PeekConfig(msix + 2, 2)) << "enabled, 32 entries";
    EXPECT_EQ(kMsixTableOffset | kBarMac, f.PeekConfig(msix + 4, 4));
    EXPECT_EQ(kMsixPbaOffset | kBarMac, f.PeekConfig(msix + 8, 4));
    UCHAR msi = f.CapabilityOffset(kCapMsi);
    ASSERT_NE(0, msi);
    EXPECT_EQ(0u, f.PeekConfig(msi + 2, 2) & 1) << "MSI stays disabled beside MSI-X";

    // What the link-power code reads and writes, on both ends of the link.
    sim::pci::ConfigNode* ends[] = {&f, &f.Port()};
    for (sim::pci::ConfigNode* node : ends) {
        UCHAR pcie = node->CapabilityOffset(kCapPciExpress);
        ASSERT_NE(0, pcie);
        EXPECT_EQ(3u, node->PeekConfig(pcie + 0x0C, 4) >> 10 & 3) << "ASPM L0s and L1";
        EXPECT_NE(0u, node->PeekConfig(pcie + 0x24, 4) & 0x800) << "LTR mechanism";
        USHORT l1ss = node->ExtendedCapabilityOffset(kExtL1ss);
        ASSERT_NE(0, l1ss);
        EXPECT_EQ(0xFu, node->PeekConfig(l1ss + 4, 4) & 0xF);
        EXPECT_NE(0, node->ExtendedCapabilityOffset(kExtAer));
    }
    EXPECT_EQ(0x100, f.ExtendedCapabilityOffset(kExtAer));
    EXPECT_NE(0, f.ExtendedCapabilityOffset(kExtLtr));
    USHORT rootAer = f.Port().ExtendedCapabilityOffset(kExtAer);
    EXPECT_GT(rootAer, 0x100) << "the root port's AER is found by its own offset";
}

TEST(ModemFunction, WindowsAndInterruptsOfEachVariant)
{
    struct Case {
        ULONG windows;
        InterruptMode interrupts;
        ULONG messages;
        ULONG bars[4]; // BARs with a window, in resource order
    };
    const Case cases[] = {
        {3, InterruptMode::Message, 32, {0, 2, 4, 6}},
        {3, InterruptMode::Message, 4, {0, 2, 4, 6}},
        {3, InterruptMode::Line, 1, {0, 2, 4, 6}},
        {2, InterruptMode::Message, 2, {0, 2, 6, 6}},
        {4, InterruptMode::Message, 8, {0, 2, 4, 5}},
    };
    for (const Case& c : cases) {
        ModemConfig config = Config(c.interrupts, c.messages);
        config.windows = c.windows;
        config.deviceId = 0x4D70;
        Board board(config);
        SCOPED_TRACE(testing::Message() << c.windows << " windows, " << c.messages << " interrupts");
        EXPECT_EQ(0x4D70u, board.function.PeekConfig(0x02, 2));
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> d = Descriptors(board.function);
        ASSERT_EQ(c.windows + c.messages, d.size());
        for (ULONG w = 0; w < c.windows; w++) {
            EXPECT_EQ(CmResourceTypeMemory, d[w].Type);
            EXPECT_EQ(board.function.BarAddress(c.bars[w]), static_cast<ULONG64>(d[w].u.Memory.Start.QuadPart));
        }
        EXPECT_EQ(kMacWindowSize, d[0].u.Memory.Length);
        EXPECT_EQ(kModemWindowSize, d[1].u.Memory.Length);
        const USHORT flags = c.interrupts == InterruptMode::Message ? 3 : 0;
        for (ULONG m = 0; m < c.messages; m++) {
            EXPECT_EQ(CmResourceTypeInterrupt, d[c.windows + m].Type);
            EXPECT_EQ(flags, d[c.windows + m].Flags);
        }
    }
}

} // namespace
