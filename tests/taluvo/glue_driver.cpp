#include "glue_driver.h"

#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <wdmguid.h>

#include "CurrentDevice.h"
#include "MbbDevice.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "Registry.h"
#include "sim/pci/pnp.h"

namespace taluvotest
{
namespace
{

constexpr std::u16string_view kInstance = u"PCI\\VEN_14C3&DEV_4D75\\4&1f0a7c2e&0&00E8";
constexpr std::u16string_view kService = u"TaluvoGlueTest";

GlueDriver* g_driver;

// The test's own device record and context, as the PCIe tests drive the probe.
NTSTATUS PrepareOwnRecord(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated)
{
    IPC_PCI_DEVICE& pdev = g_driver->pdev;
    g_driver->context.Device = device;
    g_driver->context.PciDevice = &pdev;
    pdev.IpcContext = &g_driver->context;
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
    g_driver->probe = mdm_pci_probe(&pdev, &g_driver->id);
    return g_driver->probe == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void ReleaseOwnRecord()
{
    IPC_PCI_DEVICE& pdev = g_driver->pdev;
    mdm_pci_remove(&pdev);
    for (PINTERFACE iface : {reinterpret_cast<PINTERFACE>(&pdev.BusInterface),
                             reinterpret_cast<PINTERFACE>(&pdev.MsixTableInterface)}) {
        if (iface->InterfaceDereference != nullptr)
            iface->InterfaceDereference(iface->Context);
    }
    pdev.BusInterface = {};
    pdev.MsixTableInterface = {};
}

// The device callbacks' part of a start through the glue: its start, then (in D0 already, as the host
// interface's threads expect) the hardware preparation that probes.
NTSTATUS PrepareByModuleStart(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated)
{
    GetMbbDeviceContext(device)->IpcInUse = TRUE;
    NTSTATUS status = IpcInit(device);
    if (!NT_SUCCESS(status))
        return status;
    IPC_CONTEXT* context = GetIpcContext(device);
    // The modem's events reach the device from here on.
    GetMbbDeviceContext(device)->DeviceState = 0;
    context->EventCallback = IpcEvtModemState;
    if (context->PciDevice != nullptr)
        KeSetEvent(&context->PciDevice->ResumeEvent, IO_NO_INCREMENT, FALSE);
    status = IpcEvtPrepareHardware(device, raw, translated);
    g_driver->probe = NT_SUCCESS(status) ? 0 : -1;
    return status;
}

// Release through the glue: the bus driver's remove once the hardware was prepared, then its clean-up.
void ReleaseByModuleEnd(WDFDEVICE device)
{
    IPC_CONTEXT* context = GetIpcContext(device);
    if (context != nullptr && context->HardwarePrepared)
        IpcEvtReleaseHardware(device);
    IpcCleanup(device);
}

NTSTATUS PrepareHardware(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated)
{
    g_driver->device = device;
    if (g_driver->module_start)
        return PrepareByModuleStart(device, raw, translated);
    return PrepareOwnRecord(device, raw, translated);
}

NTSTATUS ReleaseHardware(WDFDEVICE device, WDFCMRESLIST)
{
    if (g_driver->module_start)
        ReleaseByModuleEnd(device);
    else
        ReleaseOwnRecord();
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
    PMBB_DEVICE_CONTEXT context = GetMbbDeviceContext(device);
    context->Device = device;
    // The port functions' removal unlinks them from the COM bus's lists under this lock.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfSpinLockCreate(&attributes, &context->DeviceLock);
    if (!NT_SUCCESS(status))
        return status;
    IpcGetCurrentDevice(device);
    if (g_driver->module_start) {
        // The start's mode as the registry asks for it: flashing, a RAM dump, the dump switches.
        context->IsFlashing = IsFlashingRequested();
        context->IsDumping = IsRAMDumpRequested();
        context->IpcInUse = FALSE;
        IpcSetAerDisableURFlag(GetWWANAerDisableUR(device));
        GetFullRAMDumpConfig(device);
        GetMiniDumpConfig(device);
        IpcSetBromDLFlag(context->IsFlashing);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

} // namespace

IPC_PCI_DEVICE* GlueDriver::Pdev()
{
    if (!module_start)
        return &pdev;
    return device != nullptr ? GetIpcContext(device)->PciDevice : nullptr;
}

NTSTATUS GlueDriverStart(GlueDriver& driver, sim::pci::Function& function)
{
    g_driver = &driver;
    const std::vector<std::u16string> ids = sim::pci::HardwareIds(function.Config());
    host::DriverRegisterBuiltin(kService, DriverEntry);
    EXPECT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(ids.back(), kService));
    return host::PnpAddDevice(sim::pci::PnpDevice(function, std::u16string(kInstance)));
}

std::u16string GlueDriverKey()
{
    return host::PnpDriverKey(kInstance);
}

void GlueDriverStop(GlueDriver& driver)
{
    if (g_driver != &driver)
        return;
    if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
        EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
    host::Quiesce();
    g_driver = nullptr;
}

} // namespace taluvotest
