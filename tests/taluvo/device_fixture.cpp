#include "device_fixture.h"

#include <host/host.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/pool.h>
#include <host/trace.h>

#include "CurrentDevice.h"
#include "ModemEvents.h"

namespace taluvotest
{
namespace
{

constexpr std::u16string_view kInstance = u"TEST\\TALUVO\\0";
constexpr std::u16string_view kHardwareId = u"TEST\\TALUVO";

struct State {
    bool dma = false;
    WDFDEVICE device = nullptr;
    WDFDMAENABLER enabler = nullptr;
    std::u16string instance;
};
State g_state;

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, MBB_DEVICE_CONTEXT);
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &g_state.device);
    if (!NT_SUCCESS(status))
        return status;
    GetMbbDeviceContext(g_state.device)->Device = g_state.device;
    IpcGetCurrentDevice(g_state.device);
    if (!g_state.dma)
        return STATUS_SUCCESS;
    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64, 0x10000);
    config.EvtDmaEnablerEnable = Mbb_EvtWdfDmaEnablerEnable;
    config.EvtDmaEnablerDisable = Mbb_EvtWdfDmaEnablerDisable;
    return WdfDmaEnablerCreate(g_state.device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_state.enabler);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

} // namespace

void DeviceTest::SetUp()
{
    g_state = State{};
    g_state.dma = WithDmaEnabler();
    host::PnpBusDevice bus = BusDevice();
    g_state.instance = bus.instanceId;
    host::DriverRegisterBuiltin(u"TaluvoTest", DriverEntry);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(bus.hardwareIds.back(), u"TaluvoTest"));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpAddDevice(bus));
    ASSERT_NE(nullptr, g_state.device);
}

void DeviceTest::TearDown()
{
    RemoveDevice();
    host::Quiesce();
    for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
        ADD_FAILURE() << "pool left: '" << host::PoolTagText(leak.tag) << "'"
                      << (leak.contiguous ? " contiguous" : "") << ", " << leak.count << " blocks, "
                      << leak.bytes << " bytes";
}

void DeviceTest::RemoveDevice()
{
    if (host::PnpQueryState(g_state.instance) != host::PnpState::Removed) {
        EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(g_state.instance));
    }
}

host::PnpBusDevice DeviceTest::BusDevice()
{
    return {std::u16string(kInstance), {std::u16string(kHardwareId)}, {}};
}

WDFDEVICE DeviceTest::Device()
{
    return g_state.device;
}

PMBB_DEVICE_CONTEXT DeviceTest::Context()
{
    return GetMbbDeviceContext(g_state.device);
}

WDFDMAENABLER DeviceTest::DmaEnabler()
{
    return g_state.enabler;
}

PIPC_CONTEXT DeviceTest::AddIpcContext()
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, IPC_CONTEXT);
    PVOID allocated = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, WdfObjectAllocateContext(Device(), &attributes, &allocated));
    auto* ipc = static_cast<PIPC_CONTEXT>(allocated);
    ipc->Device = Device();
    for (PLIST_ENTRY list : {&ipc->SioFunctions, &ipc->NetLinks, &ipc->HostResponses, &ipc->ModemMessages})
        InitializeListHead(list);
    KeInitializeSpinLock(&ipc->HostResponseLock);
    KeInitializeSpinLock(&ipc->ModemMessageLock);
    EXPECT_EQ(STATUS_SUCCESS, WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &ipc->ListLock));
    EXPECT_EQ(STATUS_SUCCESS, WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &ipc->ReadCompleteLock));
    EXPECT_EQ(STATUS_SUCCESS, WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &Context()->DeviceLock));
    EXPECT_EQ(STATUS_SUCCESS, IpcModemWatchdogInit(ipc));
    return ipc;
}

} // namespace taluvotest
