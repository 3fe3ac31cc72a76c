// The PCI device record built against the simulated modem and its root port, the failures of the
// build, the link-power settings as registers before and after, the bounded capability walks and the
// SMBIOS walk.
#include <gtest/gtest.h>

#include <host/smbios.h>
#include <host/trace.h>

#include <wdmguid.h>

#include <functional>
#include <vector>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "device_fixture.h"
#include "sim/modem/modem.h"
#include "sim/pci/pnp.h"

namespace
{

constexpr ULONG kTag = 0x6D544B50; // 'PKTm'
constexpr UCHAR kCapPciExpress = 0x10;
constexpr USHORT kExtAer = 0x01, kExtLtr = 0x18, kExtL1ss = 0x1E;

const struct pci_device_id kIds[] = {{0x14C3, 0x4D75, 0xFFFFFFFF, 0xFFFFFFFF, 0x0D4000, 0xFFFFFFFF, 0}};

// Faults the bus shows the driver: interfaces it refuses and configuration reads that come back short.
struct Faults {
    bool noBus = false;
    bool noRoot = false;
    bool shortModemRead = false;
    bool shortRootRead = false;
};
Faults g_faults;
PGET_SET_DEVICE_DATA g_getBusData;
PPCI_EXPRESS_ROOT_PORT_READ_CONFIG_SPACE g_readRoot;

ULONG ShortGetBusData(PVOID context, ULONG space, PVOID buffer, ULONG offset, ULONG length)
{
    ULONG moved = g_getBusData(context, space, buffer, offset, length);
    return g_faults.shortModemRead && moved > 0 ? moved - 1 : moved;
}

ULONG ShortReadRoot(PVOID context, PVOID buffer, ULONG offset, ULONG length)
{
    ULONG moved = g_readRoot(context, buffer, offset, length);
    return g_faults.shortRootRead && moved > 0 ? moved - 1 : moved;
}

class IpcPcie : public taluvotest::DeviceTest
{
  protected:
    explicit IpcPcie(const sim::modem::ModemConfig& config = {}) : board_(config) {}

    host::PnpBusDevice BusDevice() override
    {
        g_faults = {};
        host::PnpBusDevice device = sim::pci::PnpDevice(board_.function, u"PCI\\VEN_14C3&DEV_4D75\\0");
        auto query = device.queryInterface;
        device.queryInterface = [query](const GUID& guid, USHORT size, USHORT version, PINTERFACE iface) {
            bool bus = IsEqualGUID(guid, GUID_BUS_INTERFACE_STANDARD);
            bool root = IsEqualGUID(guid, GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE);
            if ((bus && g_faults.noBus) || (root && g_faults.noRoot))
                return STATUS_NOT_SUPPORTED;
            NTSTATUS status = query(guid, size, version, iface);
            if (NT_SUCCESS(status) && bus) {
                auto* standard = reinterpret_cast<PBUS_INTERFACE_STANDARD>(iface);
                g_getBusData = standard->GetBusData;
                standard->GetBusData = ShortGetBusData;
            } else if (NT_SUCCESS(status) && root) {
                auto* port = reinterpret_cast<PPCI_EXPRESS_ROOT_PORT_INTERFACE>(iface);
                g_readRoot = port->ReadConfigSpace;
                port->ReadConfigSpace = ShortReadRoot;
            }
            return status;
        };
        return device;
    }

    void SetUp() override
    {
        DeviceTest::SetUp();
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, IPC_CONTEXT);
        PVOID context = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, WdfObjectAllocateContext(Device(), &attributes, &context));
        context_ = static_cast<IPC_CONTEXT*>(context);
        context_->Device = Device();
        driver_.name = "mdm_bus_driver";
        driver_.id_table = kIds;
        driver_.probe = [](IPC_PCI_DEVICE*, const struct pci_device_id*) { return 0; };
        host::TraceClear();
    }

    void TearDown() override
    {
        PcieDeleteDevice(driver_.dev, kTag);
        DeviceTest::TearDown();
        EXPECT_EQ(0, board_.function.InterfaceReferences());
    }

    PIPC_PCI_DEVICE Add()
    {
        EXPECT_EQ(0, pci_register_driver(&driver_, kTag));
        return driver_.dev;
    }

    ULONG Modem(ULONG offset, ULONG width) const { return board_.function.PeekConfig(offset, width); }
    ULONG Root(ULONG offset, ULONG width) const { return board_.function.Port().PeekConfig(offset, width); }

    sim::modem::Board board_;
    IPC_CONTEXT* context_ = nullptr;
    struct pci_driver driver_ = {};
};

TEST_F(IpcPcie, AddBuildsTheRecordFromBothConfigurationSpaces)
{
    sim::pci::RootPort& port = board_.function.Port();
    ULONG rootAer = port.ExtendedCapabilityOffset(kExtAer);
    ASSERT_NE(0x100u, rootAer); // the root's error mask must not land at a fixed offset
    ULONG rootAt108 = Root(0x108, 4);

    PIPC_PCI_DEVICE device = Add();
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(device, context_->PciDevice);
    EXPECT_EQ(context_, device->IpcContext);
    EXPECT_EQ(driver_.probe, context_->Probe);
    EXPECT_EQ(kIds, device->IdTable);
    EXPECT_STREQ("IPC", device->name);
    EXPECT_EQ(0x10001, device->devt);
    EXPECT_NE(nullptr, device->DmaEnabler);
    EXPECT_EQ(0x14C3u, device->VendorId);
    EXPECT_EQ(0x4D75u, device->DeviceId);
    EXPECT_EQ(Modem(0x2E, 2), device->SubsystemId);

    ULONG pcie = board_.function.CapabilityOffset(kCapPciExpress);
    EXPECT_EQ(pcie + 0x10, device->LinkCtlOffset);
    EXPECT_EQ(pcie + 0x28, device->DevCtl2Offset);
    EXPECT_EQ(board_.function.ExtendedCapabilityOffset(kExtL1ss) + 8u, device->L1ssCtl1Offset);
    EXPECT_EQ(board_.function.ExtendedCapabilityOffset(kExtL1ss) + 12u, device->L1ssCtl2Offset);
    EXPECT_EQ(board_.function.ExtendedCapabilityOffset(kExtLtr) + 4u, device->LtrLatencyOffset);
    EXPECT_EQ(board_.function.ExtendedCapabilityOffset(kExtAer), device->AerOffset);
    EXPECT_EQ(1u, device->MessageSignalled);
    EXPECT_NE(0u, device->MsixCapOffset);
    EXPECT_NE(nullptr, device->MsixTableInterface.Context);
    EXPECT_NE(0u, device->MsiCapOffset);

    EXPECT_EQ(port.CapabilityOffset(kCapPciExpress) + 0x10u, device->RootLinkCtlOffset);
    EXPECT_EQ(port.ExtendedCapabilityOffset(kExtL1ss) + 8u, device->RootL1ssCtl1Offset);
    EXPECT_EQ(3u, device->RootAspmSupport);
    EXPECT_EQ(0xFu, device->RootL1ssSupport);
    EXPECT_EQ(1u, device->RootLtrSupported);
    EXPECT_EQ(rootAer, device->RootAerOffset);
    EXPECT_EQ(0x00100000u, Root(rootAer + 8, 4));
    EXPECT_EQ(rootAt108, Root(0x108, 4));

    // The modem's AER registers are traced from the modem's own capability.
    board_.function.PokeConfig(device->AerOffset + 4, 4, 0x00104000);
    PcieAerCapCheck(device);
    EXPECT_FALSE(host::TraceFind("modem AER +0x04: 0x00104000").empty());
}

// The modem on a level-triggered line instead of MSI-X messages.
class IpcPcieLine : public IpcPcie
{
  protected:
    IpcPcieLine() : IpcPcie(LineConfig()) {}

    static sim::modem::ModemConfig LineConfig()
    {
        sim::modem::ModemConfig config;
        config.interrupts = sim::pci::InterruptMode::Line;
        return config;
    }
};

TEST_F(IpcPcieLine, NoMessagesNoMsixTableInterface)
{
    PIPC_PCI_DEVICE device = Add();
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(0u, device->MessageSignalled);
    EXPECT_EQ(0u, device->MsixTable);
    EXPECT_EQ(nullptr, device->MsixTableInterface.Context);
}

struct InformationCase {
    const char* name;
    std::function<void(sim::pci::Function&)> prepare;
    Faults faults;
    NTSTATUS status;
};

TEST_F(IpcPcie, DeviceInformationFailures)
{
    const InformationCase cases[] = {
        {"device 0x4D70", [](sim::pci::Function& f) { f.PokeConfig(0x02, 2, 0x4D70); }, {}, STATUS_DEVICE_DOES_NOT_EXIST},
        {"no bus interface", nullptr, {.noBus = true}, STATUS_UNSUCCESSFUL},
        {"short modem read", nullptr, {.shortModemRead = true}, STATUS_INVALID_DEVICE_REQUEST},
        {"no root port interface", nullptr, {.noRoot = true}, STATUS_NOT_SUPPORTED},
        {"short root read", nullptr, {.shortRootRead = true}, STATUS_SUCCESS},
    };
    ULONG device = Modem(0x02, 2);
    for (const InformationCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.prepare)
            c.prepare(board_.function);
        g_faults = c.faults;
        PIPC_PCI_DEVICE record = PcieCreateDevice(kTag);
        ASSERT_NE(nullptr, record);
        record->IdTable = kIds;
        record->IpcContext = context_;
        EXPECT_EQ(c.status, PcieGetDeviceInformation(record));
        EXPECT_EQ(0u, record->RootAspmSupport); // nothing of the root port without its space
        PcieDeleteDevice(record, kTag);
        board_.function.PokeConfig(0x02, 2, device);
    }
}

TEST_F(IpcPcie, RootPortQueryFailureFailsTheAdd)
{
    g_faults.noRoot = true;
    EXPECT_EQ(-1, pci_register_driver(&driver_, kTag));
    ASSERT_NE(nullptr, driver_.dev);
    EXPECT_EQ(nullptr, driver_.dev->RootPortInterface.Context);
    EXPECT_EQ(nullptr, driver_.dev->DmaEnabler);
}

// A register of the modem or the root port, its value before a link-power pass, the root port's ASPM
// support, and the value the pass leaves.
struct PowerCase {
    const char* name;
    bool root;
    ULONG IPC_PCI_DEVICE::* offset;
    ULONG width;
    USHORT aspmSupport;
    ULONG before;
    ULONG after;
};

TEST_F(IpcPcie, LinkPowerSettings)
{
    const PowerCase cases[] = {
        {"LinkCtl from 0", false, &IPC_PCI_DEVICE::LinkCtlOffset, 2, 2, 0x0000, 0x0142},
        {"LinkCtl kept", false, &IPC_PCI_DEVICE::LinkCtlOffset, 2, 3, 0x0143, 0x0143},
        {"LinkCtl without clock PM", false, &IPC_PCI_DEVICE::LinkCtlOffset, 2, 3, 0x0003, 0x0143},
        {"root LinkCtl", true, &IPC_PCI_DEVICE::RootLinkCtlOffset, 2, 2, 0x0001, 0x0042},
        {"L1SS Ctl1 from 0", false, &IPC_PCI_DEVICE::L1ssCtl1Offset, 4, 3, 0x00000000, 0x405E000F},
        {"L1SS Ctl1 with a threshold", false, &IPC_PCI_DEVICE::L1ssCtl1Offset, 4, 3, 0x60A00003, 0x60A0000F},
        {"L1SS Ctl1 without L1", false, &IPC_PCI_DEVICE::L1ssCtl1Offset, 4, 1, 0x00000000, 0x00000000},
        {"L1SS Ctl2 0x28", false, &IPC_PCI_DEVICE::L1ssCtl2Offset, 4, 3, 0x28, 0xB0},
        {"L1SS Ctl2 0x50", false, &IPC_PCI_DEVICE::L1ssCtl2Offset, 4, 3, 0x50, 0x50},
        {"L1SS Ctl2 from 0", false, &IPC_PCI_DEVICE::L1ssCtl2Offset, 4, 3, 0x00, 0xB0},
        {"LTR from 0", false, &IPC_PCI_DEVICE::LtrLatencyOffset, 4, 3, 0x00000000, 0x10031003},
        {"LTR kept", false, &IPC_PCI_DEVICE::LtrLatencyOffset, 4, 3, 0x10031003, 0x10031003},
        {"LTR no-snoop 0", false, &IPC_PCI_DEVICE::LtrLatencyOffset, 4, 3, 0x00000805, 0x10031003},
        {"DevCtl2", false, &IPC_PCI_DEVICE::DevCtl2Offset, 2, 3, 0x0000, 0x0400},
        {"root DevCtl2", true, &IPC_PCI_DEVICE::RootDevCtl2Offset, 2, 3, 0x0005, 0x0405},
    };
    PIPC_PCI_DEVICE device = Add();
    ASSERT_NE(nullptr, device);
    for (const PowerCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::pci::ConfigNode& node = c.root ? static_cast<sim::pci::ConfigNode&>(board_.function.Port())
                                            : board_.function;
        ULONG offset = device->*c.offset;
        node.PokeConfig(offset, c.width, c.before);
        device->RootAspmSupport = c.aspmSupport;
        IpcAspmCheckEnable(device);
        IpcLtrCheckEnable(device);
        EXPECT_EQ(c.after, node.PeekConfig(offset, c.width));
    }
}

TEST_F(IpcPcie, LinkPowerWithoutTheRootPortTouchesOnlyTheModem)
{
    PIPC_PCI_DEVICE device = Add();
    ASSERT_NE(nullptr, device);
    device->RootPortInterface.InterfaceDereference(device->RootPortInterface.Context);
    device->RootPortInterface.Context = nullptr;
    board_.function.Port().PokeConfig(device->RootLinkCtlOffset, 2, 0);
    board_.function.PokeConfig(device->LinkCtlOffset, 2, 0);
    IpcAspmCheckEnable(device);
    IpcLtrCheckEnable(device);
    EXPECT_EQ(0u, Root(device->RootLinkCtlOffset, 2));
    EXPECT_EQ(0x143u, Modem(device->LinkCtlOffset, 2));

    // A register the modem lacks is left alone, not written at offset 0 + n.
    device->L1ssCtl1Offset = 0;
    host::TraceClear();
    IpcAspmCheckEnable(device);
    EXPECT_FALSE(host::TraceFind("modem has no L1SS Ctl1").empty());
    EXPECT_TRUE(host::TraceFind("modem L1SS Ctl1 0x").empty());

    // Without LTR at the root port nothing of LTR changes.
    device->RootLtrSupported = 0;
    board_.function.PokeConfig(device->LtrLatencyOffset, 4, 0);
    IpcLtrCheckEnable(device);
    EXPECT_EQ(0u, Modem(device->LtrLatencyOffset, 4));
}

std::vector<UCHAR> Space()
{
    return std::vector<UCHAR>(IPC_PCI_CONFIG_SIZE, 0);
}

TEST(IpcPcieWalk, CapabilityListsEndOnLoopsAndBrokenHeaders)
{
    std::vector<UCHAR> c = Space();
    c[0x40] = 0x01; // a capability pointing at itself, then one before it
    c[0x41] = 0x40;
    EXPECT_EQ(0, PcieConfigLookupCapabilityID(c.data(), 0x40, 0x10));
    EXPECT_EQ(0x40, PcieConfigLookupCapabilityID(c.data(), 0x43, 0x01)); // pointers are dword aligned
    c[0x41] = 0x50;
    c[0x50] = 0x10;
    c[0x51] = 0x40;
    EXPECT_EQ(0x50, PcieConfigLookupCapabilityID(c.data(), 0x40, 0x10));
    EXPECT_EQ(0, PcieConfigLookupCapabilityID(c.data(), 0x40, 0x05));
    c[0x50] = c[0x51] = 0xFF;
    EXPECT_EQ(0, PcieConfigLookupCapabilityID(c.data(), 0x40, 0x10));

    // Extended: a loop back to 0x100, an unaligned pointer near the end, an absent header.
    auto header = [&](ULONG at, ULONG value) { memcpy(&c[at], &value, 4); };
    header(0x100, 0x001 | 0x100u << 20);
    EXPECT_EQ(0, PcieConfigLookupExtendedCapabilityID(c.data(), 0x18));
    EXPECT_EQ(0x100, PcieConfigLookupExtendedCapabilityID(c.data(), 0x01));
    header(0x100, 0x001 | 0xFFFu << 20);
    header(0xFFC, 0x18 | 0x000u << 20);
    EXPECT_EQ(0xFFC, PcieConfigLookupExtendedCapabilityID(c.data(), 0x18));
    EXPECT_EQ(0, PcieConfigLookupExtendedCapabilityID(c.data(), 0x1E));
    header(0x100, 0xFFFFFFFF);
    EXPECT_EQ(0, PcieConfigLookupExtendedCapabilityID(c.data(), 0x01));
}

class IpcSmbios : public ::testing::Test
{
  protected:
    void SetUp() override { host::TraceClear(); }
    void TearDown() override { host::SmbiosClear(); }
};

TEST_F(IpcSmbios, SystemInformationIsTraced)
{
    host::SmbiosTableBuilder tables;
    tables.Add(0, {0, 1, 2, 3}, {"bios vendor", "bios version"}).AddSystemInformation("Maker", "Model 7");
    host::SmbiosSetTables({.table = tables.Build()});
    IpcSmbiosCheck();
    EXPECT_EQ(1u, host::TraceFind("SMBIOS manufacturer \"Maker\" product \"Model 7\"").size());
    EXPECT_TRUE(host::TraceFind("SMBIOS end of table").empty());
}

TEST_F(IpcSmbios, WalkEndsAtTheEndOfTable)
{
    host::SmbiosTableBuilder tables;
    tables.Add(3, {0, 0, 0, 0}, {"chassis"});
    host::SmbiosSetTables({.table = tables.Build()});
    IpcSmbiosCheck();
    EXPECT_EQ(1u, host::TraceFind("SMBIOS end of table").size());
    EXPECT_TRUE(host::TraceFind("SMBIOS manufacturer").empty());

    host::SmbiosClear();
    IpcSmbiosCheck(); // no data block: traced, nothing else
    EXPECT_FALSE(host::TraceFind("SMBIOS block not opened").empty());
}

TEST_F(IpcSmbios, MalformedTablesStayInside)
{
    struct Case {
        const char* name;
        std::vector<UCHAR> table;
        const char* trace;
    };
    const Case cases[] = {
        // Type 1 whose strings never end: the names are cut at the table's end.
        {"open strings", {1, 6, 0, 0, 1, 2, 'A', 'c', 0, 'Z'}, "SMBIOS manufacturer \"Ac\" product \"\""},
        // String numbers past the set.
        {"missing strings", {1, 6, 0, 0, 3, 9, 'A', 0, 0, 0}, "SMBIOS manufacturer \"\" product \"\""},
        {"past the end", {2, 40, 0, 0, 0, 0}, "runs past the end"},
        {"short formatted area", {1, 2, 0, 0, 0, 0}, "runs past the end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::TraceClear();
        IpcSmbiosWalk(c.table.data(), static_cast<ULONG>(c.table.size()));
        EXPECT_EQ(1u, host::TraceFind(c.trace).size());
    }
}

} // namespace
