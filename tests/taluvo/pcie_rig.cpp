#include "pcie_rig.h"

#include "host_test.h"

#include <host/host.h>
#include <host/image.h>
#include <host/pnp.h>
#include <host/loader.h>
#include <host/pool.h>
#include <wdmguid.h>

#include "CurrentDevice.h"
#include "MbbDevice.h"
#include "sim/pci/pnp.h"

namespace taluvotest
{
namespace
{

constexpr std::u16string_view kInstance = u"PCI\\VEN_14C3&DEV_4D75\\4&1f0a7c2e&0&00E8";

struct State {
    std::unique_ptr<sim::modem::Board> board;
    pci_device_id id{};
    IPC_PCI_DEVICE pdev{};
    IPC_CONTEXT context{};
    int probe = -2;
};
State* g_state;

NTSTATUS PrepareHardware(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated)
{
    IPC_PCI_DEVICE& pdev = g_state->pdev;
    g_state->context.Device = device;
    g_state->context.PciDevice = &pdev;
    pdev.IpcContext = &g_state->context;
    pdev.RawResources = raw;
    pdev.TranslatedResources = translated;
    pdev.IdTable = mdm_pcie_bus_driver()->id_table;
    if (!NT_SUCCESS(WdfFdoQueryForInterface(device, &GUID_BUS_INTERFACE_STANDARD,
                                            reinterpret_cast<PINTERFACE>(&pdev.BusInterface),
                                            sizeof(pdev.BusInterface), 1, nullptr)))
        pdev.BusInterface = {};
    if (!NT_SUCCESS(WdfFdoQueryForInterface(device, &GUID_MSIX_TABLE_CONFIG_INTERFACE,
                                            reinterpret_cast<PINTERFACE>(&pdev.MsixTableInterface),
                                            sizeof(pdev.MsixTableInterface), 1, nullptr)))
        pdev.MsixTableInterface = {};
    g_state->probe = mdm_pci_probe(&pdev, &g_state->id);
    return g_state->probe == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST)
{
    IPC_PCI_DEVICE& pdev = g_state->pdev;
    mdm_pci_remove(&pdev);
    for (PINTERFACE iface : {reinterpret_cast<PINTERFACE>(&pdev.BusInterface),
                             reinterpret_cast<PINTERFACE>(&pdev.MsixTableInterface)}) {
        if (iface->InterfaceDereference != nullptr)
            iface->InterfaceDereference(iface->Context);
    }
    pdev.BusInterface = {};
    pdev.MsixTableInterface = {};
    return STATUS_SUCCESS;
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = PrepareHardware;
    callbacks.EvtDeviceReleaseHardware = ReleaseHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, MBB_DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    GetMbbDeviceContext(device)->Device = device;
    IpcGetCurrentDevice(device);
    return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

} // namespace

NTSTATUS PcieRig::Start(const sim::modem::ModemConfig& config, const pci_device_id* id)
{
    g_state = new State;
    g_state->id = id != nullptr ? *id : mdm_pcie_bus_driver()->id_table[0];
    g_state->board = std::make_unique<sim::modem::Board>(config);
    const std::vector<std::u16string> ids = sim::pci::HardwareIds(g_state->board->function.Config());
    host::DriverRegisterBuiltin(u"TaluvoPcieTest", DriverEntry);
    EXPECT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(ids.back(), u"TaluvoPcieTest"));
    return host::PnpAddDevice(sim::pci::PnpDevice(g_state->board->function, std::u16string(kInstance)));
}

void PcieRig::Stop()
{
    if (g_state == nullptr)
        return;
    if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
        EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
    host::Quiesce();
    g_state->board->modem.Stop();
    delete g_state;
    g_state = nullptr;
    for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
        ADD_FAILURE() << "pool left: '" << host::PoolTagText(leak.tag) << "', " << leak.count << " blocks";
}

void PcieRig::SetUp()
{
    doubles::Core() = {};
    doubles::Indications().clear();
}

void PcieRig::TearDown()
{
    Stop();
}

sim::modem::Modem& PcieRig::Modem()
{
    return g_state->board->modem;
}

IPC_PCI_DEVICE* PcieRig::Pdev()
{
    return &g_state->pdev;
}

struct mdm_pci_dev* PcieRig::Dev()
{
    return g_state->pdev.MdmDevice;
}

int PcieRig::ProbeResult()
{
    return g_state->probe;
}

std::vector<std::pair<ULONG, ULONG>> PcieRig::MacWrites()
{
    std::vector<std::pair<ULONG, ULONG>> writes;
    for (const sim::modem::RegisterWrite& w : Modem().Writes())
        if (w.bar == sim::modem::kBarMac)
            writes.emplace_back(static_cast<ULONG>(w.offset), w.value);
    return writes;
}

std::vector<std::pair<ULONG, ULONG>> PcieRig::DoorbellWrites()
{
    std::vector<std::pair<ULONG, ULONG>> writes;
    for (const sim::modem::RegisterWrite& w : Modem().Writes())
        if (w.bar == sim::modem::kBarWindow && w.offset >= sim::modem::kMhccifOffset &&
            w.offset < sim::modem::kMhccifOffset + 0x1000)
            writes.emplace_back(static_cast<ULONG>(w.offset - sim::modem::kMhccifOffset), w.value);
    return writes;
}

ULONG PcieRig::Mac(ULONG offset)
{
    return Modem().MacRegister(offset);
}

bool PcieRig::WaitFor(const std::function<bool()>& done, LONGLONG limit)
{
    return hosttest::WaitUntil(done, limit, sim::modem::Milliseconds(1));
}

} // namespace taluvotest
