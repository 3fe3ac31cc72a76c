// Framework DMA enablers in the device's power-up: their callbacks answer with a status, and a failure
// fails the device's entry into D0.
#include <gtest/gtest.h>

#include <host/loader.h>
#include <host/pnp.h>
#include <wdf.h>

#include <string>
#include <vector>

#include "host_test.h"

namespace
{

constexpr std::u16string_view kInstance = u"TEST\\FXDMA\\0";

struct Driver {
    NTSTATUS enableStatus = STATUS_SUCCESS;
    std::vector<std::string> calls;
};
Driver* g_driver;

NTSTATUS Enable(WDFDMAENABLER)
{
    g_driver->calls.push_back("enable");
    return g_driver->enableStatus;
}

NTSTATUS SelfManagedIoStart(WDFDMAENABLER)
{
    g_driver->calls.push_back("start");
    return STATUS_SUCCESS;
}

NTSTATUS DmaDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64, 0x1000);
    config.EvtDmaEnablerEnable = Enable;
    config.EvtDmaEnablerSelfManagedIoStart = SelfManagedIoStart;
    WDFDMAENABLER enabler;
    return WdfDmaEnablerCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &enabler);
}

NTSTATUS DmaEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DmaDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

TEST(WdfDma, EnablerCallbacksAnswerWithAStatus)
{
    struct Case {
        NTSTATUS enable;
        bool started;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, true, {"enable", "start"}},
        {STATUS_PENDING, true, {"enable", "start"}}, // any success status
        {STATUS_INSUFFICIENT_RESOURCES, false, {"enable"}},
    };
    host::DriverRegisterBuiltin(u"FxDma", DmaEntry);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"TEST\\FXDMA", u"FxDma"));
    for (const Case& c : cases) {
        Driver driver;
        driver.enableStatus = c.enable;
        g_driver = &driver;
        NTSTATUS status = host::PnpAddDevice({std::u16string(kInstance), {u"TEST\\FXDMA"}, {}});
        EXPECT_EQ(c.started, NT_SUCCESS(status)) << std::hex << c.enable;
        EXPECT_EQ(c.started, host::PnpQueryState(kInstance) == host::PnpState::Started)
            << std::hex << c.enable;
        EXPECT_EQ(c.calls, driver.calls) << std::hex << c.enable;
        EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
}

} // namespace
