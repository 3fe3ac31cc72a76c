// The simulated PCI bus without interrupts: configuration space through the bus interfaces, interface
// queries, resource lists, DMA, power states and resets.
#include <gtest/gtest.h>

#include <host/interrupt.h>
#include <host/pool.h>
#include <wdm.h>
#include <wdmguid.h>

#include <atomic>

#include "host_test.h"
#include "sim/pci/interfaces.h"
#include "test_device.h"

namespace {

using namespace pcitest;
using sim::pci::InterruptMode;

template <typename T> T Query(Function& f, const GUID& guid, USHORT version)
{
    T interface {
    };
    EXPECT_EQ(STATUS_SUCCESS, sim::pci::QueryInterface(f, guid, sizeof(T), version,
                                                       reinterpret_cast<PINTERFACE>(&interface)));
    return interface;
}

ULONG Read32(BUS_INTERFACE_STANDARD& bus, ULONG offset)
{
    ULONG value = 0;
    EXPECT_EQ(4u, bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &value, offset, 4));
    return value;
}

// Follows the capability list as a driver does.
UCHAR FindCapability(const UCHAR* config, UCHAR id)
{
    for (UCHAR at = config[0x34]; at != 0; at = config[at + 1])
        if (config[at] == id)
            return at;
    return 0;
}

USHORT FindExtended(const UCHAR* config, USHORT id)
{
    for (ULONG at = 0x100; at >= 0x100;) {
        ULONG header;
        memcpy(&header, config + at, 4);
        if ((header & 0xFFFF) == id)
            return static_cast<USHORT>(at);
        at = header >> 20;
    }
    return 0;
}

TEST(Pci, ConfigurationSpaceThroughTheStandardBusInterface)
{
    Rig rig(InterruptMode::Message, 4);
    auto bus = Query<BUS_INTERFACE_STANDARD>(rig.function, GUID_BUS_INTERFACE_STANDARD,
                                             PCI_BUS_INTERFACE_STANDARD_VERSION);
    EXPECT_EQ(64, bus.Size);
    EXPECT_EQ(1, rig.function.InterfaceReferences());

    UCHAR config[4096];
    ASSERT_EQ(4096u, bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, config, 0, sizeof(config)));
    USHORT vendor, device, subsystemVendor, subsystem;
    memcpy(&vendor, config + 0x00, 2);
    memcpy(&device, config + 0x02, 2);
    memcpy(&subsystemVendor, config + 0x2C, 2);
    memcpy(&subsystem, config + 0x2E, 2);
    EXPECT_EQ(0x5A5A, vendor);
    EXPECT_EQ(0x7A01, device);
    EXPECT_EQ(2, config[0x08]);
    EXPECT_EQ(0x0D, config[0x0B]);
    EXPECT_EQ(0x80, config[0x0A]);
    EXPECT_EQ(0x5A5A, subsystemVendor);
    EXPECT_EQ(0x0042, subsystem);
    EXPECT_EQ(0, config[0x0E]) << "type 0 header";
    EXPECT_EQ(rig.function.BarAddress(0), (Read32(bus, 0x10) & ~0xFull) | ULONG64(Read32(bus, 0x14)) << 32);
    EXPECT_EQ(0x4u, Read32(bus, 0x10) & 0x6) << "64-bit memory BAR";

    UCHAR pm = FindCapability(config, 0x01), msix = FindCapability(config, 0x11),
          pcie = FindCapability(config, 0x10);
    ASSERT_NE(0, pm);
    ASSERT_NE(0, msix);
    ASSERT_NE(0, pcie);
    USHORT control;
    memcpy(&control, config + msix + 2, 2);
    EXPECT_EQ(3, control & 0x7FF) << "table size - 1";
    EXPECT_NE(0, control & 0x8000) << "MSI-X enabled by the bus";
    EXPECT_EQ(TestDevice::kTable, Read32(bus, msix + 4));
    EXPECT_EQ(TestDevice::kPba, Read32(bus, msix + 8));
    EXPECT_NE(0u, Read32(bus, pcie + 4) & (1u << 28)) << "function-level reset";
    EXPECT_NE(0u, Read32(bus, pcie + 0x24) & (1u << 11)) << "LTR";
    EXPECT_EQ(0x100, FindExtended(config, 0x0001)) << "AER first";
    USHORT ltr = FindExtended(config, 0x0018), l1ss = FindExtended(config, 0x001E);
    ASSERT_NE(0, ltr);
    ASSERT_NE(0, l1ss);
    EXPECT_EQ(rig.function.ExtendedCapabilityOffset(0x001E), l1ss);

    // Writes keep read-only bits and clear write-1-to-clear bits.
    struct Case {
        const char* what;
        ULONG offset;
        ULONG width;
        ULONG before; // poked first, ignoring the write rules
        ULONG write;
        ULONG after;
    };
    const Case cases[] = {
        {"vendor id is read-only", 0x00, 2, 0x5A5A, 0xFFFF, 0x5A5A},
        {"link control: ASPM L1, common clock, clock PM", pcie + 0x10u, 2, 0, 0x0142, 0x0142},
        {"device control 2: LTR enable", pcie + 0x28u, 2, 0, 0x0400, 0x0400},
        {"LTR latencies", ltr + 4u, 4, 0, 0x10031003, 0x10031003},
        {"L1SS control 1", l1ss + 8u, 4, 0, 0x405E000F, 0x405E000F},
        {"L1SS control 2 keeps reserved bit 2", l1ss + 12u, 4, 0x28, 0xB4, 0xB0},
        {"status: write 1 clears an error bit", 0x06, 2, 0x8010, 0x8000, 0x0010},
        {"status: write 0 leaves it", 0x06, 2, 0x8010, 0x0000, 0x8010},
        {"AER uncorrectable status", 0x104, 4, 0x00100010, 0x00000010, 0x00100000},
        {"AER uncorrectable mask", 0x108, 4, 0, 0x00100000, 0x00100000},
    };
    for (const Case& c : cases) {
        rig.function.PokeConfig(c.offset, c.width, c.before);
        EXPECT_EQ(c.width, bus.SetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, const_cast<ULONG*>(&c.write),
                                          c.offset, c.width))
            << c.what;
        EXPECT_EQ(c.after, rig.function.PeekConfig(c.offset, c.width)) << c.what;
    }

    // Transfers are clamped to the space; other spaces move nothing.
    EXPECT_EQ(6u, bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, config, 4090, 16));
    EXPECT_EQ(0u, bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, config, 4096, 4));
    EXPECT_EQ(0u, bus.GetBusData(bus.Context, PCI_WHICHSPACE_ROM, config, 0, 4));
    bus.InterfaceDereference(bus.Context);
    EXPECT_EQ(0, rig.function.InterfaceReferences());
}

TEST(Pci, RootPortConfigurationThroughItsInterface)
{
    Rig rig(InterruptMode::Message);
    auto port = Query<PCI_EXPRESS_ROOT_PORT_INTERFACE>(rig.function, GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE,
                                                       PCI_EXPRESS_ROOT_PORT_INTERFACE_VERSION);
    EXPECT_EQ(48, port.Size);
    UCHAR config[4096];
    ASSERT_EQ(4096u, port.ReadConfigSpace(port.Context, config, 0, sizeof(config)));
    EXPECT_EQ(1, config[0x0E]) << "type 1 header";
    UCHAR pcie = FindCapability(config, 0x10);
    ASSERT_NE(0, pcie);
    EXPECT_EQ(4, (config[pcie + 2] >> 4) & 0xF) << "root port";
    ULONG linkCapabilities, deviceCapabilities2;
    memcpy(&linkCapabilities, config + pcie + 0x0C, 4);
    memcpy(&deviceCapabilities2, config + pcie + 0x24, 4);
    EXPECT_EQ(3u, (linkCapabilities >> 10) & 3);
    EXPECT_NE(0u, deviceCapabilities2 & (1u << 11));
    EXPECT_EQ(0x100, FindExtended(config, 0x0001));
    USHORT l1ss = FindExtended(config, 0x001E);
    ASSERT_NE(0, l1ss);
    EXPECT_EQ(0xFu, config[l1ss + 4] & 0xFu);

    ULONG mask = 0x00100000;
    EXPECT_EQ(4u, port.WriteConfigSpace(port.Context, &mask, 0x108, 4));
    EXPECT_EQ(mask, rig.bus.Root().PeekConfig(0x108, 4));
    port.InterfaceDereference(port.Context);
}

TEST(Pci, InterfaceQueriesCheckGuidVersionAndSize)
{
    Rig rig(InterruptMode::Message);
    Rig line(InterruptMode::Line);
    const GUID unknown = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    UCHAR buffer[128];
    auto* interface = reinterpret_cast<PINTERFACE>(buffer);
    struct Case {
        const char* what;
        Function* function;
        const GUID* guid;
        USHORT size;
        USHORT version;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"standard bus interface", &rig.function, &GUID_BUS_INTERFACE_STANDARD, 64, 1, STATUS_SUCCESS},
        {"larger buffer", &rig.function, &GUID_BUS_INTERFACE_STANDARD, 128, 1, STATUS_SUCCESS},
        {"size too small", &rig.function, &GUID_BUS_INTERFACE_STANDARD, 63, 1, STATUS_INVALID_PARAMETER},
        {"version 2", &rig.function, &GUID_BUS_INTERFACE_STANDARD, 64, 2, STATUS_NOT_SUPPORTED},
        {"version 0", &rig.function, &GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE, 48, 0, STATUS_NOT_SUPPORTED},
        {"root port", &rig.function, &GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE, 48, 1, STATUS_SUCCESS},
        {"MSI-X table", &rig.function, &GUID_MSIX_TABLE_CONFIG_INTERFACE, 72, 1, STATUS_SUCCESS},
        {"MSI-X table, short", &rig.function, &GUID_MSIX_TABLE_CONFIG_INTERFACE, 64, 1,
         STATUS_INVALID_PARAMETER},
        {"MSI-X table of a line-interrupt function", &line.function, &GUID_MSIX_TABLE_CONFIG_INTERFACE, 72, 1,
         STATUS_NOT_SUPPORTED},
        {"reset", &rig.function, &GUID_DEVICE_RESET_INTERFACE_STANDARD,
         sizeof(DEVICE_RESET_INTERFACE_STANDARD), 1, STATUS_SUCCESS},
        {"re-enumerate self", &rig.function, &GUID_REENUMERATE_SELF_INTERFACE_STANDARD,
         sizeof(REENUMERATE_SELF_INTERFACE_STANDARD), 1, STATUS_SUCCESS},
        {"unknown interface", &rig.function, &unknown, 64, 1, STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        memset(buffer, 0xCC, sizeof(buffer));
        NTSTATUS status = sim::pci::QueryInterface(*c.function, *c.guid, c.size, c.version, interface);
        EXPECT_EQ(c.status, status) << c.what;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(c.function, interface->Context) << c.what;
            EXPECT_EQ(c.version, interface->Version) << c.what;
            interface->InterfaceDereference(interface->Context);
        } else {
            EXPECT_EQ(0xCC, buffer[0]) << c.what << ": a failed query writes nothing";
        }
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              sim::pci::QueryInterface(rig.function, GUID_BUS_INTERFACE_STANDARD, 64, 1, nullptr));
    EXPECT_EQ(0, rig.function.InterfaceReferences());

    rig.bus.Unplug(rig.function);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              sim::pci::QueryInterface(rig.function, GUID_BUS_INTERFACE_STANDARD, 64, 1, interface));
}

TEST(Pci, ResourceListsDescribeTheBarsAndEachMessage)
{
    Rig rig(InterruptMode::Message, 3);
    for (bool translated : {false, true}) {
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> d = rig.Descriptors(translated);
        ASSERT_EQ(5u, d.size());
        EXPECT_EQ(CmResourceTypeMemory, d[0].Type);
        EXPECT_EQ(LONGLONG(rig.function.BarAddress(0)), LONGLONG{d[0].u.Memory.Start.QuadPart});
        EXPECT_EQ(0x4000u, d[0].u.Memory.Length);
        EXPECT_EQ(CmResourceTypeMemory, d[1].Type);
        EXPECT_EQ(LONGLONG(rig.function.BarAddress(2)), LONGLONG{d[1].u.Memory.Start.QuadPart});
        EXPECT_EQ(CM_RESOURCE_MEMORY_PREFETCHABLE, d[1].Flags);
        for (ULONG m = 0; m < 3; m++) {
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& i = d[2 + m];
            EXPECT_EQ(CmResourceTypeInterrupt, i.Type);
            EXPECT_EQ(CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE, i.Flags);
            if (translated) {
                EXPECT_EQ(rig.function.Vector(m), i.u.MessageInterrupt.Translated.Vector);
                EXPECT_EQ(host::InterruptVectorIrql(rig.function.Vector(m)),
                          i.u.MessageInterrupt.Translated.Level);
            } else {
                EXPECT_EQ(CM_RESOURCE_INTERRUPT_MESSAGE_TOKEN, i.u.MessageInterrupt.Raw.Vector);
                EXPECT_EQ(1, i.u.MessageInterrupt.Raw.MessageCount);
            }
        }
    }
    Rig line(InterruptMode::Line);
    CM_PARTIAL_RESOURCE_DESCRIPTOR raw = line.Descriptors(false).back();
    CM_PARTIAL_RESOURCE_DESCRIPTOR translated = line.Descriptors(true).back();
    EXPECT_EQ(CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE, raw.Flags);
    EXPECT_EQ(CmResourceShareShared, raw.ShareDisposition);
    EXPECT_EQ(line.function.Line(), raw.u.Interrupt.Vector);
    EXPECT_EQ(line.function.Line(), line.function.PeekConfig(0x3C, 1));
    EXPECT_EQ(line.function.Vector(0), translated.u.Interrupt.Vector);
}

TEST(Pci, DeviceMovesDataByDmaIntoPoolAndContiguousMemory)
{
    Rig rig(InterruptMode::Message, 1);
    constexpr ULONG kTag = host::PoolTag("PciT");
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    struct Case {
        UCHAR* buffer;
        ULONG length;
    };
    const Case cases[] = {
        {static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 200, kTag)), 200},
        {static_cast<UCHAR*>(MmAllocateContiguousMemory(PAGE_SIZE, highest)), PAGE_SIZE},
    };
    auto start = [&](ULONG64 address, ULONG length) {
        rig.device.WriteRegister(0, TestDevice::kDmaAddress, 8, address);
        rig.device.WriteRegister(0, TestDevice::kDmaLength, 4, length);
        rig.device.WriteRegister(0, TestDevice::kDmaGo, 4, 1);
        host::ClockAdvance(0);
    };
    for (const Case& c : cases) {
        start(static_cast<ULONG64>(MmGetPhysicalAddress(c.buffer).QuadPart), c.length);
        EXPECT_TRUE(rig.device.dmaOk);
        for (ULONG i = 0; i < c.length; i++)
            ASSERT_EQ(static_cast<UCHAR>(i ^ 0x5A), c.buffer[i]) << i;
    }
    MmFreeContiguousMemory(cases[1].buffer);
    {
        hosttest::ExpectReport freed(host::Check::DmaOutsideAllocation);
        start(static_cast<ULONG64>(MmGetPhysicalAddress(cases[1].buffer).QuadPart), 16);
        EXPECT_FALSE(rig.device.dmaOk);
    }

    // Bus mastering off: the device's DMA goes nowhere, and nothing is reported.
    USHORT command = static_cast<USHORT>(rig.function.PeekConfig(0x04, 2) & ~0x4);
    rig.function.WriteConfig(0x04, &command, 2);
    memset(cases[0].buffer, 0, 200);
    start(static_cast<ULONG64>(MmGetPhysicalAddress(cases[0].buffer).QuadPart), 200);
    EXPECT_FALSE(rig.device.dmaOk);
    EXPECT_EQ(0, cases[0].buffer[1]);
    EXPECT_EQ(4, rig.device.dmaDone);
    ExFreePoolWithTag(cases[0].buffer, kTag);
}

TEST(Pci, PowerStatesReachTheModelAndD3ColdLosesTheFunctionsState)
{
    Rig rig(InterruptMode::Message, 1);
    Function& f = rig.function;
    UCHAR pm = f.CapabilityOffset(0x01);
    rig.device.WriteRegister(0, TestDevice::kScratch, 4, 0x1234);

    // A driver writing the power management registers moves the function too.
    USHORT d3 = 3;
    ASSERT_EQ(2u, f.WriteConfig(pm + 4, &d3, 2));
    EXPECT_EQ(PowerState::D3Hot, f.CurrentPowerState());
    f.SetPowerState(PowerState::D0);
    EXPECT_EQ(0u, f.PeekConfig(pm + 4, 2) & 3);
    EXPECT_EQ(0x1234u, rig.device.scratch) << "D3hot keeps the device's state";

    f.SetPowerState(PowerState::D3Cold);
    ULONG value = 0;
    EXPECT_EQ(0u, f.ReadConfig(0, &value, 4)) << "a function without power does not answer";
    f.SetPowerState(PowerState::D0);
    EXPECT_EQ(0u, rig.device.scratch);
    EXPECT_EQ(0x6u, f.PeekConfig(0x04, 2) & 0x6) << "decoding and bus mastering programmed again";
    EXPECT_EQ(
        (std::vector<PowerState>{PowerState::D3Hot, PowerState::D0, PowerState::D3Cold, PowerState::D0}),
        rig.device.powerStates);
}

struct ResetWatch {
    KEVENT done;
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<int> reenumerations{0};
    std::atomic<bool> inline_{false};
    static void Completion(NTSTATUS status, PVOID context)
    {
        auto* watch = static_cast<ResetWatch*>(context);
        watch->status = status;
        KeSetEvent(&watch->done, IO_NO_INCREMENT, FALSE);
    }
};

TEST(Pci, FunctionLevelResetCompletesLaterWithTheScriptedStatus)
{
    Rig rig(InterruptMode::Message, 1);
    auto reset = Query<DEVICE_RESET_INTERFACE_STANDARD>(rig.function, GUID_DEVICE_RESET_INTERFACE_STANDARD,
                                                        DEVICE_RESET_INTERFACE_VERSION);
    EXPECT_EQ((1u << FunctionLevelDeviceReset) | (1u << PlatformLevelDeviceReset), reset.SupportedResetTypes);
    const NTSTATUS scripts[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL};
    for (NTSTATUS script : scripts) {
        rig.device.WriteRegister(0, TestDevice::kScratch, 4, 0x77);
        rig.function.ScriptReset(script, Ms(100));
        ResetWatch watch;
        KeInitializeEvent(&watch.done, NotificationEvent, FALSE);
        FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS parameters{sizeof(parameters), ResetWatch::Completion, &watch};
        LONGLONG started = host::ClockNow();
        ASSERT_EQ(STATUS_PENDING, reset.DeviceReset(reset.Context, FunctionLevelDeviceReset, 0, &parameters));
        ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&watch.done, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(started + Ms(100), host::ClockNow());
        EXPECT_EQ(script, watch.status.load());
        EXPECT_EQ(NT_SUCCESS(script) ? 0u : 0x77u, rig.device.scratch) << "a failed reset leaves the device";
    }
    EXPECT_EQ(1, rig.device.resets);

    rig.function.ScriptReset(STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, reset.DeviceReset(reset.Context, FunctionLevelDeviceReset, 0, nullptr))
        << "synchronous";
    FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS bad{sizeof(bad), nullptr, nullptr};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, reset.DeviceReset(reset.Context, FunctionLevelDeviceReset, 0, &bad));
    reset.InterfaceDereference(reset.Context);
}

TEST(Pci, PlatformResetAndReenumerateSelfAskThePnpHookOnTheBusThread)
{
    Rig rig(InterruptMode::Message, 1);
    ResetWatch watch;
    KeInitializeEvent(&watch.done, SynchronizationEvent, FALSE);
    std::atomic<int> resets{0};
    sim::pci::PnpHooks hooks;
    hooks.reenumerate = [&](Function& f) {
        EXPECT_EQ(&rig.function, &f);
        watch.reenumerations++;
        KeSetEvent(&watch.done, IO_NO_INCREMENT, FALSE);
    };
    hooks.resetDone = [&](Function&, sim::pci::ResetKind kind, NTSTATUS status) {
        EXPECT_EQ(sim::pci::ResetKind::PlatformLevel, kind);
        EXPECT_EQ(STATUS_SUCCESS, status);
        resets++;
    };
    rig.function.SetPnpHooks(hooks);

    auto reset = Query<DEVICE_RESET_INTERFACE_STANDARD>(rig.function, GUID_DEVICE_RESET_INTERFACE_STANDARD,
                                                        DEVICE_RESET_INTERFACE_VERSION);
    auto self = Query<REENUMERATE_SELF_INTERFACE_STANDARD>(
        rig.function, GUID_REENUMERATE_SELF_INTERFACE_STANDARD, REENUMERATE_SELF_INTERFACE_STANDARD_VERSION);
    rig.device.WriteRegister(0, TestDevice::kScratch, 4, 0x77);
    EXPECT_EQ(STATUS_SUCCESS, reset.DeviceReset(reset.Context, PlatformLevelDeviceReset, 0, nullptr));
    EXPECT_EQ(1, resets.load());
    EXPECT_EQ(0u, rig.device.scratch);
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&watch.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, watch.reenumerations.load());

    self.SurpriseRemoveAndReenumerateSelf(self.Context);
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&watch.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(2, watch.reenumerations.load());
    reset.InterfaceDereference(reset.Context);
    self.InterfaceDereference(self.Context);
}

TEST(Pci, UnpluggedFunctionStopsAnswering)
{
    Rig rig(InterruptMode::Message, 1);
    PHYSICAL_ADDRESS bar;
    bar.QuadPart = static_cast<LONGLONG>(rig.function.BarAddress(0));
    auto* registers =
        static_cast<volatile ULONG*>(MmMapIoSpaceEx(bar, PAGE_SIZE, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(nullptr, registers);
    EXPECT_EQ(TestDevice::kIdValue, READ_REGISTER_ULONG(registers));
    rig.bus.Unplug(rig.function);
    EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(registers));
    ULONG value = 0;
    EXPECT_EQ(0u, rig.function.ReadConfig(0, &value, 4));
    EXPECT_FALSE(rig.function.DmaWrite(0, &value, 4));
    MmUnmapIoSpace(const_cast<ULONG*>(registers), PAGE_SIZE);
}

} // namespace
